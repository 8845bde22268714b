// Running out of memory while JSON text is parsed: the n-th allocation of
// the calling thread from the moment it is armed throws std::bad_alloc
// (allocation_hooks.h). Walking n upwards fails each allocation of a parse
// in turn.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "tests/memory/allocation_hooks.h"
#include "tests/memory/failing_native_call.h"
#include "tests/types/types_test_support.h"
#include "vm/calls.h"

namespace {

class JsonOutOfMemory : public j1test::json_test {
protected:
    static void SetUpTestSuite() { lum_std_json::script_register_internal(); }
};

// Texts that allocate in every part of a parse: long strings and keys,
// nesting, numbers, booleans, and a text whose first parse fails (its error
// is built) before the embedded value parses.
const char* const texts[] = {
    "{\"a key longer than the small-string buffer\": [1, 2.5, true, null, \"a string longer than sixteen bytes\"],"
    " \"b\": {\"c\": [[[\"deep\"]]], \"d\": false}}",
    "reply: {\"ok\": [1, \"a string longer than sixteen bytes\"]} (end)",
};

TEST_F(JsonOutOfMemory, EveryFailedAllocationIsReportedAsOutOfMemoryNotAsAParseError) {
    for (const char* text : texts) {
        int failures = 0;
        bool reached = true;
        for (long long n = 0; n < 100000 && reached; ++n) {
            auto [v, c] = j1test::fresh_json();
            c->push_keyed(j1test::num(1), "old");
            bool parsed = false;
            std::string thrown;
            {
                lum_failing_allocation fail(n);
                try {
                    parsed = c->from_string(text, false);
                } catch (const std::bad_alloc& e) {
                    thrown = e.what();
                }
                reached = lum_failing_allocation::fired();
            }
            if (!thrown.empty()) {
                ++failures;
                EXPECT_EQ(thrown, "out of memory while parsing JSON text") << text << " n=" << n;
                EXPECT_TRUE(c->entries.empty()) << text << " n=" << n;
            } else {
                EXPECT_TRUE(parsed) << text << " n=" << n;
            }
            EXPECT_EQ(errors(), std::vector<std::string>{}) << text << " n=" << n;
        }
        EXPECT_FALSE(reached) << text << ": still allocating after 100000 allocations";
        EXPECT_GT(failures, 10) << text;
    }
}

TEST_F(JsonOutOfMemory, TheDocumentParseThrowsInsteadOfRecordingAnError) {
    int failures = 0;
    bool reached = true;
    for (long long n = 0; n < 100000 && reached; ++n) {
        nlohmann::json document;
        json_parse_error error;
        bool parsed = false;
        std::string thrown;
        {
            lum_failing_allocation fail(n);
            try {
                parsed = parse_json_text(texts[0], document, error);
            } catch (const std::bad_alloc& e) {
                thrown = e.what();
            }
            reached = lum_failing_allocation::fired();
        }
        if (!thrown.empty()) {
            ++failures;
            EXPECT_EQ(thrown, "out of memory while parsing JSON text") << "n=" << n;
        } else {
            EXPECT_TRUE(parsed) << "n=" << n << ": " << error.text;
        }
    }
    EXPECT_FALSE(reached);
    EXPECT_GT(failures, 10);
}

// Through a native call the way the interpreter makes it: the run-time error
// of the call names the method and says memory ran out.
TEST_F(JsonOutOfMemory, ANativeCallReportsOutOfMemory) {
    lumvar_shared j = lumvar_shared::make_typed(LUMVAR_JSON);
    lumobject_base* self = j->json_container();
    lumvar_shared member;
    self->get_member_at(member, self->find_member_index("from_string"));
    ASSERT_TRUE(member && member->type == LUMVAR_EXT_FUNCTION);
    EXPECT_TRUE(lum_fail_each_allocation_of_call(member, {lumvar_shared::from_string(texts[0])},
                                                 [&] { return errors(); },
                                                 "from_string: out of memory while parsing JSON text", "JSON parse error"));
}

}  // namespace
