#include "runtime/namespace.h"

#include <utility>

#include "runtime/thread_local.h"

lum_function_def* lum_namespace::add_function(lum_namespace& ns, std::string_view name, lum_native_callable callable,
                                              uint32_t min_args, uint32_t max_args, std::string_view doc) {
    auto* def = new lum_function_def();
    // The namespace's own strong count: the definition lives as long as the
    // namespace (or longer, while something else holds it strongly); values
    // refer to it weakly.
    lumptr_detail::add_strong(lumptr_storage::get_ref_record(def));
    def->callable = std::move(callable);
    def->min_args = min_args;
    def->max_args = max_args;
    def->name = name;
    def->doc = doc;
    def->flags = LUM_FUNCTION_RESOLVE_ARGS;

    // The function value is made on the heap even on the VM thread: namespaces
    // outlive any one VM's pools.
    lum_pooling_suspend heap_only;
    lumvar_shared value = lumvar_shared::make();
    value->set_ext_function(def, nullptr);

    auto it = ns.members.find(name);
    if (it == ns.members.end()) it = ns.members.emplace(name, lumvar_shared::make()).first;
    it->second = std::move(value);
    ns.functions.push_back(def);
    return def;
}

lum_namespace::~lum_namespace() {
    members.clear();
    for (lum_function_def* def : functions)
        if (def != nullptr) lumptr_detail::drop_strong(def->ref_record);
    functions.clear();
}
