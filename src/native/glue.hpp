// Small helpers shared by the extension modules: constant names, a module's
// namespace read at call time, import a name, raise a given Python exception
// type, encode a path argument, turn errno into the matching OSError, run a
// `with` block, call a logging.Logger method with %-style arguments, and
// leave the interpreter for a blocking wait in a way that survives its
// shutdown.
#pragma once

#include <nanobind/nanobind.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
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
// both names interned. Once the module is in sys.modules, the statement
// amounts to reading the attribute, which is all this does then
// (PyImport_GetModule waits, as the statement does, for a module another
// thread is still initialising); otherwise (first import, a submodule not yet
// imported, None in sys.modules) it is the whole import statement.
inline nb::object import_cached(nb::handle module, nb::handle name) {
    if (PyObject *mod = PyImport_GetModule(module.ptr())) {
        nb::object held = nb::steal(mod);
        if (mod != Py_None) {
            if (PyObject *value = PyObject_GetAttr(mod, name.ptr()))
                return nb::steal(value);
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
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

// A path argument as os.open takes it (str, bytes or os.PathLike), encoded
// for the file system; an embedded NUL raises ValueError.
inline std::string fs_path(nb::handle path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded))
        throw nb::python_error();
    nb::bytes bytes = nb::steal<nb::bytes>(encoded);
    return std::string(bytes.c_str(), bytes.size());
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

// ---------------------------------------------------------------------------
// Blocking waits and interpreter shutdown
//
// A thread that waits in native code with the GIL released (a daemon thread
// reading frames or device events) may still be waiting when the main
// thread returns and the interpreter shuts down. Once shutdown has begun,
// taking the GIL back ends the calling thread by a forced unwind, which
// cannot pass through C++ frames: the process aborts. So each module closes
// an exit gate from an atexit handler (atexit runs before the interpreter
// starts tearing threads down); a thread other than the one shutting down
// that comes back from a wait after that is parked for good instead, holding
// no lock, until the process ends. A thread already on its way back in when
// the gate closes is let through first: the handler waits for it with the
// GIL released.
class ExitGate {
  public:
    // Before taking the GIL back: returns at once unless the gate is closed,
    // else never (the thread sleeps until the process ends).
    void enter() noexcept {
        entering_.fetch_add(1);
        if (closed_.load() && std::this_thread::get_id() != closer_) {
            entering_.fetch_sub(1);
            for (;;)
                ::pause();
        }
    }
    // After the GIL is back.
    void leave() noexcept { entering_.fetch_sub(1); }

    // Close the gate (with the GIL held, from atexit); threads on their way
    // back in are let through before this returns.
    void close() {
        closer_ = std::this_thread::get_id();
        closed_.store(true);
        if (entering_.load() == 0)
            return;
        PyThreadState *state = PyEval_SaveThread();
        while (entering_.load() != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        PyEval_RestoreThread(state);
    }

    bool closed() const noexcept { return closed_.load(); }

    // Threads between leaving the interpreter and coming back (waiting, or
    // parked for good).
    std::atomic<int> away{0};

  private:
    std::atomic<int> entering_{0};
    std::atomic<bool> closed_{false};
    std::thread::id closer_;  // written before closed_ is set, read after
};

// The gate of this module (each extension module has its own).
inline ExitGate &exit_gate() {
    static ExitGate gate;
    return gate;
}

// Releases the GIL for its scope, like nb::gil_scoped_release, and takes it
// back through the module's exit gate.
class released {
  public:
    released() : state_(PyEval_SaveThread()) { exit_gate().away.fetch_add(1); }
    ~released() {
        ExitGate &gate = exit_gate();
        gate.enter();
        PyEval_RestoreThread(state_);
        gate.leave();
        gate.away.fetch_sub(1);
    }
    released(const released &) = delete;
    released &operator=(const released &) = delete;

  private:
    PyThreadState *state_;
};

// Registers `on_exit()` with atexit: it closes the module's exit gate, then
// runs `on_exit` (closing what the module still has open; true when there
// was something). Objects still open then, or threads still running (the
// daemon threads the interpreter never joins), stay referenced by threads
// that never return: nanobind's report of instances alive at shutdown
// would only list those, so it is turned off then.
template <typename Fn>
void at_exit(Fn &&on_exit) {
    nb::object handler = nb::cpp_function([on_exit = std::forward<Fn>(on_exit)]() {
        exit_gate().close();
        bool left_open = on_exit();
        nb::object threads = import_name("threading", "active_count")();
        if (left_open || exit_gate().away.load() != 0 || nb::cast<int>(threads) > 1)
            nb::set_leak_warnings(false);
    });
    import_name("atexit", "register")(handler);
}

// ---------------------------------------------------------------------------
// Calls that cost what a builtin call costs
//
// For the few functions whose whole work takes less time than nanobind's
// general argument dispatch, a plain vectorcall entry point: positional or
// keyword arguments bound as a Python `def` binds them (the same TypeError
// messages), the C++ function called with the bound objects, nb::python_error
// restored into the interpreter. `Fn` is a struct with `qualname` ("f" or
// "Class.method"), `names` (the parameters, self excluded) and
// `static nb::object call(PyObject *self, PyObject *const *argv)`.

// Binds (args, nargs, kwnames) to `count` parameters into `out`; false with
// TypeError set when they do not fit. `self_count` is 1 for a method (its
// self counts in Python's messages).
inline bool bind_args(const char *qualname, const char *const *names, size_t count, size_t self_count,
                      PyObject *const *args, size_t nargs, PyObject *kwnames, PyObject **out) {
    if (nargs > count) {
        size_t takes = count + self_count, given = nargs + self_count;
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", qualname, takes,
                     takes == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        return false;
    }
    for (size_t i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0)
            ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname, names[i]);
            return false;
        }
        out[i] = args[nargs + size_t(j)];
    }
    size_t missing = 0;
    for (size_t i = 0; i < count; ++i)
        missing += out[i] == nullptr;
    if (missing) {
        PyObject *list = PyUnicode_FromString("");
        size_t listed = 0;
        for (size_t i = 0; list && i < count; ++i) {
            if (out[i])
                continue;
            const char *sep = listed == 0 ? "" : (listed + 1 == missing ? (missing > 2 ? ", and " : " and ") : ", ");
            PyObject *more = PyUnicode_FromFormat("%U%s'%s'", list, sep, names[i]);
            Py_SETREF(list, more);
            ++listed;
        }
        if (list) {
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %U", qualname, missing,
                         missing == 1 ? "" : "s", list);
            Py_DECREF(list);
        }
        return false;
    }
    return true;
}

// The Python exception type nanobind raises for one of its builtin
// exceptions.
inline PyObject *builtin_exception_type(nb::exception_type type) {
    switch (type) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
    }
}

// `body()` (a new reference) as the interpreter calls C: a C++ exception
// becomes the Python error set and nullptr, with the types nanobind's own
// functions give (MemoryError for bad_alloc, ValueError for a domain or
// argument error, IndexError for out_of_range, OverflowError, ...).
template <typename Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(builtin_exception_type(e.type()), e.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "an argument or result has the wrong type");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::domain_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// A docstring that starts with the text signature `inspect.signature()` and
// help() read for a function defined in C ("name(params)\n--\n\n"), then
// `doc` (which itself starts with the annotated signature). `params` lists
// the parameter names, "$self" first for a method.
inline const char *signed_doc(std::string *store, const char *name, const std::string &params, const char *doc) {
    *store = std::string(name) + "(" + params + ")\n--\n\n" + doc;
    return store->c_str();
}

template <typename Fn>
std::string parameter_list(bool method) {
    std::string params = method ? "$self" : "";
    for (const char *name : Fn::names)
        params += (params.empty() ? "" : ", ") + std::string(name);
    return params;
}

template <typename Fn, size_t SelfCount>
PyObject *vectorcall_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) noexcept {
    constexpr size_t count = sizeof(Fn::names) / sizeof(Fn::names[0]);
    size_t nargs = size_t(PyVectorcall_NARGS(size_t(nargsf)));
    PyObject *bound[count];
    PyObject *const *argv = args;
    if (kwnames || nargs != count) {
        if (!bind_args(Fn::qualname, Fn::names, count, SelfCount, args, nargs, kwnames, bound))
            return nullptr;
        argv = bound;
    }
    return guarded([&] { return Fn::call(self, argv).release().ptr(); });
}

// A module-level function `name` of the module named `module_name`.
// The function object keeps a pointer to its PyMethodDef, so each lives in
// static storage (one per `Fn`), like a module's method table; `name` and
// `doc` must be string literals.
template <typename Fn>
nb::object fast_function(const char *name, const char *module_name, const char *doc) {
    static std::string text;
    static PyMethodDef def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                        &vectorcall_entry<Fn, 0>)),
                              METH_FASTCALL | METH_KEYWORDS,
                              signed_doc(&text, name, parameter_list<Fn>(false), doc)};
    PyObject *fn = PyCFunction_NewEx(&def, nullptr, nb::str(module_name).ptr());
    if (!fn)
        throw nb::python_error();
    return nb::steal(fn);
}

// Method `name` of class `cls` (a method descriptor: called on an instance,
// it gets the instance as `self`).
template <typename Fn>
void fast_method(nb::handle cls, const char *name, const char *doc) {
    static std::string text;
    static PyMethodDef def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                        &vectorcall_entry<Fn, 1>)),
                              METH_FASTCALL | METH_KEYWORDS,
                              signed_doc(&text, name, parameter_list<Fn>(true), doc)};
    PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &def);
    if (!descr)
        throw nb::python_error();
    nb::setattr(cls, name, nb::steal(descr));
}

// Method `name` of class `cls` that takes no argument besides self.
template <nb::object (*Fn)(nb::handle)>
void fast_method_noargs(nb::handle cls, const char *name, const char *doc) {
    PyCFunction entry = [](PyObject *self, PyObject *) noexcept -> PyObject * {
        return guarded([&] { return Fn(self).release().ptr(); });
    };
    static std::string text;
    static PyMethodDef def = {name, entry, METH_NOARGS, signed_doc(&text, name, "$self, /", doc)};
    PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &def);
    if (!descr)
        throw nb::python_error();
    nb::setattr(cls, name, nb::steal(descr));
}

// `callable` (a nanobind function taking the class first) as a classmethod
// of `cls` named `name` whose signature `inspect` reads from `params` (the
// parameters after the class, as a Python signature lists them): calls go
// straight through to `callable`.
inline void signed_classmethod(nb::handle cls, const char *name, const char *params, nb::handle callable) {
    struct Entry {
        static PyObject *call(PyObject *target, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
            return PyObject_Vectorcall(target, args, size_t(PyVectorcall_NARGS(size_t(nargsf))), kwnames);
        }
    };
    // One definition per class and name, kept for the life of the process
    // (a deque never moves what it holds).
    struct Definition {
        PyMethodDef def;
        std::string text;
    };
    static std::deque<Definition> definitions;
    nb::object doc = callable.attr("__doc__");
    const char *utf8 = doc.is_none() ? "" : PyUnicode_AsUTF8(doc.ptr());
    if (!utf8)
        throw nb::python_error();
    Definition &entry = definitions.emplace_back();
    entry.def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry::call)),
                 METH_FASTCALL | METH_KEYWORDS, nullptr};
    entry.def.ml_doc = signed_doc(&entry.text, name, std::string("cls, ") + params, utf8);
    PyMethodDef *def = &entry.def;
    nb::object module = nb::getattr(cls, "__module__", nb::none());
    PyObject *fn = PyCFunction_NewEx(def, callable.ptr(), module.ptr());
    if (!fn)
        throw nb::python_error();
    PyObject *method = PyClassMethod_New(fn);
    Py_DECREF(fn);
    if (!method)
        throw nb::python_error();
    nb::setattr(cls, name, nb::steal(method));
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
