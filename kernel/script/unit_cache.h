// The process-wide cache of compiled kernel units. Identical inputs (the same
// imported sources and the same own source and name) share one compiled unit.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/compiler/kerror.h"
#include "kernel/compiler/program.h"

using lum_kernel_unit_list = std::vector<std::shared_ptr<lumk_compiled_unit>>;

// Entries at which the cache is emptied before the next insert.
inline constexpr size_t lum_kernel_unit_cache_capacity = 256;

// The cache key: a piece "<len>:<name><len>:<source>" per source of every
// import (in order), then the piece of the own source.
std::string lum_kernel_unit_cache_key(const lum_kernel_unit_list& imports, const std::string& source,
                                      const std::string& name);

// The compiled unit for the inputs, from the cache or compiled now (outside the
// cache lock). A compile error leaves `out` empty and fills `err`; failures are
// not cached.
void lum_kernel_compile_cached(std::shared_ptr<lumk_compiled_unit>& out, const std::string& source,
                               const std::string& name, kerror* err, const lum_kernel_unit_list& imports);

// Number of cached units (for tests).
size_t lum_kernel_unit_cache_size();
// For tests only: the lock of this process's cache.
std::mutex& lum_kernel_unit_cache_lock_for_tests();
