// NDS bounding boxes.
//
// The model
// ---------
// A box is an axis-aligned rectangle in NDS integer coordinates (see
// pos/nds.hpp): x along longitude (32-bit signed), y along latitude (31-bit
// signed). (min_x, min_y) is its south-west corner, (max_x, max_y) its
// north-east corner, and the box is closed: it contains both corners and every
// point on its edges. Boxes do not wrap across the antimeridian. Nothing checks
// that a minimum is not greater than its maximum; the predicates are then
// simply the comparisons below.
//
//   * intersects(a, b): the closed rectangles share at least one point, so
//     boxes touching along an edge or at a corner intersect. Decided by four
//     strict separation tests, in this order, stopping at the first that holds:
//     a.max_x < b.min_x, a.min_x > b.max_x, a.max_y < b.min_y, a.min_y > b.max_y.
//   * contains(a, b): b lies inside a, edges included (every box contains
//     itself). Four non-strict tests, in this order, stopping at the first that
//     fails: a.min_x <= b.min_x, a.max_x >= b.max_x, a.min_y <= b.min_y,
//     a.max_y >= b.max_y.
//
// The order matters to the Python binding: it reads each coordinate only when
// its test is reached, so an object lacking a later attribute fails only when
// that attribute is needed.
#pragma once

namespace voriviv::box {

// One step of a predicate: compare self.<self_field> with other.<other_field>.
enum class Field { MinX, MinY, MaxX, MaxY };
enum class Cmp { Less, Greater, LessEqual, GreaterEqual };

struct Step {
    Field self_field;
    Cmp cmp;
    Field other_field;
};

// Separations: intersects() is false as soon as one of these holds.
inline constexpr Step kSeparations[4] = {
    {Field::MaxX, Cmp::Less, Field::MinX},
    {Field::MinX, Cmp::Greater, Field::MaxX},
    {Field::MaxY, Cmp::Less, Field::MinY},
    {Field::MinY, Cmp::Greater, Field::MaxY},
};

// Containment: contains() is true when all of these hold.
inline constexpr Step kContainment[4] = {
    {Field::MinX, Cmp::LessEqual, Field::MinX},
    {Field::MaxX, Cmp::GreaterEqual, Field::MaxX},
    {Field::MinY, Cmp::LessEqual, Field::MinY},
    {Field::MaxY, Cmp::GreaterEqual, Field::MaxY},
};

template <typename T>
constexpr bool compare(T a, Cmp cmp, T b) {
    switch (cmp) {
        case Cmp::Less: return a < b;
        case Cmp::Greater: return a > b;
        case Cmp::LessEqual: return a <= b;
        case Cmp::GreaterEqual: return a >= b;
    }
    return false;
}

// Plain-value forms of the two predicates.
struct Box {
    long long min_x, min_y, max_x, max_y;

    constexpr long long get(Field f) const {
        switch (f) {
            case Field::MinX: return min_x;
            case Field::MinY: return min_y;
            case Field::MaxX: return max_x;
            case Field::MaxY: return max_y;
        }
        return 0;
    }
};

constexpr bool intersects(const Box& a, const Box& b) {
    for (const Step& s : kSeparations)
        if (compare(a.get(s.self_field), s.cmp, b.get(s.other_field))) return false;
    return true;
}

constexpr bool contains(const Box& a, const Box& b) {
    for (const Step& s : kContainment)
        if (!compare(a.get(s.self_field), s.cmp, b.get(s.other_field))) return false;
    return true;
}

static_assert(intersects({0, 0, 100, 100}, {100, 0, 200, 100}), "shared edge intersects");
static_assert(!intersects({0, 0, 100, 100}, {101, 0, 200, 100}), "one-unit gap separates");
static_assert(contains({0, 0, 100, 100}, {0, 0, 100, 100}), "a box contains itself");
static_assert(!contains({0, 0, 100, 100}, {0, 0, 101, 100}), "sticking out by one unit");

}  // namespace voriviv::box
