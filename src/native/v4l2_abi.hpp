// The slice of the V4L2 user-space ABI the Linux backend and the capture
// engine speak: the generic ioctl number encoding and the request codes. The
// structures are the kernel's own; the checks below pin them, and our request
// codes, to the layout the modules rely on, so a mistake fails the build.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/videodev2.h>

namespace vorn::v4l2 {

// Direction bits of an ioctl number.
inline constexpr std::uint64_t IOC_NONE = 0;
inline constexpr std::uint64_t IOC_WRITE = 1;
inline constexpr std::uint64_t IOC_READ = 2;

// (direction << 30) | (size << 16) | (type << 8) | nr, with nothing masked.
constexpr std::uint64_t ioc(std::uint64_t direction, std::uint64_t type, std::uint64_t nr,
                            std::uint64_t size) {
    return (direction << 30) | (size << 16) | (type << 8) | nr;
}

inline constexpr std::size_t SIZE_QUERYCAP = 104;
inline constexpr std::size_t SIZE_CONTROL = 8;

inline constexpr std::uint64_t QUERYCAP = ioc(IOC_READ, 'V', 0, SIZE_QUERYCAP);
inline constexpr std::uint64_t G_CTRL = ioc(IOC_READ | IOC_WRITE, 'V', 27, SIZE_CONTROL);
inline constexpr std::uint64_t S_CTRL = ioc(IOC_READ | IOC_WRITE, 'V', 28, SIZE_CONTROL);

inline constexpr std::uint32_t CAP_VIDEO_CAPTURE = 1;

// The structures are exchanged little-endian, at fixed offsets.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
static_assert(sizeof(v4l2_capability) == SIZE_QUERYCAP);
static_assert(offsetof(v4l2_capability, driver) == 0 && sizeof(v4l2_capability::driver) == 16);
static_assert(offsetof(v4l2_capability, card) == 16 && sizeof(v4l2_capability::card) == 32);
static_assert(offsetof(v4l2_capability, capabilities) == 84);
static_assert(offsetof(v4l2_capability, device_caps) == 88);
static_assert(sizeof(v4l2_control) == SIZE_CONTROL);
static_assert(offsetof(v4l2_control, id) == 0 && offsetof(v4l2_control, value) == 4);

// Our request codes against the kernel's, and non-negative as Python ints.
static_assert(QUERYCAP == VIDIOC_QUERYCAP && G_CTRL == VIDIOC_G_CTRL && S_CTRL == VIDIOC_S_CTRL);
static_assert(QUERYCAP == 0x80685600u && G_CTRL == 0xC008561Bu && S_CTRL == 0xC008561Cu);
static_assert(CAP_VIDEO_CAPTURE == V4L2_CAP_VIDEO_CAPTURE);

// The control IDs the backend maps canonical names to.
static_assert(V4L2_CID_BRIGHTNESS == 0x00980900 && V4L2_CID_CONTRAST == 0x00980901);
static_assert(V4L2_CID_SATURATION == 0x00980902 && V4L2_CID_HUE == 0x00980903);
static_assert(V4L2_CID_GAIN == 0x00980913 && V4L2_CID_EXPOSURE_AUTO == 0x009A0901);
static_assert(V4L2_CID_EXPOSURE_ABSOLUTE == 0x009A0902 && V4L2_CID_GAMMA == 0x00980910);
static_assert(V4L2_CID_AUTO_WHITE_BALANCE == 0x0098090C);
static_assert(V4L2_CID_WHITE_BALANCE_TEMPERATURE == 0x0098091A);
static_assert(V4L2_CID_POWER_LINE_FREQUENCY == 0x00980918 && V4L2_CID_SHARPNESS == 0x0098091B);
static_assert(V4L2_CID_BACKLIGHT_COMPENSATION == 0x0098091C);

// ---------------------------------------------------------------------------
// Streaming: format, frame interval, memory-mapped buffers.

inline constexpr std::size_t SIZE_FORMAT = 208;
inline constexpr std::size_t SIZE_STREAMPARM = 204;
inline constexpr std::size_t SIZE_REQUESTBUFFERS = 20;
inline constexpr std::size_t SIZE_BUFFER = 88;
inline constexpr std::size_t SIZE_INT = 4;

inline constexpr std::uint64_t S_FMT = ioc(IOC_READ | IOC_WRITE, 'V', 5, SIZE_FORMAT);
inline constexpr std::uint64_t REQBUFS = ioc(IOC_READ | IOC_WRITE, 'V', 8, SIZE_REQUESTBUFFERS);
inline constexpr std::uint64_t QUERYBUF = ioc(IOC_READ | IOC_WRITE, 'V', 9, SIZE_BUFFER);
inline constexpr std::uint64_t QBUF = ioc(IOC_READ | IOC_WRITE, 'V', 15, SIZE_BUFFER);
inline constexpr std::uint64_t DQBUF = ioc(IOC_READ | IOC_WRITE, 'V', 17, SIZE_BUFFER);
inline constexpr std::uint64_t STREAMON = ioc(IOC_WRITE, 'V', 18, SIZE_INT);
inline constexpr std::uint64_t STREAMOFF = ioc(IOC_WRITE, 'V', 19, SIZE_INT);
inline constexpr std::uint64_t S_PARM = ioc(IOC_READ | IOC_WRITE, 'V', 22, SIZE_STREAMPARM);

inline constexpr std::uint32_t BUF_TYPE_VIDEO_CAPTURE = 1;
inline constexpr std::uint32_t MEMORY_MMAP = 1;
inline constexpr std::uint32_t FIELD_ANY = 0;
inline constexpr std::uint32_t BUF_FLAG_ERROR = 0x40;
inline constexpr std::uint32_t BUF_FLAG_TIMESTAMP_MASK = 0xe000;
inline constexpr std::uint32_t BUF_FLAG_TIMESTAMP_MONOTONIC = 0x2000;

static_assert(S_FMT == VIDIOC_S_FMT && REQBUFS == VIDIOC_REQBUFS && QUERYBUF == VIDIOC_QUERYBUF);
static_assert(QBUF == VIDIOC_QBUF && DQBUF == VIDIOC_DQBUF && S_PARM == VIDIOC_S_PARM);
static_assert(STREAMON == VIDIOC_STREAMON && STREAMOFF == VIDIOC_STREAMOFF);
static_assert(S_FMT == 0xC0D05605u && REQBUFS == 0xC0145608u && QUERYBUF == 0xC0585609u);
static_assert(QBUF == 0xC058560Fu && DQBUF == 0xC0585611u && S_PARM == 0xC0CC5616u);
static_assert(STREAMON == 0x40045612u && STREAMOFF == 0x40045613u);
static_assert(BUF_TYPE_VIDEO_CAPTURE == V4L2_BUF_TYPE_VIDEO_CAPTURE && MEMORY_MMAP == V4L2_MEMORY_MMAP);
static_assert(FIELD_ANY == V4L2_FIELD_ANY && BUF_FLAG_ERROR == V4L2_BUF_FLAG_ERROR);
static_assert(BUF_FLAG_TIMESTAMP_MASK == V4L2_BUF_FLAG_TIMESTAMP_MASK &&
              BUF_FLAG_TIMESTAMP_MONOTONIC == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);

// v4l2_format: the type, then the format union (8-aligned) holding v4l2_pix_format.
static_assert(sizeof(v4l2_format) == SIZE_FORMAT);
static_assert(offsetof(v4l2_format, type) == 0 && offsetof(v4l2_format, fmt) == 8);
static_assert(offsetof(v4l2_pix_format, width) == 0 && offsetof(v4l2_pix_format, height) == 4);
static_assert(offsetof(v4l2_pix_format, pixelformat) == 8 && offsetof(v4l2_pix_format, field) == 12);
static_assert(offsetof(v4l2_pix_format, bytesperline) == 16 && offsetof(v4l2_pix_format, sizeimage) == 20);

// v4l2_streamparm: the type, then v4l2_captureparm with the frame interval.
static_assert(sizeof(v4l2_streamparm) == SIZE_STREAMPARM);
static_assert(offsetof(v4l2_streamparm, type) == 0 && offsetof(v4l2_streamparm, parm) == 4);
static_assert(offsetof(v4l2_captureparm, capability) == 0 && offsetof(v4l2_captureparm, timeperframe) == 8);
static_assert(offsetof(v4l2_fract, numerator) == 0 && offsetof(v4l2_fract, denominator) == 4);
static_assert(V4L2_CAP_TIMEPERFRAME == 0x1000);

static_assert(sizeof(v4l2_requestbuffers) == SIZE_REQUESTBUFFERS);
static_assert(offsetof(v4l2_requestbuffers, count) == 0 && offsetof(v4l2_requestbuffers, type) == 4);
static_assert(offsetof(v4l2_requestbuffers, memory) == 8);

// v4l2_buffer on a 64-bit kernel: a 16-byte timeval, the mmap offset at 64.
static_assert(sizeof(v4l2_buffer) == SIZE_BUFFER);
static_assert(offsetof(v4l2_buffer, index) == 0 && offsetof(v4l2_buffer, type) == 4);
static_assert(offsetof(v4l2_buffer, bytesused) == 8 && offsetof(v4l2_buffer, flags) == 12);
static_assert(offsetof(v4l2_buffer, field) == 16 && offsetof(v4l2_buffer, timestamp) == 24);
static_assert(sizeof(v4l2_buffer::timestamp) == 16 && offsetof(v4l2_buffer, sequence) == 56);
static_assert(offsetof(v4l2_buffer, memory) == 60 && offsetof(v4l2_buffer, m) == 64);
static_assert(offsetof(v4l2_buffer, length) == 72);

// fourcc codes as the kernel packs them: the first character in the low byte.
constexpr std::uint32_t fourcc(const char (&code)[5]) {
    return std::uint32_t(std::uint8_t(code[0])) | std::uint32_t(std::uint8_t(code[1])) << 8 |
           std::uint32_t(std::uint8_t(code[2])) << 16 | std::uint32_t(std::uint8_t(code[3])) << 24;
}
static_assert(fourcc("MJPG") == V4L2_PIX_FMT_MJPEG && fourcc("YUYV") == V4L2_PIX_FMT_YUYV);

}  // namespace vorn::v4l2
