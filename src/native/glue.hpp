// Small helpers shared by the extension modules: import a name, raise a
// given Python exception type, turn errno into the matching OSError, and
// call a logging.Logger method with %-style arguments.
#pragma once

#include <nanobind/nanobind.h>

#include <cerrno>
#include <utility>

namespace vorn {

namespace nb = nanobind;

// `from <module> import <name>` (level 0, `globals` unused) or, with level 1
// and the importing module's dict, `from .<module> import <name>`. A name the
// module lacks raises ImportError, as the import statement does.
inline nb::object from_import(const char *module, const char *name, int level = 0,
                              PyObject *globals = nullptr) {
    nb::list fromlist;
    fromlist.append(nb::str(name));
    PyObject *mod = PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.ptr(), level);
    if (!mod)
        throw nb::python_error();
    nb::object source = nb::steal(mod);
    PyObject *value = PyObject_GetAttrString(source.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        nb::object where = nb::getattr(source, "__file__", nb::none());
        nb::str message = nb::str("cannot import name {!r} from {!r} ({})")
                              .format(nb::str(name), source.attr("__name__"),
                                      where.is_none() ? nb::str("unknown location") : nb::str(where));
        PyErr_SetImportError(message.ptr(), source.attr("__name__").ptr(), where.ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
}

// `from <module> import <name>`
inline nb::object import_name(const char *module, const char *name) {
    return from_import(module, name);
}

// `from .<submodule> import <name>` as `module` itself would execute it: the
// import resolves against the module's own package.
inline nb::object import_relative(nb::handle module, const char *submodule, const char *name) {
    return from_import(submodule, name, 1, PyModule_GetDict(module.ptr()));
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
