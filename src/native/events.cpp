// vorn_camera_sdk.platform.events: VORN cameras coming and going.
//
// A watcher listens to the kernel's device events (a NETLINK_KOBJECT_UEVENT
// socket, multicast group 1), keeps those of the video4linux subsystem and
// turns them into CameraEvent records. Whether a new node is a VORN camera is
// decided by the Linux backend's own per-node probe, the one list_cameras()
// runs: an "added" event is reported once the node would be listed, so a
// metadata node or a foreign webcam never produces one. uvcvideo sends the
// event a moment before the node can be opened (and udev may still be
// setting its permissions), so a node that cannot be opened or read yet is
// looked at again, a little later each time, for a few seconds. "removed"
// carries the name and serial the camera was listed with.
//
// Where the kernel's events do not reach the process (its network namespace
// belongs to another user namespace, as in a rootless container) or the
// socket cannot be bound, the watcher compares listings twice a second and
// reports the differences as the same events.
//
// No thread of ours: the caller's read() waits in poll() without the GIL, on
// the uevent socket and an eventfd that close() signals from any thread.

#include "glue.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.platform.events";

// Listings compared per second in the polling mode.
constexpr double kPollInterval = 0.5;
// How long a node that sent "add" may take to be listed, and the pause
// before the first look again (doubled up to kRetryMax after each miss).
constexpr double kSettle = 3.0;
constexpr double kRetryFirst = 0.02;
constexpr double kRetryMax = 0.32;
// A kernel uevent is at most 2048 bytes of text.
constexpr size_t kDatagram = 8192;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------
// The event record: a frozen, slotted dataclass built at import.

nb::object make_event_class() {
    nb::dict fields;
    for (const char *field : {"kind", "os_id", "name", "serial"})
        fields[field] = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    return vorn::frozen_record(
        kModuleName, "CameraEvent",
        "CameraEvent(kind, os_id, name, serial)\n\n"
        "A VORN camera came or went. ``kind`` is \"added\" or \"removed\"; ``os_id`` is\n"
        "its capture node (such as \"/dev/video0\"), ``name`` its product name (\"VORN\n"
        "Talvex\") and ``serial`` its serial number, as ``list_cameras()`` gave them.",
        fields, true);
}

// ---------------------------------------------------------------------------
// Choosing the mode

// The kernel sends device events only into network namespaces that belong to
// the initial user namespace (whose /proc inode number is fixed). A namespace
// of a rootless container belongs to another one and hears nothing. When the
// question cannot be answered (an older kernel, no /proc, an owner outside
// our view), the events are assumed to arrive.
bool uevents_reach_this_namespace() {
    constexpr unsigned long kNsGetUserns = _IO(0xb7, 0x1);  // NS_GET_USERNS
    constexpr ino_t kInitialUserNs = 0xEFFFFFFDu;           // PROC_USER_INIT_INO
    int net = vorn::open_file("/proc/self/ns/net", O_RDONLY);
    if (net < 0)
        return true;
    int owner = ::ioctl(net, kNsGetUserns);
    ::close(net);
    if (owner < 0)
        return true;
    struct stat st;
    bool initial = ::fstat(owner, &st) != 0 || st.st_ino == kInitialUserNs;
    ::close(owner);
    return initial;
}

// A socket bound to the kernel's uevent multicast group, or -1.
int open_uevent_socket() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return -1;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    // Room for a burst (a hub with several cameras): ask for 1 MiB, past the
    // system limit when privileged. An overrun is noticed and repaired anyway.
    int size = 1 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// ---------------------------------------------------------------------------
// Reading uevents

// What a video4linux uevent says: its action and its node.
struct Uevent {
    std::string action;  // "add", "remove", ...
    std::string os_id;   // "/dev/" + DEVNAME
};

// A kernel uevent is "action@devpath" followed by KEY=value fields, each
// NUL-terminated. Only those of the video4linux subsystem that name a node.
std::optional<Uevent> parse_uevent(const char *data, size_t size) {
    if (size == 0 || !std::memchr(data, '@', ::strnlen(data, size)))
        return std::nullopt;  // not from the kernel (libudev's start with "libudev")
    Uevent ev;
    std::string subsystem, devname;
    for (size_t at = ::strnlen(data, size) + 1; at < size;) {
        size_t len = ::strnlen(data + at, size - at);
        std::string field(data + at, len);
        at += len + 1;
        size_t eq = field.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "ACTION")
            ev.action = value;
        else if (key == "SUBSYSTEM")
            subsystem = value;
        else if (key == "DEVNAME")
            devname = value;
    }
    if (subsystem != "video4linux" || devname.empty() || ev.action.empty())
        return std::nullopt;
    ev.os_id = devname[0] == '/' ? devname : "/dev/" + devname;
    return ev;
}

// ---------------------------------------------------------------------------
// The watcher

class Watcher;

// The watchers open now, oldest first (guarded by the GIL): those still
// open at exit are closed then, newest first.
std::vector<Watcher *> open_watchers;

void forget_watcher(Watcher *w) {
    open_watchers.erase(std::remove(open_watchers.begin(), open_watchers.end(), w), open_watchers.end());
}

class Watcher {
public:
    Watcher(std::optional<double> timeout) : timeout_(timeout) {
        if (timeout && !(*timeout >= 0))
            vorn::raise(PyExc_ValueError, "timeout must be a non-negative number of seconds or None");
        backend_ = vorn::import_name("vorn_camera_sdk.platform", "current_backend")();
        event_class_ = vorn::import_name(kModuleName, "CameraEvent");
        probe_ = vorn::import_name("vorn_camera_sdk.platform.linux", "_probe_node");
        {
            vorn::released unlocked;
            wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (wake_ >= 0 && uevents_reach_this_namespace())
                uevents_ = open_uevent_socket();
        }
        polling_ = uevents_ < 0;
        if (wake_ < 0)
            vorn::raise_errno(errno);
        // Listed after the socket is bound: a camera plugged in meanwhile is
        // in the listing or produces an event, never neither.
        try {
            present_ = listing();
        } catch (...) {
            release();
            throw;
        }
        for (nb::handle info : present_)
            known_[nb::str(info.attr("os_id"))] = info;
        next_listing_ = now() + kPollInterval;
        open_watchers.push_back(this);
    }

    ~Watcher() {
        forget_watcher(this);
        release();
    }

    const char *mode() const { return polling_ ? "polling" : "uevent"; }
    std::optional<double> timeout() const { return timeout_; }
    bool closed() const { return closed_; }
    nb::list present() const { return present_; }

    // The next event, or None once `timeout` seconds pass without one or the
    // watcher is closed.
    nb::object read(std::optional<double> timeout) {
        if (closed_)
            return nb::none();
        if (waiter_ != std::thread::id())
            vorn::raise(PyExc_RuntimeError, "another thread is already reading this camera watcher");
        if (timeout && !(*timeout >= 0))
            vorn::raise(PyExc_ValueError, "timeout must be a non-negative number of seconds or None");
        double deadline = timeout ? now() + *timeout : INFINITY;
        waiter_ = std::this_thread::get_id();
        try {
            nb::object event = wait(deadline);
            leave();
            return event;
        } catch (...) {
            leave();
            throw;
        }
    }

    nb::object next() {
        nb::object event = read(timeout_);
        if (event.is_none())
            throw nb::stop_iteration();
        return event;
    }

    // Ends a read() in another thread at once; that reader releases the
    // descriptors as it leaves, and close() waits for it.
    void close() {
        forget_watcher(this);
        if (closed_)
            return;
        closed_ = true;
        if (waiter_ == std::thread::id()) {
            release();
            return;
        }
        std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        if (waiter_ == std::this_thread::get_id() || vorn::exit_gate().closed())
            return;  // closed from within the read (a signal handler): it ends on return; at exit the
                     // reader stays parked and its descriptors go with the process
        while (waiter_ != std::thread::id()) {  // waiter_ changes with the GIL held only
            vorn::released unlocked;
            const timespec pause{0, 200 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }

private:
    std::optional<double> timeout_;
    nb::object backend_, probe_, event_class_;
    int wake_ = -1;
    int uevents_ = -1;
    bool polling_ = false;  // no uevents: listings are compared
    bool closed_ = false;
    std::thread::id waiter_;  // the thread inside read(), if any
    nb::list present_;
    nb::dict known_;  // os_id -> the VideoDeviceInfo it was reported with

    struct Pending {
        std::string os_id;
        double give_up, next_look, pause;
    };
    std::vector<Pending> pending_;  // "add" seen, not listed yet; in arrival order
    std::deque<nb::object> ready_;
    // Uevents were lost: listings are compared until the nodes of the lost
    // burst had the time to settle, a little later each time.
    double resync_until_ = -INFINITY, resync_next_ = INFINITY, resync_pause_ = kRetryFirst;
    double next_listing_ = 0;

    void lost_events() {
        double t = now();
        resync_until_ = t + kSettle;
        resync_next_ = t;
        resync_pause_ = kRetryFirst;
    }

    bool resyncing() const { return resync_next_ != INFINITY; }

    // The comparison after lost uevents, when due.
    void resync(double t) {
        if (t < resync_next_)
            return;
        compare_listings();
        if (t >= resync_until_) {
            resync_next_ = INFINITY;
            return;
        }
        resync_next_ = t + resync_pause_;
        resync_pause_ = std::min(resync_pause_ * 2, kRetryMax);
    }

    void leave() {
        waiter_ = std::thread::id();
        if (closed_)
            release();
    }

    void release() {
        for (int *fd : {&uevents_, &wake_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

    nb::list listing() {
        PyObject *items = PySequence_List(backend_.attr("list_cameras")().ptr());
        if (!items)
            throw nb::python_error();
        return nb::steal<nb::list>(items);
    }

    nb::object event(const char *kind, nb::handle info) {
        return event_class_(kind, info.attr("os_id"), info.attr("name"), info.attr("serial"));
    }

    static bool same_camera(nb::handle a, nb::handle b) {
        return a.attr("name").equal(b.attr("name")) && a.attr("serial").equal(b.attr("serial"));
    }

    nb::object wait(double deadline) {
        while (true) {
            if (closed_)
                return nb::none();
            if (!ready_.empty()) {
                nb::object event = ready_.front();
                ready_.pop_front();
                return event;
            }
            double t = now();
            if (t >= deadline && !due(t))
                return nb::none();
            double until = deadline;
            if (polling_)
                until = std::min(until, next_listing_);
            for (const Pending &p : pending_)
                until = std::min(until, p.next_look);
            until = std::min(until, resync_next_);
            // At most an hour per poll (a far deadline does not fit an int).
            int ms = std::isinf(until) ? -1 : int(std::ceil(std::clamp(until - t, 0.0, 3600.0) * 1000));

            pollfd fds[2] = {{wake_, POLLIN, 0}, {uevents_, POLLIN, 0}};
            int rc, err;
            {
                vorn::released unlocked;
                rc = ::poll(fds, polling_ ? 1 : 2, ms);
                err = errno;
            }
            if (rc < 0) {
                if (err != EINTR)
                    vorn::raise_errno(err);
                if (PyErr_CheckSignals() != 0)  // Ctrl-C
                    throw nb::python_error();
                continue;
            }
            if (closed_ || (fds[0].revents & POLLIN))
                return nb::none();
            if (fds[1].revents)
                drain();
            t = now();
            if (polling_ && t >= next_listing_) {
                compare_listings();
                next_listing_ = t + kPollInterval;
            } else if (resyncing()) {
                resync(t);
            }
            if (due(now()))
                look_at_pending();
        }
    }

    bool due(double t) const {
        if (resync_next_ <= t)
            return true;
        return std::any_of(pending_.begin(), pending_.end(), [t](const Pending &p) { return p.next_look <= t; });
    }

    // Every queued datagram; an overrun (ENOBUFS) asks for a full comparison.
    void drain() {
        std::vector<char> buf(kDatagram);
        while (true) {
            sockaddr_nl from{};
            iovec iov{buf.data(), buf.size()};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            ssize_t got;
            int err;
            {
                vorn::released unlocked;
                got = ::recvmsg(uevents_, &msg, MSG_DONTWAIT);
                err = errno;
            }
            if (got < 0) {
                if (err == EINTR)
                    continue;
                if (err == ENOBUFS) {
                    lost_events();
                    continue;
                }
                return;  // EAGAIN: drained
            }
            if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC))
                continue;  // only the kernel's own, whole
            if (std::optional<Uevent> ev = parse_uevent(buf.data(), size_t(got)))
                take(*ev);
        }
    }

    void take(const Uevent &ev) {
        auto queued = std::find_if(pending_.begin(), pending_.end(),
                                   [&](const Pending &p) { return p.os_id == ev.os_id; });
        nb::str os_id(ev.os_id.data(), ev.os_id.size());
        if (ev.action == "add") {
            double t = now();
            if (queued == pending_.end())
                pending_.push_back({ev.os_id, t + kSettle, t, kRetryFirst});
        } else if (ev.action == "remove") {
            if (queued != pending_.end())
                pending_.erase(queued);  // gone before it was ever listed: no event
            if (known_.contains(os_id)) {
                ready_.push_back(event("removed", known_[os_id]));
                PyDict_DelItem(known_.ptr(), os_id.ptr());
            }
        }
    }

    // Each node whose next look is due, judged by the listing's own per-node
    // probe. A node that is not a VORN capture node (a metadata node, another
    // maker's camera) is settled at once; one that cannot be opened or read
    // yet is looked at again until it settles or its time is up.
    void look_at_pending() {
        double t = now();
        for (auto p = pending_.begin(); p != pending_.end();) {
            if (p->next_look > t) {
                ++p;
                continue;
            }
            nb::str os_id(p->os_id.data(), p->os_id.size());
            nb::tuple judged = nb::borrow<nb::tuple>(probe_(os_id));
            nb::object found = judged[0];
            nb::str verdict = nb::borrow<nb::str>(judged[1]);
            bool settled = !found.is_none() || nb::bool_(verdict.attr("startswith")(nb::make_tuple("not-capture", "not-vorn")));
            bool known = known_.contains(os_id);
            if (!found.is_none()) {
                // A node we already knew was re-created while its "remove" went
                // missing: report the change only.
                if (known && !same_camera(known_[os_id], found))
                    ready_.push_back(event("removed", known_[os_id]));
                if (!known || !same_camera(known_[os_id], found))
                    ready_.push_back(event("added", found));
                known_[os_id] = found;
            } else if (!settled && t < p->give_up) {
                p->next_look = t + p->pause;
                p->pause = std::min(p->pause * 2, kRetryMax);
                ++p;
                continue;
            } else if (known) {
                ready_.push_back(event("removed", known_[os_id]));
                PyDict_DelItem(known_.ptr(), os_id.ptr());
            }
            p = pending_.erase(p);
        }
    }

    // The polling mode's step, and the repair after lost uevents: what left
    // or changed since the last listing is removed, what is new is added.
    void compare_listings() {
        nb::list listed = listing();
        nb::dict now_known;
        for (nb::handle info : listed)
            now_known[nb::str(info.attr("os_id"))] = info;
        nb::list gone = nb::list(known_.attr("keys")());
        gone.sort();
        for (nb::handle os_id : gone) {
            nb::handle old = known_[os_id];
            if (!now_known.contains(os_id) || !same_camera(old, now_known[os_id])) {
                ready_.push_back(event("removed", old));
                PyDict_DelItem(known_.ptr(), os_id.ptr());
            }
        }
        for (nb::handle info : listed) {
            nb::str os_id(info.attr("os_id"));
            if (!known_.contains(os_id)) {
                ready_.push_back(event("added", info));
                known_[os_id] = info;
            }
        }
    }
};

}  // namespace

NB_MODULE(events, m) {
    m.doc() = "VORN cameras coming and going: plug and unplug events from the kernel, or\n"
              "from comparing listings where the kernel's events do not reach the process.";

    // At exit, the watchers still open are closed, newest first; a reader
    // still waiting in another thread is parked.
    vorn::at_exit([] {
        bool left_open = !open_watchers.empty();
        while (!open_watchers.empty()) {
            Watcher *w = open_watchers.back();
            open_watchers.pop_back();
            w->close();
        }
        return left_open;
    });

    m.attr("CameraEvent") = make_event_class();

    nb::class_<Watcher>(m, "CameraWatcher",
                        "Plug and unplug events of VORN cameras; make one with ``watch_cameras()``.\n\n"
                        "Iterating yields ``CameraEvent`` records as cameras come and go; the\n"
                        "iteration ends when ``timeout`` seconds pass without an event, or when\n"
                        "``close()`` is called (from any thread, at once). A context manager.\n\n"
                        "``mode`` is \"uevent\" when the kernel's device events drive it, or\n"
                        "\"polling\" where they do not reach the process (a network namespace of\n"
                        "another user namespace, as in a rootless container): the watcher then\n"
                        "compares camera listings twice a second and reports the same events.")
        .def(nb::init<std::optional<double>>(), "timeout"_a = nb::none(),
             nb::sig("def __init__(self, timeout: Optional[float] = None) -> None"),
             "Start watching; the cameras plugged in now are in ``present``.")
        .def_prop_ro("mode", &Watcher::mode, nb::sig("def mode(self) -> str"),
                     "mode -> str: \"uevent\" (the kernel's device events) or \"polling\".")
        .def_prop_ro("timeout", &Watcher::timeout, nb::sig("def timeout(self) -> Optional[float]"),
                     "timeout -> Optional[float]: seconds without an event that end the iteration.")
        .def_prop_ro("closed", &Watcher::closed, nb::sig("def closed(self) -> bool"),
                     "closed -> bool: whether ``close()`` has been called.")
        .def_prop_ro("present", &Watcher::present, nb::sig("def present(self) -> list[VideoDeviceInfo]"),
                     "present -> list[VideoDeviceInfo]: the cameras plugged in when watching began.")
        .def("read", &Watcher::read, "timeout"_a = nb::none(),
             nb::sig("def read(self, timeout: Optional[float] = None) -> Optional[CameraEvent]"),
             "The next event; None when ``timeout`` seconds pass without one (None:\n"
             "wait for ever) or when the watcher is closed. One reader at a time.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __iter__(self) -> CameraWatcher"), "The watcher itself.")
        .def("__next__", &Watcher::next, nb::sig("def __next__(self) -> CameraEvent"),
             "The next event, waiting up to ``timeout`` seconds.")
        .def("close", &Watcher::close, nb::sig("def close(self) -> None"),
             "Stop watching and release the descriptors. Idempotent; from any\n"
             "thread, a read in progress ends at once.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __enter__(self) -> CameraWatcher"), "The watcher itself.")
        .def("__exit__", [](Watcher &w, nb::args) { w.close(); },
             nb::sig("def __exit__(self, *exc_info: object) -> None"), "close().");

    m.def("watch_cameras", [m](std::optional<double> timeout) { return m.attr("CameraWatcher")(timeout); },
          "timeout"_a = nb::none(),
          nb::sig("def watch_cameras(timeout: Optional[float] = None) -> CameraWatcher"),
          "Watch VORN cameras come and go:\n\n"
          "    with watch_cameras() as watcher:\n"
          "        for event in watcher:          # CameraEvent(kind, os_id, name, serial)\n"
          "            print(event.kind, event.os_id, event.serial)\n\n"
          "An \"added\" event comes once the new node is listed by ``list_cameras()``\n"
          "(metadata nodes and other makers' cameras never are); \"removed\" carries the\n"
          "serial the camera was listed with. ``timeout``: seconds without an event that\n"
          "end the iteration (None: never). Where the kernel's device events do not reach\n"
          "the process (a network namespace of another user namespace, as in a rootless\n"
          "container), the watcher compares listings twice a second instead and\n"
          "``mode`` says \"polling\".");
}
