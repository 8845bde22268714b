// Process-wide kernel execution settings, the per-program JIT slot with its
// state machine, and the map of loaded native kernel libraries.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kernel/exec/process_local.h"

union kreg;
struct kptr;
struct ktrap;

// Threads a launch may use: 0 = all, else 1..4096.
extern std::atomic<uint32_t> lum_kernel_thread_limit;
// Native-code policy: 0 auto, 1 sync, 2 off. Preset from LUM_KERNEL_JIT at load.
extern std::atomic<uint32_t> lum_kernel_jit_policy;
// Interpreter mode: 0 auto, 1 scalar, 2 batch.
extern std::atomic<uint32_t> lum_kernel_interp_mode;

enum : uint32_t { LUM_KERNEL_JIT_AUTO = 0, LUM_KERNEL_JIT_SYNC = 1, LUM_KERNEL_JIT_OFF = 2 };
enum : uint32_t { LUM_KERNEL_MODE_AUTO = 0, LUM_KERNEL_MODE_SCALAR = 1, LUM_KERNEL_MODE_BATCH = 2 };

// "auto", "sync", "off" ("?" otherwise).
const char* lum_kernel_jit_policy_name(uint32_t policy);
// "auto", "scalar", "batch" ("?" otherwise).
const char* lum_kernel_interp_mode_name(uint32_t mode);
// Policy named by a LUM_KERNEL_JIT value: exactly "sync" -> 1, exactly "off" -> 2,
// anything else (or null) -> 0.
uint32_t lum_kernel_jit_policy_from_env(const char* value);
// Reads LUM_KERNEL_JIT and stores the policy. Runs once as a static
// initialiser when the module is loaded.
void lum_kernel_jit_env_init();

// Native entry of a compiled kernel; the signature of the generated lumk_jit_entry.
using lumk_jit_entry_fn = int (*)(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end,
                                  const volatile unsigned char* abort, ktrap* trap);

using lumk_jit_state = uint32_t;
enum : lumk_jit_state {
    LUMK_JIT_NONE = 0,
    LUMK_JIT_COMPILING = 1,
    LUMK_JIT_READY = 2,
    LUMK_JIT_FAILED = 3,
    LUMK_JIT_BUSY = 4,  // transient: one thread writes entry, error or the AOT flag
};

// Native-code state of one program. Every state change is a compare-exchange;
// entry, error and from_aot are written only while the state is BUSY, and the
// final state is stored after them with release order, so a reader that loads
// READY (acquire) also sees the entry. COMPILING and BUSY carry the process
// generation (kernel/exec/process_local.h) that set them: in a forked copy of
// the process a compile or a write of its parent's threads is nobody's, and
// the slot counts as NONE there.
struct lumk_jit_slot {
    lumk_jit_entry_fn entry = nullptr;          // valid only while READY
    std::atomic<uint64_t> word{LUMK_JIT_NONE};  // (process generation << 32) | state
    std::string error;                           // failure text while FAILED
    bool from_aot = false;                       // entry came from the AOT registry
    std::atomic<uint64_t> aot_hash{0};           // source hash, 0 = not computed yet
    std::atomic<uint32_t> generation{0};         // AOT registry generation at last lookup
};

// Current state (acquire); NONE for a compile or write of another process.
lumk_jit_state lumk_jit_load_state(const lumk_jit_slot& slot);
// The entry when the slot is READY, else null.
lumk_jit_entry_fn lumk_jit_ready_entry(const lumk_jit_slot& slot);
// NONE (or another process's COMPILING or BUSY) -> COMPILING; true for the
// caller that now owns the compile.
bool lumk_jit_begin_compile(lumk_jit_slot& slot);
// COMPILING -> NONE when the compile job could not be queued.
bool lumk_jit_cancel_compile(lumk_jit_slot& slot);
// COMPILING -> BUSY -> READY with the entry (from_aot cleared). False, and the
// result dropped, when the slot is no longer COMPILING.
bool lumk_jit_finish_ready(lumk_jit_slot& slot, lumk_jit_entry_fn entry);
// COMPILING -> BUSY -> FAILED with the error text. False when no longer COMPILING.
bool lumk_jit_finish_failed(lumk_jit_slot& slot, const std::string& error);
// NONE, COMPILING or FAILED -> BUSY -> READY with an AOT entry (from_aot set).
// Waits out a BUSY slot; false when the slot is (or became) READY otherwise.
bool lumk_jit_bind_aot(lumk_jit_slot& slot, lumk_jit_entry_fn entry);

// Process-wide map from a native library's file hash to its loaded entry.
// Libraries are never unloaded, so entries stay valid until the process ends
// (and in a forked copy of it, which takes its parent's entries).
class lumk_jit_loaded_map {
public:
    // The entry loaded for `hash`, or null.
    lumk_jit_entry_fn find(uint64_t hash) const;
    // Records the entry for `hash` unless one is there; returns the entry kept.
    lumk_jit_entry_fn insert(uint64_t hash, lumk_jit_entry_fn entry);
    size_t size() const;
    // For tests only: the lock of this process's table.
    std::mutex& lock_for_tests() const { return tables().mutex; }

private:
    struct table {
        std::mutex mutex;
        std::unordered_map<uint64_t, lumk_jit_entry_fn> entries;
        void take_from_parent(table& parent);
    };
    table& tables() const { return tables_.get(); }
    mutable lumk_process_local<table> tables_;
};
// Constructed empty by a static initialiser and never destroyed, so that a
// compile finishing during process exit touches nothing freed.
extern lumk_jit_loaded_map& lumk_jit_loaded;
