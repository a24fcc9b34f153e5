// The least a native control request can cost from Python: one nanobind
// function that takes the descriptor and the control id, issues
// VIDIOC_G_CTRL without the GIL and returns the value (None when refused).
// bench_all.py builds it next to the benchmarks and compares the control
// handle's get with it.
#include <linux/videodev2.h>
#include <nanobind/nanobind.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace nb = nanobind;

NB_MODULE(nb_ioctl_floor, m) {
    m.def("g_ctrl", [](int fd, std::uint32_t id) -> nb::object {
        v4l2_control ctrl{id, 0};
        int rc;
        {
            nb::gil_scoped_release unlocked;
            rc = ::ioctl(fd, VIDIOC_G_CTRL, &ctrl);
        }
        if (rc == -1)
            return nb::none();
        return nb::float_(double(ctrl.value));
    });
}
