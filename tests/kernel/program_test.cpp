// Compiled program records and the register allocator's operand walkers.

#include <gtest/gtest.h>

#include <vector>

#include "kernel/compiler/program.h"

TEST(KernelProgram, MarkOperandsCollectsUsesBeforeDefinitions) {
    // registers 0..9 with first allocatable 7; map entries: 7, 8, 9 unassigned
    std::vector<int32_t> map = {0, 1, 2, 3, 4, 5, 6, -1, -1, -1, 5};
    std::vector<uint64_t> defs(1, 0), uses(1, 0);
    lumk_operand_mark_state st{7, map, defs, uses};

    lumk_insn add{LUMK_ADD_I32, 9, 7, 8, 0};  // D=9 is not a use
    lumk_insn_mark_operands(add, st);
    EXPECT_EQ(uses[0], (1ull << 7) | (1ull << 8));

    uses[0] = 0;
    defs[0] = 1ull << 8;  // 8 already defined in this block
    lumk_insn_mark_operands(add, st);
    EXPECT_EQ(uses[0], 1ull << 7);

    // fixed registers, assigned ones, constants and registers outside the map are skipped
    uses[0] = 0;
    defs[0] = 0;
    lumk_insn_mark_operands(lumk_insn{LUMK_ADD_X64, 9, 0, 10, 0}, st);
    lumk_insn_mark_operands(lumk_insn{LUMK_ADD_X64, 9, 32768, 40, 0}, st);
    EXPECT_EQ(uses[0], 0u);

    // I operands (addend register in imm) and stores' value registers are uses
    lumk_insn_mark_operands(lumk_insn{LUMK_AADD_32, 9, 0, 8, 7}, st);
    EXPECT_EQ(uses[0], (1ull << 7) | (1ull << 8));
    uses[0] = 0;
    lumk_insn_mark_operands(lumk_insn{LUMK_ST_I32, 9, 0, 7, 3}, st);  // RPRO: a is a source
    EXPECT_EQ(uses[0], (1ull << 7) | (1ull << 9));
    // jump targets, offsets and sizes are not registers
    uses[0] = 0;
    lumk_insn_mark_operands(lumk_insn{LUMK_JMP, 0, 0, 0, 8}, st);
    lumk_insn_mark_operands(lumk_insn{LUMK_CHKIDX, 7, 0, 0, 9}, st);
    EXPECT_EQ(uses[0], 1ull << 7);
}
