// The regex engine against std::regex (ECMAScript) on the same patterns and
// inputs, in the same run: literal search, character classes, alternation,
// back-references, whole-text matching, replacing and compiling. The ratios
// at the end are std::regex time / engine time (> 1: the engine is faster).
// Pathological cases run on the engine only (std::regex exhausts the stack or
// runs for hours on them): they must end with their budget error quickly.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "types/regex_engine.h"
#include "types/regex_service.h"
#include "types/regex_text.h"

namespace {

// Deterministic text of words, numbers and punctuation.
std::string make_text(size_t size, uint32_t seed) {
    static const char* words[] = {"alpha", "beta", "gamma", "delta", "cat", "dog", "bird", "lorem", "ipsum",
                                  "dolor", "sit", "amet", "the", "quick", "brown", "fox", "jumps", "over"};
    std::string out;
    uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1664525u + 1013904223u;
        const uint32_t r = x >> 8;
        switch (r % 11) {
            case 0:
                out += std::to_string(r % 100000);
                break;
            case 1:
                out += "user" + std::to_string(r % 97) + "@host" + std::to_string(r % 13) + ".com";
                break;
            case 2:
                out += std::to_string(r % 1000) + "-" + std::to_string(r % 777);
                break;
            default:
                out += words[r % (sizeof(words) / sizeof(words[0]))];
        }
        out += (r % 7 == 0) ? ", " : " ";
        if (r % 53 == 0) out += std::string(words[r % 5]) + " " + words[r % 5] + " ";  // doubled word
    }
    out.resize(size);
    return out;
}

const std::string& text16k() {
    static const std::string t = make_text(16384, 7);
    return t;
}

const std::string& text256k() {
    static std::string t = make_text(262144 - 16, 11) + "needle in here";
    return t;
}

struct bench_case {
    const char* name;
    const char* pattern;
    const std::string& (*text)();
};

const bench_case cases[] = {
    {"literal", "needle", text256k},
    {"classes", "[A-Za-z]+[0-9]+", text16k},
    {"email", "\\w+@\\w+\\.com", text16k},
    {"alternation", "cat|dog|bird|fox", text16k},
    {"backref", "\\b(\\w+)\\s+\\1\\b", text16k},
    {"numbers", "(\\d+)-(\\d+)", text16k},
};

// findall with the engine: every match of the walk.
void engine_findall(benchmark::State& state, const bench_case& c) {
    const lum_regex re(c.pattern);
    const std::string& text = c.text();
    size_t matches = 0;
    for (auto _ : state) {
        lum_regex_matcher m(re);
        matches = 0;
        lum_regex_each_match(m, text, [&](size_t, size_t) { ++matches; });
        benchmark::DoNotOptimize(matches);
    }
    state.counters["matches"] = static_cast<double>(matches);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void std_findall(benchmark::State& state, const bench_case& c) {
    const std::regex re(c.pattern, std::regex::ECMAScript);
    const std::string& text = c.text();
    size_t matches = 0;
    for (auto _ : state) {
        matches = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) ++matches;
        benchmark::DoNotOptimize(matches);
    }
    state.counters["matches"] = static_cast<double>(matches);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

const char* email_pattern = "[a-z0-9._%+-]+@[a-z0-9.-]+\\.[a-z]{2,}";
const std::string email_input = "first.last+tag@mail.example-host.org";

void BM_engine_full_match(benchmark::State& state) {
    const lum_regex re(email_pattern);
    for (auto _ : state) {
        lum_regex_matcher m(re);
        benchmark::DoNotOptimize(m.match_full(email_input));
    }
}
BENCHMARK(BM_engine_full_match);

void BM_std_full_match(benchmark::State& state) {
    const std::regex re(email_pattern, std::regex::ECMAScript);
    for (auto _ : state) benchmark::DoNotOptimize(std::regex_match(email_input, re));
}
BENCHMARK(BM_std_full_match);

void BM_engine_replace(benchmark::State& state) {
    const lum_regex re("(\\d+)-(\\d+)");
    for (auto _ : state) {
        lum_regex_matcher m(re);
        benchmark::DoNotOptimize(lum_regex_replace_text(m, text16k(), "$2-$1"));
    }
}
BENCHMARK(BM_engine_replace);

void BM_std_replace(benchmark::State& state) {
    const std::regex re("(\\d+)-(\\d+)", std::regex::ECMAScript);
    for (auto _ : state) benchmark::DoNotOptimize(std::regex_replace(text16k(), re, "$2-$1"));
}
BENCHMARK(BM_std_replace);

const char* compile_pattern = "^(?:[a-z]+|\\d{2,4})(?:-(\\w+)){1,3}\\s*(?:cat|dog|bird)?$";

void BM_engine_compile(benchmark::State& state) {
    for (auto _ : state) {
        lum_regex re(compile_pattern);
        benchmark::DoNotOptimize(re.group_count());
    }
}
BENCHMARK(BM_engine_compile);

void BM_std_compile(benchmark::State& state) {
    for (auto _ : state) {
        std::regex re(compile_pattern, std::regex::ECMAScript);
        benchmark::DoNotOptimize(re.mark_count());
    }
}
BENCHMARK(BM_std_compile);

// Seconds until the engine gives up (or finishes) on a hostile case.
struct hostile_case {
    const char* label;
    std::string pattern;
    std::string text;
    enum { search, full, findall, replace } run = search;
    std::string replacement = {};
};

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::string nested_lookahead() { return repeated("(?=", 256) + "a" + repeated(")", 256); }

std::string many_groups() { return "b|" + repeated("(c)", 100000); }

std::vector<hostile_case> hostile_cases() {
    std::string nested;
    for (int i = 0; i < 60; ++i) nested += "(";
    nested += "a";
    for (int i = 0; i < 60; ++i) nested += ")";
    nested += "*";
    std::string six;
    for (int i = 0; i < 8192; ++i) six += static_cast<char>('a' + i % 6);
    return {
        {"(a+)+b on 40 bytes", "(a+)+b", std::string(40, 'a')},
        {"(x+x+)+y on 8192 bytes", "(x+x+)+y", std::string(8192, 'x')},
        {"(?:a?){30}a{30} on 30 bytes", "(?:a?){30}a{30}", std::string(30, 'a')},
        {"(\\w+\\s?)+$ on 8192 bytes", "(\\w+\\s?)+$", std::string(8191, 'w') + "!"},
        {"60 nested groups * on 8192 bytes", nested, std::string(8192, 'a')},
        {"(a|b|c|d|e|f)* on 8192 bytes", "(a|b|c|d|e|f)*$", six},
        // At the input limits of their patterns.
        {"(?:a?){1000}a{1000} full, 256 KB", "(?:a?){1000}a{1000}", std::string(262144, 'a'), hostile_case::full},
        {"(?:a|a){100}b on 256 KB", "(?:a|a){100}b", std::string(262144, 'a')},
        {".*.*.*.*.*.*=.* on 16 KB", ".*.*.*.*.*.*=.*", std::string(16384, 'a')},
        {"(?=(?=...256...a)) findall, 256 KB", nested_lookahead(), std::string(262144, 'a'), hostile_case::findall},
        {"(?:a?){4294967294}b on 256 KB", "(?:a?){4294967294}b", std::string(262144, 'a')},
        {"b|(c)x100000 findall, 256 KB", many_groups(), std::string(262144, 'b'), hostile_case::findall},
        {"(x*) -> $1 x 100000, 16 KB", "(x*)", std::string(16384, 'a'), hostile_case::replace,
         repeated("$1", 100000)},
        {"x* -> $' (n*n/2 bytes), 16 KB", "x*", std::string(16384, 'a'), hostile_case::replace, "$'"},
    };
}

void run_hostile() {
    std::printf("\nHostile inputs (engine only; default budgets):\n");
    for (const hostile_case& h : hostile_cases()) {
        const lum_regex re(h.pattern);
        lum_regex_matcher m(re);
        const auto t0 = std::chrono::steady_clock::now();
        std::string outcome;
        try {
            switch (h.run) {
                case hostile_case::search:
                    outcome = m.search(h.text) ? "match" : "no match";
                    break;
                case hostile_case::full:
                    outcome = m.match_full(h.text) ? "match" : "no match";
                    break;
                case hostile_case::findall: {
                    size_t found = 0;
                    lum_regex_each_match(m, h.text, [&](size_t, size_t) { ++found; });
                    outcome = std::to_string(found) + " matches";
                    break;
                }
                case hostile_case::replace:
                    outcome = std::to_string(lum_regex_replace_text(m, h.text, h.replacement).size()) + " bytes";
                    break;
            }
        } catch (const lum_regex_error& e) {
            outcome = regex_error_code_name(e.code());
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        std::printf("  %-40s %-17s %8.1f ms %s\n", h.label, outcome.c_str(), ms, ms < 1000.0 ? "" : "(SLOW)");
    }
}

class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred) times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

void print_ratio(ratio_reporter& r, const std::string& label, const std::string& std_name,
                 const std::string& engine_name) {
    if (!r.times.count(std_name) || !r.times.count(engine_name)) return;
    const double ratio = r.times[std_name] / r.times[engine_name];
    std::printf("  %-22s %8.2fx  %s\n", label.c_str(), ratio, ratio >= 1.0 ? "" : "(SLOWER than std::regex)");
}

}  // namespace

int main(int argc, char** argv) {
    for (const bench_case& c : cases) {
        benchmark::RegisterBenchmark((std::string("BM_engine_findall/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { engine_findall(s, c); });
        benchmark::RegisterBenchmark((std::string("BM_std_findall/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { std_findall(s, c); });
    }
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nstd::regex time / engine time (same run, same patterns and inputs):\n");
    for (const bench_case& c : cases)
        print_ratio(reporter, std::string("findall ") + c.name, std::string("BM_std_findall/") + c.name,
                    std::string("BM_engine_findall/") + c.name);
    print_ratio(reporter, "full match", "BM_std_full_match", "BM_engine_full_match");
    print_ratio(reporter, "replace", "BM_std_replace", "BM_engine_replace");
    print_ratio(reporter, "compile", "BM_std_compile", "BM_engine_compile");
    run_hostile();
    benchmark::Shutdown();
    return 0;
}
