// "std.kernel_job": an asynchronous launch. It keeps its buffers locked until
// wait() or its destruction; a dropped job joins its lanes and unlocks.
#pragma once

#include <memory>

#include "kernel/script/binding.h"
#include "kernel/script/kernel_unit.h"
#include "runtime/class_binding.h"

struct lum_vm;

class lum_std_kernel_job : public lumobject<lum_std_kernel_job, CLASS_STRING<"std.kernel_job">> {
public:
    std::shared_ptr<lum_kernel_launch_state> state;
    lumptr_strong<lum_std_kernel> kernel;
    // The VM of the launching script: its lock guards the bound objects' lock
    // counts and references, also when the job is dropped on another thread.
    lum_vm* vm = nullptr;

    ~lum_std_kernel_job() override;

    static void script_register();
};
