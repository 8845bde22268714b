// Statements: declarations and initializers, assignments, control flow,
// returns and reductions, with the code shapes the engines rely on.

#include <cmath>

#include "tests/kernel/checker_test_util.h"

using namespace ktest;

namespace {

const std::string kPre =
    "struct S { f32 a; i32 n; }\n"
    "const i32 C = 3;\n"
    "kernel k(f32* p, const f32* cp, i32* ip, i32 n, f32 f) {\n";

std::string K(const std::string& body) { return kPre + body + "\n}\n"; }

#define BODY_ERROR(body, needle, message) EXPECT_COMPILE_ERROR(K(body), body, needle, message)

}  // namespace

TEST(CheckerStatements, StatementMessages) {
    BODY_ERROR("f;", "f;", "this expression does nothing (only calls can be statements)");
    BODY_ERROR("p[0] + 1.0;", "p[0]", "this expression does nothing (only calls can be statements)");
    BODY_ERROR("break;", "break", "'break' outside of a loop");
    BODY_ERROR("continue;", "continue", "'continue' outside of a loop");
    BODY_ERROR("for (i32 i = 0; i < 3; i32 j = 0) {}", "i32 j", "the step of a for loop cannot declare variables");
    BODY_ERROR("if (n) {}", "n)", "a condition must be a bool but got a i32 (write x != 0)");
    BODY_ERROR("while (1) {}", "1)", "a condition must be a bool but got a integer literal (write x != 0)");
    BODY_ERROR("if (!n) {}", "n)", "a condition must be a bool but got a i32 (write x != 0)");
}

TEST(CheckerStatements, DeclarationMessages) {
    BODY_ERROR("void x;", "void", "variables cannot be void");
    BODY_ERROR("void* x = p;", "void", "variables cannot be void");
    BODY_ERROR("bool* x = p;", "bool", "bool* is not supported (use u8*)");
    BODY_ERROR("Q x;", "Q", "unknown type 'Q'");
    BODY_ERROR("f32* a[3];", "f32*", "arrays of pointers are not supported");
    BODY_ERROR("bool a[3];", "bool", "bool arrays are not supported (use u8)");
    BODY_ERROR("bool ok = true, a[3];", "bool", "bool arrays are not supported (use u8)");  // at the statement
    BODY_ERROR("f32 a[0];", "0]", "array size must be a positive integer constant");
    BODY_ERROR("f32 a[1048577];", "1048577", "array size must be a positive integer constant");
    BODY_ERROR("f32 a[1.5];", "1.5", "array size must be a positive integer constant");
    BODY_ERROR("f32 a[-1];", "-1", "array size must be a positive integer constant");
    BODY_ERROR("f32 a[n];", "n]", "not a constant expression");
    BODY_ERROR("u8 a[600000]; u8 b[600000];", "b[", "the local variables of this kernel need more than 1 MiB");
    BODY_ERROR("f64 a[131073];", "a[", "the local variables of this kernel need more than 1 MiB");
    BODY_ERROR("i32 x = {1};", "{1}", "a {...} list initializes arrays, structs and vectors, not a i32");
    BODY_ERROR("f32 a[2] = {{1.0}, 2.0};", "{1.0}", "a {...} list initializes arrays, structs and vectors, not a f32");
    BODY_ERROR("f32* r;", "f32*", "pointer variables must be initialized ('f32* r = p;')");
    BODY_ERROR("f32* q = p, r;", "f32*", "pointer variables must be initialized ('f32* r = p;')");
    BODY_ERROR("const f32* r;", "const", "pointer variables must be initialized ('const f32* r = p;')");
    BODY_ERROR("f32 a[3] = 1.0;", "1.0", "arrays are initialized with a list ('{1, 2, 3}')");
    BODY_ERROR("f32 a[2] = {1.0, 2.0, 3.0};", "3.0", "too many values for an array of 2");
    BODY_ERROR("S s = {1.0, 2, 3};", "3}", "too many values for 'S' (2 fields)");
    BODY_ERROR("S s = f;", "f;", "expected a S but got a f32");
    BODY_ERROR("i32 gid = 1;", "gid", "'gid' is a reserved word");
    BODY_ERROR("i32 S = 1;", "S =", "'S' is already the name of a kernel struct or constant");
    BODY_ERROR("i32 C = 1;", "C =", "'C' is already the name of a kernel struct or constant");
    BODY_ERROR("i32 x = 1; f32 x = 2.0;", "x = 2", "'x' is already declared in this scope");
    BODY_ERROR("i32 x = x;", "x;", "unknown name 'x'");
    // shadowing an outer scope is fine; sibling scopes share frame space
    EXPECT_EQ(error_of(K("i32 x = 1; { f32 x = 2.0; } { u8 a[600000]; } { u8 b[600000]; }")), "ok");
    EXPECT_EQ(error_of(K("i32 p = 1;")), "ok");  // parameters live in the scope around the body
}

TEST(CheckerStatements, AssignmentMessages) {
    BODY_ERROR("n = 1;", "n =", "kernel parameters are read only, copy 'n' into a local variable first");
    BODY_ERROR("p = p;", "p =", "kernel parameters are read only, copy 'p' into a local variable first");
    BODY_ERROR("n += 1;", "n +=", "kernel parameters are read only, copy 'n' into a local variable first");
    BODY_ERROR("gid = 1;", "gid", "'gid' is read only");
    BODY_ERROR("gsize_y++;", "gsize_y", "'gsize_y' is read only");
    BODY_ERROR("C = 1;", "C =", "'C' is a constant");
    BODY_ERROR("zz = 1;", "zz", "unknown name 'zz'");
    BODY_ERROR("sqrt(f) = 1.0;", "sqrt", "cannot assign to this expression");
    BODY_ERROR("f32 a[2]; f32 b[2]; a = b;", "a =", "cannot assign to an array, assign its elements");
    BODY_ERROR("cp[0] = 1.0;", "[0] =", "cannot write through a const pointer");
    BODY_ERROR("cp[0] += 1.0;", "[0] +=", "cannot write through a const pointer");
    BODY_ERROR("S s; s = f;", "f;", "expected a S but got a f32");
    BODY_ERROR("u8 x; x += 1;", "+=", "cannot convert i32 to u8 implicitly, write u8(...)");
    BODY_ERROR("u8 a[2]; a[0] += 1;", "+=", "cannot convert i32 to u8 implicitly, write u8(...)");
    BODY_ERROR("i32 x = 0; x += 1.5;", "+=", "cannot mix i32 with a float literal in '+', convert explicitly");
    BODY_ERROR("S s; s = {1.0, 2};", "{",
               "a {...} list is only allowed to initialize a variable or in a return statement");
    EXPECT_EQ(error_of(K("const i32 c = 1; c = 2; u8 x; x = u8(x + 1);")), "ok");  // const has no effect on scalars
}

TEST(CheckerStatements, CompoundAssignmentsOnEveryTarget) {
    const compiled c = compile(
        "kernel k(i32* o, u32* w, f64* d) {\n"
        "  i32 x = 100;\n"
        "  x += 5; x -= 1; x *= 3; x /= 4; x %= 50; x &= 0x3F; x |= 0x100; x ^= 1; x <<= 2; x >>= 1;\n"
        "  o[0] = x;\n"
        "  o[1] += 7; o[1] *= 2; o[1]++; o[2]--; o[3] <<= 4; o[3] >>= 1;\n"
        "  w[0] >>= 1; w[0] -= 1u;\n"
        "  d[0] /= 4.0; d[0]++;\n"
        "  i32 a[3] = {1, 2, 3}; a[gid] += 10; a[2] *= a[1];\n"
        "  o[4] = a[0] + a[1] + a[2];\n"
        "  for (i32 i = 0; i < 3; i++) { o[5] += i; }\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
    buffer o = buffer::of<int32_t>({0, 1, 0, 3, 0, 0}), w = buffer::of<uint32_t>({0}), d = buffer::of<double>({6.0});
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&o, &w, &d}).code, 0);
    int32_t x = 100;
    x += 5; x -= 1; x *= 3; x /= 4; x %= 50; x &= 0x3F; x |= 0x100; x ^= 1; x <<= 2; x >>= 1;
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{x, 17, -1, 24, 11 + 2 + 6, 3}));
    EXPECT_EQ(w.as<uint32_t>()[0], 0xFFFFFFFFu);
    EXPECT_EQ(d.as<double>()[0], 2.5);
}

TEST(CheckerStatements, ControlFlow) {
    const compiled c = compile(
        "kernel k(i32* o) {\n"
        "  i32 s = 0;\n"
        "  for (i32 i = 0; i < 10; i++) { if (i == 2) { continue; } if (i > 6) { break; } s += i; }\n"
        "  o[0] = s;\n"
        "  i32 j = 0; while (j * j < 50) { j++; }\n"
        "  o[1] = j;\n"
        "  i32 t = 0;\n"
        "  for (i32 a = 0; a < 4; a++) { for (i32 b = 0; ; b++) { if (b >= a) { break; } t += 1; } }\n"
        "  o[2] = t;\n"
        "  if (j > 100) { o[3] = 1; } else if (j > 5) { o[3] = 2; } else { o[3] = 3; }\n"
        "  bool both = j > 5 && s > 100 || !(j == 8);\n"
        "  o[4] = both ? 1 : 0;\n"
        "  for (;;) { o[5] += 1; if (o[5] >= 3) { break; } }\n"
        "  i32 r = 0; for (r = 5; r > 0; r -= 2) {}\n"
        "  o[6] = r;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    buffer o = buffer::of<int32_t>(std::vector<int32_t>(7, 0));
    ASSERT_EQ(run(p, 1, {&o}).code, 0);
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{0 + 1 + 3 + 4 + 5 + 6, 8, 6, 2, 0, 3, -1}));
}

TEST(CheckerStatements, LongElseIfChains) {
    // A chain picks the first true link; 300 links compile like 3, on the
    // chain's nesting level, in a kernel and in a helper that must return.
    const int links = 300;
    std::string chain = "  if (x == 0) { o[gid] = 1000; }";
    for (int i = 1; i < links; ++i) chain += " else if (x == " + std::to_string(i) + ") { o[gid] = " + std::to_string(1000 + i) + "; }";
    chain += " else { o[gid] = -1; }\n";
    std::string helper = "kernel inline pick(i32 x) -> i32 {\n  if (x == 0) { return 7; }";
    for (int i = 1; i < links; ++i) helper += " else if (x == " + std::to_string(i) + ") { return " + std::to_string(7 + i) + "; }";
    helper += " else { return -7; }\n}\n";
    for (const bool optimize : {true, false}) {
        const compiled c = compile(helper + "kernel k(i32* o, i32* h) {\n  i32 x = i32(gid) * 7 % 311;\n" + chain +
                                       "  h[gid] = pick(x);\n}",
                                   optimize);
        ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
        buffer o = buffer::of<int32_t>(std::vector<int32_t>(311, 0)), h = o;
        ASSERT_EQ(run(*c.unit->programs[0], 311, {&o, &h}).code, 0);
        for (int32_t g = 0; g < 311; ++g) {
            const int32_t x = g * 7 % 311;
            EXPECT_EQ(o.as<int32_t>()[g], x < links ? 1000 + x : -1) << g;
            EXPECT_EQ(h.as<int32_t>()[g], x < links ? 7 + x : -7) << g;
        }
    }
    // A helper whose chain misses a return on one link does not return on every path.
    EXPECT_EQ(error_of("kernel inline f(i32 x) -> i32 { if (x == 0) { return 1; } else if (x == 1) { x = 2; } "
                       "else { return 3; } }\nkernel k(i32* o) { o[0] = f(1); }"),
              "1:15: 'f' does not return a value on every path");
    EXPECT_EQ(error_of("kernel inline f(i32 x) -> i32 { if (x == 0) { return 1; } else if (x == 1) { return 2; } }\n"
                       "kernel k(i32* o) { o[0] = f(1); }"),
              "1:15: 'f' does not return a value on every path");
}

TEST(CheckerStatements, LoopShapes) {
    const compiled c = compile(
        "kernel k(i32* o, const i32* a, const i32* b) {\n"
        "  for (i32 i = 0; i < 4; i++) { o[i] = i; }\n"
        "  i32 j = 0; while (j < 3) { j++; }\n"
        "  for (;;) { break; }\n"
        "  if (true) { o[0] = 1; }\n"
        "  if (false) { o[1] = 1; }\n"
        "  if (a[0] < b[0] && a[1] == 0) { o[2] = 2; }\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_LOOP), 3);
    EXPECT_EQ(count_op(p, LUMK_JFLT_S), 3);  // fused compares of the for, the while and the if
    EXPECT_EQ(count_op(p, LUMK_JFEQ_X), 1);  // a[1] == 0 jumps away when not equal
    EXPECT_EQ(count_op(p, LUMK_JT) + count_op(p, LUMK_JF), 0);
    EXPECT_EQ(count_op(p, LUMK_JMP), 2);  // the break, and the jump over the 'if (false)' branch
    // every LOOP jumps back to the head of its loop
    for (size_t pc = 0; pc < p.code.size(); ++pc)
        if (p.code[pc].op == LUMK_LOOP) {
            EXPECT_LT(p.code[pc].imm, pc);
        }
    // a bool variable as condition is tested with JF
    const compiled w = compile(
        "kernel k(i32* o) { i32 n = 0; bool go = true; while (go) { n++; go = n < 3; } o[0] = n; }", false);
    ASSERT_TRUE(w.ok()) << w.err.message;
    EXPECT_EQ(count_op(*w.unit->programs[0], LUMK_JF), 1);
}

TEST(CheckerStatements, LocalsStartFreshForEveryWorkItem) {
    const compiled c = compile(
        "struct P { i32 a; i32 b; }\n"
        "kernel k(i32* o) {\n"
        "  i32 acc; acc += i32(gid);\n"
        "  i32 a[4]; a[gid % 4u] = 5;\n"
        "  P s; s.a += 1;\n"
        "  f32x2 v; v.x += 1.0;\n"
        "  o[gid] = acc * 1000 + (a[0] + a[1] + a[2] + a[3]) * 10 + s.a + i32(v.x);\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer o = buffer::of<int32_t>(std::vector<int32_t>(6, 0));
    ASSERT_EQ(run(*c.unit->programs[0], 6, {&o}).code, 0);
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{52, 1052, 2052, 3052, 4052, 5052}));

    // a struct copied from another needs no zeroing first
    const compiled s = compile("struct P { i32 a; }\nkernel k(const P* in, i32* o) { P x = in[0]; o[0] = x.a; }", false);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(count_op(*s.unit->programs[0], LUMK_ZERO), 0);
    EXPECT_EQ(count_op(*s.unit->programs[0], LUMK_COPY), 1);
    const compiled z = compile("struct P { i32 a; }\nkernel k(i32* o) { P x = {1}; P y; o[0] = x.a + y.a; }", false);
    ASSERT_TRUE(z.ok());
    EXPECT_EQ(count_op(*z.unit->programs[0], LUMK_ZERO), 2);
}

TEST(CheckerStatements, FrameAndUncheckedAccesses) {
    const compiled c = compile(
        "kernel k(const f32* p, f32* o) {\n"
        "  f32 a[4] = {1.0, 2.0};\n"
        "  unchecked { o[gid] = p[gid + 100] + a[1]; }\n"
        "}",
        false);
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    EXPECT_EQ(count_op(p, LUMK_LDU_F32), 1);
    EXPECT_EQ(count_op(p, LUMK_STU_F32), 1);
    EXPECT_EQ(count_op(p, LUMK_LD_F32) + count_op(p, LUMK_ST_F32), 0);
    EXPECT_EQ(count_op(p, LUMK_LDFU_F32), 1);  // the frame read
    EXPECT_EQ(count_op(p, LUMK_STFU_F32), 2);  // the initializer
    EXPECT_EQ(count_op(p, LUMK_LDF_F32) + count_op(p, LUMK_STF_F32), 0);
    EXPECT_GT(p.frame_bytes, 0u);
    EXPECT_EQ(p.frame_slot, 2u);
}

TEST(CheckerStatements, StructAndVectorLocals) {
    const compiled c = compile(
        "struct In { f32 x; f32 y; }\n"
        "struct Box { In lo; In hi; u8 tag[2]; }\n"
        "kernel k(const In* in, f32* o) {\n"
        "  Box b = {in[0], {3.0, 4.0}, {u8(7), u8(9)}};\n"
        "  Box c = b;\n"
        "  c.hi.x = 10.0; c.tag[1] = u8(1);\n"
        "  In arr[2] = {{1.0, 2.0}};\n"
        "  arr[1] = c.lo;\n"
        "  o[0] = b.lo.x + b.hi.y; o[1] = c.hi.x; o[2] = f32(b.tag[1] + c.tag[1]); o[3] = arr[0].y + arr[1].x;\n"
        "  f32x3 v = f32x3(1.0, 2.0, 3.0); f32x3 w = v; w.y = 0.5; v += w;\n"
        "  o[4] = v.x + v.y + v.z;\n"
        "}");
    ASSERT_TRUE(c.ok()) << c.err.line << ":" << c.err.column << " " << c.err.message;
    buffer in = buffer::of<float>({1.5f, 2.5f}), o = buffer::of<float>(std::vector<float>(5, 0));
    ASSERT_EQ(run(*c.unit->programs[0], 1, {&in, &o}).code, 0);
    EXPECT_EQ(o.as<float>(), (std::vector<float>{5.5f, 10, 10, 3.5f, 2 + 2.5f + 6}));
}

TEST(CheckerStatements, ReturnMessages) {
    const std::string miss = "kernel k() -> i32 reduce(+) { return; }";
    EXPECT_COMPILE_ERROR(miss, "return", "return", "this kernel must return a i32 (it is reduced with +)");
    const std::string fmiss = "struct R { f64 sum; u32 n; }\nkernel k() -> R reduce(sum: +, n: max) { return; }";
    EXPECT_COMPILE_ERROR(fmiss, "return", "return", "this kernel must return a R (it is reduced with sum: +, n: max)");
    const std::string list = "kernel k() -> i32 reduce(+) { return {1}; }";
    EXPECT_COMPILE_ERROR(list, "{ return", "{1}", "a {...} list needs a struct result");
    const std::string vv = "kernel k() { return 1; }";
    EXPECT_COMPILE_ERROR(vv, "return", "1;", "a void kernel cannot return a value");
    const std::string wrong = "struct R { f64 sum; }\nkernel k(const f32* x) -> R reduce(sum: +) { return x[0]; }";
    EXPECT_COMPILE_ERROR(wrong, "return", "[0]", "expected a R but got a f32");
    const std::string conv = "kernel k(const f64* x) -> f32 reduce(+) { return x[0]; }";
    EXPECT_COMPILE_ERROR(conv, "return", "[0]", "cannot convert f64 to f32 implicitly, write f32(...)");
}

TEST(CheckerStatements, ReturnsEndTheWorkItem) {
    const compiled c = compile(
        "kernel k(const i32* a, i32* o) { if (a[gid] < 0) { return; } o[gid] = a[gid] * 2; }\n"
        "kernel pos(const i32* a) -> i32 reduce(+) { if (a[gid] > 0) { return a[gid]; } }\n");
    ASSERT_TRUE(c.ok()) << c.err.message;
    buffer a = buffer::of<int32_t>({1, -2, 3, -4}), o = buffer::of<int32_t>({9, 9, 9, 9});
    ASSERT_EQ(run(program(c, "k"), 4, {&a, &o}).code, 0);
    EXPECT_EQ(o.as<int32_t>(), (std::vector<int32_t>{2, 9, 6, 9}));
    EXPECT_EQ(run(program(c, "pos"), 4, {&a}).acc0(), 4u);
    EXPECT_EQ(program(c, "pos").reductions.at(0).offset, 0u);  // a whole result starts the result record
}

TEST(CheckerStatements, ReductionsOfEveryTypeAndOperator) {
    // 5, -3, 12, 7, -8 converted to the result type and reduced; integer
    // results in canonical register form (32-bit signed ones sign-extended).
    const char* ops[] = {"+", "min", "max", "&", "|", "^"};
    const std::pair<const char*, std::vector<int64_t>> ints[] = {
        {"i32", {13, -8, 12, 0, -1, 11}},
        {"u32", {13, 5, 0xFFFFFFFD, 0, 0xFFFFFFFF, 11}},
        {"i64", {13, -8, 12, 0, -1, 11}},
        {"u64", {13, 5, -3, 0, -1, 11}},
    };
    buffer x = buffer::of<int64_t>({5, -3, 12, 7, -8});
    for (const auto& [t, want] : ints) {
        for (size_t i = 0; i < 6; ++i) {
            const std::string src = std::string("kernel k(const i64* x) -> ") + t + " reduce(" + ops[i] +
                                    ") { return " + t + "(x[gid]); }";
            const compiled c = compile(src);
            ASSERT_TRUE(c.ok()) << src << ": " << c.err.message;
            EXPECT_EQ(run(*c.unit->programs[0], 5, {&x}).acc0(), static_cast<uint64_t>(want[i])) << src;
        }
    }
    buffer fx = buffer::of<double>({2.5, -1.25, 8.0, 0.5});
    for (const char* t : {"f32", "f64"}) {
        const double want[] = {9.75, -1.25, 8.0};
        for (size_t i = 0; i < 3; ++i) {
            const std::string src = std::string("kernel k(const f64* x) -> ") + t + " reduce(" + ops[i] +
                                    ") { return " + t + "(x[gid]); }";
            const compiled c = compile(src);
            ASSERT_TRUE(c.ok()) << src << ": " << c.err.message;
            const uint64_t got = run(*c.unit->programs[0], 4, {&fx}).acc0();
            EXPECT_EQ(t[1] == '3' ? static_cast<double>(f32_of(got)) : f64_of(got), want[i]) << src;
        }
    }
    buffer bx = buffer::of<int32_t>({1, 1, 0});
    for (const auto& [op, want] : {std::pair{"&", 0u}, {"|", 1u}, {"^", 0u}}) {
        const std::string src = std::string("kernel k(const i32* x) -> bool reduce(") + op + ") { return x[gid] > 0; }";
        const compiled c = compile(src);
        ASSERT_TRUE(c.ok()) << src << ": " << c.err.message;
        EXPECT_EQ(run(*c.unit->programs[0], 3, {&bx}).acc0(), want) << src;
    }
}

TEST(CheckerStatements, FieldReductions) {
    const compiled c = compile(
        "struct Stats { f64 sum; f32 top; u32 n; u8 pad; }\n"
        "kernel stats(const f32* src) -> Stats reduce(sum: +, top: max, n: +) {\n"
        "  f32 v = src[gid] * 0.5;\n"
        "  return {f64(v), v, 1u};\n"
        "}\n"
        "kernel vec(const f32* src) -> f32x2 reduce(y: min, x: +) { return f32x2(src[gid], src[gid] + 1.0); }\n");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& s = program(c, "stats");
    ASSERT_EQ(s.reductions.size(), 3u);
    EXPECT_EQ(s.reductions[0].reg, 2);
    EXPECT_EQ(s.reductions[0].offset, 0u);
    EXPECT_EQ(s.reductions[1].offset, 8u);
    EXPECT_EQ(s.reductions[2].offset, 12u);
    EXPECT_EQ(s.reductions[2].field, "n");
    EXPECT_EQ(s.reg_names[2], "acc.sum");
    buffer src = buffer::of<float>({2.0f, 8.0f, -4.0f});
    const run_result r = run(s, 3, {&src});
    ASSERT_EQ(r.code, 0) << r.message;
    EXPECT_EQ(f64_of(r.acc[0]), 3.0);
    EXPECT_EQ(f32_of(r.acc[1]), 4.0f);
    EXPECT_EQ(r.acc[2], 3u);
    const run_result v = run(program(c, "vec"), 3, {&src});
    EXPECT_EQ(f32_of(v.acc[0]), -3.0f);  // y: min of src + 1
    EXPECT_EQ(f32_of(v.acc[1]), 6.0f);   // x: sum of src
}
