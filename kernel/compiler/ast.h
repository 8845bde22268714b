#pragma once
// Syntax tree of the kernel language: expression and statement nodes.
// Nodes exclusively own their children. Destruction is iterative, so a deep
// tree cannot overflow the stack when it is released.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/lexer.h"

// A type as written in the source: [const] NAME [*].
struct lumk_type_syntax {
    uint8_t is_const = 0;  // written with a leading "const"
    std::string name;      // scalar, vector or struct name as written
    uint8_t is_pointer = 0;  // written with a trailing "*"
    lumk_token token;      // the token of the type name
};

enum class lumk_expr_kind : uint32_t {
    int_lit = 0,    // token.ival, token.u_suffix
    float_lit = 1,  // token.fval, token.f_suffix
    bool_lit = 2,   // name = "true" / "false"
    name = 3,       // name
    unary = 4,      // op in - + ! ~ * &; children = [operand]
    binary = 5,     // op; children = [left, right]
    cond = 6,       // token "?"; children = [condition, then, else]
    call = 7,       // token = callee; name = callee; children = arguments
    index = 8,      // token "["; children = [indexed, index]
    field = 9,      // token "."; name = field; children = [object]
    arrow = 10,     // token "->"; name = field; children = [pointer]
    size_of = 11,   // token "sizeof"; type
    brace = 12,     // token "{"; children = elements
};

// Storage for syntax tree nodes, taken from the heap in large chunks: the
// parser makes a tree of thousands of small nodes, and one arena makes and
// releases them at a fraction of the cost of single allocations. A node
// records in a small header before it where its memory came from: deleting a
// node (as its owning pointer does) always runs its destructor; heap memory
// goes back at once, arena memory when the arena is destroyed. Nodes made with
// a plain `new` (or std::make_unique) come from the heap.
class lumk_node_arena {
public:
    lumk_node_arena() = default;
    ~lumk_node_arena();
    lumk_node_arena(const lumk_node_arena&) = delete;
    lumk_node_arena& operator=(const lumk_node_arena&) = delete;
    // `bytes` of storage, aligned for any node.
    void* allocate(size_t bytes);

private:
    std::vector<void*> chunks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};

// Node memory from the heap or an arena, behind the header that tells them apart.
struct lumk_node_storage {
    static void* allocate(size_t size);
    static void* allocate(size_t size, lumk_node_arena& arena);
    static void release(void* node) noexcept;
};

struct lumk_expr;
using lumk_expr_ptr = std::unique_ptr<lumk_expr>;

struct lumk_expr {
    lumk_expr_kind kind;
    lumk_token token;
    std::string name;
    std::string op;
    std::vector<lumk_expr_ptr> children;
    lumk_type_syntax type;

    lumk_expr(lumk_expr_kind kind, const lumk_token& token);
    ~lumk_expr();
    lumk_expr(const lumk_expr&) = delete;
    static void* operator new(size_t size) { return lumk_node_storage::allocate(size); }
    static void* operator new(size_t size, lumk_node_arena& arena) { return lumk_node_storage::allocate(size, arena); }
    static void operator delete(void* node) noexcept { lumk_node_storage::release(node); }
    static void operator delete(void* node, lumk_node_arena&) noexcept { lumk_node_storage::release(node); }
    lumk_expr& operator=(const lumk_expr&) = delete;
};

enum class lumk_stmt_kind : uint32_t {
    block = 0,            // statements
    decl = 1,             // type, declarators, array_sizes
    assign = 2,           // op, expr (target), value
    incdec = 3,           // op "++"/"--", expr (target)
    expr = 4,             // expr
    if_else = 5,          // expr (condition), first (then), second (else, may be null)
    for_loop = 6,         // first (init), expr (condition), second (step), body; all but body may be null
    while_loop = 7,       // expr (condition), body
    break_stmt = 8,
    continue_stmt = 9,
    return_stmt = 10,     // expr (value, null for a bare return)
    unchecked_block = 11, // first (the block)
    empty = 12,           // ";"; the kind of a fresh node
};

// One variable of a declaration: the name's token and its optional initializer.
struct lumk_declarator {
    lumk_token name;
    lumk_expr_ptr init;  // null without "= expr"; may be a brace list
};

struct lumk_stmt;
using lumk_stmt_ptr = std::unique_ptr<lumk_stmt>;

struct lumk_stmt {
    lumk_stmt_kind kind = lumk_stmt_kind::empty;
    lumk_token token;  // first token; the operator's token for assignments and ++/--
    std::vector<lumk_stmt_ptr> statements;
    lumk_type_syntax type;
    std::vector<lumk_declarator> declarators;
    std::vector<lumk_expr_ptr> array_sizes;  // one per declarator, null where not an array
    std::string op;
    lumk_expr_ptr expr;
    lumk_expr_ptr value;
    lumk_stmt_ptr first;
    lumk_stmt_ptr second;
    lumk_stmt_ptr body;

    explicit lumk_stmt(const lumk_token& token);
    lumk_stmt(lumk_stmt_kind kind, const lumk_token& token);
    ~lumk_stmt();
    lumk_stmt(const lumk_stmt&) = delete;
    static void* operator new(size_t size) { return lumk_node_storage::allocate(size); }
    static void* operator new(size_t size, lumk_node_arena& arena) { return lumk_node_storage::allocate(size, arena); }
    static void operator delete(void* node) noexcept { lumk_node_storage::release(node); }
    static void operator delete(void* node, lumk_node_arena&) noexcept { lumk_node_storage::release(node); }
    lumk_stmt& operator=(const lumk_stmt&) = delete;
};
