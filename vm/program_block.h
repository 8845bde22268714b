#pragma once
// Code blocks and programs.
//
// A program is one compiled script unit: its string constants, its code
// blocks, class definitions, constant cells and the native function records
// whose addresses the code carries. A code block (`lum_program_block`) is
// what one execution context runs: code bytes plus the tables the
// interpreter and task continuation read. Blocks form a tree through their
// child references (function bodies, inner blocks, default-value blocks,
// catch blocks).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"
#include "vm/opcode.h"

class lum_class_def;
class lum_program;
class lum_program_block_symbol_table;
class lum_function_def;

// Block kinds.
enum lum_block_kind : uint8_t {
    LUM_BLOCK_PLAIN = 0,     // inner block: try, catch, default value, plain scope
    LUM_BLOCK_FUNCTION = 1,  // function body
    LUM_BLOCK_LOOP = 2,      // loop body ("continue" restarts it)
    LUM_BLOCK_TOP = 4,       // a program's top-level block
};

// Block flags (bit values).
enum lum_block_flag : uint8_t {
    LUM_BLOCK_FLAG_TRY = 1,       // catches run-time errors of the contexts above it
    LUM_BLOCK_FLAG_FUNCTION = 2,  // function block: ends the try search; errors return none
    LUM_BLOCK_FLAG_EPILOGUE = 4,  // on return, its last 8 code bytes run
    LUM_BLOCK_FLAG_METHOD = 8,    // a method of a script class (fused call)
};

// Slot flag bit: the parameter in this slot is passed by reference.
inline constexpr uint8_t LUM_SLOT_BY_REF = 4;

// First-default index "none": every parameter is optional to the count test.
inline constexpr uint32_t LUM_NO_DEFAULT = 0xFFFFFFFFu;

// One member-access site (opcodes 61 and 73), 24 bytes. A site remembers the
// last class definition or native object type it saw; filling the entry for
// one kind clears the other kind's key.
struct lum_member_cache_entry {
    uint64_t class_key = 0;        // lum_class_def* seen last
    uint64_t object_type_key = 0;  // type tag of the native object seen last
    int32_t index = -1;            // member index, -1 none
    uint8_t from_definition = 0;
    uint8_t pad[3] = {0, 0, 0};
};
static_assert(sizeof(lum_member_cache_entry) == 24);

// A member reached through a holder (opcode 72 item/destination kind path),
// 32 bytes. The holder is resolved by kind (0 local, 1 up-level, 2 global,
// 19 self member), level and slot; the member by name with a cached class.
struct lum_member_path {
    uint8_t holder_kind = 0;
    uint8_t holder_level = 0;
    uint8_t pad0[2] = {0, 0};
    uint32_t holder_slot = 0;
    uint32_t name = 0;             // string constant index
    uint32_t pad1 = 0;
    uint64_t cached_class = 0;     // lum_class_def*
    uint32_t cached_index = 0;
    uint32_t pad2 = 0;
};
static_assert(sizeof(lum_member_path) == 32);

// The decoded form of one fused numeric expression (opcode 72), made the
// first time the instruction runs so that later runs skip the decoding of its
// 200-byte layout (the code bytes never change while contexts run a block).
// Only the interpreter reads and writes these. 64 bytes.
struct lum_fexpr_plan {
    enum : uint8_t {
        GENERAL = 0,  // anything else: the general evaluator reads the instruction
        INT_BINARY,   // `a <op> b` over integers, op one of add..gt except div/mod
    };
    enum : uint8_t { LOCAL = 0, SELF = 1, CONST = 2 };  // operand and destination places
    static constexpr uint32_t EMPTY = 0xFFFFFFFFu;

    uint32_t offset = EMPTY;  // code offset of the decoded instruction (tag)
    uint8_t shape = GENERAL;
    uint8_t op = 0;           // item kind of the operator
    uint8_t a_kind = LOCAL;   // LOCAL or SELF
    uint8_t b_kind = LOCAL;   // LOCAL, SELF or CONST
    uint8_t dest_kind = 0;    // 0 the top, else LOCAL + 1 or SELF + 1
    uint8_t keep_top = 0;     // 1: the instruction run after success replaces the top without reading it
    uint8_t uses_self = 0;
    uint8_t branch_when = 0;  // the truth of the result that takes `branch_target` (1 jnz, 0 jz)
    uint32_t a = 0, b = 0;    // operand slots or member indexes
    uint32_t dest = 0;        // destination slot or member index
    uint32_t jump = 0;        // skip distance on success
    int64_t k = 0;            // the constant operand (b_kind CONST)
    // Where success goes on. When success lands on a conditional jump (56,
    // 57), its test of the result is made at once: `branch_target` is taken
    // when the truth of the result equals `branch_when`, else `next` (the
    // instruction after the jump). Otherwise both are the success target.
    uint32_t next = 0;
    uint32_t branch_target = 0;
    // Specialised form for the interpreter (0: none): for `a` a local slot
    // (destination the top or a local slot) or a member of self (destination
    // the top or a member of self), `b` a constant or a local slot, every
    // local slot below the block's slot count: 1 + form * 16 + (op - 4) with
    // form = 4 * (a is a member of self) + 2 * (b is a local slot) +
    // (the destination is not the top). Comparisons only when success lands
    // on a conditional jump.
    uint8_t variant = 0;
    // 1: the block's fexpr_lines entry at this plan's index holds the
    // straight-line form, which the general evaluation runs.
    uint8_t line = 0;
    uint8_t reserved[6] = {};
    // Plan-table indexes of `next` and `branch_target` (offset / 200): when
    // the plan there carries that offset as its tag, a fused expression
    // starts there and is decoded, and the interpreter goes on with it
    // directly.
    uint32_t next_fx = EMPTY;
    uint32_t branch_fx = EMPTY;
};
static_assert(sizeof(lum_fexpr_plan) == 64);

// A fused expression (any item count the instruction takes, 1 to 16) whose
// operands are local slots of the block (below its slot count) and
// constants, decoded into steps over an accumulator (the newest value) and a
// short stack under it: an operand directly followed by a binary operator is
// that operator's right side, so `a b mul c add` is three steps (load a, mul
// by b, add c). Checked when decoded to leave exactly one value.
struct lum_fexpr_line {
    // Operand sources.
    enum : uint8_t { LOCAL = 0, INT_CONST, FLOAT_CONST, ACC };
    static constexpr unsigned MAX_STEPS = lum_fexpr::MAX_ITEMS;
    struct step {
        // LOAD: the accumulator goes onto the stack and takes the operand;
        // APPLY: accumulator = accumulator <op> operand; APPLY_STACK:
        // accumulator = popped value <op> accumulator; NEG: negated.
        enum : uint8_t { LOAD = 0, APPLY, APPLY_STACK, NEG };
        uint8_t what = LOAD;
        uint8_t source = LOCAL;  // LOAD, APPLY
        uint8_t op = 0;          // APPLY, APPLY_STACK: the operator item kind
        uint32_t slot = 0;       // LOCAL
        union {
            int64_t i = 0;       // INT_CONST
            double f;            // FLOAT_CONST
        };
    };
    uint8_t count = 0;
    step steps[MAX_STEPS];
};

class lum_program_block : public lumptr_base<lum_program_block>, public lumptr_type_tag<lum_program_block> {
public:
    lum_program_block();
    ~lum_program_block() override;
    lum_program_block(const lum_program_block&) = delete;
    lum_program_block& operator=(const lum_program_block&) = delete;

    // Code bytes. Never resized once a context runs the block.
    std::vector<uint8_t> code;
    // One flag byte per local slot (bit LUM_SLOT_BY_REF); at least num_slots entries.
    std::vector<uint8_t> slot_flags;
    uint32_t num_slots = 0;
    // Static slots: cells shared by every context of the block.
    std::vector<lumvar_shared> statics;
    // The program's string constants (shared by all blocks of a program).
    std::shared_ptr<const std::vector<std::string>> strings;
    // Child blocks by index: function bodies, inner, default-value and catch blocks.
    std::vector<lumptr_strong<lum_program_block>> children;
    // Block entered by opcode 50 (not owned).
    lumptr_weak<lum_program_block> linked;
    // Class definition the block belongs to (opcode 54).
    lumptr_weak<lum_class_def> class_def;
    // Parameters: count, bound-argument count, index of the first parameter
    // with a default value (LUM_NO_DEFAULT when none). The minimum argument
    // count of the function is first_default (no minimum when none).
    uint32_t num_params = 0;
    uint32_t num_bound = 0;
    uint32_t first_default = LUM_NO_DEFAULT;
    uint8_t kind = LUM_BLOCK_PLAIN;   // lum_block_kind
    uint8_t flags = 0;                // lum_block_flag bits
    // Offset where "continue" restarts a loop body.
    uint32_t loop_restart = 0;
    // Member-access sites and member paths, filled by the interpreter.
    std::vector<lum_member_cache_entry> member_cache;
    // Per member-access site (same index as member_cache): the key-index slot
    // where a json container last held the site's key; only a hint, checked
    // by a key compare before use.
    std::vector<uint32_t> json_key_slot;
    std::vector<lum_member_path> member_paths;
    // Decoded fused expressions, by code offset / 200 (two instructions of 200
    // bytes never share an index); filled by the interpreter. `fexpr_plans_code`
    // is the code address they were decoded from: code at a new address drops
    // them. Code bytes that a run has seen must not change afterwards; a tool
    // that rewrites them in place clears this table.
    std::vector<lum_fexpr_plan> fexpr_plans;
    const uint8_t* fexpr_plans_code = nullptr;
    // Straight-line forms of fused expressions, at their plan's index (written
    // when a plan with `line` set is decoded; sized on the first one).
    std::vector<lum_fexpr_line> fexpr_lines;
    // Where instructions stop needing a size test: every instruction that
    // starts before code + safe_length fits in the code, whatever byte it
    // starts at (found by the interpreter for the code at `safe_code` with
    // `safe_code_size` bytes; the same rule as the fused plans applies).
    const uint8_t* safe_code = nullptr;
    uint32_t safe_code_size = 0;
    uint32_t safe_length = 0;
    // Symbol table (member names, source positions); made on first request.
    lumptr_strong<lum_program_block_symbol_table> symbols;
    // The program the block belongs to.
    lumptr_weak<lum_program> program;
    // Name for listings and diagnostics.
    std::string name;

    const uint8_t* code_begin() const { return code.data(); }
    const uint8_t* code_end() const { return code.data() + code.size(); }
    uint32_t code_size() const { return static_cast<uint32_t>(code.size()); }

    bool is_try() const { return flags & LUM_BLOCK_FLAG_TRY; }
    bool is_function_flagged() const { return flags & LUM_BLOCK_FLAG_FUNCTION; }
    bool has_epilogue() const { return flags & LUM_BLOCK_FLAG_EPILOGUE; }
    bool is_method() const { return flags & LUM_BLOCK_FLAG_METHOD; }
    bool is_function_body() const { return kind == LUM_BLOCK_FUNCTION; }
    bool is_loop_body() const { return kind == LUM_BLOCK_LOOP; }
    bool is_top_level() const { return kind == LUM_BLOCK_TOP; }
    // A function body without epilogue: its return goes straight back to
    // its caller (one test).
    bool returns_directly() const {
        return ((kind ^ LUM_BLOCK_FUNCTION) | (flags & LUM_BLOCK_FLAG_EPILOGUE)) == 0;
    }

    // Largest accepted argument count and smallest (LUM_NO_DEFAULT: none).
    uint32_t max_args() const { return num_params; }
    uint32_t min_args() const { return first_default; }

    uint8_t slot_flag(uint32_t slot) const { return slot < slot_flags.size() ? slot_flags[slot] : 0; }
    const std::string& string_at(uint32_t index) const { return (*strings)[index]; }

    // The block's symbol table, created empty on first request.
    lum_program_block_symbol_table* symbol_table();
};

// One compiled script unit. Owns its blocks, class definitions, constant
// cells and the native records its code names; tasks hold it strongly.
class lum_program : public lumptr_base<lum_program>, public lumptr_type_tag<lum_program> {
public:
    lum_program();
    ~lum_program() override;
    lum_program(const lum_program&) = delete;
    lum_program& operator=(const lum_program&) = delete;

    std::string name;   // task names ("TASK" when empty)
    std::shared_ptr<std::vector<std::string>> strings;
    lumptr_strong<lum_program_block> root;                 // the top-level block
    std::vector<lumptr_strong<lum_program_block>> blocks;  // every block of the program
    std::vector<lumptr_strong<lum_class_def>> classes;
    std::vector<lumvar_shared> constants;                  // cells whose addresses code carries
    std::vector<lumptr_strong<lum_function_def>> natives;  // records whose addresses code carries
    std::vector<std::shared_ptr<void>> attachments;        // anything else to keep alive (source units ...)
};
