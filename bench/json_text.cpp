// JSON text and binary throughput of "std.json" against plain nlohmann::json
// on the same generated document of about 10 MB (objects, arrays, numbers,
// strings, booleans, null).
//
//   parse   text -> container        / text -> nlohmann::json
//   print   container -> compact text / nlohmann::json -> compact text
//   binary  container -> "j11" bytes -> container
//
// The Google Benchmark cases time each operation on its own. The summary is
// the comparison: whole cycles (parse, compact print, release) after warm-up
// cycles, per-phase medians in MB/s of the text and the ratio std.json /
// nlohmann; measured once with each library in a fresh process (forked
// before anything else runs, so each meets only the heap its own cycles
// leave) and once in this process with the libraries taking turns. Then the
// binary round trip.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_vm.h"
#include "runtime/binary.h"
#include "runtime/log.h"
#include "runtime/value.h"
#include "types/json_object.h"
#include "types/json_text.h"

namespace {

// The generated document: an array of records with nested objects and arrays.
// `with_booleans` false writes the flag as 0/1: json.bool objects have no
// binary form, so the binary round trip uses that variant.
std::string generate(bool with_booleans) {
    {
        std::mt19937_64 rng(42);
        auto word = [&](size_t n) {
            std::string w;
            for (size_t i = 0; i < n; ++i) w += static_cast<char>('a' + rng() % 26);
            return w;
        };
        nlohmann::json root = nlohmann::json::array();
        std::string out;
        while (true) {
            nlohmann::json r;
            r["id"] = static_cast<int64_t>(rng() % 1000000000);
            r["name"] = word(8 + rng() % 16);
            r["score"] = static_cast<double>(rng() % 100000) / 7.0;
            const bool active = (rng() & 1) != 0;
            if (with_booleans)
                r["active"] = active;
            else
                r["active"] = active ? 1 : 0;
            r["note"] = nullptr;
            nlohmann::json tags = nlohmann::json::array();
            for (int i = 0; i < 4; ++i) tags.push_back(word(3 + rng() % 6));
            r["tags"] = std::move(tags);
            nlohmann::json pos;
            pos["x"] = static_cast<double>(rng() % 10000) / 100.0;
            pos["y"] = -static_cast<int64_t>(rng() % 5000);
            pos["samples"] = nlohmann::json::array({rng() % 100, rng() % 100, rng() % 100, rng() % 100});
            r["position"] = std::move(pos);
            r["description"] = word(20 + rng() % 40) + " " + word(10);
            root.push_back(std::move(r));
            if (root.size() % 1000 == 0) {
                out = root.dump();
                if (out.size() >= 10 * 1000 * 1000) break;
            }
        }
        return out;
    }
}

const std::string& document() {
    static const std::string text = generate(true);
    return text;
}

double mb(size_t bytes) { return static_cast<double>(bytes) / 1e6; }

// Thread CPU time: the machines that run this are shared, and waiting for a
// core is not the code's cost.
struct clock_type {
    using time_point = double;
    static time_point now() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};
double since(clock_type::time_point t0) { return clock_type::now() - t0; }

void nlohmann_parse(benchmark::State& state) {
    const std::string& text = document();
    for (auto _ : state) {
        nlohmann::json j = nlohmann::json::parse(text, nullptr, true, true);
        benchmark::DoNotOptimize(j);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void nlohmann_print(benchmark::State& state) {
    const std::string& text = document();
    const nlohmann::json j = nlohmann::json::parse(text);
    for (auto _ : state) {
        std::string out = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void stdjson_parse(benchmark::State& state) {
    const std::string& text = document();
    for (auto _ : state) {
        lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
        if (!v->json_container()->from_string(text, false)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(v);
        v.reset();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void stdjson_print(benchmark::State& state) {
    const std::string& text = document();
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    v->json_container()->from_string(text, false);
    for (auto _ : state) {
        std::string out;
        json_to_text(v->json_container(), out, true);
        benchmark::DoNotOptimize(out);
        if (out.size() != text.size()) state.SkipWithError("printed text differs in size");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

size_t binary_size = 0;

void stdjson_binary_round_trip(benchmark::State& state) {
    static const std::string text = generate(false);
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    v->json_container()->from_string(text, false);
    std::vector<uint8_t> bytes;
    for (auto _ : state) {
        bytes.clear();
        if (!v->json_container()->to_binary(bytes)) {
            state.SkipWithError("write failed");
            break;
        }
        lumvar_shared back = lumvar_shared::make_typed(LUMVAR_JSON);
        lum_binary_reader reader(bytes.data(), bytes.size());
        if (!back->json_container()->from_binary(reader)) {
            state.SkipWithError("read failed");
            break;
        }
        back.reset();
    }
    binary_size = bytes.size();
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()) * 2);
}

BENCHMARK(nlohmann_parse)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_parse)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(nlohmann_print)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_print)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_binary_round_trip)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// ---- steady-state summary ----
//
// One cycle of a library: parse the text, print it compactly, release the
// result. Timings are thread CPU time per phase.
struct cycle_times {
    double parse = 0, print = 0, release = 0;
    double total() const { return parse + print + release; }
};

cycle_times stdjson_cycle(const std::string& text) {
    cycle_times t;
    auto t0 = clock_type::now();
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    v->json_container()->from_string(text, false);
    t.parse = since(t0);
    t0 = clock_type::now();
    std::string out;
    json_to_text(v->json_container(), out, true);
    benchmark::DoNotOptimize(out);
    t.print = since(t0);
    t0 = clock_type::now();
    v.reset();
    t.release = since(t0);
    if (out.size() != text.size()) std::fprintf(stderr, "std.json printed %zu bytes, expected %zu\n", out.size(), text.size());
    return t;
}

cycle_times nlohmann_cycle(const std::string& text) {
    cycle_times t;
    auto t0 = clock_type::now();
    auto* j = new nlohmann::json(nlohmann::json::parse(text, nullptr, true, true));
    t.parse = since(t0);
    t0 = clock_type::now();
    std::string out = j->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    benchmark::DoNotOptimize(out);
    t.print = since(t0);
    t0 = clock_type::now();
    delete j;
    t.release = since(t0);
    return t;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Per-phase medians over the measured cycles (the warm-up cycles bring the
// pools and the heap into the state a long-running process keeps).
struct steady_figures {
    cycle_times median;
    double total_median = 0;
    int cycles = 0;
};

constexpr int warm_up_cycles = 3;
constexpr int measured_cycles = 9;

steady_figures collect(const std::vector<cycle_times>& runs) {
    steady_figures f;
    std::vector<double> p, q, r, t;
    for (size_t i = warm_up_cycles; i < runs.size(); ++i) {
        p.push_back(runs[i].parse);
        q.push_back(runs[i].print);
        r.push_back(runs[i].release);
        t.push_back(runs[i].total());
    }
    f.median = {median(p), median(q), median(r)};
    f.total_median = median(t);
    f.cycles = static_cast<int>(p.size());
    return f;
}

// Runs the cycles of one library in a child process, so that each library
// starts from the same heap (the parent's, forked) and meets only the state
// its own earlier cycles left. False when the child failed.
bool steady_in_fresh_process(bool stdjson, const std::string& text, steady_figures& out) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fds[0]);
        steady_figures f;
        {
            lum_host_vm host;  // cells and containers come from the VM's pools, as in scripts
            std::vector<cycle_times> runs;
            for (int i = 0; i < warm_up_cycles + measured_cycles; ++i)
                runs.push_back(stdjson ? stdjson_cycle(text) : nlohmann_cycle(text));
            f = collect(runs);
        }
        const bool ok = write(fds[1], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    const bool ok = read(fds[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

steady_figures fresh_stdjson, fresh_nlohmann;
bool fresh_ok = false;

// Before anything else touches the heap: each library in its own process.
void steady_state_in_fresh_processes() {
    const std::string& text = document();
    fresh_ok = steady_in_fresh_process(true, text, fresh_stdjson) &&
               steady_in_fresh_process(false, text, fresh_nlohmann);
}

void print_comparison(const char* title, const steady_figures& ours, const steady_figures& theirs, double size) {
    auto rate = [&](double seconds) { return seconds > 0 ? size / seconds : 0.0; };
    auto row = [&](const char* label, double a, double b) {
        std::printf("  %-24s %7.1f MB/s %7.1f MB/s %7.2fx\n", label, rate(a), rate(b), a > 0 ? b / a : 0.0);
    };
    std::printf("%s\n  %-24s %12s %12s %8s\n", title, "median of cycles", "std.json", "nlohmann", "ratio");
    row("parse", ours.median.parse, theirs.median.parse);
    row("print (compact)", ours.median.print, theirs.median.print);
    row("release", ours.median.release, theirs.median.release);
    row("parse+print+release", ours.total_median, theirs.total_median);
}

// Afterwards, in this process: the libraries take turns cycle by cycle, so
// both see the heap the other leaves; then the binary round trip.
void summary() {
    const std::string& text = document();
    static const std::string flat = generate(false);
    const double size = mb(text.size());
    std::printf("\ndocument: %.2f MB of JSON text; thread CPU time; %d warm-up + %d measured cycles "
                "(parse, compact print, release)\n",
                size, warm_up_cycles, measured_cycles);
    if (fresh_ok)
        print_comparison("steady state, each library in a fresh process:", fresh_stdjson, fresh_nlohmann, size);
    else
        std::printf("steady state in fresh processes: not measured (fork failed)\n");

    std::vector<cycle_times> ours, theirs;
    for (int i = 0; i < warm_up_cycles + measured_cycles; ++i) {
        ours.push_back(stdjson_cycle(text));
        theirs.push_back(nlohmann_cycle(text));
    }
    print_comparison("steady state, one process, alternating cycles:", collect(ours), collect(theirs), size);

    lumvar_shared flat_value = lumvar_shared::make_typed(LUMVAR_JSON);
    flat_value->json_container()->from_string(flat, false);
    std::vector<uint8_t> bytes;
    std::vector<double> writes, reads;
    for (int round = 0; round < warm_up_cycles + measured_cycles; ++round) {
        bytes.clear();
        auto t0 = clock_type::now();
        flat_value->json_container()->to_binary(bytes);
        const double w = since(t0);
        t0 = clock_type::now();
        {
            lumvar_shared back = lumvar_shared::make_typed(LUMVAR_JSON);
            lum_binary_reader reader(bytes.data(), bytes.size());
            back->json_container()->from_binary(reader);
        }
        const double r = since(t0);
        if (round >= warm_up_cycles) {
            writes.push_back(w);
            reads.push_back(r);
        }
    }
    binary_size = bytes.size();
    const double bsize = mb(binary_size);
    std::printf("binary form (%.2f MB, median of cycles)\n", bsize);
    std::printf("  %-24s %7.1f MB/s\n", "write", bsize / median(writes));
    std::printf("  %-24s %7.1f MB/s (including release)\n", "read", bsize / median(reads));
}

}  // namespace

int main(int argc, char** argv) {
    document();
    steady_state_in_fresh_processes();
    lum_host_vm host;  // cells and containers come from the VM's pools, as in scripts
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}
