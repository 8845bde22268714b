// Tasks: run-time errors unwinding to try blocks and ending a task, scheduling
// by due time, suspension and waking, running a routine at once, and the
// release of globals (calls, defaults, epilogues and the call-depth limit are
// in the assembler programs calls.lasm and depth.lasm).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/vm/v1_fixture.h"
#include "vm/runtime_error.h"

using namespace v1test;

namespace {

// Natives shared by the programs below.
struct recorder {
    std::vector<int64_t> records;
    std::vector<std::string> texts;
    lum_function_def* record = nullptr;   // record(n)
    lum_function_def* fail = nullptr;     // raises "bad thing" (aborting)
    lum_function_def* capture = nullptr;  // capture(text)

    explicit recorder(program& p) {
        record = p.native("record", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            records.push_back(a.empty() ? -1 : as_int(a[0]));
            return lumvar_shared::make();
        });
        fail = p.native("fail", [](lum_vm_context&, std::vector<lumvar_shared>&) {
            return lum_runtime_error(true, "bad thing");
        });
        capture = p.native("capture", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            texts.push_back(a.empty() || !a[0] ? std::string("?") : a[0]->to_std_string());
            return lumvar_shared::make();
        });
    }
};

auto imm(int64_t v) {
    return [v](emitter& e) { e.ldi(v); };
}

// slot := fn CHILD
void store_function(emitter& e, uint32_t slot, uint32_t child) {
    e.op(LUM_OP_PUSH).b(LUM_OP_LD_L, slot).op(LUM_OP_PUSH).b(LUM_OP_FN, child).op(LUM_OP_ASSIGN).op(LUM_OP_POP);
}

TEST(TaskErrors, TryBlockCatchesAndClearsItsValues) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lum_program_block* try_block = p.block(LUM_BLOCK_PLAIN, 0, main, 0, LUM_BLOCK_FLAG_TRY);
    lum_program_block* catch_block = p.block(LUM_BLOCK_PLAIN, 1, main, 1);
    {
        emitter e(try_block);
        e.op(LUM_OP_PUSH).op(LUM_OP_PUSH);
        e.ncall(rec.fail, {});
        e.ncall(rec.record, {imm(1)});  // skipped
    }
    emitter(catch_block).ncall(rec.capture, {[](emitter& x) { x.b(LUM_OP_LD_L, 0); }});
    {
        emitter e(main);
        e.b(LUM_OP_ENTER, 0).b(LUM_OP_CATCH, 1);
        e.b(LUM_OP_CATCH, 1);  // nothing caught any more: does nothing
        e.ncall(rec.record, {imm(2)});
    }
    auto out = fx.launch(main);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out->finished);
    EXPECT_TRUE(fx.log->take_errors().empty());
    EXPECT_EQ(rec.texts, std::vector<std::string>{"bad thing"});
    EXPECT_EQ(rec.records, std::vector<int64_t>{2});
    EXPECT_TRUE(fx.log->has_notice_prefix("Clearing stack vars 3"));
    EXPECT_EQ(fx.tasks[0]->stack.size(), 1u);
    EXPECT_EQ(fx.tasks[0]->error->type, LUMVAR_NONE);  // the catch took it
}

TEST(TaskErrors, UnhandledErrorAtTheBottomFinishesTheTask) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lum_program_block* loop = p.block(LUM_BLOCK_LOOP, 0, main);
    {
        emitter e(loop);
        e.ncall(rec.fail, {});
        e.ncall(rec.record, {imm(1)});
    }
    {
        emitter e(main);
        e.op(LUM_OP_PUSH).ldi(7).b(LUM_OP_ENTER, 0);
        e.ncall(rec.record, {imm(2)});  // the top-level script does not continue
    }
    auto out = fx.launch(main);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out->finished);
    EXPECT_TRUE(out->error_handler);
    EXPECT_EQ(out->value->type, LUMVAR_NONE);
    EXPECT_TRUE(rec.records.empty());
    EXPECT_EQ(fx.log->take_errors().size(), 2u);
    EXPECT_EQ(fx.tasks[0]->active, 0);
    // The global context stays for the program's routines; nothing above it.
    EXPECT_EQ(fx.tasks[0]->contexts.size(), 1u);
}

TEST(TaskScheduling, DueTasksRunInDueOrder) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    std::vector<lum_program_block*> blocks;
    for (int i = 1; i <= 3; ++i) {
        lum_program_block* b = p.block(LUM_BLOCK_TOP, 0);
        emitter(b).ncall(rec.record, {imm(i)});
        blocks.push_back(b);
    }
    const uint64_t delays[3] = {60, 20, 40};
    for (int i = 0; i < 3; ++i) {
        fx.launch(blocks[i], false);
        lum_task* t = fx.tasks.back().get();
        ASSERT_TRUE(lum_task::bind_arguments(t, nullptr));
        lum_task::schedule(t, delays[i]);
    }
    // Scheduling again changes nothing, not even the due time.
    const uint64_t due = fx.tasks[0]->due;
    lum_task::schedule(fx.tasks[0].get(), 0);
    EXPECT_EQ(fx.tasks[0]->due, due);
    EXPECT_EQ(fx.host.vm().task_heap.size(), 3u);

    ASSERT_TRUE(fx.run());
    EXPECT_EQ(rec.records, (std::vector<int64_t>{2, 3, 1}));
}

TEST(TaskScheduling, EqualDueTimesRunInSchedulingOrder) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    constexpr int count = 9;
    for (int i = 1; i <= count; ++i) {
        lum_program_block* b = p.block(LUM_BLOCK_TOP, 0);
        emitter(b).ncall(rec.record, {imm(i)});
        fx.launch(b);
    }
    // Whatever millisecond each start fell in, make them all due at once: the
    // heap then orders them by scheduling alone.
    auto& heap = fx.host.vm().task_heap;
    ASSERT_EQ(heap.size(), static_cast<size_t>(count));
    const uint64_t due = heap.front()->due;
    for (auto& t : heap) t->due = due;
    ASSERT_TRUE(fx.run());
    std::vector<int64_t> expected;
    for (int i = 1; i <= count; ++i) expected.push_back(i);
    EXPECT_EQ(rec.records, expected);

    // Rescheduled in a different order, they run in that order.
    rec.records.clear();
    for (int i : {2, 0, 1}) {
        lum_task* t = fx.tasks[static_cast<size_t>(i)].get();
        ASSERT_TRUE(lum_task::bind_arguments(t, nullptr));
        lum_task::schedule(t, 0);
    }
    for (auto& t : heap) t->due = due;
    ASSERT_TRUE(fx.run());
    EXPECT_EQ(rec.records, (std::vector<int64_t>{3, 1, 2}));
}

TEST(TaskScheduling, SuspendedTaskWaitsUntilWoken) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_task* parked = nullptr;
    lum_function_def* park = p.native("park", [&](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
        parked = ctx.task;
        ctx.suspend();
        return lumvar_shared::make();
    });
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    {
        emitter e(main);
        e.ncall(park, {});
        e.ncall(rec.record, {imm(1)});
    }
    auto out = fx.launch(main);
    lum_host_turn(fx.host);
    lum_host_turn(fx.host);
    ASSERT_EQ(parked, fx.tasks[0].get());
    EXPECT_FALSE(out->finished);
    EXPECT_EQ(parked->waiting, 1);
    EXPECT_EQ(parked->active, 1);
    EXPECT_EQ(fx.host.vm().waiting.size(), 1u);
    EXPECT_TRUE(rec.records.empty());
    lum_task::wake(parked);
    EXPECT_EQ(parked->waiting, 0);
    EXPECT_TRUE(fx.host.vm().waiting.empty());
    ASSERT_TRUE(fx.run());
    EXPECT_TRUE(out->finished);
    EXPECT_EQ(rec.records, std::vector<int64_t>{1});
    lum_task::wake(parked);  // not waiting: nothing happens
    EXPECT_TRUE(fx.host.vm().task_heap.empty());
}

TEST(TaskRun, RunNowBindingAndRefusals) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    // A routine f(a, b) records a + b.
    lum_program_block* f = p.block(LUM_BLOCK_FUNCTION, 2, main, 2);
    emitter(f).ncall(rec.record, {[](emitter& x) {
                                   x.b(LUM_OP_LD_L, 0);
                                   x.op(LUM_OP_PUSH);
                                   x.b(LUM_OP_LD_L, 1);
                                   x.op(LUM_OP_ADD);
                               }});
    auto global = fx.launch(main);
    ASSERT_TRUE(fx.run());
    lum_task* g = fx.tasks[0].get();

    lumptr_strong<lum_task> routine = lum_task::create(f, g);
    ASSERT_TRUE(routine->has_context());
    EXPECT_EQ(routine->root(), g);
    EXPECT_EQ(routine->global_scope.get(), g);
    std::vector<lumvar_shared> args{lumvar_shared::from_int(3), lumvar_shared::from_int(4)};
    EXPECT_EQ(lum_task::run(routine.get(), &args), 1);
    EXPECT_EQ(rec.records, std::vector<int64_t>{7});

    std::vector<lumvar_shared> one{lumvar_shared::from_int(1)};
    EXPECT_EQ(lum_task::run(routine.get(), &one), 0);  // "Not enough parameters." (no task: logged)
    std::vector<lumvar_shared> three{lumvar_shared::from_int(1), lumvar_shared::from_int(1), lumvar_shared::from_int(1)};
    EXPECT_EQ(lum_task::run(routine.get(), &three), 0);
    std::vector<std::string> errors = fx.log->take_errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Not enough parameters."), std::string::npos);
    EXPECT_NE(errors[1].find("Too many params."), std::string::npos);

    // An active task is refused.
    routine->active = 1;
    EXPECT_EQ(lum_task::run(routine.get(), &args), 0);
    EXPECT_FALSE(lum_task::start(routine.get(), &args));
    EXPECT_EQ(fx.log->take_errors(), (std::vector<std::string>{"Cannot run task!", "Cannot run task!"}));
    routine->active = 0;

    // A routine without a global scope to attach to.
    lumptr_strong<lum_task> orphan = lum_task::create(f, nullptr);
    EXPECT_FALSE(orphan->has_context());
    EXPECT_FALSE(lum_task::start(orphan.get(), nullptr));
    errors = fx.log->take_errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Cannot create routine from non-global scope routine without context."),
              std::string::npos);
    (void)global;
}

TEST(TaskRelease, GlobalsAreClearedWhenTheGlobalScopeGoes) {
    vm_fixture fx;
    program p;
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 2);
    p.block(LUM_BLOCK_FUNCTION, 0, main);
    {
        emitter e(main);
        e.op(LUM_OP_PUSH).b(LUM_OP_LD_L, 0).op(LUM_OP_PUSH).ldi(41).op(LUM_OP_ASSIGN).op(LUM_OP_POP);
        store_function(e, 1, 0);
    }
    fx.launch(main);
    ASSERT_TRUE(fx.run());
    lumptr_weak<lum_task> weak(fx.tasks[0]);
    lumvar_shared number = fx.tasks[0]->contexts.front()->slots[0];
    lumvar_shared function = fx.tasks[0]->contexts.front()->slots[1];
    EXPECT_EQ(as_int(number), 41);
    EXPECT_EQ(function->type, LUMVAR_FUNCTION);
    fx.tasks.clear();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(number->type, LUMVAR_NONE);
    EXPECT_EQ(function->type, LUMVAR_NONE);
}

}  // namespace
