#include "kernel/exec/aot.h"

#include "kernel/compiler/program.h"
#include "kernel/exec/jit_source.h"

lumk_aot_registry_state& lumk_aot_registry() {
    static lumk_aot_registry_state* const registry = new lumk_aot_registry_state;
    return *registry;
}

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
    if (slot.state.load(std::memory_order_acquire) == LUMK_JIT_READY) return;
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
