// The folder for compiled kernels and the libraries in it: which folder is
// chosen, whom it and its libraries must belong to, planted folders and
// libraries, libraries cached across processes, stale and loosely
// permitted libraries, and the temporary folder that goes with the process.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using ntest::count_lines;
using ntest::entry_agrees;
using ntest::env_scope;
using ntest::files_in;
using ntest::kPoly;
using ntest::kSaxpy;
using ntest::unit_of;
using ntest::write_script;

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

const bool kScenarios = ntest::add_child_scenario("cachedir", child_cache_dir, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("planted", child_planted, ntest::child_end::immediate) &&
                        ntest::add_child_scenario("compile_and_exit", child_compile_and_exit, ntest::child_end::normal);

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
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] || echo run >> '" + log.string() + "'\nexec gcc \"$@\"\n");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());

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
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] || echo run >> '" + log.string() + "'\nexec gcc \"$@\"\n");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", cache.string());
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
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
    const fs::path cc = dir / "cc.sh";
    write_script(cc, "[ \"$1\" = --version ] || echo run >> '" + log.string() + "'\nexec gcc \"$@\"\n");
    // a library that announces itself when loaded, under the name the
    // compile of the kernel gets
    ntest::write_file(dir / "evil.c", "#include <stdio.h>\n__attribute__((constructor)) static void ran(void) { "
                                      "FILE* f = fopen(\"" + marker.string() + "\", \"w\"); if (f) fclose(f); }\n"
                                      "int lumk_jit_entry(void) { return 0; }\n");
    ASSERT_EQ(std::system(("gcc -shared -fPIC -o '" + (dir / "evil.so").string() + "' '" + (dir / "evil.c").string() +
                           "'").c_str()),
              0);
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
            fs::copy_file(dir / "evil.so", lib);
            ASSERT_EQ(::chmod(lib.c_str(), 0666), 0);
        } else {
            ::chmod((dir / "evil.so").c_str(), 0755);  // ours and private: only the link is wrong
            fs::create_symlink(dir / "evil.so", lib);
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
