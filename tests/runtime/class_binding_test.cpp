// Class binding: member tables, registration once per process, the registry's
// factory and metadata, publishing classes and functions in namespaces, member
// access through definitions, and "std.buffer".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <stdexcept>

#include "runtime/namespace.h"
#include "runtime/registry.h"
#include "tests/runtime/value_test_support.h"
#include "vm/context.h"

namespace {

class widget : public lumobject<widget, CLASS_STRING<"test.widget">> {
public:
    static constexpr uint32_t constructor_max_args = 3;
    static inline int register_calls = 0;
    int64_t value = 0;

    static void script_register() {
        ++register_calls;
        set_factory([] {
            auto* w = new widget();
            w->value = 7;
            return lumptr_strong<widget>(w);
        });
        add_function(
            "grow",
            [](widget* w, lum_vm_context&, std::vector<lumvar_shared>& args) {
                w->value += args.empty() ? 1 : args[0]->int_value();
                return lumvar_shared::from_int(w->value);
            },
            0, 1, "Grow the widget")
            .arg_docs.push_back("by: int - Amount");
        add_function("shrink", [](widget*, lum_vm_context&, std::vector<lumvar_shared>&) { return lumvar_shared(); }, 2,
                     1, "Shrink the widget");
        add_getter("value", [](widget* w) { return lumvar_shared::from_int(w->value); });
        add_setter("value", [](widget* w, lumvar_shared& v) { w->value = v->int_value(); });
        add_getter("readonly", [](widget*) { return lumvar_shared::from_string("fixed"); });
        add_setter("writeonly", [](widget* w, lumvar_shared& v) { w->value = -v->int_value(); });
    }
};

// A second class under a name that is already registered.
class widget_twin : public lumobject<widget_twin, CLASS_STRING<"test.widget">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static inline int register_calls = 0;
    static void script_register() { ++register_calls; }
};

// A class without a factory of its own and without a dot in its name.
class bare : public lumobject<bare, CLASS_STRING<"bare">> {
public:
    static constexpr uint32_t constructor_max_args = 1;
    static void script_register() {}
};

// A class whose methods are replaced by name.
class twice : public lumobject<twice, CLASS_STRING<"test.twice">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {
        set_factory([] { return lumptr_strong<twice>(new twice()); });
        add_function("m", [](twice*, lum_vm_context&, std::vector<lumvar_shared>&) { return lumvar_shared::from_int(1); },
                     0, 0, "first");
        add_function("m", [](twice*, lum_vm_context&, std::vector<lumvar_shared>&) { return lumvar_shared::from_int(2); },
                     0, 0, "second");
        add_function("p", [](twice*, lum_vm_context&, std::vector<lumvar_shared>&) { return lumvar_shared(); }, 0, 0,
                     "becomes a property");
        add_getter("p", [](twice*) { return lumvar_shared::from_int(3); });
    }
};

// A class registered while another thread holds the registration mutex.
class late_widget : public lumobject<late_widget, CLASS_STRING<"test.late">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {}
};

lum_native_callable returns_int(int64_t v) {
    return [v](lum_vm_context&, std::vector<lumvar_shared>&) { return lumvar_shared::from_int(v); };
}

using binding = vm_test;

TEST_F(binding, RegistrationRunsOnceAndRecordsFactoryAndMetadata) {
    widget::script_register_internal();
    widget::script_register_internal();
    EXPECT_EQ(widget::register_calls, 1);

    lum_global_instance& registry = lum_registry();
    ASSERT_TRUE(registry.factories->count("test.widget"));
    lumptr_strong<lumobject_base> made = registry.factories->at("test.widget")();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "test.widget");
    EXPECT_EQ(static_cast<widget*>(made.get())->value, 7);  // the class's own factory

    const lumobject_metadata& meta = *registry.metadata->at("test.widget");
    EXPECT_EQ(meta.static_members.size(), 2u);
    EXPECT_TRUE(meta.static_members.count("grow"));
    EXPECT_TRUE(meta.static_members.count("shrink"));
    // Properties in definition order.
    EXPECT_EQ(meta.other_member_names, (std::vector<std::string_view>{"value", "readonly", "writeonly"}));
    EXPECT_FALSE(meta.ready);

    // A later class under the same name runs its registration but keeps neither.
    widget_twin::script_register_internal();
    EXPECT_EQ(widget_twin::register_calls, 1);
    EXPECT_STREQ(registry.factories->at("test.widget")()->type_name(), "test.widget");
    EXPECT_TRUE(registry.factories->at("test.widget")()->is_type(lumptr_type_tag<widget>::type_id()));
}

// Class registration writes the process registry under the registration
// mutex, as namespace registration does.
TEST_F(binding, ClassRegistrationWaitsForTheRegistrationMutex) {
    std::atomic<bool> done{false};
    std::thread registering;
    {
        std::lock_guard<std::recursive_mutex> held(lum_registration_mutex());
        registering = std::thread([&] {
            late_widget::script_register_internal();
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load());
        EXPECT_EQ(lum_registry().factories->count("test.late"), 0u);
    }
    registering.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(lum_registry().factories->count("test.late"), 1u);
}

TEST_F(binding, MethodDefinitionsAndTheirCounts) {
    widget::script_register_internal();
    auto& t = widget::tables();
    const int64_t grow = widget{}.find_member_index("grow");
    ASSERT_GE(grow, 0);
    lum_function_def* def = t.members[static_cast<size_t>(grow)]->static_value();
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->name, "grow");
    EXPECT_EQ(def->doc, "Grow the widget");
    EXPECT_EQ(def->min_args, 0u);
    EXPECT_EQ(def->max_args, 1u);
    EXPECT_EQ(def->flags, LUM_FUNCTION_RESOLVE_ARGS);
    EXPECT_EQ(def->method, 1);
    EXPECT_EQ(def->arg_docs, (std::vector<std::string_view>{"by: int - Amount"}));
    lum_function_def* shrink = t.members[static_cast<size_t>(widget{}.find_member_index("shrink"))]->static_value();
    EXPECT_EQ(shrink->min_args, 2u);
    EXPECT_EQ(shrink->max_args, 2u);

    twice::script_register_internal();
    twice probe;
    EXPECT_EQ(twice::tables().members.size(), 3u);
    const int64_t m = probe.find_member_index("m");
    EXPECT_EQ(m, 1);
    EXPECT_EQ(twice::tables().members[1]->static_value()->doc, "second");
    // A property registered under a method's name replaces it in place.
    EXPECT_EQ(probe.find_member_index("p"), 2);
    EXPECT_EQ(twice::tables().members[2]->static_value(), nullptr);
}

TEST_F(binding, MembersReadThroughTheirDefinitions) {
    widget::script_register_internal();
    lumptr_strong<widget> w(new widget());
    w->value = 10;
    lumvar_shared v = object_value(w.get());

    lumvar_shared member = w->get_member(std::string_view("grow"));
    EXPECT_EQ(member->type, LUMVAR_EXT_FUNCTION);
    EXPECT_EQ(member->ext_function_record()->owner.get(), w.get());
    EXPECT_EQ(member->ext_function_record()->definition.get()->name, "grow");

    // Calling the method through its definition calls it on the owner.
    lum_vm_context context;
    context.native_object = w.get();
    std::vector<lumvar_shared> args{lumvar_shared::from_int(5)};
    lumvar_shared r = member->ext_function_record()->definition.get()->callable(context, args);
    EXPECT_EQ(r->int_value(), 15);
    context.native_object = nullptr;
    r = member->ext_function_record()->definition.get()->callable(context, args);
    EXPECT_EQ(r->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), (std::vector<std::string>{framed("grow: no object to call the method on")}));
    log().clear();

    // A property reads and writes lazily through read_member_at / set_member_at.
    lumvar_shared prop;
    v->get_member_by_name(prop, "value");
    lumvar_shared out;
    prop->deref(out);  // name reference -> the definition's index reference -> the getter
    EXPECT_EQ(out->int_value(), 15);
    lumvar_shared index_ref = w->get_member(std::string_view("value"));
    ASSERT_EQ(index_ref->type, LUMVAR_OBJECT_MEMBER_INDEX);
    EXPECT_EQ(index_ref->member_index_ref()->by_definition, 1);
    EXPECT_EQ(index_ref->to_std_string(), "15");
    lumvar_shared three = lumvar_shared::from_int(3);
    index_ref->set(three);
    EXPECT_EQ(w->value, 3);
    index_ref->deref(out);
    EXPECT_EQ(out->int_value(), 3);
    EXPECT_FALSE(index_ref->compare_zero());
    EXPECT_TRUE(log().entries().empty());

    // Read-only and write-only properties raise non-aborting errors.
    lumvar_shared ro = w->get_member(std::string_view("readonly"));
    ro->set(three);
    lumvar_shared wo = w->get_member(std::string_view("writeonly"));
    wo->deref(out);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    wo->set(three);
    EXPECT_EQ(w->value, -3);
    EXPECT_EQ(errors(), (std::vector<std::string>{framed("set called on read-only member variable."),
                                                  framed("get called on write-only member variable.")}));
}

TEST_F(binding, MissingMemberRaisesTheErrorAndListsTheMembers) {
    widget::script_register_internal();
    log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_NOTICE;
    lumptr_strong<widget> w(new widget());
    lumvar_shared r = w->get_member(std::string_view("nope"));
    EXPECT_EQ(r->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), (std::vector<std::string>{framed("type 'test.widget' does not have member 'nope'")}));
    EXPECT_EQ(at_level(LUM_LOG_NOTICE),
              (std::vector<std::string>{" - grow", " - shrink", " - value", " - readonly", " - writeonly"}));
}

TEST_F(binding, DefinitionIndexesOutOfRangeThrow) {
    widget::script_register_internal();
    lumptr_strong<widget> w(new widget());
    lumvar_shared out;
    for (int64_t i : {int64_t{-1}, int64_t{5}, int64_t{1000}}) {
        try {
            w->get_member_at(out, i);
            ADD_FAILURE() << "no exception for " << i;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid vector subscript");
        }
        EXPECT_THROW(w->set_member_at(i, lumvar_shared::make()), std::out_of_range);
        EXPECT_THROW(w->read_member_at(out, i), std::out_of_range);
    }
}

TEST_F(binding, ClassWithoutFactoryIsReportedAndGetsAHeapFactory) {
    log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_REGISTRATION | LUM_LOG_NOTICE;
    lum_namespace ns;
    lum_function_def* def = lum_namespace::add_class<bare>(ns, returns_int(1), "bare doc");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(at_level(LUM_LOG_REGISTRATION),
              (std::vector<std::string>{"internal type 'bare' does not implement a 'create_new' function.\n"}));
    EXPECT_EQ(at_level(LUM_LOG_NOTICE), (std::vector<std::string>{"class: bare"}));
    EXPECT_TRUE(ns.members.count("bare"));  // no dot: the whole name
    lumptr_strong<lumobject_base> made = lum_registry().factories->at("bare")();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "bare");
}

TEST_F(binding, AddClassPublishesTheConstructorUnderTheShortName) {
    log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_NOTICE;
    lum_namespace ns;
    lum_function_def* def = lum_namespace::add_class<widget>(ns, returns_int(42), "Make a widget");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->name, "widget");
    EXPECT_EQ(def->class_type_name, "test.widget");
    EXPECT_EQ(def->min_args, 0u);
    EXPECT_EQ(def->max_args, 3u);
    EXPECT_EQ(def->doc, "Make a widget");
    EXPECT_EQ(def->method, 0);
    ASSERT_EQ(ns.functions.size(), 1u);
    EXPECT_EQ(ns.functions[0], def);
    EXPECT_EQ(at_level(LUM_LOG_NOTICE), (std::vector<std::string>{"class: test.widget"}));

    // A second publication finds the name taken: the member stays, "class:" is still logged.
    lumvar_shared before = ns.members.at("widget");
    EXPECT_EQ(lum_namespace::add_class<widget>(ns, returns_int(0), "other"), nullptr);
    EXPECT_EQ(ns.members.at("widget").get(), before.get());
    EXPECT_EQ(ns.functions.size(), 1u);
    EXPECT_EQ(at_level(LUM_LOG_NOTICE).size(), 2u);
}

// A namespace owns its definitions: every re-creation frees the definitions
// of the one before (replaced members' too); a definition held strongly
// elsewhere stays until that holder lets go; a value taken from a gone
// namespace sees its definition gone.
TEST_F(binding, NamespacesOwnTheirDefinitions) {
    lumptr_weak<lum_function_def> replaced;
    lumptr_weak<lum_function_def> published;
    lumvar_shared kept_value;
    lumptr_strong<lum_function_def> held;
    for (int round = 0; round < 1000; ++round) {
        lum_namespace ns;
        lum_function_def* first = lum_namespace::add_function(ns, "f", returns_int(1), 0, 0, "first");
        lum_function_def* second = lum_namespace::add_function(ns, "f", returns_int(2), 0, 0, "second");
        if (round == 0) {
            replaced = lumptr_weak<lum_function_def>(first);
            published = lumptr_weak<lum_function_def>(second);
            kept_value = ns.members.at("f");
        }
        if (round == 1) held = lumptr_strong<lum_function_def>(second);
    }
    EXPECT_TRUE(replaced.expired());
    EXPECT_TRUE(published.expired());
    ASSERT_EQ(kept_value->type, LUMVAR_EXT_FUNCTION);
    EXPECT_EQ(kept_value->ext_function_record()->definition.get(), nullptr);
    ASSERT_TRUE(held);
    lum_vm_context context;
    std::vector<lumvar_shared> no_args;
    EXPECT_EQ(held->callable(context, no_args)->int_value(), 2);
}

TEST_F(binding, AddFunctionPublishesHeapValuesAndKeepsBothDefinitions) {
    lum_namespace ns;
    lum_function_def* first = lum_namespace::add_function(ns, "f", returns_int(1), 2, 1, "first");
    lum_function_def* second = lum_namespace::add_function(ns, "f", returns_int(2), 0, 0, "second");
    EXPECT_EQ(first->min_args, 2u);
    EXPECT_EQ(first->max_args, 1u);  // stored unchanged
    EXPECT_EQ(first->flags, LUM_FUNCTION_RESOLVE_ARGS);
    EXPECT_EQ(first->method, 0);
    EXPECT_EQ(ns.members.size(), 1u);
    EXPECT_EQ(ns.functions, (std::vector<lum_function_def*>{first, second}));
    lumvar* value = ns.members.at("f").get();
    EXPECT_EQ(value->type, LUMVAR_EXT_FUNCTION);
    EXPECT_EQ(value->pool_slot, 255);  // on the heap although this thread owns the VM
    EXPECT_EQ(value->ext_function_record()->pool_slot, 255);
    EXPECT_EQ(value->ext_function_record()->definition.get(), second);
    EXPECT_FALSE(value->ext_function_record()->owner);
    EXPECT_EQ(lum_get_thread_local().pooling_suspended, 0u);
    lum_vm_context context;
    std::vector<lumvar_shared> args;
    EXPECT_EQ(second->callable(context, args)->int_value(), 2);
}

TEST_F(binding, StdBufferIsPublishedAsBuffer) {
    lum_namespace ns;
    lum_std_buffer_namespace_init(ns);
    ASSERT_EQ(ns.functions.size(), 1u);
    lum_function_def* def = ns.functions[0];
    EXPECT_EQ(def->name, "buffer");
    EXPECT_EQ(def->doc, "Instantiate a new lum_std_buffer object");
    EXPECT_EQ(def->class_type_name, "std.buffer");
    EXPECT_EQ(def->max_args, 0u);
    lum_vm_context context;
    std::vector<lumvar_shared> args;
    lumvar_shared made = def->callable(context, args);
    ASSERT_EQ(made->type, LUMVAR_OBJECT);
    lumobject_base* object = made->object_holder()->object.get();
    EXPECT_STREQ(object->type_name(), "std.buffer");
    EXPECT_TRUE(object->is_type(lumptr_type_tag<lum_std_buffer>::type_id()));
    auto* buffer = static_cast<lum_std_buffer*>(object);
    EXPECT_LT(buffer->pool_slot, 255);  // the pooled factory
    EXPECT_TRUE(buffer->bytes.empty());
    buffer->bytes = {'a', 'b', 0, 'c'};
    EXPECT_EQ(made->to_std_string(), "ab");
    buffer->write_locks = 1;
    EXPECT_EQ(made->to_std_string(), "<std.buffer in use by a kernel launch>");
    buffer->write_locks = 0;
    EXPECT_TRUE(lum_registry().factories->count("std.buffer"));
}

}  // namespace
