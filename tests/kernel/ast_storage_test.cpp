// Where syntax tree nodes live: the parser's nodes share one arena with the
// declarations, nodes made with make_unique come from the heap, and both kinds
// mix freely in one tree.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"

namespace {

std::vector<lumk_decl> parse_all(lumk_lexer& lx, std::string_view src) {
    lumk_lex(lx, src, "a.k");
    lumk_parser ps(lx.tokens, lx.sources, 0);
    return lumk_parse_unit(ps);
}

}  // namespace

TEST(KernelAstStorage, DeclarationsKeepTheirTreeAlive) {
    lumk_lexer lx;
    lumk_decl kept;
    {
        std::vector<lumk_decl> decls =
            parse_all(lx, "kernel a(f32* p) { p[gid] = 1.0 + 2.0 * p[0]; }\nkernel b() { if (true) { } }");
        ASSERT_EQ(decls.size(), 2u);
        EXPECT_EQ(decls[0].arena, decls[1].arena);
        kept = std::move(decls[0]);
    }  // the other declaration and the vector are gone; the shared arena stays with `kept`
    ASSERT_TRUE(kept.arena);
    const lumk_stmt& s = *kept.kernel_decl->body->statements.at(0);
    ASSERT_EQ(s.kind, lumk_stmt_kind::assign);
    EXPECT_EQ(s.value->op, "+");
    EXPECT_EQ(s.value->children.at(1)->children.at(1)->token.text, "[");
    // A second parse uses an arena of its own.
    lumk_lexer lx2;
    std::vector<lumk_decl> other = parse_all(lx2, "kernel c() { }");
    EXPECT_NE(other.at(0).arena, kept.arena);
}

TEST(KernelAstStorage, HeapAndArenaNodesMix) {
    lumk_lexer lx;
    std::vector<lumk_decl> decls = parse_all(lx, "kernel k() { x = a + b; }");
    lumk_expr& sum = *decls.at(0).kernel_decl->body->statements.at(0)->value;
    // Heap nodes hung into an arena tree, and an arena node moved into a heap tree.
    lumk_token t;
    t.text = "y";
    auto heap = std::make_unique<lumk_expr>(lumk_expr_kind::unary, t);
    heap->children.push_back(std::move(sum.children[0]));
    heap->children.push_back(std::make_unique<lumk_expr>(lumk_expr_kind::name, t));
    sum.children[0] = std::make_unique<lumk_expr>(lumk_expr_kind::name, t);
    auto stmt = std::make_unique<lumk_stmt>(lumk_stmt_kind::block, t);
    stmt->statements.push_back(std::move(decls[0].kernel_decl->body));
    EXPECT_EQ(heap->children[0]->name, "a");
    EXPECT_EQ(sum.children[0]->name, "");
    // The heap trees go first, while the arena is still alive; every node is
    // released exactly once (the sanitizer build checks it).
    heap.reset();
    stmt.reset();
    decls.clear();
}
