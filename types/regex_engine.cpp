#include "types/regex_engine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>

#include "runtime/platform.h"

namespace {

// ---- byte sets ----

// 256-bit set used while parsing and analysing.
struct bits {
    std::array<uint64_t, 4> w{};

    void set(unsigned c) noexcept { w[c >> 6] |= uint64_t{1} << (c & 63); }
    bool test(unsigned c) const noexcept { return (w[c >> 6] >> (c & 63)) & 1; }
    void add_range(unsigned lo, unsigned hi) noexcept {
        for (unsigned c = lo; c <= hi; ++c) set(c);
    }
    bits& operator|=(const bits& o) noexcept {
        for (int i = 0; i < 4; ++i) w[i] |= o.w[i];
        return *this;
    }
    bits inverted() const noexcept {
        bits r;
        for (int i = 0; i < 4; ++i) r.w[i] = ~w[i];
        return r;
    }
    int count() const noexcept {
        int n = 0;
        for (uint64_t x : w) n += __builtin_popcountll(x);
        return n;
    }
    int single() const noexcept {  // the only member, or -1
        if (count() != 1) return -1;
        for (unsigned c = 0; c < 256; ++c)
            if (test(c)) return static_cast<int>(c);
        return -1;
    }
    static bits all() noexcept {
        bits r;
        r.w.fill(~uint64_t{0});
        return r;
    }
    template <class F>
    static bits where(F&& f) {
        bits r;
        for (unsigned c = 0; c < 256; ++c)
            if (f(static_cast<int>(c))) r.set(c);
        return r;
    }
};

// Membership table used by the matcher: one byte per value.
using byte_table = std::array<uint8_t, 256>;

byte_table to_table(const bits& b) {
    byte_table t{};
    for (unsigned c = 0; c < 256; ++c) t[c] = b.test(c) ? 1 : 0;
    return t;
}

// The C library's classification (the global locale when the pattern is compiled).
bits class_digit() { return bits::where([](int c) { return std::isdigit(c) != 0; }); }
bits class_space() { return bits::where([](int c) { return std::isspace(c) != 0; }); }
bits class_word() { return bits::where([](int c) { return std::isalnum(c) != 0 || c == '_'; }); }
bits class_dot() {
    bits b = bits::all();
    b.w[0] &= ~((uint64_t{1} << '\n') | (uint64_t{1} << '\r'));
    return b;
}

// ---- program ----

enum opcode : uint8_t {
    op_char,       // a: byte
    op_str,        // a: offset into the literal pool, b: length
    op_set,        // a: set
    op_bol,        // position 0
    op_eol,        // end of the text
    op_wordb,      // \b
    op_nwordb,     // \B
    op_jmp,        // a: target
    op_split,      // optional item: a: target past the item, e: guard set (greedy unless lazy flag)
    op_alt,        // alternative: a: next alternative, b: this one's guard set, c: the later ones' guard set
    op_save,       // a: register := position
    op_reset,      // registers [a, b) := unset
    op_backref,    // a: group
    op_star,       // single-byte loop: a: set, b: min, c: max, hint: next byte + 1
    op_rep_init,   // a: count register := 0
    op_rep_check,  // a: register pair, b: min, c: max, d: exit, e: guard set
    op_rep_enter,  // register a + 1 := position (start of the iteration)
    op_rep_end,    // a: register pair, b: min, c: loop head
    op_look,       // a: continuation, flag negative
    op_look_ok,    // the lookahead's body matched
    op_match,
    op_fail,
};

constexpr uint8_t flag_lazy = 1;
constexpr uint8_t flag_empty_check = 2;
constexpr uint8_t flag_negative = 4;

constexpr uint32_t no_set = 0xFFFFFFFFu;
constexpr uint32_t infinite = 0xFFFFFFFFu;

struct insn {
    uint8_t op = op_fail;
    uint8_t flags = 0;
    uint16_t hint = 0;
    uint32_t a = 0, b = 0, c = 0, d = 0, e = no_set;
};

}  // namespace

struct lum_regex_program {
    std::vector<insn> code;
    std::vector<byte_table> sets;
    std::string literals;
    byte_table word{};
    uint32_t groups = 0;
    uint32_t registers = 0;
    // Search helpers.
    bool anchored = false;      // every match starts at position 0
    bool nullable = true;       // the empty text can match
    size_t min_length = 0;      // shortest match
    byte_table first{};         // bytes a (non-empty) match can start with, when not nullable
    int first_count = 256;
    std::string prefix;         // every match starts with these bytes
    bool pure_literal = false;  // the pattern is `prefix` alone, without groups
    // The program starts with an unbounded single-byte loop outside any
    // group: a failed attempt has tried every place its run of bytes reaches.
    bool leading_loop = false;
};

namespace {

// ---- parser: pattern -> syntax tree ----

enum node_kind : uint8_t {
    n_empty,
    n_char,
    n_set,
    n_bol,
    n_eol,
    n_wordb,
    n_nwordb,
    n_backref,
    n_group,
    n_look,
    n_concat,
    n_alt,
    n_repeat,
};

struct node {
    node_kind kind = n_empty;
    bool flag = false;   // look: negative; repeat: greedy
    uint32_t value = 0;  // char: byte; set: set index; backref / group: group number (0 = non-capturing)
    uint32_t min = 0, max = 0;
    uint32_t cap_lo = 1, cap_hi = 0;  // repeat: capture groups inside the repeated item
    std::vector<uint32_t> kids;
    // Analysis.
    bool nullable = true;
    size_t min_length = 0;
    bits first;
};

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
        using pred = int (*)(int);
        static constexpr struct {
            const char* name;
            pred test;
        } table[] = {
            {"alnum", [](int c) { return std::isalnum(c); }},  {"alpha", [](int c) { return std::isalpha(c); }},
            {"blank", [](int c) { return std::isblank(c); }},  {"cntrl", [](int c) { return std::iscntrl(c); }},
            {"digit", [](int c) { return std::isdigit(c); }},  {"graph", [](int c) { return std::isgraph(c); }},
            {"lower", [](int c) { return std::islower(c); }},  {"print", [](int c) { return std::isprint(c); }},
            {"punct", [](int c) { return std::ispunct(c); }},  {"space", [](int c) { return std::isspace(c); }},
            {"upper", [](int c) { return std::isupper(c); }},  {"xdigit", [](int c) { return std::isxdigit(c); }},
            {"d", [](int c) { return std::isdigit(c); }},      {"s", [](int c) { return std::isspace(c); }},
        };
        if (name == "w") {
            out = word_;
            return true;
        }
        for (const auto& row : table) {
            if (name == row.name) {
                out = bits::where([&](int c) { return row.test(c) != 0; });
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

size_t add_saturating(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }
size_t mul_saturating(size_t a, size_t b) {
    if (a == 0 || b == 0) return 0;
    return a > SIZE_MAX / b ? SIZE_MAX : a * b;
}

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

// ---- code generation ----

class generator {
public:
    generator(const std::vector<node>& nodes, const std::vector<bits>& sets, lum_regex_program& prog)
        : nodes_(nodes), sets_(sets), prog_(prog) {}

    void emit_root(uint32_t root) {
        prog_.registers = 2 * (prog_.groups + 1);
        emit(root);
        emit_op(op_match);
    }

private:
    uint32_t here() const { return static_cast<uint32_t>(prog_.code.size()); }
    uint32_t emit_op(uint8_t op) {
        insn in;
        in.op = op;
        prog_.code.push_back(in);
        return here() - 1;
    }
    insn& at(uint32_t pc) { return prog_.code[pc]; }

    uint32_t intern(const bits& b) {
        auto it = interned_.find(b.w);
        if (it != interned_.end()) return it->second;
        const uint32_t index = static_cast<uint32_t>(prog_.sets.size());
        prog_.sets.push_back(to_table(b));
        interned_.emplace(b.w, index);
        return index;
    }

    // Guard set of a node that cannot match empty; no_set otherwise.
    uint32_t guard_of(const node& n) { return n.nullable ? no_set : intern(n.first); }

    // The node reached through non-capturing groups.
    const node& unwrap(uint32_t id) const {
        const node* n = &nodes_[id];
        while (n->kind == n_group && n->value == 0) n = &nodes_[n->kids[0]];
        return *n;
    }

    void emit_set(const bits& b) {
        const int one = b.single();
        if (one >= 0) {
            at(emit_op(op_char)).a = static_cast<uint32_t>(one);
        } else if (b.count() == 0) {
            emit_op(op_fail);
        } else {
            const uint32_t s = intern(b);
            at(emit_op(op_set)).a = s;
        }
    }

    void emit_literal_run(const std::string& run) {
        if (run.size() == 1) {
            at(emit_op(op_char)).a = static_cast<unsigned char>(run[0]);
            return;
        }
        const uint32_t pc = emit_op(op_str);
        at(pc).a = static_cast<uint32_t>(prog_.literals.size());
        at(pc).b = static_cast<uint32_t>(run.size());
        prog_.literals += run;
    }

    void emit(uint32_t id) {
        const node& n = nodes_[id];
        switch (n.kind) {
            case n_empty:
                return;
            case n_char:
                at(emit_op(op_char)).a = n.value;
                return;
            case n_set:
                emit_set(sets_[n.value]);
                return;
            case n_bol:
                emit_op(op_bol);
                return;
            case n_eol:
                emit_op(op_eol);
                return;
            case n_wordb:
                emit_op(op_wordb);
                return;
            case n_nwordb:
                emit_op(op_nwordb);
                return;
            case n_backref:
                at(emit_op(op_backref)).a = n.value;
                return;
            case n_group:
                if (n.value != 0) at(emit_op(op_save)).a = 2 * n.value;
                emit(n.kids[0]);
                if (n.value != 0) at(emit_op(op_save)).a = 2 * n.value + 1;
                return;
            case n_look: {
                const uint32_t pc = emit_op(op_look);
                if (n.flag) at(pc).flags = flag_negative;
                emit(n.kids[0]);
                emit_op(op_look_ok);
                at(pc).a = here();
                return;
            }
            case n_concat: {
                std::string run;
                for (uint32_t kid : n.kids) {
                    const node& k = nodes_[kid];
                    if (k.kind == n_char) {
                        run += static_cast<char>(k.value);
                        continue;
                    }
                    if (!run.empty()) emit_literal_run(run), run.clear();
                    emit(kid);
                }
                if (!run.empty()) emit_literal_run(run);
                return;
            }
            case n_alt:
                emit_alt(n);
                return;
            case n_repeat:
                emit_repeat(n);
                return;
        }
    }

    void emit_alt(const node& n) {
        const size_t count = n.kids.size();
        // Guards of the alternatives after each one.
        std::vector<uint32_t> rest(count, no_set);
        bits later;
        bool later_nullable = false;
        for (size_t i = count; i-- > 1;) {
            const node& k = nodes_[n.kids[i]];
            later |= k.first;
            later_nullable = later_nullable || k.nullable;
            rest[i - 1] = later_nullable ? no_set : intern(later);
        }
        std::vector<uint32_t> exits;
        for (size_t i = 0; i < count; ++i) {
            const node& k = nodes_[n.kids[i]];
            if (i + 1 < count) {
                const uint32_t pc = emit_op(op_alt);
                at(pc).b = guard_of(k);
                at(pc).c = rest[i];
                emit(n.kids[i]);
                exits.push_back(emit_op(op_jmp));
                at(pc).a = here();
            } else {
                emit(n.kids[i]);
            }
        }
        for (uint32_t pc : exits) at(pc).a = here();
    }

    void emit_repeat(const node& n) {
        const uint32_t kid = n.kids[0];
        const node& k = nodes_[kid];
        if (n.max == 0) return;
        if (n.min == 1 && n.max == 1) {
            emit(kid);
            return;
        }
        const node& inner = unwrap(kid);
        if (inner.kind == n_char || inner.kind == n_set) {
            bits b;
            if (inner.kind == n_char)
                b.set(inner.value);
            else
                b = sets_[inner.value];
            const uint32_t pc = emit_op(op_star);
            at(pc).a = intern(b);
            at(pc).b = n.min;
            at(pc).c = n.max;
            if (!n.flag) at(pc).flags = flag_lazy;
            return;
        }
        if (!k.nullable && n.min == 0 && n.max == 1) {
            const uint32_t pc = emit_op(op_split);
            at(pc).e = guard_of(k);
            if (!n.flag) at(pc).flags = flag_lazy;
            emit(kid);
            at(pc).a = here();
            return;
        }
        const uint32_t reg = prog_.registers;
        prog_.registers += 2;
        at(emit_op(op_rep_init)).a = reg;
        const uint32_t head = emit_op(op_rep_check);
        at(head).a = reg;
        at(head).b = n.min;
        at(head).c = n.max;
        at(head).e = guard_of(k);
        if (!n.flag) at(head).flags = flag_lazy;
        if (k.nullable) at(emit_op(op_rep_enter)).a = reg;
        if (n.cap_hi >= n.cap_lo) {
            const uint32_t pc = emit_op(op_reset);
            at(pc).a = 2 * n.cap_lo;
            at(pc).b = 2 * n.cap_hi + 2;
        }
        emit(kid);
        const uint32_t tail = emit_op(op_rep_end);
        at(tail).a = reg;
        at(tail).b = n.min;
        at(tail).c = head;
        at(tail).d = n.max;
        if (k.nullable) at(tail).flags = flag_empty_check;
        at(head).d = here();
    }

    const std::vector<node>& nodes_;
    const std::vector<bits>& sets_;
    lum_regex_program& prog_;
    std::map<std::array<uint64_t, 4>, uint32_t> interned_;
};

// The byte the code at `pc` must read first, or -1 (looks through saves and jumps).
int next_byte(const lum_regex_program& prog, uint32_t pc) {
    for (int hops = 0; hops < 16 && pc < prog.code.size(); ++hops) {
        const insn& in = prog.code[pc];
        switch (in.op) {
            case op_save:
                ++pc;
                continue;
            case op_jmp:
                pc = in.a;
                continue;
            case op_char:
                return static_cast<int>(in.a);
            case op_str:
                return static_cast<unsigned char>(prog.literals[in.a]);
            default:
                return -1;
        }
    }
    return -1;
}

void finish(lum_regex_program& prog, const node& root) {
    prog.nullable = root.nullable;
    prog.min_length = root.min_length;
    prog.first = to_table(root.first);
    prog.first_count = root.first.count();
    for (uint32_t pc = 0; pc < prog.code.size(); ++pc) {
        insn& in = prog.code[pc];
        if (in.op == op_star) {
            const int b = next_byte(prog, pc + 1);
            in.hint = b < 0 ? 0 : static_cast<uint16_t>(b + 1);
        }
    }
    // The straight-line start of the program: an anchor or a literal prefix.
    uint32_t pc = 0;
    bool only_literal = true;
    while (pc < prog.code.size()) {
        const insn& in = prog.code[pc];
        if (in.op == op_save) {
            only_literal = false;
        } else if (in.op == op_char) {
            prog.prefix += static_cast<char>(in.a);
        } else if (in.op == op_str) {
            prog.prefix.append(prog.literals, in.a, in.b);
        } else {
            break;
        }
        ++pc;
    }
    if (pc < prog.code.size() && prog.code[pc].op == op_bol && prog.prefix.empty()) prog.anchored = true;
    prog.leading_loop = !prog.code.empty() && prog.code[0].op == op_star && prog.code[0].c == infinite;
    prog.pure_literal = only_literal && !prog.prefix.empty() && pc < prog.code.size() &&
                        prog.code[pc].op == op_match;
}

}  // namespace

// ---- lum_regex ----

lum_regex::lum_regex(std::string_view pattern) {
    auto prog = std::make_unique<lum_regex_program>();
    parser ps(pattern);
    const uint32_t root = ps.parse();
    analyse(ps.nodes, ps.sets);
    prog->groups = ps.groups;
    prog->word = to_table(ps.word());
    generator gen(ps.nodes, ps.sets, *prog);
    gen.emit_root(root);
    finish(*prog, ps.nodes[root]);
    program_ = std::move(prog);
}

lum_regex::~lum_regex() = default;

uint32_t lum_regex::group_count() const noexcept { return program_->groups; }

// ---- matcher ----

struct lum_regex_matcher::frame {
    uint32_t kind;
    uint32_t x;  // undo: register; choice: pc; star: pc of the loop; look: continuation
    size_t a;    // undo: old value; choice: position; star: lowest / current end; look: position
    size_t b;    // star: current end / limit; look: enclosing lookahead's frame
};

namespace {
enum : uint32_t { fr_undo, fr_choice, fr_star_greedy, fr_star_lazy, fr_look_pos, fr_look_neg };
}

lum_regex_matcher::lum_regex_matcher(const lum_regex& expression, lum_regex_limits limits)
    : program_(expression.program()),
      limits_(limits),
      steps_left_(limits.max_steps),
      max_frames_(std::max<size_t>(1, limits.max_stack_bytes / sizeof(frame))),
      registers_(program_.registers, npos) {}

lum_regex_matcher::~lum_regex_matcher() = default;

uint32_t lum_regex_matcher::group_count() const noexcept { return program_.groups; }

size_t lum_regex_matcher::begin(uint32_t group) const noexcept {
    if (group == 0) return match_begin_;
    if (match_begin_ == npos || group > program_.groups) return npos;
    const size_t b = registers_[2 * group], e = registers_[2 * group + 1];
    return b == npos || e == npos || e < b ? npos : b;
}

size_t lum_regex_matcher::end(uint32_t group) const noexcept {
    if (group == 0) return match_end_;
    return begin(group) == npos ? npos : registers_[2 * group + 1];
}

void lum_regex_matcher::fail_complexity() {
    steps_left_ = 0;
    steps_used_ = limits_.max_steps;
    throw lum_regex_error(lum_regex_error_complexity,
                          "the match needed more than " + std::to_string(limits_.max_steps) + " steps");
}

void lum_regex_matcher::fail_stack() {
    throw lum_regex_error(lum_regex_error_stack, "the match needed more than " +
                                                     std::to_string(limits_.max_stack_bytes) +
                                                     " bytes of backtracking memory");
}

void lum_regex_matcher::grow_stack() {
    if (stack_.size() >= max_frames_) fail_stack();
    size_t want = std::max<size_t>(64, stack_.capacity() * 2);
    stack_.reserve(std::min(want, max_frames_));
}

void lum_regex_matcher::charge(uint64_t steps) {
    if (steps_left_ <= steps) fail_complexity();
    steps_left_ -= steps;
    steps_used_ += steps;
}

// Every register a match changed has an undo frame on the stack (a failed
// attempt has already unwound all of its own): undoing them, newest first,
// unsets the registers for the next search at the cost of the previous
// match, not of the size of the register file.
void lum_regex_matcher::unset_registers() {
    for (size_t r = stack_.size(); r-- > 0;)
        if (stack_[r].kind == fr_undo) registers_[stack_[r].x] = stack_[r].a;
    stack_.clear();
}

bool lum_regex_matcher::search(std::string_view text, size_t start) { return run_search(text, start, mode::search); }

bool lum_regex_matcher::match_full(std::string_view text) { return run_search(text, 0, mode::full); }

bool lum_regex_matcher::match_here_not_empty(std::string_view text, size_t start) {
    return run_search(text, start, mode::here_not_empty);
}

bool lum_regex_matcher::run_search(std::string_view text, size_t start, mode how) {
    text_ = reinterpret_cast<const unsigned char*>(text.data());
    size_ = text.size();
    mode_ = how;
    match_begin_ = match_end_ = npos;
    unset_registers();
    const lum_regex_program& p = program_;
    if (start > size_ || size_ - start < p.min_length) return false;
    if (how != mode::search || p.anchored) {
        if (p.anchored && start != 0) return false;
        return attempt(start);
    }
    const size_t last_start = size_ - p.min_length;  // no match starts later
    const unsigned char* s = text_;
    size_t at = start;
    while (at <= last_start) {
        if (!p.prefix.empty()) {
            const size_t window = size_ - at;
            const void* found = p.prefix.size() == 1 ? std::memchr(s + at, p.prefix[0], window)
                                                     : lum_memmem(s + at, window, p.prefix.data(), p.prefix.size());
            if (found == nullptr) return false;
            at = static_cast<size_t>(static_cast<const unsigned char*>(found) - s);
            if (at > last_start) return false;
            if (p.pure_literal) {
                match_begin_ = at;
                match_end_ = at + p.prefix.size();
                return true;
            }
        } else if (!p.nullable && p.first_count < 256) {
            while (at < size_ && !p.first[s[at]]) ++at;
            if (at > last_start) return false;
        }
        if (attempt(at)) return true;
        if (p.leading_loop) {
            // Every start inside the loop's run reaches a subset of the places
            // this attempt already tried after the loop.
            const byte_table& run = p.sets[p.code[0].a];
            size_t end = at;
            while (end < size_ && run[s[end]]) ++end;
            charge((end - at) >> 3);
            at = end;
        }
        ++at;
    }
    return false;
}

bool lum_regex_matcher::attempt(size_t start) {
    const lum_regex_program& p = program_;
    const insn* const code = p.code.data();
    const byte_table* const sets = p.sets.data();
    const char* const literals = p.literals.data();
    const unsigned char* const s = text_;
    const size_t n = size_;
    size_t* const regs = registers_.data();
    stack_.clear();
    size_t barrier = npos;  // frame of the innermost open lookahead
    uint32_t pc = 0;
    size_t pos = start;
    uint64_t steps = steps_left_;

    auto charge = [&](uint64_t cost) {
        if (steps <= cost) fail_complexity();
        steps -= cost;
    };
    auto push = [&](uint32_t kind, uint32_t x, size_t a, size_t b) {
        if (stack_.size() == stack_.capacity()) grow_stack();
        stack_.push_back(frame{kind, x, a, b});
    };
    auto set_reg = [&](uint32_t r, size_t v) {
        if (regs[r] != v) {
            push(fr_undo, r, regs[r], 0);
            regs[r] = v;
        }
    };
    auto done = [&](bool result) {
        steps_used_ += steps_left_ - steps;
        steps_left_ = steps;
        return result;
    };

    for (;;) {
        if (steps == 0) fail_complexity();
        --steps;
        const insn& in = code[pc];
        switch (in.op) {
            case op_char:
                if (pos < n && s[pos] == in.a) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case op_str:
                if (n - pos >= in.b && std::memcmp(s + pos, literals + in.a, in.b) == 0) {
                    charge(in.b >> 4);
                    pos += in.b;
                    ++pc;
                    continue;
                }
                break;
            case op_set:
                if (pos < n && sets[in.a][s[pos]]) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case op_bol:
                if (pos == 0) {
                    ++pc;
                    continue;
                }
                break;
            case op_eol:
                if (pos == n) {
                    ++pc;
                    continue;
                }
                break;
            case op_wordb:
            case op_nwordb: {
                const bool before = pos > 0 && p.word[s[pos - 1]];
                const bool after = pos < n && p.word[s[pos]];
                if ((before != after) == (in.op == op_wordb)) {
                    ++pc;
                    continue;
                }
                break;
            }
            case op_jmp:
                pc = in.a;
                continue;
            case op_split: {
                const bool guard = in.e == no_set || (pos < n && sets[in.e][s[pos]]);
                if (!guard) {
                    pc = in.a;
                } else if (in.flags & flag_lazy) {
                    push(fr_choice, pc + 1, pos, 0);
                    pc = in.a;
                } else {
                    push(fr_choice, in.a, pos, 0);
                    ++pc;
                }
                continue;
            }
            case op_alt: {
                const int c = pos < n ? s[pos] : -1;
                if (in.b != no_set && (c < 0 || !sets[in.b][c])) {
                    pc = in.a;
                    continue;
                }
                if (in.c == no_set || (c >= 0 && sets[in.c][c])) push(fr_choice, in.a, pos, 0);
                ++pc;
                continue;
            }
            case op_save:
                set_reg(in.a, pos);
                ++pc;
                continue;
            case op_reset:
                for (uint32_t r = in.a; r < in.b; ++r) {
                    if (regs[r] != npos) {
                        push(fr_undo, r, regs[r], 0);
                        regs[r] = npos;
                    }
                }
                charge((in.b - in.a) >> 3);
                ++pc;
                continue;
            case op_backref: {
                const size_t b = regs[2 * in.a], e = regs[2 * in.a + 1];
                if (b == npos || e == npos || e < b) {
                    ++pc;
                    continue;
                }
                const size_t len = e - b;
                // An empty text may have no storage at all: compare nothing then.
                if (n - pos >= len && (len == 0 || std::memcmp(s + pos, s + b, len) == 0)) {
                    charge(len >> 4);
                    pos += len;
                    ++pc;
                    continue;
                }
                break;
            }
            case op_star: {
                const byte_table& set = sets[in.a];
                const size_t avail = n - pos;
                const size_t limit = in.c < avail ? in.c : avail;
                if (!(in.flags & flag_lazy)) {
                    size_t k = 0;
                    while (k < limit && set[s[pos + k]]) ++k;
                    charge(k >> 3);
                    if (k < in.b) break;
                    if (k > in.b) push(fr_star_greedy, pc, pos + in.b, pos + k);
                    pos += k;
                    ++pc;
                    continue;
                }
                if (limit < in.b) break;
                size_t k = 0;
                while (k < in.b && set[s[pos + k]]) ++k;
                charge(k >> 3);
                if (k < in.b) break;
                pos += k;
                const size_t extra = in.c == infinite ? SIZE_MAX : in.c - in.b;
                const size_t stop = extra < n - pos ? pos + extra : n;
                if (pos < stop) push(fr_star_lazy, pc, pos, stop);
                ++pc;
                continue;
            }
            case op_rep_init:
                set_reg(in.a, 0);
                ++pc;
                continue;
            case op_rep_check: {
                const size_t count = regs[in.a];
                const bool guard = in.e == no_set || (pos < n && sets[in.e][s[pos]]);
                if (count < in.b) {
                    if (!guard) break;
                    ++pc;
                    continue;
                }
                if (count >= in.c || !guard) {
                    pc = in.d;
                    continue;
                }
                if (in.flags & flag_lazy) {
                    push(fr_choice, pc + 1, pos, 0);
                    pc = in.d;
                } else {
                    push(fr_choice, in.d, pos, 0);
                    ++pc;
                }
                continue;
            }
            case op_rep_enter:
                set_reg(in.a + 1, pos);
                ++pc;
                continue;
            case op_rep_end: {
                const size_t count = regs[in.a];
                if ((in.flags & flag_empty_check) && count >= in.b && pos == regs[in.a + 1]) break;
                // Past the minimum, an unbounded loop needs no exact count.
                if (count < in.b || in.d != infinite) set_reg(in.a, count + 1);
                pc = in.c;
                continue;
            }
            case op_look:
                push((in.flags & flag_negative) ? fr_look_neg : fr_look_pos, in.a, pos, barrier);
                barrier = stack_.size() - 1;
                ++pc;
                continue;
            case op_look_ok: {
                const frame mark = stack_[barrier];
                charge((stack_.size() - barrier) >> 3);
                if (mark.kind == fr_look_pos) {
                    // Keep what the body set (and how to undo it); drop its choices.
                    size_t w = barrier;
                    for (size_t r = barrier + 1; r < stack_.size(); ++r)
                        if (stack_[r].kind == fr_undo) stack_[w++] = stack_[r];
                    stack_.resize(w);
                    barrier = mark.b;
                    pos = mark.a;
                    pc = mark.x;
                    continue;
                }
                // The body matched, so the negative lookahead fails: undo its changes.
                for (size_t r = stack_.size(); r-- > barrier + 1;)
                    if (stack_[r].kind == fr_undo) regs[stack_[r].x] = stack_[r].a;
                stack_.resize(barrier);
                barrier = mark.b;
                break;
            }
            case op_match:
                if ((mode_ == mode::full && pos != n) || (mode_ == mode::here_not_empty && pos == start)) break;
                match_begin_ = start;
                match_end_ = pos;
                return done(true);
            default:  // op_fail
                break;
        }

        // Backtrack to the latest choice.
        for (;;) {
            if (stack_.empty()) return done(false);
            if (steps == 0) fail_complexity();
            --steps;
            frame& f = stack_.back();
            switch (f.kind) {
                case fr_undo:
                    regs[f.x] = f.a;
                    stack_.pop_back();
                    continue;
                case fr_choice:
                    pc = f.x;
                    pos = f.a;
                    stack_.pop_back();
                    break;
                case fr_star_greedy: {
                    // Give back one byte (or, when the next byte is known, jump
                    // back to where it occurs).
                    const insn& star = code[f.x];
                    size_t end = f.b - 1;
                    if (star.hint != 0) {
                        const size_t span = end + 1 - f.a;
                        charge(span >> 5);
                        const void* q = lum_memrchr(s + f.a, star.hint - 1, span);
                        if (q == nullptr) {
                            stack_.pop_back();
                            continue;
                        }
                        end = static_cast<size_t>(static_cast<const unsigned char*>(q) - s);
                    }
                    pc = f.x + 1;
                    pos = end;
                    if (end == f.a)
                        stack_.pop_back();
                    else
                        f.b = end;
                    break;
                }
                case fr_star_lazy: {
                    // Take one more byte (or, when the next byte is known, up to where it occurs).
                    const insn& star = code[f.x];
                    const byte_table& set = sets[star.a];
                    size_t end = f.a;
                    const size_t first = end;
                    bool extended = false;
                    while (end < f.b && set[s[end]]) {
                        ++end;
                        if (star.hint == 0 || (end < n && s[end] == star.hint - 1)) {
                            extended = true;
                            break;
                        }
                    }
                    charge((end - first) >> 3);
                    if (!extended) {
                        stack_.pop_back();
                        continue;
                    }
                    pc = f.x + 1;
                    pos = end;
                    if (end >= f.b)
                        stack_.pop_back();
                    else
                        f.a = end;
                    break;
                }
                case fr_look_pos:
                    // The body of a positive lookahead failed: so does the lookahead.
                    barrier = f.b;
                    stack_.pop_back();
                    continue;
                default:  // fr_look_neg: the body failed, so the negative lookahead holds
                    barrier = f.b;
                    pc = f.x;
                    pos = f.a;
                    stack_.pop_back();
                    break;
            }
            break;
        }
    }
}
