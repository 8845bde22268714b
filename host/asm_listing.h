#pragma once
// The listing of `lumio asm` (lum_assembly::listing): per block a header
// line in the `.block` form, then one line per instruction with its offset,
// bytes and mnemonic with operands, named as the source names them. The text
// forms below are the ones the lexer reads back.

#include <string>
#include <string_view>

namespace lum_asm {

// A quoted string with \" \\ \n \t \r and \xHH escapes.
std::string escape_string(std::string_view s);

// A float with every digit it needs; integral values end in ".0".
std::string format_double(double v);

}  // namespace lum_asm
