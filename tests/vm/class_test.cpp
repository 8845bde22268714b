// Script classes beyond the assembler programs: release notices, abstract
// methods, static members, relatedness and index errors outside a task.

#include <gtest/gtest.h>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "vm/opcode.h"
#include "vm/symbol_table.h"

using namespace v2test;

namespace {

// A method block (function kind, method flag) with `params` parameters.
lum_block_builder* method_block(env& e, std::vector<std::unique_ptr<lum_block_builder>>& keep, const char* name,
                                uint32_t params, uint32_t slots) {
    keep.push_back(std::make_unique<lum_block_builder>(e.prog, e.block(name, LUM_BLOCK_FUNCTION, slots)));
    keep.back()->params(params, params);
    return keep.back().get();
}

}  // namespace

TEST(ScriptClasses, AbstractStaticAndIndexErrors) {
    env e;
    std::vector<std::unique_ptr<lum_block_builder>> keep;
    lum_class_def* shape = e.prog.new_class("Shape");
    lumvar* shape_cls = e.class_value(shape);
    lum_class_builder sb(shape);
    sb.abstract_method("area");
    sb.static_member("sides", lumvar_shared::from_int(4));
    auto* body = method_block(e, keep, "Shape.body", 0, 0);
    body->op(LUM_OP_NEWINST).ret();
    sb.body(body->finish());
    lum_class_def* square = e.prog.new_class("Square");
    lumvar* square_cls = e.class_value(square);
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
