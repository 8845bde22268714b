#include "host/turn.h"

#include <algorithm>
#include <vector>

#include "host/host_vm.h"
#include "runtime/object.h"
#include "runtime/value.h"
#include "runtime/vm.h"
#include "runtime/vm_lock.h"
#include "vm/context.h"
#include "vm/task.h"

namespace {

// Sleeps on the wake object for at most `ms`, with the VM lock released.
void sleep_unlocked(lum_host_vm& host, uint32_t ms) {
    const bool held = host.holds_lock();
    if (held) host.drop_lock();
    host.waker().wait_for(ms);
    if (held) host.hold_lock();
}

}  // namespace

size_t lum_host_drain_returns(lum_vm& vm) { return lum_drain_return_ring(vm); }

size_t lum_host_run_due_tasks(lum_vm& vm) {
    // Only the tasks due when the turn starts: a task rescheduled during the
    // turn waits for the next one, so a yielding task cannot starve the loop.
    const uint64_t now = lum_task_now_ms();
    std::vector<lumptr_strong<lum_task>> due;
    while (lumptr_strong<lum_task> task = lum_task_heap_pop_due(vm, now)) due.push_back(std::move(task));
    size_t ran = 0;
    for (lumptr_strong<lum_task>& task : due) {
        lum_task* t = task.get();
        if (t == nullptr || !t->active || t->scheduled || t->waiting) continue;
        ++ran;
        if (lum_task::task_continue(t) && t->active) lum_task::schedule(t, 0);
    }
    return ran;
}

lum_host_turn_result lum_host_turn(lum_host_vm& host) {
    lum_host_turn_result result;
    lum_vm& vm = host.vm();
    lum_vm_lock_guard guard(&vm);
    lum_host_drain_pool_rings(vm);
    result.returns = lum_host_drain_returns(vm);
    result.tasks = lum_host_run_due_tasks(vm);
    result.updates = lum_host_call_update_pre(vm);
    result.released = lum_host_release_deferred(vm);
    return result;
}

bool lum_host_idle(const lum_vm& vm) { return vm.task_heap.empty() && vm.waiting.empty(); }

bool lum_host_run(lum_host_vm& host, std::chrono::milliseconds timeout) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + timeout;
    lum_vm& vm = host.vm();
    for (;;) {
        lum_host_turn(host);
        if (lum_host_idle(vm)) return true;
        const clock::time_point now = clock::now();
        if (now >= deadline) return false;
        // Sleep until the next due time (a worker's result or a new due
        // task wakes the loop earlier), never past the deadline.
        uint64_t wait_ms = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        const uint64_t next_due = lum_task_heap_next_due(vm);
        if (next_due != LUM_TASK_NEVER) {
            const uint64_t wall = lum_task_now_ms();
            wait_ms = std::min<uint64_t>(wait_ms, next_due > wall ? next_due - wall : 0);
        }
        if (wait_ms > 0) sleep_unlocked(host, static_cast<uint32_t>(std::min<uint64_t>(wait_ms, 1000)));
    }
}

void lum_host_stop_tasks(lum_host_vm& host, std::chrono::milliseconds grace) {
    using clock = std::chrono::steady_clock;
    lum_vm& vm = host.vm();
    const clock::time_point deadline = clock::now() + grace;
    auto jobs_running = [&] {
        for (const lumptr_strong<lum_task>& t : vm.waiting)
            if (t && t->in_thread.load(std::memory_order_acquire) != 0) return true;
        return false;
    };
    {
        lum_vm_lock_guard guard(&vm);
        lum_host_drain_returns(vm);
    }
    while (clock::now() < deadline) {
        {
            lum_vm_lock_guard guard(&vm);
            lum_host_drain_returns(vm);
            if (!jobs_running()) break;
        }
        sleep_unlocked(host, 5);
    }
    lum_vm_lock_guard guard(&vm);
    lum_host_drain_returns(vm);
    // Stop what is left: each task finishes at this continuation.
    for (int round = 0; round < 8 && !lum_host_idle(vm); ++round) {
        std::vector<lumptr_strong<lum_task>> tasks;
        for (lumptr_strong<lum_task>& t : vm.waiting) tasks.push_back(std::move(t));
        vm.waiting.clear();
        while (lumptr_strong<lum_task> t = lum_task_heap_pop_due(vm, LUM_TASK_NEVER)) tasks.push_back(std::move(t));
        for (lumptr_strong<lum_task>& t : tasks) {
            if (!t) continue;
            t->waiting = 0;
            t->scheduled = 0;
            if (t->active) {
                t->stop = 1;
                lum_task::task_continue(t.get());
            }
        }
        tasks.clear();
        lum_host_drain_returns(vm);
    }
}
