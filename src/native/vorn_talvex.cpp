// The Talvex camera family: its SKUs, capture modes and controls as one
// CameraSpec record, VORN_TALVEX, built once at import, plus the derivation
// of the Windows control table from the Linux one.
#include "glue.hpp"

#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kModuleDoc =
    "The Talvex camera family of the VORN model catalog.\n"
    "\n"
    "``VORN_TALVEX`` lists the family's SKUs, capture modes and controls. The\n"
    "values describe a gen-21 unit as the Linux video driver reports it: the\n"
    "capture modes as ``v4l2-ctl --list-formats-ext`` lists them and the\n"
    "controls as the driver's VIDIOC_QUERYCTRL inventory reports them. So\n"
    "``controls`` is the Linux (V4L2) table; ``windows_controls`` is derived\n"
    "from it by ``_build_windows_controls``.";

// ---------------------------------------------------------------------------
// Windows control table
//
// DirectShow reports every control with the same raw range as V4L2 except two:
// exposure counts in log2 seconds there (-13 .. 3, default -5, i.e. 2^-5 s =
// 31.25 ms, the same as the V4L2 default of 312 x 100 us), and the power-line
// frequency has no DirectShow property at all, so it is left out.

nb::tuple build_windows_controls(nb::handle module, nb::handle controls) {
    nb::list out;
    nb::str power_line("power_line_frequency"), exposure("exposure");
    for (nb::handle control : nb::iter(controls)) {
        if (control.attr("name").equal(power_line))
            continue;
        if (control.attr("name").equal(exposure)) {
            out.append(module.attr("replace")(control, "min"_a = -13, "max"_a = 3,
                                              "step"_a = 1, "default"_a = -5,
                                              "unit"_a = "log2(s)"));
        } else {
            out.append(control);
        }
    }
    return nb::tuple(out);
}

// ---------------------------------------------------------------------------
// Capture modes

struct ModeGroup {
    const char *fourcc;
    int width, height;
    std::vector<double> fps;  // in listing order; 7.5 is the only fractional rate
    bool stereo;
    bool supported;     // false: the mode passes is_supported=False
    bool first_default; // true: the group's first mode is the family default
};

// A whole-number rate becomes an int so that it prints without a decimal point.
nb::object fps_value(double fps) {
    long whole = static_cast<long>(fps);
    if (static_cast<double>(whole) == fps)
        return nb::int_(whole);
    return nb::float_(fps);
}

nb::tuple build_modes(nb::handle capture_mode) {
    const std::vector<double> ladder = {30, 25, 20, 15, 10, 7.5, 5};
    // Stereo formats carry both views side by side, twice the width of the
    // mono format of the same height. Formats whose single view is 640 x 480,
    // and those eight lines short of a supported height, are not supported.
    const std::vector<ModeGroup> groups = {
        {"MJPG", 1280, 720, ladder, false, true, false},
        {"MJPG", 640, 480, ladder, false, false, false},
        {"MJPG", 640, 360, ladder, false, true, false},
        {"MJPG", 1280, 712, ladder, false, false, false},
        {"MJPG", 640, 472, ladder, false, false, false},
        {"MJPG", 640, 352, ladder, false, false, false},
        {"MJPG", 2560, 720, ladder, true, true, false},
        {"MJPG", 1280, 480, ladder, true, false, false},
        {"MJPG", 1280, 360, ladder, true, true, true},
        {"YUYV", 1280, 720, {10, 7.5, 5}, false, true, false},
        {"YUYV", 640, 480, ladder, false, false, false},
        {"YUYV", 640, 360, ladder, false, true, false},
        {"YUYV", 1280, 712, {10, 7.5, 5}, false, false, false},
        {"YUYV", 640, 472, ladder, false, false, false},
        {"YUYV", 640, 352, ladder, false, false, false},
        {"YUYV", 2560, 720, {5}, true, true, false},
        {"YUYV", 1280, 480, {15, 10, 7.5, 5}, true, false, false},
        {"YUYV", 1280, 360, {25, 20, 15, 10, 7.5, 5}, true, true, false},
    };

    nb::list modes;
    for (const ModeGroup &group : groups) {
        bool first = true;
        for (double fps : group.fps) {
            nb::dict flags;
            flags["stereo"] = nb::bool_(group.stereo);
            if (!group.supported)
                flags["is_supported"] = nb::bool_(false);
            if (group.first_default && first)
                flags["is_default"] = nb::bool_(true);
            // The format code interned, like a literal in Python code: a table
            // keyed by it finds it by identity.
            nb::tuple args = nb::make_tuple(group.width, group.height, fps_value(fps),
                                            vorn::interned(group.fourcc));
            PyObject *mode = PyObject_Call(capture_mode.ptr(), args.ptr(), flags.ptr());
            if (!mode)
                throw nb::python_error();
            modes.append(nb::steal(mode));
            first = false;
        }
    }
    return nb::tuple(modes);
}

// ---------------------------------------------------------------------------
// Controls, in raw V4L2 units

struct Control {
    const char *name, *label, *kind, *value_type;
    int default_, min, max, step;
    const char *unit = nullptr;
    std::vector<std::pair<int, const char *>> enum_values = {};
    const char *auto_companion = nullptr;
    bool not_updatable_by_auto = false;  // true: passes updatable_by_auto=False
};

nb::tuple build_controls(nb::handle camera_control) {
    // auto_exposure uses the V4L2 exposure-auto menu (1 manual, 3 aperture
    // priority; the menu spans 0..3); exposure counts in 100 us units, from
    // 100 us to 8 s; white balance is a colour temperature in kelvin.
    const std::vector<Control> table = {
        {"auto_exposure", "Auto exposure", "enum", "int", 3, 0, 3, 1,
         nullptr, {{1, "Manual"}, {3, "Aperture Priority"}}},
        {"exposure", "Exposure", "number", "int", 312, 1, 80000, 1,
         "100us", {}, "auto_exposure"},
        {"gain", "Gain", "number", "int", 32, 0, 130, 1,
         nullptr, {}, "auto_exposure"},
        {"brightness", "Brightness", "number", "int", 0, -64, 64, 1},
        {"contrast", "Contrast", "number", "int", 34, 0, 64, 1},
        {"saturation", "Saturation", "number", "int", 62, 0, 78, 1},
        {"hue", "Hue", "number", "int", 0, -2000, 2000, 1},
        {"gamma", "Gamma", "number", "int", 150, 100, 300, 1},
        {"sharpness", "Sharpness", "number", "int", 4, 1, 7, 1},
        {"white_balance_auto", "Auto white balance", "boolean", "bool", 1, 0, 1, 1},
        {"white_balance", "White balance (K)", "number", "int", 4600, 2800, 6500, 1,
         "K", {}, "white_balance_auto", true},
        {"power_line_frequency", "Power-line frequency", "enum", "int", 1, 0, 2, 1,
         nullptr, {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}},
        {"backlight_compensation", "Backlight compensation", "number", "int", 0, 0, 1, 1},
    };

    nb::list controls;
    for (const Control &c : table) {
        nb::dict kw;
        kw["name"] = c.name;
        kw["label"] = c.label;
        kw["kind"] = c.kind;
        kw["value_type"] = c.value_type;
        kw["default"] = c.default_;
        kw["min"] = c.min;
        kw["max"] = c.max;
        kw["step"] = c.step;
        if (c.unit)
            kw["unit"] = c.unit;
        if (!c.enum_values.empty()) {
            nb::list pairs;
            for (const auto &[value, label] : c.enum_values)
                pairs.append(nb::make_tuple(value, label));
            kw["enum_values"] = nb::tuple(pairs);
        }
        if (c.auto_companion)
            kw["auto_companion"] = c.auto_companion;
        if (c.not_updatable_by_auto)
            kw["updatable_by_auto"] = nb::bool_(false);
        PyObject *control = PyObject_Call(camera_control.ptr(), nb::tuple().ptr(), kw.ptr());
        if (!control)
            throw nb::python_error();
        controls.append(nb::steal(control));
    }
    return nb::tuple(controls);
}

// ---------------------------------------------------------------------------
// SKUs: <line>-TALVEX-<baseline>-BASELINE-<lens>-LENSES-V21 for every
// combination, product line outermost, lens innermost.

nb::tuple build_skus() {
    const char *const lines[] = {"STEREO-CAMERA", "STEREO-CAMERA-MODULE"};
    const char *const baselines[] = {"ULTRA-SHORT", "SHORT", "REGULAR", "LONG"};
    const char *const lenses[] = {"NARROW",  "REGULAR",       "WIDE",    "ULTRA-WIDE",
                                  "FISHEYE", "ULTRA-FISHEYE", "PANOPTIC"};
    nb::list skus;
    for (const char *line : lines)
        for (const char *baseline : baselines)
            for (const char *lens : lenses)
                skus.append(nb::str((std::string(line) + "-TALVEX-" + baseline +
                                     "-BASELINE-" + lens + "-LENSES-V21")
                                        .c_str()));
    return nb::tuple(skus);
}

}  // namespace

NB_MODULE(vorn_talvex, m) {
    m.doc() = kModuleDoc;

    m.attr("replace") = vorn::import_name("dataclasses", "replace");

    m.attr("CameraControl") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CameraControl");
    m.attr("CameraSpec") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CameraSpec");
    m.attr("CaptureMode") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CaptureMode");

    // The derivation reads the module's `replace` on every call; it holds the
    // module only weakly so that the two do not keep each other alive.
    nb::weakref module_ref(m);
    m.def(
        "_build_windows_controls",
        [module_ref](nb::handle controls) {
            return build_windows_controls(module_ref(), controls);
        },
        "controls"_a,
        nb::sig("def _build_windows_controls(controls: tuple[CameraControl, ...]) "
                "-> tuple[CameraControl, ...]"),
        "Derive the Windows (DirectShow) control table from the Linux (V4L2) one.\n"
        "\n"
        "Entries named \"power_line_frequency\" are dropped; entries named\n"
        "\"exposure\" are replaced by a copy in log2 seconds (min -13, max 3,\n"
        "step 1, default -5, unit \"log2(s)\"); every other entry is kept as the\n"
        "same object. Order is preserved. Accepts any iterable and returns a new\n"
        "tuple.");

    // Record types and the derivation are read from the module namespace, as
    // module-level code would read its globals.
    nb::tuple skus = build_skus();
    nb::tuple modes = build_modes(m.attr("CaptureMode"));
    nb::tuple controls = build_controls(m.attr("CameraControl"));
    m.attr("VORN_TALVEX") =
        m.attr("CameraSpec")("skus"_a = skus, "modes"_a = modes, "controls"_a = controls);

    // Add the Windows table; VORN_TALVEX is read afresh from the module.
    nb::object replace = m.attr("replace");
    nb::object linux_spec = m.attr("VORN_TALVEX");
    nb::object derive = m.attr("_build_windows_controls");
    nb::object windows = derive(m.attr("VORN_TALVEX").attr("controls"));
    m.attr("VORN_TALVEX") = replace(linux_spec, "windows_controls"_a = windows);
}
