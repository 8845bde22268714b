// The object base: the default operations and their exact error and warning
// texts, keyed access, type tests, copying, the binary-form defaults, and object values.
#include <gtest/gtest.h>

#include "runtime/binary.h"
#include "tests/runtime/value_test_support.h"

namespace {

// An object with only the defaults of the base.
class plain_object : public lumobject_base {};

using Objects = vm_test;

TEST_F(Objects, DefaultsAnswerNothingAndRaiseTheirErrors) {
    lumptr_strong<plain_object> o(new plain_object());
    lumvar_shared other = num(1), result = none(), at;
    EXPECT_EQ(o->to_string(), "object");
    EXPECT_EQ(o->to_string_view(), "object");
    EXPECT_STREQ(o->type_name(), "object");
    EXPECT_EQ(o->size(), 0);
    EXPECT_EQ(o->reserved_18(), -1);
    EXPECT_EQ(o->reserved_19(), -1);
    const bool answers[] = {o->compare_zero(),          o->add(other, result), o->add_reverse(other, result),
                            o->sub(other, result),      o->sub_reverse(other, result), o->mul(other, result),
                            o->mul_reverse(other, result), o->div(other, result), o->div_reverse(other, result),
                            o->compare_equal(other),    o->compare_smaller(other, true),
                            o->compare_bigger(other, false)};
    for (bool answer : answers) EXPECT_FALSE(answer);
    EXPECT_EQ(o->get_interface(lumptr_type_tag<lumobject_base>::type_id()), nullptr);
    EXPECT_EQ(o->find_member_index("x"), -1);
    o->get_member_at(at, 0);
    EXPECT_EQ(at->type, LUMVAR_NONE);
    o->read_member_at(at, 5);
    EXPECT_EQ(at->type, LUMVAR_NONE);
    lumptr_strong<lumobject_base> c = o->copy();  // the default copy is the same object
    EXPECT_EQ(c.get(), o.get());
    EXPECT_TRUE(log().entries().empty());

    EXPECT_EQ(o->get_member(int64_t{3})->type, LUMVAR_NONE);
    EXPECT_EQ(o->get_member(std::string_view("x"))->type, LUMVAR_NONE);
    o->set_member(int64_t{1}, other);
    o->set_member(std::string_view("y"), other);
    o->set_member_at(0, other);
    EXPECT_EQ(other->refcount, 1u);  // consumed arguments are released
    EXPECT_FALSE(o->has_member(std::string_view("missing")));
    std::vector<uint8_t> out;
    const std::vector<uint8_t> in = {1, 2};
    EXPECT_FALSE(o->to_binary(out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(o->from_binary(in));
    EXPECT_FALSE(o->from_binary(in.data(), in.size()));
    const std::string set_member = framed("type 'object' does not implement 'set member'");
    EXPECT_EQ(errors(), (texts_t{framed("type 'object' does not have indexmember '3'"),
                                 framed("type 'object' does not have (any) member 'x'"), set_member, set_member,
                                 framed("type 'object' does not have (any) member 'missing'"),
                                 "to_binary(): not implemented.", "from_binary(): not implemented.",
                                 "from_binary(): not implemented."}));
}

TEST_F(Objects, KeyedAccessDispatchesByTheKeyType) {
    auto probe = make_probe();
    probe->named = {{"name", num(1)}, {"1.500000", num(2)}, {"here", num(0)}, {"none", none()}};
    probe->indexed[7] = num(3);
    EXPECT_EQ(probe->get_member(str("name"))->int_value(), 1);
    EXPECT_EQ(probe->get_member(num(7))->int_value(), 3);
    EXPECT_TRUE(probe->has_member(std::string_view("here")));
    EXPECT_FALSE(probe->has_member(std::string_view("none")));
    EXPECT_TRUE(probe->has_member(str("here")));
    probe->set_member(num(5), str("five"));
    EXPECT_EQ(probe->indexed[5]->to_std_string(), "five");
    EXPECT_TRUE(log().entries().empty());
    // A float key warns and goes by its text form.
    EXPECT_EQ(probe->get_member(flt(1.5))->int_value(), 2);
    probe->set_member(flt(2.0), num(9));
    EXPECT_EQ(probe->named["2.000000"]->int_value(), 9);
    const std::string tail = " for var type 3, defaulting to string access.";
    EXPECT_EQ(warnings(), (texts_t{"type 'test.probe' does not implement 'get_member'" + tail,
                                   "type 'test.probe' does not implement 'set_member'" + tail}));
}

TEST_F(Objects, TypeTestsCopiesAndObjectValues) {
    auto probe = make_probe();
    EXPECT_TRUE(probe->is_type(lumptr_type_tag<probe_object>::type_id()));
    EXPECT_FALSE(probe->is_type(lumptr_type_tag<lumobject_base>::type_id()));
    lumptr_strong<plain_object> o(new plain_object());
    EXPECT_TRUE(o->is_type(lumptr_type_tag<lumobject_base>::type_id()));
    // A copy-constructed object is new: no job holds it, so an owning value must not defer its release.
    o->thread_jobs = 2;
    lumptr_strong<plain_object> c(new plain_object(*o));
    EXPECT_EQ(c->thread_jobs, 0u);
    EXPECT_NE(c.record(), o.record());

    lumvar_shared v = lumvar_shared::from_object(probe.get());
    EXPECT_EQ(v->type, LUMVAR_OBJECT);
    EXPECT_EQ(v->object_holder()->object.get(), probe.get());
    EXPECT_LT(v->object_holder()->pool_slot, 255);
    // An object whose last handle is being released cannot be taken again.
    probe->ref_record->alive = 0;
    lumvar_shared late = lumvar_shared::from_object(probe.get());
    EXPECT_EQ(late->type, LUMVAR_OBJECT);
    EXPECT_FALSE(late->object_holder()->object);
    probe->ref_record->alive = 1;
}

TEST_F(Objects, RuntimeErrorFramesItsMessageByTheFirstLine) {
    EXPECT_EQ(lum_runtime_error_framed("abc"), "\n***\nabc\n***\n\n");
    EXPECT_EQ(lum_runtime_error_framed("ab\nlonger line"), "\n**\nab\nlonger line\n**\n\n");
    lumvar_shared result = num(5);
    lum_runtime_error_native_exception(result, "fn", "boom");
    EXPECT_EQ(result->type, LUMVAR_NONE);
    lum_runtime_error_other_native(result, "fn");
    runtime_warning("careful");
    EXPECT_EQ(errors(), (texts_t{framed("fn: boom"), framed("fn: unknown native exception")}));
    EXPECT_EQ(warnings(), texts_t{"careful"});
}

}  // namespace
