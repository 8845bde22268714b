#pragma once
// Script bytecode: opcode numbers, instruction sizes and operand positions.
//
// An instruction is one opcode byte followed by operands at fixed byte
// positions (little-endian); its size is fixed by the opcode. Padding bytes
// are zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Every opcode in number order with its instruction size in bytes:
// X(NAME, NUMBER, SIZE). The enum LUM_OP_NAME, LUM_OPCODE_MAX, the size table
// and the interpreter's dispatch table are generated from this one list, so
// an opcode listed without a handler in vm/interpreter.cpp fails to compile.
// Numbers are part of the bytecode: never reorder; add at the end, and give
// the new opcode a mnemonic in host/asm_mnemonics.cpp (a test names any
// opcode without one).
#define LUM_OPCODES(X) \
    X(LD_L, 1, 8) /* replace top with local slot B */                             \
    X(LD_LF, 2, 8) /* as 1, then copy the slot flag byte into the cell */         \
    X(LD_S, 3, 8) /* replace top with static slot B */                            \
    X(LD_UP, 4, 12) /* replace top with local slot C of the context at level B */ \
    X(LD_UPS, 5, 12) /* replace top with static slot C of the block at level B */ \
    X(LD_G, 6, 8) /* replace top with global slot B */                            \
    X(LD_GS, 7, 8) /* replace top with static slot B of the global block */       \
    X(LDI, 8, 16) /* top := integer D */                                          \
    X(LDF, 9, 16) /* top := float D */                                            \
    X(LDS, 10, 8) /* top := string constant B */                                  \
    X(FN, 11, 8) /* top := function value of child B */                           \
    X(LDEXT, 12, 16) /* top := native function value of record D */               \
    X(LDK, 13, 16) /* top := constant cell D (shared) */                          \
    X(NONE, 14, 1) /* top := fresh none */                                        \
    X(BIND, 15, 2) /* bind top (A=0) or self (A!=0) to the function below */      \
    X(BINDREF, 16, 1) /* bind a reference to top to the function below */         \
    X(PUSH, 17, 1) /* push a fresh none */                                        \
    X(DUP, 18, 1) /* push the top again */                                        \
    X(POP, 19, 8) /* pop (8 bytes) */                                             \
    X(ASSIGN, 20, 1)                                                              \
    X(NEG, 21, 1)                                                                 \
    X(NOT, 22, 1)                                                                 \
    X(REF, 23, 1)                                                                 \
    X(DEREF, 24, 1)                                                               \
    X(ADD, 25, 1)                                                                 \
    X(SUB, 26, 1)                                                                 \
    X(MUL, 27, 1)                                                                 \
    X(DIV, 28, 1)                                                                 \
    X(AND, 29, 1)                                                                 \
    X(OR, 30, 1)                                                                  \
    X(XOR, 31, 1)                                                                 \
    X(INC, 32, 2) /* A: postfix */                                                \
    X(DEC, 33, 2) /* A: postfix */                                                \
    X(EQ, 34, 2) /* A: negate (not equal) */                                      \
    X(GT, 35, 2) /* A: or-equal */                                                \
    X(LT, 36, 2) /* A: or-equal */                                                \
    X(TRUTH, 37, 1)                                                               \
    X(FRAME, 38, 8) /* open an argument frame of B slots */                       \
    X(FARG, 39, 8) /* frame slot B := top (shared) */                             \
    X(FARGC, 40, 8) /* frame slot B := copy of top */                             \
    X(FGET, 41, 8) /* top := frame slot B */                                      \
    X(NCALL, 42, 16) /* call native record D with the current frame */            \
    X(FCLEAR, 43, 1) /* clear the frame above the current one */                  \
    X(PREP, 44, 2) /* prepare a call of top with A arguments */                   \
    X(ARG, 45, 8) /* store top as argument B of the prepared call */              \
    X(CALL, 46, 1) /* start the prepared call */                                  \
    X(ENTER, 47, 8) /* enter child block B */                                     \
    X(DEFAULT, 48, 2) /* default value of parameter A */                          \
    X(CATCH, 49, 8) /* enter catch block B when an error was caught */            \
    X(ENTERLINKED, 50, 1) /* enter the linked block */                            \
    X(SETSELF, 51, 1)                                                             \
    X(SELF, 52, 1)                                                                \
    X(SELFMEM, 53, 12) /* member B of self, C8 from-definition */                 \
    X(NEWINST, 54, 1)                                                             \
    X(JMP, 55, 8)                                                                 \
    X(JZ, 56, 8)                                                                  \
    X(JNZ, 57, 8)                                                                 \
    X(RET, 58, 1)                                                                 \
    X(BRK, 59, 1)                                                                 \
    X(CONT, 60, 1)                                                                \
    X(MEM, 61, 32) /* member by name with cache and privacy */                    \
    X(IDX, 62, 24) /* index get */                                                \
    X(MEMIF, 63, 8) /* member if present */                                       \
    X(SIDX, 64, 1) /* safe index */                                               \
    X(APPEND, 65, 1)                                                              \
    X(NEWJSON, 66, 1)                                                             \
    X(OWN, 67, 1)                                                                 \
    X(IDXSET, 68, 16)                                                             \
    X(IDXGET2, 69, 16)                                                            \
    X(MOD, 70, 1)                                                                 \
    X(BNOT, 71, 1)                                                                \
    X(FEXPR, 72, 200) /* fused numeric expression */                              \
    X(FCALL, 73, 32) /* fused method call */

enum lum_opcode : uint8_t {
#define LUM_OPCODE_ENUMERATOR(name, number, size) LUM_OP_##name = number,
    LUM_OPCODES(LUM_OPCODE_ENUMERATOR)
#undef LUM_OPCODE_ENUMERATOR
};

// The highest opcode; 0 and every byte above it are no instruction.
#define LUM_OPCODE_ONE(name, number, size) +1
inline constexpr unsigned LUM_OPCODE_MAX = 0 LUM_OPCODES(LUM_OPCODE_ONE);
#undef LUM_OPCODE_ONE
static_assert(LUM_OPCODE_MAX <= 255, "an opcode is one byte");

// The list's numbers run 1, 2, ... LUM_OPCODE_MAX in list order (the dispatch
// table relies on it).
constexpr bool lum_opcodes_numbered_in_order() {
    unsigned next = 1;
    bool ok = true;
#define LUM_OPCODE_CHECK(name, number, size) ok = ok && (number) == next++;
    LUM_OPCODES(LUM_OPCODE_CHECK)
#undef LUM_OPCODE_CHECK
    return ok;
}
static_assert(lum_opcodes_numbered_in_order(), "LUM_OPCODES must list opcodes 1, 2, 3, ... in order");

// Instruction size in bytes per opcode (0 for 0 and anything above LUM_OPCODE_MAX).
constexpr std::array<uint8_t, 256> lum_opcode_sizes() {
    std::array<uint8_t, 256> t{};
#define LUM_OPCODE_SIZE(name, number, size) t[number] = (size);
    LUM_OPCODES(LUM_OPCODE_SIZE)
#undef LUM_OPCODE_SIZE
    return t;
}
inline constexpr std::array<uint8_t, 256> lum_opcode_size_table = lum_opcode_sizes();

inline constexpr unsigned lum_opcode_size(unsigned op) { return op <= 255 ? lum_opcode_size_table[op] : 0; }

// Operand byte positions of the common fields.
namespace lum_operand {
inline constexpr unsigned A = 1;    // u8
inline constexpr unsigned B = 4;    // u32 / i32
inline constexpr unsigned C = 8;    // u32
inline constexpr unsigned C8 = 8;   // u8
inline constexpr unsigned D = 8;    // i64 / f64 / u64
inline constexpr unsigned E = 16;   // u64
inline constexpr unsigned E8 = 16;  // u8
inline constexpr unsigned F = 24;   // u8
}  // namespace lum_operand

// Little-endian operand reads and writes at a byte position.
template <class T>
inline T lum_read_operand(const uint8_t* insn, unsigned pos) {
    T v;
    std::memcpy(&v, insn + pos, sizeof(T));
    return v;
}
template <class T>
inline void lum_write_operand(uint8_t* insn, unsigned pos, T v) {
    std::memcpy(insn + pos, &v, sizeof(T));
}

// Opcode 72: fused numeric expression, 200 bytes.
namespace lum_fexpr {
inline constexpr unsigned SIZE = 200;
inline constexpr unsigned JUMP = 4;        // u32 jump distance on success
inline constexpr unsigned DEST_KIND = 8;   // u8
inline constexpr unsigned DEST_LEVEL = 9;  // u8
inline constexpr unsigned DEST_SLOT = 12;  // u32
inline constexpr unsigned COUNT = 16;      // u8, 1..16
inline constexpr unsigned FLOAT_MASK = 18; // u8
inline constexpr unsigned ITEMS = 20;      // 16 items of 8 bytes {kind, level, 0, 0, u32 operand}
inline constexpr unsigned CONSTS = 152;    // 6 constants of 8 bytes
inline constexpr unsigned MAX_ITEMS = 16;
inline constexpr unsigned MAX_CONSTS = 6;

// Destination kinds.
inline constexpr uint8_t DEST_TOP = 0;
inline constexpr uint8_t DEST_LOCAL = 1;
inline constexpr uint8_t DEST_UP = 2;
// 3 and above: slot resolver kind (k - 1): 3 global, 20 member of self, 21 member path.
inline constexpr uint8_t DEST_GLOBAL = 3;
inline constexpr uint8_t DEST_SELF = 20;
inline constexpr uint8_t DEST_PATH = 21;

// Item kinds.
inline constexpr uint8_t IT_LOCAL = 0;
inline constexpr uint8_t IT_UP = 1;
inline constexpr uint8_t IT_GLOBAL = 2;
inline constexpr uint8_t IT_CONST = 3;
inline constexpr uint8_t IT_ADD = 4;
inline constexpr uint8_t IT_SUB = 5;
inline constexpr uint8_t IT_MUL = 6;
inline constexpr uint8_t IT_DIV = 7;
inline constexpr uint8_t IT_MOD = 8;
inline constexpr uint8_t IT_AND = 9;
inline constexpr uint8_t IT_OR = 10;
inline constexpr uint8_t IT_XOR = 11;
inline constexpr uint8_t IT_EQ = 12;
inline constexpr uint8_t IT_NE = 13;
inline constexpr uint8_t IT_LT = 14;
inline constexpr uint8_t IT_LE = 15;
inline constexpr uint8_t IT_GE = 16;
inline constexpr uint8_t IT_GT = 17;
inline constexpr uint8_t IT_NEG = 18;
inline constexpr uint8_t IT_SELF = 19;
inline constexpr uint8_t IT_PATH = 20;
}  // namespace lum_fexpr

// Opcode 73: fused method call, 32 bytes.
namespace lum_fcall {
inline constexpr unsigned SIZE = 32;
inline constexpr unsigned JUMP = 4;      // u32 jump distance on success
inline constexpr unsigned NAME = 8;      // u32 string constant index
inline constexpr unsigned CACHE = 12;    // u32 member-cache entry index
inline constexpr unsigned MEMBER = 16;   // u32 member index (self form)
inline constexpr unsigned ARGC = 20;     // u8
inline constexpr unsigned SELF_FORM = 21;// u8
inline constexpr unsigned ENABLED = 22;  // u8
inline constexpr unsigned CLASS = 24;    // u64 accessing class
}  // namespace lum_fcall

// Opcode 61: member by name, 32 bytes.
namespace lum_mem {
inline constexpr unsigned NAME = 4;      // u32 string constant index
inline constexpr unsigned CACHE = 8;     // u32 member-cache entry index
inline constexpr unsigned CLASS = 16;    // u64 accessing class
inline constexpr unsigned VIVIFY = 24;   // u8
}  // namespace lum_mem

// Opcode 62: index get, 24 bytes (A mode at 1, class at 8, vivify at 16).
namespace lum_idx {
inline constexpr unsigned MODE = 1;
inline constexpr unsigned CLASS = 8;
inline constexpr unsigned VIVIFY = 16;
}  // namespace lum_idx
