#include "vm/symbol_table.h"

std::string lum_path_file_name(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    const size_t slash = out.rfind('/');
    if (slash != std::string::npos) out.erase(0, slash + 1);
    return out;
}

std::string lum_source_unit::file_name() const { return lum_path_file_name(path); }

lum_program_block_symbol_table::lum_program_block_symbol_table() : names(8) { names.max_load_factor(1.0f); }

lum_program_block_symbol_table::~lum_program_block_symbol_table() {
    // The ordered map goes first, then the name map.
    positions.clear();
    names.clear();
}

const lum_symbol_entry* lum_program_block_symbol_table::find(std::string_view name) const {
    auto it = names.find(name);
    return it == names.end() ? nullptr : &it->second;
}

void lum_program_block_symbol_table::add_name(std::string_view name, uint32_t member_index, bool from_definition,
                                              bool is_private) {
    lum_symbol_entry entry;
    entry.member_index = member_index;
    entry.from_definition = from_definition ? 1 : 0;
    entry.is_private = is_private ? 1 : 0;
    auto it = names.find(name);
    if (it != names.end()) it->second = entry;
    else names.emplace(std::string(name), entry);
}

void lum_program_block_symbol_table::add_position(uint32_t offset, const lum_source_unit* unit, uint32_t line,
                                                  uint32_t index) {
    positions[offset] = lumptr_strong<lum_source_location>(new lum_source_location(unit, line, index));
}

std::map<uint32_t, lumptr_strong<lum_source_location>>::const_iterator lum_program_block_symbol_table::position_at(
    uint32_t offset) const {
    auto it = positions.upper_bound(offset);
    if (it == positions.begin()) return positions.end();
    return std::prev(it);
}
