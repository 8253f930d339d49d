#pragma once

#include <pybind11/pybind11.h>

namespace vantel::binding {

// Installs the core's progress hook: between steps of a long call it lets a pending Ctrl-C end
// the call with KeyboardInterrupt, and calls the host's progress callback when one is set
// (`_vantel.set_progress_callback`).
void routeProgressToHost(pybind11::module_& module);

}  // namespace vantel::binding
