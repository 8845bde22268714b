// The ratios a benchmark program prints after its run: each benchmark's
// fastest repetition, compared with another's measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Keeps each benchmark's time per iteration for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type == Run::RT_Aggregate) continue;
            // The fastest repetition: the least disturbed by other load.
            // Benchmarks timed in real time (their names end in /real_time)
            // compare real time, the others CPU time (preemption by other
            // processes is not theirs).
            const std::string name = run.run_name.str();
            bool real = name.find("/real_time") != std::string::npos;
            double t = real ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            if (!times.count(name) || t < times[name]) times[name] = t;
            auto it = run.counters.find("allocs/op");
            if (it != run.counters.end()) allocs[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
    std::map<std::string, double> allocs;
};

inline void print_ratio(ratio_reporter& r, const char* label, const std::string& slow, const std::string& fast,
                        double target) {
    if (!r.times.count(slow) || !r.times.count(fast)) return;
    double ratio = r.times[slow] / r.times[fast];
    std::printf("%-46s %6.2fx  (target >= %.2fx: %s)\n", label, ratio, target, ratio >= target ? "met" : "NOT met");
}


// Runs the benchmarks the command line selects into `reporter`, five
// repetitions of each unless the command line says otherwise (the ratios use
// the fastest).
inline void run_benchmarks(int argc, char** argv, ratio_reporter& reporter) {
    std::vector<char*> args(argv, argv + argc);
    bool repetitions_given = false;
    for (char* a : args) repetitions_given |= std::string(a).rfind("--benchmark_repetitions", 0) == 0;
    static char default_repetitions[] = "--benchmark_repetitions=5";
    if (!repetitions_given) args.push_back(default_repetitions);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
}
