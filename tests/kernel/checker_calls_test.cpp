// Calls: conversions, vector constructors, builtins, atomic_add and the
// expansion of inline helpers.

#include <cmath>

#include "tests/kernel/checker_test_util.h"

using namespace ktest;

namespace {

const std::string kPre =
    "struct S { f32 a; i32 n; }\n"
    "kernel inline h(i32 x) -> i32 { return x + 1; }\n"
    "kernel other() {}\n"
    "kernel k(f32* p, const i32* cip, i32* ip, i32 n, bool b, f32 f, f64 d, S* sp) {\n";

std::string K(const std::string& body) { return kPre + body + "\n}\n"; }

#define BODY_ERROR(body, needle, message) EXPECT_COMPILE_ERROR(K(body), body, needle, message)

}  // namespace

TEST(CheckerCalls, CallMessages) {
    BODY_ERROR("i32 x = void(1);", "void", "cannot convert to void");
    BODY_ERROR("i32 x = i32(1, 2);", "i32(", "'i32' expects 1 argument but got 2");
    BODY_ERROR("S t = S(1);", "S(", "structs have no constructor, write 'S v = {...};'");
    BODY_ERROR("f32 x = min(1);", "min", "'min' expects 2 arguments but got 1");
    BODY_ERROR("f32 x = clamp(f, f);", "clamp", "'clamp' expects 3 arguments but got 2");
    BODY_ERROR("f32x2 v = min(f32x2(1.0), f32x3(1.0));", "min", "'min' needs vectors of the same size");
    BODY_ERROR("f32x2 v = cross(f32x2(1.0), f32x2(1.0));", "cross", "'cross' needs vectors with 3 components");
    BODY_ERROR("f32 x = length(i32x2(1));", "length", "'length' needs a float vector (f32x2 .. f64x4)");
    BODY_ERROR("f32 x = length(f);", "length", "'length' needs a vector");
    BODY_ERROR("f32 x = dot(f32x2(1.0), f32x3(1.0));", "dot", "'dot' needs two vectors of the same size");
    BODY_ERROR("f32 x = dot(f32x2(1.0));", "dot", "'dot' expects 2 arguments but got 1");
    BODY_ERROR("foo(1);", "foo", "unknown function 'foo'");
    BODY_ERROR("other();", "other",
               "'other' is an entry kernel and cannot be called from kernel code (declare helpers with 'kernel inline')");
    BODY_ERROR("i32 x = h(1, 2);", "h(", "'h' expects 1 argument but got 2");
    BODY_ERROR("i32 x = h();", "h(", "'h' expects 1 argument but got 0");
    BODY_ERROR("i64 x = abs(-9223372036854775807 - 1);", "abs", "integer constant overflow");
    BODY_ERROR("i32 x = abs(b);", "abs", "'abs' needs a number");
    BODY_ERROR("f32 x = sqrt(2);", "2)", "'sqrt' needs f32 or f64 but got a integer literal (convert with f32(x))");
    BODY_ERROR("f32 x = floor(n);", "n)", "'floor' needs f32 or f64 but got a i32 (convert with f32(x))");
    BODY_ERROR("f32 x = pow(f, 2);", "2)", "'pow' needs f32 or f64 but got a integer literal (convert with f32(x))");
    BODY_ERROR("f32 x = min(p, 1.0);", "min", "min / max / clamp need numbers");
    BODY_ERROR("bool c = max(b, b);", "max", "min / max / clamp need numbers");
    BODY_ERROR("i32 x = min(n, f);", "min", "cannot mix i32 and f32 in 'min', convert one side explicitly (e.g. i32(x))");
    BODY_ERROR("f32 x = f32();", "f32(", "'f32' expects 1 argument but got 0");
}

TEST(CheckerCalls, AtomicAddMessages) {
    BODY_ERROR("atomic_add(n, 1);", "n,", "atomic_add needs a memory location ('atomic_add(p[i], v)')");
    BODY_ERROR("atomic_add(sp[0], 1);", "[", "atomic_add needs a memory location ('atomic_add(p[i], v)')");
    BODY_ERROR("atomic_add(p[0], 1.0);", "[", "atomic_add supports i32, u32, i64 and u64 memory, not f32");
    BODY_ERROR("atomic_add(cip[0], 1);", "[", "cannot write through a const pointer");
    BODY_ERROR("atomic_add(ip[0], 1.5);", "1.5", "a float literal cannot be converted to i32 implicitly, write i32(...)");
    BODY_ERROR("atomic_add(ip[0]);", "atomic_add", "'atomic_add' expects 2 arguments but got 1");
}

TEST(CheckerCalls, MinMaxClampAbs) {
    EXPECT_EQ(eval("i32", "min(3, 5)"), 3u);
    EXPECT_EQ(eval("i64", "max(3, 5000000000)"), 5000000000ull);  // literals stay untyped
    EXPECT_EQ(eval("i32", "clamp(17, 0, 10)"), 10u);
    EXPECT_EQ(eval("i32", "min(i8(-5), i16(3))"), static_cast<uint64_t>(-5));
    EXPECT_EQ(eval("u32", "max(4000000000u, 5u)"), 4000000000u);
    EXPECT_EQ(eval("i64", "abs(-7)"), 7u);
    EXPECT_EQ(eval("i32", "abs(i8(-128))"), 128u);
    EXPECT_EQ(eval("i32", "abs(i32(-2147483647 - 1))"), 0xFFFFFFFF80000000ull);  // wraps like ABS_I32
    EXPECT_EQ(f64_of(eval("f64", "abs(-2.5)")), 2.5);

    const compiled c = compile(
        "kernel k(const f32* x, f32* o, const u32* w, u32* v, const i32* a, i32* r) {\n"
        "  o[0] = min(x[0], x[1]); o[1] = min(x[1], x[0]); o[2] = max(x[2], x[3]);\n"
        "  o[3] = clamp(x[4], 0.0, 1.0); o[4] = abs(x[5]);\n"
        "  v[0] = abs(w[0]); v[1] = min(w[0], 7u);\n"
        "  r[0] = max(a[0], -3); r[1] = abs(a[0]);\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const float nan = std::nanf("");
    buffer x = buffer::of<float>({nan, 1.0f, -0.0f, 0.0f, 3.0f, -2.0f}), o = buffer::of<float>({0, 0, 0, 0, 0});
    buffer w = buffer::of<uint32_t>({4000000000u}), v = buffer::of<uint32_t>({0, 0});
    buffer a = buffer::of<int32_t>({-10}), r = buffer::of<int32_t>({0, 0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&x, &o, &w, &v, &a, &r}).code, 0);
    const std::vector<float> of = o.as<float>();
    EXPECT_TRUE(std::isnan(of[0]));  // the first operand wins on NaN
    EXPECT_EQ(of[1], 1.0f);
    EXPECT_TRUE(std::signbit(of[2]));  // a tie keeps the first operand
    EXPECT_EQ(of[3], 1.0f);
    EXPECT_EQ(of[4], 2.0f);
    EXPECT_EQ(v.as<uint32_t>(), (std::vector<uint32_t>{4000000000u, 7u}));
    EXPECT_EQ(r.as<int32_t>(), (std::vector<int32_t>{-3, 10}));

    const compiled u = compile("kernel k(const u32* w, u32* v) { v[0] = abs(w[0]); }", false);
    ASSERT_TRUE(u.ok());
    EXPECT_EQ(mnemonics(*u.unit->programs[0]), (std::vector<std::string>{"LD_U32", "ST_U32", "END"}));
}

TEST(CheckerCalls, MathFoldsLikeItRuns) {
    const char* names[] = {"floor", "ceil", "round", "trunc", "sin", "cos", "tan",
                           "asin", "acos", "atan", "exp", "log", "log2", "log10"};
    for (const char* fn : names) {
        // compile time (constant argument) and run time (argument from memory) agree
        const double arg = 0.625;
        const uint64_t folded = eval("f64", std::string(fn) + "(0.625)");
        const compiled c = compile(std::string("kernel k(const f64* x) -> f64 reduce(+) { return ") + fn + "(x[0]); }");
        ASSERT_TRUE(c.ok()) << c.err.message;
        buffer x = buffer::of<double>({arg});
        EXPECT_EQ(run(*c.unit->programs[0], 1, {&x}).acc0(), folded) << fn;
        const uint64_t folded32 = eval("f32", std::string(fn) + "(0.625f)");
        const compiled c32 = compile(std::string("kernel k(const f32* x) -> f32 reduce(+) { return ") + fn + "(x[0]); }");
        ASSERT_TRUE(c32.ok());
        buffer x32 = buffer::of<float>({0.625f});
        EXPECT_EQ(run(*c32.unit->programs[0], 1, {&x32}).acc0() & 0xFFFFFFFF, folded32) << fn;
    }
    EXPECT_EQ(f64_of(eval("f64", "sqrt(2.0)")), std::sqrt(2.0));
    EXPECT_EQ(f32_of(eval("f32", "sqrt(f32(2.0))")), std::sqrt(2.0f));
    EXPECT_EQ(f64_of(eval("f64", "pow(2.0, 10.0)")), 1024.0);
    EXPECT_EQ(f64_of(eval("f64", "pow(2.0f, 3.0)")), 8.0);  // an untyped float argument is an f64
    EXPECT_EQ(f64_of(eval("f64", "atan2(1.0, 1.0)")), std::atan2(1.0, 1.0));
    EXPECT_EQ(f64_of(eval("f64", "round(-2.5)")), -3.0);
    // one constant argument: computed at run time
    const compiled mixed = compile(
        "kernel k(const f32* a, const f64* b) -> f64 reduce(+) { return pow(a[0], b[0]) + pow(2.0, b[0]); }");
    ASSERT_TRUE(mixed.ok());
    buffer a = buffer::of<float>({3.0f}), b = buffer::of<double>({2.0});
    EXPECT_EQ(f64_of(run(*mixed.unit->programs[0], 1, {&a, &b}).acc0()), 13.0);
}

TEST(CheckerCalls, ElementwiseBuiltinsOnVectors) {
    const compiled c = compile(
        "kernel k(const f32* x, f32* o, f64* d) {\n"
        "  f32x4 v = f32x4(x[0], x[1], x[2], x[3]);\n"
        "  f32x4 fl = floor(v);\n"
        "  o[0] = fl.x; o[1] = fl.y; o[2] = fl.z; o[3] = fl.w;\n"
        "  f64x2 m = max(f64x2(0.25, 0.75), 0.5);\n"
        "  d[0] = m.x; d[1] = m.y;\n"
        "  f32x2 cl = clamp(f32x2(-1.0, 9.0), 0.0, f32x2(5.0, 6.0));\n"
        "  o[4] = cl.x; o[5] = cl.y;\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_MATH1_F32), 4);
    for (const lumk_insn& i : p.code) {
        if (i.op == LUMK_MATH1_F32) {
            EXPECT_EQ(i.c, LUMK_MATH_FLOOR);
        }
    }
    buffer x = buffer::of<float>({1.5f, -1.5f, 2.0f, 0.25f}), o = buffer::of<float>(std::vector<float>(6, 0));
    buffer d = buffer::of<double>({0, 0});
    ASSERT_EQ(run(p, 1, {&x, &o, &d}).code, 0);
    EXPECT_EQ(o.as<float>(), (std::vector<float>{1, -2, 2, 0, 0, 6}));
    EXPECT_EQ(d.as<double>(), (std::vector<double>{0.5, 0.75}));
}

TEST(CheckerCalls, VectorBuiltins) {
    const compiled c = compile(
        "kernel k(i32* o, f32* f) {\n"
        "  o[0] = dot(i32x3(1, 2, 3), i32x3(4, 5, 6));\n"
        "  f32x3 c = cross(f32x3(1.0, 0.0, 0.0), f32x3(0.0, 1.0, 0.0));\n"
        "  f[0] = c.x; f[1] = c.y; f[2] = c.z;\n"
        "  f[3] = length(f32x2(3.0, 4.0));\n"
        "  i32x3 ci = cross(i32x3(1, 2, 3), i32x3(4, 5, 6));\n"
        "  o[1] = ci.x; o[2] = ci.y; o[3] = ci.z;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer o = buffer::of<int32_t>({0, 0, 0, 0}), f = buffer::of<float>({0, 0, 0, 0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&o, &f}).code, 0);
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{32, -3, 6, -3}));
    EXPECT_EQ(f.as<float>(), (std::vector<float>{0, 0, 1, 5}));
}

TEST(CheckerCalls, HelpersReplaceSomeBuiltinsButNotOthers) {
    // a helper named dot replaces the builtin; sqrt and atomic_add stay builtins
    const compiled c = compile(
        "kernel inline dot(i32 a, i32 b) -> i32 { return a * 100 + b; }\n"
        "kernel inline sqrt(f64 x) -> f64 { return 0.0; }\n"
        "kernel inline atomic_add(i32 a, i32 b) -> i32 { return 0; }\n"
        "kernel k(i32* o, f64* d) { o[0] = dot(1, 2); d[0] = sqrt(4.0); i32 old = atomic_add(o[1], 5); o[2] = old; }");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer o = buffer::of<int32_t>({0, 10, 0}), d = buffer::of<double>({0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&o, &d}).code, 0);
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{102, 15, 10}));
    EXPECT_EQ(d.as<double>()[0], 2.0);
}

TEST(CheckerCalls, AtomicAddForms) {
    const compiled c = compile(
        "cstruct C { u8 pad[4]; i64 total; }\n"
        "kernel k(i32* a, u32* b, i64* c, C* cs, i32* old) {\n"
        "  old[gid] = atomic_add(a[0], 1); atomic_add(b[gid + 1], 2u); atomic_add(c[0], i64(gid));\n"
        "  atomic_add(cs[0].total, 5);\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_AADD_I32), 1);
    EXPECT_EQ(count_op(p, LUMK_AADD_32), 1);
    EXPECT_EQ(count_op(p, LUMK_AADD_64), 1);
    EXPECT_EQ(count_op(p, LUMK_AADDR_64), 1);
    buffer a = buffer::of<int32_t>({0}), b = buffer::of<uint32_t>({0, 0, 0, 0, 0}), cc = buffer::of<int64_t>({0});
    buffer cs, old = buffer::of<int32_t>({-1, -1, -1, -1});
    cs.bytes.assign(16, 0);
    ASSERT_EQ(run(p, 4, {&a, &b, &cc, &cs, &old}).code, 0);
    EXPECT_EQ(a.as<int32_t>()[0], 4);
    EXPECT_EQ(old.as<int32_t>(), (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(b.as<uint32_t>(), (std::vector<uint32_t>{0, 2, 2, 2, 2}));
    EXPECT_EQ(cc.as<int64_t>()[0], 6);
    int64_t total;
    std::memcpy(&total, cs.bytes.data() + 8, 8);
    EXPECT_EQ(total, 20);
    // in a packed struct the field sits at offset 4, which an 8-byte atomic refuses at run time
    const compiled packed = compile("struct C { u8 pad[4]; i64 total; }\nkernel k(C* cs) { atomic_add(cs[0].total, 5); }");
    ASSERT_TRUE(packed.ok());
    buffer cs2;
    cs2.bytes.assign(12, 0);
    EXPECT_EQ(run(*packed.unit->programs[0], 1, {&cs2}).message, "atomic access to an address that is not aligned to 8 bytes");
}

TEST(CheckerCalls, InlineHelpersExpandAtEveryCall) {
    const compiled c = compile(
        "struct P { f32 x; f32 y; }\n"
        "kernel inline sq(f32 v) -> f32 { return v * v; }\n"
        "kernel inline norm2(P p) -> f32 { p.x = sq(p.x); return p.x + sq(p.y); }\n"
        "kernel inline swap(P p) -> P { return {p.y, p.x}; }\n"
        "kernel inline put(f32* o, i32 i, f32 v) { if (v < 0.0) { return; } o[i] = v; }\n"
        "kernel k(const P* ps, f32* o) {\n"
        "  P a = ps[gid];\n"
        "  o[0] = norm2(a); o[1] = a.x;\n"
        "  P s = swap(a);\n"
        "  o[2] = s.x; o[3] = later(2.0);\n"
        "  put(o, 4, -1.0); put(o + 1, 4, 7.0);\n"
        "}\n"
        "kernel inline later(f32 v) -> f32 { return sq(v) + sq(v); }\n");
    ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
    buffer ps = buffer::of<float>({3.0f, 4.0f}), o = buffer::of<float>(std::vector<float>(6, -5));
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&ps, &o}).code, 0);
    EXPECT_EQ(o.as<float>(), (std::vector<float>{25, 3, 4, 8, -5, 7}));
}

TEST(CheckerCalls, InlineHelperMessages) {
    const std::string rec = "kernel inline a(i32 x) -> i32 { return b(x); }\n"
                            "kernel inline b(i32 x) -> i32 { return a(x); }\n"
                            "kernel k(i32* o) { o[0] = a(1); }";
    EXPECT_COMPILE_ERROR(rec, "return a", "a(x)",
                         "recursive call of 'a' (kernel helpers are inlined, recursion is not possible)");
    const std::string self = "kernel inline f(i32 x) -> i32 { if (x > 0) { return f(x - 1); } return 0; }\n"
                             "kernel k(i32* o) { o[0] = f(3); }";
    EXPECT_COMPILE_ERROR(self, "return f", "f(x",
                         "recursive call of 'f' (kernel helpers are inlined, recursion is not possible)");
    const std::string brk = "kernel inline g() { break; }\nkernel k() { for (;;) { g(); } }";
    EXPECT_COMPILE_ERROR(brk, "break", "break", "'break' outside of a loop");
    const std::string paths = "kernel inline g(i32 x) -> i32 { if (x > 0) { return 1; } }\nkernel k(i32* o) { o[0] = g(1); }";
    EXPECT_COMPILE_ERROR(paths, "g(", "g(", "'g' does not return a value on every path");
    const std::string loop = "kernel inline g(i32 x) -> i32 { while (true) { return 1; } }\nkernel k(i32* o) { o[0] = g(1); }";
    EXPECT_COMPILE_ERROR(loop, "g(", "g(", "'g' does not return a value on every path");
    const std::string vv = "kernel inline g() { return 1; }\nkernel k() { g(); }";
    EXPECT_COMPILE_ERROR(vv, "1;", "1;", "a void function cannot return a value");
    const std::string mv = "kernel inline g() -> i32 { if (true) { return; } return 1; }\nkernel k(i32* o) { o[0] = g(); }";
    EXPECT_COMPILE_ERROR(mv, "return;", "return;", "this function must return a i32");
    const std::string lv = "kernel inline g() -> i32 { return {1}; }\nkernel k(i32* o) { o[0] = g(); }";
    EXPECT_COMPILE_ERROR(lv, "{1}", "{1}", "a {...} list needs a struct result");
    const std::string red = "kernel inline g() -> i32 reduce(+) { return 1; }\nkernel k() {}";
    EXPECT_COMPILE_ERROR(red, "reduce", "reduce", "only entry kernels can have a reduction");
    const std::string scope = "kernel inline g() -> i32 { return x; }\nkernel k(i32* o) { i32 x = 1; o[0] = g(); }";
    EXPECT_COMPILE_ERROR(scope, "x;", "x;", "unknown name 'x'");
    const std::string pv = "kernel inline g(void x) {}\nkernel k() {}";
    EXPECT_COMPILE_ERROR(pv, "void", "void", "parameters cannot be void");
    const std::string pb = "kernel inline g(bool* x) {}\nkernel k() {}";
    EXPECT_COMPILE_ERROR(pb, "bool", "bool", "bool* is not supported (use u8*)");
    const std::string pu = "kernel inline g(Q x) {}\nkernel k() {}";
    EXPECT_COMPILE_ERROR(pu, "Q", "Q", "unknown type 'Q'");
    const std::string rp = "kernel inline g() -> f32* { return 0; }\nkernel k() {}";
    EXPECT_COMPILE_ERROR(rp, "f32*", "f32*", "kernels cannot return pointers");
    const std::string sa = "struct P { f32 x; }\nkernel inline g(P p) {}\nkernel k(const f32* f) { g(f[0]); }";
    EXPECT_COMPILE_ERROR(sa, "g(f", "[0]", "expected a P but got a f32");
    const std::string cp = "kernel inline g(f32* p) {}\nkernel k(const f32* f) { g(f); }";
    EXPECT_COMPILE_ERROR(cp, "{ g(f", "f)", "cannot pass a const pointer as a writable pointer (f32*)");
    const std::string nm = "struct P { f32 x; }\nkernel inline g(i32 P) {}\nkernel k() { g(1); }";
    EXPECT_COMPILE_ERROR(nm, "i32 P", "P)", "'P' is already the name of a kernel struct or constant");
    // the same helper twice in sequence is simply expanded twice
    const compiled twice = compile("kernel inline g(i32 x) -> i32 { return x * 3; }\n"
                                   "kernel k(i32* o) { o[0] = g(g(2)); }");
    ASSERT_TRUE(twice.ok());
    buffer o = buffer::of<int32_t>({0});
    ASSERT_EQ(run(*twice.unit->programs[0], 1, {&o}).code, 0);
    EXPECT_EQ(o.as<int32_t>()[0], 18);
}

TEST(CheckerCalls, HelpersInsideUncheckedBlocksKeepTheirChecks) {
    const compiled c = compile(
        "kernel inline at(const i32* idx) -> i32 { i32 a[4]; return a[idx[0]]; }\n"
        "kernel k(const i32* idx, i32* o) { unchecked { i32 b[4]; o[0] = b[idx[0]] + at(idx); } }",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    EXPECT_EQ(count_op(*c.unit->programs[0], LUMK_CHKIDX), 1);
}

TEST(CheckerCalls, RunawayExpansionIsRefused) {
    // five levels of sixteen calls each would be 16^5 expansions
    auto fan_out = [](const std::string& leaf, const std::string& param, const std::string& arg) {
        std::string src = "kernel inline f0(" + param + ") { " + leaf + " }\n";
        for (int lvl = 1; lvl <= 5; ++lvl) {
            src += "kernel inline f" + std::to_string(lvl) + "(" + param + ") {";
            for (int i = 0; i < 16; ++i) src += " f" + std::to_string(lvl - 1) + "(" + arg + ");";
            src += " }\n";
        }
        return src + "kernel k(i32* o) { f5(" + arg + "); }\n";
    };
    std::string loops = "for (;;) {";  // sixty-six instructions, no registers
    for (int i = 0; i < 64; ++i) loops += " break;";
    loops += " }";
    EXPECT_NE(error_of(fan_out(loops, "", "")).find("kernel is too large (too many instructions)"), std::string::npos);
    EXPECT_NE(error_of(fan_out("o[0] = o[0] + 1;", "i32* o", "o")).find("kernel is too large (too many registers)"),
              std::string::npos);

    // helpers that emit nothing are bounded too
    std::string empty = "kernel inline e0() {}\n";
    for (int lvl = 1; lvl <= 17; ++lvl)
        empty += "kernel inline e" + std::to_string(lvl) + "() { e" + std::to_string(lvl - 1) + "(); e" +
                 std::to_string(lvl - 1) + "(); }\n";
    empty += "kernel k() { e17(); }\n";
    EXPECT_EQ(error_of(empty), at(empty, "e0();", 1, empty.find("kernel inline e1(")) +
                                   "kernel is too large (too many inline helper expansions)");

    // a long chain of helpers cannot exhaust the stack
    std::string chain = "kernel inline c0(i32 x) -> i32 { return x; }\n";
    for (int i = 1; i <= 700; ++i)
        chain += "kernel inline c" + std::to_string(i) + "(i32 x) -> i32 { return c" + std::to_string(i - 1) +
                 "(x); }\n";
    chain += "kernel k(i32* o) { o[0] = c700(1); }\n";
    EXPECT_NE(error_of(chain).find("helper calls are nested too deeply"), std::string::npos);
}
