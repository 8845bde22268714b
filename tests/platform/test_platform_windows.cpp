#include "tests/platform/test_platform.h"

#include <windows.h>
#include <psapi.h>

#include <clocale>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <vector>

void lum_test_set_env(const char* name, const char* value) { ::_putenv_s(name, value); }
void lum_test_unset_env(const char* name) { ::_putenv_s(name, ""); }

std::string lum_test_make_temp_dir(const std::string& prefix) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const fs::path dir = base / (prefix + std::to_string(::GetCurrentProcessId()) + "_" +
                                     std::to_string(::GetTickCount64() % 100000) + "_" + std::to_string(attempt));
        std::error_code error;
        if (fs::create_directory(dir, error)) return dir.string();
    }
    return {};
}

long lum_test_peak_rss_kib() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

namespace {
// Kernel plus user time of FILETIMEs in 100 ns units, in seconds.
double cpu_seconds(const FILETIME& kernel, const FILETIME& user) {
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
}
}  // namespace

double lum_test_thread_cpu_seconds() {
    FILETIME created, ended, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &ended, &kernel, &user)) return 0;
    return cpu_seconds(kernel, user);
}

double lum_test_process_cpu_seconds() {
    FILETIME created, ended, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    return cpu_seconds(kernel, user);
}

uint32_t lum_test_os_thread_id() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

bool lum_test_use_decimal_comma_locale() {
    // The system's German locale writes numbers with a decimal comma.
    return std::setlocale(LC_NUMERIC, "German_Germany.1252") != nullptr;
}

void lum_test_restore_c_numeric_locale() { std::setlocale(LC_NUMERIC, "C"); }

std::string lum_test_narrow_path(const std::filesystem::path& path) {
    const std::wstring wide = path.wstring();
    if (wide.empty()) return {};
    BOOL lossy = FALSE;
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        &lossy);
    if (n <= 0 || lossy) return {};
    std::string narrow(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::string lum_test_self_path() {
    std::vector<wchar_t> buf(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    return n == 0 ? std::string() : lum_test_narrow_path(std::filesystem::path(std::wstring(buf.data(), n)));
}

int lum_test_capture(const std::string& command_line, std::string* output) {
    output->clear();
    // cmd.exe /c drops the first and the last quote of a line that starts
    // with one: the outer pair added here is the pair it drops.
    FILE* pipe = ::_popen(("\"" + command_line + "\"").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) *output += buf;
    return ::_pclose(pipe);
}

std::string lum_test_quote(const std::string& argument) {
    return "\"" + std::filesystem::path(argument).make_preferred().string() + "\"";
}

int lum_test_run_command(const std::string& dir, const std::string& command_line, const std::string& out_file,
                         const std::string& err_file) {
    // cmd.exe /c keeps the line's quotes as they are when it does not start
    // with one.
    const std::string command = "cd /d " + lum_test_quote(dir) + " && " + command_line + " >" +
                                lum_test_quote(out_file) + " 2>" + lum_test_quote(err_file) + " <nul";
    return std::system(command.c_str());
}
