// How kernel launches and background compiles reach the host's worker pool:
// the submit function over the calling thread's VM job queue, whether that
// queue is shutting down, and the number of worker threads the pool has.
#pragma once

#include <cstdint>
#include <functional>

// Submit function for helper and compile jobs of the calling thread's VM:
// empty when the thread has no current VM. Calling it moves the job into the
// VM's job queue; it returns false (and drops the job) when the queue is full,
// shut down, or the VM has no worker threads, since such a job would never
// run and the caller must do the work itself.
std::function<bool(std::function<void()>)> lum_kernel_enqueue();

// Stop condition for compile jobs of the calling thread's VM: true once the
// `shutdown` field of the VM's job queue (lum_vm::jobs.shutdown, in the
// layout shared with the host's workers) is set. That field is the only way
// a running compile learns that the host is stopping: lum_job_queue::shut_down
// sets it, and the host calls that before it joins its worker threads, so a
// compile that asks does not hold the join up. A host that stops its workers
// another way (a flag of its own, or ending the threads) must set the field
// (store 1) before it joins them; otherwise a compile on a worker runs on
// until it ends or reaches its time limit (LUM_KERNEL_CC_TIMEOUT, 120 s by
// default), and the join waits as long. Empty when the thread has no current
// VM. Only for jobs that run before the VM is gone (its own workers, or its
// own thread).
std::function<bool()> lum_kernel_pool_stopping();

// Worker threads of the calling thread's VM job pool; 0 without a VM.
uint64_t lum_kernel_worker_count();
