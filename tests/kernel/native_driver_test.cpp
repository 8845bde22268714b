// Native compilation driver: JIT requests under each policy with their slot
// transitions, queued compiles that never run, ahead-of-time binding, status
// texts, and (in child processes, since the compiler is chosen once per
// process) the disk cache, stale libraries, failing and missing compilers,
// the cache folder and the ahead-of-time road end to end.

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

#include "kernel/exec/aot.h"
#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/native_test_util.h"
#include "tests/kernel/kernel_sources.h"

using ktest::buffer;
namespace fs = std::filesystem;

namespace {

using ntest::held_pool;
using ntest::policy_scope;

const char* const kSaxpy = kernel_src::saxpy;
const char* const kPoly =
    "kernel poly(const f32* x, f32* y) {\n"
    "  f32 v = x[gid]; f32 acc = 0.0;\n"
    "  for (i32 i = 0; i < 16; i++) { acc = acc * v + f32(i % 5) * 0.25; }\n"
    "  y[gid] = acc;\n"
    "}";

std::shared_ptr<const lumk_unit> unit_of(const char* src) {
    ktest::compiled c = ktest::compile(src);
    EXPECT_TRUE(c.ok()) << c.err.message;
    return c.unit;
}

std::vector<buffer> saxpy_data() {
    std::vector<float> y(300), x(300);
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = static_cast<float>(i) * 0.5f;
        x[i] = 3.0f - static_cast<float>(i % 13);
    }
    return {buffer::of(y), buffer::of(x)};
}

// Whether the program's ready entry computes what the interpreter computes.
bool entry_agrees(const lumk_program& p) {
    lumk_jit_entry_fn e = lumk_jit_ready_entry(*p.jit);
    if (e == nullptr) return false;
    std::vector<buffer> in = saxpy_data();
    if (p.params.size() == 2) in = {in[1], in[0]};  // poly(x, y)
    const std::vector<uint64_t> values = p.params.size() == 3 ? std::vector<uint64_t>{0x40200000} : std::vector<uint64_t>{};
    ntest::engine_run a = ntest::run_engine(p, nullptr, 300, in, values);
    ntest::engine_run b = ntest::run_engine(p, e, 300, in, values);
    return a.code == 0 && b.code == 0 && a.buffers == b.buffers;
}

// ---- child-process scenarios ---------------------------------------------------

int child_sync() {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    lumk_jit_request(u, p, nullptr);
    std::printf("status=%s\n", lumk_jit_status(p).c_str());
    if (lumk_jit_load_state(*p->jit) == LUMK_JIT_READY) std::printf("%s\n", entry_agrees(*p) ? "same" : "differ");
    return 0;
}

int child_aot(const std::string& lib) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    std::string error;
    std::printf("rows=%d %s\n", lumk_aot_load(lib, &error), error.c_str());
    int offered = 0;
    for (const char* src : {kSaxpy, kPoly}) {
        std::shared_ptr<const lumk_unit> u = unit_of(src);
        const lumk_program* p = u->programs[0].get();
        lumk_jit_request(u, p, [&](std::function<void()>) { return ++offered, false; });
        std::printf("%s status=%s %s\n", p->name.c_str(), lumk_jit_status(p).c_str(),
                    entry_agrees(*p) ? "same" : "differ");
    }
    std::printf("offered=%d\n", offered);
    return 0;
}

int child_cache_dir() {
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
    const int rc = child_sync();
    std::error_code ec;
    fs::remove_all(d, ec);
    return rc;
}

std::vector<fs::path> files_in(const fs::path& dir);

// The driver's warnings in a child process, printed by the scenarios that
// want them.
std::vector<std::string>& child_warnings() {
    static std::vector<std::string>* const w = new std::vector<std::string>;
    return *w;
}

// Like "sync", then the warnings; the process ends normally (the module's
// shutdown runs).
int child_sync_warnings() {
    const int rc = child_sync();
    for (const std::string& w : child_warnings()) std::printf("warning: %s\n", w.c_str());
    return rc;
}

// The compiler hangs (it writes its pid to the file named by the argument);
// the process exits normally while the compile runs on another thread.
int child_exit_while_compiling(const std::string& pid_file) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    std::thread([u] { lumk_jit_request(u, u->programs[0].get(), nullptr); }).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(pid_file) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the compiler's child starts too
    std::printf("compiling=%d\n", fs::exists(pid_file) ? 1 : 0);
    return 0;
}

// Compiles into the folder chosen for this process and shows it; the process
// ends normally (the module's shutdown runs).
int child_compile_and_exit() {
    const int rc = child_sync();
    bool temporary = false;
    const fs::path d = lumk_cache_dir(nullptr, &temporary);
    std::printf("temporary=%d files=%zu dir=%s\n", temporary ? 1 : 0, files_in(d).size(), d.c_str());
    return rc;
}

// Runs the scenario named by LUM_NATIVE_CHILD, if any, and ends the process.
class child_scenarios : public ::testing::Environment {
public:
    void SetUp() override {
        const char* which = std::getenv("LUM_NATIVE_CHILD");
        if (which == nullptr) return;
        const char* arg = std::getenv("LUM_NATIVE_CHILD_ARG");
        const std::string w = which;
        std::printf("--child--\n");
        int rc = 2;
        if (w == "sync") rc = child_sync();
        else if (w == "aot") rc = child_aot(arg ? arg : "");
        else if (w == "cachedir") rc = child_cache_dir();
        else if (w == "planted") rc = child_planted(arg ? arg : "");
        lumk_set_warning_sink([](const std::string& text) { child_warnings().push_back(text); });
        bool normal_exit = true;
        if (w == "sync_warnings") rc = child_sync_warnings();
        else if (w == "exit_while_compiling") rc = child_exit_while_compiling(arg ? arg : "");
        else if (w == "compile_and_exit") rc = child_compile_and_exit();
        else normal_exit = false;
        std::fflush(stdout);
        if (normal_exit) std::exit(::testing::Test::HasFailure() ? 3 : rc);
        std::_Exit(::testing::Test::HasFailure() ? 3 : rc);
    }
};
[[maybe_unused]] ::testing::Environment* const kChildEnv = ::testing::AddGlobalTestEnvironment(new child_scenarios);

// Environment of one child run, restored afterwards.
struct env_scope {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> unset_after;
    void set(const char* name, const std::string& value) {
        if (const char* old = std::getenv(name)) saved.emplace_back(name, old);
        else unset_after.emplace_back(name);
        ::setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        set(name, "");
        ::unsetenv(name);
    }
    ~env_scope() {
        for (auto& [n, v] : saved) ::setenv(n.c_str(), v.c_str(), 1);
        for (auto& n : unset_after) ::unsetenv(n.c_str());
    }
};

size_t count_lines(const fs::path& p) {
    FILE* f = std::fopen(p.c_str(), "r");
    if (f == nullptr) return 0;
    size_t n = 0;
    for (int ch; (ch = std::fgetc(f)) != EOF;) n += ch == '\n';
    std::fclose(f);
    return n;
}

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> v;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) v.push_back(e.path());
    return v;
}

void write_script(const fs::path& p, const std::string& body) {
    ntest::write_file(p, "#!/bin/sh\n" + body);
    fs::permissions(p, fs::perms::owner_all);
}

}  // namespace

// ---- in-process requests ---------------------------------------------------------

TEST(NativeDriver, AutoCompilesInTheBackgroundOnce) {
    ntest::use_private_cache();
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> u = unit_of(kPoly);
    const lumk_program* p = u->programs[0].get();
    std::vector<std::thread> workers;
    int offered = 0;
    auto submit = [&](std::function<void()> job) {
        ++offered;
        workers.emplace_back(std::move(job));
        return true;
    };
    lumk_jit_request(u, p, submit);
    lumk_jit_request(u, p, submit);  // compiling or ready: no second job
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(offered, 1);
    EXPECT_EQ(lumk_jit_status(p), "ready");
    EXPECT_TRUE(entry_agrees(*p));
    lumk_jit_request(u, p, submit);
    EXPECT_EQ(offered, 1);
}

TEST(NativeDriver, QueuedJobDestroyedUnrunPutsTheSlotBack) {
    ntest::use_private_cache();
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    {
        held_pool pool;
        lumk_jit_request(u, p, pool.submit());
        EXPECT_EQ(lumk_jit_status(p), "compiling");
        std::function<void()> copy = pool.jobs[0];  // copies share one compile
        pool.jobs.clear();
        EXPECT_EQ(lumk_jit_status(p), "compiling");
    }
    EXPECT_EQ(lumk_jit_status(p), "none");
    held_pool again;
    lumk_jit_request(u, p, again.submit());
    EXPECT_EQ(again.offered, 1);
    again.jobs[0]();
    EXPECT_EQ(lumk_jit_status(p), "ready");
}

TEST(NativeDriver, SyncLaunchTakesOverAJobThatNeverRuns) {
    ntest::use_private_cache();
    policy_scope autop(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    held_pool pool;  // never runs its jobs
    lumk_jit_request(u, p, pool.submit());
    ASSERT_EQ(lumk_jit_status(p), "compiling");
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    lumk_jit_request(u, p, pool.submit());  // must not wait forever
    EXPECT_EQ(lumk_jit_status(p), "ready");
    EXPECT_EQ(pool.offered, 1);
    lumk_jit_entry_fn e = lumk_jit_ready_entry(*p->jit);
    pool.jobs[0]();  // already claimed: nothing happens
    pool.jobs.clear();
    EXPECT_EQ(lumk_jit_ready_entry(*p->jit), e);
    EXPECT_TRUE(entry_agrees(*p));

    // sync from the start compiles on the calling thread
    std::shared_ptr<const lumk_unit> u2 = unit_of(kPoly);
    lumk_jit_request(u2, u2->programs[0].get(), nullptr);
    EXPECT_EQ(lumk_jit_status(u2->programs[0].get()), "ready");

    // a compile already running on a worker: the sync launch returns only
    // once it is done (it either waits for the worker or took the job first)
    for (int round = 0; round < 5; ++round) {
        std::shared_ptr<const lumk_unit> u3 = unit_of(kSaxpy);
        const lumk_program* p3 = u3->programs[0].get();
        std::thread worker;
        lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
        lumk_jit_request(u3, p3, [&](std::function<void()> job) {
            worker = std::thread(std::move(job));
            return true;
        });
        lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
        lumk_jit_request(u3, p3, nullptr);
        EXPECT_EQ(lumk_jit_status(p3), "ready");
        worker.join();
        EXPECT_EQ(lumk_jit_status(p3), "ready");
    }
}

TEST(NativeDriver, SameCTextSharesOneLibrary) {
    ntest::use_private_cache();
    std::shared_ptr<const lumk_unit> a = unit_of(kSaxpy), b = unit_of(kSaxpy);
    std::string e1, e2;
    lumk_jit_entry_fn f1 = lumk_jit_compile(lumk_jit_source(*a->programs[0]), &e1);
    const size_t loaded = lumk_jit_loaded.size();
    lumk_jit_entry_fn f2 = lumk_jit_compile(lumk_jit_source(*b->programs[0]), &e2);
    ASSERT_NE(f1, nullptr) << e1;
    EXPECT_EQ(f1, f2);
    EXPECT_EQ(lumk_jit_loaded.size(), loaded);
    const std::string src = lumk_jit_source(*a->programs[0]);
    EXPECT_NE(lumk_jit_file_hash("gcc", lumk_jit_flags_cc, src), lumk_jit_file_hash("clang", lumk_jit_flags_cc, src));
    EXPECT_NE(lumk_jit_file_hash("gcc", lumk_jit_flags_cc, src), lumk_jit_file_hash("gcc", lumk_jit_flags_cc, src + " "));
}

TEST(NativeDriver, LibraryWithoutEntryIsRefused) {
    const fs::path dir = ntest::temp_dir("lib");
    ntest::write_file(dir / "x.c", "int lumk_something_else = 1;\n");
    const std::string cmd = "gcc -shared -fPIC -o '" + (dir / "x.so").string() + "' '" + (dir / "x.c").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string error;
    EXPECT_EQ(lumk_load_jit_library(dir / "x.so", &error), nullptr);
    EXPECT_EQ(error, "lumk_jit_entry not found in " + (dir / "x.so").string());
    EXPECT_EQ(lumk_load_jit_library(dir / "missing.so", &error), nullptr);
    EXPECT_EQ(error, "cannot load " + (dir / "missing.so").string());
    EXPECT_EQ(lumk_aot_load((dir / "x.so").string(), &error), -1);
    EXPECT_EQ(error, (dir / "x.so").string() + " is not a kernel library (no lumk_aot_table, build it with -DLUMK_AOT_SHARED)");
    EXPECT_EQ(lumk_aot_load("no/such/lib.so", &error), -1);
    EXPECT_EQ(error, "cannot load no/such/lib.so");
    fs::remove_all(dir);
}

TEST(NativeDriver, CommandsQuotingAndOutputLimit) {
    // a quoted argument reaches the command unchanged, whatever it holds
    for (const std::string text : {"plain", "two words", "q\"uote", "back\\slash", "$HOME", "`id`", "$(id)", "a'b"}) {
        std::string out;
        EXPECT_EQ(lumk_run_command("printf %s " + lumk_quote(text), &out), 0) << text;
        EXPECT_EQ(out, text);
    }
    std::string out = "stale";
    EXPECT_EQ(lumk_run_command("exit 3", &out), 3);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(lumk_run_command("(echo to-stderr >&2)", &out), 0);
    EXPECT_EQ(out, "to-stderr\n");
    // output is kept up to about 16 KB; the rest is read and dropped
    EXPECT_EQ(lumk_run_command("i=0; while [ $i -lt 3000 ]; do echo 0123456789; i=$((i+1)); done", &out), 0);
    EXPECT_GE(out.size(), 16384u);
    EXPECT_LE(out.size(), 16384u + 512u);
}

TEST(NativeDriver, CompilerKindAndQuoting) {
    for (const char* cl : {"cl", "CL.EXE", "C:\\VS\\bin\\cl.exe", "/opt/llvm/clang-cl", "clang-cl.exe"})
        EXPECT_TRUE(lumk_compiler_is_msvc(cl)) << cl;
    for (const char* cc : {"gcc", "clang", "/usr/bin/cc", "cl-wrapper", "mycl"}) EXPECT_FALSE(lumk_compiler_is_msvc(cc)) << cc;
    EXPECT_FALSE(lumk_probe_compiler("/nonexistent/cc"));
    EXPECT_TRUE(lumk_probe_compiler("gcc"));
}

// ---- child processes ---------------------------------------------------------------

TEST(NativeChild, DiskCacheStaleLibraryAndQuotedFolder) {
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
TEST(NativeChild, LibrariesBuiltUnderAnOpenUmaskAreMadePrivate) {
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

TEST(NativeChild, FailingAndMissingCompilers) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    write_script(dir / "bad.sh", "[ \"$1\" = --version ] && exit 0\necho boom\nexit 1\n");
    env.set("LUM_KERNEL_CC", (dir / "bad.sh").string());
    ntest::child_result bad = ntest::run_child("sync");
    EXPECT_EQ(bad.status, 0) << bad.output;
    const std::string prefix = "status=failed: C compiler failed (" + (dir / "bad.sh").string() + " " +
                               lumk_jit_flags_cc + " -o \"" + (dir / "cache").string() + "/k_";
    EXPECT_EQ(bad.output.substr(0, prefix.size()), prefix) << bad.output;
    EXPECT_NE(bad.output.find(".c\" -lm):\nboom\n"), std::string::npos) << bad.output;
    EXPECT_TRUE(files_in(dir / "cache").empty());  // temporaries removed

    for (const char* none : {"", "/nonexistent/cc"}) {
        env.set("LUM_KERNEL_CC", none);
        ntest::child_result r = ntest::run_child("sync");
        EXPECT_EQ(r.output, "status=failed: no C compiler found (set LUM_KERNEL_CC)\n") << none;
    }
    write_script(dir / "noversion.sh", "exit 1\n");
    env.set("LUM_KERNEL_CC", (dir / "noversion.sh").string());
    EXPECT_EQ(ntest::run_child("sync").output, "status=failed: no C compiler found (set LUM_KERNEL_CC)\n");
    fs::remove_all(dir);
}

TEST(NativeChild, CacheFolderChoice) {
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

TEST(NativeChild, PlantedFallbackFolderIsRefused) {
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

TEST(NativeChild, AheadOfTimeLibraryInAFreshProcess) {
    const fs::path dir = ntest::temp_dir("child");
    std::shared_ptr<const lumk_unit> a = unit_of(kSaxpy), b = unit_of(kPoly);
    const std::string src = lumk_aot_source({a->programs[0].get(), b->programs[0].get(), a->programs[0].get()});
    ntest::write_file(dir / "kernels.c", src);
    const std::string cmd = std::string("cc ") + lumk_jit_flags_cc + " -DLUMK_AOT_SHARED -o '" +
                            (dir / "kernels.so").string() + "' '" + (dir / "kernels.c").string() + "' " +
                            lumk_jit_libs_cc;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    // the same text compiled as C++ registers its rows through lumk_aot_register
    ntest::write_file(dir / "kernels.cpp", src + "\n#include <cstdio>\nextern \"C\" void lumk_aot_register(uint64_t, void*) { std::printf(\"row\\n\"); }\nint main() { return 0; }\n");
    const std::string cxx = "c++ -O1 -w -o '" + (dir / "k").string() + "' '" + (dir / "kernels.cpp").string() + "'";
    ASSERT_EQ(std::system(cxx.c_str()), 0);
    FILE* rows = ::popen(("'" + (dir / "k").string() + "'").c_str(), "r");
    ASSERT_NE(rows, nullptr);
    char buf[64];
    int n = 0;
    while (std::fgets(buf, sizeof buf, rows)) n += std::string(buf) == "row\n";
    ::pclose(rows);
    EXPECT_EQ(n, 2);

    env_scope env;
    env.set("LUM_KERNEL_CC", "");  // no compiler needed
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    // a relative path is made absolute before loading
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    ntest::child_result r = ntest::run_child("aot", "kernels.so");
    fs::current_path(cwd);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "rows=2 \nsaxpy status=aot same\npoly status=aot same\noffered=0\n");
    fs::remove_all(dir);
}

// ---- compiler time limit and module shutdown -------------------------------------

namespace {

// A process that still runs (a zombie waiting for its parent counts as gone).
bool process_runs(const fs::path& pid_file) {
    std::ifstream f(pid_file);
    long pid = 0;
    if (!(f >> pid) || pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

// Waits (at most `seconds`) until neither process runs.
bool processes_end(const fs::path& a, const fs::path& b, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (process_runs(a) || process_runs(b)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A compiler that answers the probe, then hangs with a child of its own; it
// writes both process ids into `dir`.
fs::path hanging_compiler(const fs::path& dir) {
    write_script(dir / "hang.sh", "[ \"$1\" = --version ] && exit 0\necho $$ > '" + (dir / "cc.pid").string() +
                                      "'\nsleep 40 &\necho $! > '" + (dir / "sleep.pid").string() +
                                      "'\necho compiling\nwait\n");
    return dir / "hang.sh";
}

}  // namespace

TEST(NativeDriver, CompilerTimeLimitSetting) {
    std::string warning;
    EXPECT_EQ(lumk_cc_timeout_from(nullptr, &warning), 120u);
    EXPECT_EQ(lumk_cc_timeout_from("0", &warning), 0u);
    EXPECT_EQ(lumk_cc_timeout_from("15", &warning), 15u);
    EXPECT_EQ(lumk_cc_timeout_from("4294967295", &warning), 4294967295u);
    EXPECT_TRUE(warning.empty()) << warning;
    for (const char* bad : {"", "abc", "-1", "1.5", " 3", "4294967296", "99999999999999999999"}) {
        warning.clear();
        EXPECT_EQ(lumk_cc_timeout_from(bad, &warning), 120u) << bad;
        EXPECT_NE(warning.find("LUM_KERNEL_CC_TIMEOUT"), std::string::npos) << bad;
    }
}

TEST(NativeDriver, CommandPastItsTimeLimitIsKilledWithItsChildren) {
    const fs::path dir = ntest::temp_dir("limit");
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    bool timed_out = false;
    const int status = lumk_run_command("echo $$ > '" + (dir / "sh.pid").string() + "'; sleep 40 & echo $! > '" +
                                            (dir / "sleep.pid").string() + "'; echo started; wait",
                                        &out, 1, &timed_out);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(timed_out);
    EXPECT_EQ(out, "started\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(processes_end(dir / "sh.pid", dir / "sleep.pid", 10));
    // within the limit nothing changes
    EXPECT_EQ(lumk_run_command("echo quick; exit 4", &out, 30, &timed_out), 4);
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(out, "quick\n");
    fs::remove_all(dir);
}

TEST(NativeChild, HangingCompilerIsStoppedAfterTheTimeLimit) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "1");
    const auto start = std::chrono::steady_clock::now();
    const ntest::child_result r = ntest::run_child("sync");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string head = "status=failed: C compiler failed (" + (dir / "hang.sh").string() + " ";
    EXPECT_EQ(r.output.substr(0, head.size()), head) << r.output;
    EXPECT_NE(r.output.find(".c\" -lm): timed out after 1 s and was stopped (LUM_KERNEL_CC_TIMEOUT)\ncompiling\n"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    EXPECT_TRUE(files_in(dir / "cache").empty());  // the source file is gone
    fs::remove_all(dir);
}

TEST(NativeChild, ShutdownStopsARunningCompile) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");  // no limit: only the shutdown ends it
    const auto start = std::chrono::steady_clock::now();
    const ntest::child_result r = ntest::run_child("exit_while_compiling", (dir / "sleep.pid").string());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.output, "compiling=1\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    EXPECT_TRUE(files_in(dir / "cache").empty()) << files_in(dir / "cache").size();
    fs::remove_all(dir);
}

TEST(NativeChild, TemporaryFolderGoesWithTheProcess) {
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

// ---- whom the cache folder and its libraries belong to ----------------------------

TEST(NativeDriver, OwnerAndModeRule) {
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 040700), "");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0755), "");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0500), "");
    EXPECT_EQ(lumk_owner_mode_problem(0, 1000, 0700), "it belongs to another user (uid 0)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 0, 0700), "it belongs to another user (uid 1000)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 0770), "it is writable by its group (mode 0770)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 040702), "it is writable by everybody (mode 0702)");
    EXPECT_EQ(lumk_owner_mode_problem(1000, 1000, 01777), "it is writable by everybody (mode 1777)");
}

TEST(NativeChild, CacheFolderOthersCanWriteIsRefused) {
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

TEST(NativeChild, PlantedLibraryIsNotLoaded) {
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
