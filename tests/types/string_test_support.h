// Helpers of the "std.string" tests: a host VM owned by the test thread (so
// cells and string objects come from its pools), a recording thread logger,
// and method calls made the way the interpreter makes them.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_vm.h"
#include "runtime/namespace.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "tests/runtime/base_test_support.h"
#include "tests/types/method_call_test_support.h"
#include "types/json_object.h"
#include "types/string_object.h"

namespace strtest {

// An argument of a call: text, int, float or none.
struct arg {
    lumvar_shared value;
    arg(const char* t) : value(lumvar_shared::from_string(t)) {}
    arg(std::string_view t) : value(lumvar_shared::from_string(t)) {}
    arg(const std::string& t) : value(lumvar_shared::from_string(t)) {}
    arg(int v) : value(lumvar_shared::from_int(v)) {}
    arg(int64_t v) : value(lumvar_shared::from_int(v)) {}
    arg(double v) : value(lumvar_shared::from_float(v)) {}
    arg(lumvar_shared v) : value(std::move(v)) {}
};

inline std::string text_of(const lumvar_shared& v) { return v ? v->to_std_string() : std::string("<null>"); }

// The texts of a json list's elements.
inline std::vector<std::string> list_of(const lumvar_shared& v) {
    std::vector<std::string> out;
    if (!v || v->type != LUMVAR_JSON || v->json_container() == nullptr) {
        out.push_back("<not a list>");
        return out;
    }
    for (auto& e : v->json_container()->entries) {
        EXPECT_FALSE(e.key) << "list elements have no key";
        EXPECT_EQ(e.value->type, LUMVAR_STRING);
        out.push_back(text_of(e.value));
    }
    return out;
}

using strings = std::vector<std::string>;

class string_test : public ::testing::Test {
protected:
    lum_host_vm host;
    thread_log_scope logs;

    static void SetUpTestSuite() { lum_std_string::script_register_internal(); }

    recording_log& log() { return logs.log(); }
    std::vector<std::string> warnings() {
        std::vector<std::string> out;
        for (auto& e : log().entries())
            if (e.level == LUM_LOG_WARNING) out.push_back(e.text);
        log().clear();
        return out;
    }

    static lumvar_shared str(std::string_view text) { return lumvar_shared::from_string(text); }

    // self.name(args...) as the interpreter calls it.
    lumvar_shared call(const lumvar_shared& self, std::string_view name, std::initializer_list<arg> args = {}) {
        std::vector<lumvar_shared> values;
        for (const arg& a : args) values.push_back(a.value);
        return typetest::call_method(self->string_object(), name, std::move(values));
    }

    // The text result of self.name(args...), checking it is a new string value.
    std::string call_text(const lumvar_shared& self, std::string_view name, std::initializer_list<arg> args = {}) {
        lumvar_shared r = call(self, name, args);
        EXPECT_TRUE(r && r->type == LUMVAR_STRING) << name;
        if (r && r->type == LUMVAR_STRING) {
            EXPECT_NE(r->string_object(), self->string_object()) << name;
        }
        return text_of(r);
    }
    int64_t call_int(const lumvar_shared& self, std::string_view name, std::initializer_list<arg> args = {}) {
        lumvar_shared r = call(self, name, args);
        EXPECT_TRUE(r && r->type == LUMVAR_INT) << name;
        return r && r->type == LUMVAR_INT ? r->payload.i : INT64_MIN;
    }
    strings call_list(const lumvar_shared& self, std::string_view name, std::initializer_list<arg> args = {}) {
        return list_of(call(self, name, args));
    }
    // The text a method leaves on a fresh string `text`, and its int result.
    std::string after(std::string_view text, std::string_view name, std::initializer_list<arg> args = {},
                      int64_t expected_result = 1) {
        lumvar_shared s = str(text);
        EXPECT_EQ(call_int(s, name, args), expected_result) << name;
        return text_of(s);
    }
};

}  // namespace strtest
