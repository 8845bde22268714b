// Helpers of the value-layer tests: a fixture with a real host VM owned by the
// test thread (so cells, records and objects come from its pools) and a
// recording thread logger, plus a small native class whose members are a map.
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

class vm_test : public ::testing::Test {
protected:
    lum_host_vm host;
    thread_log_scope logs;

    lum_vm& vm() { return host.vm(); }
    recording_log& log() { return logs.log(); }
    std::vector<std::string> at_level(uint32_t level) {
        std::vector<std::string> out;
        for (auto& e : log().entries())
            if (e.level == level) out.push_back(e.text);
        return out;
    }
    std::vector<std::string> warnings() { return at_level(LUM_LOG_WARNING); }
    std::vector<std::string> errors() { return at_level(LUM_LOG_ERROR); }
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
        if (it != named.end()) return it->second;
        return lumobject_base::get_member(name);
    }
    lumvar_shared get_member(int64_t index) override {
        auto it = indexed.find(index);
        if (it != indexed.end()) return it->second;
        return lumobject_base::get_member(index);
    }
    void set_member(std::string_view name, lumvar_shared value) override {
        auto& slot = named[std::string(name)];
        if (!slot) slot = lumvar_shared::make();
        slot->set(value);
    }
    void set_member(int64_t index, lumvar_shared value) override {
        auto& slot = indexed[index];
        if (!slot) slot = lumvar_shared::make();
        slot->set(value);
    }
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
};

// A new probe on the heap, held by a strong handle.
inline lumptr_strong<probe_object> make_probe(const std::string& text = "probe", int* destroyed = nullptr) {
    auto* p = new probe_object();
    p->text = text;
    p->destroyed = destroyed;
    return lumptr_strong<probe_object>(p);
}

// An object value holding `object`.
inline lumvar_shared object_value(lumobject_base* object) { return lumvar_shared::from_object(object); }
