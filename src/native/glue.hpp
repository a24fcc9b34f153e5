// Small helpers shared by the extension modules: constant names, a module's
// namespace read at call time, import a name, raise a given Python exception
// type, turn errno into the matching OSError, run a `with` block, and call a
// logging.Logger method with %-style arguments.
#pragma once

#include <nanobind/nanobind.h>

#include <cerrno>
#include <utility>

namespace vorn {

namespace nb = nanobind;

// An interned str that lives as long as the process: for names and texts a
// module uses on every call, made once at import instead of on each call.
inline nb::handle interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;  // never released: modules are not unloaded
}

// A module's namespace, as its functions see their globals: names are looked
// up in the module's dict on every call, so a replaced attribute takes effect
// on the next call. Kept for the life of the process, like the module.
struct Namespace {
    PyObject *dict = nullptr;

    explicit Namespace(nb::handle module) : dict(PyModule_GetDict(module.ptr())) { Py_XINCREF(dict); }

    // globals()[key], borrowed, or NameError like an unbound global.
    NB_INLINE nb::handle find(nb::handle key) const {
        PyObject *value = PyDict_GetItemWithError(dict, key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
            throw nb::python_error();
        }
        return value;
    }
    // globals()[key] as a new reference: safe to hold while other code runs.
    nb::object get(nb::handle key) const { return nb::borrow(find(key)); }
    nb::object get(const char *name) const { return get(nb::str(name)); }
};

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

// `from <module> import <name>` for a statement that runs on every call, with
// both names interned. Once the module is in sys.modules and fully
// initialised, the statement amounts to reading the attribute, which is all
// this does then; otherwise (first import, a module still initialising in
// another thread, a submodule not yet imported, None in sys.modules) it is
// the whole import statement.
inline nb::object import_cached(nb::handle module, nb::handle name) {
    if (PyObject *mod = PyImport_GetModule(module.ptr())) {
        nb::object held = nb::steal(mod);
        if (mod != Py_None) {
            PyObject *spec = PyObject_GetAttr(mod, nb::handle(interned("__spec__")).ptr());
            int busy = spec ? _PyModuleSpec_IsInitializing(spec) : -1;
            Py_XDECREF(spec);
            if (busy < 0)
                PyErr_Clear();  // the import statement reports it
            else if (!busy) {
                if (PyObject *value = PyObject_GetAttr(mod, name.ptr()))
                    return nb::steal(value);
                if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                    throw nb::python_error();
                PyErr_Clear();
            }
        }
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }
    return from_import(PyUnicode_AsUTF8(module.ptr()), PyUnicode_AsUTF8(name.ptr()));
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

// Whether `value` is true, as `if value:` decides.
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// Runs `fn()` while `err` is the exception being handled (what sys.exc_info()
// reports and what a new exception chains to), as code in an except clause.
template <typename Fn>
auto while_handling(const nb::python_error &err, Fn &&fn) -> decltype(fn()) {
    struct Restore {
        PyObject *previous = PyErr_GetHandledException();
        ~Restore() {
            PyErr_SetHandledException(previous);
            Py_XDECREF(previous);
        }
    } restore;
    PyErr_SetHandledException(err.value().ptr());
    return fn();
}

// Runs `body(target)` inside `with manager as target:`. __enter__ and
// __exit__ are looked up on the type, as the statement does. When the body
// raises, __exit__ gets the exception (type, value, traceback or None) while
// it is the exception being handled, so one raised by __exit__ chains to it;
// the exception propagates unless __exit__ returns true, in which case the
// result is an invalid object (the body produced nothing).
template <typename Body>
nb::object with_block(nb::handle manager, Body &&body) {
    nb::handle kind = manager.type();
    nb::object exit = kind.attr("__exit__");
    nb::object target = kind.attr("__enter__")(manager);
    nb::object result;
    try {
        result = body(target);
    } catch (nb::python_error &err) {
        nb::object traceback = err.traceback();
        bool swallowed = while_handling(err, [&] {
            return truthy(exit(manager, err.type(), err.value(), traceback.is_valid() ? traceback : nb::none()));
        });
        if (!swallowed)
            throw;
        return nb::object();
    }
    exit(manager, nb::none(), nb::none(), nb::none());
    return result;
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
