#include "types/regex_text.h"

#include <algorithm>
#include <string>
#include <vector>

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

// The replaced text under construction; it may not grow past its budget.
class replaced_text {
public:
    explicit replaced_text(size_t budget) : budget_(budget) {}

    void add(std::string_view piece) {
        if (piece.size() > budget_ - out.size())
            throw lum_regex_error(lum_regex_error_space,
                                  "the replaced text needed more than " + std::to_string(budget_) + " bytes");
        out.append(piece);
    }

    std::string out;

private:
    size_t budget_;
};

// A replacement format read once: literal runs and references, so that
// each match costs a few steps per piece instead of a pass over the format.
class replacement_format {
public:
    replacement_format(std::string_view replacement, uint32_t groups) {
        for (size_t i = 0; i < replacement.size(); ++i) {
            const char c = replacement[i];
            if (c != '$' || i + 1 >= replacement.size()) {
                literal(replacement.substr(i, 1));
                continue;
            }
            const char d = replacement[i + 1];
            if (d == '$') {
                literal("$");
                ++i;
            } else if (d == '&') {
                reference(whole);
                ++i;
            } else if (d == '`') {
                reference(before);
                ++i;
            } else if (d == '\'') {
                reference(after);
                ++i;
            } else if (is_digit(d)) {
                size_t length = 2;
                uint32_t number = static_cast<uint32_t>(d - '0');
                if (i + 2 < replacement.size() && is_digit(replacement[i + 2])) {
                    number = number * 10 + static_cast<uint32_t>(replacement[i + 2] - '0');
                    length = 3;
                }
                if (number == 0)
                    literal(replacement.substr(i, length));  // "$0" names no group: copied as it is
                else if (number <= groups)
                    reference(number);  // a number beyond the groups gives nothing
                i += length - 1;
            } else {
                literal(replacement.substr(i, 2));
                ++i;
            }
        }
    }

    size_t pieces() const noexcept { return pieces_.size(); }

    // Appends the expansion for the matcher's current match; `since` is where
    // the search that found it began.
    void expand(replaced_text& out, const lum_regex_matcher& m, std::string_view text, size_t since) const {
        const size_t begin = m.begin(), end = m.end();
        for (const piece& p : pieces_) {
            switch (p.kind) {
                case literal_run:
                    out.add(std::string_view(literals_).substr(p.offset, p.length));
                    break;
                case whole:
                    out.add(text.substr(begin, end - begin));
                    break;
                case before:
                    out.add(text.substr(since, begin - since));
                    break;
                case after:
                    out.add(text.substr(end));
                    break;
                default:
                    if (m.matched(p.kind)) out.add(text.substr(m.begin(p.kind), m.end(p.kind) - m.begin(p.kind)));
                    break;
            }
        }
    }

private:
    // kind: a capture group number (1..99) or one of these.
    static constexpr uint32_t literal_run = 1000, whole = 1001, before = 1002, after = 1003;
    struct piece {
        uint32_t kind;
        size_t offset = 0, length = 0;
    };

    void literal(std::string_view bytes) {
        if (pieces_.empty() || pieces_.back().kind != literal_run)
            pieces_.push_back(piece{literal_run, literals_.size(), 0});
        literals_.append(bytes);
        pieces_.back().length += bytes.size();
    }
    void reference(uint32_t kind) { pieces_.push_back(piece{kind}); }

    std::string literals_;
    std::vector<piece> pieces_;
};

}  // namespace

std::string lum_regex_replace_text(lum_regex_matcher& matcher, std::string_view text, std::string_view replacement) {
    const replacement_format format(replacement, matcher.group_count());
    replaced_text out(matcher.limits().max_output_bytes);
    out.out.reserve(std::min(text.size(), matcher.limits().max_output_bytes));
    // Expanding the replacement is work of the match: eight steps per piece and
    // one per 16 bytes it adds count against the matcher's step budget.
    size_t position = 0;
    bool found = matcher.search(text, 0);
    while (found) {
        const size_t begin = matcher.begin(), end = matcher.end();
        out.add(text.substr(position, begin - position));
        matcher.charge(1 + 8 * format.pieces());
        const size_t before = out.out.size();
        format.expand(out, matcher, text, position);
        matcher.charge((out.out.size() - before) >> 4);
        position = end;
        if (position >= text.size()) break;
        if (begin == end)
            found = matcher.match_here_not_empty(text, end) || matcher.search(text, end + 1);
        else
            found = matcher.search(text, end);
    }
    out.add(text.substr(position));
    return std::move(out.out);
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
