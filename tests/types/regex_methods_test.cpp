// The seven regex methods of "std.string" run by script tasks on a host VM:
// results come back through the return ring while other tasks run, jobs
// match a snapshot with their own reference to the expression, refusals raise
// run-time errors without making a job, and budget failures log their line
// and give the fallback result; and the service beneath them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/runtime/base_test_support.h"
#include "tests/vm/v1_fixture.h"
#include "types/json_object.h"
#include "types/regex_service.h"
#include "types/string_object.h"
#include "types/string_regex.h"
#include "vm/runtime_error.h"

using namespace v1test;

namespace {

using method_fn = lumvar_shared (*)(lum_std_string*, lum_vm_context&, std::vector<lumvar_shared>&);

// A VM with workers, one string object and tasks that call a regex method on
// it and record the value the call yields.
class method_host {
public:
    explicit method_host(uint32_t workers = 2) : fx(workers) {
        object = lumptr_strong<lum_std_string>(lum_std_string::create());
        record_ = p.native("record", [this](lum_vm_context&, std::vector<lumvar_shared>& a) {
            recorded.push_back(a.empty() ? lumvar_shared() : a[0]);
            return lumvar_shared::make();
        });
    }

    // Starts a task: slot 0 := method(args); record(slot 0).
    std::shared_ptr<task_outcome> launch(method_fn method, std::vector<std::string> args) {
        lum_function_def* call = p.native("call", [this, method, args](lum_vm_context& ctx, std::vector<lumvar_shared>&) {
            std::vector<lumvar_shared> values;
            for (const std::string& a : args) values.push_back(lumvar_shared::from_string(a));
            ctx.native_object = object.get();
            return method(object.get(), ctx, values);
        });
        lum_program_block* main = p.block(LUM_BLOCK_TOP, 1);
        emitter e(main);
        e.op(LUM_OP_PUSH);
        e.b(LUM_OP_LD_L, 0);
        e.ncall(call, {}, true);
        e.op(LUM_OP_ASSIGN);
        e.op(LUM_OP_POP);
        e.ncall(record_, {[](emitter& x) { x.b(LUM_OP_LD_L, 0); }});
        return fx.launch(main);
    }

    // Runs one call to the end and returns the recorded value.
    lumvar_shared call(method_fn method, const std::string& text, std::vector<std::string> args) {
        object->text = text;
        recorded.clear();
        launch(method, std::move(args));
        EXPECT_TRUE(fx.run());
        return recorded.empty() ? lumvar_shared() : recorded.back();
    }

    // Keeps a worker busy until `release` is set.
    void occupy_worker(const std::atomic<bool>& release) {
        std::atomic<bool> started{false};
        ASSERT_TRUE(fx.host.vm().jobs.try_push(lum_job([&started, &release] {
            started = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        })));
        while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    vm_fixture fx;
    program p;
    std::vector<lumvar_shared> recorded;
    lumptr_strong<lum_std_string> object;

private:
    lum_function_def* record_ = nullptr;
};

int64_t int_of(const lumvar_shared& v) { return v && v->type == LUMVAR_INT ? v->payload.i : -1000; }

std::string text_of(const lumvar_shared& v) {
    if (!v || v->type != LUMVAR_STRING) return "<not a string>";
    return v->to_std_string();
}

std::vector<std::string> list_of(const lumvar_shared& v) {
    std::vector<std::string> out;
    if (!v || v->type != LUMVAR_JSON || v->json_container() == nullptr) return {"<not a list>"};
    for (const lum_json_entry& entry : v->json_container()->entries) {
        EXPECT_FALSE(entry.key) << "list elements have no key";
        out.push_back(entry.value ? entry.value->to_std_string() : "<null>");
    }
    return out;
}

bool any_contains(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& t : texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

// A pattern whose repetition fills the default backtrack memory on a few
// thousand bytes: sixty nested captures, repeated.
// The back-reference keeps it on the backtracking machine.
std::string stack_hungry_pattern() {
    std::string p;
    for (int i = 0; i < 60; ++i) p += "(";
    p += "a";
    for (int i = 0; i < 60; ++i) p += ")";
    return p + "*\\1";
}

// Description the engine gives for `pattern` on `text` with default budgets.
std::string failure_description(const std::string& pattern, const std::string& text) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    try {
        m.search(text);
    } catch (const lum_regex_error& e) {
        return e.what();
    }
    return "<no failure>";
}

using list = std::vector<std::string>;

}  // namespace

// Each method's result form, empty texts, and searches that are quadratic or
// exponential for a backtracking matcher on inputs inside the limit of 8192
// bytes: the right answers, nothing logged. (The matching itself is the
// engine's and the text walks', tested there.)
TEST(RegexMethods, ResultsComeBackFromTheWorker) {
    method_host h;
    std::string pairs;
    for (int i = 0; i < 4000; ++i) pairs += "ab";
    const std::string text = pairs + "xbc";
    const std::string many_a(8000, 'a');
    auto show = [](const lumvar_shared& v) -> std::string {
        if (v && v->type == LUMVAR_STRING) return "'" + v->to_std_string() + "'";
        if (v && v->type == LUMVAR_JSON) {
            std::string out = "[";
            for (const std::string& e : list_of(v)) out += e + ",";
            return out + "]";
        }
        return std::to_string(int_of(v));
    };
    const std::tuple<method_fn, std::string, std::vector<std::string>, std::string> rows[] = {
        {lum_string_regex_match, "", {"a*"}, "1"},
        {lum_string_regex_match, "abc", {"b"}, "0"},  // the whole text must match
        {lum_string_regex_match, "ab", {"a|ab"}, "1"},
        {lum_string_regex_search, "abcb", {"b"}, "1"},
        {lum_string_regex_search, "abc", {"x"}, "-1"},
        {lum_string_regex_search, "abc", {}, "0"},  // missing arguments are empty
        {lum_string_regex_findall, "a1b22", {"\\d+"}, "[1,22,]"},
        {lum_string_regex_findall, "abc", {"x"}, "[]"},
        {lum_string_regex_split, "a,b,", {","}, "[a,b,]"},
        {lum_string_regex_split, "", {","}, "[,]"},
        {lum_string_regex_replace, "abbc", {"(b+)", "[$1]"}, "'a[bb]c'"},
        {lum_string_regex_replace, "", {"x*", "-"}, "'-'"},
        {lum_string_regex_replace, "abc", {"b"}, "'ac'"},
        {lum_string_regex_escape, "a.b-c", {}, "'a\\.b-c'"},
        {lum_string_regex_search, text, {"(a|b)*c"}, "8001"},
        {lum_string_regex_findall, text, {"(a|b)*c"}, "[bc,]"},
        {lum_string_regex_match, text, {"(?:(a)|b)*xbc"}, "1"},
        {lum_string_regex_split, text, {"(a|b)*c"}, "[" + text.substr(0, 8001) + ",]"},
        {lum_string_regex_replace, text, {"(a|b)*(c)", "[$1$2]"}, "'" + text.substr(0, 8001) + "[bc]'"},
        {lum_string_regex_search, many_a, {"(a+)+b"}, "-1"},
    };
    for (const auto& [method, subject, args, expected] : rows) {
        EXPECT_EQ(show(h.call(method, subject, args)), expected) << args.size();
        EXPECT_EQ(h.object->text, subject);  // only regex_replace_inplace changes the object
    }
    EXPECT_EQ(h.object->thread_jobs, 0u);
    EXPECT_EQ(h.object.use_count(), 1u);
    EXPECT_TRUE(h.fx.log->take_errors().empty());
    EXPECT_EQ(int_of(h.call(lum_string_regex_replace_inplace, text, {"(a|b)*c", ""})), 1);
    EXPECT_EQ(h.object->text, text.substr(0, 8001));
}

TEST(RegexMethods, ReplaceInplaceWorksOnTheCallingThread) {
    method_host h(0);  // no worker at all
    const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
        {"abbc", "b+", "<$&>", "a<bb>c"}, {"abc", "x", "y", "abc"}, {"ab", "x*", "-", "-a-b-"}};
    for (const auto& [text, pattern, replacement, expected] : rows) {
        EXPECT_EQ(int_of(h.call(lum_string_regex_replace_inplace, text, {pattern, replacement})), 1);
        EXPECT_EQ(h.object->text, expected);
    }
}

TEST(RegexMethods, JobsMatchASnapshotWithTheirOwnExpressionWhileOtherTasksRun) {
    method_host h(1);
    std::atomic<bool> release{false};
    h.occupy_worker(release);
    std::vector<int64_t> order;
    lum_function_def* note = h.p.native("note", [&](lum_vm_context&, std::vector<lumvar_shared>& a) {
        order.push_back(a.empty() ? -1 : int_of(a[0]));
        return lumvar_shared::make();
    });
    lum_program_block* other = h.p.block(LUM_BLOCK_TOP, 0);
    {
        emitter e(other);
        e.ncall(note, {[](emitter& x) { x.ldi(1); }});
        e.ncall(note, {[](emitter& x) { x.ldi(2); }});
    }
    h.object->text = "w1 w22 w333";
    const std::string pattern = "w(\\d+)";
    auto waiting = h.launch(lum_string_regex_findall, {pattern});
    auto runner = h.fx.launch(other);
    lum_host_turn(h.fx.host);
    EXPECT_TRUE(runner->finished);  // ran while the findall task waited
    EXPECT_FALSE(waiting->finished);
    EXPECT_EQ(h.fx.tasks[0]->waiting, 1);
    EXPECT_EQ(h.object->thread_jobs, 1u);
    EXPECT_EQ(order, (std::vector<int64_t>{1, 2}));
    // Meanwhile the text changes and the cache lets go of the pattern.
    h.object->text = "changed";
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(compiled_regex_cache("evict" + std::to_string(i), 1, "regex_match"));
    release = true;
    ASSERT_TRUE(h.fx.run());
    ASSERT_TRUE(waiting->finished);
    EXPECT_EQ(list_of(h.recorded.back()), (list{"w1", "w22", "w333"}));
    EXPECT_EQ(h.object->thread_jobs, 0u);
    EXPECT_TRUE(h.fx.log->take_errors().empty());
}

TEST(RegexMethods, FullQueueIsRetriedWithoutLosingReferences) {
    method_host h(1);
    lum_vm& vm = h.fx.host.vm();
    std::atomic<bool> release{false};
    h.occupy_worker(release);
    while (vm.jobs.try_push(lum_job([] {}))) {
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        release = true;
    });
    const lumvar_shared result = h.call(lum_string_regex_replace, "abc", {"b", "[$&]"});
    releaser.join();
    EXPECT_EQ(text_of(result), "a[b]c");
    const std::vector<std::string> warnings = h.fx.log->take_warnings();
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], "Thread pool overload, waiting for free worker threads...");
    EXPECT_EQ(h.object->thread_jobs, 0u);
    EXPECT_EQ(h.object.use_count(), 1u);
    EXPECT_EQ(h.fx.tasks.back()->in_thread.load(), 0);
}

// Far more jobs in one turn than the job queue and the return ring hold: the
// VM thread keeps taking finished records while it waits for queue slots, so
// every task completes with its own result.
TEST(RegexMethods, ManyMoreJobsThanQueueSlotsAllComplete) {
    constexpr int tasks = 20000;
    method_host h(2);
    h.object->text = "abc";
    for (int i = 0; i < tasks; ++i) h.launch(lum_string_regex_replace, {"b", std::to_string(i)});
    ASSERT_TRUE(h.fx.run(120000));
    ASSERT_EQ(h.recorded.size(), static_cast<size_t>(tasks));
    std::vector<std::string> got;
    for (const lumvar_shared& v : h.recorded) got.push_back(text_of(v));
    std::vector<std::string> expected;
    for (int i = 0; i < tasks; ++i) expected.push_back("a" + std::to_string(i) + "c");
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(h.object->thread_jobs, 0u);
    EXPECT_TRUE(h.fx.log->take_errors().empty());
}

TEST(RegexMethods, RefusedInputRaisesTheErrorAndMakesNoJob) {
    method_host h(1);
    const std::string long_text(16385, 'a');
    const method_fn pattern_methods[] = {lum_string_regex_match, lum_string_regex_search, lum_string_regex_findall,
                                         lum_string_regex_replace, lum_string_regex_split};
    const char* names[] = {"regex_match", "regex_search", "regex_findall", "regex_replace", "regex_split"};
    for (size_t i = 0; i < 5; ++i) {
        h.object->text = long_text;
        h.recorded.clear();
        auto outcome = h.launch(pattern_methods[i], {"a+", "x"});
        lum_host_turn(h.fx.host);
        EXPECT_EQ(h.object->thread_jobs, 0u) << names[i];
        ASSERT_TRUE(h.fx.run());
        EXPECT_TRUE(h.recorded.empty()) << names[i] << ": the error ends the task";
        const std::vector<std::string> errors = h.fx.log->take_errors();
        EXPECT_TRUE(any_contains(errors, std::string(names[i]) +
                                             ": input of 16385 characters exceeds the std::regex limit of 16384 "
                                             "characters for this pattern"))
            << names[i];
    }
    // replace_inplace answers 0 and keeps the text; escape has no limit.
    std::vector<lumvar_shared> args{lumvar_shared::from_string("a+"), lumvar_shared::from_string("b")};
    h.object->text = long_text;
    lum_vm_context outside_any_task;
    EXPECT_EQ(int_of(lum_string_regex_replace_inplace(h.object.get(), outside_any_task, args)), 0);
    EXPECT_EQ(h.object->text, long_text);
    EXPECT_TRUE(any_contains(h.fx.log->take_errors(), "regex_replace_inplace: input of 16385 characters"));
    EXPECT_EQ(text_of(h.call(lum_string_regex_escape, long_text, {})), long_text);
    // An invalid pattern: the error names the code, the call yields nothing.
    h.recorded.clear();
    h.object->text = "abc";
    h.launch(lum_string_regex_search, {"(a"});
    ASSERT_TRUE(h.fx.run());
    EXPECT_TRUE(h.recorded.empty());
    EXPECT_TRUE(any_contains(h.fx.log->take_errors(), "regex_search: invalid regex pattern '(a' (error_paren)"));
}

TEST(RegexMethods, BudgetFailuresLogTheirLineAndGiveTheFallback) {
    method_host h(2);
    const std::string hungry = stack_hungry_pattern();
    const std::string long_run(8000, 'a');
    const std::string why = failure_description(hungry, long_run);
    ASSERT_NE(why, "<no failure>");
    auto failed = [&why](const std::string& method) {
        return std::vector<std::string>{method + ": pattern '" + why + "' failed while matching (error_stack)"};
    };
    EXPECT_EQ(int_of(h.call(lum_string_regex_match, long_run, {hungry})), 0);
    EXPECT_EQ(h.fx.log->take_errors(),
              std::vector<std::string>{"regex_match: matching failed (error_stack): " + why});
    EXPECT_EQ(int_of(h.call(lum_string_regex_search, long_run, {hungry})), -1);
    EXPECT_EQ(h.fx.log->take_errors(), failed("regex_search"));
    EXPECT_EQ(text_of(h.call(lum_string_regex_replace, long_run, {hungry, "x"})), long_run);
    EXPECT_EQ(h.fx.log->take_errors(), failed("regex_replace"));
    EXPECT_EQ(int_of(h.call(lum_string_regex_replace_inplace, long_run, {hungry, "x"})), 0);
    EXPECT_EQ(h.object->text, long_run);
    EXPECT_EQ(h.fx.log->take_errors(), failed("regex_replace_inplace"));
    // A replaced text that would outgrow its budget: the unchanged text.
    const std::string sixteen_k(16384, 'a');
    EXPECT_TRUE(text_of(h.call(lum_string_regex_replace, sixteen_k, {"x*", "$'"})) == sixteen_k);
    EXPECT_EQ(h.fx.log->take_errors(),
              std::vector<std::string>{"regex_replace: pattern 'the replaced text needed more than 67108864 bytes' "
                                       "failed while matching (error_space)"});
    // Lists keep what was found before the failure.
    const std::string mixed = "x-x-" + long_run;
    const std::string alternative = "x|" + hungry;
    EXPECT_EQ(list_of(h.call(lum_string_regex_findall, mixed, {alternative})), (list{"x", "", "x", ""}));
    EXPECT_EQ(h.fx.log->take_errors(), failed("regex_findall"));
    EXPECT_EQ(list_of(h.call(lum_string_regex_split, mixed, {alternative})), (list{"", "", "-", ""}));
    EXPECT_EQ(h.fx.log->take_errors(), failed("regex_split"));
}

// ---- the service under the methods: input limits per pattern shape, the
// refusal and compile-error messages, the per-thread cache of 8 entries ----
namespace {

// Runs `body` on a fresh thread, so that it starts with an empty cache.
void on_fresh_thread(const std::function<void()>& body) {
    std::thread t(body);
    t.join();
}

std::vector<std::string> errors_of(recording_log& log) {
    std::vector<std::string> out;
    for (const auto& e : log.entries())
        if (e.level == LUM_LOG_ERROR) out.push_back(e.text);
    return out;
}

std::string pattern_number(int i) { return "p" + std::to_string(i) + "+"; }

}  // namespace

TEST(RegexService, InputLimitFollowsThePatternShape) {
    const std::vector<std::pair<std::string, uint64_t>> cases = {
        {"", 262144},       {"abc", 262144},     {"a?b", 262144},     {"a{3}", 262144},    {"[a+]", 262144},
        {"\\+", 262144},    {"a??", 262144},     {"a{}", 262144},     {"a{3", 262144},     {"a{2,x}", 262144},
        {"[*+]{2}", 262144}, {"a\\*", 262144},   {"(ab)?", 262144},   {"(ab){2}", 262144}, {"a+", 16384},
        {"a{2,}", 16384},   {"a{2,5}", 16384},   {"(a)b+", 16384},    {"[x]{2,3}", 16384}, {"a{,4}", 16384},
        {"a{,}", 16384},    {"a{2,", 16384},     {"a{2,5", 16384},    {"\\(*", 16384},     {"[\\]]+", 16384},
        {"(ab)+", 8192},    {"(ab)*", 8192},     {"(ab){1,4}", 8192}, {"\\)+", 8192},      {"a+(b)*", 8192},
        {"(a){2,", 8192},
    };
    for (const auto& [pattern, limit] : cases) EXPECT_EQ(regex_input_limit(pattern), limit) << pattern;
    const char* names[] = {"error_collate", "error_ctype",   "error_escape",    "error_backref",    "error_brack",
                           "error_paren",   "error_brace",   "error_badbrace",  "error_range",      "error_space",
                           "error_badrepeat", "error_complexity", "error_stack"};
    for (int code = 0; code < 13; ++code) EXPECT_STREQ(regex_error_code_name(code), names[code]);
    EXPECT_STREQ(regex_error_code_name(13), "error_unknown");
    EXPECT_STREQ(regex_error_code_name(-1), "error_unknown");
}

TEST(RegexService, InputOverTheLimitIsRefusedWithItsMessage) {
    on_fresh_thread([] {
        thread_log_scope scope;
        recording_log& log = scope.log();
        EXPECT_TRUE(compiled_regex_cache("a+", 16384, "regex_match"));
        EXPECT_TRUE(errors_of(log).empty());
        // Fill the cache, then be refused with a new pattern: nothing changes.
        std::vector<lum_regex_ref> held;
        for (int i = 0; i < 7; ++i) held.push_back(compiled_regex_cache(pattern_number(i), 1, "regex_match"));
        const lum_regex_ref first = compiled_regex_cache("a+", 1, "regex_match");
        EXPECT_FALSE(compiled_regex_cache("b+", 16385, "regex_findall"));
        // The line names the method, the sizes and the ways out.
        const std::vector<std::string> refused = errors_of(log);
        ASSERT_EQ(refused.size(), 1u);
        const std::string head = "regex_findall: input of 16385 characters exceeds the std::regex limit of 16384 "
                                 "characters for this pattern (";
        const std::string tail = "). Shorten the input, use a simpler pattern, or use a plain string search "
                                 "(find/replace/split).";
        const size_t from = refused[0].find(head), to = refused[0].find(tail);
        ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to) << refused[0];
        EXPECT_EQ(refused[0], lum_runtime_error_framed(refused[0].substr(from, to + tail.size() - from)));
        EXPECT_EQ(compiled_regex_cache("a+", 1, "regex_match"), first);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(compiled_regex_cache(pattern_number(i), 1, "x"), held[i]);
        // A cached pattern is refused just the same.
        EXPECT_FALSE(compiled_regex_cache("a+", 20000, "regex_split"));
        EXPECT_EQ(errors_of(log).size(), 2u);
        EXPECT_FALSE(compiled_regex_cache("(a)+", 8193, "regex_search"));
        EXPECT_TRUE(compiled_regex_cache("abc", 262144, "regex_search"));
        EXPECT_FALSE(compiled_regex_cache("abc", 262145, "regex_search"));
    });
}

TEST(RegexService, CompileFailuresNameTheirCodeAndAreNeverCached) {
    on_fresh_thread([] {
        thread_log_scope scope;
        recording_log& log = scope.log();
        std::vector<lum_regex_ref> held;
        for (int i = 0; i < 8; ++i) held.push_back(compiled_regex_cache(pattern_number(i), 1, "regex_match"));
        for (int round = 0; round < 2; ++round) {
            EXPECT_FALSE(compiled_regex_cache("(", 0, "regex_match"));
            EXPECT_FALSE(compiled_regex_cache("a**", 0, "regex_replace"));
        }
        const std::vector<std::string> expected = {
            lum_runtime_error_framed("regex_match: invalid regex pattern '(' (error_paren)"),
            lum_runtime_error_framed("regex_replace: invalid regex pattern 'a**' (error_badrepeat)"),
        };
        EXPECT_EQ(errors_of(log), (std::vector<std::string>{expected[0], expected[1], expected[0], expected[1]}));
        // Nothing was evicted by the failures.
        for (int i = 0; i < 8; ++i) EXPECT_EQ(compiled_regex_cache(pattern_number(i), 1, "x"), held[i]);
    });
}

TEST(RegexService, CacheKeepsEightPatternsAndTheNinthEmptiesIt) {
    on_fresh_thread([] {
        std::vector<lum_regex_ref> held;
        for (int i = 0; i < 8; ++i) held.push_back(compiled_regex_cache(pattern_number(i), 1, "regex_match"));
        for (int i = 0; i < 8; ++i) EXPECT_EQ(compiled_regex_cache(pattern_number(i), 1, "x"), held[i]) << i;
        // A lookup does not reorder: the first pattern was hit last, yet the
        // ninth pattern empties everything.
        EXPECT_EQ(compiled_regex_cache(pattern_number(0), 1, "x"), held[0]);
        const lum_regex_ref ninth = compiled_regex_cache(pattern_number(8), 1, "x");
        EXPECT_EQ(compiled_regex_cache(pattern_number(8), 1, "x"), ninth);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(held[i].use_count(), 1) << "the cache let go of pattern " << i;
            EXPECT_NE(compiled_regex_cache(pattern_number(i), 1, "x"), held[i]) << i;
        }
        // Patterns are exact byte strings: no normalisation, embedded zero bytes count.
        const lum_regex_ref a = compiled_regex_cache(std::string("a\0b", 3), 1, "x");
        const lum_regex_ref b = compiled_regex_cache(std::string("a\0c", 3), 1, "x");
        EXPECT_NE(a, b);
    });
}

TEST(RegexService, HeldExpressionOutlivesItsCacheEntryAndCachesArePerThread) {
    lum_regex_ref mine;
    on_fresh_thread([&] {
        mine = compiled_regex_cache("(\\w+)@(\\w+)", 100, "regex_search");
        for (int i = 0; i < 8; ++i) compiled_regex_cache(pattern_number(i), 1, "x");
    });
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine.use_count(), 1);  // evicted, and the thread's cache is gone
    lum_regex_matcher m(*mine);
    ASSERT_TRUE(m.search("mail me at joe@home now"));
    EXPECT_EQ(m.begin(1), 11u);
    EXPECT_EQ(m.end(2), 19u);
    lum_regex_ref a, b;
    on_fresh_thread([&] { a = compiled_regex_cache("shared", 1, "x"); });
    on_fresh_thread([&] { b = compiled_regex_cache("shared", 1, "x"); });
    EXPECT_NE(a, b);
}

