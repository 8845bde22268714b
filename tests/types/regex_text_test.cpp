// The text-level work of the regex methods: the walk over successive matches
// (findall, split), the replace loop with its "$" format, and escaping.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "types/regex_engine.h"
#include "types/regex_text.h"

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
    for (const auto& [pattern, text, expected] : findall_rows) EXPECT_EQ(findall(pattern, text), expected) << pattern << " in " << text;
    const std::tuple<const char*, const char*, list> split_rows[] = {
        {",", "a,b,,c", {"a", "b", "", "c"}}, {",", "a,b,", {"a", "b"}},     {",", ",a", {"", "a"}},
        {",", "abc", {"abc"}},             {",", "", {""}},                 {"\\s*", "ab", {"", "a", "b"}},
        {"x*", "ab", {"", "a", "b"}},      {"\\s+", "  a b  ", {"", "a", "b"}}};
    for (const auto& [pattern, text, expected] : split_rows) EXPECT_EQ(split(pattern, text), expected) << pattern << " in " << text;
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
