#include "vm/context.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>
#include <utility>

#include "runtime/bad_function_call.h"
#include "runtime/context_fwd.h"
#include "runtime/job_queue.h"
#include "runtime/log.h"
#include "runtime/object.h"
#include "runtime/thread_local.h"
#include "runtime/thread_unwind.h"
#include "runtime/vm.h"
#include "runtime/vm_lock.h"
#include "vm/call_record.h"
#include "vm/class.h"
#include "vm/context_inline.h"
#include "vm/program_block.h"
#include "vm/task.h"

lum_vm_context* lum_vm_context_pool_alloc() { return lum_pool_new<&lum_vm::pool_contexts>(); }

void lum_vm_context_grow_slots(std::vector<lumvar_shared>& slots, size_t wanted) {
    slots.reserve(wanted);
    while (slots.size() < wanted) slots.push_back(lumvar_shared::make());
}

bool lum_context_records::grow() {
    auto* c = new lum_vm_context;
    c->stack_index = static_cast<uint32_t>(records.size());
    c->home = this;
    records.push_back(c);
    return true;
}

void lum_context_records::trim(size_t keep) {
    const size_t floor = std::max<size_t>(top, keep);
    while (records.size() > floor) {
        delete records.back();
        records.pop_back();
    }
}

lum_context_records::~lum_context_records() {
    for (lum_vm_context* c : records) {
        // A record still held outside the task becomes a heap record
        // (pool slot 255): its last release deletes it.
        if (c->ref_count == 0) delete c;
        else c->home = nullptr;
    }
}

lum_vm_context* lum_vm_context::make(lum_task* task, lum_task* scope, lum_program_block* block, lum_class* self) {
    return lum_vm_context_make_inline(task, scope, block, self);
}

void lum_vm_context::init(lum_task* t, lum_task* s, lum_program_block* b, lum_class* self_object) {
    lum_vm_context_init_inline(*this, t, s, b, self_object);
}

namespace {

// Resets the record and returns it to its pool. `vm` is the thread's VM,
// which this thread owns, or null (no VM: a pooled record stays in its chunk).
void release_record(lum_vm_context* ctx, lum_vm* vm) {
    if (ctx->home != nullptr) {
        lum_vm_context_free_stacked(ctx, [] { return lumvar_shared::make(); });
        lumptr_strong<lum_class> keep_alive = std::move(ctx->keep_alive);
        return;
    }
    ctx->ref_count = 0;
    lum_vm_context_reset_record(ctx, [] { return lumvar_shared::make(); });
    lumptr_strong<lum_class> keep_alive = std::move(ctx->keep_alive);
    lum_vm_context_return_record(ctx, vm);
    // keep_alive is released last: the instance may run its __deinit__.
}

}  // namespace

void lum_vm_context::release(lum_vm_context*& holder) {
    lum_vm_context* ctx = holder;
    if (ctx == nullptr) return;
    holder = nullptr;
    if (ctx->ref_count > 1) {
        --ctx->ref_count;
        return;
    }
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* vm = tl.vm;
    if (vm != nullptr && vm->lock.owner.load(std::memory_order_relaxed) != tl.thread_id) [[unlikely]] {
        // Off the VM thread the cells, the instance and the record all belong
        // to the VM: the whole release runs under its lock.
        lum_vm_lock_guard guard(vm);
        release_record(ctx, vm);
    } else {
        release_record(ctx, vm);
    }
}

uint32_t lum_vm_context::code_offset() const noexcept {
    if (block == nullptr || ip == nullptr) return resume_offset;
    return static_cast<uint32_t>(ip - block->code_begin());
}

void lum_vm_context::suspend() {
    status = LUM_STATUS_SUSPENDED;
    if (task == nullptr || task->waiting) return;
    lum_vm* vm = lum_get_thread_local().vm;
    if (vm == nullptr) return;
    lumptr_strong<lum_task> handle(task);
    if (!handle) return;
    vm->waiting.push_back(std::move(handle));
    task->waiting = 1;
}

// ---------------------------------------------------------------------------
// return_thread

namespace {

// Posts one record into the VM's return ring (any thread).
void post_return(lum_vm* vm, lum_task* task, lumvar* result, lumobject_base* object, lumvar* value) {
    lum_return_ring& ring = vm->returns;
    const uint32_t n = ring.write_counter.fetch_add(1, std::memory_order_acq_rel);
    const uint32_t index = n % lum_return_ring::capacity;
    for (;;) {
        uint8_t expected = 0;
        if (ring.state[index].compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed))
            break;
        std::this_thread::yield();
    }
    lum_return_record& record = ring.records[index];
    record.task = task;
    record.result = result;
    record.object = object;
    record.value = value;
    record.set = 1;
    ring.state[index].store(2, std::memory_order_release);
}

// What a return_thread job carries: the work and one reference each to the
// task, the result cell and the native-call object (plus the object's job
// count). The worker hands the references on to the return ring without
// touching what they refer to.
struct return_state {
    lum_vm* vm = nullptr;
    std::function<lumvar_shared()> work;
    lumvar* result = nullptr;
    lum_task* task = nullptr;
    lumobject_base* object = nullptr;
    // Who owns the state: while the VM thread offers a job to the queue
    // (offering), a job destroyed without running (refused when full, dropped
    // when shut down) leaves the state to the offering thread; once the offer
    // is over (queued), the job owns it. A worker that starts the job while
    // the offer is still open waits for it to close.
    std::atomic<int> phase{0};
};

constexpr int phase_offering = 0;
constexpr int phase_queued = 1;
constexpr int phase_destroyed = 2;

// Gives back everything a job that never ran holds, under the VM lock, so
// the task can be released and teardown never waits for it.
void give_back(return_state* state) noexcept {
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* saved = tl.vm;
    tl.vm = state->vm;
    {
        lum_vm_lock_guard guard(state->vm);
        state->task->in_thread.store(0, std::memory_order_release);
        lumvar_shared::release_cell(state->result);
        if (state->object != nullptr) {
            if (state->object->thread_jobs > 0) --state->object->thread_jobs;
            lumptr_detail::drop_strong(state->object->ref_record);
        }
        lumptr_detail::drop_strong(state->task->ref_record);
        delete state;
    }
    tl.vm = saved;
}

class return_job {
public:
    explicit return_job(return_state* state) noexcept : state_(state) {}
    return_job(return_job&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
    return_job(const return_job&) = delete;
    return_job& operator=(const return_job&) = delete;
    return_job& operator=(return_job&&) = delete;

    ~return_job() {
        return_state* state = state_;
        if (state == nullptr) return;
        state_ = nullptr;
        if (state->phase.exchange(phase_destroyed, std::memory_order_acq_rel) == phase_offering)
            return;  // the offering thread decides
        give_back(state);
    }

    void operator()() {
        return_state* state = state_;
        if (state == nullptr) return;
        state_ = nullptr;
        while (state->phase.load(std::memory_order_acquire) == phase_offering) std::this_thread::yield();
        lum_vm* vm = state->vm;
        lum_thread_local& tl = lum_get_thread_local();
        tl.vm = vm;
        tl.name = vm->name;
        // The work builds its value from what it owns; its cell is the
        // worker's and travels to the VM thread with the record, where the
        // host assigns it to the result cell.
        lumvar* value = nullptr;
        try {
            if (!state->work) throw lum_bad_function_call();
            lumvar_shared produced = state->work();
            value = produced.get();
            if (value != nullptr) ++value->refcount;  // the ring's reference
        } catch (const lum_thread_unwind&) {
            // The worker is cancelled or ends inside the work: the task still
            // gets its (empty) result, and the unwinding goes on.
            finish(state, nullptr);
            throw;
        } catch (const std::exception& e) {
            lum_get_log().error("return_thread callback threw an exception: ", e.what());
        } catch (...) {
            lum_get_log().error("return_thread callback threw an unknown exception");
        }
        finish(state, value);
    }

private:
    // Hands `value` (null: none) to the VM thread and lets the task go.
    static void finish(return_state* state, lumvar* value) {
        lum_vm* vm = state->vm;
        lum_thread_local& tl = lum_get_thread_local();
        lum_task* task = state->task;
        lumvar* result = state->result;
        lumobject_base* object = state->object;
        delete state;  // destroys the work on the worker
        post_return(vm, task, result, object, value);
        // From here the host may drain the record; the task's destructor
        // waits for this flag before it frees the task.
        task->in_thread.store(0, std::memory_order_release);
        if (lum_vm* current = tl.vm) {
            if (lum_vm_wake* wake = current->wake) wake->wake();
        }
    }

    return_state* state_;
};

// Takes one strong count on an object's record for a raw-pointer holder.
bool take_strong(lumptr_base_internal* object) {
    lumptr_ref_record* record = lumptr_storage::get_ref_record(object);
    if (!record->alive || record->object == 0 || record->strong == LUMPTR_PERMANENT) return false;
    ++record->strong;
    return true;
}

void take_return(const lum_return_record& record) {
    lum_task* task = record.task;
    lumvar* result = record.result;
    lumobject_base* object = record.object;
    lumvar* value = record.value;

    if (value != nullptr) {
        lumvar_shared produced(value);          // +1
        lumvar_shared::release_cell(value);     // the record's reference
        if (result != nullptr) {
            // An object result is shared with the script, not copied.
            produced->flags |= LUMVAR_FLAG_SHARED;
            result->set(produced);
        }
    }
    if (result != nullptr) result->flags |= LUMVAR_FLAG_SHARED;
    if (task != nullptr) lum_task::wake(task);
    if (result != nullptr) lumvar_shared::release_cell(result);
    if (object != nullptr) {
        if (object->thread_jobs > 0) --object->thread_jobs;
        lumptr_detail::drop_strong(object->ref_record);
    }
    if (task != nullptr) lumptr_detail::drop_strong(task->ref_record);
}

// Sleeps 1 ms with the VM lock released when the calling thread holds it.
void wait_for_free_worker(lum_vm* vm) {
    lum_thread_local& tl = lum_get_thread_local();
    const bool owned = vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id;
    if (owned) {
        vm->lock.owner.store(0, std::memory_order_relaxed);
        vm->lock.mutex.unlock();
    }
    // Taken back however the sleep ends: a thread cancelled in it unwinds
    // holding the lock, as its callers expect.
    struct take_back {
        lum_vm* vm;
        bool owned;
        uint32_t thread_id;
        ~take_back() {
            if (!owned) return;
            vm->lock.mutex.lock();
            vm->lock.owner.store(thread_id, std::memory_order_relaxed);
        }
    } const back{vm, owned, tl.thread_id};
    const auto now = std::chrono::steady_clock::now();
    const auto until = now <= std::chrono::steady_clock::time_point::max() - std::chrono::milliseconds(1)
                           ? now + std::chrono::milliseconds(1)
                           : std::chrono::steady_clock::time_point::max();
    std::this_thread::sleep_until(until);
}

}  // namespace

lumvar_shared lum_vm_context::return_thread(std::function<lumvar_shared()> work) {
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* vm = tl.vm;
    if (vm == nullptr || task == nullptr) {
        // No VM to hand the work to and no task to suspend: run it here.
        lumvar_shared result;
        try {
            if (!work) throw lum_bad_function_call();
            result = work();
        } catch (const lum_thread_unwind&) {
            throw;
        } catch (const std::exception& e) {
            lum_get_log().error("return_thread callback threw an exception: ", e.what());
        } catch (...) {
            lum_get_log().error("return_thread callback threw an unknown exception");
        }
        return result ? result : lumvar_shared::make();
    }

    lumvar_shared result = lumvar_shared::make();
    if (!take_strong(task)) return result;  // a task being destroyed cannot wait for the work
    suspend();

    auto* state = new return_state;
    state->vm = vm;
    state->work = std::move(work);
    state->result = result.get();
    ++state->result->refcount;  // the job's reference
    state->task = task;
    if (native_object != nullptr && take_strong(native_object)) {
        state->object = native_object;
        ++native_object->thread_jobs;
    }
    task->in_thread.exchange(1, std::memory_order_acq_rel);

    for (;;) {
        state->phase.store(phase_offering, std::memory_order_release);
        const bool accepted = vm->jobs.try_push(lum_job(return_job(state)));
        // After this exchange a queued job owns the state: no more access here.
        const bool destroyed =
            state->phase.exchange(phase_queued, std::memory_order_acq_rel) == phase_destroyed;
        if (accepted) {
            // Dropped by a queue that is shut down: nothing will run it.
            if (destroyed) give_back(state);
            break;
        }
        // The state is still this thread's: a thread that unwinds here (say
        // cancelled while it waits) gives it back before it goes.
        try {
            lum_get_log().warning("Thread pool overload, waiting for free worker threads...");
            // The workers that hold the queue's jobs may be waiting for a free
            // record of the return ring, which only this thread empties: take
            // the finished records first so they can finish and free queue
            // slots.
            if (vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id) lum_drain_return_ring(*vm);
            wait_for_free_worker(vm);
        } catch (...) {
            give_back(state);
            throw;
        }
    }
    return result;
}

size_t lum_drain_return_ring(lum_vm& vm) {
    lum_return_ring& ring = vm.returns;
    size_t taken = 0;
    for (;;) {
        const uint32_t n = ring.read_counter.load(std::memory_order_relaxed);
        const uint32_t index = n % lum_return_ring::capacity;
        if (ring.state[index].load(std::memory_order_acquire) != 2) break;
        const lum_return_record record = ring.records[index];
        ring.records[index] = lum_return_record{};
        ring.read_counter.store(n + 1, std::memory_order_relaxed);
        ring.state[index].store(0, std::memory_order_release);
        take_return(record);
        ++taken;
    }
    return taken;
}

lumobject_base* lum_native_call_object(lum_vm_context& context) noexcept { return context.native_object; }

lumptr_weak<lum_task> lum_current_context_scope() {
    lum_task* task = lum_get_thread_local().current_task;
    if (task == nullptr || task->contexts.empty() || task->contexts.back() == nullptr) return {};
    lum_task* scope = task->contexts.back()->scope;
    if (scope == nullptr) return {};
    return lumptr_weak<lum_task>(scope);
}
