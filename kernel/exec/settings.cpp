#include "kernel/exec/settings.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/process_local.h"

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
    std::string value;
    const bool set = lumk_platform_env("LUM_KERNEL_JIT", &value);
    lum_kernel_jit_policy.store(lum_kernel_jit_policy_from_env(set ? value.c_str() : nullptr));
}

namespace {
// Presets the policy when the module is loaded.
const bool jit_env_initialised = (lum_kernel_jit_env_init(), true);
}  // namespace

namespace {

uint64_t word_of(lumk_jit_state state) { return (uint64_t{lumk_process_generation()} << 32) | state; }

lumk_jit_state state_of(uint64_t word) { return static_cast<lumk_jit_state>(word & 0xFFFFFFFFu); }

// A COMPILING or BUSY of another process: its thread is not in this one.
bool left_by_another_process(uint64_t word) {
    const lumk_jit_state s = state_of(word);
    return (s == LUMK_JIT_COMPILING || s == LUMK_JIT_BUSY) && (word >> 32) != lumk_process_generation();
}

lumk_jit_state effective_state(uint64_t word) {
    return left_by_another_process(word) ? LUMK_JIT_NONE : state_of(word);
}

// After taking over a slot that another process's thread was writing: its
// error text may be half made, and is set aside unread (never freed).
void forget_a_half_made_write(lumk_jit_slot& slot, uint64_t seen) {
    if (state_of(seen) == LUMK_JIT_BUSY) new (&slot.error) std::string();
}

bool transition(lumk_jit_slot& slot, lumk_jit_state from, lumk_jit_state to) {
    uint64_t expected = word_of(from);
    return slot.word.compare_exchange_strong(expected, word_of(to), std::memory_order_acq_rel,
                                             std::memory_order_acquire);
}

}  // namespace

lumk_jit_state lumk_jit_load_state(const lumk_jit_slot& slot) {
    return effective_state(slot.word.load(std::memory_order_acquire));
}

lumk_jit_entry_fn lumk_jit_ready_entry(const lumk_jit_slot& slot) {
    return state_of(slot.word.load(std::memory_order_acquire)) == LUMK_JIT_READY ? slot.entry : nullptr;
}

bool lumk_jit_begin_compile(lumk_jit_slot& slot) {
    uint64_t cur = slot.word.load(std::memory_order_acquire);
    while (effective_state(cur) == LUMK_JIT_NONE) {
        if (slot.word.compare_exchange_weak(cur, word_of(LUMK_JIT_COMPILING), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            forget_a_half_made_write(slot, cur);
            return true;
        }
    }
    return false;
}

bool lumk_jit_cancel_compile(lumk_jit_slot& slot) { return transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_NONE); }

bool lumk_jit_finish_ready(lumk_jit_slot& slot, lumk_jit_entry_fn entry) {
    if (!transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_BUSY)) return false;
    slot.entry = entry;
    slot.from_aot = false;
    slot.word.store(word_of(LUMK_JIT_READY), std::memory_order_release);
    return true;
}

bool lumk_jit_finish_failed(lumk_jit_slot& slot, const std::string& error) {
    if (!transition(slot, LUMK_JIT_COMPILING, LUMK_JIT_BUSY)) return false;
    try {
        slot.error = error;
    } catch (...) {
        slot.word.store(word_of(LUMK_JIT_FAILED), std::memory_order_release);
        throw;
    }
    slot.word.store(word_of(LUMK_JIT_FAILED), std::memory_order_release);
    return true;
}

bool lumk_jit_bind_aot(lumk_jit_slot& slot, lumk_jit_entry_fn entry) {
    uint64_t cur = slot.word.load(std::memory_order_acquire);
    for (;;) {
        if (state_of(cur) == LUMK_JIT_READY) return false;
        if (state_of(cur) == LUMK_JIT_BUSY && !left_by_another_process(cur)) {
            // another thread is publishing; it finishes quickly
            std::this_thread::yield();
            cur = slot.word.load(std::memory_order_acquire);
            continue;
        }
        if (slot.word.compare_exchange_weak(cur, word_of(LUMK_JIT_BUSY), std::memory_order_acq_rel,
                                            std::memory_order_acquire))
            break;
    }
    forget_a_half_made_write(slot, cur);
    slot.entry = entry;
    slot.from_aot = true;
    slot.word.store(word_of(LUMK_JIT_READY), std::memory_order_release);
    return true;
}

// Only a map whose lock was free at the fork is whole.
void lumk_jit_loaded_map::table::take_from_parent(table& parent) {
    std::unique_lock<std::mutex> lock(parent.mutex, std::try_to_lock);
    if (lock.owns_lock()) entries = parent.entries;
}

lumk_jit_entry_fn lumk_jit_loaded_map::find(uint64_t hash) const {
    table& t = tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(hash);
    return it == t.entries.end() ? nullptr : it->second;
}

lumk_jit_entry_fn lumk_jit_loaded_map::insert(uint64_t hash, lumk_jit_entry_fn entry) {
    table& t = tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.entries.emplace(hash, entry).first->second;
}

size_t lumk_jit_loaded_map::size() const {
    table& t = tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.entries.size();
}
