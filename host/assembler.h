#pragma once
// The stand-in host's script assembler.
//
// Reads the `.lasm` text format (one item per line: directives, labels and
// instructions) and builds a `lum_program` with the code-block builder:
// blocks and their children, string constants, constant cells, native
// records (the host's `print` and functions of the loaded module's
// namespaces), script classes, source units and positions for run-time
// reports, member-cache entries and member paths. It checks what the
// interpreter takes on trust from a compiler: slot, level, child, string,
// cache and path indices in range, addresses of records the program owns,
// and jump targets on instruction boundaries inside the code, and slot and
// static counts within the limits below (a block's slots and statics are
// allocated whenever it is entered). Problems are reported as
// "FILE:LINE: message", all of them, in line order.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/ptr.h"
#include "vm/program_block.h"

class lum_loaded_module;

// The most local slots (`slots=`) and static slots (`statics=`) of one block.
inline constexpr uint32_t lum_asm_max_slots = 65536;
inline constexpr uint32_t lum_asm_max_statics = 65536;

// One problem found in a source file.
struct lum_asm_diagnostic {
    std::string file;
    uint32_t line = 0;  // 1-based; 0 when the problem concerns the whole file
    std::string message;

    // "FILE:LINE: message" ("FILE: message" without a line).
    std::string text() const;
};

// Thrown when a file cannot be assembled; what() holds every diagnostic's
// text, one per line, in line order.
class lum_asm_error : public std::runtime_error {
public:
    explicit lum_asm_error(std::vector<lum_asm_diagnostic> diagnostics);
    const std::vector<lum_asm_diagnostic>& diagnostics() const noexcept { return diagnostics_; }

private:
    std::vector<lum_asm_diagnostic> diagnostics_;
};

struct lum_asm_options {
    // Namespaces for `.native ns.fn` (null: only host natives are known).
    const lum_loaded_module* module = nullptr;
    // Receives each line the host native `print` writes (line feed included);
    // empty: the line goes to standard output.
    std::function<void(std::string_view)> output;
};

// An assembled program, with what the listing needs to name addresses.
class lum_assembly {
public:
    lumptr_strong<lum_program> program;

    // One instruction (or raw `.bytes` run) of a block, in code order.
    struct item {
        uint32_t offset = 0;
        uint32_t size = 0;
        uint32_t line = 0;
        bool raw = false;
    };
    struct block_info {
        lum_program_block* block = nullptr;
        std::string parent;  // empty for top-level blocks
        std::vector<item> items;
    };
    std::vector<block_info> blocks;  // in declaration order

    // Names of the addresses the code carries.
    std::unordered_map<uint64_t, std::string> native_names;    // "@name"
    std::unordered_map<uint64_t, std::string> constant_names;  // "=name"
    std::unordered_map<uint64_t, std::string> class_names;     // class name

    // The listing of `lumio asm`: per block a header line, then one line per
    // instruction with its offset, bytes (continued on further lines for long
    // instructions) and mnemonic with operands.
    std::string listing() const;
};

// Assembles `source`; `file` names it in diagnostics and is the path of the
// source unit that `.autoloc` positions refer to. Throws lum_asm_error.
lum_assembly lum_assemble(std::string_view source, const std::string& file, const lum_asm_options& options = {});

// The mnemonic of an opcode as the assembler writes it ("" for unknown
// opcodes); variants chosen by field A (inc/inc.post, eq/ne, ...).
std::string_view lum_asm_mnemonic(uint8_t opcode, uint8_t a = 0);
