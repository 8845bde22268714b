#include "kernel/compiler/finalize.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel/compiler/checker.h"
#include "kernel/compiler/kerror.h"
#include "kernel/compiler/optimizer.h"
#include "kernel/compiler/program.h"

namespace {

// The register file must stay below this size (registers plus constants).
constexpr uint32_t kMaxRegisterFile = 65535;

// At the kernel's declaration (line 1 when a hand-built program has none).
[[noreturn]] void fail(const lumk_program& p, std::string message) {
    throw kerror(p.file, std::max<uint32_t>(p.line, 1), 1, std::move(message), "");
}

[[noreturn]] void internal(const lumk_program& p, const char* what) {
    fail(p, std::string("internal compile error: ") + what);
}

// Calls f(letter, register number) for every register operand (D, R, I) and
// writes back the number f returns. Opcodes must be valid.
template <class F>
void rewrite_registers(lumk_insn& insn, F&& f) {
    const lumk_op_decoded& d = lumk_op_decode(insn.op);
    for (uint32_t i = 0; i < d.reg_count; ++i) {
        const lumk_operand_slot& s = d.regs[i];
        const uint32_t r = static_cast<uint32_t>(lumk_insn_register(insn, s));
        const uint32_t to = f(s.letter, r);
        if (to != r) lumk_insn_set_register(insn, s, to);
    }
}

template <class F>
void rewrite_program_registers(lumk_program& p, F&& f) {
    for (lumk_insn& insn : p.code) rewrite_registers(insn, f);
    if (p.prologue)
        for (lumk_insn& insn : p.prologue->code) rewrite_registers(insn, f);
}

// Code ends with END; the line and file-index tables match the code.
void normalize_shape(lumk_program& p) {
    if (p.code.empty() || p.code.back().op != LUMK_END) p.code.push_back(lumk_insn{LUMK_END, 0, 0, 0, 0});
    const size_t n = p.code.size();
    const uint32_t last_line = p.lines.empty() ? p.line : p.lines.back();
    const uint16_t last_file = p.file_indexes.empty() ? 0 : p.file_indexes.back();
    p.lines.resize(n, last_line);
    p.file_indexes.resize(n, last_file);
}

// Every jump lands inside the code, every register operand is a known
// register or constant, and no constant is written.
uint32_t check_operands(const lumk_program& p, uint32_t register_count) {
    const size_t n = p.code.size();
    for (const lumk_insn& insn : p.code) {
        if (insn.op >= LUMK_OP_COUNT) internal(p, "unknown opcode");
        const lumk_op_decoded& d = lumk_op_decode(insn.op);
        if (d.jump && insn.imm >= n) internal(p, "jump target outside the code");
        for (uint32_t i = 0; i < d.reg_count; ++i) {
            const lumk_operand_slot& s = d.regs[i];
            const uint64_t raw = lumk_insn_field(insn, s.field);
            const uint64_t r = s.letter == 'I' ? (raw & 0xFFFF) : raw;
            if (s.letter == 'I' && raw > 0xFFFF) internal(p, "register operand out of range");
            if (r >= LUMK_CONST_OPERAND) {
                if (s.letter == 'D') internal(p, "a constant is written");
                if (r - LUMK_CONST_OPERAND >= p.constants.size()) internal(p, "unknown constant");
            } else {
                register_count = std::max(register_count, static_cast<uint32_t>(r) + 1);
            }
        }
    }
    return register_count;
}

// Merges constant-pool entries with equal (scalar code, bits). Bits are
// compared as integers, so +0.0 and -0.0 (or two NaN patterns) stay apart.
void dedupe_constants(lumk_program& p) {
    // The checker's pools are duplicate-free already; small pools are checked
    // by comparing every pair, before anything is allocated.
    const size_t n = p.constants.size();
    if (n <= 64) {
        bool duplicate = false;
        for (size_t i = 0; i < n && !duplicate; ++i)
            for (size_t j = i + 1; j < n && !duplicate; ++j)
                duplicate = p.constants[i].prim == p.constants[j].prim && p.constants[i].bits == p.constants[j].bits;
        if (!duplicate) return;
    }
    std::map<std::pair<uint32_t, uint64_t>, uint32_t> first;
    std::vector<uint32_t> to(n);
    std::vector<lumk_const> kept;
    for (size_t i = 0; i < n; ++i) {
        const lumk_const& c = p.constants[i];
        auto [it, fresh] = first.emplace(std::make_pair(uint32_t{c.prim}, c.bits), static_cast<uint32_t>(kept.size()));
        if (fresh) kept.push_back(c);
        to[i] = it->second;
    }
    if (kept.size() == n) return;
    rewrite_program_registers(p, [&](char, uint32_t r) {
        return r >= LUMK_CONST_OPERAND ? LUMK_CONST_OPERAND + to[r - LUMK_CONST_OPERAND] : r;
    });
    p.constants = std::move(kept);
}

}  // namespace

void lumk_finalize_code(lumk_program& p, uint32_t register_count, bool optimize) {
    normalize_shape(p);
    register_count = check_operands(p, std::max<uint32_t>(register_count, 7));
    dedupe_constants(p);

    if (optimize) register_count = lumk_optimize_program(p, register_count).registers_after;

    // Constants sit right after the working registers, in pool order.
    const uint64_t total = uint64_t{register_count} + p.constants.size();
    if (total >= kMaxRegisterFile) fail(p, "kernel is too large (too many registers)");
    for (size_t i = 0; i < p.constants.size(); ++i) p.constants[i].reg = static_cast<uint16_t>(register_count + i);
    rewrite_program_registers(p, [&](char, uint32_t r) {
        return r >= LUMK_CONST_OPERAND ? register_count + (r - LUMK_CONST_OPERAND) : r;
    });
    p.reg_count = static_cast<uint32_t>(total);
    if (p.prologue) lumk_copy_program_header(*p.prologue, p);
}

void lumk_finalize_program(lumk_checker& checker, lumk_program& program) {
    for (const lumk_fixup& f : checker.fixups) {
        if (f.insn >= program.code.size() || f.label >= checker.labels.size() || checker.labels[f.label] < 0)
            lumk_internal_error(checker, "unresolved jump");
        program.code[f.insn].imm = static_cast<uint64_t>(checker.labels[f.label]);
    }
    try {
        lumk_finalize_code(program, checker.reg_count, checker.optimize != 0);
    } catch (const kerror& e) {
        // Report at the checker's position, as every other compile error.
        lumk_error_here(checker, e.message);
    }
}
