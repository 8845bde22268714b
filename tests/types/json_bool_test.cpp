// "json.bool": truth and text, arithmetic on the wrapped number through the
// object slots (forward and reversed, int and float, the unrepresentable
// quotient), comparisons by truth, the property "value", the constructor
// function and the class factory.
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "runtime/namespace.h"
#include "tests/types/types_test_support.h"
#include "vm/context.h"

namespace j1test {
namespace {

using JsonBool = json_test;

lumptr_strong<lum_std_json_bool> wrap(lumvar_shared v) {
    return lumptr_strong<lum_std_json_bool>(new lum_std_json_bool(v));
}

using slot = bool (lum_std_json_bool::*)(const lumvar_shared&, lumvar_shared&);
lumvar_shared flt(double v) { return lumvar_shared::from_float(v); }

// Whether the slot of a json.bool wrapping `wrapped` handles `other`; the result in `result`.
bool handled(slot op, lumvar_shared wrapped, const lumvar_shared& other, lumvar_shared& result) {
    result = lumvar_shared::make();
    return (wrap(std::move(wrapped)).get()->*op)(other, result);
}

TEST_F(JsonBool, TruthAndText) {
    EXPECT_EQ(lum_std_json_bool().to_string(), "false");
    const std::pair<lumvar_shared, const char*> rows[] = {
        {num(2), "true"},   {num(0), "false"},           {str(""), "false"},           {str("x"), "true"},
        {flt(0.0), "false"}, {flt(std::nan("")), "true"}, {lumvar_shared::make(), "false"}};
    for (const auto& [wrapped, expected] : rows) {
        auto b = wrap(wrapped);
        EXPECT_EQ(b->to_string(), expected) << wrapped->to_std_string();
        EXPECT_EQ(b->compare_zero(), std::string(expected) == "false");
        nlohmann::json j;
        b->to_json(j);
        EXPECT_EQ(j, nlohmann::json(std::string(expected) == "true"));
    }
    EXPECT_STREQ(wrap(num(1))->type_name(), "json.bool");
    std::vector<uint8_t> out;  // no binary form
    EXPECT_FALSE(wrap(num(1))->to_binary(out));
    EXPECT_EQ(errors(), std::vector<std::string>{"to_binary(): not implemented."});
}

TEST_F(JsonBool, ArithmeticUsesTheWrappedNumberAndWrapsWithoutTrapping) {
    constexpr int64_t min = std::numeric_limits<int64_t>::min();
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    using b = lum_std_json_bool;
    struct row {
        const char* name;
        slot op;
        lumvar_shared wrapped, other, expected;
    };
    const row rows[] = {
        {"b(5) + 1", &b::add, num(5), num(1), num(6)},
        {"b(5) * 0.5", &b::mul, num(5), flt(0.5), flt(2.5)},
        {"10 - b(3)", &b::sub_reverse, num(3), num(10), num(7)},  // reversed slots keep the operand order
        {"10 / b(2)", &b::div_reverse, num(2), num(10), num(5)},
        {"b(3) - 10", &b::sub, num(3), num(10), num(-7)},
        {"b(-7) / 2", &b::div, num(-7), num(2), num(-3)},  // truncated toward zero
        {"0.25 * b(4)", &b::mul_reverse, num(4), flt(0.25), flt(1.0)},
        {"1 + b(1.5)", &b::add_reverse, flt(1.5), num(1), num(2)},  // int other: the wrapped float is truncated
        {"b(min) / -1", &b::div, num(min), num(-1), num(min)},
        {"min / b(-1)", &b::div_reverse, num(-1), num(min), num(min)},
        {"b(max) + 1", &b::add, num(max), num(1), num(min)},
        {"b(min) * -1", &b::mul, num(min), num(-1), num(min)},
        {"b(1e30) + 0", &b::add, flt(1e30), num(0), num(max)},  // wrapped floats saturate
        {"b(-1e30) + 0", &b::add, flt(-1e30), num(0), num(min)},
        {"b(NaN) + 4", &b::add, flt(std::nan("")), num(4), num(4)},  // NaN counts as 0
    };
    lumvar_shared r;
    for (const row& c : rows) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(handled(c.op, c.wrapped, c.other, r));
        ASSERT_EQ(r->type, c.expected->type);
        if (r->type == LUMVAR_INT) {
            EXPECT_EQ(r->payload.i, c.expected->payload.i);
        } else {
            EXPECT_EQ(r->payload.f, c.expected->payload.f);
        }
    }
    // Division by an int 0 is not handled; by a float 0.0 it is IEEE.
    EXPECT_FALSE(handled(&b::div, num(7), num(0), r));
    EXPECT_FALSE(handled(&b::div_reverse, num(0), num(7), r));
    ASSERT_TRUE(handled(&b::div, num(1), flt(0.0), r));
    EXPECT_TRUE(std::isinf(r->payload.f));
    // Other operand types are not handled.
    EXPECT_FALSE(handled(&b::add, num(5), str("1"), r));
    EXPECT_FALSE(handled(&b::add, num(5), lumvar_shared::make(), r));
    EXPECT_FALSE(handled(&b::add, num(5), boolean_of(num(1)), r));
    // A result cell of another type is retyped.
    lumvar_shared result = str("old");
    ASSERT_TRUE(wrap(num(2))->add(num(2), result));
    EXPECT_EQ(result->type, LUMVAR_INT);
    EXPECT_EQ(result->payload.i, 4);
}

TEST_F(JsonBool, ComparisonsUseTheTruth) {
    // Equality: ints and other json.bool values by truth, nothing else; order: numbers against 0 or 1.
    struct row {
        int64_t wrapped;
        lumvar_shared other;
        bool equal, smaller, smaller_or_equal, bigger, bigger_or_equal;
    };
    const row rows[] = {
        {1, num(5), true, true, true, false, false},      {1, boolean_of(str("x")), true, false, false, false, false},
        {0, num(0), true, false, true, false, true},       {1, flt(1.0), false, false, true, false, true},
        {1, str("1"), false, false, false, false, false}, {1, lumvar_shared::make(), false, false, false, false, false},
        {1, boolean_of(num(0)), false, false, false, false, false}, {1, num(2), true, true, true, false, false},
        {1, num(0), false, false, false, true, true},      {0, flt(-0.5), false, false, false, true, true},
        {0, flt(0.5), false, true, true, false, false},
    };
    for (const row& r : rows) {
        auto b = wrap(num(r.wrapped));
        SCOPED_TRACE(std::to_string(r.wrapped) + " vs " + r.other->to_std_string());
        EXPECT_EQ(b->compare_equal(r.other), r.equal);
        EXPECT_EQ(b->compare_smaller(r.other, false), r.smaller);
        EXPECT_EQ(b->compare_smaller(r.other, true), r.smaller_or_equal);
        EXPECT_EQ(b->compare_bigger(r.other, false), r.bigger);
        EXPECT_EQ(b->compare_bigger(r.other, true), r.bigger_or_equal);
    }
    auto one = wrap(num(1));
    EXPECT_TRUE(one->compare_equal(lumvar_shared::from_object(one.get())));  // itself
    // Through the value operations, as a script sees them.
    lumvar_shared b = boolean_of(num(1));
    lumvar_shared five = num(5), two = num(2);
    EXPECT_TRUE(lumvar::compare_equal(*b, *five));
    EXPECT_TRUE(lumvar::compare_equal(*five, *b));
    EXPECT_TRUE(lumvar::compare_smaller(*b, *two, false));
    // An object value whose object is gone is reset to none before comparing.
    lumvar_shared gone = lumvar_shared::make_typed(LUMVAR_OBJECT);
    EXPECT_FALSE(one->compare_equal(gone));
    EXPECT_EQ(gone->type, LUMVAR_NONE);
}

TEST_F(JsonBool, ValuePropertyCopiesInAndOut) {
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

TEST_F(JsonBool, ConstructorAndFactory) {
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
    auto [j, c] = fresh_json();
    EXPECT_EQ(as_json_bool(c), nullptr);
}

}  // namespace
}  // namespace j1test
