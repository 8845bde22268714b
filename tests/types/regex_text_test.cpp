// The text-level work of the regex methods: the walk over successive matches
// (findall, split), the replace loop with its "$" format, and escaping.
#include <gtest/gtest.h>

#include <string>
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

TEST(RegexText, FindallWalksAroundEmptyMatches) {
    EXPECT_EQ(findall("\\d+", "a1b22"), (list{"1", "22"}));
    EXPECT_EQ(findall("x*", "abc"), (list{"", "", "", ""}));
    EXPECT_EQ(findall("b*", "ab"), (list{"", "b", ""}));
    EXPECT_EQ(findall("x", "abc"), list{});
    EXPECT_EQ(findall("x*", ""), list{""});  // the first search of an empty text is made
    EXPECT_EQ(findall("a|ab", "ab"), list{"a"});
    // After an empty match, a non-empty match at the same place comes first.
    EXPECT_EQ(findall("|a", "aa"), (list{"", "a", "", "a", ""}));
    EXPECT_EQ(findall("a??", "aa"), (list{"", "a", "", "a", ""}));
    // Later searches see the byte before them: no second "^", word boundaries hold.
    EXPECT_EQ(findall("^a", "aaa"), list{"a"});
    EXPECT_EQ(findall("^", "abc"), list{""});
    EXPECT_EQ(findall("\\b", "ab cd"), (list{"", "", "", ""}));
    EXPECT_EQ(findall("\\w+", "ab, cd e"), (list{"ab", "cd", "e"}));
    EXPECT_EQ(findall("$", "ab"), list{""});
}

TEST(RegexText, SplitKeepsEmptyPiecesButNotAnEmptyRest) {
    EXPECT_EQ(split(",", "a,b,,c"), (list{"a", "b", "", "c"}));
    EXPECT_EQ(split(",", "a,b,"), (list{"a", "b"}));
    EXPECT_EQ(split(",", ",a"), (list{"", "a"}));
    EXPECT_EQ(split(",", "abc"), list{"abc"});
    EXPECT_EQ(split(",", ""), list{""});
    EXPECT_EQ(split("\\s*", "ab"), (list{"", "a", "b"}));
    EXPECT_EQ(split("x*", "ab"), (list{"", "a", "b"}));
    EXPECT_EQ(split("\\s+", "  a b  "), (list{"", "a", "b"}));
}

TEST(RegexText, ReplaceLoopAndDollarFormat) {
    EXPECT_EQ(replace("(b+)", "abbc", "[$1]"), "a[bb]c");
    EXPECT_EQ(replace("b", "abbc", "$$"), "a$$c");
    EXPECT_EQ(replace("x*", "ab", "-"), "-a-b-");
    EXPECT_EQ(replace("b*", "ab", "-"), "-a-");  // the match reaches the end: no empty match follows
    EXPECT_EQ(replace("x*", "", "-"), "-");      // the first search of an empty text is made
    EXPECT_EQ(replace("b", "abbc", "$0"), "a$0$0c");
    EXPECT_EQ(replace("b", "abbc", "$00"), "a$00$00c");
    EXPECT_EQ(replace("q", "abc", "-"), "abc");
    EXPECT_EQ(replace("b", "abc", "<$&>"), "a<b>c");
    EXPECT_EQ(replace("b", "abcbd", "<$`>"), "a<a>c<c>d");  // from the previous match's end
    EXPECT_EQ(replace("b", "abcbd", "<$'>"), "a<cbd>c<d>d");
    EXPECT_EQ(replace("b", "abc", "$"), "a$c");
    EXPECT_EQ(replace("b", "abc", "$x$"), "a$x$c");
    EXPECT_EQ(replace("(a)(b)?", "ac", "[$2|$1|$3|$9]"), "[|a||]c");  // absent and missing groups give nothing
    EXPECT_EQ(replace("(b)", "abc", "$1x$10"), "abxc");                // $10 names group 10, absent here
    EXPECT_EQ(replace("(b)", "abc", "$01"), "abc");                    // $01 is group 1
    std::string twelve;
    for (int i = 1; i <= 12; ++i) twelve += "(" + std::string(1, static_cast<char>('a' + i - 1)) + ")";
    EXPECT_EQ(replace(twelve, "abcdefghijkl", "$12$1"), "la");
    // After an empty match a non-empty one at the same place is taken.
    EXPECT_EQ(replace("|a", "aa", "-"), "----");
    EXPECT_EQ(replace("^a", "aaa", "-"), "-aa");
    EXPECT_EQ(replace("\\b", "ab cd", "|"), "|ab| |cd|");
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
