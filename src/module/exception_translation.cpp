#include <cstring>
#include <new>
#include <stdexcept>

#include "module/binding_common.hpp"
#include "module/registration.hpp"

namespace vantel::binding {
namespace {

// The host type pybind11's own translation gives each standard exception.
PyObject* hostExceptionType(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return PyExc_MemoryError;
    }
    if (dynamic_cast<const std::domain_error*>(&error) != nullptr ||
        dynamic_cast<const std::invalid_argument*>(&error) != nullptr ||
        dynamic_cast<const std::length_error*>(&error) != nullptr ||
        dynamic_cast<const std::range_error*>(&error) != nullptr) {
        return PyExc_ValueError;
    }
    if (dynamic_cast<const std::out_of_range*>(&error) != nullptr) {
        return PyExc_IndexError;
    }
    if (dynamic_cast<const std::overflow_error*>(&error) != nullptr) {
        return PyExc_OverflowError;
    }
    return PyExc_RuntimeError;
}

// Messages can carry paths and file contents that are not UTF-8; decoded strictly they
// would turn into UnicodeDecodeError and hide the real error. Valid messages are left
// to pybind11's own translation.
void translateUndecodableMessages(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const py::error_already_set&) {
        throw;
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const std::exception& error) {
        const char* text = error.what();
        const auto length = static_cast<py::ssize_t>(std::strlen(text));
        PyObject* strict = PyUnicode_DecodeUTF8(text, length, nullptr);
        if (strict != nullptr) {
            Py_DECREF(strict);
            throw;
        }
        PyErr_Clear();
        PyObject* replaced = PyUnicode_DecodeUTF8(text, length, "replace");
        if (replaced == nullptr) {
            throw py::error_already_set();
        }
        PyErr_SetObject(hostExceptionType(error), replaced);
        Py_DECREF(replaced);
    }
}

}  // namespace

void registerExceptionTranslation() { py::register_local_exception_translator(&translateUndecodableMessages); }

}  // namespace vantel::binding
