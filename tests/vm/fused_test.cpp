// The fused fast paths: where they succeed and where they decline (the
// generic code after them then runs; here it prints "slow" first).

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "runtime/value_records.h"
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
lumvar_shared S(std::string_view v) { return lumvar_shared::from_string(v); }

}  // namespace

TEST(FusedExpression, SucceedsOnNumbersAndWraps) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    struct row {
        lumvar_shared a, b;
        uint8_t item;
        uint8_t opcode, flag;
        std::string expect;
    };
    std::vector<row> rows = {
        {I(max), I(1), IT_ADD, LUM_OP_ADD, 0, std::to_string(std::numeric_limits<int64_t>::min())},
        {I(3), I(-5), IT_MUL, LUM_OP_MUL, 0, "-15"},
        {I(-7), I(2), IT_DIV, LUM_OP_DIV, 0, "-3"},
        {I(-7), I(2), IT_MOD, LUM_OP_MOD, 0, "-1"},
        {F(7.5), I(2), IT_MOD, LUM_OP_MOD, 0, "1.500000"},
        {I(1), F(0.5), IT_SUB, LUM_OP_SUB, 0, "0.500000"},
        {I(12), I(10), IT_AND, LUM_OP_AND, 0, "8"},
        {I(12), I(3), IT_OR, LUM_OP_OR, 0, "15"},
        {I(2), F(2.0), IT_EQ, LUM_OP_EQ, 0, "1"},
        {I(2), I(3), IT_NE, LUM_OP_EQ, 1, "1"},
        {I(2), I(3), IT_LT, LUM_OP_LT, 0, "1"},
        {F(3.0), I(3), IT_LE, LUM_OP_LT, 1, "1"},
        {I(2), I(3), IT_GE, LUM_OP_GT, 1, "0"},
        {I(9), I(3), IT_GT, LUM_OP_GT, 0, "1"},
    };
    for (const row& r : rows) {
        case_result res = run_expr(r.a, r.b, binary(r.item), generic_assign(r.opcode, r.flag));
        SCOPED_TRACE(text(r.a) + " item" + std::to_string(r.item) + " " + text(r.b));
        EXPECT_EQ(res.out, r.expect + "\n" + r.expect + "\n");
        EXPECT_EQ(res.warnings, "");
    }
}

TEST(FusedExpression, DeclinesAndTheGenericCodeDecides) {
    struct row {
        lumvar_shared a, b;
        uint8_t item;
        uint8_t opcode;
        std::string expect;
        const char* warning;
    };
    std::vector<row> rows = {
        {S("a"), I(1), IT_ADD, LUM_OP_ADD, "a1", nullptr},
        {I(5), I(0), IT_DIV, LUM_OP_DIV, "0", "Division by zero!"},
        {I(5), I(-1), IT_DIV, LUM_OP_DIV, "-5", nullptr},
        {I(5), I(0), IT_MOD, LUM_OP_MOD, "0", "Modulo by zero!"},
        {I(5), I(-1), IT_MOD, LUM_OP_MOD, "0", nullptr},
        {F(5.0), F(0.0), IT_DIV, LUM_OP_DIV, "0.000000", "Division by zero!"},
        {F(5.0), F(-0.0), IT_MOD, LUM_OP_MOD, "0.000000", "Modulo by zero!"},
        {F(5.5), I(1), IT_AND, LUM_OP_AND, "1", nullptr},
        {lumvar_shared::make(), I(1), IT_ADD, LUM_OP_ADD, "1", nullptr},
    };
    for (const row& r : rows) {
        case_result res = run_expr(r.a, r.b, binary(r.item), generic_assign(r.opcode));
        SCOPED_TRACE(text(r.a) + " item" + std::to_string(r.item) + " " + text(r.b));
        EXPECT_EQ(res.out, "slow\n" + r.expect + "\n" + r.expect + "\n");
        if (r.warning) {
            EXPECT_NE(res.warnings.find(r.warning), std::string::npos);
        }
    }
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

// Expressions of several operators over integers and floats: values kept
// under the newest one, negation, wrap-around and a decline deep inside.
TEST(FusedExpression, LongerExpressionsMixIntegersAndFloats) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    auto generic = [](env&, lum_block_builder& b) { b.ldi(-1); };
    auto form = [] {
        lum_fexpr_form f;
        f.dest_kind = DEST_TOP;
        return f;
    };
    lum_fexpr_form a_plus_b_times_a = form();
    a_plus_b_times_a.local(0).local(1).local(0).op(IT_MUL).op(IT_ADD);
    EXPECT_EQ(run_expr(F(1.5), I(3), a_plus_b_times_a, generic).out, "6.000000\n\n");
    EXPECT_EQ(run_expr(I(max), I(1), a_plus_b_times_a, generic).out, "-2\n\n");

    lum_fexpr_form neg_times = form();
    neg_times.local(0).op(IT_NEG).local(1).int_const(2).op(IT_SUB).op(IT_MUL);
    EXPECT_EQ(run_expr(I(4), I(7), neg_times, generic).out, "-20\n\n");

    lum_fexpr_form eight = form();  // (a + b) * (a - b) * 0.5
    eight.local(0).local(1).op(IT_ADD).local(0).local(1).op(IT_SUB).op(IT_MUL).float_const(0.5).op(IT_MUL);
    EXPECT_EQ(run_expr(I(5), F(3.0), eight, generic).out, "8.000000\n\n");
    EXPECT_EQ(run_expr(I(5), I(3), eight, generic).out, "8.000000\n\n");

    lum_fexpr_form deep_decline = form();  // a + b / 0.0
    deep_decline.local(0).local(1).float_const(0.0).op(IT_DIV).op(IT_ADD);
    EXPECT_EQ(run_expr(I(1), F(2.0), deep_decline, generic).out, "slow\n-1\n\n");
    lum_fexpr_form deep_string = form();  // a * 2 + b with b a text
    deep_string.local(0).int_const(2).op(IT_MUL).local(1).op(IT_ADD);
    EXPECT_EQ(run_expr(I(1), S("x"), deep_string, generic).out, "slow\n-1\n\n");
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
