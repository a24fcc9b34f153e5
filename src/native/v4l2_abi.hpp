// The slice of the V4L2 user-space ABI the Linux backend speaks: the generic
// ioctl number encoding and the three request codes. The capability and
// control structures are the kernel's own; the checks below pin them, and our
// request codes, to the layout the backend documents, so a mistake fails the
// build.
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

}  // namespace vorn::v4l2
