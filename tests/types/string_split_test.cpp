// The smart_split scanner: limits, stripping, and every mode (quotes,
// escapes, triple quotes, raw strings, comments, brackets). The method's
// argument handling is in string_methods_test.cpp.
#include <gtest/gtest.h>

#include "tests/types/types_test_support.h"
#include "types/string_split.h"

using namespace strtest;

TEST_F(string_test, SmartSplitModes) {
    struct row {
        std::string text, delim;
        strings parts;
        uint64_t max_parts = UINT64_MAX;
        bool strip = false;
    };
    const row rows[] = {
        // Quotes: one backslash escapes the quote, two do not; the other kind does not close.
        {"x, 'a, b', \"c, d\", y", ", ", {"x", "'a, b'", "\"c, d\"", "y"}},
        {R"("a\", b", c)", ", ", {R"("a\", b")", "c"}},
        {R"("a\\", b)", ", ", {R"("a\\")", "b"}},
        {R"("a\\\", b", c)", ", ", {R"("a\\\", b")", "c"}},
        {R"('it\'s, x', y)", ", ", {R"('it\'s, x')", "y"}},
        {"'a\", b', c", ", ", {"'a\", b'", "c"}},
        {"a, 'b, c", ", ", {"a", "'b, c"}},  // unterminated: no split after the opening
        {"a'b'c", "'", {"a'b'c"}},           // a delimiter that begins with a quote never matches
        // Triple quotes (no escapes inside); two quotes are an empty string.
        {"'''a, b''', c", ", ", {"'''a, b'''", "c"}},
        {"\"\"\"a, \"b\", c\"\"\", d", ", ", {"\"\"\"a, \"b\", c\"\"\"", "d"}},
        {"'''a\\''', b", ", ", {"'''a\\'''", "b"}},
        {"'''a, b", ", ", {"'''a, b"}},
        {"'', b", ", ", {"''", "b"}},
        // Raw strings: only the closing sequence with the same tag ends one.
        {"R\"xy(a, b)xy\", t", ", ", {"R\"xy(a, b)xy\"", "t"}},
        {"R\"xy(a)\", b)xy\", t", ", ", {"R\"xy(a)\", b)xy\"", "t"}},
        {"R\"(a, \"b\")\", c", ", ", {"R\"(a, \"b\")\"", "c"}},
        {"R\"x y(a, b)x y\", t", ", ", {"R\"x y(a, b)x y\"", "t"}},  // a space in the tag: an ordinary string
        {"R\"x y(\"a, b\")x y\", t", ", ", {"R\"x y(\"a", "b\")x y\"", "t"}},
        {"R\"x\\y(\"a, b\")x\\y\", t", ", ", {"R\"x\\y(\"a", "b\")x\\y\"", "t"}},
        {"R\"xy(\"a, b\")xy\", t", ", ", {"R\"xy(\"a, b\")xy\"", "t"}},
        {"R\"ab\", c", ", ", {"R\"ab\"", "c"}},  // without '(' no raw string either
        {"aRb", "R", {"a", "b"}},
        {"aR\"(x)\"b", "R\"", {"aR\"(x)\"b"}},
        {"R\"t(a, b", ", ", {"R\"t(a, b"}},
        // Comments; the line feed that ends a line comment is the comment's.
        {"f(a, b) // note, more", ", ", {"f(a, b) // note, more"}},
        {"f(a, b) // note, more\n, z", ", ", {"f(a, b) // note, more\n", "z"}},
        {"a /* x, y */, b", ", ", {"a /* x, y */", "b"}},
        {"a /* x, y, b", ", ", {"a /* x, y, b"}},
        {"a /*/, b", ", ", {"a /*/, b"}},
        {"a // c\nb", "\n", {"a // c\nb"}},
        {"a\nb // c\nd\ne", "\n", {"a", "b // c\nd", "e"}},
        {"a/b//c", "/", {"a", "b//c"}},
        {"'//', x", ", ", {"'//'", "x"}},
        // Brackets; the delimiter is tested after its own byte's bracket update.
        {"(a, b", ", ", {"(a, b"}},
        {"a), b", ", ", {"a)", "b"}},
        {"f(a), [b, (c]), d", ", ", {"f(a)", "[b, (c])", "d"}},
        {"(a)b)c", ")", {"(a", "b", "c"}},
        {"a(b(c", "(", {"a(b(c"}},
        {"[a]x]y", "]x", {"[a", "]y"}},
        {"(')'), x", ", ", {"(')')", "x"}},
        // Limits and stripping.
        {"a, b, c", ", ", {"a", "b, c"}, 2},
        {"a, b, c", ", ", {"a, b, c"}, 0},
        {" a ; b ;c ", ";", {"a", "b", "c"}, UINT64_MAX, true},
        {" a ", "", {" a "}, UINT64_MAX, true},
        {"", ",", {""}, UINT64_MAX, true},
        {",,", ",", {"", "", ""}},
        {"abab", "abab", {"", ""}},
        {"ab", "abc", {"ab"}},
    };
    for (const row& r : rows)
        EXPECT_EQ(lum_string_smart_split(r.text, r.delim, r.max_parts, r.strip), r.parts) << r.text << " by " << r.delim;
}

TEST_F(string_test, SmartSplitStaysLinearOnRawStringOpeners) {
    // Many 'R"' openers without a '(' must not rescan the text each time.
    std::string text;
    for (int i = 0; i < 200000; ++i) text += "R\"a\",";
    const strings parts = lum_string_smart_split(text, ",", UINT64_MAX, false);
    EXPECT_EQ(parts.size(), 200001u);
    EXPECT_EQ(parts.front(), "R\"a\"");
}
