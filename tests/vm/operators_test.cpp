// Operators on every pair of value types, their warnings and errors, and the
// increment, decrement and comparison rules.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/vm/v2_support.h"
#include "types/json_object.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

struct outcome {
    uint32_t status;
    lumvar_shared top;
    std::string error;
    std::string warnings;
    int32_t pushed;
};

lumvar_shared json_list(std::initializer_list<int64_t> items) {
    lumvar_shared v = lumvar_shared::make();
    lum_std_json* j = v->json_object(true);
    for (int64_t i : items) j->emplace_back() = lumvar_shared::from_int(i);
    return v;
}

// A copy that survives the task (a top-level block resets shared slot cells on release).
lumvar_shared snapshot(const lumvar_shared& v) {
    lumvar_shared out = lumvar_shared::make();
    lumvar_shared src = v;
    if (src) out->set(src);
    return out;
}

// Evaluates `left <op> right` in one interpreter run.
outcome eval(env& e, const lumvar_shared& left, const lumvar_shared& right, uint8_t opcode, uint8_t a = 0) {
    lum_block_builder b(e.prog, e.block("eval", LUM_BLOCK_TOP, 0));
    b.push().ldk(e.prog.constant(left)).op(LUM_OP_DEREF);
    b.push().ldk(e.prog.constant(right)).op(LUM_OP_DEREF);
    if (lum_opcode_size(opcode) == 2)
        b.op_a(opcode, a);
    else
        b.op(opcode);
    direct d(b.finish());
    // The constants are cells of the program; operate on fresh copies so an
    // in-place write cannot reach them.
    outcome o;
    e.fx.log->clear();
    o.status = d.step();
    o.top = snapshot(d.top());
    o.error = d.task->error ? text(d.task->error) : "";
    o.warnings = e.warnings();
    o.pushed = d.ctx->pushed;
    e.errors();
    return o;
}

outcome unary(env& e, const lumvar_shared& v, uint8_t opcode, uint8_t a = 0) {
    lum_block_builder b(e.prog, e.block("unary", LUM_BLOCK_TOP, 1));
    b.push().ld_l(0).push().ldk(e.prog.constant(v)).assign().pop();
    b.push().ld_l(0);
    if (lum_opcode_size(opcode) == 2)
        b.op_a(opcode, a);
    else
        b.op(opcode);
    direct d(b.finish());
    outcome o;
    e.fx.log->clear();
    o.status = d.step();
    o.top = snapshot(d.top());
    o.error = d.task->error ? text(d.task->error) : "";
    o.warnings = e.warnings();
    o.pushed = d.ctx->pushed;
    e.errors();
    return o;
}

lumvar_shared I(int64_t v) { return lumvar_shared::from_int(v); }
lumvar_shared F(double v) { return lumvar_shared::from_float(v); }
lumvar_shared S(std::string_view v) { return lumvar_shared::from_string(v); }
lumvar_shared N() { return lumvar_shared::make(); }

}  // namespace

TEST(Arithmetic, IntegerAndFloatRules) {
    env e;
    struct row {
        lumvar_shared l, r;
        uint8_t op;
        std::string expect;
        const char* warning;
    };
    const int64_t min = std::numeric_limits<int64_t>::min();
    const int64_t max = std::numeric_limits<int64_t>::max();
    std::vector<row> rows = {
        {I(7), I(2), LUM_OP_DIV, "3", nullptr},
        {I(-7), I(2), LUM_OP_DIV, "-3", nullptr},
        {I(7), I(-2), LUM_OP_MOD, "1", nullptr},
        {I(-7), I(2), LUM_OP_MOD, "-1", nullptr},
        {I(5), I(0), LUM_OP_DIV, "0", "Division by zero!"},
        {I(5), I(0), LUM_OP_MOD, "0", "Modulo by zero!"},
        {I(min), I(-1), LUM_OP_DIV, std::to_string(min), nullptr},
        {I(5), I(-1), LUM_OP_MOD, "0", nullptr},
        {I(max), I(1), LUM_OP_ADD, std::to_string(min), nullptr},
        {I(min), I(1), LUM_OP_SUB, std::to_string(max), nullptr},
        {I(max), I(2), LUM_OP_MUL, "-2", nullptr},
        {F(7.0), I(2), LUM_OP_MOD, "1.000000", nullptr},
        {F(-7.5), I(2), LUM_OP_MOD, "-1.500000", nullptr},
        {I(1), F(0.0), LUM_OP_DIV, "0.000000", "Division by zero!"},
        {I(1), F(-0.0), LUM_OP_DIV, "0.000000", "Division by zero!"},
        {F(1.5), F(0.0), LUM_OP_MOD, "0.000000", "Modulo by zero!"},
        {I(1), F(2.5), LUM_OP_ADD, "3.500000", nullptr},
        {F(1.0), I(4), LUM_OP_DIV, "0.250000", nullptr},
        {N(), I(3), LUM_OP_ADD, "3", nullptr},
        {S("12"), I(10), LUM_OP_AND, "8", nullptr},
        {F(3.9), I(0), LUM_OP_OR, "3", nullptr},
        {I(6), I(3), LUM_OP_XOR, "5", nullptr},
        {S("a"), I(1), LUM_OP_ADD, "a1", nullptr},
        {I(1), S("a"), LUM_OP_ADD, "1a", nullptr},
        {S("x"), F(0.5), LUM_OP_ADD, "x0.500000", nullptr},
    };
    for (const row& r : rows) {
        outcome o = eval(e, r.l, r.r, r.op);
        SCOPED_TRACE(text(r.l) + " op" + std::to_string(r.op) + " " + text(r.r));
        EXPECT_EQ(o.status, LUM_STATUS_FINISHED);
        EXPECT_EQ(text(o.top), r.expect);
        EXPECT_EQ(o.pushed, 1);
        if (r.warning)
            EXPECT_NE(o.warnings.find(r.warning), std::string::npos) << o.warnings;
        else
            EXPECT_EQ(o.warnings, "");
    }
}

TEST(Arithmetic, InvalidTypesAndRefusals) {
    env e;
    struct row {
        lumvar_shared l, r;
        uint8_t op;
        std::string error;
        bool fresh_none;  // the place holds a fresh none (else the left operand)
    };
    lumvar_shared list = json_list({1, 2});
    std::vector<row> rows = {
        {N(), N(), LUM_OP_ADD, "Add invalid type: 1", false},
        {S("a"), I(1), LUM_OP_SUB, "Sub invalid type: 5", false},
        {S("a"), I(1), LUM_OP_MUL, "Mult invalid type: 5", false},
        {S("a"), I(1), LUM_OP_DIV, "Div invalid type: 5", false},
        {list, I(1), LUM_OP_SUB, "Sub invalid type: 7", false},
        {list, I(1), LUM_OP_ADD, "Cannot add '" + text(list) + "' and '1'", true},
        {N(), list, LUM_OP_ADD, "Cannot add '' and '" + text(list) + "'", true},
    };
    for (const row& r : rows) {
        outcome o = eval(e, r.l, r.r, r.op);
        SCOPED_TRACE(r.error);
        EXPECT_EQ(o.status, LUM_STATUS_ERROR);
        EXPECT_EQ(o.error, r.error);
        if (r.fresh_none)
            EXPECT_EQ(o.top->type, LUMVAR_NONE);
        else
            EXPECT_EQ(o.top->type, r.l->type);
    }
}

namespace {

// A native object worth 10 that adds (as the left operand) and subtracts
// (as the right one); every other operation it leaves to the other side.
class ten_object : public lumobject_base {
public:
    std::string to_string() override { return "ten"; }
    bool add(const lumvar_shared& other, lumvar_shared& result) override {
        result = lumvar_shared::from_int(10 + other->int_value());
        return true;
    }
    bool sub_reverse(const lumvar_shared& other, lumvar_shared& result) override {
        result = lumvar_shared::from_int(other->int_value() - 10);
        return true;
    }
};

}  // namespace

TEST(Arithmetic, NativeObjectsAnswerThroughTheirOperations) {
    env e;
    lumvar_shared ten = lumvar_shared::from_object(new ten_object());
    outcome sum = eval(e, ten, I(5), LUM_OP_ADD);  // the left object's add
    EXPECT_EQ(sum.status, LUM_STATUS_FINISHED);
    EXPECT_EQ(text(sum.top), "15");
    outcome diff = eval(e, I(4), ten, LUM_OP_SUB);  // the right object's sub_reverse
    EXPECT_EQ(diff.status, LUM_STATUS_FINISHED);
    EXPECT_EQ(text(diff.top), "-6");
    struct row {
        lumvar_shared l, r;
        uint8_t op;
        std::string error;
    };
    std::vector<row> rows = {
        {I(1), ten, LUM_OP_ADD, "Cannot add '1' and 'ten'"},  // no add_reverse
        {ten, I(1), LUM_OP_SUB, "Cannot subtract 'ten' and '1'"},
        {ten, I(2), LUM_OP_MUL, "Cannot multiplicate 'ten' and '2'"},
        {I(2), ten, LUM_OP_DIV, "Cannot divide '2' and 'ten'"},
    };
    for (const row& r : rows) {
        outcome o = eval(e, r.l, r.r, r.op);
        SCOPED_TRACE(r.error);
        EXPECT_EQ(o.status, LUM_STATUS_ERROR);
        EXPECT_EQ(o.error, r.error);
        EXPECT_EQ(o.top->type, LUMVAR_NONE);  // a fresh none in the result place
    }
}

TEST(Arithmetic, JsonConcatenationCopiesBothSides) {
    env e;
    lumvar_shared a = json_list({1, 2});
    lumvar_shared b = lumvar_shared::make();
    lum_std_json* bj = b->json_object(true);
    bj->emplace_keyed("k") = lumvar_shared::from_int(3);
    bj->emplace_back() = lumvar_shared::from_string("s");
    outcome o = eval(e, a, b, LUM_OP_ADD);
    EXPECT_EQ(o.status, LUM_STATUS_FINISHED);
    ASSERT_EQ(o.top->type, LUMVAR_JSON);
    lum_std_json* j = o.top->json_container();
    ASSERT_EQ(j->entries.size(), 4u);
    EXPECT_FALSE(j->entries[0].has_key());
    EXPECT_EQ(j->entries[1].value->payload.i, 2);
    EXPECT_TRUE(j->entries[2].has_key());
    EXPECT_EQ(*j->entries[2].key, "k");
    EXPECT_EQ(text(j->entries[3].value), "s");
    // Operands unchanged, result not shared with them.
    EXPECT_EQ(a->json_container()->entries.size(), 2u);
    EXPECT_NE(j, a->json_container());
    // A string with a json concatenates text.
    outcome t = eval(e, S(">"), json_list({}), LUM_OP_ADD);
    EXPECT_EQ(t.top->type, LUMVAR_STRING);
}

TEST(UnaryOperators, NegateNotAndBitwiseNot) {
    env e;
    EXPECT_EQ(text(unary(e, I(5), LUM_OP_NEG).top), "-5");
    EXPECT_EQ(unary(e, I(std::numeric_limits<int64_t>::min()), LUM_OP_NEG).top->payload.i,
              std::numeric_limits<int64_t>::min());
    EXPECT_EQ(text(unary(e, F(2.5), LUM_OP_NEG).top), "-2.500000");
    outcome s = unary(e, S("a"), LUM_OP_NEG);
    EXPECT_EQ(s.status, LUM_STATUS_ERROR);
    EXPECT_EQ(s.error, "Cannot negate type 5");
    EXPECT_EQ(unary(e, S("0"), LUM_OP_NOT).top->payload.i, 0);  // non-empty text is not zero
    EXPECT_EQ(unary(e, F(0.0), LUM_OP_NOT).top->payload.i, 1);
    EXPECT_EQ(unary(e, S("3"), LUM_OP_BNOT).top->payload.i, ~int64_t{3});
}

TEST(IncrementDecrement, PrefixPostfixAndFailures) {
    env e;
    // x = 5; a = x++; b = ++x; c = x--; d = --x  -> a 5, b 7, c 7, d 5
    lum_block_builder b(e.prog, e.block("inc", LUM_BLOCK_TOP, 5));
    b.push().ld_l(0).push().ldi(5).assign().pop();
    b.push().ld_l(1).push().ld_l(0).op_a(LUM_OP_INC, 1).assign().pop();
    b.push().ld_l(2).push().ld_l(0).op_a(LUM_OP_INC, 0).assign().pop();
    b.push().ld_l(3).push().ld_l(0).op_a(LUM_OP_DEC, 1).assign().pop();
    b.push().ld_l(4).push().ld_l(0).op_a(LUM_OP_DEC, 0).assign().pop();
    direct d(b.finish());
    EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    EXPECT_EQ(d.ctx->slots[0]->payload.i, 5);
    EXPECT_EQ(d.ctx->slots[1]->payload.i, 5);
    EXPECT_EQ(d.ctx->slots[2]->payload.i, 7);
    EXPECT_EQ(d.ctx->slots[3]->payload.i, 7);
    EXPECT_EQ(d.ctx->slots[4]->payload.i, 5);

    // Prefix leaves the variable itself on top.
    lum_block_builder p(e.prog, e.block("prefix", LUM_BLOCK_TOP, 1));
    p.push().ld_l(0).op_a(LUM_OP_INC, 0);
    direct dp(p.finish());
    dp.step();
    EXPECT_EQ(dp.top().get(), dp.ctx->slots[0].get());
    EXPECT_EQ(dp.ctx->slots[0]->payload.i, 1);  // none++ -> 1

    // Postfix on none: the old value (none) is the expression's value.
    outcome post = unary(e, N(), LUM_OP_INC, 1);
    EXPECT_EQ(post.top->type, LUMVAR_NONE);
    outcome dec = unary(e, N(), LUM_OP_DEC, 0);
    EXPECT_EQ(dec.top->payload.i, -1);
    outcome fl = unary(e, F(1.5), LUM_OP_INC, 0);
    EXPECT_EQ(fl.top->payload.f, 2.5);
    outcome wrap = unary(e, I(std::numeric_limits<int64_t>::max()), LUM_OP_INC, 0);
    EXPECT_EQ(wrap.top->payload.i, std::numeric_limits<int64_t>::min());

    outcome str = unary(e, S("a"), LUM_OP_INC, 0);
    EXPECT_EQ(str.status, LUM_STATUS_ERROR);
    EXPECT_EQ(str.error, "Cannot increment variable!");
    EXPECT_NE(str.warnings.find("increment_value not implemented for type: 5"), std::string::npos);
    outcome strd = unary(e, S("a"), LUM_OP_DEC, 1);
    EXPECT_EQ(strd.error, "Cannot decrement variable!");
}

TEST(IncrementDecrement, ContainerEntriesChangeInPlace) {
    env e;
    // j = {}; j.n = 1 (json member cell); j["n"]++ through an index get keeps writing the container.
    lum_block_builder b(e.prog, e.block("member", LUM_BLOCK_TOP, 1));
    const uint32_t c = b.cache();
    b.push().ld_l(0).op(LUM_OP_NEWJSON).assign().pop();
    b.push().ld_l(0).mem("n", c).push().ldi(1).assign().pop();
    b.push().ld_l(0).mem("n", c).op_a(LUM_OP_INC, 1).pop();
    b.push().ld_l(0).push().lds("n").emit(LUM_OP_IDX, {.A = 1, .E8 = 1});
    b.op_a(LUM_OP_INC, 0);
    direct d(b.finish());
    EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
    EXPECT_EQ(d.top()->payload.i, 3);
    lumvar_shared n;
    d.ctx->slots[0]->get_member_by_name(n, "n");
    EXPECT_EQ(n->payload.i, 3);
}

TEST(Comparisons, GenericRules) {
    env e;
    struct row {
        lumvar_shared l, r;
        uint8_t op, a;
        int64_t expect;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<row> rows = {
        {I(1), I(1), LUM_OP_EQ, 0, 1},   {I(1), I(2), LUM_OP_EQ, 1, 1},   {N(), I(0), LUM_OP_EQ, 0, 1},
        {F(nan), I(0), LUM_OP_EQ, 0, 0}, {F(nan), F(nan), LUM_OP_EQ, 1, 1}, {S("a"), S("b"), LUM_OP_LT, 0, 1},
        {S("b"), S("b"), LUM_OP_LT, 1, 1}, {I(3), F(2.5), LUM_OP_GT, 0, 1}, {I(3), I(3), LUM_OP_GT, 0, 0},
        {I(3), I(3), LUM_OP_GT, 1, 1},   {json_list({1, 2}), I(2), LUM_OP_EQ, 0, 1}, {S("1"), I(1), LUM_OP_EQ, 0, 1},
    };
    for (const row& r : rows) {
        outcome o = eval(e, r.l, r.r, r.op, r.a);
        SCOPED_TRACE(text(r.l) + " cmp" + std::to_string(r.op) + "/" + std::to_string(r.a) + " " + text(r.r));
        EXPECT_EQ(o.status, LUM_STATUS_FINISHED);
        EXPECT_EQ(o.top->type, LUMVAR_INT);
        EXPECT_EQ(o.top->payload.i, r.expect);
        EXPECT_EQ(o.pushed, 1);
    }
}
