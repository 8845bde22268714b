#include "kernel/exec/bytecode.h"

#include <array>

const char* const lumk_op_mnemonics[LUMK_OP_COUNT] = {
#define LUMK_OP_MNEMONIC(name, format) #name,
    LUMK_OPCODES(LUMK_OP_MNEMONIC)
#undef LUMK_OP_MNEMONIC
};

// constexpr so that the decoded table below is built at compile time, ready
// before any static initialiser of another file walks operands.
constexpr const char* const lumk_op_formats[LUMK_OP_COUNT] = {
#define LUMK_OP_FORMAT(name, format) format,
    LUMK_OPCODES(LUMK_OP_FORMAT)
#undef LUMK_OP_FORMAT
};

const char* lumk_op_name(uint32_t op) { return op < LUMK_OP_COUNT ? lumk_op_mnemonics[op] : "?"; }

const char* lumk_op_format(uint32_t op) { return op < LUMK_OP_COUNT ? lumk_op_formats[op] : ""; }

namespace {

// Letters I, J, O and S take imm; every other letter takes the next free one
// of a, b, c, and imm once those are used up.
constexpr lumk_op_decoded decode_format(const char* f) {
    lumk_op_decoded d{};
    uint32_t next = 0;
    for (; *f && d.count < 4; ++f) {
        lumk_operand_field field = LUMK_FIELD_IMM;
        if (*f != 'I' && *f != 'J' && *f != 'O' && *f != 'S' && next < 3) field = static_cast<lumk_operand_field>(next++);
        const lumk_operand_slot slot{*f, field};
        if (*f == 'D' && d.count != 0) throw "a D operand must come first";  // stops the constant evaluation
        d.operands[d.count++] = slot;
        if (*f == 'D' || *f == 'R' || *f == 'I') d.regs[d.reg_count++] = slot;
        if (*f == 'J') d.jump = 1;
    }
    d.dest = d.count != 0 && d.operands[0].letter == 'D';
    return d;
}

using decoded_table = std::array<lumk_op_decoded, LUMK_OP_COUNT + 1>;  // last entry: unknown opcodes

constexpr decoded_table decode_all() {
    decoded_table t{};
    for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op) t[op] = decode_format(lumk_op_formats[op]);
    return t;
}

constexpr decoded_table k_decoded = decode_all();

}  // namespace

const lumk_op_decoded& lumk_op_decode(uint32_t op) { return k_decoded[op < LUMK_OP_COUNT ? op : LUMK_OP_COUNT]; }

uint32_t lumk_op_operands(uint32_t op, lumk_operand_slot out[4]) {
    const lumk_op_decoded& d = lumk_op_decode(op);
    for (uint32_t i = 0; i < d.count; ++i) out[i] = d.operands[i];
    return d.count;
}

bool lumk_op_is_jump(uint32_t op) { return lumk_op_decode(op).jump != 0; }

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
