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

lumvar* class_constant(env& e, lum_class_def* def) {
    lumvar_shared v = lumvar_shared::make();
    v->set_type(LUMVAR_CLASS_DEF);
    v->class_def_holder()->definition = def;
    return e.prog.constant(v);
}

void print_text(env& e, lum_block_builder& b, const char* text) {
    b.push().lds(text);
    e.print_top(b);
    b.pop();
}

// Emits `fexpr form` whose generic code prints "slow" and then runs `generic`.
void fused(env& e, lum_block_builder& b, const lum_fexpr_form& form, const std::function<void()>& generic) {
    lum_label skip = b.label();
    b.fexpr(form, skip);
    print_text(e, b, "slow");
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

TEST(FusedExpression, ShapeAndDestinationRefusals) {
    auto generic = [](env&, lum_block_builder& b) { b.ldi(-1); };
    // Two values left, or an operator without operands, or no items: declines.
    lum_fexpr_form two;
    two.local(0).local(1);
    EXPECT_EQ(run_expr(I(1), I(2), two, generic).out, "slow\n-1\n\n");
    lum_fexpr_form lonely;
    lonely.dest_kind = DEST_TOP;
    lonely.op(IT_ADD);
    EXPECT_EQ(run_expr(I(1), I(2), lonely, generic).out, "slow\n-1\n\n");
    lum_fexpr_form empty;
    EXPECT_EQ(run_expr(I(1), I(2), empty, generic).out, "slow\n-1\n\n");
    // A destination holding a string declines; the generic assignment changes its type.
    case_result s = run_expr(I(1), I(2), binary(IT_ADD), generic_assign(LUM_OP_ADD), S("text"));
    EXPECT_EQ(s.out, "slow\n3\n3\n");
    // A destination holding a float takes the integer result in place.
    case_result f = run_expr(I(1), I(2), binary(IT_ADD), generic_assign(LUM_OP_ADD), F(0.5));
    EXPECT_EQ(f.out, "3\n3\n");
    // Constants, the float mask and negation; result on top only.
    lum_fexpr_form consts;
    consts.dest_kind = DEST_TOP;
    consts.local(0).int_const(10).op(IT_MUL).float_const(0.25).op(IT_ADD).op(IT_NEG);
    EXPECT_EQ(run_expr(I(2), I(0), consts, generic).out, "-20.250000\n\n");
}

TEST(FusedExpression, SlotKindsAndDestinationKinds) {
    env e;
    // class C { v } ; global slot 0 = instance, slot 1 = 5
    lum_class_def* def = e.prog.new_class("C");
    lumvar* cls = class_constant(e, def);
    lum_class_builder cb(def);
    cb.member("v");
    cb.member("hidden", true);
    lum_block_builder ctor(e.prog, e.block("C.ctor", LUM_BLOCK_FUNCTION, 2));
    ctor.params(2, 2).op(LUM_OP_NEWINST).ret();
    cb.constructor(ctor.finish());
    // bump(): self.v = self.v + up-level/global values, all fused
    lum_block_builder bump(e.prog, e.block("C.bump", LUM_BLOCK_FUNCTION, 1));
    bump.params(0, 0);
    {
        lum_fexpr_form s;
        s.dest_kind = DEST_SELF;
        s.dest_slot = 0;
        s.self_member(0).global(1).op(IT_ADD);
        fused(e, bump, s, [&] { bump.ldi(-1); });
        bump.op(LUM_OP_NONE).ret();
    }
    cb.method("bump", bump.finish());

    lum_block_builder inner(e.prog, e.block("inner", LUM_BLOCK_PLAIN, 1));
    {
        // inner slot 0 := up(1).slot 1 * 2 ; up(1).slot 2 := inner slot 0 + 1
        lum_fexpr_form s;
        s.dest_kind = DEST_LOCAL;
        s.local(0);
        s.items.clear();
        s.up(1, 1).int_const(2).op(IT_MUL);
        inner.push();
        fused(e, inner, s, [&] { inner.ldi(-1); });
        inner.pop();
        lum_fexpr_form t;
        t.dest_kind = DEST_UP;
        t.dest_level = 1;
        t.dest_slot = 2;
        t.local(0).int_const(1).op(IT_ADD);
        inner.push();
        fused(e, inner, t, [&] { inner.ldi(-1); });
        inner.pop();
    }
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 4));
    const uint32_t path_v = top.member_path(IT_LOCAL, 0, 0, "v");
    const uint32_t path_hidden = top.member_path(IT_LOCAL, 0, 0, "hidden");
    const uint32_t cb_cache = top.cache();
    top.push().ld_l(0).push().ldk(cls).prep(2).push().ldi(1).arg(0).pop().push().ldi(0).arg(1).pop().call().assign().pop();
    top.push().ld_l(1).push().ldi(5).assign().pop();
    top.push().ld_l(2).push().ldi(0).assign().pop();
    top.enter(top.child(inner.finish()));
    e.print_slot(top, 2);  // 5 * 2 + 1 = 11
    top.push().ld_l(0).mem("bump", cb_cache).prep(0).call().pop();
    {
        // global slot 3 := path(v) * 10 ; path(v) := path(v) + 1
        lum_fexpr_form s;
        s.dest_kind = DEST_GLOBAL;
        s.dest_slot = 3;
        s.path(path_v).int_const(10).op(IT_MUL);
        top.push();
        fused(e, top, s, [&] { top.ldi(-1); });
        top.pop();
        lum_fexpr_form t;
        t.dest_kind = DEST_PATH;
        t.dest_slot = path_v;
        t.path(path_v).int_const(1).op(IT_ADD);
        top.push();
        fused(e, top, t, [&] { top.ldi(-1); });
        e.print_top(top);
        top.pop();
        // A private member through a path declines.
        lum_fexpr_form u;
        u.dest_kind = DEST_TOP;
        u.path(path_hidden);
        top.push();
        fused(e, top, u, [&] { top.ldi(-1); });
        e.print_top(top);
        top.pop();
    }
    e.print_slot(top, 3);
    e.run(top.finish());
    EXPECT_EQ(joined(e.out), "11\n7\nslow\n-1\n60\n");
    EXPECT_EQ(e.errors(), "");
}

// ---------------------------------------------------------------------------
// Fused method calls

namespace {

struct method_fixture {
    env e;
    lum_class_def* def;
    lumvar* cls;
    std::vector<std::unique_ptr<lum_block_builder>> keep;
    lum_class_builder cb;

    method_fixture() : def(e.prog.new_class("K")), cls(class_constant(e, def)), cb(def) {
        cb.member("v");
        cb.member("fnv");
        auto& ctor = block("K.ctor", LUM_BLOCK_FUNCTION, 2);
        ctor.params(1, 1).op(LUM_OP_NEWINST).ret();
        cb.constructor(ctor.finish());
        // twice(x) = v * x * 2
        auto& twice = block("K.twice", LUM_BLOCK_FUNCTION, 1);
        twice.params(1, 1).selfmem(0).push().ld_l(0).op(LUM_OP_MUL).push().ldi(2).op(LUM_OP_MUL).ret();
        cb.method("twice", twice.finish());
        auto& secret = block("K.secret", LUM_BLOCK_FUNCTION, 0);
        secret.ldi(99).ret();
        cb.method("secret", secret.finish(), true);
        // flagged as a function block: never fused
        auto& plain = block("K.plain", LUM_BLOCK_FUNCTION, 0);
        plain.ldi(5).ret();
        cb.method("plain", plain.finish());
        plain.block()->flags |= LUM_BLOCK_FLAG_FUNCTION;
        // viaself() = self.twice(3) through the self form
        auto& viaself = block("K.viaself", LUM_BLOCK_FUNCTION, 0);
        lum_label skip = viaself.label();
        const uint32_t c = viaself.cache();
        lum_fcall_spec s;
        s.name = e.prog.intern("twice");
        s.cache = c;
        s.member = def->find_symbol("twice")->member_index;
        s.argc = 1;
        s.self_form = 1;
        viaself.fcall(s, skip);
        print_text(e, viaself, "slow");
        viaself.op(LUM_OP_SELF).mem("twice", c).prep(1);
        viaself.bind(skip);
        viaself.push().ldi(3).arg(0).pop().call().ret();
        cb.method("viaself", viaself.finish());
    }

    lum_block_builder& block(const char* name, uint8_t kind, uint32_t slots) {
        keep.push_back(std::make_unique<lum_block_builder>(e.prog, e.block(name, kind, slots)));
        return *keep.back();
    }

    // Emits `<top>.name(args)` with a fused call in front of the generic member access.
    void call(lum_block_builder& b, const char* name, std::vector<int64_t> args, uint32_t cache,
              uint8_t enabled = 1, const lum_class_def* accessing = nullptr) {
        lum_label skip = b.label();
        lum_fcall_spec s;
        s.name = e.prog.intern(name);
        s.cache = cache;
        s.argc = static_cast<uint8_t>(args.size());
        s.enabled = enabled;
        s.accessing = reinterpret_cast<uintptr_t>(accessing);
        b.fcall(s, skip);
        print_text(e, b, "slow");
        b.mem(name, cache, accessing).prep(static_cast<uint8_t>(args.size()));
        b.bind(skip);
        for (size_t i = 0; i < args.size(); ++i) b.push().ldi(args[i]).arg(static_cast<uint32_t>(i)).pop();
        b.call();
        e.print_top(b);
        b.pop();
    }
};

}  // namespace

TEST(FusedCall, SucceedsFromTheCacheAndDeclinesWhereItMust) {
    method_fixture m;
    env& e = m.e;
    lum_block_builder& top = m.block("main", LUM_BLOCK_TOP, 1);
    const uint32_t c_twice = top.cache(), c_plain = top.cache(), c_secret = top.cache(), c_v = top.cache();
    const uint32_t c_self = top.cache(), c_missing = top.cache(), c_temp = top.cache();
    top.push().ld_l(0).push().ldk(m.cls).prep(1).push().ldi(4).arg(0).pop().call().assign().pop();
    for (int i = 0; i < 2; ++i) {
        top.push().ld_l(0);
        m.call(top, "twice", {5}, c_twice);  // 40, fused both times (miss, then hit)
    }
    top.push().ld_l(0);
    m.call(top, "twice", {5}, c_twice, 0);  // disabled
    top.push().ld_l(0);
    m.call(top, "plain", {}, c_plain);  // function-flagged block
    top.push().ld_l(0);
    m.call(top, "secret", {}, c_secret, 1, m.def);  // private, accessing class related: fused
    top.push().ld_l(0);
    m.call(top, "viaself", {}, c_self);  // fused; inside, the self form is fused too
    // The cache entry of an instance member (filled by a member access) is not a method.
    top.push().ld_l(0).mem("v", c_v).pop();
    top.push().ld_l(0);
    {
        lum_label skip = top.label();
        lum_fcall_spec s;
        s.name = e.prog.intern("v");
        s.cache = c_v;
        top.fcall(s, skip);
        print_text(e, top, "slow");
        top.bind(skip);
        top.pop();
    }
    // A temporary instance (held only by the stack) declines; the generic path keeps it alive.
    top.push().ldk(m.cls).prep(1).push().ldi(1).arg(0).pop().call();
    m.call(top, "twice", {1}, c_temp);
    // Arity: too many arguments declines; the generic call reports it.
    top.push().ld_l(0);
    m.call(top, "twice", {1, 2}, c_twice);
    auto outcome = m.e.run(top.finish());
    (void)c_missing;
    EXPECT_EQ(joined(e.out),
              "40\n40\n"
              "slow\n40\n"
              "slow\n5\n"
              "99\n"
              "24\n"
              "slow\n"
              "slow\n2\n"
              "slow\n");
    EXPECT_NE(e.errors().find("invalid argument count: num_params=2, fn_num_params=1, fn_default_args=1"),
              std::string::npos);
    // A hit on the entry refilled by the fused call is marked as a method entry.
    const lum_member_cache_entry& entry = top.block()->member_cache[c_twice];
    EXPECT_EQ(entry.class_key, reinterpret_cast<uintptr_t>(m.def));
    EXPECT_EQ(entry.from_definition, 1);
    EXPECT_EQ(entry.object_type_key, 0u);
}

TEST(FusedCall, PrivateAndMissingMethodsDecline) {
    method_fixture m;
    env& e = m.e;
    lum_block_builder& top = m.block("main", LUM_BLOCK_TOP, 1);
    const uint32_t c_secret = top.cache(), c_missing = top.cache();
    top.push().ld_l(0).push().ldk(m.cls).prep(1).push().ldi(4).arg(0).pop().call().assign().pop();
    auto guarded = [&](const std::function<void(lum_block_builder&)>& body) {
        lum_block_builder& t = m.block("try", LUM_BLOCK_PLAIN, 0);
        t.flags(LUM_BLOCK_FLAG_TRY);
        body(t);
        lum_block_builder& c = m.block("catch", LUM_BLOCK_PLAIN, 1);
        c.params(1, 1);
        e.print_slot(c, 0);
        top.enter(top.child(t.finish()));
        top.op_b(LUM_OP_CATCH, top.child(c.finish()));
    };
    guarded([&](lum_block_builder& t) {
        t.push().ld_g(0);
        m.call(t, "secret", {}, c_secret);
    });
    guarded([&](lum_block_builder& t) {
        t.push().ld_g(0);
        m.call(t, "missing", {}, c_missing);
    });
    m.e.run(top.finish());
    EXPECT_EQ(joined(e.out),
              "slow\nmember 'secret' of class 'K' is private\n"
              "slow\nclass 'K' does not have member 'missing'\n");
}

TEST(FusedExpression, MembersOfSelfInPlace) {
    env e;
    lum_class_def* def = e.prog.new_class("Acc");
    lumvar* cls = class_constant(e, def);
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
