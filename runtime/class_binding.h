// Binding of native classes to script classes.
//
// A native class derives from `lumobject<T, CLASS_STRING<"type.name">>`. Its
// static `script_register()` adds methods (`add_function`) and properties
// (`add_getter` / `add_setter`) to the class's member table and usually sets the
// factory (`set_factory`); `script_register_internal()` runs it once per process
// and records the class's factory and metadata in the module registry.
// `lum_namespace::add_class<T>` publishes the class's constructor function.
//
// The per-class tables (members, name index, factory) are allocated once and
// never freed, so the registry and the namespaces never point at dead tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/bad_function_call.h"
#include "runtime/context_fwd.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/object.h"
#include "runtime/ptr.h"
#include "runtime/registry.h"
#include "runtime/value.h"

// A string literal usable as a template argument.
template <size_t N>
struct lum_fixed_string {
    char value[N]{};
    constexpr lum_fixed_string(const char (&text)[N]) { std::copy_n(text, N, value); }
    constexpr std::string_view view() const { return std::string_view(value, N - 1); }
};

// The script type name of a bound class: CLASS_STRING<"std.buffer">.
template <lum_fixed_string Name>
struct CLASS_STRING {
    static constexpr std::string_view value = Name.view();
    static constexpr const char* c_str() { return Name.value; }
};

// A registered member of a native class: a method or a property.
class lumobject_member_def_base : public lumptr_base<lumobject_member_def_base>,
                                  public lumptr_type_tag<lumobject_member_def_base> {
public:
    ~lumobject_member_def_base() override;
    // Slot 3: definitions always get heap records.
    bool may_use_pooled_record() const override { return false; }

    // Slot 4: the value a member read yields for `object`. Default: none.
    virtual void value_for(lumvar_shared& result, lumobject_base* object);
    // Slot 5: writes the member of `object`. Default: nothing.
    virtual void set(lumobject_base* object, lumvar_shared& value);
    // Slot 6: reads the member of `object`. Default: none.
    virtual void get(lumvar_shared& result, lumobject_base* object);
    // Slot 7: the definition of a method, null for properties.
    virtual lum_function_def* static_value();
};

// A method: its function definition (method = 1) is embedded.
class lumobject_function_def : public lumobject_member_def_base {
public:
    lum_function_def function;

    // An ext_function value bound to `object`, so calling it calls the method on it.
    void value_for(lumvar_shared& result, lumobject_base* object) override;
    lum_function_def* static_value() override { return &function; }
};

// Shared, non-template parts of the binding.
namespace lum_binding_detail {
// The run-time error of a missing member, then the member listing at level 8.
void missing_member(std::string_view type_name, std::string_view name, const lum_name_map<int64_t>& index);
// "<name>: no object to call the method on" (a method value used without its object).
lumvar_shared missing_method_object(std::string_view name);
// A non-aborting run-time error.
void member_access_error(std::string_view message);
[[noreturn]] void out_of_range();
// Stores a class's factory and metadata in the registry unless the type name is
// already registered there.
void register_class(std::string_view type_name, lum_class_factory factory,
                    const std::vector<lumptr_strong<lumobject_member_def_base>>& members,
                    const lum_name_map<int64_t>& index);
}  // namespace lum_binding_detail

// A member-index reference (by definition) to `object`'s member `index`: reads and
// writes go through the object's read_member_at / set_member_at.
void lum_make_member_definition_reference(lumvar_shared& result, lumobject_base* object, int64_t index);

// A property of class T with an optional setter and getter.
template <class T>
class lumobject_variable_def : public lumobject_member_def_base {
public:
    int64_t index = 0;  // the property's own definition index
    std::function<void(T*, lumvar_shared&)> setter;
    std::function<lumvar_shared(T*)> getter;

    void value_for(lumvar_shared& result, lumobject_base* object) override {
        lum_make_member_definition_reference(result, object, index);
    }
    void set(lumobject_base* object, lumvar_shared& value) override {
        if (!setter) {
            lum_binding_detail::member_access_error("set called on read-only member variable.");
            return;
        }
        setter(static_cast<T*>(object), value);
    }
    void get(lumvar_shared& result, lumobject_base* object) override {
        if (!getter) {
            lum_binding_detail::member_access_error("get called on write-only member variable.");
            result = lumvar_shared::make();
            return;
        }
        result = getter(static_cast<T*>(object));
        if (!result) result = lumvar_shared::make();
    }
};

// The registry record of a class: methods by name and the other member names.
class lumobject_metadata {
public:
    lum_name_map<lum_function_def*> static_members;
    std::vector<std::string_view> other_member_names;
    bool ready = false;
};


template <class T, class ClassString>
class lumobject : public lumobject_base {
public:
    using class_string = ClassString;
    static constexpr std::string_view script_type_name = ClassString::value;

    using method_type = std::function<lumvar_shared(T*, lum_vm_context&, std::vector<lumvar_shared>&)>;
    using getter_type = std::function<lumvar_shared(T*)>;
    using setter_type = std::function<void(T*, lumvar_shared&)>;
    using factory_type = std::function<lumptr_strong<T>()>;

    // Per-class tables; allocated on first use and never freed.
    struct class_tables {
        std::vector<lumptr_strong<lumobject_member_def_base>> members;  // position = definition index
        lum_name_map<int64_t> name_index;
        factory_type factory;
        bool registered = false;
    };
    static class_tables& tables() {
        static class_tables* const t = new class_tables();
        return *t;
    }

    lumobject() { type_tag = lumptr_type_tag<T>::type_id(); }
    lumobject(const lumobject& other) : lumobject_base(other) { type_tag = lumptr_type_tag<T>::type_id(); }
    lumobject& operator=(const lumobject&) { return *this; }

    using lumobject_base::get_member;
    using lumobject_base::has_member;
    using lumobject_base::set_member;

    // Slot 9: a registered member, else the missing-member error and none.
    lumvar_shared get_member(std::string_view name) override {
        const int64_t i = find_member_index(name);
        lumvar_shared result;
        if (i >= 0) {
            get_member_at(result, i);
            if (!result) result = lumvar_shared::make();
            return result;
        }
        lum_binding_detail::missing_member(script_type_name, name, tables().name_index);
        return lumvar_shared::make();
    }
    // Slot 33.
    const char* type_name() override { return ClassString::c_str(); }
    // Slot 34.
    int64_t find_member_index(std::string_view name) override {
        const auto& index = tables().name_index;
        auto it = index.find(name);
        return it == index.end() ? -1 : it->second;
    }
    // Slots 35-37: the definition at `index`; beyond the table std::out_of_range.
    void get_member_at(lumvar_shared& result, int64_t index) override { definition(index)->value_for(result, this); }
    void set_member_at(int64_t index, lumvar_shared value) override { definition(index)->set(this, value); }
    void read_member_at(lumvar_shared& result, int64_t index) override { definition(index)->get(result, this); }

    // Adds a method; the stored maximum is max(min_args, max_args). A later method
    // of the same name is found by name instead of the earlier one (both stay in
    // the member list). Returns the method's definition (for argument docs).
    static lum_function_def& add_function(std::string_view name, method_type method, uint32_t min_args,
                                          uint32_t max_args, std::string_view doc) {
        auto* def = new lumobject_function_def();
        lumptr_strong<lumobject_member_def_base> handle(def);
        lum_function_def& f = def->function;
        f.callable = [method = std::move(method), name](lum_vm_context& context,
                                                         std::vector<lumvar_shared>& args) -> lumvar_shared {
            if (!method) throw lum_bad_function_call();
            lumobject_base* object = lum_native_call_object(context);
            if (object == nullptr) return lum_binding_detail::missing_method_object(name);
            return method(static_cast<T*>(object), context, args);
        };
        f.min_args = min_args;
        f.max_args = std::max(min_args, max_args);
        f.name = name;
        f.doc = doc;
        f.flags = LUM_FUNCTION_RESOLVE_ARGS;
        f.method = 1;
        class_tables& t = tables();
        t.members.push_back(std::move(handle));
        t.name_index[name] = static_cast<int64_t>(t.members.size()) - 1;
        return f;
    }

    // Adds the getter of a property (a new property, or the getter of the property
    // of that name; a member of another kind under the name is replaced in place).
    static lumobject_variable_def<T>& add_getter(std::string_view name, getter_type getter) {
        lumobject_variable_def<T>& v = property(name);
        v.getter = std::move(getter);
        return v;
    }
    // Adds the setter of a property, as add_getter.
    static lumobject_variable_def<T>& add_setter(std::string_view name, setter_type setter) {
        lumobject_variable_def<T>& v = property(name);
        v.setter = std::move(setter);
        return v;
    }

    // The class factory (`create_new`).
    static void set_factory(factory_type factory) { tables().factory = std::move(factory); }

    // Registers the class once per process: runs T::script_register, installs a
    // heap factory when the class set none (reported at level 16), and records
    // the factory and metadata in the registry unless the type name is taken.
    static void script_register_internal() {
        class_tables& t = tables();
        if (t.registered) return;
        t.registered = true;
        T::script_register();
        if (!t.factory) {
            lum_log_missing_create_new(lum_get_log(), script_type_name);
            t.factory = [] { return lumptr_strong<T>(new T()); };
        }
        lum_class_factory factory = []() -> lumptr_strong<lumobject_base> {
            const factory_type& f = tables().factory;
            lumptr_strong<T> object = f ? f() : lumptr_strong<T>(new T());
            if (!object) return {};
            return lumptr_strong<lumobject_base>(object);
        };
        lum_binding_detail::register_class(script_type_name, std::move(factory), t.members, t.name_index);
    }

private:
    static lumobject_member_def_base* definition(int64_t index) {
        const auto& members = tables().members;
        if (index < 0 || static_cast<uint64_t>(index) >= members.size()) lum_binding_detail::out_of_range();
        return members[static_cast<size_t>(index)].get();
    }

    static lumobject_variable_def<T>& property(std::string_view name) {
        class_tables& t = tables();
        auto it = t.name_index.find(name);
        if (it != t.name_index.end()) {
            auto* existing = dynamic_cast<lumobject_variable_def<T>*>(t.members[static_cast<size_t>(it->second)].get());
            if (existing != nullptr) return *existing;
            auto* v = new lumobject_variable_def<T>();
            v->index = it->second;
            t.members[static_cast<size_t>(it->second)] = lumptr_strong<lumobject_member_def_base>(v);
            return *v;
        }
        auto* v = new lumobject_variable_def<T>();
        v->index = static_cast<int64_t>(t.members.size());
        t.members.push_back(lumptr_strong<lumobject_member_def_base>(v));
        t.name_index[name] = v->index;
        return *v;
    }
};

template <class T>
lum_function_def* lum_namespace::add_class(lum_namespace& ns, lum_native_callable constructor, std::string_view doc) {
    const std::string_view full = T::script_type_name;
    const size_t dot = full.rfind('.');
    const std::string_view short_name = dot == std::string_view::npos ? full : full.substr(dot + 1);
    T::script_register_internal();
    lum_log_class_added(lum_get_log(), full);
    if (ns.members.find(short_name) != ns.members.end()) return nullptr;
    lum_function_def* def = add_function(ns, short_name, std::move(constructor), 0, T::constructor_max_args, doc);
    def->class_type_name = full;
    return def;
}
