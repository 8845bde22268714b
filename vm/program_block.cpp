#include "vm/program_block.h"

#include "vm/class.h"
#include "vm/symbol_table.h"

lum_program_block::lum_program_block() = default;
lum_program_block::~lum_program_block() = default;

lum_program_block_symbol_table* lum_program_block::symbol_table() {
    if (!symbols) symbols = lumptr_strong<lum_program_block_symbol_table>(new lum_program_block_symbol_table());
    return symbols.get();
}

lum_program::lum_program() : strings(std::make_shared<std::vector<std::string>>()) {}

lum_program::~lum_program() {
    // Constants and class statics may hold function values of our blocks;
    // drop cells first, then classes, then blocks.
    constants.clear();
    classes.clear();
    root.reset();
    blocks.clear();
}
