// Packed NDS tile ids.
//
// The model
// ---------
// NDS divides the coordinate plane (see pos/nds.hpp: x 32-bit signed, y 31-bit
// signed, one unit = 360 / 2^32 degree) into square tiles, level by level.
// At level L (0..15) a tile is 2^(31 - L) units wide and high:
//
//   * level 0 has two tiles side by side, x >= 0 (east) and x < 0 (west),
//     each spanning all latitudes (its height 2^31 is the whole y range);
//   * every further level halves both sides, so level L has 2^(L+1) columns
//     and 2^L rows.
//
// A tile's column and row are the high bits of the x and y of any point in
// it: column = x >> (31 - L) as an (L+1)-bit two's-complement number, row =
// y >> (31 - L) as an L-bit one. The tile number interleaves them Morton-wise,
// column bits at even positions and row bits at odd positions (bit 2k is
// column bit k, bit 2k+1 is row bit k), 2L+1 bits in all. The packed tile id
// puts a marker bit above that, at position 16 + L:
//
//   packed = 2^(16 + L) + number,   65536 <= packed < 2^32
//
// so the level is read back from the marker's position.
//
// The tile of a point at a level is the one whose column and row are the
// point's high bits as above, for any NDS point: x in [-2^31, 2^31), y in
// [-2^30, 2^30). It is the only tile of that level whose corner box holds
// the point.
//
// Corners: the south-west corner is the tile's smallest (x, y). The
// north-east corner is INCLUSIVE: the largest (x, y) still inside the tile,
// south-west + (2^(31 - L) - 1) on both axes. Every integer point lies in
// exactly one tile of a level, neighbouring tiles' corner boxes are one unit
// apart (east.min_x == west.max_x + 1) and never overlap as closed boxes, and
// every corner is a valid NDS coordinate (the east- and north-most tiles end
// at 2^31 - 1 and 2^30 - 1). Level 0's two tiles run from y = -2^30 to
// 2^30 - 1.
#pragma once

#include <cstdint>
#include <optional>

namespace voriviv::tile {

inline constexpr int kMaxLevel = 15;
inline constexpr std::int64_t kMinPacked = std::int64_t{1} << 16;
inline constexpr std::int64_t kMaxPacked = (std::int64_t{1} << 32) - 1;
// The NDS coordinate range, inclusive.
inline constexpr std::int64_t kMinX = -(std::int64_t{1} << 31);
inline constexpr std::int64_t kMaxX = (std::int64_t{1} << 31) - 1;
inline constexpr std::int64_t kMinY = -(std::int64_t{1} << 30);
inline constexpr std::int64_t kMaxY = (std::int64_t{1} << 30) - 1;

// True for a level a packed id can hold, 0 to 15.
constexpr bool valid_level(std::int64_t level) { return level >= 0 && level <= kMaxLevel; }
// True for a point in the NDS coordinate range.
constexpr bool valid_point(std::int64_t x, std::int64_t y) {
    return x >= kMinX && x <= kMaxX && y >= kMinY && y <= kMaxY;
}

struct Corner {
    std::int64_t x;
    std::int64_t y;
};

namespace detail {

// Bits 0, 2, 4, ... of v, packed together.
constexpr std::uint32_t even_bits(std::uint64_t v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i) r |= static_cast<std::uint32_t>((v >> (2 * i)) & 1u) << i;
    return r;
}

// The bits-wide two's-complement value of v.
constexpr std::int64_t sign_extend(std::uint64_t v, int bits) {
    if (bits == 0) return 0;
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>(v & (sign - 1)) - static_cast<std::int64_t>(v & sign);
}

// The low 32 bits of v spread onto the even bit positions (bit k to 2k).
constexpr std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0xffffffffULL;
    v = (v | (v << 16)) & 0x0000ffff0000ffffULL;
    v = (v | (v << 8)) & 0x00ff00ff00ff00ffULL;
    v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fULL;
    v = (v | (v << 2)) & 0x3333333333333333ULL;
    v = (v | (v << 1)) & 0x5555555555555555ULL;
    return v;
}

constexpr int bit_length(std::uint64_t v) {
    int n = 0;
    while (v) {
        v >>= 1;
        ++n;
    }
    return n;
}

}  // namespace detail

class PackedTile {
  public:
    // The tile of a packed id, or nullopt outside [2^16, 2^32).
    static constexpr std::optional<PackedTile> from_packed(std::int64_t packed) {
        if (packed < kMinPacked || packed > kMaxPacked) return std::nullopt;
        return PackedTile(static_cast<std::uint64_t>(packed));
    }

    // The level-`level` tile holding the NDS point (x, y); nullopt for a
    // level outside 0..15 or a point outside the NDS range.
    static constexpr std::optional<PackedTile> containing(std::int64_t x, std::int64_t y,
                                                          std::int64_t level) {
        if (!valid_level(level) || !valid_point(x, y)) return std::nullopt;
        const int shift = 31 - int(level);
        // Arithmetic shifts: the two's-complement column and row, cut to
        // level + 1 and level bits.
        const std::uint64_t column =
            static_cast<std::uint64_t>(x >> shift) & ((std::uint64_t{2} << level) - 1);
        const std::uint64_t row =
            static_cast<std::uint64_t>(y >> shift) & ((std::uint64_t{1} << level) - 1);
        return PackedTile((std::uint64_t{1} << (16 + level)) | detail::spread_bits(column) |
                          (detail::spread_bits(row) << 1));
    }

    constexpr std::int64_t packed() const { return static_cast<std::int64_t>(packed_); }
    constexpr int level() const { return detail::bit_length(packed_) - 17; }
    // Side length in NDS units, 2^(31 - level).
    constexpr std::int64_t size() const { return std::int64_t{1} << (31 - level()); }
    // Column (signed, level + 1 bits) and row (signed, level bits).
    constexpr std::int64_t column() const {
        return detail::sign_extend(detail::even_bits(number()), level() + 1);
    }
    constexpr std::int64_t row() const {
        return detail::sign_extend(detail::even_bits(number() >> 1), level());
    }

    constexpr Corner south_west() const {
        if (level() == 0) return {column() * size(), -(std::int64_t{1} << 30)};
        return {column() * size(), row() * size()};
    }

    // Inclusive: the largest coordinates inside the tile.
    constexpr Corner north_east() const {
        const Corner sw = south_west();
        if (level() == 0) return {sw.x + size() - 1, (std::int64_t{1} << 30) - 1};
        return {sw.x + size() - 1, sw.y + size() - 1};
    }

  private:
    constexpr explicit PackedTile(std::uint64_t packed) : packed_(packed) {}
    constexpr std::uint64_t number() const { return packed_ - (std::uint64_t{1} << (16 + level())); }

    std::uint64_t packed_;
};

// Level 0: east and west halves, all latitudes.
static_assert(PackedTile::from_packed(65536)->south_west().x == 0);
static_assert(PackedTile::from_packed(65537)->south_west().x == -2147483648LL);
static_assert(PackedTile::from_packed(65537)->north_east().x == -1);
// The last level-15 tile: column and row all ones, just south-west of (0, 0).
static_assert(PackedTile::from_packed(4294967295LL)->north_east().x == -1);
static_assert(PackedTile::from_packed(4294967295LL)->north_east().y == -1);

// A point's tile is the one whose corners enclose it.
static_assert(PackedTile::containing(0, 0, 0)->packed() == 65536);
static_assert(PackedTile::containing(-1, 1073741823, 0)->packed() == 65537);
static_assert(PackedTile::containing(-1, -1, 15)->packed() == 4294967295LL);
static_assert(PackedTile::containing(5 * (1 << 18), 3 * (1 << 18) + 7, 13)->packed() ==
              (1LL << 29) + 27);
static_assert(!PackedTile::containing(kMaxX + 1, 0, 3) && !PackedTile::containing(0, kMinY - 1, 3));
static_assert(!PackedTile::containing(0, 0, 16) && !PackedTile::containing(0, 0, -1));

}  // namespace voriviv::tile
