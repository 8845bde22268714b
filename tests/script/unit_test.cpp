// std.kernel_compile and its imports, std.kernel_unit lookups, std.kernel
// inspection, constants as script values, compile errors, and the settings
// functions kernel_threads / kernel_jit / kernel_mode / kernel_aot_*.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "kernel/exec/native_driver.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

constexpr const char* source =
    "struct Pos { f32 x; f32 y; }\nconst u64 BIG = 18446744073709551615;\nconst bool YES = true;\n"
    "const f32 HALF = 0.5f;\nconst i32 NEG = -3;\n"
    "kernel scale(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid]; }\n"
    "kernel total(const i32* v) -> i64 reduce(+) { return i64(v[gid]); }\nkernel none() { }\n";

bool has(const V& text, const char* part) { return text->to_std_string().find(part) != std::string::npos; }

TEST(KernelUnit, LookupsAndInspection) {
    session s;
    V u = compile(source, "units.k");
    EXPECT_EQ(show(u, m(u, "kernels"), m(u, "structs"), m(u, "constants")),
              "std.kernel_unit [\"scale\",\"total\",\"none\"] [\"Pos\"] [\"BIG\",\"YES\",\"HALF\",\"NEG\"]");
    EXPECT_EQ(show(get(u, "BIG"), get(u, "YES"), get(u, "HALF"), get(u, "NEG"), m(u, "get", "HALF")),
              "-1 1 0.500000 -3 0.500000");
    V k = get(u, "scale");
    EXPECT_EQ(show(k, m(k, "name"), m(k, "params"), m(k, "returns")),
              "kernel scale scale [{\"name\": \"y\",\"type\": \"f32*\"},{\"name\": \"x\",\"type\": \"const f32*\"},"
              "{\"name\": \"a\",\"type\": \"f32\"}] void");
    EXPECT_EQ(show(m(get(u, "total"), "returns"), m(get(u, "none"), "params"), m(get(u, "none"), "returns")),
              "i64 reduce(+) {} void");
    V st = compile("struct S { f64 sum; u32 n; }\nkernel s(const f64* v) -> S reduce(sum: +, n: +) { return {v[gid], 1u}; }");
    EXPECT_EQ(show(m(get(st, "s"), "returns")), "S reduce(sum: +, n: +)");
    EXPECT_EQ(show(m(u, "get", "total"), m(get(u, "Pos"), "name")), "kernel total Pos");
    EXPECT_EQ(fails(get(u, "missing")), "the kernel source has no kernel, struct or constant 'missing'");
    EXPECT_EQ(fails(m(u, "get", "nothing")), "the kernel source has no kernel, struct or constant 'nothing'");
    u.reset();  // a kernel outlives its unit object
    EXPECT_EQ(show(m(k, "name"), m(k, "disasm")->to_std_string().find("kernel scale(")), "scale 0");
    EXPECT_TRUE(has(m(k, "jit_source"), "lumk_jit_entry"));
    EXPECT_EQ(m(k, "jit_status")->type, LUMVAR_STRING);
    EXPECT_TRUE(has(m(compile(source, "units.k"), "disasm"), "kernel none()"));
}

TEST(KernelUnit, CompileErrorsAndImports) {
    session s;
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k() {\n\n  i32 x = ;\n}", "f.k")),
              "kernel compile error at f.k:3:11: expected an expression but got ';'\n      i32 x = ;");
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k( {")), "kernel compile error at <kernel>:1:11: expected a type but got '{'\n    kernel k( {");
    const std::string imports =
        "kernel_compile: imports must be std.kernel_unit objects (the result of std.kernel_compile or __lum_kernel_unit)";
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k() { }", 5)), imports);
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k() { }", "a.k", json("[[1]]"))), imports);
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k() { }", "a.k", "text")), imports);
    EXPECT_EQ(fails(fn("kernel_compile", "kernel k() { }", "a.k", fn("buffer"))), imports);
    V base = compile("struct V { i32 a; }\nconst i32 TEN = 10;\nkernel inline twice(i32 x) -> i32 { return 2 * x; }", "base.k");
    EXPECT_EQ(show(m(base, "structs"), m(base, "kernels")), "[\"V\"] {}");
    const char* user = "kernel use(V* v) { v[gid].a = twice(TEN); }";
    V one = fn("kernel_compile", user, "user.k", base);
    EXPECT_EQ(show(m(one, "kernels"), m(one, "structs"), m(one, "constants")), "[\"use\"] [\"V\"] [\"TEN\"]");
    EXPECT_EQ(fails(fn("kernel_compile", user, "user.k", json("[]"))),  // an empty list imports nothing
              "kernel compile error at user.k:1:12: unknown type 'V'\n    kernel use(V* v) { v[gid].a = twice(TEN); }");
    V b = buffer(4);
    m(get(fn("kernel_compile", user, list(base)), "use"), "launch", 1, b);  // no file name: imports follow the source
    EXPECT_EQ(show(m(b, "read", "i32", 0)), "20");
    EXPECT_EQ(fails(fn("kernel_compile", user, V::make(), base)), imports);  // not a file name: an import
    EXPECT_EQ(fails(fn("kernel_compile", user, "u.k", list(base, 1))), imports);
    V only = fn("kernel_compile", "struct Only { u8 b; }", "only.k", json("[]"));
    EXPECT_EQ(show(m(only, "kernels"), "[" + m(only, "disasm")->to_std_string() + "]"), "{} []");
}

TEST(KernelUnit, SettingsFunctions) {
    session s;
    std::string seen;
    for (V n : {V::make(), val(1), val(-5), val(100000), val(0)})
        seen += show(n->type == LUMVAR_NONE ? fn("kernel_threads") : fn("kernel_threads", n)) + " ";
    EXPECT_EQ(seen, "3 1 3 3 3 ");
    seen.clear();
    for (const char* p : {"", "off", "", "sync", "auto"}) seen += show(*p ? fn("kernel_jit", p) : fn("kernel_jit")) + " ";
    EXPECT_EQ(seen, "auto off off sync auto ");
    EXPECT_EQ(fails(fn("kernel_jit", "Sync")), "kernel_jit expects 'auto', 'sync' or 'off'");
    seen.clear();
    for (const char* p : {"", "scalar", "batch", "auto"}) seen += show(*p ? fn("kernel_mode", p) : fn("kernel_mode")) + " ";
    EXPECT_EQ(seen, "auto scalar batch auto ");
    EXPECT_EQ(fails(fn("kernel_mode", "fast")), "kernel_mode expects 'auto', 'scalar' or 'batch'");
    EXPECT_EQ(fn("kernel_jit_compiler")->type, LUMVAR_STRING);
}

TEST(KernelUnit, AheadOfTimeSource) {
    session s;
    const std::string kinds = "kernel_aot_source expects kernels (std.kernel), units (std.kernel_unit) or lists of them";
    V u = compile(source, "units.k");
    EXPECT_EQ(fails(fn("kernel_aot_source", 5)), kinds);
    EXPECT_EQ(fails(fn("kernel_aot_source", json("[[1]]"))), kinds);
    lumptr_strong<lum_std_kernel> bare = lum_std_kernel::tables().factory();
    EXPECT_EQ(fails(fn("kernel_aot_source", get(u, "scale"), u, V::from_object(bare.get()))), kinds);
    V scale = fn("kernel_aot_source", get(u, "scale"));
    V all = fn("kernel_aot_source", get(u, "scale"), json("[]"));
    EXPECT_EQ(scale->to_std_string(), all->to_std_string());
    V both = fn("kernel_aot_source", list(list(u)));
    EXPECT_TRUE(has(both, "total") && has(both, "none") && !has(scale, "total"));
    EXPECT_EQ(fn("kernel_aot_source", json("[]"))->to_std_string(), fn("kernel_aot_source", json("[[]]"))->to_std_string());
    // the path as given, with the system's reason where the platform gives one
    const std::string not_loaded = fails(fn("kernel_aot_load", "/nonexistent/lib.so"));
    EXPECT_EQ(not_loaded.rfind("kernel_aot_load: cannot load /nonexistent/lib.so", 0), 0u) << not_loaded;
    const std::string cc = fn("kernel_jit_compiler")->to_std_string();
    if (cc.empty()) GTEST_SKIP() << "no C compiler for the library round trip";
    // Libraries built from the text load with the number of kernels they hold.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("lum_script_aot_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    for (const V& text : {both, fn("kernel_aot_source", json("[]"))}) {
        const std::string c = (dir / "k.c").string(), lib = (dir / ("k" + std::to_string(text->size()) + ".so")).string();
        std::ofstream(c) << text->to_std_string();
        ASSERT_EQ(std::system((cc + " " + lumk_jit_flags_cc + " -O0 -DLUMK_AOT_SHARED -o '" + lib + "' '" + c + "'").c_str()), 0);
        EXPECT_EQ(show(fn("kernel_aot_load", lib)), text.get() == both.get() ? "3" : "0");
    }
    EXPECT_EQ(show(m(get(u, "total"), "launch", 0, buffer(0))), "0");
    EXPECT_EQ(show(m(get(u, "total"), "jit_status")), "aot");
    std::filesystem::remove_all(dir);
}

}  // namespace
