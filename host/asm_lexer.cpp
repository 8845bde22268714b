#include "host/asm_lexer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "vm/opcode.h"

namespace lum_asm {

[[noreturn]] void fail(std::string message) { throw line_error{std::move(message)}; }

namespace {

bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9') || c == '.'; }

}  // namespace

bool is_name(std::string_view s) {
    if (s.empty() || !is_name_start(s[0])) return false;
    return std::all_of(s.begin() + 1, s.end(), is_name_char);
}

std::string quote(std::string_view s) { return "'" + std::string(s) + "'"; }

// Splits a line into tokens: quoted strings and bracketed lists stay whole
// (also inside a word such as name="x" or members=[a, b]); ';' outside
// quotes starts a comment. Leading and trailing commas of a token are
// separators and dropped.
std::vector<token> tokenize(std::string_view line) {
    std::vector<token> out;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ';') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
            continue;
        }
        token t;
        t.column = static_cast<uint32_t>(i);
        int depth = 0;
        bool in_string = false;
        while (i < n) {
            const char d = line[i];
            if (in_string) {
                t.text += d;
                if (d == '\\' && i + 1 < n) {
                    t.text += line[i + 1];
                    i += 2;
                    continue;
                }
                if (d == '"') in_string = false;
                ++i;
                continue;
            }
            if (d == '"') {
                in_string = true;
                t.text += d;
                ++i;
                continue;
            }
            if (depth == 0 && (d == ' ' || d == '\t' || d == '\r' || d == '\f' || d == '\v' || d == ';')) break;
            if (d == '[') ++depth;
            if (d == ']') {
                if (depth == 0) fail("unbalanced ']'");
                --depth;
            }
            t.text += d;
            ++i;
        }
        if (in_string) fail("unterminated string");
        if (depth != 0) fail("unbalanced '['");
        size_t b = 0;
        size_t e = t.text.size();
        while (b < e && t.text[b] == ',') {
            ++b;
            ++t.column;
        }
        while (e > b && t.text[e - 1] == ',') --e;
        t.text = t.text.substr(b, e - b);
        if (!t.text.empty()) out.push_back(std::move(t));
    }
    return out;
}

bool is_string_literal(std::string_view s) { return s.size() >= 2 && s.front() == '"' && s.back() == '"'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string parse_string(std::string_view s) {
    if (!is_string_literal(s)) fail("expected a quoted string, got " + quote(s));
    std::string out;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        char c = s[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 2 >= s.size()) fail("bad escape at the end of " + quote(s));
        c = s[++i];
        switch (c) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                const int h = i + 1 < s.size() - 1 ? hex_digit(s[i + 1]) : -1;
                const int l = i + 2 < s.size() - 1 ? hex_digit(s[i + 2]) : -1;
                if (h < 0 || l < 0) fail("bad \\x escape in " + quote(s));
                out += static_cast<char>(h * 16 + l);
                i += 2;
                break;
            }
            default: fail(std::string("unknown escape \\") + c + " in " + quote(s));
        }
    }
    return out;
}

// Integers: decimal with an optional sign, or 0x hex (any 64-bit pattern).
std::optional<int64_t> try_int(std::string_view s) {
    if (s.empty()) return std::nullopt;
    bool negative = false;
    size_t i = 0;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i >= s.size()) return std::nullopt;
    uint64_t value = 0;
    if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        i += 2;
        if (s.size() - i > 16) return std::nullopt;
        for (; i < s.size(); ++i) {
            const int d = hex_digit(s[i]);
            if (d < 0) return std::nullopt;
            value = value * 16 + static_cast<uint64_t>(d);
        }
    } else {
        for (; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return std::nullopt;
            const uint64_t d = static_cast<uint64_t>(s[i] - '0');
            if (value > (UINT64_MAX - d) / 10) return std::nullopt;
            value = value * 10 + d;
        }
        if (!negative && value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        if (negative && value > static_cast<uint64_t>(INT64_MAX) + 1) return std::nullopt;
    }
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int64_t parse_int(std::string_view s, std::string_view what) {
    std::optional<int64_t> v = try_int(s);
    if (!v) fail("expected an integer for " + std::string(what) + ", got " + quote(s));
    return *v;
}

uint64_t parse_unsigned(std::string_view s, std::string_view what, uint64_t max) {
    std::optional<int64_t> v = try_int(s);
    const bool hex = s.find("0x") != std::string_view::npos || s.find("0X") != std::string_view::npos;
    if (!v || (!hex && *v < 0) || static_cast<uint64_t>(*v) > max)
        fail("expected a number from 0 to " + std::to_string(max) + " for " + std::string(what) + ", got " + quote(s));
    return static_cast<uint64_t>(*v);
}

uint32_t parse_u32(std::string_view s, std::string_view what) {
    return static_cast<uint32_t>(parse_unsigned(s, what, UINT32_MAX));
}

// A count with a limit of its own: "NAME=N exceeds the limit of L".
uint32_t parse_limited(std::string_view s, std::string_view what, uint32_t limit) {
    const uint64_t v = parse_unsigned(s, what, UINT64_MAX);
    if (v > limit)
        fail(std::string(what) + "=" + std::string(s) + " exceeds the limit of " + std::to_string(limit) + " per block");
    return static_cast<uint32_t>(v);
}

uint8_t parse_u8(std::string_view s, std::string_view what) {
    return static_cast<uint8_t>(parse_unsigned(s, what, 255));
}

std::optional<double> try_float(std::string_view s) {
    if (std::optional<int64_t> i = try_int(s)) {
        if (s.find("0x") == std::string_view::npos && s.find("0X") == std::string_view::npos)
            return static_cast<double>(*i);
    }
    if (s.empty()) return std::nullopt;
    const std::string text(s);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

double parse_float(std::string_view s, std::string_view what) {
    std::optional<double> v = try_float(s);
    if (!v) fail("expected a number for " + std::string(what) + ", got " + quote(s));
    return *v;
}

// "key=value" split at the first '='; no '=' gives an empty key.
std::pair<std::string_view, std::string_view> split_key(std::string_view s) {
    if (is_string_literal(s)) return {{}, s};
    const size_t eq = s.find('=');
    if (eq == std::string_view::npos || eq == 0) return {{}, s};
    return {s.substr(0, eq), s.substr(eq + 1)};
}

// The elements of "[a, b, c]" (or of "a,b,c" without brackets), trimmed.
std::vector<std::string> split_list(std::string_view s) {
    if (!s.empty() && s.front() == '[') {
        if (s.back() != ']') fail("unterminated list " + quote(s));
        s = s.substr(1, s.size() - 2);
    }
    std::vector<std::string> out;
    std::string current;
    bool in_string = false;
    auto flush = [&] {
        size_t b = current.find_first_not_of(" \t");
        size_t e = current.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(current.substr(b, e - b + 1));
        current.clear();
    };
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (in_string) {
            current += c;
            if (c == '\\' && i + 1 < s.size()) current += s[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        if (c == ',') {
            flush();
            continue;
        }
        current += c;
    }
    flush();
    return out;
}

// "l:S", "up:L,S", "g:S", "self:S" -> {slot-resolver kind, level, slot}.
std::tuple<uint8_t, uint8_t, uint32_t> parse_holder(std::string_view s) {
    const size_t colon = s.find(':');
    if (colon == std::string_view::npos) fail("expected l:S, up:L,S, g:S or self:S, got " + quote(s));
    const std::string_view kind = s.substr(0, colon);
    const std::string_view rest = s.substr(colon + 1);
    if (kind == "l") return {lum_fexpr::IT_LOCAL, 0, parse_u32(rest, "slot")};
    if (kind == "g") return {lum_fexpr::IT_GLOBAL, 0, parse_u32(rest, "global slot")};
    if (kind == "self") return {lum_fexpr::IT_SELF, 0, parse_u32(rest, "member index")};
    if (kind == "up") {
        const size_t comma = rest.find(',');
        if (comma == std::string_view::npos) fail("expected up:L,S, got " + quote(s));
        return {lum_fexpr::IT_UP, parse_u8(rest.substr(0, comma), "level"), parse_u32(rest.substr(comma + 1), "slot")};
    }
    fail("expected l:S, up:L,S, g:S or self:S, got " + quote(s));
}

}  // namespace lum_asm
