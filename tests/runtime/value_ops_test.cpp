// Value operations: conversions, text forms, truth and emptiness, size,
// increments, comparisons, dereferencing, member access and their warnings.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <random>
#include <tuple>
#include <utility>

#include "tests/platform/test_platform.h"
#include "tests/runtime/value_test_support.h"
#include "vm/program_block.h"
#include "vm/task.h"

namespace {

using ValueOps = vm_test;

// Checks read(value) of each case against its expected answer.
template <class T, class F>
void expect_each(std::initializer_list<std::pair<lumvar_shared, T>> cases, F read) {
    int i = 0;
    for (const auto& [value, expected] : cases) EXPECT_EQ(read(*value), expected) << "case " << i++;
}
bool eq(const lumvar_shared& a, const lumvar_shared& b) { return lumvar::compare_equal(*a, *b); }
bool lt(const lumvar_shared& a, const lumvar_shared& b, bool oe = false) { return lumvar::compare_smaller(*a, *b, oe); }
bool gt(const lumvar_shared& a, const lumvar_shared& b, bool oe = false) { return lumvar::compare_bigger(*a, *b, oe); }
std::string warned(const char* what, int type) { return what + std::to_string(type); }
const double inf = std::numeric_limits<double>::infinity();

TEST_F(ValueOps, NumberConversions) {
    expect_each<int64_t>({{str("  -12abc"), -12}, {str("abc"), 0}, {str("+7"), 7}, {str("\t\n 42"), 42},
                          {str("- 5"), 0}, {str("99999999999999999999"), INT64_MAX},
                          {str("9223372036854775808"), INT64_MAX}, {str("-9223372036854775808"), INT64_MIN},
                          {str("-9223372036854775809"), INT64_MIN}, {str("-999999999999999999999999"), INT64_MIN},
                          {flt(std::nan("")), 0}, {flt(-2.9), -2}, {flt(9223372036854775808.0), INT64_MAX},
                          {flt(-1e300), INT64_MIN}, {flt(inf), INT64_MAX}, {none(), 0}, {ref_to(num(8)), 8}},
                         [](lumvar& v) { return v.int_value(); });
    expect_each<int64_t>({{flt(-2.9), -2}, {flt(std::nan("")), 0}, {flt(1e300), INT64_MAX}, {str("31"), 31}},
                         [](lumvar& v) { return v.int_value_inline(); });
    expect_each<double>({{str("  3.5xyz"), 3.5}, {str("nothing"), 0.0}, {str("-1e3"), -1000.0}, {num(-4), -4.0},
                         {ref_to(flt(0.5)), 0.5}},
                        [](lumvar& v) { return v.float_value(); });
    EXPECT_TRUE(log().entries().empty());
    EXPECT_EQ(bytes({1})->int_value(), 0);
    EXPECT_EQ(typed(LUMVAR_ERR)->int_value(), 0);
    EXPECT_EQ(typed(LUMVAR_JSON)->float_value(), 0.0);
    EXPECT_EQ(warnings(), (texts_t{warned("int_value() not implemented for type: ", 6),
                                   warned("int_value() not implemented for type: ", 0),
                                   warned("float_value() not implemented for type: ", 7)}));
}

// Numbers written as text read back: integers exactly, floats to the six
// decimals of their text form.
TEST_F(ValueOps, NumberTextsReadBack) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const int64_t n = static_cast<int64_t>(rng()) >> (rng() % 64);
        ASSERT_EQ(str(num(n)->to_std_string())->int_value(), n);
        ASSERT_EQ(str(" " + num(n)->to_std_string() + "x")->float_value(), static_cast<double>(n));
        const double d = std::ldexp(static_cast<double>(n), -static_cast<int>(rng() % 70));
        ASSERT_NEAR(str(flt(d)->to_std_string())->float_value(), d, 5e-7 + std::abs(d) * 1e-15) << d;
    }
    EXPECT_TRUE(log().entries().empty());
}

TEST_F(ValueOps, NumberTextsIgnoreTheProcessLocale) {
    const bool comma = lum_test_use_decimal_comma_locale();
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    const std::string text = flt(2.5)->to_std_string();
    const double parsed = str("2.5")->float_value(), parsed_comma = str("2,5")->float_value();
    lum_test_restore_c_numeric_locale();
    EXPECT_EQ(text, "2.500000");
    EXPECT_EQ(parsed, 2.5);
    EXPECT_EQ(parsed_comma, 2.0);
    if (!comma) GTEST_SKIP() << "no locale with a decimal comma could be made";
    EXPECT_STREQ(probe, "2,5");  // the process locale really was switched
}

TEST_F(ValueOps, TextForms) {
    auto probe = make_probe("shown");
    expect_each<std::string>({{typed(LUMVAR_ERR), "ERROR"}, {none(), ""}, {num(-42), "-42"},
                              {num(INT64_MIN), "-9223372036854775808"}, {flt(-0.0), "-0.000000"},
                              {flt(1e20), "100000000000000000000.000000"}, {flt(0.0000004), "0.000000"},
                              {flt(1.0000005), "1.000001"}, {flt(inf), "inf"}, {bytes({'h', 'i', 0, 'x'}), "hi"},
                              {object_value(probe.get()), "shown"}, {typed(LUMVAR_OBJECT), ""},
                              {typed(LUMVAR_CLASS), ""}, {ref_to(num(3)), "3"}},
                             [](lumvar& v) { return v.to_std_string(); });
    EXPECT_TRUE(log().entries().empty());
    EXPECT_EQ(typed(LUMVAR_FUNCTION)->to_std_string(), "");
    EXPECT_EQ(warnings(), texts_t{"string_value() not implemented for type: 12"});
    lumvar_shared i = num(12), s = str("own");
    EXPECT_EQ(i->string_view_value(), "12");
    EXPECT_EQ(s->string_view_value().data(), s->string_object()->text.data());
}

TEST_F(ValueOps, MemberReferenceTextsAndEmptiness) {
    auto probe = make_probe();
    probe->named = {{"a", str("by name")}, {"zero", num(0)}, {"one", num(1)}};
    probe->indexed[1] = str("by index");
    lumvar_shared o = object_value(probe.get()), r, key = typed(LUMVAR_OBJECT_MEMBER_VAR);
    o->get_member_by_name(r, "a");
    EXPECT_EQ(r->to_std_string(), "by name");
    o->get_member_by_index(r, 1);
    EXPECT_EQ(r->to_std_string(), "by index");
    key->member_key_ref()->object = lumptr_weak<lumobject_base>(probe.get());
    key->member_key_ref()->key->set_int(1);
    EXPECT_EQ(key->to_std_string(), "by index");
    key->member_key_ref()->key->set_string("a");
    EXPECT_EQ(key->to_std_string(), "by name");
    probe->indexed[0] = num(0);
    o->get_member_by_name(r, "one");
    EXPECT_FALSE(r->compare_zero());
    o->get_member_by_name(r, "zero");
    EXPECT_TRUE(r->compare_zero());
    o->get_member_by_index(r, 1);
    EXPECT_FALSE(r->compare_zero());
    o->get_member_by_index(r, 0);
    EXPECT_TRUE(r->compare_zero());
    EXPECT_TRUE(log().entries().empty());
    o->get_member_by_name(r, "absent");
    EXPECT_TRUE(r->compare_zero());  // the has_member read raises its error on the way
    EXPECT_EQ(errors(), texts_t{framed("type 'test.probe' does not have (any) member 'absent'")});

    kill_probe(probe.get());
    o->get_member_by_index(r, 1);  // an object value whose object is gone becomes a container
    EXPECT_EQ(o->type, LUMVAR_JSON);
    log().clear();
    EXPECT_EQ(key->to_std_string(), "");
    EXPECT_EQ(errors(), texts_t{framed("Tried to access index 'a' on an invalid object.")});
}

TEST_F(ValueOps, TruthAndEmptiness) {
    expect_each<bool>({{none(), false}, {num(-1), true}, {flt(std::nan("")), true}, {flt(0.0), false},
                       {str("x"), true}, {str(""), false}, {list({num(1)}), true}, {ref_to(num(0)), true},
                       {typed(LUMVAR_FUNCTION), false}},
                      [](lumvar& v) { return v.get_bool(); });
    EXPECT_TRUE(log().entries().empty());
    auto probe = make_probe("");
    lumvar_shared o = object_value(probe.get());
    EXPECT_FALSE(o->get_bool());
    EXPECT_FALSE(bytes({1})->get_bool());
    EXPECT_EQ(warnings(), (texts_t{"get_bool() not implemented for type: 8", "get_bool() not implemented for type: 6"}));
    log().clear();
    EXPECT_TRUE(o->compare_zero());  // asks the object
    probe->text = "full";
    EXPECT_FALSE(o->compare_zero());
    expect_each<bool>({{typed(LUMVAR_ERR), true}, {flt(0.0), true}, {flt(std::nan("")), false}, {bytes({}), true},
                       {bytes({0}), false}, {typed(LUMVAR_JSON), true}, {typed(LUMVAR_OBJECT), true},
                       {typed(LUMVAR_REF), true}, {typed(LUMVAR_EXT_FUNCTION), false}, {typed(LUMVAR_FUNCTION), true},
                       {num(0), true}, {num(3), false}},
                      [](lumvar& v) { return v.compare_zero(); });
    EXPECT_FALSE(num(0)->is_true());
    EXPECT_TRUE(log().entries().empty());
    EXPECT_TRUE(typed(LUMVAR_PRIMITIVE_END)->compare_zero());
    EXPECT_EQ(warnings(), texts_t{"compare_zero not implemented for type: 4"});
}

TEST_F(ValueOps, SizesAndIncrements) {
    auto probe = make_probe("12345");
    expect_each<int64_t>({{str("abcd"), 4}, {bytes({1, 2, 3}), 3}, {list({num(1), num(2)}), 2},
                          {object_value(probe.get()), 5}, {typed(LUMVAR_OBJECT), 0}},
                         [](lumvar& v) { return v.size(); });
    EXPECT_TRUE(log().entries().empty());
    EXPECT_EQ(none()->size(), 0);
    EXPECT_EQ(warnings(), texts_t{"size() not implemented for type: 1"});
    log().clear();
    // (value, increment?, result type, result)
    const std::tuple<lumvar_shared, bool, uint8_t, double> steps[] = {
        {none(), true, LUMVAR_INT, 1}, {none(), false, LUMVAR_INT, -1}, {num(INT64_MAX), true, LUMVAR_INT, -0x1p63},
        {flt(0.5), false, LUMVAR_FLOAT, -0.5}, {flt(0.5), true, LUMVAR_FLOAT, 1.5}, {num(-1), true, LUMVAR_INT, 0},
        {num(5), false, LUMVAR_INT, 4}, {num(INT64_MIN), false, LUMVAR_INT, 0x1p63} /* wraps to the maximum */};
    for (const auto& [v, up, type, result] : steps) {
        EXPECT_TRUE(up ? v->increment_value() : v->decrement_value());
        EXPECT_EQ(v->type, type);
        EXPECT_EQ(type == LUMVAR_INT ? static_cast<double>(v->payload.i) : v->payload.f, result);
    }
    lumvar_shared s = str("x");
    EXPECT_FALSE(s->increment_value());
    EXPECT_FALSE(s->decrement_value());
    EXPECT_EQ(s->to_std_string(), "x");
    EXPECT_EQ(warnings(), (texts_t{"increment_value not implemented for type: 5",
                                   "decrement_value not implemented for type: 5"}));
}

TEST_F(ValueOps, Equality) {
    const std::string nul("a\0b", 3);
    auto a = make_probe("a"), b = make_probe("b");
    const std::tuple<lumvar_shared, lumvar_shared, bool> cases[] = {
        {none(), typed(LUMVAR_ERR), true}, {str(nul), str(nul), true}, {str(nul), str("a"), false},
        {bytes({1}), bytes({2}), false}, {list({}), none(), false}, {list({}), flt(0.0), false},
        {list({}), str(""), false}, {typed(LUMVAR_CLASS), typed(LUMVAR_CLASS), true}, {bytes({1, 2}), bytes({1, 2}), true}, {bytes({1, 2}), bytes({1, 3}), false},
        {bytes({}), str(""), false}, {list({num(1), num(2)}), num(2), true}, {num(0), typed(LUMVAR_JSON), true},
        {list({num(1), str("a")}), list({flt(1.0), str("a")}), true}, {list({num(1)}), list({num(2)}), false},
        {list({}), str(""), false}, {object_value(a.get()), object_value(a.get()), true},
        {object_value(a.get()), object_value(b.get()), false}, {typed(LUMVAR_OBJECT), typed(LUMVAR_OBJECT), true},
        {typed(LUMVAR_FUNCTION), typed(LUMVAR_FUNCTION), true}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(eq(std::get<0>(cases[i]), std::get<1>(cases[i])), std::get<2>(cases[i])) << "case " << i;
    b->equal_answer = true;  // b's own operation decides, from either side
    EXPECT_TRUE(eq(object_value(a.get()), object_value(b.get())));
    EXPECT_TRUE(eq(num(5), object_value(b.get())));
    EXPECT_FALSE(eq(num(5), object_value(a.get())));
    EXPECT_TRUE(log().entries().empty());

    lumvar_shared busy = bytes({1});
    busy->buffer_object()->write_locks = 1;
    EXPECT_TRUE(eq(busy, busy));  // the same buffer needs no read
    EXPECT_FALSE(eq(busy, bytes({1})));
    EXPECT_EQ(errors(), texts_t{framed(std::string(lum_buffer_in_use_message))});
    busy->buffer_object()->write_locks = 0;
    log().clear();
    EXPECT_FALSE(eq(typed(LUMVAR_ERR), typed(LUMVAR_ERR)));  // no rule applies
    EXPECT_FALSE(eq(typed(LUMVAR_CLASS_DEF), none()));       // none on one side: silent
    EXPECT_EQ(warnings(), texts_t{"Compare_equal not implemented for type: 0"});

    lum_function_def def, def2;
    lumvar_shared f1 = none(), f2 = none();
    f1->set_ext_function(&def, a.get());
    const std::tuple<lum_function_def*, probe_object*, bool> functions[] = {
        {&def, a.get(), true}, {&def, b.get(), false}, {&def2, a.get(), false}};
    for (auto [d, owner, equal] : functions) {
        f2->set_ext_function(d, owner);
        EXPECT_EQ(eq(f1, f2), equal);
    }
    EXPECT_FALSE(eq(typed(LUMVAR_FUNCTION), f1));
}

// Script functions are equal with the same block and bound self, and the same
// defining scope unless one of the scopes is gone.
TEST_F(ValueOps, EqualityOfScriptFunctions) {
    lumptr_strong<lum_program_block> block(new lum_program_block()), other_block(new lum_program_block());
    lumptr_strong<lum_task> scope(new lum_task()), other_scope(new lum_task());
    auto function = [&](lum_program_block* b, lum_task* t) {
        lumvar_shared f = typed(LUMVAR_FUNCTION);
        f->function_record()->block = lumptr_weak<lum_program_block>(b);
        f->function_record()->scope = lumptr_weak<lum_task>(t);
        return f;
    };
    lumvar_shared f = function(block.get(), scope.get());
    const std::tuple<lumvar_shared, bool> cases[] = {
        {function(block.get(), scope.get()), true}, {function(block.get(), nullptr), true},
        {function(block.get(), other_scope.get()), false}, {function(other_block.get(), scope.get()), false}};
    for (const auto& [g, equal] : cases) {
        EXPECT_EQ(eq(f, g), equal);
        EXPECT_EQ(eq(g, f), equal);
    }
    const uint32_t blocks = block.record()->weak, scopes = scope.record()->weak;
    f->set_type(LUMVAR_NONE);  // the record goes back to its pool without its weak handles
    EXPECT_EQ(std::tuple(block.record()->weak, scope.record()->weak), std::tuple(blocks - 1, scopes - 1));
}

TEST_F(ValueOps, ContainerEqualityWalksKeysRefsAndNesting) {
    lumvar_shared a = none(), b = none();
    a->json_object(true)->push_keyed(num(1), "k");
    b->json_object(true)->push_keyed(num(1), "k");
    EXPECT_TRUE(eq(a, b));
    b->json_container()->entries[0].key = std::make_unique<std::string>("other");
    EXPECT_FALSE(eq(a, b));
    b->json_container()->entries[0].key = std::make_unique<std::string>("");  // an empty key counts as none
    a->json_container()->entries[0].key.reset();
    EXPECT_TRUE(eq(a, b));
    // Entries that are refs are compared by what they refer to.
    lumvar_shared x = none(), target = num(4);
    x->json_object(true)->emplace_back()->set_ref(target.get());
    EXPECT_TRUE(eq(x, list({num(4)})));
    // Equal contents nested deeper than 256 levels compare unequal.
    auto nest = [](int depth) {
        lumvar_shared v = list({});
        for (int i = 0; i < depth; ++i) v = list({v});
        return v;
    };
    EXPECT_TRUE(eq(nest(200), nest(200)));
    EXPECT_FALSE(eq(nest(300), nest(300)));
    EXPECT_TRUE(eq(nest(10), nest(10)));  // the depth counter is back to 0
}

// Generated pairs of none, int, float and string values against the rule:
// the higher type of the two decides; none and int compare as integers,
// float as doubles (NaN is neither), string as the unsigned bytes of both
// sides' text forms.
TEST_F(ValueOps, ComparisonsFollowTheHigherTypeOfThePair) {
    std::mt19937_64 rng(5);
    const double floats[] = {-0.5, 0.0, 2.0, 2.5, 1e300, std::nan(""), -inf};
    const char* texts[] = {"", "2", "2.500000", "10", "9", "a", "ab", "abc", "\xff", "-1"};
    auto generate = [&] {
        switch (rng() % 4) {
            case 0: return none();
            case 1: {
                const int64_t small = static_cast<int64_t>(rng() % 5);
                return num(rng() % 8 == 0 ? INT64_MIN + small : small - 1);
            }
            case 2: return flt(floats[rng() % std::size(floats)]);
            default: return str(texts[rng() % std::size(texts)]);
        }
    };
    auto order = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : x == y ? 0 : 2; };  // 2: unordered
    for (int i = 0; i < 3000; ++i) {
        lumvar_shared a = generate(), b = generate();
        const uint8_t top = std::max(a->type, b->type);
        const int c = top == LUMVAR_STRING ? order(a->to_std_string().compare(b->to_std_string()), 0)
                      : top == LUMVAR_FLOAT ? order(a->float_value(), b->float_value())
                                            : order(a->int_value(), b->int_value());
        SCOPED_TRACE(a->to_std_string() + " vs " + b->to_std_string() + " as " + lumvar_type_name(top));
        ASSERT_EQ(eq(a, b), c == 0);
        if (top == LUMVAR_NONE) continue;  // two nones are equal but have no order (see below)
        ASSERT_EQ(lt(a, b), c == -1);
        ASSERT_EQ(lt(a, b, true), c == -1 || c == 0);
        ASSERT_EQ(gt(a, b), c == 1);
        ASSERT_EQ(gt(a, b, true), c == 1 || c == 0);
    }
    EXPECT_TRUE(log().entries().empty());
}

TEST_F(ValueOps, OrderOfTextsObjectsAndUnorderedTypes) {
    EXPECT_TRUE(gt(str("\xff"), str("a")));  // bytes compare unsigned
    EXPECT_TRUE(lt(num(10), str("9")));      // "10" < "9" as text
    auto a = make_probe("a");
    EXPECT_FALSE(lt(object_value(a.get()), num(1)));  // the object's default answers no
    EXPECT_FALSE(gt(num(1), object_value(a.get()), true));
    EXPECT_TRUE(log().entries().empty());
    EXPECT_FALSE(lt(none(), none()));
    EXPECT_FALSE(gt(bytes({1}), bytes({0})));
    EXPECT_EQ(warnings(), (texts_t{"Compare_smaller not implemented for type: 1",
                                   "Compare_bigger not implemented for type: 6"}));
}

TEST_F(ValueOps, DerefFollowsChainsAndMemberReferencesAndDetectsLoops) {
    lumvar_shared target = num(5), out;
    ref_to(ref_to(ref_to(target)))->deref(out);
    EXPECT_EQ(out.get(), target.get());
    target->deref(out);
    EXPECT_EQ(out.get(), target.get());
    lumvar_shared dangling = typed(LUMVAR_REF);
    dangling->deref(out);
    EXPECT_EQ(out.get(), dangling.get());

    lumvar_shared a = none(), b = none();
    a->set_ref(b.get());
    b->set_ref(a.get());
    lumvar_shared c = ref_to(a);
    c->deref(out);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    EXPECT_EQ(c->to_std_string(), "");
    EXPECT_EQ(c->int_value(), 0);
    EXPECT_EQ(warnings(), texts_t(3, "Circular reference detected in deref()."));
    a->set_type(LUMVAR_NONE);  // break the loop so both cells can go
    log().clear();

    auto probe = make_probe();
    probe->named["n"] = num(1);
    probe->indexed[3] = ref_to(num(2));
    lumvar_shared o = object_value(probe.get()), r;
    o->get_member_by_name(r, "n");
    r->deref(out);
    EXPECT_EQ(out.get(), probe->named["n"].get());  // the object's own cell
    r->resolve(out);  // resolving derefs references only
    EXPECT_EQ(out.get(), probe->named["n"].get());
    target->resolve(out);
    EXPECT_EQ(out.get(), target.get());
    o->get_member_by_index(r, 3);
    ref_to(r)->deref(out);
    EXPECT_EQ(out->type, LUMVAR_INT);
    EXPECT_EQ(out->int_value(), 2);
    lumvar_shared key_ref = typed(LUMVAR_OBJECT_MEMBER_VAR);
    key_ref->member_key_ref()->key->set_int(3);
    key_ref->deref(out);  // the weak object pointer is empty: gone
    EXPECT_EQ(out->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), texts_t{framed("Tried to access index '3' on an invalid object.")});
    o->get_member_by_index(r, 7);  // a member the object does not have reads as none
    r->deref(out);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    EXPECT_EQ(errors().size(), 2u);
}

TEST_F(ValueOps, MemberAccessTurnsOtherValuesIntoContainers) {
    lumvar_shared v = num(5), m, again;
    v->get_member_by_name(m, "a");
    ASSERT_EQ(v->type, LUMVAR_JSON);
    ASSERT_EQ(v->json_container()->entries.size(), 1u);
    EXPECT_EQ(*v->json_container()->entries[0].key, "a");
    EXPECT_EQ(m->type, LUMVAR_NONE);
    m->set_int(3);
    v->get_member_by_name(again, "a");
    EXPECT_EQ(again->int_value(), 3);
    EXPECT_EQ(v->size(), 1);

    lumvar_shared l = list({num(10), num(20), num(30)});
    l->get_member_by_index(m, -1);
    EXPECT_EQ(m->int_value(), 30);
    l->get_member_by_index(m, 0);
    EXPECT_EQ(m->int_value(), 10);
    EXPECT_TRUE(log().entries().empty());
    l->get_member_by_index(m, 3);
    l->get_member_by_index(m, -4);
    EXPECT_EQ(m->type, LUMVAR_NONE);
    lumvar_shared empty = none();
    empty->get_member_by_index(m, 0);
    EXPECT_EQ(empty->type, LUMVAR_JSON);
    EXPECT_EQ(errors(), texts_t(3, framed("Out of bounds access.")));

    lumvar_shared s = str("text");
    s->get_member_by_name(m, "length");
    EXPECT_EQ(m->type, LUMVAR_OBJECT_MEMBER_LITERAL);
    EXPECT_EQ(m->member_name_ref()->object.get(), s->string_object());
    s->get_member_by_index(m, 2);
    EXPECT_EQ(m->type, LUMVAR_OBJECT_MEMBER_INDEX);
    EXPECT_EQ(m->member_index_ref()->by_definition, 0);
    lumvar_shared empty_class = typed(LUMVAR_CLASS);
    empty_class->get_member_by_name(m, "x");
    EXPECT_EQ(m->type, LUMVAR_NONE);
    EXPECT_EQ(empty_class->type, LUMVAR_CLASS);
}

TEST_F(ValueOps, MembershipAndClassChecks) {
    lumvar_shared j = list({});
    j->json_container()->push_keyed(num(1), "k");
    EXPECT_TRUE(j->has_member("k"));
    EXPECT_FALSE(j->has_member("z"));
    EXPECT_FALSE(num(1)->has_member("k"));
    lumvar_shared gone = typed(LUMVAR_OBJECT);
    EXPECT_FALSE(gone->has_member("k"));
    EXPECT_EQ(gone->type, LUMVAR_NONE);
    EXPECT_TRUE(log().entries().empty());
    lumvar_shared c = typed(LUMVAR_CLASS);
    EXPECT_FALSE(c->is_valid_class());
    EXPECT_EQ(c->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), texts_t{"Cannot get class ref."});
    EXPECT_FALSE(num(1)->is_valid_class());
}

}  // namespace
