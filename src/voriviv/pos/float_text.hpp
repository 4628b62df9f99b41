// Number text exactly as the interpreter writes it.
//
//   * write_float_repr: str() / repr() of a float. The shortest decimal that
//     reads back to the same double; positional with at least one digit after
//     the point when 1e-4 <= |v| < 1e16, otherwise d[.ddd]e[+-]XX with at
//     least two exponent digits; "-0.0", "inf", "-inf", "nan".
//   * write_fixed: format(v, ".Nf"): exactly N decimals, correctly rounded from
//     the exact binary value (ties to even), sign kept for negative zero.
//   * write_integer: plain decimal of a 64-bit integer.
//
// All three are built on std::to_chars, whose shortest and fixed-precision
// outputs are exact; only the layout rules are ours. Each writes at most
// kMaxFloatText characters and returns the end of what it wrote.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace voriviv::text {

// Enough for any repr (at most 24 characters) and any fixed text with a
// small precision of a value below 1e22.
inline constexpr int kMaxFloatText = 32;

inline char* write_integer(char* out, std::int64_t v) {
    return std::to_chars(out, out + 24, v).ptr;
}

inline char* write_float_repr(char* out, double v) {
    if (std::isnan(v)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    if (std::isinf(v)) {
        if (v < 0) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
    char sci[kMaxFloatText];
    const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    const char* p = sci;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[20];
    int ndigits = 0;
    while (*p != 'e') {
        if (*p != '.') digits[ndigits++] = *p;
        ++p;
    }
    ++p;  // 'e'
    const bool negative_exp = *p == '-';
    ++p;
    int exp10 = 0;
    for (; p < end; ++p) exp10 = exp10 * 10 + (*p - '0');
    if (negative_exp) exp10 = -exp10;
    // Value is 0.d1d2... * 10^decpt.
    const int decpt = exp10 + 1;
    if (decpt <= -4 || decpt > 16) {
        *out++ = digits[0];
        if (ndigits > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, ndigits - 1);
            out += ndigits - 1;
        }
        *out++ = 'e';
        *out++ = exp10 < 0 ? '-' : '+';
        const int mag = exp10 < 0 ? -exp10 : exp10;
        if (mag < 10) *out++ = '0';
        return std::to_chars(out, out + 4, mag).ptr;
    }
    if (decpt <= 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -decpt; ++i) *out++ = '0';
        std::memcpy(out, digits, ndigits);
        return out + ndigits;
    }
    if (decpt >= ndigits) {
        std::memcpy(out, digits, ndigits);
        out += ndigits;
        for (int i = ndigits; i < decpt; ++i) *out++ = '0';
        *out++ = '.';
        *out++ = '0';
        return out;
    }
    std::memcpy(out, digits, decpt);
    out += decpt;
    *out++ = '.';
    std::memcpy(out, digits + decpt, ndigits - decpt);
    return out + (ndigits - decpt);
}

// Fixed-point text with `precision` decimals; `out` must hold the full
// integer part (callers pass values whose integer part is small).
inline char* write_fixed(char* out, char* out_end, double v, int precision) {
    return std::to_chars(out, out_end, v, std::chars_format::fixed, precision).ptr;
}

}  // namespace voriviv::text
