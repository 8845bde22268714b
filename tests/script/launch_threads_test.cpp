// Launches from C++ where scripts cannot reach: two script threads that share
// one VM and launch at the same time (each drops the VM lock while its lanes
// run, so the other gets it), a dropped job on such a thread, and exceptions
// from a foreign memory object during argument binding.

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "host/host_vm.h"
#include "kernel/script/buffer.h"
#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_unit.h"
#include "kernel/script/launch.h"
#include "kernel/script/memory.h"
#include "kernel/script/module.h"
#include "kernel/script/unit_cache.h"
#include "runtime/namespace.h"
#include "runtime/vm_lock.h"

namespace {

constexpr const char* source =
    "kernel fill(u32* out, u32 v) { out[gid] = v + u32(gid); }\n"
    "kernel sum(const u32* in) -> u64 reduce(+) { return u64(in[gid]); }\n"
    "kernel mix(u32* out, const u32* in) { out[gid] = in[gid]; }\n";

lumptr_strong<lum_std_kernel> kernel_named(const std::shared_ptr<lumk_compiled_unit>& unit, const std::string& name) {
    lumptr_strong<lum_std_kernel> k(new lum_std_kernel());
    k->unit = unit;
    for (const auto& p : unit->programs)
        if (p->name == name) k->entry = p.get();
    return k;
}

std::shared_ptr<lumk_compiled_unit> compiled() {
    static lum_namespace* const ns = [] {  // registers the kernel classes with their factories
        auto* n = new lum_namespace();
        lum_kernel_namespace_init(*n);
        return n;
    }();
    (void)ns;
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    lum_kernel_compile_cached(unit, source, "threads.k", &err, {});
    return unit;
}

lumvar_shared buffer_of(size_t bytes) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_BINARY);
    v->buffer_object()->bytes.assign(bytes, 0);
    return v;
}

TEST(KernelLaunchThreads, TwoScriptThreadsLaunchAtOnce) {
    lum_host_vm_options options;
    options.workers = 3;
    lum_host_vm host(options);
    auto unit = compiled();
    ASSERT_TRUE(unit);
    auto fill = kernel_named(unit, "fill");
    auto sum = kernel_named(unit, "sum");
    constexpr int64_t n = 5000;
    uint64_t totals[2] = {0, 0};
    host.drop_lock();
    auto script_thread = [&](int id) {
        lum_get_thread_local().vm = host.get();
        lum_vm_lock_guard lock(host.get());
        lumvar_shared buf = buffer_of(n * 4);
        for (int round = 0; round < 20; ++round) {
            std::vector<lumvar_shared> args{lumvar_shared::from_int(n), buf, lumvar_shared::from_int(id * 1000 + round)};
            lum_kernel_launch(fill.get(), args);
            std::vector<lumvar_shared> sargs{lumvar_shared::from_int(n), buf};
            lumvar_shared r = lum_kernel_launch(sum.get(), sargs);
            totals[id] = static_cast<uint64_t>(r->payload.i);
            // A job dropped at once joins its lanes and unlocks the buffer.
            std::vector<lumvar_shared> jargs{lumvar_shared::from_int(n), buf, lumvar_shared::from_int(0)};
            lumvar_shared job = lum_kernel_launch_async(fill.get(), jargs);
            job.reset();
            EXPECT_EQ(buf->buffer_object()->write_locks, 0u);
        }
        EXPECT_EQ(buf->buffer_object()->bytes[4], 1u);  // the dropped job's write
        lum_get_thread_local().vm = nullptr;
    };
    std::thread a(script_thread, 0);
    std::thread b(script_thread, 1);
    a.join();
    b.join();
    const uint64_t base = static_cast<uint64_t>(n) * (n - 1) / 2;
    EXPECT_EQ(totals[0], base + 19u * n);
    EXPECT_EQ(totals[1], base + 1019u * n);
    host.hold_lock();
}

// Memory whose binding throws.
class throwing_memory : public lumobject<throwing_memory, CLASS_STRING<"test.throwing">>, public lum_kernel_memory {
public:
    void* get_interface(uint64_t id) override {
        return id == lum_kernel_memory_type_id() ? static_cast<lum_kernel_memory*>(this) : nullptr;
    }
    bool get_memory(uint8_t**, uint64_t*, bool) override { throw std::runtime_error("device lost"); }
    void add_lock(bool, int32_t) override {}
    bool is_in_use(bool) override { return false; }
};

TEST(KernelLaunchThreads, AnExceptionDuringBindingLocksNothing) {
    lum_host_vm host;
    auto unit = compiled();
    auto mix = kernel_named(unit, "mix");
    lumvar_shared out = buffer_of(16);
    lumptr_strong<throwing_memory> mem(new throwing_memory());
    std::vector<lumvar_shared> args{lumvar_shared::from_int(4), out, lumvar_shared::from_object(mem.get())};
    EXPECT_THROW(lum_kernel_launch(mix.get(), args), std::runtime_error);
    EXPECT_EQ(out->buffer_object()->write_locks, 0u);
    EXPECT_EQ(out->buffer_object()->read_locks, 0u);
}

// Memory that refuses to count a new lock (but counts its removal).
class unlockable_memory : public lumobject<unlockable_memory, CLASS_STRING<"test.unlockable">>,
                          public lum_kernel_memory {
public:
    uint8_t bytes[16] = {};
    int locks = 0;
    bool refuse_lock = true;
    void* get_interface(uint64_t id) override {
        return id == lum_kernel_memory_type_id() ? static_cast<lum_kernel_memory*>(this) : nullptr;
    }
    bool get_memory(uint8_t** data, uint64_t* size, bool) override {
        *data = bytes;
        *size = sizeof bytes;
        return true;
    }
    void add_lock(bool, int32_t delta) override {
        if (delta > 0 && refuse_lock) throw std::runtime_error("lock table full");
        locks += delta;
    }
    bool is_in_use(bool) override { return locks != 0; }
};

TEST(KernelLaunchThreads, ALockThatCannotBeTakenUndoesTheOthers) {
    lum_host_vm host;
    auto unit = compiled();
    auto mix = kernel_named(unit, "mix");
    lumvar_shared out = buffer_of(16);
    lumptr_strong<unlockable_memory> mem(new unlockable_memory());
    std::vector<lumvar_shared> args{lumvar_shared::from_int(4), out, lumvar_shared::from_object(mem.get())};
    EXPECT_THROW(lum_kernel_launch(mix.get(), args), std::runtime_error);
    EXPECT_EQ(out->buffer_object()->write_locks, 0u);
    EXPECT_EQ(mem->locks, 0);
    EXPECT_THROW(lum_kernel_launch_async(mix.get(), args), std::runtime_error);
    EXPECT_EQ(out->buffer_object()->write_locks, 0u);
    mem->refuse_lock = false;
    lum_kernel_launch(mix.get(), args);
    EXPECT_EQ(out->buffer_object()->write_locks, 0u);
    EXPECT_EQ(mem->locks, 0);
}

TEST(KernelLaunchThreads, AJobThatCannotBeMadeUnlocksItsBuffers) {
    lum_host_vm_options options;
    options.workers = 2;
    lum_host_vm host(options);
    auto unit = compiled();
    auto fill = kernel_named(unit, "fill");
    lumvar_shared out = buffer_of(4 * 100000);
    auto saved = lum_std_kernel_job::tables().factory;
    lum_std_kernel_job::tables().factory = [] () -> lumptr_strong<lum_std_kernel_job> {
        throw std::runtime_error("no memory for the job");
    };
    std::vector<lumvar_shared> args{lumvar_shared::from_int(100000), out, lumvar_shared::from_int(7)};
    EXPECT_THROW(lum_kernel_launch_async(fill.get(), args), std::runtime_error);
    lum_std_kernel_job::tables().factory = {};
    EXPECT_THROW(lum_kernel_launch_async(fill.get(), args), std::bad_function_call);
    lum_std_kernel_job::tables().factory = saved;
    // No lane runs on the buffer any more and nothing keeps it locked.
    EXPECT_EQ(out->buffer_object()->write_locks, 0u);
    EXPECT_EQ(out->buffer_object()->read_locks, 0u);
    std::vector<lumvar_shared> again{lumvar_shared::from_int(100000), out, lumvar_shared::from_int(1)};
    lumvar_shared job = lum_kernel_launch_async(fill.get(), again);
    ASSERT_EQ(job->type, LUMVAR_OBJECT);
    job.reset();
    EXPECT_EQ(out->buffer_object()->bytes[4], 2u);
}

}  // namespace
