#pragma once
// Symbol tables of code blocks and script class definitions.
//
// A table maps member names of a class to their index and flags, and code
// offsets of a block to the source position of the instruction there. The
// entries come from the host's compiler (or the stand-in host's assembler);
// the runtime only reads them: member lookups by name, and source positions
// for run-time error and warning reports.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/ptr.h"
#include "runtime/registry.h"

// One source file (or other unit of source text) that reports quote.
// Units are made and kept alive by whoever compiled the code (the host);
// reports only read them.
struct lum_source_unit {
    std::string path;                                  // full path
    std::unordered_map<uint32_t, std::string> lines;   // text of each line by line number
    const lum_source_unit* included_from = nullptr;    // null for the outermost unit

    // The path with every '\' turned into '/' and cut after the last '/'.
    std::string file_name() const;
};

// The file name of a path: every '\' becomes '/' and the text after the last
// '/' is taken (the whole path when there is none).
std::string lum_path_file_name(std::string_view path);

// Source position of one instruction.
class lum_source_location : public lumptr_base<lum_source_location>,
                            public lumptr_type_tag<lum_source_location> {
public:
    lum_source_location() = default;
    lum_source_location(const lum_source_unit* unit, uint32_t line, uint32_t index)
        : unit(unit), line(line), index(index) {}

    const lum_source_unit* unit = nullptr;  // may be null
    uint32_t line = 0;
    uint32_t index = 0;                     // index within the line
};

// A member of a class as the symbol table lists it.
struct lum_symbol_entry {
    uint32_t member_index = 0;
    uint8_t from_definition = 0;  // the member lives in the class definition (methods, statics)
    uint8_t is_private = 0;
};

class lum_program_block_symbol_table : public lumptr_base<lum_program_block_symbol_table>,
                                       public lumptr_type_tag<lum_program_block_symbol_table> {
public:
    lum_program_block_symbol_table();
    ~lum_program_block_symbol_table() override;

    // Member name -> entry (hashed with lum_hasher; 8 buckets, max load 1.0).
    std::unordered_map<std::string, lum_symbol_entry, lum_hasher, lum_transparent_equal> names;
    // Code offset (from the block's first code byte) -> source position.
    std::map<uint32_t, lumptr_strong<lum_source_location>> positions;

    // The entry of a member name, null when there is none.
    const lum_symbol_entry* find(std::string_view name) const;
    // Adds or replaces a member name.
    void add_name(std::string_view name, uint32_t member_index, bool from_definition, bool is_private);
    // Records the source position of the instruction at `offset`.
    void add_position(uint32_t offset, const lum_source_unit* unit, uint32_t line, uint32_t index);
    // The position entry with the greatest offset not above `offset`
    // (positions.end() when there is none).
    std::map<uint32_t, lumptr_strong<lum_source_location>>::const_iterator position_at(uint32_t offset) const;
};
