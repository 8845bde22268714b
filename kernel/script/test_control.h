// Process-wide settings that exist only so that tests can steer the kernel
// script layer: product code reads them, nothing in the product changes them.
// They are declared here, apart from the product headers, so that a reader of
// those sees no knob a script cannot reach, and a test that turns one shows it
// by including this header.
//
// Every such setting belongs to this layer, so the header lives here rather
// than in runtime/, which could not name the kernel types without reaching up
// a layer. Settings that look alike but are not test-only stay where they are:
// the native-code policy, the interpreter mode and the thread limit are user
// settings (LUM_KERNEL_JIT and the std.kernel setters, kernel/exec/settings.h);
// the native driver's warning sink is how the module sends driver warnings to
// its log (kernel/exec/native_driver.h); the job queue's sleep cap is a field
// of each queue (runtime/job_queue.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class lum_std_kernel;

// The most bytes resize, push and append give a buffer (1 GiB): a script that
// asks for more is refused instead of running the machine out of memory.
// Tests lower it to reach the refusal without allocating a gigabyte.
extern std::atomic<uint64_t> lum_std_buffer_max_bytes;

// How a launch asks for native code before its lanes run: through the native
// code driver. A request that throws is logged and the launch runs
// interpreted. Tests replace it to make requests fail; swap it only while no
// launch runs.
using lum_kernel_native_request_fn = void (*)(lum_std_kernel* kernel);
extern std::atomic<lum_kernel_native_request_fn> lum_kernel_native_request;

// The lock of this process's log of failed requests (each reason is logged
// once), for a test that catches a thread inside it.
std::mutex& lum_kernel_failed_request_log_lock_for_tests();
