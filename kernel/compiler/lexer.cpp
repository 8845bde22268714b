#include "kernel/compiler/lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr std::string_view k_punct1 = "()[]{},;:?.+-*/%&|^~!=<>";

// Length of the longest punctuator at the start of `rest` (which is not
// empty): 3 for "<<=" ">>="; 2 for "->" "+=" "-=" "*=" "/=" "%=" "&=" "|="
// "^=" "<<" ">>" "<=" ">=" "==" "!=" "&&" "||" "++" "--"; 1 for a single
// punctuator character; 0 when the byte starts none.
size_t punct_length(std::string_view rest) {
    const char c = rest[0];
    const char n = rest.size() > 1 ? rest[1] : '\0';
    switch (c) {
        case '<':
        case '>':
            if (n == c) return rest.size() > 2 && rest[2] == '=' ? 3 : 2;
            return n == '=' ? 2 : 1;
        case '-': return n == '>' || n == '=' || n == '-' ? 2 : 1;
        case '+': return n == '=' || n == '+' ? 2 : 1;
        case '&':
        case '|': return n == '=' || n == c ? 2 : 1;
        case '*':
        case '/':
        case '%':
        case '^':
        case '=':
        case '!': return n == '=' ? 2 : 1;
        default: return k_punct1.find(c) != std::string_view::npos ? 1 : 0;
    }
}

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex(unsigned char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_name_start(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(unsigned char c) { return is_name_start(c) || is_digit(c); }

unsigned digit_value(unsigned char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Decides whether a decimal float text that std::from_chars reported out of
// range overflowed (true) or underflowed to zero (false), from the decimal
// exponent of its first significant digit.
bool float_text_overflows(std::string_view t) {
    size_t i = 0;
    int64_t int_digits = 0;     // significant digits before the point
    int64_t leading_zeros = 0;  // zeros after the point before the first significant digit
    bool seen_nonzero = false;
    for (; i < t.size() && is_digit(t[i]); ++i) {
        if (t[i] != '0') seen_nonzero = true;
        if (seen_nonzero && int_digits < (int64_t(1) << 40)) ++int_digits;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        for (; i < t.size() && is_digit(t[i]); ++i) {
            if (!seen_nonzero) {
                if (t[i] != '0') seen_nonzero = true;
                else if (leading_zeros < (int64_t(1) << 40)) ++leading_zeros;
            }
        }
    }
    if (!seen_nonzero) return false;
    int64_t exp = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
        for (; i < t.size() && is_digit(t[i]); ++i)
            if (exp < (int64_t(1) << 40)) exp = exp * 10 + (t[i] - '0');
        if (neg) exp = -exp;
    }
    int64_t magnitude = int_digits > 0 ? int_digits + exp : exp - leading_zeros;
    return magnitude > 0;
}

struct lexer_run {
    lumk_lexer& lx;
    std::string_view src;
    uint16_t file = 0;
    uint32_t line_base = 0;              // index of this source's first line in the line table
    std::vector<size_t> line_starts;     // byte offset of each line start
    size_t pos = 0;
    uint32_t line = 0;                   // 0-based line of pos

    lexer_run(lumk_lexer& l, std::string_view s) : lx(l), src(s) {}

    // Splits the source into lines (\n, \r\n or a lone \r end a line) and
    // appends their texts to the line table.
    void split_lines() {
        line_base = static_cast<uint32_t>(lx.sources.lines.size());
        line_starts.push_back(0);
        const char* const base = src.data();
        const size_t n = src.size();
        if (n == 0) {
            // no line ends
        } else if (std::memchr(base, '\r', n) == nullptr) {
            // Only \n ends lines: memchr finds them many bytes at a time.
            for (const char* p = base; (p = static_cast<const char*>(std::memchr(p, '\n', n - (p - base)))) != nullptr;) {
                ++p;
                line_starts.push_back(static_cast<size_t>(p - base));
            }
        } else {
            for (size_t i = 0; i < n; ++i) {
                if (src[i] == '\n' || src[i] == '\r') {
                    if (src[i] == '\r' && i + 1 < n && src[i + 1] == '\n') ++i;
                    line_starts.push_back(i + 1);
                }
            }
        }
        // The text after the last line end is a line of its own unless it is
        // empty and follows a line end.
        const bool last_line = line_starts.back() < n || line_starts.size() == 1;
        lx.sources.lines.reserve(lx.sources.lines.size() + line_starts.size());
        for (size_t k = 0; k + 1 < line_starts.size(); ++k) {
            // A line ends one byte before the next line starts, two for \r\n.
            size_t end = line_starts[k + 1] - 1;
            if (src[end] == '\n' && end > line_starts[k] && src[end - 1] == '\r') --end;
            lx.sources.lines.emplace_back(src.substr(line_starts[k], end - line_starts[k]));
        }
        if (last_line)
            lx.sources.lines.emplace_back(src.substr(line_starts.back()));
        else
            line_starts.pop_back();
    }

    // Fills `t` as the token of the source bytes [start, start + len) on line tok_line.
    void fill(lumk_token& t, lumk_token_kind kind, size_t start, size_t len, uint32_t tok_line) const {
        t.kind = kind;
        t.text.assign(src.data() + start, len);
        t.line = tok_line + 1;
        t.column = static_cast<uint32_t>(start - line_starts[tok_line] + 1);
        t.file = file;
        t.source_line = line_base + tok_line;
    }

    // Appends the token of [start, start + len) to the token vector, made in place.
    lumk_token& append(lumk_token_kind kind, size_t start, size_t len, uint32_t tok_line) {
        lumk_token& t = lx.tokens.emplace_back();
        fill(t, kind, start, len, tok_line);
        return t;
    }

    lumk_token make(lumk_token_kind kind, size_t start, size_t len, uint32_t tok_line) const {
        lumk_token t;
        fill(t, kind, start, len, tok_line);
        return t;
    }

    [[noreturn]] void fail_at(size_t start, uint32_t at_line, std::string message) const {
        lumk_token t = make(lumk_token_kind::end, start, 0, at_line);
        lumk_throw_at(lx.sources, t, std::move(message));
    }

    // Moves pos over one line end starting at pos (which holds \r or \n).
    void take_line_end() {
        if (src[pos] == '\r' && pos + 1 < src.size() && src[pos + 1] == '\n') ++pos;
        ++pos;
        ++line;
    }

    void skip_space_and_comments() {
        while (pos < src.size()) {
            unsigned char c = src[pos];
            if (c == '\n' || c == '\r') {
                take_line_end();
            } else if (is_space(c)) {
                ++pos;
            } else if (c == '/' && pos + 1 < src.size() && src[pos + 1] == '/') {
                while (pos < src.size() && src[pos] != '\n' && src[pos] != '\r') ++pos;
            } else if (c == '/' && pos + 1 < src.size() && src[pos + 1] == '*') {
                size_t start = pos;
                uint32_t start_line = line;
                pos += 2;
                for (;;) {
                    if (pos >= src.size()) fail_at(start, start_line, "unterminated comment");
                    if (src[pos] == '*' && pos + 1 < src.size() && src[pos + 1] == '/') {
                        pos += 2;
                        break;
                    }
                    if (src[pos] == '\n' || src[pos] == '\r') take_line_end();
                    else ++pos;
                }
            } else {
                break;
            }
        }
    }

    // Length of a decimal exponent "(e|E) [+-] D+" at i, 0 when there is none.
    size_t exponent_length(size_t i) const {
        if (i >= src.size() || (src[i] != 'e' && src[i] != 'E')) return 0;
        size_t j = i + 1;
        if (j < src.size() && (src[j] == '+' || src[j] == '-')) ++j;
        if (j >= src.size() || !is_digit(src[j])) return 0;
        while (j < src.size() && is_digit(src[j])) ++j;
        return j - i;
    }

    void lex_number() {
        const size_t start = pos;
        size_t i = pos;
        bool is_float = false;
        unsigned radix = 10;
        size_t digits_begin = i, digits_end = i;  // integer digits (without prefix)
        if (src[i] == '0' && i + 1 < src.size() && (src[i + 1] == 'x' || src[i + 1] == 'X')) {
            radix = 16;
            i += 2;
            digits_begin = i;
            while (i < src.size() && is_hex(src[i])) ++i;
            digits_end = i;
        } else if (src[i] == '0' && i + 1 < src.size() && (src[i + 1] == 'b' || src[i + 1] == 'B')) {
            radix = 2;
            i += 2;
            digits_begin = i;
            while (i < src.size() && (src[i] == '0' || src[i] == '1')) ++i;
            digits_end = i;
        } else {
            while (i < src.size() && is_digit(src[i])) ++i;
            digits_end = i;
            if (i < src.size() && src[i] == '.') {
                is_float = true;
                ++i;
                while (i < src.size() && is_digit(src[i])) ++i;
            }
            size_t e = exponent_length(i);
            if (e > 0) {
                is_float = true;
                i += e;
            }
        }
        const size_t body_end = i;  // end of the literal without suffix
        bool u_suffix = false, f_suffix = false;
        if (i < src.size()) {
            if (!is_float && (src[i] == 'u' || src[i] == 'U')) {
                u_suffix = true;
                ++i;
            } else if (is_float && (src[i] == 'f' || src[i] == 'F')) {
                f_suffix = true;
                ++i;
            }
        }
        const bool no_digits = radix != 10 && digits_begin == digits_end;
        if (no_digits || (i < src.size() && is_name_char(src[i]))) {
            while (i < src.size() && is_name_char(src[i])) ++i;
            fail_at(start, line, "invalid number '" + std::string(src.substr(start, i - start)) + "'");
        }

        lumk_token t;
        fill(t, is_float ? lumk_token_kind::floating : lumk_token_kind::integer, start, i - start, line);
        if (is_float) {
            std::string_view body = src.substr(start, body_end - start);
            double v = 0.0;
            auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
            if (r.ec == std::errc::result_out_of_range) {
                if (float_text_overflows(body)) fail_at(start, line, "float literal is out of range");
                v = 0.0;
            } else if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
                fail_at(start, line, "invalid number '" + std::string(src.substr(start, i - start)) + "'");
            }
            if (v == std::numeric_limits<double>::infinity()) fail_at(start, line, "float literal is out of range");
            t.fval = v;
            t.f_suffix = f_suffix;
        } else {
            uint64_t v = 0;
            for (size_t k = digits_begin; k < digits_end; ++k) {
                unsigned d = digit_value(src[k]);
                if (v > (std::numeric_limits<uint64_t>::max() - d) / radix)
                    fail_at(start, line, "integer literal is too large");
                v = v * radix + d;
            }
            t.ival = v;
            t.u_suffix = u_suffix;
        }
        lx.tokens.push_back(std::move(t));
        pos = i;
    }

    void lex_punct() {
        const size_t len = punct_length(src.substr(pos));
        if (len == 0) fail_at(pos, line, std::string("unexpected character '") + src[pos] + "'");
        append(lumk_token_kind::punct, pos, len, line);
        pos += len;
    }

    void run() {
        split_lines();
        while (true) {
            skip_space_and_comments();
            if (pos >= src.size()) break;
            unsigned char c = src[pos];
            if (is_name_start(c)) {
                size_t start = pos;
                while (pos < src.size() && is_name_char(src[pos])) ++pos;
                append(lumk_token_kind::name, start, pos - start, line);
            } else if (is_digit(c) || (c == '.' && pos + 1 < src.size() && is_digit(src[pos + 1]))) {
                lex_number();
            } else {
                lex_punct();
            }
        }
        // The end token sits just after the last character of the last
        // non-empty line (line 1, column 1 when every line is empty).
        uint32_t count = static_cast<uint32_t>(lx.sources.lines.size()) - line_base;
        uint32_t last = 0;
        size_t column = 1;
        for (uint32_t k = count; k > 0; --k) {
            const std::string& text = lx.sources.lines[line_base + k - 1];
            if (!text.empty()) {
                last = k - 1;
                column = text.size() + 1;
                break;
            }
        }
        lumk_token end;
        end.kind = lumk_token_kind::end;
        end.text = "end of source";
        end.line = last + 1;
        end.column = static_cast<uint32_t>(column);
        end.file = file;
        end.source_line = line_base + last;
        lx.tokens.push_back(std::move(end));
    }
};

}  // namespace

bool lumk_is_reserved_word(std::string_view text) {
    // Asked for most name tokens the parser and checker meet: one switch on
    // the length and first byte leaves at most three candidates to compare.
    auto is = [&](std::string_view w) { return text == w; };
    switch (text.size()) {
        case 2: return is("if");
        case 3: return text[0] == 'f' ? is("for") : is("gid");
        case 4: return text[0] == 'e' ? is("else") : is("true");
        case 5:
            switch (text[0]) {
                case 'c': return is("const");
                case 'w': return is("while");
                case 'b': return is("break");
                case 'f': return is("false");
                case 'g': return is("gsize") || is("gid_x") || is("gid_y");
                default: return false;
            }
        case 6:
            switch (text[0]) {
                case 'k': return is("kernel");
                case 'i': return is("inline");
                case 's': return is("struct") || is("sizeof");
                case 'r': return is("return") || is("reduce");
                default: return false;
            }
        case 7: return text[0] == 'c' ? is("cstruct") : is("gsize_x") || is("gsize_y");
        case 8: return is("continue");
        case 9: return is("unchecked");
        default: return false;
    }
}

kerror lumk_error_record(const lumk_source_tables& sources, const lumk_token& tok, std::string message) {
    std::string file = tok.file < sources.file_names.size() ? sources.file_names[tok.file] : std::string();
    std::string text = tok.source_line < sources.lines.size() ? sources.lines[tok.source_line] : std::string();
    return kerror(std::move(file), tok.line, tok.column, std::move(message), std::move(text));
}

void lumk_throw_at(const lumk_source_tables& sources, const lumk_token& tok, std::string message) {
    throw lumk_error_record(sources, tok, std::move(message));
}

void lumk_lex(lumk_lexer& lexer, std::string_view source, std::string_view name) {
    // Intern the source name.
    size_t file = 0;
    auto& names = lexer.sources.file_names;
    while (file < names.size() && names[file] != name) ++file;
    if (file == names.size()) {
        if (names.size() > std::numeric_limits<uint16_t>::max())
            throw kerror(std::string(name), 1, 1, "too many sources in one compile", std::string());
        names.emplace_back(name);
    }
    // Kernel sources average two to three bytes per token; reserving up front saves
    // moving every token on each growth of the vector.
    // Growth stays geometric when many sources go into one vector.
    const size_t want = lexer.tokens.size() + source.size() / 2 + 16;
    if (want > lexer.tokens.capacity()) lexer.tokens.reserve(std::max(want, 2 * lexer.tokens.capacity()));
    lexer_run run(lexer, source);
    run.file = static_cast<uint16_t>(file);
    run.run();
}
