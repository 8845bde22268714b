// Module entry: the module descriptor, the two exported entry points and the
// process-wide registry the host reads (namespace initialisers, class
// factories, class metadata, the thread-local getter).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <xxhash.h>

#include "runtime/fork_hold.h"
#include "runtime/ptr.h"
#include "runtime/thread_local.h"

class lumobject_base;      // runtime/object.h
class lumobject_metadata;  // runtime/class_binding.h
class lum_namespace;       // runtime/namespace.h

// 64-byte record identifying the runtime the module was built against.
struct lum_module_descriptor {
    uint64_t abi_version;  // 3001
    uint64_t constant_a;   // 1
    uint64_t constant_b;   // 1
    char kind[40];         // "MODULE_INTERNAL", NUL-padded
};
static_assert(sizeof(lum_module_descriptor) == 64, "the module descriptor is 64 bytes");

inline constexpr uint64_t LUM_MODULE_ABI_VERSION = 3001;

// XXH3-64 over a name's bytes.
struct lum_hasher {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        return static_cast<size_t>(XXH3_64bits(s.data(), s.size()));
    }
};
// Same length and same bytes.
struct lum_transparent_equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <class V>
using lum_name_map = std::unordered_map<std::string_view, V, lum_hasher, lum_transparent_equal>;

using lum_namespace_initializer = std::function<void(lum_namespace&)>;
using lum_class_factory = std::function<lumptr_strong<lumobject_base>()>;
using lum_factory_map = lum_name_map<lum_class_factory>;
using lum_metadata_map = lum_name_map<std::shared_ptr<lumobject_metadata>>;

// The module registry: one per process (per binary copy of the runtime),
// created on first use and never destroyed. Field order is shared with the host.
class lum_global_instance {
public:
    lum_global_instance();
    lum_global_instance(const lum_global_instance&) = delete;
    lum_global_instance& operator=(const lum_global_instance&) = delete;

    lum_name_map<uint64_t> names;                                           // 1: reserved
    lum_name_map<std::vector<lum_namespace_initializer>> namespace_initializers; // 2
    std::shared_ptr<lum_factory_map> factories;                            // 3
    std::shared_ptr<lum_metadata_map> metadata;                            // 4
    lum_thread_local_getter thread_local_getter;                            // 5
    std::vector<lumptr_strong<lumptr_base_internal>> handles;               // 6: reserved
};

// The registry of this binary, created on the first call (thread-safe).
lum_global_instance& lum_registry();

// The process-wide recursive registration lock (made while the module loads, never
// destroyed). A fork waits for it (runtime/fork_hold.h), so the registry is
// whole in a copy.
using lum_registration_lock = lum_fork_mutex<std::recursive_mutex>;
lum_registration_lock& lum_registration_mutex();

// One-byte object left by a registration; its value means nothing.
struct lum_namespace_registrar {
    uint8_t unused = 0;
};

// Appends an initialiser to the list stored under a namespace name. The name
// must be static text (it is not copied).
lum_namespace_registrar register_namespace_initializer(std::string_view name, lum_namespace_initializer initializer);

// The module descriptor of this binary.
const lum_module_descriptor& lum_module_descriptor_record();

#ifdef _WIN32
#define LUM_EXPORT extern "C" // the DLL's exports are listed in cmake/lumio_module.def
#else
#define LUM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The only exported symbols of the module.
LUM_EXPORT const lum_module_descriptor* lumioglue_check();
LUM_EXPORT lum_global_instance* lumioglue_entry();
