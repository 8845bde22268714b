#pragma once
// Lexer of the kernel source language. Turns the bytes of one source into
// tokens appended to a shared token vector; several sources (imports first,
// the unit's own source last) can be lexed into the same lexer state.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/kerror.h"

enum class lumk_token_kind : uint8_t {
    end,       // the end token appended after each source; text "end of source"
    name,      // [A-Za-z_][A-Za-z0-9_]*, keywords included
    integer,   // integer literal: ival, u_suffix
    floating,  // float literal: fval, f_suffix
    punct,     // punctuator; text is the operator
};

// Exact text test for the short fixed texts of punctuators and keywords. A
// byte loop over a literal unrolls into a few compares; the parser runs these
// tests several times per token, where a memcmp call each would dominate.
inline bool lumk_text_is(const std::string& text, std::string_view fixed) {
    if (text.size() != fixed.size()) return false;
    for (size_t i = 0; i < fixed.size(); ++i)
        if (text[i] != fixed[i]) return false;
    return true;
}

struct lumk_token {
    lumk_token_kind kind = lumk_token_kind::end;
    std::string text;          // the token as written ("end of source" for the end token)
    uint64_t ival = 0;         // value of an integer literal
    double fval = 0.0;         // value of a float literal (kept as a double even with the f suffix)
    uint8_t u_suffix = 0;      // integer literal written with u/U
    uint8_t f_suffix = 0;      // float literal written with f/F
    uint32_t line = 0;         // 1-based line
    uint32_t column = 0;       // 1-based byte column
    uint16_t file = 0;         // index into lumk_source_tables::file_names
    uint32_t source_line = 0;  // index into lumk_source_tables::lines

    bool is_end() const { return kind == lumk_token_kind::end; }
    bool is_name() const { return kind == lumk_token_kind::name; }
    // A punctuator with exactly this text.
    bool is_punct(std::string_view p) const { return kind == lumk_token_kind::punct && lumk_text_is(text, p); }
    // A name token with exactly this text (keywords are recognised this way).
    bool is_word(std::string_view w) const { return kind == lumk_token_kind::name && lumk_text_is(text, w); }
};

// The pair of source tables shared by every token of a compile.
struct lumk_source_tables {
    std::vector<std::string> file_names;  // interned source names
    std::vector<std::string> lines;       // every source line of every lexed source, without line ends
};

// Lexer state: the token vector and the source tables.
struct lumk_lexer {
    std::vector<lumk_token> tokens;
    lumk_source_tables sources;
};

// Appends the tokens of `source` to lexer.tokens, ending with an end token;
// interns `name` in the file-name table and appends the source's lines to the
// line table. Throws kerror on a lexical error.
void lumk_lex(lumk_lexer& lexer, std::string_view source, std::string_view name);

// True for the 23 reserved words of the kernel language.
bool lumk_is_reserved_word(std::string_view text);

// The error record for a fault at `tok`: position from the token, file name and
// line text looked up through its indexes (empty when an index is out of range).
kerror lumk_error_record(const lumk_source_tables& sources, const lumk_token& tok, std::string message);

// Throws lumk_error_record(sources, tok, message).
[[noreturn]] void lumk_throw_at(const lumk_source_tables& sources, const lumk_token& tok, std::string message);
