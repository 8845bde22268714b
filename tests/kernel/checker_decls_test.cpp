// Declarations: structs and cstructs, constants, entry kernels and their
// parameters, results and reductions; the records of the compiled unit;
// size limits; the compile driver with imports.

#include <cmath>

#include "kernel/compiler/compile.h"
#include "kernel/compiler/finalize.h"
#include "tests/kernel/checker_test_util.h"

using namespace ktest;

TEST(CheckerDecls, StructMessages) {
    auto expect = [](const std::string& src, const std::string& needle, const std::string& message, int nth = 0) {
        EXPECT_EQ(error_of(src), at(src, needle, nth) + message) << src;
    };
    expect("struct gid { f32 x; }", "gid", "'gid' is a reserved word");
    expect("struct f32 { f32 x; }", "f32 {", "'f32' is the name of a type");
    expect("struct f32x4 { f32 x; }", "f32x4", "'f32x4' is the name of a type");
    expect("struct bool { f32 x; }", "bool", "'bool' is the name of a type");
    expect("struct A { f32 x; }\nstruct A { f32 y; }", "A { f32 y", "'A' is already declared");
    expect("const i32 A = 1;\nstruct A { f32 y; }", "A {", "'A' is already declared");
    expect("struct A { bool b; }", "bool", "bool fields are not supported (use u8)");
    expect("struct A { f32* p; }", "f32*", "struct fields cannot be pointers");
    expect("struct A { void v; }", "void", "fields cannot be void");
    expect("struct A { Q q; }", "Q", "unknown type 'Q'");
    expect("struct A { B b; }\nstruct B { f32 x; }", "B b", "unknown type 'B'");
    expect("struct A { A a; }", "A a", "unknown type 'A'");
    expect("struct A { f32 x; i32 x; }", "x; }", "field 'x' is already declared in 'A'");
    expect("struct A { f32 x[0]; }", "0]", "array size must be a positive integer constant");
    expect("struct A { f32 x[1048577]; }", "1048577", "array size must be a positive integer constant");
    expect("struct A { u8 a[1048576]; }\nstruct B { A x[1048576]; }", "B", "struct 'B' is too large");
    expect("struct A { u8 a[1048576]; }\nstruct B { A x[2047]; A y; u8 z[1048576]; }", "B", "struct 'B' is too large");
    EXPECT_EQ(error_of("struct A { u8 a[1048576]; }\nstruct B { A x[2047]; }"), "ok");
}

TEST(CheckerDecls, StructLayouts) {
    const compiled c = compile(
        "struct P { u8 a; f64 b; u16 c[3]; }\n"
        "cstruct Q { u8 a; f64 b; u16 c[3]; }\n"
        "cstruct R { u8 t; Q q; u8 u; f32x3 v; }\n"
        "cstruct V { u16 a; u8 b; }\n");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const auto& s = c.unit->structs;
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0].name, "P");
    EXPECT_EQ(s[0].file, "t.k");
    EXPECT_EQ(s[0].size, 15u);
    EXPECT_EQ(s[0].fields[1].offset, 1u);
    EXPECT_EQ(s[0].fields[2].offset, 9u);
    EXPECT_EQ(s[0].fields[2].array_count, 3u);
    EXPECT_EQ(s[0].fields[2].elem_size, 2u);
    EXPECT_EQ(s[0].lane_count, 0);
    EXPECT_EQ(s[1].size, 24u);
    EXPECT_EQ(s[1].fields[1].offset, 8u);
    EXPECT_EQ(s[1].fields[2].offset, 16u);
    EXPECT_EQ(s[2].fields[1].offset, 8u);  // Q aligns to 8
    EXPECT_EQ(s[2].fields[1].prim, LUMK_PRIM_STRUCT);
    EXPECT_EQ(s[2].fields[1].struct_index, 1);
    EXPECT_EQ(s[2].fields[2].offset, 32u);
    EXPECT_EQ(s[2].fields[3].offset, 36u);  // f32x3 aligns to 4
    EXPECT_EQ(s[2].size, 48u);
    EXPECT_EQ(s[3].size, 4u);
    EXPECT_EQ(s[4].name, "f32x3");  // vector records come after every declared struct
    EXPECT_EQ(s[4].size, 12u);
}

TEST(CheckerDecls, Constants) {
    const compiled c = compile(
        "const i64 BIG = 1 << 40;\n"
        "kernel const f32 HALF = 0.5;\n"
        "const u32 MASK = 0xFFu;\n"
        "const f64 ROOT = sqrt(2.0) * f64(MASK);\n"
        "const bool ON = BIG > 5;\n"
        "const i32 N = 4;\n"
        "kernel k(i64* o) { f32 a[N]; o[0] = BIG + N; o[1] = i64(HALF * 4.0); o[2] = i64(ON); }\n");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const auto& k = c.unit->constants;
    ASSERT_EQ(k.size(), 6u);
    EXPECT_EQ(k[0].name, "BIG");
    EXPECT_EQ(k[0].prim, LUMK_PRIM_I64);
    EXPECT_EQ(k[0].bits, 1ull << 40);
    EXPECT_EQ(k[1].prim, LUMK_PRIM_F32);
    EXPECT_EQ(f32_of(k[1].bits), 0.5f);
    EXPECT_EQ(k[2].bits, 255u);
    EXPECT_EQ(f64_of(k[3].bits), std::sqrt(2.0) * 255.0);
    EXPECT_EQ(k[4].bits, 1u);
    buffer o = buffer::of<int64_t>({0, 0, 0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&o}).code, 0);
    EXPECT_EQ(o.as<int64_t>(), (std::vector<int64_t>{(1ll << 40) + 4, 2, 1}));

    auto expect = [](const std::string& src, const std::string& needle, const std::string& message, int nth = 0) {
        EXPECT_EQ(error_of(src), at(src, needle, nth) + message) << src;
    };
    expect("const f32x4 C = 1;", "f32x4", "constants must have a scalar type");
    expect("struct S { f32 x; }\nconst S C = 1;", "S C", "constants must have a scalar type");
    expect("const void C = 1;", "void", "constants must have a scalar type");
    expect("const u32 C = gid;", "gid", "not a constant expression");
    expect("const u8 C = 300;", "300", "integer literal 300 does not fit into u8");
    expect("const i32 A = B;\nconst i32 B = 1;", "B;", "unknown name 'B'");
    expect("const i32 sqrt = 1;\nconst i32 if = 2;", "if", "'if' is a reserved word");
    expect("const i32 u8 = 1;", "u8", "'u8' is the name of a type");
    expect("const i32 A = 1;\nconst i32 A = 2;", "A = 2", "'A' is already declared");
    expect("const i32 A = 7 / 0;", "/", "division by zero");
    // equal values share one pool entry: a statement repeated adds none
    const compiled twice = compile("kernel k(f64* o) { o[1] = 7.5; o[1] = 7.5; }");
    ASSERT_TRUE(twice.ok()) << twice.err.message;
    const auto& ks = twice.unit->programs[0]->constants;
    for (size_t i = 0; i < ks.size(); ++i)
        for (size_t j = 0; j < i; ++j) EXPECT_FALSE(ks[i].prim == ks[j].prim && ks[i].bits == ks[j].bits) << i;
}

TEST(CheckerDecls, KernelDeclarationMessages) {
    auto expect = [](const std::string& src, const std::string& needle, const std::string& message, int nth = 0) {
        EXPECT_EQ(error_of(src), at(src, needle, nth) + message) << src;
    };
    expect("kernel k() {}\nkernel k() {}", "k()", "kernel 'k' is already declared", 1);
    expect("kernel k() {}\nkernel inline k() {}", "k()", "kernel 'k' is already declared", 1);
    expect("kernel gid() {}", "gid", "'gid' is a reserved word");
    expect("kernel k(void x) {}", "void", "parameters cannot be void");
    expect("kernel k(bool* x) {}", "bool", "bool* is not supported (use u8*)");
    expect("kernel k(Q* x) {}", "Q", "unknown type 'Q'");
    expect("struct S { f32 x; }\nkernel k(S s) {}", "S s", "entry kernel parameters of type S must be pointers ('const S* name')");
    expect("kernel k(f32x4 v) {}", "f32x4", "entry kernel parameters of type f32x4 must be pointers ('const f32x4* name')");
    expect("kernel k(i32 a, f32 a) {}", "a)", "'a' is already declared in this scope");
    expect("kernel k(i32 gsize) {}", "gsize", "'gsize' is a reserved word");
    expect("kernel k() -> f32* reduce(+) {}", "f32*", "kernels cannot return pointers");
    expect("kernel k() -> Q reduce(+) {}", "Q", "unknown type 'Q'");
    expect("kernel k() -> i32 {}", "i32", "a kernel with a result needs a reduction ('-> T reduce(+)')");
    expect("kernel k() -> u8 reduce(+) {}", "+)", "'+' cannot reduce u8");
    expect("kernel k() -> f32 reduce(&) {}", "&", "'&' cannot reduce f32");
    expect("kernel k() -> f64 reduce(^) {}", "^", "'^' cannot reduce f64");
    expect("kernel k() -> bool reduce(min) {}", "min", "'min' cannot reduce bool");
    expect("kernel k() -> bool reduce(+) {}", "+)", "'+' cannot reduce bool");
    expect("struct S { f32 x; }\nkernel k() -> S reduce(+) {}", "+)", "'+' cannot reduce S");
    expect("struct S { f32 x; }\nkernel k() -> S reduce(zz: +) {}", "zz", "struct 'S' has no field 'zz'");
    expect("struct S { f32 x; }\nkernel k() -> S reduce(x: +, x: min) {}", "x: min", "field 'x' is reduced twice");
    expect("struct S { u8 t[4]; }\nkernel k() -> S reduce(t: +) {}", "+)", "'+' cannot reduce u8[4]");
    expect("struct S { u8 t; }\nkernel k() -> S reduce(t: max) {}", "max", "'max' cannot reduce u8");
    expect("struct I { i32 a; }\nstruct S { I i; }\nkernel k() -> S reduce(i: +) {}", "+)", "'+' cannot reduce I");
    expect("kernel k() -> i32 reduce(a: +) {}", "reduce", "reduce(field: op) needs a struct or vector result");
    expect("kernel k() -> void reduce(+) {}", "+)", "'+' cannot reduce void");
    // kernels are checked in source order: an entry kernel's error comes before a later helper's
    expect("kernel k() { zz = 1; }\nkernel inline h(Q q) {}", "zz", "unknown name 'zz'");
    expect("kernel inline h(Q q) {}\nkernel k() { zz = 1; }", "Q", "unknown type 'Q'");
    EXPECT_EQ(error_of("kernel k() -> void { return; }"), "ok");
}

TEST(CheckerDecls, ResultTypeTextCarriesTheReduceClause) {
    const struct {
        const char* decl;
        const char* text;
    } cases[] = {
        {"kernel k() {}", "void"},
        {"kernel k() -> i64 reduce(+) { return 1; }", "i64 reduce(+)"},
        {"kernel k() -> u32 reduce(^) { return 1u; }", "u32 reduce(^)"},
        {"kernel k() -> bool reduce(&) { return true; }", "bool reduce(&)"},
        {"kernel k() -> f32 reduce(min) { return 1.0f; }", "f32 reduce(min)"},
        {"struct R { f64 sum; u32 n; }\nkernel k() -> R reduce(sum: +, n: max) { return {1.0, 1u}; }",
         "R reduce(sum: +, n: max)"},
        {"kernel k() -> f32x2 reduce(y: min) { return {1.0f, 2.0f}; }", "f32x2 reduce(y: min)"},
    };
    for (const auto& tc : cases) {
        const compiled c = compile(tc.decl);
        ASSERT_TRUE(c.ok()) << tc.decl << ": " << c.err.message;
        EXPECT_EQ(program(c, "k").result_type_text, tc.text) << tc.decl;
    }
}

TEST(CheckerDecls, ProgramSizeLimits) {
    // too many constants: every value of the list is a new one
    std::string consts = "kernel k() { f64 a[28700] = {";
    for (int i = 0; i < 28700; ++i) consts += std::to_string(i) + ".5, ";
    consts += "}; }";
    EXPECT_NE(error_of(consts).find("kernel is too large (too many constants)"), std::string::npos);
}
