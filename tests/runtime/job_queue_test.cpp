// Job queue: capacity, refusal, shutdown, jobs that own references, and
// workers that never leave a job behind while they sleep.
#include <gtest/gtest.h>

#include <functional>

#include <chrono>
#include <memory>
#include <thread>

#include "host/host_vm.h"
#include "runtime/job_queue.h"
#include "runtime/vm.h"

namespace {

// A callable that counts its runs and the destruction of what it owns.
struct owning_job {
    std::shared_ptr<int> owned;
    std::atomic<int>* runs;
    void operator()() { runs->fetch_add(1); }
};

// The host's workers read the queue by its field order: condition variable,
// write counter, read counter, 1024 slot states, 1024 slots, pending, waiting,
// shutdown. Anything else comes after these.
TEST(JobQueue, FieldsAreInTheOrderSharedWithTheHost) {
    auto q = std::make_unique<lum_job_queue>();
    auto at = [](const auto& field) { return reinterpret_cast<uintptr_t>(&field); };
    EXPECT_LT(at(q->cv), at(q->write_counter));
    EXPECT_LT(at(q->write_counter), at(q->read_counter));
    EXPECT_LT(at(q->read_counter), at(q->slot_state[0]));
    EXPECT_EQ(at(q->slot_state[1023]) - at(q->slot_state[0]), 1023u);  // one byte per slot
    EXPECT_LT(at(q->slot_state[1023]), at(q->slots[0]));
    EXPECT_LT(at(q->slots[1023]), at(q->pending));
    EXPECT_LT(at(q->pending), at(q->waiting));
    EXPECT_LT(at(q->waiting), at(q->shutdown));
    EXPECT_LT(at(q->shutdown), at(q->wake_pending));
    EXPECT_LT(at(q->shutdown), at(q->wake_seq));
    EXPECT_LT(at(q->shutdown), at(q->read_seen));
    EXPECT_EQ(sizeof(q->pending), 8u);
    EXPECT_EQ(sizeof(q->write_counter), 4u);
}

TEST(Job, InlineAndHeapCallablesRunMoveAndDestroy) {
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(1);
    {
        lum_job small(owning_job{owned, &runs});
        struct big_t {
            char pad[200];
            std::shared_ptr<int> owned;
            std::atomic<int>* runs;
            void operator()() { runs->fetch_add(10); }
        };
        lum_job big(big_t{{}, owned, &runs});
        EXPECT_EQ(owned.use_count(), 3);
        lum_job moved(std::move(small));
        EXPECT_FALSE(small);
        moved();
        big();
        lum_job target;
        target = std::move(big);
        target();
        EXPECT_EQ(runs.load(), 21);
    }
    EXPECT_EQ(owned.use_count(), 1); // every copy released by the destructors
}

TEST(JobQueue, AcceptsCapacityJobsAndRefusesTheNext) {
    auto q = std::make_unique<lum_job_queue>();
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    for (uint32_t i = 0; i < lum_job_queue::capacity; ++i) ASSERT_TRUE(q->try_push(owning_job{owned, &runs}));
    EXPECT_EQ(owned.use_count(), 1 + 1024);
    EXPECT_FALSE(q->try_push(owning_job{owned, &runs}));
    EXPECT_EQ(owned.use_count(), 1 + 1024); // the refused job was destroyed
    EXPECT_EQ(q->pending_count(), 1024u);
    EXPECT_TRUE(q->try_push(lum_job{}));    // empty job: nothing queued, success
    lum_job job;
    ASSERT_TRUE(q->try_pop(job));
    job();
    job.reset();
    EXPECT_TRUE(q->try_push(owning_job{owned, &runs})); // a slot is free again
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(q->clear(), 1024u);
    EXPECT_EQ(owned.use_count(), 1);
    EXPECT_EQ(runs.load(), 1);
}

// Callables that hold nothing to call make empty jobs: pushing one queues
// nothing (no slot, no write), as for an empty job.
TEST(JobQueue, EmptyCallablesAreNeverQueued) {
    auto q = std::make_unique<lum_job_queue>();
    void (*null_fn)() = nullptr;
    EXPECT_FALSE(lum_job(std::function<void()>{}));
    EXPECT_FALSE(lum_job(null_fn));
    EXPECT_TRUE(lum_job(std::function<void()>([] {})));
    const uint32_t writes = q->write_counter.load();
    EXPECT_TRUE(q->try_push(std::function<void()>{}));
    EXPECT_TRUE(q->try_push(null_fn));
    EXPECT_EQ(q->write_counter.load(), writes);
    EXPECT_EQ(q->pending_count(), 0u);
    lum_job job;
    EXPECT_FALSE(q->try_pop(job));
}

TEST(JobQueue, PushAfterShutdownReportsSuccessAndRunsNothing) {
    auto q = std::make_unique<lum_job_queue>();
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    ASSERT_TRUE(q->try_push(owning_job{owned, &runs}));
    q->shut_down();
    EXPECT_TRUE(q->try_push(owning_job{owned, &runs}));
    EXPECT_EQ(owned.use_count(), 2); // the late job was dropped and released what it owned
    lum_job job;
    EXPECT_FALSE(q->try_pop(job));
    EXPECT_FALSE(q->wait_pop(job)); // shut down: returns at once
    q.reset();                      // jobs never run are destroyed with the queue
    EXPECT_EQ(owned.use_count(), 1);
    EXPECT_EQ(runs.load(), 0);
}

// Waits (at most ten seconds) until `runs` reaches `target`; the count reached.
int wait_for_runs(const std::atomic<int>& runs, int target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (runs.load() < target && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return runs.load();
}

// Pushes `n` jobs that own `owned` and count in `runs`, retrying while the queue is full.
void push_jobs(lum_vm& vm, int n, const std::shared_ptr<int>& owned, std::atomic<int>& runs) {
    for (int i = 0; i < n; ++i)
        while (!vm.jobs.try_push(owning_job{owned, &runs})) std::this_thread::yield();
}

TEST(JobQueue, SleepingWorkersNeverStrandAJob) {
    lum_host_vm_options options;
    options.workers = 3;
    lum_host_vm host(options);
    lum_vm& vm = host.vm();
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    int expected = 0;
    // Single jobs with pauses: every push finds the workers asleep.
    for (int round = 0; round < 40; ++round) {
        ASSERT_TRUE(vm.jobs.try_push(owning_job{owned, &runs}));
        ++expected;
        ASSERT_EQ(wait_for_runs(runs, expected), expected) << "a job stayed in the queue while the workers slept";
        if (round % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Bursts from several producers at once.
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) producers.emplace_back([&] { push_jobs(vm, 500, owned, runs); });
    for (auto& t : producers) t.join();
    expected += 2000;
    EXPECT_EQ(wait_for_runs(runs, expected), expected);
    EXPECT_EQ(vm.jobs.pending_count(), 0u);
    host.shutdown();
    EXPECT_EQ(owned.use_count(), 1);
}

// Workers that wake for a job another worker has already taken go back to
// sleep, and a producer meets a full queue while workers fall asleep and
// wake: a push must still wake them when the next job comes.
TEST(JobQueue, WakeUpsAreNotLostWhenWorkersRaceOrTheQueueIsFull) {
    lum_host_vm_options options;
    options.workers = 2;
    lum_host_vm host(options);
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    int expected = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (int round = 0; round < 30 || std::chrono::steady_clock::now() < end; ++round) {
        const int size = (round % 3 == 0) ? 1 : 1500 + (round % 40) * 37;  // single jobs and bursts beyond capacity
        push_jobs(host.vm(), size, owned, runs);
        expected += size;
        ASSERT_EQ(wait_for_runs(runs, expected), expected)
            << "round " << round << ": a job stayed queued while every worker slept";
        if (round % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(JobQueue, TeardownDestroysJobsThatNeverRan) {
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    {
        lum_host_vm host; // no workers: nothing runs
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(host.vm().jobs.try_push(owning_job{owned, &runs}));
        EXPECT_EQ(owned.use_count(), 11);
    }
    EXPECT_EQ(owned.use_count(), 1);
    EXPECT_EQ(runs.load(), 0);
}

} // namespace
