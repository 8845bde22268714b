#include "kernel/compiler/program.h"

#include <array>

lumk_program::lumk_program() : jit(std::make_shared<lumk_jit_slot>()) {}

lumk_program::~lumk_program() {
    // The slot goes first; the remaining members are destroyed in reverse order.
    jit.reset();
}

void lumk_set_fixed_registers(lumk_program& p) {
    p.gid = 0;
    p.gsize = 1;
    p.acc = 2;
    p.gid_x = 3;
    p.gid_y = 4;
    p.gsize_x = 5;
    p.gsize_y = 6;
}

namespace {

// Register operands (D, R, I) of one opcode, read once from the format table:
// the walkers run over every instruction several times per compile.
struct register_slots {
    uint8_t n = 0;
    lumk_operand_slot slot[4]{};
};

using register_table = std::array<register_slots, LUMK_OP_COUNT + 1>;  // last entry: unknown opcodes

const register_table& register_operands() {
    static const register_table table = [] {
        register_table t{};
        for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op) {
            lumk_operand_slot ops[4];
            const uint32_t n = lumk_op_operands(op, ops);
            for (uint32_t i = 0; i < n; ++i)
                if (ops[i].letter == 'D' || ops[i].letter == 'R' || ops[i].letter == 'I') t[op].slot[t[op].n++] = ops[i];
        }
        return t;
    }();
    return table;
}

// Built during static initialisation from the constant format table; read-only afterwards.
const register_table& g_register_operands = register_operands();

const register_slots& slots_of(uint32_t op) { return g_register_operands[op < LUMK_OP_COUNT ? op : LUMK_OP_COUNT]; }

// Register number of an operand; an I operand holds it in the low 16 bits of imm.
uint64_t register_of(const lumk_insn& insn, const lumk_operand_slot& op) {
    const uint64_t v = lumk_insn_field(insn, op.field);
    return op.letter == 'I' ? (v & 0xFFFF) : v;
}
}  // namespace

void lumk_insn_mark_operands(const lumk_insn& insn, lumk_operand_mark_state& state) {
    const register_slots& rs = slots_of(insn.op);
    for (uint32_t i = 0; i < rs.n; ++i) {
        if (rs.slot[i].letter == 'D') continue;
        const uint64_t r = register_of(insn, rs.slot[i]);
        if (r < state.first_reg || r >= LUMK_CONST_OPERAND || r >= state.map.size()) continue;
        if (state.map[r] >= 0) continue;
        const uint64_t word = r / 64, bit = uint64_t{1} << (r % 64);
        if (word < state.defs.size() && (state.defs[word] & bit)) continue;
        if (word < state.uses.size()) state.uses[word] |= bit;
    }
}

void lumk_insn_rename_operands(lumk_insn& insn, std::span<const int32_t> map) {
    const register_slots& rs = slots_of(insn.op);
    for (uint32_t i = 0; i < rs.n; ++i) {
        const lumk_operand_slot& op = rs.slot[i];
        const uint64_t r = register_of(insn, op);
        if (r >= map.size() || map[r] < 0) continue;
        const auto v = static_cast<uint32_t>(map[r]);
        switch (op.field) {
            case LUMK_FIELD_A: insn.a = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_B: insn.b = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_C: insn.c = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_IMM: insn.imm = v; break;
        }
    }
}
