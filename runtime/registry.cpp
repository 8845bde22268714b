#include "runtime/registry.h"

#include "runtime/per_thread.h"

std::atomic<lum_thread_local_getter*> lum_tl_detail::getter{nullptr};
std::atomic<uintptr_t> lum_tl_detail::own_getter_mask{~uintptr_t{0}};
thread_local constinit lum_thread_local* lum_tl_detail::cache __attribute__((tls_model("initial-exec"), visibility("hidden"))) = nullptr;

namespace {
// The module's own thread-local getter. Only the instance the registry holds
// is armed: its destruction (the getter was replaced) stops the use of cached
// answers. Copies are never armed.
struct module_getter {
    bool armed = true;
    module_getter() = default;
    module_getter(const module_getter&) noexcept : armed(false) {}
    module_getter(module_getter&& other) noexcept : armed(other.armed) { other.armed = false; }
    module_getter& operator=(const module_getter&) = delete;
    ~module_getter() {
        if (armed) lum_tl_detail::own_getter_mask.store(0, std::memory_order_release);
    }
    lum_thread_local& operator()() const { return lum_module_thread_local(); }
};
} // namespace

lum_thread_local& lum_tl_detail::lookup() {
    lum_thread_local_getter* g = getter.load(std::memory_order_acquire);
    if (g == nullptr) g = init_getter();
    // Read before the getter runs: the answer of a getter being replaced is
    // not kept.
    const bool own = own_getter_mask.load(std::memory_order_acquire) != 0;
    lum_thread_local& block = (*g)();
    if (own) cache = &block;
    return block;
}

lum_thread_local::lum_thread_local() : thread_id(lum_os_thread_id()) {}

lum_thread_local::~lum_thread_local() = default;

lum_thread_local& lum_module_thread_local() {
    static thread_local constinit lum_per_thread<lum_thread_local> block;
    return block.get();
}

lum_thread_local_getter* lum_tl_detail::init_getter() { return &lum_registry().thread_local_getter; }

lum_global_instance::lum_global_instance()
    : names(8),
      namespace_initializers(8),
      factories(std::make_shared<lum_factory_map>(8)),
      metadata(std::make_shared<lum_metadata_map>(8)),
      thread_local_getter(module_getter()) {
    names.max_load_factor(1.0f);
    namespace_initializers.max_load_factor(1.0f);
    factories->max_load_factor(1.0f);
    metadata->max_load_factor(1.0f);
}

lum_global_instance& lum_registry() {
    // Built once, never destroyed: everything the registry points at stays
    // valid until the process ends.
    static lum_global_instance* const instance = [] {
        auto* created = new lum_global_instance();
        lum_tl_detail::getter.store(&created->thread_local_getter, std::memory_order_release);
        return created;
    }();
    return *instance;
}

std::recursive_mutex& lum_registration_mutex() {
    static std::recursive_mutex* const mutex = new std::recursive_mutex();
    return *mutex;
}

lum_namespace_registrar register_namespace_initializer(std::string_view name, lum_namespace_initializer initializer) {
    std::lock_guard<std::recursive_mutex> lock(lum_registration_mutex());
    lum_global_instance& registry = lum_registry();
    auto it = registry.namespace_initializers.find(name);
    if (it == registry.namespace_initializers.end())
        it = registry.namespace_initializers.emplace(name, std::vector<lum_namespace_initializer>{}).first;
    it->second.push_back(std::move(initializer));
    return lum_namespace_registrar{};
}

const lum_module_descriptor& lum_module_descriptor_record() {
    static const lum_module_descriptor descriptor = {LUM_MODULE_ABI_VERSION, 1, 1, "MODULE_INTERNAL"};
    return descriptor;
}

LUM_EXPORT const lum_module_descriptor* lumioglue_check() { return &lum_module_descriptor_record(); }

LUM_EXPORT lum_global_instance* lumioglue_entry() { return &lum_registry(); }
