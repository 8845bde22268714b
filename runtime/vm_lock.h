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

// True when the calling thread owns the VM's lock.
bool lum_vm_owned_by_current_thread(const lum_vm* vm);
