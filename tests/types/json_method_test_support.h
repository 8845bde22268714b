// Helpers of the "std.json" method tests: method calls made the way the
// interpreter makes them, values built from short JSON texts, and their
// compact text forms.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/value_records.h"
#include "tests/types/json_test_support.h"
#include "tests/types/method_call_test_support.h"
#include "types/json_object.h"
#include "types/json_text.h"

namespace j2test {

using j1test::num;
using j1test::str;
using j1test::push_all;

inline lumvar_shared flt(double v) { return lumvar_shared::from_float(v); }
inline lumvar_shared none() { return lumvar_shared::make(); }

// A json value parsed from `text` (must parse).
inline lumvar_shared parse(std::string_view text) {
    lum_std_json* c = nullptr;
    lumvar_shared v = j1test::new_json(c);
    EXPECT_TRUE(c->from_string(text, false)) << text;
    return v;
}

inline lum_std_json* container_of(const lumvar_shared& v) {
    if (!v) return nullptr;
    if (v->type == LUMVAR_JSON) return v->json_container();
    if (v->type == LUMVAR_OBJECT && v->object_holder() != nullptr)
        return dynamic_cast<lum_std_json*>(v->object_holder()->object.get());
    return nullptr;
}

// The compact text of a json value (or of the container an object value holds).
inline std::string text(const lumvar_shared& v) {
    lum_std_json* c = container_of(v);
    if (c == nullptr) return v ? "<" + v->to_std_string() + ">" : "<null>";
    std::string out;
    return json_to_text(c, out, true);
}

class json_method_test : public j1test::json_test {
protected:
    static void SetUpTestSuite() { lum_std_json::script_register_internal(); }

    // self.name(args...) as the interpreter calls it.
    lumvar_shared call(const lumvar_shared& self, std::string_view name, std::vector<lumvar_shared> args = {}) {
        lum_std_json* c = container_of(self);
        EXPECT_NE(c, nullptr);
        return c == nullptr ? lumvar_shared() : typetest::call_method(c, name, std::move(args));
    }

    // A method that returns the container itself (as an object value).
    void call_chained(const lumvar_shared& self, std::string_view name, std::vector<lumvar_shared> args = {}) {
        lumvar_shared r = call(self, name, std::move(args));
        ASSERT_TRUE(r) << name;
        EXPECT_EQ(r->type, LUMVAR_OBJECT) << name;
        EXPECT_EQ(container_of(r), container_of(self)) << name;
    }

    int64_t call_int(const lumvar_shared& self, std::string_view name, std::vector<lumvar_shared> args = {}) {
        lumvar_shared r = call(self, name, std::move(args));
        EXPECT_TRUE(r && r->type == LUMVAR_INT) << name;
        return r && r->type == LUMVAR_INT ? r->payload.i : INT64_MIN;
    }

    std::string call_text(const lumvar_shared& self, std::string_view name, std::vector<lumvar_shared> args = {}) {
        lumvar_shared r = call(self, name, std::move(args));
        EXPECT_TRUE(r && r->type == LUMVAR_STRING) << name;
        return r ? r->to_std_string() : std::string("<null>");
    }
};

}  // namespace j2test
