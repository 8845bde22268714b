#include "kernel/exec/aot.h"

#include "kernel/compiler/program.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/process_local.h"

namespace {
constinit lumk_process_local<lumk_aot_registry_state> registry;
}  // namespace

void lumk_aot_registry_state::take_from_parent(lumk_aot_registry_state& parent) {
    std::unique_lock<std::mutex> lock(parent.mutex, std::try_to_lock);
    if (lock.owns_lock()) entries = parent.entries;
    // Every slot looks again once (a registration may have been between its
    // entry and its generation).
    generation.store(parent.generation.load(std::memory_order_acquire) + 1, std::memory_order_release);
}

lumk_aot_registry_state& lumk_aot_registry() { return registry.get(); }

void lumk_aot_register_entry(uint64_t hash, lumk_jit_entry_fn fn) {
    lumk_aot_registry_state& reg = lumk_aot_registry();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.entries[hash] = fn;
    }
    reg.generation.fetch_add(1, std::memory_order_acq_rel);
}

void lumk_aot_bind(const lumk_program& program, lumk_jit_slot& slot) {
    lumk_aot_registry_state& reg = lumk_aot_registry();
    const uint32_t g = reg.generation.load(std::memory_order_acquire);
    if (lumk_jit_load_state(slot) == LUMK_JIT_READY) return;
    if (slot.generation.load(std::memory_order_relaxed) == g) return;

    uint64_t hash = slot.aot_hash.load(std::memory_order_relaxed);
    if (hash == 0) {
        try {
            hash = lumk_source_hash(program);
        } catch (...) {
            slot.generation.store(g, std::memory_order_relaxed);
            throw;
        }
        slot.aot_hash.store(hash, std::memory_order_relaxed);
    }
    lumk_jit_entry_fn fn = nullptr;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.entries.find(hash);
        if (it != reg.entries.end()) fn = it->second;
    }
    if (fn != nullptr) lumk_jit_bind_aot(slot, fn);
    slot.generation.store(g, std::memory_order_relaxed);
}
