#pragma once
// Script bytecode: opcode numbers, instruction sizes and operand positions.
//
// An instruction is one opcode byte followed by operands at fixed byte
// positions (little-endian); its size is fixed by the opcode. Padding bytes
// are zero.

#include <cstddef>
#include <cstdint>
#include <cstring>

enum lum_opcode : uint8_t {
    LUM_OP_LD_L = 1,          // replace top with local slot B
    LUM_OP_LD_LF = 2,         // as 1, then copy the slot flag byte into the cell
    LUM_OP_LD_S = 3,          // replace top with static slot B
    LUM_OP_LD_UP = 4,         // replace top with local slot C of the context at level B
    LUM_OP_LD_UPS = 5,        // replace top with static slot C of the block at level B
    LUM_OP_LD_G = 6,          // replace top with global slot B
    LUM_OP_LD_GS = 7,         // replace top with static slot B of the global block
    LUM_OP_LDI = 8,           // top := integer D
    LUM_OP_LDF = 9,           // top := float D
    LUM_OP_LDS = 10,          // top := string constant B
    LUM_OP_FN = 11,           // top := function value of child B
    LUM_OP_LDEXT = 12,        // top := native function value of record D
    LUM_OP_LDK = 13,          // top := constant cell D (shared)
    LUM_OP_NONE = 14,         // top := fresh none
    LUM_OP_BIND = 15,         // bind top (A=0) or self (A!=0) to the function below
    LUM_OP_BINDREF = 16,      // bind a reference to top to the function below
    LUM_OP_PUSH = 17,         // push a fresh none
    LUM_OP_DUP = 18,          // push the top again
    LUM_OP_POP = 19,          // pop (8 bytes)
    LUM_OP_ASSIGN = 20,
    LUM_OP_NEG = 21,
    LUM_OP_NOT = 22,
    LUM_OP_REF = 23,
    LUM_OP_DEREF = 24,
    LUM_OP_ADD = 25,
    LUM_OP_SUB = 26,
    LUM_OP_MUL = 27,
    LUM_OP_DIV = 28,
    LUM_OP_AND = 29,
    LUM_OP_OR = 30,
    LUM_OP_XOR = 31,
    LUM_OP_INC = 32,          // A: postfix
    LUM_OP_DEC = 33,          // A: postfix
    LUM_OP_EQ = 34,           // A: negate (not equal)
    LUM_OP_GT = 35,           // A: or-equal
    LUM_OP_LT = 36,           // A: or-equal
    LUM_OP_TRUTH = 37,
    LUM_OP_FRAME = 38,        // open an argument frame of B slots
    LUM_OP_FARG = 39,         // frame slot B := top (shared)
    LUM_OP_FARGC = 40,        // frame slot B := copy of top
    LUM_OP_FGET = 41,         // top := frame slot B
    LUM_OP_NCALL = 42,        // call native record D with the current frame
    LUM_OP_FCLEAR = 43,       // clear the frame above the current one
    LUM_OP_PREP = 44,         // prepare a call of top with A arguments
    LUM_OP_ARG = 45,          // store top as argument B of the prepared call
    LUM_OP_CALL = 46,         // start the prepared call
    LUM_OP_ENTER = 47,        // enter child block B
    LUM_OP_DEFAULT = 48,      // default value of parameter A
    LUM_OP_CATCH = 49,        // enter catch block B when an error was caught
    LUM_OP_ENTERLINKED = 50,  // enter the linked block
    LUM_OP_SETSELF = 51,
    LUM_OP_SELF = 52,
    LUM_OP_SELFMEM = 53,      // member B of self, C8 from-definition
    LUM_OP_NEWINST = 54,
    LUM_OP_JMP = 55,
    LUM_OP_JZ = 56,
    LUM_OP_JNZ = 57,
    LUM_OP_RET = 58,
    LUM_OP_BRK = 59,
    LUM_OP_CONT = 60,
    LUM_OP_MEM = 61,          // member by name with cache and privacy
    LUM_OP_IDX = 62,          // index get
    LUM_OP_MEMIF = 63,        // member if present
    LUM_OP_SIDX = 64,         // safe index
    LUM_OP_APPEND = 65,
    LUM_OP_NEWJSON = 66,
    LUM_OP_OWN = 67,
    LUM_OP_IDXSET = 68,
    LUM_OP_IDXGET2 = 69,
    LUM_OP_MOD = 70,
    LUM_OP_BNOT = 71,
    LUM_OP_FEXPR = 72,        // fused numeric expression
    LUM_OP_FCALL = 73,        // fused method call
};

inline constexpr unsigned LUM_OPCODE_MAX = 73;

// Instruction size in bytes per opcode (index 0 and anything above 73: 0).
inline constexpr uint8_t lum_opcode_size_table[256] = {
    0,
    8, 8, 8, 12, 12, 8, 8, 16, 16, 8,       // 1-10
    8, 16, 16, 1, 2, 1, 1, 1, 8, 1,         // 11-20
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1,           // 21-30
    1, 2, 2, 2, 2, 2, 1, 8, 8, 8,           // 31-40
    8, 16, 1, 2, 8, 1, 8, 2, 8, 1,          // 41-50
    1, 1, 12, 1, 8, 8, 8, 1, 1, 1,          // 51-60
    32, 24, 8, 1, 1, 1, 1, 16, 16, 1,       // 61-70
    1, 200, 32,                             // 71-73
};

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
