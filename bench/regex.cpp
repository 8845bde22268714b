// The regex engine against std::regex (ECMAScript) on the same patterns and
// inputs, in the same run: literal search, character classes, alternation,
// back-references, whole-text matching, replacing and compiling, and findall
// and replace over a log-line corpus (timestamps, IPs, key=value pairs). The
// ratios at the end are std::regex time / engine time (> 1: the engine is
// faster). Then, on the engine only: searches that are quadratic or
// exponential for a backtracking matcher at 10 KB, 100 KB and 1 MB (time must
// grow linearly), and pathological cases (std::regex exhausts the stack or
// runs for hours on them), which must end quickly.
//
// `bench_regex --export DIR` skips all that: it writes the log corpus and the
// growth inputs to DIR with a list of cases, times the engine on each, and
// writes the times for bench/regex_node.sh, which runs the same cases with
// Node's RegExp and prints the ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
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

// Log lines: an ISO timestamp, a level, a client IP, a request and key=value pairs.
std::string make_log(size_t size, uint32_t seed) {
    static const char* levels[] = {"INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR"};
    static const char* methods[] = {"GET", "GET", "POST", "PUT", "DELETE"};
    static const char* users[] = {"alice", "bob", "carol", "dave", "erin", "frank", "grace"};
    static const char* paths[] = {"/api/v1/items", "/api/v1/users", "/login", "/static/app.js", "/health"};
    std::string out;
    uint32_t x = seed;
    auto next = [&x]() {
        x = x * 1664525u + 1013904223u;
        return x >> 8;
    };
    char line[320];
    while (out.size() < size) {
        const uint32_t t = next(), a = next(), b = next(), c = next();
        std::snprintf(line, sizeof line,
                      "2026-12-%02uT%02u:%02u:%02u.%03uZ %s %u.%u.%u.%u %s %s/%u status=%u latency_ms=%u user=%s "
                      "req=%06x%s\n",
                      1 + t % 28, t % 24, (t >> 5) % 60, (t >> 11) % 60, a % 1000, levels[a % 6], 10 + a % 200,
                      (a >> 8) % 256, b % 256, (b >> 8) % 256, methods[b % 5], paths[c % 5], c % 10000,
                      (c % 7 == 0) ? 404u : (c % 31 == 0 ? 500u : 200u), a % 900, users[c % 7], next() & 0xFFFFFF,
                      (a % 9 == 0) ? " msg=\"retry after timeout\"" : "");
        out += line;
    }
    out.resize(size);
    return out;
}

const std::string& log1m() {
    static const std::string t = make_log(1 << 20, 3);
    return t;
}

struct bench_case {
    const char* name;
    const char* pattern;
    const std::string& (*text)();
};

// The log corpus: findall (no replacement) and replace cases.
struct log_case {
    const char* name;
    const char* pattern;
    const char* replacement;  // null: findall
};

const log_case log_cases[] = {
    {"timestamps", "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z", nullptr},
    {"ips", "\\b(?:\\d{1,3}\\.){3}\\d{1,3}\\b", nullptr},
    {"key_values", "\\w+=[^\\s\"]+", nullptr},
    {"errors", "\\b(?:ERROR|WARN)\\b[^\\n]*", nullptr},
    {"status_5xx", "status=5\\d\\d", nullptr},
    {"mask_ips", "(\\d{1,3})\\.(\\d{1,3})\\.\\d{1,3}\\.\\d{1,3}", "$1.$2.x.x"},
    {"quote_values", "(\\w+)=(\\w+)", "$1=\"$2\""},
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

// One log case with the engine: findall counts matches, replace builds the text.
size_t engine_log_run(const lum_regex& re, const log_case& c, const std::string& text) {
    lum_regex_matcher m(re);
    if (c.replacement != nullptr) return lum_regex_replace_text(m, text, c.replacement).size();
    size_t matches = 0;
    lum_regex_each_match(m, text, [&](size_t, size_t) { ++matches; });
    return matches;
}

void engine_log(benchmark::State& state, const log_case& c) {
    const lum_regex re(c.pattern);
    size_t result = 0;
    for (auto _ : state) benchmark::DoNotOptimize(result = engine_log_run(re, c, log1m()));
    state.counters["result"] = static_cast<double>(result);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log1m().size()));
}

void std_log(benchmark::State& state, const log_case& c) {
    const std::regex re(c.pattern, std::regex::ECMAScript);
    const std::string& text = log1m();
    size_t result = 0;
    for (auto _ : state) {
        if (c.replacement != nullptr) {
            result = std::regex_replace(text, re, c.replacement).size();
        } else {
            result = 0;
            for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) ++result;
        }
        benchmark::DoNotOptimize(result);
    }
    state.counters["result"] = static_cast<double>(result);
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

// Inputs on which a backtracking matcher is quadratic or exponential.
struct growth_case {
    const char* label;
    const char* pattern;
    std::string (*text)(size_t size);
    bool findall;
};

std::string pairs_then_bc(size_t size) {
    std::string t;
    while (t.size() + 3 < size) t += "ab";
    return t + "xbc";
}
// A run of a's and then, out of its reach, the b that every match needs.
std::string a_run_then_b(size_t size) { return std::string(size - 2, 'a') + "!b"; }
std::string words_then_bang(size_t size) {
    std::string t;
    while (t.size() + 1 < size) t += (t.size() % 8 == 7) ? ' ' : 'w';
    return t + "!";
}

const growth_case growth_cases[] = {
    {"(a|b)*c search", "(a|b)*c", pairs_then_bc, false},
    {"(a|b)*c findall", "(a|b)*c", pairs_then_bc, true},
    {"(a+)+b search", "(a+)+b", a_run_then_b, false},
    {"(\\w+\\s?)+$ search", "(\\w+\\s?)+$", words_then_bang, false},
};

const size_t growth_sizes[] = {10 * 1024, 100 * 1024, 1024 * 1024};

// Milliseconds of the fastest of `runs` calls of `work`.
double best_ms(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

// Result of one growth case: the match position for a search, the count for findall.
long long growth_run(const lum_regex& re, const growth_case& g, const std::string& text) {
    lum_regex_matcher m(re);
    if (!g.findall) return m.search(text) ? static_cast<long long>(m.begin()) : -1;
    long long found = 0;
    lum_regex_each_match(m, text, [&](size_t, size_t) { ++found; });
    return found;
}

void run_growth() {
    std::printf("\nGrowth with the input (engine; a backtracking matcher is quadratic or exponential here):\n");
    std::printf("  %-26s %12s %12s %12s %10s\n", "case", "10 KB", "100 KB", "1 MB", "1MB/10KB");
    for (const growth_case& g : growth_cases) {
        const lum_regex re(g.pattern);
        double ms[3];
        long long result = 0;
        for (int i = 0; i < 3; ++i) {
            const std::string text = g.text(growth_sizes[i]);
            ms[i] = best_ms(3, [&] { result = growth_run(re, g, text); });
        }
        std::printf("  %-26s %9.2f ms %9.2f ms %9.2f ms %9.0fx  (result at 1 MB: %lld)\n", g.label, ms[0], ms[1],
                    ms[2], ms[2] / ms[0], result);
    }
}

// --export DIR: inputs, cases and engine times for bench/regex_node.sh.
int export_cases(const std::string& dir) {
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out << bytes;
        return static_cast<bool>(out);
    };
    if (!write("log.txt", log1m())) {
        std::fprintf(stderr, "cannot write to %s\n", dir.c_str());
        return 1;
    }
    // cases.tsv: name, kind, pattern, replacement, input file, engine ms, result.
    std::ofstream list(dir + "/cases.tsv", std::ios::binary);
    auto row = [&](const std::string& name, const char* kind, const std::string& pattern, const std::string& replacement,
                   const std::string& file, double ms, long long result) {
        list << name << '\t' << kind << '\t' << pattern << '\t' << replacement << '\t' << file << '\t' << ms << '\t'
             << result << '\n';
        std::printf("  %-34s %10.3f ms  result %lld\n", name.c_str(), ms, result);
    };
    std::printf("Engine times (fastest of 5):\n");
    for (const log_case& c : log_cases) {
        const lum_regex re(c.pattern);
        size_t result = 0;
        const double ms = best_ms(5, [&] { result = engine_log_run(re, c, log1m()); });
        row(std::string("log ") + c.name, c.replacement ? "replace" : "findall", c.pattern,
            c.replacement ? c.replacement : "", "log.txt", ms, static_cast<long long>(result));
    }
    for (const growth_case& g : growth_cases) {
        const lum_regex re(g.pattern);
        for (size_t size : growth_sizes) {
            const std::string file = "growth_" + std::to_string(&g - growth_cases) + "_" + std::to_string(size) + ".txt";
            const std::string text = g.text(size);
            if (!write(file, text)) return 1;
            long long result = 0;
            const double ms = best_ms(3, [&] { result = growth_run(re, g, text); });
            row(std::string(g.label) + " " + std::to_string(size / 1024) + " KB", g.findall ? "findall" : "search",
                g.pattern, "", file, ms, result);
        }
    }
    // Exponential for a backtracking matcher: each two more bytes take it
    // about four times as long.
    const lum_regex exponential("(a+)+b");
    for (size_t n = 16; n <= 26; n += 2) {
        const std::string file = "exponential_" + std::to_string(n) + ".txt";
        const std::string text = a_run_then_b(n);
        if (!write(file, text)) return 1;
        long long result = 0;
        const double ms = best_ms(5, [&] {
            lum_regex_matcher m(exponential);
            result = m.search(text) ? static_cast<long long>(m.begin()) : -1;
        });
        row("(a+)+b search " + std::to_string(n) + " bytes", "search", "(a+)+b", "", file, ms, result);
    }
    return 0;
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
    if (argc == 3 && std::strcmp(argv[1], "--export") == 0) return export_cases(argv[2]);
    for (const log_case& c : log_cases) {
        benchmark::RegisterBenchmark((std::string("BM_engine_log/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { engine_log(s, c); });
        benchmark::RegisterBenchmark((std::string("BM_std_log/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { std_log(s, c); });
    }
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
    for (const log_case& c : log_cases)
        print_ratio(reporter, std::string("log ") + c.name, std::string("BM_std_log/") + c.name,
                    std::string("BM_engine_log/") + c.name);
    run_growth();
    run_hostile();
    benchmark::Shutdown();
    return 0;
}
