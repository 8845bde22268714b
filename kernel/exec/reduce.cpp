#include "kernel/exec/reduce.h"

#include <bit>

#include "kernel/exec/reg_bits.h"

namespace {

using namespace lumk_bits;

// An f32 result goes into the low 32 bits of acc (wf); acc's upper half stays.
uint64_t add(lumk_prim type, uint64_t acc, uint64_t value) {
    switch (type) {
        case LUMK_PRIM_F32: return wf(acc, lf(acc) + lf(value));
        case LUMK_PRIM_F64: return bitsd(f64(acc) + f64(value));
        case LUMK_PRIM_I32: return sx32(acc + value);
        case LUMK_PRIM_U32: return (acc + value) & 0xFFFFFFFFu;
        default: return acc + value;
    }
}

// x < y in the type (false when either is a NaN).
bool less(lumk_prim type, uint64_t x, uint64_t y) {
    switch (type) {
        case LUMK_PRIM_F32: return lf(x) < lf(y);
        case LUMK_PRIM_F64: return f64(x) < f64(y);
        default: return lumk_prim_is_signed(type) ? s64(x) < s64(y) : x < y;
    }
}
// value as the new accumulator: an f32 keeps acc's upper half.
uint64_t replaced(lumk_prim type, uint64_t acc, uint64_t value) {
    return type == LUMK_PRIM_F32 ? wf(acc, lf(value)) : value;
}

// value when it is less than acc in the type, else acc: a NaN value never
// replaces acc, a NaN acc stays, a tie keeps acc.
uint64_t min(lumk_prim type, uint64_t acc, uint64_t value) {
    return less(type, value, acc) ? replaced(type, acc, value) : acc;
}

uint64_t max(lumk_prim type, uint64_t acc, uint64_t value) {
    return less(type, acc, value) ? replaced(type, acc, value) : acc;
}

}  // namespace

uint64_t lumk_reduce_identity(lumk_reduce_op op, lumk_prim type) {
    switch (op) {
        case LUMK_REDUCE_MIN:
            switch (type) {
                case LUMK_PRIM_I32: return 0x000000007FFFFFFFull;
                case LUMK_PRIM_U32: return 0x00000000FFFFFFFFull;
                case LUMK_PRIM_I64: return 0x7FFFFFFFFFFFFFFFull;
                case LUMK_PRIM_F32: return 0x000000007F800000ull;
                case LUMK_PRIM_F64: return 0x7FF0000000000000ull;
                case LUMK_PRIM_U64: return 0xFFFFFFFFFFFFFFFFull;
                default: return 0;
            }
        case LUMK_REDUCE_MAX:
            switch (type) {
                case LUMK_PRIM_I32: return 0xFFFFFFFF80000000ull;
                case LUMK_PRIM_I64: return 0x8000000000000000ull;
                case LUMK_PRIM_F32: return 0x00000000FF800000ull;
                case LUMK_PRIM_F64: return 0xFFF0000000000000ull;
                default: return 0;
            }
        case LUMK_REDUCE_AND:
            switch (type) {
                case LUMK_PRIM_U32: return 0x00000000FFFFFFFFull;
                case LUMK_PRIM_BOOL: return 1;
                case LUMK_PRIM_I32:
                case LUMK_PRIM_I64:
                case LUMK_PRIM_U64: return 0xFFFFFFFFFFFFFFFFull;
                default: return 0;
            }
        default: return 0;  // +, |, ^ and unknown operators
    }
}

uint64_t lumk_reduce_combine(lumk_reduce_op op, lumk_prim type, uint64_t acc, uint64_t value) {
    switch (op) {
        case LUMK_REDUCE_ADD: return add(type, acc, value);
        case LUMK_REDUCE_MIN: return min(type, acc, value);
        case LUMK_REDUCE_MAX: return max(type, acc, value);
        case LUMK_REDUCE_AND: return acc & value;
        case LUMK_REDUCE_OR: return acc | value;
        case LUMK_REDUCE_XOR: return acc ^ value;
        default: return acc;
    }
}

uint64_t lumk_reduce_fold(lumk_reduce_op op, lumk_prim type, uint64_t acc, const uint64_t* values, uint32_t n) {
    if (n == 0) return acc;
    switch (op) {
        case LUMK_REDUCE_ADD: {
            if (type == LUMK_PRIM_F32) {
                float s = lf(acc);
                for (uint32_t i = 0; i < n; ++i) s = s + lf(values[i]);
                return wf(acc, s);
            }
            if (type == LUMK_PRIM_F64) {
                double s = f64(acc);
                for (uint32_t i = 0; i < n; ++i) s = s + f64(values[i]);
                return bitsd(s);
            }
            // Wrapping integer sums are order-free; the narrow types are
            // brought back to register form once at the end.
            uint64_t s = acc;
            for (uint32_t i = 0; i < n; ++i) s += values[i];
            if (type == LUMK_PRIM_I32) return sx32(s);
            if (type == LUMK_PRIM_U32) return s & 0xFFFFFFFFu;
            return s;
        }
        case LUMK_REDUCE_AND: {
            uint64_t s = acc;
            for (uint32_t i = 0; i < n; ++i) s &= values[i];
            return s;
        }
        case LUMK_REDUCE_OR: {
            uint64_t s = acc;
            for (uint32_t i = 0; i < n; ++i) s |= values[i];
            return s;
        }
        case LUMK_REDUCE_XOR: {
            uint64_t s = acc;
            for (uint32_t i = 0; i < n; ++i) s ^= values[i];
            return s;
        }
        case LUMK_REDUCE_MIN:
        case LUMK_REDUCE_MAX:
            for (uint32_t i = 0; i < n; ++i) acc = lumk_reduce_combine(op, type, acc, values[i]);
            return acc;
        default: return acc;
    }
}
