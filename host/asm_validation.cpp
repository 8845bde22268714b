#include "host/asm_validation.h"

#include <set>
#include <string>
#include <string_view>

#include "vm/opcode.h"

namespace lum_asm {

namespace {

class validator {
public:
    explicit validator(state& s) : s_(s) {}

private:
    const block_state& ancestor(const block_state& b, uint32_t level) const {
        const block_state* a = &b;
        for (uint32_t i = 0; i < level; ++i) a = &s_.blocks[a->parent];
        return *a;
    }

    const block_state& root_block() const {
        for (const block_state& b : s_.blocks)
            if (b.parent < 0) return b;
        return s_.blocks.front();
    }

    struct checker {
        const validator& as;
        const block_state& b;
        uint32_t line;
        const uint8_t* insn;
        uint32_t offset;
        const std::set<uint32_t>& boundaries;

        void slot(uint32_t s, const block_state& owner, std::string_view what) const {
            if (s >= owner.block->num_slots)
                fail(std::string(what) + " " + std::to_string(s) + " out of range (block " + quote(owner.name) +
                     " has " + std::to_string(owner.block->num_slots) + " slots)");
        }
        void static_slot(uint32_t s, const block_state& owner, std::string_view what) const {
            if (s >= owner.block->statics.size())
                fail(std::string(what) + " " + std::to_string(s) + " out of range (block " + quote(owner.name) +
                     " has " + std::to_string(owner.block->statics.size()) + " static slots)");
        }
        const block_state& level(uint32_t l) const {
            if (l > b.depth)
                fail("level " + std::to_string(l) + " out of range (block " + quote(b.name) + " is nested " +
                     std::to_string(b.depth) + " deep)");
            return as.ancestor(b, l);
        }
        void string(uint32_t index) const {
            const size_t n = as.s_.builder.program()->strings->size();
            if (index >= n)
                fail("string index " + std::to_string(index) + " out of range (" + std::to_string(n) + " strings)");
        }
        void child(uint32_t index) const {
            const size_t n = b.block->children.size();
            if (index >= n)
                fail("child block " + std::to_string(index) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(n) + " children)");
        }
        void cache(uint32_t index) const {
            const size_t n = b.block->member_cache.size();
            if (index >= n)
                fail("member-cache entry " + std::to_string(index) + " out of range (block " + quote(b.name) +
                     " has " + std::to_string(n) + ")");
        }
        void path(uint32_t index) const {
            const size_t n = b.block->member_paths.size();
            if (index >= n)
                fail("member path " + std::to_string(index) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(n) + ")");
        }
        void native(uint64_t address) const {
            for (const auto& [name, def] : as.s_.natives)
                if (reinterpret_cast<uintptr_t>(def) == address) return;
            fail("operand D is not the address of a declared native");
        }
        void constant(uint64_t address) const {
            for (const auto& [name, cell] : as.s_.constants)
                if (reinterpret_cast<uintptr_t>(cell) == address) return;
            fail("operand D is not the address of a declared constant");
        }
        void class_address(uint64_t address) const {
            if (address == 0) return;
            for (const class_decl& c : as.s_.classes)
                if (reinterpret_cast<uintptr_t>(c.def) == address) return;
            fail("accessing class is not the address of a declared class");
        }
        // The unsigned skip of opcodes 72 and 73: forward, past the instruction.
        void skip(uint32_t distance) const {
            if (static_cast<int32_t>(distance) <= 0)
                fail("skip target must lie after the instruction (fused instructions skip forward)");
            target(distance);
        }
        void target(int64_t distance) const {
            const int64_t t = static_cast<int64_t>(offset) + distance;
            const int64_t size = b.block->code_size();
            if (t < 0 || t > size)
                fail("jump target " + std::to_string(t) + " outside the code (block " + quote(b.name) + " has " +
                     std::to_string(size) + " bytes)");
            if (boundaries.count(static_cast<uint32_t>(t)) == 0)
                fail("jump target " + std::to_string(t) + " is inside an instruction");
        }
        // A slot-resolver place of opcode 72 (item kinds 0, 1, 2, 19, 20).
        void place(uint8_t kind, uint8_t lvl, uint32_t operand) const {
            switch (kind) {
                case lum_fexpr::IT_LOCAL: slot(operand, b, "slot"); break;
                case lum_fexpr::IT_UP: slot(operand, level(lvl), "slot"); break;
                case lum_fexpr::IT_GLOBAL: slot(operand, as.root_block(), "global slot"); break;
                case lum_fexpr::IT_PATH: path(operand); break;
                default: break;
            }
        }
        template <class T>
        T read(unsigned pos) const {
            return lum_read_operand<T>(insn, pos);
        }
    };

public:
    void validate() {
        for (block_state& b : s_.blocks) {
            if (b.broken) continue;
            std::set<uint32_t> boundaries;
            for (const lum_assembly::item& it : b.items) boundaries.insert(it.offset);
            boundaries.insert(b.block->code_size());
            for (const lum_assembly::item& it : b.items) {
                if (it.raw) continue;
                s_.guarded(it.line, [&] {
                    checker c{*this, b, it.line, b.block->code.data() + it.offset, it.offset, boundaries};
                    check_instruction(c);
                });
            }
            if (b.block->loop_restart > b.block->code_size())
                s_.report(b.line, "restart offset outside the code");
        }
        const std::set<uint32_t> no_boundaries;
        for (const block_state& b : s_.blocks) {
            const lum_program_block* blk = b.block;
            for (size_t i = 0; i < blk->member_paths.size(); ++i) {
                const lum_member_path& p = blk->member_paths[i];
                const uint32_t line = i < b.path_lines.size() ? b.path_lines[i] : b.line;
                s_.guarded(line, [&] {
                    checker c{*this, b, line, nullptr, 0, no_boundaries};
                    c.string(p.name);
                    if (p.holder_kind != lum_fexpr::IT_PATH) c.place(p.holder_kind, p.holder_level, p.holder_slot);
                });
            }
        }
    }

private:
    void check_instruction(const checker& c) const {
        using namespace lum_operand;
        const uint8_t op = c.insn[0];
        switch (op) {
            case LUM_OP_LD_L:
            case LUM_OP_LD_LF: c.slot(c.read<uint32_t>(B), c.b, "slot"); break;
            case LUM_OP_LD_S: c.static_slot(c.read<uint32_t>(B), c.b, "static slot"); break;
            case LUM_OP_LD_UP: c.slot(c.read<uint32_t>(C), c.level(c.read<uint32_t>(B)), "slot"); break;
            case LUM_OP_LD_UPS: c.static_slot(c.read<uint32_t>(C), c.level(c.read<uint32_t>(B)), "static slot"); break;
            case LUM_OP_LD_G: c.slot(c.read<uint32_t>(B), root_block(), "global slot"); break;
            case LUM_OP_LD_GS: c.static_slot(c.read<uint32_t>(B), root_block(), "global static slot"); break;
            case LUM_OP_LDS:
            case LUM_OP_MEMIF: c.string(c.read<uint32_t>(B)); break;
            case LUM_OP_FN:
            case LUM_OP_ENTER:
            case LUM_OP_CATCH: c.child(c.read<uint32_t>(B)); break;
            case LUM_OP_LDEXT:
            case LUM_OP_NCALL: c.native(c.read<uint64_t>(D)); break;
            case LUM_OP_LDK: c.constant(c.read<uint64_t>(D)); break;
            case LUM_OP_DEFAULT: {
                const uint8_t p = c.insn[A];
                const lum_program_block* blk = c.b.block;
                if (p >= blk->num_params)
                    fail("default: parameter " + std::to_string(p) + " out of range (block " + quote(c.b.name) +
                         " has " + std::to_string(blk->num_params) + " parameters)");
                if (blk->first_default == LUM_NO_DEFAULT || p < blk->first_default)
                    fail("default: parameter " + std::to_string(p) + " has no default (first_default=" +
                         (blk->first_default == LUM_NO_DEFAULT ? std::string("none")
                                                               : std::to_string(blk->first_default)) +
                         ")");
                c.child(p - blk->first_default);
                break;
            }
            case LUM_OP_ENTERLINKED:
                if (c.b.block->linked.expired()) fail("enterlinked in block " + quote(c.b.name) + " without linked=BLOCK");
                break;
            case LUM_OP_JMP:
            case LUM_OP_JZ:
            case LUM_OP_JNZ: c.target(c.read<int32_t>(B)); break;
            case LUM_OP_MEM:
                c.string(c.read<uint32_t>(lum_mem::NAME));
                c.cache(c.read<uint32_t>(lum_mem::CACHE));
                c.class_address(c.read<uint64_t>(lum_mem::CLASS));
                break;
            case LUM_OP_IDX: c.class_address(c.read<uint64_t>(lum_idx::CLASS)); break;
            case LUM_OP_IDXSET:
            case LUM_OP_IDXGET2: c.class_address(c.read<uint64_t>(D)); break;
            case LUM_OP_FEXPR: {
                using namespace lum_fexpr;
                const uint8_t count = c.insn[COUNT];
                if (count > MAX_ITEMS) fail("fexpr item count " + std::to_string(count) + " out of range (at most 16)");
                for (unsigned i = 0; i < count; ++i) {
                    const uint8_t* item = c.insn + ITEMS + i * 8;
                    const uint32_t operand = lum_read_operand<uint32_t>(item, 4);
                    if (item[0] == IT_CONST) {
                        if (operand >= MAX_CONSTS)
                            fail("fexpr constant " + std::to_string(operand) + " out of range (at most 6)");
                    } else {
                        c.place(item[0], item[1], operand);
                    }
                }
                const uint8_t dest = c.insn[DEST_KIND];
                const uint32_t dslot = c.read<uint32_t>(DEST_SLOT);
                if (dest == DEST_LOCAL) c.place(IT_LOCAL, 0, dslot);
                else if (dest == DEST_UP) c.place(IT_UP, c.insn[DEST_LEVEL], dslot);
                else if (dest >= 3) c.place(static_cast<uint8_t>(dest - 1), c.insn[DEST_LEVEL], dslot);
                c.skip(c.read<uint32_t>(JUMP));
                break;
            }
            case LUM_OP_FCALL: {
                using namespace lum_fcall;
                c.string(c.read<uint32_t>(NAME));
                if (c.insn[SELF_FORM] == 0) c.cache(c.read<uint32_t>(CACHE));
                c.class_address(c.read<uint64_t>(CLASS));
                c.skip(c.read<uint32_t>(JUMP));
                break;
            }
            default: break;
        }
    }

    state& s_;
};

}  // namespace

void validate(state& s) { validator(s).validate(); }

}  // namespace lum_asm
