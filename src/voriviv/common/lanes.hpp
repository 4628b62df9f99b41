// Lanes: the same double arithmetic on one value or on a small vector of them.
//
// The array functions run the coordinate rules of nds.hpp on several elements
// per instruction. Those rules are written once, as templates over a value
// type T that is either double (the scalar API) or a GCC vector of doubles
// (Lanes<W>::Doubles). Every operator on a vector acts on each lane alone
// with the same IEEE operation and rounding as on a double, so a lane gives
// bit for bit what the scalar code gives, under the same floating-point rule
// (strict_fp.hpp: no contraction, no fast-math).
//
// A rule written for both types never branches on a value: it computes every
// candidate and chooses with pick(condition, a, b). Conditions combine with &
// and |, never && and ||. A comparison gives bool on doubles and a mask (all
// bits set where true) on vectors; pick accepts either.
//
// Element loops are compiled per target: the loop over Lanes<kWide> in a
// function marked VORIVIV_TARGET_AVX2 (four lanes per instruction), the loop
// over Lanes<kNarrow> for the x86-64 baseline (SSE2, two lanes); wide() tells
// at run time whether the processor runs the former. Neither target has fused
// multiply-add, so the floating-point rule holds in both. The helpers here
// are always inlined, so they are compiled for the target of their caller
// (a vector wider than the target's registers is split clumsily: each loop
// uses the width of its target). VORIVIV_NO_AVX2 in the environment keeps
// the baseline loops. Without GCC's vector extensions (other
// compilers) both widths are 1: the same code runs one element at a time.
#pragma once

#include "strict_fp.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(__GNUC__) && !defined(__clang__)
// 32-byte vectors on a target without AVX are returned differently from AVX
// code; these never cross a function boundary, so the ABI note is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
#define VORIVIV_LANES 1
#endif

#define VORIVIV_LANE_INLINE [[gnu::always_inline]] inline

namespace voriviv::lanes {

// Vector types of W doubles, with the integer vectors of as many lanes.
template <std::size_t W>
struct Lanes;

template <>
struct Lanes<1> {
    using Doubles = double;
    using Int64s = std::int64_t;
    using Int32s = std::int32_t;
};

#ifdef VORIVIV_LANES
template <>
struct Lanes<2> {
    typedef double Doubles __attribute__((vector_size(16)));
    typedef std::int64_t Int64s __attribute__((vector_size(16)));
    typedef std::int32_t Int32s __attribute__((vector_size(8)));
};

template <>
struct Lanes<4> {
    typedef double Doubles __attribute__((vector_size(32)));
    typedef std::int64_t Int64s __attribute__((vector_size(32)));
    typedef std::int32_t Int32s __attribute__((vector_size(16)));
};
#endif

#if defined(VORIVIV_LANES) && defined(__x86_64__)
#define VORIVIV_TARGET_AVX2 __attribute__((target("avx2")))
inline constexpr std::size_t kNarrow = 2, kWide = 4;
// VORIVIV_NO_AVX2 in the environment (read once) keeps the baseline loops on
// any processor, so that both can be tested on one machine.
inline bool wide() {
    static const bool avx2 = __builtin_cpu_supports("avx2") && !std::getenv("VORIVIV_NO_AVX2");
    return avx2;
}
#else
#define VORIVIV_TARGET_AVX2
#if defined(VORIVIV_LANES)
inline constexpr std::size_t kNarrow = 2, kWide = 2;
#else
inline constexpr std::size_t kNarrow = 1, kWide = 1;
#endif
inline bool wide() { return false; }
#endif

// Number of lanes of a value type.
template <typename T>
inline constexpr std::size_t width = sizeof(T) / sizeof(double);

// The integer vectors that go with T.
template <typename T>
using Int64sOf = typename Lanes<width<T>>::Int64s;
template <typename T>
using Int32sOf = typename Lanes<width<T>>::Int32s;

// T with every lane v.
template <typename T>
VORIVIV_LANE_INLINE T splat(double v) {
    if constexpr (width<T> == 1) {
        return v;
    } else {
        T t;
        for (std::size_t i = 0; i < width<T>; ++i) t[i] = v;
        return t;
    }
}

// a where c holds, else b; lane by lane for vectors (both are computed).
template <typename C, typename T>
VORIVIV_LANE_INLINE T pick(C c, T a, T b) {
    return c ? a : b;
}

template <typename T>
VORIVIV_LANE_INLINE T load(const double* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename I>
VORIVIV_LANE_INLINE void store(std::int64_t* p, I v) {
    std::memcpy(p, &v, sizeof v);
}

// Truncation toward zero of values known to lie in [-2**31, 2**31) (the
// caller has replaced any other lane), widened to int64: int(v) of each.
template <typename T>
VORIVIV_LANE_INLINE Int64sOf<T> truncate_int32(T v) {
    if constexpr (width<T> == 1) {
        return std::int64_t(std::int32_t(v));
    } else {
        return __builtin_convertvector(__builtin_convertvector(v, Int32sOf<T>), Int64sOf<T>);
    }
}

// True when every lane of a mask (or the bool / int) is set.
template <typename M>
VORIVIV_LANE_INLINE bool all(M m) {
    if constexpr (std::is_arithmetic_v<M>) {
        return m != 0;
    } else {
        std::int64_t acc = -1;
        for (std::size_t i = 0; i < sizeof(M) / sizeof(std::int64_t); ++i) acc &= m[i];
        return acc != 0;
    }
}

}  // namespace voriviv::lanes
