// The regular-expression service: input limits per pattern shape, the
// input-limit and compile-error messages, the per-thread cache of 8 entries
// and the error-code names.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/base_test_support.h"
#include "types/regex_service.h"
#include "vm/runtime_error.h"

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
        const std::string message =
            "regex_findall: input of 16385 characters exceeds the std::regex limit of 16384 characters for this "
            "pattern (issue #102 - the matcher can exhaust the worker stack). Shorten the input, use a simpler "
            "pattern, or use a plain string search (find/replace/split).";
        EXPECT_EQ(errors_of(log), std::vector<std::string>{lum_runtime_error_framed(message)});
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

