// Loading the module: either the copy linked into this executable or a shared
// library loaded through its two exports. The host checks the descriptor,
// keeps the registry, and runs every namespace initialiser on a namespace it
// owns.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/registry.h"

class lum_namespace;

// Empty when the descriptor is the one this host accepts, else the reason.
std::string lum_check_descriptor(const lum_module_descriptor& descriptor);

class lum_loaded_module {
public:
    // The module compiled into this executable (tests).
    static std::unique_ptr<lum_loaded_module> linked();
    // A shared library: load it, lumioglue_check, descriptor test,
    // lumioglue_entry. The library's runtime then uses this host's per-thread
    // blocks (the host installs its own getter into the library's registry).
    // Throws std::runtime_error with a clear message on any failure. The
    // library stays loaded for the life of the process.
    static std::unique_ptr<lum_loaded_module> open(const std::string& path);

    ~lum_loaded_module();
    lum_loaded_module(const lum_loaded_module&) = delete;
    lum_loaded_module& operator=(const lum_loaded_module&) = delete;

    const lum_module_descriptor& descriptor() const noexcept { return *descriptor_; }
    lum_global_instance& registry() const noexcept { return *registry_; }
    bool is_shared_library() const noexcept { return handle_ != nullptr; }
    const std::string& path() const noexcept { return path_; }

    // Runs, once, every initialiser of every namespace name (names in
    // alphabetical order, initialisers in list order) on a namespace owned by
    // this loader.
    void run_initializers();
    // The namespace of a name after run_initializers, else null.
    lum_namespace* find_namespace(std::string_view name) const;
    const std::vector<std::pair<std::string, std::unique_ptr<lum_namespace>>>& namespaces() const noexcept {
        return namespaces_;
    }

private:
    lum_loaded_module() = default;

    void* handle_ = nullptr;
    std::string path_;
    const lum_module_descriptor* descriptor_ = nullptr;
    lum_global_instance* registry_ = nullptr;
    bool initialized_ = false;
    std::vector<std::pair<std::string, std::unique_ptr<lum_namespace>>> namespaces_;
};

// The registry as text: the module line, every namespace with its functions
// (argument ranges, docs, argument docs), every class with its methods and
// properties.
std::string lum_format_registry(const lum_loaded_module& module);
