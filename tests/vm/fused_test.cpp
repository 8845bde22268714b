// The fused fast paths against the generic code they stand for: generated
// expressions run both ways, then destinations, jumps, fused calls and
// members of self (the generic code after a fused instruction prints "slow"
// first, so a declined fast path shows).

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <sstream>

#include "runtime/value_records.h"
#include "tests/vm/lasm_support.h"
#include "tests/vm/v2_support.h"
#include "vm/opcode.h"

using namespace v2test;
using namespace lum_fexpr;

namespace {

// Emits `fexpr form` whose generic code prints "slow" and then runs `generic`.
void fused(env& e, lum_block_builder& b, const lum_fexpr_form& form, const std::function<void()>& generic) {
    lum_label skip = b.label();
    b.fexpr(form, skip);
    e.print_text(b, "slow");
    generic();
    b.bind(skip);
}

struct case_result {
    std::string out;
    std::string warnings;
    lumvar_shared slot0;
};

// slot0 = a, slot1 = b (constants), then `dest := expression` with dest local 2 unless told otherwise;
// prints the top after the expression.
case_result run_expr(const lumvar_shared& a, const lumvar_shared& b, const lum_fexpr_form& form,
                     const std::function<void(env&, lum_block_builder&)>& generic,
                     const lumvar_shared& dest_init = lumvar_shared()) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    top.push().ld_l(0).push().ldk(e.prog.constant(a)).assign().pop();
    top.push().ld_l(1).push().ldk(e.prog.constant(b)).assign().pop();
    if (dest_init) top.push().ld_l(2).push().ldk(e.prog.constant(dest_init)).assign().pop();
    top.push();
    fused(e, top, form, [&] { generic(e, top); });
    e.print_top(top);
    top.pop();
    e.print_slot(top, 2);
    e.run(top.finish());
    case_result r;
    r.out = joined(e.out);
    r.warnings = e.warnings();
    return r;
}

// Generic code for `slot2 = slot0 <op> slot1` (leaves slot 2's cell on top).
std::function<void(env&, lum_block_builder&)> generic_assign(uint8_t opcode, uint8_t a = 0) {
    return [=](env&, lum_block_builder& b) {
        b.ld_l(2).push().ld_l(0).push().ld_l(1);
        if (lum_opcode_size(opcode) == 2)
            b.op_a(opcode, a);
        else
            b.op(opcode);
        b.assign();
    };
}

lum_fexpr_form binary(uint8_t item, uint8_t dest_kind = DEST_LOCAL, uint32_t dest_slot = 2) {
    lum_fexpr_form s;
    s.dest_kind = dest_kind;
    s.dest_slot = dest_slot;
    s.local(0).local(1).op(item);
    return s;
}

lumvar_shared I(int64_t v) { return lumvar_shared::from_int(v); }
lumvar_shared F(double v) { return lumvar_shared::from_float(v); }

}  // namespace

namespace {

// Generated expressions over number slots and constants, in postfix order.
struct expression {
    std::vector<std::string> items;  // fexpr items: l:S, i:N, f:X and operators
    bool may_decline = false;        // divides, or a bit operator meets a float
};

class generator {
public:
    explicit generator(uint32_t seed) : rng_(seed) {}

    expression next() {
        expression e;
        consts_ = 0;
        tree(e, 1 + pick(3));
        return e;
    }

private:
    // Emits a subtree; true when its value is a float.
    bool tree(expression& e, uint32_t depth) {
        if (depth == 0 || pick(3) == 0) return leaf(e);
        if (pick(6) == 0) {
            const bool f = tree(e, depth - 1);
            e.items.push_back("neg");
            return f;
        }
        static const char* ops[] = {"add", "sub", "mul", "div", "mod", "and", "or",
                                    "xor", "eq",  "ne",  "lt",  "le",  "ge", "gt"};
        const uint32_t op = pick(14);
        const bool f = tree(e, depth - 1) | tree(e, depth - 1);
        e.items.push_back(ops[op]);
        e.may_decline = e.may_decline || op == 3 || op == 4 || (op <= 7 && op >= 5 && f);
        return op < 5 && f;
    }
    bool leaf(expression& e) {
        static const char* ints[] = {"0", "1", "-1", "3", "-7", "9223372036854775807", "-9223372036854775808"};
        static const char* floats[] = {"2.5", "-0.5", "0.0", "3.0"};
        const uint32_t k = consts_ < 6 ? pick(4) : 0;
        if (k == 0) {
            const uint32_t slot = pick(slots);
            e.items.push_back("l:" + std::to_string(slot));
            return slot == 2 || slot == 4;
        }
        ++consts_;
        e.items.push_back(k == 1 ? std::string("f:") + floats[pick(4)] : std::string("i:") + ints[pick(7)]);
        return k == 1;
    }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    std::mt19937 rng_;
    uint32_t consts_ = 0;

public:
    static constexpr uint32_t slots = 5;
};

// The generic instructions for `e` that leave its value in the top place.
std::string generic(const expression& e) {
    std::string code;
    bool first = true;
    for (const std::string& item : e.items) {
        const std::string kind = item.substr(0, 2);
        if (kind == "l:" || kind == "i:" || kind == "f:") {
            code += first ? "" : " | push";
            code += (kind == "l:" ? " | ld.l " : kind == "i:" ? " | ldi " : " | ldf ") + item.substr(2);
            first = false;
        } else {
            code += " | " + item;
        }
    }
    return code;
}

std::string joined_items(const expression& e) {
    std::string s;
    for (const std::string& item : e.items) s += " " + item;
    return s;
}

}  // namespace

// Each generated expression runs as a fused instruction (with the generic
// code as its fallback, which prints "slow" first) and as the generic code
// alone; both print the same values and warnings, and the fused path takes
// every expression without division, modulo or a bit operator on a float.
TEST(FusedExpression, AgreesWithTheGenericCodeOnGeneratedExpressions) {
    const char* values[generator::slots] = {"ldi 6", "ldi -2", "ldf 1.5", "ldi 9223372036854775807", "ldf -4.0"};
    generator gen(7);
    std::string head = ".program \"diff\"\n.native print\n.block main kind=top slots=7\n";
    for (uint32_t s = 0; s < generator::slots; ++s)
        head += "push | ld.l " + std::to_string(s) + " | push | " + values[s] + " | assign | pop\n";
    std::string fused = head, plain = head;
    for (int n = 0; n < 300; ++n) {
        const expression e = gen.next();
        const std::string k = std::to_string(n);
        const std::string print_top = "frame 1 | farg 0 | ncall @print | pop\n";
        const std::string slow = "push | frame 1 | lds \"slow " + k + "\" | farg 0 | ncall @print | pop";
        if (n % 2 == 0) {  // the value on top
            fused += "push | fexpr dst=none" + joined_items(e) + " skip=s" + k + " | " + slow + generic(e) + "\n";
            fused += "s" + k + ": " + print_top;
            plain += "push" + generic(e) + " | " + print_top;
        } else {  // the value into local 6
            fused += "push | fexpr dst=l:6" + joined_items(e) + " skip=s" + k + " | " + slow +
                     " | push | ld.l 6 | push" + generic(e) + " | assign | pop\n";
            fused += "s" + k + ": pop | push | ld.l 6 | " + print_top;
            plain += "push | ld.l 6 | push" + generic(e) + " | assign | " + print_top;
        }
    }
    fused += ".end\n";
    plain += ".end\n";
    const lasmtest::outcome f = lasmtest::run(lasmtest::unfold(fused), "diff.lasm");
    const lasmtest::outcome p = lasmtest::run(lasmtest::unfold(plain), "diff.lasm");
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, p.err);
    // Without the "slow" lines the outputs are equal; only dividing expressions decline.
    std::istringstream lines(f.out);
    std::string line, values_only;
    generator again(7);
    int declined = 0;
    for (int n = 0; std::getline(lines, line);) {
        if (line.rfind("slow ", 0) == 0) {
            const int at = std::stoi(line.substr(5));
            for (; n < at; ++n) again.next();
            const expression e = again.next();
            ++n;
            EXPECT_TRUE(e.may_decline) << "declined:" << joined_items(e);
            ++declined;
            continue;
        }
        values_only += line + "\n";
    }
    EXPECT_EQ(values_only, p.out);
    EXPECT_GT(declined, 0);
}

// Shapes, destinations and slot kinds the assembler programs do not reach.
TEST(FusedExpression, ShapesAndDestinations) {
    auto generic = [](env&, lum_block_builder& b) { b.ldi(-1); };
    // A form without items declines.
    EXPECT_EQ(run_expr(I(1), I(2), lum_fexpr_form{}, generic).out, "slow\n-1\n\n");
    // A destination holding a float takes the integer result in place.
    EXPECT_EQ(run_expr(I(1), I(2), binary(IT_ADD), generic_assign(LUM_OP_ADD), F(0.5)).out, "3\n3\n");
    // Constants, the float mask and negation; result on top only.
    lum_fexpr_form consts;
    consts.dest_kind = DEST_TOP;
    consts.local(0).int_const(10).op(IT_MUL).float_const(0.25).op(IT_ADD).op(IT_NEG);
    EXPECT_EQ(run_expr(I(2), I(0), consts, generic).out, "-20.250000\n\n");

    // An up-level destination: inner slot 0 := up(1).slot 1 * 2 ; up(1).slot 2 := inner slot 0 + 1.
    env e;
    lum_block_builder inner(e.prog, e.block("inner", LUM_BLOCK_PLAIN, 1));
    lum_fexpr_form s;
    s.dest_kind = DEST_LOCAL;
    s.up(1, 1).int_const(2).op(IT_MUL);
    lum_fexpr_form t;
    t.dest_kind = DEST_UP;
    t.dest_level = 1;
    t.dest_slot = 2;
    t.local(0).int_const(1).op(IT_ADD);
    for (const lum_fexpr_form* f : {&s, &t}) {
        inner.push();
        fused(e, inner, *f, [&] { inner.ldi(-1); });
        inner.pop();
    }
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    top.push().ld_l(1).push().ldi(5).assign().pop();
    top.push().ld_l(2).push().ldi(0).assign().pop();
    top.enter(top.child(inner.finish()));
    e.print_slot(top, 2);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "11\n");
    EXPECT_EQ(e.errors(), "");
}

// A float result tested by the conditional jump after the expression: 0.0 is
// false, anything else true (also when the result goes into a slot first).
TEST(FusedExpression, FloatResultsDecideTheFollowingJump) {
    for (const uint8_t dest : {DEST_TOP, DEST_LOCAL}) {
        for (const double x : {1.0, 1.25}) {
            env e;
            lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
            top.push().ld_l(0).push().ldk(e.prog.constant(F(x))).assign().pop();
            top.push();
            lum_fexpr_form f;  // x - 1.0, then x * 1.0 - 1.0 (a second plan chained from the first)
            f.dest_kind = dest;
            f.dest_slot = 2;
            f.local(0).float_const(1.0).op(IT_SUB);
            lum_fexpr_form g = f;
            g.items.clear();
            g.const_count = 0;
            g.float_mask = 0;
            g.local(0).float_const(1.0).op(IT_MUL).float_const(1.0).op(IT_SUB);
            lum_label zero = top.label();
            lum_label done = top.label();
            for (const lum_fexpr_form* form : {&f, &g}) {
                lum_label skip = top.label();
                top.fexpr(*form, skip);
                e.print_text(top, "slow");
                top.ldi(0);
                top.bind(skip);
                top.jz(zero);
            }
            e.print_text(top, "nonzero");
            top.jmp(done);
            top.bind(zero);
            e.print_text(top, "zero");
            top.bind(done);
            top.pop();
            e.run(top.finish());
            SCOPED_TRACE(std::to_string(x) + " dest " + std::to_string(dest));
            EXPECT_EQ(joined(e.out), x == 1.0 ? "zero\n" : "nonzero\n");
        }
    }
}

// ---------------------------------------------------------------------------
// Fused method calls

TEST(FusedCall, FillsTheCacheAsAMethodEntry) {
    env e;
    lum_class_def* def = e.prog.new_class("K");
    lumvar* cls = e.class_value(def);
    lum_class_builder cb(def);
    cb.member("v");
    lum_block_builder ctor(e.prog, e.block("K.ctor", LUM_BLOCK_FUNCTION, 1));
    ctor.params(1, 1).op(LUM_OP_NEWINST).ret();
    cb.constructor(ctor.finish());
    // twice(x) = v * x * 2
    lum_block_builder twice(e.prog, e.block("K.twice", LUM_BLOCK_FUNCTION, 1));
    twice.params(1, 1).selfmem(0).push().ld_l(0).op(LUM_OP_MUL).push().ldi(2).op(LUM_OP_MUL).ret();
    cb.method("twice", twice.finish());

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t c_twice = top.cache(), c_v = top.cache();
    top.push().ld_l(0).push().ldk(cls).prep(1).push().ldi(4).arg(0).pop().call().assign().pop();
    auto fcall = [&](const char* name, uint32_t cache, bool call) {
        lum_label skip = top.label();
        lum_fcall_spec s;
        s.name = e.prog.intern(name);
        s.cache = cache;
        s.argc = call ? 1 : 0;
        top.push().ld_l(0).fcall(s, skip);
        e.print_text(top, "slow");
        if (call) top.mem(name, cache).prep(1);
        top.bind(skip);
        if (!call) return void(top.pop());
        top.push().ldi(5).arg(0).pop().call();
        e.print_top(top);
        top.pop();
    };
    fcall("twice", c_twice, true);  // a miss fills the entry, the second call hits it
    fcall("twice", c_twice, true);
    // The cache entry of an instance member (filled by a member access) is not a method.
    top.push().ld_l(0).mem("v", c_v).pop();
    fcall("v", c_v, false);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "40\n40\nslow\n");
    EXPECT_EQ(e.errors(), "");
    const lum_member_cache_entry& entry = top.block()->member_cache[c_twice];
    EXPECT_EQ(entry.class_key, reinterpret_cast<uintptr_t>(def));
    EXPECT_EQ(entry.from_definition, 1);
    EXPECT_EQ(entry.object_type_key, 0u);
}

TEST(FusedExpression, MembersOfSelfInPlace) {
    env e;
    lum_class_def* def = e.prog.new_class("Acc");
    lumvar* cls = e.class_value(def);
    lum_class_builder cb(def);
    cb.member("total");
    cb.member("label");
    lum_block_builder ctor(e.prog, e.block("Acc.ctor", LUM_BLOCK_FUNCTION, 2));
    ctor.params(2, 2).op(LUM_OP_NEWINST).ret();
    cb.constructor(ctor.finish());
    // add(k): self.total = self.total + k ; then self.label = self.total * k (label holds text: declines)
    lum_block_builder add(e.prog, e.block("Acc.add", LUM_BLOCK_FUNCTION, 1));
    add.params(1, 1);
    {
        lum_fexpr_form s;
        s.dest_kind = DEST_SELF;
        s.dest_slot = 0;
        s.self_member(0).local(0).op(IT_ADD);
        fused(e, add, s, [&] { add.selfmem(0).push().selfmem(0).push().ld_l(0).op(LUM_OP_ADD).assign(); });
        lum_fexpr_form t;
        t.dest_kind = DEST_SELF;
        t.dest_slot = 1;
        t.self_member(0).local(0).op(IT_MUL);
        fused(e, add, t, [&] { add.selfmem(1).push().selfmem(0).push().ld_l(0).op(LUM_OP_MUL).assign(); });
        add.selfmem(0).ret();
    }
    cb.method("add", add.finish());
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t c = top.cache(), c2 = top.cache();
    top.push().ld_l(0).push().ldk(cls).prep(2).push().ldi(10).arg(0).pop().push().lds("text").arg(1).pop().call();
    top.assign().pop();
    for (int k : {1, 2}) {
        top.push().ld_l(0).mem("add", c).prep(1).push().ldi(k).arg(0).pop().call();
        e.print_top(top);
        top.pop();
    }
    top.push().ld_l(0).mem("label", c2);
    e.print_top(top);
    top.pop();
    e.run(top.finish());
    // The first product replaces the text (generic path); the second is fused in place.
    EXPECT_EQ(joined(e.out), "slow\n11\n13\n26\n");
    EXPECT_EQ(e.errors(), "");
}
