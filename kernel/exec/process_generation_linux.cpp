// Linux: counting the copies fork() makes of the process.
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "kernel/exec/process_local.h"

std::atomic<uint32_t> lumk_process_generation_count{0};

namespace {

void count_the_copy() { lumk_process_generation_count.fetch_add(1, std::memory_order_relaxed); }

// Registered while the module is loaded, not on first use: a first use on
// one thread while another forks would leave the copy a static marked as
// being made by a thread it does not have.
const bool counting = (::pthread_atfork(nullptr, nullptr, count_the_copy), true);

}  // namespace
