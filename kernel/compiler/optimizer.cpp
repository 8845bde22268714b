#include "kernel/compiler/optimizer.h"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// Registers 0..6 are the fixed registers of every program.
constexpr uint32_t kFixedRegisters = 7;

// What the passes need to know about an opcode beyond its decoded operand
// format: whether it never falls through and whether it may be hoisted.
struct op_info {
    uint8_t dest = 0;       // format begins with D: writes register a
    uint8_t jump = 0;       // format has J: imm is a jump target
    uint8_t uncond = 0;     // JMP, LOOP: never falls through
    uint8_t hoistable = 0;  // may move into a prologue
};

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

const std::array<op_info, LUMK_OP_COUNT>& op_table() {
    static const std::array<op_info, LUMK_OP_COUNT> table = [] {
        static constexpr std::string_view prefixes[] = {
            "MOV",  "ADD_", "SUB_", "MUL_",   "ADDI_",  "DIVC_",  "MODC_",       "DIV_F",       "MOD_F",  "AND_",
            "OR_",  "XOR_", "SHL_", "SHR_",   "NEG_",   "NOT_",   "LNOT",        "MIN_",        "MAX_",   "ABS_",
            "SQRT_", "MATH", "CMP", "TRUNC_", "CVT_S_", "CVT_U_", "CVT_F32_F64", "CVT_F64_F32", "BOOL_F", "ADDRU",
        };
        static_assert(std::size(prefixes) == 30);
        std::array<op_info, LUMK_OP_COUNT> t{};
        for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op) {
            const lumk_op_decoded& d = lumk_op_decode(op);
            const std::string_view name = lumk_op_name(op);
            t[op].dest = d.dest;
            t[op].jump = d.jump;
            t[op].uncond = op == LUMK_JMP || op == LUMK_LOOP;
            bool h = false;
            for (std::string_view p : prefixes) h = h || starts_with(name, p);
            t[op].hoistable = h && d.dest;
        }
        return t;
    }();
    return table;
}

// Built during static initialisation (the opcode tables it reads are constant
// data); read-only afterwards.
const std::array<op_info, LUMK_OP_COUNT>& g_ops = op_table();
const op_info g_no_op{};

const op_info& info_of(uint32_t op) { return op < LUMK_OP_COUNT ? g_ops[op] : g_no_op; }

// Calls f(register) for every source register operand (R and I) of insn.
template <class F>
void for_each_source(const lumk_insn& insn, F&& f) {
    const lumk_op_decoded& d = lumk_op_decode(insn.op);
    for (const lumk_operand_slot* s = d.sources_begin(); s != d.sources_end(); ++s)
        f(static_cast<uint32_t>(lumk_insn_register(insn, *s)));
}

// One more than the highest register (non-constant) operand, pinned register
// or fixed register of the program and its prologue; at least 7.
uint32_t register_bound(const lumk_program& p) {
    uint32_t bound = kFixedRegisters;
    auto see = [&](uint32_t r) {
        if (r < LUMK_CONST_OPERAND) bound = std::max(bound, r + 1);
    };
    auto scan = [&](const std::vector<lumk_insn>& code) {
        for (const lumk_insn& insn : code) {
            if (info_of(insn.op).dest) see(insn.a);
            for_each_source(insn, see);
        }
    };
    scan(p.code);
    if (p.prologue) scan(p.prologue->code);
    for (uint16_t r : {p.gid, p.gsize, p.acc, p.gid_x, p.gid_y, p.gsize_x, p.gsize_y}) see(r);
    for (const lumk_reduction& red : p.reductions) see(red.reg);
    for (const lumk_param& prm : p.params)
        if (!prm.type.is_pointer) see(prm.reg);
    return bound;
}

// Registers that keep their numbers: 0..6, the fixed registers, accumulators
// and value parameters.
std::vector<uint8_t> pinned_registers(const lumk_program& p, uint32_t bound) {
    std::vector<uint8_t> pinned(bound, 0);
    auto pin = [&](uint32_t r) {
        if (r < bound) pinned[r] = 1;
    };
    for (uint32_t r = 0; r < kFixedRegisters && r < bound; ++r) pinned[r] = 1;
    for (uint16_t r : {p.gid, p.gsize, p.acc, p.gid_x, p.gid_y, p.gsize_x, p.gsize_y}) pin(r);
    for (const lumk_reduction& red : p.reductions) pin(red.reg);
    for (const lumk_param& prm : p.params)
        if (!prm.type.is_pointer) pin(prm.reg);
    return pinned;
}

// ---- control flow -------------------------------------------------------

// Basic blocks of a code vector: block b covers [start[b], start[b + 1]).
struct flow_graph {
    struct successors {
        uint32_t n = 0;
        uint32_t block[2] = {0, 0};
        void add(uint32_t b) {
            if (n == 0 || block[0] != b) block[n++] = b;
        }
        const uint32_t* begin() const { return block; }
        const uint32_t* end() const { return block + n; }
    };
    std::vector<uint32_t> start;     // block starts, then code.size()
    std::vector<successors> succ;  // at most a jump target and the next block
    size_t blocks() const { return start.size() - 1; }
};

// First instruction of a block: pc 0, every jump target, and every instruction
// after a jump, an END or an invalid opcode.
std::vector<uint8_t> block_leaders(const std::vector<lumk_insn>& code) {
    const size_t n = code.size();
    std::vector<uint8_t> leader(n + 1, 0);
    if (n == 0) return leader;
    leader[0] = 1;
    for (size_t i = 0; i < n; ++i) {
        const lumk_insn& insn = code[i];
        const op_info oi = info_of(insn.op);
        if (oi.jump && insn.imm < n) leader[insn.imm] = 1;
        if (oi.jump || insn.op == LUMK_END || insn.op >= LUMK_OP_COUNT) leader[i + 1] = 1;
    }
    return leader;
}

// With end_to_entry, END continues at pc 0: engines run the next work item
// from the top without resetting registers, so values can flow around.
flow_graph build_flow(const std::vector<lumk_insn>& code, bool end_to_entry) {
    flow_graph g;
    const size_t n = code.size();
    const std::vector<uint8_t> leader = block_leaders(code);
    std::vector<uint32_t> block_of(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (leader[i]) g.start.push_back(static_cast<uint32_t>(i));
        block_of[i] = static_cast<uint32_t>(g.start.size() - 1);
    }
    g.start.push_back(static_cast<uint32_t>(n));
    g.succ.resize(g.blocks());
    for (size_t b = 0; b < g.blocks(); ++b) {
        const uint32_t last = g.start[b + 1] - 1;
        const lumk_insn& insn = code[last];
        const op_info oi = info_of(insn.op);
        auto& s = g.succ[b];
        if (insn.op >= LUMK_OP_COUNT) continue;  // traps
        if (insn.op == LUMK_END) {
            if (end_to_entry) s.add(0);
            continue;
        }
        if (oi.jump && insn.imm < n) s.add(block_of[insn.imm]);
        if (!oi.uncond && last + 1 < n) s.add(block_of[last + 1]);
    }
    return g;
}

// ---- liveness -----------------------------------------------------------

bool test_bit(const uint64_t* row, uint32_t r) { return (row[r / 64] >> (r % 64)) & 1; }
void set_bit(uint64_t* row, uint32_t r) { row[r / 64] |= uint64_t{1} << (r % 64); }
void clear_bit(uint64_t* row, uint32_t r) { row[r / 64] &= ~(uint64_t{1} << (r % 64)); }

// Live registers at block entries. Only registers read in some block before
// being written there can ever be live at a block boundary; they get dense
// numbers ("slots"), and one bit set of slots per block entry is all that is
// kept, so memory grows with blocks times those registers only.
struct liveness {
    std::vector<uint32_t> reg_of;   // slot -> register
    std::vector<int32_t> slot_of;   // register -> slot, -1 for none
    size_t words = 0;               // words of one slot set
    std::vector<uint64_t> in;       // slot set live at the entry of each block

    const uint64_t* in_row(size_t b) const { return in.data() + b * words; }
    bool live_in(size_t b, uint32_t r) const {
        return r < slot_of.size() && slot_of[r] >= 0 && test_bit(in_row(b), static_cast<uint32_t>(slot_of[r]));
    }
    // Writes into `regs` (a bit set over registers, cleared first) the
    // registers live at the end of block b: those live into a successor.
    void live_out(const flow_graph& g, size_t b, std::span<uint64_t> regs) const {
        std::fill(regs.begin(), regs.end(), 0);
        for (uint32_t s : g.succ[b]) {
            const uint64_t* row = in_row(s);
            for (size_t w = 0; w < words; ++w)
                for (uint64_t word = row[w]; word; word &= word - 1)
                    set_bit(regs.data(), reg_of[w * 64 + static_cast<size_t>(std::countr_zero(word))]);
        }
    }
};

// A register is tracked when it lies in [first_reg, map.size()) with a
// negative map entry; uses come from the allocator's operand walker.
liveness compute_liveness(const std::vector<lumk_insn>& code, const flow_graph& g, std::span<const int32_t> map,
                          uint32_t first_reg) {
    const size_t nb = g.blocks();
    const size_t words = (map.size() + 63) / 64;
    // Uses before definitions and definitions of each block, as register
    // lists (start offsets per block), gathered through scratch bit sets that
    // are cleared bit by bit after each block.
    std::vector<uint32_t> uses, defs, use_start(nb + 1, 0), def_start(nb + 1, 0);
    std::vector<uint64_t> use_bits(words, 0), def_bits(words, 0);
    for (size_t b = 0; b < nb; ++b) {
        use_start[b] = static_cast<uint32_t>(uses.size());
        def_start[b] = static_cast<uint32_t>(defs.size());
        lumk_operand_mark_state st{first_reg, map, std::span<const uint64_t>(def_bits), std::span<uint64_t>(use_bits)};
        for (uint32_t i = g.start[b]; i < g.start[b + 1]; ++i) {
            const lumk_insn& insn = code[i];
            // Sources whose use bit the walker sets now are new uses of the block.
            uint32_t fresh[4];
            uint32_t n = 0;
            for_each_source(insn, [&](uint32_t r) {
                if (r < map.size() && !test_bit(use_bits.data(), r)) fresh[n++] = r;
            });
            lumk_insn_mark_operands(insn, st);
            for (uint32_t k = 0; k < n; ++k)
                if (test_bit(use_bits.data(), fresh[k]) && std::find(fresh, fresh + k, fresh[k]) == fresh + k)
                    uses.push_back(fresh[k]);
            if (info_of(insn.op).dest) {
                const uint32_t d = insn.a;
                if (d >= first_reg && d < map.size() && map[d] < 0 && !test_bit(def_bits.data(), d)) {
                    set_bit(def_bits.data(), d);
                    defs.push_back(d);
                }
            }
        }
        for (size_t k = use_start[b]; k < uses.size(); ++k) clear_bit(use_bits.data(), uses[k]);
        for (size_t k = def_start[b]; k < defs.size(); ++k) clear_bit(def_bits.data(), defs[k]);
    }
    use_start[nb] = static_cast<uint32_t>(uses.size());
    def_start[nb] = static_cast<uint32_t>(defs.size());

    liveness lv;
    lv.slot_of.assign(map.size(), -1);
    for (uint32_t r : uses)
        if (lv.slot_of[r] < 0) {
            lv.slot_of[r] = static_cast<int32_t>(lv.reg_of.size());
            lv.reg_of.push_back(r);
        }
    for (uint32_t& r : uses) r = static_cast<uint32_t>(lv.slot_of[r]);
    lv.words = (lv.reg_of.size() + 63) / 64;
    lv.in.assign(nb * lv.words, 0);

    // in(b) = uses(b) + (out(b) - defs(b)), out(b) = union of in(successors).
    std::vector<uint64_t> next(lv.words);
    bool changed = true;
    while (changed) {
        changed = false;
        for (size_t b = nb; b-- > 0;) {
            std::fill(next.begin(), next.end(), 0);
            for (uint32_t s : g.succ[b]) {
                const uint64_t* row = lv.in_row(s);
                for (size_t w = 0; w < lv.words; ++w) next[w] |= row[w];
            }
            for (size_t k = def_start[b]; k < def_start[b + 1]; ++k) {
                const int32_t slot = lv.slot_of[defs[k]];
                if (slot >= 0) clear_bit(next.data(), static_cast<uint32_t>(slot));
            }
            for (size_t k = use_start[b]; k < use_start[b + 1]; ++k) set_bit(next.data(), uses[k]);
            uint64_t* in = lv.in.data() + b * lv.words;
            if (!std::equal(next.begin(), next.end(), in)) {
                std::copy(next.begin(), next.end(), in);
                changed = true;
            }
        }
    }
    return lv;
}

// ---- interference -----------------------------------------------------------

// Which registers may not share a number: a definition interferes with every
// register live after it (whether or not the defined value is used).
//
// The colouring visits registers in increasing order and looks only at the
// neighbours it has coloured already, the lower ones. Small register files
// keep a bit matrix (one OR per definition). Large ones keep each pair once,
// in the row of its higher register: a list of lower registers, compacted as
// it doubles, until a bit set over the lower registers is smaller, and then
// that bit set. Memory so follows the distinct pairs, never the definitions
// times the registers live at each.
class interference {
public:
    explicit interference(uint32_t bound)
        : bound_(bound), words_((bound + 63) / 64), dense_(bound <= kDenseLimit) {
        if (dense_)
            matrix_.assign(size_t{bound} * words_, 0);
        else
            rows_.resize(bound);
    }

    // d is written while the registers of `live` (a bit set of bound bits) hold values.
    void add_definition(uint32_t d, const uint64_t* live) {
        if (dense_) {
            uint64_t* row = matrix_.data() + size_t{d} * words_;
            for (size_t w = 0; w < words_; ++w) row[w] |= live[w];
            return;
        }
        row_lists& r = rows_[d];
        const size_t full = d / 64;
        const uint64_t partial = d % 64 ? live[full] & ((uint64_t{1} << (d % 64)) - 1) : 0;
        if (r.bits.empty()) {
            // As many lower registers live as make a bit set the smaller row:
            // the row becomes one now.
            size_t lower = static_cast<size_t>(std::popcount(partial));
            for (size_t w = 0; w < full; ++w) lower += static_cast<size_t>(std::popcount(live[w]));
            if (std::max(lower, r.unique) * 32 > d) to_bits(d);
        }
        if (r.bits.empty()) {
            for_each_bit(live, 0, [&](uint32_t x) {
                if (x < d) add_lower(d, x);
                if (x > d) add_lower(x, d);
            });
            return;
        }
        for (size_t w = 0; w < full; ++w) r.bits[w] |= live[w];
        if (partial) r.bits[full] |= partial;
        for_each_bit(live, d + 1, [&](uint32_t x) { add_lower(x, d); });
    }

    // Makes the matrix symmetric, or leaves every list sorted and unique.
    void finish() {
        if (dense_) {
            for (uint32_t d = 0; d < bound_; ++d)
                for_each_bit(matrix_.data() + size_t{d} * words_, 0,
                             [&](uint32_t x) { set_bit(matrix_.data() + size_t{x} * words_, d); });
            for (uint32_t d = 0; d < bound_; ++d) clear_bit(matrix_.data() + size_t{d} * words_, d);
            return;
        }
        for (uint32_t v = 0; v < bound_; ++v)
            if (rows_[v].bits.empty()) compact(v);
    }

    // Calls f(x) for every neighbour x of v with x < v (and, with the matrix,
    // for the higher ones too).
    template <class F>
    void for_each_lower_neighbor(uint32_t v, F&& f) const {
        if (dense_) {
            for_each_bit(matrix_.data() + size_t{v} * words_, 0, f);
            return;
        }
        const row_lists& r = rows_[v];
        if (r.bits.empty()) {
            for (uint32_t x : r.list) f(x);
            return;
        }
        for (size_t w = 0; w < r.bits.size(); ++w)
            for (uint64_t word = r.bits[w]; word; word &= word - 1)
                f(static_cast<uint32_t>(w * 64 + std::countr_zero(word)));
    }

private:
    static constexpr uint32_t kDenseLimit = 2048;  // at most 512 KiB of matrix
    static constexpr size_t kFirstCompaction = 16;

    // Lower neighbours of one register: a list (unsorted, repeats allowed
    // between compactions) or, once larger than that, a bit set of them.
    struct row_lists {
        std::vector<uint32_t> list;
        size_t unique = 0;           // list length after the last compaction
        std::vector<uint64_t> bits;  // one bit per lower register, when used
    };

    void add_lower(uint32_t hi, uint32_t lo) {
        row_lists& r = rows_[hi];
        if (!r.bits.empty()) {
            set_bit(r.bits.data(), lo);
            return;
        }
        r.list.push_back(lo);
        if (r.list.size() >= 2 * std::max(r.unique, kFirstCompaction)) compact(hi);
    }

    // Sorts and de-duplicates the list of v; a list that takes more bytes than
    // a bit set over the v lower registers becomes that bit set.
    void compact(uint32_t v) {
        row_lists& r = rows_[v];
        std::sort(r.list.begin(), r.list.end());
        r.list.erase(std::unique(r.list.begin(), r.list.end()), r.list.end());
        r.unique = r.list.size();
        if (r.unique * 32 > v) to_bits(v);
    }

    void to_bits(uint32_t v) {
        row_lists& r = rows_[v];
        r.bits.assign((size_t{v} + 63) / 64, 0);
        for (uint32_t x : r.list) set_bit(r.bits.data(), x);
        std::vector<uint32_t>().swap(r.list);
    }

    // Calls f(x) for every set bit x >= from of a bit set of bound bits.
    template <class F>
    void for_each_bit(const uint64_t* bits, uint32_t from, F&& f) const {
        size_t w = from / 64;
        if (w >= words_) return;
        uint64_t word = bits[w] & (~uint64_t{0} << (from % 64));
        for (;;) {
            while (word) {
                f(static_cast<uint32_t>(w * 64 + std::countr_zero(word)));
                word &= word - 1;
            }
            if (++w >= words_) return;
            word = bits[w];
        }
    }

    uint32_t bound_;
    size_t words_;
    bool dense_;
    std::vector<uint64_t> matrix_;
    std::vector<row_lists> rows_;
};

// ---- instruction removal ------------------------------------------------

// Drops the marked instructions (never the last one), redirecting jumps to a
// dropped instruction to the next kept one, and keeps the line and file-index
// tables parallel to the code.
void remove_instructions(lumk_program& p, const std::vector<uint8_t>& drop) {
    const size_t n = p.code.size();
    std::vector<uint64_t> new_index(n + 1, 0);
    uint64_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        new_index[i] = kept;
        if (!drop[i]) ++kept;
    }
    new_index[n] = kept;
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        if (drop[i]) continue;
        lumk_insn insn = p.code[i];
        if (info_of(insn.op).jump && insn.imm <= n) insn.imm = new_index[insn.imm];
        p.code[w] = insn;
        if (i < p.lines.size()) p.lines[w] = p.lines[i];
        if (i < p.file_indexes.size()) p.file_indexes[w] = p.file_indexes[i];
        ++w;
    }
    p.code.resize(w);
    p.lines.resize(std::min(p.lines.size(), w));
    p.file_indexes.resize(std::min(p.file_indexes.size(), w));
}

// After renaming: drops "MOV r, r" and a JMP whose target is the next
// instruction that stays (both do nothing). LOOP is kept: it polls for abort.
void drop_empty_moves(lumk_program& p) {
    const size_t n = p.code.size();
    std::vector<uint8_t> drop(n, 0);
    std::vector<size_t> next_kept(n + 1, n);
    bool any = false;
    for (size_t i = n; i-- > 0;) {
        const lumk_insn& insn = p.code[i];
        if (i + 1 < n) {
            if (insn.op == LUMK_MOV && insn.a == insn.b) drop[i] = 1;
            if (insn.op == LUMK_JMP && insn.imm > i && next_kept[i + 1] >= insn.imm) drop[i] = 1;
        }
        any = any || drop[i];
        next_kept[i] = drop[i] ? next_kept[i + 1] : i;
    }
    if (any) remove_instructions(p, drop);
}

// ---- pass 1: unchecked twins ----------------------------------------------

// A bounds check that has run: either a pointer-slot check (slot, index
// operand, element offset; the offset is 0 for the byte-addressed forms, which
// check the index alone) or an array check (CHKIDX: register and bound).
struct check_key {
    uint32_t block;
    uint32_t reg;
    uint32_t version;  // definitions of reg seen before the check
    uint16_t slot;
    uint8_t kind;  // 0 slot check, 1 CHKIDX
    uint64_t off;
    bool operator==(const check_key&) const = default;
};

struct check_hash {
    size_t operator()(const check_key& k) const noexcept {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        auto mix = [&](uint64_t v) {
            h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        };
        mix(k.block);
        mix((uint64_t{k.reg} << 32) | k.version);
        mix((uint64_t{k.slot} << 8) | k.kind);
        mix(k.off);
        return static_cast<size_t>(h);
    }
};

}  // namespace

const lumk_twin_map& lumk_unchecked_opcode_map() {
    static const lumk_twin_map map = [] {
        lumk_twin_map m{};
        static constexpr std::pair<std::string_view, std::string_view> pairs[] = {
            {"LD_", "LDU_"}, {"ST_", "STU_"}, {"LDF_", "LDFU_"}, {"STF_", "STFU_"}};
        auto find = [](std::string_view name) -> uint16_t {
            for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op)
                if (name == lumk_op_name(op)) return static_cast<uint16_t>(op);
            return 0;
        };
        for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op) {
            const std::string_view name = lumk_op_name(op);
            if (name == "ADDR") {
                m[op] = find("ADDRU");
                continue;
            }
            for (const auto& [checked, unchecked] : pairs) {
                if (starts_with(name, checked)) {
                    m[op] = find(std::string(unchecked) + std::string(name.substr(checked.size())));
                    break;
                }
            }
        }
        return m;
    }();
    return map;
}

bool lumk_opt_hoistable_opcode(uint32_t op) { return info_of(op).hoistable != 0; }

namespace {

// The passes, given a register bound (one more than every register number the
// program and its prologue use, pinned registers included).

uint32_t unchecked_twins(lumk_program& p, uint32_t bound) {
    const size_t n = p.code.size();
    if (n == 0) return 0;
    const lumk_twin_map& twins = lumk_unchecked_opcode_map();
    const std::vector<uint8_t> leader = block_leaders(p.code);
    std::vector<uint32_t> version(bound, 0);
    auto version_of = [&](uint32_t r) { return r < bound ? version[r] : 0u; };

    // Checks that ran in the current block: a short list is searched fastest;
    // a block with very many checks moves them into a hash set.
    constexpr size_t list_limit = 64;
    std::vector<check_key> seen_list;
    std::unordered_set<check_key, check_hash> seen_set;
    auto seen_before = [&](const check_key& k) {
        if (!seen_set.empty()) return !seen_set.insert(k).second;
        for (const check_key& s : seen_list)
            if (s == k) return true;
        seen_list.push_back(k);
        if (seen_list.size() > list_limit) {
            seen_set.insert(seen_list.begin(), seen_list.end());
            seen_list.clear();
        }
        return false;
    };
    std::vector<uint8_t> drop(n, 0);
    uint32_t block = 0, changed = 0, dropped = 0;
    for (size_t i = 0; i < n; ++i) {
        if (leader[i] && i > 0) {
            ++block;
            seen_list.clear();
            seen_set.clear();
        }
        lumk_insn& insn = p.code[i];
        const uint32_t op = insn.op;
        bool is_check = false;
        check_key key{block, 0, 0, 0, 0, 0};
        if (op == LUMK_CHKIDX) {
            is_check = true;
            key.kind = 1;
            key.reg = insn.a;
            key.off = insn.imm;
        } else if (lumk_op_is_mem(op) || op == LUMK_ADDR || op == LUMK_AADD_32 || op == LUMK_AADD_I32 ||
                   op == LUMK_AADD_64) {
            const lumk_mem_kind k = lumk_op_mem_kind(op);
            const bool element = lumk_op_is_mem(op) && (k == LUMK_MEM_LD || k == LUMK_MEM_ST);
            const bool field = lumk_op_is_mem(op) && (k == LUMK_MEM_LDF || k == LUMK_MEM_STF);
            if (element || field || !lumk_op_is_mem(op)) {
                is_check = true;
                key.slot = insn.b;
                key.reg = insn.c;
                key.off = element ? insn.imm : 0;
            }
        }
        if (is_check) {
            key.version = version_of(key.reg);
            if (seen_before(key)) {
                if (op == LUMK_CHKIDX) {
                    drop[i] = 1;
                    ++dropped;
                } else if (twins[op] != 0) {
                    insn.op = twins[op];
                    ++changed;
                }
            }
        }
        if (info_of(op).dest && insn.a < bound) ++version[insn.a];
    }
    if (dropped) remove_instructions(p, drop);
    return changed + dropped;
}

uint32_t hoist_prologue(lumk_program& p, uint32_t bound) {
    const size_t n = p.code.size();
    if (n == 0) return 0;
    const std::vector<uint8_t> pinned = pinned_registers(p, bound);

    std::vector<uint32_t> defs(bound, 0);
    for (const lumk_insn& insn : p.code)
        if (info_of(insn.op).dest && insn.a < bound) ++defs[insn.a];

    // A register read on some path from the top of a work item before it is
    // written holds its previous value there; moving its definition would
    // change what that read sees, so such registers stay.
    // Computed when the first candidate needs it.
    liveness lv;
    bool have_liveness = false;
    auto live_at_entry = [&](uint32_t r) {
        if (!have_liveness) {
            const std::vector<int32_t> track(bound, -1);
            lv = compute_liveness(p.code, build_flow(p.code, false), track, 0);
            have_liveness = true;
        }
        return lv.live_in(0, r);
    };

    std::vector<uint8_t> invariant(bound, 0);
    auto seed = [&](uint32_t r) {
        if (r < bound && defs[r] == 0) invariant[r] = 1;
    };
    seed(p.gsize);
    seed(p.gsize_x);
    seed(p.gsize_y);
    for (const lumk_param& prm : p.params)
        if (!prm.type.is_pointer) seed(prm.reg);
    // The engines write these; they are never invariant.
    for (uint16_t r : {p.gid, p.gid_x, p.gid_y, p.acc})
        if (r < bound) invariant[r] = 0;
    for (const lumk_reduction& red : p.reductions)
        if (red.reg < bound) invariant[red.reg] = 0;
    // Results of an earlier hoisting stay invariant.
    if (p.prologue)
        for (const lumk_insn& insn : p.prologue->code)
            if (info_of(insn.op).dest && insn.a < bound && defs[insn.a] == 0) invariant[insn.a] = 1;

    std::vector<uint8_t> drop(n, 0);
    std::vector<uint32_t> moved;
    for (size_t i = 0; i < n; ++i) {
        const lumk_insn& insn = p.code[i];
        if (!lumk_opt_hoistable_opcode(insn.op)) continue;
        const uint32_t d = insn.a;
        if (d >= bound || pinned[d] || defs[d] != 1) continue;
        bool ok = true;
        for_each_source(insn, [&](uint32_t r) {
            if (r >= LUMK_CONST_OPERAND) return;
            if (r >= bound || !invariant[r]) ok = false;
        });
        if (!ok || live_at_entry(d)) continue;
        invariant[d] = 1;
        drop[i] = 1;
        moved.push_back(static_cast<uint32_t>(i));
    }
    if (moved.empty()) return 0;

    if (!p.prologue) {
        auto pro = std::make_shared<lumk_program>();
        lumk_copy_program_header(*pro, p);
        pro->name = p.name + " (prologue)";
        p.prologue = std::move(pro);
    }
    lumk_program& pro = *p.prologue;
    // New instructions go before the prologue's END.
    if (!pro.code.empty() && pro.code.back().op == LUMK_END) {
        pro.code.pop_back();
        pro.lines.resize(std::min(pro.lines.size(), pro.code.size()));
        pro.file_indexes.resize(std::min(pro.file_indexes.size(), pro.code.size()));
    }
    pro.lines.resize(pro.code.size(), p.line);
    pro.file_indexes.resize(pro.code.size(), 0);
    for (uint32_t i : moved) {
        pro.code.push_back(p.code[i]);
        pro.lines.push_back(i < p.lines.size() ? p.lines[i] : p.line);
        pro.file_indexes.push_back(i < p.file_indexes.size() ? p.file_indexes[i] : 0);
    }
    pro.code.push_back(lumk_insn{LUMK_END, 0, 0, 0, 0});
    pro.lines.push_back(pro.lines.back());
    pro.file_indexes.push_back(pro.file_indexes.back());

    remove_instructions(p, drop);
    return static_cast<uint32_t>(moved.size());
}

uint32_t allocate_registers(lumk_program& p, uint32_t bound) {
    const std::vector<uint8_t> pinned = pinned_registers(p, bound);

    // map[r]: the new number of r, or -1 while r still has to be coloured.
    std::vector<int32_t> map(bound, -1);
    std::vector<uint8_t> taken(bound, 0);  // numbers no coloured register may get
    for (uint32_t r = 0; r < bound; ++r)
        if (pinned[r]) {
            map[r] = static_cast<int32_t>(r);
            taken[r] = 1;
        }
    uint32_t next_free = kFixedRegisters;
    auto take_free = [&]() -> uint32_t {
        while (next_free < bound && taken[next_free]) ++next_free;
        // bound registers always suffice: every number is used at most once.
        const uint32_t r = next_free++;
        if (r < bound) taken[r] = 1;
        return r;
    };

    // Prologue results live for the whole run of the lane runner: each keeps a
    // register of its own, numbered in prologue order.
    std::vector<uint8_t> from_prologue(bound, 0);
    if (p.prologue) {
        for (const lumk_insn& insn : p.prologue->code) {
            if (!info_of(insn.op).dest) continue;
            const uint32_t d = insn.a;
            if (d < bound && map[d] < 0) {
                map[d] = static_cast<int32_t>(take_free());
                from_prologue[d] = 1;
            }
        }
    }

    // Everything else is coloured over the kernel code.
    const flow_graph g = build_flow(p.code, true);
    const liveness lv = compute_liveness(p.code, g, map, kFixedRegisters);
    auto tracked = [&](uint32_t r) { return r >= kFixedRegisters && r < bound && map[r] < 0; };

    interference graph(bound);
    std::vector<uint8_t> present(bound, 0);
    std::vector<uint64_t> live((size_t{bound} + 63) / 64, 0);
    for (size_t b = 0; b < g.blocks(); ++b) {
        lv.live_out(g, b, live);
        for (uint32_t i = g.start[b + 1]; i-- > g.start[b];) {
            const lumk_insn& insn = p.code[i];
            if (info_of(insn.op).dest && tracked(insn.a)) {
                const uint32_t d = insn.a;
                present[d] = 1;
                graph.add_definition(d, live.data());
                clear_bit(live.data(), d);
            }
            for_each_source(insn, [&](uint32_t r) {
                if (!tracked(r)) return;
                present[r] = 1;
                set_bit(live.data(), r);
            });
        }
    }
    graph.finish();

    // Registers joined by a MOV prefer one colour: the copy then becomes
    // "MOV r, r" and is dropped below.
    std::vector<std::pair<uint32_t, uint32_t>> copies;  // (register, partner), both directions
    for (const lumk_insn& insn : p.code)
        if (insn.op == LUMK_MOV && tracked(insn.a) && tracked(insn.b) && insn.a != insn.b) {
            copies.emplace_back(insn.a, insn.b);
            copies.emplace_back(insn.b, insn.a);
        }
    std::stable_sort(copies.begin(), copies.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });

    // Greedy colouring in register order: deterministic, and the checker hands
    // out registers in emission order, so neighbours in time get low colours.
    std::vector<int32_t> color(bound, -1);
    std::vector<uint32_t> stamp(bound + 1, 0);
    std::vector<uint32_t> number_of_color;
    size_t next_copy = 0;
    for (uint32_t v = kFixedRegisters; v < bound; ++v) {
        while (next_copy < copies.size() && copies[next_copy].first < v) ++next_copy;
        if (!tracked(v) || !present[v]) continue;
        graph.for_each_lower_neighbor(v, [&](uint32_t x) {
            if (color[x] >= 0) stamp[color[x]] = v + 1;
        });
        int32_t c = -1;
        for (size_t k = next_copy; k < copies.size() && copies[k].first == v && c < 0; ++k) {
            const int32_t pc = color[copies[k].second];
            if (pc >= 0 && stamp[pc] != v + 1) c = pc;
        }
        if (c < 0) {
            c = 0;
            while (stamp[c] == v + 1) ++c;
        }
        color[v] = c;
        while (number_of_color.size() <= static_cast<uint32_t>(c)) number_of_color.push_back(take_free());
    }
    for (uint32_t v = kFixedRegisters; v < bound; ++v)
        if (color[v] >= 0) map[v] = static_cast<int32_t>(number_of_color[color[v]]);

    // Register-file size: one past the highest number still in use.
    uint32_t count = kFixedRegisters;
    for (uint32_t r = 0; r < bound; ++r)
        if (pinned[r] || (map[r] >= 0 && (present[r] || from_prologue[r])))
            count = std::max(count, static_cast<uint32_t>(map[r]) + 1);

    for (lumk_insn& insn : p.code) lumk_insn_rename_operands(insn, map);
    if (p.prologue)
        for (lumk_insn& insn : p.prologue->code) lumk_insn_rename_operands(insn, map);
    drop_empty_moves(p);

    // Names follow their registers; a shared register keeps the first name.
    if (!p.reg_names.empty()) {
        std::vector<std::string> names(count);
        for (uint32_t r = 0; r < bound && r < p.reg_names.size(); ++r) {
            if (map[r] < 0 || p.reg_names[r].empty()) continue;
            const uint32_t to = static_cast<uint32_t>(map[r]);
            if (to < count && names[to].empty()) names[to] = p.reg_names[r];
        }
        while (!names.empty() && names.back().empty()) names.pop_back();
        p.reg_names = std::move(names);
        if (p.prologue) lumk_copy_program_header(*p.prologue, p);
    }
    return count;
}

}  // namespace

uint32_t lumk_opt_unchecked_twins(lumk_program& program) {
    return unchecked_twins(program, register_bound(program));
}

uint32_t lumk_opt_hoist_prologue(lumk_program& program) { return hoist_prologue(program, register_bound(program)); }

uint32_t lumk_opt_allocate_registers(lumk_program& program, uint32_t register_count) {
    return allocate_registers(program, std::max(register_count, register_bound(program)));
}

lumk_opt_stats lumk_optimize_program(lumk_program& program, uint32_t register_count) {
    // Passes only remove or move instructions, so one bound serves all three.
    const uint32_t bound = std::max(register_count, register_bound(program));
    lumk_opt_stats s;
    s.twins = unchecked_twins(program, bound);
    s.hoisted = hoist_prologue(program, bound);
    s.registers_before = register_count;
    s.registers_after = allocate_registers(program, bound);
    return s;
}
