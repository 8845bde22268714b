#include "kernel/exec/settings.h"

#include <cstdlib>
#include <cstring>
#include <thread>

constinit std::atomic<uint32_t> lum_kernel_thread_limit{0};
constinit std::atomic<uint32_t> lum_kernel_jit_policy{LUM_KERNEL_JIT_AUTO};
constinit std::atomic<uint32_t> lum_kernel_interp_mode{LUM_KERNEL_MODE_AUTO};

lumk_jit_loaded_map& lumk_jit_loaded = *new lumk_jit_loaded_map;

const char* lum_kernel_jit_policy_name(uint32_t policy) {
    static const char* const names[3] = {"auto", "sync", "off"};
    return policy < 3 ? names[policy] : "?";
}

const char* lum_kernel_interp_mode_name(uint32_t mode) {
    static const char* const names[3] = {"auto", "scalar", "batch"};
    return mode < 3 ? names[mode] : "?";
}

uint32_t lum_kernel_jit_policy_from_env(const char* value) {
    if (value == nullptr) return LUM_KERNEL_JIT_AUTO;
    if (std::strcmp(value, "sync") == 0) return LUM_KERNEL_JIT_SYNC;
    if (std::strcmp(value, "off") == 0) return LUM_KERNEL_JIT_OFF;
    return LUM_KERNEL_JIT_AUTO;
}

void lum_kernel_jit_env_init() {
    lum_kernel_jit_policy.store(lum_kernel_jit_policy_from_env(std::getenv("LUM_KERNEL_JIT")));
}

namespace {
// Presets the policy when the module is loaded.
const bool jit_env_initialised = (lum_kernel_jit_env_init(), true);
}  // namespace

lumk_jit_state lumk_jit_load_state(const lumk_jit_slot& slot) {
    return slot.state.load(std::memory_order_acquire);
}

lumk_jit_entry_fn lumk_jit_ready_entry(const lumk_jit_slot& slot) {
    return slot.state.load(std::memory_order_acquire) == LUMK_JIT_READY ? slot.entry : nullptr;
}

namespace {
bool transition(lumk_jit_slot& slot, lumk_jit_state from, lumk_jit_state to) {
    return slot.state.compare_exchange_strong(from, to, std::memory_order_acq_rel, std::memory_order_acquire);
}
}  // namespace

bool lumk_jit_begin_compile(lumk_jit_slot& slot) { return transition(slot, LUMK_JIT_NONE, LUMK_JIT_COMPILING); }

bool lumk_jit_cancel_compile(lumk_jit_slot& slot) { return transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_NONE); }

bool lumk_jit_finish_ready(lumk_jit_slot& slot, lumk_jit_entry_fn entry) {
    if (!transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_BUSY)) return false;
    slot.entry = entry;
    slot.from_aot = false;
    slot.state.store(LUMK_JIT_READY, std::memory_order_release);
    return true;
}

bool lumk_jit_finish_failed(lumk_jit_slot& slot, const std::string& error) {
    if (!transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_BUSY)) return false;
    try {
        slot.error = error;
    } catch (...) {
        slot.state.store(LUMK_JIT_FAILED, std::memory_order_release);
        throw;
    }
    slot.state.store(LUMK_JIT_FAILED, std::memory_order_release);
    return true;
}

bool lumk_jit_bind_aot(lumk_jit_slot& slot, lumk_jit_entry_fn entry) {
    lumk_jit_state cur = slot.state.load(std::memory_order_acquire);
    for (;;) {
        if (cur == LUMK_JIT_READY) return false;
        if (cur == LUMK_JIT_BUSY) {  // another thread is publishing; it finishes quickly
            std::this_thread::yield();
            cur = slot.state.load(std::memory_order_acquire);
            continue;
        }
        if (slot.state.compare_exchange_weak(cur, LUMK_JIT_BUSY, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
            break;
    }
    slot.entry = entry;
    slot.from_aot = true;
    slot.state.store(LUMK_JIT_READY, std::memory_order_release);
    return true;
}

lumk_jit_entry_fn lumk_jit_loaded_map::find(uint64_t hash) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(hash);
    return it == entries_.end() ? nullptr : it->second;
}

lumk_jit_entry_fn lumk_jit_loaded_map::insert(uint64_t hash, lumk_jit_entry_fn entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.emplace(hash, entry).first->second;
}

size_t lumk_jit_loaded_map::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}
