// Scalar interpreter: every opcode family through small hand-built programs,
// the run loop (ranges, 2-D stepping, start pc, registers kept between work
// items, abort polling) and every trap code with its text.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/exec/scalar.h"

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr double k_inf = std::numeric_limits<double>::infinity();

uint64_t fb(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t db(double d) { return std::bit_cast<uint64_t>(d); }
float as_f(uint64_t r) { return std::bit_cast<float>(static_cast<uint32_t>(r)); }
double as_d(uint64_t r) { return std::bit_cast<double>(r); }
uint64_t i64(int64_t v) { return static_cast<uint64_t>(v); }

// A program over fixed registers 0..6 (gid, gsize, acc, gid_x, gid_y,
// gsize_x, gsize_y) with 32 registers in all.
struct prog {
    std::shared_ptr<lumk_program> p = std::make_shared<lumk_program>();
    std::vector<kreg> regs = std::vector<kreg>(32, kreg{.u = 0});

    prog() {
        p->gid = 0;
        p->gsize = 1;
        p->acc = 2;
        p->gid_x = 3;
        p->gid_y = 4;
        p->gsize_x = 5;
        p->gsize_y = 6;
        p->reg_count = 32;
    }
    prog& op(uint16_t o, uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint64_t imm = 0) {
        p->code.push_back(lumk_insn{o, a, b, c, imm});
        return *this;
    }
    uint64_t& r(uint32_t i) { return regs[i].u; }
    uint8_t run(const kptr* ptrs = nullptr, uint64_t begin = 0, uint64_t end = 1, ktrap* trap = nullptr,
                const volatile uint8_t* abort = nullptr, uint32_t start_pc = 0) {
        ktrap local{};
        return lumk_run_scalar(*p, regs.data(), ptrs, begin, end, abort, trap ? trap : &local, start_pc);
    }
};

// Runs one instruction `o` with R(8) = b, R(9) = c, destination 10 preset to a.
struct one {
    uint64_t result = 0;
    uint8_t code = 0;
    ktrap trap{};
};
one run1(uint16_t o, uint64_t b, uint64_t c = 0, uint64_t a = 0, uint64_t imm = 0, uint16_t cfield = 9) {
    prog pr;
    pr.op(o, 10, 8, cfield, imm).op(LUMK_END);
    pr.r(8) = b;
    pr.r(9) = c;
    pr.r(10) = a;
    one out;
    out.code = pr.run(nullptr, 0, 1, &out.trap);
    out.result = pr.r(10);
    return out;
}
uint64_t eval(uint16_t o, uint64_t b, uint64_t c = 0, uint64_t a = 0, uint64_t imm = 0) {
    one r = run1(o, b, c, a, imm);
    EXPECT_EQ(r.code, 0) << lumk_op_name(o);
    return r.result;
}
// Runs `o` on R(8) = b with the instruction's c field set to `cfield` (a
// selector, divisor or conversion target rather than a register).
uint64_t evalc(uint16_t o, uint64_t b, uint16_t cfield) {
    one r = run1(o, b, 0, 0, 0, cfield);
    EXPECT_EQ(r.code, 0) << lumk_op_name(o);
    return r.result;
}
// Whether the fused compare-and-jump `o` over (a, b) jumps.
bool jumps(uint16_t o, uint64_t a, uint64_t b) {
    prog pr;
    pr.op(o, 8, 9, 0, 3).op(LUMK_MOV, 10, 11).op(LUMK_END).op(LUMK_MOV, 10, 12).op(LUMK_END);
    pr.r(8) = a;
    pr.r(9) = b;
    pr.r(11) = 1;
    pr.r(12) = 2;
    EXPECT_EQ(pr.run(), 0);
    return pr.r(10) == 2;
}

kptr slot(void* base, uint64_t count, uint64_t stride) {
    return kptr{static_cast<uint8_t*>(base), count, stride, count * stride};
}

}  // namespace

TEST(ScalarInterp, IntegerAddSubMul) {
    EXPECT_EQ(eval(LUMK_ADD_I32, 0x7FFFFFFF, 1), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_ADD_U32, 0xFFFFFFFF, 2), 1u);
    EXPECT_EQ(eval(LUMK_ADD_X64, 0xFFFFFFFFFFFFFFFFull, 2), 1u);
    EXPECT_EQ(eval(LUMK_SUB_I32, 0, 1), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_SUB_U32, 0, 1), 0xFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_SUB_X64, 5, 7), i64(-2));
    EXPECT_EQ(eval(LUMK_MUL_I32, 0x10000, 0x10000), 0u);
    EXPECT_EQ(eval(LUMK_MUL_I32, i64(-3), 7), i64(-21));
    EXPECT_EQ(eval(LUMK_MUL_U32, 0xFFFFFFFF, 0xFFFFFFFF), 1u);
    EXPECT_EQ(eval(LUMK_MUL_X64, 0x100000000ull, 0x100000001ull), 0x100000000ull);
    EXPECT_EQ(eval(LUMK_ADDI_I32, 0x7FFFFFFF, 0, 0, 1), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_ADDI_I32, 5, 0, 0, i64(-7)), i64(-2));
    EXPECT_EQ(eval(LUMK_ADDI_U32, 1, 0, 0, i64(-2)), 0xFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_ADDI_X64, 1, 0, 0, i64(-2)), 0xFFFFFFFFFFFFFFFFull);
}

TEST(ScalarInterp, FloatArithmetic) {
    EXPECT_EQ(as_f(eval(LUMK_SUB_F32, fb(1.0f), fb(3.0f))), -2.0f);
    EXPECT_EQ(as_f(eval(LUMK_MUL_F32, fb(1.5f), fb(-2.0f))), -3.0f);
    EXPECT_EQ(as_f(eval(LUMK_DIV_F32, fb(1.0f), fb(0.0f))), std::numeric_limits<float>::infinity());
    EXPECT_EQ(as_f(eval(LUMK_MOD_F32, fb(7.5f), fb(2.0f))), 1.5f);
    EXPECT_EQ(as_d(eval(LUMK_ADD_F64, db(0.1), db(0.2))), 0.1 + 0.2);
    EXPECT_EQ(as_d(eval(LUMK_SUB_F64, db(1.0), db(3.0))), -2.0);
    EXPECT_EQ(as_d(eval(LUMK_MUL_F64, db(1e200), db(1e200))), k_inf);
    EXPECT_EQ(as_d(eval(LUMK_DIV_F64, db(-1.0), db(0.0))), -k_inf);
    EXPECT_EQ(as_d(eval(LUMK_MOD_F64, db(-7.5), db(2.0))), -1.5);
    EXPECT_TRUE(std::isnan(as_d(eval(LUMK_MOD_F64, db(1.0), db(0.0)))));
    // MOV copies all 64 bits (f32 writers keep the upper half: see EveryF32ResultWritesOnlyTheLowHalf)
    EXPECT_EQ(eval(LUMK_MOV, 0x1111111100000000ull | fb(2.0f)), 0x1111111100000000ull | fb(2.0f));
}

TEST(ScalarInterp, IntegerDivisionAndTraps) {
    EXPECT_EQ(eval(LUMK_DIV_I32, i64(-7), 2), i64(-3));
    EXPECT_EQ(eval(LUMK_MOD_I32, i64(-7), 2), i64(-1));
    EXPECT_EQ(eval(LUMK_DIV_U32, 0xFFFFFFFF, 0xFFFFFFFF), 1u);
    EXPECT_EQ(eval(LUMK_MOD_U32, 0xFFFFFFFF, 10), 5u);
    EXPECT_EQ(eval(LUMK_DIV_I64, i64(-9), 4), i64(-2));
    EXPECT_EQ(eval(LUMK_MOD_I64, 9, i64(-4)), 1u);
    EXPECT_EQ(eval(LUMK_DIV_U64, 0xFFFFFFFFFFFFFFFFull, 2), 0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_MOD_U64, 0xFFFFFFFFFFFFFFFFull, 10), 5u);

    for (uint16_t o : {LUMK_DIV_I32, LUMK_DIV_U32, LUMK_DIV_I64, LUMK_DIV_U64, LUMK_MOD_I32, LUMK_MOD_U32,
                       LUMK_MOD_I64, LUMK_MOD_U64}) {
        one r = run1(o, 1234, 0, 77);
        EXPECT_EQ(r.code, LUMK_TRAP_DIV_ZERO) << lumk_op_name(o);
        EXPECT_EQ(r.trap.value, 1234);
        EXPECT_EQ(r.trap.limit, 0u);
        EXPECT_EQ(r.result, 77u);  // the trapping instruction has no effect
    }
    const uint64_t min32 = 0xFFFFFFFF80000000ull, min64 = 0x8000000000000000ull, m1 = ~0ull;
    for (auto [o, b] : {std::pair{LUMK_DIV_I32, min32}, {LUMK_MOD_I32, min32}, {LUMK_DIV_I64, min64},
                        {LUMK_MOD_I64, min64}}) {
        one r = run1(o, b, m1, 5);
        EXPECT_EQ(r.code, LUMK_TRAP_DIV_OVERFLOW) << lumk_op_name(o);
        EXPECT_EQ(r.trap.value, static_cast<int64_t>(b));
        EXPECT_EQ(r.trap.limit, m1);
        EXPECT_EQ(r.result, 5u);
    }
    // unsigned forms have no overflow case
    EXPECT_EQ(eval(LUMK_DIV_U32, 0x80000000, 0xFFFFFFFF), 0u);
    EXPECT_EQ(eval(LUMK_DIV_U64, min64, m1), 0u);
}

TEST(ScalarInterp, DivisionByConstantMatchesDivision) {
    const uint64_t m7 = lumk_divc_multiplier(7);
    struct row { int32_t x, q, r; };
    for (const row& t : {row{-7, -1, 0}, row{-1, 0, -1}, row{0, 0, 0}, row{2147483647, 306783378, 1},
                         row{INT32_MIN, -306783378, -2}}) {
        const uint64_t x = i64(t.x);
        EXPECT_EQ(eval(LUMK_DIVC_I32, x, 0, 0, m7), i64(t.q)) << t.x;
        // c holds the divisor
        prog pr;
        pr.op(LUMK_MODC_I32, 10, 8, 7, m7).op(LUMK_END);
        pr.r(8) = x;
        ASSERT_EQ(pr.run(), 0);
        EXPECT_EQ(pr.r(10), i64(t.r)) << t.x;
    }
    // random dividends and every kind of divisor agree with DIV/MOD
    std::mt19937_64 rng(12345);
    for (uint32_t d : {2u, 3u, 7u, 10u, 641u, 1000u, 32768u, 65535u}) {
        const uint64_t m = lumk_divc_multiplier(d);
        for (int i = 0; i < 400; ++i) {
            uint32_t u = static_cast<uint32_t>(rng());
            if (i < 4) u = std::array<uint32_t, 4>{0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}[i];
            const uint64_t sx = i64(static_cast<int32_t>(u));
            prog pr;
            pr.op(LUMK_DIVC_U32, 10, 8, static_cast<uint16_t>(d), m)
                .op(LUMK_MODC_U32, 11, 8, static_cast<uint16_t>(d), m)
                .op(LUMK_DIVC_I32, 12, 9, static_cast<uint16_t>(d), m)
                .op(LUMK_MODC_I32, 13, 9, static_cast<uint16_t>(d), m)
                .op(LUMK_END);
            pr.r(8) = u;
            pr.r(9) = sx;
            ASSERT_EQ(pr.run(), 0);
            EXPECT_EQ(pr.r(10), u / d);
            EXPECT_EQ(pr.r(11), u % d);
            EXPECT_EQ(pr.r(12), eval(LUMK_DIV_I32, sx, d));
            EXPECT_EQ(pr.r(13), eval(LUMK_MOD_I32, sx, d));
        }
    }
}

TEST(ScalarInterp, BitwiseAndShifts) {
    EXPECT_EQ(eval(LUMK_AND_X, 0xF0F0, 0xFF00), 0xF000u);
    EXPECT_EQ(eval(LUMK_OR_X, 0xF0F0, 0x0F00), 0xFFF0u);
    EXPECT_EQ(eval(LUMK_XOR_X, ~0ull, 1), ~1ull);
    EXPECT_EQ(eval(LUMK_SHL_I32, 1, 33), 2u);  // count masked with 31
    EXPECT_EQ(eval(LUMK_SHL_I32, 1, 31), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_SHL_U32, 1, 31), 0x80000000ull);
    EXPECT_EQ(eval(LUMK_SHL_X64, 1, 64 + 63), 0x8000000000000000ull);
    EXPECT_EQ(eval(LUMK_SHL_X64, 3, 0x100), 3u);  // low byte 0
    EXPECT_EQ(eval(LUMK_SHR_I32, 0xFFFFFFFF80000000ull, 4), 0xFFFFFFFFF8000000ull);
    EXPECT_EQ(eval(LUMK_SHR_U32, 0x80000000, 4 + 32), 0x08000000u);
    EXPECT_EQ(eval(LUMK_SHR_I64, 0x8000000000000000ull, 64), 0x8000000000000000ull);  // shifts by 0
    EXPECT_EQ(eval(LUMK_SHR_I64, 0x8000000000000000ull, 63), ~0ull);
    EXPECT_EQ(eval(LUMK_SHR_U64, 0x8000000000000000ull, 63), 1u);
}

TEST(ScalarInterp, UnaryOperations) {
    EXPECT_EQ(eval(LUMK_NEG_I32, 1), ~0ull);
    EXPECT_EQ(eval(LUMK_NEG_I32, 0xFFFFFFFF80000000ull), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_NEG_U32, 1), 0xFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_NEG_X64, 1), ~0ull);
    EXPECT_EQ(eval(LUMK_NEG_F32, fb(0.0f)), fb(-0.0f));
    EXPECT_EQ(eval(LUMK_NEG_F64, db(k_nan)), db(k_nan) ^ 0x8000000000000000ull);
    EXPECT_EQ(eval(LUMK_NOT_X, 0), ~0ull);
    EXPECT_EQ(eval(LUMK_NOT_U32, 0), 0xFFFFFFFFull);
    EXPECT_EQ(eval(LUMK_LNOT, 0), 1u);
    EXPECT_EQ(eval(LUMK_LNOT, 0x100000000ull), 0u);
    EXPECT_EQ(eval(LUMK_ABS_I32, i64(-5)), 5u);
    EXPECT_EQ(eval(LUMK_ABS_I32, 0xFFFFFFFF80000000ull), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_ABS_I64, 0x8000000000000000ull), 0x8000000000000000ull);
    EXPECT_EQ(eval(LUMK_ABS_I64, i64(-9)), 9u);
    EXPECT_EQ(eval(LUMK_ABS_F32, fb(-0.0f)), fb(0.0f));
    EXPECT_EQ(eval(LUMK_ABS_F64, db(-k_inf)), db(k_inf));
    EXPECT_EQ(as_f(eval(LUMK_SQRT_F32, fb(2.25f))), 1.5f);
    EXPECT_TRUE(std::isnan(as_d(eval(LUMK_SQRT_F64, db(-1.0)))));
}

TEST(ScalarInterp, MinMaxKeepFirstOperandOnNanAndTies) {
    const uint64_t nf = fb(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(eval(LUMK_MIN_F32, nf, fb(1.0f)), nf);
    EXPECT_EQ(eval(LUMK_MIN_F32, fb(1.0f), nf), fb(1.0f));
    EXPECT_EQ(eval(LUMK_MAX_F32, nf, fb(1.0f)), nf);
    EXPECT_EQ(eval(LUMK_MAX_F32, fb(1.0f), nf), fb(1.0f));
    EXPECT_EQ(eval(LUMK_MIN_F32, fb(2.0f), fb(-3.0f)), fb(-3.0f));
    EXPECT_EQ(eval(LUMK_MAX_F32, fb(-0.0f), fb(0.0f)), fb(-0.0f));
    EXPECT_EQ(eval(LUMK_MIN_F32, fb(0.0f), fb(1.0f), 0xAB00000000000000ull), 0xAB00000000000000ull | fb(0.0f));
    EXPECT_EQ(eval(LUMK_MAX_F64, db(0.0), db(-0.0)), db(0.0));
    EXPECT_EQ(eval(LUMK_MAX_F64, db(-0.0), db(0.0)), db(-0.0));
    EXPECT_EQ(eval(LUMK_MIN_F64, db(0.0), db(-0.0)), db(0.0));
    EXPECT_EQ(eval(LUMK_MIN_F64, db(k_nan), db(1.0)), db(k_nan));
    EXPECT_EQ(eval(LUMK_MIN_F64, db(1.0), db(k_nan)), db(1.0));
    EXPECT_EQ(eval(LUMK_MAX_F64, db(1.0), db(2.0)), db(2.0));
    EXPECT_EQ(eval(LUMK_MIN_S, i64(-1), 5), i64(-1));
    EXPECT_EQ(eval(LUMK_MIN_U, i64(-1), 5), 5u);
    EXPECT_EQ(eval(LUMK_MAX_S, i64(-1), 5), 5u);
    EXPECT_EQ(eval(LUMK_MAX_U, i64(-1), 5), i64(-1));
}

TEST(ScalarInterp, MathFunctions) {
    EXPECT_EQ(as_f(evalc(LUMK_MATH1_F32, fb(-1.5f), LUMK_MATH_FLOOR)), -2.0f);
    EXPECT_EQ(as_f(evalc(LUMK_MATH1_F32, fb(2.5f), LUMK_MATH_ROUND)), 3.0f);
    EXPECT_EQ(as_d(evalc(LUMK_MATH1_F64, db(-2.5), LUMK_MATH_ROUND)), -3.0);
    EXPECT_EQ(as_d(evalc(LUMK_MATH1_F64, db(1.5), LUMK_MATH_CEIL)), 2.0);
    EXPECT_EQ(as_d(evalc(LUMK_MATH1_F64, db(-1.7), LUMK_MATH_TRUNC)), -1.0);
    // every one-argument function is the C library's, in both widths
    uint16_t fn = 0;
    auto same_as = [&fn](auto f) {
        EXPECT_EQ(evalc(LUMK_MATH1_F64, db(0.3), fn), db(f(0.3))) << lumk_math_name(fn);
        EXPECT_EQ(evalc(LUMK_MATH1_F32, fb(0.3f), fn), fb(f(0.3f))) << lumk_math_name(fn);
        ++fn;
    };
#define LUMK_SAME_AS(f) same_as([](auto x) { return std::f(x); })
    LUMK_SAME_AS(floor), LUMK_SAME_AS(ceil), LUMK_SAME_AS(round), LUMK_SAME_AS(trunc), LUMK_SAME_AS(sin);
    LUMK_SAME_AS(cos), LUMK_SAME_AS(tan), LUMK_SAME_AS(asin), LUMK_SAME_AS(acos), LUMK_SAME_AS(atan);
    LUMK_SAME_AS(exp), LUMK_SAME_AS(log), LUMK_SAME_AS(log2), LUMK_SAME_AS(log10);
#undef LUMK_SAME_AS
    EXPECT_EQ(fn, 14);
    // numbers outside the one-argument table give +0.0; the selector is c's low byte
    EXPECT_EQ(evalc(LUMK_MATH1_F64, db(2.0), LUMK_MATH_POW), db(0.0));
    EXPECT_EQ(evalc(LUMK_MATH1_F32, fb(2.0f), 200), fb(0.0f));
    EXPECT_EQ(as_d(evalc(LUMK_MATH1_F64, db(-1.5), 0x100 | LUMK_MATH_FLOOR)), -2.0);
    // two-argument functions take the selector from imm
    EXPECT_EQ(as_f(eval(LUMK_MATH2_F32, fb(2.0f), fb(10.0f), 0, LUMK_MATH_POW)), 1024.0f);
    EXPECT_EQ(as_d(eval(LUMK_MATH2_F64, db(1.0), db(-1.0), 0, LUMK_MATH_ATAN2)), std::atan2(1.0, -1.0));
    EXPECT_EQ(eval(LUMK_MATH2_F64, db(1.0), db(1.0), 0, LUMK_MATH_FLOOR), db(0.0));
}

TEST(ScalarInterp, ComparisonsAndFusedJumps) {
    const double vals[] = {-1.0, 0.0, -0.0, 1.0, k_nan, k_inf};
    for (uint32_t cond = 0; cond < 6; ++cond) {
        auto holds = [cond](auto x, auto y) {
            switch (cond) {
                case LUMK_COND_EQ: return x == y;
                case LUMK_COND_NE: return x != y;
                case LUMK_COND_LT: return x < y;
                case LUMK_COND_LE: return x <= y;
                case LUMK_COND_GT: return x > y;
                default: return x >= y;
            }
        };
        auto check = [&](lumk_cmp_class cls, uint64_t a, uint64_t b, bool expected) {
            const auto c = static_cast<lumk_cond>(cond);
            EXPECT_EQ(eval(lumk_op_cmp(c, cls, LUMK_CMP_VALUE), a, b), expected ? 1u : 0u)
                << lumk_op_name(lumk_op_cmp(c, cls, LUMK_CMP_VALUE)) << " " << a << " " << b;
            EXPECT_EQ(jumps(lumk_op_cmp(c, cls, LUMK_CMP_JT), a, b), expected);
            EXPECT_EQ(jumps(lumk_op_cmp(c, cls, LUMK_CMP_JF), a, b), !expected);
        };
        for (double x : vals) {
            for (double y : vals) {
                check(LUMK_CMP_F64, db(x), db(y), holds(x, y));
                check(LUMK_CMP_F32, fb(static_cast<float>(x)), fb(static_cast<float>(y)),
                      holds(static_cast<float>(x), static_cast<float>(y)));
            }
        }
        for (int64_t x : {INT64_MIN, int64_t{-1}, int64_t{0}, int64_t{1}, INT64_MAX}) {
            for (int64_t y : {INT64_MIN, int64_t{-1}, int64_t{0}, int64_t{1}}) {
                check(LUMK_CMP_S, i64(x), i64(y), holds(x, y));
                check(LUMK_CMP_U, i64(x), i64(y), holds(i64(x), i64(y)));
            }
        }
    }
    // (NaN operands and f32 upper halves: the loop above and EveryF32ResultWritesOnlyTheLowHalf.)
    // JT/JF test the whole register
    EXPECT_TRUE(jumps(LUMK_JT, 0x100000000ull, 0));
    EXPECT_FALSE(jumps(LUMK_JF, 0x100000000ull, 0));
    EXPECT_TRUE(jumps(LUMK_JF, 0, 0));
}

TEST(ScalarInterp, Conversions) {
    EXPECT_EQ(eval(LUMK_TRUNC_I8, 0x1FF), ~0ull);
    EXPECT_EQ(eval(LUMK_TRUNC_U8, ~0ull), 0xFFu);
    EXPECT_EQ(eval(LUMK_TRUNC_I16, 0x18000), 0xFFFFFFFFFFFF8000ull);
    EXPECT_EQ(eval(LUMK_TRUNC_U16, ~0ull), 0xFFFFu);
    EXPECT_EQ(eval(LUMK_TRUNC_I32, 0x180000000ull), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval(LUMK_TRUNC_U32, ~0ull), 0xFFFFFFFFull);
    EXPECT_EQ(as_f(eval(LUMK_CVT_S_F32, i64(-3))), -3.0f);
    EXPECT_EQ(as_f(eval(LUMK_CVT_U_F32, ~0ull)), 18446744073709551616.0f);
    EXPECT_EQ(as_d(eval(LUMK_CVT_S_F64, 0x8000000000000000ull)), -9223372036854775808.0);
    EXPECT_EQ(as_d(eval(LUMK_CVT_U_F64, 0x8000000000000000ull)), 9223372036854775808.0);
    EXPECT_EQ(as_d(eval(LUMK_CVT_U_F64, 0x8000000000000401ull)), 9223372036854777856.0);  // rounded up
    EXPECT_EQ(as_d(eval(LUMK_CVT_F32_F64, fb(0.1f))), static_cast<double>(0.1f));
    EXPECT_EQ(as_f(eval(LUMK_CVT_F64_F32, db(0.1))), 0.1f);
    EXPECT_EQ(as_f(eval(LUMK_CVT_F64_F32, db(1e300))), std::numeric_limits<float>::infinity());
    EXPECT_EQ(eval(LUMK_BOOL_F32, fb(-0.0f)), 0u);
    EXPECT_EQ(eval(LUMK_BOOL_F32, fb(std::nanf(""))), 1u);
    EXPECT_EQ(eval(LUMK_BOOL_F64, db(0.0)), 0u);
    EXPECT_EQ(eval(LUMK_BOOL_F64, db(1e-300)), 1u);

    // float to integer with exact range rules
    EXPECT_EQ(evalc(LUMK_CVT_F64_INT, db(255.9), LUMK_PRIM_U8), 255u);
    EXPECT_EQ(evalc(LUMK_CVT_F64_INT, db(-128.9), LUMK_PRIM_I8), i64(-128));
    EXPECT_EQ(evalc(LUMK_CVT_F64_INT, db(18446744073709549568.0), LUMK_PRIM_U64), 18446744073709549568ull);
    EXPECT_EQ(evalc(LUMK_CVT_F64_INT, db(-0.5), LUMK_PRIM_U32), 0u);
    EXPECT_EQ(evalc(LUMK_CVT_F32_INT, fb(-2.5f), LUMK_PRIM_I32), i64(-2));
    EXPECT_EQ(evalc(LUMK_CVT_F32_INT, fb(4294967040.0f), LUMK_PRIM_U32), 4294967040u);
    EXPECT_EQ(evalc(LUMK_CVT_F32_INT, fb(-1.0f), 0x100 | LUMK_PRIM_I8), i64(-1));  // target in c's low byte
    struct bad { uint16_t op; uint64_t bits; uint16_t target; double f; };
    for (const bad& t : {bad{LUMK_CVT_F64_INT, db(256.0), LUMK_PRIM_U8, 256.0},
                         bad{LUMK_CVT_F64_INT, db(9223372036854775808.0), LUMK_PRIM_I64, 9223372036854775808.0},
                         bad{LUMK_CVT_F64_INT, db(-1.0), LUMK_PRIM_U64, -1.0},
                         bad{LUMK_CVT_F64_INT, db(1.0), LUMK_PRIM_F64, 1.0},
                         bad{LUMK_CVT_F32_INT, fb(4294967296.0f), LUMK_PRIM_U32, 4294967296.0},
                         bad{LUMK_CVT_F32_INT, fb(-k_inf), LUMK_PRIM_I64, -k_inf}}) {
        prog pr;
        pr.op(t.op, 10, 8, t.target).op(LUMK_END);
        pr.r(8) = t.bits;
        pr.r(10) = 99;
        ktrap tr{};
        tr.value = 11;
        tr.limit = 12;
        EXPECT_EQ(pr.run(nullptr, 0, 1, &tr), LUMK_TRAP_CONVERT);
        EXPECT_EQ(tr.fvalue, t.f);
        EXPECT_EQ(tr.value, 11);  // value and limit untouched
        EXPECT_EQ(tr.limit, 12u);
        EXPECT_EQ(pr.r(10), 99u);
    }
    one nan = run1(LUMK_CVT_F64_INT, db(k_nan), 0, 0, 0, LUMK_PRIM_I32);
    EXPECT_EQ(nan.code, LUMK_TRAP_CONVERT);
    EXPECT_TRUE(std::isnan(nan.trap.fvalue));
}

// Every load and store form is in EveryMemoryOpcodeAddressesExtendsAndChecks;
// here the index and slot cases it does not reach.
TEST(ScalarInterp, NegativeIndexFrameSlotAndAddresses) {
    int32_t a[7] = {10, 11, 12, 13, 14, 15, 16};
    kptr s = slot(a, 7, 4);
    {  // a negative index is a huge unsigned one
        prog pr;
        pr.op(LUMK_LD_I32, 10, 0, 5, 0).op(LUMK_END);
        pr.r(5) = ~0ull;
        ktrap tr{};
        EXPECT_EQ(pr.run(&s, 0, 1, &tr), LUMK_TRAP_BOUNDS);
        EXPECT_EQ(tr.value, -1);
        EXPECT_EQ(tr.limit, 7u);
    }
    {  // the frame slot: one element covering the frame; index 1 traps
        alignas(8) uint8_t frame[24] = {};
        const double v = 6.25;
        std::memcpy(frame + 16, &v, 8);
        kptr slots[2] = {s, slot(frame, 1, 24)};
        prog pr;
        pr.op(LUMK_LDF_F64, 10, 1, 8, 16).op(LUMK_END);
        ASSERT_EQ(pr.run(slots), 0);
        EXPECT_EQ(as_d(pr.r(10)), 6.25);
        pr.r(8) = 1;
        EXPECT_EQ(pr.run(slots), LUMK_TRAP_BOUNDS);
    }
    {  // ADDR/ADDRU produce byte addresses; LDR/STR go through them
        prog pr;
        pr.op(LUMK_ADDR, 10, 0, 8)
            .op(LUMK_LDR_I32, 11, 10, 0, 4)
            .op(LUMK_ADDRU, 12, 0, 9)
            .op(LUMK_STR_I32, 11, 12, 0, 0)
            .op(LUMK_END);
        pr.r(8) = 1;
        pr.r(9) = 0;
        ASSERT_EQ(pr.run(&s), 0);
        EXPECT_EQ(pr.r(10), reinterpret_cast<uintptr_t>(&a[1]));
        EXPECT_EQ(pr.r(11), 12u);
        EXPECT_EQ(a[0], 12);
        pr.r(8) = 7;
        ktrap tr{};
        EXPECT_EQ(pr.run(&s, 0, 1, &tr), LUMK_TRAP_BOUNDS);
        EXPECT_EQ(tr.value, 7);
    }
}

TEST(ScalarInterp, BlockCopyZeroAndIndexCheck) {
    uint8_t buf[16];
    for (int i = 0; i < 16; ++i) buf[i] = static_cast<uint8_t>(i);
    prog pr;
    pr.op(LUMK_COPY, 8, 9, 0, 8).op(LUMK_ZERO, 10, 0, 0, 2).op(LUMK_ZERO, 10, 0, 0, 0).op(LUMK_END);
    pr.r(8) = reinterpret_cast<uintptr_t>(buf + 2);  // overlapping ranges copy like memmove
    pr.r(9) = reinterpret_cast<uintptr_t>(buf);
    pr.r(10) = reinterpret_cast<uintptr_t>(buf + 14);
    ASSERT_EQ(pr.run(), 0);
    const uint8_t want[16] = {0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 13, 0, 0};
    EXPECT_EQ(std::memcmp(buf, want, 16), 0);

    prog chk;
    chk.op(LUMK_CHKIDX, 8, 0, 0, 4).op(LUMK_MOV, 10, 8).op(LUMK_END);
    chk.r(8) = 3;
    ASSERT_EQ(chk.run(), 0);
    EXPECT_EQ(chk.r(10), 3u);
    chk.r(8) = 4;
    ktrap tr{};
    EXPECT_EQ(chk.run(nullptr, 0, 1, &tr), LUMK_TRAP_INDEX);
    EXPECT_EQ(tr.value, 4);
    EXPECT_EQ(tr.limit, 4u);
    EXPECT_EQ(chk.r(10), 3u);
}

TEST(ScalarInterp, AtomicAdds) {
    alignas(8) uint8_t mem[32] = {};
    const uint32_t u = 0xFFFFFFFF;
    std::memcpy(mem + 4, &u, 4);
    kptr s4 = slot(mem, 8, 4);
    prog pr;
    pr.op(LUMK_AADD_32, 10, 0, 8, 9)  // element 1 += R(9)
        .op(LUMK_AADD_I32, 11, 0, 8, 9)
        .op(LUMK_AADDR_64, 12, 13, 9, 8)  // *(R(13) + 8) += R(9)
        .op(LUMK_AADDR_32, 14, 13, 9, 16)
        .op(LUMK_END);
    pr.r(9) = 1;
    pr.r(8) = 1;
    pr.r(13) = reinterpret_cast<uintptr_t>(mem);
    ASSERT_EQ(pr.run(&s4), 0);
    EXPECT_EQ(pr.r(10), 0xFFFFFFFFull);          // old value zero-extended
    EXPECT_EQ(pr.r(11), 0u);                     // wrapped to 0 by the first add
    EXPECT_EQ(pr.r(12), 0u);
    EXPECT_EQ(pr.r(14), 0u);
    uint32_t now;
    std::memcpy(&now, mem + 4, 4);
    EXPECT_EQ(now, 1u);
    ASSERT_EQ(pr.run(&s4), 0);
    EXPECT_EQ(pr.r(11), 2u);
    EXPECT_EQ(pr.r(12), 1u);  // the 64-bit word at byte 8 was incremented by the first run
    {
        prog neg;
        neg.op(LUMK_AADD_I32, 10, 0, 8, 9).op(LUMK_END);
        const int32_t m = -5;
        std::memcpy(mem + 4, &m, 4);
        neg.r(8) = 1;
        ASSERT_EQ(neg.run(&s4), 0);
        EXPECT_EQ(neg.r(10), i64(-5));  // old value sign-extended
    }
    // bounds first, then alignment
    ktrap tr{};
    pr.r(8) = 8;
    EXPECT_EQ(pr.run(&s4, 0, 1, &tr), LUMK_TRAP_BOUNDS);
    kptr odd = slot(mem + 2, 4, 4);
    pr.r(8) = 0;
    EXPECT_EQ(pr.run(&odd, 0, 1, &tr), LUMK_TRAP_ALIGN);
    EXPECT_EQ(tr.value, static_cast<int64_t>(reinterpret_cast<uintptr_t>(mem + 2)));
    EXPECT_EQ(tr.limit, 4u);
    prog r64;
    r64.op(LUMK_AADDR_64, 10, 8, 9, 4).op(LUMK_END);
    r64.r(8) = reinterpret_cast<uintptr_t>(mem);
    EXPECT_EQ(r64.run(nullptr, 0, 1, &tr), LUMK_TRAP_ALIGN);
    EXPECT_EQ(tr.limit, 8u);
    EXPECT_EQ(tr.value, static_cast<int64_t>(reinterpret_cast<uintptr_t>(mem + 4)));

    // concurrent work items on several threads see a consistent total
    alignas(8) uint64_t total[2] = {0, 0};
    kptr ts = slot(total, 2, 8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&ts] {
            prog w;
            w.op(LUMK_AADD_64, 10, 0, 8, 9).op(LUMK_AADD_32, 10, 0, 11, 9).op(LUMK_END);
            w.r(8) = 0;
            w.r(9) = 3;
            w.r(11) = 2;  // the low word of element 1, as a 4-byte location
            kptr slots[1] = {ts};
            slots[0].count = 4;
            slots[0].stride = 4;
            EXPECT_EQ(w.run(slots, 0, 5000), 0);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(total[0], 4u * 5000u * 3u);
    EXPECT_EQ(total[1], 4u * 5000u * 3u);
}

TEST(ScalarInterp, RunLoopRangesAndRegisters) {
    {  // an empty range touches nothing
        prog pr;
        pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(LUMK_END);
        pr.r(0) = 777;
        EXPECT_EQ(pr.run(nullptr, 5, 5), 0);
        EXPECT_EQ(pr.run(nullptr, 6, 5), 0);
        EXPECT_EQ(pr.r(0), 777u);
        EXPECT_EQ(pr.r(10), 0u);
        // registers keep their values between work items
        EXPECT_EQ(pr.run(nullptr, 10, 15), 0);
        EXPECT_EQ(pr.r(10), 5u);
        EXPECT_EQ(pr.r(0), 14u);
    }
    {  // an empty program finishes at once
        prog pr;
        EXPECT_EQ(pr.run(nullptr, 0, 10), 0);
    }
    {  // start_pc applies to the first work item only
        prog pr;
        for (int i = 0; i < 5; ++i) pr.op(LUMK_ADDI_X64, 10, 10, 0, 1);
        pr.op(LUMK_ADDI_X64, 11, 11, 0, 1).op(LUMK_END);
        EXPECT_EQ(pr.run(nullptr, 0, 2, nullptr, nullptr, 5), 0);
        EXPECT_EQ(pr.r(10), 5u);
        EXPECT_EQ(pr.r(11), 2u);
        ktrap tr{};
        EXPECT_EQ(pr.run(nullptr, 0, 2, &tr, nullptr, 7), LUMK_TRAP_ABORT);  // past the end
        EXPECT_EQ(tr.pc, 7u);
    }
    {  // a trap in the second work item keeps every earlier effect
        prog pr;
        pr.op(LUMK_ADDI_X64, 10, 10, 0, 1)
            .op(LUMK_SUB_X64, 11, 0, 12)
            .op(LUMK_DIV_U64, 13, 14, 11)
            .op(LUMK_END);
        pr.r(12) = 6;
        pr.r(13) = 55;
        pr.r(14) = 100;
        ktrap tr{};
        EXPECT_EQ(pr.run(nullptr, 5, 9, &tr), LUMK_TRAP_DIV_ZERO);
        EXPECT_EQ(tr.gid, 6u);
        EXPECT_EQ(tr.pc, 2u);
        EXPECT_EQ(tr.value, 100);
        EXPECT_EQ(pr.r(10), 2u);
        EXPECT_EQ(pr.r(11), 0u);
        EXPECT_EQ(pr.r(13), 0u);  // written by the first work item: 100 / (5 - 6) unsigned
    }
}

TEST(ScalarInterp, TwoDimensionalStepping) {
    uint64_t xs[8] = {}, ys[8] = {};
    kptr slots[2] = {slot(xs, 8, 8), slot(ys, 8, 8)};
    prog pr;
    pr.p->is_2d = 1;
    pr.op(LUMK_ST_U64, 3, 0, 0, 0).op(LUMK_ST_U64, 4, 1, 0, 0).op(LUMK_END);
    // Rows of width 2, then wider rows (x and y are stepped, not recomputed),
    // then a width of 0, which counts as 1 instead of dividing by zero.
    for (const auto& [width, begin, end] : {std::array<uint64_t, 3>{2, 1, 4}, {3, 2, 8}, {0, 0, 3}}) {
        SCOPED_TRACE(width);
        pr.r(5) = width;
        ASSERT_EQ(pr.run(slots, begin, end), 0);
        const uint64_t cols = width ? width : 1;
        for (uint64_t g = begin; g < end; ++g) {
            EXPECT_EQ(xs[g], g % cols);
            EXPECT_EQ(ys[g], g / cols);
        }
    }
    // a 1-D program leaves gid_x and gid_y alone
    prog flat;
    flat.op(LUMK_END);
    flat.r(3) = 42;
    flat.r(5) = 2;
    ASSERT_EQ(flat.run(nullptr, 0, 3), 0);
    EXPECT_EQ(flat.r(3), 42u);
}

TEST(ScalarInterp, LoopPollsAbortFlag) {
    prog pr;
    pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(LUMK_JTEQ_X, 10, 11, 0, 3).op(LUMK_LOOP, 0, 0, 0, 0).op(LUMK_END);
    pr.r(11) = 1000;
    EXPECT_EQ(pr.run(), 0);  // null abort pointer: always jumps
    EXPECT_EQ(pr.r(10), 1000u);
    volatile uint8_t flag = 0;
    pr.r(10) = 0;
    EXPECT_EQ(pr.run(nullptr, 0, 1, nullptr, &flag), 0);
    flag = 1;
    pr.r(10) = 0;
    ktrap tr{};
    tr.value = 5;
    tr.limit = 5;
    EXPECT_EQ(pr.run(nullptr, 3, 4, &tr, &flag), LUMK_TRAP_ABORT);  // stops at the first back-edge
    EXPECT_EQ(pr.r(10), 1u);
    EXPECT_EQ(tr.pc, 2u);
    EXPECT_EQ(tr.gid, 3u);
    EXPECT_EQ(tr.value, 0);
    EXPECT_EQ(tr.limit, 0u);
    // a program without loops does not look at the flag
    prog flat;
    flat.op(LUMK_END);
    EXPECT_EQ(flat.run(nullptr, 0, 10, nullptr, &flag), 0);
}

TEST(ScalarInterp, UnknownOpcodeStopsQuietly) {
    prog pr;
    pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(270).op(LUMK_END);
    ktrap tr{};
    tr.code = 0xAB00;  // only the low byte is written
    tr.value = 9;
    tr.limit = 9;
    EXPECT_EQ(pr.run(nullptr, 4, 6, &tr), LUMK_TRAP_ABORT);
    EXPECT_EQ(tr.code, 0xAB07u);
    EXPECT_EQ(tr.pc, 1u);
    EXPECT_EQ(tr.gid, 4u);
    EXPECT_EQ(tr.value, 0);
    EXPECT_EQ(tr.limit, 0u);
    EXPECT_EQ(pr.r(10), 1u);
    EXPECT_EQ(lumk_trap_message(*pr.p, tr), "aborted");
    pr.p->code[1].op = 0xFFFF;
    EXPECT_EQ(pr.run(nullptr, 0, 1, &tr), LUMK_TRAP_ABORT);
}

TEST(ScalarInterp, TrapTexts) {
    prog pr;
    pr.p->ptr_count = 1;
    pr.p->frame_slot = 1;
    lumk_param buf;
    buf.name = "buf";
    buf.type.prim = LUMK_PRIM_I32;
    buf.type.is_pointer = 1;
    buf.slot = 0;
    lumk_param n;  // a value parameter whose register number equals slot 1
    n.name = "n";
    n.reg = 1;
    n.slot = 1;
    pr.p->params = {n, buf};
    pr.op(LUMK_LD_I32, 10, 0, 8, 0)   // 0
        .op(LUMK_LD_I32, 10, 1, 8, 0)  // 1: frame slot
        .op(LUMK_DIV_U64, 10, 8, 9)    // 2
        .op(LUMK_MOD_I32, 10, 8, 9)    // 3
        .op(LUMK_CVT_F64_INT, 10, 8, LUMK_PRIM_U8)  // 4
        .op(LUMK_CVT_F64_INT, 10, 8, 13)            // 5
        .op(LUMK_END);

    auto text = [&](uint32_t code, uint32_t pc, int64_t value = 0, uint64_t limit = 0, double f = 0) {
        ktrap t{};
        t.code = code;
        t.pc = pc;
        t.value = value;
        t.limit = limit;
        t.fvalue = f;
        return lumk_trap_message(*pr.p, t);
    };
    EXPECT_EQ(text(1, 0, 12, 10), "index 12 is out of bounds of 'buf' (10 elements)");
    EXPECT_EQ(text(1, 1, 1, 1), "index 1 is out of bounds of '?' (1 elements)");  // no frame: not "frame"
    pr.p->frame_bytes = 16;
    EXPECT_EQ(text(1, 1, 1, 1), "index 1 is out of bounds of 'frame' (1 elements)");
    EXPECT_EQ(text(1, 99, -1, 3), "index -1 is out of bounds of '?' (3 elements)");
    EXPECT_EQ(text(2, 2), "integer division by zero");
    EXPECT_EQ(text(2, 3), "integer modulo by zero");
    EXPECT_EQ(text(2, 99), "integer division by zero");
    EXPECT_EQ(text(3, 3, INT32_MIN, ~0ull), "integer division overflow (-2147483648 / -1)");
    EXPECT_EQ(text(4, 4, 0, 0, 300.5), "float value 300.5 does not fit into u8");
    EXPECT_EQ(text(4, 4, 0, 0, 1234567.0), "float value 1.23457e+06 does not fit into u8");
    EXPECT_EQ(text(4, 5, 0, 0, 1.0), "float value 1 does not fit into ?");
    EXPECT_EQ(text(4, 99, 0, 0, 1.0), "float value 1 does not fit into ?");
    EXPECT_EQ(text(5, 0, 8, 4), "array index 8 is out of bounds (array size 4)");
    EXPECT_EQ(text(6, 0, 4098, 8), "atomic access to an address that is not aligned to 8 bytes");
    EXPECT_EQ(text(7, 0), "aborted");
    EXPECT_EQ(text(0, 0), "unknown error");
    EXPECT_EQ(text(8, 0), "unknown error");
    EXPECT_EQ(text(9, 0), "unknown error");
    EXPECT_EQ(text(0x101, 0, 1, 1), "index 1 is out of bounds of 'buf' (1 elements)");  // low byte only

    // texts of traps the interpreter produced
    int32_t ten[10] = {};
    kptr s[2] = {slot(ten, 10, 4), {}};
    pr.r(8) = 12;
    ktrap tr{};
    ASSERT_EQ(pr.run(s, 0, 1, &tr), LUMK_TRAP_BOUNDS);
    EXPECT_EQ(lumk_trap_message(*pr.p, tr), "index 12 is out of bounds of 'buf' (10 elements)");
    prog mod;
    mod.op(LUMK_MOD_I32, 10, 8, 9).op(LUMK_END);
    mod.r(8) = 0xFFFFFFFF80000000ull;
    mod.r(9) = ~0ull;
    ASSERT_EQ(mod.run(nullptr, 0, 1, &tr), LUMK_TRAP_DIV_OVERFLOW);
    EXPECT_EQ(lumk_trap_message(*mod.p, tr), "integer division overflow (-2147483648 / -1)");
    mod.r(9) = 0;
    ASSERT_EQ(mod.run(nullptr, 0, 1, &tr), LUMK_TRAP_DIV_ZERO);
    EXPECT_EQ(lumk_trap_message(*mod.p, tr), "integer modulo by zero");
    prog cvt;
    cvt.op(LUMK_CVT_F64_INT, 10, 8, LUMK_PRIM_U8).op(LUMK_END);
    cvt.r(8) = db(300.5);
    ASSERT_EQ(cvt.run(nullptr, 0, 1, &tr), LUMK_TRAP_CONVERT);
    EXPECT_EQ(lumk_trap_message(*cvt.p, tr), "float value 300.5 does not fit into u8");
}

TEST(ScalarInterp, EveryMemoryOpcodeAddressesExtendsAndChecks) {
    // Each of the 100 load/store opcodes, through its own addressing: element
    // index plus element offset (LD/ST), element index times stride plus byte
    // offset (LDF/STF), register address plus byte offset (LDR/STR). Loads
    // extend into the canonical form, stores write exactly the element's bytes,
    // and the checked forms trap without an effect.
    constexpr uint64_t stride = 24;  // the LDF/STF rows: 3 records of 24 bytes
    for (uint32_t p = LUMK_PRIM_I8; p <= LUMK_PRIM_F64; ++p) {
        const uint32_t w = lumk_prim_size(p);
        for (uint32_t k = 0; k < 10; ++k) {
            const auto kind = static_cast<lumk_mem_kind>(k);
            const uint16_t op = lumk_op_mem(kind, p);
            const bool store = kind >= LUMK_MEM_ST;
            const lumk_mem_kind base_kind = static_cast<lumk_mem_kind>(store ? k - 5 : k);
            const bool checked = base_kind == LUMK_MEM_LD || base_kind == LUMK_MEM_LDF;
            alignas(8) uint8_t mem[96];
            for (uint32_t i = 0; i < sizeof mem; ++i) mem[i] = static_cast<uint8_t>(0x80 + 7 * i);
            uint8_t before[96];
            std::memcpy(before, mem, sizeof mem);

            // Operands and the address they reach.
            kptr s{};
            uint64_t index = 0, imm = 0, addr_off = 0, bad_index = 0, count = 0;
            if (base_kind == LUMK_MEM_LD || base_kind == LUMK_MEM_LDU) {
                count = 96 / w;
                s = slot(mem, count, w);
                index = count - 3;
                imm = 2;  // element count - 1
                addr_off = (count - 1) * w;
                bad_index = count - 2;  // + imm = count
            } else if (base_kind == LUMK_MEM_LDF || base_kind == LUMK_MEM_LDFU) {
                count = 3;
                s = slot(mem, count, stride);
                index = 2;
                imm = 8;  // byte offset inside the record
                addr_off = 2 * stride + 8;
                bad_index = 3;
            } else {
                index = 0;
                imm = 40;
                addr_off = 40;
            }
            prog pr;
            const uint16_t value_reg = 10, index_reg = 8, addr_reg = 9;
            if (base_kind == LUMK_MEM_LDR) {
                pr.op(op, value_reg, addr_reg, 0, imm);
            } else {
                pr.op(op, value_reg, 0, index_reg, imm);
            }
            pr.op(LUMK_END);
            pr.r(index_reg) = index;
            pr.r(addr_reg) = reinterpret_cast<uintptr_t>(mem);
            const uint64_t preset = 0xA5A5A5A5A5A5A5A5ull;
            const uint64_t value = 0x0807060504030201ull;
            pr.r(value_reg) = store ? value : preset;
            const std::string what = lumk_op_name(op);
            ASSERT_EQ(pr.run(&s), 0) << what;

            uint64_t raw = 0;
            std::memcpy(&raw, before + addr_off, w);
            if (!store) {
                uint64_t want = lumk_reg_canonical(p, raw);
                if (p == LUMK_PRIM_F32) want = (preset & 0xFFFFFFFF00000000ull) | raw;
                EXPECT_EQ(pr.r(value_reg), want) << what;
                EXPECT_EQ(std::memcmp(mem, before, sizeof mem), 0) << what;
            } else {
                for (uint32_t i = 0; i < sizeof mem; ++i) {
                    const bool inside = i >= addr_off && i < addr_off + w;
                    const uint8_t want = inside ? static_cast<uint8_t>(i - addr_off + 1) : before[i];
                    EXPECT_EQ(mem[i], want) << what << " byte " << i;
                }
            }
            if (!checked) continue;
            // One element past the end traps with the index and the count, and
            // has no effect.
            std::memcpy(mem, before, sizeof mem);
            pr.r(index_reg) = bad_index;
            pr.r(value_reg) = store ? value : preset;
            ktrap tr{};
            ASSERT_EQ(pr.run(&s, 0, 1, &tr), LUMK_TRAP_BOUNDS) << what;
            EXPECT_EQ(tr.value, static_cast<int64_t>(count)) << what;
            EXPECT_EQ(tr.limit, count) << what;
            EXPECT_EQ(tr.pc, 0u) << what;
            EXPECT_EQ(pr.r(value_reg), store ? value : preset) << what;
            EXPECT_EQ(std::memcmp(mem, before, sizeof mem), 0) << what;
        }
    }
}

TEST(ScalarInterp, EveryF32ResultWritesOnlyTheLowHalf) {
    // Sources carry garbage in their upper halves (f32 readers look only at the
    // low 32 bits); the destination's upper half must survive every f32 writer.
    const uint64_t up_b = 0x1234567800000000ull, up_c = 0x9ABCDEF000000000ull, up_a = 0xA5A5A5A500000000ull;
    struct row {
        uint16_t op;
        uint64_t b, c;  // sources, low halves only for f32 operands
        uint16_t cfield;
        uint64_t imm;
        float want;
        bool c_is_reg;
    };
    const row rows[] = {
        {LUMK_ADD_F32, fb(1.5f), fb(2.0f), 0, 0, 3.5f, true},
        {LUMK_SUB_F32, fb(1.5f), fb(2.0f), 0, 0, -0.5f, true},
        {LUMK_MUL_F32, fb(1.5f), fb(2.0f), 0, 0, 3.0f, true},
        {LUMK_DIV_F32, fb(1.5f), fb(2.0f), 0, 0, 0.75f, true},
        {LUMK_MOD_F32, fb(5.5f), fb(2.0f), 0, 0, 1.5f, true},
        {LUMK_MIN_F32, fb(1.5f), fb(2.0f), 0, 0, 1.5f, true},
        {LUMK_MAX_F32, fb(1.5f), fb(2.0f), 0, 0, 2.0f, true},
        {LUMK_MATH2_F32, fb(2.0f), fb(3.0f), 0, LUMK_MATH_POW, 8.0f, true},
        {LUMK_NEG_F32, fb(1.5f), 0, 0, 0, -1.5f, false},
        {LUMK_ABS_F32, fb(-1.5f), 0, 0, 0, 1.5f, false},
        {LUMK_SQRT_F32, fb(6.25f), 0, 0, 0, 2.5f, false},
        {LUMK_MATH1_F32, fb(-1.5f), 0, LUMK_MATH_FLOOR, 0, -2.0f, false},
    };
    for (const row& t : rows) {
        prog pr;
        pr.op(t.op, 10, 8, t.c_is_reg ? 9 : t.cfield, t.imm).op(LUMK_END);
        pr.r(8) = up_b | t.b;
        pr.r(9) = up_c | t.c;
        pr.r(10) = up_a;
        ASSERT_EQ(pr.run(), 0) << lumk_op_name(t.op);
        EXPECT_EQ(pr.r(10), up_a | fb(t.want)) << lumk_op_name(t.op);
    }
    // Conversions into f32 read whole integer or f64 registers.
    struct cvt {
        uint16_t op;
        uint64_t b;
        float want;
    };
    for (const cvt& t : {cvt{LUMK_CVT_S_F32, i64(-7), -7.0f}, cvt{LUMK_CVT_U_F32, 0x8000000000000000ull, 9223372036854775808.0f},
                         cvt{LUMK_CVT_F64_F32, db(-0.25), -0.25f}}) {
        prog pr;
        pr.op(t.op, 10, 8).op(LUMK_END);
        pr.r(8) = t.b;
        pr.r(10) = up_a;
        ASSERT_EQ(pr.run(), 0) << lumk_op_name(t.op);
        EXPECT_EQ(pr.r(10), up_a | fb(t.want)) << lumk_op_name(t.op);
    }
    // Readers of f32 operands ignore the upper halves too.
    prog pr;
    pr.op(LUMK_CVT_F32_F64, 10, 8)
        .op(LUMK_CVT_F32_INT, 11, 8, LUMK_PRIM_I32)
        .op(LUMK_BOOL_F32, 12, 9)
        .op(LUMK_CMPLT_F32, 13, 8, 9)
        .op(LUMK_END);
    pr.r(8) = up_b | fb(-2.5f);
    pr.r(9) = up_c;  // +0.0 in the low half
    ASSERT_EQ(pr.run(), 0);
    EXPECT_EQ(as_d(pr.r(10)), -2.5);
    EXPECT_EQ(pr.r(11), i64(-2));
    EXPECT_EQ(pr.r(12), 0u);
    EXPECT_EQ(pr.r(13), 1u);
}

TEST(ScalarInterp, NopJumpAndRegisterAtomicAdd) {
    alignas(8) uint8_t mem[16] = {};
    const int32_t start = -3;
    std::memcpy(mem + 4, &start, 4);
    prog pr;
    pr.op(LUMK_NOP)
        .op(LUMK_JMP, 0, 0, 0, 3)
        .op(LUMK_MOV, 11, 12)  // skipped
        .op(LUMK_AADDR_I32, 10, 8, 9, 4)
        .op(LUMK_END);
    pr.r(8) = reinterpret_cast<uintptr_t>(mem);
    pr.r(9) = 0x100000001ull;  // only the low 32 bits are added
    pr.r(12) = 5;
    ASSERT_EQ(pr.run(nullptr, 0, 2), 0);
    EXPECT_EQ(pr.r(11), 0u);
    EXPECT_EQ(pr.r(10), i64(-2));  // old value of the second work item, sign-extended
    int32_t now;
    std::memcpy(&now, mem + 4, 4);
    EXPECT_EQ(now, -1);
    EXPECT_EQ(mem[8], 0u);  // a 4-byte location: the next word is untouched
}
