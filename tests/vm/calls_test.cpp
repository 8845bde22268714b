// Calls: the two-phase protocol, argument counts, default parameters, bound
// arguments, by-reference parameters, native calls and their failures.

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "vm/call_record.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

// Emits `push ; <callee> ; prep n ; args... ; call ; pop`, the arguments being integers.
void call_with_ints(lum_block_builder& b, const std::function<void()>& load_callee, const std::vector<int64_t>& args,
                    bool keep_result = false) {
    b.push();
    load_callee();
    b.prep(static_cast<uint8_t>(args.size()));
    for (size_t i = 0; i < args.size(); ++i) b.push().ldi(args[i]).arg(static_cast<uint32_t>(i)).pop();
    b.call();
    if (!keep_result) b.pop();
}

// f(a, b = 10, c = 20): prints a b c and returns a + b + c.
lum_program_block* defaults_function(env& e) {
    lum_block_builder db(e.prog, e.block("default_b", LUM_BLOCK_PLAIN, 0));
    db.push().lds("default b");
    e.print_top(db);
    db.pop().ldi(10);
    lum_block_builder dc(e.prog, e.block("default_c", LUM_BLOCK_PLAIN, 0));
    dc.ldi(20);
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 3));
    f.params(3, 1).flags(LUM_BLOCK_FLAG_FUNCTION);
    f.child(db.finish());
    f.child(dc.finish());
    f.op_a(LUM_OP_DEFAULT, 1).op_a(LUM_OP_DEFAULT, 2);
    f.push().frame(3).ld_l(0).farg(0).ld_l(1).farg(1).ld_l(2).farg(2).ncall(e.print).pop();
    f.ld_l(1).push().ld_l(2).op(LUM_OP_ADD).ret();
    return f.finish();
}

}  // namespace

TEST(Calls, DefaultParametersAndArgumentCounts) {
    env e;
    lum_program_block* f = defaults_function(e);
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t fi = top.child(f);
    auto callee = [&] { top.fn(fi); };
    call_with_ints(top, callee, {});
    call_with_ints(top, callee, {1});
    call_with_ints(top, callee, {1, 2});
    call_with_ints(top, callee, {1, 2, 3}, true);
    e.print_top(top);
    top.pop();
    call_with_ints(top, callee, {1, 2, 3, 4});
    top.push().lds("not reached");
    e.print_top(top);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_TRUE(outcome->error_handler);
    EXPECT_EQ(joined(e.out),
              "default b\n 10 20\n"
              "default b\n1 10 20\n"
              "1 2 20\n"
              "1 2 3\n"
              "5\n");
    EXPECT_NE(e.errors().find("invalid argument count: num_params=4, fn_num_params=3, fn_default_args=1"),
              std::string::npos);
}

TEST(Calls, MinimumIsTheFirstDefaultIndex) {
    env e;
    // g(a, b) with every parameter required (first default = 2): 1 argument is refused, 0 and 2 pass.
    lum_block_builder g(e.prog, e.block("g", LUM_BLOCK_FUNCTION, 2));
    g.params(2, 2).flags(LUM_BLOCK_FLAG_FUNCTION);
    g.op(LUM_OP_NONE).ret();
    // h(a, b) with no first default: any count up to 2.
    lum_block_builder h(e.prog, e.block("h", LUM_BLOCK_FUNCTION, 2));
    h.params(2, LUM_NO_DEFAULT).flags(LUM_BLOCK_FLAG_FUNCTION);
    h.op(LUM_OP_NONE).ret();
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    const uint32_t gi = top.child(g.finish());
    const uint32_t hi = top.child(h.finish());
    call_with_ints(top, [&] { top.fn(gi); }, {});
    call_with_ints(top, [&] { top.fn(gi); }, {1, 2});
    call_with_ints(top, [&] { top.fn(hi); }, {1});
    call_with_ints(top, [&] { top.fn(hi); }, {});
    top.push().lds("ok");
    e.print_top(top);
    call_with_ints(top, [&] { top.fn(gi); }, {1});
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "ok\n");
    EXPECT_NE(e.errors().find("invalid argument count: num_params=1, fn_num_params=2, fn_default_args=2"),
              std::string::npos);
}

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

TEST(Calls, RecursionAndTheCallDepthLimit) {
    env e(50);
    // fib(n) = n < 2 ? n : fib(n - 1) + fib(n - 2), computed into the caller's place; fib is global slot 1.
    lum_block_builder fib(e.prog, e.block("fib", LUM_BLOCK_FUNCTION, 1));
    fib.params(1, 1).flags(LUM_BLOCK_FLAG_FUNCTION);
    lum_label base = fib.label();
    fib.push().ld_l(0).push().ldi(2).op_a(LUM_OP_LT, 0).jnz(base).pop();
    fib.ld_g(1).prep(1).push().ld_l(0).push().ldi(1).op(LUM_OP_SUB).arg(0).pop().call();
    fib.push().ld_g(1).prep(1).push().ld_l(0).push().ldi(2).op(LUM_OP_SUB).arg(0).pop().call();
    fib.op(LUM_OP_ADD).ret();
    fib.bind(base);
    fib.pop().ld_l(0).ret();

    // endless(n) calls itself.
    lum_block_builder endless(e.prog, e.block("endless", LUM_BLOCK_FUNCTION, 0));
    endless.flags(LUM_BLOCK_FLAG_FUNCTION);
    endless.push().ld_g(2).prep(0).call().pop().op(LUM_OP_NONE).ret();

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    top.push().ld_l(1).push().fn(top.child(fib.finish())).assign().pop();
    top.push().ld_l(2).push().fn(top.child(endless.finish())).assign().pop();
    call_with_ints(top, [&] { top.ld_l(1); }, {10}, true);
    e.print_top(top);
    top.pop();
    call_with_ints(top, [&] { top.ld_l(2); }, {});
    top.push().lds("after");
    e.print_top(top);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    ASSERT_GE(e.out.size(), 1u);
    EXPECT_EQ(e.out[0], "55");
    const std::string errors = e.errors();
    EXPECT_NE(errors.find("maximum call depth of 50 exceeded (endless recursion?)"), std::string::npos);
    // The error ends the innermost function (it returns none) and the callers go on.
    ASSERT_EQ(e.out.size(), 2u);
    EXPECT_EQ(e.out[1], "after");
}

TEST(Calls, BoundArgumentsSelfAndReferences) {
    env e;
    // f(a) with one bound argument in slot 1: prints a and the bound value.
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 2));
    f.params(1, 1).bound(1).flags(LUM_BLOCK_FLAG_FUNCTION);
    f.push().frame(2).ld_l(0).farg(0).ld_l(1).farg(1).ncall(e.print).pop();
    f.op(LUM_OP_NONE).ret();
    // inc(x) with x by reference: x++.
    lum_block_builder inc(e.prog, e.block("inc", LUM_BLOCK_FUNCTION, 1));
    inc.params(1, 1).flags(LUM_BLOCK_FLAG_FUNCTION).slot_flag(0, LUM_SLOT_BY_REF);
    inc.push().ld_l(0).op_a(LUM_OP_INC, 0).pop().op(LUM_OP_NONE).ret();
    // g() with one bound reference: ++bound.
    lum_block_builder g(e.prog, e.block("g", LUM_BLOCK_FUNCTION, 1));
    g.params(0, LUM_NO_DEFAULT).bound(1).flags(LUM_BLOCK_FLAG_FUNCTION);
    g.push().ld_l(0).op_a(LUM_OP_INC, 0).pop().op(LUM_OP_NONE).ret();

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    const uint32_t fi = top.child(f.finish());
    const uint32_t ii = top.child(inc.finish());
    const uint32_t gi = top.child(g.finish());
    // slot 0 = f bound to 7
    top.push().ld_l(0).push().fn(fi).push().ldi(7).op_a(LUM_OP_BIND, 0).pop().assign().pop();
    call_with_ints(top, [&] { top.ld_l(0); }, {1});
    // slot 1 = 5; inc(slot1) twice by reference
    top.push().ld_l(1).push().ldi(5).assign().pop();
    for (int i = 0; i < 2; ++i) top.push().fn(ii).prep(1).push().ld_l(1).arg(0).pop().call().pop();
    e.print_slot(top, 1);
    // g bound by reference to slot 1
    top.push().fn(gi).push().ld_l(1).op(LUM_OP_BINDREF).pop().prep(0).call().pop();
    e.print_slot(top, 1);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_FALSE(outcome->error_handler);
    EXPECT_EQ(joined(e.out), "1 7\n7\n8\n");
    EXPECT_EQ(e.errors(), "");
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
    auto guarded = [&](const std::function<void(lum_block_builder&)>& body) {
        lum_block_builder t(e.prog, e.block("try", LUM_BLOCK_PLAIN, 0));
        t.flags(LUM_BLOCK_FLAG_TRY);
        body(t);
        lum_block_builder c(e.prog, e.block("catch", LUM_BLOCK_PLAIN, 1));
        c.params(1, 1);
        e.print_slot(c, 0);
        return std::make_pair(t.finish(), c.finish());
    };
    std::vector<std::pair<lum_program_block*, lum_program_block*>> cases = {
        guarded([&](lum_block_builder& b) { b.push().ldext(boom).prep(0).call().pop(); }),
        guarded([&](lum_block_builder& b) { b.push().ldext(odd).prep(0).call().pop(); }),
        guarded([&](lum_block_builder& b) { b.push().ldext(empty).prep(0).call().pop(); }),
        guarded([&](lum_block_builder& b) { b.push().ldext(method).prep(0).call().pop(); }),
        guarded([&](lum_block_builder& b) { b.push().frame(0).ncall(method).pop(); }),
        guarded([&](lum_block_builder& b) { b.push().ldk(gone_cell).prep(0).call().pop(); }),
        guarded([&](lum_block_builder& b) { b.push().ldi(3).prep(0).pop(); }),
        guarded([&](lum_block_builder& b) {
            b.push().emit(LUM_OP_LDEXT, {.D = reinterpret_cast<uint64_t>(victim_raw)});
            b.prep(1);
            b.push().frame(0).ncall(kill).arg(0).pop().call().pop();
        }),
    };
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    for (auto& [t, c] : cases) {
        top.enter(top.child(t));
        top.op_b(LUM_OP_CATCH, top.child(c));
    }
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out),
              "boom: it broke\n"
              "odd: unknown native exception\n"
              "empty: bad_function_call\n"
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
