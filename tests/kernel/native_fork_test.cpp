// Hosts that fork without exec while the module works on other threads, and
// hosts that end through quick_exit from a crash handler: a forked copy runs
// commands, compiles, loads kernels and exits like a fresh host; the copy's
// end leaves its parent's compiles and files alone; the quick_exit cleanup
// runs on a small alternate signal stack; runs leave no child behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
using namespace ntest;

namespace {

using clock_type = std::chrono::steady_clock;

// What a forked copy does: a command, a compile of its own kernel (kPoly,
// which the parent never compiles), the saxpy kernel the parent's threads
// compile and look up (a synchronous request on the parent's program), and
// an exit through exit(). Its exit status says what failed. A copy made while
// one of the parent's compiles was loading its library loads nothing and
// says so: that refusal is how such a copy works.
[[noreturn]] void copy_works_and_exits(const lumk_program* parents) {
    std::string out;
    if (lumk_run_command("exit 7", &out) != 7) std::_Exit(11);
    std::string error;
    if (lumk_jit_compile(lumk_jit_source(*unit_of(kPoly)->programs[0]), &error) == nullptr) {
        if (error.find("a copy made by fork() while a library was loading") != std::string::npos) std::exit(0);
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

// Waits for the copies (at most until `give_up`): "copies=N hung=H failed=F"
// and each failure's status.
std::string copies_ended(const std::vector<pid_t>& copies, clock_type::time_point give_up) {
    int hung = 0, failed = 0;
    std::string statuses;
    for (pid_t pid : copies) {
        const int status = collect(pid, give_up);
        hung += status == -1;
        failed += status > 0;
        if (status != 0) statuses += " " + std::to_string(status);
    }
    return "copies=" + std::to_string(copies.size()) + " hung=" + std::to_string(hung) +
           " failed=" + std::to_string(failed) + statuses;
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
    repeating_threads busy;
    busy.add_commands(3);
    std::thread requester([&] { lumk_jit_request(u, saxpy, nullptr); });
    busy.add(2, [&] { lumk_jit_compile(source, nullptr); });
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
    const std::string ended = copies_ended(copies, clock_type::now() + std::chrono::seconds(60));
    busy.stop();
    requester.join();
    std::printf("%s\n", ended.c_str());
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

// Which of the descriptors 0 to 1023 are open, found without allocating (in
// a copy forked while other threads allocate).
void open_descriptors(bool (&open)[1024]) {
    for (int fd = 0; fd < 1024; ++fd) open[fd] = ::fcntl(fd, F_GETFD) >= 0;
}

// Prints how many copies forked while three threads run commands hold a
// descriptor the host did not have before, then how many of four descriptors
// the host opens after those (far more than 64) runs a copy still has.
int child_copies_while_commands_run(const std::string&) {
    static bool before[1024], now[1024];
    open_descriptors(before);
    repeating_threads busy;
    busy.add_commands(3);
    std::fflush(stdout);
    int holding = 0;
    for (int i = 0; i < 300; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            open_descriptors(now);
            std::_Exit(std::equal(now, now + 1024, before) ? 0 : 1);
        }
        holding += pid > 0 && collect(pid, clock_type::now() + std::chrono::seconds(10)) != 0;
    }
    busy.stop();
    int mine[4];
    for (int& fd : mine) fd = ::open("/dev/null", O_RDONLY);
    const pid_t pid = ::fork();
    if (pid == 0) std::_Exit(std::count_if(mine, mine + 4, [](int fd) { return ::fcntl(fd, F_GETFD) >= 0; }));
    std::printf("holding=%d open=%d\n", holding, collect(pid, clock_type::now() + std::chrono::seconds(10)));
    return 0;
}

// saxpy compiles with a compiler that waits for `dir`/go; once it runs, the
// stop condition forks, waits for the copy, then lets it go on. Prints the
// copy's exit status (1: its kernel became ready) and the parent's kernel.
int child_fork_from_stop(const std::string& dir) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    const pid_t parent = ::getpid();
    int copy = -2;
    std::fflush(stdout);
    lumk_jit_request(u, p, nullptr, [&] {
        if (copy != -2 || ::getpid() != parent || count_lines(fs::path(dir) / "cc.pid") == 0) return false;
        const pid_t pid = ::fork();
        if (pid == 0) return false;  // the copy goes on from here
        copy = collect(pid, clock_type::now() + std::chrono::seconds(20));
        std::ofstream(fs::path(dir) / "go") << "go\n";
        return false;
    });
    if (::getpid() != parent) std::_Exit(lumk_jit_load_state(*p->jit) == LUMK_JIT_READY);
    std::printf("copy=%d parent=%s\n", copy, lumk_jit_status(p).c_str());
    return 0;
}

// Three kernels compile on threads of their own with a compiler that hangs
// (it adds its child's pid to `dir`/sleep.pids); once all three run, the
// process is killed ("kill:DIR") or eight threads call quick_exit at once.
int child_dies_during_three_compiles(const std::string& arg) {
    const fs::path dir = arg.substr(arg.find(':') + 1);
    for (int i = 0; i < 3; ++i)
        std::thread([i] {
            const std::string src = "kernel k(f32* y) { y[gid] = y[gid] * " + std::to_string(i) + ".5; }";
            lumk_jit_compile(lumk_jit_source(*unit_of(src.c_str())->programs[0]), nullptr);
        }).detach();
    const auto give_up = clock_type::now() + std::chrono::seconds(20);
    while (count_lines(dir / "sleep.pids") < 3 && clock_type::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("compiling=%zu\n", count_lines(dir / "sleep.pids"));
    std::fflush(stdout);
    if (arg.rfind("kill:", 0) == 0) ::raise(SIGKILL);
    std::atomic<bool> go{false};
    std::vector<std::thread> enders;
    for (int i = 0; i < 8; ++i)
        enders.emplace_back([&go] {
            while (!go.load()) std::this_thread::yield();
            std::quick_exit(0);
        });
    go = true;
    for (std::thread& t : enders) t.join();
    return 1;
}

// A thread loads and unloads a library without pause (it has no kernel
// entry, so the driver unloads it at once, with the library it needs) while
// the host forks 500 copies; each makes its own first load of another library
// and ends. The argument is the folder of the libraries (loop.so, own.so).
// Prints as child_forking_host.
int child_forking_while_loading(const std::string& dir) {
    std::atomic<bool> done{false};
    std::atomic<int> loads{0};
    std::thread loader([&] {
        for (std::string error; !done.load(); ++loads) lumk_load_jit_library(fs::path(dir) / "loop.so", &error);
    });
    std::vector<pid_t> copies;
    for (int i = 0, seen = 0; i < 500; ++i, seen = loads.load()) {
        while (loads.load() == seen) std::this_thread::yield();  // a fork during each load or so
        if (const pid_t pid = ::fork(); pid == 0) {
            // Loaded, or refused for the load in flight at the fork.
            std::string error;
            if (lumk_load_jit_library(fs::path(dir) / "own.so", &error)) std::_Exit(0);
            std::_Exit(error.find("a copy made by fork() while a library was loading") != std::string::npos ? 0 : 12);
        } else {
            copies.push_back(pid);
        }
    }
    const std::string ended = copies_ended(copies, clock_type::now() + std::chrono::seconds(30));
    done = true;
    loader.join();
    std::printf("%s\n", ended.c_str());
    return 0;
}

const bool kScenarios =
    add_child_scenario("forking_host", child_forking_host, child_end::immediate) &&
    add_child_scenario("copy_quick_exits", child_copy_quick_exits, child_end::normal) &&
    add_child_scenario("quick_exit_on_signal_stack", child_quick_exit_on_signal_stack, child_end::immediate) &&
    add_child_scenario("runs_leave_no_child", child_runs_leave_no_child, child_end::immediate) &&
    add_child_scenario("killed_beside_a_helper", child_killed_beside_a_helper, child_end::immediate) &&
    add_child_scenario("copies_while_commands_run", child_copies_while_commands_run, child_end::immediate) &&
    add_child_scenario("fork_from_stop", child_fork_from_stop, child_end::immediate) &&
    add_child_scenario("dies_during_three_compiles", child_dies_during_three_compiles, child_end::immediate) &&
    add_child_scenario("forking_while_loading", child_forking_while_loading, child_end::immediate);

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
    EXPECT_EQ(r.output, "holding=0 open=4\n");
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
    no_leak_check_in_copies(env);
    const child_result r = run_child("fork_from_stop", dir.string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "copy=0 parent=ready\n");
    EXPECT_EQ(count_lines(dir / "cc.pid"), 1u);
}

// A host killed, or whose quick_exit eight threads call at once (its own
// cleanup cut short), during three compiles leaves no temporary file.
TEST(NativeFork, ADyingHostLeavesNoTemporaryFile) {
    for (const char* how : {"quick_exit:", "kill:"}) {
        SCOPED_TRACE(how);
        const fs::path dir = temp_dir("fork");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exit 0\nsleep 40 &\necho $! >> '" +
                                        (dir / "sleep.pids").string() + "'\nwait\n");
        env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "0");
        const child_result r = run_child("dies_during_three_compiles", how + dir.string());
        EXPECT_EQ(r.output.rfind("compiling=3\n", 0), 0u) << r.output;  // the shell may add "Killed"
        // The files go once the compilers are killed: a short while at most.
        const auto give_up = clock_type::now() + std::chrono::seconds(10);
        while (!files_in(dir / "cache").empty() && clock_type::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(files_in(dir / "cache").size(), 0u);
    }
}

// Copies forked while another thread is inside the loader each load a library
// of their own, or refuse to for the load in flight at the fork, and end.
TEST(NativeFork, ACopyForkedDuringALoadLoadsOrRefusesAndEnds) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";  // as in the first test
#endif
    const fs::path dir = temp_dir("fork");
    std::ofstream(dir / "a.c") << "int lumk_loop_a;\n";
    std::ofstream(dir / "loop.c") << "extern int lumk_loop_a; int* lumk_loop_b = &lumk_loop_a;\n";
    std::ofstream(dir / "own.c") << "void lumk_jit_entry(void) {}\n";
    const std::string build = "cd '" + dir.string() +
                              "' && gcc -shared -fPIC -o a.so a.c && gcc -shared -fPIC -o loop.so loop.c a.so "
                              "-Wl,-rpath,'$ORIGIN' && gcc -shared -fPIC -o own.so own.c";
    ASSERT_EQ(std::system(build.c_str()), 0);
    const child_result r = run_child("forking_while_loading", dir.string());
    EXPECT_EQ(r.output, "copies=500 hung=0 failed=0\n");
    fs::remove_all(dir);
}
