// A copy forked while another thread is inside one of the runtime's
// process-wide locks takes that lock itself and carries on: the fork waits
// until the thread has given the lock back, within a bound of its own. The
// default logger's lock, shared with the host, is not waited for: the copy
// makes it free again, and its listeners' use counts its own. A signal
// handler that forks (a crash or dump helper) on a thread that is inside
// such a lock: the fork never waits for its own thread, and the parent goes
// on. Host fork handlers that log, take the logger's lock or fork themselves
// do not hold a fork up.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "runtime/fork_hold.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/pool.h"
#include "runtime/registry.h"
#include "tests/runtime/child_process.h"

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

namespace {

std::atomic<int> handled{0};
std::atomic<int> copies_failed{0};

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
int forking_on_signals(int signals, void (*step)()) {
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
    return copies_failed.load() == 0 ? 0 : 2;
}
int signals_forking_beside(int signals, void (*step)()) {
    return in_child([&] { return forking_on_signals(signals, step); }, 60);
}

void log_through_the_default_logger() { lum_make_default_log()->error("x"); }

// Each late release looks the chunk up in the list of retired chunks, under
// its lock.
void release_a_late_item() { item_pool().deallocate_at(late, 0); }

void hold_the_registration_lock() {
    std::lock_guard<lum_registration_lock> hold(lum_registration_mutex());
    std::lock_guard<lum_registration_lock> again(lum_registration_mutex());  // recursive
}

}  // namespace

TEST(ForkFromSignal, AThreadInsideALockForksFromItsSignalHandlerAndGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own fork handling is not safe from a signal handler";
#endif
    EXPECT_EQ(signals_forking_beside(1000, log_through_the_default_logger), 0) << "logging";
    EXPECT_EQ(signals_forking_beside(1000, release_a_late_item), 0) << "releasing a late pool item";
    EXPECT_EQ(signals_forking_beside(1000, hold_the_registration_lock), 0) << "registering";
}

namespace {

// A lock whose handlers the test calls by hand, as the fork hook calls them.
constinit lum_fork_mutex<std::recursive_mutex> watched;

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

    // The forking thread itself passes the gate: a fork handler that runs
    // after this lock's may use it.
    watched.before_fork();
    start = clock_type::now();
    std::atomic<bool> passed{false};
    std::thread watchdog([&] {  // a thread stuck at its own gate stays there for good
        for (const auto until = clock_type::now() + std::chrono::seconds(20); !passed.load();)
            if (clock_type::now() < until) std::this_thread::sleep_for(milliseconds(5));
            else {
                std::fprintf(stderr, "the forking thread waits at its own fork's gate\n");
                std::_Exit(1);
            }
    });
    watched.lock();
    watched.unlock();
    passed = true;
    watchdog.join();
    watched.after_fork_in_parent();
    EXPECT_LT(clock_type::now() - start, std::chrono::milliseconds(500));

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

namespace {

// A thread that repeats fork() until stopped; each copy ends at once.
class forking_thread {
public:
    forking_thread()
        : thread_([this] {
              while (!done_.load()) {
                  const pid_t pid = ::fork();
                  if (pid == 0) ::_exit(0);
                  if (pid > 0) ::waitpid(pid, nullptr, 0);
              }
          }) {}
    ~forking_thread() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

void* log_until_cancelled(void*) {
    for (;;) {
        lum_make_default_log()->error("x");
        ::pthread_testcancel();
    }
    return nullptr;
}

// The host's fork handlers, registered before the module's (their prepare
// step runs after the module's, their parent and copy steps before), log
// through the default logger while `host_handlers_log` is set.
std::atomic<bool> host_handlers_log{false};
std::atomic<int> host_handlers_logged{0};
void host_handler_logs() {
    if (!host_handlers_log.load()) return;
    lum_make_default_log()->error("from a fork handler");
    host_handlers_logged.fetch_add(1);
}

// More host handlers registered before the module's, each doing nothing until
// its test sets its flag: one takes the default logger's lock for the fork
// and gives it back after (as a host keeps its listener list whole around its
// forks), one forks a copy of its own in the prepare or the parent step, one
// waits in the prepare step until another thread has logged.
std::atomic<bool> host_takes_log_lock{false};
void host_takes_the_lock() {
    if (host_takes_log_lock.load()) lum_make_default_log()->mutex.lock();
}
void host_gives_the_lock_back() {
    if (host_takes_log_lock.load()) lum_make_default_log()->mutex.unlock();
}

enum class nested_fork { none, in_prepare, in_parent };
std::atomic<nested_fork> host_forks_in{nested_fork::none};
thread_local bool forking_nested = false;
void host_forks_if(nested_fork step) {
    if (host_forks_in.load() != step || forking_nested) return;
    forking_nested = true;
    if (const pid_t pid = ::fork(); pid == 0) ::_exit(0);
    else if (pid > 0) ::waitpid(pid, nullptr, 0);
    forking_nested = false;
}

std::atomic<bool> host_waits_for_a_log{false};
std::atomic<int> logged{0};
std::atomic<int64_t> host_waited_ms{0};
void host_waits_until_logged() {
    if (!host_waits_for_a_log.load()) return;
    const auto start = clock_type::now();
    for (const int seen = logged.load(); logged.load() < seen + 3 && clock_type::now() - start < std::chrono::seconds(5);)
        std::this_thread::yield();
    host_waited_ms = std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count();
}

[[gnu::constructor(101)]] void register_host_handlers_first() {
    ::pthread_atfork(host_handler_logs, host_handler_logs, host_handler_logs);
    ::pthread_atfork(host_takes_the_lock, host_gives_the_lock_back, host_gives_the_lock_back);
    ::pthread_atfork([] { host_forks_if(nested_fork::in_prepare); }, [] { host_forks_if(nested_fork::in_parent); },
                     nullptr);
    ::pthread_atfork(host_waits_until_logged, nullptr, nullptr);
}

// The median of the times `forks` forks took, in milliseconds; each copy logs
// through the default logger and ends with status 0, or the result is -1.
int64_t median_fork_ms(int forks) {
    std::vector<int64_t> took;
    for (int i = 0; i < forks; ++i) {
        const auto start = clock_type::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            lum_make_default_log()->error("from the copy");
            ::_exit(0);
        }
        took.push_back(std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count());
        int status = -1;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) return -1;
    }
    std::sort(took.begin(), took.end());
    return took[took.size() / 2];
}

// A listener that counts its calls.
class counting_listener : public lum_log_listener {
public:
    void on_error(const std::string&) override { logged.fetch_add(1); }
};

}  // namespace

// A thread cancelled (deferred) while it may wait at a gate is cancelled at
// its own cancellation point, never inside the module's wait: the process
// goes on.
TEST(ForkGate, AThreadCancelledBesideForksIsCancelledWhereItWouldBeWithoutTheGate) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a cancelled thread's unwinding";
#endif
    const int status = in_child(
        [] {
            lum_make_default_log();
            const forking_thread forks;
            for (int i = 0; i < 300; ++i) {
                pthread_t logger;
                if (::pthread_create(&logger, nullptr, log_until_cancelled, nullptr) != 0) return 2;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                ::pthread_cancel(logger);
                ::pthread_join(logger, nullptr);
            }
            return 0;
        },
        120);
    EXPECT_EQ(status, 0);
}

// Host fork handlers that log through the default logger in every step of a
// fork: the fork took the logger's lock for itself, and its own thread never
// waits for it.
TEST(ForkGate, HostForkHandlersLogInEveryStep) {
    const int status = in_child(
        [] {
            lum_make_default_log();
            host_handlers_log = true;
            for (int i = 0; i < 5; ++i) {
                const pid_t pid = ::fork();
                if (pid == 0) ::_exit(host_handlers_logged.load() == 2 * i + 2 ? 0 : 1);  // its prepare and copy steps
                int copy = -1;
                ::waitpid(pid, &copy, 0);
                if (copy != 0 || host_handlers_logged.load() != 2 * i + 2) return 1;
            }
            return 0;
        },
        60);
    EXPECT_EQ(status, 0);
}

namespace {

constinit lum_fork_hold crowded;

}  // namespace

// More threads inside one gate than it names: nobody waits for a place, and a
// fork still waits for every one of them; more forks at once than that, each
// passing its own gate.
TEST(ForkGate, MoreThreadsAndForksThanTheGateNames) {
    constexpr int inside = lum_fork_hold::tracked + 16;
    std::atomic<int> entered{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < inside; ++i)
        threads.emplace_back([&] {
            crowded.enter();
            ++entered;
            while (!leave.load()) std::this_thread::sleep_for(milliseconds(1));
            crowded.leave();
        });
    const auto start = clock_type::now();
    while (entered.load() != inside && clock_type::now() - start < std::chrono::seconds(20))
        std::this_thread::sleep_for(milliseconds(1));
    EXPECT_EQ(entered.load(), inside);
    // One more comes and goes at once (in a child: a thread that waits for a
    // place would wait there for good).
    EXPECT_EQ(in_child(
                  [] {
                      crowded.enter();
                      crowded.leave();
                      return 0;
                  },
                  10),
              0);

    std::thread leaver([&] {
        std::this_thread::sleep_for(milliseconds(200));
        leave = true;
    });
    const auto fork_start = clock_type::now();
    crowded.before_fork();
    const auto waited = clock_type::now() - fork_start;
    crowded.after_fork_in_parent();
    leaver.join();
    for (std::thread& t : threads) t.join();
    EXPECT_GE(waited, milliseconds(150));  // until the last of them left
    EXPECT_LT(waited, lum_fork_wait_bound);

    // Forks made at once by more threads than a few, each entering its gate.
    std::atomic<int> ready{0};
    std::vector<std::thread> forkers;
    const auto forks_start = clock_type::now();
    for (int i = 0; i < 24; ++i)
        forkers.emplace_back([&] {
            crowded.before_fork();
            ++ready;
            while (ready.load() != 24) std::this_thread::yield();
            crowded.enter();
            crowded.leave();
            crowded.after_fork_in_parent();
        });
    for (std::thread& t : forkers) t.join();
    EXPECT_LT(clock_type::now() - forks_start, milliseconds(1500));
}

namespace {

constinit lum_fork_hold first_gate, second_gate;

}  // namespace

// A fork waits for the threads inside its gates the bound in all, not the
// bound at each gate.
TEST(ForkGate, OneForkWaitsOneBoundForAllItsGates) {
    std::atomic<int> inside{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> holders;
    for (lum_fork_hold* gate : {&first_gate, &second_gate})
        holders.emplace_back([&, gate] {
            gate->enter();
            ++inside;
            while (!leave.load()) std::this_thread::sleep_for(milliseconds(1));
            gate->leave();
        });
    while (inside.load() != 2) std::this_thread::yield();
    const auto start = clock_type::now();
    first_gate.before_fork();
    second_gate.before_fork();
    const auto waited = clock_type::now() - start;
    second_gate.after_fork_in_parent();
    first_gate.after_fork_in_parent();
    leave = true;
    for (std::thread& t : holders) t.join();
    EXPECT_GE(waited, lum_fork_wait_bound - milliseconds(50));
    EXPECT_LT(waited, lum_fork_wait_bound + milliseconds(900));
}

// A host whose fork handlers take the default logger's lock around its forks,
// registered before the module's or after them: no fork waits for that lock,
// and the copies log.
TEST(ForkGate, HostHandlersThatTakeTheLoggersLockForkAtOnce) {
    const int before = in_child(
        [] {
            lum_make_default_log();
            host_takes_log_lock = true;
            const int64_t median = median_fork_ms(9);
            return median >= 0 && median < 250 ? 0 : 1;
        },
        60);
    EXPECT_EQ(before, 0) << "registered before the module";
    const int after = in_child(
        [] {
            lum_make_default_log();
            ::pthread_atfork([] { lum_make_default_log()->mutex.lock(); },
                             [] { lum_make_default_log()->mutex.unlock(); },
                             [] {
                                 // Still this thread's when the module's handlers have run.
                                 if (lum_make_default_log()->mutex.try_lock()) ::_exit(9);
                                 lum_make_default_log()->mutex.unlock();
                             });
            const int64_t median = median_fork_ms(9);
            return median >= 0 && median < 250 ? 0 : 1;
        },
        60);
    EXPECT_EQ(after, 0) << "registered after the module";
}

// A host handler, registered before the module's, that forks a copy of its
// own while the outer fork is being made (in its prepare or its parent step).
TEST(ForkGate, AHostHandlerThatForksDoesNotHoldUpTheOuterFork) {
    for (const nested_fork step : {nested_fork::in_prepare, nested_fork::in_parent}) {
        const int status = in_child(
            [step] {
                lum_make_default_log();
                host_forks_in = step;
                const int64_t median = median_fork_ms(9);
                return median >= 0 && median < 250 ? 0 : 1;
            },
            60);
        EXPECT_EQ(status, 0) << (step == nested_fork::in_prepare ? "in the prepare step" : "in the parent step");
    }
}

// While one thread forks, another logs without waiting for that fork: a host
// prepare handler that waits until the other thread has logged goes on at
// once.
TEST(ForkGate, LoggingNeverWaitsForAnotherThreadsFork) {
    const int status = in_child(
        [] {
            counting_listener listener;
            auto record = lum_host_add_listener(*lum_make_default_log(), &listener);
            std::atomic<bool> done{false};
            std::thread logger([&] {
                while (!done.load()) lum_make_default_log()->error("beside the fork");
            });
            host_waits_for_a_log = true;
            const int64_t median = median_fork_ms(5);
            host_waits_for_a_log = false;
            done = true;
            logger.join();
            lum_host_remove_listener(*lum_make_default_log(), record);
            return median >= 0 && host_waited_ms.load() < 1000 ? 0 : 1;
        },
        60);
    EXPECT_EQ(status, 0);
}

namespace {

// A listener that forks a copy on the text "fork". The copy logs through the
// same listener again and removes it, waiting for no call of the parent's
// threads; the dispatch it is inside then gives the listener's use back.
class forking_listener : public lum_log_listener {
public:
    void on_error(const std::string& text) override {
        if (text != "fork") return;
        if (const pid_t pid = ::fork(); pid == 0) {
            lum_log_base& log = *lum_make_default_log();
            log.error("in the copy");
            lum_host_remove_listener(log, record);
            in_copy = true;
        } else {
            int status = -1;
            copy_status = pid > 0 && ::waitpid(pid, &status, 0) == pid ? status : -1;
        }
    }
    std::shared_ptr<lum_log_listener_record> record;
    int copy_status = -1;
    bool in_copy = false;
};

// Holds its thread inside the call until told.
class blocking_listener : public lum_log_listener {
public:
    void on_error(const std::string& text) override {
        if (text != "block") return;
        entered = true;
        while (!go.load()) std::this_thread::sleep_for(milliseconds(1));
    }
    std::atomic<bool> entered{false}, go{false};
};

}  // namespace

// Copies forked while other threads dispatch through the default logger, some
// holding its lock or a listener's use: each copy logs, and removes the
// listener without waiting for calls of threads it does not have.
TEST(ForkLocks, ACopyLogsAndRemovesListenersThoughOtherThreadsWereDispatching) {
    const int status = in_child(
        [] {
            lum_log_base& log = *lum_make_default_log();
            counting_listener listener;
            auto record = lum_host_add_listener(log, &listener);
            std::atomic<bool> done{false};
            std::vector<std::thread> loggers;
            for (int i = 0; i < 4; ++i)
                loggers.emplace_back([&] {
                    while (!done.load()) lum_make_default_log()->error("beside the forks");
                });
            int failed = 0;
            std::vector<pid_t> copies;
            for (int i = 0; i < 200; ++i) {
                const pid_t pid = ::fork();
                if (pid == 0) {
                    lum_make_default_log()->error("in the copy");
                    lum_host_remove_listener(*lum_make_default_log(), record);
                    ::_exit(record->uses.load() == 0 ? 0 : 3);
                }
                copies.push_back(pid);
            }
            done = true;
            for (std::thread& t : loggers) t.join();
            const auto give_up = clock_type::now() + std::chrono::seconds(10);
            for (const pid_t pid : copies) {
                int copy = 0;
                while (::waitpid(pid, &copy, WNOHANG) == 0)
                    if (clock_type::now() < give_up) std::this_thread::sleep_for(milliseconds(1));
                    else ::kill(pid, SIGKILL);
                failed += copy != 0;
            }
            lum_host_remove_listener(log, record);
            return failed == 0 ? 0 : 1;
        },
        60);
    EXPECT_EQ(status, 0);
}

// A copy forked by a listener, inside its own thread's dispatch: it logs, and
// the listener's use count is its own call's.
TEST(ForkLocks, ACopyForkedInsideItsOwnListenerLogsAndRemovesIt) {
    const int status = in_child(
        [] {
            lum_log_base& log = *lum_make_default_log();
            // Another thread inside a listener's call, and a removal of that
            // listener waiting for it: neither is in the copy.
            blocking_listener blocker;
            auto blocked = lum_host_add_listener(log, &blocker);
            std::thread inside([&] { lum_make_default_log()->error("block"); });
            while (!blocker.entered.load()) std::this_thread::yield();
            std::thread remover([&] { lum_host_remove_listener(*lum_make_default_log(), blocked); });
            std::this_thread::sleep_for(milliseconds(50));
            forking_listener listener;
            listener.record = lum_host_add_listener(log, &listener);
            log.error("fork");
            if (listener.in_copy) ::_exit(listener.record->uses.load() == 0 ? 0 : 3);
            blocker.go = true;
            inside.join();
            remover.join();
            lum_host_remove_listener(log, listener.record);
            return listener.copy_status;
        },
        30);
    EXPECT_EQ(status, 0);
}

namespace {

constinit lum_fork_hold held_gate;

}  // namespace

// Forks made one after another by several threads while a thread stays inside
// a gate: each waits its own bound from its own start, none less.
TEST(ForkGate, EachForkWaitsItsOwnBound) {
    std::atomic<bool> inside{false}, leave{false};
    std::thread holder([&] {
        held_gate.enter();
        inside = true;
        while (!leave.load()) std::this_thread::sleep_for(milliseconds(1));
        held_gate.leave();
    });
    while (!inside.load()) std::this_thread::yield();
    constexpr int forks = 4;
    std::atomic<int64_t> waited[forks];
    std::vector<std::thread> forkers;
    for (int i = 0; i < forks; ++i)
        forkers.emplace_back([&, i] {
            std::this_thread::sleep_for(milliseconds(700) * i);
            const auto start = clock_type::now();
            held_gate.before_fork();
            waited[i] = std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count();
            held_gate.after_fork_in_parent();
        });
    for (std::thread& t : forkers) t.join();
    leave = true;
    holder.join();
    const int64_t bound = std::chrono::duration_cast<milliseconds>(lum_fork_wait_bound).count();
    for (int i = 0; i < forks; ++i) {
        EXPECT_GE(waited[i].load(), bound - 50) << "fork " << i;
        EXPECT_LT(waited[i].load(), bound + 900) << "fork " << i;
    }
}

namespace {

constinit lum_fork_hold closed_gate;

}  // namespace

// A host's prepare handler takes a lock of the host's while a thread that
// holds that lock comes to a gate the fork closed: the thread waits at the
// gate the bound at most, then goes in, gives the host's lock back, and the
// fork goes on.
TEST(ForkGate, AThreadAtAClosedGateGoesInAfterTheBound) {
    const int status = in_child(
        [] {
            std::mutex host_lock;
            std::atomic<int> step{0};
            std::thread holder([&] {
                const std::lock_guard<std::mutex> hold(host_lock);
                step = 1;
                while (step.load() != 2) std::this_thread::yield();
                closed_gate.enter();
                closed_gate.leave();
            });
            while (step.load() != 1) std::this_thread::yield();
            const auto start = clock_type::now();
            closed_gate.before_fork();
            step = 2;
            host_lock.lock();  // the host's prepare handler
            host_lock.unlock();
            closed_gate.after_fork_in_parent();
            holder.join();
            const auto took = clock_type::now() - start;
            const bool bounded = took >= lum_fork_wait_bound - milliseconds(50) && took < lum_fork_wait_bound + milliseconds(900);
            return bounded ? 0 : 1;
        },
        30);
    EXPECT_EQ(status, 0);
}
