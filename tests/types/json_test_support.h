// Helpers of the container, text, binary and json.bool tests: a host VM owned
// by the test thread (cells and containers come from its pools), a recording
// thread logger with notices on, and small builders of json values.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "tests/runtime/base_test_support.h"
#include "types/json_bool.h"
#include "types/json_object.h"
#include "types/json_text.h"
#include "vm/runtime_error.h"

namespace j1test {

class json_test : public ::testing::Test {
protected:
    lum_host_vm host;
    thread_log_scope logs;

    void SetUp() override { logs.log().level_mask = LUM_LOG_WARNING | LUM_LOG_ERROR | LUM_LOG_NOTICE; }
    void TearDown() override {
        // Every walk leaves the thread's guard as it found it.
        EXPECT_TRUE(json_visit_guard::for_thread().stack.empty());
        EXPECT_EQ(json_visit_guard::thread_mark(), 0);
    }

    recording_log& log() { return logs.log(); }
    // The texts logged at `level` since the last call (the log is emptied).
    std::vector<std::string> take(uint32_t level) {
        std::vector<std::string> out;
        for (auto& e : log().entries())
            if (e.level == level) out.push_back(e.text);
        log().clear();
        return out;
    }
    std::vector<std::string> warnings() { return take(LUM_LOG_WARNING); }
    std::vector<std::string> errors() { return take(LUM_LOG_ERROR); }
    std::vector<std::string> notices() { return take(LUM_LOG_NOTICE); }
    static std::string framed(std::string_view message) { return lum_runtime_error_framed(message); }
};

// A fresh json value and its container.
inline lumvar_shared new_json(lum_std_json*& container) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    container = v->json_container();
    return v;
}

// A fresh json value and its container, for `auto [v, c] = fresh_json();`.
struct json_value {
    lumvar_shared value;
    lum_std_json* container;
};
inline json_value fresh_json() {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* c = v->json_container();
    return {std::move(v), c};
}

inline lumvar_shared num(int64_t v) { return lumvar_shared::from_int(v); }
inline lumvar_shared str(std::string_view t) { return lumvar_shared::from_string(t); }
// A json value nested `levels` deep: [[...[1]...]] with `levels` containers.
inline lumvar_shared nested(size_t levels) {
    lumvar_shared top = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* c = top->json_container();
    for (size_t i = 1; i < levels; ++i) c = c->emplace_back()->json_object(true);
    c->push_keyed(num(1), "");
    return top;
}

inline lumvar_shared boolean_of(lumvar_shared wrapped) {
    return lumvar_shared::from_object(new lum_std_json_bool(wrapped));
}

// Appends the entries in order; an empty key appends a list element.
inline void push_all(lum_std_json* c, std::initializer_list<std::pair<std::string_view, lumvar_shared>> items) {
    for (const auto& [key, value] : items) c->push_keyed(lumvar_shared(value), key);
}

inline std::string compact(lum_std_json* c) {
    std::string out;
    return json_to_text(c, out, true);
}
inline std::string pretty(lum_std_json* c) {
    std::string out;
    return json_to_text(c, out, false);
}

// The keys of the entries ("-" for a list element).
inline std::vector<std::string> keys_of(const lum_std_json* c) {
    std::vector<std::string> out;
    for (const auto& e : c->entries) out.push_back(e.key ? *e.key : std::string("-"));
    return out;
}

}  // namespace j1test
