#include "kernel/script/launch.h"

#include "vm/runtime_error.h"

lumvar_shared lum_kernel_launch(lum_std_kernel*, std::vector<lumvar_shared>&) {
    return lum_runtime_error(true, "kernel launches are not available in this build");
}

lumvar_shared lum_kernel_launch_async(lum_std_kernel*, std::vector<lumvar_shared>&) {
    return lum_runtime_error(true, "kernel launches are not available in this build");
}

#include "kernel/script/kernel_job.h"

lum_std_kernel_job::~lum_std_kernel_job() = default;

void lum_std_kernel_job::script_register() {
    set_factory([] { return lumptr_strong<lum_std_kernel_job>(new lum_std_kernel_job()); });
}
