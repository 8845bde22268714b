// Kernel objects that only the class registry's factory made (no compiled
// unit): every method refuses with an error and never reads through a null
// entry; the text form of such a kernel stays "kernel".

#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_struct.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

size_t errors_containing(recording_log& log, const std::string& text) {
    size_t n = 0;
    for (const auto& t : log.texts()) n += t.find(text) != std::string::npos;
    return n;
}

TEST(KernelBareObjects, KernelMethodsRefuse) {
    std_ns();
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
    std_ns();
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
    std_ns();
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

// Methods and std functions in registration order with their argument ranges: scripts see the
// order in member listings and the runtime refuses calls outside the range.
std::string range(const lum_function_def* f) {
    return std::string(f->name) + " " + std::to_string(f->min_args) + "-" + std::to_string(f->max_args) + "\n";
}
template <class T>
std::string method_table() {
    std::string out;
    for (const auto& m : T::tables().members) out += range(m->static_value());
    return out;
}

TEST(KernelRegistration, MethodsInOrderWithTheirArgumentRanges) {
    std_ns();
    EXPECT_EQ(method_table<lum_std_kernel_unit>(),
              "get 1-1\nkernels 0-0\nstructs 0-0\nconstants 0-0\ndisasm 0-0\n");
    EXPECT_EQ(method_table<lum_std_kernel>(),
              "launch 1-999\nlaunch_async 1-999\ndisasm 0-0\njit_status 0-0\njit_source 0-0\nname 0-0\n"
              "params 0-0\nreturns 0-0\n");
    EXPECT_EQ(method_table<lum_std_buffer>(),
              "size 0-0\nclear 0-0\nresize 1-2\nfill 1-1\npush 1-999\nappend 1-1\nstring 0-2\nread 2-2\nwrite 3-3\n");
    EXPECT_EQ(method_table<lum_std_kernel_struct>(),
              "size 0-0\nname 0-0\nfields 0-0\noffset 1-1\ncount 1-1\nget 3-3\nset 4-4\nread 2-2\nwrite 3-3\n");
    EXPECT_EQ(method_table<lum_std_kernel_job>(), "wait 0-0\ndone 0-0\n");
    std::string functions;
    for (const lum_function_def* f : std_ns().functions) functions += range(f);
    EXPECT_EQ(functions, "kernel_compile 1-64\nkernel_threads 0-1\nkernel_jit 0-1\nkernel_aot_source 1-64\n"
                         "kernel_aot_load 1-1\nkernel_jit_compiler 0-0\nkernel_mode 0-1\nbuffer 0-0\n");
}

}  // namespace
