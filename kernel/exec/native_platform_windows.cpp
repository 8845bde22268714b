// Windows: commands through _popen (the command processor), libraries through
// LoadLibraryW, the cache folder under LUM_KERNEL_CACHE or
// %LOCALAPPDATA%\lumioscript\kernels, else %TEMP%\lumioscript-kernels-<pid>.
#include "kernel/exec/native_platform.h"

#include <process.h>
#include <windows.h>

#include <cstdio>

namespace fs = std::filesystem;

namespace {

// A variable of the process environment as a path, read in UTF-16 so that a
// folder name outside the ANSI code page survives; false when it is not set.
bool env_path(const wchar_t* name, fs::path* value) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        *value = fs::path();
        return true; // set, empty
    }
    std::wstring text(size, L'\0');
    const DWORD n = ::GetEnvironmentVariableW(name, text.data(), size);
    text.resize(n);
    *value = fs::path(text);
    return true;
}

// Creates the folder (and its parents); true when it is a real folder
// afterwards (not a link that someone planted).
bool make_dirs(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return false;
    const DWORD attributes = ::GetFileAttributesW(dir.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

int lumk_platform_run(const std::string& command, std::string* output) {
    if (output) output->clear();
    // _popen runs `cmd.exe /c LINE`, which drops the first and the last
    // quote of a line that starts with one (a quoted compiler path). The
    // outer pair added here is the pair it drops, whatever the line holds.
    const std::string line = "\"" + command + " 2>&1\"";
    FILE* pipe = ::_popen(line.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
        if (output && output->size() < 16384) output->append(buf);
    }
    return ::_pclose(pipe);
}

uint64_t lumk_platform_pid() { return static_cast<uint64_t>(::_getpid()); }

std::vector<std::string> lumk_platform_compiler_candidates() { return {"cl", "clang", "gcc"}; }

const char* lumk_platform_discard_output() { return " >nul"; }

const char* lumk_platform_library_suffix() { return ".dll"; }

// Windows paths cannot hold a double quote, and the command processor reads
// everything else between the quotes literally.
std::string lumk_platform_quote(const std::string& text) { return "\"" + text + "\""; }

std::string lumk_platform_path_text(const fs::path& path) {
    const std::wstring wide = path.wstring();
    if (wide.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

fs::path lumk_platform_path(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return fs::path(wide);
}

fs::path lumk_platform_absolute(const fs::path& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    return ec ? path : abs;
}

fs::path lumk_platform_cache_dir() {
    // LUM_KERNEL_CACHE when set (empty: no candidate, LOCALAPPDATA is not
    // consulted), else %LOCALAPPDATA%\lumioscript\kernels.
    fs::path candidate;
    fs::path value;
    if (env_path(L"LUM_KERNEL_CACHE", &value)) {
        candidate = value;
    } else if (env_path(L"LOCALAPPDATA", &value) && !value.empty()) {
        candidate = value / "lumioscript" / "kernels";
    }
    if (!candidate.empty() && make_dirs(candidate)) return candidate;

    // %TEMP% belongs to the user.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec) tmp.clear();
    const fs::path dir = tmp / ("lumioscript-kernels-" + std::to_string(lumk_platform_pid()));
    return make_dirs(dir) ? dir : fs::path();
}

void* lumk_platform_open_library(const fs::path& path, std::string* error) {
    // No error box for a file that is not a library.
    DWORD old_mode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
    HMODULE lib = ::LoadLibraryW(fs::path(path).make_preferred().c_str());
    ::SetThreadErrorMode(old_mode, nullptr);
    if (lib == nullptr && error) *error = "cannot load " + lumk_platform_path_text(path);
    return reinterpret_cast<void*>(lib);
}

void* lumk_platform_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void lumk_platform_close_library(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }
