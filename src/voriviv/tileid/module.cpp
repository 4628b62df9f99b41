// voriviv.tileid: PackedTileId, the packed NDS tile number and its corners.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "common/arrays.hpp"
#include "tile.hpp"

namespace nb = nanobind;
using voriviv::tile::PackedTile;
namespace tile = voriviv::tile;
namespace arrays = voriviv::arrays;

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

// An int (or anything with __index__) as a 64-bit value; `overflow` is set
// for one beyond 64 bits, with `text` its decimal form.
long long index_value(nb::handle value, bool& overflow, std::string& text) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index) throw nb::python_error();
    int over = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &over);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    overflow = over != 0;
    text = nb::str(index).c_str();
    return v;
}

std::string level_error(const std::string& level) {
    return "tile level must be 0 to 15, not " + level;
}

std::string point_error(const std::string& x, const std::string& y) {
    return "not an NDS point: (" + x + ", " + y + ") (x must lie in " + std::to_string(tile::kMinX) +
           " .. " + std::to_string(tile::kMaxX) + ", y in " + std::to_string(tile::kMinY) + " .. " +
           std::to_string(tile::kMaxY) + ")";
}

// A level argument, 0 to 15; ValueError otherwise.
int parse_level(nb::handle value) {
    bool overflow;
    std::string text;
    const long long level = index_value(value, overflow, text);
    if (overflow || !tile::valid_level(level)) throw nb::value_error(level_error(text).c_str());
    return int(level);
}

// PackedTileId.containing(x, y, level)
PackedTile containing(nb::handle x, nb::handle y, nb::handle level) {
    bool ox, oy;
    std::string tx, ty;
    const long long vx = index_value(x, ox, tx);
    const long long vy = index_value(y, oy, ty);
    const int lv = parse_level(level);
    if (!ox && !oy) {
        if (auto t = PackedTile::containing(vx, vy, lv)) return *t;
    }
    throw nb::value_error(point_error(tx, ty).c_str());
}

// packed_tile_ids(x, y, level, *, threads=None)
nb::object packed_tile_ids(nb::handle x_in, nb::handle y_in, nb::handle level_in,
                           nb::handle threads) {
    using arrays::kBlock;
    arrays::require_numpy("packed_tile_ids");
    const arrays::Column xc(x_in, "x", arrays::Accept::Integers);
    const arrays::Column yc(y_in, "y", arrays::Accept::Integers);
    const arrays::Column* cols[] = {&xc, &yc};
    arrays::require_same_shape(cols, 2);
    const int level = parse_level(level_in);
    const std::size_t n = xc.size();
    arrays::Output<std::int64_t> out(xc);
    std::int64_t* ids = out.data();
    const std::size_t bad = arrays::run_slices(
        n, arrays::thread_count(threads, n), [&](std::size_t a, std::size_t b) -> std::size_t {
            std::int64_t bx[kBlock], by[kBlock];
            for (std::size_t s = a; s < b; s += kBlock) {
                const std::size_t m = std::min(kBlock, b - s);
                const std::int64_t* px = xc.int64s(s, m, bx);
                const std::int64_t* py = yc.int64s(s, m, by);
                for (std::size_t k = 0; k < m; ++k) {
                    const auto t = PackedTile::containing(px[k], py[k], level);
                    if (!t) return s + k;
                    ids[s + k] = t->packed();
                }
            }
            return arrays::kNoError;
        });
    if (bad != arrays::kNoError) {
        throw nb::value_error((point_error(xc.element_text(bad), yc.element_text(bad)) +
                               " at index " + std::to_string(bad))
                                  .c_str());
    }
    return out.release();
}

std::pair<long long, long long> pair_of(voriviv::tile::Corner c) { return {c.x, c.y}; }

}  // namespace

NB_MODULE(tileid, m) {
    m.doc() =
        "Packed NDS tile ids: PackedTileId and the NDS corners of its tile;\n"
        "packed_tile_ids: the tiles of whole arrays of NDS points (needs NumPy).";

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
        .def_static("containing", &containing, nb::arg("x"), nb::arg("y"), nb::arg("level"),
                    nb::sig("def containing(x: SupportsIndex, y: SupportsIndex, "
                            "level: SupportsIndex) -> PackedTileId"),
                    "The tile of level `level` (0 to 15) that holds the NDS point (x, y):\n"
                    "its column and row are the high bits of x and y. ValueError for a\n"
                    "level outside 0..15 or a point outside the NDS range (x in\n"
                    "-2**31 .. 2**31 - 1, y in -2**30 .. 2**30 - 1); TypeError for a\n"
                    "float.")
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

    m.def("packed_tile_ids", &packed_tile_ids, nb::arg("x"), nb::arg("y"), nb::arg("level"),
          nb::kw_only(), nb::arg("threads") = nb::none(),
          nb::sig("def packed_tile_ids(x: ArrayLike, y: ArrayLike, level: SupportsIndex, *, "
                  "threads: int | None = None) -> numpy.ndarray"),
          "Packed tile ids of many NDS points at once: an int64 array where\n"
          "ids[i] == PackedTileId.containing(x[i], y[i], level).packed.\n\n"
          "x and y are NDS integer coordinates (as to_nds_arrays returns them), arrays\n"
          "of one shape (buffer protocol or DLPack; other objects go through\n"
          "numpy.asarray) of bool or integer dtype; floating and other dtypes raise\n"
          "TypeError, as PackedTileId refuses a float. A point outside the NDS range\n"
          "raises ValueError naming the index of the first one; so does a level\n"
          "outside 0..15. Different shapes raise ValueError. Runs without the GIL;\n"
          "threads=None uses two threads from 2**20 elements on. Needs NumPy.");
}
