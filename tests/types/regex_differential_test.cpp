// The NFA matcher against the backtracking machine: generated patterns
// without back-references and lookaheads (captures, greedy and lazy
// quantifiers, counted repeats, loops that can match the empty text, anchors,
// word boundaries, alternation priority) on random subjects. Match positions,
// every capture group, whole-text and non-empty matches, findall, split and
// replace must come out the same from the NFA, the backtracking machine with
// its default budgets, the backtracking machine with no budget at all, and
// the automatic choice (backtracking on an allowance, then the NFA).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "types/regex_engine.h"
#include "types/regex_text.h"

namespace {

class pattern_maker {
public:
    explicit pattern_maker(uint32_t seed) : rng_(seed) {}

    std::string pattern() { return disjunction(0, 0); }

    std::string subject() {
        static const char bytes[] = {'a', 'a', 'a', 'b', 'b', 'c', ' ', '1', '_', '-', '\n'};
        std::string s(pick(11), ' ');
        for (char& c : s) c = bytes[pick(sizeof(bytes))];
        return s;
    }

    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    // `loops`: quantifiers around this point. Two at most, so that the
    // backtracking machine without a budget finishes every case quickly.
    std::string disjunction(int depth, int loops) {
        std::string out = alternative(depth, loops);
        while (pick(4) == 0) out += "|" + alternative(depth, loops);
        return out;
    }

    std::string alternative(int depth, int loops) {
        std::string out;
        const uint32_t terms = pick(4);
        for (uint32_t i = 0; i < terms; ++i) out += term(depth, loops);
        return out;
    }

    std::string term(int depth, int loops) {
        static const char* assertions[] = {"^", "$", "\\b", "\\B"};
        if (pick(10) == 0) return assertions[pick(4)];
        if (loops >= 2 || pick(2) == 0) return atom(depth, loops);
        static const char* quantifiers[] = {"*", "+", "?", "{0,2}", "{1,}", "{2}", "{0,1}", "{1,3}", "{0}", "{2,}"};
        std::string a = atom(depth, loops + 1);
        a += quantifiers[pick(sizeof(quantifiers) / sizeof(quantifiers[0]))];
        if (pick(3) == 0) a += "?";
        return a;
    }

    std::string atom(int depth, int loops) {
        static const char* leaves[] = {"a", "a", "b", "b", "c", ".", "[ab]", "[^a]", "\\w", "\\d", "\\s", "\\W",
                                       "[a-c_]", "-", "[[:alpha:]]", "()", "(?:)"};
        const uint32_t r = pick(depth < 3 ? 24 : 17);
        if (r < 17) return leaves[r];
        if (r < 21) return "(" + disjunction(depth + 1, loops) + ")";
        return "(?:" + disjunction(depth + 1, loops) + ")";
    }

    std::mt19937 rng_;
};

// Everything the three matchers are compared on, as one text.
std::string describe(const lum_regex& re, const std::string& text, lum_regex_engine engine, bool unlimited,
                     size_t start) {
    lum_regex_limits limits;
    if (unlimited) {
        limits.max_steps = UINT64_MAX;
        limits.max_start_steps = UINT64_MAX;
        limits.max_stack_bytes = SIZE_MAX;
    }
    lum_regex_matcher m(re, limits, engine);
    std::string out;
    auto spans = [&]() {
        for (uint32_t g = 0; g <= m.group_count(); ++g) {
            if (m.matched(g))
                out += std::to_string(m.begin(g)) + "-" + std::to_string(m.end(g)) + " ";
            else
                out += "- ";
        }
        out += ";";
    };
    try {
        out += "search:";
        if (m.search(text, 0)) spans();
        out += " from:";
        if (m.search(text, start)) spans();
        out += " full:";
        if (m.match_full(text)) spans();
        out += " here:";
        if (m.match_here_not_empty(text, start)) spans();
        out += " all:";
        lum_regex_each_match(m, text, [&](size_t, size_t) { spans(); });
        out += " split:";
        lum_regex_split_pieces(m, text, [&](std::string_view piece) { out += std::string(piece) + "|"; });
        out += " replace:" + lum_regex_replace_text(m, text, "<$1.$&.$`.$'.$2>");
    } catch (const lum_regex_error& e) {
        out += std::string(" error ") + e.what();
    }
    return out;
}

}  // namespace

TEST(RegexDifferential, NfaAndBacktrackingAgreeOnGeneratedPatterns) {
    pattern_maker maker(20261207);
    size_t cases = 0, patterns = 0, failures = 0;
    while (cases < 100000) {
        const std::string pattern = maker.pattern();
        std::unique_ptr<lum_regex> re;
        try {
            re = std::make_unique<lum_regex>(pattern);
        } catch (const lum_regex_error&) {
            continue;  // e.g. {2,} after a quantifier
        }
        ++patterns;
        ASSERT_TRUE(lum_regex_matcher(*re).linear()) << pattern;
        for (int i = 0; i < 8; ++i, ++cases) {
            const std::string text = maker.subject();
            const size_t start = maker.pick(static_cast<uint32_t>(text.size()) + 1);
            const std::string nfa = describe(*re, text, lum_regex_engine::nfa, false, start);
            const std::string backtracking = describe(*re, text, lum_regex_engine::backtracking, false, start);
            const std::string unlimited = describe(*re, text, lum_regex_engine::backtracking, true, start);
            const std::string automatic = describe(*re, text, lum_regex_engine::automatic, false, start);
            if (nfa == backtracking && nfa == unlimited && nfa == automatic) continue;
            if (++failures <= 10) {
                ADD_FAILURE() << "pattern /" << pattern << "/ on \"" << text << "\" from " << start
                              << "\n  nfa:          " << nfa << "\n  backtracking: " << backtracking
                              << "\n  unlimited:    " << unlimited << "\n  automatic:    " << automatic;
            }
        }
    }
    EXPECT_EQ(failures, 0u) << "of " << cases << " cases from " << patterns << " patterns";
}
