// JSON text and binary throughput of "std.json" against plain nlohmann::json
// on the same generated document of about 10 MB (objects, arrays, numbers,
// strings, booleans, null).
//
//   parse   text -> container        / text -> nlohmann::json
//   print   container -> compact text / nlohmann::json -> compact text
//   binary  container -> "j11" bytes -> container
//
// After the Google Benchmark runs, a summary measures all operations in the
// same interleaved rounds and prints MB/s (of the text size) and the ratio
// std.json / nlohmann for parse, print and parse+print.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <map>
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

// Seconds per iteration measured inside each benchmark (best run kept).
std::map<std::string, double>& timings() {
    static std::map<std::string, double> t;
    return t;
}
std::map<std::string, double>& totals() {
    static std::map<std::string, double> t;
    return t;
}
void record(const std::string& name, double seconds, int64_t iterations) {
    const double per = seconds / static_cast<double>(iterations);
    auto it = timings().find(name);
    if (it == timings().end() || per < it->second) timings()[name] = per;
    totals()[name] += seconds;
}

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
    double total = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        nlohmann::json j = nlohmann::json::parse(text, nullptr, true, true);
        benchmark::DoNotOptimize(j);
        total += since(t0);  // includes destroying the document, as the container's run does
    }
    record("nlohmann parse", total, state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void nlohmann_print(benchmark::State& state) {
    const std::string& text = document();
    const nlohmann::json j = nlohmann::json::parse(text);
    double total = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        std::string out = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        benchmark::DoNotOptimize(out);
        total += since(t0);
    }
    record("nlohmann print", total, state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void stdjson_parse(benchmark::State& state) {
    const std::string& text = document();
    double total = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
        if (!v->json_container()->from_string(text, false)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(v);
        v.reset();
        total += since(t0);
    }
    record("std.json parse", total, state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void stdjson_print(benchmark::State& state) {
    const std::string& text = document();
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    v->json_container()->from_string(text, false);
    double total = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        std::string out;
        json_to_text(v->json_container(), out, true);
        benchmark::DoNotOptimize(out);
        total += since(t0);
        if (out.size() != text.size()) state.SkipWithError("printed text differs in size");
    }
    record("std.json print", total, state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

size_t binary_size = 0;

void stdjson_binary_round_trip(benchmark::State& state) {
    static const std::string text = generate(false);
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    v->json_container()->from_string(text, false);
    double write_total = 0, read_total = 0;
    std::vector<uint8_t> bytes;
    for (auto _ : state) {
        bytes.clear();
        auto t0 = clock_type::now();
        if (!v->json_container()->to_binary(bytes)) {
            state.SkipWithError("write failed");
            break;
        }
        write_total += since(t0);
        t0 = clock_type::now();
        lumvar_shared back = lumvar_shared::make_typed(LUMVAR_JSON);
        lum_binary_reader reader(bytes.data(), bytes.size());
        if (!back->json_container()->from_binary(reader)) {
            state.SkipWithError("read failed");
            break;
        }
        back.reset();
        read_total += since(t0);
    }
    binary_size = bytes.size();
    record("binary write", write_total, state.iterations());
    record("binary read", read_total, state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()) * 2);
}

BENCHMARK(nlohmann_parse)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_parse)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(nlohmann_print)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_print)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(stdjson_binary_round_trip)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The summary measures every operation once per round, all in the same
// rounds, so both libraries see the same heap state; the best round counts.
void summary() {
    const std::string& text = document();
    static const std::string flat = generate(false);
    auto& t = timings();
    t.clear();
    totals().clear();
    constexpr int rounds = 7;
    const nlohmann::json reference = nlohmann::json::parse(text);
    lumvar_shared printed = lumvar_shared::make_typed(LUMVAR_JSON);
    printed->json_container()->from_string(text, false);
    lumvar_shared flat_value = lumvar_shared::make_typed(LUMVAR_JSON);
    flat_value->json_container()->from_string(flat, false);
    std::vector<uint8_t> bytes;
    for (int round = 0; round < rounds; ++round) {
        auto t0 = clock_type::now();
        {
            nlohmann::json j = nlohmann::json::parse(text, nullptr, true, true);
            benchmark::DoNotOptimize(j);
        }
        record("nlohmann parse", since(t0), 1);
        t0 = clock_type::now();
        {
            lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
            v->json_container()->from_string(text, false);
            benchmark::DoNotOptimize(v);
        }
        record("std.json parse", since(t0), 1);
        t0 = clock_type::now();
        {
            std::string out = reference.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            benchmark::DoNotOptimize(out);
        }
        record("nlohmann print", since(t0), 1);
        t0 = clock_type::now();
        {
            std::string out;
            json_to_text(printed->json_container(), out, true);
            benchmark::DoNotOptimize(out);
        }
        record("std.json print", since(t0), 1);
        bytes.clear();
        t0 = clock_type::now();
        flat_value->json_container()->to_binary(bytes);
        record("binary write", since(t0), 1);
        t0 = clock_type::now();
        {
            lumvar_shared back = lumvar_shared::make_typed(LUMVAR_JSON);
            lum_binary_reader reader(bytes.data(), bytes.size());
            back->json_container()->from_binary(reader);
        }
        record("binary read", since(t0), 1);
    }
    binary_size = bytes.size();

    const double size = mb(text.size());
    auto rate = [&](double seconds) { return seconds > 0 ? size / seconds : 0.0; };
    std::printf("\ndocument: %.2f MB of JSON text, binary form %.2f MB; %d interleaved rounds, thread CPU time\n",
                size, mb(binary_size), rounds);
    std::printf("%-22s %12s %12s %8s   %s\n", "best round", "std.json", "nlohmann", "ratio", "(mean ratio)");
    auto& m = totals();
    auto row = [&](const char* label, double ours, double theirs, double ours_mean, double theirs_mean) {
        std::printf("%-22s %7.1f MB/s %7.1f MB/s %7.2fx   (%.2fx)\n", label, rate(ours), rate(theirs),
                    theirs > 0 && ours > 0 ? theirs / ours : 0.0,
                    theirs_mean > 0 && ours_mean > 0 ? theirs_mean / ours_mean : 0.0);
    };
    row("parse", t["std.json parse"], t["nlohmann parse"], m["std.json parse"], m["nlohmann parse"]);
    row("print (compact)", t["std.json print"], t["nlohmann print"], m["std.json print"], m["nlohmann print"]);
    row("parse+print", t["std.json parse"] + t["std.json print"], t["nlohmann parse"] + t["nlohmann print"],
        m["std.json parse"] + m["std.json print"], m["nlohmann parse"] + m["nlohmann print"]);
    std::printf("%-22s %7.1f MB/s (of the binary form)\n", "binary write", mb(binary_size) / t["binary write"]);
    std::printf("%-22s %7.1f MB/s (of the binary form)\n", "binary read", mb(binary_size) / t["binary read"]);
    std::printf("%-22s %7.1f MB/s (of the binary form)\n", "binary write+read",
                mb(binary_size) / (t["binary write"] + t["binary read"]));
}

}  // namespace

int main(int argc, char** argv) {
    lum_host_vm host;  // cells and containers come from the VM's pools, as in scripts
    document();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}
