// Running out of memory while a regex pattern is compiled: each allocation of
// the compile (and of its cache entry) fails in turn. That is no fault of the
// pattern: the call fails as out of memory, nothing reports the pattern as
// one that does not compile, and nothing half-made stays in the cache.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "tests/memory/allocation_hooks.h"
#include "tests/memory/failing_native_call.h"
#include "tests/types/types_test_support.h"
#include "types/regex_service.h"
#include "vm/calls.h"

namespace {

class RegexOutOfMemory : public strtest::string_test {
protected:
    std::vector<std::string> errors() {
        std::vector<std::string> out;
        for (auto& e : log().entries())
            if (e.level == LUM_LOG_ERROR) out.push_back(e.text);
        log().clear();
        return out;
    }
};

// Nine other patterns: the ninth empties the thread's cache, so the next
// compile of a pattern really compiles it.
void empty_regex_cache() {
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(compiled_regex_cache("evict" + std::to_string(i), 1, "regex_match"));
}

// The linear-time machine, the backtracking one (back-reference and
// lookahead), classes, counted repeats and alternatives.
const char* const patterns[] = {
    "^([a-z]+|[0-9]{2,5})*(foo|bar)?[^\\s]+$",
    "(a+)\\1(?=b)(?!c)[\\w.-]{1,8}",
};

TEST_F(RegexOutOfMemory, EveryFailedAllocationOfACompileIsReportedAsOutOfMemory) {
    for (const char* pattern : patterns) {
        int failures = 0;
        bool reached = true;
        for (long long n = 0; reached; ++n) {
            ASSERT_LT(n, 100000) << pattern << ": still allocating";
            empty_regex_cache();
            lum_regex_ref compiled;
            std::string thrown;
            {
                lum_failing_allocation fail(n);
                try {
                    compiled = compiled_regex_cache(pattern, 1, "regex_match");
                } catch (const std::bad_alloc& e) {
                    thrown = e.what();
                }
                reached = lum_failing_allocation::fired();
            }
            if (!thrown.empty()) {
                ++failures;
                EXPECT_EQ(thrown, "out of memory while compiling a regex pattern") << pattern << " n=" << n;
                EXPECT_FALSE(compiled);
            } else {
                EXPECT_TRUE(compiled) << pattern << " n=" << n;
            }
            EXPECT_EQ(errors(), std::vector<std::string>{}) << pattern << " n=" << n;
        }
        EXPECT_GT(failures, 10) << pattern;
        // The pattern that finally compiled is the cached one, and it works.
        lum_regex_ref cached = compiled_regex_cache(pattern, 1, "regex_match");
        ASSERT_TRUE(cached);
        EXPECT_EQ(cached, compiled_regex_cache(pattern, 1, "regex_match"));
    }
}

// Through a native call the way the interpreter makes it: the run-time error
// of the call names the method and says memory ran out.
TEST_F(RegexOutOfMemory, ANativeCallReportsOutOfMemory) {
    lumvar_shared self = str("aab");
    lumobject_base* object = self->string_object();
    lumvar_shared member;
    object->get_member_at(member, object->find_member_index("regex_match"));
    ASSERT_TRUE(member && member->type == LUMVAR_EXT_FUNCTION);
    EXPECT_TRUE(lum_fail_each_allocation_of_call(
        member, {str(patterns[1])}, [&] { return errors(); },
        "regex_match: out of memory while compiling a regex pattern", "cannot compile regex pattern", empty_regex_cache));
}

}  // namespace
