#include "host/host_vm.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "host/host_log.h"
#include "host/turn.h"
#include "runtime/object.h"
#include "runtime/update_pre.h"

void lum_host_wake::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

bool lum_host_wake::wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool woken = cv_.wait_until(lock, deadline, [&] { return signalled_; });
    signalled_ = false;
    return woken;
}

bool lum_host_wake::wait_for(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool woken = cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return signalled_; });
    signalled_ = false;
    return woken;
}

lum_host_vm::lum_host_vm(lum_host_vm_options options) : vm_(std::make_unique<lum_vm>()) {
    lum_thread_local& tl = lum_get_thread_local();
    owner_thread_ = tl.thread_id;
    vm_->name = options.name;
    vm_->settings.max_call_depth = options.max_call_depth;
    vm_->wake = &wake_;
    if (options.logger) {
        vm_->logger = options.logger;
    } else {
        lum_pooling_suspend heap_record; // no VM is current yet; keep it explicit
        vm_->logger = lumptr_strong<lum_log_base>(new lum_host_logger(stderr));
    }
    previous_vm_ = tl.vm;
    tl.vm = vm_.get();
    hold_lock();
    start_workers(options.workers);
}

lum_host_vm::~lum_host_vm() { shutdown(); }

void lum_host_vm::hold_lock() {
    if (!hold_) hold_ = std::make_unique<lum_vm_lock_guard>(vm_.get());
}

void lum_host_vm::drop_lock() { hold_.reset(); }

void lum_host_vm::start_workers(uint32_t count) {
    vm_->worker_count = count;
    workers_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) workers_.emplace_back(worker_main, vm_.get());
}

void lum_host_vm::worker_main(lum_vm* vm) {
    lum_thread_local& tl = lum_get_thread_local();
    tl.vm = vm;
    tl.name = vm->name;
    lum_job job;
    while (vm->jobs.wait_pop(job)) {
        try {
            job();
        } catch (const std::exception& e) {
            lum_get_log().error("worker job failed: ", e.what());
        } catch (...) {
            lum_get_log().error("worker job failed: unknown exception");
        }
        job.reset(); // what the job owns is given back on the worker
    }
    tl.vm = nullptr;
}

size_t lum_host_drain_pool_rings(lum_vm& vm) { return vm.drain_pool_rings(); }

size_t lum_host_call_update_pre(lum_vm& vm) {
    size_t calls = 0;
    std::vector<lumobject_update_pre*> snapshot = vm.update_list;
    vm.update_list_changed = 0;
    for (lumobject_update_pre* object : snapshot) {
        if (vm.update_list_changed != 0 &&
            std::find(vm.update_list.begin(), vm.update_list.end(), object) == vm.update_list.end())
            continue;
        object->update_pre();
        ++calls;
    }
    return calls;
}

size_t lum_host_release_deferred(lum_vm& vm) {
    size_t released = 0;
    auto& deferred = vm.deferred_releases;
    for (size_t i = 0; i < deferred.size();) {
        lumobject_base* object = deferred[i].get();
        if (object != nullptr && object->thread_jobs != 0) {
            ++i;
            continue;
        }
        lumptr_strong<lumobject_base> handle = std::move(deferred[i]);
        deferred.erase(deferred.begin() + static_cast<std::ptrdiff_t>(i));
        if (object != nullptr) {
            object->detach();
            object->destroy();
        }
        handle.reset();
        ++released;
    }
    return released;
}

lum_host_vm::turn_report lum_host_vm::turn() {
    turn_report report;
    lum_vm_lock_guard guard(vm_.get());
    auto taken = [this] {
        uint32_t sum = 0;
        for (lum_pool_base* pool : vm_->pools_in_teardown_order()) sum += pool->deferred_taken();
        return sum;
    };
    uint32_t before = taken();
    lum_host_turn_result full = lum_host_turn(*this); // drains the pools' rings first
    report.ring_items = taken() - before;
    report.returns = full.returns;
    report.tasks = full.tasks;
    report.updates = full.updates;
    report.released = full.released;
    return report;
}

void lum_host_vm::shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    lum_vm* vm = vm_.get();
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* saved = tl.vm;
    tl.vm = vm;

    // Tasks end (or are stopped) before the queue shuts: their worker jobs
    // get a chance to finish and post their results.
    lum_host_stop_tasks(*this, std::chrono::milliseconds(2000));

    // Workers stop without the VM lock held here, so a job that needs the
    // lock to give its references back can finish.
    bool held = holds_lock();
    drop_lock();
    vm->jobs.shut_down();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    vm->worker_count = 0;
    if (held) hold_lock();

    {
        lum_vm_lock_guard guard(vm);
        vm->jobs.clear();             // jobs never run give back what they own, under the lock
        lum_host_drain_returns(*vm);  // records posted by jobs that ran late
        vm->drain_pool_rings();
        vm->teardown_pools();         // releases what the VM holds, then retires the chunks
    }
    drop_lock();
    vm->wake = nullptr;
    // The thread no longer works for this VM.
    tl.vm = (saved == vm) ? previous_vm_ : saved;
    if (tl.vm == vm) tl.vm = nullptr;
}
