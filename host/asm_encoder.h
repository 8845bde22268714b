#pragma once
// The assembler's encoder: one instruction line (a mnemonic with its
// operands, or the generic `op N FIELD=VALUE ...` form) or one `.bytes` line
// into the code of a block. Operands that name things (strings, child
// blocks, natives, constants, classes, member caches and paths, labels) are
// resolved against what the parser has declared; their ranges are checked
// later by the validation.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/asm_lexer.h"
#include "host/asm_state.h"

namespace lum_asm {

// Appends the instruction `t[first]...` to block `b`. Throws line_error.
void encode_instruction(state& s, block_state& b, const std::vector<token>& t, size_t first, uint32_t line);

// The bytes of a `.bytes HEX HEX ...` line. Throws line_error.
std::vector<uint8_t> raw_bytes(const std::vector<token>& t);

// Appends raw bytes to block `b`.
void encode_bytes(block_state& b, const std::vector<uint8_t>& raw, uint32_t line);

}  // namespace lum_asm
