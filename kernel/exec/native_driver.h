// Native compilation of kernels: the external C compiler, the folder of
// compiled kernel libraries, the libraries loaded by this process, the JIT
// requests of launches with their background or synchronous compile, the
// status text of a kernel's native code and loading ahead-of-time libraries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "kernel/compiler/program.h"

// Compiler flags that enter the library hash.
inline constexpr const char* lumk_jit_flags_msvc = "/nologo /O2 /fp:precise /LD /w";
inline constexpr const char* lumk_jit_flags_cc = "-O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off -fno-math-errno -w";

// Runs a command with its error output joined to `output`; the exit status,
// -1 when it could not be run.
int lumk_run_command(const std::string& command, std::string* output);
// `text` as one double-quoted command-line argument (special characters escaped).
std::string lumk_quote(const std::string& text);

// True for cl, cl.exe, clang-cl and clang-cl.exe (after the last '/' or '\',
// case-insensitive).
bool lumk_compiler_is_msvc(const std::string& compiler);
// Runs the compiler's version probe; true on exit status 0.
bool lumk_probe_compiler(const std::string& compiler);
// LUM_KERNEL_CC when set (empty or failing its probe: none, no fallback), else
// the first platform candidate that answers the probe; empty when none.
std::string lumk_find_compiler();
// The platform's folder for compiled kernels, or an empty path.
std::filesystem::path lumk_cache_dir();
// The compiler chosen for this process (chosen once, on first use, together
// with the cache folder); empty when none was found.
std::string lumk_jit_compiler();

// Hash naming the library of `source` built by `compiler` with `flags`.
uint64_t lumk_jit_file_hash(const std::string& compiler, const std::string& flags, const std::string& source);

// Loads a kernel library and finds lumk_jit_entry; a library without the entry
// is unloaded again. Null with `error` set on failure.
lumk_jit_entry_fn lumk_load_jit_library(const std::filesystem::path& path, std::string* error);

// The native entry of a JIT source: from this process's loaded libraries, from
// the cache folder, or compiled now. Null with `error` set on failure.
lumk_jit_entry_fn lumk_jit_compile(const std::string& source, std::string* error);

// Translates and compiles `program` and moves its slot from compiling to ready
// or failed; the result is dropped when the slot left compiling meanwhile.
void lumk_jit_compile_job(const lumk_program* program);

// Submits a job to the host's worker pool; false when the pool refuses it.
using lumk_jit_submit_fn = std::function<bool(std::function<void()>)>;

// Asks for native code before a launch: binds an ahead-of-time function when
// one is registered, otherwise starts one compile per kernel (auto: as a job
// through `submit`, the launch does not wait; sync: on the calling thread).
// Does nothing under the policy off.
void lumk_jit_request(std::shared_ptr<const lumk_unit> unit, const lumk_program* program,
                      const lumk_jit_submit_fn& submit);

// "off", "none", "compiling", "ready", "aot" or "failed: " + error.
std::string lumk_jit_status(const lumk_program* program);

// Loads an ahead-of-time library and registers its table; returns the number
// of rows, or -1 with `error` set.
int lumk_aot_load(const std::string& path, std::string* error);
