// "std.thread" beyond tasks.lasm: registration, result cells and indexes,
// refused starts, and the group living until its last task finished.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/class_binding.h"
#include "runtime/namespace.h"
#include "runtime/registry.h"
#include "tests/vm/v1_fixture.h"
#include "types/json_object.h"
#include "vm/thread_group.h"

using namespace v1test;

namespace {

// One "std" namespace for all tests: function definitions live as long as the
// process, as they do in a host.
lum_namespace& std_namespace() {
    static lum_namespace* const ns = [] {
        auto* n = new lum_namespace();
        lum_std_thread_namespace_init(*n);
        return n;
    }();
    return *ns;
}

lum_function_def* thread_constructor(lum_namespace& ns) {
    auto it = ns.members.find("thread");
    if (it == ns.members.end() || !it->second || it->second->type != LUMVAR_EXT_FUNCTION) return nullptr;
    for (lum_function_def* def : ns.functions)
        if (def->name == "thread") return def;
    return nullptr;
}

// A program whose natives drive one "std.thread" object: the callback
// f(x, d) waits d ms (rescheduling itself) and returns x * 10.
struct group_program {
    program p;
    lum_namespace& ns = std_namespace();
    lumvar_shared thread_value;
    lum_std_thread* group = nullptr;
    std::vector<std::string> log;
    std::vector<lumvar_shared> peeked;
    std::vector<int> peek_types;  // type of each result at the time it was read
    lum_program_block* main = nullptr;
    lum_program_block* callback = nullptr;
    lum_function_def* make = nullptr;
    lum_function_def* run = nullptr;
    lum_function_def* join = nullptr;
    lum_function_def* results = nullptr;
    lum_function_def* delay = nullptr;
    lum_function_def* note = nullptr;

    group_program() {
        lum_function_def* ctor = thread_constructor(ns);
        make = p.native("make", [this, ctor](lum_vm_context& ctx, std::vector<lumvar_shared>& a) {
            thread_value = ctor->callable(ctx, a);
            group = static_cast<lum_std_thread*>(thread_value->object_raw());
            return lumvar_shared::make();
        });
        run = p.native("run", [this](lum_vm_context& ctx, std::vector<lumvar_shared>& a) {
            lumvar_shared r = group->run(ctx, a);
            log.push_back("run " + std::to_string(as_int(r)));
            return r;
        });
        join = p.native("join", [this](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
            log.push_back("join");
            return group->join(ctx);
        });
        results = p.native("results", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            lumvar_shared r = group->get_results(a);
            peeked.push_back(r);
            peek_types.push_back(r->type);
            return r;
        });
        delay = p.native("delay", [](lum_vm_context& ctx, std::vector<lumvar_shared>& a) {
            ctx.status = LUM_STATUS_SUSPENDED;  // yield, due again after the delay
            lum_task::schedule(ctx.task, static_cast<uint64_t>(as_int(a[0])));
            return lumvar_shared::make();
        });
        note = p.native("note", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            log.push_back("note " + std::to_string(as_int(a[0])));
            return lumvar_shared::make();
        });
        main = p.block(LUM_BLOCK_TOP, 0);
        callback = p.block(LUM_BLOCK_FUNCTION, 2, main, 2);
        emitter e(callback);
        e.ncall(delay, {[](emitter& x) { x.b(LUM_OP_LD_L, 1); }});
        e.ncall(note, {[](emitter& x) { x.b(LUM_OP_LD_L, 0); }});
        e.b(LUM_OP_LD_L, 0).op(LUM_OP_PUSH).ldi(10).op(LUM_OP_MUL).op(LUM_OP_RET);
    }
};

auto imm(int64_t v) {
    return [v](emitter& e) { e.ldi(v); };
}

TEST(StdThread, RunJoinAndResultsInRunOrder) {
    vm_fixture fx;
    group_program g;
    {
        emitter e(g.main);
        e.ncall(g.make, {[](emitter& x) { x.b(LUM_OP_FN, 0); }});
        e.ncall(g.run, {imm(1), imm(60)});
        e.ncall(g.run, {imm(2), imm(20)});
        e.ncall(g.run, {imm(3), imm(40)});
        e.ncall(g.results, {imm(0)});  // before the tasks finished: none
        e.ncall(g.join, {});
        e.ncall(g.note, {imm(100)});   // after every task of the group
        e.ncall(g.results, {});
        e.ncall(g.results, {imm(-1)});
        e.ncall(g.results, {imm(3)});
        e.ncall(g.join, {});           // nothing active: returns at once
        e.ncall(g.note, {imm(101)});
    }
    auto out = fx.launch(g.main);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out->finished);
    EXPECT_EQ(g.log, (std::vector<std::string>{"run 1", "run 1", "run 1", "join", "note 2", "note 3", "note 1",
                                                "note 100", "join", "note 101"}));
    ASSERT_EQ(g.peeked.size(), 4u);
    EXPECT_EQ(g.peek_types[0], LUMVAR_NONE);
    EXPECT_EQ(as_int(g.peeked[0]), 10);  // the same cell, filled when its task finished
    // The list of every result, in run order.
    ASSERT_EQ(g.peeked[1]->type, LUMVAR_JSON);
    lum_std_json* list = g.peeked[1]->json_container();
    ASSERT_EQ(list->entries.size(), 3u);
    EXPECT_EQ(as_int(list->entries[0].value), 10);
    EXPECT_EQ(as_int(list->entries[1].value), 20);
    EXPECT_EQ(as_int(list->entries[2].value), 30);
    EXPECT_FALSE(list->entries[0].has_key());
    EXPECT_EQ(g.peeked[2]->type, LUMVAR_NONE);
    EXPECT_EQ(g.peeked[3]->type, LUMVAR_NONE);
    // An index gives the result cell itself; floats are truncated.
    std::vector<lumvar_shared> index{lumvar_shared::from_float(1.9)};
    lumvar_shared second = g.group->get_results(index);
    EXPECT_EQ(second.get(), g.group->results[1].get());
    EXPECT_EQ(as_int(second), 20);
    EXPECT_TRUE(g.group->active.empty());
    EXPECT_FALSE(g.group->compare_zero());
    g.peeked.clear();
    g.thread_value.reset();
}

TEST(StdThread, ConstructorAndRunWithoutCallback) {
    vm_fixture fx;
    group_program g;
    lum_function_def* make_plain = g.p.native("make_plain", [&g](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
        std::vector<lumvar_shared> bad{lumvar_shared::from_int(5)};
        lumvar_shared v = thread_constructor(g.ns)->callable(ctx, bad);  // not aborting: object still made
        auto* t = static_cast<lum_std_thread*>(v->object_raw());
        g.log.push_back(t->compare_zero() ? "no callback" : "callback");
        std::vector<lumvar_shared> none;
        g.log.push_back("run type " + std::to_string(t->run(ctx, none)->type));
        return lumvar_shared::make();
    });
    emitter(g.main).ncall(make_plain, {});
    auto out = fx.launch(g.main);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out->finished);
    EXPECT_EQ(g.log, (std::vector<std::string>{"no callback", "run type 1"}));
    std::vector<std::string> errors = fx.log->take_errors();
    ASSERT_GE(errors.size(), 2u);
    EXPECT_NE(errors[0].find("callback is not a function!"), std::string::npos);
    EXPECT_NE(errors[1].find("callback is not a function!"), std::string::npos);
}

}  // namespace
