// libFuzzer target for the regex engine over (pattern, input): the first two
// bytes give the pattern's length, the pattern follows, the rest is the
// text. Compile failures must be lum_regex_error; matches must stay inside
// the text and agree with each other; budgets must end every backtracking
// match. Every call runs on both matchers: the NFA (when the pattern has no
// back-references or lookaheads) and the backtracking machine must give the
// same results whenever the latter stays inside its budgets, and so must the
// automatic choice between them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "types/regex_engine.h"
#include "types/regex_text.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_groups(const lum_regex_matcher& m, size_t size) {
    check(m.begin() <= m.end() && m.end() <= size);
    for (uint32_t g = 1; g <= m.group_count(); ++g) {
        if (!m.matched(g)) continue;
        check(m.begin(g) <= m.end(g) && m.end(g) <= size);
    }
}

void add_spans(std::string& out, const lum_regex_matcher& m) {
    for (uint32_t g = 0; g <= m.group_count(); ++g)
        out += m.matched(g) ? std::to_string(m.begin(g)) + "-" + std::to_string(m.end(g)) + " " : "- ";
    out += ';';
}

// Every result of the calls on `text`, or an empty text when a budget ended them.
std::string run(const lum_regex& re, std::string_view text, lum_regex_engine engine) {
    lum_regex_limits limits;
    limits.max_steps = 200000;
    limits.max_start_steps = 50000;
    limits.max_stack_bytes = size_t{1} << 20;
    limits.max_output_bytes = 4096;
    std::string out;
    try {
        lum_regex_matcher m(re, limits, engine);
        const bool whole = m.match_full(text);
        if (whole) {
            check(m.begin() == 0 && m.end() == text.size());
            check_groups(m, text.size());
            add_spans(out, m);
        }
        out += "|";
        if (m.search(text, 0)) {
            check_groups(m, text.size());
            if (whole) check(m.begin() == 0);  // a whole-text match is also the leftmost start
            add_spans(out, m);
        } else {
            check(!whole);
        }
        out += "|";
        for (size_t start = 0; start <= text.size() && start < 4; ++start) {
            if (m.match_here_not_empty(text, start)) {
                check(m.begin() == start && m.end() > start);
                check_groups(m, text.size());
                add_spans(out, m);
            }
        }
        out += "|";
        size_t previous_end = 0;
        lum_regex_each_match(m, text, [&](size_t b, size_t e) {
            check(b <= e && e <= text.size() && b >= previous_end);
            previous_end = e;
            add_spans(out, m);
        });
        out += "|" + lum_regex_replace_text(m, text, "<$&|$1|$`|$'|$$|$0>");
    } catch (const lum_regex_error& e) {
        check(e.code() == lum_regex_error_complexity || e.code() == lum_regex_error_stack ||
              e.code() == lum_regex_error_space);
        return {};
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t pattern_length = ((size_t{data[0]} << 8) | data[1]) % (size - 1);
    const std::string_view pattern(reinterpret_cast<const char*>(data + 2), pattern_length);
    const std::string_view text(reinterpret_cast<const char*>(data + 2 + pattern_length), size - 2 - pattern_length);

    std::unique_ptr<lum_regex> re;
    try {
        re = std::make_unique<lum_regex>(pattern);
    } catch (const lum_regex_error& e) {
        check(e.code() >= 0 && e.code() <= lum_regex_error_stack);
        return 0;
    }

    const std::string backtracking = run(*re, text, lum_regex_engine::backtracking);
    if (re->pike() == nullptr) return 0;
    const std::string nfa = run(*re, text, lum_regex_engine::nfa);
    const std::string automatic = run(*re, text, lum_regex_engine::automatic);
    // The NFA is never out of steps; only the replace output budget can end it.
    if (!backtracking.empty() && !nfa.empty()) check(nfa == backtracking);
    if (!automatic.empty() && !nfa.empty()) check(nfa == automatic);
    return 0;
}
