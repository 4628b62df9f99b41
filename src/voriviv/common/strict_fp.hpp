// The floating-point rule of the coordinate math.
//
// Every result of voriviv.pos (and of the array functions built on it) must
// be bit-identical to the same expression evaluated by the interpreter, whose
// float operations each round once. So this code is compiled
//
//   * without contraction: a * b + c is a multiplication and an addition,
//     each rounded, never one fused multiply-add (which rounds once and gives
//     a different last bit for a sizeable share of inputs), and
//   * without fast-math: no reassociation, no reciprocal division, NaN and
//     infinity and the sign of zero kept.
//
// Include this header first in every header holding coordinate arithmetic
// (pos/nds.hpp, pos/geodesy.hpp, common/arrays.hpp), so that any translation
// unit using that arithmetic is held to the rule:
//
//   * The build states the rule with flags: the CMake target
//     voriviv_coord_math adds -ffp-contract=off -fno-fast-math and defines
//     VORIVIV_STRICT_FP. A translation unit compiled without that target
//     stops here with an error, instead of silently contracting.
//   * The compilers are told again in the source: GCC (12 checked) ignores
//     `#pragma STDC FP_CONTRACT` but honours `#pragma GCC optimize
//     ("fp-contract=off")` for every function defined after it; Clang
//     honours the standard pragma.
//
// tests/test_pos.py (test_no_fused_multiply_add) compares results whose fused
// and unfused forms differ with the interpreter's own arithmetic.
#pragma once

#if defined(__FAST_MATH__)
#error "the coordinate math must not be built with -ffast-math (see strict_fp.hpp)"
#endif

#if !defined(VORIVIV_STRICT_FP)
#error "the coordinate math must be built through the CMake target voriviv_coord_math (-ffp-contract=off, see strict_fp.hpp)"
#endif

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
