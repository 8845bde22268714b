// Running the C compiler: commands, quoting and the output limit, choosing
// and probing compilers, the compile time limit with everything the command
// started, failing and missing compilers, compiles stopped by the module's
// shutdown, and threads cancelled or ended (pthread_exit) during a compile.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

// Waits (at most 20 s) until the file named by `pid_file` holds a line.
bool wait_for_pid(const std::string& pid_file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_lines(pid_file) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return count_lines(pid_file) != 0;
}

// The compiler hangs (it writes its pid to the file named by the argument);
// the process exits normally while the compile runs on another thread.
int child_exit_while_compiling(const std::string& pid_file) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    std::thread([u] { lumk_jit_request(u, u->programs[0].get(), nullptr); }).detach();
    // the compiler's child has started once its pid is written out whole
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_lines(pid_file) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("compiling=%d\n", count_lines(pid_file) != 0 ? 1 : 0);
    return 0;
}

// Exit statuses of commands and compiles of distinct kernels: lines
// "wrong=N" (commands whose status was lost) and "failed=N" (compiles),
// written to `out`.
void run_commands_and_compiles(FILE* out = stdout) {
    int wrong = 0;
    std::string text;
    for (int i = 0; i < 40; ++i) wrong += lumk_run_command("exit 5", &text) != 5;
    std::fprintf(out, "wrong=%d\n", wrong);
    int failed = 0;
    for (int i = 0; i < 6; ++i) {
        const std::string src = "kernel k(f32* y) { y[gid] = y[gid] + " + std::to_string(i) + ".5; }";
        std::shared_ptr<const lumk_unit> u = unit_of(src.c_str());
        std::string error;
        if (lumk_jit_compile(lumk_jit_source(*u->programs[0]), &error) == nullptr) {
            ++failed;
            std::fprintf(out, "%s\n", error.c_str());
        }
    }
    std::fprintf(out, "failed=%d\n", failed);
}

// A host that ignores SIGCHLD (its children are reaped by the system).
int child_sigchld_ignored(const std::string&) {
    std::signal(SIGCHLD, SIG_IGN);
    run_commands_and_compiles();
    return 0;
}

// A host with a thread that reaps every child of the process.
int child_reaping_thread(const std::string&) {
    std::atomic<bool> done{false};
    std::atomic<int> reaped{0};
    std::thread reaper([&] {
        while (!done.load()) {
            int status = 0;
            if (::waitpid(-1, &status, 0) > 0) ++reaped;
            else std::this_thread::yield();  // no child right now
        }
    });
    run_commands_and_compiles();
    done = true;
    reaper.join();
    std::printf("reaped=%d\n", reaped.load() > 0 ? 1 : 0);
    return 0;
}

// A host with its standard descriptors closed, as a daemon runs, and a
// thread that opens and closes a file all the while: the descriptors a run
// makes get those numbers, any of them 0 (the thread frees it between a run's
// first descriptors and its later ones). What the commands and compiles give
// is written to the file named by the argument.
int child_standard_descriptors_closed(const std::string& result) {
    std::fflush(stdout);
    FILE* out = std::fopen(result.c_str(), "w");
    if (out == nullptr) return 1;
    for (int fd : {0, 1, 2}) ::close(fd);
    ntest::repeating_threads others;
    others.add(1, [] { ::close(::open("/dev/null", O_RDONLY | O_CLOEXEC)); });
    run_commands_and_compiles(out);
    others.stop();
    return std::fclose(out) == 0 ? 0 : 1;
}

// While a compile job probes the compiler (which hangs; it writes its pid to
// the file named by the argument), another kernel's auto request returns at
// once: "waited=0".
int child_request_while_probing(const std::string& pid_file) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> first = unit_of(kSaxpy);
    std::shared_ptr<const lumk_unit> second = unit_of(kPoly);
    lumk_jit_request(first, first->programs[0].get(), [](std::function<void()> job) {
        std::thread(std::move(job)).detach();
        return true;
    });
    std::printf("probing=%d\n", wait_for_pid(pid_file) ? 1 : 0);
    const auto start = std::chrono::steady_clock::now();
    lumk_jit_request(second, second->programs[0].get(), [](std::function<void()>) { return false; });
    std::printf("waited=%d\n", std::chrono::steady_clock::now() - start > std::chrono::seconds(1) ? 1 : 0);
    return 0;
}

// A compile job (its probe or its compile hangs and writes its pid to the
// file named by the argument) whose pool shuts down: the job ends within a
// second and the kernel goes back to "none".
int child_pool_shuts_down(const std::string& pid_file) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    std::atomic<bool> closed{false};
    std::thread worker;
    lumk_jit_request(
        u, p,
        [&](std::function<void()> job) {
            worker = std::thread(std::move(job));
            return true;
        },
        [&] { return closed.load(); });
    std::printf("running=%d\n", wait_for_pid(pid_file) ? 1 : 0);
    const auto start = std::chrono::steady_clock::now();
    closed = true;
    if (worker.joinable()) worker.join();
    std::printf("ended=%d\n", std::chrono::steady_clock::now() - start < std::chrono::seconds(1) ? 1 : 0);
    std::printf("status=%s\n", lumk_jit_status(p).c_str());
    return 0;
}

// The private memory (kB) of a process: pages that are its alone, as a copy
// of the host's memory would be.
long private_kb(long pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long total = 0;
    for (std::string key; f >> key;) {
        long kb = 0;
        if ((key == "Private_Clean:" || key == "Private_Dirty:") && f >> kb) total += kb;
        f.ignore(1 << 20, '\n');
    }
    return total;
}

// Fields 4 and 5 of /proc/PID/stat: the parent and the process group.
bool parent_and_group(long pid, long* parent, long* group) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    const size_t paren = std::getline(stat, text) ? text.rfind(')') : std::string::npos;
    return paren != std::string::npos && std::sscanf(text.c_str() + paren + 1, " %*c %ld %ld", parent, group) == 2;
}

// A host that keeps rewriting a 512 MiB buffer while a command runs (it
// writes its pid to the file named by the argument, then sleeps): prints how
// many processes the run started ("processes=N", its process group and this
// process's children) and the private memory of the largest ("largest_kb=N").
int child_memory_while_running(const std::string& pid_file) {
    std::vector<unsigned char> heap(size_t{512} << 20, 1);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (unsigned char v = 2; !done.load(); ++v)
            for (size_t i = 0; i < heap.size(); i += 4096) heap[i] = v;
    });
    std::thread runner([&] {
        std::string out;
        lumk_run_command("echo $$ > " + lumk_quote(pid_file) + "; sleep 3", &out, 30);
    });
    const bool started = wait_for_pid(pid_file);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the buffer rewritten a few times over
    long command = 0, parent = 0, group = 0;
    std::ifstream(pid_file) >> command;
    int processes = 0;
    long largest = 0;
    if (started && parent_and_group(command, &parent, &group)) {
        const long self = ::getpid();
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string name = e.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const long pid = std::stol(name);
            long pp = 0, pg = 0;
            if (pid == self || !parent_and_group(pid, &pp, &pg) || (pg != group && pp != self)) continue;
            ++processes;
            largest = std::max(largest, private_kb(pid));
        }
    }
    runner.join();
    done = true;
    writer.join();
    std::printf("processes=%d\nlargest_kb=%ld\n", processes, largest);
    return 0;
}

// A host that forks 100 times while other threads run commands and ask for a
// compiled kernel (the command table's and the driver's locks change hands
// all the time). Each forked copy shuts the module down (through exit() or
// directly) and must be done at once: "slow=N" counts those that did not end
// by themselves within a second and a half.
int child_fork_while_running(const std::string&) {
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const std::string source = lumk_jit_source(*u->programs[0]);
    std::string error;
    if (lumk_jit_compile(source, &error) == nullptr) std::printf("%s\n", error.c_str());
    repeating_threads busy;
    busy.add_commands(3);
    busy.add(1, [&] { lumk_jit_compile(source, nullptr); });
    int slow = 0;
    std::fflush(stdout);  // nothing of ours for the copies to print again
    for (int i = 0; i < 100 && slow < 3; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (i % 2 != 0) std::exit(0);  // the module's shutdown runs with the static destructors
            lumk_jit_shutdown();
            ::_exit(0);
        }
        if (pid < 0) continue;
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        pid_t got = 0;
        while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (got == 0) ::kill(pid, SIGKILL);
        if (got == 0) ::waitpid(pid, &status, 0);
        slow += got != pid || !WIFEXITED(status);
    }
    busy.stop();
    std::printf("slow=%d\n", slow);
    return 0;
}

// The compiler named by LUM_KERNEL_CC logs every call to `dir`/calls. A
// compile asked for once the host's queue has shut down starts no process;
// one stopped by it while the compiler runs says so.
int child_host_stops(const std::string& dir) {
    const fs::path folder = dir;
    const std::string source = lumk_jit_source(*unit_of(kSaxpy)->programs[0]);
    std::string error;
    lumk_jit_compile(source, &error, [] { return true; });
    std::printf("before=%s\ncalls=%zu\n", error.c_str(), count_lines(folder / "calls"));
    lumk_jit_compile(source, &error, [&] { return count_lines(folder / "sleep.pid") != 0; });
    std::printf("during=%s\ncalls=%zu\n", error.c_str(), count_lines(folder / "calls"));
    lumk_jit_compile(source, &error, [] { return true; });
    std::printf("after=%s\ncalls=%zu\n", error.c_str(), count_lines(folder / "calls"));
    return 0;
}

// Like exit_while_compiling, but the process ends through quick_exit.
int child_quick_exit_while_compiling(const std::string& pid_file) {
    child_exit_while_compiling(pid_file);
    std::fflush(stdout);
    std::quick_exit(0);
}

// Like exit_while_compiling, but the process is killed.
int child_killed_while_compiling(const std::string& pid_file) {
    child_exit_while_compiling(pid_file);
    std::fflush(stdout);
    ::raise(SIGKILL);
    return 1;
}

// A compiler that answers the probe at once and compiles only after 1.5 s;
// each compile first adds its process id to `dir`/started and the id of its
// sleep to `dir`/sleeps.
fs::path slow_compiler(const fs::path& dir) {
    write_script(dir / "slow.sh", "[ \"$1\" = --version ] && exec gcc --version\necho $$ >> '" +
                                      (dir / "started").string() + "'\nsleep 1.5 &\necho $! >> '" +
                                      (dir / "sleeps").string() + "'\nwait $!\nexec gcc \"$@\"\n");
    return dir / "slow.sh";
}

// How many processes (zombies included) have this process as their parent.
int children_of_this_process() {
    const std::string me = std::to_string(::getpid());
    int n = 0;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/proc", ec)) {
        std::ifstream stat(e.path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        const size_t paren = text.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream rest(text.substr(paren + 2));
        std::string state, parent;
        rest >> state >> parent;
        n += parent == me;
    }
    return n;
}

// A thread of its own (a plain POSIX thread, as a C host makes) that runs
// `fn` and may be cancelled or end through pthread_exit inside it; true when
// it ended that way.
bool thread_unwound(const std::function<void()>& fn, const std::function<void(pthread_t)>& meanwhile = {}) {
    pthread_t t;
    auto* work = new std::function<void()>(fn);
    if (::pthread_create(&t, nullptr, [](void* w) -> void* {
            (*static_cast<std::function<void()>*>(w))();
            return nullptr;
        }, work) != 0) {
        delete work;
        return false;
    }
    if (meanwhile) meanwhile(t);
    void* result = nullptr;
    ::pthread_join(t, &result);
    delete work;
    return result == PTHREAD_CANCELED;
}

// Three threads compiling are cancelled while they wait for the slow
// compiler (`arg` its folder); then what the run table records, how many
// children the process has, and whether a later compile works. The process
// then ends through exit(), so the module's shutdown runs.
int child_cancelled_while_compiling(const std::string& arg) {
    const fs::path dir = arg;
    int cancelled = 0;
    for (size_t i = 0; i < 3; ++i) {
        const std::string src = "kernel k(f32* y) { y[gid] = y[gid] + " + std::to_string(i) + ".5; }";
        const std::string source = lumk_jit_source(*unit_of(src.c_str())->programs[0]);
        cancelled += thread_unwound([&] { lumk_jit_compile(source, nullptr); }, [&](pthread_t t) {
            wait_until([&] { return count_lines(dir / "started") > i; }, 20);
            ::pthread_cancel(t);
        });
    }
    // The cancelled compiles' waiters and keepers are collected when they end.
    std::printf("cancelled=%d recorded=%zu children=%d\n", cancelled, lumk_platform_test_recorded_runs(),
                children_of_this_process());
    std::printf("later=%s\n", saxpy_compile_status().c_str());
    return 0;
}

// Threads end through pthread_exit inside a callback of the module: the stop
// condition of a run (its command writes its pid to `arg`/cmd.pid and would
// sleep for 30 s) and that of a compile job (the slow compiler in `arg`), and
// the host's queue that is given a compile job.
// Then what each left: the runs recorded, the job's state, and a later
// compile of the same kernel. The process then ends through exit().
int child_exit_in_a_callback(const std::string& arg) {
    const fs::path dir = arg;
    const fs::path pid_file = dir / "cmd.pid";
    bool returned = false;
    thread_unwound([&] {
        std::string out;
        lumk_platform_run("echo $$ > '" + pid_file.string() + "'; exec sleep 30", &out, 60, nullptr, [&] {
            if (count_lines(pid_file) != 0) ::pthread_exit(nullptr);
            return false;
        });
        returned = true;
    });
    std::printf("returned=%d recorded=%zu\n", returned ? 1 : 0, lumk_platform_test_recorded_runs());
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* program = u->programs[0].get();
    thread_unwound([&] {
        lumk_jit_request(u, program, nullptr, [&] {
            if (count_lines(dir / "started") != 0) ::pthread_exit(nullptr);
            return false;
        });
    });
    const std::string job = lumk_jit_status(program);
    std::printf("job=%s recorded=%zu\n", job.c_str(), lumk_platform_test_recorded_runs());
    // A slot left compiling would make a synchronous request wait for good.
    if (job == "none") lumk_jit_request(u, program, nullptr);
    std::printf("later=%s\n", lumk_jit_status(program).c_str());
    // The host's queue of jobs, asked to take a compile job, ends the thread.
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> other = unit_of(kPoly);
    thread_unwound([&] {
        lumk_jit_request(other, other->programs[0].get(), [](std::function<void()>) -> bool {
            ::pthread_exit(nullptr);
        });
    });
    std::printf("queued=%s\n", lumk_jit_status(other->programs[0].get()).c_str());
    return 0;
}

const bool kScenarios =
    ntest::add_child_scenario("cancelled_while_compiling", child_cancelled_while_compiling, ntest::child_end::normal) &&
    ntest::add_child_scenario("exit_in_a_callback", child_exit_in_a_callback, ntest::child_end::normal) &&
    ntest::add_child_scenario("exit_while_compiling", child_exit_while_compiling, ntest::child_end::normal) &&
    ntest::add_child_scenario("request_while_probing", child_request_while_probing, ntest::child_end::immediate) &&
    ntest::add_child_scenario("pool_shuts_down", child_pool_shuts_down, ntest::child_end::immediate) &&
    ntest::add_child_scenario("sigchld_ignored", child_sigchld_ignored, ntest::child_end::immediate) &&
    ntest::add_child_scenario("reaping_thread", child_reaping_thread, ntest::child_end::immediate) &&
    ntest::add_child_scenario("standard_descriptors_closed", child_standard_descriptors_closed,
                              ntest::child_end::immediate) &&
    ntest::add_child_scenario("memory_while_running", child_memory_while_running, ntest::child_end::immediate) &&
    ntest::add_child_scenario("fork_while_running", child_fork_while_running, ntest::child_end::immediate) &&
    ntest::add_child_scenario("host_stops", child_host_stops, ntest::child_end::immediate) &&
    ntest::add_child_scenario("quick_exit_while_compiling", child_quick_exit_while_compiling,
                              ntest::child_end::normal) &&
    ntest::add_child_scenario("killed_while_compiling", child_killed_while_compiling, ntest::child_end::immediate);

using ntest::hanging_compiler;
using ntest::processes_end;

// A compiler whose probe hangs, with a child of its own; it writes both
// process ids into `dir` (cc.pid, sleep.pid).
fs::path hanging_probe(const fs::path& dir) {
    write_script(dir / "probe.sh", "echo $$ > '" + (dir / "cc.pid").string() + "'\nsleep 40 &\necho $! > '" +
                                       (dir / "sleep.pid").string() + "'\nwait\n");
    return dir / "probe.sh";
}

}  // namespace

TEST(NativeCommands, CommandsQuotingAndOutputLimit) {
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

TEST(NativeCommands, CompilerKindAndQuoting) {
    for (const char* cl : {"cl", "CL.EXE", "C:\\VS\\bin\\cl.exe", "/opt/llvm/clang-cl", "clang-cl.exe"})
        EXPECT_TRUE(lumk_compiler_is_msvc(cl)) << cl;
    for (const char* cc : {"gcc", "clang", "/usr/bin/cc", "cl-wrapper", "mycl"}) EXPECT_FALSE(lumk_compiler_is_msvc(cc)) << cc;
    // the program is judged, not its arguments; a quoted program may hold spaces
    for (const char* cl : {"cl /arch:AVX2", "\"C:\\Program Files\\VC\\cl.exe\" /arch:AVX2", " \"/opt/my tools/clang-cl\" -m64"})
        EXPECT_TRUE(lumk_compiler_is_msvc(cl)) << cl;
    for (const char* cc : {"gcc -include C:\\x\\cl", "/usr/bin/gcc -I/opt/cl", "\"/opt/my cl/gcc\" -O2"})
        EXPECT_FALSE(lumk_compiler_is_msvc(cc)) << cc;
    EXPECT_FALSE(lumk_probe_compiler("/nonexistent/cc"));
    EXPECT_TRUE(lumk_probe_compiler("gcc"));
}

TEST(NativeCommands, CompilerTimeLimitSetting) {
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

TEST(NativeCommands, CommandPastItsTimeLimitIsKilledWithItsChildren) {
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

TEST(NativeCommands, FailingAndMissingCompilers) {
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

    // empty, or an empty program in quotes: no compiler named, nothing run
    for (const char* empty : {"", "\"\""}) {
        env.set("LUM_KERNEL_CC", empty);
        EXPECT_EQ(ntest::run_child("sync").output, "status=failed: no C compiler found (set LUM_KERNEL_CC)\n") << empty;
    }
    // A named compiler that fails its probe is named, with what it answered.
    env.set("LUM_KERNEL_CC", "/nonexistent/cc");
    const std::string missing = ntest::run_child("sync").output;
    const std::string probe = "status=failed: no C compiler found: the probe of LUM_KERNEL_CC failed: "
                              "/nonexistent/cc --version gave exit status 127:\n";
    EXPECT_EQ(missing.substr(0, probe.size()), probe) << missing;
    EXPECT_NE(missing.find("/nonexistent/cc", probe.size()), std::string::npos) << missing;
    write_script(dir / "noversion.sh", "echo no such option: $1\nexit 1\n");
    env.set("LUM_KERNEL_CC", (dir / "noversion.sh").string());
    EXPECT_EQ(ntest::run_child("sync").output, "status=failed: no C compiler found: the probe of LUM_KERNEL_CC failed: " +
                                                   (dir / "noversion.sh").string() +
                                                   " --version gave exit status 1:\nno such option: --version\n\n");
    fs::remove_all(dir);
}

TEST(NativeCommands, HangingCompilerIsStoppedAfterTheTimeLimit) {
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

// The same through quick_exit (async-signal-safe calls only): the compiler's
// group is killed and the compile's temporary files go. A host that is killed
// takes the compiler's group with it.
TEST(NativeCommands, ShutdownStopsARunningCompile) {
    for (const char* scenario : {"exit_while_compiling", "quick_exit_while_compiling", "killed_while_compiling"}) {
        SCOPED_TRACE(scenario);
        const fs::path dir = ntest::temp_dir("child");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        env.set("LUM_KERNEL_CC", hanging_compiler(dir).string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "0");  // no limit: only the shutdown ends it
        const auto start = std::chrono::steady_clock::now();
        const ntest::child_result r = ntest::run_child(scenario, (dir / "sleep.pid").string());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(r.output.rfind("compiling=1\n", 0), 0u) << r.output;  // the shell may add "Killed"
        EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
        if (std::string(scenario) != "killed_while_compiling") {
            EXPECT_TRUE(files_in(dir / "cache").empty()) << files_in(dir / "cache").size();
        }
        fs::remove_all(dir);
    }
}

// The status of every command and compile reaches the driver whatever the
// host does with SIGCHLD: ignores it, or reaps all children on a thread.
TEST(NativeCommands, ExitStatusesSurviveTheHostsHandlingOfChildren) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.unset("LUM_KERNEL_CC");
    const ntest::child_result ignored = ntest::run_child("sigchld_ignored");
    EXPECT_EQ(ignored.status, 0) << ignored.output;
    EXPECT_EQ(ignored.output, "wrong=0\nfailed=0\n");
    fs::remove_all(dir / "cache");  // compile again, not from the cache
    const ntest::child_result reaping = ntest::run_child("reaping_thread");
    EXPECT_EQ(reaping.status, 0) << reaping.output;
    EXPECT_EQ(reaping.output, "wrong=0\nfailed=0\nreaped=1\n");
    fs::remove_all(dir);
}

// A host whose standard input, output and error output are closed (a
// daemon) runs commands and compiles as any other, whichever descriptor
// numbers its runs get.
TEST(NativeCommands, AHostWithoutStandardDescriptorsRunsCommandsAndCompiles) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.unset("LUM_KERNEL_CC");
    const ntest::child_result r = ntest::run_child("standard_descriptors_closed", (dir / "result.txt").string());
    EXPECT_EQ(r.status, 0) << r.output;
    std::ifstream f(dir / "result.txt");
    const std::string result((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(result, "wrong=0\nfailed=0\n");
    fs::remove_all(dir);
}

// A process that leaves the command's process group but keeps its output
// open does not hold the run up once the shell has ended.
TEST(NativeCommands, OutputHeldOpenByALeftoverProcessEndsWithTheShell) {
    const fs::path dir = ntest::temp_dir("held");
    const fs::path pid = dir / "helper.pid";
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    bool timed_out = false;
    const int status = lumk_run_command("setsid sh -c 'echo $$ > " + lumk_quote(pid.string()) +
                                            "; exec sleep 30' & echo done; exit 6",
                                        &out, 4, &timed_out);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 6);
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(out, "done\n");
    EXPECT_LT(took, std::chrono::seconds(2));
    // the helper is not the run's to stop: end it here
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count_lines(pid) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream f(pid);
    long helper = 0;
    if (f >> helper && helper > 0) ::kill(static_cast<pid_t>(helper), SIGKILL);
    fs::remove_all(dir);
}

// The command gets the null device as input and none of the process's other
// descriptors, also those opened without close-on-exec.
TEST(NativeCommands, TheCommandGetsNullInputAndNoOtherDescriptor) {
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    std::string out;
    const std::string fd = "/proc/$$/fd/" + std::to_string(leaked);
    EXPECT_EQ(lumk_run_command("readlink /proc/$$/fd/0; [ -e " + fd + " ] && echo inherited; "
                               "for n in 3 4 5 6 7 8 9; do [ -e /proc/$$/fd/$n ] && echo fd $n; done; echo end",
                               &out),
              0);
    EXPECT_EQ(out, "/dev/null\nend\n");
    ::close(leaked);
}

// A caller's stop condition ends a run without a time limit, with what it
// started.
TEST(NativeCommands, ARunStopsWhenItsCallerSaysSo) {
    const fs::path dir = ntest::temp_dir("stop");
    const auto start = std::chrono::steady_clock::now();
    std::string out;
    lumk_run_end end = lumk_run_end::exited;
    const int status = lumk_platform_run("echo $$ > '" + (dir / "sh.pid").string() + "'; sleep 40 & echo $! > '" +
                                             (dir / "sleep.pid").string() + "'; echo started; wait",
                                         &out, 0, &end, [&] { return count_lines(dir / "sleep.pid") != 0; });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(end, lumk_run_end::stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(processes_end(dir / "sh.pid", dir / "sleep.pid", 10));
    fs::remove_all(dir);
}

// The compiler's probe runs without the driver's lock: an auto request for
// another kernel does not wait for it.
TEST(NativeCommands, AnAutoRequestDoesNotWaitForTheProbe) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", hanging_probe(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "4");
    const ntest::child_result r = ntest::run_child("request_while_probing", (dir / "sleep.pid").string());
    EXPECT_EQ(r.output, "probing=1\nwaited=0\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    fs::remove_all(dir);
}

// A compile job whose host shuts its pool down stops at once, in its probe
// or in its compile, with what it started and its temporary files.
TEST(NativeCommands, AJobStopsWhenItsPoolShutsDown) {
    for (const bool in_probe : {true, false}) {
        SCOPED_TRACE(in_probe ? "probe" : "compile");
        const fs::path dir = ntest::temp_dir("child");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        env.set("LUM_KERNEL_CC", (in_probe ? hanging_probe(dir) : hanging_compiler(dir)).string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "6");
        const ntest::child_result r = ntest::run_child("pool_shuts_down", (dir / "sleep.pid").string());
        EXPECT_EQ(r.output, "running=1\nended=1\nstatus=none\n");
        EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
        EXPECT_TRUE(files_in(dir / "cache").empty());
        fs::remove_all(dir);
    }
}

// The module's shutdown stops a probe too (it holds no lock), and the
// process's temporary kernel folder is never left behind.
TEST(NativeCommands, ShutdownStopsAProbe) {
    const fs::path dir = ntest::temp_dir("child");
    fs::create_directories(dir / "tmp");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", "");
    env.set("TMPDIR", (dir / "tmp").string());
    env.set("LUM_KERNEL_CC", hanging_probe(dir).string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const ntest::child_result r = ntest::run_child("exit_while_compiling", (dir / "sleep.pid").string());
    // From the probe's start (its pid file written) to the child's end, not
    // counting the child's own start: well under the two seconds a shutdown
    // that waited for the probe would take.
    std::error_code ec;
    const auto probing_since = fs::last_write_time(dir / "sleep.pid", ec);
    EXPECT_FALSE(ec);
    EXPECT_LT(fs::file_time_type::clock::now() - probing_since, std::chrono::milliseconds(1500));
    EXPECT_EQ(r.output, "compiling=1\n");
    EXPECT_TRUE(processes_end(dir / "cc.pid", dir / "sleep.pid", 10));
    EXPECT_TRUE(files_in(dir / "tmp").empty());
    fs::remove_all(dir);
}

// Whatever the command leaves running in its process group ends with the
// run, also when the command ended by itself.
TEST(NativeCommands, WhatTheCommandLeavesInItsGroupEndsWithTheRun) {
    const fs::path dir = ntest::temp_dir("leftover");
    std::string out;
    EXPECT_EQ(lumk_run_command("echo $$ > '" + (dir / "sh.pid").string() + "'; sleep 30 & echo $! > '" +
                                   (dir / "sleep.pid").string() + "'; echo done",
                               &out, 10),
              0);
    EXPECT_EQ(out, "done\n");
    EXPECT_TRUE(processes_end(dir / "sh.pid", dir / "sleep.pid", 10));
    fs::remove_all(dir);
}

// The time limit and the stop end a run about at once, even when the process
// that waits for the command never reports anything; what it started goes.
TEST(NativeCommands, ARunEndsOnTimeWhenNothingReports) {
    const fs::path dir = ntest::temp_dir("silent");
    const std::string script = "echo $$ > '" + (dir / "waiter.pid").string() + "'; exec sleep 60";
    lumk_platform_test_waiter_script(script.c_str());
    struct silent_case {
        uint32_t limit;
        bool stop;
        lumk_run_end end;
    };
    for (const silent_case c : {silent_case{1, false, lumk_run_end::timed_out},
                                silent_case{0, true, lumk_run_end::stopped}}) {
        SCOPED_TRACE(c.stop ? "stop" : "limit");
        fs::remove(dir / "waiter.pid");
        std::string out;
        lumk_run_end end = lumk_run_end::exited;
        auto asked_at = std::chrono::steady_clock::time_point::max();
        const auto start = std::chrono::steady_clock::now();
        const int status = lumk_platform_run("exit 0", &out, c.limit, &end, [&] {
            if (!c.stop || count_lines(dir / "waiter.pid") == 0) return false;
            asked_at = std::min(asked_at, std::chrono::steady_clock::now());
            return true;
        });
        const auto done = std::chrono::steady_clock::now();
        EXPECT_EQ(status, -1);
        EXPECT_EQ(end, c.end);
        // within about a second of the limit or of the stop
        EXPECT_LT(done - (c.stop ? asked_at : start + std::chrono::seconds(c.limit)), std::chrono::seconds(2));
        EXPECT_TRUE(processes_end(dir / "waiter.pid", dir / "waiter.pid", 10));
    }
    // a waiter that goes without a word: the command's end is unknown, and
    // nobody stopped it
    lumk_platform_test_waiter_script("exit 0");
    std::string out;
    lumk_run_end end = lumk_run_end::stopped;
    EXPECT_EQ(lumk_platform_run("exit 0", &out, 10, &end, [] { return false; }), -1);
    EXPECT_EQ(end, lumk_run_end::exited);
    lumk_platform_test_waiter_script(nullptr);
    fs::remove_all(dir);
}

// No process started for a command holds a copy of the host's memory, even
// while the host rewrites a large buffer.
TEST(NativeCommands, NoProcessOfARunHoldsACopyOfTheHostsMemory) {
    const fs::path dir = ntest::temp_dir("memory");
    const ntest::child_result r = ntest::run_child("memory_while_running", (dir / "cmd.pid").string());
    EXPECT_EQ(r.status, 0) << r.output;
    int processes = 0;
    long largest = -1;
    EXPECT_EQ(std::sscanf(r.output.c_str(), "processes=%d\nlargest_kb=%ld", &processes, &largest), 2) << r.output;
    EXPECT_GE(processes, 2) << r.output;  // the command and what waits for it
    EXPECT_GE(largest, 0);
    EXPECT_LT(largest, 8 * 1024) << r.output;
    fs::remove_all(dir);
}

// A host that forks while commands run: every forked copy shuts the module
// down at once (it never waits for a lock of a thread it does not have).
TEST(NativeCommands, AForkedCopyOfTheHostShutsDownAtOnce) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.unset("LUM_KERNEL_CC");
    const char* asan = std::getenv("ASAN_OPTIONS");
    // forked copies that end through exit() have lost the other threads' stacks
    env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
    const ntest::child_result r = ntest::run_child("fork_while_running");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "slow=0\n");
    fs::remove_all(dir);
}

// A compile asked for after the host's queue has shut down starts no
// process, before or after the compiler was chosen; one that the host stops
// while the compiler runs says so.
TEST(NativeCommands, ACompileStoppedByTheHostStartsNothingMoreAndSaysSo) {
    const fs::path dir = ntest::temp_dir("child");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    const fs::path cc = dir / "cc.sh";
    write_script(cc, "echo \"$1\" >> '" + (dir / "calls").string() + "'\n[ \"$1\" = --version ] && exit 0\n"
                     "sleep 40 &\necho $! > '" + (dir / "sleep.pid").string() + "'\nwait\n");
    env.set("LUM_KERNEL_CC", cc.string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const ntest::child_result r = ntest::run_child("host_stops", dir.string());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string stopped = "native compilation was stopped: the host is shutting down";
    const std::string during = "during=C compiler failed (" + cc.string() + " " + lumk_jit_flags_cc + " -o \"" +
                               (dir / "cache").string() + "/k_";
    EXPECT_EQ(r.output.rfind("before=" + stopped + "\ncalls=0\n" + during, 0), 0u) << r.output;
    const std::string tail = ".c\" -lm): was stopped: the host is shutting down\n\ncalls=2\nafter=" + stopped +
                             "\ncalls=2\n";
    EXPECT_EQ(r.output.size() >= tail.size() ? r.output.substr(r.output.size() - tail.size()) : r.output, tail);
    EXPECT_TRUE(processes_end(dir / "sleep.pid", dir / "sleep.pid", 10));
    EXPECT_TRUE(files_in(dir / "cache").empty());
    fs::remove_all(dir);
}

// Whether the process whose id is on any line of `pid_file` still runs.
bool any_process_runs(const fs::path& pid_file) {
    std::ifstream f(pid_file);
    for (std::string line; std::getline(f, line);) {
        const fs::path one = pid_file.parent_path() / "one.pid";
        std::ofstream(one) << line << "\n";
        if (process_runs(one)) return true;
    }
    return false;
}

namespace {
// Runs `scenario` in a child whose compiler is the slow one in `dir` and
// whose cache is `dir`/cache.
ntest::child_result run_with_slow_compiler(const char* scenario, const fs::path& dir) {
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    env.set("LUM_KERNEL_CC", slow_compiler(dir).string());
    return ntest::run_child(scenario, dir.string());
}
}  // namespace

// A host that stops a compiling thread with pthread_cancel (the thread waits
// for a slow compiler) three times over: every cancelled thread unwinds, the
// compiler's processes end with it, no temporary file stays in the cache
// folder, the module records no run and the process has no child left; a
// later compile works, and the process exits cleanly.
TEST(NativeCommands, ACancelledCompilingThreadLeavesNothingBehind) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow the unwinding of a cancelled thread";
#endif
    const fs::path dir = ntest::temp_dir("child");
    const ntest::child_result r = run_with_slow_compiler("cancelled_while_compiling", dir);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "cancelled=3 recorded=0 children=0\nlater=ready\n");
    EXPECT_EQ(count_lines(dir / "started"), 4u);
    EXPECT_FALSE(any_process_runs(dir / "started"));
    EXPECT_FALSE(any_process_runs(dir / "sleeps"));
    // Only the later compile's library.
    const std::vector<fs::path> files = files_in(dir / "cache");
    EXPECT_EQ(files.size(), 1u);
    for (const fs::path& f : files)
        EXPECT_TRUE(std::regex_match(f.filename().string(), std::regex("k_[0-9a-f]{16}\\.so"))) << f;
    fs::remove_all(dir);
}

// A thread that ends through pthread_exit inside the stop condition of a run,
// or of a compile job, or inside the host's queue taking a job, passes
// through the module: the run's command is killed and leaves the table, the
// kernel is back to "none" (a later request compiles it), and the process
// exits cleanly.
TEST(NativeCommands, AThreadEndingInsideACallbackPassesThrough) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow the unwinding of an ending thread";
#endif
    const fs::path dir = ntest::temp_dir("child");
    const ntest::child_result r = run_with_slow_compiler("exit_in_a_callback", dir);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "returned=0 recorded=0\njob=none recorded=0\nlater=ready\nqueued=none\n");
    EXPECT_FALSE(process_runs(dir / "cmd.pid"));
    EXPECT_FALSE(any_process_runs(dir / "sleeps"));
    fs::remove_all(dir);
}
