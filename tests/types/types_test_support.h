// Helpers of the "std.json", "json.bool" and "std.string" tests: fixtures
// with a host VM owned by the test thread (cells, containers and string
// objects come from its pools) and a recording thread logger; builders and
// generators of json values; and method calls made the way the interpreter
// makes them.
#pragma once

#include <gtest/gtest.h>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/host_vm.h"
#include "runtime/namespace.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "tests/runtime/base_test_support.h"
#include "tests/types/method_call_test_support.h"
#include "types/json_bool.h"
#include "types/json_object.h"
#include "types/json_text.h"
#include "types/string_object.h"
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

// A generated json value: nested lists and objects (duplicate keys, present
// empty keys, NUL bytes and bytes >= 0x80 in keys and texts) of ints, floats,
// texts, bytes and none; json.bool values too when `with_bools`.
inline lumvar_shared random_json(std::mt19937& rng, int depth, bool with_bools) {
    static const std::string texts[] = {"", "a", "b", "B", "k1", std::string("n\0", 2), "\xc3\xa9", "q\"\\\n"};
    auto [v, c] = fresh_json();
    const bool object = rng() % 2 == 0;
    const int n = static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) {
        lumvar_shared value;
        switch (rng() % (depth > 0 ? 8 : 6)) {
            case 0: value = num(rng() % 7 ? static_cast<int64_t>(rng() % 2001) - 1000 : INT64_MIN + rng() % 9); break;
            case 1: value = lumvar_shared::from_float((static_cast<int>(rng() % 200) - 100) / 8.0); break;
            case 2: value = str(texts[rng() % std::size(texts)]); break;
            case 3: value = lumvar_shared::make(); break;
            case 4: value = with_bools ? boolean_of(num(rng() % 2)) : num(4); break;
            case 5: value = lumvar_shared::from_bytes(std::vector<uint8_t>{'h', uint8_t(rng() % 26 + 'a')}); break;
            default: value = random_json(rng, depth - 1, with_bools); break;
        }
        const std::string& key = texts[rng() % std::size(texts)];
        if (object && key.empty() && rng() % 2 == 0) {
            c->get_or_add("")->set(value);  // a present empty key
        } else {
            c->push_keyed(std::move(value), object ? key : std::string());
        }
    }
    return v;
}

// Everything a container holds, as one text: per entry the key as <key> ("-"
// for a list element, and for a present empty key when
// `empty_keys_read_as_elements`), the value type and payload, nested
// containers recursively; and per key the position of its designated entry.
inline std::string describe(lum_std_json* c, bool empty_keys_read_as_elements = false) {
    std::ostringstream out;
    out << std::hexfloat << "{";
    for (const auto& e : c->entries) {
        if (!e.key || (e.key->empty() && empty_keys_read_as_elements)) {
            out << "-";
        } else {
            out << "<" << *e.key << ">";
        }
        lumvar& v = *e.value;
        out << int(v.type) << ":";
        if (v.type == LUMVAR_INT) out << v.payload.i;
        if (v.type == LUMVAR_FLOAT) out << v.payload.f;
        if (v.type == LUMVAR_STRING) out << "'" << v.to_std_string() << "'";
        if (v.type == LUMVAR_BINARY || v.type == LUMVAR_OBJECT) out << "'" << v.to_std_string() << "'";
        if (v.type == LUMVAR_JSON) out << describe(v.json_container(), empty_keys_read_as_elements);
        out << ",";
    }
    for (size_t i = 0; i < c->entries.size(); ++i) {
        const auto& e = c->entries[i];
        if (e.key && !e.key->empty() && c->find_key(*e.key) == e.value.get()) out << " @" << *e.key << "=" << i;
    }
    return out.str() + "}";
}

}  // namespace j1test

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
