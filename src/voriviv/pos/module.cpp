// voriviv.pos: module initialisation. Loads dataclasses, math and the
// general-case arithmetic (voriviv/_pos_generic.py), defines NDSPosition (a
// generated data class), then Position (position.cpp).
#include "nds.hpp"
#include "position.hpp"

namespace nb = nanobind;
using namespace voriviv::pos;
using voriviv::py::check;

namespace voriviv::pos {
// to_nds_arrays, from_nds_arrays, distances (arrays.cpp).
void add_array_functions(nb::module_& m);
}  // namespace voriviv::pos

namespace {

void init_globals() {
    const voriviv::py::NameSlot names[] = {
        {&g.s_x, "x"},
        {&g.s_y, "y"},
        {&g.s_z, "z"},
        {&g.s_lon_delta, "LON_NDS_DELTA"},
        {&g.s_lat_delta, "LAT_NDS_DELTA"},
        {&g.s_earth_radius, "EARTH_RADIUS_IN_METERS"},
        {&g.s_normalize, "normalize"},
        {&g.s_to_nds_coordinates, "to_nds_coordinates"},
        {&g.s_degrees_to_meters, "degrees_to_meters"},
        {&g.s_lon, "lon"},
        {&g.s_lat, "lat"},
        {&g.s_alt, "alt"},
        {&g.s_other, "other"},
        {&g.s_lon_degrees, "lon_degrees"},
        {&g.s_lat_degrees, "lat_degrees"},
        {&g.s_at_latitude, "at_latitude"},
        {&g.s_nds_x_distance, "nds_x_distance"},
        {&g.s_nds_y_distance, "nds_y_distance"},
    };
    voriviv::py::intern_all(names);
    g.kw_xy = check(PyTuple_Pack(2, g.s_x, g.s_y));

    struct {
        PyObject** slot;
        double value;
    } floats[] = {
        {&g.f_zero, 0.0},
        {&g.f_180, 180.0},
        {&g.f_360, 360.0},
        {&g.f_unit, voriviv::nds::kDegreesPerUnit},
        {&g.f_meters_per_degree, 111320.0},
    };
    for (auto& f : floats) *f.slot = check(PyFloat_FromDouble(f.value));

    struct {
        PyObject** slot;
        long long value;
    } ints[] = {
        {&g.i_2p31, 2147483648LL},
        {&g.i_2p32, 4294967296LL},
    };
    for (auto& i : ints) *i.slot = check(PyLong_FromLongLong(i.value));
}

// @dataclass
// class NDSPosition:
//     x: float | int
//     y: float | int
//     z: float | int = 0.0
nb::object make_nds_position(nb::module_& dataclasses) {
    nb::object number = nb::steal(check(PyNumber_Or(reinterpret_cast<PyObject*>(&PyFloat_Type),
                                                    reinterpret_cast<PyObject*>(&PyLong_Type))));
    nb::dict annotations;
    annotations["x"] = number;
    annotations["y"] = number;
    annotations["z"] = number;
    nb::dict ns;
    ns["__module__"] = "voriviv.pos";
    ns["__qualname__"] = "NDSPosition";
    ns["__annotations__"] = annotations;
    ns["z"] = nb::borrow(g.f_zero);
    nb::object cls = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(
        "NDSPosition", nb::tuple(), ns);
    return dataclasses.attr("dataclass")(cls);
}

}  // namespace

NB_MODULE(pos, m) {
    m.doc() =
        "WGS84 positions that keep themselves in the range of NDS integer coordinates.\n\n"
        "Position: a point in degrees with NDS conversion, arithmetic, tolerant equality,\n"
        "great-circle distance and bearing, metric extents and degree/minute/second text.\n"
        "NDSPosition: a record of NDS integer coordinates (x, y, z).\n"
        "to_nds_arrays, from_nds_arrays, distances: the same on whole arrays (needs NumPy).";
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::module_::import_("math");
    init_globals();
    init_metric_names();
    // The general case of the arithmetic, as Python source.
    nb::module_ generic = nb::module_::import_("voriviv._pos_generic");
    g.generic_fold_longitude = generic.attr("fold_longitude").inc_ref().ptr();
    g.generic_clamp_latitude = generic.attr("clamp_latitude").inc_ref().ptr();
    g.generic_dms = generic.attr("dms").inc_ref().ptr();
    g.generic_keep = generic.attr("KEEP").inc_ref().ptr();

    nb::object nds_position = make_nds_position(dataclasses);
    g.nds_position_type = nds_position.inc_ref().ptr();
    m.attr("NDSPosition") = nds_position;

    nb::object position = nb::steal(check(create_position_type()));
    m.attr("Position") = position;
    add_array_functions(m);
}
