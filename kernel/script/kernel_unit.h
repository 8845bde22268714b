// "std.kernel_unit" (one compiled kernel source with its entry kernels,
// structs and constants) and "std.kernel" (one entry kernel that scripts
// launch and inspect). Objects are made only by their class factories:
// kernel_compile makes units, a unit's lookup makes kernels and structs.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "kernel/compiler/program.h"
#include "runtime/class_binding.h"

class lum_std_kernel_unit : public lumobject<lum_std_kernel_unit, CLASS_STRING<"std.kernel_unit">> {
public:
    std::shared_ptr<lumk_compiled_unit> unit;

    // A member that is not one of the methods is looked up like get(name).
    lumvar_shared get_member(std::string_view name) override;
    using lumobject::get_member;

    // The kernel, struct or constant called `name`; raises when there is none.
    lumvar_shared lookup(std::string_view name);

    static void script_register();
};

class lum_std_kernel : public lumobject<lum_std_kernel, CLASS_STRING<"std.kernel">> {
public:
    std::shared_ptr<const lumk_unit> unit;
    const lumk_program* entry = nullptr;

    // "kernel NAME" ("kernel" without an entry).
    std::string to_string() override;
    // The entry program, or null with the error raised (an object that the bare
    // factory made).
    const lumk_program* program();

    static void script_register();
};
