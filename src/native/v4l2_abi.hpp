// The slice of the V4L2 user-space ABI the Linux backend speaks: the generic
// ioctl number encoding, the capability and control structures, and the three
// request codes. Everything here is checked at compile time against the
// kernel's own <linux/videodev2.h>, so a layout mistake fails the build.
#pragma once

#include <cstddef>
#include <cstdint>

#include <linux/videodev2.h>

namespace vorn::v4l2 {

// Direction bits of an ioctl number.
inline constexpr std::uint64_t IOC_NONE = 0;
inline constexpr std::uint64_t IOC_WRITE = 1;
inline constexpr std::uint64_t IOC_READ = 2;

// (direction << 30) | (size << 16) | (type << 8) | nr, with nothing masked:
// an oversized nr or size spills into the neighbouring fields.
constexpr std::uint64_t ioc(std::uint64_t direction, std::uint64_t type, std::uint64_t nr,
                            std::uint64_t size) {
    return (direction << 30) | (size << 16) | (type << 8) | nr;
}

// struct v4l2_capability (104 bytes).
struct Capability {
    std::uint8_t driver[16];
    std::uint8_t card[32];
    std::uint8_t bus_info[32];
    std::uint32_t version;
    std::uint32_t capabilities;
    std::uint32_t device_caps;
    std::uint32_t reserved[3];
};

// struct v4l2_control (8 bytes).
struct Control {
    std::uint32_t id;
    std::int32_t value;
};

inline constexpr std::size_t SIZE_QUERYCAP = 104;
inline constexpr std::size_t SIZE_CONTROL = 8;

inline constexpr std::uint64_t QUERYCAP = ioc(IOC_READ, 'V', 0, SIZE_QUERYCAP);
inline constexpr std::uint64_t G_CTRL = ioc(IOC_READ | IOC_WRITE, 'V', 27, SIZE_CONTROL);
inline constexpr std::uint64_t S_CTRL = ioc(IOC_READ | IOC_WRITE, 'V', 28, SIZE_CONTROL);

inline constexpr std::uint32_t CAP_VIDEO_CAPTURE = 1;

// Our layouts against the kernel's.
static_assert(sizeof(Capability) == SIZE_QUERYCAP);
static_assert(sizeof(v4l2_capability) == SIZE_QUERYCAP);
static_assert(offsetof(Capability, driver) == offsetof(v4l2_capability, driver));
static_assert(offsetof(Capability, card) == offsetof(v4l2_capability, card));
static_assert(offsetof(Capability, bus_info) == offsetof(v4l2_capability, bus_info));
static_assert(offsetof(Capability, version) == offsetof(v4l2_capability, version));
static_assert(offsetof(Capability, capabilities) == offsetof(v4l2_capability, capabilities));
static_assert(offsetof(Capability, device_caps) == offsetof(v4l2_capability, device_caps));
static_assert(offsetof(Capability, reserved) == offsetof(v4l2_capability, reserved));
static_assert(offsetof(Capability, capabilities) == 84 && offsetof(Capability, device_caps) == 88);
static_assert(sizeof(v4l2_capability::driver) == 16 && sizeof(v4l2_capability::card) == 32);

static_assert(sizeof(Control) == SIZE_CONTROL);
static_assert(sizeof(v4l2_control) == SIZE_CONTROL);
static_assert(offsetof(Control, id) == offsetof(v4l2_control, id));
static_assert(offsetof(Control, value) == offsetof(v4l2_control, value));

// Our request codes against the kernel's, and non-negative as Python ints.
static_assert(QUERYCAP == VIDIOC_QUERYCAP);
static_assert(G_CTRL == VIDIOC_G_CTRL);
static_assert(S_CTRL == VIDIOC_S_CTRL);
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

// Little-endian field access on raw request buffers.
inline std::uint32_t load_le32(const unsigned char *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void store_le32(unsigned char *p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

}  // namespace vorn::v4l2
