// Linux: counting the copies fork() makes of the process.
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "kernel/exec/process_local.h"

namespace {

std::atomic<uint32_t> generation{0};

void count_the_copy() { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered while the module is loaded, not on first use: a first use on
// one thread while another forks would leave the copy a static marked as
// being made by a thread it does not have.
const bool counting = (::pthread_atfork(nullptr, nullptr, count_the_copy), true);

}  // namespace

uint32_t lumk_process_generation() { return generation.load(std::memory_order_relaxed); }
