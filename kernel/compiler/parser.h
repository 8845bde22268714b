#pragma once
// Recursive-descent parser of the kernel language. Turns a token vector (from
// lumk_lex) into the declarations of a unit, in source order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/lexer.h"

// One field declarator of a struct: TYPE NAME [ "[" size "]" ].
struct lumk_field_decl {
    lumk_type_syntax type;     // element type (is_pointer set for "T*", which the checker refuses)
    lumk_token name;           // token of the field name
    lumk_expr_ptr array_size;  // null for a plain field
};

// struct / cstruct NAME { fields }
struct lumk_struct_decl {
    lumk_token token;      // the "struct" or "cstruct" word
    lumk_token name;       // token of the struct name
    uint8_t c_layout = 0;  // declared with "cstruct"
    std::vector<lumk_field_decl> fields;
};

// [kernel] const TYPE NAME = expr;
struct lumk_const_decl {
    lumk_token token;  // the first word ("kernel" or "const")
    lumk_type_syntax type;
    lumk_token name;
    lumk_expr_ptr value;
};

// One kernel parameter: [const] TYPE [*] NAME.
struct lumk_param_decl {
    lumk_type_syntax type;  // const flag, type name, pointer flag, type token
    lumk_token name;        // token of the parameter name (its position)
};

// One "field: op" entry of a reduce clause.
struct lumk_field_reduce {
    lumk_token field;   // token of the field name
    std::string op;     // "+", "min", "max", "&", "|", "^"
    lumk_token op_token;
};

// reduce(op) or reduce(field: op, ...).
struct lumk_reduce_clause {
    uint8_t present = 0;   // the kernel has a reduce clause
    lumk_token token;      // the "reduce" word
    std::string op;        // whole-result operator; empty when the clause lists fields
    lumk_token op_token;   // token of the whole-result operator
    std::vector<lumk_field_reduce> fields;  // per-field operators, in source order
};

// kernel [inline] NAME(params) [-> TYPE [reduce(...)]] { body }
struct lumk_kernel_decl {
    lumk_token token;         // the "kernel" word
    std::string name;
    lumk_token name_token;
    uint8_t is_inline = 0;    // declared with "kernel inline"
    uint8_t imported = 0;     // declared in an imported source
    std::vector<lumk_param_decl> params;
    uint8_t has_result = 0;   // written with "->"
    lumk_type_syntax result;  // result type (when has_result)
    lumk_reduce_clause reduce;
    lumk_stmt_ptr body;       // the body block (kind block)
};

enum class lumk_decl_kind : uint8_t { struct_decl, const_decl, kernel_decl };

// One top-level declaration; exactly the pointer of its kind is set.
struct lumk_decl {
    std::shared_ptr<lumk_node_arena> arena;  // memory of the declaration's syntax tree (released last)
    lumk_decl_kind kind = lumk_decl_kind::struct_decl;
    std::unique_ptr<lumk_struct_decl> struct_decl;
    std::unique_ptr<lumk_const_decl> const_decl;
    std::unique_ptr<lumk_kernel_decl> kernel_decl;
};

// Parser state over a token vector. The tokens and source tables must outlive
// the parser; the declarations it returns copy every token they keep.
struct lumk_parser {
    lumk_parser(const std::vector<lumk_token>& tokens, const lumk_source_tables& sources, size_t own_first_token);

    const std::vector<lumk_token>& tokens;
    const lumk_source_tables& sources;
    size_t own_first_token;  // kernels beginning before this token index are imported
    size_t pos = 0;          // current token index
    uint32_t expr_depth = 0;  // current expression nesting level
    uint32_t stmt_depth = 0;  // current statement nesting level
    lumk_token end_token;     // returned for reads past the end of the vector
    std::shared_ptr<lumk_node_arena> arena;  // memory of the nodes of the current parse, shared by its declarations
};

// Limit on expression and statement nesting.
constexpr uint32_t lumk_max_nesting = 256;

// Parses the whole token vector into declarations in source order. Throws kerror.
std::vector<lumk_decl> lumk_parse_unit(lumk_parser& parser);
