// Script values to kernel scalars and back: ranges, refusals and their texts.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernel/script/convert.h"

namespace {

struct from_case {
    lumvar_shared value;
    lumk_prim type;
    bool allow_int_for_float;
    bool ok;
    uint64_t bits;
    std::string error;
};

lumvar_shared none() { return lumvar_shared::make(); }

TEST(KernelConversions, ScriptValueToScalar) {
    const from_case cases[] = {
        {lumvar_shared::from_int(255), LUMK_PRIM_U8, false, true, 255, ""},
        {lumvar_shared::from_int(256), LUMK_PRIM_U8, false, false, 0, "expects u8 but 256 does not fit"},
        {lumvar_shared::from_int(-1), LUMK_PRIM_U8, false, false, 0, "expects u8 but -1 does not fit"},
        {lumvar_shared::from_int(-128), LUMK_PRIM_I8, false, true, 0xFFFFFFFFFFFFFF80ULL, ""},
        {lumvar_shared::from_int(-1), LUMK_PRIM_I32, false, true, ~0ULL, ""},
        {lumvar_shared::from_int(4294967295LL), LUMK_PRIM_U32, false, true, 4294967295ULL, ""},
        {lumvar_shared::from_int(-1), LUMK_PRIM_U64, false, false, 0, "expects u64 but -1 does not fit"},
        {lumvar_shared::from_int(INT64_MIN), LUMK_PRIM_I64, false, true, 1ULL << 63, ""},
        {lumvar_shared::from_int(1), LUMK_PRIM_BOOL, false, true, 1, ""},
        {lumvar_shared::from_int(2), LUMK_PRIM_BOOL, false, false, 0, "expects bool (true / false) but got the int 2"},
        {lumvar_shared::from_float(1.0), LUMK_PRIM_BOOL, false, false, 0,
         "expects bool (true / false) but got float"},
        {lumvar_shared::from_float(2.0), LUMK_PRIM_I32, false, false, 0,
         "expects i32 but got float (convert with std.int(x))"},
        {none(), LUMK_PRIM_I32, false, false, 0, "expects i32 but got None"},
        {lumvar_shared::from_int(2), LUMK_PRIM_F32, false, false, 0,
         "expects f32 but got int (write 2.0 instead of 2, or std.float(x))"},
        {lumvar_shared::from_int(2), LUMK_PRIM_F32, true, true, 0x40000000ULL, ""},
        {lumvar_shared::from_float(1.5), LUMK_PRIM_F64, false, true, 0x3FF8000000000000ULL, ""},
        {lumvar_shared::from_string("x"), LUMK_PRIM_F32, true, false, 0, "expects f32 but got string"},
        {lumvar_shared::from_int(1), LUMK_PRIM_STRUCT, false, false, 0, "unsupported type"},
        {lumvar_shared::from_int(1), LUMK_PRIM_VOID, false, false, 0, "unsupported type"},
    };
    for (const auto& c : cases) {
        uint64_t out = 12345;
        std::string error;
        const bool ok = lum_kernel_scalar_from_value(c.value.get(), c.type, c.allow_int_for_float, &out, &error);
        EXPECT_EQ(ok, c.ok) << c.error;
        EXPECT_EQ(out, c.bits) << c.error;
        EXPECT_EQ(error, c.error);
    }
    uint64_t out = 0;
    std::string error;
    EXPECT_FALSE(lum_kernel_scalar_from_value(nullptr, LUMK_PRIM_U8, false, &out, &error));
    EXPECT_EQ(error, "expects u8 but got None");
}

TEST(KernelConversions, ScalarToScriptValue) {
    EXPECT_EQ(lum_kernel_value_from_scalar(LUMK_PRIM_U64, ~0ULL)->payload.i, -1);
    EXPECT_EQ(lum_kernel_value_from_scalar(LUMK_PRIM_BOOL, 1)->payload.i, 1);
    lumvar_shared f = lum_kernel_value_from_scalar(LUMK_PRIM_F32, 0xFFFFFFFF3FC00000ULL);
    ASSERT_EQ(f->type, LUMVAR_FLOAT);
    EXPECT_EQ(f->payload.f, 1.5);
    EXPECT_EQ(lum_kernel_value_from_scalar(LUMK_PRIM_VOID, 7)->type, LUMVAR_NONE);
    EXPECT_EQ(lum_kernel_value_from_scalar(LUMK_PRIM_I32, 0xFFFFFFFFFFFFFFFDULL)->payload.i, -3);
    EXPECT_EQ(lum_kernel_value_from_scalar(LUMK_PRIM_F64, 0x4000000000000000ULL)->payload.f, 2.0);
}

TEST(KernelConversions, TypeWordsAndIntegerArguments) {
    EXPECT_EQ(lum_kernel_value_type_name(nullptr), "None");
    EXPECT_EQ(lum_kernel_value_type_name(lumvar_shared::from_float(1).get()), "float");
    EXPECT_EQ(lum_kernel_value_type_name(lumvar_shared::make_typed(LUMVAR_JSON).get()), "json");
    EXPECT_EQ(lum_kernel_value_type_name(lumvar_shared::make_typed(LUMVAR_BINARY).get()), "std.buffer");
    EXPECT_EQ(lum_kernel_value_type_name(lumvar_shared::make_typed(LUMVAR_OBJECT).get()), "object");

    EXPECT_EQ(lum_kernel_int_arg(lumvar_shared::from_float(-2.9).get()), -2);
    EXPECT_EQ(lum_kernel_int_arg(lumvar_shared::from_float(NAN).get()), 0);
    EXPECT_EQ(lum_kernel_int_arg(lumvar_shared::from_float(1e300).get()), INT64_MAX);
    EXPECT_EQ(lum_kernel_int_arg(lumvar_shared::from_float(-1e300).get()), INT64_MIN);
    EXPECT_EQ(lum_kernel_int_arg(lumvar_shared::from_string(" 42x").get()), 42);
}

}  // namespace
