// Mix-in of native objects that want a per-turn update_pre() call: the object
// joins the current VM's update list at construction and leaves it at
// destruction.
#pragma once

struct lum_vm;

class lumobject_update_pre {
public:
    // Under the VM lock: stores the thread's current VM, appends the object to
    // its update list and sets the list's changed flag. On a thread without a
    // VM it stores null and joins nothing.
    lumobject_update_pre();
    lumobject_update_pre(const lumobject_update_pre& other); // joins like a new object
    lumobject_update_pre& operator=(const lumobject_update_pre&) { return *this; }
    // Under the lock of the VM it stored: removes every occurrence of the
    // object from the list and sets the changed flag.
    virtual ~lumobject_update_pre();

    // Called by the host once per turn on the VM thread. Default: logs
    // "update_pre: not implemented." at error level.
    virtual void update_pre();

    lum_vm* update_vm() const noexcept { return update_vm_; }
    // Called by the VM's teardown for objects still in its update list: the
    // object no longer refers to the VM (its destructor then touches nothing).
    void forget_update_vm() noexcept;

private:
    void join();

    lum_vm* update_vm_ = nullptr;
};
