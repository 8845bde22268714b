// Calls the assembler programs cannot observe: the two-phase protocol's
// context stack, native argument resolution, and native failures (thrown
// exceptions, definitions that go away, method records called directly).

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "vm/call_record.h"
#include "vm/opcode.h"

using namespace v2test;

TEST(Calls, PrepareThenStartPushesAContextWithoutRecursion) {
    env e;
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 1));
    f.params(1, 1).flags(LUM_BLOCK_FLAG_FUNCTION);
    f.ld_l(0).ret();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    const uint32_t fi = top.child(f.finish());
    top.push().fn(fi).prep(1).push().ldi(42).arg(0).pop().call();
    direct d(top.finish());
    EXPECT_EQ(d.step(), LUM_STATUS_CALL);
    EXPECT_EQ(d.task->contexts.size(), 2u);
    EXPECT_TRUE(d.task->pending_contexts.empty());
    EXPECT_TRUE(d.task->pending_calls.empty());
    lum_vm_context* callee = d.task->contexts.back();
    EXPECT_EQ(callee->argc, 1u);
    EXPECT_EQ(callee->slots[0]->payload.i, 42);
    // The callee writes its result into the caller's place.
    EXPECT_EQ(d.step(), LUM_STATUS_RETURN);
    EXPECT_EQ(d.top()->payload.i, 42);
    EXPECT_EQ(d.depth(), 2u);
}

// Prepared script and native calls nested in each other's arguments: every
// argument goes to the newest prepared call, every start starts it.
TEST(Calls, NestedScriptAndNativeCallsTakeTheirOwnArguments) {
    env e;
    lum_function_def* two = make_native("two", 2, 2, [](lum_vm_context&, std::vector<lumvar_shared>& args) {
        return lumvar_shared::from_int(args[0]->payload.i * 100 + args[1]->payload.i);
    });
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 1));
    f.params(1, 1).flags(LUM_BLOCK_FLAG_FUNCTION);
    f.ld_l(0).ret();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    const uint32_t fi = top.child(f.finish());
    // two(f(two(1, f(2))), 3)
    top.push().ldext(two).prep(2);
    top.push().fn(fi).prep(1);
    top.push().ldext(two).prep(2);
    top.push().ldi(1).arg(0).pop();
    top.push().fn(fi).prep(1).push().ldi(2).arg(0).pop().call().arg(1).pop();
    top.call().arg(0).pop();
    top.call().arg(0).pop();
    top.push().ldi(3).arg(1).pop();
    top.call();
    e.print_top(top);
    top.pop();
    // f(two(4, f(5)))
    top.push().fn(fi).prep(1);
    top.push().ldext(two).prep(2);
    top.push().ldi(4).arg(0).pop();
    top.push().fn(fi).prep(1).push().ldi(5).arg(0).pop().call().arg(1).pop();
    top.call().arg(0).pop();
    top.call();
    e.print_top(top);
    top.pop();
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "10203\n405\n");
    EXPECT_EQ(e.errors(), "");
    EXPECT_TRUE(e.fx.tasks.back()->pending_calls.empty());
    EXPECT_TRUE(e.fx.tasks.back()->pending_contexts.empty());
}

TEST(NativeCalls, CountsFramesAndResolveFlag) {
    env e;
    std::vector<lumvar*> seen;
    lum_function_def* one = make_native("one", 1, 1, [&](lum_vm_context&, std::vector<lumvar_shared>& args) {
        seen.push_back(args[0].get());
        return lumvar_shared::from_int(static_cast<int64_t>(args.size()));
    }, 0);
    lum_function_def* resolving = make_native("resolving", 1, 1, [&](lum_vm_context&, std::vector<lumvar_shared>& args) {
        seen.push_back(args[0].get());
        return lumvar_shared::from_int(args[0]->type);
    });
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    top.push().ld_l(0).push().ldi(3).assign().pop();
    top.push().ld_l(1).push().ld_l(0).op(LUM_OP_REF).assign().pop();
    // one(slot0): the caller's own cell arrives.
    top.push().ldext(one).prep(1).push().ld_l(0).arg(0).pop().call();
    e.print_top(top);
    top.pop();
    // resolving(slot1 = ref): the referenced value arrives (type int).
    top.push().ldext(resolving).prep(1).push().ld_l(1).arg(0).pop().call();
    e.print_top(top);
    top.pop();
    top.push().ldext(one).prep(2);
    top.push().lds("not reached");
    e.print_top(top);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "1\n2\n");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(e.errors().find("invalid parameter count 2 min: 1 max: 1"), std::string::npos);
    EXPECT_EQ(e.fx.tasks.back()->frame_depth, 0u);
}

TEST(NativeCalls, ExceptionsAndGoneDefinitions) {
    env e;
    lum_function_def* boom = make_native("boom", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
        throw std::runtime_error("it broke");
    });
    lum_function_def* odd = make_native("odd", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
        throw 7;
    });
    lum_function_def* empty = make_native("empty", 0, 0, nullptr);
    lum_function_def* method = make_native("method", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::make();
    }, LUM_FUNCTION_RESOLVE_ARGS, 1);
    // A definition that disappears after the value naming it was made.
    lumptr_strong<lum_function_def> gone(make_native("gone", 0, 0, nullptr));
    lumvar_shared gone_value = lumvar_shared::make();
    gone_value->set_ext_function(gone.get(), nullptr);
    lumvar* gone_cell = e.prog.constant(gone_value);
    gone_value.reset();
    gone.reset();
    // A definition that goes between the prepare (44) and the start (46).
    lumptr_strong<lum_function_def> victim(make_native("victim", 1, 1, [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::from_int(1);
    }));
    lum_function_def* const victim_raw = victim.get();
    lum_function_def* kill = make_native("kill", 0, 0, [&victim](lum_vm_context&, std::vector<lumvar_shared>&) {
        victim.reset();
        return lumvar_shared::make();
    });

    // Each call sits in its own try block so that every failure is caught and printed.
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    for (const auto& body : std::vector<std::function<void(lum_block_builder&)>>{
             [&](lum_block_builder& b) { b.push().ldext(boom).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(odd).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(empty).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(method).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().frame(0).ncall(method).pop(); },
             [&](lum_block_builder& b) { b.push().ldk(gone_cell).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldi(3).prep(0).pop(); },
             [&](lum_block_builder& b) {
                 b.push().emit(LUM_OP_LDEXT, {.D = reinterpret_cast<uint64_t>(victim_raw)});
                 b.prep(1);
                 b.push().frame(0).ncall(kill).arg(0).pop().call().pop();
             }})
        e.guarded(top, body);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out),
              "boom: it broke\n"
              "odd: unknown native exception\n"
              "empty: bad function call\n"
              "invalid object pointer!\n"
              "invalid object pointer!\n"
              "not a function!\n"
              "not a function!\n"
              "invalid object pointer!\n");
    EXPECT_FALSE(victim);
    EXPECT_EQ(e.fx.tasks.back()->frame_depth, 0u);
}

TEST(NativeCalls, DirectFramesAndFrameReuse) {
    env e;
    std::vector<size_t> sizes;
    lum_function_def* count = make_native("count", 0, 99, [&](lum_vm_context&, std::vector<lumvar_shared>& args) {
        sizes.push_back(args.size());
        return lumvar_shared::from_int(static_cast<int64_t>(args.size()));
    });
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    // count(count(1, 2), 3): the inner frame sits above the outer one.
    top.push().frame(2);
    top.push().frame(2).ldi(1).farg(0).ldi(2).farg(1).ncall(count);
    top.emit(LUM_OP_FARGC, {.B = 0});
    top.pop();
    top.ldi(3).farg(1).op_b(LUM_OP_FGET, 0).ncall(count);
    e.print_top(top);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "2\n");
    EXPECT_EQ(sizes, (std::vector<size_t>{2, 2}));
    EXPECT_EQ(e.fx.tasks.back()->frame_depth, 0u);
}
