// libFuzzer target: compiles arbitrary bytes as a kernel unit (lexer, parser,
// checker, emitter, finalize and optimizer). Every input must end in a unit or
// a positioned compile error. Each compiled program is checked against the
// invariants the engines rely on, and every program is run on the scalar
// interpreter twice, optimized and not (a loop stops at its first back edge):
// both must leave the same memory, accumulators and trap. Crashes, hangs and
// sanitizer reports are findings.
//
// Seeds and a dictionary: fuzz/seeds/kernel_compile/ and fuzz/kernel_compile.dict, e.g.
//   fuzz_kernel_compile -dict=fuzz/kernel_compile.dict -max_len=2048 corpus_dir fuzz/seeds/kernel_compile

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/checker.h"
#include "kernel/compiler/compile.h"
#include "kernel/compiler/kerror.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"

namespace {

[[noreturn]] void finding() { __builtin_trap(); }

void check_error(const kerror& e) {
    if (e.message.empty() || e.line == 0 || e.column == 0) finding();
    if (e.file != "fuzz.k" && e.file != "import.k") finding();
}

void check_code(const lumk_program& p, uint32_t reg_count) {
    if (p.code.empty() || p.code.back().op != LUMK_END) finding();
    if (p.lines.size() != p.code.size() || p.file_indexes.size() != p.code.size()) finding();
    for (const lumk_insn& insn : p.code) {
        if (insn.op >= LUMK_OP_COUNT) finding();
        if (lumk_op_is_jump(insn.op) && insn.imm >= p.code.size()) finding();
        lumk_operand_slot ops[4];
        const uint32_t n = lumk_op_operands(insn.op, ops);
        for (uint32_t i = 0; i < n; ++i) {
            const char l = ops[i].letter;
            const uint64_t v = lumk_insn_field(insn, ops[i].field);
            if ((l == 'D' || l == 'R' || l == 'I') && v >= reg_count) finding();
            if (l == 'P' && v > p.ptr_count) finding();
            if (l == 'P' && v == p.ptr_count && p.frame_bytes == 0) finding();
        }
    }
}

void check_program(const lumk_program& p) {
    if (p.reg_count == 0 || p.reg_count >= 65535) finding();
    check_code(p, p.reg_count);
    if (p.prologue) check_code(*p.prologue, p.reg_count);
    for (const lumk_const& c : p.constants)
        if (c.reg >= p.reg_count) finding();
    for (size_t i = 0; i < p.constants.size(); ++i)
        for (size_t j = i + 1; j < p.constants.size(); ++j)
            if (p.constants[i].prim == p.constants[j].prim && p.constants[i].bits == p.constants[j].bits) finding();
    if (p.frame_slot != p.ptr_count) finding();
}

bool may_loop(const lumk_program& p) {
    for (const lumk_insn& i : p.code)
        if (i.op == LUMK_LOOP) return true;
    return false;
}

struct outcome {
    uint8_t code = 0;
    std::string message;
    std::vector<std::vector<uint8_t>> memory;
    std::vector<uint64_t> acc;
    bool operator==(const outcome&) const = default;
};

// Runs three work items (a 2-D program as rows of two) with every pointer
// parameter bound to 16 zeroed elements and every value parameter set to 3.
// A program that may loop runs with the abort flag already set: it stops at
// its first back edge, which every engine polls, so it always ends.
outcome run(const lumk_program& p, bool stop_at_back_edge) {
    outcome o;
    std::vector<kreg> regs(p.reg_count);
    for (kreg& r : regs) r.u = 0;
    for (const lumk_const& c : p.constants) regs[c.reg].u = c.bits;
    regs[p.gsize].u = 3;
    regs[p.gsize_x].u = p.is_2d ? 2 : 3;
    regs[p.gsize_y].u = p.is_2d ? 2 : 1;
    std::vector<kptr> ptrs(p.ptr_count + 1);
    for (const lumk_param& prm : p.params) {
        if (!prm.type.is_pointer) {
            regs[prm.reg].u = 3;
            continue;
        }
        o.memory.emplace_back(static_cast<size_t>(prm.size) * 16, 0);
    }
    std::vector<uint8_t> frame(p.frame_bytes, 0);
    size_t m = 0;
    for (const lumk_param& prm : p.params) {
        if (!prm.type.is_pointer) continue;
        std::vector<uint8_t>& mem = o.memory[m++];
        ptrs[prm.slot] = kptr{mem.data(), prm.size ? 16u : 0u, prm.size, mem.size()};
    }
    if (p.frame_bytes) ptrs[p.frame_slot] = kptr{frame.data(), 1, p.frame_bytes, p.frame_bytes};
    ktrap trap{};
    if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &trap, 0);
    trap = ktrap{};
    static const volatile uint8_t k_abort = 1;
    o.code = lumk_run_scalar(p, regs.data(), ptrs.data(), 0, p.is_2d ? 4 : 3, stop_at_back_edge ? &k_abort : nullptr,
                             &trap, 0);
    if (o.code) o.message = lumk_trap_message(p, trap);
    for (const lumk_reduction& r : p.reductions) o.acc.push_back(regs[r.reg].u & (r.prim == LUMK_PRIM_F32 ? 0xFFFFFFFFull : ~0ull));
    return o;
}

std::shared_ptr<lumk_compiled_unit> compile(const std::vector<lumk_source>& sources, bool optimize, kerror& err) {
    auto unit = std::make_shared<lumk_compiled_unit>();
    unit->sources = sources;
    try {
        lumk_lexer lexer;
        std::vector<lumk_decl> decls = lumk_parse_sources(lexer, unit->sources);
        lumk_checker ck(lexer.sources, decls, *unit);
        ck.optimize = optimize ? 1 : 0;
        lumk_check_unit(ck);
        return unit;
    } catch (const kerror& e) {
        err = e;
        return nullptr;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const bool unchecked = input.find("unchecked") != std::string_view::npos;
    // A 0x01 byte splits the input into an imported source and the unit's own source.
    std::vector<lumk_source> sources;
    const size_t cut = input.find('\x01');
    if (cut != std::string_view::npos) {
        sources.push_back(lumk_source{std::string(input.substr(0, cut)), "import.k"});
        input = input.substr(cut + 1);
    }
    sources.push_back(lumk_source{std::string(input), "fuzz.k"});

    kerror err;
    std::shared_ptr<lumk_compiled_unit> opt = compile(sources, true, err);
    if (!opt) {
        check_error(err);
        kerror err2;
        if (compile(sources, false, err2)) finding();  // the optimizer never decides whether a unit compiles
        if (err2.message != err.message || err2.line != err.line || err2.column != err.column) finding();
        return 0;
    }
    std::shared_ptr<lumk_compiled_unit> plain = compile(sources, false, err);
    if (!plain || plain->programs.size() != opt->programs.size()) finding();
    for (size_t i = 0; i < opt->programs.size(); ++i) {
        const lumk_program& a = *opt->programs[i];
        const lumk_program& b = *plain->programs[i];
        check_program(a);
        check_program(b);
        // Unchecked blocks may touch memory out of bounds by design, so those
        // are not run; loops run up to their first back edge.
        if (unchecked) continue;
        const bool loops = may_loop(b);
        if (!(run(a, loops) == run(b, loops))) finding();
    }
    return 0;
}
