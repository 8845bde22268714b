// The regular-expression engine behind "std.string"'s regex methods.
//
// Patterns use the ECMAScript grammar (case-sensitive, not multiline) over
// bytes: alternation, greedy and lazy quantifiers, counted repeats, capturing
// and non-capturing groups, back-references, lookahead (?= and (?!,
// bracket classes with ranges, escapes and [[:alpha:]]-style names, and the
// assertions ^ $ \b \B. `^` and `$` hold only at the ends of the text; `.`
// matches every byte but \n and \r. Lookbehind and named groups are compile
// errors. \d \s \w and the [[:name:]] classes are ASCII: bytes 0x80 and
// above are never digits, spaces or word bytes, in any locale.
//
// Two matchers give the same results. Patterns without back-references and
// lookaheads run in time linear in the text, with no step budget: each call
// first tries the backtracking machine on a small allowance of steps (a few
// per byte of the text, for the whole text), and once that is spent the NFA
// simulation (types/regex_pike.h) runs this and every later call of the
// matcher. The other patterns, and texts so long that the NFA's worst case
// for the pattern's size would take more than about half a second, run on
// the backtracking machine alone. Its backtrack stack lives on the heap and
// never recurses, so no pattern and input can exhaust a thread's stack; a
// step budget per start position, a total step budget and a budget on the
// backtrack stack's memory bound every match: exceeding them throws
// `lum_regex_error` with error_complexity or error_stack. Before either
// matcher runs, a search skips to where a match can start (a literal prefix
// with memchr / memmem, or the bytes a match can start with), tries an
// anchored pattern at the start only, and gives up at once when a byte that
// every match contains is missing. Results follow ECMAScript: the leftmost start wins, and at
// that start the first alternative and the preferred repetition count win;
// a repetition that matched the empty text ends the loop, and the captures
// of a repeated group are cleared at each iteration.
//
// A compiled `lum_regex` is immutable and may be shared by any number of
// threads; each match runs in a `lum_regex_matcher`, which belongs to one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Error codes, numbered as the standard library's regex error types.
enum lum_regex_errc : int {
    lum_regex_error_collate = 0,
    lum_regex_error_ctype = 1,
    lum_regex_error_escape = 2,
    lum_regex_error_backref = 3,
    lum_regex_error_brack = 4,
    lum_regex_error_paren = 5,
    lum_regex_error_brace = 6,
    lum_regex_error_badbrace = 7,
    lum_regex_error_range = 8,
    lum_regex_error_space = 9,
    lum_regex_error_badrepeat = 10,
    lum_regex_error_complexity = 11,
    lum_regex_error_stack = 12,
};

// A compile or match failure: the code and a description (what()).
class lum_regex_error : public std::runtime_error {
public:
    lum_regex_error(int code, const std::string& description) : std::runtime_error(description), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// Budgets of one matcher, shared by all the searches it runs.
struct lum_regex_limits {
    // Steps (backtracking machine instructions, backtracks, bytes scanned / 16,
    // and replacement work) of all the matcher's calls together before
    // error_complexity; the default ends the worst search in well under a
    // second. The NFA's own work is never counted.
    uint64_t max_steps = 100'000'000;
    // Backtracking machine steps spent at one start position before
    // error_complexity: exponential backtracking is given up on early.
    uint64_t max_start_steps = 20'000'000;
    // Bytes of backtrack stack before error_stack.
    size_t max_stack_bytes = size_t{32} << 20;
    // Bytes a replace may build (lum_regex_replace_text) before error_space:
    // "$'" after each of n matches alone builds n * n / 2 bytes.
    size_t max_output_bytes = size_t{64} << 20;
};

struct lum_regex_program;
struct lum_pike_program;
class lum_pike_matcher;

// The matcher that runs a lum_regex_matcher's calls.
enum class lum_regex_engine : uint8_t {
    automatic,     // linear time when the pattern allows it, else backtracking
    backtracking,  // always the backtracking machine, with its budgets
    nfa,           // the NFA alone when the pattern allows it, else backtracking
};

class lum_regex {
public:
    // Group nesting (groups and lookaheads) deeper than this fails with
    // error_stack; the compiler never recurses further.
    static constexpr uint32_t max_nesting = 256;

    // Compiles `pattern`. Throws lum_regex_error with a compile code
    // (error_paren, error_brack, error_escape, ...) or std::bad_alloc.
    explicit lum_regex(std::string_view pattern);
    ~lum_regex();
    lum_regex(const lum_regex&) = delete;
    lum_regex& operator=(const lum_regex&) = delete;

    // Number of capturing groups (group 0, the whole match, not counted).
    uint32_t group_count() const noexcept;

    const lum_regex_program& program() const noexcept { return *program_; }
    // The NFA program, or null when the pattern needs backtracking.
    const lum_pike_program* pike() const noexcept { return pike_.get(); }

private:
    std::unique_ptr<const lum_regex_program> program_;
    std::shared_ptr<const lum_pike_program> pike_;
};

// Runs matches of one expression. Positions are byte offsets into the text
// given to each call; the whole text is always visible, so a search that
// starts after the first byte sees the byte before its start (`^` does not
// hold there and `\b` looks at that byte).
class lum_regex_matcher {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    explicit lum_regex_matcher(const lum_regex& expression, lum_regex_limits limits = {},
                               lum_regex_engine engine = lum_regex_engine::automatic);
    ~lum_regex_matcher();
    lum_regex_matcher(const lum_regex_matcher&) = delete;
    lum_regex_matcher& operator=(const lum_regex_matcher&) = delete;

    // The leftmost match starting at or after `start` (start <= text size).
    bool search(std::string_view text, size_t start = 0);
    // A match covering the whole text (backtracking until one ends at the end).
    bool match_full(std::string_view text);
    // A non-empty match that begins exactly at `start`.
    bool match_here_not_empty(std::string_view text, size_t start);

    // After a successful call: group 0 is the whole match; a group that did
    // not take part reports npos for both ends. The first question about a
    // group after an NFA match works the groups out (a second NFA run over
    // the match; it may throw std::bad_alloc), so the call's text must still
    // be there when groups 1 and up are asked for.
    size_t begin(uint32_t group = 0) const;
    size_t end(uint32_t group = 0) const;
    bool matched(uint32_t group) const { return begin(group) != npos; }
    uint32_t group_count() const noexcept;
    // Whether the pattern runs in linear time (the NFA backs the calls on
    // texts that are not too long for its size).
    bool linear() const noexcept { return pike_ != nullptr; }

    // Steps used so far by this matcher (all calls together).
    uint64_t steps_used() const noexcept { return steps_used_; }
    // Spends `steps` of the budget on work done outside the machine for its
    // matches (expanding replacements); throws error_complexity when the
    // budget runs out.
    void charge(uint64_t steps);
    const lum_regex_limits& limits() const noexcept { return limits_; }

private:
    enum class mode : uint8_t { search, full, here_not_empty };
    struct frame;

    bool run_search(std::string_view text, size_t start, mode how);
    void unset_registers();
    bool attempt(size_t start);
    [[noreturn]] void fail_complexity(uint64_t budget);
    const size_t* pike_groups() const;
    bool backtrack_search(size_t start, mode how);  // on text_ and size_
    bool required_ahead(size_t start);
    [[noreturn]] void fail_stack();
    void grow_stack();

    const lum_regex_program& program_;
    lum_regex_limits limits_;
    uint64_t steps_left_;
    uint64_t steps_used_ = 0;
    size_t max_frames_;
    std::vector<size_t> registers_;
    std::vector<frame> stack_;
    const unsigned char* text_ = nullptr;
    size_t size_ = 0;
    mode mode_ = mode::search;
    size_t match_begin_ = npos;
    size_t match_end_ = npos;
    std::unique_ptr<lum_pike_matcher> pike_;
    mutable std::vector<size_t> pike_groups_;
    mutable bool pike_groups_ready_ = false;
    bool on_nfa_ = false;  // the last call ran on the NFA
    // The backtracking machine's allowance in front of the NFA: `quick_`
    // while it is being used, steps left for the text at `quick_text_`,
    // and whether the NFA runs every call from now on.
    bool quick_ = false;
    bool nfa_only_ = false;
    uint64_t quick_left_ = 0;
    const char* quick_text_ = nullptr;
    size_t quick_size_ = 0;
    // Where the byte every match contains was found last in the text at
    // `required_text_`, looking from `required_from_` on (npos: nowhere).
    const unsigned char* required_text_ = nullptr;
    size_t required_size_ = 0;
    size_t required_from_ = 0;
    size_t required_at_ = npos;
};
