// Reductions: identities, pairwise combination and lane folds, checked
// against the edge cases of each operator and against folds built from
// pairwise combination.

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <vector>

#include "kernel/exec/reduce.h"

namespace {

uint64_t fb(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t db(double d) { return std::bit_cast<uint64_t>(d); }
uint64_t i64(int64_t v) { return static_cast<uint64_t>(v); }
const float k_nanf = std::numeric_limits<float>::quiet_NaN();

uint64_t fold(lumk_reduce_op op, lumk_prim t, std::vector<uint64_t> v) {
    return lumk_reduce_fold(op, t, lumk_reduce_identity(op, t), v.data(), static_cast<uint32_t>(v.size()));
}

TEST(Reduce, Identities) {
    struct row { lumk_reduce_op op; lumk_prim t; uint64_t want; };
    const row rows[] = {
        {LUMK_REDUCE_ADD, LUMK_PRIM_F32, 0}, {LUMK_REDUCE_ADD, LUMK_PRIM_U64, 0},
        {LUMK_REDUCE_MIN, LUMK_PRIM_I32, 0x7FFFFFFFull}, {LUMK_REDUCE_MIN, LUMK_PRIM_U32, 0xFFFFFFFFull},
        {LUMK_REDUCE_MIN, LUMK_PRIM_I64, 0x7FFFFFFFFFFFFFFFull}, {LUMK_REDUCE_MIN, LUMK_PRIM_U64, ~0ull},
        {LUMK_REDUCE_MIN, LUMK_PRIM_F32, 0x7F800000ull}, {LUMK_REDUCE_MIN, LUMK_PRIM_F64, 0x7FF0000000000000ull},
        {LUMK_REDUCE_MAX, LUMK_PRIM_I32, 0xFFFFFFFF80000000ull}, {LUMK_REDUCE_MAX, LUMK_PRIM_U32, 0},
        {LUMK_REDUCE_MAX, LUMK_PRIM_I64, 0x8000000000000000ull}, {LUMK_REDUCE_MAX, LUMK_PRIM_U64, 0},
        {LUMK_REDUCE_MAX, LUMK_PRIM_F32, 0xFF800000ull}, {LUMK_REDUCE_MAX, LUMK_PRIM_F64, 0xFFF0000000000000ull},
        {LUMK_REDUCE_AND, LUMK_PRIM_I32, ~0ull}, {LUMK_REDUCE_AND, LUMK_PRIM_U32, 0xFFFFFFFFull},
        {LUMK_REDUCE_AND, LUMK_PRIM_I64, ~0ull}, {LUMK_REDUCE_AND, LUMK_PRIM_U64, ~0ull},
        {LUMK_REDUCE_AND, LUMK_PRIM_BOOL, 1}, {LUMK_REDUCE_OR, LUMK_PRIM_BOOL, 0}, {LUMK_REDUCE_XOR, LUMK_PRIM_U32, 0},
        {LUMK_REDUCE_NONE, LUMK_PRIM_I32, 0}, {7, LUMK_PRIM_U64, 0},
    };
    for (const row& r : rows) EXPECT_EQ(lumk_reduce_identity(r.op, r.t), r.want) << int(r.op) << " " << int(r.t);
}

TEST(Reduce, EdgeCases) {
    EXPECT_EQ(fold(LUMK_REDUCE_MIN, LUMK_PRIM_F32, {fb(k_nanf), fb(1.0f)}), fb(1.0f));
    EXPECT_EQ(lumk_reduce_fold(LUMK_REDUCE_MIN, LUMK_PRIM_F32, fb(k_nanf), std::vector<uint64_t>{fb(1.0f)}.data(), 1),
              fb(k_nanf));
    EXPECT_EQ(fold(LUMK_REDUCE_MAX, LUMK_PRIM_F64, {db(-0.0), db(0.0)}), db(-0.0));
    EXPECT_EQ(fold(LUMK_REDUCE_ADD, LUMK_PRIM_I32, {0x7FFFFFFF, 1}), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(fold(LUMK_REDUCE_ADD, LUMK_PRIM_U32, {0xFFFFFFFF, 1}), 0u);
    EXPECT_EQ(fold(LUMK_REDUCE_AND, LUMK_PRIM_BOOL, {1, 1, 0}), 0u);
    EXPECT_EQ(fold(LUMK_REDUCE_XOR, LUMK_PRIM_BOOL, {1, 1, 1}), 1u);
    EXPECT_EQ(fold(LUMK_REDUCE_MIN, LUMK_PRIM_U64, {~0ull, 5}), 5u);
    EXPECT_EQ(fold(LUMK_REDUCE_MIN, LUMK_PRIM_I64, {i64(-1), 5}), i64(-1));
    EXPECT_EQ(fold(LUMK_REDUCE_MAX, LUMK_PRIM_I32, {i64(-7), i64(-3)}), i64(-3));
    EXPECT_EQ(lumk_reduce_fold(LUMK_REDUCE_ADD, LUMK_PRIM_F64, db(2.5), nullptr, 0), db(2.5));
    // f32 results keep the accumulator's upper half.
    EXPECT_EQ(lumk_reduce_combine(LUMK_REDUCE_ADD, LUMK_PRIM_F32, 0xABCD000000000000ull | fb(1.0f), fb(2.0f)),
              0xABCD000000000000ull | fb(3.0f));
    EXPECT_EQ(lumk_reduce_combine(LUMK_REDUCE_MIN, LUMK_PRIM_F32, 0x1234000000000000ull | fb(5.0f), fb(2.0f)),
              0x1234000000000000ull | fb(2.0f));
    EXPECT_EQ(lumk_reduce_combine(LUMK_REDUCE_NONE, LUMK_PRIM_I32, 9, 4), 9u);
}

// A fold is the pairwise combination applied left to right, bit for bit
// (float sums keep their order).
TEST(Reduce, FoldEqualsCombineInOrder) {
    std::mt19937_64 rng(3);
    const lumk_prim types[] = {LUMK_PRIM_I32, LUMK_PRIM_U32, LUMK_PRIM_I64, LUMK_PRIM_U64, LUMK_PRIM_F32, LUMK_PRIM_F64};
    for (lumk_reduce_op op = 1; op <= 6; ++op) {
        for (lumk_prim t : types) {
            const bool is_float = t == LUMK_PRIM_F32 || t == LUMK_PRIM_F64;
            if (is_float && op >= LUMK_REDUCE_AND) continue;
            for (uint32_t n : {1u, 3u, 64u}) {
                std::vector<uint64_t> v(n);
                for (uint64_t& x : v) {
                    const double d = double(int64_t(rng() % 2000001) - 1000000) / 977.0;
                    x = t == LUMK_PRIM_F32 ? fb(float(d)) : t == LUMK_PRIM_F64 ? db(d) : rng();
                    if (t == LUMK_PRIM_I32) x = i64(int32_t(x));
                    if (t == LUMK_PRIM_U32) x &= 0xFFFFFFFFu;
                }
                uint64_t want = lumk_reduce_identity(op, t);
                for (uint64_t x : v) want = lumk_reduce_combine(op, t, want, x);
                EXPECT_EQ(fold(op, t, v), want) << int(op) << " " << int(t) << " " << n;
            }
        }
    }
}

}  // namespace
