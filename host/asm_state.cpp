#include "host/asm_state.h"

namespace lum_asm {

namespace {

// The program is named after its file until `.program` names it.
std::string program_name(const std::string& file) {
    std::string name = lum_path_file_name(file);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

}  // namespace

state::state(std::string file_path, const lum_asm_options& asm_options)
    : file(std::move(file_path)), options(asm_options), builder(program_name(file)) {}

label_info& block_state::label(const std::string& label_name, uint32_t line) {
    auto it = labels.find(label_name);
    if (it == labels.end()) {
        label_info info;
        info.label = builder->label();
        info.first_use = line;
        it = labels.emplace(label_name, info).first;
    }
    return it->second;
}

lum_program_block* state::find_block(std::string_view name) {
    auto it = block_names.find(std::string(name));
    if (it == block_names.end()) fail("unknown block " + quote(name));
    return blocks[it->second].block;
}

}  // namespace lum_asm
