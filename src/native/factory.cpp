// vorn_camera_sdk.sources.factory: turns a user's `source=` argument into a
// concrete frame source.
//
// The module binds only `json`, `Path` and `FrameSource` at import. Everything
// from the camera and platform side is imported inside resolve_source_arg, at
// the point where a form needs it, so importing this module never pulls in the
// cameras or platform packages (which would close an import cycle back to the
// sources package). The module's own attributes are looked up at every call.

#include "glue.hpp"

#include <initializer_list>

namespace nb = nanobind;
using vorn::from_import;
using vorn::import_name;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.sources.factory";

// This module, found in sys.modules (no import machinery on the hot path).
nb::object this_module() {
    if (PyObject *mod = PyImport_GetModule(nb::str(kModuleName).ptr()))
        return nb::steal(mod);
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::module_::import_(kModuleName);
}

// The pieces joined into one str; each piece must already be a str.
nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts)
        items.append(part);
    return nb::steal<nb::str>(PyUnicode_Join(nb::str("").ptr(), items.ptr()));
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

bool ends_with(nb::handle text, const char *suffix) {
    Py_ssize_t result = PyUnicode_Tailmatch(text.ptr(), nb::str(suffix).ptr(), 0, PY_SSIZE_T_MAX, +1);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle text, const char *needle) {
    int result = PyUnicode_Contains(text.ptr(), nb::str(needle).ptr());
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

nb::object camera_source_at_default_mode(nb::handle record) {
    nb::object CameraSource = from_import("vorn_camera_sdk.sources.camera_source", "CameraSource");
    return CameraSource(record, record.attr("spec").attr("default_mode"));
}

// Reads a camera facts JSON file the way `with open(...) as fh: json.load(fh)`
// does: the file is closed before this returns, whether parsing worked or not.
nb::object load_json_file(nb::handle module, nb::handle path) {
    nb::object open = import_name("builtins", "open");
    nb::object manager = open(path, "r", nb::arg("encoding") = "utf-8");
    nb::object exit = manager.attr("__exit__");
    nb::object fh = manager.attr("__enter__")();
    nb::object payload;
    try {
        payload = module.attr("json").attr("load")(fh);
    } catch (nb::python_error &error) {
        exit(error.type(), error.value(), error.traceback());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return payload;
}

nb::object resolve_from_facts_file(nb::handle module, nb::handle VornCameraFacts, nb::str s) {
    nb::object current_backend = from_import("vorn_camera_sdk.platform", "current_backend");
    nb::object CameraSource = from_import("vorn_camera_sdk.sources.camera_source", "CameraSource");

    nb::object payload = load_json_file(module, s);

    nb::object serial = payload.attr("get")("serial_number");
    if (!truthy(serial))
        serial = payload.attr("get")("serial");
    if (!truthy(serial))
        serial = payload.attr("get")("camera_serial");
    if (!truthy(serial))
        vorn::raise(PyExc_RuntimeError,
                    concat({s, nb::str(" has no `serial_number` field \u2014 can't pick a camera")}));

    nb::object match;
    for (nb::handle device : current_backend().attr("list_cameras")()) {
        nb::object same = nb::steal(
            PyObject_RichCompare(device.attr("serial").ptr(), serial.ptr(), Py_EQ));
        if (!same.is_valid())
            throw nb::python_error();
        if (truthy(same)) {
            match = nb::borrow(device);
            break;
        }
    }
    if (!match.is_valid())
        vorn::raise(PyExc_RuntimeError,
                    concat({nb::str("camera-facts JSON references serial "), nb::repr(serial),
                            nb::str(", but no such VORN camera is currently connected")}));

    nb::object cam = VornCameraFacts.attr("from_dict")(payload, nb::arg("os_id") = match.attr("os_id"));
    if (cam.is_none())
        vorn::raise(PyExc_RuntimeError,
                    concat({s, nb::str(": not a valid server-shape device-info payload (missing serial / "
                                       "sku, unknown SKU, or broken calibration block)")}));
    return CameraSource(cam, cam.attr("spec").attr("default_mode"));
}

nb::object resolve_source_arg(nb::object source) {
    nb::object module = this_module();

    // 1. A frame source that is already built.
    if (is_instance(source, module.attr("FrameSource")))
        return source;

    // 2. Nothing: the first attached camera.
    if (source.is_none()) {
        nb::object list_cameras = from_import("vorn_camera_sdk.cameras", "list_connected_vorn_cameras");
        nb::object CameraSource = from_import("vorn_camera_sdk.sources.camera_source", "CameraSource");
        nb::object cams = list_cameras();
        if (!truthy(cams))
            vorn::raise(PyExc_RuntimeError,
                        "no VORN camera detected \u2014 pass `source=` explicitly, or connect a "
                        "registered VORN unit.");
        nb::object first = cams[0];
        return CameraSource(first, first.attr("spec").attr("default_mode"));
    }

    // 3. A camera record resolved earlier.
    nb::object VornCameraFacts = from_import("vorn_camera_sdk.cameras", "VornCameraFacts");
    if (is_instance(source, VornCameraFacts))
        return camera_source_at_default_mode(source);

    // Text: a str (or subclass) or a concrete pathlib.Path, stripped.
    nb::str s("");
    if (PyUnicode_CheckExact(source.ptr()))
        s = nb::borrow<nb::str>(source.attr("strip")());
    else if (PyUnicode_Check(source.ptr()) || is_instance(source, module.attr("Path")))
        s = nb::borrow<nb::str>(nb::str(source).attr("strip")());

    if (PyUnicode_GetLength(s.ptr()) == 0)
        vorn::raise(PyExc_ValueError,
                    concat({nb::str("unsupported source argument: "), nb::repr(source),
                            nb::str("; expected FrameSource, VornCameraFacts, VORN serial, .mkv path, "
                                    "camera-facts .json path, or None for auto-discover")}));

    bool looks_like_path = contains(s, "/") || ends_with(s, ".mkv") || ends_with(s, ".json");

    // 4. A VORN serial number.
    if (!looks_like_path) {
        nb::object by_serial = from_import("vorn_camera_sdk.cameras", "get_connected_vorn_camera_by_serial");
        nb::object CameraSource = from_import("vorn_camera_sdk.sources.camera_source", "CameraSource");
        nb::object cam = by_serial(s);
        if (cam.is_none())
            vorn::raise(PyExc_RuntimeError,
                        concat({nb::str("no connected VORN camera with serial "), nb::repr(s)}));
        return CameraSource(cam, cam.attr("spec").attr("default_mode"));
    }

    // 5. An MKV recording, replayed.
    if (ends_with(s, ".mkv")) {
        nb::object MkvSource = from_import("vorn_camera_sdk.sources.mkv_source", "MkvSource");
        return MkvSource(s);
    }

    // 6. A camera facts JSON file: its serial picks the attached camera.
    if (ends_with(s, ".json"))
        return resolve_from_facts_file(module, VornCameraFacts, s);

    vorn::raise(PyExc_ValueError,
                concat({nb::str("unsupported source string "), nb::repr(s),
                        nb::str(": expected a VORN serial, an .mkv path, or a camera-facts .json path")}));
}

}  // namespace

NB_MODULE(factory, m) {
    m.doc() = "Resolves a pipeline's `source=` argument into a concrete frame source.";

    m.attr("json") = nb::module_::import_("json");
    m.attr("Path") = import_name("pathlib", "Path");
    m.attr("FrameSource") = import_name("vorn_camera_sdk.sources.base", "FrameSource");

    m.def("resolve_source_arg", &resolve_source_arg, nb::arg("source").none(),
          nb::sig("def resolve_source_arg(source) -> FrameSource"),
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
          "   (calibration included) without a device-info request.\n\n"
          "Raises ValueError for any other argument and RuntimeError when no\n"
          "matching camera is connected.");
}
