// vorn_camera_sdk.platform.linux: the Linux platform backend.
//
// Talks to V4L2 device nodes with raw ioctl requests (no V4L2 library),
// reads USB product strings from sysfs, hands out control handles on a
// parallel descriptor, builds the stream open arguments for FFmpeg's v4l2
// demuxer and lets ONNX Runtime preload NVIDIA's CUDA libraries.
//
// Functions that call other module-level names (`_querycap`,
// `parse_vorn_iproduct`, `_CANONICAL_TO_V4L2_ID`, ...) look them up in the
// module's namespace at call time, as Python code would through its globals;
// each function holds the module dict the way a Python function holds
// `__globals__`.

#include "glue.hpp"
#include "v4l2_abi.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.platform.linux";

// ---------------------------------------------------------------------------
// Small helpers

// The module namespace plus a few interned attribute names, captured by every
// function that needs them (a function's view of its globals).
struct Globals {
    nb::object dict;

    // globals()[name], or NameError like an unbound global.
    nb::object get(const char *name) const {
        PyObject *v = PyDict_GetItemString(dict.ptr(), name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw nb::python_error();
        }
        return nb::borrow(v);
    }
};

// open(2) with EINTR retried, as os.open does; descriptors are not inherited.
int open_retry(const char *path, int flags, int &err) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    err = fd < 0 ? errno : 0;
    return fd;
}

// A path argument as os.open accepts it (str, bytes or os.PathLike), encoded
// for the file system; an embedded NUL raises ValueError.
std::string fs_path(nb::handle path) {
    PyObject *out = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &out))
        throw nb::python_error();
    nb::object bytes = nb::steal(out);
    return std::string(PyBytes_AS_STRING(out), size_t(PyBytes_GET_SIZE(out)));
}

// A str encoded for the file system (surrogateescape), NULs kept.
std::string fs_encode(nb::handle text) {
    PyObject *out = PyUnicode_EncodeFSDefault(text.ptr());
    if (!out)
        throw nb::python_error();
    nb::object bytes = nb::steal(out);
    return std::string(PyBytes_AS_STRING(out), size_t(PyBytes_GET_SIZE(out)));
}

// `a, b = value` with the interpreter's own error messages.
std::pair<nb::object, nb::object> unpack_two(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyTypeObject *tp = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && tp->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", tp->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        items[i] = nb::steal(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return {std::move(items[0]), std::move(items[1])};
}

// ---------------------------------------------------------------------------
// ioctl primitives

// _IOC(direction, type_, nr, size): Python integer semantics, nothing masked.
nb::object ioc(nb::handle direction, nb::handle type_, nb::handle nr, nb::handle size) {
    // ord(type_): a one-character str directly, anything else through ord().
    nb::object type_code;
    if (PyUnicode_Check(type_.ptr()) && PyUnicode_GET_LENGTH(type_.ptr()) == 1)
        type_code = nb::steal(PyLong_FromLong(long(PyUnicode_READ_CHAR(type_.ptr(), 0))));
    else
        type_code = nb::module_::import_("builtins").attr("ord")(type_);

    // Fast path: plain ints small enough that int64 arithmetic is exact.
    auto small = [](nb::handle h, long long limit, long long &out) {
        if (!PyLong_CheckExact(h.ptr()))
            return false;
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
        return !overflow && out > -limit && out < limit;
    };
    long long d, n, s, t;
    if (small(direction, 1LL << 32, d) && small(nr, 1LL << 60, n) && small(size, 1LL << 44, s) &&
        small(type_code, 1LL << 40, t)) {
        long long v = (d * (1LL << 30)) | (s * (1LL << 16)) | (t * (1LL << 8)) | n;
        return nb::steal(PyLong_FromLongLong(v));
    }

    // General case, evaluated left to right as the expression reads.
    auto shift = [](nb::handle a, long bits) {
        nb::object b = nb::steal(PyLong_FromLong(bits));
        PyObject *r = PyNumber_Lshift(a.ptr(), b.ptr());
        if (!r)
            throw nb::python_error();
        return nb::steal(r);
    };
    auto bor = [](nb::handle a, nb::handle b) {
        PyObject *r = PyNumber_Or(a.ptr(), b.ptr());
        if (!r)
            throw nb::python_error();
        return nb::steal(r);
    };
    nb::object acc = shift(direction, 30);
    acc = bor(acc, shift(size, 16));
    acc = bor(acc, shift(type_code, 8));
    return bor(acc, nr);
}

// A NUL-padded fixed text field: trailing NULs dropped, ASCII with U+FFFD.
nb::object fixed_text(const unsigned char *p, size_t n) {
    while (n > 0 && p[n - 1] == 0)
        --n;
    PyObject *s = PyUnicode_DecodeASCII(reinterpret_cast<const char *>(p), Py_ssize_t(n), "replace");
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

// _querycap(fd) -> (driver, card, capability word).
nb::object querycap(nb::handle fd_obj) {
    // Descriptor conversion and its errors exactly as fcntl.ioctl does them.
    int fd = PyObject_AsFileDescriptor(fd_obj.ptr());
    if (fd < 0)
        throw nb::python_error();

    unsigned char buf[vorn::v4l2::SIZE_QUERYCAP] = {};
    int rc, err;
    {
        nb::gil_scoped_release unlocked;
        rc = ::ioctl(fd, vorn::v4l2::QUERYCAP, buf);
        err = errno;
    }
    if (rc == -1)
        vorn::raise_errno(err);

    using Cap = vorn::v4l2::Capability;
    nb::object driver = fixed_text(buf + offsetof(Cap, driver), sizeof(Cap::driver));
    nb::object card = fixed_text(buf + offsetof(Cap, card), sizeof(Cap::card));
    std::uint32_t device_caps = vorn::v4l2::load_le32(buf + offsetof(Cap, device_caps));
    std::uint32_t capabilities = vorn::v4l2::load_le32(buf + offsetof(Cap, capabilities));
    std::uint32_t word = device_caps != 0 ? device_caps : capabilities;
    return nb::make_tuple(driver, card, nb::int_(word));
}

// ---------------------------------------------------------------------------
// Enumeration

// Last component of a path as pathlib names it ('' and '.' parts dropped).
std::string path_name(const std::string &path) {
    std::string last;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string part = path.substr(i, j - i);
        if (!part.empty() && part != ".")
            last = part;
        i = j + 1;
    }
    return last;
}

// Lexical parent of an absolute path; the root is its own parent.
std::string path_parent(const std::string &path) {
    size_t k = path.rfind('/');
    if (k == std::string::npos || k == 0)
        return "/";
    return path.substr(0, k);
}

std::string path_join(const std::string &dir, const char *name) {
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

// Result of a sysfs test: a missing path (or one that cannot be a path) is
// simply "no"; any other failure is a per-device fault.
enum class Test { Yes, No, Fault };

bool missing_path_errno(int err) {
    return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP;
}

Test is_regular_file(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? Test::Yes : Test::No;
    return missing_path_errno(errno) ? Test::No : Test::Fault;
}

// The raw bytes of the USB "product" file above a video node's sysfs entry,
// or nothing. Runs without the GIL: only system calls.
std::optional<std::string> usb_product_bytes(const std::string &node_name) {
    if (node_name.find('\0') != std::string::npos)
        return std::nullopt;
    std::string base = "/sys/class/video4linux/";
    base += node_name.empty() ? "device" : node_name + "/device";

    struct stat st;
    if (::stat(base.c_str(), &st) != 0)
        return std::nullopt;  // absent or dangling; any other failure skips the device too
    if (::lstat(base.c_str(), &st) != 0)
        return std::nullopt;

    std::string node = base;
    if (S_ISLNK(st.st_mode)) {
        char *resolved = ::realpath(base.c_str(), nullptr);
        if (!resolved)
            return std::nullopt;
        node = resolved;
        std::free(resolved);
    }

    for (int examined = 0; examined < 8; ++examined) {
        Test vendor = is_regular_file(path_join(node, "idVendor"));
        if (vendor == Test::Fault)
            return std::nullopt;
        if (vendor == Test::Yes) {
            std::string product_path = path_join(node, "product");
            if (is_regular_file(product_path) != Test::Yes)
                return std::nullopt;
            int err;
            int fd = open_retry(product_path.c_str(), O_RDONLY, err);
            if (fd < 0)
                return std::nullopt;
            std::string data;
            char chunk[4096];
            for (;;) {
                ssize_t got = ::read(fd, chunk, sizeof chunk);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0) {
                    ::close(fd);
                    return std::nullopt;
                }
                if (got == 0)
                    break;
                data.append(chunk, size_t(got));
            }
            ::close(fd);
            return data;
        }
        std::string parent = path_parent(node);
        if (parent == node)
            return std::nullopt;
        node = parent;
    }
    return std::nullopt;
}

// _read_usb_iproduct(dev_path) -> the stripped USB product text, or None.
nb::object read_usb_iproduct(nb::handle dev_path) {
    PyObject *fspath = PyOS_FSPath(dev_path.ptr());
    if (!fspath)
        throw nb::python_error();
    nb::object path = nb::steal(fspath);
    if (!PyUnicode_Check(fspath)) {
        PyErr_Format(PyExc_TypeError,
                     "argument should be a str or an os.PathLike object where __fspath__ "
                     "returns a str, not '%.200s'",
                     Py_TYPE(fspath)->tp_name);
        throw nb::python_error();
    }
    std::string name = path_name(fs_encode(path));

    std::optional<std::string> raw;
    {
        nb::gil_scoped_release unlocked;
        raw = usb_product_bytes(name);
    }
    if (!raw)
        return nb::none();

    // Text as Python's open() reads it by default: the locale's encoding and
    // universal newlines; bytes that do not decode skip the device.
    nb::object encoding = vorn::import_name("locale", "getpreferredencoding")(false);
    const char *enc = PyUnicode_AsUTF8(encoding.ptr());
    if (!enc)
        throw nb::python_error();
    PyObject *decoded = PyUnicode_Decode(raw->data(), Py_ssize_t(raw->size()), enc, "strict");
    if (!decoded) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return nb::none();
        }
        throw nb::python_error();
    }
    nb::object text = nb::steal(decoded);
    if (raw->find('\r') != std::string::npos)
        text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
    return text.attr("strip")();
}

// Names of /dev entries matching "video*" (glob semantics: an unreadable or
// missing /dev matches nothing). Runs without the GIL.
std::vector<std::string> dev_video_names() {
    std::vector<std::string> names;
    DIR *dir = ::opendir("/dev");
    if (!dir)
        return names;
    for (;;) {
        errno = 0;
        dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                names.clear();
            break;
        }
        if (std::strncmp(entry->d_name, "video", 5) == 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// Control requests in flight, counted per descriptor number. A request
// registers its descriptor before it lets go of the GIL for the ioctl, and
// close() waits until the number is free of requests before it closes it:
// otherwise another thread's open() could be handed the same number while a
// request is still on its way to the kernel, and the request would land in an
// unrelated file. Only touched with the GIL held; the GIL is its lock.
class InFlight {
public:
    void enter(int fd) {
        for (Entry &e : entries_)
            if (e.fd == fd) {
                ++e.count;
                return;
            }
        entries_.push_back({fd, 1});
    }

    void leave(int fd) {
        for (Entry &e : entries_)
            if (e.fd == fd) {
                if (--e.count == 0) {
                    e = entries_.back();
                    entries_.pop_back();
                }
                return;
            }
    }

    bool busy(int fd) const {
        for (const Entry &e : entries_)
            if (e.fd == fd)
                return true;
        return false;
    }

private:
    struct Entry {
        int fd;
        int count;
    };
    std::vector<Entry> entries_;  // a handful at most: one per busy handle
};

// Interned names, the module namespace and the in-flight register, shared by
// the functions below.
struct Module {
    Globals globals;
    nb::object fd_key = nb::steal(PyUnicode_InternFromString("_fd"));
    nb::object os_id_key = nb::steal(PyUnicode_InternFromString("_os_id"));
    nb::object table_key = nb::steal(PyUnicode_InternFromString("_CANONICAL_TO_V4L2_ID"));
    std::shared_ptr<InFlight> in_flight = std::make_shared<InFlight>();
};

int close_released(int fd) {
    nb::gil_scoped_release unlocked;
    return ::close(fd);
}

// LinuxBackend.list_cameras(self)
nb::list list_cameras(const Globals &g) {
    std::vector<std::string> names;
    {
        nb::gil_scoped_release unlocked;
        names = dev_video_names();
    }
    nb::list paths;
    for (const std::string &name : names) {
        std::string path = "/dev/" + name;
        PyObject *p = PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
        if (!p)
            throw nb::python_error();
        paths.append(nb::steal(p));
    }
    if (PyList_Sort(paths.ptr()) != 0)
        throw nb::python_error();

    nb::list result;
    for (nb::handle path : paths) {
        std::string fs = fs_encode(path);
        int fd, err;
        {
            nb::gil_scoped_release unlocked;
            fd = open_retry(fs.c_str(), O_RDWR | O_NONBLOCK, err);
        }
        if (fd < 0)
            continue;  // no permission, node vanished, ...

        nb::object caps;
        try {
            caps = g.get("_querycap")(fd)[2];
        } catch (nb::python_error &e) {
            close_released(fd);
            if (e.matches(PyExc_OSError))
                continue;  // not a V4L2 node
            throw;
        }
        if (close_released(fd) != 0)
            continue;  // a node that cannot even be closed is not usable

        PyObject *bit = PyNumber_And(caps.ptr(), nb::int_(vorn::v4l2::CAP_VIDEO_CAPTURE).ptr());
        if (!bit)
            throw nb::python_error();
        int capture = PyObject_IsTrue(nb::steal(bit).ptr());
        if (capture < 0)
            throw nb::python_error();
        if (!capture)
            continue;

        nb::object iproduct = g.get("_read_usb_iproduct")(path);
        if (iproduct.is_none())
            continue;
        nb::object parsed = g.get("parse_vorn_iproduct")(iproduct);
        if (parsed.is_none())
            continue;
        auto [product, serial] = unpack_two(parsed);
        result.append(g.get("VideoDeviceInfo")("os_id"_a = path, "name"_a = product,
                                               "serial"_a = serial));
    }
    return result;
}

// ---------------------------------------------------------------------------
// Controls

// Pack `value` as struct format `fmt` would and return the 32-bit word; the
// fast path covers plain ints, everything else (and every error) goes
// through struct itself so the exception is struct's own.
std::uint32_t pack_word(nb::handle value, bool is_signed) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow) {
            if (is_signed ? (v >= INT32_MIN && v <= INT32_MAX) : (v >= 0 && v <= UINT32_MAX))
                return std::uint32_t(v);
        } else {
            PyErr_Clear();
        }
    }
    nb::object packed = vorn::import_name("struct", "pack")(is_signed ? "<i" : "<I", value);
    return vorn::v4l2::load_le32(reinterpret_cast<const unsigned char *>(PyBytes_AsString(packed.ptr())));
}

// int(value) packed as a signed 32-bit word: truncation toward zero,
// ValueError/OverflowError for NaN/infinity, struct.error out of range.
std::uint32_t pack_truncated(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        double d = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isfinite(d)) {
            double t = std::trunc(d);
            if (t >= double(INT32_MIN) && t <= double(INT32_MAX))
                return std::uint32_t(std::int32_t(t));
        }
    }
    PyObject *as_int = PyNumber_Long(value.ptr());
    if (!as_int)
        throw nb::python_error();
    return pack_word(nb::steal(as_int), true);
}

// `_CANONICAL_TO_V4L2_ID.get(name)`, packed as an unsigned 32-bit word;
// false when the name has no entry.
bool control_id(const Module &mod, nb::handle name, std::uint32_t &cid) {
    PyObject *table = PyDict_GetItemWithError(mod.globals.dict.ptr(), mod.table_key.ptr());
    if (!table) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name '_CANONICAL_TO_V4L2_ID' is not defined");
        throw nb::python_error();
    }
    nb::object entry;
    if (PyDict_CheckExact(table)) {
        PyObject *v = PyDict_GetItemWithError(table, name.ptr());
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        entry = nb::borrow(v ? v : Py_None);
    } else {
        entry = nb::handle(table).attr("get")(name);
    }
    if (entry.is_none())
        return false;
    cid = pack_word(entry, false);
    return true;
}

// The handle's descriptor, converted as fcntl.ioctl converts it: -1 (closed)
// raises ValueError, None raises TypeError, before any system call.
int handle_fd(const Module &mod, nb::handle self) {
    nb::object fd_obj = nb::steal(PyObject_GetAttr(self.ptr(), mod.fd_key.ptr()));
    if (!fd_obj.is_valid())
        throw nb::python_error();
    int fd = PyObject_AsFileDescriptor(fd_obj.ptr());
    if (fd < 0)
        throw nb::python_error();
    return fd;
}

// One control request on the handle's descriptor, without the GIL (a UVC
// request can take milliseconds). Returns false when the driver refuses it.
bool control_request(const Module &mod, nb::handle self, unsigned long request,
                     unsigned char (&buf)[vorn::v4l2::SIZE_CONTROL]) {
    int fd = handle_fd(mod, self);
    int rc;
    mod.in_flight->enter(fd);
    {
        nb::gil_scoped_release unlocked;
        rc = ::ioctl(fd, request, buf);
    }
    mod.in_flight->leave(fd);
    return rc != -1;
}

// _LinuxCameraControls.__init__(self, os_id)
void controls_init(const Module &mod, nb::handle self, nb::handle os_id) {
    if (PyObject_SetAttr(self.ptr(), mod.os_id_key.ptr(), os_id.ptr()) != 0)
        throw nb::python_error();
    std::string path = fs_path(os_id);
    int fd, err;
    {
        nb::gil_scoped_release unlocked;
        fd = open_retry(path.c_str(), O_RDWR, err);
    }
    if (fd < 0)
        vorn::raise_errno(err, os_id);
    nb::object fd_obj = nb::int_(fd);
    if (PyObject_SetAttr(self.ptr(), mod.fd_key.ptr(), fd_obj.ptr()) != 0) {
        close_released(fd);
        throw nb::python_error();
    }
}

// _LinuxCameraControls.get(self, name)
nb::object controls_get(const Module &mod, nb::handle self, nb::handle name) {
    std::uint32_t cid;
    if (!control_id(mod, name, cid))
        return nb::none();
    unsigned char buf[vorn::v4l2::SIZE_CONTROL] = {};
    vorn::v4l2::store_le32(buf + offsetof(vorn::v4l2::Control, id), cid);
    if (!control_request(mod, self, vorn::v4l2::G_CTRL, buf))
        return nb::none();
    auto value = std::int32_t(vorn::v4l2::load_le32(buf + offsetof(vorn::v4l2::Control, value)));
    return nb::steal(PyFloat_FromDouble(double(value)));
}

// _LinuxCameraControls.set(self, name, value)
bool controls_set(const Module &mod, nb::handle self, nb::handle name, nb::handle value) {
    std::uint32_t cid;
    if (!control_id(mod, name, cid))
        return false;
    unsigned char buf[vorn::v4l2::SIZE_CONTROL] = {};
    vorn::v4l2::store_le32(buf + offsetof(vorn::v4l2::Control, id), cid);
    vorn::v4l2::store_le32(buf + offsetof(vorn::v4l2::Control, value), pack_truncated(value));
    return control_request(mod, self, vorn::v4l2::S_CTRL, buf);
}

// _LinuxCameraControls.close(self): idempotent; the handle reads as closed
// (-1) before the descriptor is released, so no other caller can pick up a
// descriptor number that is about to be reused, and requests that picked it
// up earlier are waited for.
void controls_close(const Module &mod, nb::handle self) {
    nb::object fd_obj = nb::steal(PyObject_GetAttr(self.ptr(), mod.fd_key.ptr()));
    if (!fd_obj.is_valid())
        throw nb::python_error();
    if (fd_obj.is_none())
        return;
    nb::object zero = nb::int_(0);
    int open = PyObject_RichCompareBool(fd_obj.ptr(), zero.ptr(), Py_GE);
    if (open < 0)
        throw nb::python_error();
    if (!open)
        return;
    PyObject *index = PyNumber_Index(fd_obj.ptr());
    if (!index)
        throw nb::python_error();
    int overflow = 0;
    long long fd = PyLong_AsLongLongAndOverflow(nb::steal(index).ptr(), &overflow);
    if (overflow || fd > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        throw nb::python_error();
    }
    nb::object closed = nb::int_(-1);
    if (PyObject_SetAttr(self.ptr(), mod.fd_key.ptr(), closed.ptr()) != 0)
        throw nb::python_error();
    while (mod.in_flight->busy(int(fd))) {
        nb::gil_scoped_release unlocked;  // lets the requests finish
        const timespec pause{0, 200 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    close_released(int(fd));  // a failing close still releases the descriptor
}

// ---------------------------------------------------------------------------
// Stream open arguments

nb::object str_of(nb::handle value) {
    PyObject *s = PyObject_Str(value.ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal(s);
}

// LinuxBackend.av_open_args(self, os_id, mode)
nb::tuple av_open_args(const Globals &g, nb::handle os_id, nb::handle mode) {
    nb::object fourcc = mode.attr("fourcc");
    nb::object key = fourcc.attr("upper")();
    nb::object table = g.get("_FOURCC_TO_FFMPEG");
    nb::object ff = table.attr("get")(key);
    if (ff.is_none()) {
        nb::object supported = nb::steal(PySequence_List(table.ptr()));
        if (!supported.is_valid() || PyList_Sort(supported.ptr()) != 0)
            throw nb::python_error();
        nb::str message = nb::str("unsupported fourcc {}; supported: {}")
                              .format(nb::repr(fourcc), str_of(supported));
        vorn::raise(PyExc_ValueError, message);
    }
    nb::object width = mode.attr("width");
    nb::object height = mode.attr("height");
    nb::object fps = mode.attr("fps");
    nb::dict options;
    options["input_format"] = ff;
    options["video_size"] = nb::str("{}x{}").format(str_of(width), str_of(height));
    options["framerate"] = str_of(fps);
    return nb::make_tuple(os_id, "v4l2", options);
}

// ---------------------------------------------------------------------------
// CUDA preload

// _setup_cuda_linux_preload()
void setup_cuda_linux_preload() {
    nb::object site = nb::module_::import_("site");
    nb::object join = vorn::import_name("os.path", "join");
    nb::object isdir = vorn::import_name("os.path", "isdir");

    nb::list roots;
    for (nb::handle dir : site.attr("getsitepackages")())
        roots.append(join(dir, "nvidia"));
    nb::object user = site.attr("getusersitepackages")();
    if (nb::bool_(user))
        roots.append(join(user, "nvidia"));

    bool found = false;
    for (nb::handle root : roots) {
        if (nb::bool_(isdir(join(root, "cudnn", "lib")))) {
            found = true;
            break;
        }
    }
    if (!found)
        return;

    try {
        nb::module_ ort = nb::module_::import_("onnxruntime");
        ort.attr("preload_dlls")("cuda"_a = true, "cudnn"_a = true);
    } catch (nb::python_error &e) {
        // Missing library, no preload_dlls, a library that fails to load:
        // the preload is optional. Exit and interrupt requests go through.
        if (!e.matches(PyExc_Exception))
            throw;
    }
}

// Build a class the way a class statement would: `type(name, bases, ns)`.
nb::object make_class(const char *name, nb::handle base, const char *doc, nb::dict ns) {
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    nb::object type = nb::module_::import_("builtins").attr("type");
    return type(name, nb::make_tuple(base), ns);
}

// What methods of class `qualname` report as their owner: nanobind names a
// function after its scope's __qualname__ and __module__. (The class itself
// cannot be the scope: nanobind would try to overload the inherited Python
// methods of the same name.) nanobind keeps only a borrowed pointer to a
// scope, so the namespace lives as long as the process, like the class.
nb::handle method_scope(const char *qualname) {
    return vorn::import_name("types", "SimpleNamespace")("__qualname__"_a = qualname,
                                                         "__module__"_a = kModuleName)
        .release();
}

}  // namespace

// GNU dialects predefine `linux` as 1; the module needs its own name back.
#undef linux

NB_MODULE(linux, m) {
    m.doc() = "Linux platform backend: V4L2 device nodes, sysfs, control handles, stream "
              "open arguments and the CUDA library preload.";

    for (const char *name : {"_FOURCC_TO_FFMPEG", "CameraControls", "PlatformBackend",
                             "VideoDeviceInfo", "parse_vorn_iproduct"})
        m.attr(name) = vorn::import_relative(m, "base", name);

    Module mod{Globals{nb::borrow(PyModule_GetDict(m.ptr()))}};
    const Globals &g = mod.globals;

    // ioctl number encoding and the request codes, computed at import.
    m.def("_IOC", &ioc, "direction"_a.none(), "type_"_a.none(), "nr"_a.none(), "size"_a.none(),
          nb::sig("def _IOC(direction: int, type_: str, nr: int, size: int) -> int"),
          "Encode an ioctl request number: (direction << 30) | (size << 16) |\n"
          "(ord(type_) << 8) | nr, with nothing masked or range-checked.");
    m.attr("_IOC_NONE") = vorn::v4l2::IOC_NONE;
    m.attr("_IOC_WRITE") = vorn::v4l2::IOC_WRITE;
    m.attr("_IOC_READ") = vorn::v4l2::IOC_READ;
    m.attr("_SIZE_QUERYCAP") = vorn::v4l2::SIZE_QUERYCAP;
    m.attr("_SIZE_CONTROL") = vorn::v4l2::SIZE_CONTROL;
    nb::object ioc_fn = m.attr("_IOC");
    m.attr("VIDIOC_QUERYCAP") = ioc_fn(m.attr("_IOC_READ"), "V", 0, m.attr("_SIZE_QUERYCAP"));
    m.attr("VIDIOC_G_CTRL") =
        ioc_fn(m.attr("_IOC_READ") | m.attr("_IOC_WRITE"), "V", 27, m.attr("_SIZE_CONTROL"));
    m.attr("VIDIOC_S_CTRL") =
        ioc_fn(m.attr("_IOC_READ") | m.attr("_IOC_WRITE"), "V", 28, m.attr("_SIZE_CONTROL"));
    m.attr("V4L2_CAP_VIDEO_CAPTURE") = vorn::v4l2::CAP_VIDEO_CAPTURE;

    m.def("_querycap", &querycap, "fd"_a.none(),
          nb::sig("def _querycap(fd: int) -> tuple[str, str, int]"),
          "Ask an open V4L2 descriptor what it is: (driver, card, capabilities).\n\n"
          "The capability word is the node's own device_caps when the driver\n"
          "reports them, else the whole device's capabilities. A failing request\n"
          "raises OSError.");
    m.def("_read_usb_iproduct", &read_usb_iproduct, "dev_path"_a.none(),
          nb::sig("def _read_usb_iproduct(dev_path: str) -> Optional[str]"),
          "The USB iProduct string of a /dev/videoN node, read from sysfs and\n"
          "stripped, or None when the node is not on a USB bus, sysfs does not\n"
          "know it, or its product text cannot be read.");

    // Controls
    nb::dict table;
    table["brightness"] = V4L2_CID_BRIGHTNESS;
    table["contrast"] = V4L2_CID_CONTRAST;
    table["saturation"] = V4L2_CID_SATURATION;
    table["hue"] = V4L2_CID_HUE;
    table["gain"] = V4L2_CID_GAIN;
    table["auto_exposure"] = V4L2_CID_EXPOSURE_AUTO;
    table["exposure"] = V4L2_CID_EXPOSURE_ABSOLUTE;
    table["gamma"] = V4L2_CID_GAMMA;
    table["white_balance_auto"] = V4L2_CID_AUTO_WHITE_BALANCE;
    table["white_balance"] = V4L2_CID_WHITE_BALANCE_TEMPERATURE;
    table["power_line_frequency"] = V4L2_CID_POWER_LINE_FREQUENCY;
    table["sharpness"] = V4L2_CID_SHARPNESS;
    table["backlight_compensation"] = V4L2_CID_BACKLIGHT_COMPENSATION;
    m.attr("_CANONICAL_TO_V4L2_ID") = table;

    nb::object controls = make_class("_LinuxCameraControls", m.attr("CameraControls"),
                                     "V4L2 ioctl-based control handle on a parallel fd.",
                                     nb::dict());
    nb::handle controls_scope = method_scope("_LinuxCameraControls");
    controls.attr("__init__") = nb::cpp_function(
        [mod](nb::handle self, nb::handle os_id) { controls_init(mod, self, os_id); },
        nb::scope(controls_scope), nb::name("__init__"), nb::is_method(), "os_id"_a.none(),
        nb::sig("def __init__(self, os_id: str) -> None"),
        "Open os_id read-write (blocking) for control requests.");
    controls.attr("get") = nb::cpp_function(
        [mod](nb::handle self, nb::handle name) { return controls_get(mod, self, name); },
        nb::scope(controls_scope), nb::name("get"), nb::is_method(), "name"_a.none(),
        nb::sig("def get(self, name: str) -> Optional[float]"),
        "Read a control by canonical name, in raw device units. None when the\n"
        "name is unknown or the device refuses the request.");
    controls.attr("set") = nb::cpp_function(
        [mod](nb::handle self, nb::handle name, nb::handle value) {
            return controls_set(mod, self, name, value);
        },
        nb::scope(controls_scope), nb::name("set"), nb::is_method(), "name"_a.none(), "value"_a.none(),
        nb::sig("def set(self, name: str, value: float) -> bool"),
        "Write a control by canonical name; the value is truncated toward zero.\n"
        "False when the name is unknown or the device refuses the request or the\n"
        "value; a value outside the 32-bit range raises struct.error.");
    controls.attr("close") = nb::cpp_function(
        [mod](nb::handle self) { controls_close(mod, self); }, nb::scope(controls_scope),
        nb::name("close"), nb::is_method(), nb::sig("def close(self) -> None"),
        "Release the descriptor. Closing twice is harmless.");
    m.attr("_LinuxCameraControls") = controls;

    // Backend
    nb::dict ns;
    ns["av_input_format"] = "v4l2";
    ns["clock_domain"] = "linux_monotonic";
    nb::object class_var_str = vorn::import_name("typing", "ClassVar")[nb::handle((PyObject *) &PyUnicode_Type)];
    nb::dict annotations;
    annotations["av_input_format"] = class_var_str;
    annotations["clock_domain"] = class_var_str;
    ns["__annotations__"] = annotations;
    nb::object backend = make_class(
        "LinuxBackend", m.attr("PlatformBackend"),
        "Platform backend for Linux: V4L2 device nodes found through /dev and sysfs.", ns);
    nb::handle backend_scope = method_scope("LinuxBackend");
    backend.attr("list_cameras") = nb::cpp_function(
        [g](nb::handle) { return list_cameras(g); }, nb::scope(backend_scope),
        nb::name("list_cameras"), nb::is_method(),
        nb::sig("def list_cameras(self) -> list[VideoDeviceInfo]"),
        "The maker's cameras plugged in now, one entry per video capture node,\n"
        "in device-path order. A device that cannot be queried is left out.");
    backend.attr("open_controls") = nb::cpp_function(
        [g](nb::handle, nb::handle os_id, nb::handle) {
            return g.get("_LinuxCameraControls")(os_id);
        },
        nb::scope(backend_scope), nb::name("open_controls"), nb::is_method(), "os_id"_a.none(),
        "serial"_a.none() = nb::none(),
        nb::sig("def open_controls(self, os_id: str, serial: Optional[str] = None) -> CameraControls"),
        "A new control handle with its own descriptor on os_id; serial is not\n"
        "needed on Linux. Close it (or use it as a context manager).");
    backend.attr("av_open_args") = nb::cpp_function(
        [g](nb::handle, nb::handle os_id, nb::handle mode) { return av_open_args(g, os_id, mode); },
        nb::scope(backend_scope), nb::name("av_open_args"), nb::is_method(), "os_id"_a.none(), "mode"_a.none(),
        nb::sig("def av_open_args(self, os_id: str, mode: CaptureMode) -> tuple[str, str, dict]"),
        "(path, input format, demuxer options) for opening a capture mode with\n"
        "an FFmpeg-based library. ValueError for a pixel format FFmpeg's v4l2\n"
        "input cannot be asked for.");
    m.attr("LinuxBackend") = backend;

    m.def("_setup_cuda_linux_preload", &setup_cuda_linux_preload,
          nb::sig("def _setup_cuda_linux_preload() -> None"),
          "Let onnxruntime preload CUDA and cuDNN when NVIDIA's pip packages are\n"
          "installed in a site-packages directory; otherwise, or on any error of\n"
          "the preload itself, do nothing.");
}
