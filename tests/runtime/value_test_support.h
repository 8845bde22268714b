// Helpers of the value-layer tests: a fixture with a real host VM owned by the
// test thread (so cells, records and objects come from its pools) and a
// recording thread logger, value makers, and a native class whose members are maps.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "host/host_vm.h"
#include "kernel/script/buffer.h"
#include "runtime/class_binding.h"
#include "runtime/object.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "tests/runtime/base_test_support.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/runtime_error.h"

using texts_t = std::vector<std::string>;

class vm_test : public ::testing::Test {
protected:
    lum_host_vm host;
    thread_log_scope logs;

    lum_vm& vm() { return host.vm(); }
    recording_log& log() { return logs.log(); }
    texts_t at_level(uint32_t level) {
        texts_t out;
        for (auto& e : log().entries())
            if (e.level == level) out.push_back(e.text);
        return out;
    }
    texts_t warnings() { return at_level(LUM_LOG_WARNING); }
    texts_t errors() { return at_level(LUM_LOG_ERROR); }
    // The text a run-time error logs outside a task.
    static std::string framed(const std::string& message) { return lum_runtime_error_framed(message); }
};

// A native object whose members live in two maps. Reads of missing members fall
// back to the default operations (and their errors).
class probe_object : public lumobject<probe_object, CLASS_STRING<"test.probe">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {}

    std::map<std::string, lumvar_shared, std::less<>> named;
    std::map<int64_t, lumvar_shared> indexed;
    std::string text = "probe";
    bool equal_answer = false;
    int* destroyed = nullptr;

    ~probe_object() override {
        if (destroyed != nullptr) ++*destroyed;
    }
    using lumobject::get_member;
    using lumobject::has_member;
    using lumobject::set_member;
    lumvar_shared get_member(std::string_view name) override {
        auto it = named.find(name);
        return it != named.end() ? it->second : lumobject_base::get_member(name);
    }
    lumvar_shared get_member(int64_t index) override {
        auto it = indexed.find(index);
        return it != indexed.end() ? it->second : lumobject_base::get_member(index);
    }
    void set_member(std::string_view name, lumvar_shared value) override { slot(named[std::string(name)], value); }
    void set_member(int64_t index, lumvar_shared value) override { slot(indexed[index], value); }
    std::string to_string() override { return text; }
    bool compare_zero() override { return text.empty(); }
    int64_t size() override { return static_cast<int64_t>(text.size()); }
    bool compare_equal(const lumvar_shared&) override { return equal_answer; }
    // A real copy, so tests can tell copying from sharing.
    lumptr_strong<lumobject_base> copy() override {
        auto* p = new probe_object();
        p->text = text + "'";
        return lumptr_strong<lumobject_base>(p);
    }

private:
    static void slot(lumvar_shared& s, lumvar_shared value) {
        if (!s) s = lumvar_shared::make();
        s->set(value);
    }
};

// A new probe on the heap, held by a strong handle.
inline lumptr_strong<probe_object> make_probe(const std::string& text = "probe", int* destroyed = nullptr) {
    auto* p = new probe_object();
    p->text = text;
    p->destroyed = destroyed;
    return lumptr_strong<probe_object>(p);
}
// Destroys a probe for every handle at once (as a script's explicit delete does).
inline void kill_probe(probe_object* raw) {
    raw->detach();
    raw->destroy();
}

inline lumvar_shared object_value(lumobject_base* object) { return lumvar_shared::from_object(object); }
inline lumvar_shared str(std::string_view s) { return lumvar_shared::from_string(s); }
inline lumvar_shared num(int64_t i) { return lumvar_shared::from_int(i); }
inline lumvar_shared flt(double d) { return lumvar_shared::from_float(d); }
inline lumvar_shared none() { return lumvar_shared::make(); }
inline lumvar_shared typed(uint8_t t) {
    lumvar_shared v = lumvar_shared::make();
    v->set_type(t);
    return v;
}
inline lumvar_shared bytes(std::vector<uint8_t> b) { return lumvar_shared::from_bytes(b); }
inline lumvar_shared list(std::vector<lumvar_shared> items) {
    lumvar_shared v = lumvar_shared::make();
    lum_std_json* j = v->json_object(true);
    for (auto& i : items) j->push_keyed(std::move(i), "");
    return v;
}
inline lumvar_shared ref_to(const lumvar_shared& target) {
    lumvar_shared v = lumvar_shared::make();
    v->set_ref(target.get());
    return v;
}
// target = value, as a script assignment does.
inline void assign(const lumvar_shared& target, lumvar_shared value) { target->set(value); }
