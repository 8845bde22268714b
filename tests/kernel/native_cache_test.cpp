// The folder for compiled kernels and the libraries in it: which folder is
// chosen, whom it, every folder above it and its libraries must belong to,
// planted and replaced folders and libraries, libraries cached across
// processes, stale, damaged (checksum included), swapped, unpublished and
// loosely permitted libraries, special files under a library's name, a C file
// that cannot be written, the descriptors loaded libraries keep, and the
// temporary folder that goes with the process.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernel/exec/library_seal.h"
#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

// Prints the folder chosen for compiled kernels (removing it when it is this
// process's temporary folder).
int child_cache_dir(const std::string&) {
    const fs::path d = lumk_cache_dir();
    struct stat st{};
    const int ok = ::stat(d.c_str(), &st);
    std::printf("dir=%s mode=%o exists=%d pid=%llu\n", d.c_str(), st.st_mode & 0777u, ok == 0,
                static_cast<unsigned long long>(::getpid()));
    if (d.filename().string().starts_with("lumioscript-kernels-")) ::rmdir(d.c_str());
    return 0;
}

// Plants the fallback folder of this process before the first compile: a
// symbolic link to a folder of ours, or a folder of another user.
int child_planted(const std::string& how) {
    const fs::path tmp = fs::temp_directory_path();
    const fs::path d = tmp / ("lumioscript-kernels-" + std::to_string(::getpid()));
    if (how == "symlink") {
        fs::create_directory(tmp / "real");
        fs::create_directory_symlink(tmp / "real", d);
    } else if (how == "loose") {
        ::mkdir(d.c_str(), 0700);
        if (::chmod(d.c_str(), 0777) != 0) return 1;
    } else {
        if (::geteuid() != 0) {
            std::printf("status=skip\n");
            return 0;
        }
        ::mkdir(d.c_str(), 0700);
        if (::chown(d.c_str(), 65534, 65534) != 0) return 1;
    }
    const int rc = ntest::child_sync();
    std::error_code ec;
    fs::remove_all(d, ec);
    return rc;
}

// Compiles into the folder chosen for this process and shows it; the process
// ends normally (the module's shutdown runs).
int child_compile_and_exit(const std::string&) {
    const int rc = ntest::child_sync();
    bool temporary = false;
    const fs::path d = lumk_cache_dir(nullptr, &temporary);
    std::printf("temporary=%d files=%zu dir=%s\n", temporary ? 1 : 0, files_in(d).size(), d.c_str());
    return rc;
}

// Like "sync_warnings", but killed by SIGALRM should it hang.
int child_sync_bounded(const std::string&) {
    ::alarm(60);
    const int rc = ntest::child_sync();
    for (const std::string& w : ntest::child_warnings()) std::printf("warning: %s\n", w.c_str());
    return rc;
}

// Compiles saxpy (the cache folder is chosen and checked), then puts another
// folder of ours in the cache folder's place, with a library that announces
// itself under the name poly's library gets, and compiles poly. `arg`: the
// planted library.
int child_swap(const std::string& planted) {
    ntest::child_sync();
    const fs::path cache = std::getenv("LUM_KERNEL_CACHE");
    std::error_code ec;
    fs::rename(cache, cache.string() + ".moved", ec);
    if (ec || ::mkdir(cache.c_str(), 0700) != 0) return 1;
    std::shared_ptr<const lumk_unit> u = unit_of(kPoly);
    const lumk_program* p = u->programs[0].get();
    const uint64_t hash = lumk_jit_file_hash(lumk_jit_compiler(), std::string(lumk_jit_flags_cc) + " " + lumk_jit_libs_cc,
                                             lumk_jit_source(*p));
    char name[40];
    std::snprintf(name, sizeof name, "k_%016llx.so", static_cast<unsigned long long>(hash));
    fs::copy_file(planted, cache / name, ec);
    if (ec) return 1;
    lumk_jit_request(u, p, nullptr);
    std::printf("poly=%s\n", lumk_jit_status(p).c_str());
    if (lumk_jit_load_state(*p->jit) == LUMK_JIT_READY) std::printf("%s\n", entry_agrees(*p) ? "same" : "differ");
    return 0;
}

// With the random part of the temporary names fixed, leaves a link to `arg`
// under the name the first compile's C file would get (another process's
// file of the same name), then compiles saxpy.
int child_leftover(const std::string& target) {
    lumk_jit_set_random_for_tests([] { return uint64_t{0x5eed}; });
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const uint64_t hash = lumk_jit_file_hash(lumk_jit_compiler(), std::string(lumk_jit_flags_cc) + " " + lumk_jit_libs_cc,
                                             lumk_jit_source(*u->programs[0]));
    char name[80];
    std::snprintf(name, sizeof name, "k_%016llx.0.%016llx.c", static_cast<unsigned long long>(hash), 0x5eedull);
    std::error_code ec;
    fs::create_symlink(target, fs::path(std::getenv("LUM_KERNEL_CACHE")) / name, ec);
    if (ec) return 1;
    return ntest::child_sync();
}

// Puts the library `arg` in place of the cached library just after the
// driver examined it, before the loader opens it (once), then compiles as
// "sync_bounded" does.
int child_swap_before_load(const std::string& other) {
    static std::string planted;
    planted = other;
    lumk_platform_set_before_load_for_tests([](const fs::path& path) {
        lumk_platform_set_before_load_for_tests(nullptr);
        std::error_code ec;
        fs::rename(planted, path, ec);
        if (ec) std::printf("rename failed: %s\n", ec.message().c_str());
    });
    return child_sync_bounded("");
}

// Compiles under a file size limit of `arg` bytes (a full disk for the
// kernel's C file), with the signal of that limit ignored, as "sync_bounded".
int child_file_limit(const std::string& arg) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(std::stoul(arg)), static_cast<rlim_t>(std::stoul(arg))};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 1;
    return child_sync_bounded("");
}

size_t open_descriptors() { return files_in("/proc/self/fd").size(); }

// Under the usual limit of 1,024 descriptors, compiles one kernel, then `arg`
// more distinct ones on four threads, and shows how many compiles failed and
// how many descriptors the process gained.
int child_many_kernels(const std::string& arg) {
    const int count = std::stoi(arg);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1024);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    std::string error;
    if (lumk_jit_compile("/* first */\n", &error) == nullptr) {
        std::printf("first compile failed: %s\n", error.c_str());
        return 1;
    }
    const size_t before = open_descriptors();
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, count, &failed] {
            std::string err;
            for (int i = t; i < count; i += 4)
                if (lumk_jit_compile("/* kernel " + std::to_string(i) + " */\n", &err) == nullptr) ++failed;
        });
    }
    for (std::thread& th : threads) th.join();
    const size_t after = open_descriptors();
    std::printf("failed=%d gained=%lld\n", failed.load(), static_cast<long long>(after) - static_cast<long long>(before));
    return 0;
}

const bool kScenarios = ntest::add_child_scenario("cachedir", child_cache_dir, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("planted", child_planted, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("compile_and_exit", child_compile_and_exit, ntest::child_end::normal) &&
                        ntest::add_child_scenario("sync_bounded", child_sync_bounded, ntest::child_end::normal) &&
                        ntest::add_child_scenario("swap", child_swap, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("leftover", child_leftover, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("many_kernels", child_many_kernels, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("swap_before_load", child_swap_before_load, ntest::child_end::normal) &&
                        ntest::add_child_scenario("file_limit", child_file_limit, ntest::child_end::normal);

// A shell script standing in for the compiler that counts its compiles in
// `log` and hands the rest to gcc.
fs::path counting_compiler(const fs::path& dir, const fs::path& log) {
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] || echo run >> '" + log.string() + "'\nexec gcc \"$@\"\n");
    return dir / "cc.sh";
}

// Compiles saxpy in a child process with the counting compiler into
// `cache`, the environment set in `env`; the library's path, empty (with a
// test failure) when there is not exactly one file.
fs::path first_library(env_scope& env, const fs::path& dir, const fs::path& cache, const fs::path& log) {
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", counting_compiler(dir, log).string());
    EXPECT_EQ(ntest::run_child("sync").output, "status=ready\nsame\n");
    const std::vector<fs::path> files = files_in(cache);
    EXPECT_EQ(files.size(), 1u);
    return files.size() == 1 ? files[0] : fs::path();
}

// A library whose constructor creates `marker` and whose entry does nothing.
fs::path announcing_library(const fs::path& dir, const fs::path& marker) {
    ntest::write_file(dir / "evil.c", "#include <stdio.h>\n__attribute__((constructor)) static void ran(void) { "
                                      "FILE* f = fopen(\"" + marker.string() + "\", \"w\"); if (f) fclose(f); }\n"
                                      "int lumk_jit_entry(void) { return 0; }\n");
    const std::string cmd =
        "gcc -shared -fPIC -o '" + (dir / "evil.so").string() + "' '" + (dir / "evil.c").string() + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    ::chmod((dir / "evil.so").c_str(), 0755);
    return dir / "evil.so";
}

}  // namespace

TEST(NativeCache, OwnerAndModeRule) {
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 040700), "");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0755), "");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0500), "");
    EXPECT_EQ(lumk_owner_mode_problem(0, 1000, 0700), "it belongs to another user (uid 0)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 0, 0700), "it belongs to another user (uid 1000)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0770), "it is writable by its group (mode 0770)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 040702), "it is writable by everybody (mode 0702)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 01777), "it is writable by everybody (mode 1777)");
}

TEST(NativeCache, CacheFolderChoice) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "a" / "b").string());
    ntest::child_result r = ntest::run_child("cachedir");
    EXPECT_NE(r.output.find("dir=" + (dir / "a" / "b").string() + " mode=700 exists=1"), std::string::npos) << r.output;
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);

    // set but empty: no candidate, and nothing else is consulted
    env.set("LUM_KERNEL_CACHE", "");
    env.set("XDG_CACHE_HOME", (dir / "xdg").string());
    env.set("TMPDIR", (dir / "tmp").string());
    fs::create_directory(dir / "tmp");
    r = ntest::run_child("cachedir");
    EXPECT_NE(r.output.find("dir=" + (dir / "tmp").string() + "/lumioscript-kernels-"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "xdg"));

    env.unset("LUM_KERNEL_CACHE");
    r = ntest::run_child("cachedir");
    EXPECT_NE(r.output.find("dir=" + (dir / "xdg" / "lumioscript" / "kernels").string()), std::string::npos) << r.output;

    env.set("XDG_CACHE_HOME", "relative/path");
    env.set("HOME", (dir / "home").string());
    r = ntest::run_child("cachedir");
    EXPECT_NE(r.output.find("dir=" + (dir / "home" / ".cache" / "lumioscript" / "kernels").string()), std::string::npos)
        << r.output;

    // an unusable candidate falls back to a private folder named by the pid
    ntest::write_file(dir / "file", "x");
    env.set("LUM_KERNEL_CACHE", (dir / "file" / "sub").string());
    r = ntest::run_child("cachedir");
    EXPECT_NE(r.output.find("lumioscript-kernels-"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("mode=700 exists=1"), std::string::npos) << r.output;
    fs::remove_all(dir);
}

TEST(NativeCache, PlantedFallbackFolderIsRefused) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    ntest::write_file(dir / "file", "x");
    env.set("LUM_KERNEL_CACHE", (dir / "file" / "sub").string());  // unusable: the fallback is next
    env.set("TMPDIR", dir.string());
    for (const char* how : {"symlink", "loose", "foreign"}) {
        const ntest::child_result r = ntest::run_child("planted", how);
        if (r.output == "status=skip\n") continue;  // another user's folder needs root
        EXPECT_EQ(r.output, "status=failed: no directory for compiled kernels (set LUM_KERNEL_CACHE)\n") << how;
    }
    EXPECT_TRUE(files_in(dir / "real").empty());  // nothing was written through the link
    fs::remove_all(dir);
}

TEST(NativeCache, CacheFolderOthersCanWriteIsRefused) {
    const fs::path dir = ntest::temp_dir("child");
    fs::create_directory(dir / "tmp");
    fs::create_directory(dir / "real");
    ::chmod((dir / "real").c_str(), 0700);
    fs::create_directory_symlink(dir / "real", dir / "link");
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown((dir / "link").c_str(), 65534, 65534), 0);  // a link of another user
    }
    env_scope env;
    env.unset("LUM_KERNEL_CC");
    env.set("TMPDIR", (dir / "tmp").string());
    struct folder_case {
        const char* name;
        unsigned mode;
        const char* why;
    };
    for (const folder_case& c : {folder_case{"open", 0777, "it is writable by everybody (mode 0777)"},
                                 folder_case{"group", 0770, "it is writable by its group (mode 0770)"},
                                 folder_case{"link", 0, "it is a symbolic link"}}) {
        const fs::path cache = dir / c.name;
        if (c.mode != 0) {
            fs::create_directory(cache);
            ASSERT_EQ(::chmod(cache.c_str(), c.mode), 0);
        }
        env.set("LUM_KERNEL_CACHE", cache.string());
        const ntest::child_result r = ntest::run_child("sync_warnings");
        EXPECT_EQ(r.status, 0) << r.output;
        // the next rule: this process's own folder, removed when it ended
        EXPECT_NE(r.output.find("status=ready\nsame\nwarning: kernel cache folder " + cache.string() +
                                " is not used: " + c.why + "\n"),
                  std::string::npos)
            << c.name << ": " << r.output;
        EXPECT_TRUE(files_in(cache).empty()) << c.name;
        EXPECT_TRUE(files_in(dir / "tmp").empty()) << c.name;
    }
    // a file where the folder should be
    ntest::write_file(dir / "plain", "x");
    env.set("LUM_KERNEL_CACHE", (dir / "plain").string());
    const ntest::child_result r = ntest::run_child("sync_warnings");
    EXPECT_NE(r.output.find("warning: kernel cache folder " + (dir / "plain").string() + " is not used: it is not a folder\n"),
              std::string::npos)
        << r.output;
    fs::remove_all(dir);
}

TEST(NativeCache, DiskCacheStaleLibraryAndQuotedFolder) {
    const fs::path dir = ntest::temp_dir("child");
    // a folder name that would run commands if it were not escaped
    const fs::path cache = dir / "ca che $(touch pwned) `touch pwned2` \"q\" \\b";
    const fs::path log = dir / "compiles.log";
    const fs::path cc = counting_compiler(dir, log);
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", cc.string());

    ntest::child_result first = ntest::run_child("sync");
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("status=ready\nsame\n"), std::string::npos) << first.output;
    EXPECT_EQ(count_lines(log), 1u);
    EXPECT_FALSE(fs::exists(dir / "pwned") || fs::exists("pwned") || fs::exists("pwned2"));
    std::vector<fs::path> files = files_in(cache);
    ASSERT_EQ(files.size(), 1u);  // the final library only, no temporaries
    const fs::path lib = files[0];
    EXPECT_TRUE(lib.filename().string().starts_with("k_"));
    EXPECT_EQ(lib.extension(), ".so");
    EXPECT_EQ(lib.filename().string().size(), 2 + 16 + 3);
    struct stat st{};
    ASSERT_EQ(::stat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777u, 0700u);

    // a second process loads the library from disk without compiling
    ntest::child_result second = ntest::run_child("sync");
    EXPECT_NE(second.output.find("status=ready\nsame\n"), std::string::npos) << second.output;
    EXPECT_EQ(count_lines(log), 1u);

    // a stale file of that name without the entry is rebuilt and replaced
    ntest::write_file(dir / "stale.c", "int not_an_entry = 7;\n");
    ASSERT_EQ(std::system(("gcc -shared -fPIC -o '" + (dir / "stale.so").string() + "' '" + (dir / "stale.c").string() + "'").c_str()), 0);
    fs::rename(dir / "stale.so", lib);
    ntest::child_result third = ntest::run_child("sync");
    EXPECT_NE(third.output.find("status=ready\nsame\n"), std::string::npos) << third.output;
    EXPECT_EQ(count_lines(log), 2u);
    void* h = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(::dlsym(h, "lumk_jit_entry"), nullptr);
    ::dlclose(h);
    EXPECT_EQ(files_in(cache).size(), 1u);
    fs::remove_all(dir);
}

// Under a umask that lets everybody write, the compiler leaves a library
// others could change; the driver takes their write access away, so the next
// process still trusts and loads it instead of compiling again.
TEST(NativeCache, LibrariesBuiltUnderAnOpenUmaskAreMadePrivate) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", log = dir / "compiles.log";
    const fs::path cc = counting_compiler(dir, log);
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", cc.string());
    const mode_t old_mask = ::umask(0);
    const ntest::child_result first = ntest::run_child("sync");
    const ntest::child_result second = ntest::run_child("sync");
    ::umask(old_mask);
    EXPECT_NE(first.output.find("status=ready\nsame\n"), std::string::npos) << first.output;
    EXPECT_NE(second.output.find("status=ready\nsame\n"), std::string::npos) << second.output;
    const std::vector<fs::path> files = files_in(cache);
    ASSERT_EQ(files.size(), 1u);
    struct stat st{};
    ASSERT_EQ(::stat(files[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 022u, 0u);
    EXPECT_EQ(count_lines(log), 1u);  // the second process loaded it
    fs::remove_all(dir);
}

TEST(NativeCache, PlantedLibraryIsNotLoaded) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", log = dir / "compiles.log", marker = dir / "planted-ran";
    fs::create_directory(cache);
    ::chmod(cache.c_str(), 0700);
    const fs::path cc = counting_compiler(dir, log);
    // a library that announces itself when loaded, under the name the
    // compile of the kernel gets
    const fs::path evil = announcing_library(dir, marker);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const uint64_t hash = lumk_jit_file_hash(cc.string(), std::string(lumk_jit_flags_cc) + " " + lumk_jit_libs_cc,
                                             lumk_jit_source(*u->programs[0]));
    char name[40];
    std::snprintf(name, sizeof name, "k_%016llx.so", static_cast<unsigned long long>(hash));
    const fs::path lib = cache / name;

    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", cc.string());
    size_t compiles = 0;
    for (const char* how : {"writable", "symlink"}) {
        fs::remove(lib);
        if (std::string(how) == "writable") {
            fs::copy_file(evil, lib);
            ASSERT_EQ(::chmod(lib.c_str(), 0666), 0);
        } else {
            fs::create_symlink(evil, lib);  // to a library of ours that is private: only the link is wrong
        }
        const ntest::child_result r = ntest::run_child("sync_warnings");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("status=ready\nsame\nwarning: kernel library " + lib.string() + " is not loaded: "),
                  std::string::npos)
            << how << ": " << r.output;
        EXPECT_FALSE(fs::exists(marker)) << how << ": the planted library ran";
        EXPECT_EQ(count_lines(log), ++compiles) << how;  // compiled again, and put in its place
        struct stat st{};
        ASSERT_EQ(::lstat(lib.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << how;
        EXPECT_EQ(st.st_mode & 022u, 0u) << how;
    }
    // the library compiled in its place is used as it is
    const ntest::child_result again = ntest::run_child("sync_warnings");
    EXPECT_EQ(again.output, "status=ready\nsame\n");
    EXPECT_EQ(count_lines(log), compiles);
    fs::remove_all(dir);
}

TEST(NativeCache, TemporaryFolderGoesWithTheProcess) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.unset("LUM_KERNEL_CC");
    env.set("LUM_KERNEL_CACHE", "");  // empty: straight to the temporary folder
    env.set("XDG_CACHE_HOME", (dir / "xdg").string());
    env.set("HOME", (dir / "home").string());
    env.set("TMPDIR", (dir / "tmp").string());
    fs::create_directory(dir / "tmp");
    const ntest::child_result r = ntest::run_child("compile_and_exit");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("status=ready\nsame\ntemporary=1 files=1 dir=" + (dir / "tmp").string() +
                            "/lumioscript-kernels-"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(files_in(dir / "tmp").empty());  // removed, library and all
    EXPECT_FALSE(fs::exists(dir / "xdg") || fs::exists(dir / "home"));
    fs::remove_all(dir);
}

// Every folder from the root down to the cache folder must belong to root or
// to the user and be writable by nobody else unless it is sticky; otherwise
// the next rule (here the process's own folder) is used, with the reason.
TEST(NativeCache, EveryFolderOnThePathIsChecked) {
    const fs::path dir = ntest::temp_dir("child");
    for (const char* d : {"tmp", "open", "open/inner", "group", "sticky", "real"}) fs::create_directory(dir / d);
    ASSERT_EQ(::chmod((dir / "open").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((dir / "group").c_str(), 0770), 0);
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
    fs::create_directory_symlink(dir / "real", dir / "alias");
    fs::create_directory_symlink(dir / "open" / "inner", dir / "alias_open");
    const bool root = ::geteuid() == 0;
    if (root) {
        for (const char* d : {"foreign", "foreign2", "foreign2/mid"}) fs::create_directory(dir / d);
        ASSERT_EQ(::chown((dir / "foreign").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown((dir / "foreign2").c_str(), 65534, 65534), 0);
    }
    env_scope env;
    env.unset("LUM_KERNEL_CC");
    env.set("TMPDIR", (dir / "tmp").string());
    const std::string open_why = "the folder " + (dir / "open").string() +
                                 " on its path is writable by everybody (mode 0777) and not sticky";
    struct path_case {
        fs::path cache;
        std::string why;  // "" when the folder is used
        fs::path lands;   // where the library lands when it is used
    };
    std::vector<path_case> cases = {
        {dir / "open" / "cache", open_why, {}},
        {dir / "group" / "a" / "cache",
         "the folder " + (dir / "group").string() + " on its path is writable by its group (mode 0770) and not sticky",
         {}},
        {dir / "alias_open" / "cache", open_why, {}},  // a link on the way leads through the open folder
        {dir / "sticky" / "cache", "", dir / "sticky" / "cache"},
        {dir / "alias" / "cache", "", dir / "real" / "cache"},
    };
    if (root) {
        const std::string foreign = " on its path belongs to another user (uid 65534)";
        cases.push_back({dir / "foreign" / "cache", "the folder " + (dir / "foreign").string() + foreign, {}});
        cases.push_back({dir / "foreign2" / "mid" / "cache", "the folder " + (dir / "foreign2").string() + foreign, {}});
    }
    for (const path_case& c : cases) {
        env.set("LUM_KERNEL_CACHE", c.cache.string());
        const ntest::child_result r = ntest::run_child("sync_warnings");
        EXPECT_EQ(r.status, 0) << r.output;
        if (c.why.empty()) {
            EXPECT_EQ(r.output, "status=ready\nsame\n") << c.cache;
            EXPECT_EQ(files_in(c.lands).size(), 1u) << c.cache;
        } else {
            EXPECT_EQ(r.output, "status=ready\nsame\nwarning: kernel cache folder " + c.cache.string() +
                                    " is not used: " + c.why + "\n")
                << c.cache;
            EXPECT_FALSE(fs::exists(c.cache)) << c.cache;
        }
        EXPECT_TRUE(files_in(dir / "tmp").empty()) << c.cache;  // the process's own folder went with it
    }
    EXPECT_TRUE(files_in(dir / "open" / "inner").empty());
    if (root) {
        EXPECT_TRUE(files_in(dir / "foreign").empty());  // nothing made in another user's folder
    }

    // the process's own folder under a temporary folder others may write to
    env.set("LUM_KERNEL_CACHE", "");
    env.set("TMPDIR", (dir / "open").string());
    const ntest::child_result r = ntest::run_child("sync_warnings");
    EXPECT_NE(r.output.find("status=failed: no directory for compiled kernels (set LUM_KERNEL_CACHE)\n"
                            "warning: kernel cache folder " + (dir / "open").string() + "/lumioscript-kernels-"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(" is not used: " + open_why + "\n"), std::string::npos) << r.output;
    fs::remove_all(dir);
}

// Once checked, the cache folder is used as it was: a folder of the same name
// put in its place later is neither compiled into nor loaded from.
TEST(NativeCache, FolderReplacedAfterTheCheckIsNotUsed) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", marker = dir / "planted-ran";
    const fs::path evil = announcing_library(dir, marker);
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", counting_compiler(dir, dir / "compiles.log").string());
    const ntest::child_result r = ntest::run_child("swap", evil.string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "status=ready\nsame\npoly=ready\nsame\n");
    EXPECT_FALSE(fs::exists(marker)) << "the library in the new folder ran";
    EXPECT_EQ(count_lines(dir / "compiles.log"), 2u);
    EXPECT_EQ(files_in(fs::path(cache.string() + ".moved")).size(), 2u);  // both libraries
    EXPECT_EQ(files_in(cache).size(), 1u);                                 // the planted one only
    fs::remove_all(dir);
}

// The C file of a compile is always a new file: a file or link another
// process has under the name chosen is never written through nor removed;
// the compile takes a fresh name.
TEST(NativeCache, SourceFileIsNeverWrittenThroughALeftover) {
    const fs::path dir = ntest::temp_dir("child");
    ntest::write_file(dir / "keep.txt", "unchanged\n");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    const ntest::child_result r = ntest::run_child("leftover", (dir / "keep.txt").string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "status=ready\nsame\n");
    std::ifstream f(dir / "keep.txt");
    std::string text;
    std::getline(f, text);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(files_in(dir / "cache").size(), 2u);  // the library and the link
    size_t links = 0;
    for (const fs::path& f : files_in(dir / "cache")) links += fs::is_symlink(f);
    EXPECT_EQ(links, 1u);
    fs::remove_all(dir);
}

// Offset of a byte inside the executable segment of a 64-bit ELF library
// just built.
size_t code_byte(const std::string& elf) {
    Elf64_Ehdr eh{};
    std::memcpy(&eh, elf.data(), sizeof eh);
    for (size_t i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph{};
        std::memcpy(&ph, elf.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) return ph.p_offset + ph.p_filesz / 2;
    }
    return 0;
}

// A library cut short (a crash before it reached the disk, a partial copy, a
// full disk), empty, not a library at all, of full length with its contents
// lost or changed, or without the checksum of a library published by this
// version, is never handed to the loader: one warning naming it, a fresh
// compile, and the whole library in its place. The library with its later
// half zeroed is tried 20 times.
TEST(NativeCache, DamagedLibraryIsCompiledAgain) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", log = dir / "compiles.log";
    env_scope env;
    const fs::path lib = first_library(env, dir, cache, log);
    ASSERT_FALSE(lib.empty());
    std::string whole;
    {
        std::ifstream f(lib, std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(whole.size(), 9000u);
    const size_t elf_size = whole.size() - lumk_seal_size;  // the library as the compiler wrote it

    std::string random_bytes(9000, '\0');
    std::mt19937 gen(7);
    for (char& c : random_bytes) c = static_cast<char>(gen());
    random_bytes[0] = 'x';
    std::string far_headers = whole;  // program headers said to lie far past the end
    for (size_t i = 32; i < 40; ++i) far_headers[i] = static_cast<char>(0xf0);
    std::string zeroed = whole;  // length kept, the later half lost
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2), zeroed.end(), '\0');
    std::string zeroed_sealed = zeroed;  // the same, the trailer still there
    std::copy(whole.end() - lumk_seal_size, whole.end(), zeroed_sealed.end() - lumk_seal_size);
    std::string code_changed = whole;
    const size_t code = code_byte(whole);
    ASSERT_GT(code, 0u);
    code_changed[code] = static_cast<char>(code_changed[code] ^ 0x5a);

    const std::string cut = "it is not a whole library (";
    const std::string no_checksum = "it has no checksum (a library of an earlier version, or its end is damaged)";
    const std::string mismatch = "it is damaged (its checksum does not match its contents)";
    struct damage {
        std::string name, bytes, why;
    };
    std::vector<damage> cases = {{"empty", "", cut + "it is empty"},
                                 {"random", random_bytes, cut + "no ELF header"},
                                 {"far headers", far_headers,
                                  cut + std::to_string(whole.size()) + " bytes, but the program header table ends at byte "},
                                 {"no checksum", whole.substr(0, elf_size), no_checksum},
                                 {"code changed", code_changed, mismatch},
                                 {"later half zeroed, trailer kept", zeroed_sealed, mismatch}};
    for (size_t size : {size_t{700}, size_t{2000}, size_t{5000}, size_t{9000}, elf_size - 1})
        cases.push_back({"cut to " + std::to_string(size), whole.substr(0, size), cut + std::to_string(size) + " bytes, but "});
    for (int run = 1; run <= 20; ++run) cases.push_back({"later half zeroed, run " + std::to_string(run), zeroed, no_checksum});
    size_t compiles = 1;
    for (const damage& c : cases) {
        fs::remove(lib);
        ntest::write_file(lib, c.bytes);
        ASSERT_EQ(::chmod(lib.c_str(), 0755), 0);
        const ntest::child_result r = ntest::run_child("sync_bounded");
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.output;
        const std::string head = "status=ready\nsame\nwarning: kernel library " + lib.string() + " is not loaded: " + c.why;
        EXPECT_EQ(r.output.substr(0, head.size()), head) << c.name << ": " << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 3) << c.name << ": " << r.output;  // one warning
        EXPECT_EQ(count_lines(log), ++compiles) << c.name;
        EXPECT_EQ(fs::file_size(lib), whole.size()) << c.name;  // replaced by a whole library
    }
    EXPECT_EQ(ntest::run_child("sync_bounded").output, "status=ready\nsame\n");
    EXPECT_EQ(count_lines(log), compiles);
    fs::remove_all(dir);
}

// The file the loader opens must be the one examined: another library put in
// its place between the checks and the load is refused (its entry, which
// computes nothing, is never used) and the kernel compiled again. A library
// that cannot be published under its name (a folder stands there) is still
// used and leaves no file behind: run after run, the folder stays alone.
TEST(NativeCache, LibrarySwappedBeforeTheLoadOrNotPublished) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", log = dir / "compiles.log";
    env_scope env;
    const fs::path lib = first_library(env, dir, cache, log);
    ASSERT_FALSE(lib.empty());
    ntest::write_file(dir / "other.c", "int lumk_jit_entry(void) { return 0; }\n");
    ASSERT_EQ(std::system(("gcc -shared -fPIC -o '" + (dir / "other.so").string() + "' '" +
                           (dir / "other.c").string() + "'").c_str()),
              0);
    const std::string head = "status=ready\nsame\nwarning: kernel library " + lib.string() + " is not loaded: ";
    EXPECT_EQ(ntest::run_child("swap_before_load", (dir / "other.so").string()).output,
              head + "the file loaded is not the one examined; it is compiled again\n");
    EXPECT_FALSE(fs::exists(dir / "other.so"));  // it was put in place
    EXPECT_EQ(count_lines(log), 2u);

    fs::remove(lib);
    fs::create_directory(lib);
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(ntest::run_child("sync_bounded").output, head + "it is not a plain file; it is compiled again\n") << run;
        EXPECT_EQ(files_in(cache), std::vector<fs::path>{lib}) << run;
    }
    EXPECT_EQ(count_lines(log), 5u);
    fs::remove_all(dir);
}

// A kernel's C file that cannot be written (here a full disk) fails the
// compile at once: the status names the file only ("cannot write PATH", as
// scripts compare it), the warning gives the system's reason, and no part of
// the file is left.
TEST(NativeCache, SourceFileThatCannotBeWrittenFailsTheCompile) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache";
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", counting_compiler(dir, dir / "compiles.log").string());
    const ntest::child_result r = ntest::run_child("file_limit", "100");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string failed = "status=failed: cannot write ";
    ASSERT_EQ(r.output.substr(0, failed.size() + cache.string().size() + 3), failed + cache.string() + "/k_") << r.output;
    const size_t end = r.output.find('\n');
    const std::string path = r.output.substr(failed.size(), end - failed.size());
    EXPECT_TRUE(path.ends_with(".c")) << r.output;
    EXPECT_EQ(r.output.substr(end + 1), "warning: kernel source " + path + " cannot be written: " + std::strerror(EFBIG) + "\n");
    EXPECT_TRUE(files_in(cache).empty());
    EXPECT_FALSE(fs::exists(dir / "compiles.log"));
    fs::remove_all(dir);
}

// A FIFO (or another special file) under a library's name does not hold the
// launch up: it is refused at once and the library compiled in its place.
TEST(NativeCache, SpecialFileUnderALibraryNameDoesNotBlock) {
    const fs::path dir = ntest::temp_dir("child");
    const fs::path cache = dir / "cache", log = dir / "compiles.log";
    env_scope env;
    const fs::path lib = first_library(env, dir, cache, log);
    ASSERT_FALSE(lib.empty());
    fs::remove(lib);
    ASSERT_EQ(::mkfifo(lib.c_str(), 0700), 0);
    const auto start = std::chrono::steady_clock::now();
    const ntest::child_result r = ntest::run_child("sync_bounded");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "status=ready\nsame\nwarning: kernel library " + lib.string() +
                            " is not loaded: it is not a plain file; it is compiled again\n");
    EXPECT_EQ(count_lines(log), 2u);
    struct stat st{};
    ASSERT_EQ(::lstat(lib.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    fs::remove_all(dir);
}

// A long-running host compiles kernel after kernel: the libraries it loaded
// keep no descriptor open, so the count stays flat, and more kernels than the
// usual limit of 1,024 descriptors all load. The compiler here copies a small
// prebuilt library, so that a compile takes milliseconds.
TEST(NativeCache, LoadedLibrariesKeepNoDescriptor) {
    const fs::path dir = ntest::temp_dir("child");
    ntest::write_file(dir / "tiny.c", "int lumk_jit_entry(void) { return 0; }\n");
    ASSERT_EQ(std::system(("gcc -shared -fPIC -o '" + (dir / "tiny.so").string() + "' '" + (dir / "tiny.c").string() +
                           "'").c_str()),
              0);
    write_script(dir / "copy.sh", "[ \"$1\" = --version ] && exit 0\n"
                                  "while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
                                  "exec cp '" + (dir / "tiny.so").string() + "' \"$out\"\n");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", (dir / "copy.sh").string());
    const ntest::child_result r = ntest::run_child("many_kernels", "2000");
    EXPECT_EQ(r.status, 0) << r.output;
    int failed = -1;
    long long gained = -1;
    ASSERT_EQ(std::sscanf(r.output.c_str(), "failed=%d gained=%lld", &failed, &gained), 2) << r.output;
    EXPECT_EQ(failed, 0);
    EXPECT_LE(gained, 2) << "descriptors gained over 2000 libraries";
    EXPECT_EQ(files_in(dir / "cache").size(), 2001u);
    fs::remove_all(dir);
}
