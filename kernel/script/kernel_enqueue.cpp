#include "kernel/script/kernel_enqueue.h"

#include <utility>

#include "runtime/job_queue.h"
#include "runtime/thread_local.h"
#include "runtime/vm.h"

std::function<bool(std::function<void()>)> lum_kernel_enqueue() {
    lum_vm* vm = lum_get_thread_local().vm;
    if (vm == nullptr) return {};
    return [vm](std::function<void()> job) -> bool {
        if (!job) return false;
        if (vm->worker_count == 0 || vm->jobs.is_shut_down()) return false;
        return vm->jobs.try_push(lum_job(std::move(job)));
    };
}

std::function<bool()> lum_kernel_pool_stopping() {
    const lum_vm* vm = lum_get_thread_local().vm;
    if (vm == nullptr) return {};
    return [vm] { return vm->jobs.is_shut_down(); };
}

uint64_t lum_kernel_worker_count() {
    const lum_vm* vm = lum_get_thread_local().vm;
    return vm != nullptr ? static_cast<uint64_t>(vm->worker_count) : 0;
}
