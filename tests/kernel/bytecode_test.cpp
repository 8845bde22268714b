// Bytecode tables: instruction layout, opcode numbers, mnemonics and operand
// formats, and the family helpers' round trips and refusals.

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/exec/bytecode.h"

namespace {

// Reference list: number, mnemonic and format (absent = no operands).
const char* const k_reference_ops =
    "0 NOP, 1 END, 2 MOV DR, 3 JMP J, 4 LOOP J, 5 JT RJ, 6 JF RJ, 7 ADD_I32 DRR, 8 ADD_U32 DRR, 9 ADD_X64 DRR, "
    "10 ADD_F32 DRR, 11 ADD_F64 DRR, 12 SUB_I32 DRR, 13 SUB_U32 DRR, 14 SUB_X64 DRR, 15 SUB_F32 DRR, "
    "16 SUB_F64 DRR, 17 MUL_I32 DRR, 18 MUL_U32 DRR, 19 MUL_X64 DRR, 20 MUL_F32 DRR, 21 MUL_F64 DRR, "
    "22 DIV_I32 DRR, 23 DIV_U32 DRR, 24 DIV_I64 DRR, 25 DIV_U64 DRR, 26 DIV_F32 DRR, 27 DIV_F64 DRR, "
    "28 MOD_I32 DRR, 29 MOD_U32 DRR, 30 MOD_I64 DRR, 31 MOD_U64 DRR, 32 MOD_F32 DRR, 33 MOD_F64 DRR, "
    "34 ADDI_I32 DRO, 35 ADDI_U32 DRO, 36 ADDI_X64 DRO, 37 DIVC_U32 DRK, 38 DIVC_I32 DRK, 39 MODC_U32 DRK, "
    "40 MODC_I32 DRK, 41 AND_X DRR, 42 OR_X DRR, 43 XOR_X DRR, 44 SHL_I32 DRR, 45 SHL_U32 DRR, 46 SHL_X64 DRR, "
    "47 SHR_I32 DRR, 48 SHR_U32 DRR, 49 SHR_I64 DRR, 50 SHR_U64 DRR, 51 NEG_I32 DR, 52 NEG_U32 DR, "
    "53 NEG_X64 DR, 54 NEG_F32 DR, 55 NEG_F64 DR, 56 NOT_X DR, 57 NOT_U32 DR, 58 LNOT DR, 59 MIN_S DRR, "
    "60 MIN_U DRR, 61 MIN_F32 DRR, 62 MIN_F64 DRR, 63 MAX_S DRR, 64 MAX_U DRR, 65 MAX_F32 DRR, 66 MAX_F64 DRR, "
    "67 ABS_I32 DR, 68 ABS_I64 DR, 69 ABS_F32 DR, 70 ABS_F64 DR, 71 SQRT_F32 DR, 72 SQRT_F64 DR, "
    "73 MATH1_F32 DRT, 74 MATH1_F64 DRT, 75 MATH2_F32 DRRT, 76 MATH2_F64 DRRT, 77 CMPEQ_X DRR, 78 CMPNE_X DRR, "
    "79 CMPEQ_F32 DRR, 80 CMPNE_F32 DRR, 81 CMPEQ_F64 DRR, 82 CMPNE_F64 DRR, 83 JTEQ_X RRJ, 84 JTNE_X RRJ, "
    "85 JFEQ_X RRJ, 86 JFNE_X RRJ, 87 JTEQ_F32 RRJ, 88 JTNE_F32 RRJ, 89 JFEQ_F32 RRJ, 90 JFNE_F32 RRJ, "
    "91 JTEQ_F64 RRJ, 92 JTNE_F64 RRJ, 93 JFEQ_F64 RRJ, 94 JFNE_F64 RRJ, 95 CMPLT_S DRR, 96 CMPLT_U DRR, "
    "97 CMPLT_F32 DRR, 98 CMPLT_F64 DRR, 99 JTLT_S RRJ, 100 JTLT_U RRJ, 101 JTLT_F32 RRJ, 102 JTLT_F64 RRJ, "
    "103 JFLT_S RRJ, 104 JFLT_U RRJ, 105 JFLT_F32 RRJ, 106 JFLT_F64 RRJ, 107 CMPLE_S DRR, 108 CMPLE_U DRR, "
    "109 CMPLE_F32 DRR, 110 CMPLE_F64 DRR, 111 JTLE_S RRJ, 112 JTLE_U RRJ, 113 JTLE_F32 RRJ, 114 JTLE_F64 RRJ, "
    "115 JFLE_S RRJ, 116 JFLE_U RRJ, 117 JFLE_F32 RRJ, 118 JFLE_F64 RRJ, 119 CMPGT_S DRR, 120 CMPGT_U DRR, "
    "121 CMPGT_F32 DRR, 122 CMPGT_F64 DRR, 123 JTGT_S RRJ, 124 JTGT_U RRJ, 125 JTGT_F32 RRJ, 126 JTGT_F64 RRJ, "
    "127 JFGT_S RRJ, 128 JFGT_U RRJ, 129 JFGT_F32 RRJ, 130 JFGT_F64 RRJ, 131 CMPGE_S DRR, 132 CMPGE_U DRR, "
    "133 CMPGE_F32 DRR, 134 CMPGE_F64 DRR, 135 JTGE_S RRJ, 136 JTGE_U RRJ, 137 JTGE_F32 RRJ, 138 JTGE_F64 RRJ, "
    "139 JFGE_S RRJ, 140 JFGE_U RRJ, 141 JFGE_F32 RRJ, 142 JFGE_F64 RRJ, 143 TRUNC_I8 DR, 144 TRUNC_U8 DR, "
    "145 TRUNC_I16 DR, 146 TRUNC_U16 DR, 147 TRUNC_I32 DR, 148 TRUNC_U32 DR, 149 CVT_S_F32 DR, "
    "150 CVT_U_F32 DR, 151 CVT_S_F64 DR, 152 CVT_U_F64 DR, 153 CVT_F32_INT DRT, 154 CVT_F64_INT DRT, "
    "155 CVT_F32_F64 DR, 156 CVT_F64_F32 DR, 157 BOOL_F32 DR, 158 BOOL_F64 DR, 159 LD_I8 DPRO, 160 LDU_I8 DPRO, "
    "161 LDF_I8 DPRO, 162 LDFU_I8 DPRO, 163 LDR_I8 DRO, 164 ST_I8 RPRO, 165 STU_I8 RPRO, 166 STF_I8 RPRO, "
    "167 STFU_I8 RPRO, 168 STR_I8 RRO, 169 LD_U8 DPRO, 170 LDU_U8 DPRO, 171 LDF_U8 DPRO, 172 LDFU_U8 DPRO, "
    "173 LDR_U8 DRO, 174 ST_U8 RPRO, 175 STU_U8 RPRO, 176 STF_U8 RPRO, 177 STFU_U8 RPRO, 178 STR_U8 RRO, "
    "179 LD_I16 DPRO, 180 LDU_I16 DPRO, 181 LDF_I16 DPRO, 182 LDFU_I16 DPRO, 183 LDR_I16 DRO, 184 ST_I16 RPRO, "
    "185 STU_I16 RPRO, 186 STF_I16 RPRO, 187 STFU_I16 RPRO, 188 STR_I16 RRO, 189 LD_U16 DPRO, 190 LDU_U16 DPRO, "
    "191 LDF_U16 DPRO, 192 LDFU_U16 DPRO, 193 LDR_U16 DRO, 194 ST_U16 RPRO, 195 STU_U16 RPRO, 196 STF_U16 RPRO, "
    "197 STFU_U16 RPRO, 198 STR_U16 RRO, 199 LD_I32 DPRO, 200 LDU_I32 DPRO, 201 LDF_I32 DPRO, "
    "202 LDFU_I32 DPRO, 203 LDR_I32 DRO, 204 ST_I32 RPRO, 205 STU_I32 RPRO, 206 STF_I32 RPRO, "
    "207 STFU_I32 RPRO, 208 STR_I32 RRO, 209 LD_U32 DPRO, 210 LDU_U32 DPRO, 211 LDF_U32 DPRO, "
    "212 LDFU_U32 DPRO, 213 LDR_U32 DRO, 214 ST_U32 RPRO, 215 STU_U32 RPRO, 216 STF_U32 RPRO, "
    "217 STFU_U32 RPRO, 218 STR_U32 RRO, 219 LD_I64 DPRO, 220 LDU_I64 DPRO, 221 LDF_I64 DPRO, "
    "222 LDFU_I64 DPRO, 223 LDR_I64 DRO, 224 ST_I64 RPRO, 225 STU_I64 RPRO, 226 STF_I64 RPRO, "
    "227 STFU_I64 RPRO, 228 STR_I64 RRO, 229 LD_U64 DPRO, 230 LDU_U64 DPRO, 231 LDF_U64 DPRO, "
    "232 LDFU_U64 DPRO, 233 LDR_U64 DRO, 234 ST_U64 RPRO, 235 STU_U64 RPRO, 236 STF_U64 RPRO, "
    "237 STFU_U64 RPRO, 238 STR_U64 RRO, 239 LD_F32 DPRO, 240 LDU_F32 DPRO, 241 LDF_F32 DPRO, "
    "242 LDFU_F32 DPRO, 243 LDR_F32 DRO, 244 ST_F32 RPRO, 245 STU_F32 RPRO, 246 STF_F32 RPRO, "
    "247 STFU_F32 RPRO, 248 STR_F32 RRO, 249 LD_F64 DPRO, 250 LDU_F64 DPRO, 251 LDF_F64 DPRO, "
    "252 LDFU_F64 DPRO, 253 LDR_F64 DRO, 254 ST_F64 RPRO, 255 STU_F64 RPRO, 256 STF_F64 RPRO, "
    "257 STFU_F64 RPRO, 258 STR_F64 RRO, 259 ADDR DPR, 260 ADDRU DPR, 261 COPY RRS, 262 ZERO RS, "
    "263 AADD_32 DPRI, 264 AADD_I32 DPRI, 265 AADD_64 DPRI, 266 AADDR_32 DRRO, 267 AADDR_I32 DRRO, "
    "268 AADDR_64 DRRO, 269 CHKIDX RS";

struct ref_op {
    uint32_t number;
    std::string mnemonic, format;
};

std::vector<ref_op> reference_ops() {
    std::vector<ref_op> ops;
    std::stringstream all(k_reference_ops);
    std::string item;
    while (std::getline(all, item, ',')) {
        std::stringstream one(item);
        ref_op op;
        one >> op.number >> op.mnemonic >> op.format;
        ops.push_back(op);
    }
    return ops;
}

std::string name(uint32_t op) { return lumk_op_name(op); }

}  // namespace

TEST(Bytecode, RecordLayouts) {
    EXPECT_EQ(sizeof(lumk_insn), 16u);
    EXPECT_EQ(offsetof(lumk_insn, op), 0u);
    EXPECT_EQ(offsetof(lumk_insn, a), 2u);
    EXPECT_EQ(offsetof(lumk_insn, b), 4u);
    EXPECT_EQ(offsetof(lumk_insn, c), 6u);
    EXPECT_EQ(offsetof(lumk_insn, imm), 8u);
    EXPECT_EQ(sizeof(kreg), 8u);
    EXPECT_EQ(sizeof(kptr), 32u);
    EXPECT_EQ(offsetof(kptr, count), 8u);
    EXPECT_EQ(offsetof(kptr, stride), 16u);
    EXPECT_EQ(offsetof(kptr, bytes), 24u);
}

TEST(Bytecode, OpcodeTableMatchesReference) {
    // Numbers are part of the bytecode format: the list only grows at its
    // end, and every opcode it has is pinned here.
    const std::vector<ref_op> ref = reference_ops();
    for (uint32_t i = static_cast<uint32_t>(ref.size()); i < LUMK_OP_COUNT; ++i)
        ADD_FAILURE() << "opcode " << i << " " << name(i) << " " << lumk_op_format(i)
                      << " is not in k_reference_ops: append it there";
    ASSERT_LE(ref.size(), LUMK_OP_COUNT) << "the opcode list lost entries";
    for (uint32_t i = 0; i < ref.size(); ++i) {
        EXPECT_EQ(ref[i].number, i);
        EXPECT_EQ(name(i), ref[i].mnemonic) << i;
        EXPECT_EQ(std::string(lumk_op_format(i)), ref[i].format) << ref[i].mnemonic;
        EXPECT_STREQ(lumk_op_mnemonics[i], lumk_op_name(i));
        EXPECT_STREQ(lumk_op_formats[i], lumk_op_format(i));
    }
    EXPECT_EQ(LUMK_NOP, 0);
    EXPECT_EQ(LUMK_LOOP, 4);
    EXPECT_EQ(LUMK_DIVC_U32, 37);
    EXPECT_EQ(LUMK_CMPLT_S, 95);
    EXPECT_EQ(LUMK_TRUNC_I8, 143);
    EXPECT_EQ(LUMK_LD_I8, 159);
    EXPECT_EQ(LUMK_STR_F64, 258);
    EXPECT_EQ(LUMK_CHKIDX, 269);
    // out of range
    EXPECT_STREQ(lumk_op_name(LUMK_OP_COUNT), "?");
    EXPECT_STREQ(lumk_op_name(65535), "?");
    EXPECT_STREQ(lumk_op_format(LUMK_OP_COUNT), "");
}

// Family helpers round-trip every memory opcode and give NOP (or NONE) for
// what has no opcode.
TEST(Bytecode, FamilyHelpersRoundTripAndRefuse) {
    for (uint32_t p = LUMK_PRIM_I8; p <= LUMK_PRIM_F64; ++p) {
        for (uint32_t k = 0; k < 10; ++k) {
            const uint16_t op = lumk_op_mem(static_cast<lumk_mem_kind>(k), p);
            EXPECT_TRUE(lumk_op_is_mem(op)) << p << " " << k;
            EXPECT_EQ(lumk_op_mem_prim(op), p);
            EXPECT_EQ(lumk_op_mem_kind(op), k);
        }
    }
    EXPECT_EQ(lumk_op_mem(LUMK_MEM_LD, LUMK_PRIM_BOOL), LUMK_NOP);
    EXPECT_EQ(lumk_op_mem(LUMK_MEM_LD, LUMK_PRIM_STRUCT), LUMK_NOP);
    EXPECT_EQ(lumk_op_mem_prim(LUMK_ADDR), LUMK_PRIM_NONE);
    EXPECT_EQ(lumk_op_arith(LUMK_ADD_I32, LUMK_PRIM_I8), LUMK_NOP);
    EXPECT_EQ(lumk_op_divmod(LUMK_DIV_I32, LUMK_PRIM_U16), LUMK_NOP);
    EXPECT_EQ(lumk_op_trunc(LUMK_PRIM_I64), LUMK_NOP);
    EXPECT_EQ(lumk_op_trunc(LUMK_PRIM_BOOL), LUMK_NOP);
    EXPECT_STREQ(lumk_math_name(16), "?");
}
