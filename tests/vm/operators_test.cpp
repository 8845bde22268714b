// Operators seen from one interpreter run (their printed results and warnings
// are in arith.lasm): what the result place holds after a refusal, native
// objects and json operands, in-place increments and the comparison rules.

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

// Emits the operator instruction after the operands `b` holds, runs the
// block once and records what it left.
outcome finish_and_run(env& e, lum_block_builder& b, uint8_t opcode, uint8_t a) {
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

// Evaluates `left <op> right` in one interpreter run. The constants are
// cells of the program; the operator works on dereferenced copies so an
// in-place write cannot reach them.
outcome eval(env& e, const lumvar_shared& left, const lumvar_shared& right, uint8_t opcode, uint8_t a = 0) {
    lum_block_builder b(e.prog, e.block("eval", LUM_BLOCK_TOP, 0));
    b.push().ldk(e.prog.constant(left)).op(LUM_OP_DEREF);
    b.push().ldk(e.prog.constant(right)).op(LUM_OP_DEREF);
    return finish_and_run(e, b, opcode, a);
}

lumvar_shared I(int64_t v) { return lumvar_shared::from_int(v); }
lumvar_shared F(double v) { return lumvar_shared::from_float(v); }
lumvar_shared S(std::string_view v) { return lumvar_shared::from_string(v); }
lumvar_shared N() { return lumvar_shared::make(); }

}  // namespace

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
