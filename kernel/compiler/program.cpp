#include "kernel/compiler/program.h"

lumk_program::lumk_program() : jit(std::make_shared<lumk_jit_slot>()) {}

lumk_program::~lumk_program() {
    // The slot goes first; the remaining members are destroyed in reverse order.
    jit.reset();
}

namespace {
bool is_register_letter(char l) { return l == 'D' || l == 'R' || l == 'I'; }

// Register number of an operand; an I operand holds it in the low 16 bits of imm.
uint64_t register_of(const lumk_insn& insn, const lumk_operand_slot& op) {
    const uint64_t v = lumk_insn_field(insn, op.field);
    return op.letter == 'I' ? (v & 0xFFFF) : v;
}
}  // namespace

void lumk_insn_mark_operands(const lumk_insn& insn, lumk_operand_mark_state& state) {
    lumk_operand_slot ops[4];
    const uint32_t n = lumk_op_operands(insn.op, ops);
    for (uint32_t i = 0; i < n; ++i) {
        if (ops[i].letter != 'R' && ops[i].letter != 'I') continue;
        const uint64_t r = register_of(insn, ops[i]);
        if (r < state.first_reg || r >= LUMK_CONST_OPERAND || r >= state.map.size()) continue;
        if (state.map[r] >= 0) continue;
        const uint64_t word = r / 64, bit = uint64_t{1} << (r % 64);
        if (word < state.defs.size() && (state.defs[word] & bit)) continue;
        if (word < state.uses.size()) state.uses[word] |= bit;
    }
}

void lumk_insn_rename_operands(lumk_insn& insn, std::span<const int32_t> map) {
    lumk_operand_slot ops[4];
    const uint32_t n = lumk_op_operands(insn.op, ops);
    for (uint32_t i = 0; i < n; ++i) {
        if (!is_register_letter(ops[i].letter)) continue;
        const uint64_t r = register_of(insn, ops[i]);
        if (r >= map.size() || map[r] < 0) continue;
        const auto v = static_cast<uint32_t>(map[r]);
        switch (ops[i].field) {
            case LUMK_FIELD_A: insn.a = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_B: insn.b = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_C: insn.c = static_cast<uint16_t>(v); break;
            case LUMK_FIELD_IMM: insn.imm = v; break;
        }
    }
}
