// Class binding: member tables, registration once per process under the
// registration mutex, the registry's factory and metadata, publishing classes
// and functions in namespaces, member access through definitions, "std.buffer".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "runtime/namespace.h"
#include "runtime/registry.h"
#include "tests/runtime/value_test_support.h"
#include "vm/context.h"

namespace {

using args_t = std::vector<lumvar_shared>;

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
            [](widget* w, lum_vm_context&, args_t& args) {
                w->value += args.empty() ? 1 : args[0]->int_value();
                return num(w->value);
            },
            0, 1, "Grow the widget")
            .arg_docs.push_back("by: int - Amount");
        add_function("shrink", [](widget*, lum_vm_context&, args_t&) { return lumvar_shared(); }, 2, 1, "Shrink");
        add_getter("value", [](widget* w) { return num(w->value); });
        add_setter("value", [](widget* w, lumvar_shared& v) { w->value = v->int_value(); });
        add_getter("readonly", [](widget*) { return str("fixed"); });
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
        add_function("m", [](twice*, lum_vm_context&, args_t&) { return num(1); }, 0, 0, "first");
        add_function("m", [](twice*, lum_vm_context&, args_t&) { return num(2); }, 0, 0, "second");
        add_function("p", [](twice*, lum_vm_context&, args_t&) { return lumvar_shared(); }, 0, 0, "a property");
        add_getter("p", [](twice*) { return num(3); });
    }
};

// A class registered while another thread holds the registration mutex.
class late_widget : public lumobject<late_widget, CLASS_STRING<"test.late">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {}
};

lum_native_callable returns_int(int64_t v) {
    return [v](lum_vm_context&, args_t&) { return num(v); };
}
lumvar_shared call(lum_function_def* def, lumobject_base* object = nullptr, args_t args = {}) {
    lum_vm_context context;
    context.native_object = object;
    return def->callable(context, args);
}

using ClassBinding = vm_test;

TEST_F(ClassBinding, RegistrationRunsOnceAndRecordsFactoryMetadataAndDefinitions) {
    widget::script_register_internal();
    widget::script_register_internal();
    EXPECT_EQ(widget::register_calls, 1);
    lum_global_instance& registry = lum_registry();
    lumptr_strong<lumobject_base> made = registry.factories->at("test.widget")();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "test.widget");
    EXPECT_EQ(static_cast<widget*>(made.get())->value, 7);  // the class's own factory
    const lumobject_metadata& meta = *registry.metadata->at("test.widget");
    EXPECT_EQ(meta.static_members.size(), 2u);
    EXPECT_EQ(meta.static_members.at("grow")->name, "grow");
    EXPECT_EQ(meta.static_members.at("shrink")->name, "shrink");
    EXPECT_EQ(meta.other_member_names, (std::vector<std::string_view>{"value", "readonly", "writeonly"}));
    EXPECT_FALSE(meta.ready);
    // A later class under the same name runs its registration but keeps neither.
    widget_twin::script_register_internal();
    EXPECT_EQ(widget_twin::register_calls, 1);
    EXPECT_TRUE(registry.factories->at("test.widget")()->is_type(lumptr_type_tag<widget>::type_id()));

    // (name, min, max, doc, index) of each method; a property under a method's name replaces it in place.
    twice::script_register_internal();
    const std::tuple<lumobject_base*, const char*, uint32_t, uint32_t, const char*, int64_t> methods[] = {
        {made.get(), "grow", 0, 1, "Grow the widget", 0}, {made.get(), "shrink", 2, 2, "Shrink", 1},
        {new twice(), "m", 0, 0, "second", 1}};
    for (auto [object, name, min, max, doc, index] : methods) {
        lumptr_strong<lumobject_base> keep(object);
        ASSERT_EQ(object->find_member_index(name), index);
        lumvar_shared value = object->get_member(std::string_view(name));
        lum_function_def* def = value->ext_function_record()->definition.get();
        EXPECT_EQ(value->ext_function_record()->owner.get(), object);
        EXPECT_EQ(std::tie(def->name, def->min_args, def->max_args, def->doc), std::tie(name, min, max, doc));
        EXPECT_EQ(def->flags, LUM_FUNCTION_RESOLVE_ARGS);
        EXPECT_EQ(def->method, 1);
    }
    EXPECT_EQ(widget::tables().members[0]->static_value()->arg_docs, (std::vector<std::string_view>{"by: int - Amount"}));
    EXPECT_EQ(twice::tables().members.size(), 3u);
    EXPECT_EQ(twice::tables().members[2]->static_value(), nullptr);
}

TEST_F(ClassBinding, ClassRegistrationWaitsForTheRegistrationMutex) {
    std::thread registering;
    {
        std::lock_guard<lum_registration_lock> held(lum_registration_mutex());
        registering = std::thread([] { late_widget::script_register_internal(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(lum_registry().factories->count("test.late"), 0u);
    }
    registering.join();
    EXPECT_EQ(lum_registry().factories->count("test.late"), 1u);
}

TEST_F(ClassBinding, MembersReadAndWriteThroughTheirDefinitions) {
    widget::script_register_internal();
    log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_NOTICE;
    lumptr_strong<widget> w(new widget());
    w->value = 10;
    lum_function_def* grow = w->get_member(std::string_view("grow"))->ext_function_record()->definition.get();
    EXPECT_EQ(call(grow, w.get(), {num(5)})->int_value(), 15);
    EXPECT_EQ(call(grow, nullptr)->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), texts_t{framed("grow: no object to call the method on")});
    log().clear();

    // A property reads and writes lazily: name reference -> the definition's index reference -> the getter.
    lumvar_shared prop, out, three = num(3);
    object_value(w.get())->get_member_by_name(prop, "value");
    prop->deref(out);
    EXPECT_EQ(out->int_value(), 15);
    lumvar_shared index_ref = w->get_member(std::string_view("value"));
    ASSERT_EQ(index_ref->type, LUMVAR_OBJECT_MEMBER_INDEX);
    EXPECT_EQ(index_ref->member_index_ref()->by_definition, 1);
    EXPECT_EQ(index_ref->member_index_ref()->index, 2);
    EXPECT_EQ(index_ref->member_index_ref()->object.get(), w.get());
    EXPECT_EQ(index_ref->to_std_string(), "15");
    index_ref->set(three);
    EXPECT_EQ(w->value, 3);
    EXPECT_FALSE(index_ref->compare_zero());
    EXPECT_TRUE(log().entries().empty());
    // Read-only and write-only properties raise non-aborting errors; a missing member lists the members.
    w->get_member(std::string_view("readonly"))->set(three);
    lumvar_shared wo = w->get_member(std::string_view("writeonly"));
    wo->deref(out);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    wo->set(three);
    EXPECT_EQ(w->value, -3);
    EXPECT_EQ(w->get_member(std::string_view("nope"))->type, LUMVAR_NONE);
    EXPECT_EQ(errors(), (texts_t{framed("set called on read-only member variable."),
                                 framed("get called on write-only member variable."),
                                 framed("type 'test.widget' does not have member 'nope'")}));
    EXPECT_EQ(at_level(LUM_LOG_NOTICE), (texts_t{" - grow", " - shrink", " - value", " - readonly", " - writeonly"}));
    for (int64_t i : {int64_t{-1}, int64_t{5}, int64_t{1000}}) {
        EXPECT_THROW(w->get_member_at(out, i), std::out_of_range);
        EXPECT_THROW(w->set_member_at(i, none()), std::out_of_range);
        EXPECT_THROW(w->read_member_at(out, i), std::out_of_range);
    }
}

TEST_F(ClassBinding, AddClassPublishesTheConstructorUnderTheShortName) {
    log().level_mask = LUM_LOG_DEFAULT_MASK | LUM_LOG_REGISTRATION | LUM_LOG_NOTICE;
    lum_namespace ns;
    lum_function_def* def = lum_namespace::add_class<widget>(ns, returns_int(42), "Make a widget");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(std::tie(def->name, def->class_type_name, def->doc), std::make_tuple("widget", "test.widget", "Make a widget"));
    EXPECT_EQ(def->min_args + def->method, 0u);
    EXPECT_EQ(def->max_args, 3u);
    EXPECT_EQ(ns.functions, std::vector<lum_function_def*>{def});
    // A second publication finds the name taken: the member stays, "class:" is still logged.
    lumvar_shared before = ns.members.at("widget");
    EXPECT_EQ(lum_namespace::add_class<widget>(ns, returns_int(0), "other"), nullptr);
    EXPECT_EQ(ns.members.at("widget").get(), before.get());
    EXPECT_EQ(ns.functions.size(), 1u);
    EXPECT_EQ(at_level(LUM_LOG_NOTICE), (texts_t{"class: test.widget", "class: test.widget"}));
    log().clear();
    // A class without a factory is reported and gets a heap factory; no dot: the whole name.
    ASSERT_NE(lum_namespace::add_class<bare>(ns, returns_int(1), "bare doc"), nullptr);
    EXPECT_EQ(at_level(LUM_LOG_REGISTRATION), texts_t{"internal type 'bare' does not implement a 'create_new' function.\n"});
    EXPECT_TRUE(ns.members.count("bare"));
    EXPECT_STREQ(lum_registry().factories->at("bare")()->type_name(), "bare");
}

// A namespace owns its definitions: every re-creation frees the definitions
// of the one before (replaced members' too); a definition held strongly
// elsewhere stays until that holder lets go; a value taken from a gone
// namespace sees its definition gone.
TEST_F(ClassBinding, NamespacesPublishHeapValuesAndOwnTheirDefinitions) {
    lumptr_weak<lum_function_def> replaced, published;
    lumvar_shared kept_value;
    lumptr_strong<lum_function_def> held;
    for (int round = 0; round < 1000; ++round) {
        lum_namespace ns;
        lum_function_def* first = lum_namespace::add_function(ns, "f", returns_int(1), 2, 1, "first");
        lum_function_def* second = lum_namespace::add_function(ns, "f", returns_int(2), 0, 0, "second");
        if (round == 0) {
            EXPECT_EQ(std::tie(first->min_args, first->max_args, first->flags, first->method),
                      std::make_tuple(2u, 1u, uint32_t{LUM_FUNCTION_RESOLVE_ARGS}, uint8_t{0}));
            EXPECT_EQ(ns.members.size(), 1u);
            EXPECT_EQ(ns.functions, (std::vector<lum_function_def*>{first, second}));
            lumvar* value = ns.members.at("f").get();
            EXPECT_EQ(value->pool_slot, 255);  // on the heap although this thread owns the VM
            EXPECT_EQ(value->ext_function_record()->pool_slot, 255);
            EXPECT_EQ(value->ext_function_record()->definition.get(), second);
            EXPECT_FALSE(value->ext_function_record()->owner);
            EXPECT_EQ(lum_get_thread_local().pooling_suspended, 0u);
            replaced = lumptr_weak<lum_function_def>(first);
            published = lumptr_weak<lum_function_def>(second);
            kept_value = ns.members.at("f");
        }
        if (round == 1) held = lumptr_strong<lum_function_def>(second);
    }
    EXPECT_TRUE(replaced.expired());
    EXPECT_TRUE(published.expired());
    EXPECT_EQ(kept_value->ext_function_record()->definition.get(), nullptr);
    ASSERT_TRUE(held);
    EXPECT_EQ(call(held.get())->int_value(), 2);
}

TEST_F(ClassBinding, StdBufferIsPublishedAsBuffer) {
    lum_namespace ns;
    lum_std_buffer_namespace_init(ns);
    ASSERT_EQ(ns.functions.size(), 1u);
    lum_function_def* def = ns.functions[0];
    EXPECT_EQ(std::tie(def->name, def->doc, def->class_type_name),
              std::make_tuple("buffer", "Instantiate a new lum_std_buffer object", "std.buffer"));
    EXPECT_EQ(def->max_args, 0u);
    lumvar_shared made = call(def);
    ASSERT_EQ(made->type, LUMVAR_OBJECT);
    lumobject_base* object = made->object_holder()->object.get();
    ASSERT_TRUE(object->is_type(lumptr_type_tag<lum_std_buffer>::type_id()));
    auto* buffer = static_cast<lum_std_buffer*>(object);
    EXPECT_LT(buffer->pool_slot, 255);  // the pooled factory
    EXPECT_TRUE(buffer->bytes.empty());
    buffer->bytes = {'a', 'b', 0, 'c'};
    EXPECT_EQ(made->to_std_string(), "ab");
    buffer->write_locks = 1;
    EXPECT_EQ(made->to_std_string(), "<std.buffer in use by a kernel launch>");
    buffer->write_locks = 0;
}

}  // namespace
