// The slice of the V4L2 user-space ABI the Linux backend and the capture
// engine speak, as <linux/videodev2.h> gives it. The checks below pin the
// request codes and the structure layouts the modules rely on (and the
// Python side's _IOC arithmetic reproduces), so a header that disagrees
// fails the build.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/videodev2.h>

namespace vorn::v4l2 {

// The structures are exchanged little-endian, at fixed offsets.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// The generic ioctl encoding: (direction << 30) | (size << 16) | (type << 8) | nr.
static_assert(_IOC_NONE == 0 && _IOC_WRITE == 1 && _IOC_READ == 2);
static_assert(_IOC_DIRSHIFT == 30 && _IOC_SIZESHIFT == 16 && _IOC_TYPESHIFT == 8 && _IOC_NRSHIFT == 0);

// Control requests and the capability query.
static_assert(VIDIOC_QUERYCAP == 0x80685600u && VIDIOC_G_CTRL == 0xC008561Bu && VIDIOC_S_CTRL == 0xC008561Cu);
static_assert(sizeof(v4l2_capability) == 104);
static_assert(offsetof(v4l2_capability, driver) == 0 && sizeof(v4l2_capability::driver) == 16);
static_assert(offsetof(v4l2_capability, card) == 16 && sizeof(v4l2_capability::card) == 32);
static_assert(offsetof(v4l2_capability, capabilities) == 84);
static_assert(offsetof(v4l2_capability, device_caps) == 88);
static_assert(V4L2_CAP_VIDEO_CAPTURE == 1);
static_assert(sizeof(v4l2_control) == 8);
static_assert(offsetof(v4l2_control, id) == 0 && offsetof(v4l2_control, value) == 4);

// The control IDs the backend maps canonical names to.
static_assert(V4L2_CID_BRIGHTNESS == 0x00980900 && V4L2_CID_CONTRAST == 0x00980901);
static_assert(V4L2_CID_SATURATION == 0x00980902 && V4L2_CID_HUE == 0x00980903);
static_assert(V4L2_CID_GAIN == 0x00980913 && V4L2_CID_EXPOSURE_AUTO == 0x009A0901);
static_assert(V4L2_CID_EXPOSURE_ABSOLUTE == 0x009A0902 && V4L2_CID_GAMMA == 0x00980910);
static_assert(V4L2_CID_AUTO_WHITE_BALANCE == 0x0098090C);
static_assert(V4L2_CID_WHITE_BALANCE_TEMPERATURE == 0x0098091A);
static_assert(V4L2_CID_POWER_LINE_FREQUENCY == 0x00980918 && V4L2_CID_SHARPNESS == 0x0098091B);
static_assert(V4L2_CID_BACKLIGHT_COMPENSATION == 0x0098091C);

// Streaming: format, frame interval, memory-mapped buffers.
static_assert(VIDIOC_S_FMT == 0xC0D05605u && VIDIOC_REQBUFS == 0xC0145608u && VIDIOC_QUERYBUF == 0xC0585609u);
static_assert(VIDIOC_QBUF == 0xC058560Fu && VIDIOC_DQBUF == 0xC0585611u && VIDIOC_S_PARM == 0xC0CC5616u);
static_assert(VIDIOC_STREAMON == 0x40045612u && VIDIOC_STREAMOFF == 0x40045613u);
static_assert(V4L2_BUF_TYPE_VIDEO_CAPTURE == 1 && V4L2_MEMORY_MMAP == 1 && V4L2_FIELD_ANY == 0);
static_assert(V4L2_BUF_FLAG_ERROR == 0x40 && V4L2_BUF_FLAG_TIMESTAMP_MASK == 0xe000 &&
              V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC == 0x2000);

// v4l2_format: the type, then the format union (8-aligned) holding v4l2_pix_format.
static_assert(sizeof(v4l2_format) == 208);
static_assert(offsetof(v4l2_format, type) == 0 && offsetof(v4l2_format, fmt) == 8);
static_assert(offsetof(v4l2_pix_format, width) == 0 && offsetof(v4l2_pix_format, height) == 4);
static_assert(offsetof(v4l2_pix_format, pixelformat) == 8 && offsetof(v4l2_pix_format, field) == 12);
static_assert(offsetof(v4l2_pix_format, bytesperline) == 16 && offsetof(v4l2_pix_format, sizeimage) == 20);

// v4l2_streamparm: the type, then v4l2_captureparm with the frame interval.
static_assert(sizeof(v4l2_streamparm) == 204);
static_assert(offsetof(v4l2_streamparm, type) == 0 && offsetof(v4l2_streamparm, parm) == 4);
static_assert(offsetof(v4l2_captureparm, capability) == 0 && offsetof(v4l2_captureparm, timeperframe) == 8);
static_assert(offsetof(v4l2_fract, numerator) == 0 && offsetof(v4l2_fract, denominator) == 4);
static_assert(V4L2_CAP_TIMEPERFRAME == 0x1000);

static_assert(sizeof(v4l2_requestbuffers) == 20);
static_assert(offsetof(v4l2_requestbuffers, count) == 0 && offsetof(v4l2_requestbuffers, type) == 4);
static_assert(offsetof(v4l2_requestbuffers, memory) == 8);

// v4l2_buffer on a 64-bit kernel: a 16-byte timeval, the mmap offset at 64.
static_assert(sizeof(v4l2_buffer) == 88);
static_assert(offsetof(v4l2_buffer, index) == 0 && offsetof(v4l2_buffer, type) == 4);
static_assert(offsetof(v4l2_buffer, bytesused) == 8 && offsetof(v4l2_buffer, flags) == 12);
static_assert(offsetof(v4l2_buffer, field) == 16 && offsetof(v4l2_buffer, timestamp) == 24);
static_assert(sizeof(v4l2_buffer::timestamp) == 16 && offsetof(v4l2_buffer, sequence) == 56);
static_assert(offsetof(v4l2_buffer, memory) == 60 && offsetof(v4l2_buffer, m) == 64);
static_assert(offsetof(v4l2_buffer, length) == 72);

// A four-character code as the kernel packs it: the first character in the low byte.
constexpr std::uint32_t fourcc(const char (&code)[5]) { return v4l2_fourcc(code[0], code[1], code[2], code[3]); }
static_assert(fourcc("MJPG") == V4L2_PIX_FMT_MJPEG && fourcc("YUYV") == V4L2_PIX_FMT_YUYV);
static_assert(V4L2_PIX_FMT_MJPEG == 0x47504A4Du);

}  // namespace vorn::v4l2
