// Kernel objects that only the class registry's factory made (no compiled
// unit): every method refuses with an error and never reads through a null
// entry; the text form of such a kernel stays "kernel".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_struct.h"
#include "kernel/script/kernel_unit.h"
#include "kernel/script/module.h"
#include "runtime/namespace.h"
#include "tests/runtime/base_test_support.h"
#include "tests/types/method_call_test_support.h"

namespace {

void register_classes() {
    static lum_namespace* const ns = [] {
        auto* n = new lum_namespace();
        lum_kernel_namespace_init(*n);
        return n;
    }();
    (void)ns;
}

size_t errors_containing(recording_log& log, const std::string& text) {
    size_t n = 0;
    for (const auto& t : log.texts()) n += t.find(text) != std::string::npos;
    return n;
}

TEST(KernelBareObjects, KernelMethodsRefuse) {
    register_classes();
    thread_log_scope scope;
    lumptr_strong<lum_std_kernel> k = lum_std_kernel::tables().factory();
    EXPECT_EQ(k->to_string(), "kernel");
    const std::vector<std::string> methods = {"disasm", "jit_status", "jit_source", "name", "params", "returns"};
    for (const auto& m : methods) EXPECT_EQ(typetest::call_method(k.get(), m, {})->type, LUMVAR_NONE) << m;
    EXPECT_EQ(typetest::call_method(k.get(), "launch", {lumvar_shared::from_int(1)})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(k.get(), "launch_async", {lumvar_shared::from_int(1)})->type, LUMVAR_NONE);
    EXPECT_EQ(errors_containing(scope.log(), "std.kernel has no compiled kernel"), methods.size() + 2);
}

TEST(KernelBareObjects, StructMethodsRefuse) {
    register_classes();
    thread_log_scope scope;
    lumptr_strong<lum_std_kernel_struct> s = lum_std_kernel_struct::tables().factory();
    lumvar_shared buf = lumvar_shared::make_typed(LUMVAR_BINARY);
    lumvar_shared zero = lumvar_shared::from_int(0);
    lumvar_shared x = lumvar_shared::from_string("x");
    EXPECT_EQ(typetest::call_method(s.get(), "size", {})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(s.get(), "fields", {})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(s.get(), "offset", {x})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(s.get(), "get", {buf, zero, x})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(s.get(), "read", {buf, zero})->type, LUMVAR_NONE);
    EXPECT_EQ(errors_containing(scope.log(), "std.kernel_struct has no struct"), 5u);
}

TEST(KernelBareObjects, UnitWithoutCompiledUnitIsEmpty) {
    register_classes();
    lumptr_strong<lum_std_kernel_unit> u = lum_std_kernel_unit::tables().factory();
    EXPECT_EQ(typetest::call_method(u.get(), "get", {lumvar_shared::from_string("k")})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(u.get(), "kernels", {})->size(), 0);
    EXPECT_EQ(typetest::call_method(u.get(), "structs", {})->size(), 0);
    EXPECT_EQ(typetest::call_method(u.get(), "constants", {})->size(), 0);
    EXPECT_EQ(typetest::call_method(u.get(), "disasm", {})->to_std_string(), "");
    lumptr_strong<lum_std_kernel_job> j = lum_std_kernel_job::tables().factory();
    EXPECT_EQ(typetest::call_method(j.get(), "wait", {})->type, LUMVAR_NONE);
    EXPECT_EQ(typetest::call_method(j.get(), "done", {})->payload.i, 0);
}

// Methods in registration order with their argument ranges: scripts see the
// order in member listings and the runtime refuses calls outside the range.
template <class T>
std::string method_table() {
    std::string out;
    for (const auto& m : T::tables().members) {
        const lum_function_def* f = m->static_value();
        out += std::string(f->name) + " " + std::to_string(f->min_args) + "-" + std::to_string(f->max_args) + "\n";
    }
    return out;
}

TEST(KernelRegistration, MethodsInOrderWithTheirArgumentRanges) {
    register_classes();
    EXPECT_EQ(method_table<lum_std_kernel_unit>(),
              "get 1-1\nkernels 0-0\nstructs 0-0\nconstants 0-0\ndisasm 0-0\n");
    EXPECT_EQ(method_table<lum_std_kernel>(),
              "launch 1-999\nlaunch_async 1-999\ndisasm 0-0\njit_status 0-0\njit_source 0-0\nname 0-0\n"
              "params 0-0\nreturns 0-0\n");
}

}  // namespace
