// The native kernel driver's Windows side: commands through the command
// processor, the compiler probe order and the MSVC-style command line with
// its clean-up, runs that are stopped or outlive their command processor, the
// cache folder (LOCALAPPDATA, TEMP, wide folder names) and the library
// messages. Compiles need a C compiler for Windows; without one
// (as under Wine) a kernel's native code fails with the no-compiler message.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kernel/exec/native_driver.h"
#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/checker_test_util.h"
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

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> v;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) v.push_back(e.path());
    return v;
}

std::string narrow(const fs::path& p) { return lumk_platform_path_text(p); }

// ---- child processes: the toolchain is chosen once per process ----

// Runs this test program again with LUM_WIN_CHILD=scenario; returns the
// exit status and what the scenario printed.
int run_child(const std::string& scenario, std::string* output) {
    wchar_t exe[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, exe, 32768);
    if (n == 0) return -1;
    env_scope env;
    env.set(L"LUM_WIN_CHILD", std::wstring(scenario.begin(), scenario.end()));
    output->clear();
    const int status = lumk_platform_run(lumk_platform_quote(narrow(fs::path(exe))) + " --gtest_filter=NativeWindows.LibraryMessages", output);
    const size_t mark = output->find("--child--\n");
    if (mark != std::string::npos) output->erase(0, mark + 10);
    return status;
}

int child_sync() {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    ktest::compiled c = ktest::compile("kernel twice(i32* o) { o[gid] = i32(gid) * 2; }");
    if (!c.ok()) return 4;
    const lumk_program* p = c.unit->programs[0].get();
    lumk_jit_request(c.unit, p, nullptr);
    std::printf("status=%s\n", lumk_jit_status(p).c_str());
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
        std::fflush(stdout);
        std::_Exit(rc);
    }
};
[[maybe_unused]] ::testing::Environment* const child_env = ::testing::AddGlobalTestEnvironment(new child_scenarios);

// A batch file standing in for a compiler.
void write_batch(const fs::path& path, const std::string& body) { write_file(path, "@echo off\r\n" + body); }

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
    fs::remove_all(dir);
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
    write_file(dir / "file", "x");
    env.set(L"LUM_KERNEL_CACHE", (dir / "file" / "sub").wstring());
    got = lumk_cache_dir();
    EXPECT_EQ(got.filename().string(), pid_folder);
    EXPECT_TRUE(fs::equivalent(got.parent_path(), dir / "temp"));
    fs::remove_all(dir);
}

TEST(NativeWindows, LibraryMessages) {
    wchar_t system[MAX_PATH];
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const fs::path kernel32 = fs::path(system) / "kernel32.dll";
    std::string error;
    EXPECT_EQ(lumk_load_jit_library(kernel32, &error), nullptr);
    EXPECT_EQ(error, "lumk_jit_entry not found in " + narrow(kernel32));
    const fs::path missing = temp_dir("lib") / fs::path(u8"fehlt-ü.dll");
    EXPECT_EQ(lumk_load_jit_library(missing, &error), nullptr);
    EXPECT_EQ(error, "cannot load " + narrow(missing));
    EXPECT_EQ(lumk_aot_load(narrow(kernel32), &error), -1);
    EXPECT_EQ(error, narrow(kernel32) + " is not a kernel library (no lumk_aot_table, build it with -DLUMK_AOT_SHARED)");
    EXPECT_EQ(lumk_aot_load("no\\such\\lib.dll", &error), -1);
    EXPECT_EQ(error, "cannot load no\\such\\lib.dll");
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
    env.set(L"PATH", dir.wstring() + L";" + [] {
        bool set = false;
        return env_w(L"PATH", &set);
    }());
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

// A run ends when its caller's stop condition says so, and once the command
// processor has ended a process it left running does not hold the run up.
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
    fs::remove_all(dir);
}
