#include "module/host_progress.hpp"

#include <exception>
#include <optional>
#include <string>

#include "module/host_released_call.hpp"
#include "services/progress.hpp"
#include "services/standard_streams.hpp"

namespace py = pybind11;

namespace vantel::binding {
namespace {

// Never destroyed: it may outlive the interpreter at exit.
py::object& progressCallback() {
    static auto* callback = new py::object(py::none());
    return *callback;
}

void onProgress(const std::string& what, std::size_t done, std::size_t total) {
    // Only the calling thread may take the interpreter back; a worker thread must not wait for it.
    std::optional<py::gil_scoped_acquire> interpreter;
    if (PyGILState_Check() == 0) {
        if (!hostReleasedOnThisThread()) {
            return;
        }
        interpreter.emplace();
    }
    // Runs the host's signal handlers: Ctrl-C pressed during the last step raises here.
    if (PyErr_CheckSignals() != 0) {
        throw HostInterrupt{std::make_exception_ptr(py::error_already_set())};
    }
    if (progressCallback().is_none()) {
        return;
    }
    try {
        progressCallback()(what, done, total);
    } catch (const py::error_already_set&) {
        throw HostInterrupt{std::current_exception()};  // the callback's error ends the call as it is
    }
}

}  // namespace

void routeProgressToHost(py::module_& module) {
    setProgressHook(onProgress);
    module.def(
        "set_progress_callback", [](py::object callback) { progressCallback() = std::move(callback); },
        py::arg("callback"),
        "Call callback(what, done, total) between the steps of long calls (images, cameras, pairs, folds, "
        "methods, subsets); None removes it. An exception it raises ends the running call.");
}

}  // namespace vantel::binding
