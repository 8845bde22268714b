// The records of a task's contexts: a stack of fixed records reused by call
// depth. Deep recursion and back reuses the same records; a cell of a local
// held elsewhere keeps its value when its call returns; a record with a
// second holder (a native that keeps its context, across a suspension) stays
// intact while later calls use the records above it; an error deep in the
// stack unwinds to a try block and leaves the stack in order; every task has
// its own stack.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/turn.h"
#include "tests/vm/v2_support.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"

using namespace v2test;

namespace {

// What a native saw of its task's record stack.
struct stack_view {
    size_t contexts = 0;
    uint32_t top = 0;
    size_t made = 0;
};

stack_view view_of(const lum_vm_context& ctx) {
    const lum_task& t = *ctx.task;
    return {t.contexts.size() + t.pending_contexts.size(), t.records.top, t.records.records.size()};
}

// Global 0 holds down(n) = n == 0 ? bottom() : down(n - 1), where `bottom`
// is a native called at the deepest point (`flags`: down's block flags).
// Returns down's child index.
uint32_t add_down(env& e, lum_block_builder& top, lum_function_def* bottom,
                  uint8_t flags = LUM_BLOCK_FLAG_FUNCTION) {
    lum_block_builder down(e.prog, e.block("down", LUM_BLOCK_FUNCTION, 1));
    down.params(1, LUM_NO_DEFAULT).flags(flags);
    lum_label zero = down.label();
    down.ld_l(0).push().ldi(0).op_a(LUM_OP_EQ, 0).jnz(zero);
    down.ld_g(0).prep(1).push().ld_l(0).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call().ret();
    down.bind(zero).push().frame(0).ncall(bottom).pop().ldi(0).ret();
    const uint32_t child = top.child(down.finish());
    top.push().ld_l(0).push().fn(child).assign().pop();
    return child;
}

void call_down(lum_block_builder& top, int64_t n) { top.push().ld_g(0).prep(1).push().ldi(n).arg(0).pop().call().pop(); }

}  // namespace

// Every depth reached again takes the record it had before: the stack holds
// one record per live context, a second deep descent makes none, and the
// records of the deepest descent go when the task finishes.
TEST(ContextStack, DeepRecursionReusesTheRecordsOnTheWayBack) {
    env e;
    std::vector<stack_view> seen;
    lum_function_def* bottom = e.prog.native(make_native("bottom", 0, 0, [&](lum_vm_context& ctx, auto&) {
        seen.push_back(view_of(ctx));
        return lumvar_shared::make();
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    add_down(e, top, bottom);
    for (int64_t n : {3000, 10, 3000, 0, 700}) call_down(top, n);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    ASSERT_EQ(seen.size(), 5u);
    const size_t depths[] = {3000, 10, 3000, 0, 700};
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].contexts, depths[i] + 2);  // main and the outermost call
        EXPECT_EQ(seen[i].top, seen[i].contexts);
        EXPECT_EQ(seen[i].made, seen[0].made);  // the first descent made them all
    }
    // Once finished, the task keeps only a few records for its next run.
    EXPECT_LE(e.fx.tasks[0]->records.records.size(), 32u);
}

// f(n): print(local 1); local 1 = n * 10; keep(local 1); if (n > 0) f(n - 1).
// Each call starts with none in local 1; the cells `keep` holds keep the
// values their calls gave them after the records are reused.
TEST(ContextStack, CellsHeldElsewhereKeepTheirValuesWhenTheCallReturns) {
    env e;
    std::vector<lumvar_shared> kept;
    lum_function_def* keep = e.prog.native(make_native(
        "keep", 1, 1, [&](lum_vm_context&, std::vector<lumvar_shared>& args) {
            kept.push_back(args[0]);
            return lumvar_shared::make();
        },
        0));
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 2));
    f.params(1, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    e.print_slot(f, 1);
    f.push().ld_l(1).push().ld_l(0).push().ldi(10).op(LUM_OP_MUL).assign().pop();
    f.push().frame(1).ld_l(1).farg(0).ncall(keep).pop();
    lum_label done = f.label();
    f.ld_l(0).push().ldi(0).op_a(LUM_OP_EQ, 0).jnz(done);
    f.push().ld_g(0).prep(1).push().ld_l(0).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call().pop();
    f.bind(done).ldi(0).ret();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t child = top.child(f.finish());
    top.push().ld_l(0).push().fn(child).assign().pop();
    call_down(top, 3);
    call_down(top, 2);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out), std::string(7, '\n'));
    std::vector<int64_t> values;
    for (const lumvar_shared& cell : kept) values.push_back(cell->type == LUMVAR_INT ? cell->payload.i : -1);
    EXPECT_EQ(values, (std::vector<int64_t>{30, 20, 10, 0, 20, 10, 0}));
    kept.clear();
    EXPECT_EQ(e.errors(), "");
}

// A native keeps the context that called it (a second holder) and suspends
// the task there. While the task waits and after the call returns, the
// record stays as it was; the calls made meanwhile take the records above
// it, and its last release frees it and the free records below the top.
TEST(ContextStack, ANativeHoldsItsContextAcrossASuspensionAndPastTheReturn) {
    env e;
    lum_vm_context* held = nullptr;
    std::vector<stack_view> seen;
    lum_function_def* park = e.prog.native(make_native("park", 0, 0, [&](lum_vm_context& ctx, auto&) {
        ctx.add_ref();
        held = &ctx;
        ctx.slots[0]->set_int(77);
        ctx.suspend();
        return lumvar_shared::make();
    }));
    lum_function_def* bottom = e.prog.native(make_native("bottom", 0, 0, [&](lum_vm_context& ctx, auto&) {
        seen.push_back(view_of(ctx));
        return lumvar_shared::make();
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    add_down(e, top, bottom);
    lum_block_builder g(e.prog, e.block("g", LUM_BLOCK_FUNCTION, 1));
    g.flags(LUM_BLOCK_FLAG_FUNCTION);
    g.push().frame(0).ncall(park).pop().ldi(0).ret();
    lum_program_block* g_block = g.finish();
    const uint32_t g_child = top.child(g_block);
    top.push().ld_l(1).push().fn(g_child).assign().pop();
    top.push().ld_l(1).prep(0).call().pop();
    call_down(top, 5);
    lum_program_block* root = top.finish();
    e.program = e.prog.finish(root);
    auto outcome = e.fx.launch(root);
    lum_host_turn(e.fx.host);
    lum_host_turn(e.fx.host);
    ASSERT_NE(held, nullptr);
    lum_task* task = held->task;
    EXPECT_EQ(task->waiting, 1);
    EXPECT_FALSE(outcome->finished);
    lum_task::wake(task);
    ASSERT_TRUE(e.fx.run(5000));
    EXPECT_TRUE(outcome->finished);

    // The record of g's returned call: still g's, its local as the native left it.
    EXPECT_EQ(held->block, g_block);
    EXPECT_EQ(held->ref_count, 1u);
    EXPECT_EQ(held->slots[0]->payload.i, 77);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_GT(seen[0].top, seen[0].contexts);  // down's calls went above the held record
    const uint32_t position = held->stack_index;
    EXPECT_GT(task->records.top, position);
    lum_vm_context::release(held);
    EXPECT_EQ(task->records.top, task->contexts.size());
    EXPECT_EQ(task->records.records[position]->slots[0]->type, LUMVAR_NONE);
}

// An error at the bottom of a deep recursion (of a function that lets errors
// through) unwinds to the try block of main; the stack is back to main's
// records, and the next calls reuse them.
TEST(ContextStack, AnErrorDeepInTheStackUnwindsToTheTryBlock) {
    env e;
    std::vector<stack_view> seen;
    lum_function_def* bottom = e.prog.native(make_native("bottom", 0, 0, [&](lum_vm_context& ctx, auto&) {
        seen.push_back(view_of(ctx));
        if (seen.size() == 1) lum_runtime_error(true, "deep failure");
        return lumvar_shared::make();
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    add_down(e, top, bottom, 0);
    e.guarded(top, [](lum_block_builder& t) { call_down(t, 400); });
    call_down(top, 3);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_NE(joined(e.out).find("deep failure"), std::string::npos);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].contexts, 400u + 3);  // main, the try block, the outermost call
    EXPECT_EQ(seen[1].contexts, 3u + 2);
    EXPECT_EQ(seen[1].top, seen[1].contexts);
}

// An error left unhandled at depth 40 reports a frame for every call: the
// records are all on the stack while the report is made.
TEST(ContextStack, AnUnhandledErrorDeepInTheStackReportsItsFrames) {
    env e;
    lum_function_def* bottom = e.prog.native(make_native("bottom", 0, 0, [&](lum_vm_context&, auto&) {
        lum_runtime_error(true, "deep failure");
        return lumvar_shared::make();
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    add_down(e, top, bottom, 0);
    call_down(top, 40);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->error_handler);
    // main and 41 calls of down: the first 10 frames, 12 left out, the last 20.
    const std::string report = e.errors();
    EXPECT_NE(report.find("... 12 more frames ..."), std::string::npos) << report;
    EXPECT_NE(report.find("deep failure"), std::string::npos);
}

// Thousands of tasks, each running its own recursion: every task's stack
// holds exactly its own live contexts.
TEST(ContextStack, EveryTaskHasItsOwnStack) {
    env e;
    size_t mismatches = 0;
    size_t calls = 0;
    lum_function_def* bottom = e.prog.native(make_native("bottom", 0, 0, [&](lum_vm_context& ctx, auto&) {
        const stack_view v = view_of(ctx);
        if (v.top != v.contexts || v.contexts != 32 + 2) ++mismatches;
        ++calls;
        return lumvar_shared::make();
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    add_down(e, top, bottom);
    call_down(top, 32);
    lum_program_block* root = top.finish();
    e.program = e.prog.finish(root);
    std::vector<std::shared_ptr<v1test::task_outcome>> outcomes;
    for (int i = 0; i < 2000; ++i) outcomes.push_back(e.fx.launch(root));
    ASSERT_TRUE(e.fx.run(20000));
    for (const auto& o : outcomes) EXPECT_TRUE(o->finished);
    EXPECT_EQ(calls, 2000u);
    EXPECT_EQ(mismatches, 0u);
}
