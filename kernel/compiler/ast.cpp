#include "kernel/compiler/ast.h"

#include <utility>

lumk_expr::lumk_expr(lumk_expr_kind kind_, const lumk_token& token_) : kind(kind_), token(token_) {}

// Children are released from an explicit work list, so a degenerate tree (a
// long operator chain, deep nesting) never recurses through destructors.
lumk_expr::~lumk_expr() {
    if (children.empty()) return;
    std::vector<lumk_expr_ptr> pending = std::move(children);
    children.clear();
    while (!pending.empty()) {
        lumk_expr_ptr node = std::move(pending.back());
        pending.pop_back();
        if (!node) continue;
        for (auto& child : node->children) pending.push_back(std::move(child));
        node->children.clear();
    }
}

lumk_stmt::lumk_stmt(const lumk_token& token_) : token(token_) {}

lumk_stmt::lumk_stmt(lumk_stmt_kind kind_, const lumk_token& token_) : kind(kind_), token(token_) {}

lumk_stmt::~lumk_stmt() {
    std::vector<lumk_stmt_ptr> pending = std::move(statements);
    statements.clear();
    if (first) pending.push_back(std::move(first));
    if (second) pending.push_back(std::move(second));
    if (body) pending.push_back(std::move(body));
    while (!pending.empty()) {
        lumk_stmt_ptr node = std::move(pending.back());
        pending.pop_back();
        if (!node) continue;
        for (auto& s : node->statements) pending.push_back(std::move(s));
        node->statements.clear();
        if (node->first) pending.push_back(std::move(node->first));
        if (node->second) pending.push_back(std::move(node->second));
        if (node->body) pending.push_back(std::move(node->body));
        // The node's expressions release themselves iteratively.
    }
}
