// vorn_camera_sdk.platform.linux: the Linux platform backend.
//
// Talks to V4L2 device nodes with raw ioctl requests (no V4L2 library),
// reads USB product strings from sysfs, hands out control handles on a
// parallel descriptor, builds the stream open arguments for FFmpeg's v4l2
// demuxer and lets ONNX Runtime preload NVIDIA's CUDA libraries.
//
// Functions that use other module-level names (`_querycap`,
// `parse_vorn_iproduct`, `_CANONICAL_TO_V4L2_ID`, ...) look them up in the
// module's namespace at call time, as Python code does through its globals.
// Blocking system calls run without the GIL.

#include "glue.hpp"
#include "v4l2_abi.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The module namespace, as a function sees its globals.
struct Globals {
    nb::object dict;

    // globals()[key], borrowed, or NameError like an unbound global.
    NB_INLINE nb::handle find(nb::handle key) const {
        PyObject *value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
            throw nb::python_error();
        }
        return value;
    }
    nb::object get(const char *name) const { return nb::borrow(find(nb::str(name))); }
};

// A path argument as os.open takes it (str, bytes or os.PathLike), encoded
// for the file system; an embedded NUL raises ValueError.
std::string fs_path(nb::handle path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded))
        throw nb::python_error();
    nb::bytes bytes = nb::steal<nb::bytes>(encoded);
    return std::string(bytes.c_str(), bytes.size());
}

// open(2) as os.open does it: EINTR retried, the descriptor not inherited.
// The caller decides about the GIL.
int sys_open(const char *path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int close_released(int fd) {
    nb::gil_scoped_release unlocked;
    return ::close(fd);
}

// ---------------------------------------------------------------------------
// ioctl primitives

// _IOC(direction, type_, nr, size), evaluated left to right with Python's
// integer operations: nothing masked or range-checked.
nb::object ioc(nb::handle direction, nb::handle type_, nb::handle nr, nb::handle size) {
    nb::object code = direction << nb::int_(30);
    code = code | (size << nb::int_(16));
    code = code | (vorn::import_name("builtins", "ord")(type_) << nb::int_(8));
    return code | nr;
}

// A NUL-padded fixed text field: trailing NULs dropped, ASCII with U+FFFD.
nb::str fixed_text(const std::uint8_t *text, size_t size) {
    while (size > 0 && text[size - 1] == 0)
        --size;
    PyObject *s = PyUnicode_DecodeASCII(reinterpret_cast<const char *>(text), Py_ssize_t(size), "replace");
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// _querycap(fd) -> (driver, card, capability word).
nb::tuple querycap(nb::handle fd_obj) {
    int fd = PyObject_AsFileDescriptor(fd_obj.ptr());  // errors as fcntl.ioctl gives them
    if (fd < 0)
        throw nb::python_error();
    v4l2_capability cap{};
    int rc, err;
    {
        nb::gil_scoped_release unlocked;
        rc = ::ioctl(fd, vorn::v4l2::QUERYCAP, &cap);
        err = errno;
    }
    if (rc == -1)
        vorn::raise_errno(err);
    std::uint32_t word = cap.device_caps != 0 ? cap.device_caps : cap.capabilities;
    return nb::make_tuple(fixed_text(cap.driver, sizeof cap.driver), fixed_text(cap.card, sizeof cap.card),
                          nb::int_(word));
}

// ---------------------------------------------------------------------------
// Enumeration

// Whether `path` is a regular file, symbolic links followed. A path that is
// missing (or cannot be one) is simply "no"; any other failure is a fault.
enum class Test { Yes, No, Fault };

Test is_file(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? Test::Yes : Test::No;
    bool missing = errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP;
    return missing ? Test::No : Test::Fault;
}

// The whole contents of a file, or nothing on any error.
std::optional<std::string> read_file(const std::string &path) {
    int fd = sys_open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) != 0) {
        if (got > 0) {
            data.append(chunk, size_t(got));
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return data;
}

// The raw bytes of the USB "product" file that belongs to a video node:
// from the node's sysfs "device" entry (its link resolved) up through at most
// eight directories, stopping at the first that has "idVendor". Absent
// entries and sysfs faults alike give nothing. System calls only: runs
// without the GIL.
std::optional<std::string> usb_product_bytes(const std::string &node_name) {
    if (node_name.find('\0') != std::string::npos)
        return std::nullopt;  // names no file
    std::string node = "/sys/class/video4linux/" + (node_name.empty() ? "" : node_name + "/") + "device";
    struct stat st;
    if (::stat(node.c_str(), &st) != 0 || ::lstat(node.c_str(), &st) != 0)
        return std::nullopt;
    if (S_ISLNK(st.st_mode)) {
        char *resolved = ::realpath(node.c_str(), nullptr);
        if (!resolved)
            return std::nullopt;
        node = resolved;
        std::free(resolved);
    }
    for (int examined = 0; examined < 8; ++examined) {
        Test vendor = is_file(node + "/idVendor");
        if (vendor == Test::Fault)
            return std::nullopt;
        if (vendor == Test::Yes) {
            std::string product = node + "/product";
            return is_file(product) == Test::Yes ? read_file(product) : std::nullopt;
        }
        size_t slash = node.rfind('/');
        std::string parent = slash == 0 ? "/" : node.substr(0, slash);
        if (parent == node)
            return std::nullopt;
        node = parent;
    }
    return std::nullopt;
}

// _read_usb_iproduct(dev_path) -> the stripped USB product text, or None.
nb::object read_usb_iproduct(nb::handle dev_path) {
    nb::object name = vorn::import_name("pathlib", "PurePath")(dev_path).attr("name");
    PyObject *encoded = PyUnicode_EncodeFSDefault(name.ptr());  // NULs kept: they name no file
    if (!encoded)
        throw nb::python_error();
    std::string node_name(PyBytes_AS_STRING(encoded), size_t(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    std::optional<std::string> raw;
    {
        nb::gil_scoped_release unlocked;
        raw = usb_product_bytes(node_name);
    }
    if (!raw)
        return nb::none();

    // Text as open() reads it by default: the locale's encoding and universal
    // newlines. Bytes that do not decode skip the device.
    nb::object encoding = vorn::import_name("locale", "getpreferredencoding")(false);
    nb::object text;
    try {
        text = nb::bytes(raw->data(), raw->size()).attr("decode")(encoding);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return nb::none();
    }
    return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n").attr("strip")();
}

// `a, b = value`, with the interpreter's own errors.
std::pair<nb::object, nb::object> unpack_two(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyTypeObject *type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter && !PySequence_Check(value.ptr()))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object items[3];
    int count = 0;
    while (count < 3) {
        PyObject *item = PyIter_Next(it);
        if (!item)
            break;
        items[count++] = nb::steal(item);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    if (count == 3)
        vorn::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
        throw nb::python_error();
    }
    return {std::move(items[0]), std::move(items[1])};
}

// "/dev/video*" expanded as glob does it: every /dev entry whose name begins
// with "video"; an unreadable /dev matches nothing. Runs without the GIL.
std::vector<std::string> dev_video_paths() {
    std::vector<std::string> paths;
    if (DIR *dir = ::opendir("/dev")) {
        while (dirent *entry = ::readdir(dir))
            if (std::strncmp(entry->d_name, "video", 5) == 0)
                paths.push_back(std::string("/dev/") + entry->d_name);
        ::closedir(dir);
    }
    return paths;
}

// The name of an error number ("EACCES"), or the number itself as text.
nb::str errno_name(nb::handle err) {
    nb::object name = vorn::import_name("errno", "errorcode").attr("get")(err);
    return name.is_none() ? nb::str(err) : nb::borrow<nb::str>(name);
}

// "kind" or "kind:detail", the form of every probe verdict.
nb::str verdict(const char *kind, nb::handle detail) {
    return detail.is_valid() ? nb::str("{}:{}").format(kind, detail) : nb::str(kind);
}

// _probe_node(path) -> (VideoDeviceInfo or None, verdict): one /dev/video*
// node judged by the enumeration's rules, in their order. The verdict says
// why a node is left out ("open-failed:<errno name>", "not-v4l2:<errno
// name>", "close-failed:<errno name>", "not-capture:<card>",
// "no-usb-product:<card>", "not-vorn:<product>") or is "listed".
nb::tuple probe_node(const Globals &g, nb::handle path) {
    auto left_out = [](const char *kind, nb::handle detail) { return nb::make_tuple(nb::none(), verdict(kind, detail)); };
    std::string fs = fs_path(path);
    int fd, err;
    {
        nb::gil_scoped_release unlocked;
        fd = sys_open(fs.c_str(), O_RDWR | O_NONBLOCK);
        err = errno;
    }
    if (fd < 0)
        return left_out("open-failed", errno_name(nb::int_(err)));  // no permission, node vanished, ...

    nb::object answer;
    try {
        answer = g.get("_querycap")(fd);
    } catch (nb::python_error &e) {
        close_released(fd);
        if (!e.matches(PyExc_OSError))
            throw;
        nb::object code = e.value().attr("errno");
        return left_out("not-v4l2", code.is_none() ? nb::handle() : nb::handle(errno_name(code)));
    }
    {
        nb::gil_scoped_release unlocked;
        err = ::close(fd) == 0 ? 0 : errno;
    }
    if (err != 0)  // a node that cannot even be closed is not usable
        return left_out("close-failed", errno_name(nb::int_(err)));
    if (!nb::bool_(answer[2] & nb::int_(vorn::v4l2::CAP_VIDEO_CAPTURE)))
        return left_out("not-capture", answer[1]);

    nb::object iproduct = g.get("_read_usb_iproduct")(path);
    if (iproduct.is_none())
        return left_out("no-usb-product", answer[1]);
    nb::object parsed = g.get("parse_vorn_iproduct")(iproduct);
    if (parsed.is_none())
        return left_out("not-vorn", iproduct);
    auto [product, serial] = unpack_two(parsed);
    return nb::make_tuple(g.get("VideoDeviceInfo")("os_id"_a = path, "name"_a = product, "serial"_a = serial),
                          "listed");
}

// LinuxBackend.list_cameras(self)
nb::list list_cameras(const Globals &g) {
    std::vector<std::string> found;
    {
        nb::gil_scoped_release unlocked;
        found = dev_video_paths();
    }
    nb::list paths;  // sorted as str, in code-point order
    for (const std::string &path : found) {
        PyObject *text = PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
        if (!text)
            throw nb::python_error();
        paths.append(nb::steal(text));
    }
    if (PyList_Sort(paths.ptr()) != 0)
        throw nb::python_error();

    nb::list result;
    nb::object probe = g.get("_probe_node");
    for (nb::handle path : paths) {
        nb::object info = probe(path)[0];
        if (!info.is_none())
            result.append(info);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Controls

// Descriptors with a control request in flight, one entry per request.
// A request enters its descriptor before it lets go of the GIL for the ioctl,
// and close() waits until the number has no entry before it closes it:
// otherwise another thread's open() could be handed the same number while a
// request is still on its way to the kernel, and the request would land in an
// unrelated file. Only touched with the GIL held; the GIL is its lock.
struct InFlight {
    std::vector<int> fds;  // a handful at most

    void enter(int fd) { fds.push_back(fd); }
    void leave(int fd) {
        for (int &entry : fds)
            if (entry == fd) {
                entry = fds.back();
                fds.pop_back();
                return;
            }
    }
    bool busy(int fd) const { return std::find(fds.begin(), fds.end(), fd) != fds.end(); }
};

// What the control handle's methods share: the module namespace, the names
// they look up on every request, and the requests in flight.
struct Controls {
    Globals globals;
    nb::object fd_key = nb::steal(PyUnicode_InternFromString("_fd"));
    nb::object table_key = nb::steal(PyUnicode_InternFromString("_CANONICAL_TO_V4L2_ID"));
    std::shared_ptr<InFlight> in_flight = std::make_shared<InFlight>();
};

// The 32-bit word struct.pack("<i" or "<I", value) packs: plain ints in range
// directly, anything else through struct itself, so errors are struct's own.
std::uint32_t pack32(nb::handle value, bool is_signed) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow && (is_signed ? v >= INT32_MIN && v <= INT32_MAX : v >= 0 && v <= UINT32_MAX))
            return std::uint32_t(v);
    }
    nb::object packed = vorn::import_name("struct", "pack")(is_signed ? "<i" : "<I", value);
    std::uint32_t word;
    std::memcpy(&word, PyBytes_AsString(packed.ptr()), sizeof word);
    return word;
}

// int(value) packed as "<i": truncation toward zero; ValueError or
// OverflowError for NaN or infinity, struct.error out of range.
std::int32_t truncated(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        double t = std::trunc(PyFloat_AS_DOUBLE(value.ptr()));
        if (t >= INT32_MIN && t <= INT32_MAX)  // false for NaN and infinity
            return std::int32_t(t);
    }
    PyObject *as_int = PyNumber_Long(value.ptr());
    if (!as_int)
        throw nb::python_error();
    return std::int32_t(pack32(nb::steal(as_int), true));
}

// `_CANONICAL_TO_V4L2_ID.get(name)` packed as "<I"; false when the name has no entry.
bool control_id(const Controls &c, nb::handle name, std::uint32_t &cid) {
    nb::handle table = c.globals.find(c.table_key);  // borrowed: no reference taken on the hot path
    nb::object entry;
    if (PyDict_CheckExact(table.ptr())) {  // what dict.get does, without the method call
        PyObject *v = PyDict_GetItemWithError(table.ptr(), name.ptr());
        if (!v && PyErr_Occurred())
            throw nb::python_error();
        entry = nb::borrow(v ? v : Py_None);
    } else {
        entry = table.attr("get")(name);
    }
    if (entry.is_none())
        return false;
    cid = pack32(entry, false);
    return true;
}

// One control request on the handle's descriptor, without the GIL (a UVC
// request can take milliseconds). False when the driver refuses it. The
// descriptor is converted as fcntl.ioctl converts it: a closed handle's -1
// raises ValueError and None raises TypeError, before any system call.
bool control_request(const Controls &c, nb::handle self, unsigned long request, v4l2_control &ctrl) {
    PyObject *fd_obj = PyObject_GetAttr(self.ptr(), c.fd_key.ptr());
    int fd = fd_obj ? PyObject_AsFileDescriptor(fd_obj) : -1;
    Py_XDECREF(fd_obj);
    if (fd < 0) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {  // the -1 of a closed handle
            PyErr_Clear();
            vorn::raise(PyExc_ValueError, "the control handle is closed");
        }
        throw nb::python_error();
    }
    int rc;
    c.in_flight->enter(fd);
    {
        nb::gil_scoped_release unlocked;
        rc = ::ioctl(fd, request, &ctrl);
    }
    c.in_flight->leave(fd);
    return rc != -1;
}

// _LinuxCameraControls.__init__(self, os_id)
void controls_init(const Controls &c, nb::handle self, nb::handle os_id) {
    nb::setattr(self, "_os_id", os_id);
    std::string path = fs_path(os_id);
    int fd, err;
    {
        nb::gil_scoped_release unlocked;
        fd = sys_open(path.c_str(), O_RDWR);
        err = errno;
    }
    if (fd < 0)
        vorn::raise_errno(err, os_id);
    try {
        nb::setattr(self, c.fd_key, nb::int_(fd));
    } catch (...) {
        close_released(fd);
        throw;
    }
}

// _LinuxCameraControls.get(self, name)
nb::object controls_get(const Controls &c, nb::handle self, nb::handle name) {
    std::uint32_t cid;
    if (!control_id(c, name, cid))
        return nb::none();
    v4l2_control ctrl{cid, 0};
    if (!control_request(c, self, vorn::v4l2::G_CTRL, ctrl))
        return nb::none();
    return nb::float_(double(ctrl.value));
}

// _LinuxCameraControls.set(self, name, value)
bool controls_set(const Controls &c, nb::handle self, nb::handle name, nb::handle value) {
    std::uint32_t cid;
    if (!control_id(c, name, cid))
        return false;
    v4l2_control ctrl{cid, truncated(value)};
    return control_request(c, self, vorn::v4l2::S_CTRL, ctrl);
}

// _LinuxCameraControls.close(self): idempotent. The handle reads as closed
// (-1) before the descriptor is released, so no new request can pick up a
// number about to be reused, and requests that picked it up earlier are
// waited for.
void controls_close(const Controls &c, nb::handle self) {
    nb::object fd_obj = nb::getattr(self, c.fd_key);
    if (fd_obj.is_none() || !(fd_obj >= nb::int_(0)))
        return;
    int overflow = 0;  // the descriptor as os.close converts it
    long value = PyLong_AsLongAndOverflow(fd_obj.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow || value > INT_MAX)
        vorn::raise(PyExc_OverflowError, "Python int too large to convert to C int");
    int fd = int(value);
    nb::setattr(self, c.fd_key, nb::int_(-1));
    while (c.in_flight->busy(fd)) {
        nb::gil_scoped_release unlocked;  // lets the requests finish
        const timespec pause{0, 200 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    close_released(fd);  // a failing close still releases the descriptor
}

// ---------------------------------------------------------------------------
// Stream open arguments

// LinuxBackend.av_open_args(self, os_id, mode)
nb::tuple av_open_args(const Globals &g, nb::handle os_id, nb::handle mode) {
    nb::object fourcc = mode.attr("fourcc");
    nb::object key = fourcc.attr("upper")();
    nb::object table = g.get("_FOURCC_TO_FFMPEG");
    nb::object ff = table.attr("get")(key);
    if (ff.is_none()) {
        nb::object supported = vorn::import_name("builtins", "sorted")(table);
        vorn::raise(PyExc_ValueError,
                    nb::str("unsupported fourcc {!r}; supported: {}").format(fourcc, nb::str(supported)));
    }
    nb::object width = mode.attr("width"), height = mode.attr("height"), fps = mode.attr("fps");
    nb::dict options;
    options["input_format"] = ff;
    options["video_size"] = nb::str("{}x{}").format(nb::str(width), nb::str(height));
    options["framerate"] = nb::str(fps);
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

    auto has_cudnn = [&] {
        for (nb::handle root : roots)
            if (nb::bool_(isdir(join(root, "cudnn", "lib"))))
                return true;
        return false;
    };
    if (!has_cudnn())
        return;
    try {
        nb::module_::import_("onnxruntime").attr("preload_dlls")("cuda"_a = true, "cudnn"_a = true);
    } catch (nb::python_error &e) {
        // Missing library, no preload_dlls, a library that fails to load:
        // the preload is optional. Exit and interrupt requests go through.
        if (!e.matches(PyExc_Exception))
            throw;
    }
}

// ---------------------------------------------------------------------------
// Module init

// Build a class the way a class statement would: `type(name, (base,), ns)`.
nb::object make_class(const char *name, nb::handle base, const char *doc, nb::dict ns) {
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return vorn::import_name("builtins", "type")(name, nb::make_tuple(base), ns);
}

// What the methods of class `qualname` report as their owner: nanobind names a
// function after its scope's __qualname__ and __module__. (The class itself
// cannot be the scope: nanobind would try to overload the inherited Python
// methods of the same name.) nanobind keeps only a borrowed pointer to a
// scope, so the namespace lives as long as the process, like the class.
nb::handle method_scope(const char *qualname) {
    return vorn::import_name("types", "SimpleNamespace")("__qualname__"_a = qualname, "__module__"_a = kModuleName)
        .release();
}

// Bind `fn` as method `name` of `cls`.
template <typename Fn, typename... Extra>
void def_method(nb::handle cls, nb::handle scope, const char *name, Fn &&fn, const Extra &...extra) {
    cls.attr(name) = nb::cpp_function(std::forward<Fn>(fn), nb::scope(scope), nb::name(name), nb::is_method(),
                                      extra...);
}

}  // namespace

// GNU dialects predefine `linux` as 1; the module needs its own name back.
#undef linux

NB_MODULE(linux, m) {
    m.doc() = "Linux platform backend: V4L2 device nodes, sysfs, control handles, stream "
              "open arguments and the CUDA library preload.";

    for (const char *name :
         {"_FOURCC_TO_FFMPEG", "CameraControls", "PlatformBackend", "VideoDeviceInfo", "parse_vorn_iproduct"})
        m.attr(name) = vorn::import_relative(m, "base", name);
    Globals g{nb::borrow(PyModule_GetDict(m.ptr()))};

    // ioctl primitives; the request codes are computed at import.
    m.def("_IOC", &ioc, "direction"_a.none(), "type_"_a.none(), "nr"_a.none(), "size"_a.none(),
          nb::sig("def _IOC(direction: int, type_: str, nr: int, size: int) -> int"),
          "Encode an ioctl request number: (direction << 30) | (size << 16) |\n"
          "(ord(type_) << 8) | nr, with nothing masked or range-checked.");
    m.attr("_IOC_NONE") = vorn::v4l2::IOC_NONE;
    m.attr("_IOC_WRITE") = vorn::v4l2::IOC_WRITE;
    m.attr("_IOC_READ") = vorn::v4l2::IOC_READ;
    m.attr("_SIZE_QUERYCAP") = vorn::v4l2::SIZE_QUERYCAP;
    m.attr("_SIZE_CONTROL") = vorn::v4l2::SIZE_CONTROL;
    nb::object read_write = m.attr("_IOC_READ") | m.attr("_IOC_WRITE");
    m.attr("VIDIOC_QUERYCAP") = m.attr("_IOC")(m.attr("_IOC_READ"), "V", 0, m.attr("_SIZE_QUERYCAP"));
    m.attr("VIDIOC_G_CTRL") = m.attr("_IOC")(read_write, "V", 27, m.attr("_SIZE_CONTROL"));
    m.attr("VIDIOC_S_CTRL") = m.attr("_IOC")(read_write, "V", 28, m.attr("_SIZE_CONTROL"));
    m.attr("V4L2_CAP_VIDEO_CAPTURE") = vorn::v4l2::CAP_VIDEO_CAPTURE;
    m.def("_querycap", &querycap, "fd"_a.none(), nb::sig("def _querycap(fd: int) -> tuple[str, str, int]"),
          "Ask an open V4L2 descriptor what it is: (driver, card, capabilities).\n\n"
          "The capability word is the node's own device_caps when the driver\n"
          "reports them, else the whole device's capabilities. A failing request\n"
          "raises OSError.");

    // Enumeration
    m.def("_read_usb_iproduct", &read_usb_iproduct, "dev_path"_a.none(),
          nb::sig("def _read_usb_iproduct(dev_path: str) -> Optional[str]"),
          "The USB iProduct string of a /dev/videoN node, read from sysfs and\n"
          "stripped, or None when the node is not on a USB bus, sysfs does not\n"
          "know it, or its product text cannot be read.");
    m.def("_probe_node", [g](nb::handle path) { return probe_node(g, path); }, "path"_a.none(),
          nb::sig("def _probe_node(path: str) -> tuple[Optional[VideoDeviceInfo], str]"),
          "Judge one /dev/video* node as list_cameras does: (its entry, \"listed\"),\n"
          "or (None, why it is left out) with why one of \"open-failed:<errno name>\",\n"
          "\"not-v4l2:<errno name>\", \"close-failed:<errno name>\",\n"
          "\"not-capture:<card>\", \"no-usb-product:<card>\" or \"not-vorn:<product>\".");

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

    Controls c{g};
    nb::object controls = make_class("_LinuxCameraControls", m.attr("CameraControls"),
                                     "V4L2 ioctl-based control handle on a parallel fd.", nb::dict());
    nb::handle scope = method_scope("_LinuxCameraControls");
    def_method(controls, scope, "__init__", [c](nb::handle self, nb::handle os_id) { controls_init(c, self, os_id); },
               "os_id"_a.none(), nb::sig("def __init__(self, os_id: str) -> None"),
               "Open os_id read-write (blocking) for control requests.");
    def_method(controls, scope, "get",
               [c](nb::handle self, nb::handle name) { return controls_get(c, self, name); }, "name"_a.none(),
               nb::sig("def get(self, name: str) -> Optional[float]"),
               "Read a control by canonical name, in raw device units. None when the\n"
               "name is unknown or the device refuses the request.");
    def_method(controls, scope, "set",
               [c](nb::handle self, nb::handle name, nb::handle value) { return controls_set(c, self, name, value); },
               "name"_a.none(), "value"_a.none(), nb::sig("def set(self, name: str, value: float) -> bool"),
               "Write a control by canonical name; the value is truncated toward zero.\n"
               "False when the name is unknown or the device refuses the request or the\n"
               "value; a value outside the 32-bit range raises struct.error.");
    def_method(controls, scope, "close", [c](nb::handle self) { controls_close(c, self); },
               nb::sig("def close(self) -> None"), "Release the descriptor. Closing twice is harmless.");
    m.attr("_LinuxCameraControls") = controls;

    // The backend: enumeration, control handles, stream open arguments.
    nb::dict ns;
    ns["av_input_format"] = "v4l2";
    ns["clock_domain"] = "linux_monotonic";
    nb::object class_var_str = vorn::import_name("typing", "ClassVar")[nb::handle((PyObject *) &PyUnicode_Type)];
    nb::dict annotations;
    annotations["av_input_format"] = class_var_str;
    annotations["clock_domain"] = class_var_str;
    ns["__annotations__"] = annotations;
    nb::object backend = make_class("LinuxBackend", m.attr("PlatformBackend"),
                                    "Platform backend for Linux: V4L2 device nodes found through /dev and sysfs.", ns);
    scope = method_scope("LinuxBackend");
    def_method(backend, scope, "list_cameras", [g](nb::handle) { return list_cameras(g); },
               nb::sig("def list_cameras(self) -> list[VideoDeviceInfo]"),
               "The maker's cameras plugged in now, one entry per video capture node,\n"
               "in device-path order. A device that cannot be queried is left out.");
    def_method(backend, scope, "open_controls",
               [g](nb::handle, nb::handle os_id, nb::handle) { return g.get("_LinuxCameraControls")(os_id); },
               "os_id"_a.none(), "serial"_a.none() = nb::none(),
               nb::sig("def open_controls(self, os_id: str, serial: Optional[str] = None) -> CameraControls"),
               "A new control handle with its own descriptor on os_id; serial is not\n"
               "needed on Linux. Close it (or use it as a context manager).");
    def_method(backend, scope, "av_open_args",
               [g](nb::handle, nb::handle os_id, nb::handle mode) { return av_open_args(g, os_id, mode); },
               "os_id"_a.none(), "mode"_a.none(),
               nb::sig("def av_open_args(self, os_id: str, mode: CaptureMode) -> tuple[str, str, dict]"),
               "(path, input format, demuxer options) for opening a capture mode with\n"
               "an FFmpeg-based library. ValueError for a pixel format FFmpeg's v4l2\n"
               "input cannot be asked for.");
    m.attr("LinuxBackend") = backend;

    // CUDA preload
    m.def("_setup_cuda_linux_preload", &setup_cuda_linux_preload, nb::sig("def _setup_cuda_linux_preload() -> None"),
          "Let onnxruntime preload CUDA and cuDNN when NVIDIA's pip packages are\n"
          "installed in a site-packages directory; otherwise, or on any error of\n"
          "the preload itself, do nothing.");
}
