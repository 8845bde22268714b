// The default logger's dispatch from 8 threads at once, with no listener, with
// one counting listener, and with that listener beside 8 threads that fork in
// a loop (a job runner that starts helpers with fork and exec; the copies end
// at once and never log), as fast as they can and paced to 500 forks a
// second in all (so that builds whose forks cost more or less compare at one
// rate of forks). Each log call is timed: the longest call of each
// benchmark is printed after the run, and so is the throughput beside the
// forks as a share of the throughput without them, measured in the same run.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "host/host_log.h"
#include "runtime/log.h"

namespace {

constexpr int kThreads = 8;
constexpr int kForkers = 8;

class counting_listener : public lum_log_listener {
public:
    void on_error(const std::string&) override { count.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> count{0};
};

// Threads that fork until stopped; each copy ends at once.
class forking_threads {
public:
    std::atomic<uint64_t> made{0};

    // `per_second`: forks a second in all, 0 for as many as they can make.
    void start(int per_second) {
        started_ = std::chrono::steady_clock::now();
        made = 0;
        done_ = false;
        const auto gap = per_second > 0 ? std::chrono::microseconds(1000000LL * kForkers / per_second)
                                         : std::chrono::microseconds(0);
        for (int i = 0; i < kForkers; ++i)
            threads_.emplace_back([this, gap] {
                for (auto next = std::chrono::steady_clock::now(); !done_.load(std::memory_order_relaxed);
                     next += gap) {
                    std::this_thread::sleep_until(next);
                    if (const pid_t pid = ::fork(); pid == 0) ::_exit(0);
                    else if (pid > 0) {
                        ::waitpid(pid, nullptr, 0);
                        made.fetch_add(1, std::memory_order_relaxed);
                    }
                }
            });
    }
    // Stops them; the forks they made a second.
    double stop() {
        done_ = true;
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        return static_cast<double>(made.load()) /
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

private:
    std::atomic<bool> done_{false};
    std::vector<std::thread> threads_;
    std::chrono::steady_clock::time_point started_;
};
forking_threads forks;

std::mutex longest_mutex;
std::map<std::string, double> longest_ms;  // each benchmark's longest log call, over its repetitions
std::map<std::string, double> fork_rate;   // the forks made a second beside each benchmark's last repetition

// `forks_per_second`: -1 for no forks, 0 for as many as the forking threads make.
void run(benchmark::State& state, const char* name, bool listening, int forks_per_second) {
    static counting_listener listener;
    static std::shared_ptr<lum_log_listener_record> record;
    lum_log_base* const log = lum_make_default_log();
    if (state.thread_index() == 0) {
        if (listening) record = lum_host_add_listener(*log, &listener);
        if (forks_per_second >= 0) forks.start(forks_per_second);
    }
    std::chrono::steady_clock::duration longest{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        log->error("message");
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
    }
    state.SetItemsProcessed(state.iterations());
    {
        const std::lock_guard<std::mutex> lock(longest_mutex);
        double& ms = longest_ms[name];
        ms = std::max(ms, std::chrono::duration<double, std::milli>(longest).count());
    }
    if (state.thread_index() == 0) {
        if (forks_per_second >= 0) {
            const double rate = forks.stop();
            const std::lock_guard<std::mutex> lock(longest_mutex);
            fork_rate[name] = rate;
        }
        if (listening) {
            lum_host_remove_listener(*log, record);
            record.reset();
        }
    }
}

void BM_log_no_listener(benchmark::State& state) { run(state, "no listener", false, -1); }
void BM_log_one_listener(benchmark::State& state) { run(state, "one listener", true, -1); }
void BM_log_one_listener_beside_forks(benchmark::State& state) { run(state, "one listener beside forks", true, 0); }
void BM_log_one_listener_beside_500_forks(benchmark::State& state) {
    run(state, "one listener beside 500 forks/s", true, 500);
}
BENCHMARK(BM_log_no_listener)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_log_one_listener)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_log_one_listener_beside_forks)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_log_one_listener_beside_500_forks)->Threads(kThreads)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ratio_reporter reporter;
    run_benchmarks(argc, argv, reporter);
    std::printf("\nThe longest log call of each benchmark, over its repetitions:\n");
    for (const auto& [name, ms] : longest_ms) std::printf("%-46s %8.2f ms\n", name.c_str(), ms);
    std::printf("\nForks made a second beside the loggers:\n");
    for (const auto& [name, rate] : fork_rate) std::printf("%-46s %8.0f\n", name.c_str(), rate);
    std::printf("\nThe throughput beside %d forking threads as a share of the throughput without\n"
                "them (same run, fastest repetition of each):\n",
                kForkers);
    print_ratio(reporter, "one counting listener, 8 threads", "BM_log_one_listener/real_time/threads:8",
                "BM_log_one_listener_beside_forks/real_time/threads:8", 0.5);
    print_ratio(reporter, "the same, beside 500 forks a second", "BM_log_one_listener/real_time/threads:8",
                "BM_log_one_listener_beside_500_forks/real_time/threads:8", 0.5);
    return 0;
}
