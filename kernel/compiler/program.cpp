#include "kernel/compiler/program.h"

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

void lumk_copy_program_header(lumk_program& to, const lumk_program& from) {
    to.file = from.file;
    to.line = from.line;
    to.params = from.params;
    to.reg_count = from.reg_count;
    to.ptr_count = from.ptr_count;
    to.frame_slot = from.frame_slot;
    to.frame_bytes = from.frame_bytes;
    to.gid = from.gid;
    to.gsize = from.gsize;
    to.acc = from.acc;
    to.gid_x = from.gid_x;
    to.gid_y = from.gid_y;
    to.gsize_x = from.gsize_x;
    to.gsize_y = from.gsize_y;
    to.file_names = from.file_names;
    to.reg_names = from.reg_names;
}

void lumk_insn_mark_operands(const lumk_insn& insn, lumk_operand_mark_state& state) {
    const lumk_op_decoded& d = lumk_op_decode(insn.op);
    for (const lumk_operand_slot* s = d.sources_begin(); s != d.sources_end(); ++s) {
        const uint64_t r = lumk_insn_register(insn, *s);
        if (r < state.first_reg || r >= LUMK_CONST_OPERAND || r >= state.map.size()) continue;
        if (state.map[r] >= 0) continue;
        const uint64_t word = r / 64, bit = uint64_t{1} << (r % 64);
        if (word < state.defs.size() && (state.defs[word] & bit)) continue;
        if (word < state.uses.size()) state.uses[word] |= bit;
    }
}

void lumk_insn_rename_operands(lumk_insn& insn, std::span<const int32_t> map) {
    const lumk_op_decoded& d = lumk_op_decode(insn.op);
    for (uint32_t i = 0; i < d.reg_count; ++i) {
        const lumk_operand_slot& op = d.regs[i];
        const uint64_t r = lumk_insn_register(insn, op);
        if (r >= map.size() || map[r] < 0) continue;
        lumk_insn_set_register(insn, op, static_cast<uint32_t>(map[r]));
    }
}
