#include "runtime/vm_lock.h"

#include "runtime/thread_local.h"
#include "runtime/vm.h"

lum_vm_lock_guard::lum_vm_lock_guard() { acquire(lum_get_thread_local().vm); }

lum_vm_lock_guard::lum_vm_lock_guard(lum_vm* vm) { acquire(vm); }

void lum_vm_lock_guard::acquire(lum_vm* vm) {
    locked_ = false;
    if (vm == nullptr) return;
    lum_thread_local& tl = lum_get_thread_local();
    if (vm->lock.owner.load(std::memory_order_acquire) != tl.thread_id) {
        vm->lock.take(tl.thread_id);
        locked_ = true;
    }
    vm_ = vm;
    ++tl.vm_lock_depth;
}

lum_vm_lock_guard::~lum_vm_lock_guard() {
    if (vm_ == nullptr) return;
    lum_thread_local& tl = lum_get_thread_local();
    --tl.vm_lock_depth;
    if (locked_) {
        vm_->lock.give_up();
    }
}

void lum_vm_lock_guard::relock() {
    if (vm_ == nullptr || !locked_) return;
    lum_thread_local& tl = lum_get_thread_local();
    if (vm_->lock.owner.load(std::memory_order_acquire) == tl.thread_id) return; // still held
    vm_->lock.take(tl.thread_id);
}

bool lum_vm_owned_by_current_thread(const lum_vm* vm) {
    return vm != nullptr && vm->lock.owner.load(std::memory_order_acquire) == lum_get_thread_local().thread_id;
}

lum_vm_lock_handoff::lum_vm_lock_handoff() {
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* vm = tl.vm;
    if (vm == nullptr || vm->lock.owner.load(std::memory_order_acquire) != tl.thread_id) return;
    vm->lock.give_up();
    vm_ = vm;
    thread_id_ = tl.thread_id;
}

lum_vm_lock_handoff::~lum_vm_lock_handoff() noexcept(false) {
    if (vm_ == nullptr) return;
    vm_->lock.take(thread_id_);
}
