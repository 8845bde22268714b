// The NFA matcher of the regex engine: a Pike-style simulation that runs
// every pattern without back-references and lookaheads in time linear in the
// text (at most one thread per program position and byte), with no step
// budget.
//
// Threads are kept in priority order, the order in which a backtracking
// matcher would try them, so results are the ECMAScript ones: the leftmost
// start wins, at that start the first alternative and the preferred
// repetition count win, captures of a repeated group are cleared at each
// iteration, and an iteration past the minimum that matched the empty text
// fails. Counted repeats are unrolled; a pattern whose program would grow
// past `max_program` instructions (or whose capture storage would) is left
// to the backtracking matcher.
//
// A search tracks only where each thread started. The capture groups of a
// match are worked out on demand by a second run from the match's start,
// which costs no more than the search did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "types/regex_syntax.h"

struct lum_pike_program;

// The program for `syntax`, or null when the pattern needs the backtracking
// matcher (back-references, lookaheads, or too large once unrolled).
std::shared_ptr<const lum_pike_program> lum_pike_compile(const lum_regex_syntax::tree& syntax);

enum class lum_pike_mode : uint8_t {
    search,          // leftmost match from `start` on
    full,            // a match from `start` to the end of the text
    here_not_empty,  // a non-empty match starting at `start`
};

// Runs matches of one program. The thread lists are sized by the program and
// allocated once per matcher; nothing grows with the text.
class lum_pike_matcher {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    lum_pike_matcher(const lum_pike_program& program, const lum_regex_syntax::prefilter& scan);
    ~lum_pike_matcher();
    lum_pike_matcher(const lum_pike_matcher&) = delete;
    lum_pike_matcher& operator=(const lum_pike_matcher&) = delete;

    // Whether a text of `size` bytes keeps the worst case (every instruction
    // visited at every byte, once per level) within a fraction of a second;
    // longer texts are left to the backtracking matcher and its budgets.
    bool affordable(size_t size) const noexcept;

    bool run(std::string_view text, size_t start, lum_pike_mode mode);
    size_t begin() const noexcept { return begin_; }
    size_t end() const noexcept { return end_; }

    // Begin and end of every group (2 * (groups + 1) slots, npos for a group
    // that did not take part) of the last successful run on `text`.
    void groups(std::string_view text, std::vector<size_t>& slots);

private:
    struct thread_list;
    struct pending;

    bool simulate(bool seed_once, size_t* best);
    void add(thread_list& list, uint32_t pc, uint32_t level, size_t* caps, size_t pos);
    void prepare(uint32_t slots);
    void new_generation(thread_list& list);

    const lum_pike_program& program_;
    const lum_regex_syntax::prefilter& scan_;
    std::unique_ptr<thread_list> lists_[2];
    std::vector<pending> stack_;
    std::vector<size_t> seed_;
    uint32_t slots_ = 0;  // capture slots per thread in the lists
    uint32_t generation_ = 0;
    // The current run.
    const unsigned char* text_ = nullptr;
    size_t size_ = 0;
    size_t start_ = 0;
    lum_pike_mode mode_ = lum_pike_mode::search;
    size_t begin_ = npos, end_ = npos;
};
