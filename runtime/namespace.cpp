#include "runtime/namespace.h"

#include <mutex>
#include <utility>

#include "runtime/thread_local.h"

namespace {
// Every definition published by add_function. Definitions live for the rest of
// the process (values in namespaces refer to them weakly); the list keeps them
// reachable after a namespace is gone.
std::vector<lum_function_def*>& published_definitions() {
    static auto* const list = new std::vector<lum_function_def*>();
    return *list;
}
}  // namespace

lum_function_def* lum_namespace::add_function(lum_namespace& ns, std::string_view name, lum_native_callable callable,
                                              uint32_t min_args, uint32_t max_args, std::string_view doc) {
    auto* def = new lum_function_def();
    {
        std::lock_guard<std::recursive_mutex> lock(lum_registration_mutex());
        published_definitions().push_back(def);
    }
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
