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
#include <vector>

#include "kernel/compiler/program.h"

// Compiler flags that enter the library hash.
inline constexpr const char* lumk_jit_flags_msvc = "/nologo /O2 /fp:precise /LD /w";
inline constexpr const char* lumk_jit_flags_cc = "-O2 -shared -fPIC -fno-strict-aliasing -ffp-contract=off -fno-math-errno -w";
// Libraries linked into a kernel library by a cc-style compiler, after the
// source file. The C library's math library, so that the math functions bind
// to the versions the interpreters call (unversioned references bind to the
// oldest, which return other NaNs). They enter the library hash after the
// flags.
inline constexpr const char* lumk_jit_libs_cc = "-lm";

// Seconds a compiler run may take unless LUM_KERNEL_CC_TIMEOUT says otherwise.
inline constexpr uint32_t lumk_cc_timeout_default = 120;
// The time limit for a LUM_KERNEL_CC_TIMEOUT value (null: not set): decimal
// seconds, 0 = no limit. Anything else gives the default, with `warning` set.
uint32_t lumk_cc_timeout_from(const char* value, std::string* warning);

// Runs a command with its error output joined to `output`; the exit status,
// -1 when it could not be run, or ran past `timeout_seconds` (0 = no limit;
// then it is killed with its children and `timed_out` is set).
int lumk_run_command(const std::string& command, std::string* output, uint32_t timeout_seconds = 0,
                     bool* timed_out = nullptr);
// `text` as one double-quoted command-line argument (special characters escaped).
std::string lumk_quote(const std::string& text);

// A condition a compile asks now and then while it runs or waits (every 50 ms
// or so): true once the host shuts the worker pool it runs on down, so that
// the compile stops (with the compiler and everything it started) instead of
// holding up the host's shutdown. An empty function never says stop.
using lumk_jit_stop_fn = std::function<bool()>;

// True for cl, cl.exe, clang-cl and clang-cl.exe (after the last '/' or '\',
// case-insensitive).
bool lumk_compiler_is_msvc(const std::string& compiler);
// Runs the compiler's version probe; true on exit status 0 within the limit.
// `stopped` is set when `stop` (or the module's shutdown) ended it. A probe
// that fails gives `answer` its command, how it ended and its output.
bool lumk_probe_compiler(const std::string& compiler, uint32_t timeout_seconds = lumk_cc_timeout_default,
                         const lumk_jit_stop_fn& stop = {}, bool* stopped = nullptr, std::string* answer = nullptr);
// LUM_KERNEL_CC when set (empty, blanks and quotes only, or failing its
// probe: none, no fallback), else the first platform candidate that answers
// the probe; empty when none, or when a probe was stopped (`stopped` set).
// When the compiler LUM_KERNEL_CC names fails its probe, `named_failure` gets
// what the probe answered (lumk_platform_named_probe_failure). A candidate
// that is there but cannot be started adds why to `warnings`.
std::string lumk_find_compiler(uint32_t timeout_seconds = lumk_cc_timeout_default, const lumk_jit_stop_fn& stop = {},
                               bool* stopped = nullptr, std::string* named_failure = nullptr,
                               std::vector<std::string>* warnings = nullptr);
// The platform's folder for compiled kernels, or an empty path; the folders
// refused on the way are described in `warnings`, and `temporary` tells
// whether it is this process's own folder in the temporary folder.
std::filesystem::path lumk_cache_dir(std::vector<std::string>* warnings = nullptr, bool* temporary = nullptr);
// The compiler chosen for this process (chosen once, on first use, together
// with the cache folder; the compilers are probed without the driver's lock
// held, so launches never wait for a probe); empty when none was found.
std::string lumk_jit_compiler();

// For tests only: when set, the random part of this process's temporary file
// names (16 hexadecimal digits) is made from what `fn` returns instead of the
// system's random source; null restores it. Set before the first compile.
void lumk_jit_set_random_for_tests(uint64_t (*fn)());

// Where the driver's warnings go (a refused cache folder or library, a bad
// LUM_KERNEL_CC_TIMEOUT); null drops them. The module sends them to the log.
using lumk_warning_fn = void (*)(const std::string& text);
void lumk_set_warning_sink(lumk_warning_fn sink);

// Shutting the module down: kills the compiler runs and probes still going
// (with their children), removes their temporary files and this process's
// folder in the temporary folder, and makes later compiles fail. Runs once,
// at the module's exit (also at quick_exit); later calls do nothing.
void lumk_jit_shutdown();

// Hash naming the library of `source` built by `compiler` with `flags`.
uint64_t lumk_jit_file_hash(const std::string& compiler, const std::string& flags, const std::string& source);

// Loads a kernel library and finds lumk_jit_entry; a library without the entry
// is unloaded again. No checksum trailer is asked for (libraries of the cache
// folder are loaded by lumk_jit_compile, which asks for it). Null with `error`
// set on failure.
lumk_jit_entry_fn lumk_load_jit_library(const std::filesystem::path& path, std::string* error);

// The native entry of a JIT source: from this process's loaded libraries, from
// the cache folder, or compiled now. Null with `error` set on failure, also
// when `stop` ended the probe or the compile.
lumk_jit_entry_fn lumk_jit_compile(const std::string& source, std::string* error, const lumk_jit_stop_fn& stop = {});

// Translates and compiles `program` and moves its slot from compiling to ready
// or failed; the result is dropped when the slot left compiling meanwhile. A
// compile that `stop` ended puts the slot back to none.
void lumk_jit_compile_job(const lumk_program* program, const lumk_jit_stop_fn& stop = {});

// Submits a job to the host's worker pool; false when the pool refuses it.
using lumk_jit_submit_fn = std::function<bool(std::function<void()>)>;

// Asks for native code before a launch: binds an ahead-of-time function when
// one is registered, otherwise starts one compile per kernel (auto: as a job
// through `submit`, the launch does not wait, neither for the compile nor for
// the compiler's probe; sync: on the calling thread). The compile asks `stop`
// (the pool's shutdown) while it runs. Does nothing under the policy off.
void lumk_jit_request(std::shared_ptr<const lumk_unit> unit, const lumk_program* program,
                      const lumk_jit_submit_fn& submit, const lumk_jit_stop_fn& stop = {});

// "off", "none", "compiling", "ready", "aot" or "failed: " + error.
std::string lumk_jit_status(const lumk_program* program);

// Loads an ahead-of-time library and registers its table; returns the number
// of rows, or -1 with `error` set.
int lumk_aot_load(const std::string& path, std::string* error);
