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

#include <structmember.h>

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

// Names used on every call, made once at import, and the module's namespace
// (its attributes are read at call time).
struct Constants {
    vorn::Namespace *globals;
    nb::handle Mapping;
    nb::handle get, serial_number, sku, model_name, base_calibration, from_dict, to_dict, empty;
    nb::handle os_id, serial, spec, spec_by_sku, Calibration, LOGGER, record_kwnames;
    nb::handle fetch_camera_facts_json, current_backend, VornCameraFacts, list_connected_vorn_cameras;
    PyTypeObject *facts_type;
    Py_ssize_t offset[4];  // of the slots serial, sku, model_name, base_calibration
} k;

nb::object global(nb::handle name) { return k.globals->get(name); }

nb::object attr(nb::handle obj, nb::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

nb::object call(nb::handle fn, nb::handle arg) {
    PyObject *result = PyObject_CallOneArg(fn.ptr(), arg.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object str_(nb::handle obj) {
    PyObject *text = PyObject_Str(obj.ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal(text);
}

// logger.exception(fmt, arg) while `err` is the exception being handled, so
// the record carries its type, value and traceback as exc_info.
void log_exception(nb::handle logger, const nb::python_error &err, const char *fmt,
                   nb::handle arg) {
    vorn::while_handling(err, [&] { vorn::log(logger, "exception", fmt, arg); });
}

// ---------------------------------------------------------------- record

// Python-style argument errors for from_dict(cls, payload, *, os_id).
[[noreturn]] void argument_error(const std::string &what) {
    vorn::raise(PyExc_TypeError, ("VornCameraFacts.from_dict() " + what).c_str());
}

nb::object from_dict(nb::handle cls, nb::args args, nb::kwargs kwargs) {
    if (args.size() > 1)
        argument_error("takes 2 positional arguments but " + std::to_string(args.size() + 1) +
                       " were given");
    nb::handle payload, os_id;
    if (args.size() == 1)
        payload = args[0];
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (key == k.os_id.ptr() || PyUnicode_Compare(key, k.os_id.ptr()) == 0) {
            os_id = value;
        } else if (PyUnicode_CompareWithASCIIString(key, "payload") == 0) {
            if (payload.is_valid())
                argument_error("got multiple values for argument 'payload'");
            payload = value;
        } else {
            argument_error("got an unexpected keyword argument '" + std::string(nb::str(key).c_str()) + "'");
        }
    }
    if (!payload.is_valid())
        argument_error("missing 1 required positional argument: 'payload'");
    if (!os_id.is_valid())
        argument_error("missing 1 required keyword-only argument: 'os_id'");

    nb::object get = attr(payload, k.get);
    nb::object serial = call(get, k.serial_number);
    nb::object sku = call(get, k.sku);
    if (!vorn::truthy(serial) || !vorn::truthy(sku))
        return nb::none();

    nb::object sku_text = str_(sku);
    nb::object spec = call(global(k.spec_by_sku), sku_text);
    if (spec.is_none()) {
        vorn::log(global(k.LOGGER), "warning", kUnknownSku, serial, sku);
        return nb::none();
    }

    nb::object cal_block = call(get, k.base_calibration);
    if (!PyDict_Check(cal_block.ptr())) {
        vorn::log(global(k.LOGGER), "error", kNoCalibration, serial);
        return nb::none();
    }

    nb::object cal;
    try {
        cal = call(attr(global(k.Calibration), k.from_dict), cal_block);
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_KeyError) &&
            !err.matches(PyExc_TypeError))
            throw;
        log_exception(global(k.LOGGER), err, kBadCalibration, serial);
        return nb::none();
    }

    nb::object model_name = call(get, k.model_name);
    nb::object serial_text = str_(serial);
    nb::object name_text = vorn::truthy(model_name) ? str_(model_name) : nb::borrow(k.empty);
    // cls(os_id=..., serial=..., sku=..., model_name=..., spec=..., base_calibration=...)
    PyObject *values[] = {nullptr, os_id.ptr(), serial_text.ptr(), sku_text.ptr(), name_text.ptr(), spec.ptr(),
                          cal.ptr()};
    PyObject *record =
        PyObject_Vectorcall(cls.ptr(), values + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, k.record_kwnames.ptr());
    if (!record)
        throw nb::python_error();
    return nb::steal(record);
}

// self.<field> for one of the record's slots: read straight from the slot
// for the class itself, through getattr otherwise (a subclass, an unset slot).
nb::object field(nb::handle self, int slot, nb::handle name) {
    if (Py_TYPE(self.ptr()) == k.facts_type)
        if (PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self.ptr()) + k.offset[slot]))
            return nb::borrow(value);
    return attr(self, name);
}

nb::object to_dict(nb::handle self) {
    nb::object serial = field(self, 0, k.serial), sku = field(self, 1, k.sku),
               model_name = field(self, 2, k.model_name);
    PyObject *cal = PyObject_CallMethodNoArgs(field(self, 3, k.base_calibration).ptr(), k.to_dict.ptr());
    if (!cal)
        throw nb::python_error();
    nb::object cal_dict = nb::steal(cal);
    nb::dict out = nb::steal<nb::dict>(_PyDict_NewPresized(4));
    if (!out.is_valid() || PyDict_SetItem(out.ptr(), k.serial_number.ptr(), serial.ptr()) ||
        PyDict_SetItem(out.ptr(), k.sku.ptr(), sku.ptr()) ||
        PyDict_SetItem(out.ptr(), k.model_name.ptr(), model_name.ptr()) ||
        PyDict_SetItem(out.ptr(), k.base_calibration.ptr(), cal_dict.ptr()))
        throw nb::python_error();
    return out;
}

// `dataclass(frozen=True, slots=True)` applied to a plain class with the
// six annotated fields; the methods are attached to the finished class.
nb::object make_camera_facts_class(nb::module_ &m) {
    nb::dict annotations;
    annotations["os_id"] = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    annotations["serial"] = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    annotations["sku"] = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    annotations["model_name"] = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    annotations["spec"] = m.attr("CameraSpec");
    annotations["base_calibration"] = m.attr("Calibration");

    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = "VornCameraFacts";
    ns["__doc__"] =
        "One attached VORN camera, fully resolved.\n\n"
        "The single source of truth for a camera's identity, capability and calibration\n"
        "during a session. Construct it via ``from_dict`` (or through\n"
        "``list_connected_vorn_cameras`` / ``get_connected_vorn_camera_by_serial``); never\n"
        "mutate it.";
    ns["__annotations__"] = annotations;

    nb::object plain = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(
        "VornCameraFacts", nb::tuple(), ns);
    nb::object cls = m.attr("dataclass")("frozen"_a = true, "slots"_a = true)(plain);

    // nanobind binds each function into `cls` under its name; from_dict then
    // becomes a classmethod.
    nb::object reader = nb::cpp_function(&from_dict, nb::scope(cls), nb::name("from_dict"),
                     nb::sig("def from_dict(cls, payload: dict, *, os_id: str) -> "
                             "Optional['VornCameraFacts']"),
                     "Build a record from a camera facts dictionary (the device-info payload).\n\n"
                     "Returns None when the payload has no serial number or SKU, when the SKU is\n"
                     "not registered (logged as a warning), when \"base_calibration\" is missing or\n"
                     "not a dict (logged as an error) or when the calibration cannot be\n"
                     "deserialised (logged with its traceback). ``os_id`` is the OS identifier\n"
                     "of the video device, stored unchanged.");
    vorn::signed_classmethod(cls, "from_dict", "payload, *, os_id", reader);
    // Where the instances keep the fields to_dict writes (the slots' offsets).
    k.facts_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    int slot = 0;
    for (nb::handle name : {k.serial, k.sku, k.model_name, k.base_calibration}) {
        nb::object descr = cls.attr("__dict__")[name];
        if (Py_TYPE(descr.ptr()) != &PyMemberDescr_Type)
            vorn::raise(PyExc_TypeError, "VornCameraFacts: a field is not a slot");
        k.offset[slot++] = reinterpret_cast<PyMemberDescrObject *>(descr.ptr())->d_member->offset;
    }
    vorn::fast_method_noargs<to_dict>(cls, "to_dict",
                     "to_dict(self) -> dict\n\n"
                     "The camera facts dictionary of this record: \"serial_number\", \"sku\",\n"
                     "\"model_name\" and \"base_calibration\" (the calibration's own dictionary\n"
                     "form), in that order. ``from_dict`` reads it back into an equal record.");
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

nb::object get_connected_vorn_camera_by_serial(nb::object serial) {
    nb::object backend = global(k.current_backend)();
    nb::object match;
    for (nb::handle d : backend.attr("list_cameras")()) {
        nb::object same = nb::steal(
            PyObject_RichCompare(d.attr("serial").ptr(), serial.ptr(), Py_EQ));
        if (!same.is_valid())
            throw nb::python_error();
        if (nb::bool_(same)) {
            match = nb::borrow(d);
            break;
        }
    }
    if (!match.is_valid())
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

    k.globals = new vorn::Namespace(m);  // lives as long as the module
    k.Mapping = vorn::import_name("collections.abc", "Mapping").release();
    for (auto [slot, text] : std::initializer_list<std::pair<nb::handle *, const char *>>{
             {&k.get, "get"}, {&k.serial_number, "serial_number"}, {&k.sku, "sku"}, {&k.model_name, "model_name"},
             {&k.base_calibration, "base_calibration"}, {&k.from_dict, "from_dict"}, {&k.to_dict, "to_dict"},
             {&k.empty, ""}, {&k.os_id, "os_id"}, {&k.serial, "serial"}, {&k.spec, "spec"},
             {&k.spec_by_sku, "spec_by_sku"}, {&k.Calibration, "Calibration"}, {&k.LOGGER, "_LOGGER"},
             {&k.fetch_camera_facts_json, "fetch_camera_facts_json"}, {&k.current_backend, "current_backend"},
             {&k.VornCameraFacts, "VornCameraFacts"}, {&k.list_connected_vorn_cameras, "list_connected_vorn_cameras"}})
        *slot = vorn::interned(text);
    k.record_kwnames = nb::make_tuple(k.os_id, k.serial, k.sku, k.model_name, k.spec, k.base_calibration).release();

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
    m.def("get_connected_vorn_camera_by_serial", &get_connected_vorn_camera_by_serial,
          "serial"_a.none(),
          nb::sig("def get_connected_vorn_camera_by_serial(serial: str) -> "
                  "Optional[VornCameraFacts]"),
          "The record of the first attached device whose serial equals ``serial`` (plain\n"
          "equality: no stripping, no case folding), or None when no device has it or its\n"
          "lookup fails. Sends at most one device-info request.");
}
