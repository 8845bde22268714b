// The interpreter's fast paths give the results of the general code: decoded
// fused expressions (made on the first run and kept by the block), the test
// of a conditional jump made by the fused expression that lands on it, the
// top left alone before an instruction that replaces it, calls and returns
// between script functions answered inside one interpreter run (with the
// contexts of returned calls reused by later calls), and the size test of
// instructions near the end of the code.

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/vm/v2_support.h"
#include "vm/opcode.h"
#include "vm/program_block.h"

using namespace v2test;
using namespace lum_fexpr;

namespace {

lum_fexpr_form to_local(uint32_t dest, uint32_t a, uint8_t item, int64_t k) {
    lum_fexpr_form s;
    s.dest_kind = DEST_LOCAL;
    s.dest_slot = dest;
    s.local(a).int_const(k).op(item);
    return s;
}

lum_fexpr_form to_top(uint32_t a, uint8_t item, int64_t k) {
    lum_fexpr_form s;
    s.local(a).int_const(k).op(item);
    return s;
}

}  // namespace

// A plan is decoded once; the operands are checked on every run: a
// destination that holds a string on one run makes that run decline.
TEST(InterpreterFastPaths, DecodedExpressionsFollowTheValuesOfEachRun) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    top.push().ld_l(0).push().ldi(0).assign().pop();
    top.push().ld_l(1).push().ldi(0).assign().pop();
    top.push();
    lum_label body = top.label(), after_inc = top.label(), cond = top.label(), skip_set = top.label();
    top.bind(body);
    // v = i * 10 (fused into slot 1; declines once slot 1 holds a string)
    top.fexpr(to_local(1, 0, IT_MUL, 10), after_inc);
    e.print_text(top, "slow");
    top.ld_l(1).push().ld_l(0).push().ldi(10).op(LUM_OP_MUL).assign();
    top.bind(after_inc);
    // i += 1
    {
        lum_label next = top.label();
        top.fexpr(to_local(0, 0, IT_ADD, 1), next);
        top.ld_l(0).op_a(LUM_OP_INC, 0);
        top.bind(next);
    }
    // if (i == 3) v = "x"
    top.ld_l(0).push().ldi(3).op_a(LUM_OP_EQ, 0).jz(skip_set);
    top.ld_l(1).push().lds("x").assign();
    top.bind(skip_set);
    // while (i < 5)
    top.fexpr(to_top(0, IT_LT, 5), cond);
    top.ld_l(0).push().ldi(5).op_a(LUM_OP_LT, 0);
    top.bind(cond).jnz(body);
    e.print_top(top);
    top.pop();
    e.print_slot(top, 0);
    e.print_slot(top, 1);
    e.run(top.finish());
    // Runs 1-3 fused; run 4 sees the string in slot 1 and declines once.
    EXPECT_EQ(joined(e.out), "slow\n0\n5\n40\n");
}

// A fused store leaves the destination cell on the top unless the
// instruction that runs next replaces the top without reading it.
TEST(InterpreterFastPaths, TheTopIsTheDestinationWhereTheNextInstructionUsesIt) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    top.push().ld_l(0).push().ldi(1).assign().pop();
    top.push().ld_l(1).push().ldi(100).assign().pop();
    // slot0 = slot0 + 1, then `inc` on the top: the top is slot 0's cell, so
    // the variable itself is incremented.
    top.push();
    for (int i = 0; i < 2; ++i) {  // twice: the second run uses the decoded plan
        lum_label next = top.label();
        top.fexpr(to_local(0, 0, IT_ADD, 1), next);
        top.ld_l(0).push().ld_l(0).push().ldi(1).op(LUM_OP_ADD).assign();
        top.bind(next).op_a(LUM_OP_INC, 0);
    }
    // slot2 = slot1 - 1 followed by a load: the top is then slot 1's cell.
    {
        lum_label next = top.label();
        top.fexpr(to_local(2, 1, IT_SUB, 1), next);
        top.ld_l(2).push().ld_l(1).push().ldi(1).op(LUM_OP_SUB).assign();
        top.bind(next).ld_l(1);
    }
    top.op_a(LUM_OP_INC, 0);  // increments slot 1 through the top
    top.pop();
    e.print_slot(top, 0);
    e.print_slot(top, 1);
    e.print_slot(top, 2);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "5\n101\n99\n");
}

// The test of a conditional jump after a fused expression into the top is
// made at once; both jumps, both directions, and the value left on the top.
TEST(InterpreterFastPaths, FusedTestsOfConditionalJumps) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    top.push().ld_l(0).push().ldi(0).assign().pop();
    top.push().ld_l(1).push().ldi(0).assign().pop();
    top.push();
    // do { i += 1 } while (i < 7)      (jnz taken 6 times, then falls through)
    lum_label body = top.label(), cond = top.label();
    top.bind(body);
    {
        lum_label next = top.label();
        top.fexpr(to_local(0, 0, IT_ADD, 1), next);
        top.ld_l(0).op_a(LUM_OP_INC, 0);
        top.bind(next);
    }
    top.fexpr(to_top(0, IT_LT, 7), cond);
    top.ld_l(0).push().ldi(7).op_a(LUM_OP_LT, 0);
    top.bind(cond).jnz(body);
    e.print_top(top);  // the last test's result: 0
    // if (i >= 7) n = 1 (jz not taken) ; if (i > 7) n = 2 (jz taken)
    for (int64_t limit : {7, 8}) {
        lum_label skip = top.label(), c2 = top.label();
        top.fexpr(to_top(0, IT_GE, limit), c2);
        top.ld_l(0).push().ldi(limit).op_a(LUM_OP_GT, 1);
        top.bind(c2).jz(skip);
        top.ld_l(1).push().ldi(limit).assign();
        top.bind(skip);
        e.print_top(top);
    }
    top.pop();
    e.print_slot(top, 0);
    e.print_slot(top, 1);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "0\n7\n0\n7\n7\n");
}

// Two fused expressions that follow each other run one after the other
// without dispatch; when the second declines (a string operand, then a
// string destination), the generic code after it runs with the full
// semantics.
TEST(InterpreterFastPaths, FollowingFusedExpressionsDeclineOnTheirOwn) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    for (uint32_t s = 0; s < 3; ++s) top.push().ld_l(s).push().ldi(0).assign().pop();
    top.push();
    lum_label body = top.label(), cond = top.label(), skip_set = top.label();
    top.bind(body);
    {
        // i += 1, straight followed by slot2 = slot1 + 2
        lum_label next = top.label(), done = top.label();
        top.fexpr(to_local(0, 0, IT_ADD, 1), next);
        top.ld_l(0).op_a(LUM_OP_INC, 0);
        top.bind(next);
        top.fexpr(to_local(2, 1, IT_ADD, 2), done);
        e.print_text(top, "slow");
        top.ld_l(2).push().ld_l(1).push().ldi(2).op(LUM_OP_ADD).assign();
        top.bind(done);
    }
    e.print_slot(top, 2);
    // slot1 = i, or "s" when i == 2
    top.ld_l(1).push().ld_l(0).assign();
    top.ld_l(0).push().ldi(2).op_a(LUM_OP_EQ, 0).jz(skip_set);
    top.ld_l(1).push().lds("s").assign();
    top.bind(skip_set);
    top.fexpr(to_top(0, IT_LT, 4), cond);
    top.ld_l(0).push().ldi(4).op_a(LUM_OP_LT, 0);
    top.bind(cond).jnz(body);
    top.pop();
    e.print_slot(top, 0);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "2\n3\nslow\ns2\nslow\n5\n4\n");
    // The block keeps one plan per fused instruction it ran.
    size_t decoded = 0;
    for (const lum_fexpr_plan& p : top.block()->fexpr_plans) decoded += p.offset != lum_fexpr_plan::EMPTY;
    EXPECT_EQ(decoded, 3u);
}

// `none` on a top that holds a variable's cell gives the top a fresh cell;
// the variable keeps its value.
TEST(InterpreterFastPaths, NoneNeverWritesThroughASharedTop) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    top.push().ld_l(0).push().ldi(42).assign().pop();
    top.push().ld_l(0).op(LUM_OP_NONE);
    e.print_top(top);
    top.pop();
    top.push().ldi(5).op(LUM_OP_NONE);
    e.print_top(top);
    top.pop();
    e.print_slot(top, 0);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "\n\n42\n");
}

// Recursive script calls with arguments, defaults and a native in the
// middle; the call-depth limit still stops endless recursion with a
// catchable error at the same depth.
TEST(InterpreterFastPaths, CallsAndReturnsInsideOneRun) {
    for (uint32_t limit : {0u, 40u}) {
        SCOPED_TRACE(limit);
        env e(limit);
        lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
        // fib(n) = n < 2 ? n : fib(n - 1) + fib(n - 2)   (global 1 holds fib)
        lum_block_builder fib(e.prog, e.block("fib", LUM_BLOCK_FUNCTION, 2));
        fib.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
        lum_label base = fib.label();
        {
            lum_label c = fib.label();
            fib.fexpr(to_local(1, 0, IT_LT, 2), c);
            fib.ld_l(1).push().ld_l(0).push().ldi(2).op_a(LUM_OP_LT, 0).assign();
            fib.bind(c).jnz(base);
        }
        for (int64_t d : {1, 2}) {
            if (d == 2) fib.push();
            fib.ld_g(1).prep(1);
            lum_label c = fib.label();
            fib.fexpr(to_local(1, 0, IT_SUB, d), c);
            fib.ld_l(1).push().ld_l(0).push().ldi(d).op(LUM_OP_SUB).assign();
            fib.bind(c).arg(0).call();
        }
        fib.op(LUM_OP_ADD).ret();
        fib.bind(base).ld_l(0).ret();
        const uint32_t fib_child = top.child(fib.finish());
        // down(n) = n == 0 ? 0 : down(n - 1)   (endless for n < 0)
        lum_block_builder down(e.prog, e.block("down", LUM_BLOCK_FUNCTION, 1));
        down.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
        lum_label zero = down.label();
        down.ld_l(0).push().ldi(0).op_a(LUM_OP_EQ, 0).jnz(zero);
        down.ld_g(0).prep(1).push().ld_l(0).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call().ret();
        down.bind(zero).ldi(0).ret();
        const uint32_t down_child = top.child(down.finish());

        top.push().ld_l(1).push().fn(fib_child).assign().pop();
        top.push().ld_l(0).push().fn(down_child).assign().pop();
        top.push().ld_l(1).prep(1).push().ldi(20).arg(0).pop().call();
        e.print_top(top);
        top.pop();
        top.push().ld_l(0).prep(1).push().ldi(30).arg(0).pop().call();
        e.print_top(top);
        top.pop();
        // Endless: stopped by the limit; the innermost function catches the
        // error and every caller returns none.
        if (limit != 0) {
            top.push().ld_l(0).prep(1).push().ldi(-1).arg(0).pop().call();
            e.print_top(top);
            top.pop();
        }
        auto outcome = e.run(top.finish());
        EXPECT_TRUE(outcome->finished);
        if (limit == 0) {
            EXPECT_EQ(joined(e.out), "6765\n0\n");
        } else {
            EXPECT_EQ(joined(e.out), "6765\n0\n\n");
            EXPECT_NE(e.errors().find("maximum call depth of 40 exceeded (endless recursion?)"), std::string::npos);
        }
    }
}

// Contexts of calls that returned are reused by later calls of the same run:
// every call still starts with none in its local slots, whether the last
// user's cell was written in place (a number, a string) or handed out as the
// return value (the caller keeps that value).
TEST(InterpreterFastPaths, ReusedCallContextsStartWithFreshLocals) {
    env e;
    lum_block_builder probe(e.prog, e.block("probe", LUM_BLOCK_FUNCTION, 3));
    probe.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    e.print_slot(probe, 1);
    e.print_slot(probe, 2);
    probe.push().ld_l(1).push().ld_l(0).push().ldi(10).op(LUM_OP_MUL).assign().pop();
    probe.push().ld_l(2).push().lds("kept?").assign().pop();
    probe.ld_l(1).ret();  // the slot's cell itself is the result
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t probe_child = top.child(probe.finish());
    top.push().ld_l(0).push().fn(probe_child).assign().pop();
    for (int64_t i = 1; i <= 3; ++i) {
        top.push().ld_l(0).prep(1).push().ldi(i).arg(0).pop().call();
        e.print_top(top);
        top.pop();
    }
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "\n\n10\n\n\n20\n\n\n30\n");
    EXPECT_EQ(e.errors(), "");
}

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

// Calls answered inside one run switch between blocks of different sizes
// and slot counts, and between contexts of the same block: f and g call each
// other and f calls itself, so every switch direction occurs. Callees whose
// code is empty or shorter than one long instruction start at once and end
// or return as usual.
TEST(InterpreterFastPaths, CallsSwitchBetweenBlocksAndIntoTinyBodies) {
    env e;
    // f(n) = n == 0 ? 0 : (n & 1 ? g(n - 1) : f(n - 1)) + 1   (global 0)
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 1));
    f.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    lum_label f_zero = f.label(), f_odd = f.label();
    f.ld_l(0).push().ldi(0).op_a(LUM_OP_EQ, 0).jnz(f_zero);
    f.ld_l(0).push().ldi(1).op(LUM_OP_AND).jnz(f_odd);
    for (uint32_t callee : {0u, 1u}) {
        if (callee == 1) f.bind(f_odd);
        f.ld_g(callee).prep(1).push().ld_l(0).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call();
        f.push().ldi(1).op(LUM_OP_ADD).ret();
    }
    f.bind(f_zero).ld_l(0).ret();
    // g(m) = m == 0 ? 0 : f(m - 1) + 10   (global 1; three slots, the
    // argument copied through slot 2)
    lum_block_builder g(e.prog, e.block("g", LUM_BLOCK_FUNCTION, 3));
    g.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    lum_label g_zero = g.label();
    g.push().ld_l(2).push().ld_l(0).assign().pop();
    g.ld_l(2).push().ldi(0).op_a(LUM_OP_EQ, 0).jnz(g_zero);
    g.ld_g(0).prep(1).push().ld_l(2).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call();
    g.push().ldi(10).op(LUM_OP_ADD).ret();
    g.bind(g_zero).ld_l(0).ret();
    // empty() has no code at all; one() is `ldi 1; ret`.
    lum_block_builder empty(e.prog, e.block("empty", LUM_BLOCK_FUNCTION, 0));
    empty.params(0, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    lum_block_builder one(e.prog, e.block("one", LUM_BLOCK_FUNCTION, 0));
    one.params(0, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    one.ldi(1).ret();

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 4));
    const uint32_t children[4] = {top.child(f.finish()), top.child(g.finish()), top.child(empty.finish()),
                                  top.child(one.finish())};
    for (uint32_t slot = 0; slot < 4; ++slot) top.push().ld_l(slot).push().fn(children[slot]).assign().pop();
    for (int64_t n : {0, 1, 2, 7, 12}) {
        top.push().ld_l(0).prep(1).push().ldi(n).arg(0).pop().call();
        e.print_top(top);
        top.pop();
    }
    top.push().ld_l(2).prep(0).call().pop();
    e.print_text(top, "after empty");
    top.push().ld_l(3).prep(0).call();
    e.print_top(top);
    top.pop();
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);

    std::function<int64_t(int64_t)> ref_f, ref_g;
    ref_f = [&](int64_t n) { return n == 0 ? 0 : ((n & 1) ? ref_g(n - 1) : ref_f(n - 1)) + 1; };
    ref_g = [&](int64_t m) { return m == 0 ? 0 : ref_f(m - 1) + 10; };
    std::string expected;
    for (int64_t n : {0, 1, 2, 7, 12}) expected += std::to_string(ref_f(n)) + "\n";
    expected += "after empty\n1\n";
    EXPECT_EQ(joined(e.out), expected);
    EXPECT_EQ(e.errors(), "");
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
        b.fexpr(to_top(0, IT_ADD, 1), done);
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

// An argument store that leaves the common case reports at its own
// position, also right after stores that took the common case (which do not
// record their position, having nothing that could look at it).
TEST(InterpreterFastPaths, ArgumentErrorsReportTheirOwnPosition) {
    env e;
    lum_source_unit unit;
    unit.path = "args.lum";
    unit.lines[1] = "f(5)";
    unit.lines[2] = "f(6)";
    unit.lines[3] = "f(bad)";
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 1));
    f.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    f.ld_l(0).ret();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t child = top.child(f.finish());
    top.push().fn(child).prep(1).push().ldi(5).loc(&unit, 1, 0).arg(0);
    top.loc(&unit, 2, 0).ldi(6).arg(0);
    top.loc(&unit, 3, 2).arg(1000).pop().call();
    direct d(top.finish());
    EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
    EXPECT_EQ(d.error(), "index out of range!");
    const std::string report = e.errors();
    EXPECT_NE(report.find(" --> args.lum:3:2\n"), std::string::npos) << report;
}
