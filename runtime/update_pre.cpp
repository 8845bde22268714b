#include "runtime/update_pre.h"

#include <algorithm>

#include "runtime/log.h"
#include "runtime/thread_local.h"
#include "runtime/vm.h"

lumobject_update_pre::lumobject_update_pre() { join(); }

lumobject_update_pre::lumobject_update_pre(const lumobject_update_pre&) { join(); }

void lumobject_update_pre::join() {
    lum_vm* vm = lum_get_thread_local().vm;
    update_vm_ = vm;
    if (vm == nullptr) return; // no VM on this thread: the object joins no list
    lum_vm_lock_guard guard(vm);
    vm->update_list.push_back(this);
    vm->update_list_changed = 1;
}

lumobject_update_pre::~lumobject_update_pre() {
    lum_vm* vm = update_vm_;
    if (vm == nullptr) return;
    lum_vm_lock_guard guard(vm);
    auto& list = vm->update_list;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    vm->update_list_changed = 1;
}

void lumobject_update_pre::update_pre() { lum_get_log().error_cstr("update_pre: not implemented."); }

void lumobject_update_pre::forget_update_vm() noexcept { update_vm_ = nullptr; }
