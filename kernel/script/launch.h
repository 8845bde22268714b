// The launch methods of "std.kernel" (the job of launch_async is "std.kernel_job", kernel_job.h).
#pragma once

#include <vector>

#include "runtime/context_fwd.h"
#include "runtime/value.h"

class lum_std_kernel;

// k.launch(domain, ...): runs the kernel and returns its result.
lumvar_shared lum_kernel_launch(lum_std_kernel* kernel, std::vector<lumvar_shared>& args);
// k.launch_async(domain, ...): starts the kernel and returns a std.kernel_job.
lumvar_shared lum_kernel_launch_async(lum_std_kernel* kernel, std::vector<lumvar_shared>& args);
