// Kernel bytecode: the 16-byte instruction, the opcode set with its mnemonic
// and operand-format tables, the register and pointer-slot records, and the
// arithmetic over opcode families that the emitter and the engines share.
#pragma once

#include <cstdint>

#include "kernel/compiler/kernel_types.h"

// One instruction. Jump targets are absolute instruction indexes in imm.
struct lumk_insn {
    uint16_t op = 0;   // lumk_op
    uint16_t a = 0;    // first operand (destination for formats beginning with D)
    uint16_t b = 0;
    uint16_t c = 0;
    uint64_t imm = 0;  // target, offset, size, multiplier, register or selector
};
static_assert(sizeof(lumk_insn) == 16, "lumk_insn must stay 16 bytes");

// The opcodes. Numbers are part of the bytecode format; never reorder.
enum lumk_op : uint16_t {
    LUMK_NOP = 0,
    LUMK_END = 1,
    LUMK_MOV = 2,
    LUMK_JMP = 3,
    LUMK_LOOP = 4,
    LUMK_JT = 5,
    LUMK_JF = 6,
    LUMK_ADD_I32 = 7,
    LUMK_ADD_U32 = 8,
    LUMK_ADD_X64 = 9,
    LUMK_ADD_F32 = 10,
    LUMK_ADD_F64 = 11,
    LUMK_SUB_I32 = 12,
    LUMK_SUB_U32 = 13,
    LUMK_SUB_X64 = 14,
    LUMK_SUB_F32 = 15,
    LUMK_SUB_F64 = 16,
    LUMK_MUL_I32 = 17,
    LUMK_MUL_U32 = 18,
    LUMK_MUL_X64 = 19,
    LUMK_MUL_F32 = 20,
    LUMK_MUL_F64 = 21,
    LUMK_DIV_I32 = 22,
    LUMK_DIV_U32 = 23,
    LUMK_DIV_I64 = 24,
    LUMK_DIV_U64 = 25,
    LUMK_DIV_F32 = 26,
    LUMK_DIV_F64 = 27,
    LUMK_MOD_I32 = 28,
    LUMK_MOD_U32 = 29,
    LUMK_MOD_I64 = 30,
    LUMK_MOD_U64 = 31,
    LUMK_MOD_F32 = 32,
    LUMK_MOD_F64 = 33,
    LUMK_ADDI_I32 = 34,
    LUMK_ADDI_U32 = 35,
    LUMK_ADDI_X64 = 36,
    LUMK_DIVC_U32 = 37,
    LUMK_DIVC_I32 = 38,
    LUMK_MODC_U32 = 39,
    LUMK_MODC_I32 = 40,
    LUMK_AND_X = 41,
    LUMK_OR_X = 42,
    LUMK_XOR_X = 43,
    LUMK_SHL_I32 = 44,
    LUMK_SHL_U32 = 45,
    LUMK_SHL_X64 = 46,
    LUMK_SHR_I32 = 47,
    LUMK_SHR_U32 = 48,
    LUMK_SHR_I64 = 49,
    LUMK_SHR_U64 = 50,
    LUMK_NEG_I32 = 51,
    LUMK_NEG_U32 = 52,
    LUMK_NEG_X64 = 53,
    LUMK_NEG_F32 = 54,
    LUMK_NEG_F64 = 55,
    LUMK_NOT_X = 56,
    LUMK_NOT_U32 = 57,
    LUMK_LNOT = 58,
    LUMK_MIN_S = 59,
    LUMK_MIN_U = 60,
    LUMK_MIN_F32 = 61,
    LUMK_MIN_F64 = 62,
    LUMK_MAX_S = 63,
    LUMK_MAX_U = 64,
    LUMK_MAX_F32 = 65,
    LUMK_MAX_F64 = 66,
    LUMK_ABS_I32 = 67,
    LUMK_ABS_I64 = 68,
    LUMK_ABS_F32 = 69,
    LUMK_ABS_F64 = 70,
    LUMK_SQRT_F32 = 71,
    LUMK_SQRT_F64 = 72,
    LUMK_MATH1_F32 = 73,
    LUMK_MATH1_F64 = 74,
    LUMK_MATH2_F32 = 75,
    LUMK_MATH2_F64 = 76,
    LUMK_CMPEQ_X = 77,
    LUMK_CMPNE_X = 78,
    LUMK_CMPEQ_F32 = 79,
    LUMK_CMPNE_F32 = 80,
    LUMK_CMPEQ_F64 = 81,
    LUMK_CMPNE_F64 = 82,
    LUMK_JTEQ_X = 83,
    LUMK_JTNE_X = 84,
    LUMK_JFEQ_X = 85,
    LUMK_JFNE_X = 86,
    LUMK_JTEQ_F32 = 87,
    LUMK_JTNE_F32 = 88,
    LUMK_JFEQ_F32 = 89,
    LUMK_JFNE_F32 = 90,
    LUMK_JTEQ_F64 = 91,
    LUMK_JTNE_F64 = 92,
    LUMK_JFEQ_F64 = 93,
    LUMK_JFNE_F64 = 94,
    LUMK_CMPLT_S = 95,
    LUMK_CMPLT_U = 96,
    LUMK_CMPLT_F32 = 97,
    LUMK_CMPLT_F64 = 98,
    LUMK_JTLT_S = 99,
    LUMK_JTLT_U = 100,
    LUMK_JTLT_F32 = 101,
    LUMK_JTLT_F64 = 102,
    LUMK_JFLT_S = 103,
    LUMK_JFLT_U = 104,
    LUMK_JFLT_F32 = 105,
    LUMK_JFLT_F64 = 106,
    LUMK_CMPLE_S = 107,
    LUMK_CMPLE_U = 108,
    LUMK_CMPLE_F32 = 109,
    LUMK_CMPLE_F64 = 110,
    LUMK_JTLE_S = 111,
    LUMK_JTLE_U = 112,
    LUMK_JTLE_F32 = 113,
    LUMK_JTLE_F64 = 114,
    LUMK_JFLE_S = 115,
    LUMK_JFLE_U = 116,
    LUMK_JFLE_F32 = 117,
    LUMK_JFLE_F64 = 118,
    LUMK_CMPGT_S = 119,
    LUMK_CMPGT_U = 120,
    LUMK_CMPGT_F32 = 121,
    LUMK_CMPGT_F64 = 122,
    LUMK_JTGT_S = 123,
    LUMK_JTGT_U = 124,
    LUMK_JTGT_F32 = 125,
    LUMK_JTGT_F64 = 126,
    LUMK_JFGT_S = 127,
    LUMK_JFGT_U = 128,
    LUMK_JFGT_F32 = 129,
    LUMK_JFGT_F64 = 130,
    LUMK_CMPGE_S = 131,
    LUMK_CMPGE_U = 132,
    LUMK_CMPGE_F32 = 133,
    LUMK_CMPGE_F64 = 134,
    LUMK_JTGE_S = 135,
    LUMK_JTGE_U = 136,
    LUMK_JTGE_F32 = 137,
    LUMK_JTGE_F64 = 138,
    LUMK_JFGE_S = 139,
    LUMK_JFGE_U = 140,
    LUMK_JFGE_F32 = 141,
    LUMK_JFGE_F64 = 142,
    LUMK_TRUNC_I8 = 143,
    LUMK_TRUNC_U8 = 144,
    LUMK_TRUNC_I16 = 145,
    LUMK_TRUNC_U16 = 146,
    LUMK_TRUNC_I32 = 147,
    LUMK_TRUNC_U32 = 148,
    LUMK_CVT_S_F32 = 149,
    LUMK_CVT_U_F32 = 150,
    LUMK_CVT_S_F64 = 151,
    LUMK_CVT_U_F64 = 152,
    LUMK_CVT_F32_INT = 153,
    LUMK_CVT_F64_INT = 154,
    LUMK_CVT_F32_F64 = 155,
    LUMK_CVT_F64_F32 = 156,
    LUMK_BOOL_F32 = 157,
    LUMK_BOOL_F64 = 158,
    LUMK_LD_I8 = 159,
    LUMK_LDU_I8 = 160,
    LUMK_LDF_I8 = 161,
    LUMK_LDFU_I8 = 162,
    LUMK_LDR_I8 = 163,
    LUMK_ST_I8 = 164,
    LUMK_STU_I8 = 165,
    LUMK_STF_I8 = 166,
    LUMK_STFU_I8 = 167,
    LUMK_STR_I8 = 168,
    LUMK_LD_U8 = 169,
    LUMK_LDU_U8 = 170,
    LUMK_LDF_U8 = 171,
    LUMK_LDFU_U8 = 172,
    LUMK_LDR_U8 = 173,
    LUMK_ST_U8 = 174,
    LUMK_STU_U8 = 175,
    LUMK_STF_U8 = 176,
    LUMK_STFU_U8 = 177,
    LUMK_STR_U8 = 178,
    LUMK_LD_I16 = 179,
    LUMK_LDU_I16 = 180,
    LUMK_LDF_I16 = 181,
    LUMK_LDFU_I16 = 182,
    LUMK_LDR_I16 = 183,
    LUMK_ST_I16 = 184,
    LUMK_STU_I16 = 185,
    LUMK_STF_I16 = 186,
    LUMK_STFU_I16 = 187,
    LUMK_STR_I16 = 188,
    LUMK_LD_U16 = 189,
    LUMK_LDU_U16 = 190,
    LUMK_LDF_U16 = 191,
    LUMK_LDFU_U16 = 192,
    LUMK_LDR_U16 = 193,
    LUMK_ST_U16 = 194,
    LUMK_STU_U16 = 195,
    LUMK_STF_U16 = 196,
    LUMK_STFU_U16 = 197,
    LUMK_STR_U16 = 198,
    LUMK_LD_I32 = 199,
    LUMK_LDU_I32 = 200,
    LUMK_LDF_I32 = 201,
    LUMK_LDFU_I32 = 202,
    LUMK_LDR_I32 = 203,
    LUMK_ST_I32 = 204,
    LUMK_STU_I32 = 205,
    LUMK_STF_I32 = 206,
    LUMK_STFU_I32 = 207,
    LUMK_STR_I32 = 208,
    LUMK_LD_U32 = 209,
    LUMK_LDU_U32 = 210,
    LUMK_LDF_U32 = 211,
    LUMK_LDFU_U32 = 212,
    LUMK_LDR_U32 = 213,
    LUMK_ST_U32 = 214,
    LUMK_STU_U32 = 215,
    LUMK_STF_U32 = 216,
    LUMK_STFU_U32 = 217,
    LUMK_STR_U32 = 218,
    LUMK_LD_I64 = 219,
    LUMK_LDU_I64 = 220,
    LUMK_LDF_I64 = 221,
    LUMK_LDFU_I64 = 222,
    LUMK_LDR_I64 = 223,
    LUMK_ST_I64 = 224,
    LUMK_STU_I64 = 225,
    LUMK_STF_I64 = 226,
    LUMK_STFU_I64 = 227,
    LUMK_STR_I64 = 228,
    LUMK_LD_U64 = 229,
    LUMK_LDU_U64 = 230,
    LUMK_LDF_U64 = 231,
    LUMK_LDFU_U64 = 232,
    LUMK_LDR_U64 = 233,
    LUMK_ST_U64 = 234,
    LUMK_STU_U64 = 235,
    LUMK_STF_U64 = 236,
    LUMK_STFU_U64 = 237,
    LUMK_STR_U64 = 238,
    LUMK_LD_F32 = 239,
    LUMK_LDU_F32 = 240,
    LUMK_LDF_F32 = 241,
    LUMK_LDFU_F32 = 242,
    LUMK_LDR_F32 = 243,
    LUMK_ST_F32 = 244,
    LUMK_STU_F32 = 245,
    LUMK_STF_F32 = 246,
    LUMK_STFU_F32 = 247,
    LUMK_STR_F32 = 248,
    LUMK_LD_F64 = 249,
    LUMK_LDU_F64 = 250,
    LUMK_LDF_F64 = 251,
    LUMK_LDFU_F64 = 252,
    LUMK_LDR_F64 = 253,
    LUMK_ST_F64 = 254,
    LUMK_STU_F64 = 255,
    LUMK_STF_F64 = 256,
    LUMK_STFU_F64 = 257,
    LUMK_STR_F64 = 258,
    LUMK_ADDR = 259,
    LUMK_ADDRU = 260,
    LUMK_COPY = 261,
    LUMK_ZERO = 262,
    LUMK_AADD_32 = 263,
    LUMK_AADD_I32 = 264,
    LUMK_AADD_64 = 265,
    LUMK_AADDR_32 = 266,
    LUMK_AADDR_I32 = 267,
    LUMK_AADDR_64 = 268,
    LUMK_CHKIDX = 269,
};
inline constexpr uint32_t LUMK_OP_COUNT = 270;

// Mnemonic and operand-format tables indexed by opcode.
extern const char* const lumk_op_mnemonics[LUMK_OP_COUNT];
extern const char* const lumk_op_formats[LUMK_OP_COUNT];

// Mnemonic of an opcode, "?" for 270 and above.
const char* lumk_op_name(uint32_t op);
// Operand format of an opcode, "" for 270 and above.
const char* lumk_op_format(uint32_t op);

// Where a format letter finds its operand.
enum lumk_operand_field : uint8_t { LUMK_FIELD_A = 0, LUMK_FIELD_B = 1, LUMK_FIELD_C = 2, LUMK_FIELD_IMM = 3 };
struct lumk_operand_slot {
    char letter;               // D, R, P, I, J, O, K, S or T
    lumk_operand_field field;  // a, b, c or imm
};
// Operands of an opcode in format order: letters I, J, O and S take imm, every
// other letter the next free one of a, b, c, then imm. Returns the count (0..4).
uint32_t lumk_op_operands(uint32_t op, lumk_operand_slot out[4]);
// Value of one operand field of an instruction.
inline uint64_t lumk_insn_field(const lumk_insn& insn, lumk_operand_field f) {
    switch (f) {
        case LUMK_FIELD_A: return insn.a;
        case LUMK_FIELD_B: return insn.b;
        case LUMK_FIELD_C: return insn.c;
        default: return insn.imm;
    }
}
// True when the opcode's format has a jump target (J).
bool lumk_op_is_jump(uint32_t op);

// The operand format of an opcode, decoded once for every pass that walks
// operands. The register operands (D, R, I) are listed in format order; a D
// is always the first letter of a format, so the sources follow it.
struct lumk_op_decoded {
    uint8_t count = 0;      // operands (0..4)
    uint8_t reg_count = 0;  // register operands among them
    uint8_t dest = 0;       // the format begins with D: register a is written
    uint8_t jump = 0;       // has a J operand: imm is a jump target
    lumk_operand_slot operands[4]{};
    lumk_operand_slot regs[4]{};

    // Source register operands (R, I): the register operands after a D.
    const lumk_operand_slot* sources_begin() const { return regs + dest; }
    const lumk_operand_slot* sources_end() const { return regs + reg_count; }
};
// Decoded format of an opcode; no operands for 270 and above.
const lumk_op_decoded& lumk_op_decode(uint32_t op);
// Register number held by a register operand: an I operand keeps it in the
// low 16 bits of imm.
inline uint64_t lumk_insn_register(const lumk_insn& insn, const lumk_operand_slot& s) {
    const uint64_t v = lumk_insn_field(insn, s.field);
    return s.letter == 'I' ? (v & 0xFFFF) : v;
}
// Writes register number r into a register operand (an I operand's whole imm).
inline void lumk_insn_set_register(lumk_insn& insn, const lumk_operand_slot& s, uint32_t r) {
    switch (s.field) {
        case LUMK_FIELD_A: insn.a = static_cast<uint16_t>(r); break;
        case LUMK_FIELD_B: insn.b = static_cast<uint16_t>(r); break;
        case LUMK_FIELD_C: insn.c = static_cast<uint16_t>(r); break;
        case LUMK_FIELD_IMM: insn.imm = r; break;
    }
}

// Register numbers of 32768 and above stand for constant-pool entries until
// the program is finalized.
inline constexpr uint32_t LUMK_CONST_OPERAND = 32768;

// 64-bit register. Values keep one canonical form: bool 0/1; i8, i16, i32
// sign-extended; u8, u16, u32 zero-extended; f32 in the low 32 bits (writers of
// an f32 leave the upper half alone); i64, u64, f64 and pointers in all bits.
union kreg {
    int64_t i;
    uint64_t u;
    double d;
    float f;
    uint8_t* p;
};
static_assert(sizeof(kreg) == 8, "kreg must stay 8 bytes");

// Pointer slot through which a kernel reaches memory.
struct kptr {
    uint8_t* base = nullptr;  // first byte
    uint64_t count = 0;       // elements: the bound of every checked access
    uint64_t stride = 0;      // bytes per element
    uint64_t bytes = 0;       // total bytes
};
static_assert(sizeof(kptr) == 32, "kptr must stay 32 bytes");

// Canonical register form of a value of scalar type `prim` whose bits are in
// the low bytes of `bits`: sign- or zero-extends the integer types, maps bool to
// 0/1 by its low byte and keeps f32 in the low 32 bits with a zero upper half.
uint64_t lumk_reg_canonical(uint32_t prim, uint64_t bits);

// Math function numbers of MATH1_* (0..13) and MATH2_* (14, 15).
enum lumk_math_fn : uint8_t {
    LUMK_MATH_FLOOR = 0, LUMK_MATH_CEIL, LUMK_MATH_ROUND, LUMK_MATH_TRUNC, LUMK_MATH_SIN, LUMK_MATH_COS,
    LUMK_MATH_TAN, LUMK_MATH_ASIN, LUMK_MATH_ACOS, LUMK_MATH_ATAN, LUMK_MATH_EXP, LUMK_MATH_LOG,
    LUMK_MATH_LOG2, LUMK_MATH_LOG10, LUMK_MATH_POW, LUMK_MATH_ATAN2,
};
// "floor" .. "atan2" for 0..15, "?" otherwise.
const char* lumk_math_name(uint32_t fn);

// Multiplier M = floor((2^64 - 1) / d) + 1 held in imm by DIVC_*/MODC_*.
inline constexpr uint64_t lumk_divc_multiplier(uint32_t d) { return UINT64_MAX / d + 1; }

// ---- Opcode families --------------------------------------------------------
// The families are laid out so that a member is found by adding a small index
// to the family's first opcode.

// ADD_/SUB_/MUL_ (first = LUMK_ADD_I32, LUMK_SUB_I32 or LUMK_MUL_I32) for an
// operand type: i32, u32, 64-bit integer, f32, f64. Returns 0 (NOP) for other types.
uint16_t lumk_op_arith(uint16_t first, uint32_t prim);
// DIV_/MOD_ (first = LUMK_DIV_I32 or LUMK_MOD_I32): i32, u32, i64, u64, f32, f64.
uint16_t lumk_op_divmod(uint16_t first, uint32_t prim);
// ADDI_I32, ADDI_U32 or ADDI_X64 for an integer type of 32 or 64 bits.
uint16_t lumk_op_addi(uint32_t prim);
// TRUNC_I8 .. TRUNC_U32 for a target of i8 .. u32.
uint16_t lumk_op_trunc(uint32_t prim);

// Memory access kinds; opcode = LUMK_LD_I8 + (elem - i8) * 10 + kind.
enum lumk_mem_kind : uint8_t {
    LUMK_MEM_LD = 0, LUMK_MEM_LDU, LUMK_MEM_LDF, LUMK_MEM_LDFU, LUMK_MEM_LDR,
    LUMK_MEM_ST, LUMK_MEM_STU, LUMK_MEM_STF, LUMK_MEM_STFU, LUMK_MEM_STR,
};
// Memory opcode for an element type i8 .. f64; 0 (NOP) for other types.
uint16_t lumk_op_mem(lumk_mem_kind kind, uint32_t elem);
bool lumk_op_is_mem(uint32_t op);
// Element type of a memory opcode (LUMK_PRIM_NONE when op is not one).
lumk_prim lumk_op_mem_prim(uint32_t op);
lumk_mem_kind lumk_op_mem_kind(uint32_t op);
// Unchecked twin of a checked access (LD_, ST_, LDF_, STF_, ADDR); the opcode
// itself for everything else.
uint16_t lumk_op_unchecked(uint32_t op);

// Comparisons: condition, operand class, and whether the opcode produces 0/1
// (CMP), jumps when the condition holds (JT) or when it does not hold (JF).
enum lumk_cond : uint8_t { LUMK_COND_EQ = 0, LUMK_COND_NE, LUMK_COND_LT, LUMK_COND_LE, LUMK_COND_GT, LUMK_COND_GE };
enum lumk_cmp_class : uint8_t { LUMK_CMP_S = 0, LUMK_CMP_U, LUMK_CMP_F32, LUMK_CMP_F64 };
enum lumk_cmp_form : uint8_t { LUMK_CMP_VALUE = 0, LUMK_CMP_JT, LUMK_CMP_JF };
// The compare opcode; EQ and NE use the _X forms for both integer classes.
uint16_t lumk_op_cmp(lumk_cond cond, lumk_cmp_class cls, lumk_cmp_form form);
// Operand class of an integer or float type: signed, unsigned (bool included), f32, f64.
lumk_cmp_class lumk_cmp_class_of(uint32_t prim);
