// The text methods of "std.string", called through their registered
// definitions: results, quirks that scripts rely on, warnings, bytes >= 0x80
// and arguments that are the string itself.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/types/types_test_support.h"
#include "types/string_ops.h"
#include "types/string_split.h"

using namespace strtest;

namespace {

struct text_row {  // a method that returns a new string
    std::string self;
    const char* method;
    std::vector<arg> args;
    std::string result;
};
struct int_row {
    const char* self;
    const char* method;
    std::vector<arg> args;
    int64_t result;
};
struct inplace_row {  // a method that changes the string and returns an int
    std::string self;
    const char* method;
    std::vector<arg> args;
    std::string after;
    int64_t result = 1;
};
struct list_row {
    const char* self;
    const char* method;
    std::vector<arg> args;
    strings result;
};

lumvar_shared json_map(std::initializer_list<std::pair<const char*, arg>> items) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    for (const auto& [k, a] : items) v->json_container()->push_keyed(lumvar_shared(a.value), k);
    return v;
}

const std::string nul_x("\0 x", 3);

std::vector<lumvar_shared> values_of(const std::vector<arg>& args) {
    std::vector<lumvar_shared> out;
    for (const arg& a : args) out.push_back(a.value);
    return out;
}

}  // namespace

using StringMethods = string_test;

TEST_F(StringMethods, MethodsReturningText) {
    const text_row rows[] = {
        {"a.b.c", "replace", {".", "-"}, "a-b-c"},      {"a.b.c", "replace", {".", ""}, "abc"},
        {"a.b.c", "replace", {"x", "-"}, "a.b.c"},      {"a.b.c", "replace", {"a.b.c.d", "-"}, "a.b.c"},
        {"a.b.c", "replace", {"."}, "a.b.c"},           {"aaa", "replace", {"aa", "a"}, "aa"},
        {"a.b.c", "replace", {json_map({{"a", "b"}, {"b", "c"}})}, "c.c.c"},
        {"x = 1; y=2", "replace_ignoring_whitespace", {"x=1", "z"}, "z; y=2"},
        {"x = 1; y=2", "replace_ignoring_whitespace", {"x=1"}, "x = 1; y=2"},
        {"a b a b ab", "replace_ignoring_whitespace", {"ab", "ab"}, "ab ab ab"},
        {" a\tb \n", "replace_ignoring_whitespace", {"a b", ""}, "  \n"},
        {"a.b.c", "replace_first", {".", "--"}, "a--b.c"}, {"a.b.c", "replace_first", {"c", ""}, "a.b."},
        {"a.b.c", "replace_first", {"x", "-"}, "a.b.c"},   {"a.b.c", "replace_first", {"a.b.c!", "-"}, "a.b.c"},
        {"\xc3\x84" "BC", "lowercase", {}, "\xc3\x84" "bc"}, {"", "uppercase", {}, ""},
        {" \t\r\n x \v\f", "trim", {}, "x"},            {" \t\r\n x \v\f", "strip", {}, "x"},
        {" \t\r\n x \v\f", "ltrim", {}, "x \v\f"},      {" \t\r\n x \v\f", "rtrim", {}, " \t\r\n x"},
        {"\xa0x\xa0", "trim", {}, "\xa0x\xa0"},         {nul_x, "trim", {}, nul_x},
        {" \t ", "trim", {}, ""},                       {"", "rtrim", {}, ""},
        {"a  \r\nb\t\n", "rstrip_lines", {}, "a\r\nb\n"}, {"a \r", "rstrip_lines", {}, "a \r"},
        {"a \r \nb", "rstrip_lines", {}, "a \r\nb"},    {"\n\n  \n", "rstrip_lines", {}, "\n\n\n"},
        {"x\xa0 ", "rstrip_lines", {}, "x\xa0"},        {"", "rstrip_lines", {}, ""},
        {"  a \t b  ", "compress_whitespace", {}, " a b "},
        {"a\xa0\xa0" "b", "compress_whitespace", {}, "a\xa0\xa0" "b"},
        {"hello", "removeprefix", {"he"}, "llo"},       {"hello", "removeprefix", {"lo"}, "hello"},
        {"hello", "removeprefix", {""}, "hello"},       {"hello", "removesuffix", {"lo"}, "hel"},
        {"hello", "removesuffix", {"hello!"}, "hello"},
        {"hello", "substr", {-3}, "llo"},               {"hello", "substr", {1, 2}, "el"},
        {"hello", "substr", {10}, ""},                  {"hello", "substr", {-10, 2}, "he"},
        {"hello", "substr", {1, -5}, "ello"},           {"hello", "substr", {1, 100}, "ello"},
        {"hello", "substr", {INT64_MIN, INT64_MAX}, "hello"}, {"hello", "substr", {1.9, "2"}, "el"},
        {"hello", "substr", {std::nan(""), 1}, "h"},    {"hello", "substr", {1e300}, ""},
        {"ab\xc3\xa9", "reverse", {}, "\xa9\xc3" "ba"}, {"", "reverse", {}, ""},
        {"ab", "ljust", {5, "*x"}, "ab***"},            {"ab", "rjust", {5}, "   ab"},
        {"ab", "center", {5, "-"}, "-ab--"},            {"ab", "center", {6, ""}, "  ab  "},
        {"ab", "rjust", {4, 0}, "00ab"},                {"ab", "ljust", {2, "#"}, "ab"},
        {"ab", "rjust", {1, "#"}, "ab"},                {"ab", "center", {0, "#"}, "ab"},
        {"ab", "ljust", {-7, "#"}, "ab"},
        {"a-b_c", "removechars", {"-_"}, "abc"},        {"a-b_c", "removechars", {""}, "a-b_c"},
        {"a\xff" "b\xff", "removechars", {"\xff"}, "ab"}, {"a1b2", "removecharsexcept", {"0123456789"}, "12"},
        {"a1b2", "removecharsexcept", {""}, ""},
        {"key=[v];", "extract", {"[", "]"}, "v"},       {"key=[v];", "extract", {"(", ")"}, ""},
        {"key=[v];", "extract", {"", "="}, "key"},      {"key=[v];", "extract", {"=", ""}, ""},
        {"key=[v];", "extract", {"[", "x"}, ""},        {"key=[v];", "extract", {"key=[v];!", "]"}, ""},
        {"say \"a\" and \"b\"!", "extract_quotes", {}, "a\" and \"b"}, {"x\"\"y", "extract_quotes", {}, "x\"\"y"},
        {"x", "extract_quotes", {}, "x"},               {"a\"b", "extract_quotes", {}, "a\"b"},
        {"\"q\"", "extract_quotes", {}, "q"},
    };
    for (const text_row& r : rows) {
        lumvar_shared s = str(r.self);
        lumvar_shared got = typetest::call_method(s->string_object(), r.method, values_of(r.args));
        ASSERT_TRUE(got && got->type == LUMVAR_STRING) << r.self << "." << r.method;
        EXPECT_NE(got->string_object(), s->string_object()) << r.method;
        EXPECT_EQ(text_of(got), r.result) << "\"" << r.self << "\"." << r.method;
        EXPECT_EQ(text_of(s), r.self) << r.method << " changed its string";
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(StringMethods, MethodsReturningNumbers) {
    const int_row rows[] = {
        {"h\xc3\xa9llo", "length", {}, 6}, {"h\xc3\xa9llo", "size", {}, 6}, {"h\xc3\xa9llo", "empty", {}, 0},
        {"", "empty", {}, 1},              {"aaaa", "count", {"aa"}, 2},   {"aaaa", "count", {""}, 0},
        {"aaaa", "count", {}, 4},          {"", "count", {}, 0},           {"", "count", {"a"}, 0},
        {"aaaa", "count", {"aaaaa"}, 0},   {"1a11a1", "count", {1}, 4},
        {"hello", "starts", {"he"}, 1},    {"hello", "starts", {""}, 1},   {"hello", "starts", {"hello!"}, 0},
        {"hello", "starts", {"el"}, 0},    {"hello", "ends", {"llo"}, 1},  {"hello", "ends", {""}, 1},
        {"hello", "ends", {"xhello"}, 0},  {"hello", "ends", {"ell"}, 0},  {"hello", "contains", {"ll"}, 1},
        {"hello", "contains", {""}, 1},    {"hello", "contains", {"hello!"}, 0}, {"hello", "contains", {"lo!"}, 0},
        {"a b\tc", "contains_ignoring_whitespaces", {"b c"}, 1},
        {"a b\tc", "contains_ignoring_whitespaces", {" \n"}, 1},
        {"a b\tc", "contains_ignoring_whitespaces", {"ca"}, 0},
        {"   ", "contains_ignoring_whitespaces", {"a"}, 0},
        {"abcabc", "find", {"c"}, 2},      {"abcabc", "find", {"c", -2}, 5}, {"abcabc", "find", {"c", 3}, 5},
        {"abcabc", "find", {"", 99}, 6},   {"abcabc", "find", {"", -99}, 0}, {"abcabc", "find", {"x"}, -1},
        {"abcabc", "find", {"abc", 4}, -1}, {"abcabc", "rfind", {"b"}, 4},  {"abcabc", "rfind", {"b", 3}, 1},
        {"abcabc", "rfind", {"b", -2}, 4}, {"abcabc", "rfind", {"b", -3}, 1}, {"abcabc", "rfind", {"b", -100}, 4},
        {"abcabc", "rfind", {"b", 0}, -1}, {"abcabc", "rfind", {"abc", 99}, 3}, {"abcabc", "rfind", {""}, 5},
        {"abcabc", "rfind", {"", 2}, 2},   {"abcabc", "rfind", {"", -100}, 6}, {"", "rfind", {""}, 0},
        {"", "rfind", {"a"}, -1},          {"abcabc", "rfind", {"abcabcx"}, -1},
        {"abcabc", "find_first_of", {"cb"}, 1},  {"abcabc", "find_first_of", {"a", 1}, 3},
        {"abcabc", "find_first_of", {"a", -2}, -1}, {"abcabc", "find_first_of", {""}, -1},
        {"abcabc", "find_last_of", {"a"}, 3},    {"abcabc", "find_last_of", {"a", 2}, 0},
        {"abcabc", "find_last_of", {"a", -4}, 0}, {"abcabc", "find_last_of", {"a", -100}, 3},
        {"abcabc", "find_last_of", {"c", 99}, 5}, {"abcabc", "find_last_of", {""}, -1},
        {"", "find_last_of", {"a"}, -1},         {"aab", "find_first_not_of", {"a"}, 2},
        {"aab", "find_first_not_of", {""}, 0},   {"aab", "find_first_not_of", {"", 3}, -1},
        {"aab", "find_first_not_of", {"ab"}, -1}, {"aab", "find_last_not_of", {"b"}, 1},
        {"aab", "find_last_not_of", {""}, 2},    {"aab", "find_last_not_of", {"", 1}, 1},
        {"aab", "find_last_not_of", {"a", 1}, -1}, {"", "find_last_not_of", {""}, -1},
        {"x\xe9y\xff", "find_first_of", {"\xff\xe9"}, 1}, {"x\xe9y\xff", "find_last_not_of", {"\xff"}, 2},
    };
    for (const int_row& r : rows) {
        lumvar_shared got = typetest::call_method(str(r.self)->string_object(), r.method, values_of(r.args));
        ASSERT_TRUE(got && got->type == LUMVAR_INT) << r.self << "." << r.method;
        EXPECT_EQ(got->payload.i, r.result) << "\"" << r.self << "\"." << r.method << " #" << (&r - rows);
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(StringMethods, MethodsChangingTheString) {
    const inplace_row rows[] = {
        {"abc", "replace_inplace", {"z", "y"}, "abc", 0}, {"abc", "replace_inplace", {"b", ""}, "ac"},
        {"abab", "replace_inplace", {"ab", "abab"}, "abababab"},
        {" a b ", "trim_inplace", {}, "a b"},   {" a b ", "strip_inplace", {}, "a b"},
        {" a b ", "ltrim_inplace", {}, "a b "}, {" a b ", "rtrim_inplace", {}, " a b"},
        {"   ", "trim_inplace", {}, ""},        {"\x85x", "ltrim_inplace", {}, "\x85x"},
        {"\n\na\r\n", "compress_whitespace_inplace", {}, " a "}, {"", "compress_whitespace_inplace", {}, ""},
        {"hello", "substr_inplace", {1, 3}, "ell"}, {"hello", "substr_inplace", {-2}, "lo"},
        {"hello", "substr_inplace", {9}, ""},   {"", "substr_inplace", {0, 3}, ""},
        {"abc", "reverse_inplace", {}, "cba"},
    };
    for (const inplace_row& r : rows) {
        lumvar_shared s = str(r.self);
        lumvar_shared got = typetest::call_method(s->string_object(), r.method, values_of(r.args));
        ASSERT_TRUE(got && got->type == LUMVAR_INT) << r.method;
        EXPECT_EQ(got->payload.i, r.result) << "\"" << r.self << "\"." << r.method;
        EXPECT_EQ(text_of(s), r.after) << "\"" << r.self << "\"." << r.method;
    }
    EXPECT_TRUE(warnings().empty());
    // insert changes the object and returns it; a negative or too large index changes nothing.
    const std::tuple<arg, arg, const char*> inserts[] = {{3, "d", "abcd"}, {0, "x", "xabc"}, {1, 5, "a5bc"},
                                                          {-1, "x", "abc"}, {4, "x", "abc"}, {1.9, "x", "axbc"}};
    for (const auto& [index, what, expected] : inserts) {
        lumvar_shared s = str("abc");
        lumvar_shared r = call(s, "insert", {index, what});
        EXPECT_EQ(r->type, LUMVAR_OBJECT);
        EXPECT_EQ(r->object_raw(), static_cast<lumobject_base*>(s->string_object()));
        EXPECT_EQ(text_of(s), expected);
    }
}

TEST_F(StringMethods, MethodsReturningLists) {
    const list_row rows[] = {
        {"  a  b\tc\n", "split_words", {}, {"a", "b", "c"}}, {" \t\n", "split_words", {}, {}},
        {"", "split_words", {}, {}},                        {"\xa0 x", "split_words", {}, {"\xa0", "x"}},
        {"[1][22][]", "extract_all", {"[", "]"}, {"1", "22", ""}},
        {"{{a}}{{b}}x", "extract_all", {"{{", "}}"}, {"a", "b"}},
        {"none", "extract_all", {"<", ">"}, {}},
        {"a,b,,c", "split", {","}, {"a", "b", "", "c"}},     {"a,b,,c", "split", {",", 2}, {"a", "b,,c"}},
        {"a,b,,c", "split", {",", 3}, {"a", "b", ",c"}},     {"a,b,,c", "split", {",", 0}, {}},
        {"a,b,,c", "split", {",", -5}, {"a", "b", "", "c"}}, {"a,b,,c", "split", {",,"}, {"a,b", "c"}},
        {"a,b,,c", "split", {"x"}, {"a,b,,c"}},              {",a,", "split", {","}, {"", "a", ""}},
        {"", "split", {","}, {""}},                          {" a,b ", "split", {",", 1, 1}, {"a,b"}},
        {"a , b", "split", {",", -1, 1}, {"a", "b"}},        {"a , b", "split", {",", -1, "yes"}, {"a", "b"}},
        {"a , b", "split", {",", -1, 0}, {"a ", " b"}},      {"1x2", "split", {"x", 2.7}, {"1", "2"}},
        {"ab", "split", {"", 0}, {}},  // the limits are looked at before the delimiter
        {"a, (b, c), [d, e], {f, g}", "smart_split", {", "}, {"a", "(b, c)", "[d, e]", "{f, g}"}},
        {"a, b, c", "smart_split", {", ", 2}, {"a", "b, c"}}, {"a, b, c", "smart_split", {", ", 0}, {}},
        {" a, b, c ", "smart_split", {", ", 1, 1}, {"a, b, c"}}, {" a , b ", "smart_split", {",", -1, 1}, {"a", "b"}},
        {" a , b ", "smart_split", {","}, {" a ", " b "}},   {"", "smart_split", {","}, {""}},
        {" a,b ", "smart_split", {"", -1, 1}, {" a,b "}},  // no warning for an empty delimiter
    };
    for (const list_row& r : rows) {
        EXPECT_EQ(list_of(typetest::call_method(str(r.self)->string_object(), r.method, values_of(r.args))), r.result)
            << "\"" << r.self << "\"." << r.method << " #" << (&r - rows);
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(StringMethods, RefusedAndClampedCallsWarn) {
    struct row {
        const char* method;
        std::vector<arg> args;
        std::string warning;
    };
    const std::string ignored = ": empty search string - nothing to search for, call ignored.";
    lumvar_shared map = json_map({{"a", 1}});
    map->json_container()->push_keyed(str("zz"), "");  // unkeyed entries are skipped
    map->json_container()->get_or_add("")->set_string("q");
    const row rows[] = {
        {"replace", {"", "-"}, "replace" + ignored},
        {"replace_inplace", {"", "y"}, "replace_inplace" + ignored},
        {"replace_first", {"", "-"}, "replace_first" + ignored},
        {"replace_ignoring_whitespace", {"   ", "z"}, "replace_ignoring_whitespace" + ignored},
        {"split", {"", -1, 1}, "split: empty delimiter - nothing to search for, call ignored."},
        {"extract_all", {"", ">"}, "extract_all: empty delimiter - nothing to search for, call ignored."},
        {"extract_all", {"<", ">"}, "extract_all: Missing right delimiter: >"},
        {"replace", {map}, "replace: empty map key - nothing to search for, call ignored."},
        {"ljust", {2000000}, "ljust: width 2000000 clamped to 1048576"},
    };
    for (const row& r : rows) {
        lumvar_shared s = str("<a><b a.b.c");
        typetest::call_method(s->string_object(), r.method, values_of(r.args));
        EXPECT_EQ(warnings(), strings{r.warning}) << r.method;
        EXPECT_EQ(text_of(s), "<a><b a.b.c") << r.method;
    }
    EXPECT_EQ(call_text(str("a.b.c"), "replace", {map}), "1.b.c");
    EXPECT_EQ(call_list(str("<a><b><c"), "extract_all", {"<", ">"}), (strings{"a", "b"}));
    EXPECT_EQ(call_list(str(" a,b "), "split", {"", -1, 1}), (strings{" a,b "}));
    EXPECT_EQ(call_text(str("ab"), "ljust", {2000000}).size(), 1048576u);
    lumvar_shared long_text = str(std::string(1048577, 'z'));
    EXPECT_EQ(call_text(long_text, "center", {INT64_MAX}).size(), 1048577u);
    EXPECT_EQ(warnings(), (strings{"replace: empty map key - nothing to search for, call ignored.",
                                   "extract_all: Missing right delimiter: >",
                                   "split: empty delimiter - nothing to search for, call ignored.",
                                   "ljust: width 2000000 clamped to 1048576",
                                   "center: width 9223372036854775807 clamped to 1048576"}));
}

TEST_F(StringMethods, ArgumentsThatAreTheStringItself) {
    lumvar_shared s = str("abc");
    EXPECT_EQ(call_int(s, "count", {s}), 1);
    EXPECT_EQ(call_text(s, "replace", {s, "S"}), "S");
    EXPECT_EQ(call_int(s, "ends", {s}), 1);
    EXPECT_EQ(call_int(s, "find", {s}), 0);
    EXPECT_EQ(call_text(s, "removesuffix", {s}), "");
    EXPECT_EQ(call_text(s, "removechars", {s}), "");
    EXPECT_EQ(call_text(s, "removecharsexcept", {s}), "abc");
    EXPECT_EQ(call_list(s, "split", {s}), (strings{"", ""}));
    EXPECT_EQ(text_of(s), "abc");
    const std::tuple<const char*, int, const char*> inserts[] = {{"abc", 0, "abcabc"}, {"abc", 2, "ababcc"}};
    for (const auto& [text, at, expected] : inserts) {
        lumvar_shared t = str(text);
        call(t, "insert", {at, t});
        EXPECT_EQ(text_of(t), expected);
    }
    // The string reached as an object value (insert's own result) or through a ref.
    lumvar_shared u = str("abc");
    call(u, "insert", {1, lumvar_shared::from_object(u->string_object())});
    EXPECT_EQ(text_of(u), "aabcbc");
    lumvar_shared ref = lumvar_shared::make();
    ref->set_ref(u.get());
    call(u, "insert", {6, ref});
    EXPECT_EQ(text_of(u), "aabcbcaabcbc");
    lumvar_shared r1 = str("abc");
    EXPECT_EQ(call_int(r1, "replace_inplace", {r1, "X"}), 1);
    EXPECT_EQ(text_of(r1), "X");
    lumvar_shared r2 = str("abc");
    EXPECT_EQ(call_int(r2, "replace_inplace", {"b", r2}), 1);
    EXPECT_EQ(text_of(r2), "aabcc");
}

TEST_F(StringMethods, ReplaceIgnoringWhitespaceEqualsRepeatingTheSingleReplacement) {
    std::mt19937 rng(7);
    const char alphabet[] = {'a', 'b', ' ', '\n', 'a'};
    auto random_text = [&](size_t max) {
        std::string t(rng() % (max + 1), ' ');
        for (char& c : t) c = alphabet[rng() % 5];
        return t;
    };
    for (int round = 0; round < 400; ++round) {
        const std::string text = random_text(16), search = random_text(4), replacement = random_text(3);
        if (lum_string_trim_view(search).empty()) continue;
        std::string repeated = text;
        uint64_t next = 0;
        int guard = 0;
        while (lum_string_replace_ignoring_whitespace_once(repeated, search, replacement, next, next) && ++guard < 100) {
        }
        EXPECT_EQ(call_text(str(text), "replace_ignoring_whitespace", {search, replacement}), repeated)
            << "text '" << text << "' search '" << search << "' replacement '" << replacement << "'";
    }
}

TEST_F(StringMethods, CaseChangesOnlyAsciiLetters) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
    std::string lower = all, upper = all;
    for (int c = 'A'; c <= 'Z'; ++c) lower[static_cast<size_t>(c)] = static_cast<char>(c + 32);
    for (int c = 'a'; c <= 'z'; ++c) upper[static_cast<size_t>(c)] = static_cast<char>(c - 32);
    lumvar_shared s = str(all);
    EXPECT_EQ(call_text(s, "lowercase"), lower);
    EXPECT_EQ(call_text(s, "uppercase"), upper);
    EXPECT_EQ(text_of(s), all);
    EXPECT_EQ(after(all, "lowercase_inplace"), lower);
    EXPECT_EQ(after(all, "uppercase_inplace"), upper);
}

// ---- smart_split: every mode of the scanner (quotes, escapes, triple quotes,
// raw strings, comments, brackets), limits and stripping ----
using namespace strtest;

TEST_F(StringMethods, SmartSplitModes) {
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
        {"a), b", ", ", {"a)", "b"}},  // a closer without an opener changes nothing
        {"a], b", ", ", {"a]", "b"}},
        {"a}, b", ", ", {"a}", "b"}},
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
        EXPECT_EQ(lum_string_smart_split(r.text, r.delim, r.max_parts, r.strip), r.parts)
            << r.text << " by " << r.delim;
}

TEST_F(StringMethods, SmartSplitStaysLinearOnRawStringOpeners) {
    // Many 'R"' openers without a '(' must not rescan the text each time.
    std::string text;
    for (int i = 0; i < 200000; ++i) text += "R\"a\",";
    const strings parts = lum_string_smart_split(text, ",", UINT64_MAX, false);
    EXPECT_EQ(parts.size(), 200001u);
    EXPECT_EQ(parts.front(), "R\"a\"");
}
