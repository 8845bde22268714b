// The kernel functions of namespace "std" and the registration of the kernel classes.
#include "kernel/script/module.h"

#include <algorithm>
#include <string>

#include "kernel/exec/settings.h"
#include "kernel/script/convert.h"
#include "kernel/script/kernel_enqueue.h"
#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_struct.h"
#include "kernel/script/kernel_unit.h"
#include "kernel/script/native_info.h"
#include "kernel/script/unit_cache.h"
#include "runtime/namespace.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"

namespace {

using args_t = std::vector<lumvar_shared>;

constexpr std::string_view imports_message =
    "kernel_compile: imports must be std.kernel_unit objects (the result of std.kernel_compile or __lum_kernel_unit)";

// The compiled unit behind an import value, or null.
std::shared_ptr<lumk_compiled_unit> import_of(lumvar* value) {
    if (value == nullptr) return nullptr;
    if (value->type != LUMVAR_STRING && value->type != LUMVAR_BINARY && value->type != LUMVAR_JSON &&
        value->type != LUMVAR_OBJECT)
        return nullptr;
    lumobject_base* object = value->object_raw();
    if (object == nullptr || !object->is_type(lumptr_type_tag<lum_std_kernel_unit>::type_id())) return nullptr;
    return static_cast<lum_std_kernel_unit*>(object)->unit;
}

lumvar_shared f_compile(lum_vm_context&, args_t& args) {
    const std::string source = lum_kernel_text_arg(args[0].get());
    std::string name = "<kernel>";
    size_t first_import = 1;
    if (args.size() >= 2) {
        lumvar* file = lum_kernel_follow_refs(args[1].get());
        if (file != nullptr && file->type == LUMVAR_STRING) {
            name = file->to_std_string();
            first_import = 2;
        }
    }
    lum_kernel_unit_list imports;
    for (size_t i = first_import; i < args.size(); ++i) {
        lumvar* v = lum_kernel_follow_refs(args[i].get());
        if (v != nullptr && v->type == LUMVAR_JSON) {
            lum_std_json* list = v->json_container();
            for (int64_t j = 0; list != nullptr && j < list->size(); ++j) {
                lumvar_shared entry = list->at(j);
                auto unit = import_of(lum_kernel_follow_refs(entry.get()));
                if (!unit) return lum_runtime_error(true, imports_message);
                imports.push_back(std::move(unit));
            }
            continue;
        }
        auto unit = import_of(v);
        if (!unit) return lum_runtime_error(true, imports_message);
        imports.push_back(std::move(unit));
    }
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    lum_kernel_compile_cached(unit, source, name, &err, imports);
    if (!unit)
        return lum_runtime_error(true, "kernel compile error at " + err.file + ":" + std::to_string(err.line) + ":" +
                                           std::to_string(err.column) + ": " + err.message + "\n    " +
                                           err.source_line);
    lumptr_strong<lum_std_kernel_unit> object = lum_std_kernel_unit::tables().factory();
    if (!object) return lumvar_shared::make();
    object->unit = std::move(unit);
    return lumvar_shared::from_object(object.get());
}

lumvar_shared f_threads(lum_vm_context&, args_t& args) {
    if (!args.empty()) {
        const int64_t n = std::clamp<int64_t>(lum_kernel_int_arg(args[0].get()), 0, 4096);
        lum_kernel_thread_limit.store(static_cast<uint32_t>(n));
    }
    return lumvar_shared::from_int(lum_kernel_launch_threads());
}

// kernel_jit and kernel_mode: an optional name sets the setting; the result
// is the name in force.
lumvar_shared named_setting(args_t& args, std::atomic<uint32_t>& setting, const char* (*name_of)(uint32_t),
                            std::string_view refusal) {
    if (!args.empty()) {
        const std::string text = lum_kernel_text_arg(args[0].get());
        uint32_t found = 3;
        for (uint32_t i = 0; i < 3; ++i)
            if (text == name_of(i)) found = i;
        if (found == 3) return lum_runtime_error(true, refusal);
        setting.exchange(found);
    }
    return lumvar_shared::from_string(name_of(setting.load()));
}

lumvar_shared f_jit(lum_vm_context&, args_t& args) {
    return named_setting(args, lum_kernel_jit_policy, lum_kernel_jit_policy_name,
                         "kernel_jit expects 'auto', 'sync' or 'off'");
}

lumvar_shared f_mode(lum_vm_context&, args_t& args) {
    return named_setting(args, lum_kernel_interp_mode, lum_kernel_interp_mode_name,
                         "kernel_mode expects 'auto', 'scalar' or 'batch'");
}

// Collects the entry programs of kernels, units and (nested) lists of them.
bool collect_programs(lumvar* value, std::vector<const lumk_program*>& programs, lum_kernel_unit_list& keep,
                      json_visit_guard& visits) {
    value = lum_kernel_follow_refs(value);
    if (value == nullptr) return false;
    if (value->type == LUMVAR_JSON) {
        lum_std_json* list = value->json_container();
        if (list == nullptr) return true;
        json_visit_scope visit(visits, list);
        if (!visit.accepted()) return false;
        for (int64_t i = 0; i < list->size(); ++i) {
            lumvar_shared entry = list->at(i);
            if (!collect_programs(entry.get(), programs, keep, visits)) return false;
        }
        return true;
    }
    if (value->type != LUMVAR_OBJECT) return false;
    lumobject_base* object = value->object_raw();
    if (object == nullptr) return false;
    if (object->is_type(lumptr_type_tag<lum_std_kernel>::type_id())) {
        auto* k = static_cast<lum_std_kernel*>(object);
        if (k->entry == nullptr || !k->unit) return false;
        keep.push_back(std::const_pointer_cast<lumk_compiled_unit>(k->unit));
        programs.push_back(k->entry);
        return true;
    }
    if (object->is_type(lumptr_type_tag<lum_std_kernel_unit>::type_id())) {
        auto* u = static_cast<lum_std_kernel_unit*>(object);
        if (!u->unit) return false;
        keep.push_back(u->unit);
        for (const auto& p : u->unit->programs) programs.push_back(p.get());
        return true;
    }
    return false;
}

lumvar_shared f_aot_source(lum_vm_context&, args_t& args) {
    std::vector<const lumk_program*> programs;
    lum_kernel_unit_list keep;
    json_visit_guard visits;
    for (auto& a : args)
        if (!collect_programs(a.get(), programs, keep, visits))
            return lum_runtime_error(
                true, "kernel_aot_source expects kernels (std.kernel), units (std.kernel_unit) or lists of them");
    return lumvar_shared::from_string(lum_kernel_aot_text(programs));
}

lumvar_shared f_aot_load(lum_vm_context&, args_t& args) {
    const std::string path = lum_kernel_text_arg(args[0].get());
    std::string error;
    const int64_t n = lum_kernel_aot_library_load(path, error);
    if (n < 0) return lum_runtime_error(true, "kernel_aot_load: " + error);
    return lumvar_shared::from_int(n);
}

lumvar_shared f_jit_compiler(lum_vm_context&, args_t&) {
    return lumvar_shared::from_string(lum_kernel_compiler_command());
}

void add(lum_namespace& ns, std::string_view name, lum_native_callable fn, uint32_t min_args, uint32_t max_args,
         std::string_view doc, std::vector<std::string_view> arg_docs) {
    lum_function_def* def = lum_namespace::add_function(ns, name, std::move(fn), min_args, max_args, doc);
    for (auto d : arg_docs) def->arg_docs.push_back(d);
}

}  // namespace

int64_t lum_kernel_launch_threads() {
    const int64_t workers = static_cast<int64_t>(std::min<uint64_t>(lum_kernel_worker_count(), 1u << 20));
    int64_t t = workers + 1;
    const int64_t limit = lum_kernel_thread_limit.load();
    if (limit >= 1) t = std::min(t, limit);
    return std::max<int64_t>(t, 1);
}

void lum_kernel_namespace_init(lum_namespace& ns) {
    lum_std_kernel_unit::script_register_internal();
    lum_std_kernel::script_register_internal();
    lum_std_kernel_struct::script_register_internal();
    lum_std_kernel_job::script_register_internal();
    add(ns, "kernel_compile", f_compile, 1, 64,
        "Compiles kernel source (see the kernel docs) and returns a std.kernel_unit: its kernels, structs and "
        "constants by name. Imported units (std.kernel_unit, or lists of them) give the source their structs, "
        "constants and kernel inline helpers.",
        {"source: string - kernel declarations", "file: string - optional file name for error messages",
         "imports: std.kernel_unit... - optional units to import"});
    add(ns, "kernel_threads", f_threads, 0, 1,
        "Threads used by kernel launches (including the launching thread). Sets the limit when called with n (0 = "
        "all), returns the current number.",
        {"n: int - optional new limit"});
    add(ns, "kernel_jit", f_jit, 0, 1,
        "Native code for kernels with the installed C compiler: 'auto' (default: compiled in the background, the VM "
        "runs until it is ready), 'sync' (compiled at the first launch) or 'off' (VM only).",
        {"policy: string - optional"});
    add(ns, "kernel_aot_source", f_aot_source, 1, 64,
        "C source with the native code of kernels for targets without a C compiler: build it as a shared library "
        "(-DLUMK_AOT_SHARED) and load it with std.kernel_aot_load(), or compile it into the interpreter as C++. "
        "Kernels use it when their bytecode is unchanged.",
        {"kernels: std.kernel, std.kernel_unit or lists of them"});
    add(ns, "kernel_aot_load", f_aot_load, 1, 1,
        "Loads a shared library built from std.kernel_aot_source(); returns the number of kernels it contains. "
        "Matching kernels run its native code from their next launch on (k.jit_status() is 'aot').",
        {"path: string - the .so / .dll / .dylib"});
    add(ns, "kernel_jit_compiler", f_jit_compiler, 0, 0,
        "The C compiler the kernel JIT uses ('' when none was found; set LUM_KERNEL_CC to choose one)", {});
    add(ns, "kernel_mode", f_mode, 0, 1,
        "Kernel interpreter: 'auto' (default), 'scalar' (one gid at a time) or 'batch' (64 gids per instruction). "
        "For tests and benchmarks, the results are the same.",
        {"mode: string - optional"});
}
