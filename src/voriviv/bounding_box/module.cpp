// voriviv.bounding_box: NdsBoundingBox, a generated data class with native
// methods. The predicates' order of tests is in box.hpp; this file reads the
// coordinates from Python objects one test at a time.
#include "box.hpp"
#include "native_function.hpp"
#include "common/cpython_internals.hpp"
#include "common/pyboundary.hpp"

namespace nb = nanobind;
namespace py = voriviv::py;
namespace cpython = voriviv::cpython;
namespace box = voriviv::box;
using py::check;
using py::Ref;
using py::steal;

namespace {

struct Names {
    PyObject* min_x;
    PyObject* min_y;
    PyObject* max_x;
    PyObject* max_y;
    PyObject* self;
    PyObject* other;
    PyObject* cls;
    PyObject* tile;
    PyObject* sw;
    PyObject* ne;
    PyObject* to_nds_coordinates;
    PyObject* south_west_corner;
    PyObject* north_east_corner;
    PyObject* packed_tile_id;
    PyObject* tileid_module;
    PyObject* tileid_fromlist;
} n;

// The class as built at import: its four fields live in slots at these
// offsets, so boxes of exactly this (unchanged) class are read directly.
struct {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    Py_ssize_t offset[4] = {};
} box_class;

PyObject* field_name(box::Field f) {
    switch (f) {
        case box::Field::MinX: return n.min_x;
        case box::Field::MinY: return n.min_y;
        case box::Field::MaxX: return n.max_x;
        case box::Field::MaxY: return n.max_y;
    }
    return nullptr;
}

int rich_op(box::Cmp c) {
    switch (c) {
        case box::Cmp::Less: return Py_LT;
        case box::Cmp::Greater: return Py_GT;
        case box::Cmp::LessEqual: return Py_LE;
        case box::Cmp::GreaterEqual: return Py_GE;
    }
    return Py_EQ;
}

// `a <cmp> b` as `if a < b:` decides it: 1, 0, or -1 with an error set.
int compare(PyObject* a, box::Cmp cmp, PyObject* b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        long long x, y;
        if (cpython::small_int_value(a, x) && cpython::small_int_value(b, y)) return box::compare(x, cmp, y);
    } else if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return box::compare(PyFloat_AS_DOUBLE(a), cmp, PyFloat_AS_DOUBLE(b));
    }
    return PyObject_RichCompareBool(a, b, rich_op(cmp));
}

bool is_plain_box(PyObject* obj) {
    return Py_TYPE(obj) == box_class.type && cpython::type_is_pristine(box_class.type, box_class.tag);
}

// The slot of a plain box, borrowed; nullptr when the field is unset.
PyObject* slot(PyObject* obj, box::Field f) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + box_class.offset[int(f)]);
}

// obj.<field> as a new reference: from the slot of a plain box, otherwise
// through the attribute protocol (which also raises for an unset slot).
PyObject* read_field(PyObject* obj, box::Field f, bool plain) {
    if (plain) {
        if (PyObject* v = slot(obj, f)) return Py_NewRef(v);
    }
    return PyObject_GetAttr(obj, field_name(f));
}

// Runs the steps in order and stops at the first whose outcome is `stop_on`.
// Returns 1 if it stopped, 0 if all ran, -1 on error.
int run_steps(PyObject* self, PyObject* other, const box::Step (&steps)[4], bool stop_on) {
    const bool plain_self = is_plain_box(self), plain_other = is_plain_box(other);
    for (const box::Step& s : steps) {
        PyObject* a = plain_self ? slot(self, s.self_field) : nullptr;
        PyObject* b = plain_other ? slot(other, s.other_field) : nullptr;
        int c;
        if (a && b && Py_TYPE(a) == Py_TYPE(b) && (PyLong_CheckExact(a) || PyFloat_CheckExact(a))) {
            // Two exact ints or floats held by plain boxes: no code can run.
            c = compare(a, s.cmp, b);
        } else {
            Ref ra = steal(read_field(self, s.self_field, plain_self));
            if (!ra) return -1;
            Ref rb = steal(read_field(other, s.other_field, plain_other));
            if (!rb) return -1;
            c = compare(ra.ptr(), s.cmp, rb.ptr());
        }
        if (c < 0) return -1;
        if (bool(c) == stop_on) return 1;
    }
    return 0;
}

// Binds the N parameters of a method (the first being self or cls).
template <int N>
bool bind(const py::Signature& sig, PyObject* const* args, size_t nargsf, PyObject* kwnames,
          PyObject* (&out)[N]) {
    return py::bind_required(sig, args, PyVectorcall_NARGS(nargsf), kwnames, out);
}

PyObject* names_self_other[2];
const py::Signature intersects_sig{"NdsBoundingBox.intersects", 2, 2, false, names_self_other};
const py::Signature contains_sig{"NdsBoundingBox.contains", 2, 2, false, names_self_other};
PyObject* names_cls_tile[2];
const py::Signature from_tile_sig{"NdsBoundingBox.from_tile", 2, 2, false, names_cls_tile};
PyObject* names_cls_sw_ne[3];
const py::Signature from_corners_sig{"NdsBoundingBox.from_wgs84_corners", 3, 3, false,
                                     names_cls_sw_ne};

PyObject* intersects(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind(intersects_sig, args, nargsf, kwnames, a)) return nullptr;
    const int separated = run_steps(a[0], a[1], box::kSeparations, true);
    if (separated < 0) return nullptr;
    return PyBool_FromLong(!separated);
}

PyObject* contains(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind(contains_sig, args, nargsf, kwnames, a)) return nullptr;
    const int failed = run_steps(a[0], a[1], box::kContainment, false);
    if (failed < 0) return nullptr;
    return PyBool_FromLong(!failed);
}

// `from .tileid import PackedTileId`, at every call.
PyObject* import_packed_tile_id() {
    Ref mod = steal(PyImport_ImportModuleLevelObject(n.tileid_module, nullptr, nullptr,
                                                     n.tileid_fromlist, 0));
    if (!mod) return nullptr;
    PyObject* cls = PyObject_GetAttr(mod.ptr(), n.packed_tile_id);
    if (cls || !PyErr_ExceptionMatches(PyExc_AttributeError)) return cls;
    PyErr_Clear();
    Ref path = steal(PyModule_GetFilenameObject(mod.ptr()));
    if (!path) PyErr_Clear();
    Ref msg = steal(path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                                n.packed_tile_id, n.tileid_module, path.ptr())
                         : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                n.packed_tile_id, n.tileid_module));
    if (msg) PyErr_SetImportError(msg.ptr(), n.tileid_module, path ? path.ptr() : nullptr);
    return nullptr;
}

// obj.<method>() unpacked into exactly two values.
bool corner(PyObject* obj, PyObject* method, Ref& x, Ref& y) {
    Ref r = steal(PyObject_CallMethodNoArgs(obj, method));
    return r && py::unpack_pair(r.ptr(), x, y);
}

PyObject* build(PyObject* cls, Ref (&c)[4]) {
    PyObject* args[4] = {c[0].ptr(), c[1].ptr(), c[2].ptr(), c[3].ptr()};
    return PyObject_Vectorcall(cls, args, 4, nullptr);
}

PyObject* from_tile(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind(from_tile_sig, args, nargsf, kwnames, a)) return nullptr;
    Ref packed_tile_id = steal(import_packed_tile_id());
    if (!packed_tile_id) return nullptr;
    Ref tile = py::borrow(a[1]);
    if (PyLong_Check(tile.ptr())) {
        tile = steal(PyObject_CallOneArg(packed_tile_id.ptr(), tile.ptr()));
        if (!tile) return nullptr;
    }
    Ref c[4];
    if (!corner(tile.ptr(), n.south_west_corner, c[0], c[1])) return nullptr;
    if (!corner(tile.ptr(), n.north_east_corner, c[2], c[3])) return nullptr;
    return build(a[0], c);
}

PyObject* from_wgs84_corners(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[3];
    if (!bind(from_corners_sig, args, nargsf, kwnames, a)) return nullptr;
    Ref c[4];
    if (!corner(a[1], n.to_nds_coordinates, c[0], c[1])) return nullptr;
    if (!corner(a[2], n.to_nds_coordinates, c[2], c[3])) return nullptr;
    return build(a[0], c);
}

// A method object with Python-function attributes.
nb::object method(vectorcallfunc fn, const char* name, const char* signature, const char* doc,
                  nb::dict annotations) {
    nb::dict attrs;
    attrs["__name__"] = name;
    attrs["__qualname__"] = nb::str("NdsBoundingBox.") + nb::str(name);
    attrs["__module__"] = "voriviv.bounding_box";
    attrs["__doc__"] = doc;
    attrs["__text_signature__"] = signature;
    attrs["__annotations__"] = annotations;
    return nb::steal(check(voriviv::native_function::create(fn, attrs.ptr())));
}

nb::object classmethod(nb::object fn) {
    return nb::steal(check(PyClassMethod_New(fn.ptr())));
}

void init_names() {
    const py::NameSlot names[] = {
        {&n.min_x, "min_x"},
        {&n.min_y, "min_y"},
        {&n.max_x, "max_x"},
        {&n.max_y, "max_y"},
        {&n.self, "self"},
        {&n.other, "other"},
        {&n.cls, "cls"},
        {&n.tile, "tile"},
        {&n.sw, "sw"},
        {&n.ne, "ne"},
        {&n.to_nds_coordinates, "to_nds_coordinates"},
        {&n.south_west_corner, "south_west_corner"},
        {&n.north_east_corner, "north_east_corner"},
        {&n.packed_tile_id, "PackedTileId"},
        {&n.tileid_module, "voriviv.tileid"},
    };
    py::intern_all(names);
    n.tileid_fromlist = check(PyTuple_Pack(1, n.packed_tile_id));
    names_self_other[0] = n.self;
    names_self_other[1] = n.other;
    names_cls_tile[0] = n.cls;
    names_cls_tile[1] = n.tile;
    names_cls_sw_ne[0] = n.cls;
    names_cls_sw_ne[1] = n.sw;
    names_cls_sw_ne[2] = n.ne;
}

}  // namespace

NB_MODULE(bounding_box, m) {
    m.doc() =
        "Axis-aligned NDS bounding boxes: NdsBoundingBox, built from four NDS integers,\n"
        "from a packed NDS tile or from two WGS84 corner positions, and tested for\n"
        "intersection and containment (closed boxes: shared edges and corners count).";
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    init_names();
    if (!voriviv::native_function::ready("voriviv.bounding_box.native_function"))
        throw nb::python_error();

    nb::object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object bool_type = nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::dict fields;
    for (const char* f : {"min_x", "min_y", "max_x", "max_y"}) fields[f] = int_type;

    nb::dict ann_other;
    ann_other["other"] = "NdsBoundingBox";
    ann_other["return"] = bool_type;
    nb::dict ann_tile;
    ann_tile["tile"] = "Union[PackedTileId, int]";
    ann_tile["return"] = "NdsBoundingBox";
    nb::dict ann_corners;
    ann_corners["sw"] = "Position";
    ann_corners["ne"] = "Position";
    ann_corners["return"] = "NdsBoundingBox";

    nb::dict ns;
    ns["__module__"] = "voriviv.bounding_box";
    ns["__qualname__"] = "NdsBoundingBox";
    ns["__doc__"] = "Axis-aligned bounding box in NDS coordinates (32-bit integers).";
    ns["__annotations__"] = fields;
    // The fields are slots (with a __dict__ and weak references still
    // available), which the predicates read directly.
    ns["__slots__"] = nb::make_tuple("min_x", "min_y", "max_x", "max_y", "__dict__", "__weakref__");
    ns["intersects"] = method(
        intersects, "intersects", "(self, other)",
        "True when the two closed boxes share at least one point (edges and\n"
        "corners included). `other` needs only min_x, min_y, max_x and max_y.",
        ann_other);
    ns["contains"] = method(
        contains, "contains", "(self, other)",
        "True when `other` lies wholly inside this box, edges included (every\n"
        "box contains itself). `other` needs only min_x, min_y, max_x and max_y.",
        ann_other);
    ns["from_tile"] = classmethod(method(
        from_tile, "from_tile", "(cls, tile)",
        "The box of an NDS tile: a voriviv.tileid.PackedTileId, or an int taken as\n"
        "a packed tile number. Its south-west corner gives (min_x, min_y), its\n"
        "north-east corner (max_x, max_y). Imports voriviv.tileid at every call.",
        ann_tile));
    ns["from_wgs84_corners"] = classmethod(method(
        from_wgs84_corners, "from_wgs84_corners", "(cls, sw, ne)",
        "The box from two WGS84 positions: NDS coordinates of `sw` as the minimum,\n"
        "of `ne` as the maximum, used as they are (swapped corners give a box\n"
        "whose minimum exceeds its maximum).",
        ann_corners));

    nb::object cls = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
        "NdsBoundingBox", nb::tuple(), ns);
    cls = dataclasses.attr("dataclass")(cls);
    m.attr("NdsBoundingBox") = cls;

    auto* tp = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const box::Field order[4] = {box::Field::MinX, box::Field::MinY, box::Field::MaxX,
                                 box::Field::MaxY};
    bool slots_known = true;
    for (box::Field f : order) {
        PyObject* d = PyDict_GetItemWithError(tp->tp_dict, field_name(f));
        if (!d && PyErr_Occurred()) throw nb::python_error();
        box_class.offset[int(f)] = cpython::object_slot_offset(d);
        // Unknown slot layout: boxes are never read directly (tag 0 below).
        if (box_class.offset[int(f)] < 0) slots_known = false;
    }
    box_class.type = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
    box_class.tag = slots_known ? cpython::take_version_tag(tp, n.min_x) : 0;
}
