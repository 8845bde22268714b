// The kernel component's initialiser of namespace "std": the four kernel
// classes and the seven kernel functions.
#pragma once

#include <cstdint>

class lum_namespace;

void lum_kernel_namespace_init(lum_namespace& ns);

// Threads a launch from the calling thread may use: the VM's workers plus the
// caller, capped by the thread limit, at least 1.
int64_t lum_kernel_launch_threads();
