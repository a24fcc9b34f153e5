// Small helpers shared by the extension modules: import a name, raise a
// given Python exception type, turn errno into the matching OSError, and
// call a logging.Logger method with %-style arguments.
#pragma once

#include <nanobind/nanobind.h>

#include <cerrno>
#include <utility>

namespace vorn {

namespace nb = nanobind;

// `from <module> import <name>`
inline nb::object import_name(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

// Raise `exc_type(message)` (any Python exception class) from C++.
[[noreturn]] inline void raise(nb::handle exc_type, const char *message) {
    PyErr_SetString(exc_type.ptr(), message);
    throw nb::python_error();
}

// Raise `exc_type(message)` where the message is an existing Python object.
[[noreturn]] inline void raise(nb::handle exc_type, nb::handle message) {
    PyErr_SetObject(exc_type.ptr(), message.ptr());
    throw nb::python_error();
}

// Raise the OSError subclass that matches `err` (FileNotFoundError,
// PermissionError, ...) with errno/strerror/filename set, as os.open does.
[[noreturn]] inline void raise_errno(int err, nb::handle filename = nb::handle()) {
    errno = err;
    if (filename.is_valid())
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    else
        PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

// logger.<level>(fmt, *args): values go in as arguments, never pre-formatted.
template <typename... Args>
inline void log(nb::handle logger, const char *level, const char *fmt, Args &&...args) {
    logger.attr(level)(fmt, std::forward<Args>(args)...);
}

// A module-level logger named after the module's dotted name.
inline nb::object get_logger(const char *dotted_name) {
    return import_name("logging", "getLogger")(dotted_name);
}

}  // namespace vorn
