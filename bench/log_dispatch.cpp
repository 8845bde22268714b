// The default logger's dispatch from 8 threads at once, with no listener, with
// one counting listener, and with that listener beside 8 threads that fork in
// a loop (a job runner that starts helpers with fork and exec; the copies end
// at once and never log), as fast as they can and paced to 500 forks a
// second in all (so that builds whose forks cost more or less compare at one
// rate of forks).
//
// Each repetition runs every logging thread, and every forking thread, for
// one fixed window, and counts all messages logged in it: the throughput a
// host sees. (Google Benchmark's threaded runs give each thread the same
// number of iterations and average the threads' times, so a thread that the
// others starve finishes late and the rest run alone: that measures fairness
// more than throughput.) Each log call is timed: the longest call of each
// benchmark is printed after the run, and so is the throughput beside the
// forks as a share of the throughput without them, measured in the same run.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "host/host_log.h"
#include "runtime/log.h"

namespace {

constexpr int kLoggers = 8;
constexpr int kForkers = 8;
constexpr auto kWindow = std::chrono::seconds(1);

using clock_type = std::chrono::steady_clock;

class counting_listener : public lum_log_listener {
public:
    void on_error(const std::string&) override { count.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> count{0};
};

// What one window measured.
struct window_result {
    double messages_per_second = 0;
    double longest_ms = 0;
    double forks_per_second = 0;
};

// `forks_per_second`: -1 for no forks, 0 for as many as the forking threads make.
window_result run_window(bool listening, int forks_per_second) {
    static counting_listener listener;
    lum_log_base* const log = lum_make_default_log();
    std::shared_ptr<lum_log_listener_record> record;
    if (listening) record = lum_host_add_listener(*log, &listener);

    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> forks{0};
    std::atomic<int64_t> longest_ns{0};
    std::vector<std::thread> threads;

    const int forkers = forks_per_second >= 0 ? kForkers : 0;
    const auto gap = forks_per_second > 0 ? std::chrono::microseconds(1000000LL * kForkers / forks_per_second)
                                          : std::chrono::microseconds(0);
    for (int i = 0; i < forkers; ++i)
        threads.emplace_back([&] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (auto next = clock_type::now(); !done.load(std::memory_order_relaxed); next += gap) {
                std::this_thread::sleep_until(next);
                if (const pid_t pid = ::fork(); pid == 0) ::_exit(0);
                else if (pid > 0) {
                    ::waitpid(pid, nullptr, 0);
                    forks.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    for (int i = 0; i < kLoggers; ++i)
        threads.emplace_back([&] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            uint64_t count = 0;
            clock_type::duration longest{};
            while (!done.load(std::memory_order_relaxed)) {
                const auto start = clock_type::now();
                log->error("message");
                longest = std::max(longest, clock_type::now() - start);
                ++count;
            }
            messages.fetch_add(count, std::memory_order_relaxed);
            const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(longest).count();
            for (int64_t seen = longest_ns.load(); ns > seen && !longest_ns.compare_exchange_weak(seen, ns);) {
            }
        });

    const auto start = clock_type::now();
    go.store(true, std::memory_order_release);
    std::this_thread::sleep_for(kWindow);
    done.store(true, std::memory_order_relaxed);
    for (std::thread& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();

    if (listening) lum_host_remove_listener(*log, record);
    return {static_cast<double>(messages.load()) / seconds, static_cast<double>(longest_ns.load()) / 1e6,
            static_cast<double>(forks.load()) / seconds};
}

std::map<std::string, double> best_rate;    // each benchmark's most messages a second, over its repetitions
std::map<std::string, double> longest_ms;   // each benchmark's longest log call, over its repetitions
std::map<std::string, double> fork_rate;    // the forks made a second beside each benchmark's last repetition

void run(benchmark::State& state, const char* name, bool listening, int forks_per_second) {
    window_result result;
    for (auto _ : state) {
        result = run_window(listening, forks_per_second);
        state.SetIterationTime(std::chrono::duration<double>(kWindow).count());
    }
    state.counters["msgs/s"] = result.messages_per_second;
    state.counters["longest_ms"] = result.longest_ms;
    best_rate[name] = std::max(best_rate[name], result.messages_per_second);
    longest_ms[name] = std::max(longest_ms[name], result.longest_ms);
    if (forks_per_second >= 0) {
        state.counters["forks/s"] = result.forks_per_second;
        fork_rate[name] = result.forks_per_second;
    }
}

void BM_log_no_listener(benchmark::State& state) { run(state, "no listener", false, -1); }
void BM_log_one_listener(benchmark::State& state) { run(state, "one listener", true, -1); }
void BM_log_one_listener_beside_forks(benchmark::State& state) { run(state, "one listener beside forks", true, 0); }
void BM_log_one_listener_beside_500_forks(benchmark::State& state) {
    run(state, "one listener beside 500 forks/s", true, 500);
}
BENCHMARK(BM_log_no_listener)->Iterations(1)->UseManualTime();
BENCHMARK(BM_log_one_listener)->Iterations(1)->UseManualTime();
BENCHMARK(BM_log_one_listener_beside_forks)->Iterations(1)->UseManualTime();
BENCHMARK(BM_log_one_listener_beside_500_forks)->Iterations(1)->UseManualTime();

void print_share(const char* label, const char* without, const char* beside, double target) {
    if (!best_rate.count(without) || !best_rate.count(beside) || best_rate[without] <= 0) return;
    const double share = best_rate[beside] / best_rate[without];
    std::printf("%-46s %6.2fx  (target >= %.2fx: %s)\n", label, share, target, share >= target ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    ratio_reporter reporter;
    run_benchmarks(argc, argv, reporter);
    std::printf("\n%d threads logging for %lld ms a repetition; the most messages a second of each benchmark:\n",
                kLoggers, static_cast<long long>(std::chrono::milliseconds(kWindow).count()));
    for (const auto& [name, rate] : best_rate) std::printf("%-46s %8.2fM\n", name.c_str(), rate / 1e6);
    std::printf("\nThe longest log call of each benchmark, over its repetitions:\n");
    for (const auto& [name, ms] : longest_ms) std::printf("%-46s %8.2f ms\n", name.c_str(), ms);
    std::printf("\nForks made a second beside the loggers:\n");
    for (const auto& [name, rate] : fork_rate) std::printf("%-46s %8.0f\n", name.c_str(), rate);
    std::printf("\nThe throughput beside %d forking threads as a share of the throughput without\n"
                "them (same run, best repetition of each):\n",
                kForkers);
    print_share("one counting listener, 8 threads", "one listener", "one listener beside forks", 0.5);
    print_share("the same, beside 500 forks a second", "one listener", "one listener beside 500 forks/s", 0.5);
    return 0;
}
