// The tests' calls that differ between operating systems: environment,
// temporary folders, locales, and child processes (the test program started
// again by itself, or command lines run through the system's command
// processor). One side per platform (test_platform_linux.cpp,
// test_platform_windows.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

void lum_test_set_env(const char* name, const char* value);
void lum_test_unset_env(const char* name);

// A new, empty folder under the system's temporary folder whose name starts
// with the prefix.
std::string lum_test_make_temp_dir(const std::string& prefix);

// The most memory the process has held so far, in KiB.
long lum_test_peak_rss_kib();

// Processor time the calling thread has used, in seconds: unlike the wall
// clock, it does not grow while other processes keep the machine busy.
double lum_test_thread_cpu_seconds();

// Processor time the whole process has used, in seconds (all its threads).
double lum_test_process_cpu_seconds();

// The OS thread id of the calling thread, asked from the system directly.
uint32_t lum_test_os_thread_id();

// Makes a locale whose decimal point is a comma the process's numeric locale
// (false when the machine has none); lum_test_restore_c_numeric_locale
// switches back to "C" and removes what the first call made.
bool lum_test_use_decimal_comma_locale();
void lum_test_restore_c_numeric_locale();

// A path as the narrow text the program's file functions take (the system's
// narrow encoding); empty when the path cannot be written in it.
std::string lum_test_narrow_path(const std::filesystem::path& path);

// Path of the running test program.
std::string lum_test_self_path();
// Windows: runs the test program again with `arguments`, started by itself
// (no command processor), in the current folder and with the process's
// environment, standard input empty; collects its standard output and error
// together, as text ("\r\n" read as "\n"). Its exit status,
// or -1 when it could not be started (`output` then says why) or did not end
// normally.
int lum_test_run_self(const std::vector<std::string>& arguments, std::string* output);
// Runs a command line through the command processor and collects its
// standard output; its exit status, or -1 when it did not end normally.
int lum_test_capture(const std::string& command_line, std::string* output);

// One argument (a path) quoted for the command processor.
std::string lum_test_quote(const std::string& argument);
// Runs a command line (arguments quoted with lum_test_quote) through the
// command processor in the folder `dir`, with standard input empty and
// standard output and error written to the named files; its exit status, or
// -1 when it did not end normally.
int lum_test_run_command(const std::string& dir, const std::string& command_line, const std::string& out_file,
                         const std::string& err_file);
