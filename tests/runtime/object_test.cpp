// The object base: the default operations and their exact error and warning
// texts, type tests, copying, the binary-form defaults, and object values.
#include <gtest/gtest.h>

#include "runtime/binary.h"
#include "tests/runtime/value_test_support.h"

namespace {

// An object with only the defaults of the base.
class plain_object : public lumobject_base {};

using objects = vm_test;

TEST_F(objects, DefaultReadsRaiseTheirErrorsAndGiveNone) {
    lumptr_strong<plain_object> o(new plain_object());
    EXPECT_EQ(o->get_member(int64_t{3})->type, LUMVAR_NONE);
    EXPECT_EQ(o->get_member(std::string_view("x"))->type, LUMVAR_NONE);
    o->set_member(int64_t{1}, lumvar_shared::from_int(1));
    o->set_member(std::string_view("y"), lumvar_shared::from_int(1));
    EXPECT_EQ(errors(), (std::vector<std::string>{
                            framed("type 'object' does not have indexmember '3'"),
                            framed("type 'object' does not have (any) member 'x'"),
                            framed("type 'object' does not implement 'set member'"),
                            framed("type 'object' does not implement 'set member'"),
                        }));
}

TEST_F(objects, KeyedAccessDispatchesByTheKeyType) {
    auto probe = make_probe();
    probe->named["name"] = lumvar_shared::from_int(1);
    probe->named["1.500000"] = lumvar_shared::from_int(2);
    probe->indexed[7] = lumvar_shared::from_int(3);
    EXPECT_EQ(probe->get_member(lumvar_shared::from_string("name"))->int_value(), 1);
    EXPECT_EQ(probe->get_member(lumvar_shared::from_int(7))->int_value(), 3);
    EXPECT_TRUE(warnings().empty());
    // A float key warns once and reads by its text form.
    EXPECT_EQ(probe->get_member(lumvar_shared::from_float(1.5))->int_value(), 2);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"type 'test.probe' does not implement 'get_member' for var type 3, "
                                                    "defaulting to string access."}));
    log().clear();
    probe->set_member(lumvar_shared::from_float(2.0), lumvar_shared::from_int(9));
    EXPECT_EQ(probe->named["2.000000"]->int_value(), 9);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"type 'test.probe' does not implement 'set_member' for var type 3, "
                                                    "defaulting to string access."}));
    probe->set_member(lumvar_shared::from_int(5), lumvar_shared::from_string("five"));
    EXPECT_EQ(probe->indexed[5]->to_std_string(), "five");
}

TEST_F(objects, HasMemberReadsTheMemberAndRaisesTheReadError) {
    lumptr_strong<plain_object> o(new plain_object());
    EXPECT_FALSE(o->has_member(std::string_view("missing")));
    EXPECT_EQ(errors(), (std::vector<std::string>{framed("type 'object' does not have (any) member 'missing'")}));
    auto probe = make_probe();
    probe->named["here"] = lumvar_shared::from_int(0);
    probe->named["none"] = lumvar_shared::make();
    EXPECT_TRUE(probe->has_member(std::string_view("here")));
    EXPECT_FALSE(probe->has_member(std::string_view("none")));
    EXPECT_TRUE(probe->has_member(lumvar_shared::from_string("here")));
}

TEST_F(objects, RemainingDefaults) {
    lumptr_strong<plain_object> o(new plain_object());
    EXPECT_EQ(o->to_string(), "object");
    EXPECT_EQ(o->to_string_view(), "object");
    EXPECT_STREQ(o->type_name(), "object");
    EXPECT_FALSE(o->compare_zero());
    EXPECT_EQ(o->size(), 0);
    EXPECT_EQ(o->reserved_18(), -1);
    EXPECT_EQ(o->reserved_19(), -1);
    lumvar_shared other = lumvar_shared::from_int(1);
    lumvar_shared result = lumvar_shared::make();
    EXPECT_FALSE(o->add(other, result));
    EXPECT_FALSE(o->div_reverse(other, result));
    EXPECT_FALSE(o->compare_equal(other));
    EXPECT_FALSE(o->compare_smaller(other, true));
    EXPECT_FALSE(o->compare_bigger(other, false));
    EXPECT_EQ(o->get_interface(lumptr_type_tag<lumobject_base>::type_id()), nullptr);
    EXPECT_EQ(o->find_member_index("x"), -1);
    lumvar_shared at;
    o->get_member_at(at, 0);
    EXPECT_EQ(at->type, LUMVAR_NONE);
    o->read_member_at(at, 5);
    EXPECT_EQ(at->type, LUMVAR_NONE);
    EXPECT_EQ(o->thread_jobs, 0u);
    // The default copy is the same object.
    lumptr_strong<lumobject_base> c = o->copy();
    EXPECT_EQ(c.get(), o.get());
    EXPECT_EQ(o.use_count(), 2u);
    EXPECT_TRUE(log().entries().empty());
    // Consumed arguments are released (the refused write logs its error).
    o->set_member_at(0, other);
    o->set_member(std::string_view("a"), other);
    EXPECT_EQ(other->refcount, 1u);
    log().clear();

    // The binary form is refused with a log line.
    std::vector<uint8_t> out;
    EXPECT_FALSE(o->to_binary(out));
    EXPECT_TRUE(out.empty());
    const std::vector<uint8_t> in = {1, 2};
    EXPECT_FALSE(o->from_binary(in));
    EXPECT_FALSE(o->from_binary(in.data(), in.size()));
    EXPECT_EQ(errors(), (std::vector<std::string>{"to_binary(): not implemented.", "from_binary(): not implemented.",
                                                  "from_binary(): not implemented."}));
}

TEST_F(objects, TypeTestUsesTheConcreteClassAndCopiesStartWithoutJobs) {
    auto probe = make_probe();
    EXPECT_TRUE(probe->is_type(lumptr_type_tag<probe_object>::type_id()));
    EXPECT_FALSE(probe->is_type(lumptr_type_tag<lumobject_base>::type_id()));
    lumptr_strong<plain_object> o(new plain_object());
    EXPECT_TRUE(o->is_type(lumptr_type_tag<lumobject_base>::type_id()));

    // A class's copy() that copy-constructs makes a new object: no job holds it,
    // so an owning value must not defer its release.
    o->thread_jobs = 2;
    lumptr_strong<plain_object> c(new plain_object(*o));
    EXPECT_EQ(c->thread_jobs, 0u);
    EXPECT_NE(c.record(), o.record());
    o->thread_jobs = 0;
}

TEST_F(objects, ObjectValuesHoldTheirObjectOrNothing) {
    auto probe = make_probe();
    lumvar_shared v = lumvar_shared::from_object(probe.get());
    EXPECT_EQ(v->type, LUMVAR_OBJECT);
    EXPECT_EQ(v->object_holder()->object.get(), probe.get());
    EXPECT_LT(v->object_holder()->pool_slot, 255);
    EXPECT_EQ(v->refcount, 1u);

    // An object whose last handle is being released cannot be taken again.
    probe_object* raw = probe.get();
    raw->ref_record->alive = 0;
    lumvar_shared late = lumvar_shared::from_object(raw);
    EXPECT_EQ(late->type, LUMVAR_OBJECT);
    EXPECT_FALSE(late->object_holder()->object);
    raw->ref_record->alive = 1;
}

TEST_F(objects, RuntimeErrorFramesItsMessageByTheFirstLine) {
    EXPECT_EQ(lum_runtime_error_framed("abc"), "\n***\nabc\n***\n\n");
    EXPECT_EQ(lum_runtime_error_framed("ab\nlonger line"), "\n**\nab\nlonger line\n**\n\n");
    lumvar_shared result = lumvar_shared::from_int(5);
    lum_runtime_error_native_exception(result, "fn", "boom");
    EXPECT_EQ(result->type, LUMVAR_NONE);
    lum_runtime_error_other_native(result, "fn");
    runtime_warning("careful");
    EXPECT_EQ(errors(), (std::vector<std::string>{framed("fn: boom"), framed("fn: unknown native exception")}));
    EXPECT_EQ(warnings(), (std::vector<std::string>{"careful"}));
}

}  // namespace
