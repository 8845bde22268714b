// The checker's description of an expression's value (where it lives and its
// type) and of a local variable.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/compiler/kernel_types.h"

// Where an operand's value is.
enum lumk_operand_kind : uint32_t {
    LUMK_OPND_NONE = 0,   // no value (a void call)
    LUMK_OPND_CONST = 1,  // typed constant or untyped literal
    LUMK_OPND_REG = 2,    // value in a register
    LUMK_OPND_PTR = 3,    // pointer: slot plus element index
    LUMK_OPND_MEM = 4,    // memory location through a pointer slot
    LUMK_OPND_ADDR = 5,   // memory location through an address register
};

// Literal kinds of constants whose type is still open.
enum : uint8_t { LUMK_LIT_TYPED = 0, LUMK_LIT_INT = 1, LUMK_LIT_FLOAT = 2 };

// "No index register": counts as index 0.
inline constexpr uint16_t LUMK_NO_INDEX = 65535;

struct lumk_operand {
    uint32_t kind = LUMK_OPND_NONE;
    lumk_type type;              // for kinds 3..5 the pointee / element type, pointer flag clear
    uint8_t lit = LUMK_LIT_TYPED;
    int64_t ival = 0;            // integer literal value (unsigned pattern when big)
    uint8_t big = 0;             // integer literal above 9223372036854775807
    double fval = 0.0;           // float literal value
    uint64_t bits = 0;           // typed constant in register encoding
    uint16_t reg = 0;            // register of a register value
    int32_t def_insn = -1;       // sole defining instruction of reg, -1 for none
    uint16_t slot = 0;           // pointer slot of kinds 3 and 4
    uint16_t index = LUMK_NO_INDEX;  // operand number of the element index (kinds 3, 4)
    uint64_t byte_offset = 0;    // bytes inside the element (kind 4) or past the address (kind 5)
    uint32_t array_count = 0;    // elements when the location is an array
    uint32_t stride = 0;         // bytes per element
    uint64_t index_offset = 0;   // constant elements added to the index (kind 4)
    uint8_t element = 0;         // made by indexing or dereferencing a pointer
    uint8_t read_only = 0;       // reached through a const pointer
    uint16_t addr_reg = 0;       // address register of kind 5

    bool is_literal() const { return kind == LUMK_OPND_CONST && lit != LUMK_LIT_TYPED; }
    bool is_location() const { return kind == LUMK_OPND_MEM || kind == LUMK_OPND_ADDR; }
};

// One variable of a scope.
struct lumk_local {
    std::string name;
    lumk_type type;
    uint16_t reg = 0;            // value register; for a pointer the element-index register
    uint16_t slot = 0;           // pointer slot of a pointer variable
    uint8_t read_only = 0;       // entry-kernel parameter
    uint8_t in_frame = 0;        // lives in frame memory (arrays, structs, vectors)
    uint32_t frame_offset = 0;
    uint32_t array_count = 0;
    uint32_t stride = 0;
};
