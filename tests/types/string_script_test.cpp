// "std.string" from script code: indexing opcodes, method calls through the
// interpreter (with argument resolution), the constructor function, and
// warnings and errors reported at the task's position.

#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "types/string_object.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

lum_function_def* string_constructor() {
    static lum_namespace* ns = [] {
        auto* n = new lum_namespace();
        lum_std_string_namespace_init(*n);
        return n;
    }();
    return ns->functions.back();
}

}  // namespace

TEST(StringScript, IndexingAndMethodsFromCode) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    const uint32_t c_insert = top.cache(), c_upper = top.cache(), c_find = top.cache();
    // s = "abc"; s[5] = "!"; print(s)
    top.push().ld_l(0).push().lds("abc").assign().pop();
    top.push().ld_l(0).push().ldi(5).push().lds("!").put(LUM_OP_IDXSET, {}).pop();
    e.print_slot(top, 0);
    // print(s[-1]); print(s[9])
    top.push().ld_l(0).push().ldi(-1).put(LUM_OP_IDX, {.A = 1});
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).push().ldi(9).put(LUM_OP_IDX, {.A = 1});
    e.print_top(top);
    top.pop();
    // s["b"] = 7; print(s)
    top.push().ld_l(0).push().lds("b").push().ldi(7).put(LUM_OP_IDXSET, {}).pop();
    e.print_slot(top, 0);
    // s.insert(0, s); print(s)
    top.push().ld_l(0).mem("insert", c_insert).prep(2);
    top.push().ldi(0).arg(0).pop().push().ld_l(0).arg(1).pop().call().pop();
    e.print_slot(top, 0);
    // print(s.uppercase()); print(s.find("7", 2))
    top.push().ld_l(0).mem("uppercase", c_upper).prep(0).call();
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).mem("find", c_find).prep(2);
    top.push().lds("7").arg(0).pop().push().ldi(2).arg(1).pop().call();
    e.print_top(top);
    top.pop();
    // print(string("x", 1, s[0]))
    lumvar_shared ctor = lumvar_shared::make();
    ctor->set_ext_function(string_constructor(), nullptr);
    top.push().ldk(e.prog.constant(ctor)).prep(3);
    top.push().lds("x").arg(0).pop().push().ldi(1).arg(1).pop();
    top.push().ld_l(0).push().ldi(0).put(LUM_OP_IDX, {.A = 1}).arg(2).pop();
    top.call();
    e.print_top(top);
    top.pop();
    top.op(LUM_OP_NONE).ret();
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out), "abc  !\n!\n\na7c  !\na7c  !a7c  !\nA7C  !A7C  !\n7\nx1a\n");
    EXPECT_EQ(e.errors(), "");
    EXPECT_EQ(e.warnings(), "");
}

