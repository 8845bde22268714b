// Parser of the kernel language: expression trees built from source
// (compared in a compact text form), parse errors with exact positions,
// nesting limits and iterative destruction. Declarations and statements are
// checked through the checker's messages and compiled runs.

#include <gtest/gtest.h>

#include <pthread.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"

namespace {

struct parsed {
    lumk_lexer lx;
    std::vector<lumk_decl> decls;

    // Statement i of the body of the first declaration (a kernel).
    const lumk_stmt& stmt(size_t i) const { return *decls.at(0).kernel_decl->body->statements.at(i); }
};

std::unique_ptr<parsed> parse(std::string_view src) {
    auto p = std::make_unique<parsed>();
    lumk_lex(p->lx, src, "p.k");
    lumk_parser ps(p->lx.tokens, p->lx.sources, 0);
    p->decls = lumk_parse_unit(ps);
    return p;
}

kerror parse_error(std::string_view src) {
    try {
        parse(src);
    } catch (const kerror& e) {
        return e;
    }
    ADD_FAILURE() << "no error for: " << src;
    return kerror();
}

std::string type_text(const lumk_type_syntax& t) {
    return (t.is_const ? "const " : "") + t.name + (t.is_pointer ? "*" : "");
}

// Compact text form of an expression tree.
std::string sx(const lumk_expr& e) {
    auto kids = [&](std::string s) {
        for (const auto& c : e.children) s += " " + sx(*c);
        return s;
    };
    switch (e.kind) {
    case lumk_expr_kind::int_lit: return std::to_string(e.token.ival) + (e.token.u_suffix ? "u" : "");
    case lumk_expr_kind::float_lit: return e.token.text;
    case lumk_expr_kind::bool_lit: return "#" + e.name;
    case lumk_expr_kind::name: return e.name;
    case lumk_expr_kind::unary:
    case lumk_expr_kind::binary: return "(" + kids(e.op) + ")";
    case lumk_expr_kind::cond: return "(" + kids("?") + ")";
    case lumk_expr_kind::call: return "(" + kids("call " + e.name) + ")";
    case lumk_expr_kind::index: return "(" + kids("[]") + ")";
    case lumk_expr_kind::field: return "(" + kids(".") + " " + e.name + ")";
    case lumk_expr_kind::arrow: return "(" + kids("->") + " " + e.name + ")";
    case lumk_expr_kind::size_of: return "(sizeof " + type_text(e.type) + ")";
    case lumk_expr_kind::brace: {
        std::string s = "{";
        for (const auto& c : e.children) s += (s.size() > 1 ? " " : "") + sx(*c);
        return s + "}";
    }
    }
    return "?";
}

// Parses "kernel k() { x = <text>; }" and returns the value's tree text.
std::string expr_text(const std::string& text) {
    auto p = parse("kernel k() { x = " + text + "; }");
    return sx(*p->stmt(0).value);
}

}  // namespace

TEST(KernelParser, ExpressionTrees) {
    struct c {
        const char* src;
        const char* tree;
    } cases[] = {
        // Precedence from weakest to strongest, all left-associative.
        {"a || b && c | d ^ e & f == g < h << i + j * k",
         "(|| a (&& b (| c (^ d (& e (== f (< g (<< h (+ i (* j k))))))))))"},
        {"a * b + c << d < e == f & g ^ h | i && j || k",
         "(|| (&& (| (^ (& (== (< (<< (+ (* a b) c) d) e) f) g) h) i) j) k)"},
        {"a - b - c", "(- (- a b) c)"},
        {"a / b % c * d", "(* (% (/ a b) c) d)"},
        {"a != b != c", "(!= (!= a b) c)"},
        {"a <= b >= c > d", "(> (>= (<= a b) c) d)"},
        {"a >> b << c", "(<< (>> a b) c)"},
        {"(a + b) * c", "(* (+ a b) c)"},
        // Unary operators bind tighter than binary ones; a sign is never part of a literal.
        {"-5", "(- 5)"},
        {"- - !~x", "(- (- (! (~ x))))"},
        {"*p + &q", "(+ (* p) (& q))"},
        {"+a * -b", "(* (+ a) (- b))"},
        {"-a[i].f", "(- (. ([] a i) f))"},
        {"*p->q", "(* (-> p q))"},
        // Postfix chains.
        {"a.b[i]", "([] (. a b) i)"},
        {"a[i][j]", "([] ([] a i) j)"},
        {"p->x.y", "(. (-> p x) y)"},
        {"f(a, b + 1, g())", "(call f a (+ b 1) (call g))"},
        {"f32(x)", "(call f32 x)"},
        {"f32x4(1.0, 2.0, 3.0, 4.0)", "(call f32x4 1.0 2.0 3.0 4.0)"},
        {"min(a, max(b, c))", "(call min a (call max b c))"},
        // Conditional: right-associative, lowest precedence.
        {"a ? b : c", "(? a b c)"},
        {"a ? b : c ? d : e", "(? a b (? c d e))"},
        {"a || b ? c + 1 : d", "(? (|| a b) (+ c 1) d)"},
        {"a ? b ? c : d : e", "(? a (? b c d) e)"},
        // Literals, work-item words and sizeof.
        {"true && false", "(&& #true #false)"},
        {"gid + gsize + gid_x + gid_y + gsize_x + gsize_y",
         "(+ (+ (+ (+ (+ gid gsize) gid_x) gid_y) gsize_x) gsize_y)"},
        {"sizeof(f32x4)", "(sizeof f32x4)"},
        {"sizeof(const Stats*) * 2", "(* (sizeof const Stats*) 2)"},
        {"0xFFu + 0b11", "(+ 255u 3)"},
        {"18446744073709551615u", "18446744073709551615u"},
        // Brace lists: nested, trailing comma, empty.
        {"{1, {2, 3,}, {}, {{x}}}", "{1 {2 3} {} {{x}}}"},
        {"{}", "{}"},
        {"{a ? b : c, -d}", "{(? a b c) (- d)}"},
        // Names that are not reserved can be called or used as values.
        {"min + max", "(+ min max)"},
    };
    for (const auto& k : cases) EXPECT_EQ(expr_text(k.src), k.tree) << k.src;
}

TEST(KernelParser, ErrorMessagesAndPositions) {
    // `at` is the text at the error position (its first occurrence); empty
    // means the end of the source.
    struct c {
        std::string src;
        std::string at;
        std::string message;
    } cases[] = {
        {"kernel k() { x = i++; }", "++", "'++' is only allowed as a statement ('i++;')"},
        {"kernel k() { x = --i; }", "--", "'--' is only allowed as a statement ('i--;')"},
        {"kernel k() { f(a[i--]); }", "--", "'--' is only allowed as a statement ('i--;')"},
        {"kernel k() { x = a + ++b; }", "++", "'++' is only allowed as a statement ('i++;')"},
        {"kernel k() { if (x = 3) { } }", "= 3", "assignments are statements, not expressions"},
        {"kernel k() { f(x += 1); }", "+=", "assignments are statements, not expressions"},
        {"kernel k() { x = y = 1; }", "= 1", "assignments are statements, not expressions"},
        {"kernel k() { (f)(1); }", "(1", "only named functions can be called"},
        {"kernel k() { a.b(1); }", "(1", "only named functions can be called"},
        {"kernel k() { x = gid(1); }", "(1", "only named functions can be called"},
        {"kernel k() { x = 1 }", "}", "expected ';' but got '}'"},
        {"kernel k() { x = ; }", "; }", "expected an expression but got ';'"},
        {"kernel k() { f(1,); }", "); }", "expected an expression but got ')'"},
        {"kernel k() { else x; }", "else", "expected an expression but got 'else'"},
        {"kernel k() { x = kernel; }", "kernel;", "expected an expression but got 'kernel'"},
        {"kernel k() { const 5 x; }", "5", "expected a type but got '5'"},
        {"kernel k() { const if x; }", "if", "expected a type but got 'if'"},
        {"kernel k() { x = sizeof(5); }", "5", "expected a type but got '5'"},
        {"kernel k() { x = sizeof f32; }", "f32", "expected '(' but got 'f32'"},
        {"kernel k() { i32 x, ; }", "; }", "expected a name but got ';'"},
        {"kernel k() { x = a->; }", "; }", "expected a name but got ';'"},
        {"kernel k() { x = a.5; }", ".5", "expected ';' but got '.5'"},
        {"kernel k() { x = a ? b; }", "; }", "expected ':' but got ';'"},
        {"kernel k() { x = {1 2}; }", "2", "expected '}' but got '2'"},
        {"kernel k() { if x { } }", "x", "expected '(' but got 'x'"},
        {"kernel k() { while (a { } }", "{ } }", "expected ')' but got '{'"},
        {"kernel k() { unchecked x = 1; }", "x", "expected '{' but got 'x'"},
        {"kernel k() { break }", "}", "expected ';' but got '}'"},
        {"kernel k() { return 1 2; }", "2", "expected ';' but got '2'"},
        {"kernel k() { for (i = 0; i < 3) { } }", ") { }", "expected ';' but got ')'"},
        {"kernel k() { i32 a[3 = 1; }", "= 1", "assignments are statements, not expressions"},
        {"kernel k() { x = 1;", "", "expected '}' but got 'end of source'"},
        {"kernel k()", "", "expected '{' but got 'end of source'"},
        {"kernel k() reduce(+) { }", "reduce", "expected '{' but got 'reduce'"},
        {"kernel k( { }", "{", "expected a type but got '{'"},
        {"kernel k(f32* ) { }", ") {", "expected a name but got ')'"},
        {"kernel k(f32 a b) { }", "b)", "expected ')' but got 'b'"},
        {"kernel inline (", "(", "expected a name but got '('"},
        {"kernel k() -> f32 reduce(*) { }", "*", "expected a reduction operator (+, min, max, &, |, ^) but got '*'"},
        {"kernel k() -> S reduce(a: avg) { }", "avg", "expected a reduction operator (+, min, max, &, |, ^) but got 'avg'"},
        {"kernel k() -> S reduce(a: +, +) { }", "+) {", "expected a name but got '+'"},
        {"kernel k() -> S reduce(a +) { }", "a +", "expected a reduction operator (+, min, max, &, |, ^) but got 'a'"},
        {"kernel k() -> S reduce() { }", ") {", "expected a reduction operator (+, min, max, &, |, ^) but got ')'"},
        {"kernel k() -> { }", "{", "expected a type but got '{'"},
        {"struct S { i32 a }", "}", "expected ';' but got '}'"},
        {"struct S { i32 a;", "", "expected '}' but got 'end of source'"},
        {"struct S { 5 a; }", "5", "expected a type but got '5'"},
        {"struct S { i32 a = 1; }", "= 1", "expected ';' but got '='"},
        {"struct { i32 a; }", "{", "expected a name but got '{'"},
        {"struct S i32 a;", "i32", "expected '{' but got 'i32'"},
        {"const f32 X 1;", "1", "expected '=' but got '1'"},
        {"const f32* X = 1;", "*", "expected a name but got '*'"},
        {"const f32 X = 1", "", "expected ';' but got 'end of source'"},
        {"struct S { i32 a; } foo", "foo", "expected a declaration (struct, cstruct, const or kernel) but got 'foo'"},
        {"i32 x = 1;", "i32", "expected a declaration (struct, cstruct, const or kernel) but got 'i32'"},
        {"}", "}", "expected a declaration (struct, cstruct, const or kernel) but got '}'"},
        {"42", "42", "expected a declaration (struct, cstruct, const or kernel) but got '42'"},
    };
    for (const auto& k : cases) {
        kerror e = parse_error(k.src);
        size_t col = k.at.empty() ? k.src.size() + 1 : k.src.find(k.at) + 1;
        EXPECT_EQ(e.message, k.message) << k.src;
        EXPECT_EQ(e.line, 1u) << k.src;
        EXPECT_EQ(e.column, col) << k.src;
        EXPECT_EQ(e.file, "p.k");
        EXPECT_EQ(e.source_line, k.src);
    }
}

TEST(KernelParser, ErrorPositionsOnLaterLines) {
    // The end token is placed after the last character of the last non-empty line.
    struct c {
        const char* src;
        const char* message;
        uint32_t line, column;
    } cases[] = {
        {"kernel k()\n{\n   return 1\r\n}\n\n", "expected ';' but got '}'", 4, 1},
        {"kernel k() {\n\tx = 1;\n\ty = (2;\n\n", "expected ')' but got ';'", 3, 8},
        {"kernel k() {\n  x = 1; // done\n\n\n", "expected '}' but got 'end of source'", 2, 17},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.src);
        kerror e = parse_error(k.src);
        EXPECT_EQ(e.message, k.message);
        EXPECT_EQ(e.line, k.line);
        EXPECT_EQ(e.column, k.column);
    }
    EXPECT_EQ(parse_error(cases[0].src).source_line, "}");
}

namespace {

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// A kernel whose body is line 1 "kernel k() {" and `stmt` on line 2.
std::string body(const std::string& stmt) { return "kernel k() {\n" + stmt + "\n}"; }

void expect_deep(const std::string& src, const char* message, uint32_t line, uint32_t column) {
    kerror e = parse_error(src);
    EXPECT_EQ(e.message, message);
    EXPECT_EQ(e.line, line);
    EXPECT_EQ(e.column, column);
}

constexpr const char* k_expr_deep = "the expression is nested too deeply";
constexpr const char* k_stmt_deep = "the statements are nested too deeply";

}  // namespace

TEST(KernelParser, ExpressionNestingLimit) {
    // Parentheses: the expression of a statement is level 1, each "(" adds one.
    EXPECT_NO_THROW(parse(body("x = " + repeat("(", 255) + "1" + repeat(")", 255) + ";")));
    expect_deep(body("x = " + repeat("(", 256) + "1" + repeat(")", 256) + ";"), k_expr_deep, 2, 5 + 256);
    expect_deep(body("x = " + repeat("(", 20000) + "1;"), k_expr_deep, 2, 5 + 256);
    // Unary operators.
    EXPECT_NO_THROW(parse(body("x = " + repeat("- ", 255) + "1;")));
    expect_deep(body("x = " + repeat("- ", 256) + "1;"), k_expr_deep, 2, 5 + 2 * 255);
    expect_deep(body("x = " + repeat("!~*&", 100) + "1;"), k_expr_deep, 2, 5 + 255);
    // A long left-associative chain counts its length.
    EXPECT_NO_THROW(parse(body("x = a" + repeat("+a", 255) + ";")));
    expect_deep(body("x = a" + repeat("+a", 256) + ";"), k_expr_deep, 2, 6 + 2 * 255);
    expect_deep(body("x = a" + repeat(" && a", 5000) + ";"), k_expr_deep, 2, 7 + 5 * 255);
    // An index expression sits one level below its "[".
    expect_deep(body("x = a" + repeat("[0]", 300) + ";"), k_expr_deep, 2, 7 + 3 * 254);
    expect_deep(body("x = a" + repeat(".b", 300) + ";"), k_expr_deep, 2, 6 + 2 * 255);
    expect_deep(body("x = a" + repeat("->b", 300) + ";"), k_expr_deep, 2, 6 + 3 * 255);
    // Right-nested conditionals, nested calls and nested brace lists.
    // The then-value of the 255th "?" is the first expression too deep.
    expect_deep(body("x = " + repeat("a ? b : ", 300) + "c;"), k_expr_deep, 2, 9 + 8 * 254);
    expect_deep(body("x = " + repeat("f(", 300) + "1" + repeat(")", 300) + ";"), k_expr_deep, 2, 5 + 2 * 256);
    expect_deep(body("x = " + repeat("{", 300) + repeat("}", 300) + ";"), k_expr_deep, 2, 5 + 256);
    EXPECT_NO_THROW(parse(body("x = " + repeat("{", 255) + repeat("}", 255) + ";")));
    // Levels are given back: many deep expressions one after another are fine.
    std::string many;
    for (int i = 0; i < 50; ++i) many += "x = " + repeat("(", 200) + "a" + repeat("+a", 50) + repeat(")", 200) + ";\n";
    EXPECT_NO_THROW(parse(body(many)));
}

TEST(KernelParser, StatementNestingLimit) {
    // The statements of the kernel body are level 1.
    EXPECT_NO_THROW(parse(body(repeat("{", 256) + repeat("}", 256))));
    expect_deep(body(repeat("{", 257) + repeat("}", 257)), k_stmt_deep, 2, 257);
    expect_deep(body(repeat("{", 20000)), k_stmt_deep, 2, 257);
    expect_deep(body(repeat("if (a) ", 300) + ";"), k_stmt_deep, 2, 1 + 7 * 256);
    expect_deep(body(repeat("while (a) ", 300) + ";"), k_stmt_deep, 2, 1 + 10 * 256);
    expect_deep(body(repeat("for (;;) ", 300) + ";"), k_stmt_deep, 2, 1 + 9 * 256);
    expect_deep(body(repeat("unchecked {", 300)), k_stmt_deep, 2, 1 + 11 * 256);
    // An "else if" continues its chain at the chain's level: every branch of a
    // chain of any length is one level below the chain.
    const std::string chain = "if (a) ;" + repeat(" else if (a) ;", 300);
    EXPECT_NO_THROW(parse(body(chain + " else " + repeat("{", 255) + repeat("}", 255))));
    EXPECT_NO_THROW(parse(body(chain + " else if (a) " + repeat("{", 255) + repeat("}", 255))));
    const std::string deep = chain + " else if (a) " + repeat("{", 256);
    expect_deep(body(deep), k_stmt_deep, 2, static_cast<uint32_t>(deep.size()));
    // An if inside a block of an else branch is nested, not chained.
    expect_deep(body(repeat("if (a) ; else {", 128) + "x = 1;"), k_stmt_deep, 2, 1 + 15 * 128);
}

namespace {

// Runs fn on a thread with a small stack, so that deep recursion would crash.
void on_small_stack(size_t bytes, void (*fn)()) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, bytes);
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, &attr, [](void* f) -> void* { reinterpret_cast<void (*)()>(f)(); return nullptr; },
                             reinterpret_cast<void*>(fn)), 0);
    pthread_join(th, nullptr);
    pthread_attr_destroy(&attr);
}


}  // namespace

TEST(KernelParser, DeepTreesAreDestroyedWithoutRecursion) {
    // 50000 levels would need megabytes of stack if released recursively.
    on_small_stack(256 * 1024, [] {
        lumk_token t;
        auto root = std::make_unique<lumk_expr>(lumk_expr_kind::unary, t);
        lumk_expr* cur = root.get();
        for (int i = 0; i < 50000; ++i) {
            cur->children.push_back(std::make_unique<lumk_expr>(lumk_expr_kind::unary, t));
            cur->children.push_back(std::make_unique<lumk_expr>(lumk_expr_kind::name, t));
            cur = cur->children.front().get();
        }
        root.reset();

        auto block = std::make_unique<lumk_stmt>(lumk_stmt_kind::block, t);
        lumk_stmt* s = block.get();
        for (int i = 0; i < 50000; ++i) {
            auto next = std::make_unique<lumk_stmt>(lumk_stmt_kind::if_else, t);
            next->expr = std::make_unique<lumk_expr>(lumk_expr_kind::name, t);
            lumk_stmt* n = next.get();
            switch (i % 4) {
            case 0: s->statements.push_back(std::move(next)); break;
            case 1: s->first = std::move(next); break;
            case 2: s->second = std::move(next); break;
            default: s->body = std::move(next); break;
            }
            s = n;
        }
        block.reset();
    });
}

TEST(KernelParser, LongElseIfChainsParseOnASmallStack) {
    on_small_stack(256 * 1024, [] {
        const int links = 100000;
        try {
            auto p = parse(body("if (a) x = 0;" + repeat(" else if (b) x = 1;", links) + " else { x = 2; }"));
            int count = 0;
            const lumk_stmt* s = &p->stmt(0);
            for (; s->kind == lumk_stmt_kind::if_else; s = s->second.get()) {
                ++count;
                EXPECT_EQ(sx(*s->expr), count == 1 ? "a" : "b");
                ASSERT_TRUE(s->first && s->second);
                EXPECT_EQ(s->first->kind, lumk_stmt_kind::assign);
            }
            EXPECT_EQ(count, links + 1);
            EXPECT_EQ(s->kind, lumk_stmt_kind::block);
        } catch (const kerror& e) {
            ADD_FAILURE() << e.message;
        }
    });
}
