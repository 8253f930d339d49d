#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {

void registerIo(py::module_& module) {
    auto io = module.def_submodule("io", "On-disk persistence for calibration datasets and results.");
    static_cast<void>(io);
}

}  // namespace vantel::binding
