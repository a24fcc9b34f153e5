// vorn_camera_sdk.platform.capture: the V4L2 capture engine.
//
// A CaptureStream opens a video node in one capture mode and streams it
// through memory-mapped buffers. A capture thread of its own (plain C++,
// never touching the interpreter) waits in poll() on the node and on an
// eventfd that close() writes to, dequeues every frame as it lands and hands
// it to the stream's delivery policy:
//   latest  the newest frame stays in its buffer, set aside; the frame it
//           replaces goes straight back to the driver and counts as dropped;
//   all     each frame is copied out and its buffer requeued at once; frames
//           wait in a bounded queue whose oldest entry is dropped (and
//           counted) when it is full.
// read() waits for a frame with the GIL released and returns a Packet (with
// latest, the reader copies the frame out and requeues its buffer itself). A
// device that goes away ends the stream: the frames already received are
// still delivered, then read() raises DeviceLostError.

#include "glue.hpp"
#include "v4l2_abi.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.platform.capture";

// The DeviceLostError class, made at import and kept for the process's life.
nb::handle device_lost_error;

// Bounds that keep the queue's size (seconds times frames per second) a
// number of frames a queue can hold.
constexpr double kMaxQueueSeconds = 3600;
constexpr double kMaxFps = 1000;

// ---------------------------------------------------------------------------
// System-call helpers (no interpreter)

int xioctl(int fd, unsigned long request, void *arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

std::string fourcc_text(std::uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = char((code >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

// The frame interval of `fps` frames per second as the fraction V4L2 takes:
// 30 gives 1/30, 7.5 gives 2/15.
v4l2_fract frame_interval(double fps) {
    for (std::uint32_t den = 1; den <= 1000; ++den) {
        double frames = fps * den;
        if (std::fabs(frames - std::round(frames)) < 1e-6 * den)
            return {den, std::uint32_t(std::lround(frames))};
    }
    return {1000, std::uint32_t(std::lround(fps * 1000))};
}

// ---------------------------------------------------------------------------
// The engine: device set-up, the capture thread and its delivery policies

struct Mapping {
    void *start = MAP_FAILED;
    std::size_t length = 0;
};

// One captured frame waiting for a reader.
struct Slot {
    int index = -1;                  // latest: the buffer it still lives in
    std::vector<std::uint8_t> bytes;  // all: its bytes, copied out
    std::size_t size = 0;
    std::uint32_t sequence = 0;
    double timestamp = 0;
    std::uint64_t dropped = 0;
};

// Where opening failed: the request and its errno, or a format the device
// answered with instead of the one asked for.
struct SetupResult {
    const char *request = nullptr;
    int err = 0;
    bool mismatch = false;
    v4l2_pix_format offered{};
};

class Engine {
  public:
    std::string path;
    std::uint32_t pixelformat = 0, width = 0, height = 0;
    double fps = 0;
    bool latest = true;
    std::size_t capacity = 1;  // all: frames the queue holds
    unsigned requested = 4;
    unsigned granted = 0;

    int fd = -1;
    int wake = -1;
    std::vector<Mapping> maps;
    bool streaming = false;
    std::thread thread;

    std::mutex mu;
    std::condition_variable cv;
    // Guarded by mu.
    std::deque<Slot> ready;                   // latest: one at most
    std::vector<std::vector<std::uint8_t>> spare;  // emptied byte stores for reuse
    bool closed = false;
    bool released = false;  // close() finished: the device is free again
    bool ended = false;  // the capture thread stopped on its own
    int lost_errno = 0;  // why it stopped
    int copying = 0;     // readers copying out of a mapped buffer

    // Capture thread only.
    std::int64_t last_sequence = -1;
    std::uint64_t lost = 0;  // frames discarded since the last one kept

    // Open the node and start streaming; no interpreter calls. Fails with
    // everything released again.
    SetupResult start() {
        SetupResult r;
        fd = vorn::open_file(path.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0)
            return fail(r, "open");

        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = pixelformat;
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (xioctl(fd, VIDIOC_S_FMT, &fmt) == -1)
            return fail(r, "VIDIOC_S_FMT");
        if (fmt.fmt.pix.pixelformat != pixelformat || fmt.fmt.pix.width != width ||
            fmt.fmt.pix.height != height) {
            r.mismatch = true;
            r.offered = fmt.fmt.pix;
            stop();
            return r;
        }

        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe = frame_interval(fps);
        if (xioctl(fd, VIDIOC_S_PARM, &parm) == -1 && errno != ENOTTY && errno != EINVAL)
            return fail(r, "VIDIOC_S_PARM");  // a driver without frame rates streams at its own

        v4l2_requestbuffers req{};
        req.count = requested;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd, VIDIOC_REQBUFS, &req) == -1)
            return fail(r, "VIDIOC_REQBUFS");
        if (req.count < 2) {
            errno = ENOMEM;
            return fail(r, "VIDIOC_REQBUFS");
        }
        maps.resize(req.count);
        granted = req.count;
        for (unsigned i = 0; i < req.count; ++i) {
            v4l2_buffer buf = buffer(i);
            if (xioctl(fd, VIDIOC_QUERYBUF, &buf) == -1)
                return fail(r, "VIDIOC_QUERYBUF");
            void *start = ::mmap(nullptr, buf.length, PROT_READ, MAP_SHARED, fd, buf.m.offset);
            if (start == MAP_FAILED)
                return fail(r, "mmap");
            maps[i] = {start, buf.length};
        }
        for (unsigned i = 0; i < req.count; ++i)
            if (!queue(int(i)))
                return fail(r, "VIDIOC_QBUF");
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_STREAMON, &type) == -1)
            return fail(r, "VIDIOC_STREAMON");
        streaming = true;
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0)
            return fail(r, "eventfd");
        try {
            thread = std::thread([this] { run(); });
        } catch (const std::system_error &e) {
            errno = e.code().value();
            return fail(r, "the capture thread");
        }
        return r;
    }

    SetupResult &fail(SetupResult &r, const char *request) {
        r.request = request;
        r.err = errno;
        stop();
        return r;
    }

    // Stop streaming and release the buffers and descriptors (the thread has
    // been joined). STREAMOFF returns every buffer to user space first.
    void stop() {
        if (streaming) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd, VIDIOC_STREAMOFF, &type);
            streaming = false;
        }
        for (Mapping &m : maps)
            if (m.start != MAP_FAILED)
                ::munmap(m.start, m.length);
        maps.clear();
        if (fd >= 0)
            ::close(fd);
        if (wake >= 0)
            ::close(wake);
        fd = wake = -1;
    }

    v4l2_buffer buffer(int index) const {
        v4l2_buffer buf{};
        buf.index = std::uint32_t(index);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        return buf;
    }

    bool queue(int index) {
        v4l2_buffer buf = buffer(index);
        return xioctl(fd, VIDIOC_QBUF, &buf) != -1;
    }

    void signal_thread() {
        std::uint64_t one = 1;
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void) ignored;
    }

    // The capture thread: frames as they land, until close() or the device
    // goes away. One buffer per wake-up: poll() answers at once while more
    // are ready.
    void run() {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return finish(errno);
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t count;
                ssize_t ignored = ::read(wake, &count, sizeof count);
                (void) ignored;
                std::lock_guard<std::mutex> lock(mu);
                if (closed)
                    return;
            }
            if (fds[0].revents & POLLIN) {
                if (!dequeue())
                    return;
            } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                return finish(ENODEV);
            }
        }
    }

    void finish(int err) {
        {
            std::lock_guard<std::mutex> lock(mu);
            ended = true;
            lost_errno = err ? err : ENODEV;
        }
        cv.notify_all();
    }

    // Dequeue one filled buffer and hand it to the policy. False once the
    // device has gone.
    bool dequeue() {
        v4l2_buffer buf = buffer(0);
        if (xioctl(fd, VIDIOC_DQBUF, &buf) == -1) {
            if (errno == EAGAIN)
                return true;
            finish(errno);
            return false;
        }
        std::int64_t sequence = buf.sequence;
        std::uint64_t gap = last_sequence >= 0 && sequence > last_sequence ? sequence - last_sequence - 1 : 0;
        last_sequence = sequence;
        bool kept;
        if (buf.flags & V4L2_BUF_FLAG_ERROR || buf.index >= maps.size()) {
            lost += gap + 1;  // a corrupt frame is a lost one
            kept = queue(int(buf.index));
        } else {
            Slot slot;
            slot.index = int(buf.index);
            slot.size = std::min<std::size_t>(buf.bytesused, maps[buf.index].length);
            slot.sequence = buf.sequence;
            slot.timestamp = capture_time(buf);
            slot.dropped = lost + gap;
            lost = 0;
            kept = latest ? keep_newest(std::move(slot)) : enqueue(std::move(slot));
        }
        if (!kept)
            finish(errno);
        return kept;
    }

    // The buffer's capture time in seconds of CLOCK_MONOTONIC. A driver
    // that stamps buffers with another clock (or copies the time from
    // elsewhere) says so in the flags; its frames get the time they were
    // dequeued instead, which is on the clock every reader compares with.
    static double capture_time(const v4l2_buffer &buf) {
        if ((buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
            return double(buf.timestamp.tv_sec) + double(buf.timestamp.tv_usec) * 1e-6;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
    }

    // latest: the new frame replaces the one set aside, whose buffer goes
    // back to the driver.
    bool keep_newest(Slot slot) {
        int replaced = -1;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!ready.empty()) {
                replaced = ready.front().index;
                slot.dropped += ready.front().dropped + 1;
                ready.clear();
            }
            ready.push_back(std::move(slot));
        }
        cv.notify_all();
        return replaced < 0 || queue(replaced);
    }

    // all: copy the bytes out, requeue the buffer, queue the frame; a full
    // queue drops its oldest frame and the next one counts it.
    bool enqueue(Slot slot) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!spare.empty()) {
                slot.bytes = std::move(spare.back());
                spare.pop_back();
            }
        }
        const auto *start = static_cast<const std::uint8_t *>(maps[slot.index].start);
        slot.bytes.assign(start, start + slot.size);
        if (!queue(slot.index))
            return false;
        slot.index = -1;
        {
            std::lock_guard<std::mutex> lock(mu);
            ready.push_back(std::move(slot));
            if (ready.size() > capacity) {
                ready[1].dropped += ready.front().dropped + 1;
                spare.push_back(std::move(ready.front().bytes));
                ready.pop_front();
            }
        }
        cv.notify_all();
        return true;
    }

    // close(): wake and join the thread, wait for readers still copying,
    // then stop streaming and release everything. A close() that comes
    // while another is under way returns once the device is free.
    void shut() {
        {
            std::unique_lock<std::mutex> lock(mu);
            if (closed) {
                cv.wait(lock, [this] { return released; });
                return;
            }
            closed = true;
        }
        cv.notify_all();
        if (thread.joinable()) {
            signal_thread();
            thread.join();
        }
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [this] { return copying == 0; });
            ready.clear();
        }
        stop();
        {
            std::lock_guard<std::mutex> lock(mu);
            released = true;
        }
        cv.notify_all();
    }

    ~Engine() { shut(); }
};

// ---------------------------------------------------------------------------
// Python side

struct Packet {
    nb::bytes data;
    std::uint32_t sequence = 0;
    double timestamp = 0;
    std::uint64_t dropped = 0;
};

[[noreturn]] void raise_os(int err, nb::handle message, nb::handle filename) {
    PyErr_SetObject(PyExc_OSError, nb::make_tuple(err, message, filename).ptr());
    throw nb::python_error();
}

class CaptureStream;

// The streams open now, oldest first (guarded by the GIL): the ones still
// open when the interpreter exits are closed then, newest first.
std::vector<CaptureStream *> open_streams;

void forget_stream(CaptureStream *stream) {
    open_streams.erase(std::remove(open_streams.begin(), open_streams.end(), stream), open_streams.end());
}

class CaptureStream {
  public:
    nb::str os_id;
    nb::object mode;
    nb::str serial;
    Engine engine;

    CaptureStream(nb::str os_id_, nb::object mode_, bool latest, int buffers, double queue_seconds,
                  nb::str serial_)
        : os_id(std::move(os_id_)), mode(std::move(mode_)), serial(std::move(serial_)) {
        nb::str fourcc = nb::str(mode.attr("fourcc"));
        std::string code = fourcc.c_str();
        if (code.size() != 4)
            vorn::raise(PyExc_ValueError, nb::str("not a four-character pixel format: {!r}").format(fourcc));
        if (buffers < 2)
            vorn::raise(PyExc_ValueError, nb::str("buffers must be at least 2, not {}").format(buffers));
        if (!(queue_seconds > 0 && queue_seconds <= kMaxQueueSeconds))
            vorn::raise(PyExc_ValueError,
                        nb::str("queue_seconds must be positive and at most {:g} s, not {}")
                            .format(kMaxQueueSeconds, queue_seconds));
        engine.path = vorn::fs_path(os_id);
        engine.pixelformat = vorn::v4l2::fourcc({code[0], code[1], code[2], code[3], 0});
        engine.width = nb::cast<std::uint32_t>(mode.attr("width"));
        engine.height = nb::cast<std::uint32_t>(mode.attr("height"));
        engine.fps = nb::cast<double>(nb::float_(mode.attr("fps")));
        if (!(engine.fps > 0 && engine.fps <= kMaxFps))
            vorn::raise(PyExc_ValueError, nb::str("the mode's frame rate must be positive and at most {:g}, not {}")
                                                  .format(kMaxFps, engine.fps));
        engine.latest = latest;
        engine.requested = unsigned(buffers);
        engine.capacity = std::max<std::size_t>(1, std::size_t(std::ceil(queue_seconds * engine.fps)));

        SetupResult r;
        {
            vorn::released unlocked;
            r = engine.start();
        }
        if (r.mismatch) {
            nb::str offered = nb::str("{} {}x{}").format(fourcc_text(r.offered.pixelformat), r.offered.width,
                                                         r.offered.height);
            vorn::raise(PyExc_ValueError,
                        nb::str("{} does not take {} {}x{}: the device offered {}")
                            .format(os_id, code, engine.width, engine.height, offered));
        }
        if (r.request) {
            if (r.err == EBUSY)  // the filename names the device
                raise_os(EBUSY, nb::str("the device is in use: another stream holds it"), os_id);
            raise_os(r.err,
                     nb::str("cannot stream from {}: {} failed: {}").format(os_id, r.request, std::strerror(r.err)),
                     os_id);
        }
        open_streams.push_back(this);
    }

    ~CaptureStream() { forget_stream(this); }

    bool closed() {
        std::lock_guard<std::mutex> lock(engine.mu);
        return engine.closed;
    }

    nb::str fourcc() const { return nb::str(fourcc_text(engine.pixelformat).c_str()); }

    [[noreturn]] void raise_closed() const {
        vorn::raise(PyExc_ValueError, nb::str("the capture stream on {} is closed").format(os_id));
    }

    [[noreturn]] void raise_lost(int err) const {
        nb::str who = PyUnicode_GetLength(serial.ptr()) == 0 ? nb::str("the camera on {}").format(os_id)
                                                              : nb::str("the camera {} on {}").format(serial, os_id);
        nb::str message = nb::str("{} is gone: streaming stopped ({})").format(who, std::strerror(err));
        PyErr_SetObject(device_lost_error.ptr(), nb::make_tuple(ENODEV, message, os_id).ptr());
        throw nb::python_error();
    }

    // The next frame by the stream's policy. An empty result means the
    // stream was closed (the caller raises or ends iteration).
    std::optional<Packet> next_packet(nb::handle timeout) {
        using clock = std::chrono::steady_clock;
        std::optional<clock::time_point> deadline;
        if (!timeout.is_none()) {
            double seconds = nb::cast<double>(nb::float_(timeout));
            if (std::isnan(seconds))
                vorn::raise(PyExc_ValueError, "timeout must be a number");
            seconds = std::min(std::max(seconds, 0.0), 1e9);
            deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                          std::chrono::duration<double>(seconds));
        }
        Slot slot;
        int lost = 0;
        for (;;) {
            enum { Waiting, Got, Closed, Lost, Expired } state = Waiting;
            {
                vorn::released unlocked;
                std::unique_lock<std::mutex> lock(engine.mu);
                // Slices of 100 ms let a signal (Ctrl-C) through.
                clock::time_point until = clock::now() + std::chrono::milliseconds(100);
                if (deadline && *deadline < until)
                    until = *deadline;
                engine.cv.wait_until(lock, until,
                                     [this] { return engine.closed || !engine.ready.empty() || engine.ended; });
                if (engine.closed) {
                    state = Closed;
                } else if (!engine.ready.empty()) {
                    slot = std::move(engine.ready.front());
                    engine.ready.pop_front();
                    if (slot.index >= 0)
                        ++engine.copying;
                    state = Got;
                } else if (engine.ended) {
                    state = Lost;
                    lost = engine.lost_errno;
                } else if (deadline && clock::now() >= *deadline) {
                    state = Expired;
                }
            }
            if (state == Got)
                break;
            if (state == Closed)
                return std::nullopt;
            if (state == Lost)
                raise_lost(lost);
            if (state == Expired)
                vorn::raise(PyExc_TimeoutError,
                            nb::str("no frame from {} within {} s").format(os_id, nb::float_(timeout)));
            if (PyErr_CheckSignals() != 0)
                throw nb::python_error();
        }
        return packet(std::move(slot));
    }

    Packet packet(Slot slot) {
        Packet p;
        p.sequence = slot.sequence;
        p.timestamp = slot.timestamp;
        p.dropped = slot.dropped;
        if (slot.index < 0) {
            p.data = nb::bytes(slot.bytes.data(), slot.size);
            std::lock_guard<std::mutex> lock(engine.mu);
            engine.spare.push_back(std::move(slot.bytes));
            return p;
        }
        // latest: copy out of the mapped buffer and give the buffer back to
        // the driver (close() waits for this before it stops streaming; a
        // device already gone refuses the buffer, which no longer matters).
        PyObject *bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(slot.size));
        {
            vorn::released unlocked;
            if (bytes)
                std::memcpy(PyBytes_AS_STRING(bytes), engine.maps[slot.index].start, slot.size);
            engine.queue(slot.index);
            std::lock_guard<std::mutex> lock(engine.mu);
            --engine.copying;
        }
        engine.cv.notify_all();
        if (!bytes)
            throw nb::python_error();
        p.data = nb::steal<nb::bytes>(bytes);
        return p;
    }

    Packet read(nb::handle timeout) {
        if (closed())
            raise_closed();
        std::optional<Packet> p = next_packet(timeout);
        if (!p)
            raise_closed();
        return std::move(*p);
    }

    Packet next() {
        std::optional<Packet> p = closed() ? std::nullopt : next_packet(nb::none());
        if (!p)
            throw nb::stop_iteration();
        return std::move(*p);
    }

    void close() {
        forget_stream(this);
        vorn::released unlocked;
        engine.shut();
    }

    nb::str repr() {
        return nb::str("<CaptureStream {} {} {}x{} {}{}>")
            .format(os_id, fourcc(), engine.width, engine.height, engine.latest ? "latest" : "all",
                    closed() ? " closed" : "");
    }
};

}  // namespace

NB_MODULE(capture, m) {
    m.doc() = "The V4L2 capture engine: frames of a video node in one capture mode, by a\n"
              "capture thread of its own, as undecoded packets.";

    nb::object lost = vorn::make_class(kModuleName, "DeviceLostError", nb::make_tuple(nb::handle(PyExc_OSError)),
                                       "The camera went away while streaming (errno ENODEV). The message names\n"
                                       "the device node and the camera's serial.");
    device_lost_error = lost.inc_ref();
    m.attr("DeviceLostError") = lost;

    nb::class_<Packet>(m, "Packet",
                       "One captured frame, undecoded: the buffer's bytes (MJPG: a JPEG; YUYV:\n"
                       "width*height*2 bytes), the kernel's buffer sequence number, the kernel's\n"
                       "capture time in seconds of CLOCK_MONOTONIC, and how many frames were lost\n"
                       "just before this one (sequence gaps and frames the delivery policy\n"
                       "discarded).")
        .def(
            "__init__",
            [](Packet *p, nb::bytes data, std::uint32_t sequence, double timestamp, std::uint64_t dropped) {
                new (p) Packet{std::move(data), sequence, timestamp, dropped};
            },
            "data"_a, "sequence"_a, "timestamp"_a, "dropped"_a = 0,
            nb::sig("def __init__(self, data: bytes, sequence: int, timestamp: float, dropped: int = 0) -> None"),
            "A packet from its parts.")
        .def_ro("data", &Packet::data, "data -> bytes: the frame's bytes as the device sent them.")
        .def_ro("sequence", &Packet::sequence, "sequence -> int: the kernel's buffer sequence number.")
        .def_ro("timestamp", &Packet::timestamp, "timestamp -> float: capture time, seconds of CLOCK_MONOTONIC.")
        .def_ro("dropped", &Packet::dropped, "dropped -> int: frames lost just before this one.")
        .def("__repr__", [](const Packet &p) {
            return nb::str("<Packet sequence={} timestamp={:.6f} dropped={} bytes={}>")
                .format(p.sequence, p.timestamp, p.dropped, p.data.size());
        });

    // At exit, every stream still open is closed, newest first: the capture
    // threads are joined and the devices released before the interpreter
    // goes; a reader still waiting in another thread is parked.
    vorn::at_exit([] {
        bool left_open = !open_streams.empty();
        while (!open_streams.empty()) {
            nb::object stream = nb::find(open_streams.back());
            CaptureStream *s = open_streams.back();
            open_streams.pop_back();
            if (stream.is_valid())  // held while it is closed
                s->close();
        }
        return left_open;
    });

    nb::class_<CaptureStream>(
        m, "CaptureStream",
        "A video node streaming in one capture mode.\n\n"
        "CaptureStream(os_id, mode, *, latest=True, buffers=4, queue_seconds=2.0,\n"
        "serial='') opens the node and starts streaming at once. A capture thread\n"
        "dequeues every frame as it lands. With latest=True each read() returns the\n"
        "newest frame (the ones skipped count as dropped); with latest=False every\n"
        "frame is delivered in order through a queue of queue_seconds' worth of\n"
        "frames (above 0, at most 3600 s), whose oldest are dropped (and counted)\n"
        "when the reader falls behind. Capture times are seconds of CLOCK_MONOTONIC:\n"
        "a driver that stamps buffers with another clock gets the time of dequeuing.\n\n"
        "Opening errors: a device in use raises OSError(EBUSY); a mode the device\n"
        "does not take raises ValueError naming what it offered instead. A device\n"
        "that goes away raises DeviceLostError once the frames received before\n"
        "have been read. close() from any thread ends a blocked read; a second\n"
        "close() returns once the device is free. Streams still open when the\n"
        "interpreter exits are closed then.")
        .def(nb::init<nb::str, nb::object, bool, int, double, nb::str>(), "os_id"_a, "mode"_a, nb::kw_only(),
             "latest"_a = true, "buffers"_a = 4, "queue_seconds"_a = 2.0, "serial"_a = "",
             nb::sig("def __init__(self, os_id: str, mode: CaptureMode, *, latest: bool = True, buffers: int = 4, "
                     "queue_seconds: float = 2.0, serial: str = '') -> None"),
             "Open os_id and start streaming in mode (its fourcc, size and frame rate).")
        .def_ro("os_id", &CaptureStream::os_id, "os_id -> str: the device node.")
        .def_prop_ro(
            "mode", [](CaptureStream &s) { return s.mode; },
            nb::for_getter(nb::sig("def mode(self, /) -> CaptureMode")),
            "mode -> CaptureMode: the capture mode asked for.")
        .def_ro("serial", &CaptureStream::serial, "serial -> str: the camera's serial, for messages.")
        .def_prop_ro(
            "latest", [](CaptureStream &s) { return s.engine.latest; },
            "latest -> bool: whether reads return the newest frame (else every frame).")
        .def_prop_ro("fourcc", &CaptureStream::fourcc, "fourcc -> str: the pixel format the device took.")
        .def_prop_ro(
            "width", [](CaptureStream &s) { return s.engine.width; }, "width -> int: the frame width.")
        .def_prop_ro(
            "height", [](CaptureStream &s) { return s.engine.height; }, "height -> int: the frame height.")
        .def_prop_ro(
            "buffers", [](CaptureStream &s) { return s.engine.granted; },
            "buffers -> int: the buffers the driver granted.")
        .def_prop_ro("closed", &CaptureStream::closed, "closed -> bool: whether close() has been called.")
        .def("read", &CaptureStream::read, "timeout"_a = nb::none(),
             nb::sig("def read(self, timeout: float | None = None) -> Packet"),
             "The next frame by the stream's policy, waiting at most timeout seconds\n"
             "(None: without limit). TimeoutError when none came in time;\n"
             "DeviceLostError when the device is gone and every frame received was\n"
             "read; ValueError once the stream is closed (also for a read that close()\n"
             "ended).")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __iter__(self) -> Iterator[Packet]"),
             "Packets as read() returns them, until the stream is closed.")
        .def("__next__", &CaptureStream::next, nb::sig("def __next__(self) -> Packet"),
             "The next packet; StopIteration once the stream is closed.")
        .def("close", &CaptureStream::close,
             "Stop streaming and release the device. Idempotent; from any thread; a\n"
             "read blocked in another thread ends at once.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); },
             nb::sig("def __enter__(self) -> CaptureStream"), "The stream itself.")
        .def(
            "__exit__", [](CaptureStream &s, nb::args) { s.close(); },
            nb::sig("def __exit__(self, *exc_info: object) -> None"), "close().")
        .def("__repr__", &CaptureStream::repr);
}
