// vorn_camera_sdk.platform.linux: the Linux platform backend.
//
// Talks to V4L2 device nodes with raw ioctl requests (no V4L2 library),
// reads USB product strings from sysfs, hands out control handles on a
// parallel descriptor, builds the stream open arguments for FFmpeg's v4l2
// demuxer and lets ONNX Runtime preload NVIDIA's CUDA libraries.
//
// Functions that use other module-level names (`_querycap`,
// `parse_vorn_iproduct`, `_CANONICAL_TO_V4L2_ID`, ...) read them from the
// module at call time, so replacing one takes effect on the next call.
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
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.platform.linux";

// The module's dict (its globals), names used on every call, made once at
// import, and the struct module's pack.
struct Constants {
    nb::handle globals;
    nb::handle struct_pack;
    nb::handle fd, table, fourcc_table, fourcc, width, height, fps, upper;
    nb::handle input_format, video_size, framerate, v4l2, pack_signed, pack_unsigned;
} k;

nb::object global(const char *name) { return vorn::global(k.globals, nb::str(name)); }

int close_released(int fd) {
    vorn::released unlocked;
    return ::close(fd);
}

// ---------------------------------------------------------------------------
// ioctl primitives

// _IOC(direction, type_, nr, size) with Python's integer operations:
// nothing masked or range-checked. Ints small enough that no step leaves 64
// bits are computed here (two's complement OR is what Python's | does on
// negative ints); anything else goes through the number protocol.
nb::object ioc(nb::handle direction, nb::handle type_, nb::handle nr, nb::handle size) {
    if (PyLong_CheckExact(direction.ptr()) && PyLong_CheckExact(size.ptr()) && PyLong_CheckExact(nr.ptr()) &&
        PyUnicode_CheckExact(type_.ptr()) && PyUnicode_GET_LENGTH(type_.ptr()) == 1) {
        int over_d = 0, over_s = 0, over_n = 0;
        long long d = PyLong_AsLongLongAndOverflow(direction.ptr(), &over_d);
        long long s = PyLong_AsLongLongAndOverflow(size.ptr(), &over_s);
        long long n = PyLong_AsLongLongAndOverflow(nr.ptr(), &over_n);
        constexpr long long d_limit = 1LL << 32, s_limit = 1LL << 46;
        if (!over_d && !over_s && !over_n && d >= -d_limit && d < d_limit && s >= -s_limit && s < s_limit) {
            std::uint64_t code = (std::uint64_t(d) << 30) | (std::uint64_t(s) << 16) |
                                 (std::uint64_t(PyUnicode_READ_CHAR(type_.ptr(), 0)) << 8) | std::uint64_t(n);
            return nb::steal(PyLong_FromLongLong((long long) code));
        }
    }
    nb::object ord = nb::builtins()["ord"];
    return (direction << nb::int_(30)) | (size << nb::int_(16)) | (ord(type_) << nb::int_(8)) | nr;
}

struct Ioc {
    static constexpr const char *name = "_IOC";
    static constexpr std::array params{"direction", "type_", "nr", "size"};
    static constexpr size_t positional = 4;
    static constexpr const char *doc = "_IOC(direction: int, type_: str, nr: int, size: int) -> int\n\n"
                                       "Encode an ioctl request number: (direction << 30) | (size << 16) |\n"
                                       "(ord(type_) << 8) | nr, with nothing masked or range-checked.";
    static nb::object call(PyObject *, PyObject *const *argv) { return ioc(argv[0], argv[1], argv[2], argv[3]); }
};

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
        vorn::released unlocked;
        rc = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
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
    int fd = vorn::open_file(path.c_str(), O_RDONLY);
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
        vorn::released unlocked;
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

// The (product, serial) pair parse_vorn_iproduct gives.
std::pair<nb::object, nb::object> product_and_serial(nb::handle parsed) {
    nb::list items = nb::steal<nb::list>(PySequence_List(parsed.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    if (items.size() != 2)
        vorn::raise(PyExc_ValueError, "parse_vorn_iproduct must give (product, serial)");
    return {items[0], items[1]};
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
nb::tuple probe_node(nb::handle path) {
    auto left_out = [](const char *kind, nb::handle detail) { return nb::make_tuple(nb::none(), verdict(kind, detail)); };
    std::string fs = vorn::fs_path(path);
    int fd, err;
    {
        vorn::released unlocked;
        fd = vorn::open_file(fs.c_str(), O_RDWR | O_NONBLOCK);
        err = errno;
    }
    if (fd < 0)
        return left_out("open-failed", errno_name(nb::int_(err)));  // no permission, node vanished, ...

    nb::object answer;
    try {
        answer = global("_querycap")(fd);
    } catch (nb::python_error &e) {
        close_released(fd);
        if (!e.matches(PyExc_OSError))
            throw;
        nb::object code = e.value().attr("errno");
        return left_out("not-v4l2", code.is_none() ? nb::handle() : nb::handle(errno_name(code)));
    }
    {
        vorn::released unlocked;
        err = ::close(fd) == 0 ? 0 : errno;
    }
    if (err != 0)  // a node that cannot even be closed is not usable
        return left_out("close-failed", errno_name(nb::int_(err)));
    if (!nb::bool_(answer[2] & nb::int_(V4L2_CAP_VIDEO_CAPTURE)))
        return left_out("not-capture", answer[1]);

    nb::object iproduct = global("_read_usb_iproduct")(path);
    if (iproduct.is_none())
        return left_out("no-usb-product", answer[1]);
    nb::object parsed = global("parse_vorn_iproduct")(iproduct);
    if (parsed.is_none())
        return left_out("not-vorn", iproduct);
    auto [product, serial] = product_and_serial(parsed);
    return nb::make_tuple(global("VideoDeviceInfo")("os_id"_a = path, "name"_a = product, "serial"_a = serial),
                          "listed");
}

// LinuxBackend.list_cameras(self)
nb::list list_cameras() {
    std::vector<std::string> found;
    {
        vorn::released unlocked;
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
    nb::object probe = global("_probe_node");
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

InFlight in_flight;

// The 32-bit word struct.pack("<i" or "<I", value) packs: plain ints in range
// directly, anything else through struct itself, so errors are struct's own.
std::uint32_t pack32(nb::handle value, bool is_signed) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow && (is_signed ? v >= INT32_MIN && v <= INT32_MAX : v >= 0 && v <= UINT32_MAX))
            return std::uint32_t(v);
    }
    nb::object packed = k.struct_pack(is_signed ? k.pack_signed : k.pack_unsigned, value);
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

// table.get(key): a dict is read directly, anything else through its get().
nb::object table_get(nb::handle table, nb::handle key) {
    if (!PyDict_CheckExact(table.ptr()))
        return table.attr("get")(key);
    PyObject *value = PyDict_GetItemWithError(table.ptr(), key.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return nb::borrow(value ? value : Py_None);
}

// `_CANONICAL_TO_V4L2_ID.get(name)` packed as "<I"; false when the name has no
// entry.
bool control_id(nb::handle name, std::uint32_t &cid) {
    nb::object entry = table_get(vorn::global(k.globals, k.table), name);
    if (entry.is_none())
        return false;
    cid = pack32(entry, false);
    return true;
}

// One control request on the handle's descriptor, without the GIL (a UVC
// request can take milliseconds). False when the driver refuses it. The
// descriptor is converted as fcntl.ioctl converts it: a closed handle's -1
// raises ValueError and None raises TypeError, before any system call.
bool control_request(nb::handle self, unsigned long request, v4l2_control &ctrl) {
    PyObject *fd_obj = PyObject_GetAttr(self.ptr(), k.fd.ptr());
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
    in_flight.enter(fd);
    {
        vorn::released unlocked;
        rc = ::ioctl(fd, request, &ctrl);
    }
    in_flight.leave(fd);
    return rc != -1;
}

// _LinuxCameraControls.__init__(self, os_id)
void controls_init(nb::handle self, nb::handle os_id) {
    nb::setattr(self, "_os_id", os_id);
    std::string path = vorn::fs_path(os_id);
    int fd, err;
    {
        vorn::released unlocked;
        fd = vorn::open_file(path.c_str(), O_RDWR);
        err = errno;
    }
    if (fd < 0)
        vorn::raise_errno(err, os_id);
    try {
        nb::setattr(self, k.fd, nb::int_(fd));
    } catch (...) {
        close_released(fd);
        throw;
    }
}

// _LinuxCameraControls.get(self, name)
nb::object controls_get(nb::handle self, nb::handle name) {
    std::uint32_t cid;
    if (!control_id(name, cid))
        return nb::none();
    v4l2_control ctrl{cid, 0};
    if (!control_request(self, VIDIOC_G_CTRL, ctrl))
        return nb::none();
    return nb::float_(double(ctrl.value));
}

// _LinuxCameraControls.set(self, name, value)
bool controls_set(nb::handle self, nb::handle name, nb::handle value) {
    std::uint32_t cid;
    if (!control_id(name, cid))
        return false;
    v4l2_control ctrl{cid, truncated(value)};
    return control_request(self, VIDIOC_S_CTRL, ctrl);
}

struct ControlsGet {
    static constexpr const char *name = "get";
    static constexpr std::array params{"name"};
    static constexpr size_t positional = 1;
    static constexpr const char *doc = "get(self, name: str) -> Optional[float]\n\n"
                                       "Read a control by canonical name, in raw device units. None when the\n"
                                       "name is unknown or the device refuses the request.";
    static nb::object call(PyObject *self, PyObject *const *argv) { return controls_get(self, argv[0]); }
};

struct ControlsSet {
    static constexpr const char *name = "set";
    static constexpr std::array params{"name", "value"};
    static constexpr size_t positional = 2;
    static constexpr const char *doc = "set(self, name: str, value: float) -> bool\n\n"
                                       "Write a control by canonical name; the value is truncated toward zero.\n"
                                       "False when the name is unknown or the device refuses the request or the\n"
                                       "value; a value outside the 32-bit range raises struct.error.";
    static nb::object call(PyObject *self, PyObject *const *argv) {
        return nb::bool_(controls_set(self, argv[0], argv[1]));
    }
};

// _LinuxCameraControls.close(self): idempotent. The handle reads as closed
// (-1) before the descriptor is released, so no new request can pick up a
// number about to be reused, and requests that picked it up earlier are
// waited for.
void controls_close(nb::handle self) {
    nb::object fd_obj = nb::getattr(self, k.fd);
    if (fd_obj.is_none() || !(fd_obj >= nb::int_(0)))
        return;
    int overflow = 0;  // the descriptor as os.close converts it
    long value = PyLong_AsLongAndOverflow(fd_obj.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow || value > INT_MAX)
        vorn::raise(PyExc_OverflowError, "Python int too large to convert to C int");
    int fd = int(value);
    nb::setattr(self, k.fd, nb::int_(-1));
    // At exit, a request whose thread was parked on its way back never
    // finishes: nothing is waited for then.
    while (in_flight.busy(fd) && !vorn::exit_gate().closed()) {
        vorn::released unlocked;  // lets the requests finish
        const timespec pause{0, 200 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    close_released(fd);  // a failing close still releases the descriptor
}

// ---------------------------------------------------------------------------
// Stream open arguments

// The texts of capture mode sizes and rates ("1280x720", "30"), made once
// per plain int (or pair of them) and kept: a camera offers a few dozen modes.
// Any other value is formatted on each call.
std::optional<long> plain_long(nb::handle value) {
    int overflow = 0;
    long v = PyLong_CheckExact(value.ptr()) ? PyLong_AsLongAndOverflow(value.ptr(), &overflow) : -1;
    if (!PyLong_CheckExact(value.ptr()) || overflow)
        return std::nullopt;
    return v;
}

nb::object mode_text(nb::handle a, nb::handle b = nb::handle()) {
    static std::map<std::pair<long, long>, PyObject *> made;  // kept for the life of the process
    auto format = [&] { return b.is_valid() ? nb::str("{}x{}").format(a, b) : nb::str(a); };
    std::optional<long> x = plain_long(a), y = b.is_valid() ? plain_long(b) : std::optional<long>(-1);
    if (!x || !y)
        return format();
    auto [it, fresh] = made.try_emplace({*x, *y}, nullptr);
    if (fresh)
        it->second = format().release().ptr();
    return nb::borrow(it->second);
}

// text.upper(), or the text itself when it has no ASCII lower-case letter
// (a fourcc as the catalog spells it).
nb::object upper(nb::handle text) {
    if (PyUnicode_CheckExact(text.ptr()) && PyUnicode_IS_ASCII(text.ptr())) {
        const char *data = PyUnicode_AsUTF8(text.ptr());
        if (!data)
            throw nb::python_error();
        if (std::none_of(data, data + PyUnicode_GET_LENGTH(text.ptr()), [](char c) { return c >= 'a' && c <= 'z'; }))
            return nb::borrow(text);
    }
    return nb::getattr(text, k.upper)();
}

// LinuxBackend.av_open_args(self, os_id, mode)
nb::object av_open_args(nb::handle os_id, nb::handle mode) {
    nb::object fourcc = nb::getattr(mode, k.fourcc);
    nb::object table = vorn::global(k.globals, k.fourcc_table);
    nb::object ff = table_get(table, upper(fourcc));
    if (ff.is_none()) {
        nb::object supported = nb::builtins()["sorted"](table);
        PyErr_Format(PyExc_ValueError, "unsupported fourcc %R; supported: %S", fourcc.ptr(), supported.ptr());
        throw nb::python_error();
    }
    nb::object size = mode_text(nb::getattr(mode, k.width), nb::getattr(mode, k.height));
    nb::object rate = mode_text(nb::getattr(mode, k.fps));
    nb::object options = nb::steal(PyDict_New());
    if (!options.is_valid() || PyDict_SetItem(options.ptr(), k.input_format.ptr(), ff.ptr()) ||
        PyDict_SetItem(options.ptr(), k.video_size.ptr(), size.ptr()) ||
        PyDict_SetItem(options.ptr(), k.framerate.ptr(), rate.ptr()))
        throw nb::python_error();
    return nb::steal(PyTuple_Pack(3, os_id.ptr(), k.v4l2.ptr(), options.ptr()));
}

struct AvOpenArgs {
    static constexpr const char *name = "av_open_args";
    static constexpr std::array params{"os_id", "mode"};
    static constexpr size_t positional = 2;
    static constexpr const char *doc = "av_open_args(self, os_id: str, mode: CaptureMode) -> tuple[str, str, dict]\n\n"
                                       "(path, input format, demuxer options) for opening a capture mode with\n"
                                       "an FFmpeg-based library. ValueError for a pixel format FFmpeg's v4l2\n"
                                       "input cannot be asked for.";
    static nb::object call(PyObject *, PyObject *const *argv) { return av_open_args(argv[0], argv[1]); }
};

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

}  // namespace

// GNU dialects predefine `linux` as 1; the module needs its own name back.
#undef linux

NB_MODULE(linux, m) {
    m.doc() = "Linux platform backend: V4L2 device nodes, sysfs, control handles, stream "
              "open arguments and the CUDA library preload.";

    // Requests still running in other threads at exit are parked on their
    // way back (control handles are left to the process's end).
    vorn::at_exit([] { return false; });

    for (const char *name :
         {"_FOURCC_TO_FFMPEG", "CameraControls", "PlatformBackend", "VideoDeviceInfo", "parse_vorn_iproduct"})
        m.attr(name) = vorn::import_name("vorn_camera_sdk.platform.base", name);
    k.globals = PyModule_GetDict(m.ptr());  // lives as long as the module
    k.struct_pack = vorn::import_name("struct", "pack").release();
    k.fd = vorn::interned("_fd");
    k.table = vorn::interned("_CANONICAL_TO_V4L2_ID");
    k.fourcc_table = vorn::interned("_FOURCC_TO_FFMPEG");
    k.fourcc = vorn::interned("fourcc");
    k.width = vorn::interned("width");
    k.height = vorn::interned("height");
    k.fps = vorn::interned("fps");
    k.upper = vorn::interned("upper");
    k.input_format = vorn::interned("input_format");
    k.video_size = vorn::interned("video_size");
    k.framerate = vorn::interned("framerate");
    k.v4l2 = vorn::interned("v4l2");
    k.pack_signed = vorn::interned("<i");
    k.pack_unsigned = vorn::interned("<I");

    // ioctl primitives; the request codes are computed at import.
    vorn::def_function<Ioc>(m);
    m.attr("_IOC_NONE") = _IOC_NONE;
    m.attr("_IOC_WRITE") = _IOC_WRITE;
    m.attr("_IOC_READ") = _IOC_READ;
    m.attr("_SIZE_QUERYCAP") = sizeof(v4l2_capability);
    m.attr("_SIZE_CONTROL") = sizeof(v4l2_control);
    nb::object read_write = m.attr("_IOC_READ") | m.attr("_IOC_WRITE");
    m.attr("VIDIOC_QUERYCAP") = m.attr("_IOC")(m.attr("_IOC_READ"), "V", 0, m.attr("_SIZE_QUERYCAP"));
    m.attr("VIDIOC_G_CTRL") = m.attr("_IOC")(read_write, "V", 27, m.attr("_SIZE_CONTROL"));
    m.attr("VIDIOC_S_CTRL") = m.attr("_IOC")(read_write, "V", 28, m.attr("_SIZE_CONTROL"));
    m.attr("V4L2_CAP_VIDEO_CAPTURE") = V4L2_CAP_VIDEO_CAPTURE;
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
    m.def("_probe_node", &probe_node, "path"_a.none(),
          nb::sig("def _probe_node(path: str) -> tuple[Optional[VideoDeviceInfo], str]"),
          "Judge one /dev/video* node as list_cameras does: (its entry, \"listed\"),\n"
          "or (None, why it is left out) with why one of \"open-failed:<errno name>\",\n"
          "\"not-v4l2:<errno name>\", \"close-failed:<errno name>\",\n"
          "\"not-capture:<card>\", \"no-usb-product:<card>\" or \"not-vorn:<product>\".");

    // Controls. The names are interned, as the keys of a dict display in
    // Python code are, so a lookup with a literal name matches by identity.
    nb::dict table;
    for (auto [name, cid] : std::initializer_list<std::pair<const char *, std::uint32_t>>{
             {"brightness", V4L2_CID_BRIGHTNESS},
             {"contrast", V4L2_CID_CONTRAST},
             {"saturation", V4L2_CID_SATURATION},
             {"hue", V4L2_CID_HUE},
             {"gain", V4L2_CID_GAIN},
             {"auto_exposure", V4L2_CID_EXPOSURE_AUTO},
             {"exposure", V4L2_CID_EXPOSURE_ABSOLUTE},
             {"gamma", V4L2_CID_GAMMA},
             {"white_balance_auto", V4L2_CID_AUTO_WHITE_BALANCE},
             {"white_balance", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
             {"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY},
             {"sharpness", V4L2_CID_SHARPNESS},
             {"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION}})
        table[vorn::interned(name)] = cid;
    m.attr("_CANONICAL_TO_V4L2_ID") = table;

    // nanobind binds these methods into a stand-in scope named after the
    // class (it would otherwise overload methods the class inherits).
    auto bind = [](nb::handle cls, nb::handle scope, const char *name, auto &&fn, const auto &...extra) {
        cls.attr(name) = nb::cpp_function(fn, nb::scope(scope), nb::name(name), nb::is_method(), extra...);
    };
    nb::object controls = vorn::make_class(kModuleName, "_LinuxCameraControls", nb::make_tuple(m.attr("CameraControls")),
                                           "V4L2 ioctl-based control handle on a parallel fd.");
    nb::handle scope = vorn::method_scope(kModuleName, "_LinuxCameraControls");
    bind(controls, scope, "__init__", &controls_init, "os_id"_a.none(), nb::sig("def __init__(self, os_id: str) -> None"),
         "Open os_id read-write (blocking) for control requests.");
    // get and set are entry points of their own: a refused request costs
    // little more than the system call itself.
    vorn::def_method<ControlsGet>(controls);
    vorn::def_method<ControlsSet>(controls);
    bind(controls, scope, "close", &controls_close, nb::sig("def close(self) -> None"),
         "Release the descriptor. Closing twice is harmless.");
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
    nb::object backend =
        vorn::make_class(kModuleName, "LinuxBackend", nb::make_tuple(m.attr("PlatformBackend")),
                         "Platform backend for Linux: V4L2 device nodes found through /dev and sysfs.", ns);
    scope = vorn::method_scope(kModuleName, "LinuxBackend");
    bind(backend, scope, "list_cameras", [](nb::handle) { return list_cameras(); },
         nb::sig("def list_cameras(self) -> list[VideoDeviceInfo]"),
         "The maker's cameras plugged in now, one entry per video capture node,\n"
         "in device-path order. A device that cannot be queried is left out.");
    bind(backend, scope, "open_controls",
         [](nb::handle, nb::handle os_id, nb::handle) { return global("_LinuxCameraControls")(os_id); },
         "os_id"_a.none(), "serial"_a.none() = nb::none(),
         nb::sig("def open_controls(self, os_id: str, serial: Optional[str] = None) -> CameraControls"),
         "A new control handle with its own descriptor on os_id; serial is not\n"
         "needed on Linux. Close it (or use it as a context manager).");
    vorn::def_method<AvOpenArgs>(backend);
    m.attr("LinuxBackend") = backend;

    // CUDA preload
    m.def("_setup_cuda_linux_preload", &setup_cuda_linux_preload, nb::sig("def _setup_cuda_linux_preload() -> None"),
          "Let onnxruntime preload CUDA and cuDNN when NVIDIA's pip packages are\n"
          "installed in a site-packages directory; otherwise, or on any error of\n"
          "the preload itself, do nothing.");
}
