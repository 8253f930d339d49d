#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

void registerHandEye(py::module_& /*module*/) {}

}  // namespace vantel::binding
