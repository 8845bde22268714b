// Operating-system services of the native kernel driver: running the C
// compiler through the command processor, the environment, the process id,
// the folder for compiled kernels and loading shared libraries. One
// implementation file per platform.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// Runs `command` with its error output joined to its standard output and
// collects that output (lines appended while less than 16384 bytes are held;
// the rest is read and dropped). Returns the command's exit status, -1 when it
// could not be run or did not exit normally.
int lumk_platform_run(const std::string& command, std::string* output);

// Value of an environment variable; false when it is not set. The same on
// every platform.
inline bool lumk_platform_env(const char* name, std::string* value) {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    if (value) *value = v;
    return true;
}

uint64_t lumk_platform_pid();

// Compiler commands probed in order when LUM_KERNEL_CC is not set.
std::vector<std::string> lumk_platform_compiler_candidates();
// Redirection appended to a command whose output is not wanted.
const char* lumk_platform_discard_output();
// File name ending of a shared library (".so", ".dll").
const char* lumk_platform_library_suffix();
// `text` as one double-quoted command-line argument; characters the command
// processor would still interpret inside the quotes are escaped.
std::string lumk_platform_quote(const std::string& text);
// A path as the narrow text that goes into command lines and messages.
std::string lumk_platform_path_text(const std::filesystem::path& path);
// A narrow text (a script's string) as a path: as it is on Linux, through the
// ANSI code page on Windows.
std::filesystem::path lumk_platform_path(const std::string& text);
// The path made absolute; the path itself when that fails.
std::filesystem::path lumk_platform_absolute(const std::filesystem::path& path);

// The folder for compiled kernels, created when missing (new folders are
// private to the user); an empty path when there is no safe folder.
std::filesystem::path lumk_platform_cache_dir();

// Loads a shared library; null with `error` set when it cannot be loaded.
void* lumk_platform_open_library(const std::filesystem::path& path, std::string* error);
// Address of an exported symbol, or null.
void* lumk_platform_symbol(void* library, const char* name);
// Unloads a library that turned out not to be usable.
void lumk_platform_close_library(void* library);
