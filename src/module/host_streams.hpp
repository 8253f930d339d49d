#pragma once

namespace vantel::binding {

// Route log lines and printed reports through the host's current sys.stderr and
// sys.stdout, so a notebook, a GUI or pytest's capture sees them in order.
void routeStandardStreamsToHost();

}  // namespace vantel::binding
