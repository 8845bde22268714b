// Kernel scalar type helpers: the size and name tables and the exact
// float-to-integer ranges that folding and the engines share.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "kernel/compiler/kernel_types.h"

TEST(KernelTypes, PrimTables) {
    const char* names[] = {"void", "bool", "i8", "u8", "i16", "u16", "i32", "u32", "i64", "u64", "f32", "f64", "struct"};
    const uint32_t sizes[] = {0, 1, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 0};
    for (uint32_t code = 0; code < 13; ++code) {
        EXPECT_STREQ(lumk_prim_name(code), names[code]);
        EXPECT_EQ(lumk_prim_size(code), sizes[code]) << code;
        EXPECT_EQ(lumk_prim_is_float(code), code == 10 || code == 11) << code;
        // every name but "struct" maps back to its code
        EXPECT_EQ(lumk_prim_from_name(names[code]), code == 12 ? 13 : code);
    }
    EXPECT_STREQ(lumk_prim_name(13), "?");
    EXPECT_STREQ(lumk_prim_name(255), "?");
    EXPECT_EQ(lumk_prim_size(13), 0u);
    EXPECT_EQ(lumk_prim_size(1000), 0u);
    EXPECT_EQ(lumk_prim_from_name("I32"), LUMK_PRIM_NONE);
    EXPECT_EQ(lumk_prim_from_name("i32 "), LUMK_PRIM_NONE);
    EXPECT_EQ(lumk_prim_from_name(""), LUMK_PRIM_NONE);
    for (const char* near : {"i08", "u08", "f16", "f8", "i4", "u1", "i128", "f32x", "x32", "voi", "bool2", "i", "u", "f",
                             "f64 ", "i3", "u6", "s32", "f320", "g32", "b8"})
        EXPECT_EQ(lumk_prim_from_name(near), LUMK_PRIM_NONE) << near;
}

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
