#include "kernel/compiler/ast.h"

#include <new>
#include <utility>

namespace {
// Header before every node; 16 bytes keep the node aligned like heap memory.
constexpr size_t k_node_header = 16;
constexpr size_t k_arena_chunk = 64 * 1024;
}  // namespace

lumk_node_arena::~lumk_node_arena() {
    for (void* chunk : chunks_) ::operator delete(chunk);
}

void* lumk_node_arena::allocate(size_t bytes) {
    bytes = (bytes + 15) & ~size_t{15};
    if (bytes > left_) {
        const size_t size = bytes > k_arena_chunk ? bytes : k_arena_chunk;
        // Room first, so that a failed push_back cannot lose the chunk.
        if (chunks_.size() == chunks_.capacity()) chunks_.reserve(2 * chunks_.size() + 8);
        next_ = static_cast<char*>(::operator new(size));
        chunks_.push_back(next_);
        left_ = size;
    }
    void* p = next_;
    next_ += bytes;
    left_ -= bytes;
    return p;
}

void* lumk_node_storage::allocate(size_t size) {
    char* block = static_cast<char*>(::operator new(size + k_node_header));
    block[0] = 0;
    return block + k_node_header;
}

void* lumk_node_storage::allocate(size_t size, lumk_node_arena& arena) {
    char* block = static_cast<char*>(arena.allocate(size + k_node_header));
    block[0] = 1;
    return block + k_node_header;
}

void lumk_node_storage::release(void* node) noexcept {
    if (!node) return;
    char* block = static_cast<char*>(node) - k_node_header;
    if (block[0] == 0) ::operator delete(block);
}

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
