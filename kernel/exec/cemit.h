// C translation of kernel programs: the fixed C prelude every generated
// translation unit starts with, and the translation of one program into one C
// function with the meaning of its bytecode (same registers, pointer slots,
// traps and trap record as the scalar interpreter).
//
// The generated text is hashed (it names cached libraries and keys
// ahead-of-time code), so every piece is emitted byte for byte as fixed here.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "kernel/exec/bytecode.h"

struct lumk_program;

// The C prelude: includes, kreg/kptr/ktrap, the portability layer (an MSVC
// branch and a GCC/Clang branch), register helpers, division by a constant,
// float-to-integer conversion and the two trap macros.
extern const std::string_view lumk_c_prelude;

// Translator state for one program; not shared between threads.
struct lumk_cemit {
    const lumk_program* program = nullptr;
    std::string text;
    std::set<int64_t> labels;  // instruction indexes some jump targets

    explicit lumk_cemit(const lumk_program& p) : program(&p) {}
};

// The C function of the emitter's program: `head` is everything before the
// parameter list ("K_EXPORT int lumk_jit_entry", "static int lumk_aot_<hash>").
// Clears the emitter's text and labels first. Throws std::runtime_error
// ("lumk_jit: no C translation for <mnemonic>") for an untranslatable instruction.
std::string lumk_cemit_function(lumk_cemit& emitter, std::string_view head);

// C statement of one instruction at index `pc` (no indentation, no line end).
std::string lumk_cemit_insn(const lumk_cemit& emitter, const lumk_insn& insn, uint32_t pc);

// "K_TRAP(code, pcu, value, limit);"
std::string lumk_cemit_trap(uint32_t code, uint32_t pc, std::string_view value_text, std::string_view limit_text);

// "\n/* kernel NAME (FILE:LINE) */\n". Every "*/" inside the name or the file
// becomes "* /", so no name can end the comment.
std::string lumk_cemit_comment(const lumk_program& program);

// C element type, kreg member and size of a memory opcode's type suffix.
struct lumk_cemit_mem {
    const char* c_type;
    char member;
    uint32_t size;
};
bool lumk_cemit_mem_type(std::string_view suffix, lumk_cemit_mem& out);

// "r<n>"
std::string lumk_cemit_reg(uint32_t reg);
// "0x<hex>ULL", lower case, no leading zeros.
std::string lumk_cemit_hex(uint64_t v);
