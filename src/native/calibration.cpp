// vorn_camera_sdk.calibration: the factory calibration record of a stereo
// camera, read from and written back to the device-info endpoint's
// "base_calibration" block.
//
// Both records are frozen dataclasses built at import (equality, hash and
// text form come from dataclasses); reading and writing the block, and the
// derived values, are C++ functions attached to them. from_dict calls the
// class (or a subclass) with the fields as keyword arguments.
#include "glue.hpp"

#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char *kModuleName = "vorn_camera_sdk.calibration";

constexpr const char *kModuleDoc =
    "Factory calibration of a VORN stereo camera.\n"
    "\n"
    "The device-info endpoint sends each unit's calibration as the block\n"
    "``\"base_calibration\"``::\n"
    "\n"
    "    {\"version\": 3, \"calibrated_at\": \"2026-05-04T10:22:31Z\",\n"
    "     \"cameras\": [{\"role\": \"left\", \"width\": 1280, \"height\": 720,\n"
    "                  \"fx\": 712.4, \"fy\": 712.9, \"cx\": 640.2, \"cy\": 361.7,\n"
    "                  \"k1\": ..., \"k2\": ..., \"p1\": ..., \"p2\": ...,\n"
    "                  \"k3\": ..., \"k4\": ..., \"k5\": ..., \"k6\": ...,\n"
    "                  \"rotation\": [[1, 0, 0], [0, 1, 0], [0, 0, 1]],\n"
    "                  \"translation\": [0, 0, 0]},\n"
    "                 {\"role\": \"right\", ..., \"translation\": [-0.0601, 0.0002, 0.0004]}]}\n"
    "\n"
    "``rotation`` (3x3, row by row) and ``translation`` (metres) map a point from\n"
    "the left camera's frame into this camera's frame: ``x_cam = R @ x_left + t``.\n"
    "The left camera therefore carries the identity and a zero translation.\n"
    "\n"
    ":class:`Calibration` keeps what a depth pipeline uses: per camera the image\n"
    "size, the pinhole intrinsics, the rational distortion model (k1..k6, p1, p2)\n"
    "and the pose. The thin-prism and tilt terms (s1..s4, tauX, tauY) and the\n"
    "``calibrated_at`` stamp are not kept.";

// The fields of a camera entry, in declaration order (the constructor's).
enum Field { ROLE, WIDTH, HEIGHT, FX, FY, CX, CY, ROTATION, TRANSLATION, K1, K2, P1, P2, K3, K4, K5, K6, NFIELDS };
const char *const kFieldNames[NFIELDS] = {"role", "width", "height", "fx", "fy", "cx", "cy", "rotation",
                                          "translation", "k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"};
// The dictionary form has the same order, except the pose (rotation,
// translation) comes last.

// Made once at import: names, the module's dict (its globals, read at call
// time), the two classes and the helpers of other modules.
struct Constants {
    nb::handle globals;
    nb::handle field[NFIELDS];
    nb::handle version, cameras, role, get, camera, left, right, from_dict, to_dict, CameraCalibration, empty;
    nb::handle camera_kwnames, calibration_kwnames, zero, int_zero, Mapping, dist;
    PyTypeObject *camera_type, *calibration_type;
} k;

// ---------------------------------------------------------------------------
// Errors

nb::object name_of_type(nb::handle value) { return nb::steal(PyType_GetName(Py_TYPE(value.ptr()))); }

[[noreturn]] void fail(PyObject *kind, PyObject *message) {
    if (message) {
        PyErr_SetObject(kind, message);
        Py_DECREF(message);
    }
    throw nb::python_error();
}

// Where a value sits, for messages: "<role> camera <what>[i][j]" ("<role>
// camera" without `what`). Only rendered when a message needs it.
struct Where {
    nb::handle role;
    const char *what = nullptr;
    Py_ssize_t i = -1, j = -1;

    Where at(Py_ssize_t index) const {
        Where w = *this;
        (i < 0 ? w.i : w.j) = index;
        return w;
    }
    nb::object text() const {
        PyObject *role_text = PyObject_Format(role.ptr(), k.empty.ptr());  // as f"{role}" does
        if (!role_text)
            throw nb::python_error();
        nb::object r = nb::steal(role_text);
        PyObject *s = !what   ? PyUnicode_FromFormat("%U camera", r.ptr())
                      : i < 0 ? PyUnicode_FromFormat("%U camera %s", r.ptr(), what)
                      : j < 0 ? PyUnicode_FromFormat("%U camera %s[%zd]", r.ptr(), what, i)
                              : PyUnicode_FromFormat("%U camera %s[%zd][%zd]", r.ptr(), what, i, j);
        if (!s)
            throw nb::python_error();
        return nb::steal(s);
    }
};

// ---------------------------------------------------------------------------
// Reading a block

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    int result = PyObject_IsInstance(value.ptr(), k.Mapping.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// block[key]
nb::object item(nb::handle block, nb::handle key) {
    if (PyDict_CheckExact(block.ptr())) {
        PyObject *value = PyDict_GetItemWithError(block.ptr(), key.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nb::python_error();
        }
        return nb::borrow(value);
    }
    PyObject *value = PyObject_GetItem(block.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// block.get(key, 0.0)
nb::object item_or_zero(nb::handle block, nb::handle key) {
    if (PyDict_CheckExact(block.ptr())) {
        PyObject *value = PyDict_GetItemWithError(block.ptr(), key.ptr());
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return nb::borrow(value ? value : k.zero.ptr());
    }
    PyObject *args[] = {block.ptr(), key.ptr(), k.zero.ptr()};
    PyObject *value = PyObject_VectorcallMethod(k.get.ptr(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// A finite number (bools are not numbers) as a float.
nb::object number(nb::handle value, const Where &where) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        if (std::isfinite(PyFloat_AS_DOUBLE(v)))
            return nb::borrow(value);
    } else if (PyBool_Check(v) || !(PyLong_Check(v) || PyFloat_Check(v))) {
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("%U must be a number, not %U", where.text().ptr(), name_of_type(value).ptr()));
    }
    nb::object f;
    if (PyFloat_CheckExact(v)) {
        f = nb::borrow(value);
    } else {
        PyObject *converted = PyNumber_Float(v);
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))  // an integer beyond the float range
                throw nb::python_error();
            PyErr_Clear();
            fail(PyExc_ValueError, PyUnicode_FromFormat("%U is too large for a float", where.text().ptr()));
        }
        f = nb::steal(converted);
    }
    if (!std::isfinite(PyFloat_AsDouble(f.ptr())))
        fail(PyExc_ValueError, PyUnicode_FromFormat("%U must be finite, got %R", where.text().ptr(), v));
    return f;
}

// A positive int (not a bool), returned as given.
nb::object size(nb::handle value, const Where &where) {
    PyObject *v = value.ptr();
    if (PyBool_Check(v) || !PyLong_Check(v))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("%U must be an int, not %U", where.text().ptr(), name_of_type(value).ptr()));
    int not_positive = PyObject_RichCompareBool(v, k.int_zero.ptr(), Py_LE);
    if (not_positive < 0)
        throw nb::python_error();
    if (not_positive)
        fail(PyExc_ValueError, PyUnicode_FromFormat("%U must be positive, got %R", where.text().ptr(), v));
    return nb::borrow(value);
}

// len(value) for a list or tuple (a subclass may define its own length).
Py_ssize_t length(nb::handle value) {
    Py_ssize_t n = PyObject_Size(value.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// tuple(each(x, i) for i, x in enumerate(value)), for a list or tuple.
template <typename Each>
nb::object map_items(nb::handle value, Each &&each) {
    PyObject *v = value.ptr();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
        nb::list out;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {  // a list may change meanwhile
            nb::object x = nb::borrow(PySequence_Fast_GET_ITEM(v, i));
            out.append(each(x, i));
        }
        return nb::steal(PyList_AsTuple(out.ptr()));
    }
    nb::list out;
    Py_ssize_t i = 0;
    for (nb::handle x : value)
        out.append(each(x, i++));
    return nb::steal(PyList_AsTuple(out.ptr()));
}

// Three numbers, from a list or tuple.
nb::object vector(nb::handle value, const Where &where) {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        fail(PyExc_TypeError, PyUnicode_FromFormat("%U must be a list of 3 numbers, not %U", where.text().ptr(),
                                                   name_of_type(value).ptr()));
    Py_ssize_t n = length(value);
    if (n != 3)
        fail(PyExc_ValueError, PyUnicode_FromFormat("%U must have 3 entries, got %zd", where.text().ptr(), n));
    return map_items(value, [&](nb::handle x, Py_ssize_t i) { return number(x, where.at(i)); });
}

// Three rows of three numbers, from lists or tuples.
nb::object matrix(nb::handle value, const Where &where) {
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        fail(PyExc_TypeError, PyUnicode_FromFormat("%U must be a 3x3 list of rows, not %U", where.text().ptr(),
                                                   name_of_type(value).ptr()));
    Py_ssize_t n = length(value);
    if (n != 3)
        fail(PyExc_ValueError, PyUnicode_FromFormat("%U must be 3x3, got %zd rows", where.text().ptr(), n));
    return map_items(value, [&](nb::handle row, Py_ssize_t i) { return vector(row, where.at(i)); });
}

// cls(**{kwnames[i]: values[i]})
nb::object construct(nb::handle cls, nb::handle kwnames, nb::object *values, size_t count) {
    PyObject *args[NFIELDS + 1];
    for (size_t i = 0; i < count; ++i)
        args[i + 1] = values[i].ptr();
    PyObject *obj = PyObject_Vectorcall(cls.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    if (!obj)
        throw nb::python_error();
    return nb::steal(obj);
}

// CameraCalibration.from_dict(cls, block)
nb::object camera_from_dict(nb::handle cls, nb::handle block) {
    if (!is_mapping(block))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("a camera entry must be a mapping, not %U", name_of_type(block).ptr()));
    nb::object v[NFIELDS];
    v[ROLE] = item(block, k.field[ROLE]);
    if (!PyUnicode_Check(v[ROLE].ptr()))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("camera role must be a str, not %U", name_of_type(v[ROLE]).ptr()));
    nb::handle role = v[ROLE];
    v[FX] = number(item(block, k.field[FX]), Where{role, "fx"});
    v[FY] = number(item(block, k.field[FY]), Where{role, "fy"});
    if (PyFloat_AS_DOUBLE(v[FX].ptr()) <= 0 || PyFloat_AS_DOUBLE(v[FY].ptr()) <= 0)
        fail(PyExc_ValueError, PyUnicode_FromFormat("%U focal lengths must be positive, got fx=%R fy=%R",
                                                    Where{role}.text().ptr(), v[FX].ptr(), v[FY].ptr()));
    v[WIDTH] = size(item(block, k.field[WIDTH]), Where{role, "width"});
    v[HEIGHT] = size(item(block, k.field[HEIGHT]), Where{role, "height"});
    v[CX] = number(item(block, k.field[CX]), Where{role, "cx"});
    v[CY] = number(item(block, k.field[CY]), Where{role, "cy"});
    v[ROTATION] = matrix(item(block, k.field[ROTATION]), Where{role, "rotation"});
    v[TRANSLATION] = vector(item(block, k.field[TRANSLATION]), Where{role, "translation"});
    for (int f = K1; f < NFIELDS; ++f)
        v[f] = number(item_or_zero(block, k.field[f]), Where{role, kFieldNames[f]});
    return construct(cls, k.camera_kwnames, v, NFIELDS);
}

// Calibration.from_dict(cls, block)
nb::object calibration_from_dict(nb::handle cls, nb::handle block) {
    if (!is_mapping(block))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("a calibration block must be a mapping, not %U", name_of_type(block).ptr()));
    nb::object version = item(block, k.version);
    if (PyBool_Check(version.ptr()) || !PyLong_Check(version.ptr()))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("calibration version must be an int, not %U", name_of_type(version).ptr()));
    nb::object entries = item(block, k.cameras);
    if (!PyList_Check(entries.ptr()) && !PyTuple_Check(entries.ptr()))
        fail(PyExc_TypeError,
             PyUnicode_FromFormat("calibration cameras must be a list, not %U", name_of_type(entries).ptr()));

    nb::object camera_cls = vorn::global(k.globals, k.CameraCalibration);
    bool own = camera_cls.ptr() == reinterpret_cast<PyObject *>(k.camera_type);
    nb::object reader = own ? nb::object() : nb::getattr(camera_cls, k.from_dict);
    nb::object cameras = map_items(entries, [&](nb::handle entry, Py_ssize_t) {
        return own ? camera_from_dict(camera_cls, entry) : reader(entry);
    });

    // sorted(camera.role for camera in cameras) == ["left", "right"]
    nb::list roles;
    for (nb::handle camera : cameras)
        roles.append(nb::getattr(camera, k.role));
    if (PyList_Sort(roles.ptr()) < 0)
        throw nb::python_error();
    nb::list expected;
    expected.append(k.left);
    expected.append(k.right);
    int differ = PyObject_RichCompareBool(roles.ptr(), expected.ptr(), Py_NE);
    if (differ < 0)
        throw nb::python_error();
    if (differ)
        fail(PyExc_ValueError,
             PyUnicode_FromFormat("calibration must have exactly one 'left' and one 'right' camera, got roles %R",
                                  roles.ptr()));
    nb::object values[2] = {version, cameras};
    return construct(cls, k.calibration_kwnames, values, 2);
}

// ---------------------------------------------------------------------------
// Writing a block

nb::object new_list(nb::handle iterable) {
    if (PyTuple_CheckExact(iterable.ptr())) {  // the form from_dict stores
        Py_ssize_t n = PyTuple_GET_SIZE(iterable.ptr());
        PyObject *list = PyList_New(n);
        if (!list)
            throw nb::python_error();
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list, i, Py_NewRef(PyTuple_GET_ITEM(iterable.ptr(), i)));
        return nb::steal(list);
    }
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list)
        throw nb::python_error();
    return nb::steal(list);
}

// [list(row) for row in rotation]
nb::object rows_as_lists(nb::handle rotation) {
    if (PyTuple_CheckExact(rotation.ptr())) {
        Py_ssize_t n = PyTuple_GET_SIZE(rotation.ptr());
        nb::object rows = nb::steal(PyList_New(n));
        if (!rows.is_valid())
            throw nb::python_error();
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(rows.ptr(), i, new_list(PyTuple_GET_ITEM(rotation.ptr(), i)).release().ptr());
        return rows;
    }
    nb::list rows;
    for (nb::handle row : rotation)
        rows.append(new_list(row));
    return rows;
}

// The record's instance dict when it holds exactly the fields, in their
// declaration order (as the dataclass __init__ stores them); else invalid.
nb::object own_fields(nb::handle self) {
    if (Py_TYPE(self.ptr()) != k.camera_type)
        return nb::object();
    nb::object fields = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!fields.is_valid())
        throw nb::python_error();
    if (!PyDict_CheckExact(fields.ptr()) || PyDict_Size(fields.ptr()) != NFIELDS)
        return nb::object();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    for (int f = 0; f < NFIELDS; ++f)
        if (!PyDict_Next(fields.ptr(), &pos, &key, &value) || key != k.field[f].ptr())
            return nb::object();
    return fields;
}

// CameraCalibration.to_dict(self): the fields in the order of the dictionary
// form, the pose as lists.
nb::object camera_to_dict(nb::handle self) {
    nb::object out;
    if (nb::object fields = own_fields(self); fields.is_valid()) {
        out = nb::steal(PyDict_Copy(fields.ptr()));
        if (!out.is_valid())
            throw nb::python_error();
    } else {
        out = nb::dict();
        for (int f = 0; f < NFIELDS; ++f)
            out[k.field[f]] = nb::getattr(self, k.field[f]);
    }
    // The fields are in declaration order; the dictionary form has the pose
    // last. A key taken out and put back goes to the end.
    nb::handle rotation_key = k.field[ROTATION], translation_key = k.field[TRANSLATION];
    nb::object rotation = rows_as_lists(out[rotation_key]);
    nb::object translation = new_list(out[translation_key]);
    if (PyDict_DelItem(out.ptr(), rotation_key.ptr()) < 0 || PyDict_DelItem(out.ptr(), translation_key.ptr()) < 0 ||
        PyDict_SetItem(out.ptr(), rotation_key.ptr(), rotation.ptr()) < 0 ||
        PyDict_SetItem(out.ptr(), translation_key.ptr(), translation.ptr()) < 0)
        throw nb::python_error();
    return out;
}

// Calibration.to_dict(self)
nb::object calibration_to_dict(nb::handle self) {
    nb::object version = nb::getattr(self, k.version);
    auto one = [](nb::handle camera) {
        if (Py_TYPE(camera.ptr()) == k.camera_type)
            return camera_to_dict(camera);
        PyObject *d = PyObject_CallMethodNoArgs(camera.ptr(), k.to_dict.ptr());
        if (!d)
            throw nb::python_error();
        return nb::steal(d);
    };
    nb::object entries = nb::getattr(self, k.cameras);
    nb::object cameras;
    if (PyTuple_CheckExact(entries.ptr())) {  // the form from_dict stores
        Py_ssize_t n = PyTuple_GET_SIZE(entries.ptr());
        cameras = nb::steal(PyList_New(n));
        if (!cameras.is_valid())
            throw nb::python_error();
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(cameras.ptr(), i, one(PyTuple_GET_ITEM(entries.ptr(), i)).release().ptr());
    } else {
        nb::list list;
        for (nb::handle camera : entries)
            list.append(one(camera));
        cameras = list;
    }
    nb::dict out;
    out[k.version] = version;
    out[k.cameras] = cameras;
    return out;
}

// ---------------------------------------------------------------------------
// Derived values

nb::object camera_size(nb::handle self) { return nb::make_tuple(nb::getattr(self, k.field[WIDTH]), nb::getattr(self, k.field[HEIGHT])); }

nb::object camera_matrix(nb::handle self) {
    nb::float_ zero(0.0), one(1.0);
    return nb::make_tuple(nb::make_tuple(nb::getattr(self, k.field[FX]), zero, nb::getattr(self, k.field[CX])),
                          nb::make_tuple(zero, nb::getattr(self, k.field[FY]), nb::getattr(self, k.field[CY])),
                          nb::make_tuple(zero, zero, one));
}

nb::object distortion(nb::handle self) {
    nb::list terms;
    for (Field f : {K1, K2, P1, P2, K3, K4, K5, K6})
        terms.append(nb::getattr(self, k.field[f]));
    return nb::tuple(terms);
}

nb::object camera_by_role(nb::handle self, nb::handle role) {
    for (nb::handle camera : nb::getattr(self, k.cameras)) {
        int same = PyObject_RichCompareBool(nb::getattr(camera, k.role).ptr(), role.ptr(), Py_EQ);
        if (same < 0)
            throw nb::python_error();
        if (same)
            return nb::borrow(camera);
    }
    fail(PyExc_KeyError, Py_NewRef(role.ptr()));
}

nb::object role_of(nb::handle self, nb::handle role) { return nb::getattr(self, k.camera)(role); }

nb::object baseline(nb::handle self) {
    nb::object right = nb::getattr(self, k.right), left = nb::getattr(self, k.left);
    return k.dist(nb::getattr(right, k.field[TRANSLATION]), nb::getattr(left, k.field[TRANSLATION]));
}

// ---------------------------------------------------------------------------
// Classes

// A frozen dataclass with these annotated fields (annotations as text) and
// 0.0 as the default of `zero_defaults`.
nb::object make_record(const char *name, const char *doc,
                       std::initializer_list<std::pair<const char *, const char *>> fields,
                       std::initializer_list<const char *> zero_defaults) {
    nb::dict annotations, defaults;
    for (auto [field, annotation] : fields)
        annotations[field] = annotation;
    for (const char *field : zero_defaults)
        defaults[field] = 0.0;
    return vorn::frozen_record(kModuleName, name, doc, annotations, false, defaults);
}

template <typename Fn>
void property(nb::handle cls, nb::handle scope, const char *name, Fn &&fn, const char *sig, const char *doc) {
    nb::object getter =
        nb::cpp_function(std::forward<Fn>(fn), nb::scope(scope), nb::name(name), nb::is_method(), nb::sig(sig), doc);
    cls.attr(name) = nb::borrow(reinterpret_cast<PyObject *>(&PyProperty_Type))(getter);
}

struct CameraFromDict {
    static constexpr const char *name = "from_dict";
    static constexpr std::array params{"block"};
    static constexpr size_t positional = 1;
    static constexpr const char *doc =
        "from_dict(cls, block: Mapping[str, Any]) -> CameraCalibration\n\n"
        "Read one entry of the block's \"cameras\" list. Raises KeyError for a\n"
        "missing required key, TypeError for a value of the wrong type and\n"
        "ValueError for a value out of range. Missing distortion terms are 0.0.";
    static nb::object call(PyObject *cls, PyObject *const *argv) { return camera_from_dict(cls, argv[0]); }
};

struct CameraToDict {
    static constexpr const char *name = "to_dict";
    static constexpr std::array<const char *, 0> params{};
    static constexpr size_t positional = 0;
    static constexpr const char *doc = "to_dict(self) -> dict[str, Any]\n\n"
                                       "The entry as the device-info endpoint sends it (JSON-ready lists).";
    static nb::object call(PyObject *self, PyObject *const *) { return camera_to_dict(self); }
};

struct CalibrationFromDict {
    static constexpr const char *name = "from_dict";
    static constexpr std::array params{"block"};
    static constexpr size_t positional = 1;
    static constexpr const char *doc =
        "from_dict(cls, block: Mapping[str, Any]) -> Calibration\n\n"
        "Deserialise a calibration block. Raises KeyError when a required key\n"
        "is missing (\"version\", \"cameras\", and per camera \"role\", \"width\",\n"
        "\"height\", \"fx\", \"fy\", \"cx\", \"cy\", \"rotation\", \"translation\"),\n"
        "TypeError for a value of the wrong type (bools are not numbers), and\n"
        "ValueError when the roles are not exactly one \"left\" and one \"right\",\n"
        "a size or focal length is not positive, a number is not finite,\n"
        "\"rotation\" is not 3x3 or \"translation\" has not 3 entries.";
    static nb::object call(PyObject *cls, PyObject *const *argv) { return calibration_from_dict(cls, argv[0]); }
};

struct CalibrationToDict {
    static constexpr const char *name = "to_dict";
    static constexpr std::array<const char *, 0> params{};
    static constexpr size_t positional = 0;
    static constexpr const char *doc = "to_dict(self) -> dict[str, Any]\n\n"
                                       "The calibration block {\"version\", \"cameras\": [...]} that\n"
                                       ":meth:`from_dict` reads back into an equal record.";
    static nb::object call(PyObject *self, PyObject *const *) { return calibration_to_dict(self); }
};

}  // namespace

NB_MODULE(calibration, m) {
    m.doc() = kModuleDoc;

    m.attr("math") = nb::module_::import_("math");
    m.attr("Mapping") = vorn::import_name("collections.abc", "Mapping");
    m.attr("dataclass") = vorn::import_name("dataclasses", "dataclass");
    m.attr("Any") = vorn::import_name("typing", "Any");
    m.attr("__all__") = nb::list(nb::make_tuple("CameraCalibration", "Calibration"));
    nb::handle tuple_type(reinterpret_cast<PyObject *>(&PyTuple_Type)), float_type(reinterpret_cast<PyObject *>(&PyFloat_Type));
    m.attr("Vector3") = nb::steal(Py_GenericAlias(tuple_type.ptr(), nb::make_tuple(float_type, float_type, float_type).ptr()));
    m.attr("Matrix3") =
        nb::steal(Py_GenericAlias(tuple_type.ptr(), nb::make_tuple(m.attr("Vector3"), m.attr("Vector3"), m.attr("Vector3")).ptr()));

    k.globals = PyModule_GetDict(m.ptr());  // lives as long as the module
    for (int f = 0; f < NFIELDS; ++f)
        k.field[f] = vorn::interned(kFieldNames[f]);
    for (auto [slot, text] : std::initializer_list<std::pair<nb::handle *, const char *>>{
             {&k.version, "version"}, {&k.cameras, "cameras"}, {&k.role, "role"}, {&k.get, "get"},
             {&k.camera, "camera"}, {&k.left, "left"}, {&k.right, "right"}, {&k.from_dict, "from_dict"},
             {&k.to_dict, "to_dict"}, {&k.CameraCalibration, "CameraCalibration"}, {&k.empty, ""}})
        *slot = vorn::interned(text);
    nb::list names;
    for (int f = 0; f < NFIELDS; ++f)
        names.append(k.field[f]);
    k.camera_kwnames = nb::tuple(names).release();

    k.calibration_kwnames = nb::make_tuple(k.version, k.cameras).release();
    k.zero = nb::float_(0.0).release();
    k.int_zero = nb::int_(0).release();
    k.Mapping = m.attr("Mapping").ptr();
    k.dist = nb::object(m.attr("math").attr("dist")).release();

    nb::object camera = make_record(
        "CameraCalibration",
        "One camera of a stereo pair: image size, intrinsics, distortion and pose.\n\n"
        "``rotation``/``translation`` map points from the left camera's frame into\n"
        "this camera's frame (translation in metres).",
        {{"role", "str"}, {"width", "int"}, {"height", "int"}, {"fx", "float"}, {"fy", "float"}, {"cx", "float"},
         {"cy", "float"}, {"rotation", "Matrix3"}, {"translation", "Vector3"}, {"k1", "float"}, {"k2", "float"},
         {"p1", "float"}, {"p2", "float"}, {"k3", "float"}, {"k4", "float"}, {"k5", "float"}, {"k6", "float"}},
        {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"});
    k.camera_type = reinterpret_cast<PyTypeObject *>(camera.ptr());
    vorn::def_class_method<CameraFromDict>(camera);
    vorn::def_method<CameraToDict>(camera);
    nb::handle camera_scope = vorn::method_scope(kModuleName, "CameraCalibration");
    property(camera, camera_scope, "size", &camera_size, "def size(self) -> tuple[int, int]",
             "The calibrated image size as (width, height), as OpenCV takes it.");
    property(camera, camera_scope, "camera_matrix", &camera_matrix, "def camera_matrix(self) -> Matrix3",
             "The 3x3 intrinsic matrix K = ((fx, 0, cx), (0, fy, cy), (0, 0, 1)).");
    property(camera, camera_scope, "distortion", &distortion, "def distortion(self) -> tuple[float, ...]",
             "The distortion vector in OpenCV's order: (k1, k2, p1, p2, k3, k4, k5, k6).");
    m.attr("CameraCalibration") = camera;

    nb::object calibration = make_record(
        "Calibration",
        "The factory calibration of one stereo camera: a left and a right camera.\n\n"
        "Build it with :meth:`from_dict` from the device-info block and write it\n"
        "back with :meth:`to_dict`; the two round-trip. Records are immutable and\n"
        "hashable.",
        {{"version", "int"}, {"cameras", "tuple[CameraCalibration, ...]"}}, {});
    k.calibration_type = reinterpret_cast<PyTypeObject *>(calibration.ptr());
    vorn::def_class_method<CalibrationFromDict>(calibration);
    vorn::def_method<CalibrationToDict>(calibration);
    nb::cpp_function(&camera_by_role, nb::scope(calibration), nb::name("camera"), nb::is_method(), "role"_a.none(),
                     nb::sig("def camera(self, role: str) -> CameraCalibration"),
                     "The camera with role \"left\" or \"right\"; KeyError for any other role.");
    nb::handle calibration_scope = vorn::method_scope(kModuleName, "Calibration");
    property(calibration, calibration_scope, "left", [](nb::handle self) { return role_of(self, k.left); },
             "def left(self) -> CameraCalibration", "The left camera.");
    property(calibration, calibration_scope, "right", [](nb::handle self) { return role_of(self, k.right); },
             "def right(self) -> CameraCalibration", "The right camera.");
    property(calibration, calibration_scope, "baseline", &baseline, "def baseline(self) -> float",
             "The stereo baseline in metres: the length of the right camera's\n"
             "translation from the left camera.");
    m.attr("Calibration") = calibration;
}
