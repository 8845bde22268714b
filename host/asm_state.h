#pragma once
// What the assembler has declared and built so far: the program builder,
// the blocks with their labels, caches and member paths, the natives,
// constants, classes and source units, and the problems found. The parser
// fills it; the encoder and the validation read it.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/asm_lexer.h"
#include "host/assembler.h"
#include "runtime/value.h"
#include "vm/block_builder.h"
#include "vm/class.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"

namespace lum_asm {

struct label_info {
    lum_label label;
    bool bound = false;
    uint32_t first_use = 0;
};

struct block_state {
    std::string name;
    lum_program_block* block = nullptr;
    std::unique_ptr<lum_block_builder> builder;
    int parent = -1;
    uint32_t depth = 0;  // 0 for top-level blocks
    uint32_t line = 0;   // the .block line
    bool closed = false;
    bool broken = false;  // labels could not be resolved
    std::unordered_map<std::string, uint32_t> child_index;
    std::unordered_map<std::string, label_info> labels;
    std::unordered_map<std::string, uint32_t> caches;  // named member-cache entries
    std::unordered_map<std::string, uint32_t> paths;   // member-path records by name
    std::vector<uint32_t> path_lines;                  // .mpath line of each record
    std::vector<lum_assembly::item> items;
    std::optional<std::pair<std::string, uint32_t>> restart;  // label, line

    // The label `name` of this block, made at its first use (`line`).
    label_info& label(const std::string& name, uint32_t line);
};

struct class_decl {
    std::string name;
    lum_class_def* def = nullptr;
    uint32_t line = 0;
    std::vector<token> tokens;
};

struct state {
    state(std::string file, const lum_asm_options& options);

    std::string file;
    const lum_asm_options& options;
    lum_program_builder builder;
    std::vector<lum_asm_diagnostic> diagnostics;

    std::deque<block_state> blocks;                        // in declaration order
    std::unordered_map<std::string, uint32_t> block_names;  // -> blocks
    std::map<std::string, lum_function_def*> natives;
    std::map<std::string, lumvar*> constants;
    std::vector<std::shared_ptr<lum_source_unit>> units;
    std::vector<class_decl> classes;

    void report(uint32_t line, std::string message) {
        diagnostics.push_back(lum_asm_diagnostic{file, line, std::move(message)});
    }

    // Runs `f`, reporting a `line_error` it throws at `line`.
    template <class F>
    void guarded(uint32_t line, F&& f) {
        try {
            f();
        } catch (const line_error& e) {
            report(line, e.message);
        }
    }

    lum_program_block* find_block(std::string_view name);
};

}  // namespace lum_asm
