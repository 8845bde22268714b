#include "host/asm_mnemonics.h"

#include "host/assembler.h"

namespace lum_asm {

namespace {

constexpr mnemonic_spec mnemonic_table[] = {
    {"ld.l", LUM_OP_LD_L, operands::slot, 0},
    {"ld.lf", LUM_OP_LD_LF, operands::slot, 0},
    {"ld.s", LUM_OP_LD_S, operands::static_slot, 0},
    {"ld.up", LUM_OP_LD_UP, operands::level_slot, 0},
    {"ld.ups", LUM_OP_LD_UPS, operands::level_static, 0},
    {"ld.g", LUM_OP_LD_G, operands::global, 0},
    {"ld.gs", LUM_OP_LD_GS, operands::global_static, 0},
    {"ldi", LUM_OP_LDI, operands::int_const, 0},
    {"ldf", LUM_OP_LDF, operands::float_const, 0},
    {"lds", LUM_OP_LDS, operands::string, 0},
    {"fn", LUM_OP_FN, operands::child, 0},
    {"ldext", LUM_OP_LDEXT, operands::native, 0},
    {"ldk", LUM_OP_LDK, operands::constant, 0},
    {"none", LUM_OP_NONE, operands::none, 0},
    {"bind", LUM_OP_BIND, operands::none, 0},
    {"bindself", LUM_OP_BIND, operands::none, 1},
    {"bindref", LUM_OP_BINDREF, operands::none, 0},
    {"push", LUM_OP_PUSH, operands::none, 0},
    {"dup", LUM_OP_DUP, operands::none, 0},
    {"pop", LUM_OP_POP, operands::none, 0},
    {"assign", LUM_OP_ASSIGN, operands::none, 0},
    {"neg", LUM_OP_NEG, operands::none, 0},
    {"not", LUM_OP_NOT, operands::none, 0},
    {"ref", LUM_OP_REF, operands::none, 0},
    {"deref", LUM_OP_DEREF, operands::none, 0},
    {"add", LUM_OP_ADD, operands::none, 0},
    {"sub", LUM_OP_SUB, operands::none, 0},
    {"mul", LUM_OP_MUL, operands::none, 0},
    {"div", LUM_OP_DIV, operands::none, 0},
    {"and", LUM_OP_AND, operands::none, 0},
    {"or", LUM_OP_OR, operands::none, 0},
    {"xor", LUM_OP_XOR, operands::none, 0},
    {"inc", LUM_OP_INC, operands::none, 0},
    {"inc.post", LUM_OP_INC, operands::none, 1},
    {"dec", LUM_OP_DEC, operands::none, 0},
    {"dec.post", LUM_OP_DEC, operands::none, 1},
    {"eq", LUM_OP_EQ, operands::none, 0},
    {"ne", LUM_OP_EQ, operands::none, 1},
    {"gt", LUM_OP_GT, operands::none, 0},
    {"ge", LUM_OP_GT, operands::none, 1},
    {"lt", LUM_OP_LT, operands::none, 0},
    {"le", LUM_OP_LT, operands::none, 1},
    {"truth", LUM_OP_TRUTH, operands::none, 0},
    {"frame", LUM_OP_FRAME, operands::number, 0},
    {"farg", LUM_OP_FARG, operands::number, 0},
    {"fargc", LUM_OP_FARGC, operands::number, 0},
    {"fget", LUM_OP_FGET, operands::number, 0},
    {"ncall", LUM_OP_NCALL, operands::native, 0},
    {"fclear", LUM_OP_FCLEAR, operands::none, 0},
    {"prep", LUM_OP_PREP, operands::count_a, 0},
    {"arg", LUM_OP_ARG, operands::number, 0},
    {"call", LUM_OP_CALL, operands::none, 0},
    {"enter", LUM_OP_ENTER, operands::child, 0},
    {"default", LUM_OP_DEFAULT, operands::count_a, 0},
    {"catch", LUM_OP_CATCH, operands::child, 0},
    {"enterlinked", LUM_OP_ENTERLINKED, operands::none, 0},
    {"setself", LUM_OP_SETSELF, operands::none, 0},
    {"self", LUM_OP_SELF, operands::none, 0},
    {"selfmem", LUM_OP_SELFMEM, operands::selfmem, 0},
    {"newinst", LUM_OP_NEWINST, operands::none, 0},
    {"jmp", LUM_OP_JMP, operands::jump, 0},
    {"jz", LUM_OP_JZ, operands::jump, 0},
    {"jnz", LUM_OP_JNZ, operands::jump, 0},
    {"ret", LUM_OP_RET, operands::none, 0},
    {"brk", LUM_OP_BRK, operands::none, 0},
    {"cont", LUM_OP_CONT, operands::none, 0},
    {"mem", LUM_OP_MEM, operands::mem, 0},
    {"idx", LUM_OP_IDX, operands::idx, 0},
    {"memif", LUM_OP_MEMIF, operands::string, 0},
    {"sidx", LUM_OP_SIDX, operands::none, 0},
    {"append", LUM_OP_APPEND, operands::none, 0},
    {"newjson", LUM_OP_NEWJSON, operands::none, 0},
    {"own", LUM_OP_OWN, operands::none, 0},
    {"idxset", LUM_OP_IDXSET, operands::class_d, 0},
    {"idxget2", LUM_OP_IDXGET2, operands::class_d, 0},
    {"mod", LUM_OP_MOD, operands::none, 0},
    {"bnot", LUM_OP_BNOT, operands::none, 0},
    {"fexpr", LUM_OP_FEXPR, operands::fexpr, 0},
    {"fcall", LUM_OP_FCALL, operands::fcall, 0},
};

}  // namespace

const mnemonic_spec* find_mnemonic(std::string_view name) {
    for (const mnemonic_spec& m : mnemonic_table)
        if (m.name == name) return &m;
    return nullptr;
}

bool has_a_variants(uint8_t opcode) {
    return opcode == LUM_OP_BIND || opcode == LUM_OP_INC || opcode == LUM_OP_DEC || opcode == LUM_OP_EQ ||
           opcode == LUM_OP_GT || opcode == LUM_OP_LT;
}

}  // namespace lum_asm

std::string_view lum_asm_mnemonic(uint8_t opcode, uint8_t a) {
    using namespace lum_asm;
    const bool variants = has_a_variants(opcode);
    for (const mnemonic_spec& m : mnemonic_table) {
        if (m.opcode != opcode) continue;
        if (!variants || m.a == (a != 0 ? 1 : 0)) return m.name;
    }
    return {};
}
