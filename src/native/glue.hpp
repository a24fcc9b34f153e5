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

// `from .<submodule> import <name>` as module `module` would execute it: the
// relative import resolves against the module's own package, and a name the
// submodule lacks raises ImportError, as the import statement does.
inline nb::object import_relative(nb::handle module, const char *submodule, const char *name) {
    nb::list fromlist;
    fromlist.append(nb::str(name));
    PyObject *mod = PyImport_ImportModuleLevel(submodule, PyModule_GetDict(module.ptr()),
                                               nullptr, fromlist.ptr(), 1);
    if (!mod)
        throw nb::python_error();
    nb::object source = nb::steal(mod);
    PyObject *value = PyObject_GetAttrString(source.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", name,
                     source.attr("__name__").ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
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
