// The keeper of a compile's temporary files and the table of runs: a host
// that dies during a compile (killed, ended by a signal to its whole session,
// or through quick_exit at any moment of the compile) leaves no file, even
// when a process the compiler started outside its group holds the output and
// writes a file later; hosts in different pid namespaces that share a cache
// folder keep to their own files, also without a random source, and the
// keeper never hears a name found taken; a host killed while it collects the
// waiter leaves a group of the same id alone; ended runs leave nothing
// recorded and their slots are taken again; a copy forked beside many runs
// holds none of their descriptors; a copy forked from a stop condition gives
// up the run or probe it finds itself in; a library refused on every load
// ends the compile.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
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

using clock_type = std::chrono::steady_clock;

// saxpy compiles on a thread of its own; once its compiler has written
// `dir`/started, the host is killed ("kill:DIR"), ends through quick_exit
// ("quick_exit:DIR"), or ("wait:DIR") writes its session id to
// `dir`/host.ready and waits for a signal.
int child_dies_during_a_compile(const std::string& arg) {
    const fs::path dir = arg.substr(arg.find(':') + 1);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const std::string source = lumk_jit_source(*u->programs[0]);
    std::thread([source] { lumk_jit_compile(source, nullptr); }).detach();
    wait_until([&] { return fs::exists(dir / "started"); }, 20);
    std::printf("compiling=%d\n", fs::exists(dir / "started") ? 1 : 0);
    std::fflush(stdout);
    if (arg.rfind("kill:", 0) == 0) ::raise(SIGKILL);
    if (arg.rfind("quick_exit:", 0) == 0) std::quick_exit(0);
    std::ofstream(dir / "host.ready") << ::getsid(0) << "\n";
    ::sleep(30);
    return 1;
}

// The toolchain chosen, three compiles start on threads of their own (with a
// compiler that hangs) and eight threads call quick_exit at one random moment
// (seeded by the argument before the ':') within the compiles' first 4 ms.
int child_quick_exit_at_random(const std::string& arg) {
    std::mt19937 random(static_cast<unsigned>(std::stoul(arg.substr(0, arg.find(':')))));
    if (lumk_jit_compiler().empty()) return 1;
    const auto moment = clock_type::now() + std::chrono::microseconds(random() % 4000);
    for (int i = 0; i < 3; ++i)
        std::thread([i] {
            const std::string src = "kernel k(f32* y) { y[gid] = y[gid] * " + std::to_string(i) + ".25; }";
            lumk_jit_compile(lumk_jit_source(*unit_of(src.c_str())->programs[0]), nullptr);
        }).detach();
    std::vector<std::thread> enders;
    for (int i = 0; i < 8; ++i)
        enders.emplace_back([at = moment + std::chrono::microseconds(random() % 500)] {
            std::this_thread::sleep_until(at);
            std::quick_exit(0);
        });
    for (std::thread& t : enders) t.join();
    return 1;
}

// Compiles saxpy and prints its status (a host in a pid namespace of its own;
// the argument is its name, for the compiler script).
int child_compile_in_namespace(const std::string&) {
    std::printf("%s\n", saxpy_compile_status().c_str());
    return 0;
}

// 80 commands run at once (each adds a line to `dir`/started, then sleeps
// until its run is stopped); a copy forked then holds none of their
// descriptors. Prints how many runs were recorded and whether the copy held
// a descriptor the host did not have before.
int child_copy_beside_80_runs(const std::string& arg) {
    const fs::path dir = arg;
    static bool before[1024];
    for (int fd = 0; fd < 1024; ++fd) before[fd] = ::fcntl(fd, F_GETFD) >= 0;
    std::atomic<bool> done{false};
    std::vector<std::thread> runs;
    const std::string command = "echo x >> '" + (dir / "started").string() + "'; exec sleep 30";
    for (int i = 0; i < 80; ++i)
        runs.emplace_back([&] {
            std::string out;
            lumk_run_end end;
            lumk_platform_run(command, &out, 0, &end, [&] { return done.load(); });
        });
    wait_until([&] { return count_lines(dir / "started") == 80; }, 30);
    const size_t recorded = lumk_platform_test_recorded_runs();
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int fd = 0; fd < 1024; ++fd)
            if ((::fcntl(fd, F_GETFD) >= 0) != before[fd]) std::_Exit(1);
        std::_Exit(0);
    }
    const int copy = collect(pid, clock_type::now() + std::chrono::seconds(20));
    done = true;
    for (std::thread& t : runs) t.join();
    std::printf("recorded=%zu holding=%d\n", recorded, copy);
    return 0;
}

// A run whose stop condition forks, on its first call ("first:DIR", before
// the command starts) or once the command runs ("later:DIR"): the copy's run
// must end as `copied` without running the command; the parent's run goes on.
// The command adds a line to `dir`/ran. Prints the copy's and the parent's
// ends and how often the command ran.
int child_fork_from_the_runs_stop(const std::string& arg) {
    const fs::path dir = arg.substr(arg.find(':') + 1);
    const bool first = arg.rfind("first:", 0) == 0;
    const pid_t parent = ::getpid();
    int copy = -2;
    std::fflush(stdout);
    std::string out;
    lumk_run_end end = lumk_run_end::not_run;
    const std::string command = "echo x >> '" + (dir / "ran").string() + "'; sleep 0.3";
    lumk_platform_run(command, &out, 0, &end, [&] {
        if (copy != -2 || ::getpid() != parent || (!first && count_lines(dir / "ran") == 0)) return false;
        const pid_t pid = ::fork();
        if (pid == 0) return false;  // the copy goes on from here
        copy = collect(pid, clock_type::now() + std::chrono::seconds(20));
        return false;
    });
    if (::getpid() != parent) std::_Exit(end == lumk_run_end::copied ? 0 : 10 + static_cast<int>(end));
    std::printf("copy=%d parent=%d ran=%zu\n", copy, static_cast<int>(end), count_lines(dir / "ran"));
    return 0;
}

// The compiler's probe waits for `dir`/go; once it runs, the stop condition
// forks, waits for the copy, then lets the probe go on. The copy writes what
// it got to `dir`/copy.txt: the compile's error ("compile:DIR" and
// "held:DIR"), or whether the probe said it was stopped and the compiler
// found ("find:DIR"). With "held:DIR" another thread compiles poly and holds
// the driver's lock at the fork: its stop condition, asked a second time
// while it waits for the choice (with the lock held), returns only once the
// copy is made. Prints the parent's kernel (and with "held:DIR" the other
// thread's), or the compiler it found.
int child_fork_during_the_probe(const std::string& arg) {
    const fs::path dir = arg.substr(arg.find(':') + 1);
    const bool held = arg.rfind("held:", 0) == 0;
    const pid_t parent = ::getpid();
    int copy = -2;
    std::fflush(stdout);
    std::atomic<int> holding{0};  // 1 while the other thread holds the lock, 2 once it may go on
    std::thread other;
    std::string other_got;
    const auto other_stop = [&, asked = 0]() mutable {
        if (++asked == 2) {
            holding = 1;
            while (holding.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    const auto stop = [&] {
        if (copy != -2 || ::getpid() != parent || count_lines(dir / "probe.pid") == 0) return false;
        if (held && !other.joinable()) {
            other = std::thread([&] {
                std::string error;
                other_got = lumk_jit_compile(lumk_jit_source(*unit_of(kPoly)->programs[0]), &error, other_stop)
                                ? "ready"
                                : error;
            });
            while (holding.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const pid_t pid = ::fork();
        if (pid == 0) return false;
        holding = 2;
        copy = collect(pid, clock_type::now() + std::chrono::seconds(20));
        std::ofstream(dir / "go") << "go\n";
        return false;
    };
    std::string got;
    if (arg.rfind("find:", 0) == 0) {
        bool stopped = false;
        const std::string found = lumk_find_compiler(60, stop, &stopped);
        got = "stopped=" + std::to_string(stopped ? 1 : 0) + " found=" + fs::path(found).filename().string();
    } else {
        std::string error;
        got = lumk_jit_compile(lumk_jit_source(*unit_of(kSaxpy)->programs[0]), &error, stop) ? "ready" : error;
    }
    if (::getpid() != parent) {
        std::ofstream(dir / "copy.txt") << got << "\n";
        std::_Exit(0);
    }
    if (other.joinable()) {
        other.join();
        got += " other=" + other_got;
    }
    std::printf("copy=%d parent=%s\n", copy, got.c_str());
    return 0;
}

// Every load of the library just built finds another file under its name
// (put there between the checks and the loader's opening): the compile must
// end with the reason, not load for ever. An alarm ends a child that loops.
std::atomic<int> swaps{0};
int child_refused_on_every_load(const std::string&) {
    ::alarm(30);
    lumk_platform_set_before_load_for_tests([](const fs::path& path) {
        ++swaps;
        std::error_code ec;
        const fs::path copy = path.string() + ".new";
        fs::copy_file(path, copy, ec);
        fs::rename(copy, path, ec);
    });
    std::string error;
    const bool ready = lumk_jit_compile(lumk_jit_source(*unit_of(kSaxpy)->programs[0]), &error) != nullptr;
    std::printf("ready=%d loads=%d refused=%d\n", ready ? 1 : 0, swaps.load(),
                error.find("the file loaded is not the one examined") != std::string::npos ? 1 : 0);
    return 0;
}

// Runs `true` with a keeper of `dir` (arg) and a waiter that is this binary
// again ("waiter_leaves_its_group"), which kills this process while the run
// collects it. Prints "released" should the run end all the same.
int child_killed_while_collecting_the_waiter(const std::string& arg) {
    static const std::string waiter = "exec env LUM_NATIVE_CHILD=waiter_leaves_its_group LUM_NATIVE_CHILD_ARG=" +
                                      lum_test_quote(arg) + " " + lum_test_quote(lum_test_self_path()) +
                                      " --gtest_filter=CemitText.Prelude";
    lumk_platform_test_waiter_script(waiter.c_str());
    lumk_compile_files* keeper = lumk_platform_compile_files_start(arg);
    if (keeper == nullptr) return 1;
    std::string out;
    lumk_run_end end = lumk_run_end::not_run;
    lumk_platform_run("true", &out, 20, &end, {}, keeper);
    std::printf("released\n");
    return 0;
}

// The waiter of that run (the leader of the command's group, its descriptor
// 3 the report socket). It leaves a process in the group and moves itself to
// the host's, reports that the command ended, and once the run has killed the
// group (with that process) makes a group of the same id again: as a process
// that got the waiter's id once it was collected would. While the run is still
// collecting it, it kills the host; the keeper must leave the new group alone.
// It writes `dir`/regrouped, then, still alive two seconds later,
// `dir`/survived.
int child_waiter_leaves_its_group(const std::string& arg) {
    const fs::path dir = arg;
    ::alarm(20);
    const pid_t host = ::getppid();
    const pid_t member = ::fork();
    if (member == 0) {
        ::dup2(0, 1);
        ::dup2(0, 2);
        ::close(3);
        ::pause();
        std::_Exit(0);
    }
    if (member < 0 || ::setpgid(0, ::getpgid(host)) != 0) return 1;
    ::dup2(0, 1);
    ::dup2(0, 2);
    if (::write(3, "0\n", 2) != 2) return 1;
    ::waitpid(member, nullptr, 0);
    if (::setpgid(0, 0) != 0) return 1;
    std::ofstream(dir / "regrouped") << ::getpid() << "\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(host, SIGKILL);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::ofstream(dir / "survived") << "\n";
    return 0;
}

// With the random part of the temporary names fixed, plants another
// process's files under names saxpy's compile chooses first (the library's
// of the first choice, the C file's of the second), then compiles saxpy with
// a keeper that writes each line it is told to `dir`/told.txt (the cache
// folder is `dir`/cache). Prints the planted names, then the kernel's state.
int child_names_found_taken(const std::string& arg) {
    const fs::path dir = arg;
    static const std::string keeper = "while read -r w a <&3; do echo \"$w $a\" >> " +
                                      lum_test_quote((dir / "told.txt").string()) +
                                      "; [ \"$w\" = done ] && exit 0; done\n";
    lumk_platform_test_keeper_script(keeper.c_str());
    lumk_jit_set_random_for_tests([] { return uint64_t{0x5eed}; });
    const std::string source = lumk_jit_source(*unit_of(kSaxpy)->programs[0]);
    const uint64_t hash =
        lumk_jit_file_hash(lumk_jit_compiler(), std::string(lumk_jit_flags_cc) + " " + lumk_jit_libs_cc, source);
    for (const char* planted : {"%016llx.0.%016llx.so", "%016llx.1.%016llx.c"}) {
        char name[80] = "k_";
        std::snprintf(name + 2, sizeof name - 2, planted, static_cast<unsigned long long>(hash), 0x5eedull);
        std::ofstream(dir / "cache" / name) << "another's\n";
        std::printf("%s\n", name);
    }
    std::string error;
    std::printf("%s\n", lumk_jit_compile(source, &error) ? "ready" : error.c_str());
    return 0;
}

// Draws twice with no random source answering; prints both draws.
int child_draws_without_a_random_source(const std::string&) {
    lumk_platform_test_no_random_source(true);
    const uint64_t first = lumk_platform_random64(), second = lumk_platform_random64();
    std::printf("%016llx %016llx\n", static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
    return 0;
}

const bool kScenarios =
    add_child_scenario("dies_during_a_compile", child_dies_during_a_compile, child_end::immediate) &&
    add_child_scenario("quick_exit_at_random", child_quick_exit_at_random, child_end::immediate) &&
    add_child_scenario("compile_in_namespace", child_compile_in_namespace, child_end::immediate) &&
    add_child_scenario("copy_beside_80_runs", child_copy_beside_80_runs, child_end::immediate) &&
    add_child_scenario("fork_from_the_runs_stop", child_fork_from_the_runs_stop, child_end::immediate) &&
    add_child_scenario("fork_during_the_probe", child_fork_during_the_probe, child_end::immediate) &&
    add_child_scenario("refused_on_every_load", child_refused_on_every_load, child_end::immediate) &&
    add_child_scenario("killed_while_collecting_the_waiter", child_killed_while_collecting_the_waiter,
                       child_end::immediate) &&
    add_child_scenario("waiter_leaves_its_group", child_waiter_leaves_its_group, child_end::immediate) &&
    add_child_scenario("names_found_taken", child_names_found_taken, child_end::immediate) &&
    add_child_scenario("draws_without_a_random_source", child_draws_without_a_random_source, child_end::immediate);

// Runs a scenario as run_child does, its environment given on the command
// line and the test binary started through `launch` ("%s" stands for the
// binary and its arguments), so that several children can run at once.
child_result run_child_through(const std::string& launch, const std::string& scenario, const std::string& arg,
                               const std::string& env = "") {
    const std::string self = lum_test_quote(lum_test_self_path()) + " --gtest_filter=CemitText.Prelude";
    std::string line = launch;
    line.replace(line.find("%s"), 2, self);
    child_result r;
    r.status = lum_test_capture("LUM_NATIVE_CHILD=" + scenario + " LUM_NATIVE_CHILD_ARG=" + lum_test_quote(arg) +
                                    " " + env + " " + line + " 2>&1",
                                &r.output);
    const size_t mark = r.output.find("--child--\n");
    if (mark != std::string::npos) r.output.erase(0, mark + 10);
    return r;
}

// The names in `folder`, for a failure's message.
std::string names_in(const fs::path& folder) {
    std::string names;
    for (const fs::path& p : files_in(folder)) names += " " + p.filename().string();
    return names;
}

// Every process of the session `sid`.
std::vector<pid_t> session_members(long sid) {
    std::vector<pid_t> found;
    for (const fs::path& p : files_in("/proc")) {
        const std::string name = p.filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(p / "stat");
        std::string text;
        if (!std::getline(stat, text) || text.rfind(')') == std::string::npos) continue;
        // After the name: state, parent, group, session.
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        std::string state;
        long parent = 0, group = 0, session = 0;
        if (rest >> state >> parent >> group >> session && session == sid) found.push_back(std::stoi(name));
    }
    return found;
}

}  // namespace

// A compiler that starts a helper in a session of its own, which holds the
// compiler's output and writes the library's name into the cache folder (by
// its real path) a second later: when the host is killed, the keeper waits
// for the helper to let the output go before it removes the files.
TEST(NativeKeeper, WaitsForEveryHolderOfTheCompilersOutput) {
    const fs::path dir = temp_dir("keeper");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exit 0\nfor a; do [ \"$prev\" = -o ] && lib=$a; prev=$a; done\n"
                                "setsid sh -c 'touch \"$3\"; sleep 1; echo late > \"$1\"; touch \"$2\"' sh '" +
                                    (dir / "cache").string() + "'/\"$(basename \"$lib\")\" '" +
                                    (dir / "helper.done").string() + "' '" + (dir / "helper.started").string() +
                                    "' &\n"
                                    // Only once the helper has left the command's group.
                                    "while [ ! -e '" + (dir / "helper.started").string() + "' ]; do sleep 0.01; done\n"
                                    "touch '" + (dir / "started").string() + "'\nsleep 40 &\nwait\n");
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    const child_result r = run_child("dies_during_a_compile", "kill:" + dir.string());
    EXPECT_EQ(r.output.rfind("compiling=1\n", 0), 0u) << r.output;
    EXPECT_TRUE(wait_until([&] { return fs::exists(dir / "helper.done"); }, 10));
    EXPECT_TRUE(wait_until([&] { return files_in(dir / "cache").empty(); }, 10)) << names_in(dir / "cache");
}

// A signal to every process of the host's session (as a service manager or a
// closed terminal sends), the keeper's included, ends the host; the keeper
// lives on and removes the files.
TEST(NativeKeeper, OutlivesASignalToTheWholeSession) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const fs::path dir = temp_dir("keeper");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exit 0\ntouch '" + (dir / "started").string() +
                                        "'\nsleep 40 &\nwait\n");
        env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "0");
        child_result r;
        std::thread host([&] { r = run_child_through("setsid -w %s", "dies_during_a_compile", "wait:" + dir.string()); });
        long sid = 0;
        if (wait_until([&] { return count_lines(dir / "host.ready") == 1; }, 20)) std::ifstream(dir / "host.ready") >> sid;
        ASSERT_GT(sid, 0);
        EXPECT_TRUE(fs::exists(dir / "cache") && !files_in(dir / "cache").empty());
        for (pid_t pid : session_members(sid)) ::kill(pid, sig);
        host.join();
        EXPECT_EQ(r.output.rfind("compiling=1\n", 0), 0u) << r.output;
        EXPECT_TRUE(wait_until([&] { return files_in(dir / "cache").empty(); }, 10)) << files_in(dir / "cache").size();
        for (pid_t pid : session_members(sid)) ::kill(pid, SIGKILL);
    }
}

// quick_exit from eight threads at a random moment of three compiles' start
// (before, while or after their files are made and their compilers start)
// leaves no file.
TEST(NativeKeeper, QuickExitAtAnyMomentOfACompileLeavesNoFile) {
    const int runs = std::getenv("LUM_KEEPER_RUNS") ? std::atoi(std::getenv("LUM_KEEPER_RUNS")) : 24;
    const fs::path dir = temp_dir("keeper");
    env_scope env;
    write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exit 0\nsleep 40 &\nwait\n");
    env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
    env.set("LUM_KERNEL_CC_TIMEOUT", "0");
    int left = 0;
    for (int run = 0; run < runs; ++run) {
        const fs::path cache = dir / ("cache" + std::to_string(run));
        env.set("LUM_KERNEL_CACHE", cache.string());
        const child_result r = run_child("quick_exit_at_random", std::to_string(run) + ":");
        EXPECT_EQ(r.status, 0) << r.output;
        if (!wait_until([&] { return files_in(cache).empty(); }, 10)) {
            ++left;
            ADD_FAILURE() << "run " << run << " left " << files_in(cache).size() << " files, "
                          << files_in(cache)[0].filename();
        }
    }
    EXPECT_EQ(left, 0);
}

// Two hosts, each in a pid namespace of its own (both with the same process
// id) and sharing a cache folder, compile the same kernel; one is killed or
// ends through quick_exit while the other's compiler waits: the other's files
// are untouched and its compile succeeds.
TEST(NativeKeeper, HostsInOtherPidNamespacesKeepToTheirOwnFiles) {
    if (std::system("unshare --pid --fork true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no pid namespace may be made here";
    for (const char* how : {"kill:", "quick_exit:"}) {
        SCOPED_TRACE(how);
        const fs::path dir = temp_dir("keeper");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        // The probe passes; host a's compiler hangs, host b's waits for `go`
        // before it compiles.
        write_script(dir / "cc.sh", "[ \"$1\" = --version ] && exit 0\ntouch '" + dir.string() +
                                        "'/$LUM_TEST_HOST/started\n[ $LUM_TEST_HOST = a ] && { sleep 40 & wait; }\n"
                                        "n=0\nwhile [ ! -e '" + (dir / "go").string() +
                                        "' ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done\nexec cc \"$@\"\n");
        env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "0");
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        // Both run as the second process of their namespace, whose first
        // process (the container's) outlives host a for a while: its end
        // would end every process of the namespace.
        const std::string launch = "unshare --pid --fork sh -c \"%s & wait\"";
        const std::string lingering = "unshare --pid --fork sh -c \"%s & wait; sleep 2\"";
        child_result b;
        std::thread host_b([&] { b = run_child_through(launch, "compile_in_namespace", "b", "LUM_TEST_HOST=b"); });
        EXPECT_TRUE(wait_until([&] { return fs::exists(dir / "b" / "started"); }, 20));
        const child_result a =
            run_child_through(lingering, "dies_during_a_compile", how + (dir / "a").string(), "LUM_TEST_HOST=a");
        EXPECT_EQ(a.output.rfind("compiling=1\n", 0), 0u) << a.output;
        // Host a's files are gone (b's C file is left).
        EXPECT_TRUE(wait_until([&] { return files_in(dir / "cache").size() == 1; }, 10));
        std::ofstream(dir / "go") << "go\n";
        host_b.join();
        EXPECT_EQ(b.status, 0) << b.output;
        EXPECT_EQ(b.output, "ready\n");
    }
}

// A host killed after its run killed the command's group, while it collects
// the waiter: the keeper has learnt that the group is gone, and leaves a group
// that has its id by then alone.
TEST(NativeKeeper, AHostKilledWhileCollectingTheWaiterLeavesTheGroupIdAlone) {
    const fs::path dir = temp_dir("keeper");
    const child_result r = run_child("killed_while_collecting_the_waiter", dir.string());
    EXPECT_EQ(r.output.find("released"), std::string::npos) << r.output;
    EXPECT_TRUE(wait_until([&] { return count_lines(dir / "regrouped") == 1; }, 20));
    EXPECT_TRUE(wait_until([&] { return fs::exists(dir / "survived"); }, 10));
}

// Names found taken by another process's files are never told to the keeper
// (which would remove those files should the host die before it hears that
// they are not the host's): it hears only the names of the files the compile
// makes, and nothing to forget; the other files stay as they were.
TEST(NativeKeeper, NamesFoundTakenAreNeverToldToTheKeeper) {
    const fs::path dir = temp_dir("keeper");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    fs::create_directories(dir / "cache");
    const child_result r = run_child("names_found_taken", dir.string());
    EXPECT_EQ(r.status, 0) << r.output;
    std::istringstream printed(r.output);
    std::string planted[2], state;
    printed >> planted[0] >> planted[1] >> state;
    EXPECT_EQ(state, "ready") << r.output;
    std::ifstream told_file(dir / "told.txt");
    std::vector<std::string> told;
    for (std::string line; std::getline(told_file, line);)
        if (line.rfind("group ", 0) != 0) told.push_back(line);
    // The third choice: k_<hash>.2.<random>, as the first planted file but its count.
    const size_t count = planted[0].find(".0.");
    ASSERT_NE(count, std::string::npos) << r.output;
    const std::string base = "file " + planted[0].substr(0, count) + ".2." +
                             planted[0].substr(count + 3, planted[0].size() - count - 6);
    EXPECT_EQ(told, (std::vector<std::string>{base + ".c", base + ".so", "ended ", "done "}));
    for (const std::string& name : planted) {
        std::ifstream f(dir / "cache" / name);
        std::string text;
        EXPECT_TRUE(std::getline(f, text) && text == "another's") << name;
    }
}

// With no random source answering, the random part of a process's temporary
// names is still its own (two hosts with the same one would remove each
// other's files): draws differ within a process and between processes, also
// two started at once, and none is 0.
TEST(NativeKeeper, WithoutARandomSourceDrawsStillDiffer) {
    child_result r[2];
    std::thread other([&] { r[1] = run_child_through("%s", "draws_without_a_random_source", ""); });
    r[0] = run_child_through("%s", "draws_without_a_random_source", "");
    other.join();
    std::vector<std::string> draws;
    for (const child_result& one : r) {
        EXPECT_EQ(one.status, 0) << one.output;
        std::istringstream printed(one.output);
        for (std::string draw; printed >> draw;) draws.push_back(draw);
    }
    const std::set<std::string> distinct(draws.begin(), draws.end());
    EXPECT_EQ(draws.size(), 4u) << r[0].output << r[1].output;
    EXPECT_EQ(distinct.size(), 4u) << r[0].output << r[1].output;
    EXPECT_EQ(distinct.count(std::string(16, '0')), 0u) << r[0].output << r[1].output;
}

// Ended runs leave nothing recorded (a table that kept them would grow for
// good, and quick_exit would kill process groups long given to others), and
// their slots are taken again: more runs one after the other than a chunk of
// the table holds leave it as large as it was. A live run is recorded until
// it ends, and the quick_exit kill ends it.
TEST(NativeRunTable, EndedRunsLeaveNothingRecorded) {
    std::string out;
    const size_t slots = lumk_platform_test_run_slots();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(lumk_run_command("exit 0", &out), 0);
    EXPECT_EQ(lumk_platform_test_recorded_runs(), 0u);
    EXPECT_EQ(lumk_platform_test_run_slots(), slots);
    const fs::path dir = temp_dir("keeper");
    lumk_run_end end = lumk_run_end::not_run;
    std::thread run([&] {
        std::string text;
        lumk_platform_run("touch '" + (dir / "started").string() + "'; sleep 30", &text, 60, &end);
    });
    // The command may start before its run has recorded the group: the kill
    // waits for that record, not for the command.
    EXPECT_TRUE(wait_until([&] { return fs::exists(dir / "started"); }, 20));
    EXPECT_TRUE(wait_until([] { return lumk_platform_test_runs_with_group() == 1; }, 20));
    EXPECT_EQ(lumk_platform_test_recorded_runs(), 1u);
    const auto killed_at = clock_type::now();
    lumk_platform_kill_commands_now();
    run.join();
    EXPECT_LT(clock_type::now() - killed_at, std::chrono::seconds(10));
    EXPECT_EQ(end, lumk_run_end::exited);
    EXPECT_EQ(lumk_platform_test_recorded_runs(), 0u);
}

// The table holds 64 runs per chunk: a copy forked while 80 commands run
// holds none of their descriptors, those of the 65th and later runs included.
TEST(NativeRunTable, ACopyBesideEightyRunsHoldsNoneOfTheirDescriptors) {
    const fs::path dir = temp_dir("keeper");
    const child_result r = run_child("copy_beside_80_runs", dir.string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "recorded=80 holding=0\n");
}

// A copy forked from a run's stop condition, before the command starts or
// while it runs, gives the run up (its end says `copied`) and never runs the
// command; the parent's run ends as usual.
TEST(NativeFork, ACopyForkedFromARunsStopGivesTheRunUp) {
    for (const char* when : {"first:", "later:"}) {
        SCOPED_TRACE(when);
        const fs::path dir = temp_dir("keeper");
        const child_result r = run_child("fork_from_the_runs_stop", when + dir.string());
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, "copy=0 parent=" + std::to_string(static_cast<int>(lumk_run_end::exited)) + " ran=1\n");
    }
}

// A copy forked from the stop condition while LUM_KERNEL_CC is probed gives
// the probe up as it gives a compile up (the probe says it was stopped),
// without touching the driver's state, whose lock another of the parent's
// threads may hold ("held:"); the parent's probe, and its kernels, go on.
TEST(NativeFork, ACopyForkedDuringTheProbeGivesItUp) {
    for (const char* how : {"compile:", "held:", "find:"}) {
        SCOPED_TRACE(how);
        const fs::path dir = temp_dir("keeper");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        write_script(dir / "cc.sh", "if [ \"$1\" = --version ]; then echo $$ >> '" + (dir / "probe.pid").string() +
                                        "'\nn=0\nwhile [ ! -e '" + (dir / "go").string() +
                                        "' ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done\nfi\nexec cc \"$@\"\n");
        env.set("LUM_KERNEL_CC", (dir / "cc.sh").string());
        const bool compile = how[0] != 'f';
        const child_result r = run_child("fork_during_the_probe", how + dir.string());
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, how[0] == 'h'  ? "copy=0 parent=ready other=ready\n"
                            : compile      ? "copy=0 parent=ready\n"
                                           : "copy=0 parent=stopped=0 found=cc.sh\n");
        std::ifstream f(dir / "copy.txt");
        std::string text;
        std::getline(f, text);
        EXPECT_EQ(text, compile ? "native compilation was given up: this process is a copy made by fork() during "
                                  "the compiler's probe"
                                : "stopped=1 found=");
    }
}

// A library that another file replaces before every load (a file system whose
// mapped file never matches the one examined) is tried a few times, then the
// compile fails with the reason.
TEST(NativeCache, ALibraryRefusedOnEveryLoadEndsTheCompile) {
    const fs::path dir = temp_dir("keeper");
    env_scope env;
    env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
    const child_result r = run_child("refused_on_every_load");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "ready=0 loads=4 refused=1\n");
}
