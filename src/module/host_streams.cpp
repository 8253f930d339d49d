#include "module/host_streams.hpp"

#include <iostream>
#include <string>

#include <pybind11/pybind11.h>

#include "services/standard_streams.hpp"

namespace py = pybind11;

namespace vantel::binding {
namespace {

// Looked up on every write: the host may replace sys.stdout/sys.stderr at any time.
void writeToHostStream(const char* streamName, const std::string& text, std::ostream& fallback, bool flush) {
    py::gil_scoped_acquire gil;
    PyObject* stream = PySys_GetObject(streamName);  // borrowed
    if (stream == nullptr || stream == Py_None) {
        fallback << text << std::flush;
        return;
    }
    try {
        const auto pyText = py::reinterpret_steal<py::str>(
            PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace"));
        if (!pyText) {
            throw py::error_already_set();
        }
        const auto hostStream = py::reinterpret_borrow<py::object>(stream);
        hostStream.attr("write")(pyText);
        if (flush) {
            hostStream.attr("flush")();
        }
    } catch (const py::error_already_set& error) {
        // Ctrl-C or an exit requested while writing ends the call; anything else of a broken
        // host stream must not break the calculation, and the process stream still works.
        if (error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit)) {
            throw HostInterrupt{std::current_exception()};
        }
        fallback << text << std::flush;
    }
}

}  // namespace

void routeStandardStreamsToHost() {
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const HostInterrupt& interrupt) {
            std::rethrow_exception(interrupt.cause);  // the host's error, restored by the next translator
        }
    });
    setStandardErrorSink([](const std::string& text) { writeToHostStream("stderr", text, std::cerr, false); });
    // Reports are flushed so they keep their place among the log lines on a pipe.
    setStandardOutputSink([](const std::string& text) { writeToHostStream("stdout", text, std::cout, true); });
}

}  // namespace vantel::binding
