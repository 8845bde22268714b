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

namespace {
// One argument as a program's C run-time splits it back: quoted when it
// holds a blank or a quote (or is empty), backslashes doubled before a quote.
std::wstring quote_argument(const std::string& utf8) {
    std::wstring arg(utf8.size(), L'\0');
    arg.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                                         arg.data(), static_cast<int>(arg.size()))));
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}
}  // namespace

int lum_test_run_self(const std::vector<std::string>& arguments, std::string* output) {
    output->clear();
    std::vector<wchar_t> exe(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0 || n >= exe.size()) {
        *output = "the test program's path cannot be read";
        return -1;
    }
    std::wstring line = L"\"" + std::wstring(exe.data(), n) + L"\"";
    for (const std::string& argument : arguments) line += L" " + quote_argument(argument);

    // Its output and error go to one pipe; the read end stays here.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
        *output = "no pipe (error " + std::to_string(::GetLastError()) + ")";
        return -1;
    }
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    // The program is this one, so a start that fails is the system's passing
    // trouble (Wine reports an internal error now and then on a loaded
    // machine), never what a test checks: a few more tries, a moment apart.
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) ::Sleep(200);
        started = ::CreateProcessW(exe.data(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                   nullptr, &si, &pi);
        start_error = started ? 0 : ::GetLastError();
    }
    ::CloseHandle(write_end);
    if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
    if (!started) {
        ::CloseHandle(read_end);
        *output = "the test program cannot be started (error " + std::to_string(start_error) + ")";
        return -1;
    }
    ::CloseHandle(pi.hThread);
    std::string raw;
    char buf[4096];
    for (DWORD got = 0; ::ReadFile(read_end, buf, sizeof buf, &got, nullptr) && got > 0;) raw.append(buf, got);
    ::CloseHandle(read_end);
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    const bool ended = ::GetExitCodeProcess(pi.hProcess, &code) != 0;
    ::CloseHandle(pi.hProcess);
    for (size_t i = 0; i < raw.size(); ++i)
        if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') *output += raw[i];
    return ended ? static_cast<int>(code) : -1;
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
