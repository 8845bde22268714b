// The assembler's entry points. The work is done in turn by the parser
// (asm_parser: lines, declarations, blocks), which hands instructions to the
// encoder (asm_encoder) and reads them with the lexer (asm_lexer); then the
// validation (asm_validation) checks the encoded code. The listing of
// `lumio asm` is in asm_listing.

#include "host/assembler.h"

#include <algorithm>

#include "host/asm_parser.h"
#include "host/asm_state.h"
#include "host/asm_validation.h"
#include "runtime/thread_local.h"

std::string lum_asm_diagnostic::text() const {
    if (line == 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

namespace {

std::string join_diagnostics(const std::vector<lum_asm_diagnostic>& diagnostics) {
    std::string out;
    for (size_t i = 0; i < diagnostics.size(); ++i) {
        if (i != 0) out += '\n';
        out += diagnostics[i].text();
    }
    return out;
}

}  // namespace

lum_asm_error::lum_asm_error(std::vector<lum_asm_diagnostic> diagnostics)
    : std::runtime_error(join_diagnostics(diagnostics)), diagnostics_(std::move(diagnostics)) {}

lum_assembly lum_assemble(std::string_view source, const std::string& file, const lum_asm_options& options) {
    using namespace lum_asm;
    state s(file, options);
    lum_pooling_suspend heap_only;
    parse(s, source);
    if (s.diagnostics.empty()) validate(s);
    if (!s.diagnostics.empty()) {
        std::stable_sort(s.diagnostics.begin(), s.diagnostics.end(),
                         [](const lum_asm_diagnostic& a, const lum_asm_diagnostic& b) { return a.line < b.line; });
        throw lum_asm_error(std::move(s.diagnostics));
    }
    lum_assembly out;
    lum_program_block* root = nullptr;
    for (const block_state& b : s.blocks)
        if (b.parent < 0) {
            root = b.block;
            break;
        }
    out.program = s.builder.finish(root);
    for (std::shared_ptr<lum_source_unit>& u : s.units) out.program->attachments.push_back(u);
    for (block_state& b : s.blocks) {
        lum_assembly::block_info info;
        info.block = b.block;
        info.parent = b.parent >= 0 ? s.blocks[b.parent].name : std::string();
        info.items = std::move(b.items);
        out.blocks.push_back(std::move(info));
    }
    for (const auto& [name, def] : s.natives) out.native_names[reinterpret_cast<uintptr_t>(def)] = "@" + name;
    for (const auto& [name, cell] : s.constants) out.constant_names[reinterpret_cast<uintptr_t>(cell)] = "=" + name;
    for (const class_decl& c : s.classes) out.class_names[reinterpret_cast<uintptr_t>(c.def)] = c.name;
    return out;
}
