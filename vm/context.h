#pragma once
// Execution contexts.
//
// A context (`lum_vm_context`) is the record of one entered code block of a
// task: a function body, loop body, try block, default-value block or the
// script's top-level block. Tasks keep their contexts on a stack; the
// interpreter runs the top one and leaves its outcome in the status word,
// which task continuation reads to push, pop and resume contexts.
//
// Contexts are entered at every call and loop body, so a task's contexts are
// fixed records of its own record stack (`lum_context_records`), reused by
// depth; contexts made without a task (or off the thread that owns the VM)
// come from the VM's context pool (chunks of 255 records built once). Both
// are reference counted by hand: a holder is a plain `lum_vm_context*` that
// owns one count; `release` drops it and clears the holder. A released
// record keeps its local cells (reset to none) for the next use.
//
// Every native function receives the caller's context: it reaches the task
// through it, suspends the task, raises run-time errors and warnings, and
// hands blocking work to a host worker with `return_thread`.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"
#include "vm/status.h"

struct lum_task;
struct lum_vm;
class lum_program_block;
class lum_class;
class lumobject_base;
struct lum_context_records;

struct lum_vm_context {
    // Fields in order.
    lum_task* task = nullptr;              // the task that runs this context (not counted)
    lum_task* scope = nullptr;             // the task whose root holds the global context
    lum_program_block* block = nullptr;    // the block being run
    const uint8_t* ip = nullptr;           // instruction position; while an opcode runs: its first byte
    lumobject_base* native_object = nullptr; // object of the native method running, else null
    uint32_t resume_offset = 0;            // where the next run starts (from the first code byte)
    int32_t pushed = 0;                    // net values this context pushed on the task's value stack
    uint32_t argc = 0;                     // arguments the caller passed
    uint32_t ref_count = 0;                // holders; free again (stack or pool) at 0
    uint32_t call_record_mark = 0;         // task's pending call records at init
    uint32_t pending_context_mark = 0;     // task's pending contexts at init
    uint32_t frame_mark = 0;               // task's argument-frame depth at init
    std::vector<lumvar_shared> slots;      // local slots (never shrinks; extra cells stay none)
    lumptr_weak<lum_class> self;           // instance the block runs for; empty when none
    lumptr_strong<lum_class> keep_alive;   // temporary instance whose method runs; dropped on release
    uint32_t status = LUM_STATUS_RUNNING;  // lum_status
    uint8_t default_value = 0;             // 1 while a parameter's default block runs
    uint8_t resumable = 0;                 // 1 while the context has a saved resume point
    uint8_t operator_mode = 0;             // 0 none, 1..3 a script operator call in progress
    uint8_t pool_slot = 255;               // index in its pool chunk; 255 = heap record
    uint32_t stack_index = 0;              // position in the record stack it belongs to
    lum_context_records* home = nullptr;   // that record stack; null for pool and heap records

    // A record with reference count 1, initialised with `init`: the task's
    // next stack record when the calling thread may change the task (it owns
    // the VM lock, or there is no VM), else a pooled one. Null only when
    // neither the pool nor the heap can give a record.
    static lum_vm_context* make(lum_task* task, lum_task* scope, lum_program_block* block, lum_class* self);

    // Stores task, scope and block, clears the counters and bytes, copies the
    // task's stack heights into the marks, grows the slots to the block's
    // slot count (fresh none cells) and sets self (weak; null = none).
    void init(lum_task* task, lum_task* scope, lum_program_block* block, lum_class* self);

    // Drops the holder's reference and clears the holder. At 0 the local
    // cells are reset (in place when held only here; shared cells are
    // replaced by fresh ones, and reset in place first in a top-level block),
    // self and keep-alive are dropped and the record is free again (at its
    // stack position, else in its pool). On a thread that does not own the
    // VM, the whole release runs under the VM lock. A null holder does nothing.
    static void release(lum_vm_context*& holder);

    // Takes one more reference (for a second holder).
    void add_ref() noexcept { ++ref_count; }

    // Status 32; the task joins the VM's waiting list (strong handle) and its
    // waiting flag is set. The task stays there until `lum_task::wake`.
    void suspend();

    // Runs `work` on a host worker while the calling task waits: suspends
    // the task, makes the result cell, queues the job (retrying every 1 ms
    // with the VM lock released while the queue is full) and returns the
    // result cell at once. The native method returns that cell as its own
    // result; when the host has drained the job's return record and the
    // task continues, the cell holds the work's value (none when the work
    // threw). The work runs without the VM lock: it must not touch value
    // cells, handles or objects of the VM; it builds its result from data it
    // owns.
    lumvar_shared return_thread(std::function<lumvar_shared()> work);

    // Try-block search and report for a run-time error raised while this
    // context runs (see vm/report.h for the report format).
    void raise_runtime_error(std::string_view report, std::string_view message, bool catchable);
    // Prints the error report for frame `frame` of the task's context stack,
    // or for all frames (first 10 and last 20 beyond 30) when frame is -1.
    void print_runtime_error(std::string_view report, int64_t frame);
    // A "Runtime Warning" report at this context's position.
    void runtime_warning(std::string_view message);

    // Code offset of the instruction position (ip minus the first code byte).
    uint32_t code_offset() const noexcept;
};

// The records of a task's calls (see lum_task::records): a stack of fixed
// records, each made once on the heap and reused for every call at its
// position. Records never move: the stack keeps pointers to them. A call
// takes the record at `top` and moves top up; releasing a record (count 0,
// cells reset as the pool's release does it) moves top down over every free
// record at the top. A record that keeps holders after its call returned (a
// native's second reference, a suspended task, a report) simply stays in use
// at its position until its last holder releases it; calls made meanwhile
// take the records above it. When the task goes away, free records are
// deleted and held ones become heap records that their last release deletes.
struct lum_context_records {
    std::vector<lum_vm_context*> records;  // records[i]->stack_index == i
    uint32_t top = 0;                      // records at or above top are free
    uint32_t free_below = 0;               // free records below top (released out of order)

    lum_context_records() = default;
    lum_context_records(const lum_context_records&) = delete;
    lum_context_records& operator=(const lum_context_records&) = delete;
    ~lum_context_records();

    // The record at top (made on first use), reference count 1; its cells
    // are none and it has no self or keep-alive reference. Null only when no
    // record can be made.
    [[gnu::always_inline]] lum_vm_context* take() {
        if (top == records.size()) [[unlikely]] {
            if (!grow()) return nullptr;
        }
        lum_vm_context* c = records[top++];
        c->ref_count = 1;
        return c;
    }
    // A released record (count 0, cells already reset) is free again; top
    // moves down over the free records above the highest one still in use.
    [[gnu::always_inline]] void give_back(lum_vm_context* c) {
        if (c->stack_index + 1 != top) [[unlikely]] {
            ++free_below;  // a record above is still held
            return;
        }
        --top;
        if (free_below != 0) [[unlikely]] {
            while (top != 0 && records[top - 1]->ref_count == 0) {
                --top;
                --free_below;
            }
        }
    }

    // Deletes the free records above the top beyond the first `keep` (all
    // records at or above top are free).
    void trim(size_t keep);

private:
    bool grow();
};

// A record from the VM's context pool when the thread's pooling switch is
// on, a VM is current and the thread owns its lock; otherwise a heap record
// (pool slot 255). Pool records are built once per chunk and not rebuilt.
lum_vm_context* lum_vm_context_pool_alloc();

// Takes every full record of the VM's return ring in order: assigns the
// worker's value to the result cell (shared), wakes the task, and gives back
// the references the record holds and the object's job count. On the thread
// that owns the VM lock only. Returns the number of records taken.
size_t lum_drain_return_ring(lum_vm& vm);
