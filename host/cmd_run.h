#pragma once
// The `lumio run` and `lumio asm` subcommands.

#include <string>
#include <string_view>
#include <vector>

// Finds the module library for a `--module` option (empty: the default).
using lum_module_locator = std::string (*)(const std::string& option);

// lumio run FILE.lasm [--workers N] [--max-depth N] [--timeout SECONDS] [--module PATH]
// Loads the module, runs its namespace initialisers, assembles the file and
// runs it (2 workers, calls nested at most 10000 deep and no timeout unless
// the options say otherwise; 0 is no limit for both). Exit status: 0 when
// the root task finished without an unhandled run-time error, 1 when such an
// error ended it, the timeout passed or the module could not be loaded, 2
// when the file could not be read (with the system's reason) or assembled
// (with "FILE:LINE: message" on standard error) or the command line is wrong.
int lum_cmd_run(const std::vector<std::string_view>& args, lum_module_locator locate);

// lumio asm FILE.lasm [--module PATH]: prints the listing of the assembled
// blocks. Exit status 0, 1 (module) or 2 (reading, assembly, command line).
int lum_cmd_asm(const std::vector<std::string_view>& args, lum_module_locator locate);
