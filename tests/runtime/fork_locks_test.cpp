// Process-wide locks of the runtime across fork(): a host that forks while
// one of its threads holds such a lock gets a copy that takes the lock again
// and carries on. The fork waits until the lock is given back.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include <vector>

#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/pool.h"
#include "runtime/registry.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The copy's exit status, or -1 when it had not ended by `give_up` (then it
// is killed).
int copy_status(pid_t pid, clock_type::time_point give_up) {
    int status = 0;
    pid_t got = 0;
    while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 && clock_type::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// A thread takes `lock`, and gives it back once this thread has forked (or
// after 200 ms: a fork that waits for the lock cannot say it has forked). The
// copy runs `use` and ends with status 0; the result is the copy's status
// (-1: it had not ended after 10 s).
template <class Lock>
int copy_status_while_held(Lock& lock, const std::function<void()>& use) {
    std::atomic<int> step{0};  // 1: held; 2: forked
    std::thread holder([&] {
        std::lock_guard<Lock> hold(lock);
        step = 1;
        const auto until = clock_type::now() + std::chrono::milliseconds(200);
        while (step.load() != 2 && clock_type::now() < until) std::this_thread::yield();
    });
    while (step.load() != 1) std::this_thread::yield();
    const pid_t pid = ::fork();
    if (pid == 0) {
        use();
        std::_Exit(0);
    }
    step = 2;
    holder.join();
    return copy_status(pid, clock_type::now() + std::chrono::seconds(10));
}

}  // namespace

TEST(ForkLocks, ACopyRegistersThoughAThreadHeldTheRegistrationLock) {
    EXPECT_EQ(copy_status_while_held(lum_registration_mutex(), [] {
        register_namespace_initializer("fork.copy", [](lum_namespace&) {});
    }), 0);
}

TEST(ForkLocks, ACopyLogsThoughAThreadHeldTheDefaultLoggersLock) {
    EXPECT_EQ(copy_status_while_held(lum_make_default_log()->mutex, [] { lum_make_default_log()->error("from a copy"); }), 0);
}

// The list of retired pool chunks has no lock of its own to hold from here: a
// thread releases an item of a retired chunk late, over and over (each
// release looks the chunk up in the list), while this thread forks 200
// copies that each do the same once.
TEST(ForkLocks, ACopyReleasesLateItemsThoughAThreadKeptLookingThemUp) {
    struct item {
        uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
    };
    using pool_type = lum_pool<item, false>;
    auto old_pool = std::make_unique<pool_type>();
    item* late = old_pool->allocate();
    old_pool->teardown();  // the chunk is retired with `late` in it
    std::atomic<bool> done{false};
    std::thread releaser([&] {
        pool_type pool;
        while (!done.load()) pool.deallocate_at(late, 0);
    });
    std::vector<pid_t> copies;
    for (int i = 0; i < 200; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            pool_type pool;
            pool.deallocate_at(late, 0);
            std::_Exit(0);
        }
        if (pid > 0) copies.push_back(pid);
    }
    done = true;
    releaser.join();
    int hung = 0;
    const auto give_up = clock_type::now() + std::chrono::seconds(5);
    for (pid_t pid : copies) hung += copy_status(pid, give_up) != 0;
    EXPECT_EQ(copies.size(), 200u);
    EXPECT_EQ(hung, 0);
}
