// The math functions of MATH1_* and MATH2_* in the operand type, shared by the
// interpreters so that every engine calls the same C library function.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernel/exec/bytecode.h"

// Function `fn` (0..13) of x in T (float or double); +0.0 for other numbers.
// floor, ceil, round and trunc of a NaN give it quieted (x + x): the C library's
// versions differ there (some return a signalling NaN unchanged, others
// quieted, and compilers inline their own), and the native code does the same.
template <class T>
inline T lumk_math1(uint32_t fn, T x) {
    switch (fn) {
        case LUMK_MATH_FLOOR: return x != x ? x + x : std::floor(x);
        case LUMK_MATH_CEIL: return x != x ? x + x : std::ceil(x);
        case LUMK_MATH_ROUND: return x != x ? x + x : std::round(x);
        case LUMK_MATH_TRUNC: return x != x ? x + x : std::trunc(x);
        case LUMK_MATH_SIN: return std::sin(x);
        case LUMK_MATH_COS: return std::cos(x);
        case LUMK_MATH_TAN: return std::tan(x);
        case LUMK_MATH_ASIN: return std::asin(x);
        case LUMK_MATH_ACOS: return std::acos(x);
        case LUMK_MATH_ATAN: return std::atan(x);
        case LUMK_MATH_EXP: return std::exp(x);
        case LUMK_MATH_LOG: return std::log(x);
        case LUMK_MATH_LOG2: return std::log2(x);
        case LUMK_MATH_LOG10: return std::log10(x);
        default: return T(0);
    }
}

// pow (14) or atan2 (15) of (x, y) in T; +0.0 for other numbers.
template <class T>
inline T lumk_math2(uint32_t fn, T x, T y) {
    if (fn == LUMK_MATH_POW) return std::pow(x, y);
    if (fn == LUMK_MATH_ATAN2) return std::atan2(x, y);
    return T(0);
}
