// The launch methods of "std.kernel" (the job of launch_async is "std.kernel_job", kernel_job.h).
#pragma once

#include <atomic>
#include <vector>

#include "runtime/context_fwd.h"
#include "runtime/value.h"

class lum_std_kernel;

// k.launch(domain, ...): runs the kernel and returns its result.
lumvar_shared lum_kernel_launch(lum_std_kernel* kernel, std::vector<lumvar_shared>& args);
// k.launch_async(domain, ...): starts the kernel and returns a std.kernel_job.
lumvar_shared lum_kernel_launch_async(lum_std_kernel* kernel, std::vector<lumvar_shared>& args);

// How a launch asks for native code before its lanes run: through the native
// code driver. A request that throws is logged and the launch runs
// interpreted. Replaceable so that tests can make requests fail; swap it only
// while no launch runs.
using lum_kernel_native_request_fn = void (*)(lum_std_kernel* kernel);
extern std::atomic<lum_kernel_native_request_fn> lum_kernel_native_request;
