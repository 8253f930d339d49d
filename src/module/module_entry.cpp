#include "module/binding_common.hpp"
#include "module/host_progress.hpp"
#include "module/host_streams.hpp"
#include "module/registration.hpp"

// pybind11 checks the interpreter's major.minor against the one built for and
// uses multi-phase initialisation; exceptions escaping the body become ImportError.
PYBIND11_MODULE(_vantel, module) {
    module.doc() =
        "Compiled C++ core of parvance-vantel: targets, calibration, geometry, quality, io. "
        "Not meant to be imported directly  -  use the parvance.vantel Python package.";

    vantel::binding::routeStandardStreamsToHost();
    vantel::binding::routeProgressToHost(module);
    vantel::binding::registerExceptionTranslation();
    vantel::binding::registerPoseConversions(module);

    vantel::binding::registerTargets(module);
    vantel::binding::registerIntrinsic(module);
    vantel::binding::registerHandEye(module);
    vantel::binding::registerMultiCamera(module);
    vantel::binding::registerDiagnostics(module);
    vantel::binding::registerBenchmark(module);
    vantel::binding::registerIo(module);
}
