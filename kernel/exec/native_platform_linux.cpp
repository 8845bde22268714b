// Linux: commands through popen (/bin/sh), libraries through dlopen, the cache
// folder under LUM_KERNEL_CACHE, XDG_CACHE_HOME or ~/.cache.
#include "kernel/exec/native_platform.h"

#if !defined(_WIN32)

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace fs = std::filesystem;

int lumk_platform_run(const std::string& command, std::string* output) {
    if (output) output->clear();
    const std::string line = command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
        if (output && output->size() < 16384) output->append(buf);
    }
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

uint64_t lumk_platform_pid() { return static_cast<uint64_t>(::getpid()); }

std::vector<std::string> lumk_platform_compiler_candidates() { return {"clang", "gcc"}; }

const char* lumk_platform_discard_output() { return " >/dev/null"; }

const char* lumk_platform_library_suffix() { return ".so"; }

std::string lumk_platform_quote(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\' || ch == '$' || ch == '`') out += '\\';
        out += ch;
    }
    out += '"';
    return out;
}

std::string lumk_platform_path_text(const fs::path& path) { return path.string(); }

fs::path lumk_platform_path(const std::string& text) { return fs::path(text); }

fs::path lumk_platform_absolute(const fs::path& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    return ec ? path : abs;
}

namespace {

// mkdir -p with mode 0700 for every folder it creates; true when `dir` is a
// folder afterwards.
bool make_private_dirs(const fs::path& dir) {
    fs::path cur;
    for (const fs::path& part : dir) {
        cur /= part;
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

fs::path candidate_dir() {
    std::string v;
    if (lumk_platform_env("LUM_KERNEL_CACHE", &v) && !v.empty()) return fs::path(v);
    if (lumk_platform_env("XDG_CACHE_HOME", &v) && !v.empty() && fs::path(v).is_absolute())
        return fs::path(v) / "lumioscript" / "kernels";
    if (lumk_platform_env("HOME", &v) && !v.empty()) return fs::path(v) / ".cache" / "lumioscript" / "kernels";
    return {};
}

}  // namespace

fs::path lumk_platform_cache_dir() {
    const fs::path cand = candidate_dir();
    if (!cand.empty() && make_private_dirs(cand)) return cand;

    // Fallback in the shared temporary folder: only a real folder that belongs
    // to us, so nobody can plant a library there for us to load.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec || tmp.empty()) tmp = "/tmp";
    const fs::path dir = tmp / ("lumioscript-kernels-" + std::to_string(lumk_platform_pid()));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return {};
    return dir;
}

void* lumk_platform_open_library(const fs::path& path, std::string* error) {
    // Kernel libraries are not linked against the math library; make its
    // symbols global once so they resolve.
    static std::once_flag libm_once;
    std::call_once(libm_once, [] { ::dlopen("libm.so.6", RTLD_NOW | RTLD_GLOBAL); });
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && error) *error = "cannot load " + path.string();
    return lib;
}

void* lumk_platform_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void lumk_platform_close_library(void* library) { ::dlclose(library); }

#endif  // !_WIN32
