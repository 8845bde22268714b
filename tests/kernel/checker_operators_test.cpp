// Operators, exact literal folding, vectors, pointers, the conditional
// operator, indexing with bounds checks and field access.

#include "tests/kernel/checker_test_util.h"

using namespace ktest;

namespace {

const std::string kPre =
    "struct S { f32 a; i32 b; u8 arr[4]; }\n"
    "kernel k(f32* p, const f32* cp, i32* ip, f32* q, i32 n, u32 u, bool b, f32 f, S* sp, i8 s8) {\n";

std::string K(const std::string& body) { return kPre + body + "\n}\n"; }

#define BODY_ERROR(body, needle, message) EXPECT_COMPILE_ERROR(K(body), body, needle, message)

std::vector<int32_t> run_i32(const std::string& src, std::vector<int32_t> in, size_t outs, uint64_t n = 1) {
    const compiled c = compile(src);
    if (!c.ok()) {
        ADD_FAILURE() << c.err.line << ":" << c.err.column << ": " << c.err.message;
        return {};
    }
    buffer a = buffer::of<int32_t>(in), o = buffer::of<int32_t>(std::vector<int32_t>(outs, 0));
    const run_result r = run(*c.unit->programs[0], n, {&a, &o});
    EXPECT_EQ(r.code, 0) << r.message;
    return o.as<int32_t>();
}

}  // namespace

TEST(CheckerOperators, UnaryMessages) {
    BODY_ERROR("i32 x = *n;", "*n", "'*' needs a pointer but got a i32");
    BODY_ERROR("f32* r = &p;", "&", "'&' only works on array elements ('&p[i]')");
    BODY_ERROR("f32 a[4]; f32* r = &a[1];", "&", "'&' only works on array elements ('&p[i]')");
    BODY_ERROR("f32* r = -p;", "-p", "'-' cannot be used on a pointer");
    BODY_ERROR("bool c = +b;", "+b", "'+' needs a number");
    BODY_ERROR("bool c = !1;", "!1", "'!' needs a bool (write x == 0)");
    BODY_ERROR("bool c = !n;", "!n", "'!' needs a bool but got i32 (write x == 0)");
    BODY_ERROR("i64 x = -9223372036854775808;", "-9", "integer constant overflow");
    BODY_ERROR("i32 x = -b;", "-b", "'-' needs a number but got bool");
    BODY_ERROR("i32 x = ~f;", "~f", "'~' needs an integer but got f32");
    BODY_ERROR("i32 x = ~1.5;", "~1", "'~' needs an integer but got a float literal");
    BODY_ERROR("i64 x = ~18446744073709551615;", "~", "integer constant overflow");
    // the operand of a unary operator is loaded at the operator
    BODY_ERROR("f32 a[4]; f32 x = -a;", "-a", "an array (f32[4]) cannot be used as a value, index it");
    BODY_ERROR("S t; f32 x = -t;", "-t", "a struct (S) cannot be used as a value, access a field or copy it with '='");
    BODY_ERROR("S t; f32 x = *t;", "*t", "a struct (S) cannot be used as a value, access a field or copy it with '='");
}

TEST(CheckerOperators, UnaryResults) {
    const compiled c = compile(
        "kernel k(const i32* a, i64* o, const u32* w, const f32* x, const i8* s) {\n"
        "  o[0] = -a[0]; o[1] = ~a[0]; o[2] = i64(-w[0]); o[3] = i64(~w[0]);\n"
        "  o[4] = i64(!(a[0] == 5)); o[5] = i64(-x[0]); o[6] = -s[0]; o[7] = -(-5) + ~2 + +3;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer a = buffer::of<int32_t>({5}), o = buffer::of<int64_t>(std::vector<int64_t>(8, 0));
    buffer w = buffer::of<uint32_t>({1}), x = buffer::of<float>({2.5f}), s = buffer::of<int8_t>({-128});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&a, &o, &w, &x, &s}).code, 0);
    EXPECT_EQ(o.as<int64_t>(), (std::vector<int64_t>{-5, -6, 4294967295, 4294967294, 0, -2, 128, 5}));
}

TEST(CheckerOperators, LiteralFoldingMessages) {
    BODY_ERROR("i32 x = 7 / 0;", "/", "division by zero");
    BODY_ERROR("i32 x = 7 % 0;", "%", "modulo by zero");
    BODY_ERROR("i64 x = 1 << 64;", "<<", "shift count out of range");
    BODY_ERROR("i64 x = 1 << 63;", "<<", "integer constant overflow");
    BODY_ERROR("i64 x = -1 >> 70;", ">>", "shift count out of range");
    BODY_ERROR("i64 x = 9223372036854775807 + 1;", "+", "integer constant overflow");
    BODY_ERROR("i64 x = 4294967296 * 4294967296;", "*", "integer constant overflow");
    BODY_ERROR("i64 x = (-9223372036854775807 - 1) / -1;", "/", "integer constant overflow");
    BODY_ERROR("u64 x = 18446744073709551615 + 1;", "+",
               "integer constant overflow (write u64(...) for values above 2^63)");
    BODY_ERROR("i32 x = 1 & 2.5;", "&", "'&' needs integers");
    BODY_ERROR("f64 x = 9223372036854775808 + 1.5;", "+", "integer constant overflow");
    EXPECT_EQ(eval("i64", "-1 >> 63"), ~0ull);
    EXPECT_EQ(eval("i32", "(5 & 3) | (8 ^ 2)"), 11u);
    EXPECT_EQ(f64_of(eval("f64", "7.5 % 2")), 1.5);
    EXPECT_EQ(eval("bool", "18446744073709551615 != 1"), 1u);
    EXPECT_EQ(eval("u64", "u64(9223372036854775808) + 1"), 9223372036854775809ull);
}

TEST(CheckerOperators, TypingMessages) {
    BODY_ERROR("f32 x = n + 1.5;", "+", "cannot mix i32 with a float literal in '+', convert explicitly");
    BODY_ERROR("f32 x = 1.5 * n;", "*", "cannot mix a float literal with i32 in '*', convert explicitly");
    BODY_ERROR("f32 x = s8 - 1.5;", "-", "cannot mix i8 with a float literal in '-', convert explicitly");
    BODY_ERROR("i32 x = n + u;", "+", "cannot mix i32 and u32 in '+', convert one side explicitly (e.g. i32(x))");
    BODY_ERROR("f32 x = f * n;", "*", "cannot mix f32 and i32 in '*', convert one side explicitly (e.g. f32(x))");
    BODY_ERROR("bool c = b == n;", "==",
               "cannot mix bool and i32 in '==', convert one side explicitly (e.g. bool(x))");
    BODY_ERROR("bool c = b < b;", "<", "'<' is not defined for bool (use && / || / !)");
    BODY_ERROR("bool c = b + b;", "+", "'+' is not defined for bool (use && / || / !)");
    BODY_ERROR("f32 x = f & f;", "&", "'&' needs integers but got f32");
    BODY_ERROR("i32 x = f << 1;", "<<", "'<<' needs an integer on the left but got f32");
    BODY_ERROR("i32 x = n << 1.5;", "<<", "the shift count must be an integer");
    BODY_ERROR("i32 x = n << f;", "<<", "the shift count must be an integer but got f32");
    BODY_ERROR("if (b < b) {}", "<", "bool values cannot be ordered (only == and !=)");
    BODY_ERROR("bool c = b == 1;", "==", "an integer cannot be used as bool (write x != 0, or true / false)");
    EXPECT_EQ(error_of(K("bool c = b == b; bool d = b ^ b; i32 x = s8 + u8(3); i64 y = u + i64(1); "
                         "f64 z = f + f64(2.0); u64 w = u << n;")),
              "ok");
}

TEST(CheckerOperators, MixedWidthArithmeticRuns) {
    const compiled c = compile(
        "kernel k(const i8* a, const u8* b, const u32* w, i64* o) {\n"
        "  o[0] = a[0] + b[0]; o[1] = w[0] + i64(1); o[2] = a[0] * b[0]; o[3] = i64(w[0] >> 1);\n"
        "  o[4] = a[0] >> 1; o[5] = i64(a[0] < b[0]); o[6] = w[0] / 3u; o[7] = w[0] % 3u;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer a = buffer::of<int8_t>({-100}), b = buffer::of<uint8_t>({200}), w = buffer::of<uint32_t>({4000000000u});
    buffer o = buffer::of<int64_t>(std::vector<int64_t>(8, 0));
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&a, &b, &w, &o}).code, 0);
    EXPECT_EQ(o.as<int64_t>(), (std::vector<int64_t>{100, 4000000001, -20000, 2000000000, -50, 1, 1333333333, 1}));
}

TEST(CheckerOperators, ConstantDivisorAndAddImmediateForms) {
    const compiled c = compile(
        "kernel k(const i32* a, i32* o, const u32* w, u32* v) {\n"
        "  o[0] = a[0] / 7; o[1] = a[0] % 7; o[2] = a[0] / 1; o[3] = a[0] / 65536;\n"
        "  o[4] = a[0] + 3; o[5] = 3 + a[0]; o[6] = a[0] - 3; o[7] = 3 - a[0]; o[8] = a[0] / -7;\n"
        "  v[0] = w[0] / 10u; v[1] = w[0] % 10u;\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_DIVC_I32), 1);
    EXPECT_EQ(count_op(p, LUMK_MODC_I32), 1);
    EXPECT_EQ(count_op(p, LUMK_DIV_I32), 3);  // by 1, by 65536, by -7
    EXPECT_EQ(count_op(p, LUMK_DIVC_U32), 1);
    EXPECT_EQ(count_op(p, LUMK_MODC_U32), 1);
    EXPECT_EQ(count_op(p, LUMK_ADDI_I32), 3);
    EXPECT_EQ(count_op(p, LUMK_SUB_I32), 1);
    for (const lumk_insn& i : p.code) {
        if (i.op == LUMK_DIVC_I32) {
            EXPECT_EQ(i.c, 7);
            EXPECT_EQ(i.imm, lumk_divc_multiplier(7));
        }
        if (i.op == LUMK_ADDI_I32 && i.imm != 3) {
            EXPECT_EQ(i.imm, static_cast<uint64_t>(-3));
        }
    }
    // every 32-bit dividend gives the same quotient and remainder as a real division
    for (int32_t x : {-7, -1, 0, 2147483647, -2147483647 - 1, 12345, -12345}) {
        buffer a = buffer::of<int32_t>({x}), o = buffer::of<int32_t>(std::vector<int32_t>(9, 0));
        buffer w = buffer::of<uint32_t>({static_cast<uint32_t>(x)}), v = buffer::of<uint32_t>({0, 0});
        ASSERT_EQ(run(p, 1, {&a, &o, &w, &v}).code, 0);
        const std::vector<int32_t> r = o.as<int32_t>();
        EXPECT_EQ(r[0], x / 7);
        EXPECT_EQ(r[1], x % 7);
        EXPECT_EQ(r[2], x);
        EXPECT_EQ(r[3], x / 65536);
        EXPECT_EQ(r[4], static_cast<int32_t>(static_cast<uint32_t>(x) + 3u));
        EXPECT_EQ(r[7], static_cast<int32_t>(3u - static_cast<uint32_t>(x)));
        EXPECT_EQ(r[8], x / -7);
        EXPECT_EQ(v.as<uint32_t>()[0], static_cast<uint32_t>(x) / 10u);
        EXPECT_EQ(v.as<uint32_t>()[1], static_cast<uint32_t>(x) % 10u);
    }
}

TEST(CheckerOperators, AssignmentsWriteTheirRegisterDirectly) {
    const compiled c = compile("kernel k(const i32* a, i32* o) { i32 y = a[0] * 2; y = y + a[1]; o[0] = y; }", false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_MOV), 0);
    EXPECT_EQ(mnemonics(p), (std::vector<std::string>{"LD_I32", "MUL_I32", "LD_I32", "ADD_I32", "ST_I32", "END"}));
    EXPECT_EQ(run_i32("kernel k(const i32* a, i32* o) { i32 y = a[0] * 2; y = y + a[1]; o[0] = y; }", {5, 4}, 1),
              (std::vector<int32_t>{14}));
    // also a helper's argument computed by the kernel's first instruction
    const compiled arg = compile("kernel inline id(i32 x) -> i32 { return x; }\n"
                                 "kernel k(const i32* a, i32* o) { o[0] = id(a[0]); }", false);
    ASSERT_TRUE(arg.ok()) << arg.err.message;
    EXPECT_EQ(mnemonics(*arg.unit->programs[0]), (std::vector<std::string>{"LD_I32", "MOV", "JMP", "ST_I32", "END"}));
}

TEST(CheckerOperators, VectorOperations) {
    const compiled c = compile(
        "kernel k(f32* o, i32* io) {\n"
        "  f32x4 v = f32x4(1.0, 2.0, 3.0, 4.0);\n"
        "  f32x4 w = v * 2.0 + v;\n"
        "  f32x4 m = -w;\n"
        "  o[0] = w.x; o[1] = w.y; o[2] = w.z; o[3] = m.w;\n"
        "  i32x2 iv = i32x2(f32x2(1.9, -1.9)) + 1;\n"
        "  io[0] = iv.x; io[1] = iv.y;\n"
        "  i32x3 b = i32x3(7);\n"
        "  b += i32x3(1, 2, 3); b *= 2;\n"
        "  io[2] = b.x; io[3] = b.y; io[4] = b.z;\n"
        "  f32x2 h = f32x2(f32x3(5.0, 6.0, 7.0).z);\n"
        "  o[4] = h.x + h.y;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
    buffer o = buffer::of<float>(std::vector<float>(5, 0)), io = buffer::of<int32_t>(std::vector<int32_t>(5, 0));
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&o, &io}).code, 0);
    EXPECT_EQ(o.as<float>(), (std::vector<float>{3, 6, 9, -12, 14}));
    EXPECT_EQ(io.as<int32_t>(), (std::vector<int32_t>{2, 0, 16, 18, 20}));
    // vector types are struct records after the declared structs, in order of first use
    const compiled u = compile("struct A { f32x3 p; } kernel k(f32* o) { i32x2 v = i32x2(1); }");
    ASSERT_TRUE(u.ok());
    ASSERT_EQ(u.unit->structs.size(), 3u);
    EXPECT_EQ(u.unit->structs[0].name, "A");
    EXPECT_EQ(u.unit->structs[1].name, "f32x3");
    EXPECT_EQ(u.unit->structs[1].file, "<builtin>");
    EXPECT_EQ(u.unit->structs[1].lane_count, 3);
    EXPECT_EQ(u.unit->structs[1].fields[2].name, "z");
    EXPECT_EQ(u.unit->structs[1].fields[2].offset, 8u);
    EXPECT_EQ(u.unit->structs[2].name, "i32x2");
}

TEST(CheckerOperators, VectorMessages) {
    BODY_ERROR("i32x4 v = i32x4(1); i32x4 w = v + 1.5;", "+", "cannot mix i32 with a float literal in '+', convert explicitly");
    BODY_ERROR("f32x4 v = f32x4(1.0); bool c = v == v;", "==", "'==' is not defined for vectors (compare their components)");
    // a condition loads both sides of a comparison before anything else
    BODY_ERROR("f32x4 v = f32x4(1.0); if (v == v) {}", "==",
               "a struct (f32x4) cannot be used as a value, access a field or copy it with '='");
    BODY_ERROR("f32x4 v = f32x4(1.0); while (1.0 < v) {}", "<",
               "a struct (f32x4) cannot be used as a value, access a field or copy it with '='");
    BODY_ERROR("f32x2 a = f32x2(1.0); f32x3 c = f32x3(1.0); f32x2 d = a + c;", "+",
               "'+' needs vectors of the same size (f32x2 and f32x3)");
    BODY_ERROR("f32x2 a = f32x2(1.0); f32x2 d = a + p;", "+", "vectors and pointers cannot be combined");
    BODY_ERROR("f32x2 a = f32x2(1.0); S t; f32x2 d = a + t;", "+", "'+' is not defined for structs");
    BODY_ERROR("f32x3 c = f32x3(1.0); f32x2 d = f32x2(c);", "c)", "cannot convert a f32x3 to f32x2");
    BODY_ERROR("f32x3 c = f32x3(1.0, 2.0);", "f32x3(", "'f32x3' expects 1 or 3 values but got 2");
    BODY_ERROR("f32x2 a = f32x2(1.0); a *= f64(2.0);", "*=",
               "the result is a f64x2, not a f32x2 (write v = f32x2(v * ...))");
    BODY_ERROR("S t; t += 1;", "+=", "'+=' is not defined for structs");
    BODY_ERROR("f32x2 a = f32x2(1.0); f32 x = a;", "a;", "a struct (f32x2) cannot be used as a value, access a field or copy it with '='");
    BODY_ERROR("f32x2 a = f32x2(p);", "f32x2(", "pointers cannot be converted");
}

TEST(CheckerOperators, PointerArithmetic) {
    const compiled c = compile(
        "kernel k(f32* p, i64* d) {\n"
        "  f32* r = p + 2;\n"
        "  r[0] = 7.0; *(r + 1) = 8.0; r += 1; r[1] = 9.0; r--; *r = r[0] + 0.5;\n"
        "  f32* e = &p[gid + 1];\n"
        "  e[0] = 1.5;\n"
        "  d[0] = (p + 3) - p; d[i32(1)] = i64(r > p); d[u64(2)] = e - r;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer p = buffer::of<float>(std::vector<float>(6, 0)), d = buffer::of<int64_t>({0, 0, 0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&p, &d}).code, 0);
    EXPECT_EQ(p.as<float>(), (std::vector<float>{0, 1.5, 7.5, 8, 9, 0}));
    EXPECT_EQ(d.as<int64_t>(), (std::vector<int64_t>{3, 1, -1}));
}

TEST(CheckerOperators, PointerMessages) {
    BODY_ERROR("bool c = p < q;", "<", "pointers into different parameters cannot be compared or subtracted");
    BODY_ERROR("bool c = p == q;", "==", "pointers into different parameters cannot be compared or subtracted");
    BODY_ERROR("f32* r = p + p;", "+", "'+' is not defined for two pointers");
    BODY_ERROR("f32* r = p * 2;", "* 2", "only 'pointer + integer' and 'pointer - integer' are defined");
    BODY_ERROR("f32* r = 1 - p;", "-", "only 'pointer + integer' and 'pointer - integer' are defined");
    BODY_ERROR("f32* r = p + f;", "+", "pointer arithmetic needs an integer offset but got a f32");
    BODY_ERROR("f32* r = p + 18446744073709551615;", "+", "pointer offset out of range");
    BODY_ERROR("f32* r = p; r *= 2;", "*=", "only += and -= (and ++ / --) are defined for pointers");
    BODY_ERROR("f32* r = p; r = q;", "q;", "pointer variable 'r' points into 'q' and cannot be set to another parameter");
    BODY_ERROR("f32 x = *p + p;", "+", "pointer arithmetic needs an integer offset but got a f32");
}

TEST(CheckerOperators, ConditionalOperator) {
    BODY_ERROR("i32 x = 1 ? 2 : 3;", "1 ?", "the condition of '?:' must be a bool");
    BODY_ERROR("i32 x = n ? 1 : 2;", "n ?", "a condition must be a bool but got a i32 (write x != 0)");
    BODY_ERROR("f32* r = b ? p : p;", "?", "'?:' cannot select pointers");
    BODY_ERROR("i64 x = b ? 5000000000 : 1;", "5000000000", "integer literal 5000000000 does not fit into i32");
    EXPECT_EQ(error_of(K("i64 x = b ? 1 : 5000000000; i32 y = true ? n : zz; f64 d = b ? 1 : 2.5;")), "ok");

    const std::string src = "kernel k(const i32* a, i64* o, const f32* x, f64* d) {\n"
                            "  o[gid] = a[gid] > 2 ? a[gid] : i64(100);\n"
                            "  d[gid] = a[gid] > 2 ? x[gid] : f64(2.5);\n"
                            "}";
    const compiled c = compile(src, false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_NOP), 0);
    EXPECT_EQ(count_op(p, LUMK_CVT_F32_F64), 1);  // moved into the then-branch
    buffer a = buffer::of<int32_t>({1, 5}), o = buffer::of<int64_t>({0, 0}), x = buffer::of<float>({0.5f, 0.25f}),
           d = buffer::of<double>({0, 0});
    ASSERT_EQ(run(p, 2, {&a, &o, &x, &d}).code, 0);
    EXPECT_EQ(o.as<int64_t>(), (std::vector<int64_t>{100, 5}));
    EXPECT_EQ(d.as<double>(), (std::vector<double>{2.5, 0.25}));
}

TEST(CheckerOperators, IndexingMessages) {
    BODY_ERROR("f32 x = p[18446744073709551615];", "18446744073709551615", "index out of range");
    BODY_ERROR("f32 x = p[1.5];", "1.5", "an index must be an integer but got a float literal");
    BODY_ERROR("f32 x = p[f];", "f]", "an index must be an integer but got a f32");
    BODY_ERROR("f32 a[5]; a[5] = 1.0;", "5] =", "array index 5 is out of bounds (array size 5)");
    BODY_ERROR("f32 a[5]; a[-1] = 1.0;", "-1]", "array index -1 is out of bounds (array size 5)");
    BODY_ERROR("f32 a[5]; a[1.5] = 1.0;", "1.5", "an index must be an integer");
    BODY_ERROR("f32 a[5]; a[f] = 1.0;", "f]", "an index must be an integer but got a f32");
    BODY_ERROR("f32 x = n[0];", "[", "only pointers and array fields can be indexed, not a i32");
    BODY_ERROR("f32 a[5]; f32 x = a;", "a;", "an array (f32[5]) cannot be used as a value, index it");
    BODY_ERROR("f32 a[5]; a = a;", "a =", "cannot assign to an array, assign its elements");
}

TEST(CheckerOperators, IndexShapes) {
    const compiled c = compile(
        "kernel k(const f32* p, f32* o, const u8* i8s, const u16* i16s) {\n"
        "  o[gid] = p[gid + 2] + p[2 + gid] + p[gid - 1];\n"
        "  o[gid + 1073741824] = 1.0;\n"
        "  f32 a[256]; f32 b[255]; u8 c[65536];\n"
        "  a[4] = 1.0; a[i8s[0]] = 2.0; b[i8s[0]] = 3.0; c[i16s[0]] = u8(1);\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    int offsets = 0;
    for (const lumk_insn& i : p.code)
        if (i.op == LUMK_LD_F32) offsets += i.imm == 2 ? 1 : i.imm == static_cast<uint64_t>(-1) ? 10 : 0;
    EXPECT_EQ(offsets, 12);                   // two loads with +2, one with -1, no additions
    EXPECT_EQ(count_op(p, LUMK_ADDI_U32), 1); // the large offset is added at run time
    EXPECT_EQ(count_op(p, LUMK_ADD_X64), 3);  // the three register-indexed arrays
    EXPECT_EQ(count_op(p, LUMK_CHKIDX), 1);   // u8 / u16 index: only the 255-element array is checked
    EXPECT_EQ(count_op(p, LUMK_SHL_X64), 2);  // stride 4 scales by a shift, stride 1 needs none
    EXPECT_EQ(count_op(p, LUMK_ZERO), 3);     // the arrays start zeroed
}

TEST(CheckerOperators, BoundsTrapsAtRunTime) {
    const compiled c = compile(
        "kernel k(const i32* idx, f32* p) {\n"
        "  f32 a[5];\n"
        "  a[idx[0]] = 1.0;\n"
        "  p[gid + 2] = a[0];\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& prog = *c.unit->programs[0];
    buffer idx = buffer::of<int32_t>({7}), p = buffer::of<float>(std::vector<float>(5, 0));
    EXPECT_EQ(run(prog, 1, {&idx, &p}).message, "array index 7 is out of bounds (array size 5)");
    idx = buffer::of<int32_t>({-1});
    EXPECT_EQ(run(prog, 1, {&idx, &p}).message, "array index -1 is out of bounds (array size 5)");
    idx = buffer::of<int32_t>({4});
    const run_result r = run(prog, 4, {&idx, &p});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.message, "index 5 is out of bounds of 'p' (5 elements)");

    // inside unchecked blocks array indexes are not checked
    const compiled u = compile("kernel k(const i32* idx, f32* p) { f32 a[5]; unchecked { a[idx[0]] = 1.0; } }", false);
    ASSERT_TRUE(u.ok());
    EXPECT_EQ(count_op(*u.unit->programs[0], LUMK_CHKIDX), 0);
}

TEST(CheckerOperators, FieldAccess) {
    BODY_ERROR("f32 x = sp.a;", ".", "use '->' to access a field through a pointer ('p->a' or 'p[i].a')");
    BODY_ERROR("f32 x = n->a;", "->", "'->' needs a pointer to a struct");
    BODY_ERROR("f32 x = n.a;", ".", "'.a' needs a struct");
    BODY_ERROR("f32 x = p->a;", "->", "'.a' needs a struct");
    BODY_ERROR("f32 x = sp->zz;", "->", "struct 'S' has no field 'zz'");
    BODY_ERROR("S t; f32 x = t.arr.a;", ".a;", "'.a' needs a struct");

    const compiled d = compile(
        "struct P { f32 x; i32 n; u8 tag[3]; }\n"
        "kernel k(P* ps, const i32* i) {\n"
        "  ps[1].n = 5; ps->x = 2.5; ps[gid + 1].tag[2] = u8(9); ps[1].tag[i[0]] = u8(ps[1].n);\n"
        "  atomic_add(ps[0].n, 3);\n"
        "}");
    ASSERT_TRUE(d.ok()) << d.err.message;
    std::vector<uint8_t> mem(2 * 11, 0);
    buffer ps;
    ps.bytes = mem;
    buffer i = buffer::of<int32_t>({1});
    ASSERT_EQ(run(*d.unit->programs[0], 1, {&ps, &i}).code, 0);
    float x;
    int32_t n0, n1;
    std::memcpy(&x, ps.bytes.data(), 4);
    std::memcpy(&n0, ps.bytes.data() + 4, 4);
    std::memcpy(&n1, ps.bytes.data() + 15, 4);
    EXPECT_EQ(x, 2.5f);
    EXPECT_EQ(n0, 3);
    EXPECT_EQ(n1, 5);
    EXPECT_EQ(ps.bytes[11 + 8 + 2], 9);
    EXPECT_EQ(ps.bytes[11 + 8 + 1], 5);
}
