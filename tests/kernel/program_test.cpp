// Compiled program records and the register allocator's operand walkers.

#include <gtest/gtest.h>

#include <vector>

#include "kernel/compiler/program.h"

TEST(KernelProgram, EachProgramOwnsAJitSlot) {
    auto p = std::make_shared<lumk_program>();
    ASSERT_TRUE(p->jit);
    EXPECT_EQ(lumk_jit_load_state(*p->jit), LUMK_JIT_NONE);
    // each program has its own slot; a slot held elsewhere outlives the program
    auto q = std::make_shared<lumk_program>();
    EXPECT_NE(p->jit, q->jit);
    std::shared_ptr<lumk_jit_slot> held = p->jit;
    p.reset();
    EXPECT_EQ(held.use_count(), 1);
}

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

TEST(KernelProgram, RenameOperandsRewritesRegistersOnly) {
    std::vector<int32_t> map(20, -1);
    map[7] = 3;
    map[8] = 4;
    map[9] = 5;
    map[12] = 11;
    lumk_insn ld{LUMK_LD_F32, 7, 8, 9, 12};  // DPRO: b is a pointer slot, imm an offset
    lumk_insn_rename_operands(ld, map);
    EXPECT_EQ(ld.a, 3);
    EXPECT_EQ(ld.b, 8);
    EXPECT_EQ(ld.c, 5);
    EXPECT_EQ(ld.imm, 12u);

    lumk_insn aadd{LUMK_AADD_64, 9, 1, 7, 12};  // I in imm becomes the new register
    lumk_insn_rename_operands(aadd, map);
    EXPECT_EQ(aadd.a, 5);
    EXPECT_EQ(aadd.c, 3);
    EXPECT_EQ(aadd.imm, 11u);

    lumk_insn math{LUMK_MATH2_F32, 7, 8, 9, 12};  // T in imm stays
    lumk_insn_rename_operands(math, map);
    EXPECT_EQ(math.a, 3);
    EXPECT_EQ(math.b, 4);
    EXPECT_EQ(math.c, 5);
    EXPECT_EQ(math.imm, 12u);

    lumk_insn jt{LUMK_JTLT_S, 7, 30000, 0, 8};  // outside the map: unchanged; target stays
    lumk_insn_rename_operands(jt, map);
    EXPECT_EQ(jt.a, 3);
    EXPECT_EQ(jt.b, 30000);
    EXPECT_EQ(jt.imm, 8u);
}

TEST(KernelProgram, HeaderCopyTakesWhatAPrologueShares) {
    lumk_program from;
    from.name = "k";
    from.file = "f.k";
    from.line = 12;
    from.params.push_back(lumk_param{"x", lumk_type{LUMK_PRIM_F32}, 7, 0, 4, "f32"});
    from.result_type = lumk_type{LUMK_PRIM_I64};
    from.result_type_text = "i64 reduce(+)";
    from.reductions.push_back(lumk_reduction{2, LUMK_PRIM_I64, LUMK_REDUCE_ADD, 0, ""});
    from.reg_count = 40;
    from.ptr_count = 3;
    from.frame_slot = 3;
    from.frame_bytes = 24;
    from.gid = 10, from.gsize = 11, from.acc = 12, from.gid_x = 13, from.gid_y = 14, from.gsize_x = 15;
    from.gsize_y = 16;
    from.is_2d = 1;
    from.constants.push_back(lumk_const{39, LUMK_PRIM_I32, 5});
    from.code.push_back(lumk_insn{LUMK_END, 0, 0, 0, 0});
    from.lines.push_back(12);
    from.file_indexes.push_back(0);
    from.file_names = {"f.k", "g.k"};
    from.reg_names = {"gid", "gsize", "acc"};

    lumk_program to;
    to.name = "k (prologue)";
    const auto jit = to.jit;
    lumk_copy_program_header(to, from);
    EXPECT_EQ(to.file, "f.k");
    EXPECT_EQ(to.line, 12u);
    ASSERT_EQ(to.params.size(), 1u);
    EXPECT_EQ(to.params[0].name, "x");
    EXPECT_EQ(to.params[0].reg, 7);
    EXPECT_EQ(to.reg_count, 40u);
    EXPECT_EQ(to.ptr_count, 3u);
    EXPECT_EQ(to.frame_slot, 3u);
    EXPECT_EQ(to.frame_bytes, 24u);
    EXPECT_EQ((std::vector<int>{to.gid, to.gsize, to.acc, to.gid_x, to.gid_y, to.gsize_x, to.gsize_y}),
              (std::vector<int>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(to.file_names, from.file_names);
    EXPECT_EQ(to.reg_names, from.reg_names);
    // what belongs to one program alone stays
    EXPECT_EQ(to.name, "k (prologue)");
    EXPECT_EQ(to.result_type.prim, LUMK_PRIM_VOID);
    EXPECT_EQ(to.result_type_text, "");
    EXPECT_TRUE(to.reductions.empty());
    EXPECT_EQ(to.is_2d, 0);
    EXPECT_TRUE(to.constants.empty());
    EXPECT_TRUE(to.code.empty());
    EXPECT_TRUE(to.lines.empty());
    EXPECT_FALSE(to.prologue);
    EXPECT_EQ(to.jit, jit);
}
