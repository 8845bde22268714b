// Literals, typed constants, implicit and explicit conversions, and constant
// folding through the interpreter (compile-time results equal run-time ones).

#include "tests/kernel/checker_test_util.h"

using namespace ktest;

namespace {

// Error of `body` inside a void kernel with a few parameters.
std::string body_error(const std::string& body, std::string* src_out = nullptr) {
    const std::string src =
        "struct S { f32 a; i32 b; }\nconst i64 ONE = 1;\nkernel inline nothing() {}\n"
        "kernel k(f32* p, const f32* cp, i32* ip, i32 n, bool flag) {\n" +
        body + "\n}\n";
    if (src_out) *src_out = src;
    return error_of(src);
}

void expect_body_error(const std::string& body, const std::string& needle, const std::string& message,
                       int nth = 0) {
    std::string src;
    const std::string got = body_error(body, &src);
    EXPECT_EQ(got, at(src, needle, nth, src.find(body)) + message) << body;
}

}  // namespace

TEST(CheckerConversions, LiteralsAdaptToTheirTarget) {
    EXPECT_EQ(eval("i32", "1 + 2"), 3u);
    EXPECT_EQ(eval("u64", "18446744073709551615"), ~0ull);
    EXPECT_EQ(eval("i64", "1 << 40"), 1ull << 40);
    EXPECT_EQ(f32_of(eval("f32", "16777216")), 16777216.0f);
    EXPECT_EQ(f32_of(eval("f32", "1.5")), 1.5f);
    EXPECT_EQ(f64_of(eval("f64", "1 + 2.5")), 3.5);
    EXPECT_EQ(eval("i64", "-9223372036854775807 - 1"), 0x8000000000000000ull);
    EXPECT_EQ(eval("i32", "7 / -2"), static_cast<uint64_t>(-3));
    EXPECT_EQ(eval("i32", "7 % -2"), 1u);
    EXPECT_EQ(eval("u32", "5u"), 5u);
    EXPECT_EQ(eval("u64", "5000000000u"), 5000000000ull);
    EXPECT_EQ(f32_of(eval("f32", "1.0f")), 1.0f);
    EXPECT_EQ(eval("i32", "sizeof(f32x4)"), 16u);
    EXPECT_EQ(eval("i64", "sizeof(f32x4) * 3"), 48u);
    EXPECT_EQ(eval("bool", "18446744073709551615 == 18446744073709551615"), 1u);
    EXPECT_EQ(eval("bool", "1.5 < 2"), 1u);
}

TEST(CheckerConversions, LiteralRangeMessages) {
    expect_body_error("u8 x = 300;", "300", "integer literal 300 does not fit into u8");
    expect_body_error("f32 x = 16777217;", "16777217", "integer literal 16777217 does not fit into f32 exactly");
    expect_body_error("i64 x = 18446744073709551615;", "18446744073709551615",
                      "integer literal 18446744073709551615 does not fit into i64");
    expect_body_error("i32 x = 1 << 40;", "<<", "integer literal 1099511627776 does not fit into i32");
    expect_body_error("i32 x = 1.5;", "1.5", "a float literal cannot be converted to i32 implicitly, write i32(...)");
    expect_body_error("bool b = 1;", "1;", "an integer cannot be used as bool (write x != 0, or true / false)");
    expect_body_error("f64 d = 18446744073709551615;", "18446744073709551615",
                      "integer literal 18446744073709551615 does not fit into f64 exactly");
}

TEST(CheckerConversions, TypedValuesDoNotAdapt) {
    // i32 -> i64 needs no instruction; narrowing and sign changes are refused
    expect_body_error("i64 a = n; i32 b = a;", "a;", "cannot convert i64 to i32 implicitly, write i32(...)");
    expect_body_error("u32 u = n;", "n;", "cannot convert i32 to u32 implicitly, write u32(...)");
    expect_body_error("i32 x = ONE;", "ONE;", "cannot convert i64 to i32 implicitly, write i32(...)");
    expect_body_error("i32 x = flag;", "flag;", "cannot convert bool to i32 implicitly, write i32(...)");
    expect_body_error("f32 x = n;", "n;", "cannot convert i32 to f32 implicitly, write f32(...)");
    expect_body_error("f32 x = f64(1.0);", "f64(", "cannot convert f64 to f32 implicitly, write f32(...)");
    EXPECT_EQ(body_error("i32 x = 1; i64 y = x; f64 d = 1.5f; u64 w = 7u; i16 s = i8(3);"), "ok");

    const compiled c = compile("kernel k(i64* out, i32 v) { out[0] = v; }", false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    EXPECT_EQ(mnemonics(*c.unit->programs[0]), (std::vector<std::string>{"ST_I64", "END"}));
}

TEST(CheckerConversions, PointerConversionMessages) {
    expect_body_error("f32 x = p;", "p;", "expected f32 but got a pointer");
    expect_body_error("f32* q = ip;", "ip;", "pointer types do not match: expected f32* but got i32*");
    expect_body_error("f32* q = cp;", "cp;", "cannot pass a const pointer as a writable pointer (f32*)");
    expect_body_error("f32* q = 1.0;", "1.0", "expected a pointer (f32*) but got a float literal");
    expect_body_error("i32 x = i32(p);", "i32(p", "pointers cannot be converted");
    EXPECT_EQ(body_error("const f32* q = p; const f32* r = cp;"), "ok");
}

TEST(CheckerConversions, ExplicitConversionsFoldLikeTheyRun) {
    // each conversion once on a constant (folded) and once on a parameter (run time)
    struct conv {
        const char* type;
        const char* expr;
        uint64_t expected;
    };
    const conv cases[] = {
        {"i32", "i32(u8(300))", 44},
        {"i32", "i32(i8(200))", static_cast<uint64_t>(-56)},
        {"u32", "u32(-1)", 0xFFFFFFFFull},
        {"i32", "i32(1.9)", 1},
        {"i32", "i32(-1.9)", static_cast<uint64_t>(-1)},
        {"u64", "u64(18446744073709549568.0)", 18446744073709549568ull},
        {"bool", "bool(0.0)", 0},
        {"bool", "bool(-0.0)", 0},
        {"bool", "bool(7)", 1},
        {"bool", "bool(i32(7))", 1},
        {"i64", "i64(true)", 1},
        {"u64", "u64(-1)", ~0ull},
        {"i32", "i32(4294967295u)", static_cast<uint64_t>(-1)},
    };
    for (const conv& c : cases) EXPECT_EQ(eval(c.type, c.expr), c.expected) << c.expr;
    EXPECT_EQ(f32_of(eval("f32", "f32(16777217)")), 16777216.0f);
    EXPECT_EQ(f64_of(eval("f64", "f64(18446744073709551615)")), 18446744073709551615.0);
    EXPECT_EQ(f64_of(eval("f64", "f64(true)")), 1.0);
    EXPECT_EQ(f64_of(eval("f64", "f64(1.5f)")), 1.5);

    // run time: the same conversions of values that arrive as parameters
    const compiled c = compile(
        "kernel k(const f64* d, const i64* x, i64* out) {\n"
        "  out[0] = i64(u8(x[0])); out[1] = i64(i32(d[0])); out[2] = i64(u32(x[1]));\n"
        "  out[3] = i64(bool(d[1])); out[4] = i64(f64(u64(x[1])) == 18446744073709551615.0);\n"
        "  out[5] = i64(bool(x[2])); out[6] = i64(bool(x[3]));\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer d = buffer::of<double>({-1.9, -0.0}), x = buffer::of<int64_t>({300, -1, 1, 0}),
           out = buffer::of<int64_t>({0, 0, 0, 0, 0, 9, 9});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&d, &x, &out}).code, 0);
    EXPECT_EQ(out.as<int64_t>(), (std::vector<int64_t>{44, -1, 0xFFFFFFFF, 0, 1, 1, 0}));
}

TEST(CheckerConversions, FoldingTrapsReadLikeRunTimeTraps) {
    std::string err;
    eval("i32", "i32(u8(300.0))", &err);
    EXPECT_NE(err.find("float literal does not fit into u8"), std::string::npos) << err;

    // a typed constant folds through the interpreter: same text as the run-time trap
    const std::string src = "const f64 BIG = 300.5;\nkernel k() -> i32 reduce(+) { return i32(u8(BIG)); }";
    EXPECT_EQ(error_of(src), at(src, "u8(") + "constant expression: float value 300.5 does not fit into u8");
    const compiled rt = compile("kernel k(const f64* d) -> i32 reduce(+) { return i32(u8(d[0])); }");
    ASSERT_TRUE(rt.ok());
    buffer d = buffer::of<double>({300.5});
    EXPECT_EQ(run(*rt.unit->programs[0], 1, {&d}).message, "float value 300.5 does not fit into u8");

    const std::string div = "const i32 Z = 0;\nkernel k() -> i32 reduce(+) { return 7 / Z; }";
    EXPECT_EQ(error_of(div), at(div, "/") + "constant expression: integer division by zero");
    const std::string mod = "const i32 Z = 0;\nkernel k() -> i32 reduce(+) { return 7 % Z; }";
    EXPECT_EQ(error_of(mod), at(mod, "%") + "constant expression: integer modulo by zero");
    const std::string ovf = "const i32 M = -2147483647 - 1;\nkernel k() -> i32 reduce(+) { return M / -1; }";
    EXPECT_EQ(error_of(ovf), at(ovf, "/") + "constant expression: integer division overflow (-2147483648 / -1)");
    const compiled rd = compile("kernel k(const i32* a) -> i32 reduce(+) { return a[0] / a[1]; }");
    ASSERT_TRUE(rd.ok());
    buffer a = buffer::of<int32_t>({7, 0});
    EXPECT_EQ(run(*rd.unit->programs[0], 1, {&a}).message, "integer division by zero");
}

TEST(CheckerConversions, TypedConstantsFoldWithRunTimeArithmetic) {
    // typed constants wrap like registers do; literals would overflow instead
    EXPECT_EQ(eval("i32", "i32(2147483647) + 1"), 0xFFFFFFFF80000000ull);
    EXPECT_EQ(eval("u32", "0u - 1u"), 0xFFFFFFFFull);
    EXPECT_EQ(eval("i32", "i32(-7) / 2"), static_cast<uint64_t>(-3));
    EXPECT_EQ(eval("i32", "i32(1) << 33"), 2u);  // count masked to 5 bits
    EXPECT_EQ(f32_of(eval("f32", "1.0f / 3.0f")), 1.0f / 3.0f);
    EXPECT_EQ(eval("bool", "f32(0.1) == 0.1f"), 1u);
    EXPECT_EQ(eval("bool", "0.1f == f32(0.1)"), 1u);
    const std::string lit = "kernel k() -> i32 reduce(+) { return 2147483647 + 1; }";
    EXPECT_EQ(error_of(lit), at(lit, "+ 1") + "integer literal 2147483648 does not fit into i32");
    // a constant-only kernel emits no arithmetic
    const compiled c = compile("kernel k() -> i32 reduce(+) { return i32(3) * 4 > 10 ? i32(sqrt(16.0)) : 2; }",
                               false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    EXPECT_EQ(mnemonics(*c.unit->programs[0]), (std::vector<std::string>{"ADD_I32", "END", "END"}));
}

TEST(CheckerConversions, SizeofAndNames) {
    expect_body_error("i32 x = sizeof(void);", "sizeof", "sizeof(void) is not defined");
    expect_body_error("i32 x = sizeof(T);", "T)", "unknown type 'T'");
    expect_body_error("i32 x = S;", "S;", "'S' is a struct type, not a value");
    expect_body_error("i32 x = f32x4;", "f32x4", "'f32x4' is a struct type, not a value");
    expect_body_error("i32 x = nothing;", "nothing;", "'nothing' is a kernel function, call it with 'nothing(...)'");
    expect_body_error("i32 x = zz;", "zz", "unknown name 'zz'");
    expect_body_error("i32 x = i32;", "i32;", "'i32' is a type, convert values with 'i32(value)'");
    expect_body_error("i32 x = 1 + {1};", "{1}",
                      "a {...} list is only allowed to initialize a variable or in a return statement");
    expect_body_error("i32 x = sizeof(f32*);", "f32*", "sizeof(f32*) is not defined");
    expect_body_error("i32 x = flag ? nothing() : nothing();", "nothing", "a void cannot be used as a value here");
    expect_body_error("i32 x = nothing();", "nothing", "a void cannot be used as a value here");
    expect_body_error("bool c = nothing() == nothing();", "==", "a void cannot be used as a value here");
    expect_body_error("i32 x = i32(nothing());", "i32(", "cannot convert void to i32");
    EXPECT_EQ(eval("i32", "sizeof(S)", nullptr, "struct S { f64 a; u8 b; }\n"), 9u);
    EXPECT_EQ(eval("i32", "sizeof(S)", nullptr, "cstruct S { f64 a; u8 b; }\n"), 16u);
    EXPECT_EQ(eval("u32", "sizeof(u16) + 0u"), 2u);
}

TEST(CheckerConversions, GidNamesAndTwoDimensions) {
    const compiled one = compile("kernel k(u32* o) { o[gid] = gsize_x + gsize_y + gsize; }");
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.unit->programs[0]->is_2d, 0);
    const compiled two = compile("kernel k(u32* o) { o[gid] = gid_x * 10u + gid_y; }");
    ASSERT_TRUE(two.ok());
    const lumk_program& p = *two.unit->programs[0];
    EXPECT_EQ(p.is_2d, 1);
    buffer o = buffer::of<uint32_t>(std::vector<uint32_t>(6, 99));
    ASSERT_EQ(run(p, 6, {&o}, {}, 3).code, 0);
    EXPECT_EQ(o.as<uint32_t>(), (std::vector<uint32_t>{0, 10, 20, 1, 11, 21}));
}
