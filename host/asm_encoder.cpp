#include "host/asm_encoder.h"

#include <bit>
#include <optional>
#include <string>
#include <string_view>

#include "host/asm_mnemonics.h"
#include "vm/opcode.h"

namespace lum_asm {

namespace {

class encoder {
public:
    explicit encoder(state& s) : s_(s) {}

private:
    // -- operands ---------------------------------------------------------------

    uint32_t string_operand(std::string_view s) {
        if (is_string_literal(s)) return s_.builder.intern(parse_string(s));
        if (!s.empty() && s[0] == '#') return parse_u32(s.substr(1), "string index");
        fail("expected \"text\" or #N, got " + quote(s));
    }

    uint32_t child_operand(block_state& b, std::string_view s) {
        if (try_int(s)) return parse_u32(s, "child index");
        auto it = b.child_index.find(std::string(s));
        if (it != b.child_index.end()) return it->second;
        if (s_.block_names.count(std::string(s)) != 0)
            fail("block " + quote(s) + " is not a child of block " + quote(b.name));
        fail("unknown block " + quote(s));
    }

    uint64_t native_operand(std::string_view s) {
        if (s.empty() || s[0] != '@') fail("expected @NATIVE, got " + quote(s));
        auto it = s_.natives.find(std::string(s.substr(1)));
        if (it == s_.natives.end()) fail("unknown native " + quote(s.substr(1)) + " (declare it with .native)");
        return reinterpret_cast<uintptr_t>(it->second);
    }

    uint64_t constant_operand(std::string_view s) {
        if (s.empty() || s[0] != '=') fail("expected =CONST, got " + quote(s));
        auto it = s_.constants.find(std::string(s.substr(1)));
        if (it == s_.constants.end()) fail("unknown constant " + quote(s.substr(1)) + " (declare it with .const)");
        return reinterpret_cast<uintptr_t>(it->second);
    }

    // The value after "cls=": 0 or a class name.
    uint64_t class_value(std::string_view s) {
        if (s == "0") return 0;
        for (const class_decl& c : s_.classes)
            if (c.name == s) return reinterpret_cast<uintptr_t>(c.def);
        fail("unknown class " + quote(s));
    }

    uint32_t cache_operand(block_state& b, std::string_view s) {
        if (s == "auto") return b.builder->cache();
        if (try_int(s)) return parse_u32(s, "cache index");
        if (!is_name(s)) fail("expected cache=auto, cache=NAME or cache=N, got " + quote(s));
        auto it = b.caches.find(std::string(s));
        if (it == b.caches.end()) it = b.caches.emplace(std::string(s), b.builder->cache()).first;
        return it->second;
    }

    uint32_t path_operand(block_state& b, std::string_view s) {
        if (try_int(s)) return parse_u32(s, "member path index");
        auto it = b.paths.find(std::string(s));
        if (it == b.paths.end()) fail("unknown member path " + quote(s) + " in block " + quote(b.name));
        return it->second;
    }

    // -- instructions -------------------------------------------------------------

public:
    void emit_instruction(block_state& b, const std::vector<token>& t, size_t first, uint32_t line) {
        const std::string& name = t[first].text;
        lum_block_builder& bb = *b.builder;
        std::vector<std::string_view> ops;
        for (size_t i = first + 1; i < t.size(); ++i) ops.push_back(t[i].text);
        const uint32_t at = bb.offset();

        if (name == "op") {
            emit_generic(b, ops, line);
        } else {
            const mnemonic_spec* m = find_mnemonic(name);
            if (m == nullptr) fail("unknown instruction " + quote(name));
            const std::string usage = usage_of(*m);
            auto one = [&] {
                if (ops.size() != 1) fail("usage: " + usage);
                return ops[0];
            };
            switch (m->kind) {
                case operands::none:
                    if (!ops.empty()) fail("usage: " + usage);
                    bb.emit(m->opcode, has_a_variants(m->opcode) ? lum_insn_fields{.A = m->a} : lum_insn_fields{});
                    break;
                case operands::slot:
                case operands::static_slot:
                case operands::global:
                case operands::global_static:
                case operands::number:
                    bb.emit(m->opcode, {.B = parse_u32(one(), "the operand")});
                    break;
                case operands::level_slot:
                case operands::level_static: {
                    std::string joined;
                    for (std::string_view o : ops) {
                        if (!joined.empty()) joined += ',';
                        joined += o;
                    }
                    std::vector<std::string> parts = split_list(joined);
                    if (parts.size() != 2) fail("usage: " + usage);
                    bb.emit(m->opcode, {.B = parse_u32(parts[0], "level"), .C = parse_u32(parts[1], "slot")});
                    break;
                }
                case operands::int_const:
                    bb.ldi(parse_int(one(), "ldi"));
                    break;
                case operands::float_const:
                    bb.ldf(parse_float(one(), "ldf"));
                    break;
                case operands::string:
                    bb.emit(m->opcode, {.B = string_operand(one())});
                    break;
                case operands::child:
                    bb.emit(m->opcode, {.B = child_operand(b, one())});
                    break;
                case operands::native:
                    bb.emit(m->opcode, {.D = native_operand(one())});
                    break;
                case operands::constant:
                    bb.emit(m->opcode, {.D = constant_operand(one())});
                    break;
                case operands::count_a:
                    bb.emit(m->opcode, {.A = parse_u8(one(), "the operand")});
                    break;
                case operands::jump: {
                    std::string_view target = one();
                    if (!is_name(target)) fail("expected a label, got " + quote(target));
                    bb.emit_to(m->opcode, b.label(std::string(target), line).label);
                    break;
                }
                case operands::selfmem: {
                    if (ops.empty() || ops.size() > 2) fail("usage: " + usage);
                    uint8_t def = 0;
                    if (ops.size() == 2) {
                        if (ops[1] != "def") fail("usage: " + usage);
                        def = 1;
                    }
                    bb.emit(m->opcode, {.B = parse_u32(ops[0], "member index"), .C8 = def});
                    break;
                }
                case operands::mem: emit_mem(b, ops, usage); break;
                case operands::idx: emit_idx(b, ops, usage); break;
                case operands::class_d: {
                    uint64_t cls = 0;
                    for (std::string_view o : ops) {
                        auto [key, value] = split_key(o);
                        if (key != "cls") fail("usage: " + usage);
                        cls = class_value(value);
                    }
                    bb.emit(m->opcode, {.D = cls});
                    break;
                }
                case operands::fexpr: emit_fexpr(b, ops, line); break;
                case operands::fcall: emit_fcall(b, ops, line, usage); break;
            }
        }
        b.items.push_back({at, bb.offset() - at, line, false});
    }

private:
    static std::string usage_of(const mnemonic_spec& m) {
        std::string u(m.name);
        switch (m.kind) {
            case operands::none: break;
            case operands::slot:
            case operands::static_slot:
            case operands::global:
            case operands::global_static: u += " S"; break;
            case operands::number: u += " N"; break;
            case operands::level_slot:
            case operands::level_static: u += " L, S"; break;
            case operands::int_const: u += " N"; break;
            case operands::float_const: u += " X"; break;
            case operands::string: u += " \"text\""; break;
            case operands::child: u += " CHILD"; break;
            case operands::native: u += " @NATIVE"; break;
            case operands::constant: u += " =CONST"; break;
            case operands::count_a: u += " N"; break;
            case operands::jump: u += " LABEL"; break;
            case operands::selfmem: u += " I [def]"; break;
            case operands::mem: u += " \"name\" [cache=auto|NAME] [cls=C] [viv]"; break;
            case operands::idx: u += " [mode=N] [cls=C] [viv]"; break;
            case operands::class_d: u += " [cls=C]"; break;
            case operands::fexpr: u += " dst=DEST [ITEM ...] skip=LABEL"; break;
            case operands::fcall:
                u += " \"name\" argc=N [self=I] [cache=auto|NAME] [cls=C] [disabled] skip=LABEL";
                break;
        }
        return u;
    }

    void emit_mem(block_state& b, const std::vector<std::string_view>& ops, const std::string& usage) {
        if (ops.empty()) fail("usage: " + usage);
        const uint32_t name = string_operand(ops[0]);
        std::optional<uint32_t> cache;
        uint64_t cls = 0;
        uint8_t viv = 0;
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key == "cache") cache = cache_operand(b, value);
            else if (key == "cls") cls = class_value(value);
            else if (key.empty() && value == "viv") viv = 1;
            else fail("usage: " + usage);
        }
        if (!cache) cache = b.builder->cache();
        b.builder->emit(LUM_OP_MEM, {.B = name, .C = *cache, .E = cls, .F = viv});
    }

    void emit_idx(block_state& b, const std::vector<std::string_view>& ops, const std::string& usage) {
        uint8_t mode = 1;
        uint64_t cls = 0;
        uint8_t viv = 0;
        for (std::string_view o : ops) {
            auto [key, value] = split_key(o);
            if (key == "mode") mode = parse_u8(value, "mode");
            else if (key == "cls") cls = class_value(value);
            else if (key.empty() && value == "viv") viv = 1;
            else fail("usage: " + usage);
        }
        b.builder->emit(LUM_OP_IDX, {.A = mode, .D = cls, .E8 = viv});
    }

    // "l:S", "up:L,S", "g:S", "self:S", "path:P" -> {kind (item numbering), level, operand}.
    std::optional<lum_fexpr_item> fexpr_place(block_state& b, std::string_view s) {
        const size_t colon = s.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        const std::string_view kind = s.substr(0, colon);
        const std::string_view rest = s.substr(colon + 1);
        if (kind == "path") return lum_fexpr_item{lum_fexpr::IT_PATH, 0, path_operand(b, rest)};
        if (kind == "l" || kind == "g" || kind == "self" || kind == "up") {
            auto [k, level, slot] = parse_holder(s);
            return lum_fexpr_item{k, level, slot};
        }
        return std::nullopt;
    }

    void emit_fexpr(block_state& b, const std::vector<std::string_view>& ops, uint32_t line) {
        lum_fexpr_form form;
        std::optional<std::string> skip;
        bool have_dst = false;
        for (std::string_view o : ops) {
            auto [key, value] = split_key(o);
            if (key == "dst") {
                have_dst = true;
                if (value == "none") {
                    form.dest_kind = lum_fexpr::DEST_TOP;
                    continue;
                }
                std::optional<lum_fexpr_item> place = fexpr_place(b, value);
                if (!place) fail("fexpr destination must be none, l:S, up:L,S, g:S, self:S or path:P, got " + quote(value));
                switch (place->kind) {
                    case lum_fexpr::IT_LOCAL: form.dest_kind = lum_fexpr::DEST_LOCAL; break;
                    case lum_fexpr::IT_UP: form.dest_kind = lum_fexpr::DEST_UP; break;
                    case lum_fexpr::IT_GLOBAL: form.dest_kind = lum_fexpr::DEST_GLOBAL; break;
                    case lum_fexpr::IT_SELF: form.dest_kind = lum_fexpr::DEST_SELF; break;
                    default: form.dest_kind = lum_fexpr::DEST_PATH; break;
                }
                form.dest_level = place->level;
                form.dest_slot = place->operand;
                continue;
            }
            if (key == "skip") {
                if (!is_name(value)) fail("skip needs a label, got " + quote(value));
                skip = std::string(value);
                continue;
            }
            if (!key.empty()) fail("unknown fexpr operand " + quote(o));
            if (form.items.size() >= lum_fexpr::MAX_ITEMS) fail("fexpr takes at most 16 items");
            if (o.size() > 2 && (o.substr(0, 2) == "i:" || o.substr(0, 2) == "f:")) {
                if (form.const_count >= lum_fexpr::MAX_CONSTS) fail("fexpr takes at most 6 constants");
                if (o[0] == 'i') form.int_const(parse_int(o.substr(2), "an integer constant"));
                else form.float_const(parse_float(o.substr(2), "a float constant"));
                continue;
            }
            if (std::optional<lum_fexpr_item> place = fexpr_place(b, o)) {
                form.items.push_back(*place);
                continue;
            }
            bool found = false;
            for (const fexpr_op_name& op : fexpr_ops) {
                if (op.name == o) {
                    form.op(op.kind);
                    found = true;
                    break;
                }
            }
            if (!found) fail("unknown fexpr item " + quote(o));
        }
        if (!have_dst) fail("fexpr needs dst=DEST");
        if (!skip) fail("fexpr needs skip=LABEL");
        b.builder->fexpr(form, b.label(*skip, line).label);
    }

    void emit_fcall(block_state& b, const std::vector<std::string_view>& ops, uint32_t line, const std::string& usage) {
        if (ops.empty()) fail("usage: " + usage);
        lum_fcall_spec form;
        form.name = string_operand(ops[0]);
        std::optional<uint32_t> cache;
        std::optional<std::string> skip;
        bool have_argc = false;
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key == "argc") {
                form.argc = parse_u8(value, "argc");
                have_argc = true;
            } else if (key == "self") {
                form.self_form = 1;
                form.member = parse_u32(value, "self member index");
            } else if (key == "cache") {
                cache = cache_operand(b, value);
            } else if (key == "cls") {
                form.accessing = class_value(value);
            } else if (key == "skip") {
                if (!is_name(value)) fail("skip needs a label, got " + quote(value));
                skip = std::string(value);
            } else if (key.empty() && value == "disabled") {
                form.enabled = 0;
            } else {
                fail("usage: " + usage);
            }
        }
        if (!have_argc) fail("fcall needs argc=N");
        if (!skip) fail("fcall needs skip=LABEL");
        if (!cache && !form.self_form) cache = b.builder->cache();
        form.cache = cache.value_or(0);
        b.builder->fcall(form, b.label(*skip, line).label);
    }

    // A field value of the generic form: integer, float (64-bit fields),
    // "text", #N, @NATIVE, =CONST, cls=NAME, a child block or a label (B).
    struct field_value {
        uint64_t bits = 0;
        bool is_label = false;
        std::string label;
    };

    field_value generic_value(block_state& b, std::string_view field, std::string_view s, bool wide) {
        field_value v;
        if (std::optional<int64_t> i = try_int(s)) {
            v.bits = static_cast<uint64_t>(*i);
            return v;
        }
        if (is_string_literal(s) || (!s.empty() && s[0] == '#')) {
            v.bits = string_operand(s);
            return v;
        }
        if (!s.empty() && (s[0] == '@' || s[0] == '=')) {
            if (!wide) fail("field " + std::string(field) + " cannot hold an address");
            v.bits = s[0] == '@' ? native_operand(s) : constant_operand(s);
            return v;
        }
        if (s.substr(0, 4) == "cls=") {
            if (!wide) fail("field " + std::string(field) + " cannot hold an address");
            v.bits = class_value(s.substr(4));
            return v;
        }
        if (std::optional<double> d = try_float(s)) {
            if (!wide) fail("field " + std::string(field) + " cannot hold a float");
            v.bits = std::bit_cast<uint64_t>(*d);
            return v;
        }
        if (is_name(s)) {
            auto it = b.child_index.find(std::string(s));
            if (it != b.child_index.end()) {
                v.bits = it->second;
                return v;
            }
            if (field == "B") {
                v.is_label = true;
                v.label = std::string(s);
                return v;
            }
        }
        fail("bad value " + quote(s) + " for field " + std::string(field));
    }

    void emit_generic(block_state& b, const std::vector<std::string_view>& ops, uint32_t line) {
        if (ops.empty()) fail("usage: op N [A=..] [B=..] [C=..] [C8=..] [D=..] [E=..] [E8=..] [F=..]");
        const uint64_t opcode = parse_unsigned(ops[0], "the opcode", 255);
        if (lum_opcode_size(static_cast<unsigned>(opcode)) == 0)
            fail("unknown opcode " + std::to_string(opcode) + " (write invalid encodings with .bytes)");
        lum_insn_fields f;
        std::optional<std::string> jump_label;
        auto narrow = [&](std::string_view field, const field_value& v, uint64_t max) -> uint64_t {
            const int64_t s = static_cast<int64_t>(v.bits);
            if (v.bits > max && !(max == UINT32_MAX && s >= INT32_MIN && s < 0))
                fail("value of field " + std::string(field) + " out of range");
            return v.bits & max;
        };
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key.empty()) fail("generic operands are FIELD=VALUE, got " + quote(ops[i]));
            const bool wide = key == "D" || key == "E";
            field_value v = generic_value(b, key, value, wide);
            if (key == "A") f.A = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "B") {
                if (v.is_label) jump_label = v.label;
                else f.B = static_cast<uint32_t>(narrow(key, v, UINT32_MAX));
            } else if (key == "C") f.C = static_cast<uint32_t>(narrow(key, v, UINT32_MAX));
            else if (key == "C8") f.C8 = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "D") f.D = v.bits;
            else if (key == "E") f.E = v.bits;
            else if (key == "E8") f.E8 = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "F") f.F = static_cast<uint8_t>(narrow(key, v, 255));
            else fail("unknown field " + quote(key) + " (A, B, C, C8, D, E, E8, F)");
        }
        if (jump_label)
            b.builder->emit_to(static_cast<uint8_t>(opcode), b.label(*jump_label, line).label, f);
        else
            b.builder->emit(static_cast<uint8_t>(opcode), f);
    }

    state& s_;
};

}  // namespace

void encode_instruction(state& s, block_state& b, const std::vector<token>& t, size_t first, uint32_t line) {
    encoder(s).emit_instruction(b, t, first, line);
}

std::vector<uint8_t> raw_bytes(const std::vector<token>& t) {
    if (t.size() < 2) fail("usage: .bytes HEX HEX ...");
    std::vector<uint8_t> raw;
    for (size_t i = 1; i < t.size(); ++i) {
        std::string_view s = t[i].text;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
        if (s.size() != 2 || hex_digit(s[0]) < 0 || hex_digit(s[1]) < 0)
            fail("expected a hex byte (00 to ff), got " + quote(t[i].text));
        raw.push_back(static_cast<uint8_t>(hex_digit(s[0]) * 16 + hex_digit(s[1])));
    }
    return raw;
}

void encode_bytes(block_state& b, const std::vector<uint8_t>& raw, uint32_t line) {
    const uint32_t at = b.builder->offset();
    b.builder->bytes(raw);
    b.items.push_back({at, static_cast<uint32_t>(raw.size()), line, true});
}

}  // namespace lum_asm
