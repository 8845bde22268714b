// Parser of the kernel language: declarations, statements and expression
// trees built from source, parse errors with exact positions, nesting limits,
// iterative destruction and concurrent use.

#include <gtest/gtest.h>

#include <pthread.h>

#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"

namespace {

struct parsed {
    lumk_lexer lx;
    std::vector<lumk_decl> decls;

    const lumk_kernel_decl& kernel(size_t i) const { return *decls.at(i).kernel_decl; }
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

TEST(KernelParser, LanguageGuideExample) {
    auto p = parse(R"(// Sum of squares and the largest element of a float array.
struct Stats { f64 sum; f32 top; u32 n; }

const f32 SCALE = 0.5f;

kernel inline square(f32 x) -> f32 { return x * x; }

kernel stats(const f32* src) -> Stats reduce(sum: +, top: max, n: +) {
    f32 v = src[gid] * SCALE;
    return {f64(square(v)), v, 1u};
}

kernel saxpy(f32* y, const f32* x, f32 a) {
    y[gid] = a * x[gid] + y[gid];
}
)");
    ASSERT_EQ(p->decls.size(), 5u);
    ASSERT_EQ(p->decls[0].kind, lumk_decl_kind::struct_decl);
    const auto& s = *p->decls[0].struct_decl;
    EXPECT_EQ(s.name.text, "Stats");
    EXPECT_EQ(s.c_layout, 0);
    ASSERT_EQ(s.fields.size(), 3u);
    EXPECT_EQ(s.fields[1].type.name, "f32");
    EXPECT_EQ(s.fields[1].name.text, "top");
    EXPECT_EQ(s.fields[1].name.line, 2u);
    EXPECT_EQ(s.fields[1].name.column, 29u);
    EXPECT_FALSE(s.fields[1].array_size);

    ASSERT_EQ(p->decls[1].kind, lumk_decl_kind::const_decl);
    const auto& c = *p->decls[1].const_decl;
    EXPECT_EQ(c.type.name, "f32");
    EXPECT_EQ(c.name.text, "SCALE");
    EXPECT_EQ(sx(*c.value), "0.5f");

    const auto& sq = p->kernel(2);
    EXPECT_EQ(sq.name, "square");
    EXPECT_EQ(sq.is_inline, 1);
    EXPECT_EQ(sq.has_result, 1);
    EXPECT_EQ(type_text(sq.result), "f32");
    EXPECT_EQ(sq.reduce.present, 0);
    EXPECT_EQ(sq.token.line, 6u);
    EXPECT_EQ(sq.name_token.column, 15u);

    const auto& st = p->kernel(3);
    EXPECT_EQ(st.is_inline, 0);
    ASSERT_EQ(st.params.size(), 1u);
    EXPECT_EQ(type_text(st.params[0].type), "const f32*");
    EXPECT_EQ(st.params[0].name.text, "src");
    EXPECT_EQ(type_text(st.result), "Stats");
    ASSERT_EQ(st.reduce.present, 1);
    EXPECT_EQ(st.reduce.op, "");
    ASSERT_EQ(st.reduce.fields.size(), 3u);
    EXPECT_EQ(st.reduce.fields[1].field.text, "top");
    EXPECT_EQ(st.reduce.fields[1].op, "max");
    EXPECT_EQ(st.reduce.fields[2].op, "+");
    ASSERT_EQ(st.body->statements.size(), 2u);
    const auto& decl = *st.body->statements[0];
    EXPECT_EQ(decl.kind, lumk_stmt_kind::decl);
    EXPECT_EQ(sx(*decl.declarators[0].init), "(* ([] src gid) SCALE)");
    const auto& ret = *st.body->statements[1];
    EXPECT_EQ(ret.kind, lumk_stmt_kind::return_stmt);
    EXPECT_EQ(sx(*ret.expr), "{(call f64 (call square v)) v 1u}");

    const auto& sa = p->kernel(4);
    EXPECT_EQ(sa.has_result, 0);
    ASSERT_EQ(sa.params.size(), 3u);
    EXPECT_EQ(type_text(sa.params[0].type), "f32*");
    EXPECT_EQ(type_text(sa.params[2].type), "f32");
    EXPECT_EQ(sa.params[2].name.column, 40u);
    EXPECT_EQ(sx(*sa.body->statements[0]->value), "(+ (* a ([] x gid)) ([] y gid))");
}

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

TEST(KernelParser, ExpressionNodeTokens) {
    auto p = parse("kernel k() { x = f(a)[i].b ? -c->d : sizeof(T) + {1}; }");
    // Kind, token text (when given) and column of a node.
    auto node = [](const lumk_expr& e, lumk_expr_kind kind, const char* text, uint32_t column) {
        EXPECT_EQ(e.kind, kind) << column;
        if (text) { EXPECT_EQ(e.token.text, text) << column; }
        EXPECT_EQ(e.token.column, column);
    };
    const lumk_expr& cond = *p->stmt(0).value;
    node(cond, lumk_expr_kind::cond, "?", 28);
    const lumk_expr& field = *cond.children[0];
    node(field, lumk_expr_kind::field, nullptr, 25);
    EXPECT_EQ(field.name, "b");
    node(*field.children[0], lumk_expr_kind::index, "[", 22);
    node(*field.children[0]->children[0], lumk_expr_kind::call, "f", 18);
    const lumk_expr& neg = *cond.children[1];
    node(neg, lumk_expr_kind::unary, nullptr, 30);
    node(*neg.children[0], lumk_expr_kind::arrow, "->", 32);
    EXPECT_EQ(neg.children[0]->name, "d");
    const lumk_expr& plus = *cond.children[2];
    node(plus, lumk_expr_kind::binary, nullptr, 48);
    const lumk_expr& so = *plus.children[0];
    node(so, lumk_expr_kind::size_of, "sizeof", 38);
    EXPECT_EQ(so.type.name, "T");
    EXPECT_EQ(so.type.token.column, 45u);
    const lumk_expr& brace = *plus.children[1];
    node(brace, lumk_expr_kind::brace, nullptr, 50);
    EXPECT_EQ(brace.children[0]->kind, lumk_expr_kind::int_lit);
    EXPECT_EQ(brace.children[0]->token.ival, 1u);
}

TEST(KernelParser, Statements) {
    auto p = parse(R"(kernel k() {
  { }
  ;
  i32 a, b[4] = {1, 2}, c = 3;
  a = -5;
  a += 1; a -= 1; a *= 1; a /= 1; a %= 1; a &= 1; a |= 1; a ^= 1; a <<= 1; a >>= 1;
  a++; --b[0];
  f(a);
  if (a) x = 1; else if (b) x = 2; else { }
  while (a < 3) { break; continue; }
  unchecked { s.f[i] = 0; }
  return;
  return a + 1;
})");
    const auto& body = p->kernel(0).body;
    EXPECT_EQ(body->kind, lumk_stmt_kind::block);
    EXPECT_EQ(body->token.text, "{");
    ASSERT_EQ(body->statements.size(), 22u);

    EXPECT_EQ(p->stmt(0).kind, lumk_stmt_kind::block);
    EXPECT_TRUE(p->stmt(0).statements.empty());
    EXPECT_EQ(p->stmt(1).kind, lumk_stmt_kind::empty);
    EXPECT_EQ(p->stmt(1).token.text, ";");

    const auto& d = p->stmt(2);
    EXPECT_EQ(d.kind, lumk_stmt_kind::decl);
    EXPECT_EQ(d.token.text, "i32");
    EXPECT_EQ(type_text(d.type), "i32");
    ASSERT_EQ(d.declarators.size(), 3u);
    ASSERT_EQ(d.array_sizes.size(), 3u);
    EXPECT_EQ(d.declarators[0].name.text, "a");
    EXPECT_FALSE(d.declarators[0].init);
    EXPECT_FALSE(d.array_sizes[0]);
    EXPECT_EQ(d.declarators[1].name.text, "b");
    EXPECT_EQ(d.declarators[1].name.column, 10u);
    EXPECT_EQ(sx(*d.array_sizes[1]), "4");
    EXPECT_EQ(sx(*d.declarators[1].init), "{1 2}");
    EXPECT_FALSE(d.array_sizes[2]);
    EXPECT_EQ(sx(*d.declarators[2].init), "3");

    // a = -5 (the value's tree is in ExpressionTrees).
    const auto& neg = p->stmt(3);
    EXPECT_EQ(neg.kind, lumk_stmt_kind::assign);
    EXPECT_EQ(neg.op, "=");
    EXPECT_EQ(neg.token.text, "=");
    EXPECT_EQ(neg.token.column, 5u);
    EXPECT_EQ(sx(*neg.expr), "a");

    const char* ops[] = {"+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(p->stmt(4 + i).kind, lumk_stmt_kind::assign);
        EXPECT_EQ(p->stmt(4 + i).op, ops[i]);
        EXPECT_EQ(p->stmt(4 + i).token.text, ops[i]);
    }
    for (const auto& [i, op, column, target] : {std::tuple{14, "++", 4u, "a"}, {15, "--", 8u, "([] b 0)"}}) {
        EXPECT_EQ(p->stmt(i).kind, lumk_stmt_kind::incdec);
        EXPECT_EQ(p->stmt(i).op, op);
        EXPECT_EQ(p->stmt(i).token.column, column);
        EXPECT_EQ(sx(*p->stmt(i).expr), target);
    }

    const auto& call = p->stmt(16);
    EXPECT_EQ(call.kind, lumk_stmt_kind::expr);
    EXPECT_EQ(call.token.text, "f");
    EXPECT_EQ(sx(*call.expr), "(call f a)");

    // else if is an if statement in the else branch; the last else is a block.
    const auto& ifs = p->stmt(17);
    EXPECT_EQ(ifs.kind, lumk_stmt_kind::if_else);
    EXPECT_EQ(ifs.token.text, "if");
    EXPECT_EQ(sx(*ifs.expr), "a");
    EXPECT_EQ(ifs.first->kind, lumk_stmt_kind::assign);
    ASSERT_TRUE(ifs.second);
    EXPECT_EQ(ifs.second->kind, lumk_stmt_kind::if_else);
    EXPECT_EQ(sx(*ifs.second->expr), "b");
    EXPECT_EQ(ifs.second->second->kind, lumk_stmt_kind::block);

    const auto& wh = p->stmt(18);
    EXPECT_EQ(wh.kind, lumk_stmt_kind::while_loop);
    EXPECT_EQ(sx(*wh.expr), "(< a 3)");
    ASSERT_EQ(wh.body->statements.size(), 2u);
    EXPECT_EQ(wh.body->statements[0]->kind, lumk_stmt_kind::break_stmt);
    EXPECT_EQ(wh.body->statements[1]->kind, lumk_stmt_kind::continue_stmt);

    const auto& un = p->stmt(19);
    EXPECT_EQ(un.kind, lumk_stmt_kind::unchecked_block);
    EXPECT_EQ(un.token.text, "unchecked");
    ASSERT_TRUE(un.first);
    EXPECT_EQ(un.first->kind, lumk_stmt_kind::block);
    // The field b of a, indexed: an index node over a field node.
    EXPECT_EQ(sx(*un.first->statements[0]->expr), "([] (. s f) i)");

    EXPECT_EQ(p->stmt(20).kind, lumk_stmt_kind::return_stmt);
    EXPECT_FALSE(p->stmt(20).expr);
    EXPECT_EQ(sx(*p->stmt(21).expr), "(+ a 1)");

    // An if without else leaves the second branch empty.
    p = parse("kernel k() { if (a) { } }");
    EXPECT_EQ(p->stmt(0).kind, lumk_stmt_kind::if_else);
    EXPECT_FALSE(p->stmt(0).second);
    // A dangling else belongs to the nearest if.
    p = parse("kernel k() { if (a) if (b) x = 1; else x = 2; }");
    EXPECT_FALSE(p->stmt(0).second);
    EXPECT_TRUE(p->stmt(0).first->second);
}

TEST(KernelParser, ForClauses) {
    auto p = parse(R"(kernel k() {
  for (;;) ;
  for (i32 i = 0; i < n; i++) { }
  for (; ok; u32 j = 1) { }
  for (const f32* q = p; q; --q) { }
})");
    const auto& f0 = p->stmt(0);
    EXPECT_EQ(f0.kind, lumk_stmt_kind::for_loop);
    EXPECT_FALSE(f0.first);
    EXPECT_FALSE(f0.expr);
    EXPECT_FALSE(f0.second);
    EXPECT_EQ(f0.body->kind, lumk_stmt_kind::empty);

    const auto& f1 = p->stmt(1);
    EXPECT_EQ(f1.first->kind, lumk_stmt_kind::decl);
    EXPECT_EQ(f1.first->declarators[0].name.text, "i");
    EXPECT_EQ(sx(*f1.expr), "(< i n)");
    EXPECT_EQ(f1.second->kind, lumk_stmt_kind::incdec);
    EXPECT_EQ(f1.body->kind, lumk_stmt_kind::block);

    // "i = 0, 1" is not an expression list: the comma ends the assignment.
    EXPECT_EQ(parse_error("kernel k() { for (i = 0, 1; ;) ; }").message, "expected ';' but got ','");

    // A declaration in the step parses (the checker refuses it).
    const auto& f3 = p->stmt(2);
    EXPECT_FALSE(f3.first);
    EXPECT_EQ(sx(*f3.expr), "ok");
    ASSERT_TRUE(f3.second);
    EXPECT_EQ(f3.second->kind, lumk_stmt_kind::decl);
    EXPECT_EQ(type_text(f3.second->type), "u32");

    const auto& f4 = p->stmt(3);
    EXPECT_EQ(type_text(f4.first->type), "const f32*");
    EXPECT_EQ(f4.second->op, "--");
}

TEST(KernelParser, TopLevelDeclarations) {
    auto p = parse(R"(;
cstruct P { u8 a, b[3]; f32x4 v; Q* q; };
struct E { }
kernel const i64 BIG = 1 << 40;
kernel inline h(S s, const u8* m) -> S { return s; }
kernel w(u32* out) -> i32 reduce(min) { }
kernel r() -> S reduce(min: max, max: ^, x: &, y: |) { }
)");
    ASSERT_EQ(p->decls.size(), 6u);
    const auto& cs = *p->decls[0].struct_decl;
    EXPECT_EQ(cs.token.text, "cstruct");
    EXPECT_EQ(cs.c_layout, 1);
    ASSERT_EQ(cs.fields.size(), 4u);
    EXPECT_EQ(cs.fields[1].name.text, "b");
    EXPECT_EQ(cs.fields[1].type.name, "u8");
    EXPECT_EQ(sx(*cs.fields[1].array_size), "3");
    EXPECT_EQ(cs.fields[2].type.name, "f32x4");
    // A pointer field parses so that the checker can refuse it.
    EXPECT_EQ(type_text(cs.fields[3].type), "Q*");
    EXPECT_EQ(cs.fields[3].type.token.column, 34u);
    // An empty struct parses so that the checker can refuse it.
    EXPECT_EQ(p->decls[1].struct_decl->name.text, "E");
    EXPECT_TRUE(p->decls[1].struct_decl->fields.empty());

    const auto& k = *p->decls[2].const_decl;
    EXPECT_EQ(k.token.text, "kernel");
    EXPECT_EQ(k.type.name, "i64");
    EXPECT_EQ(k.name.text, "BIG");
    EXPECT_EQ(sx(*k.value), "(<< 1 40)");

    const auto& h = p->kernel(3);
    EXPECT_EQ(h.is_inline, 1);
    ASSERT_EQ(h.params.size(), 2u);
    EXPECT_EQ(type_text(h.params[0].type), "S");
    EXPECT_EQ(type_text(h.params[1].type), "const u8*");
    EXPECT_EQ(h.params[1].type.token.column, 28u);
    EXPECT_EQ(h.params[1].name.column, 32u);

    const auto& w = p->kernel(4);
    EXPECT_EQ(w.reduce.present, 1);
    EXPECT_EQ(w.reduce.op, "min");
    EXPECT_EQ(w.reduce.op_token.column, 34u);
    EXPECT_EQ(w.reduce.token.text, "reduce");
    EXPECT_TRUE(w.reduce.fields.empty());
    EXPECT_TRUE(w.body->statements.empty());

    // Fields named like operators are still fields.
    const auto& r = p->kernel(5);
    ASSERT_EQ(r.reduce.fields.size(), 4u);
    EXPECT_EQ(r.reduce.fields[0].field.text, "min");
    const char* field_ops[] = {"max", "^", "&", "|"};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(r.reduce.fields[i].op, field_ops[i]) << i;
    EXPECT_EQ(r.reduce.fields[3].op_token.column, 51u);

    // Every reduction operator is accepted for a whole result.
    for (const char* op : {"+", "min", "max", "&", "|", "^"}) {
        auto q = parse(std::string("kernel k() -> u32 reduce(") + op + ") { }");
        EXPECT_EQ(q->kernel(0).reduce.op, op);
    }
}

TEST(KernelParser, ReservedWordsWhereDeclarationsExpectNames) {
    // Accepted so that the checker can report "'gid' is a reserved word".
    auto p = parse("struct if { i32 else; } const f32 for = 1.0; kernel while(i32 gid) { i32 return = 1; u8* reduce; }");
    EXPECT_EQ(p->decls[0].struct_decl->name.text, "if");
    EXPECT_EQ(p->decls[0].struct_decl->fields[0].name.text, "else");
    EXPECT_EQ(p->decls[1].const_decl->name.text, "for");
    EXPECT_EQ(p->kernel(2).name, "while");
    EXPECT_EQ(p->kernel(2).params[0].name.text, "gid");
    const auto& body = *p->kernel(2).body;
    EXPECT_EQ(body.statements[0]->kind, lumk_stmt_kind::decl);
    EXPECT_EQ(body.statements[0]->declarators[0].name.text, "return");
    EXPECT_EQ(body.statements[1]->declarators[0].name.text, "reduce");
}

TEST(KernelParser, DeclarationOrExpressionAtStatementStart) {
    auto p = parse("kernel k() { a b; a* b; a * 2; a[1] = 2; const a b = 1; gid * b; sizeof(a); }");
    EXPECT_EQ(p->stmt(0).kind, lumk_stmt_kind::decl);
    EXPECT_EQ(p->stmt(1).kind, lumk_stmt_kind::decl);
    EXPECT_EQ(type_text(p->stmt(1).type), "a*");
    EXPECT_EQ(p->stmt(2).kind, lumk_stmt_kind::expr);
    EXPECT_EQ(p->stmt(3).kind, lumk_stmt_kind::assign);
    EXPECT_EQ(p->stmt(4).kind, lumk_stmt_kind::decl);
    EXPECT_EQ(p->stmt(4).type.is_const, 1);
    // A keyword at the start of a statement keeps its meaning.
    EXPECT_EQ(p->stmt(5).kind, lumk_stmt_kind::expr);
    EXPECT_EQ(sx(*p->stmt(5).expr), "(* gid b)");
    EXPECT_EQ(sx(*p->stmt(6).expr), "(sizeof a)");
}

TEST(KernelParser, ImportedKernelsAreMarked) {
    lumk_lexer lx;
    lumk_lex(lx, "struct S { i32 a; }\nkernel inline h() { }\nkernel e() { }", "lib.k");
    lx.tokens.pop_back();  // the driver drops the end token of every import
    size_t own = lx.tokens.size();
    lumk_lex(lx, "kernel mine() { }", "main.k");
    lumk_parser ps(lx.tokens, lx.sources, own);
    auto decls = lumk_parse_unit(ps);
    ASSERT_EQ(decls.size(), 4u);
    EXPECT_EQ(decls[1].kernel_decl->imported, 1);
    EXPECT_EQ(decls[2].kernel_decl->imported, 1);
    EXPECT_EQ(decls[3].kernel_decl->imported, 0);
    EXPECT_EQ(decls[3].kernel_decl->token.file, 1u);

    // End tokens left between sources separate them instead of ending the unit.
    lumk_lexer lx2;
    lumk_lex(lx2, "kernel a() { }", "x");
    lumk_lex(lx2, "kernel b() { }", "y");
    lumk_parser ps2(lx2.tokens, lx2.sources, 0);
    EXPECT_EQ(lumk_parse_unit(ps2).size(), 2u);

    // An error in an imported source names that source.
    lumk_lexer lx3;
    lumk_lex(lx3, "kernel a() {\n  x = ;\n}", "lib.k");
    lx3.tokens.pop_back();
    size_t own3 = lx3.tokens.size();
    lumk_lex(lx3, "kernel b() { }", "main.k");
    lumk_parser ps3(lx3.tokens, lx3.sources, own3);
    try {
        lumk_parse_unit(ps3);
        ADD_FAILURE();
    } catch (const kerror& e) {
        EXPECT_EQ(e.file, "lib.k");
        EXPECT_EQ(e.line, 2u);
        EXPECT_EQ(e.column, 7u);
        EXPECT_EQ(e.source_line, "  x = ;");
    }

    // An empty token vector parses to nothing.
    std::vector<lumk_token> none;
    lumk_source_tables tables;
    lumk_parser ps4(none, tables, 0);
    EXPECT_TRUE(lumk_parse_unit(ps4).empty());
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

TEST(KernelParser, HugeFlatInputs) {
    // Breadth is not limited, only depth.
    std::string list = "x = {" + repeat("1,", 10000) + "};";
    auto p = parse(body(list));
    EXPECT_EQ(p->stmt(0).value->children.size(), 10000u);
    p = parse(body(repeat("x = 1;\n", 5000)));
    EXPECT_EQ(p->kernel(0).body->statements.size(), 5000u);
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

#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr size_t k_parse_stack = 4096 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t k_parse_stack = 4096 * 1024;
#else
constexpr size_t k_parse_stack = 1024 * 1024;
#endif
#else
constexpr size_t k_parse_stack = 1024 * 1024;
#endif

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

TEST(KernelParser, MaximumNestingFitsASmallStack) {
    // The deepest accepted expressions and statements parse on a 1 MiB stack
    // (the smallest default thread stack of the supported platforms) in an
    // optimized build; unoptimized and sanitizer builds have far larger frames.
    on_small_stack(k_parse_stack, [] {
        // Levels: 1 + 2 per "(a + " + 1 for the call argument + 1 per element list = 256.
        std::string deep = "x = " + repeat("(a + ", 80) + "f(" + repeat("{", 95) + repeat("}", 95) + ")" +
                           repeat(")", 80) + ";";
        try {
            auto p = parse(body(repeat("if (a) ", 255) + deep));
            EXPECT_EQ(p->stmt(0).kind, lumk_stmt_kind::if_else);
        } catch (const kerror& e) {
            ADD_FAILURE() << e.message;
        }
        // One level more fails cleanly.
        deep = "x = " + repeat("(a + ", 80) + "f(" + repeat("{", 96) + repeat("}", 96) + ")" + repeat(")", 80) + ";";
        EXPECT_EQ(parse_error(body(deep)).message, "the expression is nested too deeply");
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

TEST(KernelParser, ConcurrentParsesAreIndependent) {
    const std::string src = body("x = a ? f(b[1].c, -2) : {1, {2}};\nfor (i32 i = 0; i < n; i++) { y += i; }");
    const std::string expect = expr_text("a ? f(b[1].c, -2) : {1, {2}}");
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            int good = 0;
            for (int i = 0; i < 200; ++i) {
                auto p = parse(src);
                good += sx(*p->stmt(0).value) == expect && p->stmt(1).kind == lumk_stmt_kind::for_loop;
                try {
                    parse("kernel k() { x = 1e999; }");
                } catch (const kerror& e) {
                    good += e.message == "float literal is out of range" && e.column == 18;
                }
            }
            ok[t] = good;
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 400);
}
