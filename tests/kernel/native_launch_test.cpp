// Launches with the native engine: kernels whose JIT slot is ready run their
// chunks through the native entry on every lane runner and must leave the
// same buffers, reduction bits and trap texts as launches on the scalar
// interpreter, with one and with several threads.

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "kernel/exec/native_driver.h"
#include "launch_test_util.h"
#include "tests/kernel/native_test_util.h"
#include "tests/kernel/kernel_sources.h"

namespace {

struct lcase {
    const char* name;
    const char* src;
    uint64_t width, height;
    std::function<ltest::args()> make;
};

std::vector<lcase> cases() {
    std::vector<lcase> v;
    v.push_back({"saxpy", kernel_src::saxpy, 5000, 1, [] {
                     std::vector<float> y(5000), x(5000);
                     for (size_t i = 0; i < y.size(); ++i) y[i] = float(i) * 0.5f, x[i] = 3.0f - float(i % 13);
                     return ltest::args().buf(y).buf(x).val(0x40200000);
                 }});
    v.push_back({"reductions",
                 "struct R { i64 n; f64 hi; u32 bits; }\n"
                 "kernel r(const f64* v) -> R reduce(n: +, hi: max, bits: ^) {\n"
                 "  R r; r.n = i64(gid) - 7; r.hi = v[gid]; r.bits = u32(gid * 2654435761u); return r;\n"
                 "}",
                 3000, 1, [] {
                     std::vector<double> d(3000);
                     for (size_t i = 0; i < d.size(); ++i) d[i] = std::sin(double(i)) * 100.0;
                     return ltest::args().buf(d);
                 }});
    v.push_back({"trap", "kernel t(const i32* a, i32* o) { o[gid] = 1000 / a[gid]; }", 4000, 1, [] {
                     std::vector<int32_t> a(4000, 7);
                     a[2999] = 0;
                     return ltest::args().buf(a).buf(std::vector<int32_t>(4000, 0));
                 }});
    return v;
}

}  // namespace

TEST(NativeLaunch, ReadySlotsRunNativeAndMatchTheInterpreter) {
    ntest::use_private_cache();
    for (const lcase& c : cases()) {
        std::shared_ptr<lumk_compiled_unit> unit = ltest::compile(c.src);
        ASSERT_TRUE(unit);
        const lumk_program& p = *unit->programs[0];
        {
            ltest::settings_scope sync(LUM_KERNEL_MODE_AUTO, LUM_KERNEL_JIT_SYNC);
            lumk_jit_request(unit, &p, nullptr);
        }
        ASSERT_EQ(lumk_jit_status(&p), "ready") << c.name;
        for (int helpers : {0, 3}) {
            ltest::outcome want, got;
            {
                ltest::settings_scope scalar(LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_JIT_OFF);
                want = ltest::run(unit, p, c.make(), c.width, c.height, helpers);
            }
            {
                ltest::settings_scope native(LUM_KERNEL_MODE_AUTO, LUM_KERNEL_JIT_AUTO);
                got = ltest::run(unit, p, c.make(), c.width, c.height, helpers);
            }
            const std::string what = std::string(c.name) + " helpers " + std::to_string(helpers);
            EXPECT_EQ(want.trapped, got.trapped) << what;
            EXPECT_EQ(want.trap_text, got.trap_text) << what;
            EXPECT_EQ(want.trap_code, got.trap_code) << what;
            if (!want.trapped) {
                EXPECT_EQ(want.results, got.results) << what;
                EXPECT_EQ(want.buffers, got.buffers) << what;
            }
        }
    }
}
