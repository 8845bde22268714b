// return_thread: blocking work runs on a host worker while the calling task
// waits; the result arrives through the return ring and the wake object,
// while other tasks go on. Jobs that never run give everything back. A thread
// that ends inside the work or inside a native function passes through.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/object.h"
#include "runtime/vm_lock.h"
#include "tests/vm/vm_support.h"

#if !defined(_WIN32)
#include "tests/runtime/child_process.h"
#endif

using namespace vmtest;

namespace {

class job_object : public lumobject_base {};

struct natives {
    std::vector<int64_t> records;
    std::atomic<bool> ran_off_vm_thread{false};
    std::atomic<int> work_delay_ms{30};
    lumptr_strong<lumobject_base> object{new job_object()};
    uint32_t jobs_seen = 0;
    lum_function_def* record = nullptr;
    lum_function_def* slow = nullptr;   // 7 after a delay, on a worker; object as native-call object
    lum_function_def* throws = nullptr; // work that throws
    lum_function_def* ends = nullptr;   // work whose thread ends through pthread_exit

    explicit natives(program& p) {
        const std::thread::id vm_thread = std::this_thread::get_id();
        record = p.native("record", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            records.push_back(a.empty() ? -1 : as_int(a[0]));
            return lumvar_shared::make();
        });
        slow = p.native("slow", [this, vm_thread](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
            ctx.native_object = object.get();
            const int delay = work_delay_ms.load();
            lumvar_shared result = ctx.return_thread([this, vm_thread, delay] {
                if (std::this_thread::get_id() != vm_thread) ran_off_vm_thread = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                return lumvar_shared::from_int(7);  // a cell of the worker's own
            });
            jobs_seen = object->thread_jobs;
            return result;
        });
        throws = p.native("throws", [](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
            return ctx.return_thread([]() -> lumvar_shared { throw std::runtime_error("boom"); });
        });
#if !defined(_WIN32)
        ends = p.native("ends", [this](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
            ctx.native_object = object.get();
            return ctx.return_thread([]() -> lumvar_shared { ::pthread_exit(nullptr); });
        });
#endif
    }
};

// main: slot 0 := slow(); record(slot 0)
lum_program_block* waiting_program(program& p, natives& n, lum_function_def* call) {
    lum_program_block* main = p.block(LUM_BLOCK_TOP, 1);
    emitter(main)
        .op(LUM_OP_PUSH)
        .b(LUM_OP_LD_L, 0)
        .ncall(call, {}, true)  // the result cell; the task waits here
        .op(LUM_OP_ASSIGN)      // runs once the cell holds the value
        .op(LUM_OP_POP)
        .ncall(n.record, {[](emitter& x) { x.b(LUM_OP_LD_L, 0); }})
        .op(LUM_OP_PUSH)
        .b(LUM_OP_LD_L, 0);
    return main;
}

TEST(ReturnThread, ResultArrivesThroughTheRingWhileOtherTasksRun) {
    vm_fixture fx(2);
    program p;
    natives n(p);
    lum_program_block* a = waiting_program(p, n, n.slow);
    lum_program_block* b = p.block(LUM_BLOCK_TOP, 0);
    {
        emitter e(b);
        e.ncall(n.record, {[](emitter& x) { x.ldi(1); }});
        e.ncall(n.record, {[](emitter& x) { x.ldi(2); }});
    }
    auto out_a = fx.launch(a);
    auto out_b = fx.launch(b);
    lum_host_turn(fx.host);
    lum_task* ta = fx.tasks[0].get();
    EXPECT_EQ(ta->waiting, 1);
    EXPECT_EQ(ta->active, 1);
    EXPECT_EQ(n.jobs_seen, 1u);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out_a->finished);
    ASSERT_TRUE(out_b->finished);
    EXPECT_EQ(out_b->order, 0);  // B ran while A waited for its worker
    EXPECT_EQ(out_a->order, 1);
    EXPECT_EQ(as_int(out_a->value), 7);
    EXPECT_EQ(n.records, (std::vector<int64_t>{1, 2, 7}));
    EXPECT_TRUE(n.ran_off_vm_thread.load());
    EXPECT_EQ(ta->in_thread.load(), 0);
    EXPECT_EQ(n.object->thread_jobs, 0u);
    EXPECT_EQ(n.object.use_count(), 1u);
    EXPECT_TRUE(fx.log->take_errors().empty());
}

TEST(ReturnThread, ThrowingWorkLeavesNoneAndTheTaskResumes) {
    vm_fixture fx(1);
    program p;
    natives n(p);
    lum_program_block* a = waiting_program(p, n, n.throws);
    auto out = fx.launch(a);
    ASSERT_TRUE(fx.run());
    ASSERT_TRUE(out->finished);
    EXPECT_EQ(out->value->type, LUMVAR_NONE);
    EXPECT_EQ(n.records, std::vector<int64_t>{-1000});
    std::vector<std::string> errors = fx.log->take_errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "return_thread callback threw an exception: boom");
    EXPECT_EQ(fx.tasks[0]->in_thread.load(), 0);
}

#if !defined(_WIN32)
// A worker thread that ends (pthread_exit, as a cancelled one unwinds) inside
// the work passes through the job, and the task still resumes with none,
// everything given back. In a child process: a job that swallowed the
// unwinding would abort it.
TEST(ReturnThread, AWorkerEndingInsideTheWorkStillLetsTheTaskResume) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow the unwinding of an ending thread";
#endif
    std::fflush(nullptr);
    const int status = in_child(
        [] {
            int failures = 0;
            {
                vm_fixture fx(0);
                program p;
                natives n(p);
                auto out = fx.launch(waiting_program(p, n, n.ends));
                lum_host_turn(fx.host);
                lum_job job;
                failures += !fx.host.vm().jobs.try_pop(job);
                pthread_t worker;
                auto run = [](void* j) -> void* {
                    (*static_cast<lum_job*>(j))();
                    return reinterpret_cast<void*>(1);  // never reached
                };
                failures += ::pthread_create(&worker, nullptr, run, &job) != 0;
                void* result = nullptr;
                ::pthread_join(worker, &result);
                failures += result != nullptr;
                failures += !fx.run() || !out->finished || out->value->type != LUMVAR_NONE;
                failures += n.records != std::vector<int64_t>{-1000};
                failures += fx.tasks[0]->in_thread.load() != 0;
                failures += n.object->thread_jobs != 0u || n.object.use_count() != 1u;
            }
            return failures;
        },
        60);
    EXPECT_EQ(status, 0);  // 100 + a signal when the child was ended by one
}

// A script's thread that ends (pthread_exit, as a cancelled one unwinds)
// inside a native function the script calls passes through the call; the
// thread's VM goes with its stack. In a child process: a call that swallowed
// the unwinding would abort it.
TEST(ReturnThread, AThreadEndingInsideANativeFunctionPassesThrough) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow the unwinding of an ending thread";
#endif
    std::fflush(nullptr);
    const int status = in_child(
        [] {
            pthread_t script_thread;
            auto run = [](void*) -> void* {
                vm_fixture fx(0);
                program p;
                lum_function_def* quit = p.native("quit", [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
                    ::pthread_exit(nullptr);
                });
                lum_program_block* main = p.block(LUM_BLOCK_TOP, 0);
                emitter(main).ncall(quit, {});
                fx.launch(main);
                fx.run();
                return reinterpret_cast<void*>(1);  // never reached
            };
            void* result = reinterpret_cast<void*>(1);
            if (::pthread_create(&script_thread, nullptr, run, nullptr) == 0) ::pthread_join(script_thread, &result);
            return result == nullptr ? 0 : 1;
        },
        60);
    EXPECT_EQ(status, 0);  // 100 + a signal when the child was ended by one
}
#endif

TEST(ReturnThread, FullQueueRetriesWithTheLockReleased) {
    vm_fixture fx(1);
    program p;
    natives n(p);
    n.work_delay_ms = 0;
    lum_vm& vm = fx.host.vm();
    std::atomic<bool> started{false}, release{false};
    ASSERT_TRUE(vm.jobs.try_push(lum_job([&] {
        started = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    })));
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    size_t filled = 0;
    while (vm.jobs.try_push(lum_job([] {}))) ++filled;
    EXPECT_EQ(filled, 1024u);
    // The blocking job ends once the task has found the queue full (however
    // long that takes), so the task's job must wait for a free slot.
    const std::string overload = "Thread pool overload, waiting for free worker threads...";
    std::thread releaser([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fx.log->has_warning(overload) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        release = true;
    });
    lum_program_block* a = waiting_program(p, n, n.slow);
    auto out = fx.launch(a);
    const bool done = fx.run();
    releaser.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(as_int(out->value), 7);
    std::vector<std::string> warnings = fx.log->take_warnings();
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], overload);
}

TEST(ReturnThread, QueuedJobDestroyedWithoutRunningGivesEverythingBack) {
    vm_fixture fx(0);
    program p;
    natives n(p);
    lum_program_block* a = waiting_program(p, n, n.slow);
    fx.launch(a);
    lum_host_turn(fx.host);
    lum_task* task = fx.tasks[0].get();
    EXPECT_EQ(task->in_thread.load(), 1);
    EXPECT_EQ(n.object->thread_jobs, 1u);
    EXPECT_EQ(n.object.use_count(), 2u);
    const uint32_t task_refs = task->ref_record->strong;
    {
        lum_vm_lock_guard guard(&fx.host.vm());
        fx.host.vm().jobs.shut_down();
        EXPECT_EQ(fx.host.vm().jobs.clear(), 1u);
    }
    EXPECT_EQ(task->in_thread.load(), 0);
    EXPECT_EQ(n.object->thread_jobs, 0u);
    EXPECT_EQ(n.object.use_count(), 1u);
    EXPECT_EQ(task->ref_record->strong, task_refs - 1);
}

TEST(ReturnThread, HostShutdownLetsQueuedWorkFinishBeforeTheQueueCloses) {
    program p;
    natives n(p);
    n.work_delay_ms = 0;
    lum_program_block* a = waiting_program(p, n, n.slow);
    lumptr_weak<lum_task> weak;
    {
        lum_host_vm_options o;
        o.workers = 1;
        o.logger = lumptr_strong<lum_log_base>(new capture_log());
        lum_host_vm host(o);
        // The only worker is busy: the task's job waits in the queue.
        std::atomic<bool> started{false}, release{false};
        ASSERT_TRUE(host.vm().jobs.try_push(lum_job([&] {
            started = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        })));
        while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        {
            lumptr_strong<lum_task> task = lum_task::create(a, nullptr);
            ASSERT_TRUE(lum_task::start(task.get(), nullptr));
            weak = task;
        }
        lum_host_turn(host);
        ASSERT_FALSE(weak.expired());
        EXPECT_EQ(weak.get()->in_thread.load(), 1);
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            release = true;
        });
        host.shutdown();  // must not close the queue under the waiting job
        releaser.join();
    }
    EXPECT_TRUE(n.ran_off_vm_thread.load());
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(n.object->thread_jobs, 0u);
    EXPECT_EQ(n.object.use_count(), 1u);
}

}  // namespace
