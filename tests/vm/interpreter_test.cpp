// The interpreter loop seen from one run at a time (jumps, try/catch and the
// other opcodes' printed results are in the assembler programs): statuses,
// resume offsets, invalid instructions, and the exact stack effect of the
// load, stack and value opcodes.

#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "vm/opcode.h"

using namespace v2test;

TEST(Opcodes, SizesMatchTheEncoding) {
    const std::vector<std::pair<unsigned, std::vector<unsigned>>> sizes = {
        {1, {14, 16, 17, 18, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 37, 43, 46, 50, 51, 52, 54, 58, 59, 60,
             64, 65, 66, 67, 70, 71}},
        {2, {15, 32, 33, 34, 35, 36, 44, 48}},
        {8, {1, 2, 3, 6, 7, 10, 11, 19, 38, 39, 40, 41, 45, 47, 49, 55, 56, 57, 63}},
        {12, {4, 5, 53}},
        {16, {8, 9, 12, 13, 42, 68, 69}},
        {24, {62}},
        {32, {61, 73}},
        {200, {72}},
    };
    unsigned counted = 0;
    for (const auto& [size, ops] : sizes)
        for (unsigned op : ops) {
            EXPECT_EQ(lum_opcode_size(op), size) << "opcode " << op;
            ++counted;
        }
    EXPECT_EQ(counted, 73u);
    EXPECT_EQ(lum_opcode_size(0), 0u);
    EXPECT_EQ(lum_opcode_size(74), 0u);
}

TEST(InterpreterLoop, EndStatusesAndResumeOffsets) {
    env e;
    {
        lum_block_builder b(e.prog, e.block("empty", LUM_BLOCK_TOP, 0));
        direct d(b.finish());
        EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
        EXPECT_EQ(d.ctx->resume_offset, 0u);
        EXPECT_EQ(d.ctx->resumable, 0);
    }
    {
        lum_block_builder b(e.prog, e.block("ends", LUM_BLOCK_TOP, 0));
        b.push().ldi(3);
        direct d(b.finish());
        EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
        EXPECT_EQ(d.ctx->resume_offset, 0u);
        EXPECT_EQ(d.ctx->pushed, 1);
        EXPECT_EQ(d.top()->payload.i, 3);
    }
    // Return, break and continue stop the run with the offset after them; the
    // next run resumes there.
    for (uint8_t op : {LUM_OP_RET, LUM_OP_BRK, LUM_OP_CONT}) {
        lum_block_builder b(e.prog, e.block("stop", LUM_BLOCK_TOP, 0));
        b.op(op).push().op(op);
        lum_program_block* blk = b.finish();
        direct d(blk);
        const uint32_t expected = op == LUM_OP_RET ? 2 : op == LUM_OP_BRK ? 4 : 8;
        EXPECT_EQ(d.step(), expected);
        EXPECT_EQ(d.ctx->resume_offset, 1u);
        EXPECT_EQ(d.ctx->resumable, 1);
        EXPECT_EQ(d.step(), expected);
        EXPECT_EQ(d.ctx->resume_offset, blk->code_size());
        EXPECT_EQ(d.depth(), 2u);
        EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    }
}

TEST(InterpreterLoop, InvalidInstructionsStopWithoutMoving) {
    env e;
    for (unsigned bad : {0u, 74u, 255u}) {
        lum_block_builder b(e.prog, e.block("bad", LUM_BLOCK_TOP, 0));
        b.push();
        b.bytes({static_cast<uint8_t>(bad)});
        direct d(b.finish());
        EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
        EXPECT_EQ(d.error(), "invalid instruction: " + std::to_string(bad));
        EXPECT_EQ(d.ctx->ip, d.ctx->block->code_begin() + 1);
        EXPECT_EQ(d.ctx->resume_offset, 0u);
        EXPECT_EQ(d.ctx->resumable, 0);
    }
    // An instruction cut off by the end of the code is refused the same way.
    lum_block_builder b(e.prog, e.block("cut", LUM_BLOCK_TOP, 0));
    b.bytes({LUM_OP_LDI, 0, 0});
    direct d(b.finish());
    EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
    EXPECT_EQ(d.error(), "invalid instruction: 8");
}

TEST(StackOpcodes, LoadsShareCellsAndConstantsReuseTheTop) {
    env e;
    lum_block_builder b(e.prog, e.block("loads", LUM_BLOCK_TOP, 2));
    b.statics(1);
    lumvar* k = e.prog.constant(lumvar_shared::from_int(77));
    b.push().ld_l(1);  // 0: shares slot 1
    b.push().ld_s(0);  // 1: static
    b.push().ldk(k);   // 2: constant cell
    b.push().ldi(5);   // 3: fresh int
    b.push().ldf(2.5); // 4
    b.push().lds("hi");// 5
    b.push().op(LUM_OP_NONE);   // 6
    b.dup();           // 7 same cell as 6
    b.push().ldi(1).pop();      // pushed +1 -1
    lum_program_block* blk = b.finish();
    direct d(blk);
    EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    auto& s = d.task->stack;
    ASSERT_EQ(s.size(), 9u);
    EXPECT_EQ(s[1].get(), d.ctx->slots[1].get());
    EXPECT_EQ(s[2].get(), blk->statics[0].get());
    EXPECT_EQ(s[3].get(), k);
    EXPECT_EQ(s[4]->type, LUMVAR_INT);
    EXPECT_EQ(s[4]->refcount, 1u);
    EXPECT_EQ(s[5]->payload.f, 2.5);
    EXPECT_EQ(text(s[6]), "hi");
    EXPECT_EQ(s[7]->type, LUMVAR_NONE);
    EXPECT_EQ(s[7].get(), s[8].get());
    EXPECT_EQ(d.ctx->pushed, 8);

    // ldi into a shared top takes a fresh cell and leaves the variable alone.
    lum_block_builder b2(e.prog, e.block("shared", LUM_BLOCK_TOP, 1));
    b2.push().ld_l(0).ldi(9);
    direct d2(b2.finish());
    d2.step();
    EXPECT_EQ(d2.ctx->slots[0]->type, LUMVAR_NONE);
    EXPECT_EQ(d2.top()->payload.i, 9);
}

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

TEST(StackOpcodes, JsonAppendOwnMemberIfPresentAndSafeIndex) {
    env e;
    lum_block_builder b(e.prog, e.block("json", LUM_BLOCK_TOP, 1));
    // slot0 = [10, 20, 30] via append on a none (becomes json)
    for (int v : {10, 20, 30}) b.push().ld_l(0).push().ldi(v).op(LUM_OP_APPEND).pop();
    b.push().ld_l(0).push().ldi(-1).op(LUM_OP_SIDX);   // 30
    b.push().ld_l(0).push().ldi(5).op(LUM_OP_SIDX);    // 0
    b.push().ld_l(0).push().lds("x").op(LUM_OP_SIDX);  // no member: 0
    b.push().ld_l(0).op_b(LUM_OP_MEMIF, e.prog.intern("nope"));  // 0
    b.push().op(LUM_OP_NEWJSON).op(LUM_OP_OWN);
    lum_program_block* blk = b.finish();
    direct d(blk);
    EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    EXPECT_EQ(d.ctx->slots[0]->type, LUMVAR_JSON);
    EXPECT_EQ(d.ctx->slots[0]->size(), 3);
    auto& s = d.task->stack;
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[1]->payload.i, 30);
    EXPECT_EQ(s[2]->type, LUMVAR_INT);
    EXPECT_EQ(s[2]->payload.i, 0);
    EXPECT_EQ(s[3]->payload.i, 0);
    EXPECT_EQ(s[4]->payload.i, 0);
    EXPECT_EQ(s[5]->type, LUMVAR_JSON);
    EXPECT_TRUE(s[5]->flags & LUMVAR_FLAG_OWNING);
    EXPECT_EQ(d.ctx->pushed, 5);
}

TEST(BlockEntry, EnterPushesAContextAndReturnsSixteen) {
    env e;
    lum_block_builder inner(e.prog, e.block("inner", LUM_BLOCK_PLAIN, 1));
    inner.push().ldi(1).pop();
    lum_block_builder b(e.prog, e.block("outer", LUM_BLOCK_TOP, 0));
    const uint32_t child = b.child(inner.finish());
    b.enter(child).push();
    lum_program_block* blk = b.finish();
    direct d(blk);
    EXPECT_EQ(d.step(), LUM_STATUS_CALL);
    ASSERT_EQ(d.task->contexts.size(), 2u);
    EXPECT_EQ(d.task->contexts.back()->block, inner.block());
    EXPECT_EQ(d.ctx->resume_offset, 8u);
    EXPECT_EQ(d.ctx->resumable, 1);
    // Catch without a caught error does nothing.
    lum_block_builder c(e.prog, e.block("nocatch", LUM_BLOCK_TOP, 0));
    c.op_b(LUM_OP_CATCH, c.child(inner.block()));
    direct d2(c.finish());
    EXPECT_EQ(d2.step(), LUM_STATUS_FINISHED);
    EXPECT_EQ(d2.task->contexts.size(), 1u);
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
