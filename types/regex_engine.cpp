#include "types/regex_engine.h"

#include "types/regex_pike.h"
#include "types/regex_syntax.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/platform.h"

namespace {

using namespace lum_regex_syntax;

// ---- program ----

enum opcode : uint8_t {
    op_char,       // a: byte
    op_str,        // a: offset into the literal pool, b: length
    op_set,        // a: set
    op_bol,        // position 0
    op_eol,        // end of the text
    op_wordb,      // \b
    op_nwordb,     // \B
    op_jmp,        // a: target
    op_split,      // optional item: a: target past the item, e: guard set (greedy unless lazy flag)
    op_alt,        // alternative: a: next alternative, b: this one's guard set, c: the later ones' guard set
    op_save,       // a: register := position
    op_reset,      // registers [a, b) := unset
    op_backref,    // a: group
    op_star,       // single-byte loop: a: set, b: min, c: max, hint: next byte + 1
    op_rep_init,   // a: count register := 0
    op_rep_check,  // a: register pair, b: min, c: max, d: exit, e: guard set
    op_rep_enter,  // register a + 1 := position (start of the iteration)
    op_rep_end,    // a: register pair, b: min, c: loop head
    op_look,       // a: continuation, flag negative
    op_look_ok,    // the lookahead's body matched
    op_match,
    op_fail,
};

constexpr uint8_t flag_lazy = 1;
constexpr uint8_t flag_empty_check = 2;
constexpr uint8_t flag_negative = 4;

constexpr uint32_t no_set = 0xFFFFFFFFu;

struct insn {
    uint8_t op = op_fail;
    uint8_t flags = 0;
    uint16_t hint = 0;
    uint32_t a = 0, b = 0, c = 0, d = 0, e = no_set;
};

}  // namespace

struct lum_regex_program {
    std::vector<insn> code;
    std::vector<byte_table> sets;
    std::string literals;
    byte_table word{};
    uint32_t groups = 0;
    uint32_t registers = 0;
    prefilter scan;  // where matches can start
    // The program starts with an unbounded single-byte loop outside any
    // group: a failed attempt has tried every place its run of bytes reaches.
    bool leading_loop = false;
};

namespace {

// ---- code generation ----

class generator {
public:
    generator(const std::vector<node>& nodes, const std::vector<bits>& sets, lum_regex_program& prog)
        : nodes_(nodes), sets_(sets), prog_(prog) {}

    void emit_root(uint32_t root) {
        prog_.registers = 2 * (prog_.groups + 1);
        emit(root);
        emit_op(op_match);
    }

private:
    uint32_t here() const { return static_cast<uint32_t>(prog_.code.size()); }
    uint32_t emit_op(uint8_t op) {
        insn in;
        in.op = op;
        prog_.code.push_back(in);
        return here() - 1;
    }
    insn& at(uint32_t pc) { return prog_.code[pc]; }

    uint32_t intern(const bits& b) { return interned_.intern(prog_.sets, b); }

    // Guard set of a node that cannot match empty; no_set otherwise.
    uint32_t guard_of(const node& n) { return n.nullable ? no_set : intern(n.first); }

    // The node reached through non-capturing groups.
    const node& unwrap(uint32_t id) const {
        const node* n = &nodes_[id];
        while (n->kind == n_group && n->value == 0) n = &nodes_[n->kids[0]];
        return *n;
    }

    void emit_set(const bits& b) {
        const int one = b.single();
        if (one >= 0) {
            at(emit_op(op_char)).a = static_cast<uint32_t>(one);
        } else if (b.count() == 0) {
            emit_op(op_fail);
        } else {
            const uint32_t s = intern(b);
            at(emit_op(op_set)).a = s;
        }
    }

    void emit_literal_run(const std::string& run) {
        if (run.size() == 1) {
            at(emit_op(op_char)).a = static_cast<unsigned char>(run[0]);
            return;
        }
        const uint32_t pc = emit_op(op_str);
        at(pc).a = static_cast<uint32_t>(prog_.literals.size());
        at(pc).b = static_cast<uint32_t>(run.size());
        prog_.literals += run;
    }

    void emit(uint32_t id) {
        const node& n = nodes_[id];
        switch (n.kind) {
            case n_empty:
                return;
            case n_char:
                at(emit_op(op_char)).a = n.value;
                return;
            case n_set:
                emit_set(sets_[n.value]);
                return;
            case n_bol:
                emit_op(op_bol);
                return;
            case n_eol:
                emit_op(op_eol);
                return;
            case n_wordb:
                emit_op(op_wordb);
                return;
            case n_nwordb:
                emit_op(op_nwordb);
                return;
            case n_backref:
                at(emit_op(op_backref)).a = n.value;
                return;
            case n_group:
                if (n.value != 0) at(emit_op(op_save)).a = 2 * n.value;
                emit(n.kids[0]);
                if (n.value != 0) at(emit_op(op_save)).a = 2 * n.value + 1;
                return;
            case n_look: {
                const uint32_t pc = emit_op(op_look);
                if (n.flag) at(pc).flags = flag_negative;
                emit(n.kids[0]);
                emit_op(op_look_ok);
                at(pc).a = here();
                return;
            }
            case n_concat: {
                std::string run;
                for (uint32_t kid : n.kids) {
                    const node& k = nodes_[kid];
                    if (k.kind == n_char) {
                        run += static_cast<char>(k.value);
                        continue;
                    }
                    if (!run.empty()) emit_literal_run(run), run.clear();
                    emit(kid);
                }
                if (!run.empty()) emit_literal_run(run);
                return;
            }
            case n_alt:
                emit_alt(n);
                return;
            case n_repeat:
                emit_repeat(n);
                return;
        }
    }

    void emit_alt(const node& n) {
        const size_t count = n.kids.size();
        // Guards of the alternatives after each one.
        std::vector<uint32_t> rest(count, no_set);
        bits later;
        bool later_nullable = false;
        for (size_t i = count; i-- > 1;) {
            const node& k = nodes_[n.kids[i]];
            later |= k.first;
            later_nullable = later_nullable || k.nullable;
            rest[i - 1] = later_nullable ? no_set : intern(later);
        }
        std::vector<uint32_t> exits;
        for (size_t i = 0; i < count; ++i) {
            const node& k = nodes_[n.kids[i]];
            if (i + 1 < count) {
                const uint32_t pc = emit_op(op_alt);
                at(pc).b = guard_of(k);
                at(pc).c = rest[i];
                emit(n.kids[i]);
                exits.push_back(emit_op(op_jmp));
                at(pc).a = here();
            } else {
                emit(n.kids[i]);
            }
        }
        for (uint32_t pc : exits) at(pc).a = here();
    }

    void emit_repeat(const node& n) {
        const uint32_t kid = n.kids[0];
        const node& k = nodes_[kid];
        if (n.max == 0) return;
        if (n.min == 1 && n.max == 1) {
            emit(kid);
            return;
        }
        const node& inner = unwrap(kid);
        if (inner.kind == n_char || inner.kind == n_set) {
            bits b;
            if (inner.kind == n_char)
                b.set(inner.value);
            else
                b = sets_[inner.value];
            const uint32_t pc = emit_op(op_star);
            at(pc).a = intern(b);
            at(pc).b = n.min;
            at(pc).c = n.max;
            if (!n.flag) at(pc).flags = flag_lazy;
            return;
        }
        if (!k.nullable && n.min == 0 && n.max == 1) {
            const uint32_t pc = emit_op(op_split);
            at(pc).e = guard_of(k);
            if (!n.flag) at(pc).flags = flag_lazy;
            emit(kid);
            at(pc).a = here();
            return;
        }
        const uint32_t reg = prog_.registers;
        prog_.registers += 2;
        at(emit_op(op_rep_init)).a = reg;
        const uint32_t head = emit_op(op_rep_check);
        at(head).a = reg;
        at(head).b = n.min;
        at(head).c = n.max;
        at(head).e = guard_of(k);
        if (!n.flag) at(head).flags = flag_lazy;
        if (k.nullable) at(emit_op(op_rep_enter)).a = reg;
        if (n.cap_hi >= n.cap_lo) {
            const uint32_t pc = emit_op(op_reset);
            at(pc).a = 2 * n.cap_lo;
            at(pc).b = 2 * n.cap_hi + 2;
        }
        emit(kid);
        const uint32_t tail = emit_op(op_rep_end);
        at(tail).a = reg;
        at(tail).b = n.min;
        at(tail).c = head;
        at(tail).d = n.max;
        if (k.nullable) at(tail).flags = flag_empty_check;
        at(head).d = here();
    }

    const std::vector<node>& nodes_;
    const std::vector<bits>& sets_;
    lum_regex_program& prog_;
    set_interner interned_;
};

// The byte the code at `pc` must read first, or -1 (looks through saves and jumps).
int next_byte(const lum_regex_program& prog, uint32_t pc) {
    for (int hops = 0; hops < 16 && pc < prog.code.size(); ++hops) {
        const insn& in = prog.code[pc];
        switch (in.op) {
            case op_save:
                ++pc;
                continue;
            case op_jmp:
                pc = in.a;
                continue;
            case op_char:
                return static_cast<int>(in.a);
            case op_str:
                return static_cast<unsigned char>(prog.literals[in.a]);
            default:
                return -1;
        }
    }
    return -1;
}

void finish(lum_regex_program& prog, const node& root) {
    prefilter& scan = prog.scan;
    scan.nullable = root.nullable;
    scan.min_length = root.min_length;
    scan.first = to_table(root.first);
    scan.first_count = root.first.count();
    for (uint32_t pc = 0; pc < prog.code.size(); ++pc) {
        insn& in = prog.code[pc];
        if (in.op == op_star) {
            const int b = next_byte(prog, pc + 1);
            in.hint = b < 0 ? 0 : static_cast<uint16_t>(b + 1);
        }
    }
    // The straight-line start of the program: an anchor or a literal prefix.
    uint32_t pc = 0;
    bool only_literal = true;
    while (pc < prog.code.size()) {
        const insn& in = prog.code[pc];
        if (in.op == op_save) {
            only_literal = false;
        } else if (in.op == op_char) {
            scan.prefix += static_cast<char>(in.a);
        } else if (in.op == op_str) {
            scan.prefix.append(prog.literals, in.a, in.b);
        } else {
            break;
        }
        ++pc;
    }
    if (pc < prog.code.size() && prog.code[pc].op == op_bol && scan.prefix.empty()) scan.anchored = true;
    prog.leading_loop = !prog.code.empty() && prog.code[0].op == op_star && prog.code[0].c == infinite;
    scan.pure_literal = only_literal && !scan.prefix.empty() && pc < prog.code.size() &&
                        prog.code[pc].op == op_match;
}

}  // namespace

// ---- lum_regex ----

lum_regex::lum_regex(std::string_view pattern) {
    auto prog = std::make_unique<lum_regex_program>();
    const tree syntax = parse(pattern);
    prog->groups = syntax.groups;
    prog->word = to_table(syntax.word);
    generator gen(syntax.nodes, syntax.sets, *prog);
    gen.emit_root(syntax.root);
    finish(*prog, syntax.nodes[syntax.root]);
    prog->scan.required = required_byte(syntax, prog->scan.prefix);
    program_ = std::move(prog);
    pike_ = lum_pike_compile(syntax);
}

lum_regex::~lum_regex() = default;

uint32_t lum_regex::group_count() const noexcept { return program_->groups; }

// ---- matcher ----

struct lum_regex_matcher::frame {
    uint32_t kind;
    uint32_t x;  // undo: register; choice: pc; star: pc of the loop; look: continuation
    size_t a;    // undo: old value; choice: position; star: lowest / current end; look: position
    size_t b;    // star: current end / limit; look: enclosing lookahead's frame
};

namespace {
enum : uint32_t { fr_undo, fr_choice, fr_star_greedy, fr_star_lazy, fr_look_pos, fr_look_neg };

// In front of the NFA the backtracking machine may spend this many steps per
// byte of the text (all calls on that text together) and this much
// backtrack stack before the NFA takes over.
constexpr uint64_t quick_steps_per_byte = 24;
constexpr size_t quick_frames = size_t{1} << 16;

// The quick allowance is spent: the call goes to the NFA.
struct quick_spent {};
}

lum_regex_matcher::lum_regex_matcher(const lum_regex& expression, lum_regex_limits limits, lum_regex_engine engine)
    : program_(expression.program()),
      limits_(limits),
      steps_left_(limits.max_steps),
      max_frames_(std::max<size_t>(1, limits.max_stack_bytes / sizeof(frame))),
      registers_(program_.registers, npos) {
    if (engine != lum_regex_engine::backtracking && expression.pike() != nullptr) {
        pike_ = std::make_unique<lum_pike_matcher>(*expression.pike(), program_.scan);
        nfa_only_ = engine == lum_regex_engine::nfa;
    }
}

lum_regex_matcher::~lum_regex_matcher() = default;

uint32_t lum_regex_matcher::group_count() const noexcept { return program_.groups; }

const size_t* lum_regex_matcher::pike_groups() const {
    if (!pike_groups_ready_) {
        pike_->groups(std::string_view(reinterpret_cast<const char*>(text_), size_), pike_groups_);
        pike_groups_ready_ = true;
    }
    return pike_groups_.data();
}

size_t lum_regex_matcher::begin(uint32_t group) const {
    if (group == 0) return match_begin_;
    if (match_begin_ == npos || group > program_.groups) return npos;
    const size_t* slots = on_nfa_ ? pike_groups() : registers_.data();
    const size_t b = slots[2 * group], e = slots[2 * group + 1];
    return b == npos || e == npos || e < b ? npos : b;
}

size_t lum_regex_matcher::end(uint32_t group) const {
    if (group == 0) return match_end_;
    if (begin(group) == npos) return npos;
    return (on_nfa_ ? pike_groups() : registers_.data())[2 * group + 1];
}

void lum_regex_matcher::fail_complexity(uint64_t budget) {
    throw lum_regex_error(lum_regex_error_complexity,
                          "the match needed more than " + std::to_string(budget) + " steps");
}

void lum_regex_matcher::fail_stack() {
    throw lum_regex_error(lum_regex_error_stack, "the match needed more than " +
                                                     std::to_string(limits_.max_stack_bytes) +
                                                     " bytes of backtracking memory");
}

void lum_regex_matcher::grow_stack() {
    if (stack_.size() >= max_frames_ || (quick_ && stack_.size() >= quick_frames)) fail_stack();
    size_t want = std::max<size_t>(64, stack_.capacity() * 2);
    stack_.reserve(std::min(want, max_frames_));
}

void lum_regex_matcher::charge(uint64_t steps) {
    if (quick_) {
        if (quick_left_ <= steps) throw quick_spent{};
        quick_left_ -= steps;
        return;
    }
    if (steps_left_ <= steps) {
        steps_used_ += steps_left_;
        steps_left_ = 0;
        fail_complexity(limits_.max_steps);
    }
    steps_left_ -= steps;
    steps_used_ += steps;
}

// Every register a match changed has an undo frame on the stack (a failed
// attempt has already unwound all of its own): undoing them, newest first,
// unsets the registers for the next search at the cost of the previous
// match, not of the size of the register file.
void lum_regex_matcher::unset_registers() {
    for (size_t r = stack_.size(); r-- > 0;)
        if (stack_[r].kind == fr_undo) registers_[stack_[r].x] = stack_[r].a;
    stack_.clear();
}

bool lum_regex_matcher::search(std::string_view text, size_t start) { return run_search(text, start, mode::search); }

bool lum_regex_matcher::match_full(std::string_view text) { return run_search(text, 0, mode::full); }

bool lum_regex_matcher::match_here_not_empty(std::string_view text, size_t start) {
    return run_search(text, start, mode::here_not_empty);
}

bool lum_regex_matcher::run_search(std::string_view text, size_t start, mode how) {
    text_ = reinterpret_cast<const unsigned char*>(text.data());
    size_ = text.size();
    mode_ = how;
    match_begin_ = match_end_ = npos;
    on_nfa_ = false;
    if (!required_ahead(start)) return false;
    if (!pike_ || !pike_->affordable(text.size())) return backtrack_search(start, how);
    if (!nfa_only_) {
        if (text.data() != quick_text_ || text.size() != quick_size_) {
            quick_text_ = text.data();
            quick_size_ = text.size();
            quick_left_ = quick_steps_per_byte * (uint64_t{text.size()} + 64);
        }
        quick_ = true;
        try {
            const bool found = backtrack_search(start, how);
            quick_ = false;
            return found;
        } catch (const quick_spent&) {
        } catch (const lum_regex_error&) {  // its stack allowance
        }
        quick_ = false;
        nfa_only_ = true;
        match_begin_ = match_end_ = npos;
    }
    on_nfa_ = true;
    pike_groups_ready_ = false;
    const lum_pike_mode pm = how == mode::search ? lum_pike_mode::search
                             : how == mode::full ? lum_pike_mode::full
                                                 : lum_pike_mode::here_not_empty;
    if (!pike_->run(text, start, pm)) return false;
    match_begin_ = pike_->begin();
    match_end_ = pike_->end();
    return true;
}

// Whether the byte every match contains occurs from `start` on; the place
// found is kept for the later calls on the same text.
bool lum_regex_matcher::required_ahead(size_t start) {
    const int byte = program_.scan.required;
    if (byte < 0 || start > size_) return true;
    if (text_ == required_text_ && size_ == required_size_) {
        if (required_at_ != npos && required_at_ >= start) return true;
        if (required_at_ == npos && required_from_ <= start) return false;
    }
    const void* found = size_ > start ? std::memchr(text_ + start, byte, size_ - start) : nullptr;
    required_text_ = text_;
    required_size_ = size_;
    required_from_ = start;
    required_at_ = found == nullptr ? npos : static_cast<size_t>(static_cast<const unsigned char*>(found) - text_);
    return found != nullptr;
}

bool lum_regex_matcher::backtrack_search(size_t start, mode how) {
    unset_registers();
    const prefilter& scan = program_.scan;
    if (start > size_ || size_ - start < scan.min_length) return false;
    if (how != mode::search || scan.anchored) {
        if (scan.anchored && start != 0) return false;
        return attempt(start);
    }
    const unsigned char* s = text_;
    size_t at = start;
    for (;;) {
        at = scan.next_start(s, size_, at);
        if (at == prefilter::npos) return false;
        if (scan.pure_literal) {
            match_begin_ = at;
            match_end_ = at + scan.prefix.size();
            return true;
        }
        if (attempt(at)) return true;
        if (program_.leading_loop) {
            // Every start inside the loop's run reaches a subset of the places
            // this attempt already tried after the loop.
            const byte_table& run = program_.sets[program_.code[0].a];
            size_t end = at;
            while (end < size_ && run[s[end]]) ++end;
            charge((end - at) >> 3);
            at = end;
        }
        ++at;
    }
}

bool lum_regex_matcher::attempt(size_t start) {
    const lum_regex_program& p = program_;
    const insn* const code = p.code.data();
    const byte_table* const sets = p.sets.data();
    const char* const literals = p.literals.data();
    const unsigned char* const s = text_;
    const size_t n = size_;
    size_t* const regs = registers_.data();
    stack_.clear();
    size_t barrier = npos;  // frame of the innermost open lookahead
    uint32_t pc = 0;
    size_t pos = start;
    // This start's allowance: its own budget, or what is left of the total
    // (in front of the NFA: what is left of the quick allowance).
    const bool own_budget = !quick_ && limits_.max_start_steps < steps_left_;
    const uint64_t allowance = quick_ ? quick_left_ : own_budget ? limits_.max_start_steps : steps_left_;
    uint64_t steps = allowance;

    auto fail_complexity = [&]() {
        if (quick_) {
            quick_left_ = 0;
            throw quick_spent{};
        }
        steps_used_ += allowance;
        steps_left_ -= allowance;
        this->fail_complexity(own_budget ? limits_.max_start_steps : limits_.max_steps);
    };
    auto charge = [&](uint64_t cost) {
        if (steps <= cost) fail_complexity();
        steps -= cost;
    };
    auto push = [&](uint32_t kind, uint32_t x, size_t a, size_t b) {
        if (stack_.size() == stack_.capacity()) grow_stack();
        stack_.push_back(frame{kind, x, a, b});
    };
    auto set_reg = [&](uint32_t r, size_t v) {
        if (regs[r] != v) {
            push(fr_undo, r, regs[r], 0);
            regs[r] = v;
        }
    };
    auto done = [&](bool result) {
        if (quick_) {
            quick_left_ = steps;
        } else {
            steps_used_ += allowance - steps;
            steps_left_ -= allowance - steps;
        }
        return result;
    };

    for (;;) {
        if (steps == 0) fail_complexity();
        --steps;
        const insn& in = code[pc];
        switch (in.op) {
            case op_char:
                if (pos < n && s[pos] == in.a) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case op_str:
                if (n - pos >= in.b && std::memcmp(s + pos, literals + in.a, in.b) == 0) {
                    charge(in.b >> 4);
                    pos += in.b;
                    ++pc;
                    continue;
                }
                break;
            case op_set:
                if (pos < n && sets[in.a][s[pos]]) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case op_bol:
                if (pos == 0) {
                    ++pc;
                    continue;
                }
                break;
            case op_eol:
                if (pos == n) {
                    ++pc;
                    continue;
                }
                break;
            case op_wordb:
            case op_nwordb: {
                const bool before = pos > 0 && p.word[s[pos - 1]];
                const bool after = pos < n && p.word[s[pos]];
                if ((before != after) == (in.op == op_wordb)) {
                    ++pc;
                    continue;
                }
                break;
            }
            case op_jmp:
                pc = in.a;
                continue;
            case op_split: {
                const bool guard = in.e == no_set || (pos < n && sets[in.e][s[pos]]);
                if (!guard) {
                    pc = in.a;
                } else if (in.flags & flag_lazy) {
                    push(fr_choice, pc + 1, pos, 0);
                    pc = in.a;
                } else {
                    push(fr_choice, in.a, pos, 0);
                    ++pc;
                }
                continue;
            }
            case op_alt: {
                const int c = pos < n ? s[pos] : -1;
                if (in.b != no_set && (c < 0 || !sets[in.b][c])) {
                    pc = in.a;
                    continue;
                }
                if (in.c == no_set || (c >= 0 && sets[in.c][c])) push(fr_choice, in.a, pos, 0);
                ++pc;
                continue;
            }
            case op_save:
                set_reg(in.a, pos);
                ++pc;
                continue;
            case op_reset:
                for (uint32_t r = in.a; r < in.b; ++r) {
                    if (regs[r] != npos) {
                        push(fr_undo, r, regs[r], 0);
                        regs[r] = npos;
                    }
                }
                charge((in.b - in.a) >> 3);
                ++pc;
                continue;
            case op_backref: {
                const size_t b = regs[2 * in.a], e = regs[2 * in.a + 1];
                if (b == npos || e == npos || e < b) {
                    ++pc;
                    continue;
                }
                const size_t len = e - b;
                // An empty text may have no storage at all: compare nothing then.
                if (n - pos >= len && (len == 0 || std::memcmp(s + pos, s + b, len) == 0)) {
                    charge(len >> 4);
                    pos += len;
                    ++pc;
                    continue;
                }
                break;
            }
            case op_star: {
                const byte_table& set = sets[in.a];
                const size_t avail = n - pos;
                const size_t limit = in.c < avail ? in.c : avail;
                if (!(in.flags & flag_lazy)) {
                    size_t k = 0;
                    while (k < limit && set[s[pos + k]]) ++k;
                    charge(k >> 3);
                    if (k < in.b) break;
                    if (k > in.b) push(fr_star_greedy, pc, pos + in.b, pos + k);
                    pos += k;
                    ++pc;
                    continue;
                }
                if (limit < in.b) break;
                size_t k = 0;
                while (k < in.b && set[s[pos + k]]) ++k;
                charge(k >> 3);
                if (k < in.b) break;
                pos += k;
                const size_t extra = in.c == infinite ? SIZE_MAX : in.c - in.b;
                const size_t stop = extra < n - pos ? pos + extra : n;
                if (pos < stop) push(fr_star_lazy, pc, pos, stop);
                ++pc;
                continue;
            }
            case op_rep_init:
                set_reg(in.a, 0);
                ++pc;
                continue;
            case op_rep_check: {
                const size_t count = regs[in.a];
                const bool guard = in.e == no_set || (pos < n && sets[in.e][s[pos]]);
                if (count < in.b) {
                    if (!guard) break;
                    ++pc;
                    continue;
                }
                if (count >= in.c || !guard) {
                    pc = in.d;
                    continue;
                }
                if (in.flags & flag_lazy) {
                    push(fr_choice, pc + 1, pos, 0);
                    pc = in.d;
                } else {
                    push(fr_choice, in.d, pos, 0);
                    ++pc;
                }
                continue;
            }
            case op_rep_enter:
                set_reg(in.a + 1, pos);
                ++pc;
                continue;
            case op_rep_end: {
                const size_t count = regs[in.a];
                if ((in.flags & flag_empty_check) && count >= in.b && pos == regs[in.a + 1]) break;
                // Past the minimum, an unbounded loop needs no exact count.
                if (count < in.b || in.d != infinite) set_reg(in.a, count + 1);
                pc = in.c;
                continue;
            }
            case op_look:
                push((in.flags & flag_negative) ? fr_look_neg : fr_look_pos, in.a, pos, barrier);
                barrier = stack_.size() - 1;
                ++pc;
                continue;
            case op_look_ok: {
                const frame mark = stack_[barrier];
                charge((stack_.size() - barrier) >> 3);
                if (mark.kind == fr_look_pos) {
                    // Keep what the body set (and how to undo it); drop its choices.
                    size_t w = barrier;
                    for (size_t r = barrier + 1; r < stack_.size(); ++r)
                        if (stack_[r].kind == fr_undo) stack_[w++] = stack_[r];
                    stack_.resize(w);
                    barrier = mark.b;
                    pos = mark.a;
                    pc = mark.x;
                    continue;
                }
                // The body matched, so the negative lookahead fails: undo its changes.
                for (size_t r = stack_.size(); r-- > barrier + 1;)
                    if (stack_[r].kind == fr_undo) regs[stack_[r].x] = stack_[r].a;
                stack_.resize(barrier);
                barrier = mark.b;
                break;
            }
            case op_match:
                if ((mode_ == mode::full && pos != n) || (mode_ == mode::here_not_empty && pos == start)) break;
                match_begin_ = start;
                match_end_ = pos;
                return done(true);
            default:  // op_fail
                break;
        }

        // Backtrack to the latest choice.
        for (;;) {
            if (stack_.empty()) return done(false);
            if (steps == 0) fail_complexity();
            --steps;
            frame& f = stack_.back();
            switch (f.kind) {
                case fr_undo:
                    regs[f.x] = f.a;
                    stack_.pop_back();
                    continue;
                case fr_choice:
                    pc = f.x;
                    pos = f.a;
                    stack_.pop_back();
                    break;
                case fr_star_greedy: {
                    // Give back one byte (or, when the next byte is known, jump
                    // back to where it occurs).
                    const insn& star = code[f.x];
                    size_t end = f.b - 1;
                    if (star.hint != 0) {
                        const size_t span = end + 1 - f.a;
                        charge(span >> 5);
                        const void* q = lum_memrchr(s + f.a, star.hint - 1, span);
                        if (q == nullptr) {
                            stack_.pop_back();
                            continue;
                        }
                        end = static_cast<size_t>(static_cast<const unsigned char*>(q) - s);
                    }
                    pc = f.x + 1;
                    pos = end;
                    if (end == f.a)
                        stack_.pop_back();
                    else
                        f.b = end;
                    break;
                }
                case fr_star_lazy: {
                    // Take one more byte (or, when the next byte is known, up to where it occurs).
                    const insn& star = code[f.x];
                    const byte_table& set = sets[star.a];
                    size_t end = f.a;
                    const size_t first = end;
                    bool extended = false;
                    while (end < f.b && set[s[end]]) {
                        ++end;
                        if (star.hint == 0 || (end < n && s[end] == star.hint - 1)) {
                            extended = true;
                            break;
                        }
                    }
                    charge((end - first) >> 3);
                    if (!extended) {
                        stack_.pop_back();
                        continue;
                    }
                    pc = f.x + 1;
                    pos = end;
                    if (end >= f.b)
                        stack_.pop_back();
                    else
                        f.a = end;
                    break;
                }
                case fr_look_pos:
                    // The body of a positive lookahead failed: so does the lookahead.
                    barrier = f.b;
                    stack_.pop_back();
                    continue;
                default:  // fr_look_neg: the body failed, so the negative lookahead holds
                    barrier = f.b;
                    pc = f.x;
                    pos = f.a;
                    stack_.pop_back();
                    break;
            }
            break;
        }
    }
}
