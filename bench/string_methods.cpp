// "std.string" methods called through their registered definitions (as the
// interpreter calls them: callable, context with the native-call object,
// argument vector) against the same operation written on std::string, on
// 1 KB and 1 MB texts, with the ratios of the same run printed at the end.
// Every "std.string" result is a new pooled value (a list of pooled values
// for split), released again in the loop, as a script would drop it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_vm.h"
#include "runtime/namespace.h"
#include "runtime/value.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/context.h"

namespace {

constexpr int64_t kSmall = 1024;
constexpr int64_t kLarge = 1 << 20;

// Comma separated words of mixed case, with lines and white space at both
// ends; "needle" only near the end (its first letter is frequent before).
std::string make_text(size_t size) {
    static const char* const words[] = {"alpha", "Beta", "and",    "gamma", "delta", "abacus",
                                        "line",  "Zeta", "number", "tab",   "omega", "Name"};
    std::string t = "  \t";
    for (size_t i = 0; t.size() + 32 < size; ++i) {
        t += words[(i * 7 + i / 3) % 12];
        t += (i % 9 == 8) ? ",\n" : ", ";
    }
    t += "needle";
    while (t.size() + 2 < size) t += 'x';
    t += " \n";
    return t;
}

lum_function_def* method(std::string_view name) {
    lum_std_string::script_register_internal();
    const auto& t = lum_std_string::tables();
    return t.members[static_cast<size_t>(t.name_index.at(name))]->static_value();
}

lum_function_def* constructor() {
    static lum_namespace* ns = [] {
        auto* n = new lum_namespace();
        lum_std_string_namespace_init(*n);
        return n;
    }();
    return ns->functions.back();
}

// One method call site: the definition, a context naming the object and an
// argument vector kept across calls (as the interpreter's argument frames are).
struct call_site {
    lum_function_def* def;
    lum_vm_context context;
    std::vector<lumvar_shared> args;
    call_site(lum_function_def* d, lumobject_base* self, std::vector<lumvar_shared> a) : def(d), args(std::move(a)) {
        context.native_object = self;
    }
    lumvar_shared operator()() { return def->callable(context, args); }
};

lumvar_shared text_value(std::string_view t) { return lumvar_shared::from_string(t); }

// ---- the fixed cost of one call: length() ----

void BM_lum_call(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value("abc");
    call_site length(method("length"), s->string_object(), {});
    for (auto _ : state) benchmark::DoNotOptimize(length()->payload.i);
}
BENCHMARK(BM_lum_call);

// ---- find ----

void BM_lum_find(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value(make_text(static_cast<size_t>(state.range(0))));
    call_site find(method("find"), s->string_object(), {text_value("needle")});
    for (auto _ : state) benchmark::DoNotOptimize(find()->payload.i);
}
void BM_std_find(benchmark::State& state) {
    const std::string s = make_text(static_cast<size_t>(state.range(0)));
    const std::string needle = "needle";
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(static_cast<int64_t>(s.find(needle)));
    }
}

// ---- replace (all occurrences, into a new text) ----

void BM_lum_replace(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value(make_text(static_cast<size_t>(state.range(0))));
    call_site replace(method("replace"), s->string_object(), {text_value("ab"), text_value("xyz")});
    for (auto _ : state) benchmark::DoNotOptimize(replace().get());
}
void BM_std_replace(benchmark::State& state) {
    const std::string s = make_text(static_cast<size_t>(state.range(0)));
    const std::string search = "ab", with = "xyz";
    for (auto _ : state) {
        std::string out;
        out.reserve(s.size());
        size_t pos = 0;
        for (size_t hit; (hit = s.find(search, pos)) != std::string::npos; pos = hit + search.size()) {
            out.append(s, pos, hit - pos);
            out += with;
        }
        out.append(s, pos, std::string::npos);
        benchmark::DoNotOptimize(out.data());
    }
}

// ---- split ----

void BM_lum_split(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value(make_text(static_cast<size_t>(state.range(0))));
    call_site split(method("split"), s->string_object(), {text_value(", ")});
    for (auto _ : state) benchmark::DoNotOptimize(split().get());
}
void BM_std_split(benchmark::State& state) {
    const std::string s = make_text(static_cast<size_t>(state.range(0)));
    const std::string delim = ", ";
    for (auto _ : state) {
        std::vector<std::string> parts;
        size_t pos = 0;
        for (size_t hit; (hit = s.find(delim, pos)) != std::string::npos; pos = hit + delim.size())
            parts.emplace_back(s, pos, hit - pos);
        parts.emplace_back(s, pos, std::string::npos);
        benchmark::DoNotOptimize(parts.data());
    }
}

// ---- join: the parts of a split with a separator, as a script builds it:
// string(part, sep, part, ...) over batches of at most 999 arguments (the
// constructor's maximum), each batch appended to the result with insert ----

std::vector<std::string> split_parts(const std::string& s) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t hit; (hit = s.find(", ", pos)) != std::string::npos; pos = hit + 2) parts.emplace_back(s, pos, hit - pos);
    parts.emplace_back(s, pos, std::string::npos);
    return parts;
}

void BM_lum_join(benchmark::State& state) {
    lum_host_vm host;
    const std::vector<std::string> parts = split_parts(make_text(static_cast<size_t>(state.range(0))));
    lumvar_shared separator = text_value(";");
    std::vector<call_site> batches;
    std::vector<lumvar_shared> batch;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) batch.push_back(separator);
        batch.push_back(text_value(parts[i]));
        if (batch.size() >= 998 || i + 1 == parts.size()) {
            batches.emplace_back(constructor(), nullptr, std::move(batch));
            batch.clear();
        }
    }
    call_site start(constructor(), nullptr, {});
    call_site append(method("insert"), nullptr, {lumvar_shared(), lumvar_shared()});
    call_site size(method("length"), nullptr, {});
    for (auto _ : state) {
        lumvar_shared result = start();
        append.context.native_object = size.context.native_object = result->string_object();
        for (call_site& b : batches) {
            append.args[0] = size();
            append.args[1] = b();
            append();
        }
        benchmark::DoNotOptimize(result->string_object()->text.data());
    }
}
void BM_std_join(benchmark::State& state) {
    const std::vector<std::string> parts = split_parts(make_text(static_cast<size_t>(state.range(0))));
    const std::string separator = ";";
    for (auto _ : state) {
        std::string out;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i) out += separator;
            out += parts[i];
        }
        benchmark::DoNotOptimize(out.data());
    }
}

// ---- upper ----

void BM_lum_upper(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value(make_text(static_cast<size_t>(state.range(0))));
    call_site upper(method("uppercase"), s->string_object(), {});
    for (auto _ : state) benchmark::DoNotOptimize(upper().get());
}
void BM_std_upper(benchmark::State& state) {
    const std::string s = make_text(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out(s);
        std::transform(out.begin(), out.end(), out.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        benchmark::DoNotOptimize(out.data());
    }
}

// ---- trim ----

void BM_lum_trim(benchmark::State& state) {
    lum_host_vm host;
    lumvar_shared s = text_value(make_text(static_cast<size_t>(state.range(0))));
    call_site trim(method("trim"), s->string_object(), {});
    for (auto _ : state) benchmark::DoNotOptimize(trim().get());
}
void BM_std_trim(benchmark::State& state) {
    const std::string s = make_text(static_cast<size_t>(state.range(0)));
    const char* const ws = " \t\n\v\f\r";
    for (auto _ : state) {
        const size_t b = s.find_first_not_of(ws);
        std::string out = b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(ws) - b + 1);
        benchmark::DoNotOptimize(out.data());
    }
}

// ---- format-like concatenation of texts and numbers ----

void BM_lum_format(benchmark::State& state) {
    lum_host_vm host;
    const std::string body = make_text(static_cast<size_t>(state.range(0)));
    call_site format(constructor(), nullptr,
                     {text_value("Name: "), text_value(body), text_value(", count: "), lumvar_shared::from_int(42),
                      text_value(", ratio: "), lumvar_shared::from_float(2.5), text_value("!")});
    for (auto _ : state) benchmark::DoNotOptimize(format().get());
}
void BM_std_format(benchmark::State& state) {
    const std::string body = make_text(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out = "Name: ";
        out += body;
        out += ", count: ";
        out += std::to_string(42);
        out += ", ratio: ";
        out += std::to_string(2.5);
        out += "!";
        benchmark::DoNotOptimize(out.data());
    }
}

#define LUM_PAIR(op)                                  \
    BENCHMARK(BM_lum_##op)->Arg(kSmall)->Arg(kLarge); \
    BENCHMARK(BM_std_##op)->Arg(kSmall)->Arg(kLarge)

LUM_PAIR(find);
LUM_PAIR(replace);
LUM_PAIR(split);
LUM_PAIR(join);
LUM_PAIR(upper);
LUM_PAIR(trim);
LUM_PAIR(format);

// Keeps each benchmark's time per iteration for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the benchmark.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.benchmark_name();
            const std::string median = "_median";
            if (name.size() > median.size() && name.ends_with(median))
                times[name.substr(0, name.size() - median.size())] = run.GetAdjustedRealTime();
            else if (!times.count(name))
                times[name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.times.count("BM_lum_call"))
        std::printf("\nfixed cost of one method call (length()): %.1f ns\n", reporter.times["BM_lum_call"]);
    std::printf("\nstd.string / std::string time ratios (same run; target <= 1.50):\n");
    for (const char* op : {"find", "replace", "split", "join", "upper", "trim", "format"}) {
        for (int64_t size : {kSmall, kLarge}) {
            const std::string suffix = "/" + std::to_string(size);
            const std::string lum = std::string("BM_lum_") + op + suffix, ref = std::string("BM_std_") + op + suffix;
            if (!reporter.times.count(lum) || !reporter.times.count(ref)) continue;
            const double ratio = reporter.times[lum] / reporter.times[ref];
            std::printf("  %-8s %-8s %6.2fx  %s\n", op, size == kSmall ? "1 KB" : "1 MB", ratio,
                        ratio <= 1.5 ? "ok" : "ABOVE TARGET");
        }
    }
    benchmark::Shutdown();
    return 0;
}
