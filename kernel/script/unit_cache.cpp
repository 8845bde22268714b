#include "kernel/script/unit_cache.h"

#include <mutex>
#include <unordered_map>

#include "kernel/compiler/compile.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/process_local.h"

namespace {

// FNV-1a 64 picks the bucket; keys are still compared whole.
struct fnv1a {
    size_t operator()(const std::string& key) const noexcept {
        return static_cast<size_t>(lumk_fnv1a(key, 0xcbf29ce484222325ULL));
    }
};

struct unit_cache {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<lumk_compiled_unit>, fnv1a> units;
};

// This process's cache (a forked copy starts with an empty one). Never freed:
// launches and compiles may still run while the process exits.
constinit lumk_process_local<unit_cache> caches;

unit_cache& cache() { return caches.get(); }

void append_piece(std::string& key, const std::string& name, const std::string& source) {
    key += std::to_string(name.size());
    key += ':';
    key += name;
    key += std::to_string(source.size());
    key += ':';
    key += source;
}

}  // namespace

std::string lum_kernel_unit_cache_key(const lum_kernel_unit_list& imports, const std::string& source,
                                      const std::string& name) {
    std::string key;
    for (const auto& unit : imports)
        for (const auto& s : unit->sources) append_piece(key, s.name, s.text);
    append_piece(key, name, source);
    return key;
}

void lum_kernel_compile_cached(std::shared_ptr<lumk_compiled_unit>& out, const std::string& source,
                               const std::string& name, kerror* err, const lum_kernel_unit_list& imports) {
    std::string key = lum_kernel_unit_cache_key(imports, source, name);
    unit_cache& c = cache();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        auto it = c.units.find(key);
        if (it != c.units.end()) {
            out = it->second;
            return;
        }
    }
    lumk_compile_unit(out, source, name, *err, imports);
    if (!out) return;
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.units.size() >= lum_kernel_unit_cache_capacity) c.units.clear();
    c.units.insert_or_assign(std::move(key), out);
}

size_t lum_kernel_unit_cache_size() {
    unit_cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.units.size();
}

std::mutex& lum_kernel_unit_cache_lock_for_tests() { return cache().mutex; }
