// The text methods of "std.string", called through their registered
// definitions: results, quirks that scripts rely on, warnings, bytes >= 0x80
// and arguments that are the string itself.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/types/string_test_support.h"
#include "types/string_ops.h"

using namespace strtest;

namespace {

lumvar_shared json_map(std::initializer_list<std::pair<const char*, arg>> items) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    for (const auto& [k, a] : items) v->json_container()->push_keyed(lumvar_shared(a.value), k);
    return v;
}

}  // namespace

TEST_F(string_test, SizeAndCount) {
    lumvar_shared utf8 = str("h\xc3\xa9llo");
    EXPECT_EQ(call_int(utf8, "length"), 6);
    EXPECT_EQ(call_int(utf8, "size"), 6);
    EXPECT_EQ(call_int(utf8, "empty"), 0);
    EXPECT_EQ(call_int(str(""), "empty"), 1);

    lumvar_shared a4 = str("aaaa");
    EXPECT_EQ(call_int(a4, "count", {"aa"}), 2);
    EXPECT_EQ(call_int(a4, "count", {""}), 0);
    EXPECT_EQ(call_int(a4, "count"), 4);  // no argument: the length
    EXPECT_EQ(call_int(str(""), "count"), 0);
    EXPECT_EQ(call_int(str(""), "count", {"a"}), 0);
    EXPECT_EQ(call_int(a4, "count", {"aaaaa"}), 0);
    EXPECT_EQ(call_int(str("1a11a1"), "count", {1}), 4);
    EXPECT_EQ(call_int(a4, "count", {a4}), 1);
}

TEST_F(string_test, InsertChangesTheObjectAndReturnsIt) {
    auto inserted = [&](std::string_view text, arg index, arg what) {
        lumvar_shared s = str(text);
        lumvar_shared r = call(s, "insert", {index, what});
        EXPECT_EQ(r->type, LUMVAR_OBJECT);
        EXPECT_EQ(r->object_raw(), static_cast<lumobject_base*>(s->string_object()));
        return text_of(s);
    };
    EXPECT_EQ(inserted("abc", 3, "d"), "abcd");
    EXPECT_EQ(inserted("abc", 0, "x"), "xabc");
    EXPECT_EQ(inserted("abc", 1, 5), "a5bc");
    EXPECT_EQ(inserted("abc", -1, "x"), "abc");  // a negative index changes nothing
    EXPECT_EQ(inserted("abc", 4, "x"), "abc");
    EXPECT_EQ(inserted("abc", 1.9, "x"), "axbc");

    lumvar_shared s = str("abc");
    call(s, "insert", {0, s});
    EXPECT_EQ(text_of(s), "abcabc");
    lumvar_shared t = str("abc");
    call(t, "insert", {2, t});
    EXPECT_EQ(text_of(t), "ababcc");
    // The string reached as an object value (insert's own result) or through a ref.
    lumvar_shared u = str("abc");
    call(u, "insert", {1, lumvar_shared::from_object(u->string_object())});
    EXPECT_EQ(text_of(u), "aabcbc");
    lumvar_shared ref = lumvar_shared::make();
    ref->set_ref(u.get());
    call(u, "insert", {6, ref});
    EXPECT_EQ(text_of(u), "aabcbcaabcbc");
}

TEST_F(string_test, ReplaceMakesANewStringWithAllOccurrencesReplaced) {
    lumvar_shared s = str("a.b.c");
    EXPECT_EQ(call_text(s, "replace", {".", "-"}), "a-b-c");
    EXPECT_EQ(call_text(s, "replace", {".", ""}), "abc");
    EXPECT_EQ(call_text(s, "replace", {"x", "-"}), "a.b.c");
    EXPECT_EQ(call_text(s, "replace", {"a.b.c.d", "-"}), "a.b.c");
    EXPECT_EQ(call_text(s, "replace", {json_map({{"a", "b"}, {"b", "c"}})}), "c.c.c");
    EXPECT_EQ(call_text(s, "replace", {"."}), "a.b.c");  // one argument that is not json
    EXPECT_EQ(call_text(s, "replace", {s, "S"}), "S");
    EXPECT_EQ(call_text(str("aaa"), "replace", {"aa", "a"}), "aa");
    EXPECT_EQ(text_of(s), "a.b.c");
    EXPECT_TRUE(warnings().empty());

    EXPECT_EQ(call_text(s, "replace", {"", "-"}), "a.b.c");
    EXPECT_EQ(warnings(), strings{"replace: empty search string - nothing to search for, call ignored."});

    // Unkeyed entries are skipped; an empty key warns.
    lumvar_shared map = json_map({{"a", 1}});
    map->json_container()->push_keyed(str("zz"), "");
    map->json_container()->get_or_add("")->set_string("q");
    EXPECT_EQ(call_text(s, "replace", {map}), "1.b.c");
    EXPECT_EQ(warnings(), strings{"replace: empty map key - nothing to search for, call ignored."});
}

TEST_F(string_test, ReplaceIgnoringWhitespace) {
    lumvar_shared s = str("x = 1; y=2");
    EXPECT_EQ(call_text(s, "replace_ignoring_whitespace", {"x=1", "z"}), "z; y=2");
    EXPECT_EQ(call_text(s, "replace_ignoring_whitespace", {"x=1"}), "x = 1; y=2");
    EXPECT_EQ(call_text(str("a b a b ab"), "replace_ignoring_whitespace", {"ab", "ab"}), "ab ab ab");
    EXPECT_EQ(call_text(str(" a\tb \n"), "replace_ignoring_whitespace", {"a b", ""}), "  \n");
    EXPECT_TRUE(warnings().empty());
    EXPECT_EQ(call_text(s, "replace_ignoring_whitespace", {"   ", "z"}), "x = 1; y=2");
    EXPECT_EQ(warnings(), strings{"replace_ignoring_whitespace: empty search string - nothing to search for, call "
                                  "ignored."});
}

TEST_F(string_test, ReplaceIgnoringWhitespaceEqualsRepeatingTheSingleReplacement) {
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
        lumvar_shared s = str(text);
        EXPECT_EQ(call_text(s, "replace_ignoring_whitespace", {search, replacement}), repeated)
            << "text '" << text << "' search '" << search << "' replacement '" << replacement << "'";
    }
}

TEST_F(string_test, ReplaceInplaceAndReplaceFirst) {
    EXPECT_EQ(after("abc", "replace_inplace", {"z", "y"}, 0), "abc");
    EXPECT_EQ(after("abc", "replace_inplace", {"b", ""}, 1), "ac");
    EXPECT_EQ(after("abab", "replace_inplace", {"ab", "abab"}, 1), "abababab");
    EXPECT_EQ(after("abc", "replace_inplace", {"", "y"}, 0), "abc");
    EXPECT_EQ(warnings(), strings{"replace_inplace: empty search string - nothing to search for, call ignored."});

    lumvar_shared s = str("abc");
    EXPECT_EQ(call_int(s, "replace_inplace", {s, "X"}), 1);
    EXPECT_EQ(text_of(s), "X");
    lumvar_shared t = str("abc");
    EXPECT_EQ(call_int(t, "replace_inplace", {"b", t}), 1);
    EXPECT_EQ(text_of(t), "aabcc");

    lumvar_shared f = str("a.b.c");
    EXPECT_EQ(call_text(f, "replace_first", {".", "--"}), "a--b.c");
    EXPECT_EQ(call_text(f, "replace_first", {"c", ""}), "a.b.");
    EXPECT_EQ(call_text(f, "replace_first", {"x", "-"}), "a.b.c");
    EXPECT_EQ(call_text(f, "replace_first", {"a.b.c!", "-"}), "a.b.c");
    EXPECT_EQ(call_text(f, "replace_first", {"", "-"}), "a.b.c");
    EXPECT_EQ(warnings(), strings{"replace_first: empty search string - nothing to search for, call ignored."});
}

TEST_F(string_test, CaseChangesOnlyAsciiLetters) {
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
    EXPECT_EQ(call_text(str("\xc3\x84" "BC"), "lowercase"), "\xc3\x84" "bc");
    EXPECT_EQ(call_text(str(""), "uppercase"), "");
}

TEST_F(string_test, TrimmingUsesTheCWhiteSpaceSet) {
    lumvar_shared s = str(" \t\r\n x \v\f");
    EXPECT_EQ(call_text(s, "trim"), "x");
    EXPECT_EQ(call_text(s, "ltrim"), "x \v\f");
    EXPECT_EQ(call_text(s, "rtrim"), " \t\r\n x");
    EXPECT_EQ(call_text(str("\xa0x\xa0"), "trim"), "\xa0x\xa0");
    EXPECT_EQ(call_text(str(std::string("\0 x", 3)), "trim"), std::string("\0 x", 3));
    EXPECT_EQ(call_text(str(" \t "), "trim"), "");
    EXPECT_EQ(call_text(str(""), "rtrim"), "");

    EXPECT_EQ(after(" a b ", "trim_inplace"), "a b");
    EXPECT_EQ(after(" a b ", "strip_inplace"), "a b");
    EXPECT_EQ(after(" a b ", "ltrim_inplace"), "a b ");
    EXPECT_EQ(after(" a b ", "rtrim_inplace"), " a b");
    EXPECT_EQ(after("   ", "trim_inplace"), "");
    EXPECT_EQ(after("\x85x", "ltrim_inplace"), "\x85x");
}

TEST_F(string_test, LineAndRunWhiteSpace) {
    EXPECT_EQ(call_text(str("a  \r\nb\t\n"), "rstrip_lines"), "a\r\nb\n");
    EXPECT_EQ(call_text(str("a \r"), "rstrip_lines"), "a \r");
    EXPECT_EQ(call_text(str("a \r \nb"), "rstrip_lines"), "a \r\nb");
    EXPECT_EQ(call_text(str("\n\n  \n"), "rstrip_lines"), "\n\n\n");
    EXPECT_EQ(call_text(str("x\xa0 "), "rstrip_lines"), "x\xa0");
    EXPECT_EQ(call_text(str(""), "rstrip_lines"), "");

    EXPECT_EQ(call_text(str("  a \t b  "), "compress_whitespace"), " a b ");
    EXPECT_EQ(call_text(str("a\xa0\xa0" "b"), "compress_whitespace"), "a\xa0\xa0" "b");
    EXPECT_EQ(after("\n\na\r\n", "compress_whitespace_inplace"), " a ");
    EXPECT_EQ(after("", "compress_whitespace_inplace"), "");

    EXPECT_EQ(call_list(str("  a  b\tc\n"), "split_words"), (strings{"a", "b", "c"}));
    EXPECT_EQ(call_list(str(" \t\n"), "split_words"), strings{});
    EXPECT_EQ(call_list(str(""), "split_words"), strings{});
    EXPECT_EQ(call_list(str("\xa0 x"), "split_words"), (strings{"\xa0", "x"}));
}

TEST_F(string_test, PrefixSuffixAndContainment) {
    lumvar_shared s = str("hello");
    EXPECT_EQ(call_int(s, "starts", {"he"}), 1);
    EXPECT_EQ(call_int(s, "starts", {""}), 1);
    EXPECT_EQ(call_int(s, "starts", {"hello!"}), 0);
    EXPECT_EQ(call_int(s, "ends", {"llo"}), 1);
    EXPECT_EQ(call_int(s, "ends", {""}), 1);
    EXPECT_EQ(call_int(s, "ends", {"xhello"}), 0);
    EXPECT_EQ(call_int(s, "ends", {s}), 1);
    EXPECT_EQ(call_int(s, "contains", {"ll"}), 1);
    EXPECT_EQ(call_int(s, "contains", {""}), 1);
    EXPECT_EQ(call_int(s, "contains", {"hello!"}), 0);
    EXPECT_EQ(call_int(s, "contains", {"lo!"}), 0);
    EXPECT_EQ(call_int(str("a b\tc"), "contains_ignoring_whitespaces", {"b c"}), 1);
    EXPECT_EQ(call_int(str("a b\tc"), "contains_ignoring_whitespaces", {" \n"}), 1);
    EXPECT_EQ(call_int(str("a b\tc"), "contains_ignoring_whitespaces", {"ca"}), 0);
    EXPECT_EQ(call_int(str("   "), "contains_ignoring_whitespaces", {"a"}), 0);

    EXPECT_EQ(call_text(s, "removeprefix", {"he"}), "llo");
    EXPECT_EQ(call_text(s, "removeprefix", {"lo"}), "hello");
    EXPECT_EQ(call_text(s, "removeprefix", {""}), "hello");
    EXPECT_EQ(call_text(s, "removesuffix", {"lo"}), "hel");
    EXPECT_EQ(call_text(s, "removesuffix", {"hello!"}), "hello");
    EXPECT_EQ(call_text(s, "removesuffix", {s}), "");
}

TEST_F(string_test, SubstrCountsFromTheEndAndClamps) {
    lumvar_shared s = str("hello");
    EXPECT_EQ(call_text(s, "substr", {-3}), "llo");
    EXPECT_EQ(call_text(s, "substr", {1, 2}), "el");
    EXPECT_EQ(call_text(s, "substr", {10}), "");
    EXPECT_EQ(call_text(s, "substr", {-10, 2}), "he");
    EXPECT_EQ(call_text(s, "substr", {1, -5}), "ello");
    EXPECT_EQ(call_text(s, "substr", {1, 100}), "ello");
    EXPECT_EQ(call_text(s, "substr", {INT64_MIN, INT64_MAX}), "hello");
    EXPECT_EQ(call_text(s, "substr", {1.9, "2"}), "el");
    EXPECT_EQ(call_text(s, "substr", {std::nan(""), 1}), "h");
    EXPECT_EQ(call_text(s, "substr", {1e300}), "");
    EXPECT_EQ(after("hello", "substr_inplace", {1, 3}), "ell");
    EXPECT_EQ(after("hello", "substr_inplace", {-2}), "lo");
    EXPECT_EQ(after("hello", "substr_inplace", {9}), "");
    EXPECT_EQ(after("", "substr_inplace", {0, 3}), "");
}

TEST_F(string_test, ReverseWorksOnBytes) {
    EXPECT_EQ(call_text(str("ab\xc3\xa9"), "reverse"), "\xa9\xc3" "ba");
    EXPECT_EQ(call_text(str(""), "reverse"), "");
    EXPECT_EQ(after("abc", "reverse_inplace"), "cba");
}

TEST_F(string_test, FindAndRfind) {
    lumvar_shared s = str("abcabc");
    EXPECT_EQ(call_int(s, "find", {"c"}), 2);
    EXPECT_EQ(call_int(s, "find", {"c", -2}), 5);
    EXPECT_EQ(call_int(s, "find", {"c", 3}), 5);
    EXPECT_EQ(call_int(s, "find", {"", 99}), 6);
    EXPECT_EQ(call_int(s, "find", {"", -99}), 0);
    EXPECT_EQ(call_int(s, "find", {"x"}), -1);
    EXPECT_EQ(call_int(s, "find", {"abc", 4}), -1);
    EXPECT_EQ(call_int(s, "find", {s}), 0);

    EXPECT_EQ(call_int(s, "rfind", {"b"}), 4);
    EXPECT_EQ(call_int(s, "rfind", {"b", 3}), 1);
    EXPECT_EQ(call_int(s, "rfind", {"b", -2}), 4);
    EXPECT_EQ(call_int(s, "rfind", {"b", -3}), 1);
    EXPECT_EQ(call_int(s, "rfind", {"b", -100}), 4);  // still negative: no upper limit
    EXPECT_EQ(call_int(s, "rfind", {"b", 0}), -1);
    EXPECT_EQ(call_int(s, "rfind", {"abc", 99}), 3);
    EXPECT_EQ(call_int(s, "rfind", {""}), 5);
    EXPECT_EQ(call_int(s, "rfind", {"", 2}), 2);
    EXPECT_EQ(call_int(s, "rfind", {"", -100}), 6);
    EXPECT_EQ(call_int(str(""), "rfind", {""}), 0);
    EXPECT_EQ(call_int(str(""), "rfind", {"a"}), -1);
    EXPECT_EQ(call_int(s, "rfind", {"abcabcx"}), -1);
}

TEST_F(string_test, FindOfCharacterSets) {
    lumvar_shared s = str("abcabc");
    EXPECT_EQ(call_int(s, "find_first_of", {"cb"}), 1);
    EXPECT_EQ(call_int(s, "find_first_of", {"a", 1}), 3);
    EXPECT_EQ(call_int(s, "find_first_of", {"a", -2}), -1);
    EXPECT_EQ(call_int(s, "find_first_of", {""}), -1);
    EXPECT_EQ(call_int(s, "find_last_of", {"a"}), 3);
    EXPECT_EQ(call_int(s, "find_last_of", {"a", 2}), 0);
    EXPECT_EQ(call_int(s, "find_last_of", {"a", -4}), 0);
    EXPECT_EQ(call_int(s, "find_last_of", {"a", -100}), 3);  // the whole text
    EXPECT_EQ(call_int(s, "find_last_of", {"c", 99}), 5);
    EXPECT_EQ(call_int(s, "find_last_of", {""}), -1);
    EXPECT_EQ(call_int(str(""), "find_last_of", {"a"}), -1);

    lumvar_shared aab = str("aab");
    EXPECT_EQ(call_int(aab, "find_first_not_of", {"a"}), 2);
    EXPECT_EQ(call_int(aab, "find_first_not_of", {""}), 0);
    EXPECT_EQ(call_int(aab, "find_first_not_of", {"", 3}), -1);
    EXPECT_EQ(call_int(aab, "find_first_not_of", {"ab"}), -1);
    EXPECT_EQ(call_int(aab, "find_last_not_of", {"b"}), 1);
    EXPECT_EQ(call_int(aab, "find_last_not_of", {""}), 2);
    EXPECT_EQ(call_int(aab, "find_last_not_of", {"", 1}), 1);
    EXPECT_EQ(call_int(aab, "find_last_not_of", {"a", 1}), -1);
    EXPECT_EQ(call_int(str(""), "find_last_not_of", {""}), -1);

    lumvar_shared high = str("x\xe9y\xff");
    EXPECT_EQ(call_int(high, "find_first_of", {"\xff\xe9"}), 1);
    EXPECT_EQ(call_int(high, "find_last_not_of", {"\xff"}), 2);
}

TEST_F(string_test, JustifyPadsWithTheFirstFillByte) {
    lumvar_shared s = str("ab");
    EXPECT_EQ(call_text(s, "ljust", {5, "*x"}), "ab***");
    EXPECT_EQ(call_text(s, "rjust", {5}), "   ab");
    EXPECT_EQ(call_text(s, "center", {5, "-"}), "-ab--");
    EXPECT_EQ(call_text(s, "center", {6, ""}), "  ab  ");
    EXPECT_EQ(call_text(s, "rjust", {4, 0}), "00ab");
    for (const char* m : {"ljust", "rjust", "center"})
        for (int w : {2, 1, 0, -7}) EXPECT_EQ(call_text(s, m, {w, "#"}), "ab") << m << w;
    EXPECT_TRUE(warnings().empty());

    EXPECT_EQ(call_text(s, "ljust", {2000000}).size(), 1048576u);
    EXPECT_EQ(warnings(), strings{"ljust: width 2000000 clamped to 1048576"});
    lumvar_shared long_text = str(std::string(1048577, 'z'));
    EXPECT_EQ(call_text(long_text, "center", {INT64_MAX}).size(), 1048577u);
    EXPECT_EQ(warnings(), strings{"center: width 9223372036854775807 clamped to 1048576"});
}

TEST_F(string_test, RemovingCharacters) {
    EXPECT_EQ(call_text(str("a-b_c"), "removechars", {"-_"}), "abc");
    EXPECT_EQ(call_text(str("a-b_c"), "removechars", {""}), "a-b_c");
    EXPECT_EQ(call_text(str("a\xff" "b\xff"), "removechars", {"\xff"}), "ab");
    EXPECT_EQ(call_text(str("a1b2"), "removecharsexcept", {"0123456789"}), "12");
    EXPECT_EQ(call_text(str("a1b2"), "removecharsexcept", {""}), "");
    lumvar_shared s = str("abc");
    EXPECT_EQ(call_text(s, "removechars", {s}), "");
    EXPECT_EQ(call_text(s, "removecharsexcept", {s}), "abc");
}

TEST_F(string_test, Extraction) {
    lumvar_shared s = str("key=[v];");
    EXPECT_EQ(call_text(s, "extract", {"[", "]"}), "v");
    EXPECT_EQ(call_text(s, "extract", {"(", ")"}), "");
    EXPECT_EQ(call_text(s, "extract", {"", "="}), "key");
    EXPECT_EQ(call_text(s, "extract", {"=", ""}), "");
    EXPECT_EQ(call_text(s, "extract", {"[", "x"}), "");
    EXPECT_EQ(call_text(s, "extract", {"key=[v];!", "]"}), "");

    EXPECT_EQ(call_text(str("say \"a\" and \"b\"!"), "extract_quotes"), "a\" and \"b");
    EXPECT_EQ(call_text(str("x\"\"y"), "extract_quotes"), "x\"\"y");
    EXPECT_EQ(call_text(str("x"), "extract_quotes"), "x");
    EXPECT_EQ(call_text(str("a\"b"), "extract_quotes"), "a\"b");
    EXPECT_EQ(call_text(str("\"q\""), "extract_quotes"), "q");

    lumvar_shared tags = str("<a><b><c");
    EXPECT_EQ(call_list(tags, "extract_all", {"<", ">"}), (strings{"a", "b"}));
    EXPECT_EQ(warnings(), strings{"extract_all: Missing right delimiter: >"});
    EXPECT_EQ(call_list(str("[1][22][]"), "extract_all", {"[", "]"}), (strings{"1", "22", ""}));
    EXPECT_EQ(call_list(str("{{a}}{{b}}x"), "extract_all", {"{{", "}}"}), (strings{"a", "b"}));
    EXPECT_EQ(call_list(str("none"), "extract_all", {"<", ">"}), strings{});
    EXPECT_TRUE(warnings().empty());
    EXPECT_EQ(call_list(tags, "extract_all", {"", ">"}), strings{});
    EXPECT_EQ(warnings(), strings{"extract_all: empty delimiter - nothing to search for, call ignored."});
}
