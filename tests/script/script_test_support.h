// Kernel script objects driven from C++ the way the interpreter drives them:
// functions of namespace "std" and registered methods called with an argument
// list, member reads on the object, and run-time errors collected as the text
// that `try` would print (without the frame). A session owns a host VM with two
// workers (launches use three threads) and the thread's recording logger.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_print.h"
#include "host/host_vm.h"
#include "kernel/script/buffer.h"
#include "kernel/script/kernel_unit.h"
#include "kernel/script/memory.h"
#include "kernel/script/module.h"
#include "runtime/namespace.h"
#include "tests/runtime/base_test_support.h"
#include "tests/types/method_call_test_support.h"
#include "types/json_object.h"

namespace kst {

using V = lumvar_shared;

// What registering the classes logged: a class without its own factory is reported.
inline std::string& registration_log() {
    static std::string text;
    return text;
}

// Namespace "std" with the kernel functions and std.buffer (registers the classes once).
inline lum_namespace& std_ns() {
    static lum_namespace* const ns = [] {
        thread_log_scope scope;
        scope.log().level_mask = LUM_LOG_REGISTRATION;
        auto* n = new lum_namespace();
        lum_kernel_namespace_init(*n);
        lum_std_buffer_namespace_init(*n);
        for (const auto& t : scope.log().texts()) registration_log() += t;
        return n;
    }();
    return *ns;
}

inline V val(const V& v) { return v; }
inline V val(int v) { return V::from_int(v); }
inline V val(int64_t v) { return V::from_int(v); }
inline V val(size_t v) { return V::from_int(static_cast<int64_t>(v)); }
inline V val(double v) { return V::from_float(v); }
inline V val(const char* v) { return V::from_string(v); }
inline V val(const std::string& v) { return V::from_string(v); }

// A json value parsed from text ("[4, 3]", "{\"m\": 5}").
inline V json(std::string_view text) {
    V v = V::make();
    EXPECT_TRUE(v->json_object(true)->from_string(text, false)) << text;
    return v;
}

// A json list of the values ([a, b, ...]).
template <class... A>
V list(const A&... a) {
    V v = V::make();
    lum_std_json* l = v->json_object(true);
    (l->push_keyed(val(a), ""), ...);
    return v;
}

// std.NAME(args...) after the interpreter's argument-count check.
template <class... A>
V fn(std::string_view name, const A&... a) {
    std::vector<V> args{val(a)...};
    for (lum_function_def* def : std_ns().functions) {
        if (def->name != name) continue;
        EXPECT_GE(args.size(), def->min_args) << name;
        EXPECT_LE(args.size(), def->max_args) << name;
        lum_vm_context context;
        return def->callable(context, args);
    }
    ADD_FAILURE() << "no function std." << name;
    return V::make();
}

// self.NAME(args...).
template <class... A>
V m(const V& self, std::string_view name, const A&... a) {
    lumobject_base* object = self->object_raw();
    if (object == nullptr) ADD_FAILURE() << "no object for ." << name << "()";
    return object ? typetest::call_method(object, name, {val(a)...}) : V::make();
}

// self.NAME (a member read: kernels, structs and constants of a unit).
inline V get(const V& self, std::string_view name) {
    lumobject_base* object = self->object_raw();
    if (object == nullptr) ADD_FAILURE() << "no object for ." << name;
    return object ? object->get_member(name) : V::make();
}

// What print writes for the arguments, without the line feed; json is shown
// on one line (the print form without its line feeds and indentation).
template <class... A>
std::string show(const A&... a) {
    std::string line = lum_print_line({val(a)...});
    line.pop_back();
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\n') {
            out += line[i];
            continue;
        }
        while (i + 1 < line.size() && line[i + 1] == ' ') ++i;
    }
    return out;
}

// The messages of the run-time errors raised since the last call, one line
// each ("" when none); clears them.
inline std::string errors() {
    auto* log = dynamic_cast<recording_log*>(lum_get_thread_local().logger.get());
    if (log == nullptr) return "<no recording log>";
    std::string out;
    for (const auto& e : log->entries()) {
        if (e.level != LUM_LOG_ERROR) continue;
        const size_t rule = e.text.find('\n', 1) - 1;
        out += (out.empty() ? "" : "\n") + e.text.substr(rule + 2, e.text.size() - 2 * rule - 5);
    }
    log->clear();
    return out;
}
// The errors that evaluating `result` raised: EXPECT_EQ(fails(m(b, "resize", -1)), "...").
inline std::string fails(const V&) { return errors(); }

// Foreign kernel memory lent by an object: 8 bytes, read-only unless
// `allow_write`, with its lock counts; it may throw from get_memory or refuse
// to count a new lock (but counts its removal).
class fake_memory : public lumobject<fake_memory, CLASS_STRING<"test.bitmap">>, public lum_kernel_memory {
public:
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bool allow_write = true, throw_on_get = false, refuse_lock = false;
    int readers = 0, writers = 0;
    void* get_interface(uint64_t id) override {
        return id == lum_kernel_memory_type_id() ? static_cast<lum_kernel_memory*>(this) : nullptr;
    }
    bool get_memory(uint8_t** data, uint64_t* size, bool writable) override {
        if (throw_on_get) throw std::runtime_error("device lost");
        if (writable && !allow_write) return false;
        *data = bytes;
        *size = sizeof bytes;
        return true;
    }
    void add_lock(bool writable, int32_t delta) override {
        if (delta > 0 && refuse_lock) throw std::runtime_error("lock table full");
        (writable ? writers : readers) += delta;
    }
    bool is_in_use(bool writable) override { return writers != 0 || (writable && readers != 0); }
};

struct session {
    lum_host_vm host{[] {
        lum_host_vm_options o;
        o.workers = 2;
        return o;
    }()};
    thread_log_scope log;
    session() { std_ns(); }
    ~session() { EXPECT_EQ(errors(), "") << "errors nobody checked"; }
};

// std.kernel_compile(source, file) that must succeed.
inline V compile(std::string_view source, std::string_view file = "test.k") {
    V u = fn("kernel_compile", std::string(source), std::string(file));
    EXPECT_EQ(u->type, LUMVAR_OBJECT) << errors();
    return u;
}

inline V buffer(size_t bytes) {
    V b = fn("buffer");
    lumvar_to_std_buffer(b.get())->bytes.assign(bytes, 0);
    return b;
}

}  // namespace kst
