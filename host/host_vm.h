// The stand-in host's VM: owns a real lum_vm with its worker threads, makes
// it the creating thread's current VM and holds its lock there, runs the
// per-turn duties and tears everything down in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/vm.h"

// Wake object of the host VM: any thread may call wake(); the VM thread
// sleeps in wait_for() until woken or the timeout passes.
class lum_host_wake : public lum_vm_wake {
public:
    void wake() override;
    // True when woken (the signal is consumed), false on timeout.
    bool wait_for(uint32_t milliseconds);
    bool wait_until(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// Per-turn duties that run on the VM thread with the VM lock held.
// Returns every item waiting in the pools' deferred-free rings to its pool.
size_t lum_host_drain_pool_rings(lum_vm& vm);
// Calls update_pre of every member of the update list once; members that
// leave the list during the turn are skipped, members that join wait for the
// next turn. Returns the number of calls.
size_t lum_host_call_update_pre(lum_vm& vm);
// Releases (detach + destroy) the deferred releases whose objects have no
// outstanding thread jobs. Returns the number released.
size_t lum_host_release_deferred(lum_vm& vm);

struct lum_host_vm_options {
    uint32_t workers = 0;        // worker threads popping the job queue
    std::string name = "lumio";  // VM name, copied into the workers' runtime blocks
    uint32_t max_call_depth = 0; // 0 = no limit
    lumptr_strong<lum_log_base> logger; // empty: a lum_host_logger printing to stderr
};

class lum_host_vm {
public:
    explicit lum_host_vm(lum_host_vm_options options = {});
    ~lum_host_vm(); // shutdown()
    lum_host_vm(const lum_host_vm&) = delete;
    lum_host_vm& operator=(const lum_host_vm&) = delete;

    lum_vm& vm() noexcept { return *vm_; }
    lum_vm* get() noexcept { return vm_.get(); }
    lum_host_wake& waker() noexcept { return wake_; }

    struct turn_report {
        size_t ring_items = 0; // items returned from the pools' deferred-free rings
        size_t returns = 0;    // return-ring records taken
        size_t tasks = 0;      // task continuations
        size_t updates = 0;    // update_pre calls
        size_t released = 0;   // deferred releases done
    };
    // One turn on the VM thread (takes the VM lock if not held): drain the
    // pools' deferred-free rings, then the full turn of host/turn.h (return
    // ring, due tasks, update_pre once per member, deferred releases whose
    // objects have no outstanding thread jobs).
    turn_report turn();

    uint32_t worker_count() const noexcept { return static_cast<uint32_t>(workers_.size()); }

    // The creating thread holds the VM lock from construction on; the loop
    // drops it while it sleeps so that other threads can run callbacks.
    void hold_lock();
    void drop_lock();
    bool holds_lock() const noexcept { return hold_ != nullptr; }

    // Teardown (idempotent): stop and join the workers, destroy jobs left in
    // the queue, drain the rings, release what the VM holds, retire the pools'
    // chunks (0xFFAB0DED where items are still live), clear the thread's VM.
    void shutdown();

private:
    void start_workers(uint32_t count);
    static void worker_main(lum_vm* vm);

    std::unique_ptr<lum_vm> vm_;
    lum_host_wake wake_;
    std::vector<std::thread> workers_;
    std::unique_ptr<lum_vm_lock_guard> hold_;
    lum_vm* previous_vm_ = nullptr;
    uint32_t owner_thread_ = 0;
    bool shut_down_ = false;
};
