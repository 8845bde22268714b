// Job queue: generated push/pop/clear sequences against a FIFO model
// (capacity, refusal, wrap-around, shutdown), jobs that own references, and
// workers that never leave a job behind while they sleep.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "host/host_vm.h"
#include "runtime/job_queue.h"
#include "runtime/vm.h"

namespace {

// A callable that counts its runs (in `runs`, with its id in `last`) and owns `owned`.
struct owning_job {
    std::shared_ptr<int> owned;
    std::atomic<int>* runs;
    int id = 0;
    int* last = nullptr;
    void operator()() {
        runs->fetch_add(1);
        if (last != nullptr) *last = id;
    }
};

// The host's workers read the queue by its field order: condition variable,
// write counter, read counter, 1024 slot states, 1024 slots, pending, waiting,
// shutdown. Anything else comes after these.
TEST(JobQueue, FieldsAreInTheOrderSharedWithTheHost) {
    auto q = std::make_unique<lum_job_queue>();
    auto at = [](const auto& field) { return reinterpret_cast<uintptr_t>(&field); };
    const uintptr_t order[] = {at(q->cv), at(q->write_counter), at(q->read_counter), at(q->slot_state[0]),
                               at(q->slot_state[1023]), at(q->slots[0]), at(q->slots[1023]), at(q->pending),
                               at(q->waiting), at(q->shutdown), std::min({at(q->wake_pending), at(q->wake_seq), at(q->read_seen)})};
    for (size_t i = 1; i < std::size(order); ++i) EXPECT_LT(order[i - 1], order[i]) << i;
    EXPECT_EQ(at(q->slot_state[1023]) - at(q->slot_state[0]), 1023u);  // one byte per slot
    EXPECT_EQ(sizeof(q->pending), 8u);
    EXPECT_EQ(sizeof(q->write_counter), 4u);
}

TEST(JobQueue, GeneratedSequencesMatchAFifoModel) {
    std::mt19937 rng(99);
    for (int round = 0; round < 4; ++round) {
        auto q = std::make_unique<lum_job_queue>();
        auto owned = std::make_shared<int>(0);
        std::atomic<int> runs{0};
        std::deque<int> model;
        int next_id = 0, last = -1, ran = 0;
        for (int step = 0; step < 5000; ++step) {
            const uint32_t op = rng() % 100;
            const bool fill = (step / 700) % 2 == 0;  // phases that fill to capacity and drain
            if (op < (fill ? 70u : 35u)) {
                const bool accepted = q->try_push(owning_job{owned, &runs, next_id, &last});
                ASSERT_EQ(accepted, model.size() < lum_job_queue::capacity) << step;
                if (accepted) model.push_back(next_id);
                ++next_id;
            } else if (op < 97) {
                lum_job job;
                ASSERT_EQ(q->try_pop(job), !model.empty());
                if (!model.empty()) {
                    job();
                    ++ran;
                    ASSERT_EQ(last, model.front()) << "first in, first out";
                    model.pop_front();
                }
            } else if (op < 98) {
                ASSERT_TRUE(q->try_push(lum_job{}));  // an empty job: nothing queued
            } else if (op < 99 || round < 2) {
                ASSERT_EQ(q->clear(), model.size());
                model.clear();
            } else {
                q->shut_down();
                ASSERT_TRUE(q->try_push(owning_job{owned, &runs}));  // dropped, reported as done
                lum_job job;
                EXPECT_FALSE(q->try_pop(job));
                EXPECT_FALSE(q->wait_pop(job));  // shut down: returns at once
                EXPECT_EQ(q->pending_count(), model.size());
                break;
            }
            ASSERT_EQ(q->pending_count(), model.size());
            ASSERT_EQ(owned.use_count(), 1 + static_cast<long>(model.size()));  // refused jobs were destroyed
        }
        q.reset();  // jobs never run are destroyed with the queue
        EXPECT_EQ(owned.use_count(), 1);
        EXPECT_EQ(runs.load(), ran);
    }
}

TEST(Job, InlineAndHeapCallablesRunMoveAndDestroy) {
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(1);
    {
        struct big_t {
            char pad[200];
            std::shared_ptr<int> owned;
            std::atomic<int>* runs;
            void operator()() { runs->fetch_add(10); }
        };
        lum_job small(owning_job{owned, &runs}), big(big_t{{}, owned, &runs}), target;
        EXPECT_EQ(owned.use_count(), 3);
        lum_job moved(std::move(small));
        EXPECT_FALSE(small);
        moved();
        big();
        target = std::move(big);
        target();
        EXPECT_EQ(runs.load(), 21);
    }
    EXPECT_EQ(owned.use_count(), 1);
    // Callables that hold nothing to call make empty jobs, never queued.
    void (*null_fn)() = nullptr;
    EXPECT_FALSE(lum_job(std::function<void()>{}));
    EXPECT_FALSE(lum_job(null_fn));
    EXPECT_TRUE(lum_job(std::function<void()>([] {})));
    auto q = std::make_unique<lum_job_queue>();
    EXPECT_TRUE(q->try_push(std::function<void()>{}));
    EXPECT_TRUE(q->try_push(null_fn));
    EXPECT_EQ(q->write_counter.load(), 0u);
}

// Waits (at most ten seconds) until `done()` holds; whether it does.
template <class Done>
bool wait_until(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (done()) return true;  // as seen now: it may not hold for long
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

// Waits (at most ten seconds) until `runs` reaches `target`; the count reached.
int wait_for_runs(const std::atomic<int>& runs, int target) {
    wait_until([&] { return runs.load() >= target; });
    return runs.load();
}

// Pushes `n` jobs that own `owned` and count in `runs`, retrying while the queue is full.
void push_jobs(lum_vm& vm, int n, const std::shared_ptr<int>& owned, std::atomic<int>& runs) {
    for (int i = 0; i < n; ++i)
        while (!vm.jobs.try_push(owning_job{owned, &runs})) std::this_thread::yield();
}

// Single jobs that find the workers asleep, bursts beyond capacity from one
// and from several producers, workers racing for a wake-up: every job runs.
TEST(JobQueue, SleepingWorkersNeverStrandAJob) {
    for (uint32_t workers : {3u, 2u}) {
        lum_host_vm_options options;
        options.workers = workers;
        lum_host_vm host(options);
        std::atomic<int> runs{0};
        auto owned = std::make_shared<int>(0);
        int expected = 0;
        for (int round = 0; round < 60; ++round) {
            const int size = (round % 3 == 0) ? 1 : 1500 + (round % 40) * 37;
            push_jobs(host.vm(), size, owned, runs);
            expected += size;
            ASSERT_EQ(wait_for_runs(runs, expected), expected) << "round " << round << ": a job stayed queued";
            if (round % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) producers.emplace_back([&] { push_jobs(host.vm(), 500, owned, runs); });
        for (auto& t : producers) t.join();
        expected += 2000;
        EXPECT_EQ(wait_for_runs(runs, expected), expected);
        EXPECT_EQ(host.vm().jobs.pending_count(), 0u);
        host.shutdown();
        EXPECT_EQ(owned.use_count(), 1);
    }
}

// Every push finds all workers asleep (or about to be): each single job must
// still run, within a deadline, round after round, also when its wake-up is
// lost. The workers' sleep cap is lowered, so that the lost wake-ups cost
// little time.
TEST(JobQueue, EveryPushToSleepingWorkersIsTaken) {
    for (uint32_t workers : {2u, 1u}) {
        lum_host_vm_options options;
        options.workers = workers;
        lum_host_vm host(options);
        host.vm().jobs.sleep_limit_ms.store(10);
        std::atomic<int> runs{0};
        auto owned = std::make_shared<int>(0);
        for (int round = 0; round < 4000; ++round) {
            // every worker on its way to sleep
            ASSERT_TRUE(wait_until([&] { return host.vm().jobs.waiting.load() >= workers; })) << "round " << round;
            // Let them reach the wait itself, or push while they are on their way.
            if (round % 3 == 1) std::this_thread::yield();
            if (round % 3 == 2) std::this_thread::sleep_for(std::chrono::microseconds(100 + round % 200));
            // Now and then the wake-up goes missing (the flag says one is on
            // its way, so the push makes none): the sleepers' bounded sleep
            // must still find the job.
            if (round % 150 == 149) host.vm().jobs.wake_pending.store(1);  // after a sleep
            push_jobs(host.vm(), 1, owned, runs);
            ASSERT_EQ(wait_for_runs(runs, round + 1), round + 1) << "round " << round << ": the job stayed queued";
        }
        host.shutdown();
        EXPECT_EQ(owned.use_count(), 1);
    }
}

TEST(JobQueue, TeardownDestroysJobsThatNeverRan) {
    std::atomic<int> runs{0};
    auto owned = std::make_shared<int>(0);
    {
        lum_host_vm host;  // no workers: nothing runs
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(host.vm().jobs.try_push(owning_job{owned, &runs}));
        EXPECT_EQ(owned.use_count(), 11);
    }
    EXPECT_EQ(owned.use_count(), 1);
    EXPECT_EQ(runs.load(), 0);
}

} // namespace
