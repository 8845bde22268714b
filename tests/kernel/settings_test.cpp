// Kernel execution settings and the JIT slot state machine.

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "kernel/exec/scalar.h"
#include "kernel/exec/settings.h"
#include "tests/platform/test_platform.h"

namespace {
int entry_a(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 0; }
int entry_b(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) { return 1; }
}  // namespace

TEST(KernelSettings, PolicyFromEnvironmentText) {
    EXPECT_EQ(lum_kernel_jit_policy_from_env(nullptr), 0u);
    EXPECT_EQ(lum_kernel_jit_policy_from_env("sync"), 1u);
    EXPECT_EQ(lum_kernel_jit_policy_from_env("off"), 2u);
    for (const char* other : {"", "SYNC", "Off", "sync ", " off", "auto", "1", "offline"})
        EXPECT_EQ(lum_kernel_jit_policy_from_env(other), 0u) << other;

    const uint32_t saved = lum_kernel_jit_policy.load();
    lum_test_set_env("LUM_KERNEL_JIT", "off");
    lum_kernel_jit_env_init();
    EXPECT_EQ(lum_kernel_jit_policy.load(), 2u);
    lum_test_set_env("LUM_KERNEL_JIT", "OFF");
    lum_kernel_jit_env_init();
    EXPECT_EQ(lum_kernel_jit_policy.load(), 0u);
    lum_test_unset_env("LUM_KERNEL_JIT");
    lum_kernel_jit_env_init();
    EXPECT_EQ(lum_kernel_jit_policy.load(), 0u);
    lum_kernel_jit_policy.store(saved);

    EXPECT_STREQ(lum_kernel_jit_policy_name(0), "auto");
    EXPECT_STREQ(lum_kernel_jit_policy_name(1), "sync");
    EXPECT_STREQ(lum_kernel_jit_policy_name(2), "off");
    EXPECT_STREQ(lum_kernel_interp_mode_name(0), "auto");
    EXPECT_STREQ(lum_kernel_interp_mode_name(1), "scalar");
    EXPECT_STREQ(lum_kernel_interp_mode_name(2), "batch");
    EXPECT_STREQ(lum_kernel_interp_mode_name(3), "?");
}

TEST(KernelSettings, JitCompileTransitions) {
    lumk_jit_slot slot;
    EXPECT_EQ(lumk_jit_load_state(slot), LUMK_JIT_NONE);
    EXPECT_EQ(lumk_jit_ready_entry(slot), nullptr);
    // only states that allow it move; the winner of NONE -> COMPILING owns the compile
    EXPECT_FALSE(lumk_jit_cancel_compile(slot));
    EXPECT_FALSE(lumk_jit_finish_ready(slot, entry_a));
    EXPECT_TRUE(lumk_jit_begin_compile(slot));
    EXPECT_FALSE(lumk_jit_begin_compile(slot));
    EXPECT_TRUE(lumk_jit_cancel_compile(slot));  // not queued: back to NONE
    EXPECT_EQ(lumk_jit_load_state(slot), LUMK_JIT_NONE);
    EXPECT_TRUE(lumk_jit_begin_compile(slot));
    EXPECT_TRUE(lumk_jit_finish_ready(slot, entry_a));
    EXPECT_EQ(lumk_jit_load_state(slot), LUMK_JIT_READY);
    EXPECT_EQ(lumk_jit_ready_entry(slot), &entry_a);
    EXPECT_FALSE(slot.from_aot);
    // READY is terminal for requests, jobs and AOT bindings
    EXPECT_FALSE(lumk_jit_begin_compile(slot));
    EXPECT_FALSE(lumk_jit_finish_failed(slot, "x"));
    EXPECT_FALSE(lumk_jit_bind_aot(slot, entry_b));
    EXPECT_EQ(lumk_jit_ready_entry(slot), &entry_a);
}

TEST(KernelSettings, JitFailedSlotOnlyAotCanRevive) {
    lumk_jit_slot slot;
    ASSERT_TRUE(lumk_jit_begin_compile(slot));
    ASSERT_TRUE(lumk_jit_finish_failed(slot, "compiler not found"));
    EXPECT_EQ(lumk_jit_load_state(slot), LUMK_JIT_FAILED);
    EXPECT_EQ(slot.error, "compiler not found");
    EXPECT_FALSE(lumk_jit_begin_compile(slot));  // never compiled again
    EXPECT_EQ(lumk_jit_ready_entry(slot), nullptr);
    EXPECT_TRUE(lumk_jit_bind_aot(slot, entry_b));
    EXPECT_EQ(lumk_jit_ready_entry(slot), &entry_b);
    EXPECT_TRUE(slot.from_aot);

    // AOT binding also works from NONE and while a compile runs; the compile's
    // result is then dropped.
    lumk_jit_slot fresh;
    EXPECT_TRUE(lumk_jit_bind_aot(fresh, entry_a));
    EXPECT_TRUE(fresh.from_aot);
    lumk_jit_slot racing;
    ASSERT_TRUE(lumk_jit_begin_compile(racing));
    EXPECT_TRUE(lumk_jit_bind_aot(racing, entry_b));
    EXPECT_FALSE(lumk_jit_finish_ready(racing, entry_a));
    EXPECT_FALSE(lumk_jit_finish_failed(racing, "late"));
    EXPECT_EQ(lumk_jit_ready_entry(racing), &entry_b);
    EXPECT_TRUE(racing.from_aot);
    EXPECT_TRUE(racing.error.empty());
}
