// The regex methods called from script code through the "std.string" method
// table: arguments arrive as the caller's own cells, six methods suspend the
// task until their worker's result is back, and regex_replace_inplace changes
// the string at once. (Errors of the service reach the task as run-time
// errors: regex_methods_test.cpp.)
#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "types/string_object.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

// A VM with workers, a program builder and a `print` native.
struct worker_env {
    worker_env() : fx(2), prog("regex") {
        print = prog.native(make_native("print", 0, 999, [this](lum_vm_context&, std::vector<lumvar_shared>& args) {
            std::string line;
            for (size_t i = 0; i < args.size(); ++i) line += (i ? " " : "") + text(args[i]);
            out.push_back(line);
            return lumvar_shared::make();
        }));
    }
    void print_top(lum_block_builder& b) { b.dup().frame(1).farg(0).ncall(print).pop(); }
    void print_slot(lum_block_builder& b, uint32_t slot) { b.push().frame(1).ld_l(slot).farg(0).ncall(print).pop(); }
    // Runs the program of `root` to its end and returns what it printed.
    std::string run(lum_program_block* root) {
        program = prog.finish(root);
        auto outcome = fx.launch(root);
        EXPECT_TRUE(fx.run(5000));
        EXPECT_TRUE(outcome->finished);
        return joined(out);
    }

    v1test::vm_fixture fx;
    lum_program_builder prog;
    lumptr_strong<lum_program> program;
    lum_function_def* print = nullptr;
    std::vector<std::string> out;
};

}  // namespace

TEST(RegexScript, MethodsRunFromCodeThroughTheMethodTable) {
    lum_std_string::script_register_internal();  // once per process
    worker_env e;
    lum_block_builder top(e.prog, e.prog.new_block("main", LUM_BLOCK_TOP, 3));
    // s = "a1b22"; p = "\d+"
    top.push().ld_l(0).push().lds("a1b22").assign().pop();
    top.push().ld_l(1).push().lds("\\d+").assign().pop();
    // r = s.regex_findall(p); print(r[0], r[1])
    const uint32_t c_findall = top.cache();
    top.push().ld_l(2).push().ld_l(0).mem("regex_findall", c_findall).prep(1);
    top.push().ld_l(1).arg(0).pop().call().assign().pop();
    top.push().frame(2);
    top.push().ld_l(2).push().ldi(0).put(LUM_OP_IDX, {.A = 1}).farg(0).pop();
    top.push().ld_l(2).push().ldi(1).put(LUM_OP_IDX, {.A = 1}).farg(1).pop();
    top.ncall(e.print).pop();
    // print(s.regex_search(p)); print(s.regex_match(p)); print(s.regex_replace(p, "#"))
    const uint32_t c_search = top.cache(), c_match = top.cache(), c_replace = top.cache();
    top.push().ld_l(0).mem("regex_search", c_search).prep(1).push().ld_l(1).arg(0).pop().call();
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).mem("regex_match", c_match).prep(1).push().ld_l(1).arg(0).pop().call();
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).mem("regex_replace", c_replace).prep(2);
    top.push().ld_l(1).arg(0).pop().push().lds("<$&>").arg(1).pop().call();
    e.print_top(top);
    top.pop();
    // print(s.regex_replace_inplace("[a-z]", "_")); print(s); print(s.regex_escape())
    const uint32_t c_inplace = top.cache(), c_escape = top.cache(), c_split = top.cache();
    top.push().ld_l(0).mem("regex_replace_inplace", c_inplace).prep(2);
    top.push().lds("[a-z]").arg(0).pop().push().lds("(.)").arg(1).pop().call();
    e.print_top(top);
    top.pop();
    e.print_slot(top, 0);
    top.push().ld_l(0).mem("regex_escape", c_escape).prep(0).call();
    e.print_top(top);
    top.pop();
    // r = s.regex_split("[()]"); print(r[1], r[2])
    top.push().ld_l(2).push().ld_l(0).mem("regex_split", c_split).prep(1);
    top.push().lds("[()]").arg(0).pop().call().assign().pop();
    top.push().frame(2);
    top.push().ld_l(2).push().ldi(1).put(LUM_OP_IDX, {.A = 1}).farg(0).pop();
    top.push().ld_l(2).push().ldi(2).put(LUM_OP_IDX, {.A = 1}).farg(1).pop();
    top.ncall(e.print).pop();
    top.op(LUM_OP_NONE).ret();
    EXPECT_EQ(e.run(top.finish()), "1 22\n1\n0\na<1>b<22>\n1\n(.)1(.)22\n\\(\\.\\)1\\(\\.\\)22\n. 1\n");
    EXPECT_EQ(joined(e.fx.log->take_errors()), "");
}

