#include "runtime/class_binding.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/value_records.h"
#include "vm/runtime_error.h"

lumobject_member_def_base::~lumobject_member_def_base() = default;

void lumobject_member_def_base::value_for(lumvar_shared& result, lumobject_base*) { result = lumvar_shared::make(); }

void lumobject_member_def_base::set(lumobject_base*, lumvar_shared&) {}

void lumobject_member_def_base::get(lumvar_shared& result, lumobject_base*) { result = lumvar_shared::make(); }

lum_function_def* lumobject_member_def_base::static_value() { return nullptr; }

void lumobject_function_def::value_for(lumvar_shared& result, lumobject_base* object) {
    result = lumvar_shared::make();
    result->set_ext_function(&function, object);
}

void lum_make_member_definition_reference(lumvar_shared& result, lumobject_base* object, int64_t index) {
    result = lumvar_shared::make_typed(LUMVAR_OBJECT_MEMBER_INDEX);
    lumvar_member_index_ref* ref = result->member_index_ref();
    ref->object = lumptr_strong<lumobject_base>(object);
    ref->index = index;
    ref->by_definition = 1;
}

namespace lum_binding_detail {

namespace {

// The member names of a class in definition order (the index maps each name
// to its position in the member list).
std::vector<std::string_view> names_in_definition_order(const lum_name_map<int64_t>& index) {
    std::vector<std::pair<int64_t, std::string_view>> ordered;
    ordered.reserve(index.size());
    for (const auto& [name, i] : index) ordered.emplace_back(i, name);
    std::sort(ordered.begin(), ordered.end());
    std::vector<std::string_view> names;
    names.reserve(ordered.size());
    for (const auto& entry : ordered) names.push_back(entry.second);
    return names;
}

}  // namespace

void missing_member(std::string_view type_name, std::string_view name, const lum_name_map<int64_t>& index) {
    std::string message = "type '";
    message.append(type_name).append("' does not have member '").append(name).append("'");
    lum_runtime_error(true, message);
    lum_log_base& log = lum_get_log();
    for (std::string_view member : names_in_definition_order(index)) lum_log_member_added(log, member);
}

lumvar_shared missing_method_object(std::string_view name) {
    std::string message(name);
    message += ": no object to call the method on";
    return lum_runtime_error(true, message);
}

void member_access_error(std::string_view message) { lum_runtime_error(false, message); }

void out_of_range() { throw std::out_of_range("invalid vector subscript"); }

void register_class(std::string_view type_name, lum_class_factory factory,
                    const std::vector<lumptr_strong<lumobject_member_def_base>>& members,
                    const lum_name_map<int64_t>& index) {
    std::lock_guard<lum_registration_lock> lock(lum_registration_mutex());
    lum_global_instance& registry = lum_registry();
    lum_factory_map& factories = *registry.factories;
    // The class that registered the name first keeps its factory and metadata.
    if (factories.find(type_name) != factories.end()) return;
    factories.emplace(type_name, std::move(factory));

    auto metadata = std::make_shared<lumobject_metadata>();
    for (std::string_view name : names_in_definition_order(index)) {
        lum_function_def* method = members[static_cast<size_t>(index.find(name)->second)]->static_value();
        if (method != nullptr)
            metadata->static_members[name] = method;
        else
            metadata->other_member_names.push_back(name);
    }
    metadata->ready = false;
    (*registry.metadata)[type_name] = std::move(metadata);
}

}  // namespace lum_binding_detail
