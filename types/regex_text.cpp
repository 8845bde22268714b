#include "types/regex_text.h"

void lum_regex_each_match(lum_regex_matcher& matcher, std::string_view text,
                          const std::function<void(size_t, size_t)>& on_match) {
    bool found = matcher.search(text, 0);
    while (found) {
        const size_t begin = matcher.begin(), end = matcher.end();
        on_match(begin, end);
        if (begin != end) {
            found = matcher.search(text, end);
        } else if (end >= text.size()) {
            break;
        } else {
            found = matcher.match_here_not_empty(text, end) || matcher.search(text, end + 1);
        }
    }
}

void lum_regex_split_pieces(lum_regex_matcher& matcher, std::string_view text,
                            const std::function<void(std::string_view)>& on_piece) {
    size_t previous_end = 0;
    bool any = false;
    lum_regex_each_match(matcher, text, [&](size_t begin, size_t end) {
        any = true;
        on_piece(text.substr(previous_end, begin - previous_end));
        previous_end = end;
    });
    if (!any)
        on_piece(text);
    else if (previous_end < text.size())
        on_piece(text.substr(previous_end));
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends the expansion of `replacement` for the matcher's current match;
// `since` is where the search that found it began.
void append_replacement(std::string& out, std::string_view replacement, const lum_regex_matcher& m,
                        std::string_view text, size_t since) {
    const size_t begin = m.begin(), end = m.end();
    for (size_t i = 0; i < replacement.size(); ++i) {
        const char c = replacement[i];
        if (c != '$' || i + 1 >= replacement.size()) {
            out += c;
            continue;
        }
        const char d = replacement[i + 1];
        if (d == '$') {
            out += '$';
            ++i;
        } else if (d == '&') {
            out.append(text.substr(begin, end - begin));
            ++i;
        } else if (d == '`') {
            out.append(text.substr(since, begin - since));
            ++i;
        } else if (d == '\'') {
            out.append(text.substr(end));
            ++i;
        } else if (is_digit(d)) {
            size_t length = 2;
            uint32_t number = static_cast<uint32_t>(d - '0');
            if (i + 2 < replacement.size() && is_digit(replacement[i + 2])) {
                number = number * 10 + static_cast<uint32_t>(replacement[i + 2] - '0');
                length = 3;
            }
            if (number == 0) {
                out.append(replacement.substr(i, length));
            } else if (number <= m.group_count() && m.matched(number)) {
                out.append(text.substr(m.begin(number), m.end(number) - m.begin(number)));
            }
            i += length - 1;
        } else {
            out += '$';
            out += d;
            ++i;
        }
    }
}

}  // namespace

std::string lum_regex_replace_text(lum_regex_matcher& matcher, std::string_view text, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    size_t position = 0;
    bool found = matcher.search(text, 0);
    while (found) {
        const size_t begin = matcher.begin(), end = matcher.end();
        out.append(text.substr(position, begin - position));
        append_replacement(out, replacement, matcher, text, position);
        position = end;
        if (position >= text.size()) break;
        if (begin == end)
            found = matcher.match_here_not_empty(text, end) || matcher.search(text, end + 1);
        else
            found = matcher.search(text, end);
    }
    out.append(text.substr(position));
    return out;
}

std::string lum_regex_escape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        switch (c) {
            case '.': case '^': case '$': case '|': case '(': case ')': case '[':
            case ']': case '{': case '}': case '*': case '+': case '?': case '\\':
                out += '\\';
                break;
            default:
                break;
        }
        out += c;
    }
    return out;
}
