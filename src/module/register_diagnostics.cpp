#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

void registerDiagnostics(py::module_& module) {
    auto diagnostics = module.def_submodule("diagnostics", "Diagnostics for hand-eye calibration data and solvers.");
    static_cast<void>(diagnostics);
}

}  // namespace vantel::binding
