#pragma once
// Tasks.
//
// A task (`lum_task`) is one running script routine: a code block with its
// own stack of execution contexts, its value stack, its pending calls and
// its error value. Script code never runs outside a task. Native code
// creates tasks for script callbacks and either runs them at once on the
// calling thread (`run`, under the VM lock) or hands them to the host's
// scheduler (`start`, `schedule`), whose loop continues them when due.
//
// `task_continue` drives the interpreter over the context stack and acts on
// the status each run leaves: it enters called blocks, returns from
// functions, leaves loops, unwinds run-time errors to the nearest try block
// or function boundary, enforces the call-depth limit and finishes the
// task. Calls never recurse into the interpreter: every block entry is a
// pushed context.
//
// One task of each program is its global-scope task (first context runs the
// top-level block; its local slots are the global variables). Every other
// task is a routine of that global scope.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"
#include "vm/context.h"

class lum_program;
class lum_program_block;
struct lum_call_record;     // vm/call_record.h
struct lum_argument_frame;  // vm/call_record.h

// Due time meaning "never due".
inline constexpr uint64_t LUM_TASK_NEVER = ~uint64_t{0};

// Milliseconds of the system clock (100-ns ticks divided by 10000).
uint64_t lum_task_now_ms();

struct lum_task : public lumptr_base<lum_task>, public lumptr_type_tag<lum_task> {
    using handler = std::function<void(lumvar_shared)>;

    lum_task();
    ~lum_task() override;
    lum_task(const lum_task&) = delete;
    lum_task& operator=(const lum_task&) = delete;

    // Fields in order.
    lumptr_strong<lum_program> program;          // program of the task's block
    lumptr_strong<lum_program_block> block;      // block the first context runs
    uint8_t routine = 0;                         // 1: not a top-level block (routine of a global scope)
    lumptr_strong<lum_task> global_scope;        // global-scope task of a routine; empty for a global scope
    uint32_t routine_count = 0;                  // routines of this global scope still alive
    lumptr_strong<lum_task> creator;             // task running when this one was created
    uint32_t child_count = 0;                    // tasks created while this one ran, still alive
    uint64_t creation_time = 0;                  // ms, lum_task_now_ms()
    std::string name;
    handler on_complete;                         // called once when the task finishes
    handler on_error;                            // called once on an unhandled run-time error
    uint8_t scheduled = 0;                       // in the VM's task heap
    uint8_t waiting = 0;                         // in the VM's waiting list
    uint64_t due = LUM_TASK_NEVER;               // ms; LUM_TASK_NEVER = never due
    std::atomic<uint8_t> in_thread{0};           // a return_thread job of this task runs on a worker
    uint8_t active = 0;                          // arguments bound, not finished
    uint8_t stop = 0;                            // next continuation finishes without running code
    uint8_t globals_cleared = 0;                 // release-time clearing of globals done
    uint32_t clearing_pass = 0;                  // 0 or 1
    int32_t clearing_cursor = -1;                // next slot to clear; -1 before it starts
    std::vector<lum_vm_context*> contexts;       // context stack; running one on top (each holds one count)
    std::vector<lum_vm_context*> pending_contexts; // contexts of prepared calls not yet started
    lum_context_records records;                 // the records of the task's contexts (see vm/context.h)
    std::vector<lum_call_record> pending_calls;  // one per prepared native call
    std::vector<lumvar_shared> stack;            // value stack; last element is the top
    std::vector<std::unique_ptr<lum_argument_frame>> frames; // argument frames (reused)
    uint32_t frame_depth = 0;                    // current frame is frames[frame_depth - 1]
    lumvar_shared error;                         // last run-time error's message
    uint8_t caught_error = 0;                    // a try block caught an error; the catch opcode clears it
    uint64_t sequence = 0;                       // the VM's schedule count when last scheduled (heap tie-break)

    // A new task for block `block` in scope `scope` (null: the thread's
    // current task). After a creation error the task is still returned but
    // has no context; callers test `has_context()` before running it. A null
    // block gives an empty handle after the error "invalid function for
    // routine" (there is nothing to run).
    static lumptr_strong<lum_task> create(lum_program_block* block, lum_task* scope);

    // Runs the task now on the calling thread (takes the VM lock). 1 ran, 0 not.
    static int32_t run(lum_task* task, const std::vector<lumvar_shared>* args);
    // Binds the arguments and schedules the task with delay 0 (takes the VM lock).
    static bool start(lum_task* task, const std::vector<lumvar_shared>* args);
    // Runs until the task finishes, suspends or yields; true when it stopped
    // without finishing and without waiting.
    static bool task_continue(lum_task* task);
    // Puts the task in the VM's heap, due in `delay_ms` (LUM_TASK_NEVER: never).
    // Nothing when it is already scheduled.
    static void schedule(lum_task* task, uint64_t delay_ms);
    // Takes a waiting task out of the waiting list and schedules it now.
    static void wake(lum_task* task);
    // Checks the argument count against the first block's limits, drops old
    // contexts above the first, cuts the value stack to one element and
    // stores the arguments in the first slots.
    static bool bind_arguments(lum_task* task, const std::vector<lumvar_shared>* args);

    // The global-scope root: follows the global-scope links (never the
    // creator link); the task itself when it has none.
    lum_task* root() noexcept;
    // The root's first context: the global context (null when it has none).
    lum_vm_context* global_context() noexcept;
    bool has_context() const noexcept { return !contexts.empty() && contexts.front() != nullptr; }

    // Slot 1, called when the last strong handle is gone: clears a global
    // scope's variables (resumable), releases the contexts and deletes the
    // task unless new strong handles appeared meanwhile.
    void destroy() override;

private:
    // Release-time clearing of the global variables; true when complete.
    bool clear_globals();
    // Releases contexts, pending calls, value stack and argument frames.
    void release_contents();
    uint8_t destroying_ = 0;
};

// The task heap of the VM: a binary min-heap on due time; tasks due at the
// same time come out in the order they were scheduled.
struct lum_vm;
// Removes and returns the heap's first task when it is due at `now_ms`
// (clearing its scheduled flag); empty otherwise.
lumptr_strong<lum_task> lum_task_heap_pop_due(lum_vm& vm, uint64_t now_ms);
// Due time of the heap's first task, LUM_TASK_NEVER when the heap is empty.
uint64_t lum_task_heap_next_due(const lum_vm& vm);
