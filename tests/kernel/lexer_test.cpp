// Lexer of the kernel language: tokens, literal values, positions, source
// tables and lexical errors.

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>
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

// One literal after "x = ": "int VALUE[u]", "float VALUE[f]" or the error
// text with its column.
std::string literal(const std::string& text) {
    try {
        const auto t = lex("x = " + text);
        if (t.size() != 4) return "tokens: " + std::to_string(t.size());
        const lumk_token& k = t[2];
        if (k.kind == lumk_token_kind::integer) return "int " + std::to_string(k.ival) + (k.u_suffix ? "u" : "");
        std::ostringstream o;
        o.precision(17);
        o << "float " << k.fval << (k.f_suffix ? "f" : "");
        return k.kind == lumk_token_kind::floating ? o.str() : "kind?";
    } catch (const kerror& e) {
        return std::to_string(e.column) + ": " + e.message;
    }
}

TEST(KernelLexer, NumberLiterals) {
    const char* const max = "int 18446744073709551615";
    const std::pair<const char*, std::string> cases[] = {
        {"0", "int 0"}, {"007", "int 7"}, {"42u", "int 42u"}, {"0x1F", "int 31"}, {"0XffU", "int 255u"},
        {"0b101", "int 5"}, {"0B1u", "int 1u"}, {"18446744073709551615", max}, {"0xFFFFFFFFFFFFFFFF", max},
        {"0b1111111111111111111111111111111111111111111111111111111111111111", max},
        {"0000000000000000000000000000000000000001", "int 1"},
        {"18446744073709551616", "5: integer literal is too large"},
        {"99999999999999999999999999", "5: integer literal is too large"},
        {"0x10000000000000000", "5: integer literal is too large"},
        {"0b11111111111111111111111111111111111111111111111111111111111111111", "5: integer literal is too large"},
        {"1.5", "float 1.5"}, {"2.", "float 2"}, {".25", "float 0.25"}, {"1e3", "float 1000"},
        {"1.5e-3f", "float 0.0015f"}, {"2E+2F", "float 200f"}, {"0.0", "float 0"}, {"3.f", "float 3f"},
        {"1e-400", "float 0"}, {"1e-310", "float 9.9999999999999694e-311"},
        {"0.1f", "float 0.10000000000000001f"},  // the f suffix keeps the double value
        {"1e309", "5: float literal is out of range"}, {"1.8e308f", "5: float literal is out of range"},
        {"123456789e999999999999999999", "5: float literal is out of range"},
        {"12abc", "5: invalid number '12abc'"}, {"0x", "5: invalid number '0x'"}, {"0xg1", "5: invalid number '0xg1'"},
        {"0b", "5: invalid number '0b'"}, {"0b102", "5: invalid number '0b102'"}, {"1.5u", "5: invalid number '1.5u'"},
        {"1f", "5: invalid number '1f'"}, {"1e", "5: invalid number '1e'"}, {"1e+x", "5: invalid number '1e'"},
        {"2uu", "5: invalid number '2uu'"}, {"3.0ff", "5: invalid number '3.0ff'"},
        {"0x1p3", "5: invalid number '0x1p3'"}, {"7_", "5: invalid number '7_'"}, {".5x", "5: invalid number '.5x'"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(literal(text), want) << text;
    // A sign is never part of a literal; 1.2.3 is two literals.
    EXPECT_EQ(texts(lex("-5")), (std::vector<std::string>{"-", "5", "end of source"}));
    EXPECT_EQ(texts(lex("1.2.3")), (std::vector<std::string>{"1.2", ".3", "end of source"}));
    EXPECT_EQ(lex("0XffU")[0].text, "0XffU");
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
