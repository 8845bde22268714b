// Compiled kernel programs and units: the records every engine, the listing,
// the C translation and the script interface read once compilation is done.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/compiler/kernel_types.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/settings.h"

// One kernel parameter.
struct lumk_param {
    std::string name;
    lumk_type type;
    uint16_t reg = 0;        // register of a value parameter
    uint16_t slot = 0;       // pointer slot of a pointer parameter
    uint32_t size = 0;       // byte size of the element type
    std::string type_text;
};

// One accumulator of a reducing kernel.
struct lumk_reduction {
    uint16_t reg = 0;                     // accumulator register
    lumk_prim prim = LUMK_PRIM_VOID;      // reduced scalar type
    lumk_reduce_op op = LUMK_REDUCE_NONE;
    uint32_t offset = 0;                  // byte offset of the field in the struct result
    std::string field;                    // empty for a whole-result reduction
};

// One constant-pool entry of a program.
struct lumk_const {
    uint16_t reg = 0;                 // register holding it, assigned at finalize
    lumk_prim prim = LUMK_PRIM_VOID;
    uint64_t bits = 0;                // an f32 keeps its pattern in the low half
};

// One entry kernel (or the prologue split off from one). Always held by a
// shared pointer; immutable once compiled except for its JIT slot.
struct lumk_program {
    std::string name;                 // a prologue: kernel name + " (prologue)"
    std::string file;
    uint32_t line = 0;
    std::vector<lumk_param> params;
    lumk_type result_type;
    std::string result_type_text;
    std::vector<lumk_reduction> reductions;
    uint32_t reg_count = 0;           // register-file size: registers + constants
    uint32_t ptr_count = 0;           // pointer slots of the pointer parameters
    uint32_t frame_slot = 0;          // slot of the per-runner frame
    uint32_t frame_bytes = 0;         // 0 = no frame
    uint16_t gid = 0, gsize = 0, acc = 0, gid_x = 0, gid_y = 0, gsize_x = 0, gsize_y = 0;
    uint8_t is_2d = 0;
    std::vector<lumk_const> constants;
    std::shared_ptr<lumk_program> prologue;
    std::vector<lumk_insn> code;      // ends in END
    std::vector<uint32_t> lines;      // source line per instruction
    std::vector<uint16_t> file_indexes;  // file-name index per instruction
    std::vector<std::string> file_names;
    std::vector<std::string> reg_names;
    std::shared_ptr<lumk_jit_slot> jit;  // never empty

    lumk_program();
    ~lumk_program();
    lumk_program(const lumk_program&) = delete;
    lumk_program& operator=(const lumk_program&) = delete;
};

// Puts the fixed registers of `p` at 0..6: gid, gsize, acc, gid_x, gid_y,
// gsize_x, gsize_y, the layout the checker gives every kernel.
void lumk_set_fixed_registers(lumk_program& p);

// Copies what a program shares with the prologue split off from it: source
// position, parameters, the register file (size, fixed registers, names) and
// the pointer slots with the frame. Name, result, reductions, the 2-D flag,
// code, constants, prologue and JIT slot stay. The optimizer makes a prologue
// with it and finalize brings the prologue up to date with it.
void lumk_copy_program_header(lumk_program& to, const lumk_program& from);

// A `kernel const` declaration of a unit.
struct lumk_unit_const {
    std::string name;
    lumk_prim prim = LUMK_PRIM_VOID;
    uint64_t bits = 0;
};

// One source that went into a unit.
struct lumk_source {
    std::string text;
    std::string name;
};

// One compiled source unit, shared by the unit cache, script objects, launches
// and the native-code path.
struct lumk_compiled_unit {
    std::vector<lumk_struct_layout> structs;   // declared structs, then vector types
    std::vector<std::shared_ptr<lumk_program>> programs;  // own entry kernels
    std::vector<lumk_unit_const> constants;
    std::vector<lumk_source> sources;          // imports first, own source last
};
using lumk_unit = lumk_compiled_unit;

// The register allocator's view of one basic block while it collects uses.
struct lumk_operand_mark_state {
    uint32_t first_reg = 0;              // first allocatable register
    std::span<const int32_t> map;        // allocator's register map; negative = unassigned
    std::span<const uint64_t> defs;      // registers defined so far in the block (bit set)
    std::span<uint64_t> uses;            // registers used before a definition (bit set)
};

// Sets the use bit of every source register operand (R, I) of `insn` that is
// allocatable (first_reg <= r < 32768), inside the map with a negative entry,
// and not yet defined in the block.
void lumk_insn_mark_operands(const lumk_insn& insn, lumk_operand_mark_state& state);
// Replaces every register operand (D, R, I) r with map[r] when r is inside the
// map and map[r] >= 0.
void lumk_insn_rename_operands(lumk_insn& insn, std::span<const int32_t> map);
