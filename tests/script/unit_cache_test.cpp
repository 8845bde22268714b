// The unit cache: identical inputs share one compiled unit, keys are whole
// (name, source) pieces of the imports and the own source, failures are not
// cached, and the cache empties itself at 256 entries.

#include <gtest/gtest.h>

#include <string>

#include "kernel/script/unit_cache.h"

namespace {

std::shared_ptr<lumk_compiled_unit> compile(const std::string& source, const std::string& name,
                                            const lum_kernel_unit_list& imports = {}) {
    std::shared_ptr<lumk_compiled_unit> out;
    kerror err;
    lum_kernel_compile_cached(out, source, name, &err, imports);
    return out;
}

TEST(KernelUnitCache, KeysArePiecesOfNameAndSource) {
    EXPECT_EQ(lum_kernel_unit_cache_key({}, "k", "<kernel>"), "8:<kernel>1:k");
    auto base = compile("const i32 A = 1;", "a.k");
    ASSERT_TRUE(base);
    EXPECT_EQ(lum_kernel_unit_cache_key({base}, "x", "b"), "3:a.k16:const i32 A = 1;1:b1:x");
}

TEST(KernelUnitCache, SharedUnitsAndWhatCompilesAgain) {
    const std::string src = "kernel k(i32* v) { v[gid] = 1; }";
    auto a = compile(src, "one.k");
    auto b = compile(src, "one.k");
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(compile(src, "two.k").get(), a.get());
    auto base = compile("const i32 B = 2;", "base.k");
    EXPECT_NE(compile(src, "one.k", {base}).get(), a.get());
    EXPECT_EQ(compile(src, "one.k", {base}).get(), compile(src, "one.k", {base}).get());
}

TEST(KernelUnitCache, FailuresAreNotCachedAndReportTheError) {
    std::shared_ptr<lumk_compiled_unit> out;
    kerror err;
    const size_t before = lum_kernel_unit_cache_size();
    lum_kernel_compile_cached(out, "kernel k( {", "bad.k", &err, {});
    EXPECT_FALSE(out);
    EXPECT_EQ(err.file, "bad.k");
    EXPECT_EQ(lum_kernel_unit_cache_size(), before);
}

TEST(KernelUnitCache, ClearsAtCapacity) {
    for (size_t i = lum_kernel_unit_cache_size(); i < lum_kernel_unit_cache_capacity; ++i)
        ASSERT_TRUE(compile("const i32 C = " + std::to_string(i) + ";", "fill.k"));
    EXPECT_EQ(lum_kernel_unit_cache_size(), lum_kernel_unit_cache_capacity);
    // A hit does not clear (the last fill entry is there whatever other
    // tests left in the cache before).
    auto kept = compile("const i32 C = " + std::to_string(lum_kernel_unit_cache_capacity - 1) + ";", "fill.k");
    EXPECT_EQ(lum_kernel_unit_cache_size(), lum_kernel_unit_cache_capacity);
    ASSERT_TRUE(compile("const i32 LAST = 1;", "fill.k"));
    EXPECT_EQ(lum_kernel_unit_cache_size(), 1u);
    EXPECT_TRUE(kept);  // units outlive the cache entry
}

}  // namespace
