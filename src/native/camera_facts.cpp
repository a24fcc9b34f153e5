// Camera facts record and discovery.
//
// VornCameraFacts is a frozen, slotted dataclass built at import from C++
// functions; the discovery functions enumerate the platform's video devices,
// ask the device-info endpoint about each serial and turn every answer into a
// record. Module attributes (current_backend, fetch_camera_facts_json,
// spec_by_sku, Calibration, VornCameraFacts, _LOGGER, ...) are looked up in the
// module's namespace at each call, so replacing one takes effect on the next
// call.
#include "glue.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.cameras.camera_facts";

constexpr const char *kUnknownSku =
    "camera serial=%s reports SKU %r which is not in the SDK device registry \xe2\x80\x94 "
    "ignoring this camera. Add the SKU to the matching CameraSpec.skus in cameras/vorn_*.";
constexpr const char *kNoCalibration = "no base_calibration block for serial=%s";
constexpr const char *kBadCalibration = "calibration deserialize failed for serial=%s";
constexpr const char *kLookupFailed = "device-info lookup failed for serial=%s";
constexpr const char *kNoCamera =
    "no VORN camera connected (or no connected device's serial is registered in the "
    "device-info catalog). Plug one in, or use list_connected_vorn_cameras() to inspect "
    "what's seen.";

// The module's dict (its globals, read at call time) and the names used on
// every call, made once at import.
struct Constants {
    nb::handle globals;
    nb::handle Mapping;
    nb::handle get, serial_number, sku, model_name, base_calibration, from_dict, to_dict, empty;
    nb::handle serial, spec_by_sku, Calibration, LOGGER;
    nb::handle fetch_camera_facts_json, current_backend, VornCameraFacts, list_connected_vorn_cameras;
} k;

nb::object global(nb::handle name) { return vorn::global(k.globals, name); }

// logger.error(fmt, arg) with the exception's type, value and traceback.
void log_exception(nb::handle logger, const nb::python_error &err, const char *fmt, nb::handle arg) {
    nb::handle traceback = err.traceback().is_valid() ? nb::handle(err.traceback()) : nb::none();
    logger.attr("error")(fmt, arg, "exc_info"_a = nb::make_tuple(err.type(), err.value(), traceback));
}

// ---------------------------------------------------------------- record

nb::object from_dict(nb::handle cls, nb::handle payload, nb::handle os_id) {
    nb::object get = nb::getattr(payload, k.get);
    nb::object serial = get(k.serial_number);
    nb::object sku = get(k.sku);
    if (!nb::bool_(serial) || !nb::bool_(sku))
        return nb::none();

    nb::str sku_text(sku);
    nb::object spec = global(k.spec_by_sku)(sku_text);
    if (spec.is_none()) {
        vorn::log(global(k.LOGGER), "warning", kUnknownSku, serial, sku);
        return nb::none();
    }

    nb::object cal_block = get(k.base_calibration);
    if (!PyDict_Check(cal_block.ptr())) {
        vorn::log(global(k.LOGGER), "error", kNoCalibration, serial);
        return nb::none();
    }

    nb::object cal;
    try {
        cal = nb::getattr(global(k.Calibration), k.from_dict)(cal_block);
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_KeyError) &&
            !err.matches(PyExc_TypeError))
            throw;
        log_exception(global(k.LOGGER), err, kBadCalibration, serial);
        return nb::none();
    }

    nb::object model_name = get(k.model_name);
    nb::object serial_text = nb::str(serial);
    nb::object name_text = nb::bool_(model_name) ? nb::str(model_name) : nb::borrow(k.empty);
    return cls("os_id"_a = os_id, "serial"_a = serial_text, "sku"_a = sku_text, "model_name"_a = name_text,
               "spec"_a = spec, "base_calibration"_a = cal);
}

struct FromDict {
    static constexpr const char *name = "from_dict";
    static constexpr std::array params{"payload", "os_id"};
    static constexpr size_t positional = 1;
    static constexpr const char *doc =
        "from_dict(cls, payload: dict, *, os_id: str) -> Optional[VornCameraFacts]\n\n"
        "Build a record from a camera facts dictionary (the device-info payload).\n\n"
        "Returns None when the payload has no serial number or SKU, when the SKU is\n"
        "not registered (logged as a warning), when \"base_calibration\" is missing or\n"
        "not a dict (logged as an error) or when the calibration cannot be\n"
        "deserialised (logged with its traceback). ``os_id`` is the OS identifier\n"
        "of the video device, stored unchanged.";
    static nb::object call(PyObject *cls, PyObject *const *argv) { return from_dict(cls, argv[0], argv[1]); }
};

nb::object to_dict(nb::handle self) {
    nb::object calibration = nb::getattr(self, k.base_calibration).attr(k.to_dict)();
    nb::dict out;
    out[k.serial_number] = nb::getattr(self, k.serial);
    out[k.sku] = nb::getattr(self, k.sku);
    out[k.model_name] = nb::getattr(self, k.model_name);
    out[k.base_calibration] = calibration;
    return out;
}

struct ToDict {
    static constexpr const char *name = "to_dict";
    static constexpr std::array<const char *, 0> params{};
    static constexpr size_t positional = 0;
    static constexpr const char *doc =
        "to_dict(self) -> dict\n\n"
        "The camera facts dictionary of this record: \"serial_number\", \"sku\",\n"
        "\"model_name\" and \"base_calibration\" (the calibration's own dictionary\n"
        "form), in that order. ``from_dict`` reads it back into an equal record.";
    static nb::object call(PyObject *self, PyObject *const *) { return to_dict(self); }
};

nb::object make_camera_facts_class(nb::module_ &m) {
    nb::handle str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::dict fields;
    fields["os_id"] = str_type;
    fields["serial"] = str_type;
    fields["sku"] = str_type;
    fields["model_name"] = str_type;
    fields["spec"] = m.attr("CameraSpec");
    fields["base_calibration"] = m.attr("Calibration");
    nb::object cls = vorn::frozen_record(
        kModuleName, "VornCameraFacts",
        "One attached VORN camera, fully resolved.\n\n"
        "The single source of truth for a camera's identity, capability and calibration\n"
        "during a session. Construct it via ``from_dict`` (or through\n"
        "``list_connected_vorn_cameras`` / ``get_connected_vorn_camera_by_serial``); never\n"
        "mutate it.",
        fields, true);
    vorn::def_class_method<FromDict>(cls);
    vorn::def_method<ToDict>(cls);
    return cls;
}

// ---------------------------------------------------------------- discovery

// Discovery only reads payloads that are JSON objects; any other answer
// (a list, a number, null) is a failed lookup of that one device.
bool is_mapping(nb::handle payload) {
    int result = PyObject_IsInstance(payload.ptr(), k.Mapping.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

void log_not_an_object(nb::handle logger, nb::handle serial, nb::handle payload) {
    nb::str reason = nb::str("the device-info answer is {}, not a JSON object")
                         .format(nb::type_name(payload.type()));
    nb::object exc = nb::handle(PyExc_TypeError)(reason);
    logger.attr("error")(kLookupFailed, serial, "exc_info"_a = exc);
}

// The device-info payload for `serial`, or an invalid object when the lookup
// failed or answered something other than a JSON object (both logged).
nb::object lookup(nb::handle serial) {
    nb::object payload;
    try {
        payload = global(k.fetch_camera_facts_json)(serial);
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_Exception))
            throw;
        log_exception(global(k.LOGGER), err, kLookupFailed, serial);
        return nb::object();
    }
    if (!is_mapping(payload)) {
        log_not_an_object(global(k.LOGGER), serial, payload);
        return nb::object();
    }
    return payload;
}

nb::list list_connected_vorn_cameras() {
    nb::object backend = global(k.current_backend)();
    nb::list out;
    for (nb::handle d : backend.attr("list_cameras")()) {
        nb::object serial = d.attr("serial");
        if (!nb::bool_(serial))
            continue;
        nb::object payload = lookup(serial);
        if (!payload.is_valid())
            continue;
        nb::object ci =
            global(k.VornCameraFacts).attr("from_dict")(payload, "os_id"_a = d.attr("os_id"));
        if (!ci.is_none())
            out.append(ci);
    }
    return out;
}

nb::object get_first_connected_vorn_camera() {
    nb::object cams = global(k.list_connected_vorn_cameras)();
    if (!nb::bool_(cams))
        vorn::raise(PyExc_RuntimeError, kNoCamera);
    return cams[0];
}

// The first attached device whose serial equals `serial`, or None.
nb::object connected_device(nb::handle serial) {
    for (nb::handle device : global(k.current_backend)().attr("list_cameras")()) {
        nb::object same = nb::steal(PyObject_RichCompare(device.attr("serial").ptr(), serial.ptr(), Py_EQ));
        if (!same.is_valid())
            throw nb::python_error();
        if (nb::bool_(same))
            return nb::borrow(device);
    }
    return nb::none();
}

nb::object get_connected_vorn_camera_by_serial(nb::object serial) {
    nb::object match = connected_device(serial);
    if (match.is_none())
        return nb::none();
    nb::object payload = lookup(serial);
    if (!payload.is_valid())
        return nb::none();
    return global(k.VornCameraFacts).attr("from_dict")(payload, "os_id"_a = match.attr("os_id"));
}

}  // namespace

NB_MODULE(camera_facts, m) {
    m.doc() =
        "The camera facts record and camera discovery.\n\n"
        "Discovery makes one network call (a device-info lookup over HTTPS) per attached\n"
        "camera. A user interface that lists cameras calls it once per client connection,\n"
        "which is acceptable. Code that needs offline enumeration walks the platform\n"
        "backend's ``list_cameras`` directly.";

    m.attr("logging") = nb::module_::import_("logging");
    m.attr("dataclass") = vorn::import_name("dataclasses", "dataclass");
    m.attr("Optional") = vorn::import_name("typing", "Optional");
    m.attr("Calibration") = vorn::import_name("vorn_camera_sdk.calibration", "Calibration");
    m.attr("current_backend") = vorn::import_name("vorn_camera_sdk.platform", "current_backend");
    m.attr("fetch_camera_facts_json") =
        vorn::import_name("vorn_camera_sdk.cameras.catalog_client", "fetch_camera_facts_json");
    m.attr("spec_by_sku") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "spec_by_sku");
    m.attr("CameraSpec") = vorn::import_name("vorn_camera_sdk.cameras.camera_spec", "CameraSpec");
    m.attr("_LOGGER") = vorn::get_logger(kModuleName);

    k.globals = PyModule_GetDict(m.ptr());  // lives as long as the module
    k.Mapping = vorn::import_name("collections.abc", "Mapping").release();
    for (auto [slot, text] : std::initializer_list<std::pair<nb::handle *, const char *>>{
             {&k.get, "get"}, {&k.serial_number, "serial_number"}, {&k.sku, "sku"}, {&k.model_name, "model_name"},
             {&k.base_calibration, "base_calibration"}, {&k.from_dict, "from_dict"}, {&k.to_dict, "to_dict"},
             {&k.empty, ""}, {&k.serial, "serial"},
             {&k.spec_by_sku, "spec_by_sku"}, {&k.Calibration, "Calibration"}, {&k.LOGGER, "_LOGGER"},
             {&k.fetch_camera_facts_json, "fetch_camera_facts_json"}, {&k.current_backend, "current_backend"},
             {&k.VornCameraFacts, "VornCameraFacts"}, {&k.list_connected_vorn_cameras, "list_connected_vorn_cameras"}})
        *slot = vorn::interned(text);

    m.attr("VornCameraFacts") = make_camera_facts_class(m);

    m.def("list_connected_vorn_cameras", &list_connected_vorn_cameras,
          nb::sig("def list_connected_vorn_cameras() -> list[VornCameraFacts]"),
          "One record per attached VORN camera that resolved, in the platform backend's\n"
          "enumeration order (possibly empty). Devices without a serial are skipped; a\n"
          "device whose device-info lookup fails, whose SKU is not registered or whose\n"
          "calibration is unusable is dropped with a log line. One HTTPS request per\n"
          "device with a serial; nothing is cached.");
    m.def("get_first_connected_vorn_camera", &get_first_connected_vorn_camera,
          nb::sig("def get_first_connected_vorn_camera() -> VornCameraFacts"),
          "The first record ``list_connected_vorn_cameras()`` returns. Raises RuntimeError\n"
          "when no camera resolved.");
    m.def("_connected_device", &connected_device, "serial"_a.none(),
          nb::sig("def _connected_device(serial: str) -> object"),
          "The platform backend's entry (a VideoDeviceInfo) of the first attached\n"
          "device whose serial equals ``serial``, or None. No device-info request.");
    m.def("get_connected_vorn_camera_by_serial", &get_connected_vorn_camera_by_serial,
          "serial"_a.none(),
          nb::sig("def get_connected_vorn_camera_by_serial(serial: str) -> "
                  "Optional[VornCameraFacts]"),
          "The record of the first attached device whose serial equals ``serial`` (plain\n"
          "equality: no stripping, no case folding), or None when no device has it or its\n"
          "lookup fails. Sends at most one device-info request.");
}
