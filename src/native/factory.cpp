// vorn_camera_sdk.sources.factory: turns a user's `source=` argument into a
// concrete frame source.
//
// The module binds only `json`, `Path` and `FrameSource` at import. Everything
// from the camera and platform side is imported inside resolve_source_arg, at
// the point where a form needs it, so importing this module never pulls in the
// cameras or platform packages (which would close an import cycle back to the
// sources package); once those modules are loaded, such an import is an
// attribute read. The module's own attributes are looked up at every call.

#include "glue.hpp"

#include <initializer_list>
#include <utility>

namespace nb = nanobind;
using vorn::import_name;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.sources.factory";

// The module's dict (its globals, read at call time) and the names used on
// every call, made once at import.
struct Constants {
    nb::handle globals;
    nb::handle FrameSource, Path, json, load, spec, default_mode, strip, slash, mkv, json_suffix;
    nb::handle cameras, VornCameraFacts, list_connected_vorn_cameras, get_connected_vorn_camera_by_serial;
    nb::handle camera_source, CameraSource, mkv_source, MkvSource, camera_facts, connected_device;
    nb::handle mcap, mcap_recording, McapSource;
} k;

// The pieces joined into one str; each piece must already be a str.
nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts)
        items.append(part);
    return nb::steal<nb::str>(PyUnicode_Join(nb::str("").ptr(), items.ptr()));
}

bool ends_with(nb::handle text, nb::handle suffix) {
    Py_ssize_t result = PyUnicode_Tailmatch(text.ptr(), suffix.ptr(), 0, PY_SSIZE_T_MAX, +1);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle text, nb::handle needle) {
    int result = PyUnicode_Contains(text.ptr(), needle.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

bool is_instance(nb::handle value, nb::handle type) {
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// CameraSource(record, record.spec.default_mode)
nb::object camera_source_at_default_mode(nb::handle record) {
    nb::object CameraSource = import_name(k.camera_source, k.CameraSource);
    return CameraSource(record, nb::getattr(nb::getattr(record, k.spec), k.default_mode));
}

// A camera facts JSON file, parsed by the module's `json.load`; the file is
// closed before this returns, whether parsing worked or not.
nb::object load_json_file(nb::handle path) {
    nb::object file = nb::builtins()["open"](path, "r", nb::arg("encoding") = "utf-8");
    nb::object payload;
    try {
        payload = nb::getattr(vorn::global(k.globals, k.json), k.load)(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return payload;
}

nb::object resolve_from_facts_file(nb::handle VornCameraFacts, nb::str s) {
    nb::object payload = load_json_file(s);

    nb::object serial = payload.attr("get")("serial_number");
    if (!nb::bool_(serial))
        serial = payload.attr("get")("serial");
    if (!nb::bool_(serial))
        serial = payload.attr("get")("camera_serial");
    if (!nb::bool_(serial))
        vorn::raise(PyExc_RuntimeError,
                    concat({s, nb::str(" has no `serial_number` field \u2014 can't pick a camera")}));

    nb::object match = import_name(k.camera_facts, k.connected_device)(serial);
    if (match.is_none())
        vorn::raise(PyExc_RuntimeError,
                    concat({nb::str("camera-facts JSON references serial "), nb::repr(serial),
                            nb::str(", but no such VORN camera is currently connected")}));

    nb::object cam = VornCameraFacts.attr("from_dict")(payload, nb::arg("os_id") = match.attr("os_id"));
    if (cam.is_none())
        vorn::raise(PyExc_RuntimeError,
                    concat({s, nb::str(": not a valid server-shape device-info payload (missing serial / "
                                       "sku, unknown SKU, or broken calibration block)")}));
    return camera_source_at_default_mode(cam);
}

nb::object resolve_source_arg(nb::object source) {
    // 1. A frame source that is already built.
    if (is_instance(source, vorn::global(k.globals, k.FrameSource)))
        return source;

    // 2. Nothing: the first attached camera.
    if (source.is_none()) {
        nb::object cams = import_name(k.cameras, k.list_connected_vorn_cameras)();
        if (!nb::bool_(cams))
            vorn::raise(PyExc_RuntimeError,
                        "no VORN camera detected \u2014 pass `source=` explicitly, or connect a "
                        "registered VORN unit.");
        return camera_source_at_default_mode(cams[0]);
    }

    // 3. A camera record resolved earlier.
    nb::object VornCameraFacts = import_name(k.cameras, k.VornCameraFacts);
    if (is_instance(source, VornCameraFacts))
        return camera_source_at_default_mode(source);

    // Text: a str (or subclass) or a concrete pathlib.Path, stripped.
    nb::str s("");
    if (PyUnicode_CheckExact(source.ptr()))
        s = nb::borrow<nb::str>(nb::getattr(source, k.strip)());
    else if (PyUnicode_Check(source.ptr()) || is_instance(source, vorn::global(k.globals, k.Path)))
        s = nb::borrow<nb::str>(nb::getattr(nb::str(source), k.strip)());

    if (PyUnicode_GetLength(s.ptr()) == 0)
        vorn::raise(PyExc_ValueError,
                    concat({nb::str("unsupported source argument: "), nb::repr(source),
                            nb::str("; expected FrameSource, VornCameraFacts, VORN serial, .mkv path, "
                                    "camera-facts .json path, or None for auto-discover")}));

    bool looks_like_path = contains(s, k.slash) || ends_with(s, k.mkv) || ends_with(s, k.json_suffix);

    // 4. A VORN serial number.
    if (!looks_like_path) {
        nb::object cam = import_name(k.cameras, k.get_connected_vorn_camera_by_serial)(s);
        if (cam.is_none())
            vorn::raise(PyExc_RuntimeError,
                        concat({nb::str("no connected VORN camera with serial "), nb::repr(s)}));
        return camera_source_at_default_mode(cam);
    }

    // 5. A recording, replayed.
    if (ends_with(s, k.mkv))
        return import_name(k.mkv_source, k.MkvSource)(s);

    // 6. A camera facts JSON file: its serial picks the attached camera.
    if (ends_with(s, k.json_suffix))
        return resolve_from_facts_file(VornCameraFacts, s);

    // 7. A path ending in .mcap: an MCAP recording of this package, replayed.
    // (Without a "/" such a text is a serial, as every text without one is.)
    if (ends_with(s, k.mcap))
        return import_name(k.mcap_recording, k.McapSource)(s);

    vorn::raise(PyExc_ValueError,
                concat({nb::str("unsupported source string "), nb::repr(s),
                        nb::str(": expected a VORN serial, an .mkv path, or a camera-facts .json path")}));
}

// An entry point of its own: passing an already built source through costs
// no more than the isinstance test.
struct Resolve {
    static constexpr const char *name = "resolve_source_arg";
    static constexpr std::array params{"source"};
    static constexpr size_t positional = 1;
    static constexpr const char *doc =
        "resolve_source_arg(source) -> FrameSource\n\n"
        "Dispatch a source argument into a concrete frame source.\n\n"
        "Accepted forms, tested in this order:\n\n"
        "1. a FrameSource: returned unchanged;\n"
        "2. None: the first connected VORN camera, at its default mode;\n"
        "3. a VornCameraFacts record: that camera, at its default mode;\n"
        "4. a str or pathlib.Path with no \"/\" and no .mkv/.json suffix: a VORN\n"
        "   serial, looked up among the connected cameras;\n"
        "5. a str or pathlib.Path ending in .mkv: an MkvSource replaying it;\n"
        "6. a str or pathlib.Path ending in .json: a camera facts file; its serial\n"
        "   picks the connected camera and its content supplies the record\n"
        "   (calibration included) without a device-info request;\n"
        "7. a str or pathlib.Path with a \"/\" ending in .mcap: a McapSource\n"
        "   replaying that MCAP recording (\"./run.mcap\" for one in the current\n"
        "   directory).\n\n"
        "Raises ValueError for any other argument and RuntimeError when no\n"
        "matching camera is connected.";
    static nb::object call(PyObject *, PyObject *const *argv) { return resolve_source_arg(nb::borrow(argv[0])); }
};

}  // namespace

NB_MODULE(factory, m) {
    m.doc() = "Resolves a pipeline's `source=` argument into a concrete frame source.";

    m.attr("json") = nb::module_::import_("json");
    m.attr("Path") = import_name("pathlib", "Path");
    m.attr("FrameSource") = import_name("vorn_camera_sdk.sources.base", "FrameSource");

    k.globals = PyModule_GetDict(m.ptr());  // lives as long as the module
    for (auto [slot, text] : std::initializer_list<std::pair<nb::handle *, const char *>>{
             {&k.FrameSource, "FrameSource"}, {&k.Path, "Path"}, {&k.json, "json"}, {&k.load, "load"},
             {&k.spec, "spec"}, {&k.default_mode, "default_mode"}, {&k.strip, "strip"}, {&k.slash, "/"},
             {&k.mkv, ".mkv"}, {&k.json_suffix, ".json"}, {&k.cameras, "vorn_camera_sdk.cameras"},
             {&k.VornCameraFacts, "VornCameraFacts"}, {&k.list_connected_vorn_cameras, "list_connected_vorn_cameras"},
             {&k.get_connected_vorn_camera_by_serial, "get_connected_vorn_camera_by_serial"},
             {&k.camera_source, "vorn_camera_sdk.sources.camera_source"}, {&k.CameraSource, "CameraSource"},
             {&k.mkv_source, "vorn_camera_sdk.sources.mkv_source"}, {&k.MkvSource, "MkvSource"},
             {&k.camera_facts, "vorn_camera_sdk.cameras.camera_facts"}, {&k.connected_device, "_connected_device"},
             {&k.mcap, ".mcap"}, {&k.mcap_recording, "vorn_camera_sdk.mcap_recording"},
             {&k.McapSource, "McapSource"}})
        *slot = vorn::interned(text);

    vorn::def_function<Resolve>(m);
}
