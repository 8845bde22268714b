#include "host/asm_listing.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "host/asm_mnemonics.h"
#include "host/assembler.h"
#include "vm/opcode.h"
#include "vm/program_block.h"

namespace lum_asm {

std::string escape_string(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 32) {
                    static const char digits[] = "0123456789abcdef";
                    out += "\\x";
                    out += digits[(c >> 4) & 15];
                    out += digits[c & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string format_double(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    std::string s = buf;
    if (std::isfinite(v) && s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

}  // namespace lum_asm

namespace {

using namespace lum_asm;

std::string hex_bytes(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) out += ' ';
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

struct lister {
    const lum_assembly& as;
    const lum_program_block& block;

    std::string string_text(uint32_t index) const {
        const auto& strings = block.strings;
        if (strings && index < strings->size()) return escape_string((*strings)[index]);
        return "#" + std::to_string(index);
    }
    std::string child_text(uint32_t index) const {
        if (index < block.children.size() && block.children[index]) return block.children[index]->name;
        return std::to_string(index);
    }
    static std::string named(const std::unordered_map<uint64_t, std::string>& names, uint64_t address) {
        auto it = names.find(address);
        if (it != names.end()) return it->second;
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(address));
        return buf;
    }
    std::string class_text(uint64_t address) const {
        if (address == 0) return {};
        return " cls=" + named(as.class_names, address);
    }
    static std::string target_text(uint32_t offset, int64_t distance) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%04llx", static_cast<unsigned long long>(static_cast<int64_t>(offset) + distance));
        return buf;
    }
    std::string place_text(uint8_t kind, uint8_t level, uint32_t operand) const {
        switch (kind) {
            case lum_fexpr::IT_LOCAL: return "l:" + std::to_string(operand);
            case lum_fexpr::IT_UP: return "up:" + std::to_string(level) + "," + std::to_string(operand);
            case lum_fexpr::IT_GLOBAL: return "g:" + std::to_string(operand);
            case lum_fexpr::IT_SELF: return "self:" + std::to_string(operand);
            case lum_fexpr::IT_PATH: return "path:" + std::to_string(operand);
            default: return "kind" + std::to_string(kind) + ":" + std::to_string(operand);
        }
    }

    std::string fexpr_text(const uint8_t* insn, uint32_t offset) const {
        using namespace lum_fexpr;
        std::string out = "fexpr dst=";
        const uint8_t dest = insn[DEST_KIND];
        const uint32_t dslot = lum_read_operand<uint32_t>(insn, DEST_SLOT);
        if (dest == DEST_TOP) out += "none";
        else if (dest == DEST_LOCAL) out += place_text(IT_LOCAL, 0, dslot);
        else if (dest == DEST_UP) out += place_text(IT_UP, insn[DEST_LEVEL], dslot);
        else out += place_text(static_cast<uint8_t>(dest - 1), insn[DEST_LEVEL], dslot);
        const uint8_t count = std::min<uint8_t>(insn[COUNT], MAX_ITEMS);
        const uint8_t mask = insn[FLOAT_MASK];
        for (unsigned i = 0; i < count; ++i) {
            const uint8_t* item = insn + ITEMS + i * 8;
            const uint32_t operand = lum_read_operand<uint32_t>(item, 4);
            out += ' ';
            if (item[0] == IT_CONST) {
                if (operand < MAX_CONSTS) {
                    const int64_t bits = lum_read_operand<int64_t>(insn, CONSTS + operand * 8);
                    if (mask & (1u << operand)) out += "f:" + format_double(std::bit_cast<double>(bits));
                    else out += "i:" + std::to_string(bits);
                } else {
                    out += "const" + std::to_string(operand);
                }
                continue;
            }
            bool is_op = false;
            for (const fexpr_op_name& op : fexpr_ops) {
                if (op.kind == item[0]) {
                    out += op.name;
                    is_op = true;
                    break;
                }
            }
            if (!is_op) out += place_text(item[0], item[1], operand);
        }
        out += " skip=" + target_text(offset, lum_read_operand<uint32_t>(insn, JUMP));
        return out;
    }

    std::string fcall_text(const uint8_t* insn, uint32_t offset) const {
        using namespace lum_fcall;
        std::string out = "fcall " + string_text(lum_read_operand<uint32_t>(insn, NAME));
        out += " argc=" + std::to_string(insn[ARGC]);
        if (insn[SELF_FORM] != 0) out += " self=" + std::to_string(lum_read_operand<uint32_t>(insn, MEMBER));
        else out += " cache=" + std::to_string(lum_read_operand<uint32_t>(insn, CACHE));
        out += class_text(lum_read_operand<uint64_t>(insn, CLASS));
        if (insn[ENABLED] == 0) out += " disabled";
        out += " skip=" + target_text(offset, lum_read_operand<uint32_t>(insn, JUMP));
        return out;
    }

    std::string text(const uint8_t* insn, uint32_t offset, uint32_t size) const {
        using namespace lum_operand;
        const uint8_t op = insn[0];
        if (lum_opcode_size(op) == 0 || lum_opcode_size(op) != size) return "op " + std::to_string(op);
        const std::string mn(lum_asm_mnemonic(op, size > 1 ? insn[A] : 0));
        auto b32 = [&] { return lum_read_operand<uint32_t>(insn, B); };
        const mnemonic_spec* m = find_mnemonic(mn);
        if (m == nullptr) return "op " + std::to_string(op);
        switch (m->kind) {
            case operands::none: return mn;
            case operands::slot:
            case operands::static_slot:
            case operands::global:
            case operands::global_static:
            case operands::number: return mn + " " + std::to_string(b32());
            case operands::level_slot:
            case operands::level_static:
                return mn + " " + std::to_string(b32()) + ", " + std::to_string(lum_read_operand<uint32_t>(insn, C));
            case operands::int_const: return mn + " " + std::to_string(lum_read_operand<int64_t>(insn, D));
            case operands::float_const: return mn + " " + format_double(lum_read_operand<double>(insn, D));
            case operands::string: return mn + " " + string_text(b32());
            case operands::child: return mn + " " + child_text(b32());
            case operands::native: return mn + " " + named(as.native_names, lum_read_operand<uint64_t>(insn, D));
            case operands::constant: return mn + " " + named(as.constant_names, lum_read_operand<uint64_t>(insn, D));
            case operands::count_a: return mn + " " + std::to_string(insn[A]);
            case operands::jump: return mn + " " + target_text(offset, lum_read_operand<int32_t>(insn, B));
            case operands::selfmem: return mn + " " + std::to_string(b32()) + (insn[C8] != 0 ? " def" : "");
            case operands::mem:
                return mn + " " + string_text(lum_read_operand<uint32_t>(insn, lum_mem::NAME)) +
                       " cache=" + std::to_string(lum_read_operand<uint32_t>(insn, lum_mem::CACHE)) +
                       class_text(lum_read_operand<uint64_t>(insn, lum_mem::CLASS)) +
                       (insn[lum_mem::VIVIFY] != 0 ? " viv" : "");
            case operands::idx:
                return mn + " mode=" + std::to_string(insn[lum_idx::MODE]) +
                       class_text(lum_read_operand<uint64_t>(insn, lum_idx::CLASS)) +
                       (insn[lum_idx::VIVIFY] != 0 ? " viv" : "");
            case operands::class_d: return mn + class_text(lum_read_operand<uint64_t>(insn, D));
            case operands::fexpr: return fexpr_text(insn, offset);
            case operands::fcall: return fcall_text(insn, offset);
        }
        return mn;
    }
};

std::string block_header(const lum_assembly& as, const lum_assembly::block_info& info) {
    const lum_program_block& b = *info.block;
    static const char* const kinds[] = {"plain", "function", "loop", "?", "top"};
    std::string out = ".block " + b.name + " kind=" + (b.kind <= 4 ? kinds[b.kind] : "?");
    out += " slots=" + std::to_string(b.num_slots);
    out += " params=" + std::to_string(b.num_params);
    out += " first_default=" + (b.first_default == LUM_NO_DEFAULT ? std::string("none") : std::to_string(b.first_default));
    if (b.num_bound != 0) out += " bound=" + std::to_string(b.num_bound);
    if (b.flags != 0) {
        std::string flags;
        const std::pair<uint8_t, const char*> names[] = {{LUM_BLOCK_FLAG_TRY, "try"},
                                                         {LUM_BLOCK_FLAG_FUNCTION, "function"},
                                                         {LUM_BLOCK_FLAG_EPILOGUE, "epilogue"},
                                                         {LUM_BLOCK_FLAG_METHOD, "method"}};
        for (const auto& [bit, name] : names) {
            if ((b.flags & bit) == 0) continue;
            if (!flags.empty()) flags += ',';
            flags += name;
        }
        out += " flags=" + flags;
    }
    if (!b.statics.empty()) out += " statics=" + std::to_string(b.statics.size());
    if (b.kind == LUM_BLOCK_LOOP) out += " restart=" + std::to_string(b.loop_restart);
    if (lum_program_block* l = b.linked.get()) out += " linked=" + l->name;
    if (!info.parent.empty()) out += "  ; child of " + info.parent;
    out += '\n';
    if (!b.children.empty()) {
        out += "        ; children:";
        for (size_t i = 0; i < b.children.size(); ++i)
            out += " " + std::to_string(i) + "=" + (b.children[i] ? b.children[i]->name : std::string("?"));
        out += '\n';
    }
    if (!b.member_cache.empty()) out += "        ; member-cache entries: " + std::to_string(b.member_cache.size()) + '\n';
    for (size_t i = 0; i < b.member_paths.size(); ++i) {
        const lum_member_path& p = b.member_paths[i];
        lister l{as, b};
        out += "        ; member path " + std::to_string(i) + ": " +
               l.place_text(p.holder_kind, p.holder_level, p.holder_slot) + " name=" + l.string_text(p.name) + '\n';
    }
    return out;
}

}  // namespace

std::string lum_assembly::listing() const {
    constexpr size_t per_row = 16;
    std::string out;
    if (program) out += ".program " + escape_string(program->name) + '\n';
    for (const block_info& info : blocks) {
        if (info.block == nullptr) continue;
        const lum_program_block& b = *info.block;
        out += '\n';
        out += block_header(*this, info);
        lister l{*this, b};
        for (const item& it : info.items) {
            const uint8_t* insn = b.code.data() + it.offset;
            const std::string mnemonic = it.raw ? ".bytes" : l.text(insn, it.offset, it.size);
            for (size_t row = 0; row == 0 || row * per_row < it.size; ++row) {
                const size_t n = std::min<size_t>(per_row, it.size - std::min<size_t>(it.size, row * per_row));
                char offset[16];
                std::snprintf(offset, sizeof offset, "%04x", static_cast<unsigned>(it.offset + row * per_row));
                std::string bytes = hex_bytes(insn + row * per_row, n);
                out += "  ";
                out += row == 0 ? offset : "    ";
                out += "  ";
                if (row == 0) {
                    bytes.resize(per_row * 3, ' ');
                    out += bytes;
                    out += mnemonic;
                } else {
                    out += bytes;
                }
                out += '\n';
            }
        }
        out += ".end\n";
    }
    return out;
}
