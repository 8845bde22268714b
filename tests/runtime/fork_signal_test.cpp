// A signal handler that forks (a crash or dump helper) on a thread that is
// inside one of the runtime's process-wide locks: the fork never waits for
// the lock its own thread holds, the parent goes on, and a copy that uses the
// lock after the handler returns finds it given back.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/fork_hold.h"
#include "runtime/log.h"
#include "runtime/pool.h"
#include "runtime/registry.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<int> handled{0};
std::atomic<int> copies_failed{0};
// What each copy does once the handler that forked it has returned.
void (*copy_step)() = nullptr;

// Forks a copy that ends at once and waits for it: only async-signal-safe
// calls.
void fork_in_handler(int) {
    const int saved = errno;
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) copies_failed.fetch_add(1);
    handled.fetch_add(1);
    errno = saved;
}

// In a child process of the test (a hang stays there): a thread repeats
// `step`, and `signals` SIGUSR1 are sent to it one after another, each
// handled by a fork. Exit status 0 when every signal was handled within
// 20 s, 1 when one was not, 2 when a copy failed.
int signals_forking_beside(int signals, void (*step)()) {
    const pid_t child = ::fork();
    if (child != 0) {
        int status = -1;
        const auto give_up = clock_type::now() + std::chrono::seconds(60);
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (clock_type::now() >= give_up) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    struct sigaction sa{};
    sa.sa_handler = fork_in_handler;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, nullptr);
    std::atomic<bool> done{false}, started{false};
    std::thread busy([&] {
        // The thread's first allocations (the C library's own per-thread
        // set-up) are made before any signal: a fork from a handler that
        // interrupts the C library's allocator inside its lock would wait
        // for good in the C library itself.
        std::string warm(64, 'x');
        step();
        started = true;
        while (!done.load(std::memory_order_relaxed)) step();
    });
    while (!started.load()) std::this_thread::yield();
    int code = 0;
    for (int i = 0; i < signals && code == 0; ++i) {
        ::pthread_kill(busy.native_handle(), SIGUSR1);
        const auto until = clock_type::now() + std::chrono::seconds(20);
        while (handled.load() <= i && code == 0)
            if (clock_type::now() >= until) code = 1;
            else std::this_thread::yield();
    }
    if (code != 0) ::_exit(code);  // the thread may be stuck for good
    done = true;
    busy.join();
    ::_exit(copies_failed.load() == 0 ? 0 : 2);
}

void log_through_the_default_logger() { lum_make_default_log()->error("x"); }

struct item {
    uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
};
using item_pool = lum_pool<item, false>;
item* late_item() {  // an item whose chunk a pool's teardown retired
    static item* const made = [] {
        item_pool pool;
        item* it = pool.allocate();
        pool.teardown();
        return it;
    }();
    return made;
}
// Each late release looks the chunk up in the list of retired chunks, under
// its lock.
void release_a_late_item() { item_pool().deallocate_at(late_item(), 0); }

void hold_the_registration_lock() {
    std::lock_guard<lum_registration_lock> hold(lum_registration_mutex());
    std::lock_guard<lum_registration_lock> again(lum_registration_mutex());  // recursive
}

}  // namespace

TEST(ForkFromSignal, AThreadInsideALockForksFromItsSignalHandlerAndGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own fork handling is not safe from a signal handler";
#endif
    late_item();
    EXPECT_EQ(signals_forking_beside(1000, log_through_the_default_logger), 0) << "logging";
    EXPECT_EQ(signals_forking_beside(1000, release_a_late_item), 0) << "releasing a late pool item";
    EXPECT_EQ(signals_forking_beside(1000, hold_the_registration_lock), 0) << "registering";
}

namespace {

// A lock whose handlers the test calls by hand, as the fork hook calls them.
constinit lum_fork_mutex<std::recursive_mutex> watched{true};

}  // namespace

// The forking thread's own holds are never waited for; another thread inside
// the lock is waited for until it leaves, and at most the bound; a thread
// that comes to the lock while a fork is being made waits until the fork is
// made.
TEST(ForkFromSignal, AForkWaitsForOtherThreadsInsideTheLockAndNeverItsOwn) {
    watched.lock();
    watched.lock();
    auto start = clock_type::now();
    watched.before_fork();
    watched.after_fork_in_parent();
    EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(500));
    watched.unlock();
    watched.unlock();

    std::atomic<int> step{0};
    std::thread holder([&] {
        std::lock_guard<lum_fork_mutex<std::recursive_mutex>> hold(watched);
        step = 1;
        while (step.load() != 2) std::this_thread::yield();
    });
    while (step.load() != 1) std::this_thread::yield();
    start = clock_type::now();
    watched.before_fork();  // the holder never leaves while the fork waits
    const auto waited = clock_type::now() - start;
    watched.after_fork_in_parent();
    step = 2;
    holder.join();
    EXPECT_GE(waited, lum_fork_wait_bound - std::chrono::milliseconds(50));
    EXPECT_LT(waited, lum_fork_wait_bound + std::chrono::seconds(2));

    std::atomic<bool> took{false};
    watched.before_fork();  // nobody inside: at once
    std::thread comer([&] {
        std::lock_guard<lum_fork_mutex<std::recursive_mutex>> hold(watched);
        took = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(took.load());  // the gate is closed while the fork is made
    watched.after_fork_in_parent();
    comer.join();
    EXPECT_TRUE(took.load());
}
