// JSON text and binary throughput of "std.json" against plain nlohmann::json
// on the same generated document of about 10 MB (objects, arrays, numbers,
// strings, booleans, null).
//
//   parse   text -> container        / text -> nlohmann::json
//   print   container -> compact text / nlohmann::json -> compact text
//   binary  container -> "j11" bytes -> container
//
// After the Google Benchmark runs, a summary prints MB/s (of the text size)
// and the ratio std.json / nlohmann for parse, print and parse+print.
#include <benchmark/benchmark.h>

#include <chrono>
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
void record(const std::string& name, double seconds, int64_t iterations) {
    const double per = seconds / static_cast<double>(iterations);
    auto it = timings().find(name);
    if (it == timings().end() || per < it->second) timings()[name] = per;
}

using clock_type = std::chrono::steady_clock;
double since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

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

void summary() {
    const double size = mb(document().size());
    auto& t = timings();
    auto rate = [&](double seconds) { return seconds > 0 ? size / seconds : 0.0; };
    std::printf("\ndocument: %.2f MB of JSON text, binary form %.2f MB\n", size, mb(binary_size));
    std::printf("%-22s %12s %12s %8s\n", "", "std.json", "nlohmann", "ratio");
    auto row = [&](const char* label, double ours, double theirs) {
        std::printf("%-22s %9.1f MB/s %7.1f MB/s %7.2fx\n", label, rate(ours), rate(theirs),
                    theirs > 0 && ours > 0 ? theirs / ours : 0.0);
    };
    row("parse", t["std.json parse"], t["nlohmann parse"]);
    row("print (compact)", t["std.json print"], t["nlohmann print"]);
    row("parse+print", t["std.json parse"] + t["std.json print"], t["nlohmann parse"] + t["nlohmann print"]);
    std::printf("%-22s %9.1f MB/s (of the binary form)\n", "binary write", binary_size / 1e6 / t["binary write"]);
    std::printf("%-22s %9.1f MB/s (of the binary form)\n", "binary read", binary_size / 1e6 / t["binary read"]);
    std::printf("%-22s %9.1f MB/s (text-equivalent)\n", "binary write+read",
                rate(t["binary write"] + t["binary read"]));
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
