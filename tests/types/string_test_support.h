// Helpers of the "std.string" tests: a host VM owned by the test thread (so
// cells and string objects come from its pools), a recording thread logger,
// and calls of methods through their registered definitions the way the
// interpreter makes them (member read -> bound native function -> callable
// with the owner as the context's native-call object).
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
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/context.h"

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

    // The definition a member read of `name` on `self` yields (null when none).
    static lum_function_def* definition(const lumvar_shared& self, std::string_view name) {
        lum_std_string* s = self->string_object();
        const int64_t index = s->find_member_index(name);
        if (index < 0) return nullptr;
        lumvar_shared member;
        s->get_member_at(member, index);
        if (!member || member->type != LUMVAR_EXT_FUNCTION) return nullptr;
        return member->ext_function_record()->definition.get();
    }

    // self.name(args...) with the interpreter's argument-count check.
    lumvar_shared call(const lumvar_shared& self, std::string_view name, std::initializer_list<arg> args = {}) {
        lum_std_string* s = self->string_object();
        lumvar_shared member;
        const int64_t index = s->find_member_index(name);
        EXPECT_GE(index, 0) << name;
        if (index < 0) return {};
        s->get_member_at(member, index);
        lumvar_ext_function_record* record = member->ext_function_record();
        lum_function_def* def = record->definition.get();
        EXPECT_GE(args.size(), def->min_args) << name;
        EXPECT_LE(args.size(), def->max_args) << name;
        std::vector<lumvar_shared> values;
        for (const arg& a : args) values.push_back(a.value);
        lum_vm_context context;
        context.native_object = record->owner.get();
        lumvar_shared result = def->callable(context, values);
        context.native_object = nullptr;
        return result;
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
