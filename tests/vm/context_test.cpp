// Execution contexts: pooled records that keep their cells, reference
// counts, release of shared cells, release from a thread that does not own
// the VM, suspension.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runtime/thread_local.h"
#include "runtime/vm.h"
#include "tests/vm/vm_support.h"

using namespace vmtest;

namespace {

TEST(Context, SecondHolderAndSharedCells) {
    vm_fixture fx;
    lumptr_strong<lum_program_block> fn = make_block(LUM_BLOCK_FUNCTION, 8, 2);
    lumptr_strong<lum_program_block> top = make_block(LUM_BLOCK_TOP, 8, 2);

    lum_vm_context* c = lum_vm_context::make(nullptr, nullptr, fn.get(), nullptr);
    lum_vm_context* second = c;
    c->add_ref();
    lum_vm_context::release(second);  // only drops the count
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(c->ref_count, 1u);

    // A cell shared with another holder keeps its value for that holder.
    c->slots[1]->set_int(42);
    lumvar_shared kept = c->slots[1];
    lum_vm_context::release(c);
    EXPECT_EQ(as_int(kept), 42);

    // In a top-level block the shared cell (a global) is cleared for every holder.
    lum_vm_context* g = lum_vm_context::make(nullptr, nullptr, top.get(), nullptr);
    g->slots[0]->set_int(7);
    lumvar_shared global = g->slots[0];
    lum_vm_context::release(g);
    EXPECT_EQ(global->type, LUMVAR_NONE);
}

TEST(Context, ReleaseOffTheVmThreadTakesTheLock) {
    vm_fixture fx;
    lum_vm* vm = fx.host.get();
    lumptr_strong<lum_program_block> fn = make_block(LUM_BLOCK_FUNCTION, 8, 2);
    lum_vm_context* c = lum_vm_context::make(nullptr, nullptr, fn.get(), nullptr);
    c->slots[0]->set_int(3);
    const uint64_t live = vm->pool_contexts.live_count();
    std::atomic<bool> done{false};
    std::thread other([&] {
        lum_get_thread_local().vm = vm;
        lum_vm_context::release(c);
        done = true;
        lum_get_thread_local().vm = nullptr;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());  // waits for the VM lock the host thread holds
    fx.host.drop_lock();
    other.join();
    fx.host.hold_lock();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(vm->pool_contexts.live_count(), live - 1);
}

TEST(Context, HeapRecordWithoutVmAndSuspendOnce) {
    lum_vm_context* heap = nullptr;
    std::thread other([&] { heap = lum_vm_context_pool_alloc(); });
    other.join();
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->pool_slot, 255);
    EXPECT_EQ(heap->ref_count, 0u);
    EXPECT_TRUE(heap->slots.empty());
    heap->ref_count = 1;
    lum_vm_context::release(heap);

    vm_fixture fx;
    program p;
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lumptr_strong<lum_task> task = lum_task::create(main, nullptr);
    ASSERT_TRUE(task->has_context());
    lum_vm_context* c = task->contexts.front();
    c->suspend();
    c->suspend();
    EXPECT_EQ(c->status, LUM_STATUS_SUSPENDED);
    EXPECT_EQ(task->waiting, 1);
    EXPECT_EQ(fx.host.vm().waiting.size(), 1u);
    lum_task::wake(task.get());
    EXPECT_TRUE(fx.host.vm().waiting.empty());
    EXPECT_EQ(task->scheduled, 1);
    fx.host.vm().task_heap.clear();
    task->scheduled = 0;
}

TEST(Context, StoppingSuspendedTasksLeavesTheHostIdle) {
    vm_fixture fx;
    program p;
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    auto outcome = fx.launch(main, false);
    fx.tasks[0]->contexts.front()->suspend();
    ASSERT_EQ(fx.host.vm().waiting.size(), 1u);
    lum_host_stop_tasks(fx.host, std::chrono::milliseconds(0));
    EXPECT_TRUE(fx.host.vm().waiting.empty());
    EXPECT_TRUE(lum_host_idle(fx.host.vm()));
}

}  // namespace
