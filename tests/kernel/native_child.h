// Shared pieces of the native-driver tests that run this test binary again as
// a child process (the compiler and the cache folder are chosen once per
// process): the scenarios a child can run, the environment of one child run,
// and small file and process helpers.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kernel/exec/native_driver.h"
#include "tests/kernel/kernel_sources.h"
#include "tests/kernel/native_test_util.h"

namespace ntest {

// Threads that repeat a step until the object stops them (at the latest when
// it goes): the busy host that forks or shuts down around them.
class repeating_threads {
public:
    repeating_threads() = default;
    repeating_threads(const repeating_threads&) = delete;
    repeating_threads& operator=(const repeating_threads&) = delete;
    ~repeating_threads() { stop(); }

    void add(int count, const std::function<void()>& step) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, step] {
                while (!done_.load()) step();
            });
    }
    // `count` threads running `true` as commands.
    void add_commands(int count) {
        add(count, [] {
            std::string out;
            lumk_run_command("true", &out);
        });
    }
    void stop() {
        done_ = true;
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    std::atomic<bool> done_{false};
    std::vector<std::thread> threads_;
};

inline const char* const kSaxpy = kernel_src::saxpy;
inline const char* const kPoly =
    "kernel poly(const f32* x, f32* y) {\n"
    "  f32 v = x[gid]; f32 acc = 0.0;\n"
    "  for (i32 i = 0; i < 16; i++) { acc = acc * v + f32(i % 5) * 0.25; }\n"
    "  y[gid] = acc;\n"
    "}";

std::shared_ptr<const lumk_unit> unit_of(const char* src);

// Compiles saxpy natively on the calling thread: "ready", or why not.
std::string saxpy_compile_status();

// Whether the program's ready entry computes what the interpreter computes
// (saxpy or poly).
bool entry_agrees(const lumk_program& p);

// A scenario a child process runs (see run_child), given LUM_NATIVE_CHILD_ARG;
// its result is the child's exit status.
using child_scenario_fn = int (*)(const std::string& arg);

// How a child ends after its scenario.
enum class child_end {
    // at once, without the module's shutdown; the driver's warnings go to
    // standard error as usual
    immediate,
    // through exit(), so the module's shutdown runs; the driver's warnings are
    // collected (child_warnings) for the scenario to print
    normal,
};

// Makes a scenario known under `name`; for a namespace-scope initialiser in
// the test file that uses it. Returns true.
bool add_child_scenario(const char* name, child_scenario_fn fn, child_end end);

// The driver's warnings in a child that ends normally.
std::vector<std::string>& child_warnings();

// The common scenario "sync": compiles saxpy on the calling thread, prints
// "status=..." and, when ready, whether native code agrees ("same").
int child_sync();

// Environment of one child run, restored afterwards.
struct env_scope {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> unset_after;
    void set(const char* name, const std::string& value);
    void unset(const char* name);
    ~env_scope();
};

size_t count_lines(const std::filesystem::path& p);
std::vector<std::filesystem::path> files_in(const std::filesystem::path& dir);
// An executable shell script.
void write_script(const std::filesystem::path& p, const std::string& body);

// Asks `done` every few milliseconds until it holds (true) or `seconds` have
// passed (false).
bool wait_until(const std::function<bool()>& done, int seconds);
// Waits for the child process `pid` (at most until `give_up`): its exit
// status, 100 plus the signal that ended it, or -1 when it had to be killed.
int collect(int pid, std::chrono::steady_clock::time_point give_up);

// Whether the process whose id is in `pid_file` still runs (a zombie waiting
// for its parent counts as gone).
bool process_runs(const std::filesystem::path& pid_file);
// Waits (at most `seconds`) until neither process runs.
bool processes_end(const std::filesystem::path& a, const std::filesystem::path& b, int seconds);
// A compiler that answers the probe, then hangs with a child of its own; it
// writes both process ids into `dir` (cc.pid, sleep.pid).
std::filesystem::path hanging_compiler(const std::filesystem::path& dir);

}  // namespace ntest
