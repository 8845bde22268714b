#pragma once
// The assembler's validation: what the interpreter takes on trust from a
// compiler, checked over the encoded code of every block once it is built.
// Slot, static, level, child, string, cache and member-path indices in
// range; addresses of natives, constants and classes the program owns; jump
// and skip targets on instruction boundaries inside the code; `default` and
// `enterlinked` only where the block has what they need.

#include "host/asm_state.h"

namespace lum_asm {

// Checks every block of `s`; problems go to s.diagnostics.
void validate(state& s);

}  // namespace lum_asm
