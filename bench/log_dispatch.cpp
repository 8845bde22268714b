// The logger's dispatch from 8 threads at once, through the process default
// logger (whose lock a fork waits for: each message enters its fork gate)
// against a logger of its own (the same dispatch without the gate), with no
// listener and with one counting listener. The ratios, measured in the same
// run, say what the gate costs: the default logger's throughput as a share
// of the plain logger's.
#include <atomic>
#include <cstdio>
#include <string>

#include "bench/ratio_reporter.h"
#include "host/host_log.h"
#include "runtime/log.h"

namespace {

constexpr int kThreads = 8;

class counting_listener : public lum_log_listener {
public:
    void on_error(const std::string&) override { count.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> count{0};
};

lum_log_base* plain_log() {
    static lum_log_base* const log = new lum_log_base();
    return log;
}

void run(benchmark::State& state, lum_log_base* log, bool listening) {
    static counting_listener listener;
    static std::shared_ptr<lum_log_listener_record> record;
    if (state.thread_index() == 0 && listening) record = lum_host_add_listener(*log, &listener);
    for (auto _ : state) log->error("message");
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0 && listening) {
        lum_host_remove_listener(*log, record);
        record.reset();
    }
}

void BM_default_log_no_listener(benchmark::State& state) { run(state, lum_make_default_log(), false); }
void BM_plain_log_no_listener(benchmark::State& state) { run(state, plain_log(), false); }
void BM_default_log_one_listener(benchmark::State& state) { run(state, lum_make_default_log(), true); }
void BM_plain_log_one_listener(benchmark::State& state) { run(state, plain_log(), true); }
BENCHMARK(BM_plain_log_no_listener)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_default_log_no_listener)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_plain_log_one_listener)->Threads(kThreads)->UseRealTime();
BENCHMARK(BM_default_log_one_listener)->Threads(kThreads)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ratio_reporter reporter;
    run_benchmarks(argc, argv, reporter);
    std::printf("\nThe default logger's throughput as a share of a plain logger's (same run, fastest\n"
                "repetition of each):\n");
    print_ratio(reporter, "no listener, 8 threads", "BM_plain_log_no_listener/real_time/threads:8",
                "BM_default_log_no_listener/real_time/threads:8", 0.8);
    print_ratio(reporter, "one counting listener, 8 threads", "BM_plain_log_one_listener/real_time/threads:8",
                "BM_default_log_one_listener/real_time/threads:8", 0.8);
    return 0;
}
