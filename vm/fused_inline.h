#pragma once
// The straight-line form of fused expressions (opcode 72), evaluated inline
// by the interpreter: the same values and declines as the general evaluator
// in vm/fused.cpp (integer arithmetic wraps around; integer division or
// remainder by 0 or -1, float division by 0 and bit operations on floats
// decline; a float on either side makes arithmetic float; comparisons give
// the integers 1 and 0).

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "runtime/value.h"
#include "vm/exec.h"
#include "vm/opcode.h"
#include "vm/program_block.h"

struct lum_fexpr_value {
    int64_t i;
    double f;
    bool is_float;
};

// `cell` (a number or none cell) becomes a plain number holding the result;
// its header fields are written only where they change.
[[gnu::always_inline]] inline void lum_fexpr_store_number(lumvar* cell, bool is_float, int64_t i, double f) {
    if (cell->ref_flags != 0) cell->ref_flags = 0;
    const uint8_t type = is_float ? LUMVAR_FLOAT : LUMVAR_INT;
    if (cell->type != type) cell->type = type;
    if (is_float)
        cell->payload.f = f;
    else
        cell->payload.i = i;
}

// l := l <op> r (op a binary item kind); false when the operation declines.
[[gnu::always_inline]] inline bool lum_fexpr_apply(uint8_t op, int64_t& li, double& lf, bool& lfl, int64_t ri,
                                                   double rf, bool rfl) {
    using namespace lum_fexpr;
    if (!lfl && !rfl) {
        switch (op) {
        case IT_ADD: li = lum_wrap_add(li, ri); return true;
        case IT_SUB: li = lum_wrap_sub(li, ri); return true;
        case IT_MUL: li = lum_wrap_mul(li, ri); return true;
        case IT_DIV:
        case IT_MOD:
            if (ri == 0 || ri == -1) return false;
            li = op == IT_DIV ? li / ri : li % ri;
            return true;
        case IT_AND: li = li & ri; return true;
        case IT_OR: li = li | ri; return true;
        case IT_XOR: li = li ^ ri; return true;
        case IT_EQ: li = li == ri ? 1 : 0; return true;
        case IT_NE: li = li != ri ? 1 : 0; return true;
        case IT_LT: li = li < ri ? 1 : 0; return true;
        case IT_LE: li = li <= ri ? 1 : 0; return true;
        case IT_GE: li = li >= ri ? 1 : 0; return true;
        default: li = li > ri ? 1 : 0; return true;
        }
    }
    const double a = lfl ? lf : static_cast<double>(li);
    const double b = rfl ? rf : static_cast<double>(ri);
    int64_t truth;
    switch (op) {
    case IT_ADD: lf = a + b; lfl = true; return true;
    case IT_SUB: lf = a - b; lfl = true; return true;
    case IT_MUL: lf = a * b; lfl = true; return true;
    case IT_DIV:
    case IT_MOD:
        if (b == 0.0) return false;
        lf = op == IT_DIV ? a / b : std::fmod(a, b);
        lfl = true;
        return true;
    case IT_AND:
    case IT_OR:
    case IT_XOR: return false;
    case IT_EQ: truth = a == b; break;
    case IT_NE: truth = !(a == b); break;
    case IT_LT: truth = a < b; break;
    case IT_LE: truth = a <= b; break;
    case IT_GE: truth = a >= b; break;
    default: truth = a > b; break;
    }
    li = truth;
    lfl = false;
    return true;
}

// The value of `line` over the local slots `slots` (`slot_count` cells);
// false when the evaluation declines.
[[gnu::always_inline]] inline bool lum_fexpr_line_evaluate(const lumvar_shared* slots, size_t slot_count,
                                                           const lum_fexpr_line& line, lum_fexpr_value& out) {
    using step = lum_fexpr_line::step;
    int64_t si[lum_fexpr_line::MAX_STEPS];
    double sf[lum_fexpr_line::MAX_STEPS];
    bool sfl[lum_fexpr_line::MAX_STEPS];
    unsigned sp = 0;
    int64_t ai = 0;
    double af = 0.0;
    bool afl = false;
    const unsigned count = line.count;
    for (unsigned n = 0; n < count; ++n) {
        const step& s = line.steps[n];
        int64_t oi = 0;
        double of = 0.0;
        bool ofl = false;
        if (s.what <= step::APPLY) {
            if (s.source == lum_fexpr_line::LOCAL) {
                const lumvar* cell = s.slot < slot_count ? slots[s.slot].get() : nullptr;
                if (cell == nullptr) return false;
                if (cell->type == LUMVAR_FLOAT) {
                    of = cell->payload.f;
                    ofl = true;
                } else if (cell->type == LUMVAR_INT) {
                    oi = cell->payload.i;
                } else {
                    return false;
                }
            } else if (s.source == lum_fexpr_line::INT_CONST) {
                oi = s.i;
            } else {
                of = s.f;
                ofl = true;
            }
        }
        switch (s.what) {
        case step::LOAD:
            if (n != 0) {
                si[sp] = ai;
                sf[sp] = af;
                sfl[sp] = afl;
                ++sp;
            }
            ai = oi;
            af = of;
            afl = ofl;
            break;
        case step::APPLY:
            if (!lum_fexpr_apply(s.op, ai, af, afl, oi, of, ofl)) return false;
            break;
        case step::APPLY_STACK: {
            --sp;
            int64_t li = si[sp];
            double lf = sf[sp];
            bool lfl = sfl[sp];
            if (!lum_fexpr_apply(s.op, li, lf, lfl, ai, af, afl)) return false;
            ai = li;
            af = lf;
            afl = lfl;
            break;
        }
        default:
            if (afl)
                af = -af;
            else
                ai = lum_wrap_neg(ai);
            break;
        }
    }
    out = {ai, af, afl};
    return true;
}
