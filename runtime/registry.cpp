#include "runtime/registry.h"

#include "runtime/per_thread.h"

#include <new>
#include <unordered_map>

#include "runtime/bad_function_call.h"
#include "runtime/platform.h"

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
    if (!*g) throw lum_bad_function_call();
    lum_thread_local& block = (*g)();
    if (own) cache = &block;
    return block;
}

lum_thread_local::lum_thread_local() : thread_id(lum_os_thread_id()) {}

lum_thread_local::~lum_thread_local() = default;

namespace {

enum class block_state : uint8_t { unused, live, torn_down };

// The thread's own block lives on the heap and is torn down explicitly (see
// lum_thread_local_teardown), never by the C++ runtime, so no lookup can reach
// it while its members are being destroyed.
thread_local constinit block_state own_state = block_state::unused;
thread_local constinit lum_thread_local* own_block = nullptr;

// The VM-less block that lookups get once the thread's own block is torn
// down (the destructors of other per-thread objects may still log or
// release values). Built in place at teardown, it owns no heap memory and is
// never destroyed.
alignas(lum_thread_local) thread_local constinit unsigned char stand_in_storage[sizeof(lum_thread_local)] = {};

struct block_holder {
    lum_thread_local* block = nullptr; // null once torn down
};
thread_local constinit block_holder* own_holder = nullptr;

void tear_down(block_holder& holder);

lum_thread_local& stand_in_block() { return *std::launder(reinterpret_cast<lum_thread_local*>(stand_in_storage)); }

} // namespace

lum_thread_local& lum_module_thread_local() {
    if (own_state == block_state::live) [[likely]]
        return *own_block;
    if (own_state == block_state::torn_down) return stand_in_block();
    // First lookup on this thread: the exit hook is registered before the
    // block exists, so per-thread objects made later are destroyed while the
    // block is still there. The hook reaches the block through a holder on
    // the heap, not through this thread's storage: some platforms free that
    // before thread-exit hooks run.
    auto* holder = new block_holder();
    lum_at_thread_exit(
        [](void* h) {
            auto* held = static_cast<block_holder*>(h);
            tear_down(*held);
            delete held;
        },
        holder);
    holder->block = new lum_thread_local();
    own_holder = holder;
    own_block = holder->block;
    own_state = block_state::live;
    return *own_block;
}

void lum_thread_local_teardown() {
    if (own_state != block_state::live) return;
    tear_down(*own_holder);
}

namespace {

void tear_down(block_holder& holder) {
    lum_thread_local* block = holder.block;
    if (block == nullptr) return; // torn down already
    holder.block = nullptr;
    // VM-less first: nothing released below pools into or locks a VM through
    // this block.
    block->vm = nullptr;
    block->current_task = nullptr;
    block->second_task = nullptr;
    // What may run code when released (a logger whose destructor logs, the
    // objects of the per-thread table) goes while lookups still reach this
    // block; whatever that code stores in the block again goes in the next
    // round.
    for (int round = 0; round < 8 && (block->logger || !block->table.empty()); ++round) {
        lumptr_strong<lum_log_base> logger = std::move(block->logger);
        block->logger.reset();
        std::unordered_map<uint64_t, lum_thread_local_entry> table;
        table.swap(block->table);
        table.clear();
        logger.reset();
    }
    // From here on lookups get the stand-in: same thread id, no VM, no logger.
    auto* stand_in = ::new (static_cast<void*>(stand_in_storage)) lum_thread_local();
    std::unordered_map<uint64_t, lum_thread_local_entry>().swap(stand_in->table); // no heap memory left to free
    stand_in->thread_id = block->thread_id;
    stand_in->pooling_suspended = block->pooling_suspended;
    stand_in->vm_lock_depth = block->vm_lock_depth;
    own_state = block_state::torn_down;
    own_block = nullptr;
    if (lum_tl_detail::cache == block) lum_tl_detail::cache = stand_in;
    delete block;
}

} // namespace

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

namespace {

// Made while the module loads (the first registration is a static
// initialiser's), before any thread of the host could fork.
lum_registration_lock& registration_lock() {
    static lum_registration_lock* const lock = new lum_registration_lock();
    return *lock;
}

// A fork waits until no other thread registers (a registration is brief), so
// the registry is whole in the copy.
const bool registrations_free_in_copies = (lum_at_fork([] { registration_lock().before_fork(); },
                                                       [] { registration_lock().after_fork_in_parent(); },
                                                       [] { registration_lock().after_fork_in_copy(); }),
                                           true);

}  // namespace

lum_registration_lock& lum_registration_mutex() { return registration_lock(); }

lum_namespace_registrar register_namespace_initializer(std::string_view name, lum_namespace_initializer initializer) {
    std::lock_guard<lum_registration_lock> lock(lum_registration_mutex());
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
