// The interpreter loop seen from one run at a time (jumps, try/catch and the
// other opcodes' printed results are in the assembler programs): statuses,
// resume offsets, invalid instructions, and the exact stack effect of the
// load, stack and value opcodes.

#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "vm/opcode.h"

using namespace v2test;

TEST(StackOpcodes, GlobalLoadWithoutAGlobalContext) {
    env e;
    lum_block_builder g(e.prog, e.block("globals", LUM_BLOCK_TOP, 1));
    lum_program_block* global_block = g.finish();
    lum_block_builder r(e.prog, e.block("routine", LUM_BLOCK_FUNCTION, 0));
    r.push().ldi(3).ld_g(0);
    lum_program_block* routine_block = r.finish();
    lumptr_strong<lum_task> scope = lum_task::create(global_block, nullptr);
    lumptr_strong<lum_task> routine = lum_task::create(routine_block, scope.get());
    ASSERT_TRUE(routine->has_context());
    ASSERT_TRUE(lum_task::bind_arguments(routine.get(), nullptr));
    // The global scope loses its contexts: there is no global context any more.
    while (!scope->contexts.empty()) {
        lum_vm_context* c = scope->contexts.back();
        scope->contexts.pop_back();
        lum_vm_context::release(c);
    }
    lum_thread_local& tl = lum_get_thread_local();
    lum_task* saved = tl.current_task;
    tl.current_task = routine.get();
    lum_vm_context* ctx = routine->contexts.front();
    const uint32_t status = lum_interpret(routine_block, ctx);
    tl.current_task = saved;
    EXPECT_EQ(status, LUM_STATUS_ERROR);
    EXPECT_EQ(text(routine->error), "No global scope!");
    EXPECT_EQ(text(routine->stack.back()), "3");  // the top is left as it was
    const std::vector<std::string> errors = e.fx.log->take_errors();
    ASSERT_EQ(errors.size(), 5u);  // the report (one frame without a position) and four lines
    EXPECT_NE(errors[0].find("No global scope!"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1].rfind("No global scope: 0 : ", 0), 0u) << errors[1];
    EXPECT_EQ(errors[2].rfind("Addr: 0x", 0), 0u) << errors[2];
    EXPECT_EQ(errors[3], "Blocks: 1");
    EXPECT_EQ(errors[4], "Name: test");
}

TEST(StackOpcodes, AssignRefDerefAndTruth) {
    env e;
    lum_block_builder b(e.prog, e.block("vals", LUM_BLOCK_TOP, 3));
    // slot0 = 4; slot1 = ref(slot0); assign through the ref: slot1 = 6 -> slot0 == 6
    b.push().ld_l(0).push().ldi(4).assign().pop();
    b.push().ld_l(0).op(LUM_OP_REF).push().ld_l(1).op(LUM_OP_NONE).pop();  // ref on top, none in slot1's place
    b.pop();
    b.push().ld_l(1).push().ld_l(0).op(LUM_OP_REF).assign().pop();          // slot1 := ref to slot0
    b.push().ld_l(1).op(LUM_OP_DEREF).push().ldi(6).assign().pop();         // deref -> slot0's cell := 6
    b.push().ld_l(1).op(LUM_OP_REF).op(LUM_OP_DEREF).pop();                  // ref of a ref resolves first
    b.push().ld_l(2).op(LUM_OP_NOT);                                         // none -> 1
    b.push().lds("").op(LUM_OP_TRUTH);                                       // "" -> 0
    b.push().ldi(5).op(LUM_OP_BNOT);                                         // ~5
    lum_program_block* blk = b.finish();
    direct d(blk);
    EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    EXPECT_EQ(d.ctx->slots[0]->payload.i, 6);
    EXPECT_EQ(d.ctx->slots[1]->type, LUMVAR_REF);
    auto& s = d.task->stack;
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1]->payload.i, 1);
    EXPECT_EQ(s[2]->payload.i, 0);
    EXPECT_EQ(s[3]->payload.i, ~int64_t{5});
    EXPECT_EQ(d.ctx->slots[2]->type, LUMVAR_NONE);  // "not" wrote a fresh cell, not the variable

    // Assign without a target.
    lum_block_builder b2(e.prog, e.block("noassign", LUM_BLOCK_TOP, 0));
    b2.assign();
    direct d2(b2.finish());
    d2.task->stack.clear();
    EXPECT_EQ(d2.step(), LUM_STATUS_ERROR);
    EXPECT_EQ(d2.error(), "invalid variable.");
}

TEST(BlockEntry, LinkedBlockAndSelf) {
    env e;
    lum_block_builder linked(e.prog, e.block("linked", LUM_BLOCK_PLAIN, 0));
    linked.push().lds("linked");
    e.print_top(linked);
    linked.pop();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    top.linked(linked.finish());
    top.op(LUM_OP_ENTERLINKED);
    top.push().op(LUM_OP_SELF).pop();
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out), "linked\n");
    EXPECT_NE(e.errors().find("object not valid."), std::string::npos);
}
