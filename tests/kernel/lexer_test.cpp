// Lexer of the kernel language: tokens, literal values, positions, source
// tables and lexical errors.

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <limits>
#include <locale>
#include <set>
#include <string>
#include <vector>

#include "kernel/compiler/lexer.h"

namespace {

std::vector<lumk_token> lex(std::string_view src, std::string_view name = "t.k") {
    lumk_lexer lx;
    lumk_lex(lx, src, name);
    return lx.tokens;
}

kerror lex_error(std::string_view src, std::string_view name = "t.k") {
    lumk_lexer lx;
    try {
        lumk_lex(lx, src, name);
    } catch (const kerror& e) {
        return e;
    }
    ADD_FAILURE() << "no lexical error for: " << src;
    return kerror();
}

std::vector<std::string> texts(const std::vector<lumk_token>& toks) {
    std::vector<std::string> out;
    for (const auto& t : toks) out.push_back(t.text);
    return out;
}

}  // namespace

TEST(KernelLexer, TokenKindsTextsAndPositions) {
    auto t = lex("kernel f(f32* p)\n{\tp[gid] += 1.5f; // note\n  /* a\n b */ x>>=2u;}");
    std::vector<std::string> expect = {"kernel", "f", "(", "f32", "*",   "p", ")", "{", "p", "[",
                                       "gid",    "]", "+=", "1.5f", ";", "x", ">>=", "2u", ";", "}",
                                       "end of source"};
    EXPECT_EQ(texts(t), expect);
    EXPECT_EQ(t[0].kind, lumk_token_kind::name);
    EXPECT_EQ(t[2].kind, lumk_token_kind::punct);
    EXPECT_EQ(t[13].kind, lumk_token_kind::floating);
    EXPECT_EQ(t[17].kind, lumk_token_kind::integer);
    EXPECT_EQ(t.back().kind, lumk_token_kind::end);
    // A tab counts as one column.
    EXPECT_EQ(t[7].line, 2u);
    EXPECT_EQ(t[7].column, 1u);
    EXPECT_EQ(t[8].line, 2u);
    EXPECT_EQ(t[8].column, 3u);
    // After a block comment spanning lines.
    EXPECT_EQ(t[15].text, "x");
    EXPECT_EQ(t[15].line, 4u);
    EXPECT_EQ(t[15].column, 7u);
    EXPECT_EQ(t[16].column, 8u);
    // The end token sits right after the last character.
    EXPECT_EQ(t.back().line, 4u);
    EXPECT_EQ(t.back().column, 15u);
}

TEST(KernelLexer, LineEndsOfEveryKind) {
    lumk_lexer lx;
    lumk_lex(lx, "a\r\nb\rc\nd", "x");
    ASSERT_EQ(lx.tokens.size(), 5u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lx.tokens[i].line, i + 1);
        EXPECT_EQ(lx.tokens[i].column, 1u);
        EXPECT_EQ(lx.tokens[i].source_line, i);
    }
}

TEST(KernelLexer, LineTablesOfMixedLineEnds) {
    // Reference: \n, \r\n and a lone \r end a line; the text after the last
    // line end is a line unless it is empty and follows a line end.
    auto reference = [](const std::string& src) {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t i = 0; i < src.size(); ++i) {
            if (src[i] != '\n' && src[i] != '\r') continue;
            lines.push_back(src.substr(start, i - start));
            if (src[i] == '\r' && i + 1 < src.size() && src[i + 1] == '\n') ++i;
            start = i + 1;
        }
        if (start < src.size() || lines.empty()) lines.push_back(src.substr(start));
        return lines;
    };
    for (const std::string src : {"", "\n", "\r", "\r\n", "a\r\r\nb", "\r\n\r\n", "a\n\rb", "a\rb\r", "x\n", "x",
                                  "\n\rx\r\n", "ab\n\ncd\r\n\r\ref", "\r\r", "\n\n\n x", "a\r\nb\rc\nd"}) {
        lumk_lexer lx;
        lumk_lex(lx, src, "x");
        EXPECT_EQ(lx.sources.lines, reference(src)) << testing::PrintToString(src);
    }
}

TEST(KernelLexer, EndTokenPosition) {
    // Trailing empty lines are skipped; a line of blanks or a comment is not empty.
    struct c {
        const char* src;
        uint32_t line, column;
    } cases[] = {{"a b\n\n\n", 1, 4}, {"a\n  // c\n\r\n", 2, 7}, {"", 1, 1}, {"\n\n", 1, 1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(k.src)));
        auto t = lex(k.src);
        EXPECT_EQ(t.back().line, k.line);
        EXPECT_EQ(t.back().column, k.column);
    }
    EXPECT_EQ(lex("").size(), 1u);
}

TEST(KernelLexer, SourceTablesAcrossSources) {
    lumk_lexer lx;
    lumk_lex(lx, "x\ny", "a.k");
    lumk_lex(lx, "z", "b.k");
    lumk_lex(lx, "w\n", "a.k");
    EXPECT_EQ(lx.sources.file_names, (std::vector<std::string>{"a.k", "b.k"}));
    EXPECT_EQ(lx.sources.lines, (std::vector<std::string>{"x", "y", "z", "w"}));
    // x y END z END w END
    ASSERT_EQ(lx.tokens.size(), 7u);
    EXPECT_EQ(lx.tokens[3].text, "z");
    EXPECT_EQ(lx.tokens[3].file, 1u);
    EXPECT_EQ(lx.tokens[3].line, 1u);
    EXPECT_EQ(lx.tokens[3].source_line, 2u);
    EXPECT_EQ(lx.tokens[5].file, 0u);
    EXPECT_EQ(lx.tokens[5].source_line, 3u);

    kerror e = lumk_error_record(lx.sources, lx.tokens[3], "bad");
    EXPECT_EQ(e.file, "b.k");
    EXPECT_EQ(e.line, 1u);
    EXPECT_EQ(e.column, 1u);
    EXPECT_EQ(e.message, "bad");
    EXPECT_EQ(e.source_line, "z");
    EXPECT_STREQ(e.what(), "bad");

    // An error in a later source names that source and its line.
    kerror e2;
    try {
        lumk_lex(lx, "ok\n  @", "c.k");
    } catch (const kerror& k) {
        e2 = k;
    }
    EXPECT_EQ(e2.file, "c.k");
    EXPECT_EQ(e2.line, 2u);
    EXPECT_EQ(e2.column, 3u);
    EXPECT_EQ(e2.source_line, "  @");
}

TEST(KernelLexer, IntegerLiterals) {
    auto t = lex("0 007 42u 0x1F 0XffU 0b101 0B1u 18446744073709551615 0xFFFFFFFFFFFFFFFF "
                 "0b1111111111111111111111111111111111111111111111111111111111111111 "
                 "0000000000000000000000000000000000000001");
    ASSERT_EQ(t.size(), 12u);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    std::vector<uint64_t> v = {0, 7, 42, 31, 255, 5, 1, max, max, max, 1};
    std::vector<int> u = {0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0};
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(t[i].kind, lumk_token_kind::integer) << i;
        EXPECT_EQ(t[i].ival, v[i]) << i;
        EXPECT_EQ(t[i].u_suffix, u[i]) << i;
    }
    EXPECT_EQ(t[4].text, "0XffU");
    // A sign is never part of a literal.
    t = lex("-5");
    EXPECT_EQ(texts(t), (std::vector<std::string>{"-", "5", "end of source"}));
}

TEST(KernelLexer, IntegerOverflowIsAnError) {
    for (const char* src : {"18446744073709551616", "99999999999999999999999999", "0x10000000000000000",
                            "0b11111111111111111111111111111111111111111111111111111111111111111"}) {
        kerror e = lex_error(std::string("x = ") + src + ";");
        EXPECT_EQ(e.message, "integer literal is too large") << src;
        EXPECT_EQ(e.line, 1u);
        EXPECT_EQ(e.column, 5u);
    }
}

TEST(KernelLexer, FloatLiterals) {
    auto t = lex("1.5 2. .25 1e3 1.5e-3f 2E+2F 0.0 3.f 1e-400 1e-310");
    ASSERT_EQ(t.size(), 11u);
    std::vector<double> v = {1.5, 2.0, 0.25, 1000.0, 1.5e-3, 200.0, 0.0, 3.0, 0.0, 1e-310};
    std::vector<int> f = {0, 0, 0, 0, 1, 1, 0, 1, 0, 0};
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(t[i].kind, lumk_token_kind::floating) << i;
        EXPECT_EQ(t[i].fval, v[i]) << i;
        EXPECT_EQ(t[i].f_suffix, f[i]) << i;
    }
    EXPECT_EQ(t[4].text, "1.5e-3f");
    // The f suffix keeps the double value (not rounded to float).
    t = lex("0.1f");
    EXPECT_EQ(t[0].fval, 0.1);
    // 1.2.3 is two literals and a name-less dot sequence, not one number.
    t = lex("1.2.3");
    EXPECT_EQ(texts(t), (std::vector<std::string>{"1.2", ".3", "end of source"}));
}

TEST(KernelLexer, FloatOutOfRange) {
    for (const char* src : {"1e309", "1.8e308f", "123456789e999999999999999999"}) {
        kerror e = lex_error(std::string("  ") + src);
        EXPECT_EQ(e.message, "float literal is out of range") << src;
        EXPECT_EQ(e.column, 3u);
    }
}

namespace {
struct comma_point : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};
}  // namespace

TEST(KernelLexer, FloatParsingIgnoresTheProcessLocale) {
    // A C++ global locale with a decimal comma.
    std::locale old_global = std::locale::global(std::locale(std::locale::classic(), new comma_point));
    auto t = lex("1.5 2.25e1f");
    std::locale::global(old_global);
    EXPECT_EQ(t[0].fval, 1.5);
    EXPECT_EQ(t[1].fval, 22.5);

    // A C locale with a decimal comma, where one is installed.
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"};
    std::string old = std::setlocale(LC_ALL, nullptr);
    bool set = false;
    for (const char* n : names)
        if (std::setlocale(LC_ALL, n)) {
            set = true;
            break;
        }
    if (!set) return;
    t = lex("1.5 2.25e1f");
    std::setlocale(LC_ALL, old.c_str());
    EXPECT_EQ(t[0].fval, 1.5);
    EXPECT_EQ(t[1].fval, 22.5);
}

TEST(KernelLexer, InvalidNumbers) {
    struct c {
        const char* src;
        const char* text;
    } cases[] = {
        {"12abc", "12abc"}, {"0x", "0x"},     {"0xg1", "0xg1"}, {"0b", "0b"},   {"0b102", "0b102"},
        {"1.5u", "1.5u"},   {"1f", "1f"},     {"1e", "1e"},     {"1e+x", "1e"}, {"2uu", "2uu"},
        {"3.0ff", "3.0ff"}, {"0x1p3", "0x1p3"}, {"7_", "7_"},   {".5x", ".5x"},
    };
    for (const auto& k : cases) {
        kerror e = lex_error(std::string("a ") + k.src);
        EXPECT_EQ(e.message, std::string("invalid number '") + k.text + "'") << k.src;
        EXPECT_EQ(e.line, 1u);
        EXPECT_EQ(e.column, 3u) << k.src;
    }
}

// Every one- to three-byte punctuator sequence is in
// EveryPunctuatorPairAndTripleTakesTheLongestMatch; here names and blanks
// around them.
TEST(KernelLexer, PunctuatorsBetweenNamesAndBlanks) {
    EXPECT_EQ(texts(lex("a--b")), (std::vector<std::string>{"a", "--", "b", "end of source"}));
    EXPECT_EQ(texts(lex("x->y")), (std::vector<std::string>{"x", "->", "y", "end of source"}));
    EXPECT_EQ(texts(lex("! = < <")), (std::vector<std::string>{"!", "=", "<", "<", "end of source"}));
}

TEST(KernelLexer, UnexpectedCharacters) {
    for (char c : std::string("@$#`\"'\\")) {
        kerror e = lex_error(std::string("x\n ab ") + c);
        EXPECT_EQ(e.message, std::string("unexpected character '") + c + "'");
        EXPECT_EQ(e.line, 2u);
        EXPECT_EQ(e.column, 5u);
        EXPECT_EQ(e.source_line, std::string(" ab ") + c);
        EXPECT_EQ(e.file, "t.k");
    }
    // Bytes outside ASCII and NUL are reported as they are.
    kerror e = lex_error(std::string("a\x80", 2));
    EXPECT_EQ(e.message, std::string("unexpected character '\x80'"));
    e = lex_error(std::string("a\0", 2));
    EXPECT_EQ(e.message, std::string("unexpected character '\0'", 24));
}

TEST(KernelLexer, Comments) {
    EXPECT_EQ(texts(lex("a // x */ y\nb/**/c/* // */d//end")),
              (std::vector<std::string>{"a", "b", "c", "d", "end of source"}));
    // Block comments do not nest.
    EXPECT_EQ(texts(lex("/* /* */ x */")), (std::vector<std::string>{"x", "*", "/", "end of source"}));
    kerror e = lex_error("a\n  b /* open\n\n");
    EXPECT_EQ(e.message, "unterminated comment");
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 5u);
    e = lex_error("/*/");
    EXPECT_EQ(e.message, "unterminated comment");
}

TEST(KernelLexer, ReservedWords) {
    const char* reserved[] = {"kernel", "inline", "const", "struct",  "cstruct", "if",    "else",    "for",
                              "while",  "break",  "continue", "return", "unchecked", "true", "false", "sizeof",
                              "reduce", "gid",    "gsize",   "gid_x",   "gid_y",   "gsize_x", "gsize_y"};
    for (const char* w : reserved) EXPECT_TRUE(lumk_is_reserved_word(w)) << w;
    for (const char* w : {"void", "bool", "i32", "f32x4", "min", "max", "sqrt", "atomic_add", "Kernel", "gid_z", ""})
        EXPECT_FALSE(lumk_is_reserved_word(w)) << w;
    // every one-byte change, insertion and removal of a reserved word is an ordinary name
    const std::set<std::string> words(std::begin(reserved), std::end(reserved));
    for (const std::string& w : words) {
        for (size_t i = 0; i <= w.size(); ++i) {
            std::vector<std::string> variants = {w.substr(0, i) + "x" + w.substr(i)};
            if (i < w.size()) {
                variants.push_back(w.substr(0, i) + w.substr(i + 1));
                std::string c = w;
                c[i] = c[i] == 'z' ? 'a' : static_cast<char>(c[i] + 1);
                variants.push_back(c);
            }
            for (const std::string& v : variants)
                EXPECT_EQ(lumk_is_reserved_word(v), words.count(v) == 1) << v;
        }
    }
}

TEST(KernelError, RecordCopiesEveryFieldAndSurvivesSelfAssignment) {
    kerror a("f.k", 3, 7, "bad thing", "  x = @;");
    kerror b;
    b = a;
    EXPECT_EQ(b.file, "f.k");
    EXPECT_EQ(b.line, 3u);
    EXPECT_EQ(b.column, 7u);
    EXPECT_EQ(b.message, "bad thing");
    EXPECT_EQ(b.source_line, "  x = @;");
    kerror& self = b;
    b = self;
    EXPECT_EQ(b.message, "bad thing");
    EXPECT_EQ(b.source_line, "  x = @;");
    // Thrown as its own type, readable as a standard exception too.
    try {
        throw a;
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "bad thing");
    }
}

TEST(KernelLexer, EveryPunctuatorPairAndTripleTakesTheLongestMatch) {
    // Every string of one to three bytes over the punctuator characters: the
    // first token is the longest punctuator the string begins with.
    const std::vector<std::string> puncts = {
        "<<=", ">>=", "->", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<", ">>", "<=", ">=", "==", "!=",
        "&&",  "||",  "++", "--", "(",  ")",  "[",  "]",  "{",  "}",  ",",  ";",  ":",  "?",  ".",  "+",
        "-",   "*",   "/",  "%",  "&",  "|",  "^",  "~",  "!",  "=",  "<",  ">"};
    const std::string alphabet = "()[]{},;:?.+-*/%&|^~!=<>";
    auto longest = [&](const std::string& s) {
        std::string best;
        for (const std::string& p : puncts)
            if (s.compare(0, p.size(), p) == 0 && p.size() > best.size()) best = p;
        return best;
    };
    size_t checked = 0;
    for (char a : alphabet) {
        for (int nb = -1; nb < static_cast<int>(alphabet.size()); ++nb) {
            for (int nc = -1; nc < static_cast<int>(alphabet.size()); ++nc) {
                if (nb < 0 && nc >= 0) continue;
                std::string s(1, a);
                if (nb >= 0) s += alphabet[nb];
                if (nc >= 0) s += alphabet[nc];
                // A comment opener is not a punctuator sequence.
                if (s.find("//") != std::string::npos || s.find("/*") != std::string::npos) continue;
                const auto t = lex(s);
                ASSERT_GE(t.size(), 2u) << s;
                EXPECT_EQ(t[0].text, longest(s)) << s;
                EXPECT_EQ(t[0].kind, lumk_token_kind::punct) << s;
                // The rest lexes the same way on its own.
                const auto rest = lex(s.substr(t[0].text.size()));
                ASSERT_EQ(rest.size() + 1, t.size()) << s;
                for (size_t i = 0; i < rest.size(); ++i) {
                    EXPECT_EQ(rest[i].text, t[i + 1].text) << s;
                    if (i + 1 < rest.size()) {
                        EXPECT_EQ(rest[i].column + t[0].text.size(), t[i + 1].column) << s;
                    }
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 10000u);
}
