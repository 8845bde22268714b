// The process-wide registry of ahead-of-time kernel functions, keyed by source
// hash, and the binding of a program's JIT slot to a registered function.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "kernel/exec/settings.h"

struct lumk_program;

struct lumk_aot_registry_state {
    std::mutex mutex;                                 // guards entries
    std::map<uint64_t, lumk_jit_entry_fn> entries;    // source hash -> function
    std::atomic<uint32_t> generation{1};              // raised after every registration

    // A forked copy of the process keeps its parent's functions (the
    // libraries stay loaded), unless the registry was being changed at the
    // fork; then it starts empty. Every slot looks again.
    void take_from_parent(lumk_aot_registry_state& parent);
};

// This process's registry (kernel/exec/process_local.h), created on first use
// and never destroyed, so that code running during process exit still finds
// it.
lumk_aot_registry_state& lumk_aot_registry();

// Stores `fn` under `hash` (a later registration replaces an earlier one), then
// raises the generation.
void lumk_aot_register_entry(uint64_t hash, lumk_jit_entry_fn fn);

// Gives `slot` the registered function of the program's source hash when there
// is one and the slot is not ready yet (state none, compiling or failed). Looks
// only when the registry generation moved since the slot's last look; computes
// the source hash once per slot. Throws the translation error of a program that
// has no C translation (the generation seen is then still recorded).
void lumk_aot_bind(const lumk_program& program, lumk_jit_slot& slot);
