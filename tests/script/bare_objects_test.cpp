// Kernel objects that only the class registry's factory made (no compiled
// unit): every method refuses with an error and never reads through a null
// entry; the text form of such a kernel stays "kernel".

#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_struct.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

template <class T>
V bare() {
    lumptr_strong<T> object = T::tables().factory();
    return V::from_object(object.get());
}

std::string repeated(const std::string& line, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? "\n" : "") + line;
    return out;
}

TEST(KernelBareObjects, KernelMethodsRefuse) {
    session s;
    V k = bare<lum_std_kernel>();
    EXPECT_EQ(show(k, m(k, "disasm"), m(k, "jit_status"), m(k, "jit_source"), m(k, "name"), m(k, "params"),
                   m(k, "returns"), m(k, "launch", 1), m(k, "launch_async", 1)),
              "kernel        ");
    EXPECT_EQ(errors(), repeated("std.kernel has no compiled kernel", 8));
}

TEST(KernelBareObjects, StructMethodsRefuse) {
    session s;
    V st = bare<lum_std_kernel_struct>(), b = buffer(4);
    EXPECT_EQ(show(m(st, "size"), m(st, "name"), m(st, "fields"), m(st, "offset", "x"), m(st, "count", b),
                   m(st, "get", b, 0, "x"), m(st, "set", b, 0, "x", 1), m(st, "read", b, 0), m(st, "write", b, 0, json("{}"))),
              "        ");
    EXPECT_EQ(errors(), repeated("std.kernel_struct has no struct", 9));
}

TEST(KernelBareObjects, UnitWithoutCompiledUnitIsEmpty) {
    session s;
    V u = bare<lum_std_kernel_unit>(), j = bare<lum_std_kernel_job>();
    EXPECT_EQ(show(m(u, "get", "k"), m(u, "kernels"), m(u, "structs"), m(u, "constants"), "[" + m(u, "disasm")->to_std_string() + "]"),
              " {} {} {} []");
    EXPECT_EQ(show(m(j, "wait"), m(j, "done")), " 0");
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
    EXPECT_EQ(registration_log().find("does not implement"), std::string::npos) << registration_log();
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
