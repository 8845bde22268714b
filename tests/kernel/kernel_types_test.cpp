// The exact float-to-integer ranges that constant folding and the engines
// share.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "kernel/compiler/kernel_types.h"

TEST(KernelTypes, FloatToIntegerRanges) {
    uint64_t out = 0;
    // exact bounds of every 8/16/32-bit target, fractions truncated toward zero
    struct row { uint32_t t; double lo, hi; };
    for (const row& r : {row{LUMK_PRIM_I8, -128, 127}, row{LUMK_PRIM_U8, 0, 255}, row{LUMK_PRIM_I16, -32768, 32767},
                         row{LUMK_PRIM_U16, 0, 65535}, row{LUMK_PRIM_I32, -2147483648.0, 2147483647.0},
                         row{LUMK_PRIM_U32, 0, 4294967295.0}}) {
        ASSERT_TRUE(lumk_f2i(r.lo, r.t, out)) << r.t;
        EXPECT_EQ(static_cast<int64_t>(out), static_cast<int64_t>(r.lo));
        ASSERT_TRUE(lumk_f2i(r.hi + 0.99, r.t, out)) << r.t;
        EXPECT_EQ(static_cast<int64_t>(out), static_cast<int64_t>(r.hi));
        EXPECT_TRUE(lumk_f2i(r.lo - 0.99, r.t, out)) << r.t;  // trunc(-x.99) stays in range
        EXPECT_FALSE(lumk_f2i(r.lo - 1, r.t, out)) << r.t;
        EXPECT_FALSE(lumk_f2i(r.hi + 1, r.t, out)) << r.t;
    }
    // signed results are sign-extended to 64 bits
    ASSERT_TRUE(lumk_f2i(-5.7, LUMK_PRIM_I16, out));
    EXPECT_EQ(out, 0xFFFFFFFFFFFFFFFBull);
    ASSERT_TRUE(lumk_f2i(-0.5, LUMK_PRIM_U8, out));
    EXPECT_EQ(out, 0u);
    // i64: -2^63 <= t < 2^63
    ASSERT_TRUE(lumk_f2i(-9223372036854775808.0, LUMK_PRIM_I64, out));
    EXPECT_EQ(out, 0x8000000000000000ull);
    EXPECT_FALSE(lumk_f2i(9223372036854775808.0, LUMK_PRIM_I64, out));
    ASSERT_TRUE(lumk_f2i(9223372036854774784.0, LUMK_PRIM_I64, out));
    EXPECT_EQ(out, 9223372036854774784ull);
    // u64 keeps its bits from 2^63 upwards; 2^64 does not fit
    ASSERT_TRUE(lumk_f2i(18446744073709549568.0, LUMK_PRIM_U64, out));
    EXPECT_EQ(out, 18446744073709549568ull);
    ASSERT_TRUE(lumk_f2i(9223372036854775808.0, LUMK_PRIM_U64, out));
    EXPECT_EQ(out, 0x8000000000000000ull);
    EXPECT_FALSE(lumk_f2i(18446744073709551616.0, LUMK_PRIM_U64, out));
    EXPECT_FALSE(lumk_f2i(-1.0, LUMK_PRIM_U64, out));
    // NaN, infinities and non-integer targets fail and leave out alone
    out = 42;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(lumk_f2i(std::nan(""), LUMK_PRIM_I32, out));
    EXPECT_FALSE(lumk_f2i(inf, LUMK_PRIM_U64, out));
    EXPECT_FALSE(lumk_f2i(-inf, LUMK_PRIM_I64, out));
    for (uint32_t t : {0u, 1u, 10u, 11u, 12u, 13u, 200u}) EXPECT_FALSE(lumk_f2i(1.0, t, out)) << t;
    EXPECT_EQ(out, 42u);
}
