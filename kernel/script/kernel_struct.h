// "std.kernel_struct": one struct type of a compiled kernel unit, with field
// paths ("x", "pos.x", "m[2]") and struct access in kernel memory. The struct
// to json conversion also builds the struct result of a launch.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/program.h"
#include "runtime/class_binding.h"

// Where a field path leads inside one struct instance.
struct lum_kernel_field_ref {
    uint32_t offset = 0;
    lumk_prim prim = LUMK_PRIM_STRUCT;  // LUMK_PRIM_STRUCT for a struct
    uint32_t struct_index = 0;
    uint32_t count = 0;                 // 0 for a plain field and for one array element
    uint32_t elem_size = 0;
};

// Resolves `path` in struct `index`; false with `error` set when it does not resolve.
bool lum_kernel_struct_field_path(const std::vector<lumk_struct_layout>& structs, int32_t index,
                                  std::string_view path, lum_kernel_field_ref& out, std::string& error);

// The instance at `data` as a json object (nested structs as objects, arrays as lists).
lumvar_shared lum_kernel_struct_to_json(const std::vector<lumk_struct_layout>& structs, int32_t index,
                                        const uint8_t* data);
// Writes the fields that `values` names into the instance at `data`; the first
// failure stops with `error` set (fields written before it stay written).
bool lum_kernel_struct_from_json(const std::vector<lumk_struct_layout>& structs, int32_t index, uint8_t* data,
                                 lumvar* values, std::string& error);

class lum_std_kernel_struct : public lumobject<lum_std_kernel_struct, CLASS_STRING<"std.kernel_struct">> {
public:
    std::shared_ptr<lumk_compiled_unit> unit;
    int32_t index = -1;

    // The layout, or null (with the error raised) for an object that the bare
    // factory made.
    const lumk_struct_layout* layout();

    static void script_register();
};
