// The regex engine: grammar and compile error codes, ECMAScript match
// semantics (checked against std::regex where both agree), captures,
// searches that start after the first byte, and budgets that end hopeless
// matches instead of crashing or hanging.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <clocale>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "types/regex_engine.h"
#include "types/regex_service.h"
#include "types/regex_text.h"

namespace {

using span = std::pair<size_t, size_t>;

// Code of the compile error, or -1 when the pattern compiles.
int compile_code(const std::string& pattern) {
    try {
        lum_regex re(pattern);
        return -1;
    } catch (const lum_regex_error& e) {
        return e.code();
    }
}

std::optional<span> search(const std::string& pattern, const std::string& text, size_t start = 0) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    if (!m.search(text, start)) return std::nullopt;
    return span{m.begin(), m.end()};
}

bool full(const std::string& pattern, const std::string& text) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    return m.match_full(text);
}

// Groups 1..n of the first match as texts; "-" for a group that did not take part.
std::vector<std::string> groups(const std::string& pattern, const std::string& text) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    std::vector<std::string> out;
    if (!m.search(text)) return out;
    for (uint32_t g = 0; g <= m.group_count(); ++g)
        out.push_back(m.matched(g) ? text.substr(m.begin(g), m.end(g) - m.begin(g)) : "-");
    return out;
}

}  // namespace

TEST(RegexEngine, CompileErrorsCarryTheStandardCodes) {
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"(", "error_paren"},           {"(a", "error_paren"},          {"a)", "error_paren"},
        {"(?<name>a)", "error_paren"},  {"(?<=a)b", "error_paren"},     {"(?<!a)b", "error_paren"},
        {"(?", "error_paren"},          {"(?x)", "error_paren"},        {"[a", "error_brack"},
        {"[", "error_brack"},           {"[^", "error_brack"},          {"[z-a]", "error_range"},
        {"[\\w-a]", "error_range"},     {"[a-\\d]", "error_range"},     {"a{", "error_badbrace"},
        {"a{x}", "error_badbrace"},     {"a{2,1}", "error_badbrace"},   {"a{,5}", "error_badbrace"},
        {"a{2", "error_brace"},         {"a{2,", "error_brace"},        {"a{2,3", "error_brace"},
        {"a**", "error_badrepeat"},     {"a+*", "error_badrepeat"},     {"a??+", "error_badrepeat"},
        {"a{2}{3}", "error_badrepeat"}, {"*a", "error_badrepeat"},      {"a|+", "error_badrepeat"},
        {"(*)", "error_badrepeat"},     {"^*", "error_badrepeat"},      {"\\b+", "error_badrepeat"},
        {"(?=a)*", "error_badrepeat"},  {"{1}", "error_badrepeat"},     {"\\", "error_escape"},
        {"ab\\", "error_escape"},       {"\\x4", "error_escape"},       {"\\u12g4", "error_escape"},
        {"\\c", "error_escape"},        {"[\\1]", "error_escape"},      {"\\1", "error_backref"},
        {"(a)\\2", "error_backref"},    {"(a\\1)", "error_backref"},    {"\\1(a)", "error_backref"},
        {"[[:alfa:]]", "error_ctype"},  {"[[:alpha]", "error_ctype"},   {"[[.ab.]]", "error_collate"},
        {"[[=ab=]]", "error_collate"},  {"a{4294967296}", "error_badbrace"},
    };
    for (const auto& [pattern, name] : cases)
        EXPECT_STREQ(regex_error_code_name(compile_code(pattern)), name) << pattern;
    const std::vector<std::string> accepted = {
        "",        "a",        "]",        "}",        "a{0}",     "a{2}?",    "a+?",      "(?:)",    "()",
        "(|)",     "a||b",     "\\q",      "\\-",      "[]",       "[^]",      "[a-]",     "[-a]",    "[--0]",
        "[a-z-0]", "[\\b]",    "\\0",      "\\x41",    "\\u0041",  "\\cA",     "(a)\\1",   "(?=a)",   "(?!a)",
        "[[:alpha:][:digit:]]", "[[.a.]]", "[[=a=]]", "a{1,}",    "a{3,3}",   "[\\d-]",   "\\/",     "x{0,0}",
    };
    for (const auto& pattern : accepted) EXPECT_EQ(compile_code(pattern), -1) << pattern;
}

TEST(RegexEngine, NestingBeyondTheLimitFailsWithoutRecursing) {
    const uint32_t limit = lum_regex::max_nesting;
    auto nested = [](uint32_t depth, const char* open) {
        std::string p;
        for (uint32_t i = 0; i < depth; ++i) p += open;
        p += "a";
        for (uint32_t i = 0; i < depth; ++i) p += ")";
        return p;
    };
    EXPECT_EQ(compile_code(nested(limit, "(")), -1);
    EXPECT_EQ(compile_code(nested(limit + 1, "(")), lum_regex_error_stack);
    EXPECT_EQ(compile_code(nested(limit + 1, "(?=")), lum_regex_error_stack);
    EXPECT_EQ(compile_code(std::string(100000, '(')), lum_regex_error_stack);
    EXPECT_EQ(search(nested(limit, "(?:"), "xa"), (span{1, 2}));
    // Long flat patterns are not nesting: they compile and run.
    std::string alternatives;
    for (int i = 0; i < 20000; ++i) alternatives += "k" + std::to_string(i) + ";|";
    alternatives += "zz";
    EXPECT_EQ(search(alternatives, "..k19999;.."), (span{2, 9}));
    std::string groups_in_a_row;
    for (int i = 0; i < 5000; ++i) groups_in_a_row += "(a?)";
    EXPECT_TRUE(full(groups_in_a_row, std::string(5000, 'a')));
}

TEST(RegexEngine, SearchAndFullMatchFollowEcmaScript) {
    struct row {
        const char* pattern;
        std::string text;
        std::optional<span> first;  // leftmost match
        bool whole;                 // the whole text matches
        bool std_agrees;            // std::regex gives the same results
    };
    const std::vector<row> rows = {
        {"abc", "xabcx", span{1, 4}, false, true},
        {"a|ab", "ab", span{0, 1}, true, true},  // first alternative wins; a full match backtracks
        {"ab|a", "ab", span{0, 2}, true, true}, {"cat|category", "category", span{0, 3}, true, true},
        {"a*", "", span{0, 0}, true, true}, {"x*", "abc", span{0, 0}, false, true},
        {"b*", "ab", span{0, 0}, false, true}, {"a*?b", "aaab", span{0, 4}, true, true},
        {"a+?", "aaa", span{0, 1}, true, true}, {"<.+>", "<a><b>", span{0, 6}, true, true},
        {"<.+?>", "<a><b>", span{0, 3}, true, true}, {"(a|b)*c", "abac", span{0, 4}, true, true},
        {"a{2,3}", "aaaa", span{0, 3}, false, true}, {"a{2,3}?", "aaaa", span{0, 2}, false, true},
        {"a{2}", "a", std::nullopt, false, true}, {"a{0}b", "ab", span{1, 2}, false, true},
        {"(?:ab)+", "ababa", span{0, 4}, false, true}, {"(?:ab){2,}", "abababx", span{0, 6}, false, true},
        {"[a-c]+", "xxbcay", span{2, 5}, false, true}, {"[^a-c]+", "abxyc", span{2, 4}, false, true},
        {"\\d+", "ab123c", span{2, 5}, false, true}, {"\\D\\S\\W", "1a ", std::nullopt, false, true},
        {"\\w+\\s\\w+", "hi there you", span{0, 8}, false, true}, {"\\bfoo\\b", "a foo b", span{2, 5}, false, true},
        {"\\bfoo\\b", "afoo", std::nullopt, false, true}, {"\\Boo", "foo", span{1, 3}, false, true},
        {"^abc$", "abc", span{0, 3}, true, true}, {"^b", "ab", std::nullopt, false, true},
        {"a$", "aba", span{2, 3}, false, true},
        {"a$", "a\n", std::nullopt, false, true},  // not multiline
        {"^", "\nx", span{0, 0}, false, true}, {".", "\n\r", std::nullopt, false, true},
        {"a.c", "a\tc", span{0, 3}, true, true}, {"[^]", "\n", span{0, 1}, true, false},
        {"[]", "a", std::nullopt, false, false}, {"(a)\\1", "aa", span{0, 2}, true, true},
        {"(\\w+)\\s\\1", "hello hello world", span{0, 11}, false, true},
        {"(?:(a)|b)\\1c", "bc", span{0, 2}, true, false},  // a reference to a group that did not take part is empty
        {"(?=a)a", "a", span{0, 1}, true, true}, {"(?!a)\\w", "ab", span{1, 2}, false, true},
        {"a(?=b)", "ab", span{0, 1}, false, true}, {"(a*)*b", "aab", span{0, 3}, true, true},
        {"(a|ab)(c|bcd)(d*)", "abcd", span{0, 4}, true, true}, {"[[:alpha:]]+", "12ab3", span{2, 4}, false, true},
        {"[[:digit:][:space:]]+", "a1 2b", span{1, 4}, false, true}, {"\\x41\\u0042", "xAB", span{1, 3}, false, true},
        {"\\.\\*", "a.*b", span{1, 3}, false, true}, {"[.]", "a.b", span{1, 2}, false, true},
        {"]}", "x]}", span{1, 3}, false, true}, {"[\\b]", "a\bb", span{1, 2}, false, true},
        {"\\t\\n\\v\\f\\r", "\t\n\v\f\r", span{0, 5}, true, true}, {"\\cJ", "\n", span{0, 1}, true, false},
        {"\xc3\xa9+", "caf\xc3\xa9\xa9", span{3, 6}, false, true},
        {"[\xc0-\xff]+", "ab\xe4\xf6" "c", span{2, 4}, false, true},
        {"a\\0b", std::string("a\0b", 3), span{0, 3}, true, true}, {"(?:a?){3}a{3}", "aaa", span{0, 3}, true, true},
        {"x{1,3}?y", "xxxy", span{0, 4}, true, true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(search(r.pattern, r.text), r.first) << r.pattern << " on " << r.text;
        EXPECT_EQ(full(r.pattern, r.text), r.whole) << r.pattern << " on " << r.text;
        if (!r.std_agrees) continue;
        std::regex reference(r.pattern, std::regex::ECMAScript);
        std::smatch m;
        if (std::regex_search(r.text, m, reference)) {
            ASSERT_TRUE(r.first.has_value()) << r.pattern;
            EXPECT_EQ(static_cast<size_t>(m.position(0)), r.first->first) << r.pattern;
            EXPECT_EQ(static_cast<size_t>(m.length(0)), r.first->second - r.first->first) << r.pattern;
        } else {
            EXPECT_FALSE(r.first.has_value()) << r.pattern;
        }
        EXPECT_EQ(std::regex_match(r.text, reference), r.whole) << r.pattern;
    }
}

TEST(RegexEngine, CapturesFollowEcmaScript) {
    using v = std::vector<std::string>;
    // A repeated group's captures are cleared at each iteration.
    EXPECT_EQ(groups("(a|(b))+", "ab"), (v{"ab", "b", "b"}));
    EXPECT_EQ(groups("(a|(b))+", "ba"), (v{"ba", "a", "-"}));
    EXPECT_EQ(groups("(z)((a+)?(b+)?(c))*", "zaacbbbcac"), (v{"zaacbbbcac", "z", "ac", "a", "-", "c"}));
    EXPECT_EQ(groups("(?:(a)|(b)|c)*", "abc"), (v{"abc", "-", "-"}));
    // An iteration that matches the empty text ends the loop.
    EXPECT_EQ(groups("(a*)*", "b"), (v{"", "-"}));
    EXPECT_EQ(groups("(a*)+", "b"), (v{"", ""}));
    // Lookahead: captures of a positive one stay, of a negative one never do.
    EXPECT_EQ(groups("(?=(a+))a*b\\1", "baaabac"), (v{"aba", "a"}));
    EXPECT_EQ(groups("(.*?)a(?!(a+)b\\2c)\\2(.*)", "baaabaac"), (v{"baaabaac", "ba", "-", "abaac"}));
    EXPECT_EQ(groups("(a)|b", "b"), (v{"b", "-"}));
    EXPECT_EQ(groups("(a|ab)(c|bcd)(d*)", "abcd"), (v{"abcd", "a", "bcd", ""}));
    EXPECT_EQ(groups("(?:a|(b))*?c", "abc"), (v{"abc", "b"}));
    EXPECT_EQ(groups("(a?)*?b", "ab"), (v{"ab", "a"}));
    // An empty capture referenced on an empty text, also one without storage.
    EXPECT_EQ(groups("(a*)\\1", ""), (v{"", ""}));
    lum_regex empty_reference("(a*)\\1$");
    lum_regex_matcher m(empty_reference);
    EXPECT_TRUE(m.search(std::string_view()));
    EXPECT_TRUE(m.match_full(std::string_view()));
}

TEST(RegexEngine, ClassesAreAsciiWhateverTheLocale) {
    const char* names[] = {"alnum", "alpha", "blank", "cntrl", "digit", "graph",
                           "lower", "print", "punct", "space", "upper", "xdigit"};
    int (*const c_locale[])(int) = {isalnum, isalpha, isblank, iscntrl, isdigit, isgraph,
                                    islower, isprint, ispunct, isspace, isupper, isxdigit};
    std::vector<std::unique_ptr<lum_regex>> before;
    for (const char* name : names) before.push_back(std::make_unique<lum_regex>(std::string("[[:") + name + ":]]"));
    const char* const previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    std::setlocale(LC_ALL, "C.UTF-8");  // a host may do this; nothing may change
    for (size_t i = 0; i < std::size(names); ++i) {
        const lum_regex after(std::string("[[:") + names[i] + ":]]");
        for (int c = 0; c < 256; ++c) {
            const std::string byte(1, static_cast<char>(c));
            const bool expected = c < 0x80 && c_locale[i](c) != 0;  // the C locale's ASCII table
            EXPECT_EQ(lum_regex_matcher(*before[i]).match_full(byte), expected) << names[i] << " " << c;
            EXPECT_EQ(lum_regex_matcher(after).match_full(byte), expected) << names[i] << " " << c;
        }
    }
    std::setlocale(LC_ALL, saved.c_str());
    for (int c = 0x80; c < 256; ++c) {
        const std::string byte(1, static_cast<char>(c));
        EXPECT_FALSE(full("\\w|\\d|\\s|[\\w\\d\\s]", byte)) << c;
        EXPECT_TRUE(full("\\W\\D\\S", byte + byte + byte)) << c;
        EXPECT_EQ(search("\\b", "a" + byte), (span{0, 0}));
        EXPECT_EQ(search("a\\b", "a" + byte), (span{0, 1}));  // a word boundary before a high byte
    }
}

TEST(RegexEngine, LaterSearchesSeeTheBytesBeforeTheirStart) {
    EXPECT_EQ(search("^a", "aa", 1), std::nullopt);
    EXPECT_EQ(search("^", "ab", 1), std::nullopt);
    EXPECT_EQ(search("\\ba", "ba", 1), std::nullopt);  // 'b' before it is a word byte
    EXPECT_EQ(search("\\ba", " a", 1), (span{1, 2}));
    EXPECT_EQ(search("\\Ba", "ba", 1), (span{1, 2}));
    EXPECT_EQ(search("a$", "aa", 1), (span{1, 2}));
    EXPECT_EQ(search("x*", "ab", 2), (span{2, 2}));
    EXPECT_EQ(search("x", "ab", 3), std::nullopt);  // beyond the end: nothing
    // A byte every match needs, looked for once per text: a later search
    // that starts before the place it was last looked for from still finds it.
    for (auto engine : {lum_regex_engine::automatic, lum_regex_engine::backtracking}) {
        lum_regex needs_z("a\\w*z");
        lum_regex_matcher mz(needs_z, {}, engine);
        const std::string text = "az-a-a";
        EXPECT_FALSE(mz.search(text, 2));
        EXPECT_FALSE(mz.search(text, 3));
        ASSERT_TRUE(mz.search(text, 0));
        EXPECT_EQ(mz.end(), 2u);
        EXPECT_FALSE(mz.match_full(text));
        EXPECT_TRUE(mz.match_full("az"));
    }
    lum_regex re("b*");
    lum_regex_matcher m(re);
    EXPECT_FALSE(m.match_here_not_empty("ab", 0));
    ASSERT_TRUE(m.match_here_not_empty("ab", 1));
    EXPECT_EQ(m.end(), 2u);
    lum_regex lazy("a??");
    lum_regex_matcher ml(lazy);
    ASSERT_TRUE(ml.match_here_not_empty("a", 0));  // a lower-priority non-empty match is found
    EXPECT_EQ(ml.end(), 1u);
}

TEST(RegexEngine, RepetitionOverTheWholeAcceptedInputNeedsNoThreadStack) {
    // The standard library's matcher recurses per byte here; this one keeps
    // its backtracking state on the heap.
    std::string text;
    for (int i = 0; i < 8192; ++i) text += static_cast<char>('a' + i % 6);
    EXPECT_TRUE(full("(a|b|c|d|e|f)*", text));
    EXPECT_TRUE(full("(?:(a)|(b)|(c)|(d)|(e)|(f))+", text));
    EXPECT_EQ(search("(?:a|b|c|d|e|f)*$", text), (span{0, 8192}));
    const std::string long_text(262144, 'x');
    EXPECT_EQ(search("x*y?$", long_text), (span{0, 262144}));
    EXPECT_EQ(search(".*z", long_text), std::nullopt);
    EXPECT_EQ(search("x*?z", long_text), std::nullopt);
    EXPECT_EQ(search("\\w+\\s", long_text), std::nullopt);
}

TEST(RegexEngine, RepeatedSearchesCostWhatTheyMatchNotThePatternSize) {
    // 100000 capture groups that never take part: each of the 262144
    // searches must not pay for clearing all of them (that took seconds).
    std::string pattern = "b|";
    for (int i = 0; i < 100000; ++i) pattern += "(c)";
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    const std::string text(262144, 'b');
    const auto t0 = std::chrono::steady_clock::now();
    size_t found = 0;
    for (size_t at = 0; at < text.size(); ++at) found += m.search(text, at) && m.begin() == at ? 1 : 0;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    EXPECT_EQ(found, text.size());
    // The groups a match set are unset again for the next search.
    lum_regex two("(a)|(b)");
    lum_regex_matcher mt(two);
    ASSERT_TRUE(mt.search("ab", 0));
    EXPECT_TRUE(mt.matched(1));
    ASSERT_TRUE(mt.search("ab", 1));
    EXPECT_FALSE(mt.matched(1));
    EXPECT_TRUE(mt.matched(2));
    ASSERT_TRUE(mt.match_here_not_empty("ba", 1));
    EXPECT_TRUE(mt.matched(1));
    EXPECT_FALSE(mt.matched(2));
    ASSERT_TRUE(mt.match_full("b"));
    EXPECT_FALSE(mt.matched(1));
}

TEST(RegexEngine, HopelessMatchesEndWithTheirBudgetError) {
    // On the backtracking machine (patterns with back-references or
    // lookaheads always run there).
    auto code_of = [](const std::string& pattern, const std::string& text, lum_regex_limits limits) {
        lum_regex re(pattern);
        lum_regex_matcher m(re, limits, lum_regex_engine::backtracking);
        try {
            m.search(text);
            return -1;
        } catch (const lum_regex_error& e) {
            return e.code();
        }
    };
    // Exponential backtracking (the default budget ends these in about a
    // tenth of a second in a release build; bench/regex.cpp times them).
    lum_regex_limits small;
    small.max_start_steps = 2'000'000;
    const auto t0 = std::chrono::steady_clock::now();
    // (Each text holds the byte every match needs, so the search cannot skip it.)
    EXPECT_EQ(code_of("(a+)+b", "b" + std::string(40, 'a'), small), lum_regex_error_complexity);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    small.max_start_steps = 200000;
    EXPECT_EQ(code_of("(?:a?){30}a{30}", std::string(30, 'a'), small), lum_regex_error_complexity);
    EXPECT_EQ(code_of("(x+x+)+y", "y" + std::string(30, 'x'), small), lum_regex_error_complexity);
    EXPECT_EQ(code_of("(?:(?:a|a)+)+b", "b" + std::string(40, 'a'), small), lum_regex_error_complexity);
    // Deeply nested captures repeated over a long input fill the backtrack stack.
    std::string nested;
    for (int i = 0; i < 60; ++i) nested += "(";
    nested += "a";
    for (int i = 0; i < 60; ++i) nested += ")";
    nested += "*";
    EXPECT_EQ(code_of(nested, std::string(8192, 'a'), {}), lum_regex_error_stack);
    lum_regex_limits roomy;
    roomy.max_stack_bytes = size_t{1} << 30;
    EXPECT_EQ(code_of(nested, std::string(2000, 'a'), roomy), -1);
    // The total budget spans every call of one matcher; each start position
    // has its own budget as well.
    lum_regex re("a");
    lum_regex_limits few;
    few.max_steps = 50;
    lum_regex_matcher m(re, few, lum_regex_engine::backtracking);
    const std::string text(100, 'a');
    EXPECT_THROW(
        {
            for (size_t at = 0; at < text.size(); ++at) m.match_here_not_empty(text, at);
        },
        lum_regex_error);
    lum_regex quadratic("(?=a)\\w*b");
    lum_regex_limits per_start;
    per_start.max_start_steps = 5000;  // one start scans the whole text
    lum_regex_matcher mq(quadratic, per_start);
    EXPECT_FALSE(mq.search("b" + std::string(2000, 'a')));
    per_start.max_steps = 100000;  // every start together scan it 2000 times
    lum_regex_matcher capped(quadratic, per_start);
    EXPECT_THROW(capped.search("b" + std::string(2000, 'a')), lum_regex_error);
}

TEST(RegexEngine, PatternsWithoutBackReferencesNeedNoBudget) {
    // The same hopeless patterns and more run on the NFA: right answers, no budget.
    lum_regex_limits tiny;
    tiny.max_steps = 10;
    tiny.max_start_steps = 10;
    tiny.max_stack_bytes = 64;
    auto linear_search = [&](const std::string& pattern, const std::string& text) -> std::optional<span> {
        lum_regex re(pattern);
        lum_regex_matcher m(re, tiny);
        EXPECT_TRUE(m.linear()) << pattern;
        if (!m.search(text)) return std::nullopt;
        return span{m.begin(), m.end()};
    };
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(linear_search("(a+)+b", std::string(8192, 'a')), std::nullopt);
    EXPECT_EQ(linear_search("(x+x+)+y", std::string(8192, 'x') + "y"), (span{0, 8193}));
    EXPECT_EQ(linear_search("(?:a?){30}a{30}", std::string(30, 'a')), (span{0, 30}));
    EXPECT_EQ(linear_search("(?:(?:a|a)+)+b", std::string(8192, 'a')), std::nullopt);
    EXPECT_EQ(linear_search(".*.*.*.*.*.*=.*", std::string(16384, 'a')), std::nullopt);
    std::string pairs;
    for (int i = 0; i < 4000; ++i) pairs += "ab";
    EXPECT_EQ(linear_search("(a|b)*c", pairs + "xbc"), (span{8001, 8003}));
    std::string nested;
    for (int i = 0; i < 60; ++i) nested += "(";
    nested += "a";
    for (int i = 0; i < 60; ++i) nested += ")";
    EXPECT_EQ(linear_search(nested + "*", std::string(8192, 'a')), (span{0, 8192}));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    // Groups come from the NFA too.
    lum_regex re("(?:(a)|(b))+c");
    lum_regex_matcher m(re, tiny, lum_regex_engine::nfa);
    const std::string subject = pairs + "xbc";  // groups are read from it later
    ASSERT_TRUE(m.search(subject));
    EXPECT_FALSE(m.matched(1));
    EXPECT_EQ(m.begin(2), 8001u);
    // A walk whose first matches are cheap for the backtracking machine and
    // whose later searches are not: the NFA takes over mid-walk.
    lum_regex walk("(a|b)*(c)");
    lum_regex_matcher mw(walk, tiny);
    const std::string text = "cc" + pairs + "xbc";
    std::vector<std::string> found;
    lum_regex_each_match(mw, text, [&](size_t b, size_t e) {
        found.push_back(text.substr(b, e - b) + "/" + std::to_string(mw.begin(1)) + "/" + std::to_string(mw.begin(2)));
    });
    const std::string none = std::to_string(lum_regex_matcher::npos);
    EXPECT_EQ(found, (std::vector<std::string>{"c/" + none + "/0", "c/" + none + "/1", "bc/8003/8004"}));
    // A text too long for the pattern's size goes to the backtracking
    // machine, whose budget refuses it quickly instead of the NFA's minutes.
    std::string words;
    for (int i = 0; i < 2000; ++i) words += (i ? "|k" : "k") + std::to_string(i) + ";";
    lum_regex many(words);
    lum_regex_limits some;
    some.max_steps = 5'000'000;
    lum_regex_matcher mm(many, some);
    EXPECT_TRUE(mm.linear());
    EXPECT_EQ(mm.search("..k1999;.."), true);
    EXPECT_THROW(mm.search(std::string(262144, 'k')), lum_regex_error);
    // Back-references, lookaheads and repeats too large to unroll stay on the
    // backtracking machine.
    for (const char* pattern : {"(a)\\1", "(?=a)", "(?!a)b", "(?:ab){30000}"}) {
        lum_regex r(pattern);
        EXPECT_FALSE(lum_regex_matcher(r).linear()) << pattern;
    }
}

// ---- the text walks of the regex methods: successive matches (findall,
// split), the replace loop with its "$" format, escaping, budgets ----
namespace {

using list = std::vector<std::string>;

list findall(const std::string& pattern, const std::string& text) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    list out;
    lum_regex_each_match(m, text, [&](size_t b, size_t e) { out.push_back(text.substr(b, e - b)); });
    return out;
}

list split(const std::string& pattern, const std::string& text) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    list out;
    lum_regex_split_pieces(m, text, [&](std::string_view piece) { out.emplace_back(piece); });
    return out;
}

std::string replace(const std::string& pattern, const std::string& text, const std::string& replacement) {
    lum_regex re(pattern);
    lum_regex_matcher m(re);
    return lum_regex_replace_text(m, text, replacement);
}

}  // namespace

TEST(RegexText, FindallAndSplitWalkAroundEmptyMatches) {
    // After an empty match a non-empty match at the same place comes first;
    // later searches see the byte before them (no second "^"); the first
    // search of an empty text is made; split drops an empty rest only.
    const std::tuple<const char*, const char*, list> findall_rows[] = {
        {"\\d+", "a1b22", {"1", "22"}},    {"x*", "abc", {"", "", "", ""}},    {"b*", "ab", {"", "b", ""}},
        {"x", "abc", {}},                 {"x*", "", {""}},                  {"a|ab", "ab", {"a"}},
        {"|a", "aa", {"", "a", "", "a", ""}}, {"a??", "aa", {"", "a", "", "a", ""}}, {"^a", "aaa", {"a"}},
        {"^", "abc", {""}},               {"\\b", "ab cd", {"", "", "", ""}}, {"\\w+", "ab, cd e", {"ab", "cd", "e"}},
        {"$", "ab", {""}}};
    for (const auto& [pattern, text, expected] : findall_rows)
        EXPECT_EQ(findall(pattern, text), expected) << pattern << " in " << text;
    const std::tuple<const char*, const char*, list> split_rows[] = {
        {",", "a,b,,c", {"a", "b", "", "c"}}, {",", "a,b,", {"a", "b"}},     {",", ",a", {"", "a"}},
        {",", "abc", {"abc"}},             {",", "", {""}},                 {"\\s*", "ab", {"", "a", "b"}},
        {"x*", "ab", {"", "a", "b"}},      {"\\s+", "  a b  ", {"", "a", "b"}}};
    for (const auto& [pattern, text, expected] : split_rows)
        EXPECT_EQ(split(pattern, text), expected) << pattern << " in " << text;
}

TEST(RegexText, ReplaceLoopAndDollarFormat) {
    std::string twelve;
    for (char c = 'a'; c <= 'l'; ++c) twelve += std::string("(") + c + ")";
    // $& the match, $` before it (from the previous match's end), $' after it,
    // $n / $nn groups (absent and missing ones give nothing), anything else literal.
    const std::tuple<std::string, const char*, const char*, const char*> rows[] = {
        {"(b+)", "abbc", "[$1]", "a[bb]c"},  {"b", "abbc", "$$", "a$$c"},       {"x*", "ab", "-", "-a-b-"},
        {"b*", "ab", "-", "-a-"},            {"x*", "", "-", "-"},              {"b", "abbc", "$0", "a$0$0c"},
        {"b", "abbc", "$00", "a$00$00c"},    {"q", "abc", "-", "abc"},          {"b", "abc", "<$&>", "a<b>c"},
        {"b", "abcbd", "<$`>", "a<a>c<c>d"}, {"b", "abcbd", "<$'>", "a<cbd>c<d>d"}, {"b", "abc", "$", "a$c"},
        {"b", "abc", "$x$", "a$x$c"},        {"(a)(b)?", "ac", "[$2|$1|$3|$9]", "[|a||]c"},
        {"(b)", "abc", "$1x$10", "abxc"},    {"(b)", "abc", "$01", "abc"},      {twelve, "abcdefghijkl", "$12$1", "la"},
        {"|a", "aa", "-", "----"},           {"^a", "aaa", "-", "-aa"},         {"\\b", "ab cd", "|", "|ab| |cd|"}};
    for (const auto& [pattern, text, replacement, expected] : rows)
        EXPECT_EQ(replace(pattern, text, replacement), expected) << pattern << " in " << text << " by " << replacement;
}

TEST(RegexText, EscapeCoversTheFourteenMetacharacters) {
    EXPECT_EQ(lum_regex_escape_text("a.b"), "a\\.b");
    EXPECT_EQ(lum_regex_escape_text("a-b/c"), "a-b/c");
    EXPECT_EQ(lum_regex_escape_text(""), "");
    const std::string meta = ".^$|()[]{}*+?\\";
    std::string expected;
    for (char c : meta) expected += std::string("\\") + c;
    EXPECT_EQ(lum_regex_escape_text(meta), expected);
    // An escaped text matches itself literally.
    const std::string text = "1+1=2? (yes) [a-z]{3} \\d* ^$|.";
    lum_regex re(lum_regex_escape_text(text));
    lum_regex_matcher m(re);
    EXPECT_TRUE(m.match_full(text));
}

TEST(RegexText, BudgetFailuresLeaveWhatWasFound) {
    lum_regex re("x|(a+)+b");
    lum_regex_limits limits;
    limits.max_steps = 100000;
    lum_regex_matcher m(re, limits, lum_regex_engine::backtracking);
    const std::string text = "x x " + std::string(40, 'a');
    list found;
    try {
        lum_regex_each_match(m, text, [&](size_t b, size_t e) { found.push_back(text.substr(b, e - b)); });
        FAIL() << "the walk should have run out of steps";
    } catch (const lum_regex_error& e) {
        EXPECT_EQ(e.code(), lum_regex_error_complexity);
    }
    EXPECT_EQ(found, (list{"x", "x"}));
}

TEST(RegexText, ReplaceWorkAndOutputAreBudgeted) {
    // A long replacement is expanded once per match: that work counts against
    // the step budget even when it produces nothing (group 1 is empty here).
    lum_regex empty_group("(x*)");
    lum_regex_limits limits;
    limits.max_steps = 100000;
    std::string nothing;
    for (int i = 0; i < 5000; ++i) nothing += "$1";
    lum_regex_matcher m(empty_group, limits);
    try {
        lum_regex_replace_text(m, std::string(16384, 'a'), nothing);
        FAIL() << "expanding the replacement should have run out of steps";
    } catch (const lum_regex_error& e) {
        EXPECT_EQ(e.code(), lum_regex_error_complexity);
    }
    // "$'" after every one of n empty matches builds about n*n/2 bytes: the
    // replaced text may not grow past its budget.
    lum_regex empty_matches("x*");
    limits = {};
    limits.max_output_bytes = 1000;
    lum_regex_matcher small(empty_matches, limits);
    EXPECT_EQ(lum_regex_replace_text(small, "abc", "<$'>"), "<abc>a<bc>b<c>c<>");
    try {
        lum_regex_replace_text(small, std::string(100, 'a'), "$'");
        FAIL() << "the replaced text should have exceeded its budget";
    } catch (const lum_regex_error& e) {
        EXPECT_EQ(e.code(), lum_regex_error_space);
        EXPECT_STREQ(e.what(), "the replaced text needed more than 1000 bytes");
    }
    lum_regex_matcher exact(empty_matches, limits);
    EXPECT_EQ(lum_regex_replace_text(exact, std::string(999, 'a'), "").size(), 999u);  // at the budget: fine
}
