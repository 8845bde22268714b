#pragma once
// Test support for the interpreter: a host VM with a recording logger, a
// program builder, a `print` native that records lines, and two ways to run
// code: a whole program as a task (through task continuation), or one
// interpreter run of a context (to look at statuses and stack effects).

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/namespace.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "tests/vm/v1_fixture.h"
#include "vm/block_builder.h"
#include "vm/class.h"
#include "vm/context.h"
#include "vm/interpreter.h"
#include "vm/task.h"

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
    void print_slot(lum_block_builder& b, uint32_t slot) {
        b.push().frame(1).ld_l(slot).farg(0).ncall(print).pop();
    }
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
