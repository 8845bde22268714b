// The native kernel driver's Windows side: commands through the command
// processor or started by themselves, outside the host's current folder, the
// compiler probe order, the MSVC-style command line with its clean-up, cache
// folders outside the ANSI code page or holding a '%', PATH entries, the
// search path of a kernel library's imports, runs that are stopped or outlive
// their command processor, the cache folder (LOCALAPPDATA, TEMP, wide folder
// names, its owner and access rules, device names), the checks before a
// cached library is loaded and the library messages with the system's
// reasons in UTF-8. Compiles need a C compiler for Windows; without one
// (as under Wine) a kernel's native code fails with the no-compiler message.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cwctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "kernel/exec/jit_source.h"
#include "kernel/exec/library_seal.h"
#include "kernel/exec/native_access_windows.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/native_platform.h"
#include "kernel/exec/pe_image.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/checker_test_util.h"
#include "tests/kernel/pe_test_image.h"
#include "tests/platform/test_platform.h"

namespace fs = std::filesystem;

namespace {

std::wstring env_w(const wchar_t* name, bool* set) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    *set = size != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    std::wstring value(size, L'\0');
    const DWORD n = ::GetEnvironmentVariableW(name, value.data(), size);
    value.resize(n);
    return value;
}

// Sets process environment variables for one test (the C library's copy
// too) and restores them.
struct env_scope {
    std::vector<std::pair<std::wstring, std::pair<bool, std::wstring>>> saved;
    void keep(const wchar_t* name) {
        for (const auto& s : saved)
            if (s.first == name) return;
        bool was_set = false;
        std::wstring old = env_w(name, &was_set);
        saved.push_back({name, {was_set, old}});
    }
    void set(const wchar_t* name, const std::wstring& value) {
        keep(name);
        ::_wputenv_s(name, value.c_str());
        ::SetEnvironmentVariableW(name, value.c_str()); // also when empty (_wputenv_s removes it then)
    }
    // The folder's commands found first.
    void prepend_path(const fs::path& dir) {
        bool was_set = false;
        set(L"PATH", dir.wstring() + L";" + env_w(L"PATH", &was_set));
    }
    void unset(const wchar_t* name) {
        keep(name);
        ::_wputenv_s(name, L"");
        ::SetEnvironmentVariableW(name, nullptr);
    }
    ~env_scope() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second.first) {
                ::_wputenv_s(it->first.c_str(), it->second.second.c_str());
                ::SetEnvironmentVariableW(it->first.c_str(), it->second.second.c_str());
            } else {
                ::_wputenv_s(it->first.c_str(), L"");
                ::SetEnvironmentVariableW(it->first.c_str(), nullptr);
            }
        }
    }
};

fs::path temp_dir(const char* tag) { return fs::path(lum_test_make_temp_dir(std::string("lumk-") + tag + "-")); }

void write_file(const fs::path& path, const std::string& text) {
    FILE* f = ::_wfopen(path.c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::string read_file(const fs::path& path) {
    std::string bytes;
    if (FILE* f = ::_wfopen(path.c_str(), L"rb")) {
        char buf[4096];
        for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, got);
        std::fclose(f);
    }
    return bytes;
}

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> v;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) v.push_back(e.path());
    return v;
}

std::string narrow(const fs::path& p) { return lumk_platform_path_text(p); }

// The system's text for an error code as messages give it: its UTF-16 text
// in UTF-8, without the full stop and line end.
std::string system_reason(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", n);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'.' || text.back() == L'\x3002' || std::iswspace(text.back())))
        text.pop_back();
    return narrow(fs::path(text));
}

bool valid_utf8(const std::string& text) {
    return text.empty() || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                 static_cast<int>(text.size()), nullptr, 0) > 0;
}

// The last line of a failed probe's status on Windows.
const std::string full_paths_hint = "(on Windows file arguments in LUM_KERNEL_CC must be full paths: the probe starts "
                                    "in the system folder, compiles in the cache folder)";

std::wstring system_folder() {
    wchar_t system[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system, n < MAX_PATH ? n : 0);
}

// ---- child processes: the toolchain is chosen once per process ----

// Runs this test program again with LUM_WIN_CHILD=scenario, started by
// itself (no command processor, which now and then fails to find the program
// on a busy machine) in this process's current folder (the module starts its
// commands elsewhere); returns the exit status and what the scenario printed.
int run_child(const std::string& scenario, std::string* output) {
    env_scope env;
    env.set(L"LUM_WIN_CHILD", std::wstring(scenario.begin(), scenario.end()));
    const int status = lum_test_run_self({"--gtest_filter=NativeWindows.LibraryMessages"}, output);
    const size_t mark = output->find("--child--\n");
    if (mark != std::string::npos) output->erase(0, mark + 10);
    return status;
}

// Compiles a kernel on this thread and prints its status, then the driver's
// warnings. With `blocked`, a folder holding a file first stands under the
// name the compile's C file gets; with `move`, the toolchain is chosen first
// and the process then changes to the folder LUM_WIN_MOVE_TO.
int child_sync(bool blocked = false, bool move = false) {
    static std::vector<std::string> warnings;
    lumk_set_warning_sink([](const std::string& text) { warnings.push_back(text); });
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    if (move) {
        bool set = false;
        if (lumk_jit_compiler().empty() || !::SetCurrentDirectoryW(env_w(L"LUM_WIN_MOVE_TO", &set).c_str())) return 6;
    }
    ktest::compiled c = ktest::compile("kernel twice(i32* o) { o[gid] = i32(gid) * 2; }");
    if (!c.ok()) return 4;
    const lumk_program* p = c.unit->programs[0].get();
    if (blocked) {
        // Every name the compile may choose for its C file (the random part
        // fixed), each taken by a folder that cannot be removed.
        lumk_jit_set_random_for_tests([] { return uint64_t{0x5eed}; });
        const uint64_t hash = lumk_jit_file_hash(lumk_jit_compiler(), std::string(lumk_jit_flags_cc) + " " + lumk_jit_libs_cc,
                                                 lumk_jit_source(*p));
        bool set = false;
        const fs::path cache = env_w(L"LUM_KERNEL_CACHE", &set);
        for (int count = 0; count < 8; ++count) {
            char name[80];
            std::snprintf(name, sizeof name, "k_%016llx.%d.%016llx.c", static_cast<unsigned long long>(hash), count,
                          0x5eedull);
            std::error_code ec;
            fs::create_directories(cache / name, ec);
            FILE* f = ::_wfopen((cache / name / "inside").c_str(), L"wb");
            if (f == nullptr) return 5;
            std::fclose(f);
        }
    }
    lumk_jit_request(c.unit, p, nullptr);
    std::printf("status=%s\n", lumk_jit_status(p).c_str());
    for (const std::string& w : warnings) std::printf("warning: %s\n", w.c_str());
    return 0;
}

class child_scenarios : public ::testing::Environment {
public:
    void SetUp() override {
        const char* which = std::getenv("LUM_WIN_CHILD");
        if (which == nullptr) return;
        std::printf("--child--\n");
        int rc = 2;
        if (std::string(which) == "sync") rc = child_sync();
        if (std::string(which) == "blocked_source") rc = child_sync(true);
        if (std::string(which) == "move") rc = child_sync(false, true);
        std::fflush(stdout);
        std::_Exit(rc);
    }
};
[[maybe_unused]] ::testing::Environment* const child_env = ::testing::AddGlobalTestEnvironment(new child_scenarios);

// A batch file standing in for a compiler.
void write_batch(const fs::path& path, const std::string& body) { write_file(path, "@echo off\r\n" + body); }

// ---- this test program as a stand-in compiler ----

// Named gcc.exe, the program reads its arguments in the ANSI code page, as
// a MinGW gcc does; named cl.exe, in UTF-16, as MSVC's cl does. It answers
// its probe ("--version", "/nologo /?") and, given a C file that is there,
// writes a kernel library where "-o" ("/Fe") says. -1 under any other name.
int standin_compiler() {
    wchar_t exe[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, exe, 32768);
    const std::wstring stem = n == 0 ? L"" : fs::path(exe).stem().wstring();
    std::vector<std::wstring> args;
    if (stem == L"gcc") {
        for (int i = 1; i < __argc; ++i) {
            const int size = ::MultiByteToWideChar(CP_ACP, 0, __argv[i], -1, nullptr, 0);
            std::wstring arg(static_cast<size_t>(std::max(size, 1)), L'\0');
            ::MultiByteToWideChar(CP_ACP, 0, __argv[i], -1, arg.data(), size);
            arg.resize(arg.size() - 1);
            args.push_back(arg);
        }
    } else if (stem == L"cl") {
        int count = 0;
        LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
        for (int i = 1; i < count; ++i) args.emplace_back(wide[i]);
        ::LocalFree(wide);
    } else {
        return -1;
    }
    // the probe, after any options the compiler's command holds
    const size_t n_args = args.size();
    if ((n_args >= 1 && args[n_args - 1] == L"--version") ||
        (n_args >= 2 && args[n_args - 2] == L"/nologo" && args[n_args - 1] == L"/?"))
        return 0;
    fs::path out, source;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"-o" && i + 1 < args.size()) out = args[++i];
        else if (args[i].rfind(L"/Fe", 0) == 0) out = args[i].substr(3);
        else if (args[i].ends_with(L".c")) source = args[i];
    }
    std::error_code ec;
    if (out.empty() || !fs::is_regular_file(source, ec)) {
        std::printf("stand-in: no C file [%s]\n", lumk_platform_path_text(source).c_str());
        return 1;
    }
    const std::vector<unsigned char> dll = petest::dll_with_entry();
    FILE* f = ::_wfopen(out.c_str(), L"wb");
    const bool written = f != nullptr && std::fwrite(dll.data(), 1, dll.size(), f) == dll.size();
    if (f != nullptr) std::fclose(f);
    return written ? 0 : 1;
}
[[maybe_unused]] const int standin_status = [] {
    const int rc = standin_compiler();
    if (rc < 0) return 0;
    std::fflush(stdout);
    std::_Exit(rc);
}();

// This test program as the stand-in `name` in `folder` (a link to it where
// the file system allows, else a copy).
fs::path standin(const fs::path& folder, const char* name) {
    fs::create_directories(folder);
    wchar_t exe[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, exe, 32768);
    const fs::path to = folder / name;
    if (n != 0 && !::CreateHardLinkW(to.c_str(), exe, nullptr)) fs::copy_file(exe, to);
    return to;
}

// Removes a test's folder as far as it goes: a stand-in linked to this
// running program, or a library the loader still maps, stays.
void remove_quietly(const fs::path& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// The kernel libraries (k_*.dll) in a folder.
std::vector<fs::path> libraries_in(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const fs::path& p : files_in(dir))
        if (p.filename().wstring().rfind(L"k_", 0) == 0 && p.extension() == ".dll") found.push_back(p);
    return found;
}

}  // namespace

TEST(NativeWindows, CommandProcessorTakesQuotedArgumentsLiterally) {
    const fs::path dir = temp_dir("cmd") / fs::path(u8"dir & (ü) ^x");
    fs::create_directories(dir);
    const fs::path say = dir / "say.cmd";
    write_batch(say, "echo [%1] [%2]\r\nexit /b 4\r\n");
    std::string out = "stale";
    // the program's own path is quoted too: the line starts with a quote
    EXPECT_EQ(lumk_run_command(lumk_quote(narrow(say)) + " " + lumk_quote("a & b | c > d ^ e") + " two", &out), 4);
    EXPECT_EQ(out, "[\"a & b | c > d ^ e\"] [two]\n");

    EXPECT_EQ(lumk_run_command("exit 3", &out), 3);
    EXPECT_TRUE(out.empty());
    // error output joins the output
    const fs::path both = dir / "both.cmd";
    write_batch(both, "echo to-stderr>&2\r\necho to-stdout\r\n");
    EXPECT_EQ(lumk_run_command(lumk_quote(narrow(both)), &out), 0);
    EXPECT_EQ(out, "to-stderr\nto-stdout\n");

    // output is kept up to about 16 KB; the rest is read and dropped
    const fs::path many = dir / "many.cmd";
    write_batch(many, "for /L %%i in (1,1,3000) do echo 0123456789\r\n");
    EXPECT_EQ(lumk_run_command(lumk_quote(narrow(many)), &out), 0);
    EXPECT_GE(out.size(), 16384u);
    EXPECT_LE(out.size(), 16384u + 512u);
    EXPECT_EQ(out.substr(0, 11), "0123456789\n");
    fs::remove_all(dir.parent_path());
}

TEST(NativeWindows, CompilerProbeOrderIsClClangGcc) {
    const fs::path dir = temp_dir("probe");
    env_scope env;
    env.unset(L"LUM_KERNEL_CC");
    env.set(L"PATH", dir.wstring()); // only the stand-ins (and the command processor's own commands)
    EXPECT_EQ(lumk_find_compiler(), "");
    write_batch(dir / "gcc.cmd", "if \"%~1\"==\"--version\" exit /b 0\r\nexit /b 1\r\n");
    EXPECT_EQ(lumk_find_compiler(), "gcc");
    write_batch(dir / "clang.cmd", "if \"%~1\"==\"--version\" exit /b 0\r\nexit /b 1\r\n");
    EXPECT_EQ(lumk_find_compiler(), "clang");
    // cl is probed MSVC-style: "cl /nologo /?"
    write_batch(dir / "cl.cmd", "if \"%~1\"==\"--version\" exit /b 0\r\nexit /b 1\r\n");
    EXPECT_EQ(lumk_find_compiler(), "clang");
    write_batch(dir / "cl.cmd", "if \"%~1 %~2\"==\"/nologo /?\" exit /b 0\r\nexit /b 1\r\n");
    EXPECT_EQ(lumk_find_compiler(), "cl");
    // LUM_KERNEL_CC set: that compiler or none
    env.set(L"LUM_KERNEL_CC", L"gcc");
    EXPECT_EQ(lumk_find_compiler(), "gcc");
    env.set(L"LUM_KERNEL_CC", L"nosuchcc");
    EXPECT_EQ(lumk_find_compiler(), "");
    // blanks or quotes only (`set LUM_KERNEL_CC=""` gives two quotes): as
    // empty, nothing probed
    for (const wchar_t* empty : {L"   ", L"\"\"", L" \"\" "}) {
        std::string failure = "stale";
        env.set(L"LUM_KERNEL_CC", empty);
        EXPECT_EQ(lumk_find_compiler(10, {}, nullptr, &failure), "");
        EXPECT_EQ(failure, "") << narrow(fs::path(empty));
    }
    fs::remove_all(dir);
}

// A compiler of the probe order that is there but cannot be started (a batch
// file in a folder whose paths both hold a '%') is passed over with its
// reason as a warning; one that fails its probe, or is not there, without.
TEST(NativeWindows, ProbeOrderSaysWhyACompilerThatIsThereIsNotUsed) {
    const fs::path dir = temp_dir("refused");
    const fs::path percent = dir / "p%OS%q";
    fs::create_directories(percent);
    fs::create_directories(dir / "plain");
    write_batch(percent / "gcc.cmd", "exit /b 0\r\n");
    write_batch(dir / "plain" / "cl.cmd", "exit /b 1\r\n");
    env_scope env;
    env.unset(L"LUM_KERNEL_CC");
    env.set(L"LUM_KERNEL_CACHE", (dir / "cache").wstring());
    env.set(L"PATH", (dir / "plain").wstring() + L";" + percent.wstring());
    const std::string refused = "C compiler gcc is not used: " + narrow(percent / "gcc.cmd") +
                                " cannot be run: its path holds a '%', which the command processor would expand, and "
                                "it has no short (8.3) path without one";
    std::vector<std::string> warnings;
    EXPECT_EQ(lumk_find_compiler(10, {}, nullptr, nullptr, &warnings), "");
    EXPECT_EQ(warnings, std::vector<std::string>{refused});
    // a compile's status, and the warning in the module's log
    std::string out;
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=failed: no C compiler found (set LUM_KERNEL_CC)\nwarning: " + refused + "\n");
    remove_quietly(dir);
}

TEST(NativeWindows, CacheFolderChoice) {
    const fs::path dir = temp_dir("cache");
    const fs::path local = dir / fs::path(u8"Benutzer Jürgen ☃");
    const std::string pid_folder = "lumioscript-kernels-" + std::to_string(::GetCurrentProcessId());
    env_scope env;
    env.unset(L"LUM_KERNEL_CACHE");
    env.set(L"LOCALAPPDATA", local.wstring());
    EXPECT_EQ(lumk_cache_dir(), local / "lumioscript" / "kernels");
    EXPECT_TRUE(fs::is_directory(local / "lumioscript" / "kernels"));

    env.set(L"LUM_KERNEL_CACHE", (dir / "a" / "b").wstring());
    EXPECT_EQ(lumk_cache_dir(), dir / "a" / "b");
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b"));

    // set but empty: no candidate, LOCALAPPDATA is not consulted
    env.set(L"LUM_KERNEL_CACHE", L"");
    env.set(L"TEMP", (dir / "temp").wstring());
    env.set(L"TMP", (dir / "temp").wstring());
    fs::create_directories(dir / "temp");
    fs::path got = lumk_cache_dir();
    EXPECT_EQ(got.filename().string(), pid_folder);
    EXPECT_TRUE(fs::equivalent(got.parent_path(), dir / "temp"));
    EXPECT_TRUE(fs::is_directory(got));

    // no LOCALAPPDATA, or a candidate that cannot be made: the TEMP folder
    env.unset(L"LUM_KERNEL_CACHE");
    env.unset(L"LOCALAPPDATA");
    EXPECT_EQ(lumk_cache_dir().filename().string(), pid_folder);
    // a LOCALAPPDATA that is not a full path is not the current folder's
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    env.set(L"LOCALAPPDATA", L".");
    EXPECT_EQ(lumk_cache_dir().filename().string(), pid_folder);
    fs::current_path(before);
    EXPECT_FALSE(fs::exists(dir / "lumioscript"));
    env.unset(L"LOCALAPPDATA");
    // a device's name, a folder name that ends in a space before the last:
    // refused with the reason, nothing made
    const std::string device = " is not used: it names a device, not a folder";
    for (const auto& [given, why] : {std::pair{std::wstring(L"NUL"), device}, {(dir / "aux.txt").wstring(), device},
                                     {(dir / "mid " / "k").wstring(), " is not used: the folder name \"mid \" on "
                                                                      "its path ends in a space or a dot"}}) {
        env.set(L"LUM_KERNEL_CACHE", given);
        std::vector<std::string> warnings;
        EXPECT_EQ(lumk_cache_dir(&warnings).filename().string(), pid_folder);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(why), std::string::npos) << warnings[0];
    }
    EXPECT_FALSE(fs::exists(dir / "mid"));
    env.unset(L"LUM_KERNEL_CACHE");
    write_file(dir / "file", "x");
    env.set(L"LUM_KERNEL_CACHE", (dir / "file" / "sub").wstring());
    got = lumk_cache_dir();
    EXPECT_EQ(got.filename().string(), pid_folder);
    EXPECT_TRUE(fs::equivalent(got.parent_path(), dir / "temp"));
    fs::remove_all(dir);
}

// Without a temporary folder (TMP and TEMP missing, relative, or naming no
// folder) and no other candidate there is no cache folder: nothing is made
// in the host's current folder, and a compile says there is no folder.
TEST(NativeWindows, NoCacheFolderWithoutATemporaryFolder) {
    const fs::path dir = temp_dir("notemp");
    const fs::path cwd = dir / "cwd";
    fs::create_directories(cwd / "tmp");  // what a relative "tmp" would name
    env_scope env;
    env.unset(L"LUM_KERNEL_CACHE");
    env.unset(L"LOCALAPPDATA");
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(standin(dir / "bin", "gcc.exe")))));
    const fs::path before = fs::current_path();
    fs::current_path(cwd);
    for (const std::wstring& temp : {std::wstring(), std::wstring(L"tmp"), std::wstring(L"NUL"),
                                     (dir / "nonexistent" / "tmp").wstring(), (dir / "bin" / "gcc.exe").wstring()}) {
        if (temp.empty()) {
            env.unset(L"TMP");
            env.unset(L"TEMP");
        } else {
            env.set(L"TMP", temp);
            env.set(L"TEMP", temp);
        }
        std::vector<std::string> warnings;
        bool temporary = true;
        EXPECT_EQ(lumk_cache_dir(&warnings, &temporary), fs::path()) << narrow(temp);
        EXPECT_FALSE(temporary);
    }
    std::string out;
    const int status = run_child("sync", &out);  // TMP and TEMP: the file gcc.exe
    env.set(L"TMP", L"tmp");
    env.set(L"TEMP", L"tmp");
    std::string relative;
    const int relative_status = run_child("sync", &relative);
    fs::current_path(before);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "status=failed: no directory for compiled kernels (set LUM_KERNEL_CACHE)\n");
    EXPECT_EQ(relative_status, 0) << relative;
    EXPECT_EQ(relative, "status=failed: no directory for compiled kernels (set LUM_KERNEL_CACHE)\n");
    EXPECT_EQ(files_in(cwd), std::vector<fs::path>{cwd / "tmp"});
    EXPECT_TRUE(files_in(cwd / "tmp").empty());
    EXPECT_FALSE(fs::exists(dir / "nonexistent"));
    remove_quietly(dir);
}

TEST(NativeWindows, LibraryMessages) {
    wchar_t system[MAX_PATH];
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const fs::path kernel32 = fs::path(system) / "kernel32.dll";
    std::string error;
    EXPECT_EQ(lumk_load_jit_library(kernel32, &error), nullptr);
    EXPECT_EQ(error, "lumk_jit_entry not found in " + narrow(kernel32));
    // with the system's reason
    const fs::path missing = temp_dir("lib") / fs::path(u8"fehlt-ü.dll");
    EXPECT_EQ(lumk_load_jit_library(missing, &error), nullptr);
    EXPECT_EQ(error, "cannot load " + narrow(missing) + " (" + system_reason(ERROR_FILE_NOT_FOUND) + ")");
    EXPECT_EQ(lumk_aot_load(narrow(kernel32), &error), -1);
    EXPECT_EQ(error, narrow(kernel32) + " is not a kernel library (no lumk_aot_table, build it with -DLUMK_AOT_SHARED)");
    EXPECT_EQ(lumk_aot_load("no\\such\\lib.dll", &error), -1);
    EXPECT_EQ(error.rfind("cannot load no\\such\\lib.dll (", 0), 0u) << error;
    EXPECT_EQ(error.back(), ')');
    fs::remove_all(missing.parent_path());
}

TEST(NativeWindows, MsvcCommandLineAndCleanUp) {
    // A stand-in "cl" that answers the probe, leaves the MSVC by-products
    // next to the source and fails.
    const fs::path dir = temp_dir("msvc");
    const fs::path cache = dir / fs::path(u8"cache ü");
    write_batch(dir / "cl.cmd",
                "if \"%~1 %~2\"==\"/nologo /?\" exit /b 0\r\n"
                "type nul > \"%~dpn6.obj\"\r\ntype nul > \"%~dpn6.lib\"\r\ntype nul > \"%~dpn6.exp\"\r\n"
                "echo cl-failed\r\nexit /b 2\r\n");
    env_scope env;
    env.prepend_path(dir);
    env.set(L"LUM_KERNEL_CC", L"cl");
    env.set(L"LUM_KERNEL_CACHE", cache.wstring());
    std::string out;
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    const std::string c = narrow(cache) + "\\k_";
    const std::string head = "status=failed: C compiler failed (cl /nologo /O2 /fp:precise /LD /w \"" + c;
    EXPECT_EQ(out.substr(0, head.size()), head) << out;
    // ... "<cache>\k_<hash>.<n>.<pid>.c" /Fe"<...>.dll" /Fo"<...>.obj"):\ncl-failed\n
    EXPECT_NE(out.find(".c\" /Fe\"" + c), std::string::npos) << out;
    EXPECT_NE(out.find(".dll\" /Fo\"" + c), std::string::npos) << out;
    EXPECT_NE(out.find(".obj\"):\ncl-failed\n"), std::string::npos) << out;
    EXPECT_TRUE(files_in(cache).empty()); // .c, .obj, .lib and .exp removed

    // no compiler at all: the kernel keeps running on the interpreters
    env.set(L"PATH", dir.wstring() + L"\\none");
    env.unset(L"LUM_KERNEL_CC");
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=failed: no C compiler found (set LUM_KERNEL_CC)\n");
    fs::remove_all(dir);
}

namespace {

// The process's user as SDDL text ("S-1-5-21-...").
std::wstring my_sid() {
    HANDLE token = nullptr;
    unsigned char info[512];
    DWORD size = 0;
    LPWSTR sid = nullptr;
    std::wstring text;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
        ::GetTokenInformation(token, TokenUser, info, sizeof info, &size) &&
        ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &sid))
        text = sid;
    ::LocalFree(sid);
    ::CloseHandle(token);
    return text;
}

PSID sid_of(const std::wstring& text) {
    PSID sid = nullptr;
    ::ConvertStringSidToSidW(text.c_str(), &sid);
    return sid;  // LocalFree'd by the caller
}

// A security descriptor from SDDL text, judged for the user `user`.
std::string judge(const std::wstring& sddl, const std::wstring& user,
                  lumk_access_scope scope = lumk_access_scope::itself) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return "bad test descriptor";
    PSID me = sid_of(user);
    std::string why = lumk_windows_access_problem(sd, me, scope);
    ::LocalFree(me);
    ::LocalFree(sd);
    return why;
}

// Owned by `user`, with an access list holding one rule laid out by hand
// (the kinds SDDL text cannot give everywhere): header, rights, the object
// kinds' flags word, the SID of everybody, of which `cut` bytes are left
// out; no access list at all when `type` < 0.
std::string judge_rule(int type, DWORD rights, const std::wstring& user, DWORD cut = 0) {
    PSID me = sid_of(user), world = sid_of(L"S-1-1-0");
    SECURITY_DESCRIPTOR sd;
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorOwner(&sd, me, FALSE);
    alignas(8) unsigned char acl[256] = {};
    ::InitializeAcl(reinterpret_cast<PACL>(acl), sizeof acl, ACL_REVISION_DS);
    const bool object = type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
    unsigned char* ace = acl + sizeof(ACL);
    const DWORD sid_at = sizeof(ACE_HEADER) + sizeof(DWORD) * (object ? 2 : 1);
    ace[0] = static_cast<BYTE>(type);
    const WORD size = static_cast<WORD>(sid_at + ::GetLengthSid(world) - cut);
    std::memcpy(ace + 2, &size, sizeof size);
    std::memcpy(ace + sizeof(ACE_HEADER), &rights, sizeof rights);
    ::CopySid(::GetLengthSid(world), ace + sid_at, world);
    reinterpret_cast<PACL>(acl)->AceCount = 1;  // placed by hand: AddAce may refuse a damaged rule
    ::SetSecurityDescriptorDacl(&sd, TRUE, type < 0 ? nullptr : reinterpret_cast<PACL>(acl), FALSE);
    std::string why = lumk_windows_access_problem(&sd, me);
    ::LocalFree(me);
    ::LocalFree(world);
    return why;
}

// Gives a folder or file the access list of the SDDL text (only its own rules).
bool set_dacl(const fs::path& path, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr) ||
        !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted))
        return false;
    std::wstring name = path.wstring();
    const DWORD rc = ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, dacl, nullptr);
    ::LocalFree(sd);
    return rc == ERROR_SUCCESS;
}

// A folder's or file's access list as SDDL text ("D:...").
std::string dacl_of(const fs::path& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    LPWSTR text = nullptr;
    std::string out = "unreadable";
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &sd) == ERROR_SUCCESS &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                               nullptr))
        out = narrow(fs::path(text));
    ::LocalFree(text);
    ::LocalFree(sd);
    return out;
}

// Loads through the cache's checks; "" when it loaded (and is unloaded
// again), else the refusal ("-" when it failed without one).
std::string load_checked(const fs::path& path, std::string* error = nullptr) {
    std::string err, refused;
    void* lib = lumk_platform_open_private_library(path, &err, &refused);
    if (error) *error = err;
    if (lib != nullptr) lumk_platform_close_library(lib);
    return lib != nullptr ? "" : refused.empty() ? "-" : refused;
}

}  // namespace

TEST(NativeWindows, AccessRulesOfSecurityDescriptors) {
    const std::wstring me = L"S-1-5-21-1000-2000-3000-1001", other = L"S-1-5-21-1000-2000-3000-1234";
    const std::wstring mine = L"(A;OICI;FA;;;" + me + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    // Owned by the user or the system, full access for them only.
    for (const std::wstring& owner : {me, std::wstring(L"SY"), std::wstring(L"BA"),
                                     std::wstring(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")})
        EXPECT_EQ(judge(L"O:" + owner + L"D:P" + mine, me), "") << narrow(fs::path(owner));
    EXPECT_EQ(judge(L"O:" + other + L"D:P" + mine, me), "it belongs to another user (S-1-5-21-1000-2000-3000-1234)");
    EXPECT_EQ(judge(L"D:P" + mine, me), "it has no owner");
    // No access list lets everybody in; an empty one only the owner.
    EXPECT_EQ(judge_rule(-1, 0, me), "it has no access list, so everybody may change it");
    EXPECT_EQ(judge(L"O:" + me, me), "it has no access list, so everybody may change it");
    EXPECT_EQ(judge(L"O:" + me + L"D:P", me), "");

    // Others may read and run it and change its attributes; each right that
    // changes the contents, the entries, the rules or the owner is refused,
    // also when only inherited by what is made inside.
    EXPECT_EQ(judge(L"O:" + me + L"D:" + mine + L"(A;OICI;0x1200a9;;;WD)(A;;FR;;;BU)(A;;0x110;;;AU)", me), "");
    for (const wchar_t* right : {L"0x2", L"0x4", L"0x40", L"0x10000", L"0x40000", L"0x80000", L"GW", L"GA"})
        EXPECT_EQ(judge(L"O:" + me + L"D:" + mine + L"(A;;" + right + L";;;WD)", me),
                  "it is writable by everybody (S-1-1-0)")
            << narrow(fs::path(right));
    EXPECT_EQ(judge(L"O:" + me + L"D:(A;OICIIO;FW;;;AU)", me), "it is writable by all signed-in users (S-1-5-11)");
    EXPECT_EQ(judge(L"O:" + me + L"D:(A;;0x2;;;BU)", me), "it is writable by the Users group (S-1-5-32-545)");
    EXPECT_EQ(judge(L"O:" + me + L"D:(A;;FA;;;" + other + L")", me),
              "it is writable by another user or group (S-1-5-21-1000-2000-3000-1234)");
    // The owner's placeholders stand for a trusted owner; deny rules take
    // rights away only.
    EXPECT_EQ(judge(L"O:" + me + L"D:(A;OICIIO;GA;;;CO)(A;;FA;;;OW)(D;;FA;;;WD)", me), "");
    // Conditional rules are read like plain ones; object rules that allow
    // writing cannot be judged; a rule too short for its SID is damaged.
    EXPECT_EQ(judge_rule(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_WRITE_DATA, me), "it is writable by everybody (S-1-1-0)");
    EXPECT_EQ(judge_rule(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_GENERIC_READ, me), "");
    EXPECT_EQ(judge_rule(ACCESS_ALLOWED_OBJECT_ACE_TYPE, DELETE, me),
              "its access list has a rule of a kind not checked here (type 5)");
    EXPECT_EQ(judge_rule(ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_GENERIC_READ, me), "");
    EXPECT_EQ(judge_rule(ACCESS_ALLOWED_ACE_TYPE, FILE_GENERIC_READ, me, 4), "its access list cannot be read");
}

// A folder on the path to the cache folder may let others add entries (as a
// drive's root does), but not rename or remove what is in it, remove it, or
// change its rules or owner; rules only inherited by what is made inside do
// not apply to it.
TEST(NativeWindows, AccessRulesOfFoldersOnThePath) {
    const std::wstring me = L"S-1-5-21-1000-2000-3000-1001", other = L"S-1-5-21-1000-2000-3000-1234";
    const auto path = lumk_access_scope::path_folder;
    const std::wstring base = L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    EXPECT_EQ(judge(base + L"(A;;0x4;;;AU)(A;OICIIO;SDGWGR;;;AU)(A;;GW;;;WD)", me, path), "");
    EXPECT_EQ(judge(base + L"(A;OICIIO;SDGWGR;;;AU)", me), "it is writable by all signed-in users (S-1-5-11)");
    for (const wchar_t* right : {L"0x40", L"0x10000", L"0x40000", L"0x80000", L"GA"})
        EXPECT_EQ(judge(base + L"(A;;" + right + L";;;WD)", me, path),
                  "it lets everybody (S-1-1-0) rename or remove what is in it")
            << narrow(fs::path(right));
    EXPECT_EQ(judge(L"O:" + other + L"D:P(A;;FA;;;" + other + L")", me, path),
              "it belongs to another user (S-1-5-21-1000-2000-3000-1234)");
    EXPECT_EQ(judge(L"O:" + me, me, path), "it has no access list, so everybody may change it");
}

TEST(NativeWindows, CacheFolderOwnerAndAccessRules) {
    const std::wstring me = my_sid();
    ASSERT_FALSE(me.empty());
    const fs::path dir = temp_dir("acl");
    env_scope env;
    env.set(L"TEMP", (dir / "temp").wstring());
    env.set(L"TMP", (dir / "temp").wstring());
    fs::create_directories(dir / "temp");

    // Folders made for the cache, parents included, give access to the
    // user, the system and the administrators only.
    const fs::path made = dir / "made" / "kernels";
    env.set(L"LUM_KERNEL_CACHE", made.wstring());
    std::vector<std::string> warnings;
    EXPECT_EQ(lumk_cache_dir(&warnings), made);
    EXPECT_TRUE(warnings.empty());
    for (const fs::path& folder : {made, made.parent_path()}) {
        EXPECT_EQ(dacl_of(folder).find(";WD)"), std::string::npos) << dacl_of(folder);
        EXPECT_NE(dacl_of(folder).find(narrow(fs::path(me))), std::string::npos) << dacl_of(folder);
    }

    // A folder anybody may write to is not used, the process's own temporary
    // folder is; read access for everybody is fine.
    const fs::path open_dir = dir / "open";
    fs::create_directories(open_dir);
    ASSERT_TRUE(set_dacl(open_dir, L"D:P(A;OICI;FA;;;" + me + L")(A;OICI;FA;;;WD)"));
    env.set(L"LUM_KERNEL_CACHE", open_dir.wstring());
    warnings.clear();
    bool temporary = false;
    EXPECT_TRUE(fs::equivalent(lumk_cache_dir(&warnings, &temporary).parent_path(), dir / "temp"));
    EXPECT_TRUE(temporary);
    EXPECT_EQ(warnings, std::vector<std::string>{"kernel cache folder " + narrow(open_dir) +
                                                 " is not used: it is writable by everybody (S-1-1-0)"});
    ASSERT_TRUE(set_dacl(open_dir, L"D:P(A;OICI;FA;;;" + me + L")(A;OICI;0x1200a9;;;WD)"));
    EXPECT_EQ(lumk_cache_dir(), open_dir);

    // A folder above it that lets others remove what is in it makes the
    // cache folder unsafe, however private the folder is. (Which rights
    // count is checked on descriptors above: Wine keeps only what the file
    // modes can hold, so here it is all rights or reading.)
    const fs::path above = dir / "above", below = above / "mine" / "kernels";
    fs::create_directories(below);
    ASSERT_TRUE(set_dacl(above, L"D:P(A;OICI;FA;;;" + me + L")(A;;FA;;;WD)"));
    env.set(L"LUM_KERNEL_CACHE", below.wstring());
    warnings.clear();
    EXPECT_TRUE(fs::equivalent(lumk_cache_dir(&warnings).parent_path(), dir / "temp"));
    EXPECT_EQ(warnings, std::vector<std::string>{"kernel cache folder " + narrow(below) + " is not used: the folder " +
                                                 narrow(above) +
                                                 " on its path lets everybody (S-1-1-0) rename or remove what is in it"});
    ASSERT_TRUE(set_dacl(above, L"D:P(A;OICI;FA;;;" + me + L")(A;;0x1200a9;;;WD)"));
    EXPECT_EQ(lumk_cache_dir(), below);
    fs::remove_all(dir);
}

namespace {

// The folder another user makes, with rights for everybody, in the moment
// after the path was judged and before the module makes what is missing.
fs::path planted_folder;
void plant_open_folder(const fs::path&) {
    fs::create_directories(planted_folder);
    EXPECT_TRUE(set_dacl(planted_folder, L"D:P(A;OICI;FA;;;" + my_sid() + L")(A;OICI;FA;;;WD)"));
}

}  // namespace

// A folder of the path that was missing when the path was judged is judged
// once it is there: somebody else may have made it first. (Wine makes no
// links, junctions or symbolic links, so the judging of every folder on the
// path a link leads to cannot be tried here.)
TEST(NativeWindows, FolderOnThePathMadeMeanwhileIsJudged) {
    const fs::path dir = temp_dir("meanwhile");
    env_scope env;
    env.set(L"TEMP", (dir / "temp").wstring());
    env.set(L"TMP", (dir / "temp").wstring());
    fs::create_directories(dir / "temp");
    planted_folder = dir / "theirs";
    const fs::path cache = planted_folder / "inner" / "kernels";
    env.set(L"LUM_KERNEL_CACHE", cache.wstring());
    lumk_windows_before_making_folders = plant_open_folder;
    std::vector<std::string> warnings;
    bool temporary = false;
    const fs::path got = lumk_cache_dir(&warnings, &temporary);
    lumk_windows_before_making_folders = nullptr;
    EXPECT_TRUE(temporary);
    EXPECT_TRUE(fs::equivalent(got.parent_path(), dir / "temp"));
    EXPECT_EQ(warnings, std::vector<std::string>{"kernel cache folder " + narrow(cache) + " is not used: the folder " +
                                                 narrow(planted_folder) +
                                                 " on its path lets everybody (S-1-1-0) rename or remove what is in it"});
    // the folders made for it before it was refused are gone again
    EXPECT_TRUE(fs::exists(planted_folder));
    EXPECT_FALSE(fs::exists(planted_folder / "inner"));
    fs::remove_all(dir);
}

TEST(NativeWindows, CachedLibraryIsCheckedBeforeLoading) {
    const fs::path dir = temp_dir("libcheck");
    const std::vector<unsigned char> dll = petest::dll();
    auto write_dll = [&](const std::string& name, size_t size) {
        write_file(dir / name, std::string(dll.begin(), dll.begin() + static_cast<std::ptrdiff_t>(size)));
        return dir / name;
    };
    // A whole library loads (it has no kernel entry).
    const fs::path whole = write_dll("k_whole.dll", dll.size());
    std::string error;
    EXPECT_EQ(load_checked(whole, &error), "") << error;
    EXPECT_EQ(lumk_load_jit_library(whole, &error), nullptr);
    EXPECT_EQ(error, "lumk_jit_entry not found in " + narrow(whole));

    // Cut short anywhere, or empty: refused before the loader sees it.
    for (size_t size : {0, 1, 64, 0x150, 0x1ff, 0x3ff, 0x5ff}) {
        const fs::path cut = write_dll("k_cut" + std::to_string(size) + ".dll", size);
        const std::string why = load_checked(cut, &error);
        EXPECT_EQ(why.rfind("it is not a whole library (", 0), 0u) << size << ": " << why;
        EXPECT_EQ(error, "cannot load " + narrow(cut) + " (" + why + ")");
    }

    // A library others may change is refused; once made private it loads.
    const fs::path shared = write_dll("k_shared.dll", dll.size());
    ASSERT_TRUE(set_dacl(shared, L"D:P(A;;FA;;;" + my_sid() + L")(A;;FA;;;WD)"));
    EXPECT_EQ(load_checked(shared), "it is writable by everybody (S-1-1-0)");
    lumk_platform_make_private(shared);
    EXPECT_EQ(load_checked(shared), "");

    // Not a file; not there (no refusal: nothing to compile over).
    fs::create_directories(dir / "k_folder.dll");
    EXPECT_EQ(load_checked(dir / "k_folder.dll"), "it is not a plain file");
    EXPECT_EQ(load_checked(dir / "k_missing.dll", &error), "-");
    EXPECT_EQ(error, "cannot load " + narrow(dir / "k_missing.dll") + " (" + system_reason(ERROR_FILE_NOT_FOUND) + ")");
    fs::remove_all(dir);
}

// Compiles through a stand-in compiler that copies a kernel library: the
// library is published with its checksum and loaded from the cache by the
// next process; a cached library without a valid checksum is compiled again
// with a warning; a library that cannot be published under its name leaves
// one spare file at most; a C file that cannot be written fails with the
// plain status and the reason in a warning.
TEST(NativeWindows, CompiledLibrariesOnTheirWayThroughTheCache) {
    const fs::path dir = temp_dir("seal");
    const fs::path cache = dir / "cache", log = dir / "compiles.log";
    const std::vector<unsigned char> dll = petest::dll_with_entry();
    write_file(dir / "kernel.dll", std::string(dll.begin(), dll.end()));
    write_batch(dir / "gcc.cmd", "if \"%~1\"==\"--version\" exit /b 0\r\n"
                                 "echo run>>\"" + narrow(log) + "\"\r\n"
                                 ":next\r\n"
                                 "if \"%~1\"==\"-o\" (copy /y \"" + narrow(dir / "kernel.dll") + "\" \"%~2\" >nul & exit /b 0)\r\n"
                                 "shift\r\nif not \"%~1\"==\"\" goto next\r\nexit /b 1\r\n");
    env_scope env;
    env.prepend_path(dir);
    env.set(L"LUM_KERNEL_CC", L"gcc");
    env.set(L"LUM_KERNEL_CACHE", cache.wstring());
    auto compiles = [&] {
        const std::string runs = read_file(log);
        return std::count(runs.begin(), runs.end(), '\n');
    };
    std::string out;
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    std::vector<fs::path> files = files_in(cache);
    ASSERT_EQ(files.size(), 1u);
    const fs::path lib = files[0];
    ASSERT_EQ(fs::file_size(lib), dll.size() + lumk_seal_size);
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(compiles(), 1);

    const std::string sealed = read_file(lib);
    std::string zeroed = sealed, code_changed = sealed;
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(sealed.size() / 2), zeroed.end(), '\0');
    code_changed[0x201] = static_cast<char>(0xcc);
    const std::string unsealed = sealed.substr(0, dll.size());
    const std::string no_checksum = "it has no checksum (a library of an earlier version, or its end is damaged)";
    const std::string mismatch = "it is damaged (its checksum does not match its contents)";
    ptrdiff_t expected = 1;
    for (const auto& [name, bytes, why] : {std::tuple{"zeroed", zeroed, no_checksum},
                                           std::tuple{"code changed", code_changed, mismatch},
                                           std::tuple{"no checksum", unsealed, no_checksum}}) {
        fs::remove(lib);
        write_file(lib, bytes);
        EXPECT_EQ(run_child("sync", &out), 0) << out;
        EXPECT_EQ(out, "status=ready\nwarning: kernel library " + narrow(lib) + " is not loaded: " + why +
                           "; it is compiled again\n")
            << name;
        EXPECT_EQ(compiles(), ++expected) << name;
        EXPECT_EQ(fs::file_size(lib), sealed.size()) << name;
    }

    // A folder under the library's name: every run compiles, and one spare
    // library at most stays.
    fs::remove(lib);
    fs::create_directories(lib);
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(run_child("sync", &out), 0) << out;
        EXPECT_EQ(out, "status=ready\nwarning: kernel library " + narrow(lib) +
                           " is not loaded: it is not a plain file; it is compiled again\n")
            << run;
        files = files_in(cache);
        EXPECT_EQ(files.size(), 2u) << run;  // the folder and the spare
    }
    EXPECT_EQ(compiles(), expected + 3);

    // Every name the C file may get taken by a folder that cannot be removed.
    fs::remove_all(lib);
    EXPECT_EQ(run_child("blocked_source", &out), 0) << out;
    const std::string failed = "status=failed: cannot write ";
    ASSERT_EQ(out.substr(0, failed.size() + narrow(cache).size() + 3), failed + narrow(cache) + "\\k_") << out;
    const size_t end = out.find('\n');
    const std::string path = out.substr(failed.size(), end - failed.size());
    EXPECT_TRUE(path.ends_with(".c")) << out;
    const std::string warning = "warning: kernel source " + path + " cannot be written: ";
    EXPECT_EQ(out.substr(end + 1, warning.size()), warning) << out;
    EXPECT_GT(out.size(), end + 1 + warning.size() + 1) << out;  // and a reason
    EXPECT_EQ(compiles(), expected + 3);
    fs::remove_all(dir);
}

TEST(NativeWindows, RealImageIsWholeAndItsTruncationsAreNot) {
    // This test program as the linker wrote it.
    std::string image;
    {
        wchar_t exe[32768];
        const DWORD n = ::GetModuleFileNameW(nullptr, exe, 32768);
        FILE* f = n != 0 ? ::_wfopen(exe, L"rb") : nullptr;
        ASSERT_NE(f, nullptr);
        char buf[65536];
        for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) image.append(buf, got);
        std::fclose(f);
    }
    const size_t size = image.size();
    ASSERT_GT(size, 8192u);
    auto problem = [&](size_t cut) {
        std::vector<unsigned char> part(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut));
        return lumk_pe_image_problem(part.empty() ? nullptr : part.data(), part.size());
    };
    EXPECT_EQ(problem(size), "");
    for (size_t cut : {size_t{0}, size_t{63}, size_t{300}, size_t{4096}, size / 3, size / 2, size - 4096, size - 1})
        EXPECT_EQ(problem(cut).rfind("it is not a whole library", 0), 0u) << cut << ": " << problem(cut);
}

// A run ends when its caller's stop condition says so (and starts nothing
// when it says so at once), and once the command processor has ended a
// process it left running does not hold the run up.
TEST(NativeWindows, RunsEndOnRequestAndWithTheCommandProcessor) {
    const fs::path dir = temp_dir("runs");
    const fs::path spin = dir / "spin.cmd";
    write_batch(spin, ":again\r\ngoto again\r\n");
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    std::string out;
    lumk_run_end end = lumk_run_end::exited;
    EXPECT_EQ(lumk_platform_run(lumk_quote(narrow(spin)), &out, 0, &end,
                                [&] { return clock::now() - start > std::chrono::milliseconds(300); }),
              -1);
    EXPECT_EQ(end, lumk_run_end::stopped);
    EXPECT_LT(clock::now() - start, std::chrono::seconds(10));

    start = clock::now();
    EXPECT_EQ(lumk_platform_run("start /b \"\" " + lumk_quote(narrow(spin)) + " & echo done& exit /b 6", &out, 6, &end),
              6);
    EXPECT_EQ(end, lumk_run_end::exited);
    EXPECT_EQ(out, "done\n");
    EXPECT_LT(clock::now() - start, std::chrono::seconds(4));

    // a caller that is stopping already starts nothing
    const fs::path marker = dir / "ran.txt";
    EXPECT_EQ(lumk_platform_run("echo ran> " + lumk_quote(narrow(marker)), &out, 0, &end, [] { return true; }), -1);
    EXPECT_EQ(end, lumk_run_end::stopped);
    EXPECT_FALSE(fs::exists(marker));
    fs::remove_all(dir);
}

// The compile's files reach the compiler under every folder name: as they
// are for a compiler that reads UTF-16, by their short names for one that
// reads the ANSI code page (letters outside it, or a look-alike in it such
// as L for Ł), and with a '%' taken literally by a compiler started without
// the command processor. A batch file, which the command processor runs, is
// not given a folder whose only path holds a '%'.
TEST(NativeWindows, CacheFoldersOutsideTheAnsiCodePageOrWithPercentSigns) {
    const fs::path dir = temp_dir("names");
    const fs::path gcc = standin(dir / "bin", "gcc.exe");
    const fs::path cl = standin(dir / "msvc", "cl.exe");
    env_scope env;
    std::string out;
    for (const fs::path& compiler : {gcc, cl}) {
        env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(compiler))));
        for (const char8_t* name : {u8"Дмитрий", u8"用户文件", u8"Łukasz", u8"a %OS% b"}) {
            const fs::path cache = dir / compiler.stem() / fs::path(name) / "kernels";
            env.set(L"LUM_KERNEL_CACHE", cache.wstring());
            EXPECT_EQ(run_child("sync", &out), 0) << out;
            EXPECT_EQ(out, "status=ready\n") << narrow(cache);
            EXPECT_EQ(libraries_in(cache).size(), 1u) << narrow(cache);
        }
    }
    EXPECT_FALSE(fs::exists(dir / "gcc" / "a Windows_NT b"));

    write_batch(dir / "bin" / "cc.cmd", "if \"%~1\"==\"--version\" exit /b 0\r\nexit /b 1\r\n");
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(dir / "bin" / "cc.cmd"))));
    const fs::path percent = dir / "batch" / "a %OS% b";
    fs::create_directories(percent);
    env.set(L"LUM_KERNEL_CACHE", percent.wstring());
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    const std::string refused = "kernel cache folder " + narrow(percent) + " cannot be given to the C compiler " +
                                lumk_quote(narrow(dir / "bin" / "cc.cmd")) + ": its path holds a '%'";
    EXPECT_EQ(out.rfind("status=failed: " + refused, 0), 0u) << out;
    EXPECT_NE(out.find("\nwarning: " + refused), std::string::npos) << out;
    EXPECT_TRUE(files_in(percent).empty());

    // An .exe compiler whose arguments the command processor must read runs
    // through it too: its '%' would be expanded there as well.
    const std::string with_parens = lumk_quote(narrow(gcc)) + " -DN=(1)";
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(with_parens));
    const fs::path expanded = dir / "parens" / "a %OS% b";
    fs::create_directories(expanded);
    env.set(L"LUM_KERNEL_CACHE", expanded.wstring());
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out.rfind("status=failed: kernel cache folder " + narrow(expanded) + " cannot be given to the C compiler " +
                            with_parens + ": its path holds a '%'",
                        0),
              0u)
        << out;
    EXPECT_FALSE(fs::exists(dir / "parens" / "a Windows_NT b"));
    env.set(L"LUM_KERNEL_CACHE", (dir / "parens" / "plain").wstring());
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(dir / "parens" / "plain").size(), 1u);
    remove_quietly(dir);
}

// A compiler named by a quoted path (any path under Program Files needs the
// quotes) is judged by its name: a quoted cl.exe, options after it, is probed
// and used as MSVC.
// A named compiler that fails its probe is named in the status, with what it
// answered.
TEST(NativeWindows, NamedCompilerQuotedAndFailingItsProbe) {
    const fs::path dir = temp_dir("named");
    const fs::path cl = standin(dir / "Program Files" / "VC tools", "cl.exe");
    EXPECT_TRUE(lumk_compiler_is_msvc(lumk_quote(narrow(cl))));
    EXPECT_TRUE(lumk_compiler_is_msvc("\"clang-cl.exe\""));
    EXPECT_FALSE(lumk_compiler_is_msvc("\"C:\\cl\\gcc.exe\""));
    EXPECT_FALSE(lumk_compiler_is_msvc("gcc.exe -include C:\\x\\cl"));
    // with options of its own after the program, still MSVC
    const std::string cc = lumk_quote(narrow(cl)) + " /arch:AVX2";
    EXPECT_TRUE(lumk_compiler_is_msvc(cc));
    env_scope env;
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(cc));
    env.set(L"LUM_KERNEL_CACHE", (dir / "cache").wstring());
    std::string out;
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(dir / "cache").size(), 1u);

    const fs::path bad = dir / "Program Files" / "bad cc.cmd";
    write_batch(bad, "echo unknown option %1\r\nexit /b 3\r\n");
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(bad))));
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    EXPECT_EQ(out, "status=failed: no C compiler found: the probe of LUM_KERNEL_CC failed: " + lumk_quote(narrow(bad)) +
                       " --version gave exit status 3:\nunknown option --version\n" + full_paths_hint + "\n");
    remove_quietly(dir);
}

// Compilers start outside the host's current folder, so a file that
// LUM_KERNEL_CC names by a relative path is not found: the probe fails and
// says that file arguments must be full paths; by its full path the file is
// found.
TEST(NativeWindows, FileArgumentsOfTheNamedCompilerAreFullPaths) {
    const fs::path dir = temp_dir("cc-files");
    const fs::path host = dir / "host", cc = dir / "bin" / "cc.cmd";
    fs::create_directories(host);
    write_file(host / "defs.h", "#define N 1\n");
    const fs::path gcc = standin(dir / "bin", "gcc.exe");
    // "cc -include FILE ...": fails where FILE is not there, else runs the stand-in
    write_batch(cc, "if not exist \"%~2\" (echo %~2 is not in %CD%& exit /b 1)\r\n" + lumk_quote(narrow(gcc)) +
                        " %*\r\n");
    env_scope env;
    env.set(L"LUM_KERNEL_CACHE", (dir / "cache").wstring());
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(cc)) + " -include defs.h"));
    const fs::path before = fs::current_path();
    fs::current_path(host);
    std::string out;
    const int relative = run_child("sync", &out);
    const std::string failed = out;
    env.set(L"LUM_KERNEL_CC",
            lumk_windows_wide(lumk_quote(narrow(cc)) + " -include " + lumk_quote(narrow(host / "defs.h"))));
    const int full = run_child("sync", &out);
    fs::current_path(before);
    EXPECT_EQ(relative, 0) << failed;
    EXPECT_EQ(failed, "status=failed: no C compiler found: the probe of LUM_KERNEL_CC failed: " + lumk_quote(narrow(cc)) +
                          " -include defs.h --version gave exit status 1:\ndefs.h is not in " +
                          narrow(fs::path(system_folder())) + "\n" + full_paths_hint + "\n");
    EXPECT_EQ(full, 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(dir / "cache").size(), 1u);
    remove_quietly(dir);
}

namespace {

// A kernel library (petest::dll_with_entry) that also imports lumk_jit_entry
// from `dependency`, through an import table in a third, writable section.
std::vector<unsigned char> dll_importing(const char* dependency) {
    std::vector<unsigned char> b = petest::dll_with_entry();
    b.resize(0x800, 0);
    const size_t o = petest::kOptional, s = petest::kSections + 80;
    petest::put(b, petest::kFileHeader + 2, 3, 2);           // three sections
    petest::put(b, o + 56, 0x4000);                          // the image's size
    petest::put(b, o + 112 + 8, 0x3000), petest::put(b, o + 116 + 8, 40);  // import directory
    petest::put(b, s, '.' | 'i' << 8 | 'd' << 16 | 'a' << 24), petest::put(b, s + 4, 't' | 'a' << 8);
    petest::put(b, s + 8, 0x100), petest::put(b, s + 12, 0x3000), petest::put(b, s + 16, 0x200);
    petest::put(b, s + 20, 0x600), petest::put(b, s + 36, 0xc0000040);  // data, read, write
    // one descriptor (lookup table, name, address table) and an empty one
    petest::put(b, 0x600, 0x3040), petest::put(b, 0x60c, 0x3080), petest::put(b, 0x610, 0x3050);
    petest::put(b, 0x640, 0x3060), petest::put(b, 0x650, 0x3060);  // by name: hint 0, "lumk_jit_entry"
    const char entry[] = "lumk_jit_entry";
    std::copy(entry, entry + sizeof entry, b.begin() + 0x662);
    std::copy(dependency, dependency + std::strlen(dependency) + 1, b.begin() + 0x680);
    return b;
}

}  // namespace

// The libraries a kernel library imports are looked for next to it and in
// the system folder, never in the current folder or along PATH.
TEST(NativeWindows, KernelLibraryImportsComeFromItsFolderOnly) {
    const fs::path dir = temp_dir("imports");
    const std::vector<unsigned char> lib = dll_importing("lumkdep.dll"), dep = petest::dll_with_entry();
    for (const char* folder : {"cache", "current", "on path"}) fs::create_directories(dir / folder);
    write_file(dir / "cache" / "k_imports.dll", std::string(lib.begin(), lib.end()));
    write_file(dir / "current" / "lumkdep.dll", std::string(dep.begin(), dep.end()));
    write_file(dir / "on path" / "lumkdep.dll", std::string(dep.begin(), dep.end()));
    env_scope env;
    env.prepend_path(dir / "on path");
    const fs::path before = fs::current_path();
    fs::current_path(dir / "current");
    std::string error;
    EXPECT_EQ(load_checked(dir / "cache" / "k_imports.dll", &error), "-");
    // the message says where the imports must lie
    const std::string hint = ": a library it imports is missing (the libraries it imports must lie beside it, or be "
                             "the system's: the current folder and PATH are not searched))";
    EXPECT_EQ(error.rfind("cannot load " + narrow(dir / "cache" / "k_imports.dll") + " (", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with(hint)) << error;
    EXPECT_EQ(lumk_load_jit_library(dir / "cache" / "k_imports.dll", &error), nullptr);
    EXPECT_EQ(lumk_aot_load(narrow(dir / "cache" / "k_imports.dll"), &error), -1);
    EXPECT_TRUE(error.ends_with(hint)) << error;
    fs::current_path(before);

    write_file(dir / "cache" / "lumkdep.dll", std::string(dep.begin(), dep.end()));
    EXPECT_EQ(load_checked(dir / "cache" / "k_imports.dll", &error), "") << error;
    remove_quietly(dir);
}

// A relative LUM_KERNEL_CACHE, and a relative program in LUM_KERNEL_CC, are
// what they name when the toolchain is chosen, also after the host changes
// its current folder.
TEST(NativeWindows, RelativeCacheFolderStaysTheFolderJudged) {
    const fs::path dir = temp_dir("relative");
    standin(dir / "start" / "tools", "gcc.exe");
    fs::create_directories(dir / "elsewhere");
    env_scope env;
    env.set(L"LUM_KERNEL_CACHE", L"rel\\kernels");
    env.set(L"LUM_KERNEL_CC", L"tools\\gcc.exe -O1");
    env.set(L"LUM_WIN_MOVE_TO", (dir / "elsewhere").wstring());
    const fs::path before = fs::current_path();
    fs::current_path(dir / "start");
    const fs::path chosen = lumk_cache_dir();
    std::string out;
    const int status = run_child("move", &out);
    fs::current_path(before);
    EXPECT_TRUE(chosen.is_absolute()) << narrow(chosen);
    EXPECT_TRUE(fs::equivalent(chosen, dir / "start" / "rel" / "kernels"));
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(dir / "start" / "rel" / "kernels").size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "elsewhere" / "rel"));
    remove_quietly(dir);
}

// A bare compiler name is looked for in the full-path folders of PATH only: a
// cl.bat in the current folder (or reached through "." on PATH) never runs,
// and the compiler on PATH gives a ready kernel. A name found nowhere is not
// handed to the command processor, which would look in the current folder.
TEST(NativeWindows, BareCompilerNamesAreLookedForOnPathOnly) {
    const fs::path dir = temp_dir("planted");
    const fs::path project = dir / "project", marker = project / "planted-ran.txt";
    fs::create_directories(project);
    write_batch(project / "cl.bat", "echo ran> " + lumk_quote(narrow(marker)) + "\r\nexit /b 0\r\n");
    standin(dir / "bin", "gcc.exe");
    env_scope env;
    env.unset(L"LUM_KERNEL_CC");
    env.set(L"LUM_KERNEL_CACHE", (dir / "cache").wstring());
    env.set(L"PATH", (dir / "bin").wstring() + L";.;" + system_folder());
    const fs::path before = fs::current_path();
    fs::current_path(project);
    std::string out, answer;
    const int status = run_child("sync", &out);
    EXPECT_FALSE(lumk_probe_compiler("cl", 10, {}, nullptr, &answer));
    fs::current_path(before);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(dir / "cache").size(), 1u);
    EXPECT_EQ(answer, "cl /nologo /? could not be started: cl is not found in the folders of PATH (the current "
                      "folder is not searched)");
    EXPECT_FALSE(fs::exists(marker));
    remove_quietly(dir);
}

// The command processor gets no AutoRun commands (/d), no delayed expansion
// (/v:off) and the program by its full path; an .exe with plain arguments is
// started by itself with the line as it is.
TEST(NativeWindows, CommandLinesTheModuleBuilds) {
    const fs::path dir = temp_dir("lines");
    write_batch(dir / "cc.cmd", "exit /b 0\r\n");
    const fs::path gcc = standin(dir, "gcc.exe");
    const std::wstring cmd = system_folder() + L"\\cmd.exe";
    env_scope env;
    env.set(L"PATH", dir.wstring() + L";" + system_folder());
    env.set(L"ComSpec", L"cmd.exe");  // no full path: the system's is used
    lumk_windows_start s = lumk_windows_start_of(L"cc.cmd --version");
    EXPECT_EQ(s.application, cmd);
    EXPECT_EQ(s.command_line, L"\"" + cmd + L"\" /d /v:off /c \"\"" + (dir / "cc.cmd").wstring() + L"\" --version 2>&1\"");
    s = lumk_windows_start_of(L"gcc.exe -O2 \"a %OS% (b).c\"");
    EXPECT_EQ(s.application, gcc.wstring());
    EXPECT_EQ(s.command_line, L"gcc.exe -O2 \"a %OS% (b).c\"");

    // A quoted PATH entry may hold a ';'. A program in a folder holding a '%'
    // (which the command processor would expand) whose short path holds one
    // too is refused.
    for (const char* folder : {"a", "a;b", "p%OS%q"}) {
        fs::create_directories(dir / folder);
        write_batch(dir / folder / "cc.cmd", "exit /b 0\r\n");
    }
    env.set(L"PATH", L"\"" + (dir / "a;b").wstring() + L"\";" + system_folder());
    EXPECT_EQ(lumk_windows_find_program(L"cc"), dir / "a;b" / "cc.cmd");
    env.set(L"PATH", (dir / "p%OS%q").wstring());
    EXPECT_EQ(lumk_windows_start_of(L"cc --version").refused,
              narrow(dir / "p%OS%q" / "cc.cmd") + " cannot be run: its path holds a '%', which the command processor "
                                                  "would expand, and it has no short (8.3) path without one");
    remove_quietly(dir);
}

// LUM_KERNEL_CC naming a compiler under a folder with letters outside ASCII
// (in the ANSI code page or not), quoted or not, gives a ready kernel.
TEST(NativeWindows, NamedCompilersUnderFoldersOutsideAscii) {
    const fs::path dir = temp_dir("cc-names");
    ASSERT_EQ(dir.wstring().find(L' '), std::wstring::npos);  // the unquoted paths hold no space
    env_scope env;
    std::string out;
    for (const char8_t* name : {u8"José", u8"Дмитрий", u8"日本"}) {
        const fs::path gcc = standin(dir / fs::path(name), "gcc.exe");
        for (const std::string& cc : {narrow(gcc), lumk_quote(narrow(gcc))}) {
            const fs::path cache = dir / (cc[0] == '"' ? "quoted" : "plain") / fs::path(name);
            env.set(L"LUM_KERNEL_CC", lumk_windows_wide(cc));
            env.set(L"LUM_KERNEL_CACHE", cache.wstring());
            EXPECT_EQ(run_child("sync", &out), 0) << out;
            EXPECT_EQ(out, "status=ready\n") << cc;
            EXPECT_EQ(libraries_in(cache).size(), 1u) << cc;
        }
    }
    remove_quietly(dir);
}

// A cache folder named with the prefix \\?\ or \\.\, through a share
// (\\localhost\C$\...), or with spaces and dots at its end is the folder
// meant: the library lands there, and nothing is made on the current drive.
TEST(NativeWindows, CacheFoldersByDevicePathShareAndTrailingSpace) {
    const fs::path dir = temp_dir("roots");
    const std::wstring whole = dir.wstring(), drive_root = whole.substr(0, 3);
    ASSERT_EQ(drive_root.substr(1), L":\\");
    env_scope env;
    env.set(L"LUM_KERNEL_CC", lumk_windows_wide(lumk_quote(narrow(standin(dir / "bin", "gcc.exe")))));
    const bool server_there = fs::exists(drive_root + L"localhost");
    const fs::path before = fs::current_path();
    fs::create_directories(dir / "cwd");
    fs::current_path(dir / "cwd");  // the current drive is the drive of the folders
    std::string out;
    for (const auto& [given, meant] : {std::pair{L"\\\\?\\" + whole + L"\\long", dir / "long"},
                                       std::pair{L"\\\\.\\" + whole + L"\\device", dir / "device"},
                                       std::pair{whole + L"\\spaced ", dir / "spaced"},
                                       std::pair{whole + L"\\dotted. .", dir / "dotted"}}) {
        env.set(L"LUM_KERNEL_CACHE", given);
        EXPECT_EQ(run_child("sync", &out), 0) << out;
        EXPECT_EQ(out, "status=ready\n") << narrow(given);
        EXPECT_EQ(libraries_in(meant).size(), 1u) << narrow(given);
    }
    // Wine reaches no share: there the folder is refused and the kernel is
    // compiled in the temporary folder.
    const std::wstring share = L"\\\\localhost\\" + whole.substr(0, 1) + L"$" + whole.substr(2) + L"\\share";
    env.set(L"LUM_KERNEL_CACHE", share);
    EXPECT_EQ(run_child("sync", &out), 0) << out;
    fs::current_path(before);
    if (::GetFileAttributesW((share.substr(0, share.find(L'$') + 1)).c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_EQ(out, "status=ready\n");
        EXPECT_EQ(libraries_in(dir / "share").size(), 1u) << out;
    } else {
        EXPECT_EQ(out.rfind("status=ready\nwarning: kernel cache folder " + narrow(share) + " is not used: ", 0), 0u) << out;
    }
    EXPECT_EQ(lumk_platform_absolute(share), share);
    EXPECT_EQ(fs::exists(drive_root + L"localhost"), server_there);
    EXPECT_TRUE(files_in(dir / "cwd").empty());
    remove_quietly(dir);
}

// The reasons the system gives reach the host as UTF-8: its UTF-16 text,
// converted as paths are, also where that text is outside the ANSI code page
// (here, for a load that misses a library and a cache folder that cannot be
// made). Under Wine this test runs once more in a Russian locale (ANSI code
// page 1251), started through a Unix `env`, since Wine takes its locale from
// the Unix environment.
TEST(NativeWindows, SystemReasonsReachTheHostAsUtf8) {
    const fs::path dir = temp_dir("reasons");
    const std::vector<unsigned char> lib = dll_importing("lumkgone.dll");
    const fs::path imports = dir / "k_imports.dll";
    write_file(imports, std::string(lib.begin(), lib.end()));
    const std::string failed = "cannot load " + narrow(imports) + " (" + system_reason(ERROR_MOD_NOT_FOUND) + ": ";
    std::string jit, aot;
    EXPECT_EQ(lumk_load_jit_library(imports, &jit), nullptr);
    EXPECT_EQ(lumk_aot_load(narrow(imports), &aot), -1);
    for (const std::string& error : {jit, aot}) {
        EXPECT_TRUE(valid_utf8(error)) << error;
        EXPECT_EQ(error.rfind(failed, 0), 0u) << error;
    }
    // a folder name the system does not take
    const fs::path bad = dir / "a<b" / "kernels";
    env_scope env;
    env.set(L"LUM_KERNEL_CACHE", bad.wstring());
    std::vector<std::string> warnings;
    lumk_cache_dir(&warnings);
    ASSERT_FALSE(warnings.empty());
    EXPECT_TRUE(valid_utf8(warnings[0])) << warnings[0];
    EXPECT_EQ(warnings[0], "kernel cache folder " + narrow(bad) + " is not used: the folder " +
                               narrow(bad.parent_path()) + " on its path cannot be opened (" +
                               system_reason(ERROR_INVALID_NAME) + ")");

    bool set = false;
    const std::wstring loader = env_w(L"WINELOADER", &set), unix_env = L"Z:\\usr\\bin\\env";
    if (!env_w(L"LUM_WIN_RUSSIAN", &set).empty()) {
        EXPECT_EQ(::GetACP(), 1251u);
        EXPECT_NE(system_reason(ERROR_MOD_NOT_FOUND)[0] & 0x80, 0) << "no Russian system texts";
    } else if (!loader.empty() && fs::exists(unix_env)) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const fs::path log = dir / "russian.log";
        HANDLE out = ::CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = out;
        wchar_t exe[32768];
        std::wstring line = L"env LC_ALL=ru_RU.UTF-8 LUM_WIN_RUSSIAN=1 " + loader + L" \"" +
                            std::wstring(exe, ::GetModuleFileNameW(nullptr, exe, 32768)) +
                            L"\" --gtest_filter=NativeWindows.SystemReasonsReachTheHostAsUtf8";
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(::CreateProcessW(unix_env.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
        for (HANDLE h : {out, pi.hThread, pi.hProcess}) ::CloseHandle(h);
        // A Unix process cannot be waited for: its output tells its end
        // (Google Test's count of passed tests comes also when one failed).
        std::string text;
        for (int i = 0; i < 1200 && text.find("[  PASSED  ]") == std::string::npos; ++i, ::Sleep(100))
            text = read_file(log);
        EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
    }
    remove_quietly(dir);
}

// A batch file that sets a compiler up and runs it by a bare name finds the
// compiler on PATH, never a file of that name in the host's current folder:
// commands start in the cache folder (the probe, before there is one, in the
// system folder), told not to search the current folder.
TEST(NativeWindows, CompilerWrapperNeverRunsAFileInTheHostsFolder) {
    const fs::path dir = temp_dir("wrapper");
    const fs::path host = dir / "host", marker = host / "planted-ran.txt", log = dir / "wrapper.log";
    const fs::path cache = dir / "cache";
    fs::create_directories(host);
    fs::create_directories(dir / "wrap");
    write_batch(host / "gcc.bat", "echo ran>> " + lumk_quote(narrow(marker)) + "\r\nexit /b 0\r\n");
    standin(dir / "real", "gcc.exe");
    write_batch(dir / "wrap" / "cc.cmd",
                "echo [%CD%] [%NoDefaultCurrentDirectoryInExePath%]>> " + lumk_quote(narrow(log)) + "\r\ngcc %*\r\n");
    env_scope env;
    env.set(L"LUM_KERNEL_CC", L"cc");
    env.set(L"LUM_KERNEL_CACHE", cache.wstring());
    env.set(L"PATH", (dir / "wrap").wstring() + L";" + (dir / "real").wstring() + L";" + system_folder());
    const fs::path before = fs::current_path();
    fs::current_path(host);
    std::string out;
    const int status = run_child("sync", &out);
    fs::current_path(before);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "status=ready\n");
    EXPECT_EQ(libraries_in(cache).size(), 1u);
    EXPECT_FALSE(fs::exists(marker));
    // the probe, then the compile
    EXPECT_EQ(read_file(log), "[" + narrow(fs::path(system_folder())) + "] [1]\r\n[" + narrow(cache) + "] [1]\r\n");
    remove_quietly(dir);
}
