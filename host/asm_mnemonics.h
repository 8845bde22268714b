#pragma once
// The assembler's instruction names: the mnemonic of every opcode with the
// operand form it takes, and the operator names of the fused expression
// (opcode 72). The encoder reads mnemonics, the listing writes them.

#include <cstdint>
#include <string_view>

#include "vm/opcode.h"

namespace lum_asm {

enum class operands : uint8_t {
    none,         // fixed field A
    slot,         // B: local slot
    static_slot,  // B: static slot
    global,       // B: global slot
    global_static,
    number,       // B: plain number (frame size, argument index)
    level_slot,   // B level, C slot
    level_static, // B level, C static slot
    int_const,    // D i64
    float_const,  // D f64
    string,       // B string index
    child,        // B child block
    native,       // D native record
    constant,     // D constant cell
    count_a,      // A u8
    jump,         // B i32 relative
    selfmem,      // B index, C8 flag
    mem,          // 61
    idx,          // 62
    class_d,      // D accessing class (68, 69)
    fexpr,        // 72
    fcall,        // 73
};

struct mnemonic_spec {
    std::string_view name;
    uint8_t opcode;
    operands kind;
    uint8_t a;
};

// The mnemonic written `name`; null when there is none.
const mnemonic_spec* find_mnemonic(std::string_view name);

// Opcodes whose mnemonic depends on field A.
bool has_a_variants(uint8_t opcode);

struct fexpr_op_name {
    std::string_view name;
    uint8_t kind;
};

inline constexpr fexpr_op_name fexpr_ops[] = {
    {"add", lum_fexpr::IT_ADD}, {"sub", lum_fexpr::IT_SUB}, {"mul", lum_fexpr::IT_MUL}, {"div", lum_fexpr::IT_DIV},
    {"mod", lum_fexpr::IT_MOD}, {"and", lum_fexpr::IT_AND}, {"or", lum_fexpr::IT_OR},   {"xor", lum_fexpr::IT_XOR},
    {"eq", lum_fexpr::IT_EQ},   {"ne", lum_fexpr::IT_NE},   {"lt", lum_fexpr::IT_LT},   {"le", lum_fexpr::IT_LE},
    {"ge", lum_fexpr::IT_GE},   {"gt", lum_fexpr::IT_GT},   {"neg", lum_fexpr::IT_NEG},
};

}  // namespace lum_asm
