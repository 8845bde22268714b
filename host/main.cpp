// The `lumio` command of the stand-in host.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "host/cmd_run.h"
#include "host/module_loader.h"

namespace {

constexpr const char* usage_text =
    "usage: lumio info [--module PATH]\n"
    "       lumio run FILE.lasm [--workers N] [--max-depth N] [--timeout SECONDS]\n"
    "       lumio asm FILE.lasm\n"
    "The module is found at --module PATH, else $LUMIO_MODULE, else next to the build tree\n"
    "of this executable (liblumio_std.so).\n";

bool file_exists(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }

std::string executable_dir() {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    std::string path(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string find_module(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* env = std::getenv("LUMIO_MODULE"); env != nullptr && *env != '\0') return env;
#ifdef LUM_DEFAULT_MODULE_PATH
    if (file_exists(LUM_DEFAULT_MODULE_PATH)) return LUM_DEFAULT_MODULE_PATH;
#endif
    std::string dir = executable_dir();
    for (const char* candidate : {"/liblumio_std.so", "/../liblumio_std.so", "/../lib/liblumio_std.so"}) {
        std::string path = dir + candidate;
        if (file_exists(path)) return path;
    }
    return "liblumio_std.so"; // let the dynamic loader search
}

int run_info(const std::vector<std::string_view>& args) {
    std::string module_option;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--module" && i + 1 < args.size()) {
            module_option = std::string(args[++i]);
        } else {
            std::fprintf(stderr, "lumio info: unknown argument '%.*s'\n%s", static_cast<int>(args[i].size()),
                         args[i].data(), usage_text);
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
        std::fprintf(stderr, "lumio info: %s\n", e.what());
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(usage_text, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string_view command = args[0];
    args.erase(args.begin());
    if (command == "info") return run_info(args);
    if (command == "run") return lum_cmd_run(args, find_module);
    if (command == "asm") return lum_cmd_asm(args, find_module);
    std::fprintf(stderr, "lumio: unknown command '%.*s'\n%s", static_cast<int>(command.size()), command.data(),
                 usage_text);
    return 2;
}
