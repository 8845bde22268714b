// Native-code requests that need no C compiler: the policy off, refused
// jobs, ahead-of-time binding over a running compile, and a kernel without a
// C translation. They run on every platform (a Windows test machine has no C
// compiler).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/exec/aot.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/native_test_util.h"

namespace {

using ntest::held_pool;
using ntest::policy_scope;

const char* const kSaxpy = "kernel saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }";

std::shared_ptr<const lumk_unit> unit_of(const char* src) {
    ktest::compiled c = ktest::compile(src);
    EXPECT_TRUE(c.ok()) << c.err.message;
    return c.unit;
}

int fake_entry_a(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 0; }
int fake_entry_b(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 0; }

}  // namespace

TEST(NativeDriver, PolicyOffDoesNothingAndReportsOff) {
    ntest::use_private_cache();
    policy_scope off(LUM_KERNEL_JIT_OFF);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    held_pool pool;
    lumk_jit_request(u, p, pool.submit());
    EXPECT_EQ(pool.offered, 0);
    EXPECT_EQ(lumk_jit_load_state(*p->jit), LUMK_JIT_NONE);
    EXPECT_EQ(lumk_jit_status(p), "off");
    lumk_jit_request(u, nullptr, pool.submit());  // no program: nothing
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    EXPECT_EQ(lumk_jit_status(p), "none");
    EXPECT_EQ(lumk_jit_status(nullptr), "none");
}

TEST(NativeDriver, RefusedJobPutsTheSlotBack) {
    ntest::use_private_cache();
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    int offered = 0;
    auto refuse = [&](std::function<void()>) { return ++offered, false; };
    lumk_jit_request(u, p, refuse);
    EXPECT_EQ(lumk_jit_status(p), "none");
    lumk_jit_request(u, p, refuse);  // asks again
    EXPECT_EQ(offered, 2);
    lumk_jit_request(u, p, nullptr);  // no pool at all
    EXPECT_EQ(lumk_jit_status(p), "none");
    // a pool that throws is a refusal too
    lumk_jit_request(u, p, [](std::function<void()>) -> bool { throw std::runtime_error("full"); });
    EXPECT_EQ(lumk_jit_status(p), "none");
}

TEST(NativeDriver, AotBindingWinsOverARunningCompile) {
    ntest::use_private_cache();
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    // a private kernel so that no other test registers its hash
    std::shared_ptr<const lumk_unit> u =
        unit_of("kernel aot_only(i64* o) { o[gid] = i64(gid) * 977 + 13; }");
    const lumk_program* p = u->programs[0].get();
    held_pool pool;
    lumk_jit_request(u, p, pool.submit());
    ASSERT_EQ(lumk_jit_status(p), "compiling");
    const uint32_t g = lumk_aot_registry().generation.load();
    lumk_aot_register_entry(lumk_source_hash(*p), fake_entry_a);
    lumk_aot_register_entry(lumk_source_hash(*p), fake_entry_b);  // the later one wins
    EXPECT_EQ(lumk_aot_registry().generation.load(), g + 2);
    lumk_jit_request(u, p, pool.submit());
    EXPECT_EQ(lumk_jit_status(p), "aot");
    EXPECT_EQ(lumk_jit_ready_entry(*p->jit), &fake_entry_b);
    EXPECT_EQ(p->jit->generation.load(), g + 2);
    pool.jobs[0]();  // the compile's result is dropped
    EXPECT_EQ(lumk_jit_status(p), "aot");
    EXPECT_EQ(lumk_jit_ready_entry(*p->jit), &fake_entry_b);
}

TEST(NativeDriver, KernelWithoutTranslationFailsAndRunsInterpreted) {
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    auto unit = std::make_shared<lumk_compiled_unit>();
    auto p = std::make_shared<lumk_program>();
    lumk_set_fixed_registers(*p);
    p->reg_count = 8;
    p->code = {{LUMK_NOP, 0, 0, 0, 0}, {300, 0, 0, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    unit->programs.push_back(p);
    held_pool pool;
    EXPECT_NO_THROW(lumk_jit_request(unit, p.get(), pool.submit()));
    EXPECT_EQ(lumk_jit_status(p.get()), "failed: lumk_jit: no C translation for ?");
    EXPECT_EQ(pool.offered, 0);
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    EXPECT_NO_THROW(lumk_jit_request(unit, p.get(), pool.submit()));  // failed: returns at once
    EXPECT_EQ(lumk_jit_status(p.get()), "failed: lumk_jit: no C translation for ?");
}
