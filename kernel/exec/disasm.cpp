#include "kernel/exec/disasm.h"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "kernel/compiler/kernel_types.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/bytecode.h"

namespace {

constexpr size_t k_operand_column = 22;
constexpr size_t k_line_column = 64;
constexpr const char* k_prologue_suffix = " (prologue)";

// Pads the current line (the text after the last line break) with spaces.
void pad_to(std::string& out, size_t line_start, size_t column) {
    const size_t len = out.size() - line_start;
    if (len < column) out.append(column - len, ' ');
}

std::string slot_name(const lumk_program& p, uint64_t slot) {
    if (p.frame_bytes != 0 && slot == p.frame_slot) return "frame";
    for (const lumk_param& prm : p.params)
        if (prm.type.is_pointer && prm.slot == slot) return prm.name;
    return "?";
}

bool is_prologue(const lumk_program& p) {
    const size_t n = std::strlen(k_prologue_suffix);
    return p.name.size() > n && p.name.compare(p.name.size() - n, n, k_prologue_suffix) == 0;
}

std::string constant_text(const lumk_const& k) {
    char buf[64];
    switch (k.prim) {
        case LUMK_PRIM_U64: std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(k.bits)); break;
        case LUMK_PRIM_F32:
            std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(k.bits))));
            break;
        case LUMK_PRIM_F64: std::snprintf(buf, sizeof buf, "%.17g", std::bit_cast<double>(k.bits)); break;
        default: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(k.bits)); break;
    }
    return buf;
}

}  // namespace

std::string lumk_reg_name(const lumk_program& program, int64_t reg) {
    std::string s = "r" + std::to_string(reg);
    if (reg >= 0 && static_cast<uint64_t>(reg) < program.reg_names.size() && !program.reg_names[reg].empty())
        s += "(" + program.reg_names[reg] + ")";
    return s;
}

std::string lumk_disasm_code(const lumk_program& program) {
    std::string out;
    const bool prologue = is_prologue(program);
    for (size_t pc = 0; pc < program.code.size(); ++pc) {
        const lumk_insn& insn = program.code[pc];
        if (prologue && insn.op == LUMK_END) continue;
        const size_t line_start = out.size();
        char head[32];
        std::snprintf(head, sizeof head, "  %04u  ", static_cast<unsigned>(pc));
        out += head;
        out += lumk_op_name(insn.op);
        pad_to(out, line_start, k_operand_column);

        lumk_operand_slot ops[4];
        const uint32_t count = lumk_op_operands(insn.op, ops);
        for (uint32_t i = 0; i < count; ++i) {
            if (i != 0) out += ", ";
            const bool from_imm = ops[i].field == LUMK_FIELD_IMM;
            const uint64_t raw = lumk_insn_field(insn, ops[i].field);
            // imm prints as a signed 64-bit number, a, b and c as unsigned 16-bit ones.
            const int64_t v = from_imm ? static_cast<int64_t>(raw) : static_cast<int64_t>(raw & 0xFFFFu);
            switch (ops[i].letter) {
                case 'D':
                case 'R':
                case 'I': out += lumk_reg_name(program, v); break;
                case 'J': out += "@" + std::to_string(v); break;
                case 'K':
                case 'S': out += "#" + std::to_string(v); break;
                case 'O':
                    if (v == 0) {
                        if (out.size() >= 2 && out.compare(out.size() - 2, 2, ", ") == 0) out.resize(out.size() - 2);
                    } else if (v > 0) {
                        out += "+" + std::to_string(v);
                    } else {
                        out += "-" + std::to_string(0 - static_cast<uint64_t>(v));
                    }
                    break;
                case 'P': out += "p" + std::to_string(v) + "(" + slot_name(program, static_cast<uint64_t>(v)) + ")"; break;
                case 'T':
                    if (std::strncmp(lumk_op_name(insn.op), "MATH", 4) == 0)
                        out += v >= 0 && v <= 15 ? lumk_math_name(static_cast<uint32_t>(v)) : "?";
                    else
                        out += lumk_prim_name(static_cast<uint32_t>(raw & 0xFFu));
                    break;
                default: break;
            }
        }
        if (pc < program.lines.size()) {
            pad_to(out, line_start, k_line_column);
            out += "; line " + std::to_string(program.lines[pc]);
        }
        out += '\n';
    }
    return out;
}

std::string lumk_disasm(const lumk_program& program) {
    std::ostringstream os;
    os << "kernel " << program.name << "(";
    for (size_t i = 0; i < program.params.size(); ++i) {
        const lumk_param& prm = program.params[i];
        if (i != 0) os << ", ";
        os << prm.type_text << " " << prm.name;
        if (prm.type.is_pointer)
            os << " -> p" << prm.slot;
        else
            os << " -> r" << prm.reg;
    }
    os << ")";
    if (program.result_type.prim != LUMK_PRIM_VOID) os << " -> " << program.result_type_text;
    os << "\n";

    os << "  registers: " << program.reg_count << ", pointers: " << program.ptr_count << ", gid: r" << program.gid
       << ", gsize: r" << program.gsize;
    if (program.reductions.size() == 1) {
        os << ", acc: r" << program.reductions[0].reg;
    } else if (program.reductions.size() > 1) {
        os << ", acc:";
        for (const lumk_reduction& r : program.reductions) os << " " << r.field << "=r" << r.reg;
    }
    if (program.frame_bytes != 0)
        os << ", frame: p" << program.frame_slot << " (" << program.frame_bytes << " bytes)";
    os << "\n";

    for (const lumk_const& k : program.constants)
        os << "  const r" << k.reg << " = " << constant_text(k) << " (" << lumk_prim_name(k.prim) << ")\n";

    if (program.prologue) {
        os << "  prologue (once per lane runner):\n" << lumk_disasm_code(*program.prologue) << "  main:\n";
    }
    os << lumk_disasm_code(program);
    return os.str();
}
