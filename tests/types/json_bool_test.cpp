// "json.bool": truth and text, arithmetic on the wrapped number through the
// object slots (forward and reversed, int and float, the unrepresentable
// quotient), comparisons by truth, the property "value", the constructor
// function and the class factory.
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "runtime/namespace.h"
#include "tests/types/json_test_support.h"
#include "vm/context.h"

namespace j1test {
namespace {

using json_bool = json_test;

lumptr_strong<lum_std_json_bool> wrap(lumvar_shared v) {
    return lumptr_strong<lum_std_json_bool>(new lum_std_json_bool(v));
}

// Result of one arithmetic slot: handled or not, and the result cell.
struct arith_result {
    bool handled;
    lumvar_shared value;
};
template <class Slot>
arith_result run(Slot slot, lum_std_json_bool* b, lumvar_shared other) {
    arith_result r{false, lumvar_shared::make()};
    r.handled = (b->*slot)(other, r.value);
    return r;
}

TEST_F(json_bool, TruthAndText) {
    EXPECT_EQ(lum_std_json_bool().to_string(), "false");
    EXPECT_EQ(wrap(num(2))->to_string(), "true");
    EXPECT_EQ(wrap(str(""))->to_string(), "false");
    EXPECT_EQ(wrap(lumvar_shared::from_float(0.0))->to_string(), "false");
    EXPECT_EQ(wrap(lumvar_shared::from_float(std::nan("")))->to_string(), "true");
    EXPECT_TRUE(wrap(num(0))->compare_zero());
    EXPECT_FALSE(wrap(num(3))->compare_zero());
    nlohmann::json j;
    wrap(str("x"))->to_json(j);
    EXPECT_EQ(j, nlohmann::json(true));
    EXPECT_STREQ(wrap(num(1))->type_name(), "json.bool");
    // No binary form.
    std::vector<uint8_t> out;
    EXPECT_FALSE(wrap(num(1))->to_binary(out));
    EXPECT_EQ(errors(), std::vector<std::string>{"to_binary(): not implemented."});
}

TEST_F(json_bool, ArithmeticUsesTheWrappedNumber) {
    auto five = wrap(num(5));
    arith_result r = run(&lum_std_json_bool::add, five.get(), num(1));
    ASSERT_TRUE(r.handled);
    EXPECT_EQ(r.value->type, LUMVAR_INT);
    EXPECT_EQ(r.value->payload.i, 6);
    r = run(&lum_std_json_bool::mul, five.get(), lumvar_shared::from_float(0.5));
    ASSERT_TRUE(r.handled);
    EXPECT_EQ(r.value->type, LUMVAR_FLOAT);
    EXPECT_EQ(r.value->payload.f, 2.5);

    // Reversed slots keep the operand order: 10 - b(3), 10 / b(2).
    r = run(&lum_std_json_bool::sub_reverse, wrap(num(3)).get(), num(10));
    EXPECT_EQ(r.value->payload.i, 7);
    r = run(&lum_std_json_bool::div_reverse, wrap(num(2)).get(), num(10));
    EXPECT_EQ(r.value->payload.i, 5);
    r = run(&lum_std_json_bool::sub, wrap(num(3)).get(), num(10));
    EXPECT_EQ(r.value->payload.i, -7);
    r = run(&lum_std_json_bool::div, wrap(num(-7)).get(), num(2));
    EXPECT_EQ(r.value->payload.i, -3);  // truncated toward zero
    r = run(&lum_std_json_bool::mul_reverse, wrap(num(4)).get(), lumvar_shared::from_float(0.25));
    EXPECT_EQ(r.value->payload.f, 1.0);
    r = run(&lum_std_json_bool::add_reverse, wrap(lumvar_shared::from_float(1.5)).get(), num(1));
    EXPECT_EQ(r.value->payload.i, 2);  // int other: the wrapped float is truncated

    // Division by an int 0 is not handled; by a float 0.0 it is IEEE.
    EXPECT_FALSE(run(&lum_std_json_bool::div, wrap(num(7)).get(), num(0)).handled);
    EXPECT_FALSE(run(&lum_std_json_bool::div_reverse, wrap(num(0)).get(), num(7)).handled);
    r = run(&lum_std_json_bool::div, wrap(num(1)).get(), lumvar_shared::from_float(0.0));
    ASSERT_TRUE(r.handled);
    EXPECT_TRUE(std::isinf(r.value->payload.f));
    // Other operand types are not handled.
    EXPECT_FALSE(run(&lum_std_json_bool::add, five.get(), str("1")).handled);
    EXPECT_FALSE(run(&lum_std_json_bool::add, five.get(), lumvar_shared::make()).handled);
    EXPECT_FALSE(run(&lum_std_json_bool::add, five.get(), boolean_of(num(1))).handled);
}

TEST_F(json_bool, IntegerEdgesWrapWithoutTrapping) {
    constexpr int64_t min = std::numeric_limits<int64_t>::min();
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    arith_result r = run(&lum_std_json_bool::div, wrap(num(min)).get(), num(-1));
    ASSERT_TRUE(r.handled);
    EXPECT_EQ(r.value->payload.i, min);
    r = run(&lum_std_json_bool::div_reverse, wrap(num(-1)).get(), num(min));
    EXPECT_EQ(r.value->payload.i, min);
    r = run(&lum_std_json_bool::add, wrap(num(max)).get(), num(1));
    EXPECT_EQ(r.value->payload.i, min);
    r = run(&lum_std_json_bool::mul, wrap(num(min)).get(), num(-1));
    EXPECT_EQ(r.value->payload.i, min);
    // Wrapped floats saturate; NaN counts as 0.
    r = run(&lum_std_json_bool::add, wrap(lumvar_shared::from_float(1e30)).get(), num(0));
    EXPECT_EQ(r.value->payload.i, max);
    r = run(&lum_std_json_bool::add, wrap(lumvar_shared::from_float(-1e30)).get(), num(0));
    EXPECT_EQ(r.value->payload.i, min);
    r = run(&lum_std_json_bool::add, wrap(lumvar_shared::from_float(std::nan(""))).get(), num(4));
    EXPECT_EQ(r.value->payload.i, 4);
    // A result cell of another type is retyped.
    lumvar_shared result = str("old");
    ASSERT_TRUE(wrap(num(2))->add(num(2), result));
    EXPECT_EQ(result->type, LUMVAR_INT);
    EXPECT_EQ(result->payload.i, 4);
}

TEST_F(json_bool, ComparisonsUseTheTruth) {
    auto one = wrap(num(1));
    EXPECT_TRUE(one->compare_equal(num(5)));
    EXPECT_TRUE(one->compare_equal(boolean_of(str("x"))));
    EXPECT_TRUE(wrap(num(0))->compare_equal(num(0)));
    EXPECT_FALSE(one->compare_equal(lumvar_shared::from_float(1.0)));
    EXPECT_FALSE(one->compare_equal(str("1")));
    EXPECT_FALSE(one->compare_equal(lumvar_shared::make()));
    EXPECT_FALSE(one->compare_equal(boolean_of(num(0))));

    EXPECT_TRUE(one->compare_smaller(num(2), false));
    EXPECT_FALSE(one->compare_smaller(lumvar_shared::from_float(1.0), false));
    EXPECT_TRUE(one->compare_smaller(lumvar_shared::from_float(1.0), true));
    EXPECT_FALSE(one->compare_smaller(str("2"), true));
    EXPECT_TRUE(one->compare_bigger(num(0), false));
    EXPECT_TRUE(wrap(num(0))->compare_bigger(lumvar_shared::from_float(-0.5), false));
    EXPECT_FALSE(wrap(num(0))->compare_bigger(num(0), false));
    EXPECT_TRUE(wrap(num(0))->compare_bigger(num(0), true));

    // Through the value operations, as a script sees them.
    lumvar_shared b = boolean_of(num(1));
    lumvar_shared five = num(5);
    EXPECT_TRUE(lumvar::compare_equal(*b, *five));
    EXPECT_TRUE(lumvar::compare_equal(*five, *b));
    lumvar_shared two = num(2);
    EXPECT_TRUE(lumvar::compare_smaller(*b, *two, false));
    // An object value whose object is gone is reset to none before comparing.
    lumvar_shared gone = lumvar_shared::make_typed(LUMVAR_OBJECT);
    EXPECT_FALSE(one->compare_equal(gone));
    EXPECT_EQ(gone->type, LUMVAR_NONE);
}

TEST_F(json_bool, ValuePropertyCopiesInAndOut) {
    lum_std_json_bool::script_register_internal();
    auto b = wrap(num(1));
    const int64_t index = b->find_member_index("value");
    ASSERT_EQ(index, 0);
    lumvar_shared got;
    b->read_member_at(got, index);
    EXPECT_EQ(got->payload.i, 1);
    got->set_int(0);  // a copy: the object does not change
    EXPECT_EQ(b->to_string(), "true");
    b->set_member_at(index, num(0));
    EXPECT_EQ(b->to_string(), "false");
    // Reading by name yields the lazy member reference.
    lumvar_shared member = b->get_member(std::string_view("value"));
    EXPECT_EQ(member->type, LUMVAR_OBJECT_MEMBER_INDEX);
    lumvar_shared through;
    member->deref(through);
    EXPECT_EQ(through->payload.i, 0);
    // The wrapped value never aliases the caller's cell.
    lumvar_shared source = num(9);
    auto c = wrap(source);
    source->set_int(0);
    EXPECT_EQ(c->value->payload.i, 9);
    lumptr_strong<lumobject_base> copied = c->copy();
    static_cast<lum_std_json_bool*>(copied.get())->value->set_int(0);
    EXPECT_EQ(c->value->payload.i, 9);
    EXPECT_EQ(copied->to_string(), "false");
}

TEST_F(json_bool, ConstructorAndFactory) {
    lum_namespace ns;
    lum_json_bool_namespace_init(ns);
    auto member = ns.members.find(std::string_view("bool"));
    ASSERT_NE(member, ns.members.end());
    lum_function_def* def = member->second->ext_function_record()->definition.get();
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->min_args, 0u);
    EXPECT_EQ(def->max_args, 1u);
    EXPECT_EQ(def->class_type_name, "json.bool");
    EXPECT_EQ(def->doc,
              "Create a JSON boolean. The wrapped value is written as true/false instead of 1/0 when the JSON is "
              "converted to a string.");
    EXPECT_EQ(def->arg_docs, std::vector<std::string_view>{"value: object - Value to wrap as a boolean."});

    lum_vm_context context;
    std::vector<lumvar_shared> none;
    lumvar_shared f = def->callable(context, none);
    ASSERT_EQ(f->type, LUMVAR_OBJECT);
    EXPECT_EQ(f->to_std_string(), "false");
    lumvar_shared arg = num(2);
    std::vector<lumvar_shared> one{arg};
    lumvar_shared t = def->callable(context, one);
    EXPECT_EQ(t->to_std_string(), "true");
    arg->set_int(0);  // assigned, not shared
    EXPECT_EQ(t->to_std_string(), "true");

    auto factory = lum_registry().factories->find(std::string_view("json.bool"));
    ASSERT_NE(factory, lum_registry().factories->end());
    lumptr_strong<lumobject_base> made = factory->second();
    ASSERT_NE(as_json_bool(made.get()), nullptr);
    EXPECT_EQ(made->to_string(), "false");
    EXPECT_EQ(as_json_bool(f->object_raw()) != nullptr, true);
    lum_std_json* c = nullptr;
    lumvar_shared j = new_json(c);
    EXPECT_EQ(as_json_bool(c), nullptr);
}

}  // namespace
}  // namespace j1test
