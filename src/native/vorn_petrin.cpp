// The Petrin camera family. It shares the Talvex firmware class, so its spec
// refers to the Talvex mode and control tables themselves; only the SKUs
// differ: a lens class, and for the module line also a mount option.
#include "glue.hpp"

#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Camera line: STEREO-CAMERA-PETRIN-<lens>-LENSES-V21 per lens; then module
// line: STEREO-CAMERA-MODULE-PETRIN-<lens>-LENSES-<mount>-V21 per lens and
// mount, mount innermost.
nb::tuple build_skus(nb::handle lenses, nb::handle mounts) {
    nb::list skus;
    for (nb::handle lens : lenses)
        skus.append(nb::str(("STEREO-CAMERA-PETRIN-" + std::string(nb::str(lens).c_str()) +
                             "-LENSES-V21").c_str()));
    for (nb::handle lens : lenses)
        for (nb::handle mount : mounts)
            skus.append(nb::str(("STEREO-CAMERA-MODULE-PETRIN-" +
                                 std::string(nb::str(lens).c_str()) + "-LENSES-" +
                                 std::string(nb::str(mount).c_str()) + "-V21").c_str()));
    return nb::tuple(skus);
}

}  // namespace

NB_MODULE(vorn_petrin, m) {
    m.doc() =
        "The Petrin camera family of the VORN model catalog.\n"
        "\n"
        "``VORN_PETRIN`` has the Talvex family's capture modes and control tables\n"
        "(the very same objects as ``VORN_TALVEX``) and its own SKUs.";

    m.attr("VORN_TALVEX") = vorn::import_name("vorn_camera_sdk.cameras.vorn_talvex", "VORN_TALVEX");
    m.attr("CameraSpec") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CameraSpec");
    m.attr("_PETRIN_LENSES") = nb::make_tuple("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE");
    m.attr("_PETRIN_MOUNTS") = nb::make_tuple("NO-MOUNT", "SIDE-MOUNTS");

    nb::tuple skus = build_skus(m.attr("_PETRIN_LENSES"), m.attr("_PETRIN_MOUNTS"));
    nb::object talvex = m.attr("VORN_TALVEX");
    nb::object modes = talvex.attr("modes");
    nb::object controls = talvex.attr("controls");
    nb::object windows_controls = talvex.attr("windows_controls");
    m.attr("VORN_PETRIN") =
        m.attr("CameraSpec")("skus"_a = skus, "modes"_a = modes, "controls"_a = controls,
                             "windows_controls"_a = windows_controls);
}
