// std.kernel_struct methods called from C++: arguments given as references,
// and the in-use refusals while a launch holds the buffer (count still answers).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/script/buffer.h"
#include "kernel/script/kernel_struct.h"
#include "kernel/script/module.h"
#include "kernel/script/unit_cache.h"
#include "runtime/namespace.h"
#include "tests/runtime/base_test_support.h"
#include "tests/types/method_call_test_support.h"

namespace {

constexpr const char* in_use = "std.buffer is in use by a running kernel launch (call wait() on the launch first)";

lumptr_strong<lum_std_kernel_struct> struct_p() {
    static lum_namespace* const ns = [] {
        auto* n = new lum_namespace();
        lum_kernel_namespace_init(*n);
        return n;
    }();
    (void)ns;
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    lum_kernel_compile_cached(unit, "struct P { i16 x; i16 y; }", "p.k", &err, {});
    lumptr_strong<lum_std_kernel_struct> s = lum_std_kernel_struct::tables().factory();
    s->unit = unit;
    s->index = 0;
    return s;
}

lumvar_shared ref_to(const lumvar_shared& target) {
    lumvar_shared r = lumvar_shared::make();
    r->set_ref(target.get());
    return r;
}

size_t errors_containing(recording_log& log, const std::string& text) {
    size_t n = 0;
    for (const auto& t : log.texts()) n += t.find(text) != std::string::npos;
    return n;
}

TEST(KernelStructAccess, ReferencesAreFollowedForEveryArgument) {
    auto s = struct_p();
    thread_log_scope scope;
    lumvar_shared buf = lumvar_shared::make_typed(LUMVAR_BINARY);
    buf->buffer_object()->bytes.assign(8, 0);
    lumvar_shared one = lumvar_shared::from_int(1);
    lumvar_shared y = lumvar_shared::from_string("y");
    typetest::call_method(s.get(), "set", {ref_to(buf), ref_to(one), ref_to(y), lumvar_shared::from_int(-2)});
    EXPECT_EQ(typetest::call_method(s.get(), "get", {ref_to(buf), ref_to(one), y})->payload.i, -2);
    EXPECT_EQ(typetest::call_method(s.get(), "read", {buf, ref_to(one)})->type, LUMVAR_JSON);
    lumvar_shared values = lumvar_shared::make_typed(LUMVAR_JSON);
    typetest::call_method(s.get(), "write", {buf, ref_to(one), ref_to(values)});
    EXPECT_EQ(scope.log().texts().size(), 0u);
}

TEST(KernelStructAccess, InUseRefusals) {
    auto s = struct_p();
    thread_log_scope scope;
    lumvar_shared buf = lumvar_shared::make_typed(LUMVAR_BINARY);
    lum_std_buffer* b = buf->buffer_object();
    b->bytes.assign(8, 0);
    lumvar_shared zero = lumvar_shared::from_int(0);
    lumvar_shared x = lumvar_shared::from_string("x");
    lumvar_shared values = lumvar_shared::make_typed(LUMVAR_JSON);

    b->read_locks = 1;  // a const launch: readers go on, writers are refused
    EXPECT_EQ(typetest::call_method(s.get(), "get", {buf, zero, x})->payload.i, 0);
    EXPECT_EQ(typetest::call_method(s.get(), "read", {buf, zero})->type, LUMVAR_JSON);
    typetest::call_method(s.get(), "set", {buf, zero, x, lumvar_shared::from_int(1)});
    typetest::call_method(s.get(), "write", {buf, zero, values});
    EXPECT_EQ(errors_containing(scope.log(), in_use), 2u);

    b->read_locks = 0;
    b->write_locks = 1;  // a writing launch: every access but count is refused
    EXPECT_EQ(typetest::call_method(s.get(), "count", {buf})->payload.i, 2);
    EXPECT_EQ(typetest::call_method(s.get(), "get", {buf, zero, x})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(s.get(), "read", {buf, zero})->type, LUMVAR_NONE);
    typetest::call_method(s.get(), "set", {buf, zero, x, lumvar_shared::from_int(1)});
    typetest::call_method(s.get(), "write", {buf, zero, values});
    EXPECT_EQ(errors_containing(scope.log(), in_use), 6u);
    b->write_locks = 0;
    EXPECT_EQ(b->bytes[0], 0u);
}

}  // namespace
