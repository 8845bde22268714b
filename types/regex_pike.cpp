#include "types/regex_pike.h"

#include <algorithm>
#include <array>
#include <cstring>

using namespace lum_regex_syntax;

namespace {

// Instructions. The byte-reading ones (byte, set) and match are where threads
// wait between positions; all others are followed at once.
enum pike_op : uint8_t {
    k_byte,   // a: byte
    k_set,    // a: set
    k_match,
    k_jmp,    // a: target
    k_split,  // a: preferred target, b: the other
    k_save,   // a: capture slot := position
    k_reset,  // capture slots [a, b) := unset
    k_bol,
    k_eol,
    k_wordb,
    k_nwordb,
    k_check,  // end of an iteration of a loop at `depth` that may match the empty text
    k_fail,
};

// Empty iterations. Every iteration of a loop past its minimum whose body
// can match the empty text is a "checked" region, and checked regions nest;
// `depth` counts the checked regions around an instruction. A thread's level
// says how many of those, from the outermost, have consumed a byte in their
// current iteration: reading a byte raises it to the reader's depth, and the
// check at the end of an iteration of depth d fails below d (the iteration
// was empty) and otherwise leaves the level at d - 1. A thread that entered
// an iteration at the current position has a lower level than one that
// consumed in it, so only the level (not the whole path) tells them apart.
//
// Deduplication. A thread at a byte-reading instruction (or match) has a
// future that depends on nothing but its instruction: the first, highest-
// priority thread to get there wins. Outside checked regions (depth 0) the
// level is always 0 and the same holds for every instruction. Inside, a later
// arrival at an instruction is dropped only when an earlier visit with at
// least its level has been explored completely; an arrival that comes back to
// an instruction whose visit is still being explored (around a loop, with a
// lower level) is explored at once, since a backtracking matcher would try it
// before the rest of that visit. Levels fall on every such round, so an
// instruction is explored at most once per level.
struct pike_insn {
    uint8_t op = k_fail;
    uint16_t depth = 0;
    uint32_t a = 0, b = 0;
};

// Unrolled programs beyond this size stay with the backtracking matcher:
// their thread lists would make every byte cost too much.
constexpr size_t max_program = 20000;
// Capture storage per thread list (threads x slots).
constexpr size_t max_capture_slots = size_t{1} << 19;
// Instruction visits of the worst case a text may have (well under a second).
constexpr size_t max_visits = size_t{1} << 26;

}  // namespace

struct lum_pike_program {
    std::vector<pike_insn> code;
    std::vector<byte_table> sets;
    byte_table word{};
    uint32_t groups = 0;
    uint32_t threads = 0;  // byte, set and match instructions: the most threads a list holds
    size_t visits = 0;     // the most instruction visits at one position (one per level)
};

namespace {

class pike_compiler {
public:
    pike_compiler(const tree& syntax, lum_pike_program& prog) : t_(syntax), prog_(prog) {}

    // Program size of every node (children come before parents).
    bool fits() {
        sizes_.assign(t_.nodes.size(), 0);
        for (size_t i = 0; i < t_.nodes.size(); ++i) {
            const node& n = t_.nodes[i];
            size_t size = 0;
            switch (n.kind) {
                case n_empty:
                    break;
                case n_char:
                case n_set:
                case n_bol:
                case n_eol:
                case n_wordb:
                case n_nwordb:
                    size = 1;
                    break;
                case n_backref:
                case n_look:
                    return false;
                case n_group:
                    size = add_saturating(sizes_[n.kids[0]], n.value != 0 ? 2 : 0);
                    break;
                case n_concat:
                    for (uint32_t k : n.kids) size = add_saturating(size, sizes_[k]);
                    break;
                case n_alt:
                    for (uint32_t k : n.kids) size = add_saturating(size, add_saturating(sizes_[k], 2));
                    break;
                case n_repeat: {
                    const size_t k = sizes_[n.kids[0]];
                    if (n.max == 0) break;
                    if (n.min == 1 && n.max == 1) {
                        size = k;
                        break;
                    }
                    const size_t body = add_saturating(k, (n.cap_hi >= n.cap_lo ? 1 : 0) + 3);
                    size = mul_saturating(n.min, body);
                    size = add_saturating(size, n.max == infinite ? body : mul_saturating(n.max - n.min, body));
                    break;
                }
            }
            if (size > max_program) return false;
            sizes_[i] = size;
        }
        return true;
    }

    void emit_root() {
        prog_.code.reserve(sizes_[t_.root] + 1);
        emit(t_.root, 0);
        op(k_match);
    }

private:
    uint32_t here() const { return static_cast<uint32_t>(prog_.code.size()); }
    uint32_t op(uint8_t code, uint16_t depth = 0, uint32_t a = 0, uint32_t b = 0) {
        pike_insn in;
        in.op = code;
        in.depth = depth;
        in.a = a;
        in.b = b;
        prog_.code.push_back(in);
        return here() - 1;
    }

    uint32_t intern(const bits& b) { return interned_.intern(prog_.sets, b); }

    void emit(uint32_t id, uint16_t depth) {
        const node& n = t_.nodes[id];
        switch (n.kind) {
            case n_empty:
                return;
            case n_char:
                op(k_byte, depth, n.value);
                return;
            case n_set: {
                const bits& b = t_.sets[n.value];
                const int one = b.single();
                if (one >= 0)
                    op(k_byte, depth, static_cast<uint32_t>(one));
                else if (b.count() == 0)
                    op(k_fail, depth);
                else
                    op(k_set, depth, intern(b));
                return;
            }
            case n_bol:
                op(k_bol, depth);
                return;
            case n_eol:
                op(k_eol, depth);
                return;
            case n_wordb:
                op(k_wordb, depth);
                return;
            case n_nwordb:
                op(k_nwordb, depth);
                return;
            case n_group:
                if (n.value != 0) op(k_save, depth, 2 * n.value);
                emit(n.kids[0], depth);
                if (n.value != 0) op(k_save, depth, 2 * n.value + 1);
                return;
            case n_concat:
                for (uint32_t k : n.kids) emit(k, depth);
                return;
            case n_alt: {
                std::vector<uint32_t> exits;
                for (size_t i = 0; i + 1 < n.kids.size(); ++i) {
                    const uint32_t split = op(k_split, depth);
                    prog_.code[split].a = here();
                    emit(n.kids[i], depth);
                    exits.push_back(op(k_jmp, depth));
                    prog_.code[split].b = here();
                }
                emit(n.kids.back(), depth);
                for (uint32_t pc : exits) prog_.code[pc].a = here();
                return;
            }
            case n_repeat:
                emit_repeat(n, depth);
                return;
            default:  // back-references and lookaheads never get here (fits)
                op(k_fail);
                return;
        }
    }

    // One iteration: the captures inside are cleared first.
    void iteration(const node& n, uint16_t depth) {
        if (n.cap_hi >= n.cap_lo) op(k_reset, depth, 2 * n.cap_lo, 2 * n.cap_hi + 2);
        emit(n.kids[0], depth);
    }

    void emit_repeat(const node& n, uint16_t depth) {
        if (n.max == 0) return;
        if (n.min == 1 && n.max == 1) {
            emit(n.kids[0], depth);
            return;
        }
        for (uint32_t i = 0; i < n.min; ++i) iteration(n, depth);
        if (n.max == n.min) return;
        // Iterations past the minimum fail when they match the empty text.
        const bool checked = t_.nodes[n.kids[0]].nullable;
        const uint16_t inner = checked ? static_cast<uint16_t>(depth + 1) : depth;
        auto optional = [&](uint32_t split, uint32_t exit) {
            pike_insn& in = prog_.code[split];
            in.a = n.flag ? split + 1 : exit;  // greedy: one more iteration first
            in.b = n.flag ? exit : split + 1;
        };
        if (n.max == infinite) {
            const uint32_t head = op(k_split, depth);
            iteration(n, inner);
            if (checked) op(k_check, inner);
            op(k_jmp, inner, head);
            optional(head, here());
            return;
        }
        std::vector<uint32_t> splits;
        for (uint32_t i = n.min; i < n.max; ++i) {
            splits.push_back(op(k_split, depth));
            iteration(n, inner);
            if (checked) op(k_check, inner);
        }
        for (uint32_t split : splits) optional(split, here());
    }

    const tree& t_;
    lum_pike_program& prog_;
    std::vector<size_t> sizes_;
    set_interner interned_;
};

}  // namespace

std::shared_ptr<const lum_pike_program> lum_pike_compile(const tree& syntax) {
    if (syntax.backtracking_only) return nullptr;
    auto prog = std::make_shared<lum_pike_program>();
    pike_compiler compiler(syntax, *prog);
    if (!compiler.fits()) return nullptr;
    compiler.emit_root();
    prog->groups = syntax.groups;
    prog->word = to_table(syntax.word);
    for (const pike_insn& in : prog->code) {
        if (in.op == k_byte || in.op == k_set || in.op == k_match) ++prog->threads;
        prog->visits += size_t{in.depth} + 1;
    }
    if (mul_saturating(prog->threads, 2 * (size_t{prog->groups} + 1)) > max_capture_slots) return nullptr;
    return prog;
}

// ---- simulation ----

struct lum_pike_matcher::thread_list {
    std::vector<uint32_t> pc;    // threads in priority order
    std::vector<size_t> caps;    // their capture slots, slots_ per thread
    uint32_t count = 0;
    std::vector<uint32_t> stamp;  // per instruction: generation of its last visit
    std::vector<uint16_t> done;   // per instruction: 1 + the highest level fully explored, 0 for none
    uint32_t generation = 0;
};

// Work of the closure: a thread to follow, or a capture slot to restore.
struct lum_pike_matcher::pending {
    static constexpr uint32_t restore = 0xFFFFFFFFu;
    static constexpr uint32_t finish = 0xFFFFFFFEu;
    uint32_t pc;     // or the slot
    uint32_t level;  // or `restore` (value: the slot's old value) or `finish` (value: the level explored)
    size_t value;
};

lum_pike_matcher::lum_pike_matcher(const lum_pike_program& program, const prefilter& scan)
    : program_(program), scan_(scan) {}

lum_pike_matcher::~lum_pike_matcher() = default;

bool lum_pike_matcher::affordable(size_t size) const noexcept {
    return mul_saturating(program_.visits, add_saturating(size, 1)) <= max_visits;
}

// Sizes the lists for `slots` capture slots per thread: allocations happen
// on the first run and on the first question about groups, never per byte or
// per match (a thread's slots are written whenever it is added).
void lum_pike_matcher::prepare(uint32_t slots) {
    if (slots_ == slots && lists_[0]) return;
    slots_ = slots;
    const size_t size = program_.code.size();
    for (auto& list : lists_) {
        if (!list) {
            list = std::make_unique<thread_list>();
            list->pc.resize(program_.threads);
            list->stamp.assign(size, 0);
            list->done.assign(size, 0);
        }
        const size_t needed = size_t{program_.threads} * slots;
        if (list->caps.size() < needed) list->caps.resize(needed);
        list->count = 0;
    }
    seed_.resize(slots);
}


bool lum_pike_matcher::run(std::string_view text, size_t start, lum_pike_mode mode) {
    text_ = reinterpret_cast<const unsigned char*>(text.data());
    size_ = text.size();
    start_ = start;
    mode_ = mode;
    begin_ = end_ = npos;
    if (start > size_ || size_ - start < scan_.min_length) return false;
    if (scan_.anchored && start != 0) return false;
    if (mode == lum_pike_mode::search && scan_.pure_literal) {
        const size_t at = scan_.next_start(text_, size_, start);
        if (at == npos) return false;
        begin_ = at;
        end_ = at + scan_.prefix.size();
        return true;
    }
    prepare(2);
    size_t best[2] = {npos, npos};
    if (!simulate(false, best)) return false;
    begin_ = best[0];
    end_ = best[1];
    return true;
}

void lum_pike_matcher::groups(std::string_view text, std::vector<size_t>& slots) {
    const uint32_t count = 2 * (program_.groups + 1);
    slots.assign(count, npos);
    if (begin_ == npos) return;
    text_ = reinterpret_cast<const unsigned char*>(text.data());
    size_ = text.size();
    start_ = begin_;
    prepare(count);
    simulate(true, slots.data());
    prepare(2);
}

void lum_pike_matcher::add(thread_list& list, uint32_t pc0, uint32_t level0, size_t* caps, size_t pos) {
    const pike_insn* const code = program_.code.data();
    const uint32_t generation = list.generation;
    const uint32_t slots = slots_;
    stack_.clear();
    stack_.push_back(pending{pc0, level0, 0});
    while (!stack_.empty()) {
        const pending work = stack_.back();
        stack_.pop_back();
        if (work.level == pending::restore) {
            caps[work.pc] = work.value;
            continue;
        }
        if (work.level == pending::finish) {
            const auto explored = static_cast<uint16_t>(work.value + 1);
            if (list.done[work.pc] < explored) list.done[work.pc] = explored;
            continue;
        }
        uint32_t pc = work.pc, level = work.level;
        for (bool alive = true; alive;) {
            const pike_insn& in = code[pc];
            if (in.op <= k_match || in.depth == 0) {
                if (list.stamp[pc] == generation) break;
                list.stamp[pc] = generation;
            } else {
                if (list.stamp[pc] != generation) {
                    list.stamp[pc] = generation;
                    list.done[pc] = 0;
                } else if (list.done[pc] > level) {
                    break;
                }
                stack_.push_back(pending{pc, pending::finish, level});
            }
            switch (in.op) {
                case k_byte:
                case k_set:
                case k_match: {
                    const uint32_t t = list.count++;
                    list.pc[t] = pc;
                    std::copy(caps, caps + slots, list.caps.data() + size_t{t} * slots);
                    alive = false;
                    break;
                }
                case k_jmp:
                    pc = in.a;
                    break;
                case k_split:
                    stack_.push_back(pending{in.b, level, 0});
                    pc = in.a;
                    break;
                case k_save:
                    if (in.a < slots) {
                        stack_.push_back(pending{in.a, pending::restore, caps[in.a]});
                        caps[in.a] = pos;
                    }
                    ++pc;
                    break;
                case k_reset:
                    for (uint32_t r = in.a; r < in.b && r < slots; ++r) {
                        if (caps[r] == npos) continue;
                        stack_.push_back(pending{r, pending::restore, caps[r]});
                        caps[r] = npos;
                    }
                    ++pc;
                    break;
                case k_bol:
                    alive = pos == 0;
                    ++pc;
                    break;
                case k_eol:
                    alive = pos == size_;
                    ++pc;
                    break;
                case k_wordb:
                case k_nwordb: {
                    const bool before = pos > 0 && program_.word[text_[pos - 1]];
                    const bool after = pos < size_ && program_.word[text_[pos]];
                    alive = (before != after) == (in.op == k_wordb);
                    ++pc;
                    break;
                }
                case k_check:
                    if (level < in.depth) {
                        alive = false;  // the iteration matched the empty text
                        break;
                    }
                    level = in.depth - 1u;
                    ++pc;
                    break;
                default:  // k_fail
                    alive = false;
                    break;
            }
        }
    }
}

void lum_pike_matcher::new_generation(thread_list& list) {
    if (++generation_ == 0) {
        // After 2^32 positions: forget every old stamp once.
        for (auto& l : lists_) std::fill(l->stamp.begin(), l->stamp.end(), 0);
        generation_ = 1;
    }
    list.generation = generation_;
    list.count = 0;
}

bool lum_pike_matcher::simulate(bool seed_once, size_t* best) {
    const pike_insn* const code = program_.code.data();
    const byte_table* const sets = program_.sets.data();
    const unsigned char* const s = text_;
    const size_t n = size_;
    const uint32_t slots = slots_;
    thread_list* now = lists_[0].get();
    thread_list* next = lists_[1].get();
    new_generation(*now);
    const bool seed_anywhere = !seed_once && mode_ == lum_pike_mode::search && !scan_.anchored;
    bool matched = false;
    size_t pos = start_;
    for (;;) {
        if (!matched && (pos == start_ || seed_anywhere)) {
            // Seeding only at the start gets here with pos == start_: always seeded.
            bool seed = true;
            if (seed_anywhere && now->count == 0) {
                // Nothing alive: skip to where a match can start.
                const size_t at = scan_.next_start(s, n, pos);
                if (at == npos) break;
                if (at != pos) {
                    pos = at;
                    new_generation(*now);
                }
            } else if (seed_anywhere) {
                seed = scan_.may_start(s, n, pos);
            }
            if (seed) {
                std::fill(seed_.begin(), seed_.end(), npos);
                seed_[0] = pos;
                add(*now, 0, 0, seed_.data(), pos);
            }
        }
        if (now->count == 0) {
            if (matched || !seed_anywhere || pos >= n) break;
            ++pos;
            new_generation(*now);
            continue;
        }
        new_generation(*next);
        const int c = pos < n ? s[pos] : -1;
        for (uint32_t i = 0; i < now->count; ++i) {
            const uint32_t pc = now->pc[i];
            const pike_insn& in = code[pc];
            size_t* caps = now->caps.data() + size_t{i} * slots;
            if (in.op == k_match) {
                if (mode_ == lum_pike_mode::full && pos != n) continue;
                if (mode_ == lum_pike_mode::here_not_empty && pos == start_) continue;
                // The best match so far; every thread after this one has a lower priority.
                matched = true;
                std::copy(caps, caps + slots, best);
                best[1] = pos;
                break;
            }
            if (c < 0) continue;
            if (in.op == k_byte ? c == static_cast<int>(in.a) : sets[in.a][c] != 0) {
                const uint32_t to = pc + 1;
                if (code[to].op <= k_match) {
                    // Straight on to the next byte-reading instruction: no closure to follow.
                    if (next->stamp[to] == next->generation) continue;
                    next->stamp[to] = next->generation;
                    const uint32_t t = next->count++;
                    next->pc[t] = to;
                    std::copy(caps, caps + slots, next->caps.data() + size_t{t} * slots);
                } else {
                    add(*next, to, in.depth, caps, pos + 1);
                }
            }
        }
        if (pos >= n) break;
        std::swap(now, next);
        ++pos;
    }
    return matched;
}
