#include "types/regex_syntax.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/platform.h"
#include "types/regex_engine.h"

namespace lum_regex_syntax {

namespace {

// Fixed ASCII classification: the same for every locale and every thread.
bool ascii_digit(int c) { return c >= '0' && c <= '9'; }
bool ascii_upper(int c) { return c >= 'A' && c <= 'Z'; }
bool ascii_lower(int c) { return c >= 'a' && c <= 'z'; }
bool ascii_alpha(int c) { return ascii_upper(c) || ascii_lower(c); }
bool ascii_alnum(int c) { return ascii_alpha(c) || ascii_digit(c); }
bool ascii_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool ascii_blank(int c) { return c == ' ' || c == '\t'; }
bool ascii_cntrl(int c) { return c < 0x20 || c == 0x7f; }
bool ascii_graph(int c) { return c > 0x20 && c < 0x7f; }
bool ascii_print(int c) { return c >= 0x20 && c < 0x7f; }
bool ascii_punct(int c) { return ascii_graph(c) && !ascii_alnum(c); }
bool ascii_xdigit(int c) { return ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool ascii_word(int c) { return ascii_alnum(c) || c == '_'; }

bits class_digit() { return bits::where(ascii_digit); }
bits class_space() { return bits::where(ascii_space); }
bits class_word() { return bits::where(ascii_word); }
bits class_dot() {
    bits b = bits::all();
    b.w[0] &= ~((uint64_t{1} << '\n') | (uint64_t{1} << '\r'));
    return b;
}

[[noreturn]] void compile_error(int code, const char* what, size_t at) {
    throw lum_regex_error(code, std::string(what) + " at offset " + std::to_string(at));
}

class parser {
public:
    parser(std::string_view pattern) : p_(pattern) {
        digit_ = class_digit();
        space_ = class_space();
        word_ = class_word();
    }

    std::vector<node> nodes;
    std::vector<bits> sets;
    uint32_t groups = 0;
    bits word() const { return word_; }

    uint32_t parse() {
        const uint32_t root = parse_disjunction();
        if (i_ < p_.size()) compile_error(lum_regex_error_paren, "unmatched ')'", i_);
        return root;
    }

private:
    // A parsed escape or class atom.
    struct atom_value {
        enum { chr, cls, dash } kind = chr;
        uint32_t value = 0;  // chr: code (may exceed 255 for \u)
        bits set;
    };

    bool at_end() const { return i_ >= p_.size(); }
    unsigned char peek(size_t ahead = 0) const { return static_cast<unsigned char>(p_[i_ + ahead]); }
    bool has(size_t ahead) const { return i_ + ahead < p_.size(); }
    static bool is_quantifier(unsigned char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }
    static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
    static int hex_value(unsigned char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    uint32_t add(node n) {
        nodes.push_back(std::move(n));
        return static_cast<uint32_t>(nodes.size() - 1);
    }
    uint32_t add_simple(node_kind k, uint32_t value = 0) {
        node n;
        n.kind = k;
        n.value = value;
        return add(std::move(n));
    }
    uint32_t add_set(const bits& b) {
        sets.push_back(b);
        return add_simple(n_set, static_cast<uint32_t>(sets.size() - 1));
    }

    void enter_group() {
        if (++depth_ > lum_regex::max_nesting)
            compile_error(lum_regex_error_stack, "groups nested too deeply", i_);
    }

    uint32_t parse_disjunction() {
        std::vector<uint32_t> alts;
        alts.push_back(parse_alternative());
        while (!at_end() && peek() == '|') {
            ++i_;
            alts.push_back(parse_alternative());
        }
        if (alts.size() == 1) return alts[0];
        node n;
        n.kind = n_alt;
        n.kids = std::move(alts);
        return add(std::move(n));
    }

    uint32_t parse_alternative() {
        std::vector<uint32_t> items;
        while (!at_end() && peek() != '|' && peek() != ')') items.push_back(parse_term());
        if (items.empty()) return add_simple(n_empty);
        if (items.size() == 1) return items[0];
        node n;
        n.kind = n_concat;
        n.kids = std::move(items);
        return add(std::move(n));
    }

    // An assertion may not be quantified.
    uint32_t assertion(uint32_t id) {
        if (!at_end() && is_quantifier(peek()))
            compile_error(lum_regex_error_badrepeat, "quantifier after an assertion", i_);
        return id;
    }

    uint32_t parse_term() {
        const unsigned char c = peek();
        if (is_quantifier(c)) compile_error(lum_regex_error_badrepeat, "nothing to repeat", i_);
        if (c == '^') {
            ++i_;
            return assertion(add_simple(n_bol));
        }
        if (c == '$') {
            ++i_;
            return assertion(add_simple(n_eol));
        }
        if (c == '\\' && has(1) && (peek(1) == 'b' || peek(1) == 'B')) {
            const bool boundary = peek(1) == 'b';
            i_ += 2;
            return assertion(add_simple(boundary ? n_wordb : n_nwordb));
        }
        if (c == '(' && has(2) && peek(1) == '?' && (peek(2) == '=' || peek(2) == '!')) {
            const size_t open = i_;
            const bool negative = peek(2) == '!';
            i_ += 3;
            enter_group();
            const uint32_t body = parse_disjunction();
            if (at_end()) compile_error(lum_regex_error_paren, "unclosed lookahead", open);
            ++i_;
            --depth_;
            node n;
            n.kind = n_look;
            n.flag = negative;
            n.kids.push_back(body);
            return assertion(add(std::move(n)));
        }
        const uint32_t groups_before = groups;
        const uint32_t item = parse_atom();
        return parse_quantifier(item, groups_before);
    }

    uint32_t parse_atom() {
        const unsigned char c = peek();
        switch (c) {
            case '.':
                ++i_;
                return add_set(class_dot());
            case '(':
                return parse_group();
            case '[':
                return parse_class();
            case '\\':
                return parse_escape();
            default:
                ++i_;
                return add_simple(n_char, c);
        }
    }

    uint32_t parse_group() {
        const size_t open = i_;
        ++i_;
        bool capturing = true;
        if (!at_end() && peek() == '?') {
            ++i_;
            if (at_end() || peek() != ':') compile_error(lum_regex_error_paren, "unknown group kind", open);
            ++i_;
            capturing = false;
        }
        enter_group();
        uint32_t number = 0;
        if (capturing) {
            number = ++groups;
            open_.push_back(number);
        }
        const uint32_t body = parse_disjunction();
        if (at_end()) compile_error(lum_regex_error_paren, "unclosed group", open);
        ++i_;  // ')'
        if (capturing) open_.pop_back();
        --depth_;
        node n;
        n.kind = n_group;
        n.value = number;
        n.kids.push_back(body);
        return add(std::move(n));
    }

    uint32_t parse_quantifier(uint32_t item, uint32_t groups_before) {
        if (at_end()) return item;
        const unsigned char c = peek();
        uint32_t min = 0, max = 0;
        if (c == '*') {
            min = 0, max = infinite;
            ++i_;
        } else if (c == '+') {
            min = 1, max = infinite;
            ++i_;
        } else if (c == '?') {
            min = 0, max = 1;
            ++i_;
        } else if (c == '{') {
            parse_braces(min, max);
        } else {
            return item;
        }
        bool greedy = true;
        if (!at_end() && peek() == '?') {
            greedy = false;
            ++i_;
        }
        if (!at_end() && is_quantifier(peek()))
            compile_error(lum_regex_error_badrepeat, "quantifier after a quantifier", i_);
        node n;
        n.kind = n_repeat;
        n.flag = greedy;
        n.min = min;
        n.max = max;
        n.cap_lo = groups_before + 1;
        n.cap_hi = groups;
        n.kids.push_back(item);
        return add(std::move(n));
    }

    uint32_t read_count() {
        uint64_t v = 0;
        while (!at_end() && is_digit(peek())) {
            v = v * 10 + (peek() - '0');
            if (v >= infinite) compile_error(lum_regex_error_badbrace, "repeat count too large", i_);
            ++i_;
        }
        return static_cast<uint32_t>(v);
    }

    void parse_braces(uint32_t& min, uint32_t& max) {
        const size_t open = i_;
        ++i_;  // '{'
        if (at_end() || !is_digit(peek())) compile_error(lum_regex_error_badbrace, "expected a count in braces", i_);
        min = read_count();
        max = min;
        if (at_end()) compile_error(lum_regex_error_brace, "unclosed brace", open);
        if (peek() == ',') {
            ++i_;
            if (at_end()) compile_error(lum_regex_error_brace, "unclosed brace", open);
            max = is_digit(peek()) ? read_count() : infinite;
        }
        if (at_end()) compile_error(lum_regex_error_brace, "unclosed brace", open);
        if (peek() != '}') compile_error(lum_regex_error_badbrace, "unexpected character in braces", i_);
        ++i_;
        if (min > max) compile_error(lum_regex_error_badbrace, "repeat minimum above maximum", open);
    }

    // Character escapes shared by both contexts (the byte after the backslash
    // was consumed as `e`); false when `e` is not one of them.
    bool simple_escape(unsigned char e, atom_value& out) {
        out.kind = atom_value::chr;
        switch (e) {
            case 'f': out.value = '\f'; return true;
            case 'n': out.value = '\n'; return true;
            case 'r': out.value = '\r'; return true;
            case 't': out.value = '\t'; return true;
            case 'v': out.value = '\v'; return true;
            case '0': out.value = 0; return true;
            case 'c': {
                if (at_end()) compile_error(lum_regex_error_escape, "incomplete \\c escape", i_);
                const unsigned char x = peek();
                if (!((x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z')))
                    compile_error(lum_regex_error_escape, "\\c needs a letter", i_);
                ++i_;
                out.value = x % 32;
                return true;
            }
            case 'x':
            case 'u': {
                const int digits = e == 'x' ? 2 : 4;
                uint32_t v = 0;
                for (int k = 0; k < digits; ++k) {
                    const int h = at_end() ? -1 : hex_value(peek());
                    if (h < 0) compile_error(lum_regex_error_escape, "incomplete hexadecimal escape", i_);
                    v = v * 16 + static_cast<uint32_t>(h);
                    ++i_;
                }
                out.value = v;
                return true;
            }
            case 'd': out.kind = atom_value::cls; out.set = digit_; return true;
            case 'D': out.kind = atom_value::cls; out.set = digit_.inverted(); return true;
            case 's': out.kind = atom_value::cls; out.set = space_; return true;
            case 'S': out.kind = atom_value::cls; out.set = space_.inverted(); return true;
            case 'w': out.kind = atom_value::cls; out.set = word_; return true;
            case 'W': out.kind = atom_value::cls; out.set = word_.inverted(); return true;
            default: return false;
        }
    }

    uint32_t char_node(uint32_t code) {
        if (code > 255) return add_set(bits{});  // no byte has this value
        return add_simple(n_char, code);
    }

    uint32_t parse_escape() {
        const size_t at = i_;
        ++i_;  // '\'
        if (at_end()) compile_error(lum_regex_error_escape, "trailing backslash", at);
        const unsigned char e = peek();
        ++i_;
        if (e >= '1' && e <= '9') {
            uint64_t number = e - '0';
            while (!at_end() && is_digit(peek())) {
                number = number * 10 + (peek() - '0');
                if (number > 0xFFFFFF) compile_error(lum_regex_error_backref, "back-reference number too large", at);
                ++i_;
            }
            if (number > groups) compile_error(lum_regex_error_backref, "back-reference to a missing group", at);
            if (std::find(open_.begin(), open_.end(), number) != open_.end())
                compile_error(lum_regex_error_backref, "back-reference to an unclosed group", at);
            return add_simple(n_backref, static_cast<uint32_t>(number));
        }
        atom_value v;
        if (simple_escape(e, v)) return v.kind == atom_value::cls ? add_set(v.set) : char_node(v.value);
        return add_simple(n_char, e);  // identity escape
    }

    atom_value class_atom() {
        atom_value v;
        const unsigned char c = peek();
        if (c == '-') {
            ++i_;
            v.kind = atom_value::dash;
            return v;
        }
        if (c == '[' && has(1) && (peek(1) == ':' || peek(1) == '.' || peek(1) == '=')) return bracket_name();
        if (c == '\\') {
            const size_t at = i_;
            ++i_;
            if (at_end()) compile_error(lum_regex_error_escape, "trailing backslash in class", at);
            const unsigned char e = peek();
            ++i_;
            if (e == 'b') {
                v.value = '\b';
                return v;
            }
            if (e >= '1' && e <= '9') compile_error(lum_regex_error_escape, "back-reference in a class", at);
            if (simple_escape(e, v)) return v;
            v.kind = atom_value::chr;
            v.value = e;
            return v;
        }
        ++i_;
        v.value = c;
        return v;
    }

    atom_value bracket_name() {
        const size_t at = i_;
        const char kind = static_cast<char>(peek(1));
        const char close[3] = {kind, ']', 0};
        const size_t stop = p_.find(close, i_ + 2);
        const int code = kind == ':' ? lum_regex_error_ctype : lum_regex_error_collate;
        if (stop == std::string_view::npos) compile_error(code, "unterminated bracket name", at);
        const std::string_view name = p_.substr(i_ + 2, stop - (i_ + 2));
        i_ = stop + 2;
        atom_value v;
        if (kind == ':') {
            v.kind = atom_value::cls;
            if (!named_class(name, v.set)) compile_error(lum_regex_error_ctype, "unknown character class name", at);
            return v;
        }
        if (name.size() != 1) compile_error(lum_regex_error_collate, "unknown collating element", at);
        v.value = static_cast<unsigned char>(name[0]);
        return v;
    }

    bool named_class(std::string_view name, bits& out) const {
        using pred = bool (*)(int);
        static constexpr struct {
            const char* name;
            pred test;
        } table[] = {
            {"alnum", ascii_alnum}, {"alpha", ascii_alpha}, {"blank", ascii_blank},   {"cntrl", ascii_cntrl},
            {"digit", ascii_digit}, {"graph", ascii_graph}, {"lower", ascii_lower},   {"print", ascii_print},
            {"punct", ascii_punct}, {"space", ascii_space}, {"upper", ascii_upper},   {"xdigit", ascii_xdigit},
            {"d", ascii_digit},     {"s", ascii_space},
        };
        if (name == "w") {
            out = word_;
            return true;
        }
        for (const auto& row : table) {
            if (name == row.name) {
                out = bits::where(row.test);
                return true;
            }
        }
        return false;
    }

    uint32_t parse_class() {
        const size_t open = i_;
        ++i_;  // '['
        bool negated = false;
        if (!at_end() && peek() == '^') {
            negated = true;
            ++i_;
        }
        bits set;
        enum { none, chr, cls } last = none;
        uint32_t last_value = 0;
        auto add_char = [&](uint32_t v) {
            if (v <= 255) set.set(v);
        };
        auto add_range = [&](uint32_t lo, uint32_t hi, size_t at) {
            if (lo > hi) compile_error(lum_regex_error_range, "class range out of order", at);
            if (lo <= 255) set.add_range(lo, std::min<uint32_t>(hi, 255));
        };
        for (;;) {
            if (at_end()) compile_error(lum_regex_error_brack, "unclosed class", open);
            if (peek() == ']') {
                ++i_;
                break;
            }
            const size_t at = i_;
            atom_value a = class_atom();
            if (a.kind == atom_value::dash) {
                if (!at_end() && peek() == ']') {
                    add_char('-');
                    last = chr;
                    last_value = '-';
                    continue;
                }
                if (last == cls) compile_error(lum_regex_error_range, "class range starts with a class", at);
                if (last == chr) {
                    if (at_end()) compile_error(lum_regex_error_brack, "unclosed class", open);
                    atom_value b = class_atom();
                    if (b.kind == atom_value::cls) compile_error(lum_regex_error_range, "class range ends with a class", at);
                    add_range(last_value, b.kind == atom_value::dash ? uint32_t{'-'} : b.value, at);
                    last = none;
                    continue;
                }
                add_char('-');
                last = chr;
                last_value = '-';
                continue;
            }
            if (a.kind == atom_value::chr) {
                add_char(a.value);
                last = chr;
                last_value = a.value;
            } else {
                set |= a.set;
                last = cls;
            }
        }
        return add_set(negated ? set.inverted() : set);
    }

    std::string_view p_;
    size_t i_ = 0;
    uint32_t depth_ = 0;
    std::vector<uint32_t> open_;  // capture groups not yet closed
    bits digit_, space_, word_;
};

// ---- analysis: nullable, shortest length, first bytes (children come before parents) ----

void analyse(std::vector<node>& nodes, const std::vector<bits>& sets) {
    for (node& n : nodes) {
        switch (n.kind) {
            case n_empty:
            case n_bol:
            case n_eol:
            case n_wordb:
            case n_nwordb:
            case n_look:
                n.nullable = true;
                n.min_length = 0;
                n.first = bits{};
                break;
            case n_char:
                n.nullable = false;
                n.min_length = 1;
                n.first = bits{};
                n.first.set(n.value);
                break;
            case n_set:
                n.nullable = false;
                n.min_length = 1;
                n.first = sets[n.value];
                break;
            case n_backref:
                n.nullable = true;
                n.min_length = 0;
                n.first = bits::all();
                break;
            case n_group: {
                const node& k = nodes[n.kids[0]];
                n.nullable = k.nullable;
                n.min_length = k.min_length;
                n.first = k.first;
                break;
            }
            case n_concat: {
                n.nullable = true;
                n.min_length = 0;
                n.first = bits{};
                for (uint32_t id : n.kids) {
                    const node& k = nodes[id];
                    if (n.nullable) n.first |= k.first;
                    n.nullable = n.nullable && k.nullable;
                    n.min_length = add_saturating(n.min_length, k.min_length);
                }
                break;
            }
            case n_alt: {
                n.nullable = false;
                n.min_length = SIZE_MAX;
                n.first = bits{};
                for (uint32_t id : n.kids) {
                    const node& k = nodes[id];
                    n.first |= k.first;
                    n.nullable = n.nullable || k.nullable;
                    n.min_length = std::min(n.min_length, k.min_length);
                }
                break;
            }
            case n_repeat: {
                const node& k = nodes[n.kids[0]];
                if (n.max == 0) {
                    n.nullable = true;
                    n.min_length = 0;
                    n.first = bits{};
                } else {
                    n.nullable = n.min == 0 || k.nullable;
                    n.min_length = mul_saturating(n.min, k.min_length);
                    n.first = k.first;
                }
                break;
            }
        }
    }
}

}  // namespace

size_t prefilter::next_start(const unsigned char* s, size_t n, size_t at) const {
    if (at > n || n - at < min_length) return npos;
    const size_t last = n - min_length;
    if (!prefix.empty()) {
        const size_t window = n - at;
        const void* found = prefix.size() == 1 ? std::memchr(s + at, prefix[0], window)
                                               : lum_memmem(s + at, window, prefix.data(), prefix.size());
        if (found == nullptr) return npos;
        at = static_cast<size_t>(static_cast<const unsigned char*>(found) - s);
    } else if (!nullable && first_count < 256) {
        while (at < n && !first[s[at]]) ++at;
    }
    return at <= last ? at : npos;
}

bool prefilter::may_start(const unsigned char* s, size_t n, size_t at) const {
    if (n - at < min_length) return false;
    if (!prefix.empty()) return std::memcmp(s + at, prefix.data(), prefix.size()) == 0;
    if (!nullable && first_count < 256) return at < n && first[s[at]];
    return true;
}

int required_byte(const tree& syntax, std::string_view prefix) {
    // Bottom-up (children come before parents): the bytes each node's matches all contain.
    std::vector<bits> need(syntax.nodes.size());
    for (size_t i = 0; i < syntax.nodes.size(); ++i) {
        const node& n = syntax.nodes[i];
        bits& r = need[i];
        switch (n.kind) {
            case n_char:
                r.set(n.value);
                break;
            case n_set:
                if (syntax.sets[n.value].count() == 1) r = syntax.sets[n.value];
                break;
            case n_group:
                r = need[n.kids[0]];
                break;
            case n_concat:
                for (uint32_t k : n.kids) r |= need[k];
                break;
            case n_alt:
                r = need[n.kids[0]];
                for (uint32_t k : n.kids)
                    for (int w = 0; w < 4; ++w) r.w[w] &= need[k].w[w];
                break;
            case n_repeat:
                if (n.min >= 1) r = need[n.kids[0]];
                break;
            default:  // empty, assertions, lookaheads, back-references: nothing
                break;
        }
    }
    bits r = need[syntax.root];
    for (const char c : prefix) {
        const auto b = static_cast<unsigned char>(c);
        r.w[b >> 6] &= ~(uint64_t{1} << (b & 63));
    }
    for (unsigned c = 256; c-- > 0;)  // a high byte first: rarer in most texts
        if (r.test(c)) return static_cast<int>(c);
    return -1;
}

tree parse(std::string_view pattern) {
    parser ps(pattern);
    tree t;
    t.root = ps.parse();
    analyse(ps.nodes, ps.sets);
    t.groups = ps.groups;
    t.word = ps.word();
    for (const node& n : ps.nodes)
        if (n.kind == n_backref || n.kind == n_look) t.backtracking_only = true;
    t.nodes = std::move(ps.nodes);
    t.sets = std::move(ps.sets);
    return t;
}

}  // namespace lum_regex_syntax
