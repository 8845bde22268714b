#include "vm/task.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "runtime/context_fwd.h"
#include "runtime/log.h"
#include "runtime/platform.h"
#include "runtime/thread_local.h"
#include "runtime/value_records.h"
#include "runtime/vm.h"
#include "runtime/vm_lock.h"
#include "vm/call_record.h"
#include "vm/class.h"
#include "vm/interpreter.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"

uint64_t lum_task_now_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

namespace {

const void* identity(const lum_task* task) { return static_cast<const void*>(task); }

lum_vm* current_vm() { return lum_get_thread_local().vm; }

// The scope of a task's first context: the root of its global scope, or the
// task itself when it has none.
lum_task* first_context_scope(lum_task* task) {
    return task->global_scope ? task->global_scope->root() : task;
}

void pop_context(lum_task* task) {
    lum_vm_context* top = task->contexts.back();
    task->contexts.pop_back();
    lum_vm_context::release(top);
}

// A copy of a value for a completion handler: member references resolved.
lumvar_shared result_copy(const lumvar_shared& top) {
    lumvar_shared out = lumvar_shared::make();
    if (!top) return out;
    lumvar_shared source;
    top->resolve(source);
    if (source) out->set(source);
    return out;
}

// Heap order: a task whose due time is smaller comes first; of two tasks due
// at the same time, the one scheduled first (the heap alone does not keep
// that order once items are removed).
bool due_before(const lumptr_strong<lum_task>& a, const lumptr_strong<lum_task>& b) {
    return a->due < b->due || (a->due == b->due && a->sequence < b->sequence);
}

// The first byte of the instruction that made `caller` enter the context
// above it: the one ending at its resume offset, or a default-value
// instruction, which stays on itself while its block runs. Null when the
// code does not decode up to that offset.
const uint8_t* entering_instruction(const lum_vm_context& caller) {
    const lum_program_block* block = caller.block;
    if (block == nullptr || !caller.resumable) return nullptr;
    const uint8_t* code = block->code_begin();
    const size_t size = block->code_size();
    const size_t resume = caller.resume_offset;
    if (resume > size) return nullptr;
    if (caller.default_value != 0 && resume < size && code[resume] == LUM_OP_DEFAULT) return code + resume;
    for (size_t at = 0; at < resume;) {
        const size_t n = lum_opcode_size(code[at]);
        if (n == 0) return nullptr;
        if (at + n == resume) return code + at;
        at += n;
    }
    return nullptr;
}

}  // namespace

lum_task::lum_task() = default;

lum_task::~lum_task() {
    const lum_cancel_hold no_cancel;  // it logs, and no unwinding may leave a destructor
    // Leave the counts of the creator and the global scope (a task that is
    // already gone reads as null here, and there is nothing to leave).
    if (lum_task* c = creator.get()) --c->child_count;
    if (lum_task* g = global_scope.get()) --g->routine_count;
    lum_log_base& log = lum_get_log();
    if (child_count != 0)
        log.error("Task ", identity(this), " destroyed while children are still running! (", child_count,
                  " children remaining)");
    if (in_thread.load(std::memory_order_acquire) != 0) {
        log.notice("Task ", identity(this), " waiting for thread...");
        while (in_thread.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    }
    log.notice("Task ", name, " ", identity(this), " exited (Runtime = ",
               static_cast<int64_t>(lum_task_now_ms() - creation_time), " ms).");
    release_contents();
}

lum_task* lum_task::root() noexcept {
    lum_task* t = this;
    // Global-scope links always point at a root; follow them defensively.
    for (int guard = 0; guard < 64 && t->global_scope; ++guard) t = t->global_scope.get();
    return t;
}

lum_vm_context* lum_task::global_context() noexcept {
    lum_task* r = root();
    if (r == nullptr || r->contexts.empty()) return nullptr;
    return r->contexts.front();
}

// ---------------------------------------------------------------------------
// Creation

lumptr_strong<lum_task> lum_task::create(lum_program_block* block, lum_task* scope) {
    lumptr_strong<lum_task> handle(new lum_task());
    lum_task* task = handle.get();
    if (block == nullptr) {
        lum_runtime_error(true, "invalid function for routine");
        return handle;
    }
    lum_thread_local& tl = lum_get_thread_local();
    task->creation_time = lum_task_now_ms();
    task->block = lumptr_strong<lum_program_block>(block);
    task->program = block->program.lock();

    if (!block->is_top_level()) {
        task->routine = 1;
        lum_task* start = scope;
        if (start == nullptr && tl.vm != nullptr &&
            tl.vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id)
            start = tl.current_task;
        if (start == nullptr) {
            lum_runtime_error(false, "Cannot create routine from non-global scope routine without context.");
            return handle;
        }
        lum_task* global = start->root();
        if (global->program.get() != task->program.get()) {
            lum_runtime_error(true,
                              "Global scope root mismatch when creating routine, functions must be initialized "
                              "within their global scope.");
            return handle;
        }
        if (global->contexts.empty() || global->contexts.front() == nullptr) {
            lum_runtime_error(true, "Global scope has no task block!");
            return handle;
        }
        task->global_scope = lumptr_strong<lum_task>(global);
        ++global->routine_count;
    }

    if (lum_vm_context* first = lum_vm_context::make(task, first_context_scope(task), block, nullptr))
        task->contexts.push_back(first);

    const lum_program* program = task->program.get();
    task->name = program != nullptr && !program->name.empty() ? program->name : std::string("TASK");

    lum_log_base& log = lum_get_log();
    if (lum_task* parent = tl.current_task) {
        task->creator = lumptr_strong<lum_task>(parent);
        ++parent->child_count;
        task->name += " (thread_" + std::to_string(parent->child_count) + ")";
        log.notice("Task (parent=", parent->name, ") ", task->name, " ", identity(task), " created.");
    } else {
        log.notice("Task ", task->name, " ", identity(task), " created.");
    }
    return handle;
}

bool lumvar::create_task(lumptr_strong<lum_task>& out) {
    out.reset();
    if (type != LUMVAR_FUNCTION || payload.p == nullptr) return false;
    lumvar_function_record* record = function_record();
    lum_program_block* block = record->block.get();
    if (block == nullptr) return false;
    lumptr_strong<lum_task> task = lum_task::create(block, record->scope.get());
    if (task && task->has_context()) {
        lum_vm_context* first = task->contexts.front();
        if (lum_class* self = record->self.get()) first->self = lumptr_weak<lum_class>(self);
        // Bound arguments follow the parameters in the local slots.
        const uint32_t params = block->num_params;
        const uint32_t bound = block->num_bound;
        if (bound != 0 && record->bound && record->bound->values.size() == bound) {
            for (uint32_t i = 0; i < bound && params + i < first->slots.size(); ++i) {
                lumvar_shared value = record->bound->values[i];
                first->slots[params + i]->set(value);
            }
        }
    }
    out = std::move(task);
    return static_cast<bool>(out);
}

// ---------------------------------------------------------------------------
// Binding, running, starting

bool lum_task::bind_arguments(lum_task* task, const std::vector<lumvar_shared>* args) {
    if (task == nullptr || task->contexts.empty() || task->contexts.front() == nullptr) return false;
    lum_vm_context* first = task->contexts.front();
    const lum_program_block* block = first->block;
    if (args != nullptr && block != nullptr) {
        const size_t n = args->size();
        if (n > block->max_args()) {
            lum_runtime_error(true, "Too many params.");
            return false;
        }
        if (block->min_args() != LUM_NO_DEFAULT && n < block->min_args()) {
            lum_runtime_error(true, "Not enough parameters.");
            return false;
        }
    }
    if (!task->pending_contexts.empty()) {
        lum_get_log().error("TODO: Cleanup old routine data here!");
        while (!task->pending_contexts.empty()) {
            lum_vm_context* c = task->pending_contexts.back();
            task->pending_contexts.pop_back();
            lum_vm_context::release(c);
        }
    }
    while (task->contexts.size() > 1) pop_context(task);
    // Exactly one value-stack element: the task's result place.
    if (task->stack.empty()) task->stack.push_back(lumvar_shared::make());
    else task->stack.resize(1);
    task->caught_error = 0;
    task->active = 1;
    if (args == nullptr) return true;

    first->argc = static_cast<uint32_t>(args->size());
    for (size_t i = 0; i < args->size() && i < first->slots.size(); ++i) {
        lumvar_shared value = (*args)[i];
        if (!value) continue;
        lumvar* slot = first->slots[i].get();
        if (block != nullptr && (block->slot_flag(static_cast<uint32_t>(i)) & LUM_SLOT_BY_REF)) slot->set_ref(value.get());
        else slot->set(value);
    }
    return true;
}

int32_t lum_task::run(lum_task* task, const std::vector<lumvar_shared>* args) {
    lum_vm_lock_guard guard;
    lumptr_strong<lum_task> hold(task);
    if (!hold || !task->block) {
        lum_get_log().error_cstr("Cannot run task!");
        return 0;
    }
    if (task->contexts.empty()) {
        if (lum_vm_context* first = lum_vm_context::make(task, first_context_scope(task), task->block.get(), nullptr))
            task->contexts.push_back(first);
    }
    if (!task->contexts.empty() && task->contexts.front() != nullptr && !task->active) {
        if (!bind_arguments(task, args)) return 0;
        lum_get_log().notice("Task ", identity(task), " started.");
        if (task_continue(task) && task->active) schedule(task, 0);
        return 1;
    }
    lum_get_log().error_cstr("Cannot run task!");
    return 0;
}

bool lum_task::start(lum_task* task, const std::vector<lumvar_shared>* args) {
    lum_vm_lock_guard guard;
    if (task != nullptr && !task->contexts.empty() && task->contexts.front() != nullptr && !task->active) {
        if (!bind_arguments(task, args)) return false;
        lum_get_log().notice("Task ", identity(task), " scheduled (eta: ", 0, ").");
        task->contexts.front()->resumable = 1;
        schedule(task, 0);
        return true;
    }
    lum_get_log().error_cstr("Cannot run task!");
    return false;
}

// ---------------------------------------------------------------------------
// Scheduling

void lum_task::schedule(lum_task* task, uint64_t delay_ms) {
    if (task == nullptr || task->scheduled) return;
    lum_vm* vm = current_vm();
    if (vm == nullptr) return;
    lumptr_strong<lum_task> handle(task);
    if (!handle) return;
    if (delay_ms == LUM_TASK_NEVER) {
        task->due = LUM_TASK_NEVER;
    } else {
        const uint64_t now = lum_task_now_ms();
        task->due = delay_ms > LUM_TASK_NEVER - 1 - now ? LUM_TASK_NEVER - 1 : now + delay_ms;
    }
    task->sequence = vm->task_sequence++;
    auto& heap = vm->task_heap;
    heap.push_back(std::move(handle));
    // Sift up while the parent is due later; an equal parent (scheduled
    // earlier) stays above.
    size_t i = heap.size() - 1;
    while (i > 0) {
        const size_t parent = (i - 1) / 2;
        if (!due_before(heap[i], heap[parent])) break;
        std::swap(heap[parent], heap[i]);
        i = parent;
    }
    task->scheduled = 1;
    if (delay_ms == 0 && vm->wake != nullptr) vm->wake->wake();
}

void lum_task::wake(lum_task* task) {
    if (task == nullptr || !task->waiting) return;
    lum_vm* vm = current_vm();
    if (vm == nullptr) return;
    auto& list = vm->waiting;
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const lumptr_strong<lum_task>& t) { return t.get() == task; });
    if (it == list.end()) return;
    lumptr_strong<lum_task> hold = std::move(*it);
    list.erase(it);
    task->waiting = 0;
    schedule(task, 0);
}

lumptr_strong<lum_task> lum_task_heap_pop_due(lum_vm& vm, uint64_t now_ms) {
    auto& heap = vm.task_heap;
    if (heap.empty() || heap.front()->due > now_ms) return {};
    lumptr_strong<lum_task> first = std::move(heap.front());
    if (heap.size() > 1) heap.front() = std::move(heap.back());
    heap.pop_back();
    const size_t n = heap.size();
    size_t i = 0;
    for (;;) {
        const size_t l = 2 * i + 1;
        const size_t r = l + 1;
        size_t smallest = i;
        if (l < n && due_before(heap[l], heap[smallest])) smallest = l;
        if (r < n && due_before(heap[r], heap[smallest])) smallest = r;
        if (smallest == i) break;
        std::swap(heap[i], heap[smallest]);
        i = smallest;
    }
    if (first) first->scheduled = 0;
    return first;
}

uint64_t lum_task_heap_next_due(const lum_vm& vm) {
    return vm.task_heap.empty() ? LUM_TASK_NEVER : vm.task_heap.front()->due;
}

// ---------------------------------------------------------------------------
// Continuation

bool lum_task::task_continue(lum_task* task) {
    lum_log_base& log = lum_get_log();
    if (task == nullptr || !task->active || (task->routine && !task->global_scope)) {
        log.error_cstr("task_continue called while the task was not active!");
        return false;
    }
    lumptr_strong<lum_task> hold(task);  // handlers may drop the last outside handle
    const size_t b = (!task->contexts.empty() && task->contexts.front() != nullptr &&
                      task->contexts.front()->block != nullptr && task->contexts.front()->block->is_top_level())
                         ? 1
                         : 0;
    lum_vm* vm = current_vm();
    const uint32_t limit = vm != nullptr ? vm->settings.max_call_depth : 0;
    uint32_t s = task->stop ? LUM_STATUS_FINISHED : LUM_STATUS_RUNNING;
    bool unhandled = false;

    if (!task->stop) {
        lum_thread_local& tl = lum_get_thread_local();
        lum_task* saved_task = tl.current_task;
        std::string saved_name = tl.name;
        tl.current_task = task;
        tl.name = task->name;

        auto& ctxs = task->contexts;
        for (;;) {
            if (s > LUM_STATUS_CALL) {
                if (s != LUM_STATUS_FINISHED) break;
                if (ctxs.size() <= b) break;
            }
            if (ctxs.empty()) {
                s = LUM_STATUS_FINISHED;
                break;
            }
            // Runs the top context; calls and returns between script
            // functions are answered inside (see lum_interpret_task).
            s = lum_interpret_task(task, b, limit);

            if (s == LUM_STATUS_CALL && limit != 0 && ctxs.size() > limit) {
                pop_context(task);
                // The error belongs to the instruction that entered the
                // refused context: the caller's report frame names it, as a
                // frame does while its instruction runs.
                lum_vm_context* caller = ctxs.empty() ? nullptr : ctxs.back();
                const uint8_t* entering = caller != nullptr ? entering_instruction(*caller) : nullptr;
                if (entering != nullptr) caller->ip = entering;
                lum_runtime_error(true, "maximum call depth of " + std::to_string(limit) +
                                            " exceeded (endless recursion?)");
                s = LUM_STATUS_ERROR;
            }

            switch (s) {
            case LUM_STATUS_RETURN: {
                while (ctxs.size() > b && !ctxs.back()->block->is_function_body()) pop_context(task);
                lum_vm_context* top_now = ctxs.empty() ? nullptr : ctxs.back();
                const lum_program_block* blk = top_now != nullptr ? top_now->block : nullptr;
                // The epilogue (the function's last eight code bytes) runs once
                // per return: a return from inside it ends the function.
                if (blk != nullptr && blk->has_epilogue() && blk->code_size() >= 8 &&
                    top_now->resume_offset <= blk->code_size() - 8) {
                    top_now->resume_offset = blk->code_size() - 8;
                    s = LUM_STATUS_RUNNING;
                } else if (ctxs.size() > b && blk != nullptr && blk->is_function_body()) {
                    pop_context(task);
                    if (ctxs.empty()) s = LUM_STATUS_FINISHED;
                } else {
                    s = LUM_STATUS_FINISHED;
                }
                break;
            }
            case LUM_STATUS_BREAK: {
                while (ctxs.size() > b && !ctxs.back()->block->is_function_body() &&
                       !ctxs.back()->block->is_loop_body())
                    pop_context(task);
                if (ctxs.size() > b && ctxs.back()->block->is_loop_body()) pop_context(task);
                if (ctxs.empty()) s = LUM_STATUS_FINISHED;
                break;
            }
            case LUM_STATUS_CONTINUE: {
                while (ctxs.size() > b && !ctxs.back()->block->is_function_body() &&
                       !ctxs.back()->block->is_loop_body())
                    pop_context(task);
                if (ctxs.empty()) {
                    s = LUM_STATUS_FINISHED;
                } else if (ctxs.back()->block->is_loop_body()) {
                    ctxs.back()->resume_offset = ctxs.back()->block->loop_restart;
                }
                // Outside a loop body "continue" acts as a break without a loop:
                // the context on top goes on after it.
                break;
            }
            case LUM_STATUS_ERROR: {
                log.notice(
                    "TODO: Implement proper called blocks cleanup and termination (try catch or block / function "
                    "based ?).");
                lum_vm_context* found = nullptr;
                while (ctxs.size() > b) {
                    lum_vm_context* top_now = ctxs.back();
                    if (top_now->pushed > 0) {
                        log.notice("Clearing stack vars ", top_now->pushed);
                        const size_t drop = std::min<size_t>(static_cast<size_t>(top_now->pushed), task->stack.size());
                        task->stack.resize(task->stack.size() - drop);
                        top_now->pushed = 0;
                    }
                    const lum_program_block* blk = top_now->block;
                    if (blk->is_try() || (blk->is_function_flagged() && blk->is_function_body())) {
                        found = top_now;
                        break;
                    }
                    pop_context(task);
                }
                if (found != nullptr) {
                    const bool is_try = found->block->is_try();
                    while (task->pending_calls.size() > found->call_record_mark) task->pending_calls.pop_back();
                    while (task->pending_contexts.size() > found->pending_context_mark) {
                        lum_vm_context* c = task->pending_contexts.back();
                        task->pending_contexts.pop_back();
                        lum_vm_context::release(c);
                    }
                    if (task->frame_depth > found->frame_mark) task->frame_depth = found->frame_mark;
                    pop_context(task);
                    if (is_try) {
                        task->caught_error = 1;
                    } else {
                        log.warning("Error inside a noexcept function, it returns None.");
                        if (!task->stack.empty()) task->stack.back() = lumvar_shared::make();
                    }
                    s = ctxs.empty() ? LUM_STATUS_FINISHED : LUM_STATUS_RUNNING;
                } else {
                    // Unhandled at the bottom of the task: the task ends here.
                    unhandled = true;
                    if (task->on_error) task->on_error(lumvar_shared::make());
                    s = LUM_STATUS_FINISHED;
                }
                break;
            }
            case LUM_STATUS_FINISHED: {
                while (ctxs.size() > b && !ctxs.back()->resumable) pop_context(task);
                if (!ctxs.empty() && ctxs.back()->resumable) s = LUM_STATUS_RUNNING;
                else s = LUM_STATUS_FINISHED;
                break;
            }
            default:
                break;
            }
            if (unhandled) break;
            if (task->stop) break;
        }

        tl.current_task = saved_task;
        tl.name = std::move(saved_name);
    }

    if (s < LUM_STATUS_FINISHED && !unhandled) return !task->waiting;

    // The task finishes.
    task->active = 0;
    task->stop = 0;
    log.notice("Task ", task->name, " ", identity(task), " finished.");
    handler complete = std::move(task->on_complete);
    task->on_complete = nullptr;
    task->on_error = nullptr;
    lumvar_shared former_top = task->stack.empty() ? lumvar_shared() : task->stack.back();
    if (complete) {
        lumvar_shared value = (unhandled || !former_top) ? lumvar_shared::make() : result_copy(former_top);
        complete(std::move(value));
    }
    task->stack.clear();
    task->stack.push_back(former_top ? std::move(former_top) : lumvar_shared::make());
    while (task->contexts.size() > b) pop_context(task);
    while (!task->pending_contexts.empty()) {
        lum_vm_context* c = task->pending_contexts.back();
        task->pending_contexts.pop_back();
        lum_vm_context::release(c);
    }
    task->pending_calls.clear();
    // A finished task keeps a few records for its next run, not every
    // record its deepest recursion made.
    task->records.trim(32);
    return false;
}

// ---------------------------------------------------------------------------
// Release

bool lum_task::clear_globals() {
    if (globals_cleared) return true;
    lum_vm_context* first = contexts.empty() ? nullptr : contexts.front();
    if (first == nullptr || first->block == nullptr) {
        globals_cleared = 1;
        return true;
    }
    lum_thread_local& tl = lum_get_thread_local();
    lum_task* saved = tl.second_task;
    tl.second_task = this;
    const int32_t count =
        static_cast<int32_t>(std::min<size_t>(first->slots.size(), first->block->num_slots));
    if (clearing_cursor < 0 && clearing_pass == 0) clearing_cursor = count - 1;
    while (clearing_pass < 2) {
        while (clearing_cursor >= 0) {
            const int32_t i = clearing_cursor--;
            lumvar* cell = first->slots[static_cast<size_t>(i)].get();
            if (cell == nullptr || cell->type == LUMVAR_NONE) continue;
            if (clearing_pass == 0 && cell->type >= LUMVAR_CLASS_DEF && cell->type <= LUMVAR_EXT_FUNCTION) continue;
            cell->set_type(LUMVAR_NONE);
            cell->flags = 0;
            // Someone took a new handle to this task while the variable was
            // released: stop here and resume at the next release.
            if (ref_record != nullptr && ref_record->alive && ref_record->object != 0 && ref_record->strong >= 1) {
                tl.second_task = saved;
                return false;
            }
        }
        ++clearing_pass;
        clearing_cursor = count - 1;
    }
    globals_cleared = 1;
    tl.second_task = saved;
    return true;
}

void lum_task::release_contents() {
    while (!contexts.empty()) {
        lum_vm_context* c = contexts.back();
        contexts.pop_back();
        lum_vm_context::release(c);
    }
    while (!pending_contexts.empty()) {
        lum_vm_context* c = pending_contexts.back();
        pending_contexts.pop_back();
        lum_vm_context::release(c);
    }
    pending_calls.clear();
    stack.clear();
    frames.clear();
    frame_depth = 0;
}

void lum_task::destroy() {
    if (destroying_) return;  // re-entered by a handle taken and dropped while clearing
    destroying_ = 1;
    const bool global_scope_task = !routine && !contexts.empty() && contexts.front() != nullptr &&
                                   contexts.front()->block != nullptr && contexts.front()->block->is_top_level();
    const bool done = global_scope_task ? clear_globals() : true;
    if (done) release_contents();
    const uint32_t strong =
        (ref_record != nullptr && ref_record->alive && ref_record->object != 0) ? ref_record->strong : 0;
    destroying_ = 0;
    if (!done || strong >= 1) {
        lum_get_log().notice("Task ", identity(this), " released while still having ", strong,
                             " strong references!");
        return;
    }
    delete this;
}

lumptr_weak<lum_task> lum_current_root_scope() {
    lum_task* task = lum_get_thread_local().current_task;
    if (task == nullptr) return {};
    return lumptr_weak<lum_task>(task->root());
}
