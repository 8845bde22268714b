// Kernel job submission over the VM's job queue: launches whose helpers run on
// the host's real worker threads, and the refusals that make the caller do
// the work itself (no VM, no workers, a queue that is shut down).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/host_vm.h"
#include "kernel/compiler/compile.h"
#include "kernel/exec/launch.h"
#include "kernel/script/kernel_enqueue.h"
#include "runtime/thread_local.h"
#include "runtime/vm.h"

namespace {

std::shared_ptr<lumk_compiled_unit> sum_unit() {
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    lumk_compile_unit(unit, "kernel s(i64* o) -> i64 reduce(+) { o[gid] = i64(gid) * 3; return i64(gid); }", "t.k",
                      err, {});
    return unit;
}

// Launches the sum kernel over n items with up to `helpers` helper jobs.
struct sum_launch {
    std::shared_ptr<lumk_launch> launch = std::make_shared<lumk_launch>();
    std::vector<int64_t> o;
    sum_launch(const std::shared_ptr<lumk_compiled_unit>& unit, uint64_t n) : o(n) {
        launch->prepare(unit, unit->programs[0].get(), n, 1);
        launch->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), n, 8, n * 8};
    }
};

TEST(KernelEnqueue, HelpersRunOnTheVmWorkers) {
    auto unit = sum_unit();
    ASSERT_TRUE(unit);
    lum_host_vm_options options;
    options.workers = 3;
    lum_host_vm host(options);
    EXPECT_EQ(lum_kernel_worker_count(), 3u);
    for (int round = 0; round < 10; ++round) {
        sum_launch s(unit, 100000);
        EXPECT_EQ(s.launch->start_helpers(3, lum_kernel_enqueue()), 3);
        s.launch->run_and_wait();
        ASSERT_EQ(s.launch->trap_recorded.load(), 0);
        EXPECT_EQ(s.launch->reduce_results(), std::vector<uint64_t>{100000ull * 99999 / 2});
        EXPECT_EQ(s.o[99999], 99999 * 3);
    }
}

TEST(KernelEnqueue, RefusedWhenTheJobWouldNeverRun) {
    auto unit = sum_unit();
    ASSERT_TRUE(unit);
    EXPECT_FALSE(lum_kernel_enqueue());  // no VM on this thread
    EXPECT_EQ(lum_kernel_worker_count(), 0u);

    lum_host_vm host;  // no workers
    EXPECT_FALSE(lum_kernel_enqueue()([] {}));
    sum_launch idle(unit, 5000);
    EXPECT_EQ(idle.launch->start_helpers(2, lum_kernel_enqueue()), 0);
    idle.launch->run_and_wait();
    EXPECT_EQ(idle.launch->reduce_results(), std::vector<uint64_t>{5000ull * 4999 / 2});

    // Workers that never take their jobs: the caller runs every chunk, and the
    // queued jobs hold the launch until the pool's shutdown destroys them.
    host.vm().worker_count = 2;
    std::weak_ptr<lumk_launch> watch;
    {
        sum_launch queued(unit, 5000);
        watch = queued.launch;
        EXPECT_EQ(queued.launch->start_helpers(2, lum_kernel_enqueue()), 2);
        queued.launch->run_and_wait();
        EXPECT_EQ(queued.launch->reduce_results(), std::vector<uint64_t>{5000ull * 4999 / 2});
    }
    EXPECT_FALSE(watch.expired());
    host.vm().jobs.shut_down();
    EXPECT_FALSE(lum_kernel_enqueue()([] {}));  // a shut-down queue would drop it
    EXPECT_EQ(host.vm().jobs.clear(), 2u);
    EXPECT_TRUE(watch.expired());
    host.vm().worker_count = 0;
}

}  // namespace
