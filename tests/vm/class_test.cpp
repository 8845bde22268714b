// Script classes: constructors, methods, operators, item operators,
// __deinit__, member caches and privacy.

#include <gtest/gtest.h>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "vm/opcode.h"
#include "vm/symbol_table.h"

using namespace v2test;

namespace {

lumvar* class_constant(env& e, lum_class_def* def) {
    lumvar_shared v = lumvar_shared::make();
    v->set_type(LUMVAR_CLASS_DEF);
    v->class_def_holder()->definition = def;
    return e.prog.constant(v);
}

// A method block (function kind, method flag) with `params` parameters.
lum_block_builder* method_block(env& e, std::vector<std::unique_ptr<lum_block_builder>>& keep, const char* name,
                                uint32_t params, uint32_t slots) {
    keep.push_back(std::make_unique<lum_block_builder>(e.prog, e.block(name, LUM_BLOCK_FUNCTION, slots)));
    keep.back()->params(params, params);
    return keep.back().get();
}

// class Point(x, y): sum(), __add__, __eq__, __neg__, __deinit__ (optional).
struct point_class {
    lum_class_def* def;
    lumvar* cls;
    std::vector<std::unique_ptr<lum_block_builder>> blocks;

    point_class(env& e, bool with_deinit) {
        def = e.prog.new_class("Point");
        cls = class_constant(e, def);
        lum_class_builder cb(def);
        cb.member("x");
        cb.member("y");
        auto* ctor = method_block(e, blocks, "Point.ctor", 2, 2);
        ctor->flags(0);
        ctor->op(LUM_OP_NEWINST).op(LUM_OP_SETSELF).ret();
        cb.constructor(ctor->finish());

        auto* sum = method_block(e, blocks, "Point.sum", 0, 0);
        sum->selfmem(0).push().selfmem(1);
        sum->op(LUM_OP_ADD).ret();
        cb.method("sum", sum->finish());

        // __add__(o): Point(x + o.x, y + o.y)
        auto* add = method_block(e, blocks, "Point.__add__", 1, 1);
        const uint32_t c = add->cache();
        add->ldk(cls).prep(2);
        add->push().selfmem(0);
        add->push().ld_l(0).mem("x", c).op(LUM_OP_ADD).arg(0).pop();
        const uint32_t c2 = add->cache();
        add->push().selfmem(1);
        add->push().ld_l(0).mem("y", c2).op(LUM_OP_ADD).arg(1).pop();
        add->call().ret();
        cb.method("__add__", add->finish());

        // __eq__(o): x == o.x
        auto* eq = method_block(e, blocks, "Point.__eq__", 1, 1);
        const uint32_t c3 = eq->cache();
        eq->selfmem(0).push().ld_l(0).mem("x", c3).op_a(LUM_OP_EQ, 0).ret();
        cb.method("__eq__", eq->finish());

        // __neg__(): Point(-x, -y)
        auto* neg = method_block(e, blocks, "Point.__neg__", 0, 0);
        neg->ldk(cls).prep(2);
        neg->push().selfmem(0).op(LUM_OP_NEG).arg(0).pop();
        neg->push().selfmem(1).op(LUM_OP_NEG).arg(1).pop();
        neg->call().ret();
        cb.method("__neg__", neg->finish());

        if (with_deinit) {
            auto* deinit = method_block(e, blocks, "Point.__deinit__", 0, 0);
            deinit->push().lds("bye").push().selfmem(0).op(LUM_OP_ADD);
            e.print_top(*deinit);
            deinit->pop().op(LUM_OP_NONE).ret();
            cb.method("__deinit__", deinit->finish());
        }
    }

    // push ; Point(a, b)
    void make(lum_block_builder& b, int64_t a, int64_t c) {
        b.push().ldk(cls).prep(2).push().ldi(a).arg(0).pop().push().ldi(c).arg(1).pop().call();
    }
};

}  // namespace

TEST(ScriptClasses, ConstructorMethodsAndOperators) {
    env e;
    point_class point(e, false);
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 3));
    const uint32_t cx = top.cache(), cy = top.cache(), cs = top.cache();
    auto print_point = [&](uint32_t slot) {
        top.push().frame(2).ld_l(slot).mem("x", cx).farg(0).ld_l(slot).mem("y", cy).farg(1).ncall(e.print).pop();
    };
    // a = Point(1, 2); b = Point(3, 4)
    top.push().ld_l(0);
    point.make(top, 1, 2);
    top.assign().pop();
    top.push().ld_l(1);
    point.make(top, 3, 4);
    top.assign().pop();
    // c = a + b
    top.push().ld_l(2).push().ld_l(0).push().ld_l(1).op(LUM_OP_ADD).assign().pop();
    print_point(2);
    // a.sum()
    top.push().ld_l(0).mem("sum", cs).prep(0).call();
    e.print_top(top);
    top.pop();
    // a == b, a != b (through __eq__, negated), a == Point(1, 9)
    top.push().ld_l(0).push().ld_l(1).op_a(LUM_OP_EQ, 0);
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).push().ld_l(1).op_a(LUM_OP_EQ, 1);
    e.print_top(top);
    top.pop();
    top.push().ld_l(0);
    point.make(top, 1, 9);
    top.op_a(LUM_OP_EQ, 0);
    e.print_top(top);
    top.pop();
    // c = -a
    top.push().ld_l(2).push().ld_l(0).op(LUM_OP_NEG).assign().pop();
    print_point(2);
    // Point(5, 6).sum() on a temporary instance
    point.make(top, 5, 6);
    top.mem("sum", cs).prep(0).call();
    e.print_top(top);
    top.pop();
    // 1 + a: no __radd__
    top.push().ldi(1).push().ld_l(0).op(LUM_OP_ADD);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out), "4 6\n3\n0\n1\n1\n-1 -2\n11\n");
    EXPECT_NE(e.errors().find("Operator '+' is not defined for '1' and 'Point' (implement __add__ or __radd__)"),
              std::string::npos);
}

TEST(ScriptClasses, ReversedOperatorsAndArity) {
    env e;
    std::vector<std::unique_ptr<lum_block_builder>> keep;
    lum_class_def* def = e.prog.new_class("R");
    lumvar* cls = class_constant(e, def);
    lum_class_builder cb(def);
    cb.member("v");
    auto* ctor = method_block(e, keep, "R.ctor", 1, 1);
    ctor->op(LUM_OP_NEWINST).ret();
    cb.constructor(ctor->finish());
    // __radd__(o): o * 100 + v
    auto* radd = method_block(e, keep, "R.__radd__", 1, 1);
    radd->ld_l(0).push().ldi(100).op(LUM_OP_MUL).push().selfmem(0).op(LUM_OP_ADD).ret();
    cb.method("__radd__", radd->finish());
    // __sub__ takes no parameter: refused.
    auto* sub = method_block(e, keep, "R.__sub__", 0, 0);
    sub->ldi(1).ret();
    cb.method("__sub__", sub->finish());
    // __lt__(o): v < o
    auto* lt = method_block(e, keep, "R.__lt__", 1, 1);
    lt->selfmem(0).push().ld_l(0).op_a(LUM_OP_LT, 0).ret();
    cb.method("__lt__", lt->finish());

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    top.push().ld_l(0).push().ldk(cls).prep(1).push().ldi(7).arg(0).pop().call().assign().pop();
    top.push().ldi(3).push().ld_l(0).op(LUM_OP_ADD);  // 3 + r -> r.__radd__(3) = 307
    e.print_top(top);
    top.pop();
    top.push().ldi(9).push().ld_l(0).op_a(LUM_OP_GT, 0);  // 9 > r -> r.__lt__(9) = 1
    e.print_top(top);
    top.pop();
    top.push().ldi(5).push().ld_l(0).op_a(LUM_OP_LT, 0);  // 5 < r -> r.__gt__ missing -> generic (warns) 0
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).push().ldi(1).op(LUM_OP_SUB);
    e.print_top(top);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "307\n1\n0\n");
    EXPECT_NE(e.errors().find("invalid argument count: num_params=1, fn_num_params=0, fn_default_args=0"),
              std::string::npos);
}

TEST(ScriptClasses, DeinitRunsWithSelfBeforeMembersAreCleared) {
    env e;
    point_class point(e, true);
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    top.push().ld_l(0);
    point.make(top, 1, 2);
    top.assign().pop();
    top.push().lds("dropping");
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).push().op(LUM_OP_NONE).assign().pop();  // slot 0 := none releases the instance
    point.make(top, 8, 9);
    top.pop();  // a temporary goes at once
    top.push().lds("end");
    e.print_top(top);
    top.pop();
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out), "dropping\nbye1\nbye8\nend\n");
    EXPECT_EQ(e.errors(), "");
}

TEST(ScriptClasses, ReleaseWithoutDeinitAndInstanceMembers) {
    env e;
    point_class point(e, false);
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    const uint32_t cx = top.cache();
    top.push().ld_l(0);
    point.make(top, 1, 2);
    top.assign().pop();
    // p.x = 10 writes the instance's own cell
    top.push().ld_l(0).mem("x", cx).push().ldi(10).assign().pop();
    top.push().ld_l(1).push().ld_l(0).mem("x", cx).assign().pop();
    e.print_slot(top, 1);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "10\n");
    // After the task is gone, the instance was released and destroyed with its notices.
    e.fx.tasks.clear();
    EXPECT_TRUE(e.fx.log->has_notice_prefix("lum_class release. "));
    EXPECT_TRUE(e.fx.log->has_notice_prefix("lum_class destroyed. "));
}

TEST(ScriptClasses, AbstractStaticAndIndexErrors) {
    env e;
    std::vector<std::unique_ptr<lum_block_builder>> keep;
    lum_class_def* shape = e.prog.new_class("Shape");
    lumvar* shape_cls = class_constant(e, shape);
    lum_class_builder sb(shape);
    sb.abstract_method("area");
    sb.static_member("sides", lumvar_shared::from_int(4));
    auto* body = method_block(e, keep, "Shape.body", 0, 0);
    body->op(LUM_OP_NEWINST).ret();
    sb.body(body->finish());
    lum_class_def* square = e.prog.new_class("Square");
    lumvar* square_cls = class_constant(e, square);
    lum_class_builder qb(square);
    qb.inherit(shape);
    auto* area = method_block(e, keep, "Square.area", 0, 0);
    area->ldi(16).ret();
    qb.method("area", area->finish());
    auto* qbody = method_block(e, keep, "Square.body", 0, 0);
    qbody->op(LUM_OP_NEWINST).ret();
    qb.body(qbody->finish());

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t c1 = top.cache(), c2 = top.cache();
    top.push().ld_l(0).push().ldk(square_cls).prep(0).call().assign().pop();
    top.push().ld_l(0).mem("area", c1).prep(0).call();
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).mem("sides", c2);
    e.print_top(top);
    top.pop();
    top.push().ldk(shape_cls).prep(0);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "16\n4\n");
    EXPECT_NE(e.errors().find("Cannot create an instance of 'Shape': abstract method 'area' is not implemented "
                              "(implement it in a derived class)."),
              std::string::npos);
    EXPECT_TRUE(lum_class_def::related(square, shape));
    EXPECT_TRUE(lum_class_def::related(shape, square));
    EXPECT_FALSE(lum_class_def::related(nullptr, shape));

    // Index errors of instances outside any task: logged, none results.
    std::vector<lumvar_shared> members;
    lumptr_strong<lum_class> instance(new lum_class(lumptr_weak<lum_class_def>(square), members));
    lumvar_shared out;
    instance->get_member_by_index(out, -1, false);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    instance->get_member(out, "nothing");
    EXPECT_EQ(out->type, LUMVAR_NONE);
    const std::string errors = e.errors();
    EXPECT_NE(errors.find("out of range!"), std::string::npos);
    EXPECT_NE(errors.find("class 'Square' does not have member nothing"), std::string::npos);
    // A static method read through an instance is bound to it.
    instance->get_member(out, "area");
    ASSERT_EQ(out->type, LUMVAR_FUNCTION);
    EXPECT_EQ(out->function_record()->self.get(), instance.get());
}
