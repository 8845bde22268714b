// The `lumio` command of the stand-in host.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "host/cmd_run.h"
#include "host/host_log.h"
#include "host/module_loader.h"
#include "host/platform.h"

namespace {

// Printed with the platform's module file name in place of %s.
constexpr const char* usage_format =
    "usage: lumio info [--module PATH]\n"
    "       lumio run FILE.lasm [--workers N] [--max-depth N] [--timeout SECONDS] [--module PATH]\n"
    "       lumio asm FILE.lasm [--module PATH]\n"
    "\n"
    "  info  prints the module's registry: its namespaces, functions and classes\n"
    "  run   assembles FILE.lasm and runs it until no task is left; print() writes to\n"
    "        standard output, warnings, errors and run-time reports go to standard error\n"
    "  asm   prints the listing of the assembled blocks\n"
    "\n"
    "Options:\n"
    "  --module PATH      the module library; default: $LUMIO_MODULE, else the one next to\n"
    "                     the build tree of this executable (%s)\n"
    "  --workers N        worker threads of `run`, 0 to 256; default: 2\n"
    "  --max-depth N      deepest nesting of calls in `run`, 0 for no limit; default: 10000\n"
    "  --timeout SECONDS  `run` stops the tasks still running after this time, 0 for no\n"
    "                     timeout; default: none\n"
    "\n"
    "Exit status:\n"
    "  0  done; for `run`: the root task finished without an unhandled run-time error\n"
    "  1  an unhandled run-time error ended the program, the timeout passed, or the\n"
    "     module could not be loaded\n"
    "  2  the command line is wrong, the file cannot be read or assembled (\"FILE:LINE:\n"
    "     message\"), or an internal error such as running out of memory ended the command\n";

void print_usage(FILE* stream) { std::fprintf(stream, usage_format, lum_host_module_file_name); }

std::string find_module(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* env = std::getenv("LUMIO_MODULE"); env != nullptr && *env != '\0') return env;
#ifdef LUM_DEFAULT_MODULE_PATH
    if (lum_host_file_readable(LUM_DEFAULT_MODULE_PATH)) return LUM_DEFAULT_MODULE_PATH;
#endif
    const std::string dir = lum_host_executable_dir();
    for (const char* folder : {"/", "/../", "/../lib/"}) {
        std::string path = dir + folder + lum_host_module_file_name;
        if (lum_host_file_readable(path)) return path;
    }
    return lum_host_module_file_name; // let the dynamic loader search
}

int run_info(const std::vector<std::string_view>& args) {
    std::string module_option;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--module" && i + 1 < args.size()) {
            module_option = std::string(args[++i]);
        } else {
            std::fprintf(stderr, "lumio info: unknown argument '%.*s'\n", static_cast<int>(args[i].size()),
                         args[i].data());
            print_usage(stderr);
            return 2;
        }
    }
    try {
        auto module = lum_loaded_module::open(find_module(module_option));
        module->run_initializers();
        std::string text = lum_format_registry(*module);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    } catch (const std::exception& e) {
        lum_host_message("lumio info: " + std::string(e.what()) + "\n");
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    lum_host_binary_console();
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        print_usage(args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string_view command = args[0];
    args.erase(args.begin());
    if (command == "info") return run_info(args);
    if (command == "run") return lum_cmd_run(args, find_module);
    if (command == "asm") return lum_cmd_asm(args, find_module);
    std::fprintf(stderr, "lumio: unknown command '%.*s'\n", static_cast<int>(command.size()), command.data());
    print_usage(stderr);
    return 2;
}
