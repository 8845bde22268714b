#include "host/asm_parser.h"

#include <optional>
#include <set>

#include "host/asm_encoder.h"
#include "host/host_print.h"
#include "host/module_loader.h"
#include "runtime/namespace.h"
#include "runtime/value_records.h"
#include "vm/operator_table.h"

namespace lum_asm {

namespace {

class parser {
public:
    parser(state& s, std::string_view source) : s_(s) {
        size_t start = 0;
        while (start <= source.size()) {
            size_t end = source.find('\n', start);
            if (end == std::string_view::npos) end = source.size();
            std::string_view line = source.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.emplace_back(line);
            if (end == source.size()) break;
            start = end + 1;
        }
        if (!lines_.empty() && lines_.back().empty() && !source.empty() && source.back() == '\n') lines_.pop_back();
    }

    void run() {
        pass_declarations();
        build_classes();
        pass_code();
    }

private:
    block_state* current() { return stack_.empty() ? nullptr : &s_.blocks[stack_.back()]; }

    block_state& require_block(std::string_view what) {
        block_state* b = current();
        if (b == nullptr) fail(std::string(what) + " outside a block");
        return *b;
    }

    // -- pass 1: declarations and block structure ------------------------------

    void pass_declarations() {
        bool seen_item = false;
        for (uint32_t i = 0; i < lines_.size(); ++i) {
            const uint32_t line = i + 1;
            std::vector<token> t;
            try {
                t = tokenize(lines_[i]);
            } catch (const line_error& e) {
                s_.report(line, e.message);
                tokenize_failed_.insert(line);
                continue;
            }
            if (t.empty()) continue;
            const std::string& head = t[0].text;
            if (head == ".program") {
                s_.guarded(line, [&] {
                    if (seen_item) fail("'.program' must be the first line");
                    if (t.size() != 2) fail("usage: .program \"name\"");
                    s_.builder.program()->name = parse_string(t[1].text);
                });
                seen_item = true;
                continue;
            }
            seen_item = true;
            if (head.empty() || head[0] != '.') {
                // Instructions and labels wait for the second pass; a line
                // outside every block is an error there.
                continue;
            }
            if (head == ".block") {
                open_block(t, line);
            } else if (head == ".end") {
                s_.guarded(line, [&] {
                    if (stack_.empty()) fail("'.end' without '.block'");
                    if (t.size() != 1) fail("'.end' takes no operands");
                });
                if (!stack_.empty()) {
                    end_lines_[line] = stack_.back();
                    stack_.pop_back();
                }
            } else if (head == ".native") {
                s_.guarded(line, [&] { declare_native(t); });
            } else if (head == ".const") {
                s_.guarded(line, [&] { declare_constant(t); });
            } else if (head == ".unit") {
                s_.guarded(line, [&] { declare_unit(t); });
            } else if (head == ".line") {
                s_.guarded(line, [&] { declare_line(t); });
            } else if (head == ".class") {
                s_.guarded(line, [&] { declare_class(t, line); });
            } else if (head == ".mpath") {
                s_.guarded(line, [&] { declare_path(t, line); });
            } else if (head == ".loc" || head == ".autoloc" || head == ".bytes") {
                // code directives: second pass
            } else {
                s_.report(line, "unknown directive " + quote(head));
            }
        }
        for (uint32_t index : stack_) {
            s_.blocks[index].closed = false;
            s_.report(s_.blocks[index].line, "block " + quote(s_.blocks[index].name) + " has no '.end'");
        }
        stack_.clear();
        bool has_root = false;
        for (const block_state& b : s_.blocks) has_root = has_root || b.parent < 0;
        if (!has_root) s_.report(0, "no block: the program needs a top-level block");
    }

    void open_block(const std::vector<token>& t, uint32_t line) {
        std::string name = t.size() >= 2 ? t[1].text : std::string();
        const bool good_name = is_name(name);
        if (!good_name) {
            s_.report(line, "usage: .block NAME kind=top|function|loop|plain slots=N ...");
            name = "<block " + std::to_string(line) + ">";
        } else if (s_.block_names.count(name) != 0) {
            s_.report(line, "block " + quote(name) + " declared twice");
        }
        const uint32_t index = static_cast<uint32_t>(s_.blocks.size());
        s_.blocks.emplace_back();
        block_state& b = s_.blocks.back();
        b.name = name;
        b.line = line;
        b.parent = stack_.empty() ? -1 : static_cast<int>(stack_.back());
        b.depth = stack_.empty() ? 0 : s_.blocks[stack_.back()].depth + 1;
        b.block = s_.builder.new_block(name, LUM_BLOCK_PLAIN, 0);
        b.builder = std::make_unique<lum_block_builder>(s_.builder, b.block);
        if (good_name && s_.block_names.count(name) == 0) s_.block_names[name] = index;
        if (b.parent >= 0) {
            block_state& parent = s_.blocks[b.parent];
            const uint32_t child = parent.builder->child(b.block);
            parent.child_index.emplace(name, child);
        }
        block_lines_[line] = index;
        stack_.push_back(index);
        if (good_name) s_.guarded(line, [&] { block_attributes(s_.blocks[index], t); });
    }

    void block_attributes(block_state& b, const std::vector<token>& t) {
        lum_program_block* blk = b.block;
        bool have_kind = false;
        bool have_slots = false;
        std::optional<uint32_t> params;
        std::optional<uint32_t> first_default;
        bool first_default_none = false;
        uint32_t bound = 0;
        uint32_t slots = 0;
        std::vector<std::pair<uint32_t, uint8_t>> slot_flags;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "kind") {
                if (value == "top") blk->kind = LUM_BLOCK_TOP;
                else if (value == "function") blk->kind = LUM_BLOCK_FUNCTION;
                else if (value == "loop") blk->kind = LUM_BLOCK_LOOP;
                else if (value == "plain") blk->kind = LUM_BLOCK_PLAIN;
                else fail("unknown block kind " + quote(value) + " (top, function, loop or plain)");
                have_kind = true;
            } else if (key == "slots") {
                slots = parse_limited(value, "slots", lum_asm_max_slots);
                have_slots = true;
            } else if (key == "params") {
                params = parse_u32(value, "params");
            } else if (key == "first_default") {
                if (value == "none") first_default_none = true;
                else first_default = parse_u32(value, "first_default");
            } else if (key == "bound") {
                bound = parse_u32(value, "bound");
            } else if (key == "flags") {
                for (const std::string& f : split_list(value)) {
                    if (f == "try") blk->flags |= LUM_BLOCK_FLAG_TRY;
                    else if (f == "function") blk->flags |= LUM_BLOCK_FLAG_FUNCTION;
                    else if (f == "epilogue") blk->flags |= LUM_BLOCK_FLAG_EPILOGUE;
                    else if (f == "method") blk->flags |= LUM_BLOCK_FLAG_METHOD;
                    else fail("unknown block flag " + quote(f) + " (try, function, epilogue, method)");
                }
            } else if (key == "restart") {
                if (!is_name(value)) fail("restart needs a label name");
                b.restart = std::make_pair(std::string(value), b.line);
            } else if (key == "slotflags") {
                for (const std::string& f : split_list(value)) {
                    const size_t colon = f.find(':');
                    if (colon == std::string::npos) fail("slotflags entries are SLOT:FLAGS, got " + quote(f));
                    slot_flags.emplace_back(parse_u32(std::string_view(f).substr(0, colon), "slotflags slot"),
                                            parse_u8(std::string_view(f).substr(colon + 1), "slotflags flags"));
                }
            } else if (key == "statics") {
                b.builder->statics(parse_limited(value, "statics", lum_asm_max_statics));
            } else if (key == "linked") {
                linked_.push_back({&b, std::string(value), b.line});
            } else {
                fail("unknown block attribute " + quote(t[i].text));
            }
        }
        if (!have_kind) fail("block " + quote(b.name) + " needs kind=top|function|loop|plain");
        if (!have_slots) fail("block " + quote(b.name) + " needs slots=N");
        blk->num_slots = slots;
        blk->slot_flags.assign(slots, 0);
        const uint32_t p = params.value_or(0);
        if (p > slots) fail("params=" + std::to_string(p) + " exceeds slots=" + std::to_string(slots));
        if (static_cast<uint64_t>(p) + bound > slots)
            fail("params + bound (" + std::to_string(p + bound) + ") exceed slots=" + std::to_string(slots));
        uint32_t fd = first_default_none ? LUM_NO_DEFAULT : first_default.value_or(p);
        if (!first_default_none && fd > p)
            fail("first_default=" + std::to_string(fd) + " exceeds params=" + std::to_string(p));
        blk->num_params = p;
        blk->first_default = fd;
        blk->num_bound = bound;
        for (const auto& [slot, flag] : slot_flags) {
            if (slot >= slots)
                fail("slotflags slot " + std::to_string(slot) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(slots) + " slots)");
            blk->slot_flags[slot] = flag;
        }
    }

    void declare_native(const std::vector<token>& t) {
        if (t.size() < 2 || !is_name(t[1].text)) fail("usage: .native NAME [min=N max=N]");
        const std::string& name = t[1].text;
        if (s_.natives.count(name) != 0) fail("native " + quote(name) + " declared twice");
        std::optional<uint32_t> min_args;
        std::optional<uint32_t> max_args;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "min") min_args = parse_u32(value, "min");
            else if (key == "max") max_args = parse_u32(value, "max");
            else fail("unknown native attribute " + quote(t[i].text));
        }
        lum_function_def* def = nullptr;
        if (name == "print") {
            const uint32_t lo = min_args.value_or(1);
            const uint32_t hi = max_args.value_or(999);
            if (lo > hi) fail("min=" + std::to_string(lo) + " exceeds max=" + std::to_string(hi));
            def = s_.builder.native(lum_make_print_native(s_.options.output, lo, hi));
        } else {
            const size_t dot = name.find('.');
            if (dot == std::string::npos)
                fail("unknown native " + quote(name) + ": host natives are 'print'; namespace functions are written ns.fn");
            if (min_args || max_args) fail("min and max apply only to host natives");
            const std::string ns_name = name.substr(0, dot);
            const std::string fn_name = name.substr(dot + 1);
            lum_namespace* ns = s_.options.module != nullptr ? s_.options.module->find_namespace(ns_name) : nullptr;
            if (ns == nullptr) fail("unknown namespace " + quote(ns_name) + " for native " + quote(name));
            for (lum_function_def* f : ns->functions)
                if (f != nullptr && f->name == fn_name) def = f;
            if (def == nullptr) {
                auto it = ns->members.find(std::string_view(fn_name));
                if (it != ns->members.end() && it->second && it->second->type == LUMVAR_EXT_FUNCTION &&
                    it->second->ext_function_record() != nullptr)
                    def = it->second->ext_function_record()->definition.get();
            }
            if (def == nullptr) fail("namespace " + quote(ns_name) + " has no function " + quote(fn_name));
            // Namespace functions live as long as the module; the program
            // takes no handle on them (a handle would be the only strong one
            // and destroy the definition with the program).
        }
        s_.natives.emplace(name, def);
    }

    void declare_constant(const std::vector<token>& t) {
        if (t.size() < 3 || !is_name(t[1].text)) fail("usage: .const NAME int N | float X | str \"text\" | none");
        const std::string& name = t[1].text;
        if (s_.constants.count(name) != 0) fail("constant " + quote(name) + " declared twice");
        const std::string& type = t[2].text;
        lumvar_shared value;
        if (type == "none") {
            if (t.size() != 3) fail("'none' takes no value");
            value = lumvar_shared::make();
        } else {
            if (t.size() != 4) fail("usage: .const NAME int N | float X | str \"text\" | none");
            if (type == "int") value = lumvar_shared::from_int(parse_int(t[3].text, "int"));
            else if (type == "float") value = lumvar_shared::from_float(parse_float(t[3].text, "float"));
            else if (type == "str") value = lumvar_shared::from_string(parse_string(t[3].text));
            else fail("unknown constant type " + quote(type) + " (int, float, str or none)");
        }
        s_.constants.emplace(name, s_.builder.constant(value));
    }

    void declare_unit(const std::vector<token>& t) {
        if (t.size() < 3 || !is_name(t[1].text)) fail("usage: .unit NAME \"path\" [from=UNIT]");
        const std::string& name = t[1].text;
        if (units_.count(name) != 0) fail("unit " + quote(name) + " declared twice");
        auto unit = std::make_shared<lum_source_unit>();
        unit->path = parse_string(t[2].text);
        for (size_t i = 3; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key != "from") fail("unknown unit attribute " + quote(t[i].text));
            auto it = units_.find(std::string(value));
            if (it == units_.end()) fail("unknown unit " + quote(value) + " (declare it first)");
            unit->included_from = it->second;
        }
        s_.units.push_back(unit);
        units_.emplace(name, unit.get());
    }

    void declare_line(const std::vector<token>& t) {
        if (t.size() != 4) fail("usage: .line UNIT N \"text\"");
        lum_source_unit* unit = find_unit(t[1].text);
        const uint32_t n = parse_u32(t[2].text, "line number");
        unit->lines[n] = parse_string(t[3].text);
    }

    lum_source_unit* find_unit(std::string_view name) {
        auto it = units_.find(std::string(name));
        if (it == units_.end()) fail("unknown unit " + quote(name));
        return it->second;
    }

    void declare_class(const std::vector<token>& t, uint32_t line) {
        if (t.size() < 2 || !is_name(t[1].text))
            fail("usage: .class NAME [base=NAME] members=[...] methods=[...] ops=[...] [ctor=BLOCK]");
        const std::string& name = t[1].text;
        for (const class_decl& c : s_.classes)
            if (c.name == name) fail("class " + quote(name) + " declared twice");
        class_decl decl;
        decl.name = name;
        decl.def = s_.builder.new_class(name);
        decl.line = line;
        decl.tokens = t;
        s_.classes.push_back(std::move(decl));
    }

    void declare_path(const std::vector<token>& t, uint32_t line) {
        block_state& b = require_block("'.mpath'");
        if (t.size() < 2 || !is_name(t[1].text)) fail("usage: .mpath NAME holder=l:S|up:L,S|g:S|self:S name=\"member\"");
        const std::string& name = t[1].text;
        if (b.paths.count(name) != 0) fail("member path " + quote(name) + " declared twice in block " + quote(b.name));
        std::optional<std::tuple<uint8_t, uint8_t, uint32_t>> holder;
        std::optional<std::string> member;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "holder") {
                holder = parse_holder(value);
            } else if (key == "name") {
                member = parse_string(value);
            } else {
                fail("unknown member-path attribute " + quote(t[i].text));
            }
        }
        if (!holder) fail("member path " + quote(name) + " needs holder=l:S|up:L,S|g:S|self:S");
        if (!member) fail("member path " + quote(name) + " needs name=\"member\"");
        auto [kind, level, slot] = *holder;
        const uint32_t index = b.builder->member_path(kind, level, slot, *member);
        b.paths.emplace(name, index);
        b.path_lines.push_back(line);
    }

    // After all blocks exist: members, methods, operators and constructors,
    // in declaration order (a base class must come first); linked blocks.
    void build_classes() {
        for (size_t ci = 0; ci < s_.classes.size(); ++ci) {
            class_decl& c = s_.classes[ci];
            s_.guarded(c.line, [&] {
                lum_class_builder cb(c.def);
                std::vector<std::string> members, methods, ops;
                std::optional<std::string> base, ctor;
                for (size_t i = 2; i < c.tokens.size(); ++i) {
                    auto [key, value] = split_key(c.tokens[i].text);
                    if (key == "base") base = std::string(value);
                    else if (key == "members") members = split_list(value);
                    else if (key == "methods") methods = split_list(value);
                    else if (key == "ops") ops = split_list(value);
                    else if (key == "ctor") ctor = std::string(value);
                    else fail("unknown class attribute " + quote(c.tokens[i].text));
                }
                if (base) {
                    size_t bi = 0;
                    while (bi < s_.classes.size() && s_.classes[bi].name != *base) ++bi;
                    if (bi == s_.classes.size()) fail("unknown base class " + quote(*base));
                    if (bi >= ci) fail("base class " + quote(*base) + " must be declared before " + quote(c.name));
                    cb.inherit(s_.classes[bi].def);
                }
                std::set<std::string> seen;
                for (const std::string& m : members) {
                    std::string name = m;
                    bool priv = false;
                    if (const size_t colon = m.find(':'); colon != std::string::npos) {
                        if (m.substr(colon + 1) != "private") fail("member qualifier must be 'private', got " + quote(m));
                        name = m.substr(0, colon);
                        priv = true;
                    }
                    if (!is_name(name)) fail("bad member name " + quote(name));
                    if (!seen.insert(name).second) fail("member " + quote(name) + " listed twice");
                    cb.member(name, priv);
                }
                auto add_methods = [&](const std::vector<std::string>& list, bool operators) {
                    for (const std::string& m : list) {
                        const size_t eq = m.find('=');
                        if (eq == std::string::npos) fail("methods are NAME=BLOCK, got " + quote(m));
                        std::string name = m.substr(0, eq);
                        std::string block = m.substr(eq + 1);
                        bool priv = false;
                        auto strip_private = [&](std::string& s) {
                            const size_t colon = s.find(':');
                            if (colon == std::string::npos) return;
                            if (s.substr(colon + 1) != "private")
                                fail("method qualifier must be 'private', got " + quote(m));
                            s.resize(colon);
                            priv = true;
                        };
                        strip_private(name);
                        strip_private(block);
                        if (!is_name(name)) fail("bad method name " + quote(name));
                        if (operators && lum_operator_index(name) < 0) fail("unknown operator method " + quote(name));
                        if (!seen.insert(name).second) fail("member " + quote(name) + " listed twice");
                        cb.method(name, s_.find_block(block), priv);
                    }
                };
                add_methods(methods, false);
                add_methods(ops, true);
                if (ctor) cb.constructor(s_.find_block(*ctor));
            });
        }
        for (const linked_decl& l : linked_) {
            s_.guarded(l.line, [&] {
                lum_program_block* target = s_.find_block(l.target);
                l.block->builder->linked(target);
            });
        }
    }

    // -- pass 2: code -----------------------------------------------------------

    void pass_code() {
        for (uint32_t i = 0; i < lines_.size(); ++i) {
            const uint32_t line = i + 1;
            if (tokenize_failed_.count(line) != 0) continue;
            std::vector<token> t = tokenize(lines_[i]);
            if (t.empty()) continue;
            const std::string& head = t[0].text;
            if (head == ".block") {
                auto it = block_lines_.find(line);
                if (it != block_lines_.end()) stack_.push_back(it->second);
                continue;
            }
            if (head == ".end") {
                pending_loc_.reset();
                auto it = end_lines_.find(line);
                if (it != end_lines_.end()) {
                    finish_block(s_.blocks[it->second]);
                    if (!stack_.empty()) stack_.pop_back();
                }
                continue;
            }
            if (head == ".loc") {
                s_.guarded(line, [&] {
                    require_block("'.loc'");
                    if (t.size() != 4) fail("usage: .loc UNIT LINE INDEX");
                    pending_loc_ = pending_position{find_unit(t[1].text), parse_u32(t[2].text, "line"),
                                                    parse_u32(t[3].text, "index")};
                });
                continue;
            }
            if (head == ".autoloc") {
                s_.guarded(line, [&] {
                    if (t.size() != 1) fail("'.autoloc' takes no operands");
                    autoloc_unit();
                    autoloc_ = true;
                });
                continue;
            }
            if (head == ".bytes") {
                s_.guarded(line, [&] { emit_bytes(t, line); });
                continue;
            }
            if (!head.empty() && head[0] == '.') continue;  // declarations: first pass

            s_.guarded(line, [&] {
                size_t first = 0;
                if (head.size() >= 2 && head.back() == ':' && !is_string_literal(head)) {
                    const std::string name = head.substr(0, head.size() - 1);
                    if (!is_name(name)) fail("bad label " + quote(head));
                    block_state& b = require_block("label");
                    label_info& l = b.label(name, line);
                    if (l.bound) fail("label " + quote(name) + " defined twice in block " + quote(b.name));
                    b.builder->bind(l.label);
                    l.bound = true;
                    first = 1;
                }
                if (first >= t.size()) return;
                block_state& b = require_block("instruction");
                position_here(b, line, t[first].column);
                encode_instruction(s_, b, t, first, line);
            });
        }
    }

    lum_source_unit* autoloc_unit() {
        if (self_unit_ == nullptr) {
            auto unit = std::make_shared<lum_source_unit>();
            unit->path = s_.file;
            for (uint32_t i = 0; i < lines_.size(); ++i) unit->lines[i + 1] = lines_[i];
            s_.units.push_back(unit);
            self_unit_ = unit.get();
        }
        return self_unit_;
    }

    void position_here(block_state& b, uint32_t line, uint32_t column) {
        std::optional<pending_position> pos;
        if (pending_loc_) {
            pos = pending_loc_;
            pending_loc_.reset();
        } else if (autoloc_) {
            pos = pending_position{self_unit_, line, column};
        }
        if (pos) b.block->symbol_table()->add_position(b.builder->offset(), pos->unit, pos->line, pos->index);
    }

    void emit_bytes(const std::vector<token>& t, uint32_t line) {
        block_state& b = require_block("'.bytes'");
        const std::vector<uint8_t> raw = raw_bytes(t);
        position_here(b, line, t[0].column);
        encode_bytes(b, raw, line);
    }

    void finish_block(block_state& b) {
        for (auto& [name, l] : b.labels) {
            if (!l.bound) {
                s_.report(l.first_use, "unknown label " + quote(name) + " in block " + quote(b.name));
                b.broken = true;
            }
        }
        if (b.restart) {
            auto it = b.labels.find(b.restart->first);
            if (it == b.labels.end() || !it->second.bound) {
                s_.report(b.restart->second, "unknown restart label " + quote(b.restart->first) + " in block " + quote(b.name));
                b.broken = true;
            } else {
                b.builder->restart(it->second.label);
            }
        }
        b.closed = true;
        if (b.broken) return;
        try {
            b.builder->finish();
        } catch (const std::exception& e) {
            s_.report(b.line, e.what());
            b.broken = true;
        }
    }

    struct pending_position {
        const lum_source_unit* unit;
        uint32_t line;
        uint32_t index;
    };
    struct linked_decl {
        block_state* block;
        std::string target;
        uint32_t line;
    };

    state& s_;
    std::vector<std::string> lines_;
    std::set<uint32_t> tokenize_failed_;

    std::vector<uint32_t> stack_;                         // the open blocks
    std::unordered_map<uint32_t, uint32_t> block_lines_;  // .block line -> block
    std::unordered_map<uint32_t, uint32_t> end_lines_;    // .end line -> block
    std::vector<linked_decl> linked_;
    std::unordered_map<std::string, lum_source_unit*> units_;

    std::optional<pending_position> pending_loc_;
    bool autoloc_ = false;
    lum_source_unit* self_unit_ = nullptr;
};

}  // namespace

void parse(state& s, std::string_view source) { parser(s, source).run(); }

}  // namespace lum_asm
