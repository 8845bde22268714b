#include "kernel/exec/bytecode.h"

const char* const lumk_op_mnemonics[LUMK_OP_COUNT] = {
    "NOP", "END", "MOV", "JMP", "LOOP", "JT", "JF", "ADD_I32", "ADD_U32", "ADD_X64", "ADD_F32", "ADD_F64",
    "SUB_I32", "SUB_U32", "SUB_X64", "SUB_F32", "SUB_F64", "MUL_I32", "MUL_U32", "MUL_X64", "MUL_F32",
    "MUL_F64", "DIV_I32", "DIV_U32", "DIV_I64", "DIV_U64", "DIV_F32", "DIV_F64", "MOD_I32", "MOD_U32",
    "MOD_I64", "MOD_U64", "MOD_F32", "MOD_F64", "ADDI_I32", "ADDI_U32", "ADDI_X64", "DIVC_U32", "DIVC_I32",
    "MODC_U32", "MODC_I32", "AND_X", "OR_X", "XOR_X", "SHL_I32", "SHL_U32", "SHL_X64", "SHR_I32", "SHR_U32",
    "SHR_I64", "SHR_U64", "NEG_I32", "NEG_U32", "NEG_X64", "NEG_F32", "NEG_F64", "NOT_X", "NOT_U32", "LNOT",
    "MIN_S", "MIN_U", "MIN_F32", "MIN_F64", "MAX_S", "MAX_U", "MAX_F32", "MAX_F64", "ABS_I32", "ABS_I64",
    "ABS_F32", "ABS_F64", "SQRT_F32", "SQRT_F64", "MATH1_F32", "MATH1_F64", "MATH2_F32", "MATH2_F64",
    "CMPEQ_X", "CMPNE_X", "CMPEQ_F32", "CMPNE_F32", "CMPEQ_F64", "CMPNE_F64", "JTEQ_X", "JTNE_X", "JFEQ_X",
    "JFNE_X", "JTEQ_F32", "JTNE_F32", "JFEQ_F32", "JFNE_F32", "JTEQ_F64", "JTNE_F64", "JFEQ_F64", "JFNE_F64",
    "CMPLT_S", "CMPLT_U", "CMPLT_F32", "CMPLT_F64", "JTLT_S", "JTLT_U", "JTLT_F32", "JTLT_F64", "JFLT_S",
    "JFLT_U", "JFLT_F32", "JFLT_F64", "CMPLE_S", "CMPLE_U", "CMPLE_F32", "CMPLE_F64", "JTLE_S", "JTLE_U",
    "JTLE_F32", "JTLE_F64", "JFLE_S", "JFLE_U", "JFLE_F32", "JFLE_F64", "CMPGT_S", "CMPGT_U", "CMPGT_F32",
    "CMPGT_F64", "JTGT_S", "JTGT_U", "JTGT_F32", "JTGT_F64", "JFGT_S", "JFGT_U", "JFGT_F32", "JFGT_F64",
    "CMPGE_S", "CMPGE_U", "CMPGE_F32", "CMPGE_F64", "JTGE_S", "JTGE_U", "JTGE_F32", "JTGE_F64", "JFGE_S",
    "JFGE_U", "JFGE_F32", "JFGE_F64", "TRUNC_I8", "TRUNC_U8", "TRUNC_I16", "TRUNC_U16", "TRUNC_I32",
    "TRUNC_U32", "CVT_S_F32", "CVT_U_F32", "CVT_S_F64", "CVT_U_F64", "CVT_F32_INT", "CVT_F64_INT",
    "CVT_F32_F64", "CVT_F64_F32", "BOOL_F32", "BOOL_F64", "LD_I8", "LDU_I8", "LDF_I8", "LDFU_I8", "LDR_I8",
    "ST_I8", "STU_I8", "STF_I8", "STFU_I8", "STR_I8", "LD_U8", "LDU_U8", "LDF_U8", "LDFU_U8", "LDR_U8",
    "ST_U8", "STU_U8", "STF_U8", "STFU_U8", "STR_U8", "LD_I16", "LDU_I16", "LDF_I16", "LDFU_I16", "LDR_I16",
    "ST_I16", "STU_I16", "STF_I16", "STFU_I16", "STR_I16", "LD_U16", "LDU_U16", "LDF_U16", "LDFU_U16",
    "LDR_U16", "ST_U16", "STU_U16", "STF_U16", "STFU_U16", "STR_U16", "LD_I32", "LDU_I32", "LDF_I32",
    "LDFU_I32", "LDR_I32", "ST_I32", "STU_I32", "STF_I32", "STFU_I32", "STR_I32", "LD_U32", "LDU_U32",
    "LDF_U32", "LDFU_U32", "LDR_U32", "ST_U32", "STU_U32", "STF_U32", "STFU_U32", "STR_U32", "LD_I64",
    "LDU_I64", "LDF_I64", "LDFU_I64", "LDR_I64", "ST_I64", "STU_I64", "STF_I64", "STFU_I64", "STR_I64",
    "LD_U64", "LDU_U64", "LDF_U64", "LDFU_U64", "LDR_U64", "ST_U64", "STU_U64", "STF_U64", "STFU_U64",
    "STR_U64", "LD_F32", "LDU_F32", "LDF_F32", "LDFU_F32", "LDR_F32", "ST_F32", "STU_F32", "STF_F32",
    "STFU_F32", "STR_F32", "LD_F64", "LDU_F64", "LDF_F64", "LDFU_F64", "LDR_F64", "ST_F64", "STU_F64",
    "STF_F64", "STFU_F64", "STR_F64", "ADDR", "ADDRU", "COPY", "ZERO", "AADD_32", "AADD_I32", "AADD_64",
    "AADDR_32", "AADDR_I32", "AADDR_64", "CHKIDX",
};

const char* const lumk_op_formats[LUMK_OP_COUNT] = {
    "", "", "DR", "J", "J", "RJ", "RJ", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR",
    "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR",
    "DRR", "DRR", "DRO", "DRO", "DRO", "DRK", "DRK", "DRK", "DRK", "DRR", "DRR", "DRR", "DRR", "DRR", "DRR",
    "DRR", "DRR", "DRR", "DRR", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DRR", "DRR", "DRR", "DRR",
    "DRR", "DRR", "DRR", "DRR", "DR", "DR", "DR", "DR", "DR", "DR", "DRT", "DRT", "DRRT", "DRRT", "DRR",
    "DRR", "DRR", "DRR", "DRR", "DRR", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ",
    "RRJ", "RRJ", "DRR", "DRR", "DRR", "DRR", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "DRR",
    "DRR", "DRR", "DRR", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "DRR", "DRR", "DRR", "DRR",
    "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "DRR", "DRR", "DRR", "DRR", "RRJ", "RRJ", "RRJ",
    "RRJ", "RRJ", "RRJ", "RRJ", "RRJ", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DR", "DRT",
    "DRT", "DR", "DR", "DR", "DR", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO",
    "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO", "DPRO",
    "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO",
    "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO",
    "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO",
    "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO",
    "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO",
    "RPRO", "RPRO", "RRO", "DPRO", "DPRO", "DPRO", "DPRO", "DRO", "RPRO", "RPRO", "RPRO", "RPRO", "RRO",
    "DPR", "DPR", "RRS", "RS", "DPRI", "DPRI", "DPRI", "DRRO", "DRRO", "DRRO", "RS",
};

const char* lumk_op_name(uint32_t op) { return op < LUMK_OP_COUNT ? lumk_op_mnemonics[op] : "?"; }

const char* lumk_op_format(uint32_t op) { return op < LUMK_OP_COUNT ? lumk_op_formats[op] : ""; }

uint32_t lumk_op_operands(uint32_t op, lumk_operand_slot out[4]) {
    const char* f = lumk_op_format(op);
    uint32_t n = 0, next = 0;
    for (; *f && n < 4; ++f) {
        lumk_operand_field field;
        if (*f == 'I' || *f == 'J' || *f == 'O' || *f == 'S') {
            field = LUMK_FIELD_IMM;
        } else {
            field = next < 3 ? static_cast<lumk_operand_field>(next++) : LUMK_FIELD_IMM;
        }
        out[n++] = {*f, field};
    }
    return n;
}

bool lumk_op_is_jump(uint32_t op) {
    for (const char* f = lumk_op_format(op); *f; ++f) {
        if (*f == 'J') return true;
    }
    return false;
}

uint64_t lumk_reg_canonical(uint32_t prim, uint64_t bits) {
    switch (prim) {
        case LUMK_PRIM_BOOL: return (bits & 0xFF) != 0 ? 1 : 0;
        case LUMK_PRIM_I8: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(bits)));
        case LUMK_PRIM_U8: return bits & 0xFF;
        case LUMK_PRIM_I16: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(bits)));
        case LUMK_PRIM_U16: return bits & 0xFFFF;
        case LUMK_PRIM_I32: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(bits)));
        case LUMK_PRIM_U32:
        case LUMK_PRIM_F32: return bits & 0xFFFFFFFFu;
        default: return bits;
    }
}

const char* lumk_math_name(uint32_t fn) {
    static const char* const names[16] = {"floor", "ceil", "round", "trunc", "sin",  "cos",   "tan", "asin",
                                          "acos",  "atan", "exp",   "log",   "log2", "log10", "pow", "atan2"};
    return fn < 16 ? names[fn] : "?";
}

uint16_t lumk_op_arith(uint16_t first, uint32_t prim) {
    switch (prim) {
        case LUMK_PRIM_I32: return first;
        case LUMK_PRIM_U32: return static_cast<uint16_t>(first + 1);
        case LUMK_PRIM_I64:
        case LUMK_PRIM_U64: return static_cast<uint16_t>(first + 2);
        case LUMK_PRIM_F32: return static_cast<uint16_t>(first + 3);
        case LUMK_PRIM_F64: return static_cast<uint16_t>(first + 4);
        default: return LUMK_NOP;
    }
}

uint16_t lumk_op_divmod(uint16_t first, uint32_t prim) {
    if (prim < LUMK_PRIM_I32 || prim > LUMK_PRIM_F64) return LUMK_NOP;
    return static_cast<uint16_t>(first + (prim - LUMK_PRIM_I32));
}

uint16_t lumk_op_addi(uint32_t prim) {
    switch (prim) {
        case LUMK_PRIM_I32: return LUMK_ADDI_I32;
        case LUMK_PRIM_U32: return LUMK_ADDI_U32;
        case LUMK_PRIM_I64:
        case LUMK_PRIM_U64: return LUMK_ADDI_X64;
        default: return LUMK_NOP;
    }
}

uint16_t lumk_op_trunc(uint32_t prim) {
    if (prim < LUMK_PRIM_I8 || prim > LUMK_PRIM_U32) return LUMK_NOP;
    return static_cast<uint16_t>(LUMK_TRUNC_I8 + (prim - LUMK_PRIM_I8));
}

uint16_t lumk_op_mem(lumk_mem_kind kind, uint32_t elem) {
    if (elem < LUMK_PRIM_I8 || elem > LUMK_PRIM_F64 || kind > LUMK_MEM_STR) return LUMK_NOP;
    return static_cast<uint16_t>(LUMK_LD_I8 + (elem - LUMK_PRIM_I8) * 10 + kind);
}

bool lumk_op_is_mem(uint32_t op) { return op >= LUMK_LD_I8 && op <= LUMK_STR_F64; }

lumk_prim lumk_op_mem_prim(uint32_t op) {
    if (!lumk_op_is_mem(op)) return LUMK_PRIM_NONE;
    return static_cast<lumk_prim>(LUMK_PRIM_I8 + (op - LUMK_LD_I8) / 10);
}

lumk_mem_kind lumk_op_mem_kind(uint32_t op) {
    return lumk_op_is_mem(op) ? static_cast<lumk_mem_kind>((op - LUMK_LD_I8) % 10) : LUMK_MEM_LD;
}

uint16_t lumk_op_unchecked(uint32_t op) {
    if (op == LUMK_ADDR) return LUMK_ADDRU;
    if (lumk_op_is_mem(op)) {
        const lumk_mem_kind k = lumk_op_mem_kind(op);
        if (k == LUMK_MEM_LD || k == LUMK_MEM_LDF || k == LUMK_MEM_ST || k == LUMK_MEM_STF)
            return static_cast<uint16_t>(op + 1);
    }
    return static_cast<uint16_t>(op);
}

uint16_t lumk_op_cmp(lumk_cond cond, lumk_cmp_class cls, lumk_cmp_form form) {
    if (cond == LUMK_COND_EQ || cond == LUMK_COND_NE) {
        // _X, _F32, _F64 in pairs (EQ, NE); CMP block first, then JT/JF blocks
        const uint32_t t = cls <= LUMK_CMP_U ? 0 : cls - 1;
        const uint32_t ne = cond == LUMK_COND_NE ? 1 : 0;
        if (form == LUMK_CMP_VALUE) return static_cast<uint16_t>(LUMK_CMPEQ_X + t * 2 + ne);
        return static_cast<uint16_t>(LUMK_JTEQ_X + t * 4 + (form == LUMK_CMP_JF ? 2 : 0) + ne);
    }
    // LT, LE, GT, GE: blocks of 12 = CMP (S, U, F32, F64), JT (...), JF (...)
    return static_cast<uint16_t>(LUMK_CMPLT_S + (cond - LUMK_COND_LT) * 12 + form * 4 + cls);
}

lumk_cmp_class lumk_cmp_class_of(uint32_t prim) {
    if (prim == LUMK_PRIM_F32) return LUMK_CMP_F32;
    if (prim == LUMK_PRIM_F64) return LUMK_CMP_F64;
    return lumk_prim_is_signed(prim) ? LUMK_CMP_S : LUMK_CMP_U;
}
