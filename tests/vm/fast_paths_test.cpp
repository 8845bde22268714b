// The interpreter's fast paths where only one run at a time shows them (the
// results of decoded fused expressions, fused jump tests and calls answered
// inside one run are checked by fast_paths.lasm): the size test of
// instructions near the end of the code, and fused expressions cut short.

#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "vm/opcode.h"
#include "vm/program_block.h"

using namespace v2test;
using namespace lum_fexpr;

// Instructions near the end of the code are size-checked wherever they
// start: a jump into an operand byte that reads as a 32-byte opcode with
// fewer bytes left is refused as a cut instruction, while the same bytes run
// as the operand they are.
TEST(InterpreterFastPaths, InstructionsNearTheEndAreSizeCheckedWhereverTheyStart) {
    env e;
    const int64_t operand = 0x3D3D3D3D3D3D3D3D;  // every byte reads as opcode 61 (32 bytes)
    for (bool jump_inside : {false, true}) {
        SCOPED_TRACE(jump_inside);
        lum_block_builder b(e.prog, e.block("tail", LUM_BLOCK_TOP, 0));
        b.push();
        for (int i = 0; i < 40; ++i) b.op(LUM_OP_NONE);
        const uint32_t jump_at = 41;
        const uint32_t target = jump_at + 8 + 8 + 3;  // the fourth operand byte of the ldi
        if (jump_inside) {
            const uint32_t dist = target - jump_at;
            b.bytes({LUM_OP_JMP, 0, 0, 0, static_cast<uint8_t>(dist), 0, 0, 0});
        } else {
            b.bytes({LUM_OP_JMP, 0, 0, 0, 8, 0, 0, 0});
        }
        b.ldi(operand).ret();
        direct d(b.finish());
        if (jump_inside) {
            EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
            EXPECT_EQ(d.error(), "invalid instruction: 61");
            EXPECT_EQ(d.ctx->ip, d.ctx->block->code_begin() + target);
        } else {
            EXPECT_EQ(d.step(), LUM_STATUS_RETURN);
            EXPECT_EQ(text(d.top()), std::to_string(operand));
        }
    }
}

// A fused expression cut short by the end of the code is refused as a cut
// instruction on every run (no decoded form is ever made for it), while the
// same expression complete runs, and runs again from its decoded form.
TEST(InterpreterFastPaths, CutFusedExpressionsAreRefusedOnEveryRun) {
    for (bool cut : {false, true}) {
        SCOPED_TRACE(cut);
        env e;
        lum_block_builder b(e.prog, e.block("tail", LUM_BLOCK_TOP, 1));
        b.push().ld_l(0).push().ldi(20).assign().pop().push();
        const uint32_t at = b.offset();
        lum_label done = b.label();
        lum_fexpr_form plus_one;
        plus_one.local(0).int_const(1).op(IT_ADD);
        b.fexpr(plus_one, done);
        b.bind(done);
        lum_program_block* block = b.finish();
        if (cut) block->code.resize(at + SIZE - 50);
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            direct d(block);
            if (cut) {
                EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
                EXPECT_EQ(d.error(), "invalid instruction: 72");
                EXPECT_EQ(d.ctx->ip, block->code_begin() + at);
            } else {
                EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
                EXPECT_EQ(text(d.top()), "21");
            }
        }
    }
}
