// The syntax of a regular expression, shared by both matchers: the parser
// (ECMAScript grammar over bytes, compile errors as lum_regex_error), the
// syntax tree with its analysis (nullable, shortest match, first bytes), and
// the byte sets of classes. The classes \d \s \w and [[:name:]] are fixed
// ASCII tables: bytes 0x80 and above are never digits, spaces or word bytes,
// whatever locale the host has set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lum_regex_syntax {

// The maximum of an unbounded repeat.
constexpr uint32_t infinite = 0xFFFFFFFFu;

// Sizes that stop at SIZE_MAX instead of wrapping.
inline size_t add_saturating(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }
inline size_t mul_saturating(size_t a, size_t b) {
    if (a == 0 || b == 0) return 0;
    return a > SIZE_MAX / b ? SIZE_MAX : a * b;
}

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

inline byte_table to_table(const bits& b) {
    byte_table t{};
    for (unsigned c = 0; c < 256; ++c) t[c] = b.test(c) ? 1 : 0;
    return t;
}

// The byte sets of a compiled program, each distinct set stored once:
// `intern` gives the index in `sets` of b's table, adding it when new.
struct set_interner {
    std::map<std::array<uint64_t, 4>, uint32_t> index;

    uint32_t intern(std::vector<byte_table>& sets, const bits& b) {
        auto it = index.find(b.w);
        if (it != index.end()) return it->second;
        const uint32_t i = static_cast<uint32_t>(sets.size());
        sets.push_back(to_table(b));
        index.emplace(b.w, i);
        return i;
    }
};

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

// A parsed pattern. Nodes are stored children before parents; `root` is
// the whole pattern.
struct tree {
    std::vector<node> nodes;
    std::vector<bits> sets;
    uint32_t root = 0;
    uint32_t groups = 0;
    bits word;                 // the bytes of \w, for \b and \B
    bool backtracking_only = false;  // holds back-references or lookaheads
};

// Where matches of a pattern can start, shared by both matchers: a search
// skips to the next candidate position instead of trying every one.
struct prefilter {
    static constexpr size_t npos = static_cast<size_t>(-1);

    bool anchored = false;      // every match starts at position 0
    bool nullable = true;       // the empty text can match
    size_t min_length = 0;      // shortest match
    byte_table first{};         // bytes a (non-empty) match can start with, when not nullable
    int first_count = 256;
    std::string prefix;         // every match starts with these bytes
    bool pure_literal = false;  // the pattern is `prefix` alone, without groups
    int required = -1;          // a byte every match contains (not one of the prefix), or -1

    // The first position from `at` on where a match can start (memchr /
    // memmem for a prefix, a table scan for the first bytes), or npos.
    // Positions after n - min_length never qualify.
    size_t next_start(const unsigned char* s, size_t n, size_t at) const;
    // Whether a match can start at `at` (at <= n).
    bool may_start(const unsigned char* s, size_t n, size_t at) const;
};

// Parses and analyses `pattern`; throws lum_regex_error with a compile code.
tree parse(std::string_view pattern);

// A byte that every match of `syntax` contains and that `prefix` does not,
// or -1: a text without it from the search's start on has no match.
int required_byte(const tree& syntax, std::string_view prefix);

}  // namespace lum_regex_syntax
