// What the script classes show of a program's listing and native code.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct lumk_program;
struct lumk_compiled_unit;

// The bytecode listing of the program.
std::string lum_kernel_program_listing(const lumk_program& program);
// The native-code status text: "off", "none", "compiling", "ready", "aot" or
// "failed: <compiler output>".
std::string lum_kernel_native_status(const lumk_program& program);
// The C text that native compilation builds for the program (may throw).
std::string lum_kernel_native_source(const lumk_program& program);

#include <cstdint>
#include <vector>

// Ahead-of-time C source for the programs (duplicates included).
std::string lum_kernel_aot_text(const std::vector<const lumk_program*>& programs);
// Loads an ahead-of-time library; the kernel count, or -1 with `error` set.
int64_t lum_kernel_aot_library_load(const std::string& path, std::string& error);
// The C compiler command native compilation uses ("" when none was found).
std::string lum_kernel_compiler_command();

// Asks for native code before a launch (a compile job goes through `submit`;
// it stops once `stopping` says the pool shuts down).
void lum_kernel_request_native(std::shared_ptr<const lumk_compiled_unit> unit, const lumk_program* program,
                               const std::function<bool(std::function<void()>)>& submit,
                               const std::function<bool()>& stopping);
