#pragma once
// The assembler's parser: reads a source file line by line in two passes.
// The first pass opens and closes blocks (nesting makes children) and takes
// the declarations (natives, constants, units, classes, member paths); the
// classes are then built, once every block they name exists. The second pass
// binds labels, keeps source positions (`.loc`, `.autoloc`) and hands each
// instruction and `.bytes` line to the encoder, finishing each block at its
// `.end`.

#include <string_view>

#include "host/asm_state.h"

namespace lum_asm {

// Parses `source` into `s`; problems go to s.diagnostics.
void parse(state& s, std::string_view source);

}  // namespace lum_asm
