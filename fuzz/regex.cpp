// libFuzzer target for the regex engine over (pattern, input): the first two
// bytes give the pattern's length, the pattern follows, the rest is the
// text. Compile failures must be lum_regex_error; matches must stay inside
// the text and agree with each other; budgets must end every match.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

    lum_regex_limits limits;
    limits.max_steps = 50000;
    limits.max_stack_bytes = size_t{1} << 20;
    limits.max_output_bytes = 4096;
    try {
        lum_regex_matcher m(*re, limits);
        const bool whole = m.match_full(text);
        if (whole) {
            check(m.begin() == 0 && m.end() == text.size());
            check_groups(m, text.size());
        }
        if (m.search(text, 0)) {
            check_groups(m, text.size());
            if (whole) check(m.begin() == 0);  // a whole-text match is also the leftmost start
        } else {
            check(!whole);
        }
        for (size_t start = 0; start <= text.size() && start < 4; ++start) {
            if (m.match_here_not_empty(text, start)) {
                check(m.begin() == start && m.end() > start);
                check_groups(m, text.size());
            }
        }
        size_t previous_end = 0;
        lum_regex_each_match(m, text, [&](size_t b, size_t e) {
            check(b <= e && e <= text.size() && b >= previous_end);
            previous_end = e;
        });
        const std::string replaced = lum_regex_replace_text(m, text, "<$&|$1|$`|$'|$$|$0>");
        (void)replaced;
    } catch (const lum_regex_error& e) {
        check(e.code() == lum_regex_error_complexity || e.code() == lum_regex_error_stack ||
              e.code() == lum_regex_error_space);
    }
    return 0;
}
