#include "host/module_loader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/platform.h"
#include "runtime/class_binding.h"
#include "runtime/namespace.h"

std::string lum_check_descriptor(const lum_module_descriptor& d) {
    if (d.abi_version != LUM_MODULE_ABI_VERSION)
        return "unsupported module ABI version " + std::to_string(d.abi_version) + " (expected " +
               std::to_string(LUM_MODULE_ABI_VERSION) + ")";
    if (d.constant_a != 1 || d.constant_b != 1) return "malformed module descriptor";
    char expected[sizeof d.kind] = "MODULE_INTERNAL";
    if (std::memcmp(d.kind, expected, sizeof expected) != 0) return "unknown module kind";
    return {};
}

std::unique_ptr<lum_loaded_module> lum_loaded_module::linked() {
    std::unique_ptr<lum_loaded_module> m(new lum_loaded_module());
    m->path_ = "(linked in)";
    m->descriptor_ = lumioglue_check();
    std::string problem = lum_check_descriptor(*m->descriptor_);
    if (!problem.empty()) throw std::runtime_error(problem);
    m->registry_ = lumioglue_entry();
    return m;
}

std::unique_ptr<lum_loaded_module> lum_loaded_module::open(const std::string& path) {
    std::string why;
    void* handle = lum_host_load_library(path, &why);
    if (handle == nullptr) throw std::runtime_error("cannot load module '" + path + "': " + why);
    using check_fn = const lum_module_descriptor* (*)();
    using entry_fn = lum_global_instance* (*)();
    auto check = reinterpret_cast<check_fn>(lum_host_library_symbol(handle, "lumioglue_check"));
    auto entry = reinterpret_cast<entry_fn>(lum_host_library_symbol(handle, "lumioglue_entry"));
    if (check == nullptr || entry == nullptr)
        throw std::runtime_error("'" + path + "' is not a module: lumioglue_check or lumioglue_entry is missing");

    std::unique_ptr<lum_loaded_module> m(new lum_loaded_module());
    m->handle_ = handle;
    m->path_ = path;
    m->descriptor_ = check();
    if (m->descriptor_ == nullptr) throw std::runtime_error("'" + path + "': lumioglue_check returned no descriptor");
    std::string problem = lum_check_descriptor(*m->descriptor_);
    if (!problem.empty()) throw std::runtime_error("'" + path + "': " + problem);
    m->registry_ = entry();
    if (m->registry_ == nullptr) throw std::runtime_error("'" + path + "': lumioglue_entry returned no registry");

    // One per-thread block per thread for both copies of the runtime: the
    // library's lookups go through this host's getter from now on.
    if (m->registry_ != &lum_registry()) {
        m->registry_->thread_local_getter = lum_registry().thread_local_getter;
    }
    return m;
}

lum_loaded_module::~lum_loaded_module() = default; // the library itself stays loaded

void lum_loaded_module::run_initializers() {
    if (initialized_) return;
    initialized_ = true;
    std::vector<std::string_view> names;
    for (const auto& entry : registry_->namespace_initializers) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    for (std::string_view name : names) {
        auto ns = std::make_unique<lum_namespace>();
        for (auto& initializer : registry_->namespace_initializers.find(name)->second) initializer(*ns);
        namespaces_.emplace_back(std::string(name), std::move(ns));
    }
}

lum_namespace* lum_loaded_module::find_namespace(std::string_view name) const {
    for (const auto& entry : namespaces_)
        if (entry.first == name) return entry.second.get();
    return nullptr;
}

namespace {

void append_range(std::string& out, const lum_function_def& f) {
    out += '(';
    out += std::to_string(f.min_args);
    out += "..";
    out += std::to_string(f.max_args);
    out += ')';
}

} // namespace

std::string lum_format_registry(const lum_loaded_module& module) {
    std::string out;
    const lum_module_descriptor& d = module.descriptor();
    out += "module ";
    out += std::string(d.kind, strnlen(d.kind, sizeof d.kind));
    out += ", ABI ";
    out += std::to_string(d.abi_version);
    out += ", ";
    out += module.path();
    out += '\n';

    for (const auto& [name, ns] : module.namespaces()) {
        out += "namespace ";
        out += name;
        out += '\n';
        for (const lum_function_def* f : ns->functions) {
            out += "  ";
            out += f->name;
            append_range(out, *f);
            if (!f->doc.empty()) {
                out += "  ";
                out += f->doc;
            }
            if (!f->class_type_name.empty()) {
                out += "  [class ";
                out += f->class_type_name;
                out += ']';
            }
            out += '\n';
            for (size_t i = 0; i < f->arg_docs.size(); ++i) {
                out += "      arg ";
                out += std::to_string(i + 1);
                out += ": ";
                out += f->arg_docs[i];
                out += '\n';
            }
        }
    }

    const lum_metadata_map& classes = *module.registry().metadata;
    std::vector<std::string_view> type_names;
    for (const auto& entry : classes) type_names.push_back(entry.first);
    std::sort(type_names.begin(), type_names.end());
    out += "classes\n";
    for (std::string_view type_name : type_names) {
        out += "  ";
        out += type_name;
        out += '\n';
        const std::shared_ptr<lumobject_metadata>& meta = classes.find(type_name)->second;
        if (!meta) continue;
        std::vector<std::pair<std::string_view, const lum_function_def*>> methods(meta->static_members.begin(),
                                                                                 meta->static_members.end());
        std::sort(methods.begin(), methods.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [method_name, f] : methods) {
            out += "    method ";
            out += method_name;
            if (f != nullptr) {
                append_range(out, *f);
                if (!f->doc.empty()) {
                    out += "  ";
                    out += f->doc;
                }
            }
            out += '\n';
        }
        for (std::string_view property : meta->other_member_names) {
            out += "    property ";
            out += property;
            out += '\n';
        }
    }
    return out;
}
