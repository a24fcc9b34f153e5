// What every extension module of the package shares, so that each module
// holds only its own logic:
//
//   1. Errors: raise a Python exception type, errno as the matching OSError,
//      and the mapping of C++ exceptions for our own entry points.
//   2. Names and files: interned names, a module's globals read at call
//      time (replacing one takes effect on the next call, as tests and users
//      rely on), `from <module> import <name>`, path arguments and open(2).
//   3. Classes: a plain class and a frozen dataclass record, made at import.
//   4. Entry points: functions and methods with a text signature, for the
//      few calls whose whole work is cheaper than nanobind's dispatch (every
//      other function is bound through nanobind).
//   5. Blocking waits: the GIL released around them, and the exit gate that
//      keeps a thread still waiting at interpreter shutdown from aborting
//      the process.
//   6. Logging through a logging.Logger.
#pragma once

#include <nanobind/nanobind.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace vorn {

namespace nb = nanobind;
using namespace nb::literals;

// ---------------------------------------------------------------------------
// 1. Errors

// Raise `exc_type(message)` (any Python exception class) from C++.
[[noreturn]] inline void raise(nb::handle exc_type, const char *message) {
    PyErr_SetString(exc_type.ptr(), message);
    throw nb::python_error();
}

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
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "an argument or result has the wrong type");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error &e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::logic_error &e) {  // domain, argument, length errors
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::range_error &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// 2. Names and files

// An interned str that lives as long as the process: for names a module
// uses on every call, made once at import.
inline nb::handle interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s)
        throw nb::python_error();
    return s;  // never released: modules are not unloaded
}

// A module attribute read at call time, as a function reads its globals:
// replacing the attribute (a test's monkeypatch, a user's override) takes
// effect on the next call. `globals` is the module's dict.
inline nb::object global(nb::handle globals, nb::handle name) {
    PyObject *value = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_NameError, name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

// `from <module> import <name>`. A module already imported is taken from
// sys.modules, which costs a dictionary lookup: calls that import on every
// call (to keep an import cycle open) can afford it.
inline nb::object import_name(nb::handle module, nb::handle name) {
    PyObject *mod = PyImport_GetModule(module.ptr());
    if (!mod && PyErr_Occurred())
        throw nb::python_error();
    if (!mod || mod == Py_None) {
        Py_XDECREF(mod);
        mod = PyImport_Import(module.ptr());
        if (!mod)
            throw nb::python_error();
    }
    return nb::getattr(nb::steal(mod), name);
}

inline nb::object import_name(const char *module, const char *name) {
    return import_name(nb::str(module), nb::str(name));
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

// open(2) as os.open does it: EINTR retried, the descriptor not inherited.
// No interpreter calls: the caller decides about the GIL.
inline int open_file(const char *path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// ---------------------------------------------------------------------------
// 3. Classes

// `class <name>(*bases): <ns>` of module `module`, built at import.
inline nb::object make_class(const char *module, const char *name, nb::tuple bases, const char *doc,
                             nb::dict ns = nb::dict()) {
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(name, bases, ns);
}

// `@dataclass(frozen=True, slots=slots)` over a class whose fields are the
// keys of `annotations` (in order); `defaults` gives the default values.
inline nb::object frozen_record(const char *module, const char *name, const char *doc, nb::dict annotations,
                                bool slots, nb::dict defaults = nb::dict()) {
    nb::dict ns = defaults;
    ns["__annotations__"] = annotations;
    nb::object plain = make_class(module, name, nb::tuple(), doc, ns);
    return import_name("dataclasses", "dataclass")("frozen"_a = true, "slots"_a = slots)(plain);
}

// What nanobind reports as the owner of functions bound into class
// `qualname` (it names a function after its scope's __qualname__ and
// __module__; the class itself cannot be the scope, as nanobind would
// overload methods it inherits). Lives as long as the process, like the class.
inline nb::handle method_scope(const char *module, const char *qualname) {
    return import_name("types", "SimpleNamespace")("__qualname__"_a = qualname, "__module__"_a = module).release();
}

// ---------------------------------------------------------------------------
// 4. Entry points
//
// A function or method whose whole work costs less than nanobind's general
// argument dispatch is a plain METH_FASTCALL entry point instead. `Fn` is a
// struct with
//   name       its name ("get"),
//   params     its parameter names, self or cls excluded (a std::array),
//   positional how many of them may be given by position (the rest are
//              keyword-only),
//   doc        its docstring, starting with the annotated signature,
//   call(self, args)  the work, with one argument per parameter in order
//              (self is the instance, the class, or null for a function).
// The text signature (for inspect and help()) is made from the names.

// Binds (args, nargs, kwnames) to Fn's parameters in `out`; false with
// TypeError set when they do not fit.
template <typename Fn>
bool bind(PyObject *const *args, size_t nargs, PyObject *kwnames, PyObject **out) {
    constexpr size_t count = std::size(Fn::params);
    if (nargs > Fn::positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments, got %zu", Fn::name, Fn::positional,
                     nargs);
        return false;
    }
    for (size_t i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, Fn::params[i]) != 0)
            ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", Fn::name, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", Fn::name, Fn::params[i]);
            return false;
        }
        out[i] = args[nargs + size_t(j)];
    }
    for (size_t i = 0; i < count; ++i)
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing argument '%s'", Fn::name, Fn::params[i]);
            return false;
        }
    return true;
}

template <typename Fn>
PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) noexcept {
    constexpr size_t count = std::size(Fn::params);
    size_t nargs = size_t(PyVectorcall_NARGS(size_t(nargsf)));
    PyObject *bound[count + 1];  // one more: a method without parameters
    if (!kwnames && nargs == count && count == Fn::positional)
        return guarded([&] { return Fn::call(self, args).release().ptr(); });
    if (!bind<Fn>(args, nargs, kwnames, bound))
        return nullptr;
    return guarded([&] { return Fn::call(self, bound).release().ptr(); });
}

// The method table entry of `Fn`, in static storage (the function objects
// keep a pointer to it): "name($self, a, *, b)\n--\n\n" + doc.
template <typename Fn>
PyMethodDef *definition(const char *first) {
    static std::string doc = [first] {
        std::string text = std::string(Fn::name) + "(" + first;
        for (size_t i = 0; i < std::size(Fn::params); ++i) {
            if (i > 0 || *first)
                text += ", ";
            if (i == Fn::positional)
                text += "*, ";
            text += Fn::params[i];
        }
        return text + ")\n--\n\n" + Fn::doc;
    }();
    static PyMethodDef def = {Fn::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Fn>)),
                              METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    return &def;
}

// Module-level function `Fn::name` of module `m`.
template <typename Fn>
void def_function(nb::module_ &m) {
    PyObject *fn = PyCFunction_NewEx(definition<Fn>(""), nullptr, nb::getattr(m, "__name__").ptr());
    if (!fn)
        throw nb::python_error();
    nb::setattr(m, Fn::name, nb::steal(fn));
}

// Method `Fn::name` of class `cls` (self is the instance).
template <typename Fn>
void def_method(nb::handle cls) {
    PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), definition<Fn>("$self, /"));
    if (!descr)
        throw nb::python_error();
    nb::setattr(cls, Fn::name, nb::steal(descr));
}

// Class method `Fn::name` of class `cls` (self is the class or subclass).
template <typename Fn>
void def_class_method(nb::handle cls) {
    PyObject *descr = PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), definition<Fn>("$cls"));
    if (!descr)
        throw nb::python_error();
    nb::setattr(cls, Fn::name, nb::steal(descr));
}

// ---------------------------------------------------------------------------
// 5. Blocking waits and interpreter shutdown
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
// 6. Logging

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
