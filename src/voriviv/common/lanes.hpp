// Lanes: the same double arithmetic on one value or on a small vector of them.
//
// The array functions run the coordinate rules of nds.hpp on several elements
// per instruction. Those rules are written once, as templates over a value
// type T that is either double (the scalar API) or lanes::Doubles (a GCC
// vector of kWidth doubles). Every operator on a Doubles acts on each lane
// alone with the same IEEE operation and rounding as on a double, so a lane
// gives bit for bit what the scalar code gives, under the same floating-point
// rule (strict_fp.hpp: no contraction, no fast-math).
//
// A rule written for both types never branches on a value: it computes every
// candidate and chooses with pick(condition, a, b). Conditions combine with &
// and |, never && and ||. A comparison gives bool on doubles and a mask (all
// bits set where true) on vectors; pick accepts either.
//
// Without GCC's vector extensions (other compilers) Doubles is double and
// kWidth 1: the same code runs one element at a time.
#pragma once

#include "strict_fp.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__GNUC__) && !defined(__clang__)
// 32-byte vectors on a target without AVX are returned differently from AVX
// code; these never cross a library boundary, so the ABI note is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
#define VORIVIV_LANES 1
#endif

// A function marked VORIVIV_LANE_CLONES is compiled twice, for the baseline
// x86-64 (SSE2: two lanes per instruction) and for AVX2 (four), and the
// loader picks the one the processor runs. Neither target has fused
// multiply-add, so the floating-point rule holds in both.
#if defined(VORIVIV_LANES) && defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__)
#define VORIVIV_LANE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VORIVIV_LANE_CLONES
#endif

namespace voriviv::lanes {

#ifdef VORIVIV_LANES
inline constexpr std::size_t kWidth = 4;
typedef double Doubles __attribute__((vector_size(32)));
typedef std::int64_t Int64s __attribute__((vector_size(32)));
typedef std::int32_t Int32s __attribute__((vector_size(16)));
#else
inline constexpr std::size_t kWidth = 1;
using Doubles = double;
using Int64s = std::int64_t;
#endif

// T with every lane v.
template <typename T>
inline T splat(double v) {
    if constexpr (std::is_same_v<T, double>) {
        return v;
    } else {
        T t;
        for (std::size_t i = 0; i < sizeof(T) / sizeof(double); ++i) t[i] = v;
        return t;
    }
}

// a where c holds, else b; lane by lane for vectors (both are computed).
template <typename C, typename T>
inline T pick(C c, T a, T b) {
    return c ? a : b;
}

inline Doubles load(const double* p) {
    Doubles v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(std::int64_t* p, Int64s v) { std::memcpy(p, &v, sizeof v); }

// Truncation toward zero of values known to lie in [-2**31, 2**31) (the
// caller has replaced any other lane), widened to int64: int(v) of each.
inline Int64s truncate_int32(Doubles v) {
#ifdef VORIVIV_LANES
    return __builtin_convertvector(__builtin_convertvector(v, Int32s), Int64s);
#else
    return std::int64_t(std::int32_t(v));
#endif
}

// True when every lane of a mask (or the bool / int) is set.
template <typename M>
inline bool all(M m) {
    if constexpr (std::is_arithmetic_v<M>) {
        return m != 0;
    } else {
        std::int64_t acc = -1;
        for (std::size_t i = 0; i < sizeof(M) / sizeof(std::int64_t); ++i) acc &= m[i];
        return acc != 0;
    }
}

}  // namespace voriviv::lanes
