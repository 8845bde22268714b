// Tasks through their own interface: scheduling by due time and then by
// scheduling order, and running a routine at once with its argument checks and
// refusals (calls, errors, try blocks, suspension and the call-depth limit are
// in the assembler programs).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/thread_local.h"
#include "tests/vm/vm_support.h"
#include "vm/runtime_error.h"

using namespace vmtest;

namespace {

// A native record(n) that keeps what it is given.
struct recorder {
    std::vector<int64_t> records;
    lum_function_def* record = nullptr;

    explicit recorder(program& p) {
        record = p.native("record", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            records.push_back(a.empty() ? -1 : as_int(a[0]));
            return lumvar_shared::make();
        });
    }
};

auto imm(int64_t v) {
    return [v](emitter& e) { e.ldi(v); };
}

TEST(TaskScheduling, DueTimesDecideThenSchedulingOrder) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    for (int i = 1; i <= 6; ++i) {
        lum_program_block* b = p.block(LUM_BLOCK_TOP, 0);
        emitter(b).ncall(rec.record, {imm(i)});
        fx.launch(b, false);
    }
    auto schedule = [&fx](size_t i, uint64_t delay) {
        lum_task* t = fx.tasks[i].get();
        ASSERT_TRUE(lum_task::bind_arguments(t, nullptr));
        lum_task::schedule(t, delay);
    };
    const uint64_t delays[3] = {60, 20, 40};
    for (size_t i = 0; i < 3; ++i) schedule(i, delays[i]);
    // Scheduling again changes nothing, not even the due time.
    const uint64_t due = fx.tasks[0]->due;
    lum_task::schedule(fx.tasks[0].get(), 0);
    EXPECT_EQ(fx.tasks[0]->due, due);
    auto& heap = fx.host.vm().task_heap;
    EXPECT_EQ(heap.size(), 3u);
    ASSERT_TRUE(fx.run());
    EXPECT_EQ(rec.records, (std::vector<int64_t>{2, 3, 1}));

    // Whatever millisecond each schedule fell in, make them all due at once:
    // the heap then orders them by scheduling alone.
    rec.records.clear();
    for (size_t i : {4, 1, 5, 0, 3, 2}) schedule(i, 0);
    for (auto& t : heap) t->due = heap.front()->due;
    ASSERT_TRUE(fx.run());
    EXPECT_EQ(rec.records, (std::vector<int64_t>{5, 2, 6, 1, 4, 3}));
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

// A native that always raises "fail: on purpose".
lum_function_def* failing_native(program& p) {
    return p.native("fail", [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lum_runtime_error(true, "fail: on purpose");
    });
}

// A routine whose try block caught an error ends before any catch clears the
// caught-error mark; started again, it begins without the mark: the catch at
// its start does not run its handler.
TEST(TaskRun, ARestartedTaskBeginsWithoutACaughtError) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_function_def* fail = failing_native(p);
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lum_program_block* f = p.block(LUM_BLOCK_FUNCTION, 0, main);
    lum_program_block* handler = p.block(LUM_BLOCK_PLAIN, 1, f, 1);                  // child 0
    lum_program_block* attempt = p.block(LUM_BLOCK_PLAIN, 0, f, 0, LUM_BLOCK_FLAG_TRY);  // child 1
    emitter(handler).ncall(rec.record, {imm(99)});
    emitter(attempt).ncall(rec.record, {imm(1)}).ncall(fail, {});
    emitter(f).b(LUM_OP_CATCH, 0).b(LUM_OP_ENTER, 1);
    auto global = fx.launch(main);
    ASSERT_TRUE(fx.run());
    lumptr_strong<lum_task> routine = lum_task::create(f, fx.tasks[0].get());
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(lum_task::run(routine.get(), nullptr), 1) << run;
        EXPECT_EQ(routine->caught_error, 1) << run;  // the try block's mark, left for a catch
    }
    EXPECT_EQ(rec.records, (std::vector<int64_t>{1, 1, 1}));
    (void)global;
}

// An error that ends a function gives back the argument frames opened since
// the function began: record(record(fail())) leaves two frames open when it
// fails, and the function flag ends the routine there, 100 times over.
TEST(TaskRun, AnErrorEndingAFunctionGivesBackItsArgumentFrames) {
    vm_fixture fx;
    program p;
    recorder rec(p);
    lum_function_def* fail = failing_native(p);
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lum_program_block* f = p.block(LUM_BLOCK_FUNCTION, 0, main, 0, LUM_BLOCK_FLAG_FUNCTION);
    emitter(f).ncall(rec.record, {[&](emitter& e) { e.ncall(rec.record, {[&](emitter& i) { i.ncall(fail, {}, true); }}, true); }});
    auto global = fx.launch(main);
    ASSERT_TRUE(fx.run());
    lumptr_strong<lum_task> routine = lum_task::create(f, fx.tasks[0].get());
    for (int run = 0; run < 100; ++run) {
        ASSERT_EQ(lum_task::run(routine.get(), nullptr), 1) << run;
        ASSERT_EQ(routine->frame_depth, 0u) << run;
    }
    EXPECT_LE(routine->frames.size(), 3u);
    EXPECT_TRUE(rec.records.empty());
    (void)global;
}

// A global scope that has run, with a function block its routines run; the
// calling thread's current task is the global scope until the test ends.
class TaskCounts : public ::testing::Test {
protected:
    void SetUp() override {
        global = fx.launch(main);
        ASSERT_TRUE(fx.run());
        g = fx.tasks[0].get();
        tl.current_task = g;
    }
    void TearDown() override { tl.current_task = saved; }

    vm_fixture fx;
    program p;
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lum_program_block* f = p.block(LUM_BLOCK_FUNCTION, 0, main, 0);
    std::shared_ptr<v1test::task_outcome> global;
    lum_task* g = nullptr;
    lum_thread_local& tl = lum_get_thread_local();
    lum_task* const saved = tl.current_task;
};

// Routines created while their global scope runs are its children too: each
// counts in both while it lives and leaves both when it goes, in whatever
// order. A new child's name counts the children still there.
TEST_F(TaskCounts, RoutinesAndChildrenCountWhileTheyLive) {
    std::vector<lumptr_strong<lum_task>> made;
    for (int i = 0; i < 5; ++i) made.push_back(lum_task::create(f, g));
    EXPECT_EQ(g->child_count, 5u);
    EXPECT_EQ(g->routine_count, 5u);
    const std::string base = made[0]->name.substr(0, made[0]->name.find(" (thread_"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(made[i]->name, base + " (thread_" + std::to_string(i + 1) + ")");

    for (int i : {2, 0, 4}) made[i].reset();  // middle, first, last
    EXPECT_EQ(g->child_count, 2u);
    EXPECT_EQ(g->routine_count, 2u);
    lumptr_strong<lum_task> later = lum_task::create(f, g);
    EXPECT_EQ(later->name, base + " (thread_3)");
    EXPECT_EQ(g->child_count, 3u);
    tl.current_task = saved;

    made.clear();
    later.reset();
    EXPECT_EQ(g->child_count, 0u);
    EXPECT_EQ(g->routine_count, 0u);
    EXPECT_TRUE(fx.log->take_errors().empty());
}

// A routine created while another routine runs is that routine's child and its
// global scope's routine. The creator lives on while its child does; when the
// child goes, both go, each leaving the counts it was in.
TEST_F(TaskCounts, AChildOfARoutineKeepsItsCreatorAndLeavesBothCounts) {
    lumptr_strong<lum_task> outer = lum_task::create(f, g);
    tl.current_task = outer.get();
    lumptr_strong<lum_task> inner = lum_task::create(f, g);
    tl.current_task = saved;

    EXPECT_EQ(g->routine_count, 2u);
    EXPECT_EQ(g->child_count, 1u);
    EXPECT_EQ(outer->child_count, 1u);
    EXPECT_EQ(outer->routine_count, 0u);
    EXPECT_TRUE(inner->name.ends_with(" (thread_1)")) << inner->name;  // the first child of its creator

    const lumptr_weak<lum_task> outer_seen(outer.get());
    outer.reset();  // the child still holds it
    EXPECT_FALSE(outer_seen.expired());
    EXPECT_EQ(g->routine_count, 2u);
    inner.reset();
    EXPECT_TRUE(outer_seen.expired());
    EXPECT_EQ(g->routine_count, 0u);
    EXPECT_EQ(g->child_count, 0u);
    EXPECT_TRUE(fx.log->take_errors().empty());  // no task went while its children lived
}

// The last handle of a task goes while a worker is still inside it (a
// return_thread job that has handed its result back but not yet left the
// task): the release waits for the worker before the task's memory goes.
// The worker leaves only once the release is under way, and its last touch
// of the task is the one that lets the release finish.
TEST(TaskRelease, WaitsForAWorkerStillInsideTheTask) {
    vm_fixture fx;
    program p;
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
    lumptr_strong<lum_task> task = lum_task::create(main, nullptr);
    ASSERT_TRUE(task->has_context());
    lum_task* const inside = task.get();
    const std::string waiting = "Task " + lum_log_base::concat(static_cast<const void*>(inside)) + " waiting for thread";
    inside->in_thread.store(1, std::memory_order_release);  // as return_thread does for its job

    std::atomic<bool> released{false};
    bool freed_under_worker = false, timed_out = false;
    std::thread worker([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!released.load() && !fx.log->has_notice_prefix(waiting)) {
            if (std::chrono::steady_clock::now() > deadline) {
                timed_out = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // A release that finished while the worker was inside freed the task
        // under it: the worker must not touch it any more.
        if (released.load()) freed_under_worker = true;
        else inside->in_thread.store(0, std::memory_order_release);
    });
    task.reset();
    released = true;
    worker.join();
    EXPECT_FALSE(freed_under_worker) << "the task was freed while a worker was inside it";
    EXPECT_FALSE(timed_out);
    EXPECT_TRUE(fx.log->has_notice_prefix(waiting));
}

}  // namespace
