// A copy forked while another thread is inside one of the runtime's
// process-wide locks takes that lock itself and carries on: the fork waits
// until the thread has given the lock back.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/pool.h"
#include "runtime/registry.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs `busy` on a thread and, once it has set `step` to 1, forks `count`
// copies that each call `use` and end; then sets `step` to 2. The number of
// copies that did not end with status 0 within 5 s (those are killed).
int failed_copies(int count, const std::function<void(std::atomic<int>& step)>& busy, void (*use)()) {
    std::atomic<int> step{0};
    std::thread thread([&] { busy(step); });
    while (step.load() != 1) std::this_thread::yield();
    std::vector<pid_t> copies;
    for (int i = 0; i < count; ++i)
        if (const pid_t pid = ::fork(); pid == 0) use(), std::_Exit(0);
        else copies.push_back(pid);
    step = 2;
    thread.join();
    int failed = 0, status = 0;
    const auto give_up = clock_type::now() + std::chrono::seconds(5);
    for (pid_t pid : copies) {
        while (::waitpid(pid, &status, WNOHANG) == 0)
            if (clock_type::now() < give_up) std::this_thread::sleep_for(milliseconds(2));
            else ::kill(pid, SIGKILL);
        failed += status != 0;
    }
    return failed;
}

// Holds `lock` until the copy is made (200 ms at most: a fork that waits for
// the lock cannot say so).
template <class Lock>
std::function<void(std::atomic<int>&)> holding(Lock& lock) {
    return [&lock](std::atomic<int>& step) {
        std::lock_guard<Lock> hold(lock);
        step = 1;
        for (const auto until = clock_type::now() + milliseconds(200); step.load() != 2 && clock_type::now() < until;)
            std::this_thread::yield();
    };
}

struct item {
    uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
};
using item_pool = lum_pool<item, false>;
item* const late = [] {  // an item whose chunk a pool's teardown retired
    item_pool pool;
    item* made = pool.allocate();
    pool.teardown();
    return made;
}();

}  // namespace

TEST(ForkLocks, ACopyRegistersAndLogsThoughAThreadHeldTheLockAtTheFork) {
    EXPECT_EQ(failed_copies(1, holding(lum_registration_mutex()), [] { register_namespace_initializer("x", {}); }), 0);
    EXPECT_EQ(failed_copies(1, holding(lum_make_default_log()->mutex), [] { lum_make_default_log()->error("x"); }), 0);
}

// Each late release looks the chunk up in the list of retired chunks.
TEST(ForkLocks, ACopyReleasesALateItemThoughAThreadKeptReleasingIt) {
    const auto releasing = [](std::atomic<int>& step) {
        item_pool pool;
        for (step = 1; step.load() != 2;) pool.deallocate_at(late, 0);
    };
    EXPECT_EQ(failed_copies(200, releasing, [] { item_pool().deallocate_at(late, 0); }), 0);
}
