#pragma once
// Test support for the VM: a logger that records what it receives, builders
// for code blocks by bytes (emitter, program) and by instructions (env, with
// a `print` native that records lines), a host VM whose tasks record their
// completion, and one interpreter run at a time over a task's first context
// (direct), to look at statuses and stack effects.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "host/turn.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/ptr.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "vm/block_builder.h"
#include "vm/class.h"
#include "vm/context.h"
#include "vm/interpreter.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"
#include "vm/task.h"

// Byte-level builders, the recording logger and the host VM fixture.
namespace v1test {

// Records every text per level. Thread-safe (workers log too).
class capture_log : public lum_log_base {
public:
    capture_log() { level_mask.store(2 | 4 | 8 | 16 | 32 | 1); }
    void hook_warning(const std::string& t) override { add(warnings, t); }
    void hook_error(const std::string& t) override { add(errors, t); }
    void hook_notice(const std::string& t) override { add(notices, t); }

    std::vector<std::string> take_errors() { return take(errors); }
    std::vector<std::string> take_warnings() { return take(warnings); }
    bool has_warning(const std::string& text) {
        std::lock_guard<std::mutex> l(m);
        return std::find(warnings.begin(), warnings.end(), text) != warnings.end();
    }
    bool has_notice_prefix(const std::string& prefix) {
        std::lock_guard<std::mutex> l(m);
        for (const auto& n : notices)
            if (n.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> l(m);
        errors.clear();
        warnings.clear();
        notices.clear();
    }

private:
    void add(std::vector<std::string>& v, const std::string& t) {
        std::lock_guard<std::mutex> l(m);
        v.push_back(t);
    }
    std::vector<std::string> take(std::vector<std::string>& v) {
        std::lock_guard<std::mutex> l(m);
        return std::exchange(v, {});
    }
    std::mutex m;
    std::vector<std::string> errors, warnings, notices;
};

inline std::string rule() { return std::string(60, '-'); }

// A code block of `size` bytes of opcode 19-free filler (never run).
inline lumptr_strong<lum_program_block> make_block(uint8_t kind, uint32_t code_size, uint32_t slots = 0,
                                                   uint8_t flags = 0) {
    lumptr_strong<lum_program_block> b(new lum_program_block());
    b->kind = kind;
    b->flags = flags;
    b->code.assign(code_size, 14);  // "none" opcodes
    b->num_slots = slots;
    b->slot_flags.assign(slots, 0);
    return b;
}

inline lum_program_block_symbol_table* table_of(lum_program_block* b) {
    if (!b->symbols) b->symbols = lumptr_strong<lum_program_block_symbol_table>(new lum_program_block_symbol_table());
    return b->symbols.get();
}

// Appends instructions to a block's code.
class emitter {
public:
    explicit emitter(lum_program_block* block) : b_(block) {}
    // Each appends one instruction; calls chain.
    emitter& op(uint8_t opcode) {
        at_ = b_->code.size();
        b_->code.resize(at_ + lum_opcode_size(opcode), 0);
        b_->code[at_] = opcode;
        return *this;
    }
    emitter& a(uint8_t opcode, uint8_t value) {
        op(opcode).b_->code[at_ + lum_operand::A] = value;
        return *this;
    }
    emitter& b(uint8_t opcode, uint32_t value) {
        lum_write_operand<uint32_t>(op(opcode).b_->code.data() + at_, lum_operand::B, value);
        return *this;
    }
    emitter& d(uint8_t opcode, uint64_t value) {
        lum_write_operand<uint64_t>(op(opcode).b_->code.data() + at_, lum_operand::D, value);
        return *this;
    }
    emitter& ldi(int64_t v) { return d(LUM_OP_LDI, static_cast<uint64_t>(v)); }
    // Calls native record `def` with `args` loaded by the callables, into a
    // pushed place that is popped afterwards unless `keep`.
    emitter& ncall(const lum_function_def* def, std::vector<std::function<void(emitter&)>> args, bool keep = false) {
        op(LUM_OP_PUSH);
        b(LUM_OP_FRAME, static_cast<uint32_t>(args.size()));
        for (size_t i = 0; i < args.size(); ++i) {
            args[i](*this);
            b(LUM_OP_FARG, static_cast<uint32_t>(i));
        }
        d(LUM_OP_NCALL, reinterpret_cast<uint64_t>(def));
        if (!keep) op(LUM_OP_POP);
        return *this;
    }

private:
    lum_program_block* b_;
    size_t at_ = 0;  // offset of the last instruction
};

// A program built by hand: blocks (the first top-level one is the root) and
// native records whose addresses the code carries.
class program {
public:
    explicit program(const std::string& name = "test") : prog(new lum_program()) { prog->name = name; }

    lum_program_block* block(uint8_t kind, uint32_t slots, lum_program_block* parent = nullptr, uint32_t params = 0,
                             uint8_t flags = 0) {
        lumptr_strong<lum_program_block> b(new lum_program_block());
        b->kind = kind;
        b->flags = flags;
        b->num_slots = slots;
        b->slot_flags.assign(slots, 0);
        b->num_params = params;
        b->first_default = params;
        b->strings = prog->strings;
        b->program = lumptr_weak<lum_program>(prog.get());
        if (parent != nullptr) parent->children.push_back(b);
        if (!prog->root && kind == LUM_BLOCK_TOP) prog->root = b;
        prog->blocks.push_back(b);
        return b.get();
    }

    lum_function_def* native(std::string_view name,
                             std::function<lumvar_shared(lum_vm_context&, std::vector<lumvar_shared>&)> fn,
                             uint32_t min_args = 0, uint32_t max_args = 16) {
        lumptr_strong<lum_function_def> def(new lum_function_def());
        def->callable = std::move(fn);
        def->name = name;
        def->min_args = min_args;
        def->max_args = max_args;
        def->flags = LUM_FUNCTION_RESOLVE_ARGS;
        prog->natives.push_back(def);
        return def.get();
    }

    lumptr_strong<lum_program> prog;
};

// Integer payload of a value (none: -1000).
inline int64_t as_int(const lumvar_shared& v) {
    if (!v) return -1000;
    if (v->type == LUMVAR_INT) return v->payload.i;
    if (v->type == LUMVAR_NONE) return -1000;
    return v->int_value();
}

struct task_outcome {
    bool finished = false;
    bool error_handler = false;
    int order = -1;  // position among finished tasks
    lumvar_shared value;
};

class vm_fixture {
public:
    explicit vm_fixture(uint32_t workers = 0, uint32_t max_depth = 0)
        : log(new capture_log()), host(options(log, workers, max_depth)) {}
    ~vm_fixture() {
        lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
        for (auto& o : outcomes) o->value.reset();
        tasks.clear();
    }

    // A task for `block` with handlers that record its outcome; started
    // (scheduled) unless `start` is false.
    std::shared_ptr<task_outcome> launch(lum_program_block* block, bool start = true,
                                         const std::vector<lumvar_shared>* args = nullptr) {
        auto outcome = std::make_shared<task_outcome>();
        lumptr_strong<lum_task> task = lum_task::create(block, nullptr);
        task->on_complete = [this, outcome](lumvar_shared v) {
            outcome->finished = true;
            outcome->order = finished_count++;
            outcome->value = std::move(v);
        };
        task->on_error = [outcome](lumvar_shared) { outcome->error_handler = true; };
        if (start) lum_task::start(task.get(), args);
        tasks.push_back(task);
        outcomes.push_back(outcome);
        return outcome;
    }

    bool run(int timeout_ms = 5000) { return lum_host_run(host, std::chrono::milliseconds(timeout_ms)); }

    capture_log* log;
    lum_host_vm host;
    std::vector<lumptr_strong<lum_task>> tasks;
    std::vector<std::shared_ptr<task_outcome>> outcomes;
    int finished_count = 0;

private:
    static lum_host_vm_options options(capture_log* log, uint32_t workers, uint32_t max_depth) {
        lum_host_vm_options o;
        o.workers = workers;
        o.max_call_depth = max_depth;
        o.logger = lumptr_strong<lum_log_base>(log);
        return o;
    }
};

}  // namespace v1test

// Instruction-level programs with `print`, and single interpreter runs.
namespace v2test {

inline std::string text(const lumvar_shared& v) { return v ? v->to_std_string() : std::string("<null>"); }

inline std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// A native record on the heap (owned by the program once used in code).
inline lum_function_def* make_native(std::string_view name, uint32_t min_args, uint32_t max_args,
                                     std::function<lumvar_shared(lum_vm_context&, std::vector<lumvar_shared>&)> fn,
                                     uint32_t flags = LUM_FUNCTION_RESOLVE_ARGS, uint8_t method = 0) {
    lum_pooling_suspend heap_only;
    auto* def = new lum_function_def();
    def->callable = std::move(fn);
    def->name = name;
    def->min_args = min_args;
    def->max_args = max_args;
    def->flags = flags;
    def->method = method;
    return def;
}

class env {
public:
    explicit env(uint32_t max_depth = 0) : fx(0, max_depth), prog("test") {
        print = prog.native(make_native("print", 0, 999, [this](lum_vm_context&, std::vector<lumvar_shared>& args) {
            std::string line;
            for (size_t i = 0; i < args.size(); ++i) {
                if (i) line += ' ';
                line += text(args[i]);
            }
            out.push_back(line);
            return lumvar_shared::make();
        }));
        fx.log->clear();
    }

    lum_program_block* block(const char* name, uint8_t kind, uint32_t slots) { return prog.new_block(name, kind, slots); }

    // Emits `print(<value of slot s>)` as a direct native call.
    void print_slot(lum_block_builder& b, uint32_t slot) { b.push().frame(1).ld_l(slot).farg(0).ncall(print).pop(); }
    // Emits `print(<top>)` leaving the stack as it was.
    void print_top(lum_block_builder& b) {
        b.dup().frame(1);
        b.farg(0).ncall(print).pop();
    }
    // Emits `print("<text>")` leaving the stack as it was.
    void print_text(lum_block_builder& b, const char* text) {
        b.push().lds(text);
        print_top(b);
        b.pop();
    }

    // Emits `try { body } catch (e) { print(e) }` at the end of `top`.
    void guarded(lum_block_builder& top, const std::function<void(lum_block_builder&)>& body) {
        lum_block_builder t(prog, block("try", LUM_BLOCK_PLAIN, 0));
        t.flags(LUM_BLOCK_FLAG_TRY);
        body(t);
        lum_block_builder c(prog, block("catch", LUM_BLOCK_PLAIN, 1));
        c.params(1, 1);
        print_slot(c, 0);
        top.enter(top.child(t.finish()));
        top.op_b(LUM_OP_CATCH, top.child(c.finish()));
    }

    // A constant cell holding class definition `def` (what loading the class name gives).
    lumvar* class_value(lum_class_def* def) {
        lumvar_shared v = lumvar_shared::make();
        v->set_type(LUMVAR_CLASS_DEF);
        v->class_def_holder()->definition = def;
        return prog.constant(v);
    }

    // Runs `root` as a program's global task to its end; the completion
    // value and the handler flags are in the outcome.
    std::shared_ptr<v1test::task_outcome> run(lum_program_block* root) {
        program = prog.finish(root);
        auto outcome = fx.launch(root);
        EXPECT_TRUE(fx.run(5000));
        return outcome;
    }

    std::string errors() { return joined(fx.log->take_errors()); }
    std::string warnings() { return joined(fx.log->take_warnings()); }

    v1test::vm_fixture fx;
    lum_program_builder prog;
    lumptr_strong<lum_program> program;
    lum_function_def* print = nullptr;
    std::vector<std::string> out;
};

// One interpreter run at a time over the first context of a task for `block`.
class direct {
public:
    explicit direct(lum_program_block* block) {
        task = lum_task::create(block, nullptr);
        lum_task::bind_arguments(task.get(), nullptr);
        ctx = task->contexts.front();
    }
    ~direct() {
        ctx = nullptr;
        task.reset();
    }
    // Runs the top context once with this task as the thread's current task.
    uint32_t step() {
        lum_thread_local& tl = lum_get_thread_local();
        lum_task* saved = tl.current_task;
        tl.current_task = task.get();
        lum_vm_context* top = task->contexts.back();
        const uint32_t s = lum_interpret(top->block, top);
        tl.current_task = saved;
        return s;
    }
    lumvar_shared top() const { return task->stack.empty() ? lumvar_shared() : task->stack.back(); }
    size_t depth() const { return task->stack.size(); }
    std::string error() const { return text(task->error); }

    lumptr_strong<lum_task> task;
    lum_vm_context* ctx = nullptr;
};

}  // namespace v2test

// Both, for this folder's tests.
namespace vmtest {
using namespace v1test;
using namespace v2test;
}  // namespace vmtest
