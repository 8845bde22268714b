// The kernel checker and emitter state of one unit, its driver and the shared
// helpers every check uses (errors, type texts, registers, constants).
//
// The checker walks the syntax tree once: it type-checks each declaration and
// emits the bytecode of every entry kernel as it goes. Every compile failure is
// a kerror thrown at the position of the node concerned.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kernel/compiler/kernel_types.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/operand.h"
#include "kernel/compiler/parser.h"
#include "kernel/compiler/program.h"

// An emitted jump whose target is a label (resolved when the program is finalized).
struct lumk_fixup {
    uint64_t insn = 0;
    uint32_t label = 0;
};

// Labels of the innermost enclosing loop.
struct lumk_loop_labels {
    uint32_t break_label = 0;
    uint32_t continue_label = 0;
};

// What a return statement does in the code being checked.
struct lumk_return_context {
    uint8_t is_entry = 1;           // entry kernel (1) or inline expansion (0)
    lumk_type result_type;          // void for none
    lumk_reduce_op reduce_op = LUMK_REDUCE_NONE;  // whole-result operator of an entry kernel
    uint16_t result_reg = 0;        // scalar result of an expansion
    lumk_operand result_loc;        // struct result of an expansion
    uint32_t return_label = 0;      // end of an expansion
};

// Limits of one program.
inline constexpr uint32_t LUMK_MAX_INSTRUCTIONS = 1048576;
inline constexpr uint32_t LUMK_MAX_CONSTANTS = 28672;
inline constexpr uint32_t LUMK_MAX_FRAME = 0x100000;
inline constexpr uint16_t LUMK_FIRST_REGISTER = 7;
// Inline expansions per program (an expansion may emit nothing, so the
// instruction limit alone cannot stop exponential nesting).
inline constexpr uint32_t LUMK_MAX_EXPANSIONS = 65536;
// Nesting of expression and statement checks across inline expansions; one
// function alone stays far below it (the parser limits its nesting).
inline constexpr uint32_t LUMK_MAX_CHECK_DEPTH = 1024;

struct lumk_checker {
    lumk_checker(const lumk_source_tables& sources, const std::vector<lumk_decl>& decls, lumk_compiled_unit& unit);
    lumk_checker(const lumk_checker&) = delete;
    lumk_checker& operator=(const lumk_checker&) = delete;

    // Unit being built and its inputs.
    const lumk_source_tables& sources;
    const std::vector<lumk_decl>& decls;
    lumk_compiled_unit& unit;
    std::unordered_map<std::string, const lumk_kernel_decl*> kernels;  // entry kernels and helpers by name
    std::unordered_map<std::string, size_t> constants;                 // unit constants by name
    uint32_t declared_structs = 0;  // struct records reserved for declared structs (vector types follow)
    uint32_t structs_ready = 0;     // declared structs checked so far
    std::vector<uint32_t> struct_align;  // alignment of every struct record (by index)

    // Program being emitted.
    std::shared_ptr<lumk_program> prog;
    const lumk_token* tok = nullptr;  // token of the node being checked
    const lumk_token* decl_tok = nullptr;  // kernel being compiled: where errors outside any node go
    uint8_t unchecked = 0;
    uint16_t reg_count = LUMK_FIRST_REGISTER;
    std::vector<std::vector<lumk_local>> scopes;
    size_t func_scope = 0;  // first scope of the function being checked
    uint32_t frame_offset = 0;
    std::vector<uint32_t> frame_stack;
    std::vector<int64_t> labels;
    std::vector<lumk_fixup> fixups;
    std::vector<lumk_loop_labels> loops;
    lumk_return_context ret;
    std::vector<const lumk_kernel_decl*> expansions;
    uint32_t expansion_count = 0;
    uint32_t depth = 0;  // nesting of expression and statement checks (helpers nest them)
    std::string reduce_text;  // the reduce clause as printed in messages
    std::map<std::pair<uint8_t, uint64_t>, uint32_t> const_index;  // pool entry by (code, bits)
    uint8_t optimize = 1;  // finalize runs the optimizer

    // Scratch program that evaluates one instruction on constants.
    std::shared_ptr<lumk_program> fold_prog;
};

// Checks every declaration and emits one program per entry kernel of the
// unit's own source. Throws kerror.
void lumk_check_unit(lumk_checker& ck);

// Throws kerror with `message` at `tok` (file name and source line looked up
// from its indexes).
[[noreturn]] void lumk_error_at(const lumk_checker& ck, const lumk_token& tok, std::string message);
// Error at the current token; without one, at the kernel being compiled, or
// else at line 1, column 1 of the unit's first source.
[[noreturn]] void lumk_error_here(const lumk_checker& ck, std::string message);
// Fault of the emitter itself, never of the source.
[[noreturn]] void lumk_internal_error(const lumk_checker& ck, const char* what);

// "integer literal", "float literal", or the operand's type text with "[N]"
// for arrays and "*" for pointers.
std::string lumk_describe_operand(const lumk_checker& ck, const lumk_operand& op);
// The type as written in declarations: [const] scalar or struct name [*].
std::string lumk_type_text(const lumk_checker& ck, const lumk_type& type);
// Struct index of a declared struct or vector type (a vector type record is
// created on first use); -1 for any other name.
int32_t lumk_lookup_type(lumk_checker& ck, std::string_view name);
// Index of a declared struct already checked, or -1.
int32_t lumk_find_declared_struct(const lumk_checker& ck, std::string_view name);
// Byte size of a (non-pointer) type: scalar size or struct size.
uint32_t lumk_type_size(const lumk_checker& ck, const lumk_type& type);
// Type of a kernel's or helper's result ("kernels cannot return pointers",
// "unknown type '" name "'").
lumk_type lumk_check_result_type(lumk_checker& ck, const lumk_kernel_decl& decl);
// Evaluates a constant expression: an operand of kind constant (typed, or an
// integer or float literal). Fails with "not a constant expression".
lumk_operand lumk_eval_const_expr(lumk_checker& ck, const lumk_expr& expr);
// A new register ("kernel is too large (too many registers)").
uint16_t lumk_new_register(lumk_checker& ck);
// Operand number (32768 + pool index) of a constant, de-duplicated by (code, bits).
uint16_t lumk_add_constant(lumk_checker& ck, lumk_prim prim, uint64_t bits);
// Type of a declared parameter or variable (`what`: "parameters" or
// "variables"): "<what> cannot be void", "bool* is not supported (use u8*)",
// "unknown type '" name "'".
lumk_type lumk_check_declared_type(lumk_checker& ck, const lumk_type_syntax& ts, std::string_view what);
// Size of a local array or array field: an integer constant from 1 to 1048576,
// else "array size must be a positive integer constant".
uint32_t lumk_eval_array_size(lumk_checker& ck, const lumk_expr& size);
// Opcode that combines a value into an accumulator; 0 when none exists.
uint16_t lumk_reduce_insn(lumk_reduce_op op, lumk_prim prim);
// True when `op` can reduce a scalar of type `prim`.
bool lumk_reduce_allowed(lumk_reduce_op op, lumk_prim prim);
