// Device-info client: one HTTPS GET to the maker's camera-facts endpoint per
// serial number, answered with the catalog entry of that unit as JSON.
//
// Everything goes through Python's own urllib.request and json, looked up in
// this module's namespace on every call, so tests and callers can replace
// the endpoint URL, the User-Agent, the logger or the urllib/json modules.
#include "glue.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.cameras.catalog_client";
constexpr const char *kCameraFactsUrl =
    "https://device-info.vorn.example/api/public/camera-facts?serial_number=";
constexpr const char *kHomepage = "https://vorn.example";

// The User-Agent header: "vorn-camera-sdk/<version> (+<homepage>)", or the
// version-less fallback when the installed distribution cannot be asked.
nb::str user_agent() {
    try {
        nb::object version = vorn::import_name("importlib.metadata", "version");
        nb::object found = version("vorn-camera-sdk");
        nb::str text = nb::isinstance<nb::str>(found)
                           ? nb::borrow<nb::str>(found)
                           : nb::str(nb::builtins()["format"](found, ""));
        return nb::str("vorn-camera-sdk/{} (+{})").format(text, kHomepage);
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_Exception))
            throw;
    }
    return nb::str("vorn-camera-sdk (+{})").format(kHomepage);
}

nb::object fetch_camera_facts_json(nb::handle m, nb::object camera_serial, nb::object timeout) {
    nb::object urllib = m.attr("urllib");

    nb::object quoted = urllib.attr("parse").attr("quote")(camera_serial, "safe"_a = "-_.~");
    nb::object url = m.attr("_CAMERA_FACTS_URL") + quoted;
    vorn::log(m.attr("_LOGGER"), "info", "fetching camera-facts from %s", url);

    nb::dict headers;
    headers["User-Agent"] = m.attr("_USER_AGENT");
    headers["Accept"] = "application/json";
    nb::object request = urllib.attr("request");
    nb::object req = request.attr("Request")(url, "headers"_a = headers);

    // `with urlopen(...) as response: raw = response.read().decode("utf-8")`:
    // the response is closed before the body is parsed, whatever happens (a
    // response's __exit__ never suppresses an error).
    nb::object response = request.attr("urlopen")(req, "timeout"_a = timeout);
    nb::object exit = response.attr("__exit__");
    nb::object raw;
    try {
        raw = response.attr("__enter__")().attr("read")().attr("decode")("utf-8");
    } catch (nb::python_error &err) {
        exit(err.type(), err.value(), err.traceback().is_valid() ? nb::handle(err.traceback()) : nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
    return m.attr("json").attr("loads")(raw);
}

}  // namespace

NB_MODULE(catalog_client, m) {
    m.doc() =
        "Device-info client: looks a camera's serial number up at the maker's\n"
        "camera-facts endpoint over HTTPS and returns the decoded JSON answer.\n"
        "No cache, no retries: every call is one network round trip.";

    m.attr("json") = nb::module_::import_("json");
    m.attr("logging") = nb::module_::import_("logging");
    nb::module_::import_("urllib.parse");
    nb::module_::import_("urllib.request");
    m.attr("urllib") = nb::module_::import_("urllib");

    m.attr("_LOGGER") = vorn::get_logger(kModuleName);
    m.attr("_CAMERA_FACTS_URL") = kCameraFactsUrl;

    m.def("_user_agent", &user_agent, nb::sig("def _user_agent() -> str"),
          "The User-Agent header value: \"vorn-camera-sdk/<version> (+<homepage>)\" with the\n"
          "installed distribution's version, or \"vorn-camera-sdk (+<homepage>)\" when the\n"
          "version cannot be determined.");
    m.attr("_USER_AGENT") = user_agent();

    nb::handle module = m;  // the module outlives its functions
    m.def("fetch_camera_facts_json",
          [module](nb::object camera_serial, nb::object timeout) {
              return fetch_camera_facts_json(module, camera_serial, timeout);
          },
          "camera_serial"_a.none(),
          "timeout"_a.none() = 10.0,
          nb::sig("def fetch_camera_facts_json(camera_serial: str, timeout: float = 10.0) -> dict"),
          "Query the device-info endpoint by serial. The payload comes back as a dict in\n"
          "SDK shape, with \"base_calibration\" already at the top level because the server\n"
          "emits it so. Raises if the network call fails (urllib.error.URLError,\n"
          "urllib.error.HTTPError for an error status, TimeoutError) or the response is not\n"
          "UTF-8 (UnicodeDecodeError) or is malformed JSON (json.JSONDecodeError). The\n"
          "caller decides what to do about missing fields. `timeout` is in seconds.");
}
