// Script namespaces and the native function records published in them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "runtime/context_fwd.h"
#include "runtime/ptr.h"
#include "runtime/registry.h"
#include "runtime/value.h"

// The native body of a function: the calling context and the argument list.
using lum_native_callable = std::function<lumvar_shared(lum_vm_context&, std::vector<lumvar_shared>&)>;

// Function flag bits.
inline constexpr uint32_t LUM_FUNCTION_RESOLVE_ARGS = 1;  // arguments are stored as the values they refer to

// One native or script function. Definitions always get heap reference records.
class lum_function_def : public lumptr_base<lum_function_def>, public lumptr_type_tag<lum_function_def> {
public:
    lum_native_callable callable;              // empty for script functions
    uint32_t min_args = 0;
    uint32_t max_args = 0;
    std::string_view name;
    std::string_view doc;
    std::string_view class_type_name;          // set for class constructors
    std::vector<std::string_view> arg_docs;    // one line per argument
    std::vector<std::string_view> second_list; // not read by the module
    uint32_t flags = 0;                        // LUM_FUNCTION_*
    uint8_t method = 0;                        // 1 for methods of native classes

    bool may_use_pooled_record() const override { return false; }
};

// A script namespace: its members by name and the functions published in it.
// Created and owned by the host; initialisers fill it.
class lum_namespace {
public:
    lum_name_map<lumvar_shared> members;
    std::vector<lum_function_def*> functions;  // each holds one strong count of the namespace

    lum_namespace() = default;
    lum_namespace(const lum_namespace&) = delete;
    lum_namespace& operator=(const lum_namespace&) = delete;
    // Drops the namespace's count on each of its definitions: a definition
    // nothing else holds strongly goes with it (values see it gone).
    ~lum_namespace();

    // Publishes a native function under `name` (static text, as `doc`): a new
    // definition (flags: resolve arguments) and an ext_function value in the
    // member map, replacing an earlier member of that name; the definition is
    // also appended to the function list, which owns it. Counts are stored unchanged. The
    // definition and its value are made on the heap. Returns the definition.
    static lum_function_def* add_function(lum_namespace& ns, std::string_view name, lum_native_callable callable,
                                          uint32_t min_args, uint32_t max_args, std::string_view doc);

    // Publishes native class T under the last dot-separated part of its script
    // type name, with `constructor` as its constructor function (0 to
    // T::constructor_max_args arguments). The class is registered either way; an
    // existing member of that name is kept and the constructor dropped, in which
    // case the result is null. Defined in runtime/class_binding.h.
    template <class T>
    static lum_function_def* add_class(lum_namespace& ns, lum_native_callable constructor, std::string_view doc);
};
