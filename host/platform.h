// The stand-in host's calls that differ between operating systems; one side
// per platform (platform_linux.cpp, platform_windows.cpp).
#pragma once

#include <string>

// File name of the module library on this platform ("liblumio_std.so",
// "lumio_std.dll").
extern const char* const lum_host_module_file_name;

// Loads a shared library and keeps it loaded; null with *error set (the
// system's reason) when it cannot.
void* lum_host_load_library(const std::string& path, std::string* error);
// An exported function of a loaded library, or null.
void* lum_host_library_symbol(void* library, const char* name);

// Folder of the running executable, empty when unknown.
std::string lum_host_executable_dir();
// True when the file exists and can be read.
bool lum_host_file_readable(const std::string& path);
// Reads a whole file into *text; false with *error set (the system's reason,
// such as "No such file or directory") when it cannot.
bool lum_host_read_file(const std::string& path, std::string* text, std::string* error);

// Standard output and error pass bytes through unchanged (no newline
// translation), so both platforms print the same bytes.
void lum_host_binary_console();

// Ends the process at once with `status`, without waiting for its threads or
// running static destructors; what the loaded libraries asked for at such an
// end (at_quick_exit, where the C library has it) still runs.
[[noreturn]] void lum_host_quick_exit(int status);
