// Text operations shared by "std.string"'s object operations and methods.
//
// Text is bytes: lengths and positions count bytes, white space is the "C"
// set (space and 0x09-0x0D) and letter case changes only for ASCII letters.
// Bytes 0x80-0xFF are never white space and never change case. None of these
// helpers consult the process locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class lum_log_base;
class lum_std_json;

// Largest position a write by index, and largest width a padding method, uses.
inline constexpr int64_t lum_string_limit = 1048576;

inline constexpr bool lum_string_is_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
inline constexpr char lum_string_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline constexpr char lum_string_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// A 256-entry membership table of the bytes of `chars`.
struct lum_byte_set {
    bool has[256] = {};
    explicit lum_byte_set(std::string_view chars) noexcept {
        for (char c : chars) has[static_cast<unsigned char>(c)] = true;
    }
    bool operator()(char c) const noexcept { return has[static_cast<unsigned char>(c)]; }
};

// Replaces every occurrence of `search` (found left to right, without overlap)
// by `replacement`. False, text unchanged, when `search` is longer than the
// text or absent. `search` must not be empty. The arguments may view `text`.
bool lum_string_replace_all(std::string& text, std::string_view search, std::string_view replacement);

// `out` := `text` with every occurrence of `search` replaced (what
// lum_string_replace_all does to a copy, in one pass). `out` must not alias
// the arguments; `search` must not be empty. True when something was replaced.
bool lum_string_replace_all_into(std::string& out, std::string_view text, std::string_view search,
                                 std::string_view replacement);

// "<method>: empty <what> - nothing to search for, call ignored." as a run-time
// warning (the task's report on the VM thread, else the current logger).
void lum_string_warn_empty_argument(std::string_view method, std::string_view what);
// "std.string[]: index <index> clamped to <used>", delivered as above.
void lum_string_warn_index_clamped(int64_t index, int64_t used);
// "<method>: width <width> clamped to 1048576", delivered as above.
void lum_string_warn_width_clamped(std::string_view method, int64_t width);
// "extract_all: Missing right delimiter: <right>" on the logger's warning level
// (a plain log line, not a run-time warning report).
void lum_string_log_missing_right_delimiter(lum_log_base& log, std::string_view right);

// The text without leading and trailing white space.
std::string lum_string_trim_copy(std::string_view text);
inline std::string_view lum_string_ltrim_view(std::string_view text) noexcept {
    size_t b = 0;
    while (b < text.size() && lum_string_is_space(static_cast<unsigned char>(text[b]))) ++b;
    return text.substr(b);
}
inline std::string_view lum_string_rtrim_view(std::string_view text) noexcept {
    size_t e = text.size();
    while (e > 0 && lum_string_is_space(static_cast<unsigned char>(text[e - 1]))) --e;
    return text.substr(0, e);
}
inline std::string_view lum_string_trim_view(std::string_view text) noexcept {
    return lum_string_rtrim_view(lum_string_ltrim_view(text));
}

// The text without any white space, and for each kept byte its position in
// the given text.
struct lum_string_stripped {
    std::string text;
    std::vector<uint64_t> positions;
};
lum_string_stripped lum_string_strip_whitespace(std::string_view text);

// One replacement of `search` ignoring white space in both texts, at or after
// byte `start` of `text`: the bytes from the first to the last matched byte
// (white space between them included) become `replacement`, and `next` is the
// position right after the inserted replacement. False when there is no match.
bool lum_string_replace_ignoring_whitespace_once(std::string& text, std::string_view search,
                                                 std::string_view replacement, uint64_t start, uint64_t& next);
// Every replacement that repeating the operation above from position 0 makes,
// in one pass: `out` := the result. `out` must not alias the arguments.
void lum_string_replace_ignoring_whitespace_all(std::string& out, std::string_view text, std::string_view search,
                                                std::string_view replacement);

// Number of fill bytes that pad a text of `length` bytes to `width`; widths
// above 1048576 are clamped with a warning naming `method`.
uint64_t lum_string_pad_count(int64_t width, uint64_t length, std::string_view method);

// Appends `part` to a json list as an unkeyed string element.
void lum_string_list_push(lum_std_json* list, std::string_view part);
