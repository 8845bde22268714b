// The VM lock: an owner thread id and a mutex. The guard takes the mutex
// unless the calling thread already owns the VM; re-entry is counted in the
// thread's VM lock depth.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct lum_vm;

struct lum_vm_lock {
    std::atomic<uint32_t> owner{0}; // thread id of the owner, 0 when free
    std::mutex mutex;

    // Takes the mutex and records `thread_id` as the owner; throws
    // std::system_error on failure.
    void take(uint32_t thread_id) {
        mutex.lock();
        owner.store(thread_id, std::memory_order_release);
    }
    // Clears the owner and unlocks the mutex.
    void give_up() {
        owner.store(0, std::memory_order_release);
        mutex.unlock();
    }
};

class lum_vm_lock_guard {
public:
    // Locks the calling thread's current VM (nothing without one).
    lum_vm_lock_guard();
    // Locks the given VM (nothing for null).
    explicit lum_vm_lock_guard(lum_vm* vm);
    ~lum_vm_lock_guard();
    lum_vm_lock_guard(const lum_vm_lock_guard&) = delete;
    lum_vm_lock_guard& operator=(const lum_vm_lock_guard&) = delete;

    // Takes the mutex again after a scope that gave it up temporarily (only
    // when this guard took it); the depth is not changed.
    void relock();

    bool took_mutex() const noexcept { return locked_; }
    lum_vm* vm() const noexcept { return vm_; }

private:
    void acquire(lum_vm* vm);

    lum_vm* vm_ = nullptr; // the VM found at acquire (null: nothing taken, nothing counted)
    bool locked_ = false;  // true when this guard took the mutex
};

// Hands the VM lock off for a stretch of work that runs without it (kernel
// lanes): when the calling thread owns its current VM's lock, the owner id is
// cleared and the mutex unlocked (the thread's lock depth stays); the
// destructor takes the mutex back and restores the owner, only when this
// object dropped it. Locking again throws std::system_error on failure.
class lum_vm_lock_handoff {
public:
    lum_vm_lock_handoff();
    ~lum_vm_lock_handoff() noexcept(false);
    lum_vm_lock_handoff(const lum_vm_lock_handoff&) = delete;
    lum_vm_lock_handoff& operator=(const lum_vm_lock_handoff&) = delete;

    bool dropped() const noexcept { return vm_ != nullptr; }

private:
    lum_vm* vm_ = nullptr;
    uint32_t thread_id_ = 0;
};

// True when the calling thread owns the VM's lock.
bool lum_vm_owned_by_current_thread(const lum_vm* vm);
