#pragma once
// The assembler's lexer: one source line into tokens, and the literals and
// operand forms the lines are written in (names, quoted strings, integers,
// floats, KEY=VALUE pairs, [lists], holder places). A problem abandons the
// line: `fail` throws `line_error`, which the parser reports as
// "FILE:LINE: message".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace lum_asm {

// Abandons the current line with a message.
struct line_error {
    std::string message;
};

[[noreturn]] void fail(std::string message);

struct token {
    std::string text;  // as written (quotes kept)
    uint32_t column = 0;
};

// Splits a line into tokens: quoted strings and bracketed lists stay whole
// (also inside a word such as name="x" or members=[a, b]); ';' outside
// quotes starts a comment. Leading and trailing commas of a token are
// separators and dropped.
std::vector<token> tokenize(std::string_view line);

// `[A-Za-z_][A-Za-z0-9_.]*`
bool is_name(std::string_view s);
// 's' in single quotes, for messages.
std::string quote(std::string_view s);
bool is_string_literal(std::string_view s);
// The value of a hex digit; -1 for any other character.
int hex_digit(char c);

// The text of a quoted string, escapes (\n \t \r \0 \\ \" \xHH) resolved.
std::string parse_string(std::string_view s);

// Integers: decimal with an optional sign, or 0x hex (any 64-bit pattern).
std::optional<int64_t> try_int(std::string_view s);
int64_t parse_int(std::string_view s, std::string_view what);
uint64_t parse_unsigned(std::string_view s, std::string_view what, uint64_t max);
uint32_t parse_u32(std::string_view s, std::string_view what);
// A count with a limit of its own: "NAME=N exceeds the limit of L".
uint32_t parse_limited(std::string_view s, std::string_view what, uint32_t limit);
uint8_t parse_u8(std::string_view s, std::string_view what);
std::optional<double> try_float(std::string_view s);
double parse_float(std::string_view s, std::string_view what);

// "key=value" split at the first '='; no '=' gives an empty key.
std::pair<std::string_view, std::string_view> split_key(std::string_view s);
// The elements of "[a, b, c]" (or of "a,b,c" without brackets), trimmed.
std::vector<std::string> split_list(std::string_view s);

// "l:S", "up:L,S", "g:S", "self:S" -> {slot-resolver kind, level, slot}.
std::tuple<uint8_t, uint8_t, uint32_t> parse_holder(std::string_view s);

}  // namespace lum_asm
