// The Sorvane camera family. It shares the Talvex firmware class, so its spec
// refers to the Talvex mode and control tables themselves; only the SKUs
// differ: one per lens class in each product line, with no mount option.
#include "glue.hpp"

#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Camera line: STEREO-CAMERA-SORVANE-<lens>-LENSES-V21 per lens; then module
// line: STEREO-CAMERA-MODULE-SORVANE-<lens>-LENSES-V21 per lens.
nb::tuple build_skus(nb::handle lenses) {
    nb::list skus;
    for (const char *line : {"STEREO-CAMERA-SORVANE-", "STEREO-CAMERA-MODULE-SORVANE-"})
        for (nb::handle lens : lenses)
            skus.append(nb::str((line + std::string(nb::str(lens).c_str()) + "-LENSES-V21")
                                    .c_str()));
    return nb::tuple(skus);
}

}  // namespace

NB_MODULE(vorn_sorvane, m) {
    m.doc() =
        "The Sorvane camera family of the VORN model catalog.\n"
        "\n"
        "``VORN_SORVANE`` has the Talvex family's capture modes and control tables\n"
        "(the very same objects as ``VORN_TALVEX``) and its own SKUs.";

    m.attr("VORN_TALVEX") = vorn::import_name("vorn_camera_sdk.cameras.vorn_talvex", "VORN_TALVEX");
    m.attr("CameraSpec") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CameraSpec");
    m.attr("_SORVANE_LENSES") =
        nb::make_tuple("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE");

    nb::tuple skus = build_skus(m.attr("_SORVANE_LENSES"));
    nb::object talvex = m.attr("VORN_TALVEX");
    nb::object modes = talvex.attr("modes");
    nb::object controls = talvex.attr("controls");
    nb::object windows_controls = talvex.attr("windows_controls");
    m.attr("VORN_SORVANE") =
        m.attr("CameraSpec")("skus"_a = skus, "modes"_a = modes, "controls"_a = controls,
                             "windows_controls"_a = windows_controls);
}
