#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

void registerTargets(py::module_& /*module*/) {}

}  // namespace vantel::binding
