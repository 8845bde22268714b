// Helpers of the container, text, binary and json.bool tests: a host VM owned
// by the test thread (cells and containers come from its pools), a recording
// thread logger with notices on, and small builders of json values.
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
            case 0: value = num(static_cast<int64_t>(rng() % 2001) - 1000 + (rng() % 7 == 0 ? INT64_MIN : 0)); break;
            case 1: value = lumvar_shared::from_float(static_cast<double>(static_cast<int>(rng() % 200) - 100) / 8); break;
            case 2: value = str(texts[rng() % std::size(texts)]); break;
            case 3: value = lumvar_shared::make(); break;
            case 4: value = with_bools ? boolean_of(num(rng() % 2)) : num(4); break;
            case 5: value = lumvar_shared::from_bytes(std::vector<uint8_t>{'h', static_cast<uint8_t>(rng() % 26 + 'a')}); break;
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

// Everything a container holds, as one text: per entry the key ("-" for a
// list element, or <"" when `empty_keys_read_as_elements` is off), the value
// type and payload, nested containers recursively; and per key the position
// of its designated entry.
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
        if (v.type == LUMVAR_BINARY) out << "b'" << v.to_std_string() << "'";
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
