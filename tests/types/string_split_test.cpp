// split and smart_split: limits, stripping, and every mode of the smart
// scanner (quotes, escapes, triple quotes, raw strings, comments, brackets).

#include <gtest/gtest.h>

#include "tests/types/string_test_support.h"
#include "types/string_split.h"

using namespace strtest;

namespace {

strings smart(std::string_view text, std::string_view delim, uint64_t max_parts = UINT64_MAX, bool strip = false) {
    return lum_string_smart_split(text, delim, max_parts, strip);
}

}  // namespace

TEST_F(string_test, SplitLimitsAndStrips) {
    lumvar_shared s = str("a,b,,c");
    EXPECT_EQ(call_list(s, "split", {","}), (strings{"a", "b", "", "c"}));
    EXPECT_EQ(call_list(s, "split", {",", 2}), (strings{"a", "b,,c"}));
    EXPECT_EQ(call_list(s, "split", {",", 3}), (strings{"a", "b", ",c"}));
    EXPECT_EQ(call_list(s, "split", {",", 0}), strings{});
    EXPECT_EQ(call_list(s, "split", {",", -5}), (strings{"a", "b", "", "c"}));
    EXPECT_EQ(call_list(s, "split", {",,"}), (strings{"a,b", "c"}));
    EXPECT_EQ(call_list(s, "split", {"x"}), (strings{"a,b,,c"}));
    EXPECT_EQ(call_list(str(",a,"), "split", {","}), (strings{"", "a", ""}));
    EXPECT_EQ(call_list(str(""), "split", {","}), (strings{""}));
    EXPECT_EQ(call_list(str(" a,b "), "split", {",", 1, 1}), (strings{"a,b"}));
    EXPECT_EQ(call_list(str("a , b"), "split", {",", -1, 1}), (strings{"a", "b"}));
    EXPECT_EQ(call_list(str("a , b"), "split", {",", -1, "yes"}), (strings{"a", "b"}));
    EXPECT_EQ(call_list(str("a , b"), "split", {",", -1, 0}), (strings{"a ", " b"}));
    EXPECT_EQ(call_list(str("1x2"), "split", {"x", 2.7}), (strings{"1", "2"}));
    EXPECT_TRUE(warnings().empty());

    EXPECT_EQ(call_list(str(" a,b "), "split", {"", -1, 1}), (strings{" a,b "}));
    EXPECT_EQ(warnings(), strings{"split: empty delimiter - nothing to search for, call ignored."});
    // The limits are looked at before the delimiter.
    EXPECT_EQ(call_list(str("ab"), "split", {"", 0}), strings{});
    EXPECT_TRUE(warnings().empty());

    // Splitting a string by itself.
    EXPECT_EQ(call_list(s, "split", {s}), (strings{"", ""}));
}

TEST_F(string_test, SmartSplitTopLevelOnly) {
    lumvar_shared s = str("a, (b, c), [d, e], {f, g}");
    EXPECT_EQ(call_list(s, "smart_split", {", "}), (strings{"a", "(b, c)", "[d, e]", "{f, g}"}));
    EXPECT_EQ(call_list(str("a, b, c"), "smart_split", {", ", 2}), (strings{"a", "b, c"}));
    EXPECT_EQ(call_list(str("a, b, c"), "smart_split", {", ", 0}), strings{});
    EXPECT_EQ(call_list(str(" a, b, c "), "smart_split", {", ", 1, 1}), (strings{"a, b, c"}));
    EXPECT_EQ(call_list(str(" a , b "), "smart_split", {",", -1, 1}), (strings{"a", "b"}));
    EXPECT_EQ(call_list(str(" a , b "), "smart_split", {","}), (strings{" a ", " b "}));
    EXPECT_EQ(call_list(str(""), "smart_split", {","}), (strings{""}));
    EXPECT_EQ(call_list(str(" a,b "), "smart_split", {"", -1, 1}), (strings{" a,b "}));
    EXPECT_TRUE(warnings().empty());  // no warning for an empty delimiter
}

TEST_F(string_test, SmartSplitQuotesAndEscapes) {
    EXPECT_EQ(smart("x, 'a, b', \"c, d\", y", ", "), (strings{"x", "'a, b'", "\"c, d\"", "y"}));
    // One backslash escapes the quote; two do not.
    EXPECT_EQ(smart(R"("a\", b", c)", ", "), (strings{R"("a\", b")", "c"}));
    EXPECT_EQ(smart(R"("a\\", b)", ", "), (strings{R"("a\\")", "b"}));
    EXPECT_EQ(smart(R"("a\\\", b", c)", ", "), (strings{R"("a\\\", b")", "c"}));
    EXPECT_EQ(smart(R"('it\'s, x', y)", ", "), (strings{R"('it\'s, x')", "y"}));
    // A quote of the other kind does not close the string.
    EXPECT_EQ(smart("'a\", b', c", ", "), (strings{"'a\", b'", "c"}));
    // Unterminated: no split after the opening.
    EXPECT_EQ(smart("a, 'b, c", ", "), (strings{"a", "'b, c"}));
    // A delimiter that begins with a quote never matches.
    EXPECT_EQ(smart("a'b'c", "'"), (strings{"a'b'c"}));
}

TEST_F(string_test, SmartSplitTripleQuotes) {
    EXPECT_EQ(smart("'''a, b''', c", ", "), (strings{"'''a, b'''", "c"}));
    EXPECT_EQ(smart("\"\"\"a, \"b\", c\"\"\", d", ", "), (strings{"\"\"\"a, \"b\", c\"\"\"", "d"}));
    // No escapes inside triple quotes.
    EXPECT_EQ(smart("'''a\\''', b", ", "), (strings{"'''a\\'''", "b"}));
    EXPECT_EQ(smart("'''a, b", ", "), (strings{"'''a, b"}));
    // Two quotes are an empty string.
    EXPECT_EQ(smart("'', b", ", "), (strings{"''", "b"}));
}

TEST_F(string_test, SmartSplitRawStrings) {
    EXPECT_EQ(smart("R\"xy(a, b)xy\", t", ", "), (strings{"R\"xy(a, b)xy\"", "t"}));
    // A closing sequence with another tag does not end the raw string.
    EXPECT_EQ(smart("R\"xy(a)\", b)xy\", t", ", "), (strings{"R\"xy(a)\", b)xy\"", "t"}));
    EXPECT_EQ(smart("R\"(a, \"b\")\", c", ", "), (strings{"R\"(a, \"b\")\"", "c"}));
    // A space in the tag: the quote after 'R' opens an ordinary string.
    EXPECT_EQ(smart("R\"x y(a, b)x y\", t", ", "), (strings{"R\"x y(a, b)x y\"", "t"}));
    EXPECT_EQ(smart("R\"x y(\"a, b\")x y\", t", ", "), (strings{"R\"x y(\"a", "b\")x y\"", "t"}));
    EXPECT_EQ(smart("R\"x\\y(\"a, b\")x\\y\", t", ", ").size(), 3u);
    EXPECT_EQ(smart("R\"xy(\"a, b\")xy\", t", ", ").size(), 2u);
    // Without '(' the opener is no raw string either.
    EXPECT_EQ(smart("R\"ab\", c", ", "), (strings{"R\"ab\"", "c"}));
    // An 'R' may start the delimiter where it opens no raw string.
    EXPECT_EQ(smart("aRb", "R"), (strings{"a", "b"}));
    EXPECT_EQ(smart("aR\"(x)\"b", "R\""), (strings{"aR\"(x)\"b"}));
    // Unterminated raw string.
    EXPECT_EQ(smart("R\"t(a, b", ", "), (strings{"R\"t(a, b"}));
}

TEST_F(string_test, SmartSplitComments) {
    EXPECT_EQ(smart("f(a, b) // note, more", ", "), (strings{"f(a, b) // note, more"}));
    EXPECT_EQ(smart("f(a, b) // note, more\n, z", ", "), (strings{"f(a, b) // note, more\n", "z"}));
    EXPECT_EQ(smart("a /* x, y */, b", ", "), (strings{"a /* x, y */", "b"}));
    EXPECT_EQ(smart("a /* x, y, b", ", "), (strings{"a /* x, y, b"}));
    EXPECT_EQ(smart("a /*/, b", ", "), (strings{"a /*/, b"}));
    // The line feed that ends a line comment is the comment's.
    EXPECT_EQ(smart("a // c\nb", "\n"), (strings{"a // c\nb"}));
    EXPECT_EQ(smart("a\nb // c\nd\ne", "\n"), (strings{"a", "b // c\nd", "e"}));
    // A delimiter starting with '/' matches where no comment starts.
    EXPECT_EQ(smart("a/b//c", "/"), (strings{"a", "b//c"}));
    // Comment openers inside strings are text.
    EXPECT_EQ(smart("'//', x", ", "), (strings{"'//'", "x"}));
}

TEST_F(string_test, SmartSplitBrackets) {
    EXPECT_EQ(smart("(a, b", ", "), (strings{"(a, b"}));
    EXPECT_EQ(smart("a), b", ", "), (strings{"a)", "b"}));
    EXPECT_EQ(smart("f(a), [b, (c]), d", ", "), (strings{"f(a)", "[b, (c])", "d"}));
    // The delimiter is tested after its own byte's bracket update.
    EXPECT_EQ(smart("(a)b)c", ")"), (strings{"(a", "b", "c"}));
    EXPECT_EQ(smart("a(b(c", "("), (strings{"a(b(c"}));
    EXPECT_EQ(smart("[a]x]y", "]x"), (strings{"[a", "]y"}));
    // Strings inside brackets still switch modes.
    EXPECT_EQ(smart("(')'), x", ", "), (strings{"(')')", "x"}));
}

TEST_F(string_test, SmartSplitLimitsAndStripInTheEngine) {
    EXPECT_EQ(smart("a, b, c", ", ", 2), (strings{"a", "b, c"}));
    EXPECT_EQ(smart("a, b, c", ", ", 0), (strings{"a, b, c"}));
    EXPECT_EQ(smart(" a ; b ;c ", ";", UINT64_MAX, true), (strings{"a", "b", "c"}));
    EXPECT_EQ(smart(" a ", "", UINT64_MAX, true), (strings{" a "}));
    EXPECT_EQ(smart("", ",", UINT64_MAX, true), (strings{""}));
    EXPECT_EQ(smart(",,", ","), (strings{"", "", ""}));
    EXPECT_EQ(smart("abab", "abab"), (strings{"", ""}));
    EXPECT_EQ(smart("ab", "abc"), (strings{"ab"}));
}

TEST_F(string_test, SmartSplitStaysLinearOnRawStringOpeners) {
    // Many 'R"' openers without a '(' must not rescan the text each time.
    std::string text;
    for (int i = 0; i < 200000; ++i) text += "R\"a\",";
    const strings parts = smart(text, ",");
    EXPECT_EQ(parts.size(), 200001u);
    EXPECT_EQ(parts.front(), "R\"a\"");
}
