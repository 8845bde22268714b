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

// Every opcode in number order, with its operand format: X(NAME, "FORMAT").
// The enum LUMK_NAME, LUMK_OP_COUNT, the mnemonic and format tables and the
// scalar engine's dispatch table are all generated from this one list.
// Numbers are part of the bytecode format: never reorder; add at the end.
// Format letters: D destination register, R source register, P pointer slot,
// I register held in imm, J jump target, O offset, K constant, S size or
// limit, T math function or type.
#define LUMK_OPCODES(X) \
    /* control */                                                                                               \
    X(NOP, "") X(END, "") X(MOV, "DR") X(JMP, "J") X(LOOP, "J") X(JT, "RJ") X(JF, "RJ")                         \
    /* add, subtract, multiply: I32, U32, X64, F32, F64 */                                                      \
    X(ADD_I32, "DRR") X(ADD_U32, "DRR") X(ADD_X64, "DRR") X(ADD_F32, "DRR") X(ADD_F64, "DRR")                   \
    X(SUB_I32, "DRR") X(SUB_U32, "DRR") X(SUB_X64, "DRR") X(SUB_F32, "DRR") X(SUB_F64, "DRR")                   \
    X(MUL_I32, "DRR") X(MUL_U32, "DRR") X(MUL_X64, "DRR") X(MUL_F32, "DRR") X(MUL_F64, "DRR")                   \
    /* divide, modulo: I32, U32, I64, U64, F32, F64 */                                                          \
    X(DIV_I32, "DRR") X(DIV_U32, "DRR") X(DIV_I64, "DRR") X(DIV_U64, "DRR") X(DIV_F32, "DRR") X(DIV_F64, "DRR") \
    X(MOD_I32, "DRR") X(MOD_U32, "DRR") X(MOD_I64, "DRR") X(MOD_U64, "DRR") X(MOD_F32, "DRR") X(MOD_F64, "DRR") \
    /* add immediate, division by a constant */                                                                 \
    X(ADDI_I32, "DRO") X(ADDI_U32, "DRO") X(ADDI_X64, "DRO")                                                    \
    X(DIVC_U32, "DRK") X(DIVC_I32, "DRK") X(MODC_U32, "DRK") X(MODC_I32, "DRK")                                 \
    /* bitwise and shifts */                                                                                    \
    X(AND_X, "DRR") X(OR_X, "DRR") X(XOR_X, "DRR")                                                              \
    X(SHL_I32, "DRR") X(SHL_U32, "DRR") X(SHL_X64, "DRR") X(SHR_I32, "DRR") X(SHR_U32, "DRR") X(SHR_I64, "DRR") \
    X(SHR_U64, "DRR")                                                                                           \
    /* unary */                                                                                                 \
    X(NEG_I32, "DR") X(NEG_U32, "DR") X(NEG_X64, "DR") X(NEG_F32, "DR") X(NEG_F64, "DR")                        \
    X(NOT_X, "DR") X(NOT_U32, "DR") X(LNOT, "DR")                                                               \
    /* minimum, maximum, absolute value, square root, math functions */                                         \
    X(MIN_S, "DRR") X(MIN_U, "DRR") X(MIN_F32, "DRR") X(MIN_F64, "DRR")                                         \
    X(MAX_S, "DRR") X(MAX_U, "DRR") X(MAX_F32, "DRR") X(MAX_F64, "DRR")                                         \
    X(ABS_I32, "DR") X(ABS_I64, "DR") X(ABS_F32, "DR") X(ABS_F64, "DR") X(SQRT_F32, "DR") X(SQRT_F64, "DR")     \
    X(MATH1_F32, "DRT") X(MATH1_F64, "DRT") X(MATH2_F32, "DRRT") X(MATH2_F64, "DRRT")                           \
    /* equal, not equal: CMP for X, F32, F64, then JT and JF for each */                                        \
    X(CMPEQ_X, "DRR") X(CMPNE_X, "DRR") X(CMPEQ_F32, "DRR") X(CMPNE_F32, "DRR") X(CMPEQ_F64, "DRR")             \
    X(CMPNE_F64, "DRR")                                                                                         \
    X(JTEQ_X, "RRJ") X(JTNE_X, "RRJ") X(JFEQ_X, "RRJ") X(JFNE_X, "RRJ")                                         \
    X(JTEQ_F32, "RRJ") X(JTNE_F32, "RRJ") X(JFEQ_F32, "RRJ") X(JFNE_F32, "RRJ")                                 \
    X(JTEQ_F64, "RRJ") X(JTNE_F64, "RRJ") X(JFEQ_F64, "RRJ") X(JFNE_F64, "RRJ")                                 \
    /* less, less or equal, greater, greater or equal: CMP, JT, JF, each for S, U, F32, F64 */                  \
    X(CMPLT_S, "DRR") X(CMPLT_U, "DRR") X(CMPLT_F32, "DRR") X(CMPLT_F64, "DRR")                                 \
    X(JTLT_S, "RRJ") X(JTLT_U, "RRJ") X(JTLT_F32, "RRJ") X(JTLT_F64, "RRJ")                                     \
    X(JFLT_S, "RRJ") X(JFLT_U, "RRJ") X(JFLT_F32, "RRJ") X(JFLT_F64, "RRJ")                                     \
    X(CMPLE_S, "DRR") X(CMPLE_U, "DRR") X(CMPLE_F32, "DRR") X(CMPLE_F64, "DRR")                                 \
    X(JTLE_S, "RRJ") X(JTLE_U, "RRJ") X(JTLE_F32, "RRJ") X(JTLE_F64, "RRJ")                                     \
    X(JFLE_S, "RRJ") X(JFLE_U, "RRJ") X(JFLE_F32, "RRJ") X(JFLE_F64, "RRJ")                                     \
    X(CMPGT_S, "DRR") X(CMPGT_U, "DRR") X(CMPGT_F32, "DRR") X(CMPGT_F64, "DRR")                                 \
    X(JTGT_S, "RRJ") X(JTGT_U, "RRJ") X(JTGT_F32, "RRJ") X(JTGT_F64, "RRJ")                                     \
    X(JFGT_S, "RRJ") X(JFGT_U, "RRJ") X(JFGT_F32, "RRJ") X(JFGT_F64, "RRJ")                                     \
    X(CMPGE_S, "DRR") X(CMPGE_U, "DRR") X(CMPGE_F32, "DRR") X(CMPGE_F64, "DRR")                                 \
    X(JTGE_S, "RRJ") X(JTGE_U, "RRJ") X(JTGE_F32, "RRJ") X(JTGE_F64, "RRJ")                                     \
    X(JFGE_S, "RRJ") X(JFGE_U, "RRJ") X(JFGE_F32, "RRJ") X(JFGE_F64, "RRJ")                                     \
    /* conversions */                                                                                           \
    X(TRUNC_I8, "DR") X(TRUNC_U8, "DR") X(TRUNC_I16, "DR") X(TRUNC_U16, "DR") X(TRUNC_I32, "DR")                \
    X(TRUNC_U32, "DR")                                                                                          \
    X(CVT_S_F32, "DR") X(CVT_U_F32, "DR") X(CVT_S_F64, "DR") X(CVT_U_F64, "DR")                                 \
    X(CVT_F32_INT, "DRT") X(CVT_F64_INT, "DRT") X(CVT_F32_F64, "DR") X(CVT_F64_F32, "DR")                       \
    X(BOOL_F32, "DR") X(BOOL_F64, "DR")                                                                         \
    /* memory, per element type: LD, LDU, LDF, LDFU, LDR, then ST, STU, STF, STFU, STR */                       \
    X(LD_I8, "DPRO") X(LDU_I8, "DPRO") X(LDF_I8, "DPRO") X(LDFU_I8, "DPRO") X(LDR_I8, "DRO")                    \
    X(ST_I8, "RPRO") X(STU_I8, "RPRO") X(STF_I8, "RPRO") X(STFU_I8, "RPRO") X(STR_I8, "RRO")                    \
    X(LD_U8, "DPRO") X(LDU_U8, "DPRO") X(LDF_U8, "DPRO") X(LDFU_U8, "DPRO") X(LDR_U8, "DRO")                    \
    X(ST_U8, "RPRO") X(STU_U8, "RPRO") X(STF_U8, "RPRO") X(STFU_U8, "RPRO") X(STR_U8, "RRO")                    \
    X(LD_I16, "DPRO") X(LDU_I16, "DPRO") X(LDF_I16, "DPRO") X(LDFU_I16, "DPRO") X(LDR_I16, "DRO")               \
    X(ST_I16, "RPRO") X(STU_I16, "RPRO") X(STF_I16, "RPRO") X(STFU_I16, "RPRO") X(STR_I16, "RRO")               \
    X(LD_U16, "DPRO") X(LDU_U16, "DPRO") X(LDF_U16, "DPRO") X(LDFU_U16, "DPRO") X(LDR_U16, "DRO")               \
    X(ST_U16, "RPRO") X(STU_U16, "RPRO") X(STF_U16, "RPRO") X(STFU_U16, "RPRO") X(STR_U16, "RRO")               \
    X(LD_I32, "DPRO") X(LDU_I32, "DPRO") X(LDF_I32, "DPRO") X(LDFU_I32, "DPRO") X(LDR_I32, "DRO")               \
    X(ST_I32, "RPRO") X(STU_I32, "RPRO") X(STF_I32, "RPRO") X(STFU_I32, "RPRO") X(STR_I32, "RRO")               \
    X(LD_U32, "DPRO") X(LDU_U32, "DPRO") X(LDF_U32, "DPRO") X(LDFU_U32, "DPRO") X(LDR_U32, "DRO")               \
    X(ST_U32, "RPRO") X(STU_U32, "RPRO") X(STF_U32, "RPRO") X(STFU_U32, "RPRO") X(STR_U32, "RRO")               \
    X(LD_I64, "DPRO") X(LDU_I64, "DPRO") X(LDF_I64, "DPRO") X(LDFU_I64, "DPRO") X(LDR_I64, "DRO")               \
    X(ST_I64, "RPRO") X(STU_I64, "RPRO") X(STF_I64, "RPRO") X(STFU_I64, "RPRO") X(STR_I64, "RRO")               \
    X(LD_U64, "DPRO") X(LDU_U64, "DPRO") X(LDF_U64, "DPRO") X(LDFU_U64, "DPRO") X(LDR_U64, "DRO")               \
    X(ST_U64, "RPRO") X(STU_U64, "RPRO") X(STF_U64, "RPRO") X(STFU_U64, "RPRO") X(STR_U64, "RRO")               \
    X(LD_F32, "DPRO") X(LDU_F32, "DPRO") X(LDF_F32, "DPRO") X(LDFU_F32, "DPRO") X(LDR_F32, "DRO")               \
    X(ST_F32, "RPRO") X(STU_F32, "RPRO") X(STF_F32, "RPRO") X(STFU_F32, "RPRO") X(STR_F32, "RRO")               \
    X(LD_F64, "DPRO") X(LDU_F64, "DPRO") X(LDF_F64, "DPRO") X(LDFU_F64, "DPRO") X(LDR_F64, "DRO")               \
    X(ST_F64, "RPRO") X(STU_F64, "RPRO") X(STF_F64, "RPRO") X(STFU_F64, "RPRO") X(STR_F64, "RRO")               \
    /* addresses, block operations, atomic add, index check */                                                  \
    X(ADDR, "DPR") X(ADDRU, "DPR") X(COPY, "RRS") X(ZERO, "RS")                                                 \
    X(AADD_32, "DPRI") X(AADD_I32, "DPRI") X(AADD_64, "DPRI") X(AADDR_32, "DRRO") X(AADDR_I32, "DRRO")          \
    X(AADDR_64, "DRRO")                                                                                         \
    X(CHKIDX, "RS")

// The opcodes.
enum lumk_op : uint16_t {
#define LUMK_OP_ENUMERATOR(name, format) LUMK_##name,
    LUMK_OPCODES(LUMK_OP_ENUMERATOR)
#undef LUMK_OP_ENUMERATOR
};
#define LUMK_OP_ONE(name, format) +1
inline constexpr uint32_t LUMK_OP_COUNT = 0 LUMK_OPCODES(LUMK_OP_ONE);
#undef LUMK_OP_ONE

// Mnemonic and operand-format tables indexed by opcode.
extern const char* const lumk_op_mnemonics[LUMK_OP_COUNT];
extern const char* const lumk_op_formats[LUMK_OP_COUNT];

// Mnemonic of an opcode, "?" for LUMK_OP_COUNT and above.
const char* lumk_op_name(uint32_t op);
// Operand format of an opcode, "" for LUMK_OP_COUNT and above.
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
// Decoded format of an opcode; no operands for LUMK_OP_COUNT and above.
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

// Comparisons: condition, operand class, and whether the opcode produces 0/1
// (CMP), jumps when the condition holds (JT) or when it does not hold (JF).
enum lumk_cond : uint8_t { LUMK_COND_EQ = 0, LUMK_COND_NE, LUMK_COND_LT, LUMK_COND_LE, LUMK_COND_GT, LUMK_COND_GE };
enum lumk_cmp_class : uint8_t { LUMK_CMP_S = 0, LUMK_CMP_U, LUMK_CMP_F32, LUMK_CMP_F64 };
enum lumk_cmp_form : uint8_t { LUMK_CMP_VALUE = 0, LUMK_CMP_JT, LUMK_CMP_JF };
// The compare opcode; EQ and NE use the _X forms for both integer classes.
uint16_t lumk_op_cmp(lumk_cond cond, lumk_cmp_class cls, lumk_cmp_form form);
// Operand class of an integer or float type: signed, unsigned (bool included), f32, f64.
lumk_cmp_class lumk_cmp_class_of(uint32_t prim);
