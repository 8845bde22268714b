// Kernel job submission over the VM's job queue: launches whose helpers run on
// the host's real worker threads, and the refusals that make the caller do
// the work itself (no VM, no workers, a queue that is shut down), and the
// stop condition a compile job on a worker asks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "host/host_vm.h"
#include "kernel/compiler/compile.h"
#include "kernel/exec/launch.h"
#include "kernel/script/kernel_enqueue.h"
#include "runtime/thread_local.h"
#include "runtime/vm.h"

namespace {

// A launch of a kernel that writes 3 * gid and sums gid over n items.
struct sum_launch {
    std::shared_ptr<lumk_launch> launch = std::make_shared<lumk_launch>();
    std::vector<int64_t> o;
    explicit sum_launch(uint64_t n) : o(n) {
        static std::shared_ptr<lumk_compiled_unit> unit = [] {
            std::shared_ptr<lumk_compiled_unit> u;
            kerror err;
            lumk_compile_unit(u, "kernel s(i64* o) -> i64 reduce(+) { o[gid] = i64(gid) * 3; return i64(gid); }",
                              "t.k", err, {});
            return u;
        }();
        launch->prepare(unit, unit->programs[0].get(), n, 1);
        launch->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), n, 8, n * 8};
    }
    // Starts up to `helpers` helpers, runs, and checks the results; the number started.
    int run(int helpers) {
        const int started = launch->start_helpers(helpers, lum_kernel_enqueue());
        launch->run_and_wait();
        EXPECT_EQ(launch->trap_recorded.load(), 0);
        EXPECT_EQ(launch->reduce_results(), std::vector<uint64_t>{o.size() * (o.size() - 1) / 2});
        EXPECT_EQ(o.back(), static_cast<int64_t>(o.size() - 1) * 3);
        return started;
    }
};

TEST(KernelEnqueue, HelpersRunOnTheVmWorkers) {
    lum_host_vm_options options;
    options.workers = 3;
    lum_host_vm host(options);
    EXPECT_EQ(lum_kernel_worker_count(), 3u);
    for (int round = 0; round < 10; ++round) EXPECT_EQ(sum_launch(100000).run(3), 3);
}

TEST(KernelEnqueue, RefusedWhenTheJobWouldNeverRun) {
    EXPECT_FALSE(lum_kernel_enqueue());  // no VM on this thread
    EXPECT_EQ(lum_kernel_worker_count(), 0u);
    lum_host_vm host;  // no workers
    EXPECT_FALSE(lum_kernel_enqueue()([] {}));
    EXPECT_EQ(sum_launch(5000).run(2), 0);

    // Workers that never take their jobs: the caller runs every chunk, and the
    // queued jobs hold the launch until the pool's shutdown destroys them.
    host.vm().worker_count = 2;
    std::weak_ptr<lumk_launch> watch;
    {
        sum_launch queued(5000);
        watch = queued.launch;
        EXPECT_EQ(queued.run(2), 2);
    }
    EXPECT_FALSE(watch.expired());
    host.vm().jobs.shut_down();
    EXPECT_FALSE(lum_kernel_enqueue()([] {}));  // a shut-down queue would drop it
    EXPECT_EQ(host.vm().jobs.clear(), 2u);
    EXPECT_TRUE(watch.expired());
    host.vm().worker_count = 0;
}

// A job that runs until its VM's pool shuts down sees the shutdown before
// the host joins its worker, so the join does not wait for it.
TEST(KernelEnqueue, AJobSeesThePoolShutDownBeforeTheJoin) {
    EXPECT_FALSE(lum_kernel_pool_stopping());  // no VM on this thread
    lum_host_vm_options options;
    options.workers = 1;
    lum_host_vm host(options);
    const std::function<bool()> stopping = lum_kernel_pool_stopping();
    ASSERT_TRUE(stopping);
    EXPECT_FALSE(stopping());
    using clock = std::chrono::steady_clock;
    std::atomic<bool> started{false}, saw_stop{false};
    ASSERT_TRUE(lum_kernel_enqueue()([&started, &saw_stop, stopping] {
        started = true;
        const auto limit = clock::now() + std::chrono::seconds(20);
        while (!stopping() && clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        saw_stop = stopping();
    }));
    const auto limit = clock::now() + std::chrono::seconds(20);
    while (!started && clock::now() < limit) std::this_thread::yield();
    ASSERT_TRUE(started);
    const auto begin = clock::now();
    host.shutdown();
    EXPECT_TRUE(saw_stop);
    EXPECT_LT(clock::now() - begin, std::chrono::seconds(5));
}

}  // namespace
