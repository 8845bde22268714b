// "std.kernel_job": an asynchronous launch. It keeps its buffers locked until
// wait() or its destruction; a dropped job joins its lanes and unlocks.
#pragma once

#include <memory>

#include "kernel/script/binding.h"
#include "kernel/script/kernel_unit.h"
#include "runtime/class_binding.h"

class lum_std_kernel_job : public lumobject<lum_std_kernel_job, CLASS_STRING<"std.kernel_job">> {
public:
    std::shared_ptr<lum_kernel_launch_state> state;
    lumptr_strong<lum_std_kernel> kernel;

    ~lum_std_kernel_job() override;

    static void script_register();
};
