#pragma once
// Building programs and code blocks from C++ (tests, the assembler).
//
// `lum_program_builder` owns the program under construction: string
// constants, constant cells, native records, class definitions and blocks.
// `lum_block_builder` emits instructions into one block at the fixed byte
// layout, with labels for jumps and the skip distances of the fused
// instructions. Everything the builders allocate comes from the heap (pooling
// is suspended while they work), so a program may outlive the VM it ran on.
//
// The builders write what they are told: range checks of slot, level, child,
// string, cache and path indices are the caller's (the assembler's) job.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"
#include "vm/opcode.h"
#include "vm/program_block.h"

class lum_class_def;
class lum_function_def;
struct lum_source_unit;

class lum_program_builder {
public:
    explicit lum_program_builder(std::string name);
    ~lum_program_builder();
    lum_program_builder(const lum_program_builder&) = delete;
    lum_program_builder& operator=(const lum_program_builder&) = delete;

    lum_program* program() const { return program_.get(); }

    // Index of a string constant (equal texts share one index).
    uint32_t intern(std::string_view text);
    // A constant cell holding a copy of `value`, kept by the program; its
    // address is the operand of `ldk`.
    lumvar* constant(const lumvar_shared& value);
    // Keeps a native record alive with the program; returns it (the operand
    // of `ldext` and `ncall`).
    lum_function_def* native(lum_function_def* definition);
    // A new block owned by the program (use lum_block_builder to fill it).
    lum_program_block* new_block(std::string name, uint8_t kind, uint32_t slots);
    // A new class definition owned by the program (its owner is the program).
    lum_class_def* new_class(std::string name);
    // The program, with `root` as its top-level block.
    lumptr_strong<lum_program> finish(lum_program_block* root);

private:
    lumptr_strong<lum_program> program_;
};

// Fills a class definition: members, methods, operators, constructor.
class lum_class_builder {
public:
    explicit lum_class_builder(lum_class_def* definition) : def_(definition) {}

    lum_class_def* definition() const { return def_; }

    // Copies the base class's members, methods, operator slots and
    // `__deinit__` and records the derivation. Call before adding members.
    lum_class_builder& inherit(lum_class_def* base);
    // An instance member; returns its index (instance cells are numbered in
    // order, after inherited ones).
    uint32_t member(std::string_view name, bool is_private = false);
    // A method (a function value of `block` in the definition's cells);
    // returns its definition index. Operator names fill the operator slot,
    // "__deinit__" the destructor. Replaces an inherited method of that name
    // and clears an abstract entry of that name. The block gets this class
    // as its class definition and the method flag.
    uint32_t method(std::string_view name, lum_program_block* block, bool is_private = false);
    // A static member holding a copy of `value`; returns its definition index.
    uint32_t static_member(std::string_view name, const lumvar_shared& value, bool is_private = false);
    // An abstract method left for derived classes.
    lum_class_builder& abstract_method(std::string_view name);
    // The constructor block (called with the constructor's arguments) and the
    // class body block; both get this class as their class definition.
    lum_class_builder& constructor(lum_program_block* block);
    lum_class_builder& body(lum_program_block* block);

    // Number of instance members so far.
    uint32_t member_count() const { return members_; }

private:
    lum_class_def* def_;
    uint32_t members_ = 0;
};

// A jump target inside one block.
struct lum_label {
    uint32_t id = UINT32_MAX;
};

// Operand fields of the generic instruction form; each is written at its
// fixed position when set.
struct lum_insn_fields {
    std::optional<uint8_t> A = std::nullopt;
    std::optional<uint32_t> B = std::nullopt;
    std::optional<uint32_t> C = std::nullopt;
    std::optional<uint8_t> C8 = std::nullopt;
    std::optional<uint64_t> D = std::nullopt;
    std::optional<uint64_t> E = std::nullopt;
    std::optional<uint8_t> E8 = std::nullopt;
    std::optional<uint8_t> F = std::nullopt;
};

// One item of a fused expression (opcode 72).
struct lum_fexpr_item {
    uint8_t kind = 0;
    uint8_t level = 0;
    uint32_t operand = 0;
};

// The operands of opcode 72.
struct lum_fexpr_form {
    uint8_t dest_kind = lum_fexpr::DEST_TOP;
    uint8_t dest_level = 0;
    uint32_t dest_slot = 0;
    std::vector<lum_fexpr_item> items;  // 1..16
    uint8_t float_mask = 0;
    int64_t const_bits[lum_fexpr::MAX_CONSTS] = {0, 0, 0, 0, 0, 0};

    // Item helpers (postfix order).
    lum_fexpr_form& local(uint32_t slot) { items.push_back({lum_fexpr::IT_LOCAL, 0, slot}); return *this; }
    lum_fexpr_form& up(uint8_t level, uint32_t slot) { items.push_back({lum_fexpr::IT_UP, level, slot}); return *this; }
    lum_fexpr_form& global(uint32_t slot) { items.push_back({lum_fexpr::IT_GLOBAL, 0, slot}); return *this; }
    lum_fexpr_form& self_member(uint32_t index) { items.push_back({lum_fexpr::IT_SELF, 0, index}); return *this; }
    lum_fexpr_form& path(uint32_t record) { items.push_back({lum_fexpr::IT_PATH, 0, record}); return *this; }
    // Constants take the next free constant index (at most 6).
    lum_fexpr_form& int_const(int64_t v);
    lum_fexpr_form& float_const(double v);
    lum_fexpr_form& op(uint8_t kind) { items.push_back({kind, 0, 0}); return *this; }

    uint8_t const_count = 0;
};

// The operands of opcode 73.
struct lum_fcall_spec {
    uint32_t name = 0;          // string constant index of the method name
    uint32_t cache = 0;         // member-cache entry index
    uint32_t member = 0;        // definition index (self form)
    uint8_t argc = 0;
    uint8_t self_form = 0;
    uint8_t enabled = 1;
    uint64_t accessing = 0;     // lum_class_def* or 0
};

class lum_block_builder {
public:
    // Fills `block` (made by lum_program_builder::new_block).
    lum_block_builder(lum_program_builder& program, lum_program_block* block);
    ~lum_block_builder();
    lum_block_builder(const lum_block_builder&) = delete;
    lum_block_builder& operator=(const lum_block_builder&) = delete;

    lum_program_block* block() const { return block_; }
    lum_program_builder& program() const { return program_; }

    // Block properties.
    lum_block_builder& params(uint32_t count, uint32_t first_default);  // first_default: LUM_NO_DEFAULT = none
    lum_block_builder& bound(uint32_t count);
    lum_block_builder& flags(uint8_t flags);
    lum_block_builder& slot_flag(uint32_t slot, uint8_t flag);
    // Static slot cells (fresh none each); returns the first new index.
    uint32_t statics(uint32_t count);
    // Appends a child block; returns its index.
    uint32_t child(lum_program_block* child);
    lum_block_builder& linked(lum_program_block* target);
    // A new member-cache entry; returns its index.
    uint32_t cache();
    // A new member-path record; returns its index.
    uint32_t member_path(uint8_t holder_kind, uint8_t holder_level, uint32_t holder_slot, std::string_view member);
    // Loop restart offset at a label (resolved by finish).
    lum_block_builder& restart(lum_label at);

    // Source position of the next instruction (the unit stays owned by the caller).
    lum_block_builder& loc(const lum_source_unit* unit, uint32_t line, uint32_t index);

    // Labels.
    lum_label label();
    lum_block_builder& bind(lum_label l);
    uint32_t offset() const { return static_cast<uint32_t>(block_->code.size()); }

    // Generic instruction: opcode, fields at their fixed positions; size from
    // the opcode (`size` overrides it, e.g. for invalid opcodes). Returns the
    // instruction's offset.
    uint32_t emit(uint8_t opcode, const lum_insn_fields& fields = {}, std::optional<uint32_t> size = {});
    // As emit, with field B the distance from the instruction's first byte to
    // `target` (signed for 55-57, the skip distance for 72 and 73).
    uint32_t emit_to(uint8_t opcode, lum_label target, const lum_insn_fields& fields = {});
    // Raw bytes.
    lum_block_builder& bytes(const std::vector<uint8_t>& raw);

    // Fused instructions (B is the skip distance to `skip`).
    uint32_t fexpr(const lum_fexpr_form& form, lum_label skip);
    uint32_t fcall(const lum_fcall_spec& form, lum_label skip);

    // Mnemonic helpers for the common instructions.
    lum_block_builder& ld_l(uint32_t s) { emit(LUM_OP_LD_L, {.B = s}); return *this; }
    lum_block_builder& ld_lf(uint32_t s) { emit(LUM_OP_LD_LF, {.B = s}); return *this; }
    lum_block_builder& ld_s(uint32_t s) { emit(LUM_OP_LD_S, {.B = s}); return *this; }
    lum_block_builder& ld_up(uint32_t level, uint32_t s) { emit(LUM_OP_LD_UP, {.B = level, .C = s}); return *this; }
    lum_block_builder& ld_ups(uint32_t level, uint32_t s) { emit(LUM_OP_LD_UPS, {.B = level, .C = s}); return *this; }
    lum_block_builder& ld_g(uint32_t s) { emit(LUM_OP_LD_G, {.B = s}); return *this; }
    lum_block_builder& ld_gs(uint32_t s) { emit(LUM_OP_LD_GS, {.B = s}); return *this; }
    lum_block_builder& ldi(int64_t v);
    lum_block_builder& ldf(double v);
    lum_block_builder& lds(std::string_view text);
    lum_block_builder& fn(uint32_t child) { emit(LUM_OP_FN, {.B = child}); return *this; }
    lum_block_builder& ldext(lum_function_def* def);
    lum_block_builder& ldk(lumvar* cell);
    lum_block_builder& op(uint8_t opcode) { emit(opcode); return *this; }
    // The generic form, chainable.
    lum_block_builder& put(uint8_t opcode, const lum_insn_fields& fields) { emit(opcode, fields); return *this; }
    lum_block_builder& op_a(uint8_t opcode, uint8_t a) { emit(opcode, {.A = a}); return *this; }
    lum_block_builder& op_b(uint8_t opcode, uint32_t b) { emit(opcode, {.B = b}); return *this; }
    lum_block_builder& push() { return op(LUM_OP_PUSH); }
    lum_block_builder& pop() { return op(LUM_OP_POP); }
    lum_block_builder& dup() { return op(LUM_OP_DUP); }
    lum_block_builder& assign() { return op(LUM_OP_ASSIGN); }
    lum_block_builder& ret() { return op(LUM_OP_RET); }
    lum_block_builder& frame(uint32_t n) { return op_b(LUM_OP_FRAME, n); }
    lum_block_builder& farg(uint32_t i) { return op_b(LUM_OP_FARG, i); }
    lum_block_builder& ncall(lum_function_def* def);
    lum_block_builder& prep(uint8_t argc) { return op_a(LUM_OP_PREP, argc); }
    lum_block_builder& arg(uint32_t i) { return op_b(LUM_OP_ARG, i); }
    lum_block_builder& call() { return op(LUM_OP_CALL); }
    lum_block_builder& enter(uint32_t child) { return op_b(LUM_OP_ENTER, child); }
    lum_block_builder& selfmem(uint32_t index, bool from_definition = false) {
        emit(LUM_OP_SELFMEM, {.B = index, .C8 = static_cast<uint8_t>(from_definition ? 1 : 0)});
        return *this;
    }
    lum_block_builder& jmp(lum_label l) { emit_to(LUM_OP_JMP, l); return *this; }
    lum_block_builder& jz(lum_label l) { emit_to(LUM_OP_JZ, l); return *this; }
    lum_block_builder& jnz(lum_label l) { emit_to(LUM_OP_JNZ, l); return *this; }
    // Member by name (opcode 61); `cache_index` from cache().
    lum_block_builder& mem(std::string_view name, uint32_t cache_index, const lum_class_def* accessing = nullptr,
                           bool vivify = false);

    // Resolves labels (every used label must be bound) and returns the block.
    lum_program_block* finish();

private:
    struct fixup {
        uint32_t insn;
        uint32_t label;
        bool is_signed;
    };
    struct pending_loc {
        const lum_source_unit* unit;
        uint32_t line;
        uint32_t index;
    };
    uint32_t begin_insn(uint8_t opcode, uint32_t size);

    lum_program_builder& program_;
    lum_program_block* block_;
    std::vector<int64_t> labels_;
    std::vector<fixup> fixups_;
    std::optional<pending_loc> loc_;
    std::optional<uint32_t> restart_label_;
};
