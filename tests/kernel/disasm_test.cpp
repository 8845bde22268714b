// Bytecode listings of hand-built programs compared as whole texts: header
// with parameters, accumulators, frame and constants, the prologue with its
// END hidden, operand decoding (registers with names, slots, offsets, sizes,
// selectors, jump targets), unknown opcodes, and the two columns.

#include <gtest/gtest.h>

#include <bit>
#include <memory>

#include "kernel/compiler/program.h"
#include "kernel/exec/disasm.h"

namespace {

lumk_param pointer_param(const char* name, const char* text, uint16_t slot) {
    return lumk_param{name, lumk_type{LUMK_PRIM_F32, -1, 1, 0}, 0, slot, 4, text};
}

std::shared_ptr<lumk_program> base(const char* name, uint32_t regs) {
    auto p = std::make_shared<lumk_program>();
    p->name = name;
    lumk_set_fixed_registers(*p);
    p->reg_count = regs;
    p->reg_names = {"gid", "gsize", "", "gid_x", "gid_y", "gsize_x", "gsize_y"};
    return p;
}

TEST(Disasm, OperandsConstantsAndColumns) {
    auto p = base("saxpy", 15);
    p->ptr_count = 2;
    p->frame_slot = 2;
    p->params = {pointer_param("y", "f32*", 0), pointer_param("x", "const f32*", 1),
                 lumk_param{"a", lumk_type{LUMK_PRIM_F32, -1, 0, 0}, 7, 0, 4, "f32"}};
    p->constants = {lumk_const{11, LUMK_PRIM_F32, std::bit_cast<uint32_t>(1.5f)},
                    lumk_const{12, LUMK_PRIM_U64, ~0ull}, lumk_const{13, LUMK_PRIM_I32, ~0ull},
                    lumk_const{14, LUMK_PRIM_F64, std::bit_cast<uint64_t>(0.1)}};
    p->code = {
        {LUMK_LD_F32, 8, 1, 0, 0},
        {LUMK_LD_F32, 9, 0, 0, 3},
        {LUMK_MUL_F32, 8, 7, 8, 0},
        {LUMK_ADDI_X64, 9, 9, 0, static_cast<uint64_t>(-8)},
        {LUMK_JMP, 0, 0, 0, 7},
        {LUMK_CHKIDX, 9, 0, 0, 16},
        {LUMK_DIVC_U32, 9, 9, 7, lumk_divc_multiplier(7)},
        {LUMK_CVT_F64_INT, 9, 8, LUMK_PRIM_I32, 0},
        {LUMK_MATH2_F32, 9, 8, 8, 15},
        {300, 1, 2, 3, 4},
        {LUMK_END, 0, 0, 0, 0},
    };
    p->lines = {3, 3, 4, 4, 5, 6, 7, 8, 9, 9};
    EXPECT_EQ(lumk_disasm(*p),
              "kernel saxpy(f32* y -> p0, const f32* x -> p1, f32 a -> r7)\n"
              "  registers: 15, pointers: 2, gid: r0, gsize: r1\n"
              "  const r11 = 1.5 (f32)\n"
              "  const r12 = 18446744073709551615 (u64)\n"
              "  const r13 = -1 (i32)\n"
              "  const r14 = 0.10000000000000001 (f64)\n"
              "  0000  LD_F32        r8, p1(x), r0(gid)                        ; line 3\n"
              "  0001  LD_F32        r9, p0(y), r0(gid), +3                    ; line 3\n"
              "  0002  MUL_F32       r8, r7, r8                                ; line 4\n"
              "  0003  ADDI_X64      r9, r9, -8                                ; line 4\n"
              "  0004  JMP           @7                                        ; line 5\n"
              "  0005  CHKIDX        r9, #16                                   ; line 6\n"
              "  0006  DIVC_U32      r9, r9, #7                                ; line 7\n"
              "  0007  CVT_F64_INT   r9, r8, i32                               ; line 8\n"
              "  0008  MATH2_F32     r9, r8, r8, atan2                         ; line 9\n"
              "  0009  ?                                                       ; line 9\n"
              "  0010  END           \n");
}

TEST(Disasm, PrologueAndWholeResultAccumulator) {
    auto p = base("blur", 8);
    p->reg_names[2] = "acc";
    p->ptr_count = 1;
    p->frame_slot = 1;
    p->params = {pointer_param("src", "const f32*", 0)};
    p->result_type = lumk_type{LUMK_PRIM_F32, -1, 0, 0};
    p->result_type_text = "f32";
    p->reductions = {lumk_reduction{2, LUMK_PRIM_F32, LUMK_REDUCE_ADD, 0, ""}};
    p->prologue = base("blur (prologue)", 8);
    p->prologue->code = {{LUMK_MUL_F32, 7, 5, 6, 0}, {LUMK_END, 0, 0, 0, 0}};
    p->prologue->lines = {2, 2};
    p->code = {{LUMK_ADD_F32, 2, 2, 7, 0}, {LUMK_END, 0, 0, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    p->lines = {3, 3};
    EXPECT_EQ(lumk_disasm(*p),
              "kernel blur(const f32* src -> p0) -> f32\n"
              "  registers: 8, pointers: 1, gid: r0, gsize: r1, acc: r2\n"
              "  prologue (once per lane runner):\n"
              "  0000  MUL_F32       r7, r5(gsize_x), r6(gsize_y)              ; line 2\n"
              "  main:\n"
              "  0000  ADD_F32       r2(acc), r2(acc), r7                      ; line 3\n"
              "  0001  END                                                     ; line 3\n"
              "  0002  END           \n");
}

TEST(Disasm, FieldAccumulatorsFrameAndMemoryForms) {
    auto p = base("stats", 12);
    p->reg_names[2] = "acc.a";
    p->reg_names.push_back("acc.b");
    p->ptr_count = 1;
    p->frame_slot = 1;
    p->frame_bytes = 24;
    p->params = {lumk_param{"out", lumk_type{LUMK_PRIM_I32, -1, 1, 0}, 0, 0, 4, "i32*"}};
    p->result_type = lumk_type{LUMK_PRIM_STRUCT, 0, 0, 0};
    p->result_type_text = "S";
    p->reductions = {lumk_reduction{2, LUMK_PRIM_I32, LUMK_REDUCE_ADD, 0, "a"},
                     lumk_reduction{7, LUMK_PRIM_F32, LUMK_REDUCE_MAX, 4, "b"}};
    p->code = {
        {LUMK_LDF_F64, 8, 1, 0, 16},
        {LUMK_STF_I32, 8, 0, 9, 4},
        {LUMK_AADD_32, 10, 0, 9, 11},
        {LUMK_AADDR_64, 10, 8, 9, 0},
        {LUMK_ADD_I32, 2, 2, 10, 0},
        {LUMK_MATH1_F64, 8, 8, 0, 0},
        {LUMK_MATH1_F32, 8, 8, 20, 0},
        {LUMK_LDR_U8, 8, 9, 0, static_cast<uint64_t>(-1)},
        {LUMK_END, 0, 0, 0, 0},
        {LUMK_END, 0, 0, 0, 0},
    };
    p->lines = {12, 13, 14, 15, 16, 16, 16, 17, 18};
    EXPECT_EQ(lumk_disasm(*p),
              "kernel stats(i32* out -> p0) -> S\n"
              "  registers: 12, pointers: 1, gid: r0, gsize: r1, acc: a=r2 b=r7, frame: p1 (24 bytes)\n"
              "  0000  LDF_F64       r8, p1(frame), r0(gid), +16               ; line 12\n"
              "  0001  STF_I32       r8, p0(out), r9, +4                       ; line 13\n"
              "  0002  AADD_32       r10, p0(out), r9, r11                     ; line 14\n"
              "  0003  AADDR_64      r10, r8, r9                               ; line 15\n"
              "  0004  ADD_I32       r2(acc.a), r2(acc.a), r10                 ; line 16\n"
              "  0005  MATH1_F64     r8, r8, floor                             ; line 16\n"
              "  0006  MATH1_F32     r8, r8, ?                                 ; line 16\n"
              "  0007  LDR_U8        r8, r9, -1                                ; line 17\n"
              "  0008  END                                                     ; line 18\n"
              "  0009  END           \n");
}

TEST(Disasm, EmptyKernelAndRegisterNames) {
    auto p = base("k", 7);
    EXPECT_EQ(lumk_disasm(*p), "kernel k()\n  registers: 7, pointers: 0, gid: r0, gsize: r1\n");
    EXPECT_EQ(lumk_reg_name(*p, 0), "r0(gid)");
    EXPECT_EQ(lumk_reg_name(*p, 2), "r2");    // empty name
    EXPECT_EQ(lumk_reg_name(*p, 17), "r17");  // past the table
    EXPECT_EQ(lumk_reg_name(*p, -3), "r-3");
}

}  // namespace
