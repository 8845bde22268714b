// Forked copies of a host, made at the moments that matter: while another
// thread of the host sits inside one of the module's tables (the copy must
// not wait for that thread, which it does not have), after the host has
// loaded a kernel whose file another publisher has replaced since, and while
// the copy's own compile runs when it ends through quick_exit. Each host is
// itself a fresh copy of the test process, so the module's tables are new in
// it whatever ran before.
//
// This binary defines pthread_mutex_lock: std::mutex takes its locks through
// it, and a thread that asks for it (stop_inside_the_next_lock) stays inside
// the lock it names, the next time it takes it, until the test lets it go.
// That is how a thread is put inside a table's lock at the moment of a fork
// without a sleep.

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "kernel/script/test_control.h"
#include "kernel/script/unit_cache.h"
#include "runtime/log.h"
#include "runtime/platform.h"
#include "runtime/ptr.h"
#include "runtime/vm_lock.h"
#include "tests/kernel/native_child.h"
#include "tests/script/script_test_support.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

std::atomic<int> threads_parked{0};
std::atomic<bool> parked_may_go{false};
thread_local pthread_mutex_t* park_in_lock = nullptr;

thread_local bool park_in_next_guard = false;

// The calling thread stays inside `lock` the next time it takes it; the other
// locks it takes on the way do not stop it.
void stop_inside_the_next_lock(std::mutex& lock) { park_in_lock = lock.native_handle(); }

void park_until_let_go() {
    threads_parked.fetch_add(1);
    const timespec pause{0, 1000000};
    while (!parked_may_go.load()) ::nanosleep(&pause, nullptr);
}

// The next definition of `name` after this program's, found on first use
// and kept in `real` (not a guarded static itself; dlsym takes no lock of
// the kinds interposed here).
template <class Fn>
Fn next_definition(std::atomic<Fn>& real, const char* name) {
    Fn fn = real.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
        real.store(fn, std::memory_order_release);
    }
    return fn;
}

}  // namespace

// The next definition is the C library's, or under ThreadSanitizer its
// runtime's, which records the lock and takes it with the C library's (GCC
// links that runtime as a shared library, so this definition comes first).
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    static std::atomic<int (*)(pthread_mutex_t*)> real{nullptr};
    const int result = next_definition(real, "pthread_mutex_lock")(mutex);
    if (mutex == park_in_lock && result == 0) {
        park_in_lock = nullptr;
        park_until_let_go();
    }
    return result;
}

// The C++ runtime's guard of a static made on first use: a thread that asks
// (park_in_next_guard) stays inside the next one it takes, making the static.
namespace __cxxabiv1 {
extern "C" int __cxa_guard_acquire(__guard* guard) {
    static std::atomic<int (*)(__guard*)> real{nullptr};
    const int result = next_definition(real, "__cxa_guard_acquire")(guard);
    if (park_in_next_guard && result != 0) {
        park_in_next_guard = false;
        park_until_let_go();
    }
    return result;
}
}  // namespace __cxxabiv1

namespace {

using clock_type = std::chrono::steady_clock;

// A thread that runs `enter`, which stops inside a lock (see
// stop_inside_the_next_lock), held there until this object goes.
class thread_inside_a_lock {
public:
    explicit thread_inside_a_lock(std::function<void()> enter) {
        parked_may_go = false;
        const int before = threads_parked.load();
        thread_ = std::thread(std::move(enter));
        inside_ = wait_until([&] { return threads_parked.load() > before; }, 10);
    }
    ~thread_inside_a_lock() {
        parked_may_go = true;
        thread_.join();
    }
    bool inside() const { return inside_; }

private:
    std::thread thread_;
    bool inside_ = false;
};

struct copy_end {
    pid_t pid = -1;
    int status = -1;  // the exit status; 100 + the signal that ended it; -1 when it was killed after the bound
};

// Forks a copy that runs `work` and exits with its result; waits for it at
// most `seconds`.
copy_end in_copy(const std::function<int()>& work, int seconds = 20) {
    std::fflush(stdout);
    copy_end end;
    end.pid = ::fork();
    if (end.pid == 0) {
        const int rc = work();
        std::fflush(stdout);
        std::_Exit(rc);
    }
    if (end.pid < 0) return end;
    int status = 0;
    const bool ended = wait_until([&] { return ::waitpid(end.pid, &status, WNOHANG) == end.pid; }, seconds);
    if (!ended) {
        ::kill(end.pid, SIGKILL);
        ::waitpid(end.pid, &status, 0);
        return end;
    }
    end.status = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    return end;
}

// Runs `host` in a fresh copy of the test process (at most `seconds`): its
// exit status and what it printed.
child_result run_host(const std::function<int()>& host, int seconds = 60) {
    child_result r;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return r;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int rc = host();
        std::fflush(stdout);
        std::_Exit(rc);
    }
    ::close(out[1]);
    const auto give_up = clock_type::now() + std::chrono::seconds(seconds);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - clock_type::now()).count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        r.output.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (!wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 2)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        r.output += "(the host was killed)";
        return r;
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    return r;
}

std::string c_source_of(const char* kernel) { return lumk_jit_source(*unit_of(kernel)->programs[0]); }

bool compiles(const char* kernel) {
    std::string error;
    if (lumk_jit_compile(c_source_of(kernel), &error) != nullptr) return true;
    std::printf("compile failed: %s\n", error.c_str());
    return false;
}

// A host that has compiled saxpy forks while a thread sits inside a lock
// (`enter` takes it); the copy compiles saxpy and poly. Prints "copy=S".
int fork_beside_a_thread_in_a_lock(const std::function<void()>& enter) {
    if (!compiles(kSaxpy)) return 1;
    thread_inside_a_lock held(enter);
    if (!held.inside()) {
        std::printf("the thread did not get inside the lock\n");
        return 1;
    }
    const copy_end copy = in_copy([] { return compiles(kSaxpy) && compiles(kPoly) ? 0 : 1; });
    std::printf("copy=%d\n", copy.status);
    return 0;
}

void expect_copy_works(const std::function<void()>& enter) {
    const fs::path dir = temp_dir("holds");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.unset("LUM_KERNEL_CC");
    const child_result r = run_host([&] { return fork_beside_a_thread_in_a_lock(enter); });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0\n");  // -1: the copy waited for a thread it does not have
}

void create_file(const fs::path& p) {
    if (FILE* f = std::fopen(p.c_str(), "w")) std::fclose(f);
}

// The kernel library's published name (k_<hash>.so), not a temporary one.
bool published_name(const fs::path& p) {
    const std::string name = p.filename().string();
    return name.rfind("k_", 0) == 0 && name.find('.') == name.rfind('.') && p.extension() == ".so";
}

}  // namespace

// A copy forked while a host thread looks a kernel up in the loaded-kernel
// map (so holds its lock) compiles and finds kernels of its own.
TEST(NativeForkHolds, ACopyForkedInsideTheLoadedKernelMapCompiles) {
    expect_copy_works([] {
        stop_inside_the_next_lock(lumk_jit_loaded.lock_for_tests());
        (void)lumk_jit_loaded.find(1);
    });
}

// A copy forked while a host thread asks for the cache folder it holds open
// chooses and reaches its own folder.
TEST(NativeForkHolds, ACopyForkedInsideTheHeldFolderTableCompiles) {
    expect_copy_works([] {
        stop_inside_the_next_lock(lumk_platform_held_dir_lock_for_tests());
        (void)lumk_platform_held_dir(fs::temp_directory_path());
    });
}

// A copy forked while a host thread is in the cache of compiled units
// compiles units of its own.
TEST(NativeForkHolds, ACopyForkedInsideTheUnitCacheCompilesUnits) {
    const child_result r = run_host([] {
        thread_inside_a_lock held([] {
            std::shared_ptr<lumk_compiled_unit> unit;
            kerror err;
            stop_inside_the_next_lock(lum_kernel_unit_cache_lock_for_tests());
            lum_kernel_compile_cached(unit, kSaxpy, "saxpy.k", &err, {});
        });
        if (!held.inside()) return 1;
        const copy_end copy = in_copy([] {
            std::shared_ptr<lumk_compiled_unit> unit;
            kerror err;
            lum_kernel_compile_cached(unit, kPoly, "poly.k", &err, {});
            return unit != nullptr && lum_kernel_unit_cache_size() == 1 ? 0 : 1;
        });
        std::printf("copy=%d\n", copy.status);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0\n");
}

// A copy forked while a script thread of the host logs why it got no native
// code (so holds the log's lock) logs its own launches' failed requests.
TEST(NativeForkHolds, ACopyForkedInsideTheFailedRequestLogLogsItsOwn) {
    const child_result r = run_host([] {
        auto* s = new kst::session;  // the host's, never ended: the process ends with _Exit
        const kst::V unit = kst::compile("kernel one(i32* v) { v[0] = 1; }", "one.k");
        static std::atomic<bool> stop_the_first{true};
        lum_kernel_native_request.store([](lum_std_kernel*) {
            if (stop_the_first.exchange(false))
                stop_inside_the_next_lock(lum_kernel_failed_request_log_lock_for_tests());
            throw std::runtime_error("no room for the compile job");
        });
        s->host.drop_lock();
        thread_inside_a_lock held([&] {
            thread_log_scope quiet;
            lum_get_thread_local().vm = s->host.get();
            lum_vm_lock_guard lock(s->host.get());
            kst::m(kst::get(unit, "one"), "launch", 1, kst::buffer(4));
            lum_get_thread_local().vm = nullptr;
        });
        if (!held.inside()) return 1;
        const copy_end copy = in_copy([&] {
            s->host.hold_lock();
            kst::m(kst::get(unit, "one"), "launch", 1, kst::buffer(4));
            auto* log = dynamic_cast<recording_log*>(lum_get_thread_local().logger.get());
            for (const auto& e : log->entries())
                if (e.level == LUM_LOG_WARNING && e.text.find("no room for the compile job") != std::string::npos)
                    return 0;
            std::printf("%s\n", kst::errors().c_str());
            return 1;
        });
        std::printf("copy=%d\n", copy.status);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0\n");
}

// A copy that takes over a native-code slot whose write its parent's thread
// left cut short (the text's bytes lead nowhere) records its own failure.
TEST(NativeForkHolds, ACopyTakesOverASlotLeftInTheMiddleOfAWrite) {
    const child_result r = run_host([] {
        static lumk_jit_slot slot;
        slot.word.store((uint64_t{lumk_process_generation()} << 32) | LUMK_JIT_BUSY);
        std::memset(static_cast<void*>(&slot.error), 0xA5, sizeof slot.error);
        const copy_end copy = in_copy([] {
            if (lumk_jit_load_state(slot) != LUMK_JIT_NONE || !lumk_jit_begin_compile(slot)) return 1;
            if (!lumk_jit_finish_failed(slot, "no C compiler found")) return 2;
            return lumk_jit_load_state(slot) == LUMK_JIT_FAILED && slot.error == "no C compiler found" ? 0 : 3;
        });
        std::printf("copy=%d\n", copy.status);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0\n");
}

// Two threads compile one kernel at once; the second publishes its library
// under the name after the first has loaded its own: both get the kernel.
TEST(NativeForkHolds, TwoThreadsPublishingOneKernelBothGetIt) {
    const fs::path dir = temp_dir("holds");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "60");
    // Each compile takes a number, then waits (at most 30 s) for its go.
    write_script(dir / "cc.sh",
                 "[ \"$1\" = --version ] && exit 0\nn=1\nuntil mkdir \"" + dir.string() +
                     "/started$n\" 2>/dev/null; do n=$((n+1)); done\ni=0\nuntil [ -e \"" + dir.string() +
                     "/go$n\" ] || [ $i -ge 3000 ]; do sleep 0.01; i=$((i+1)); done\nexec cc \"$@\"\n");
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
    const child_result r = run_host([&] {
        const std::string source = c_source_of(kSaxpy);
        std::atomic<int> finished{0};
        std::string errors[2];
        lumk_jit_entry_fn got[2] = {nullptr, nullptr};
        const auto publish = [&](int i) {
            got[i] = lumk_jit_compile(source, &errors[i]);
            finished.fetch_add(1);
        };
        std::thread first(publish, 0), second(publish, 1);
        const bool both = wait_until([&] { return fs::exists(dir / "started2"); }, 20);
        create_file(dir / "go1");
        wait_until([&] { return finished.load() == 1; }, 30);
        create_file(dir / "go2");
        first.join();
        second.join();
        std::printf("both compiling=%d ready=%d\n", both ? 1 : 0, (got[0] != nullptr) + (got[1] != nullptr));
        for (const std::string& e : errors)
            if (!e.empty()) std::printf("%s\n", e.c_str());
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "both compiling=1 ready=2\n");
}

// Another publisher puts its library (the same kernel, another file) under
// the name between this compile's rename and its load: that file is examined
// and loaded.
TEST(NativeForkHolds, ALibraryReplacedBetweenPublishingAndLoadingIsLoaded) {
    const fs::path dir = temp_dir("holds");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.unset("LUM_KERNEL_CC");
    const child_result r = run_host([] {
        static std::atomic<int> replaced{0};
        lumk_platform_set_before_load_for_tests([](const fs::path& path) {
            if (!published_name(path) || replaced.exchange(1) != 0) return;
            const fs::path other = path.parent_path() / "other.so";
            std::error_code ec;
            fs::copy_file(path, other, ec);
            fs::permissions(other, fs::perms::owner_read | fs::perms::owner_write, ec);
            fs::rename(other, path, ec);
            if (ec) replaced = 2;
        });
        const bool ready = compiles(kSaxpy);
        std::printf("replaced=%d ready=%d\n", replaced.load(), ready ? 1 : 0);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "replaced=1 ready=1\n");
}

// A copy whose own compile runs when it ends through quick_exit removes its
// temporary files from the folder its parent chose before it.
TEST(NativeForkHolds, ACopysQuickExitRemovesItsOwnCompilesFiles) {
    const fs::path dir = temp_dir("holds");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const child_result r = run_host([&] {
        if (lumk_jit_compiler().empty()) return 1;  // the host's choice of compiler and folder
        const copy_end copy = in_copy([&] {
            std::thread([] { lumk_jit_compile(c_source_of(kPoly), nullptr); }).detach();
            if (!wait_until([&] { return count_lines(dir / "cc.pid") != 0; }, 20)) return 1;
            std::quick_exit(0);
        });
        int own = 0;
        for (const fs::path& f : files_in(dir / "cache"))
            own += f.filename().string().find("." + std::to_string(copy.pid) + ".") != std::string::npos;
        std::printf("copy=%d files of its own=%d\n", copy.status, own);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0 files of its own=0\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
}

namespace {

// A host thread uses something for the first time (`make`), and stays inside
// the C++ runtime's guard of a static made on first use if it takes one;
// meanwhile the host forks a copy that uses it too (`use`, its exit status).
void expect_copy_makes_it_too(void (*make)(), int (*use)()) {
    const child_result r = run_host([&] {
        std::atomic<bool> made{false};
        parked_may_go = false;
        const int before = threads_parked.load();
        std::thread maker([&] {
            park_in_next_guard = true;
            make();
            park_in_next_guard = false;
            made = true;
        });
        // Inside the guard, if it took one; else done.
        const bool ready = wait_until([&] { return made.load() || threads_parked.load() > before; }, 10);
        const copy_end copy = in_copy(use, 10);
        parked_may_go = true;
        maker.join();
        std::printf("ready=%d copy=%d\n", ready ? 1 : 0, copy.status);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "ready=1 copy=0\n");  // copy=-1: it waited for the guard
}

}  // namespace

// A copy forked while a host thread makes a counted-pointer type's tag for
// the first time makes the tag itself and goes on: the tag is kept without a
// guard the copy would wait on for a thread it does not have.
TEST(NativeForkHolds, ACopyForkedWhileAThreadMakesATypeTagMakesItToo) {
    struct first_use {};
    expect_copy_makes_it_too([] { (void)lumptr_type_tag<first_use>::type_id(); },
                             [] { return lumptr_type_tag<first_use>::type_id() != 0 ? 0 : 1; });
}

// A copy forked while a host thread parses the process's first number (so
// makes the C locale that parsing uses) parses numbers itself: the locale is
// kept without a guard. Only where no number was parsed before the host was
// forked, as when ctest runs this test alone.
TEST(NativeForkHolds, ACopyForkedWhileAThreadParsesTheFirstNumberParsesToo) {
    expect_copy_makes_it_too([] { (void)lum_strtod_c("1.5", nullptr); },
                             [] { return lum_strtod_c("2.5", nullptr) == 2.5 ? 0 : 1; });
}

// A copy forked while a host thread makes the module's default logger for the
// first time logs through a logger of its own: the logger is made without a
// guard. Only where nothing logged before the host was forked, as when ctest
// runs this test alone.
TEST(NativeForkHolds, ACopyForkedWhileAThreadMakesTheDefaultLoggerLogsToo) {
    expect_copy_makes_it_too([] { (void)lum_make_default_log(); },
                             [] {
                                 lum_make_default_log()->error("from the copy");
                                 return 0;
                             });
}
