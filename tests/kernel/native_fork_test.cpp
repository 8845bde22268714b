// Hosts that fork without exec while the module works on other threads, and
// hosts that end through quick_exit from a crash handler: a forked copy runs
// commands, compiles, loads kernels and exits like a fresh host; the copy's
// end leaves its parent's compiles and files alone; the quick_exit cleanup
// runs on a small alternate signal stack; runs leave no child behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using namespace ntest;

namespace {

using clock_type = std::chrono::steady_clock;

// What a forked copy does: a command, a compile of its own kernel (kPoly,
// which the parent never compiles), the saxpy kernel the parent's threads
// compile and look up (a synchronous request on the parent's program), and
// an exit through exit(). Its exit status says what failed.
[[noreturn]] void copy_works_and_exits(const lumk_program* parents) {
    std::string out;
    if (lumk_run_command("exit 7", &out) != 7) std::_Exit(11);
    std::string error;
    if (lumk_jit_compile(lumk_jit_source(*unit_of(kPoly)->programs[0]), &error) == nullptr) {
        std::printf("%s\n", error.c_str());
        std::fflush(stdout);
        std::_Exit(12);
    }
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    lumk_jit_request(nullptr, parents, nullptr);
    if (lumk_jit_load_state(*parents->jit) != LUMK_JIT_READY) {
        std::printf("%s\n", lumk_jit_status(parents).c_str());
        std::fflush(stdout);
        std::_Exit(13);
    }
    std::exit(0);  // the module's shutdown runs with the static destructors
}

// Waits for a copy (at most until `give_up`); its exit status, or -1 when it
// had to be killed.
int collect(pid_t pid, clock_type::time_point give_up) {
    int status = 0;
    pid_t got = 0;
    while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 && clock_type::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// A fresh host forks copies from the module's first use on: while threads
// start running commands, while one probes the compiler and compiles saxpy
// (synchronously, on the program the copies take over), and while others
// look up the loaded kernel all the time. Prints "copies=N hung=H failed=F"
// and each failure's status.
int child_forking_host(const std::string&) {
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* saxpy = u->programs[0].get();
    const std::string source = lumk_jit_source(*saxpy);
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            std::string out;
            while (!done.load()) lumk_run_command("true", &out);
        });
    threads.emplace_back([&] { lumk_jit_request(u, saxpy, nullptr); });
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            while (!done.load()) lumk_jit_compile(source, nullptr);
        });
    std::fflush(stdout);  // nothing of ours for the copies to print again
    std::vector<pid_t> copies;
    // The first copies meet the first use and the probe, later ones the
    // compile and the lookups.
    for (int i = 0; i < 24; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) copy_works_and_exits(saxpy);
        if (pid > 0) copies.push_back(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(i < 12 ? 1 : 25));
    }
    int hung = 0, failed = 0;
    std::string statuses;
    const auto give_up = clock_type::now() + std::chrono::seconds(60);
    for (pid_t pid : copies) {
        const int status = collect(pid, give_up);
        hung += status == -1;
        failed += status > 0;
        if (status != 0) statuses += " " + std::to_string(status);
    }
    done = true;
    for (std::thread& t : threads) t.join();
    std::printf("copies=%zu hung=%d failed=%d%s\n", copies.size(), hung, failed, statuses.c_str());
    return 0;
}

// Starts saxpy's compile on a thread of its own, with a compiler that hangs,
// and waits (at most 20 s) until the compiler's pid is in `pid_file`.
void start_hanging_compile(const std::string& pid_file) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    std::thread([u] { lumk_jit_request(u, u->programs[0].get(), nullptr); }).detach();
    const auto give_up = clock_type::now() + std::chrono::seconds(20);
    while (count_lines(pid_file) == 0 && clock_type::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// A compile runs (its compiler hangs; its pid file is the argument) in this
// process's temporary kernel folder; a forked copy ends through quick_exit.
// Prints whether the compiler still runs and how many files the folder kept.
int child_copy_quick_exits(const std::string& pid_file) {
    start_hanging_compile(pid_file);
    const fs::path folder = fs::temp_directory_path() / ("lumioscript-kernels-" + std::to_string(::getpid()));
    const size_t before = files_in(folder).size();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) std::quick_exit(0);
    const int status = collect(pid, clock_type::now() + std::chrono::seconds(20));
    std::printf("copy=%d files=%zu/%zu running=%d\n", status, files_in(folder).size(), before,
                process_runs(fs::path(pid_file).parent_path() / "cc.pid") ? 1 : 0);
    return 0;
}

// A crash handler on an alternate stack of 8192 bytes ends the process
// through quick_exit(3) while a compile runs (its compiler hangs; its pid
// file is the argument).
int child_quick_exit_on_signal_stack(const std::string& pid_file) {
    start_hanging_compile(pid_file);
    // 8192 bytes above a page nobody may touch: running past the stack's end
    // faults instead of writing over other memory.
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* area = ::mmap(nullptr, page + 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED || ::mprotect(area, page, PROT_NONE) != 0) return 1;
    stack_t alt{};
    alt.ss_sp = static_cast<char*>(area) + page;
    alt.ss_size = 8192;
    struct sigaction act{};
    act.sa_handler = [](int) { std::quick_exit(3); };
    act.sa_flags = SA_ONSTACK;
    if (::sigaltstack(&alt, nullptr) != 0 || ::sigaction(SIGTERM, &act, nullptr) != 0) return 1;
    std::printf("compiling=%d\n", count_lines(pid_file) != 0 ? 1 : 0);
    std::fflush(stdout);
    ::raise(SIGTERM);
    return 2;
}

// A compile runs (its compiler hangs; its pid file is the argument); the host
// forks a helper that lives on without exec (its pid goes to helper.pid
// beside the argument), then the host is killed.
int child_killed_beside_a_helper(const std::string& pid_file) {
    start_hanging_compile(pid_file);
    std::printf("compiling=%d\n", count_lines(pid_file) != 0 ? 1 : 0);
    std::fflush(stdout);
    const std::string helper_file = (fs::path(pid_file).parent_path() / "helper.pid").string();
    const pid_t helper = ::fork();
    if (helper == 0) {
        // It gives up the output the test reads, and keeps every other
        // descriptor it was given.
        const int null_out = ::open("/dev/null", O_WRONLY);
        ::dup2(null_out, STDOUT_FILENO);
        ::dup2(null_out, STDERR_FILENO);
        ::sleep(30);
        std::_Exit(0);
    }
    if (FILE* f = std::fopen(helper_file.c_str(), "w")) {
        std::fprintf(f, "%d\n", static_cast<int>(helper));
        std::fclose(f);
    }
    ::raise(SIGKILL);
    return 1;
}

// Hundreds of runs, then whether this process still has a child: "none"
// (no child at all), "running" or "zombie".
int child_runs_leave_no_child(const std::string&) {
    std::string out;
    int wrong = 0;
    for (int i = 0; i < 300; ++i) wrong += lumk_run_command(i % 2 ? "true" : "exit 3", &out) != (i % 2 ? 0 : 3);
    siginfo_t info{};
    const int r = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
    std::printf("wrong=%d children=%s\n", wrong, r != 0 ? "none" : info.si_pid == 0 ? "running" : "zombie");
    return 0;
}

// The descriptors this process has open, read with raw system calls (a
// forked copy of a process whose threads allocate uses nothing else): true
// when each is in `known` (up to `n` of them), or is the listing's own.
bool only_known_descriptors(const int* known, int n) {
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    alignas(8) static char buf[4096];
    bool only_known = true;
    for (long got; (got = ::syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0;) {
        for (long at = 0; at < got;) {
            unsigned short reclen;
            std::memcpy(&reclen, buf + at + 16, sizeof reclen);
            const char* name = buf + at + 19;
            at += reclen;
            if (name[0] < '0' || name[0] > '9') continue;
            const int fd = std::atoi(name);
            only_known = only_known && (fd == dir || std::find(known, known + n, fd) != known + n);
        }
    }
    ::close(dir);
    return only_known;
}

// Copies forked while three threads run commands all the time: each lists
// its descriptors against those the host had before the runs began. Prints
// how many copies held a descriptor of a run.
int child_copies_while_commands_run(const std::string&) {
    int known[256];
    int n = 0;
    for (const fs::path& fd : files_in("/proc/self/fd"))
        if (n < 256) known[n++] = std::atoi(fd.filename().c_str());
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            std::string out;
            while (!done.load()) lumk_run_command("true", &out);
        });
    std::fflush(stdout);
    int holding = 0;
    for (int i = 0; i < 300; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) std::_Exit(only_known_descriptors(known, n) ? 0 : 1);
        holding += pid > 0 && collect(pid, clock_type::now() + std::chrono::seconds(10)) != 0;
    }
    done = true;
    for (std::thread& t : threads) t.join();
    std::printf("holding=%d\n", holding);
    return 0;
}

// After more runs than a first table of runs holds, the host opens
// descriptors (they take the numbers the runs used); a forked copy still has
// them all. Prints "open=N" for the four.
int child_copy_after_many_runs(const std::string&) {
    std::string out;
    for (int i = 0; i < 100; ++i) lumk_run_command("true", &out);
    int mine[4];
    for (int& fd : mine) fd = ::open("/dev/null", O_RDONLY);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int open = 0;
        for (int fd : mine) open += ::fcntl(fd, F_GETFD) >= 0;
        std::_Exit(open);
    }
    std::printf("open=%d\n", collect(pid, clock_type::now() + std::chrono::seconds(10)));
    return 0;
}

// saxpy compiles synchronously with a compiler that waits for `dir`/go; the
// stop condition forks once the compiler runs, waits for the copy and lets
// the compiler go on. The copy writes its kernel's status to `dir`/copy.
// Prints the copy's exit status, its status line and the parent's kernel.
int child_fork_from_stop(const std::string& dir) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    const pid_t parent = ::getpid();
    bool forked = false;
    int copy = -2;
    std::fflush(stdout);
    lumk_jit_request(u, p, nullptr, [&] {
        if (forked || count_lines(fs::path(dir) / "cc.pid") == 0) return false;
        forked = true;
        const pid_t pid = ::fork();
        if (pid == 0) return false;  // the copy goes on from here
        copy = collect(pid, clock_type::now() + std::chrono::seconds(20));
        std::ofstream(fs::path(dir) / "go") << "go\n";
        return false;
    });
    if (::getpid() != parent) {
        std::ofstream(fs::path(dir) / "copy") << lumk_jit_status(p) << "\n";
        std::_Exit(0);
    }
    std::string line;
    std::getline(std::ifstream(fs::path(dir) / "copy"), line);
    std::printf("copy=%d\n%s\nparent=%s\n", copy, line.c_str(), lumk_jit_status(p).c_str());
    return 0;
}

const bool kScenarios =
    add_child_scenario("forking_host", child_forking_host, child_end::immediate) &&
    add_child_scenario("copy_quick_exits", child_copy_quick_exits, child_end::normal) &&
    add_child_scenario("quick_exit_on_signal_stack", child_quick_exit_on_signal_stack, child_end::immediate) &&
    add_child_scenario("runs_leave_no_child", child_runs_leave_no_child, child_end::immediate) &&
    add_child_scenario("killed_beside_a_helper", child_killed_beside_a_helper, child_end::immediate) &&
    add_child_scenario("copies_while_commands_run", child_copies_while_commands_run, child_end::immediate) &&
    add_child_scenario("copy_after_many_runs", child_copy_after_many_runs, child_end::immediate) &&
    add_child_scenario("fork_from_stop", child_fork_from_stop, child_end::immediate);

// Copies that end through exit() have lost the other threads' stacks: the
// leak check would count what those threads held.
void no_leak_check_in_copies(env_scope& env) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
}

}  // namespace

// Every copy of a forking host works and ends, however far its parent's
// threads were: at the module's first use, in the compiler probe, in a
// compile, looking up loaded kernels.
TEST(NativeFork, ACopyOfTheHostWorksLikeAFreshHost) {
#if defined(__SANITIZE_ADDRESS__)
    // The copies allocate: the sanitizer's own allocator is not kept free
    // across fork (the C library's is), so a copy may wait for good on a lock
    // one of the parent's threads held.
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";
#endif
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const fs::path dir = temp_dir("fork");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        env.unset("LUM_KERNEL_CC");
        no_leak_check_in_copies(env);
        const child_result r = run_child("forking_host");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, "copies=24 hung=0 failed=0\n");
        fs::remove_all(dir);
    }
}

// A copy that ends through quick_exit kills none of its parent's compilers
// and removes none of its parent's files.
TEST(NativeFork, ACopysQuickExitLeavesItsParentAlone) {
    const fs::path dir = temp_dir("fork");
    env_scope env;
    // A cache folder everybody may write to is refused: the kernels go to
    // this process's temporary folder, which a quick_exit empties.
    fs::create_directories(dir / "open");
    fs::permissions(dir / "open", fs::perms::all);
    env.set("LUM_KERNEL_CACHE", (dir / "open").string());
    env.set("TMPDIR", dir.string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    no_leak_check_in_copies(env);
    const child_result r = run_child("copy_quick_exits", (dir / "sleep.pid").string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0 files=1/1 running=1\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    fs::remove_all(dir);
}

// A helper forked without exec holds none of the runs' descriptors: when the
// host is killed, its compiler ends with it though the helper lives on.
TEST(NativeFork, ACompilerEndsWithItsHostThoughAForkedHelperLivesOn) {
    const fs::path dir = temp_dir("fork");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const child_result r = run_child("killed_beside_a_helper", (dir / "sleep.pid").string());
    EXPECT_EQ(r.output.rfind("compiling=1\n", 0), 0u) << r.output;  // the shell may add "Killed"
    EXPECT_TRUE(process_runs(dir / "helper.pid"));
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    long helper = 0;
    std::ifstream(dir / "helper.pid") >> helper;
    if (helper > 0) ::kill(static_cast<pid_t>(helper), SIGKILL);
    fs::remove_all(dir);
}

// quick_exit from a handler on an 8192-byte alternate stack: the process
// ends with the host's status, the compiler with it, and no file is left.
TEST(NativeFork, QuickExitFromASmallSignalStackCleansUp) {
    const fs::path dir = temp_dir("fork");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const child_result r = run_child("quick_exit_on_signal_stack", (dir / "sleep.pid").string());
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_EQ(r.output, "compiling=1\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    EXPECT_TRUE(files_in(dir / "cache").empty()) << files_in(dir / "cache").size();
    fs::remove_all(dir);
}

// Every run collects what it started: no child, running or ended, is left.
TEST(NativeFork, RunsLeaveNoChildBehind) {
    const child_result r = run_child("runs_leave_no_child");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "wrong=0 children=none\n");
}

// Copies forked while the host runs commands hold none of the runs'
// descriptors, whatever point of a run's start or end they meet; and the
// descriptors the host opens after many runs stay open in a copy.
TEST(NativeFork, ACopyHoldsNoDescriptorOfTheHostsRuns) {
    const child_result r = run_child("copies_while_commands_run");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "holding=0\n");
    const child_result after = run_child("copy_after_many_runs");
    EXPECT_EQ(after.status, 0) << after.output;
    EXPECT_EQ(after.output, "open=4\n");
}

// A copy forked from the compile's stop condition gives that compile up
// without touching its files or its compiler: the parent's kernel is ready.
TEST(NativeFork, AForkFromTheStopConditionLeavesTheParentsCompile) {
    const fs::path dir = temp_dir("fork");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exec cc --version\necho $$ >> '" + (dir / "cc.pid").string() +
                                    "'\nn=0\nwhile [ ! -e '" + (dir / "go").string() +
                                    "' ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done\nexec cc \"$@\"\n");
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "60");
    no_leak_check_in_copies(env);
    const child_result r = run_child("fork_from_stop", dir.string());
    EXPECT_EQ(r.status, 0) << r.output;
    // The copy's kernel is not compiled (a later request of the copy's own
    // compiles it).
    EXPECT_EQ(r.output, "copy=0\nnone\nparent=ready\n");
    EXPECT_EQ(count_lines(dir / "cc.pid"), 1u);
    fs::remove_all(dir);
}
