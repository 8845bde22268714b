#include "types/string_split.h"

#include <algorithm>
#include <cstring>

#include "types/string_ops.h"

namespace {

enum class scan_mode : uint8_t {
    code,
    single_quoted,
    double_quoted,
    triple_single,
    triple_double,
    raw_string,
    line_comment,
    block_comment,
};

bool starts_at(std::string_view text, size_t pos, std::string_view what) noexcept {
    return what.size() <= text.size() - pos && text[pos] == what[0] &&
           std::memcmp(text.data() + pos, what.data(), what.size()) == 0;
}

// Whether an odd number of backslashes stands directly before `pos`.
bool escaped(std::string_view text, size_t pos) noexcept {
    size_t count = 0;
    while (pos > 0 && text[pos - 1] == '\\') {
        ++count;
        --pos;
    }
    return (count & 1) != 0;
}

bool breaks_raw_tag(char c) noexcept {
    return c == '\\' || c == ')' || lum_string_is_space(static_cast<unsigned char>(c));
}

// Answers "where is the first byte at or after `from` that matches" for
// searches whose starting points only grow: a cached answer stays right until
// the search start passes it, so the whole scan reads every byte at most once
// per finder. (A raw-string opener is tested at many positions; rescanning
// from each would make the split quadratic.)
template <class Match>
class forward_finder {
public:
    forward_finder(std::string_view text, Match match) : text_(text), match_(match) {}
    size_t find(size_t from) {
        if (!valid_ || cached_ < from) {
            size_t i = std::max(from, scanned_);
            while (i < text_.size() && !match_(text_[i])) ++i;
            cached_ = i;
            scanned_ = i;
            valid_ = true;
        }
        return cached_;
    }

private:
    std::string_view text_;
    Match match_;
    size_t cached_ = 0;
    size_t scanned_ = 0;
    bool valid_ = false;
};

}  // namespace

std::vector<std::string> lum_string_smart_split(std::string_view text, std::string_view delimiter, uint64_t max_parts,
                                                bool strip) {
    const std::vector<std::string_view> parts = lum_string_smart_split_views(text, delimiter, max_parts, strip);
    return std::vector<std::string>(parts.begin(), parts.end());
}

std::vector<std::string_view> lum_string_smart_split_views(std::string_view text, std::string_view delimiter,
                                                           uint64_t max_parts, bool strip) {
    std::vector<std::string_view> result;
    if (delimiter.empty()) {
        result.push_back(text);
        return result;
    }
    const size_t n = text.size();
    auto emit = [&](size_t begin, size_t end) {
        const std::string_view part = text.substr(begin, end - begin);
        result.push_back(strip ? lum_string_trim_view(part) : part);
    };

    auto is_open_paren = [](char c) { return c == '('; };
    forward_finder<decltype(&breaks_raw_tag)> next_break(text, &breaks_raw_tag);
    forward_finder<decltype(is_open_paren)> next_paren(text, is_open_paren);

    scan_mode mode = scan_mode::code;
    uint64_t parens = 0, brackets = 0, braces = 0;
    uint64_t emitted = 0;
    size_t part_start = 0;
    std::string raw_close;
    size_t pos = 0;

    while (pos < n) {
        const char c = text[pos];
        switch (mode) {
            case scan_mode::line_comment:
                if (c == '\n') mode = scan_mode::code;
                ++pos;
                continue;
            case scan_mode::block_comment:
                if (c == '*' && pos + 1 < n && text[pos + 1] == '/') {
                    mode = scan_mode::code;
                    pos += 2;
                } else {
                    ++pos;
                }
                continue;
            case scan_mode::raw_string:
                if (starts_at(text, pos, raw_close)) {
                    pos += raw_close.size();
                    mode = scan_mode::code;
                } else {
                    ++pos;
                }
                continue;
            case scan_mode::single_quoted:
            case scan_mode::double_quoted: {
                const char quote = mode == scan_mode::single_quoted ? '\'' : '"';
                if (c == quote && !escaped(text, pos)) mode = scan_mode::code;
                ++pos;
                continue;
            }
            case scan_mode::triple_single:
            case scan_mode::triple_double: {
                const char quote = mode == scan_mode::triple_single ? '\'' : '"';
                if (c == quote && n - pos >= 3 && text[pos + 1] == quote && text[pos + 2] == quote) {
                    pos += 3;
                    mode = scan_mode::code;
                } else {
                    ++pos;
                }
                continue;
            }
            case scan_mode::code:
                break;
        }

        // Code: comment openers, triple quotes, raw strings, quotes.
        if (c == '/' && pos + 1 < n) {
            if (text[pos + 1] == '/') {
                mode = scan_mode::line_comment;
                pos += 2;
                continue;
            }
            if (text[pos + 1] == '*') {
                mode = scan_mode::block_comment;
                pos += 2;
                continue;
            }
        }
        if ((c == '\'' || c == '"') && n - pos >= 3 && text[pos + 1] == c && text[pos + 2] == c) {
            mode = c == '\'' ? scan_mode::triple_single : scan_mode::triple_double;
            pos += 3;
            continue;
        }
        if (c == 'R' && n - pos >= 3 && text[pos + 1] == '"') {
            const size_t tag_start = pos + 2;
            const size_t open = next_paren.find(tag_start);
            if (open < n && next_break.find(tag_start) > open) {
                raw_close.assign(1, ')');
                raw_close.append(text.substr(tag_start, open - tag_start));
                raw_close.push_back('"');
                mode = scan_mode::raw_string;
                pos = open + 1;
                continue;
            }
            // Not a raw string: 'R' is an ordinary byte.
        } else if (c == '\'') {
            mode = scan_mode::single_quoted;
            ++pos;
            continue;
        } else if (c == '"') {
            mode = scan_mode::double_quoted;
            ++pos;
            continue;
        }

        // Brackets, then the delimiter (tested after this byte's bracket update).
        switch (c) {
            case '(': ++parens; break;
            case ')': if (parens > 0) --parens; break;
            case '[': ++brackets; break;
            case ']': if (brackets > 0) --brackets; break;
            case '{': ++braces; break;
            case '}': if (braces > 0) --braces; break;
            default: break;
        }
        if (parens == 0 && brackets == 0 && braces == 0 && emitted + 1 < max_parts &&
            starts_at(text, pos, delimiter)) {
            emit(part_start, pos);
            ++emitted;
            pos += delimiter.size();
            part_start = pos;
            continue;
        }
        ++pos;
    }
    emit(part_start, n);
    return result;
}
