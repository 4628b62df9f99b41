// voriviv.tileid: PackedTileId, the packed NDS tile number and its corners.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "tile.hpp"

namespace nb = nanobind;
using voriviv::tile::PackedTile;

namespace {

// An int (or anything with __index__) as a packed tile; ValueError when it
// is not one.
PackedTile parse_packed(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) {
        if (auto tile = PackedTile::from_packed(v)) return *tile;
    }
    nb::str text = nb::str(index);
    throw nb::value_error(
        (std::string("not a packed NDS tile id: ") + text.c_str() +
         " (levels 0 to 15 pack into 65536 .. 4294967295)")
            .c_str());
}

std::pair<long long, long long> pair_of(voriviv::tile::Corner c) { return {c.x, c.y}; }

}  // namespace

NB_MODULE(tileid, m) {
    m.doc() = "Packed NDS tile ids: PackedTileId and the NDS corners of its tile.";

    nb::class_<PackedTile>(
        m, "PackedTileId",
        "A packed NDS tile number: a marker bit at position 16 + level above the\n"
        "Morton-interleaved tile number (column bits at even, row bits at odd\n"
        "positions). Levels 0 to 15; a level-L tile is 2**(31 - L) NDS units wide\n"
        "and high. Level 0 has two tiles, 65536 (x >= 0) and 65537 (x < 0), each\n"
        "spanning all latitudes.\n\n"
        "Corners are NDS integer pairs (x, y). The south-west corner is the\n"
        "smallest point of the tile; the north-east corner is INCLUSIVE, the\n"
        "largest point still inside it (south-west + size - 1 on both axes). So\n"
        "neighbouring tiles' corner boxes are one unit apart and never overlap,\n"
        "and every corner is a valid NDS coordinate.")
        .def("__init__",
             [](PackedTile* self, nb::handle packed) { new (self) PackedTile(parse_packed(packed)); },
             nb::arg("packed"), "Tile of a packed tile number (65536 .. 4294967295).")
        .def_prop_ro("packed", &PackedTile::packed, "The packed tile number.")
        .def_prop_ro("level", &PackedTile::level, "Level, 0 to 15.")
        .def_prop_ro("size", &PackedTile::size, "Side length in NDS units, 2**(31 - level).")
        .def(
            "south_west_corner", [](const PackedTile& t) { return pair_of(t.south_west()); },
            "(x, y) of the tile's south-west corner: its smallest NDS coordinates.")
        .def(
            "north_east_corner", [](const PackedTile& t) { return pair_of(t.north_east()); },
            "(x, y) of the tile's north-east corner, inclusive: its largest NDS\n"
            "coordinates, south-west + (size - 1).")
        .def("__int__", &PackedTile::packed)
        .def("__index__", &PackedTile::packed)
        .def("__hash__", [](const PackedTile& t) { return nb::hash(nb::int_(t.packed())); })
        .def(
            "__eq__",
            [](const PackedTile& a, const PackedTile& b) { return a.packed() == b.packed(); },
            nb::is_operator())
        .def(
            "__ne__",
            [](const PackedTile& a, const PackedTile& b) { return a.packed() != b.packed(); },
            nb::is_operator())
        .def("__repr__",
             [](const PackedTile& t) { return "PackedTileId(" + std::to_string(t.packed()) + ")"; })
        .def("__reduce__", [](nb::handle self) {
            return nb::make_tuple(self.type(),
                                  nb::make_tuple(nb::cast<const PackedTile&>(self).packed()));
        });
}
