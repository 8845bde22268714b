// Hosts that die while compiles run: a host whose quick_exit is called by
// several threads at once, so that its own cleanup is cut short, and a host
// killed outright leave no temporary file in the kernel folder once the
// compilers have ended.

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/exec/settings.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

// Three distinct kernels compile on threads of their own with a compiler
// that hangs (each call adds its pid to `dir`/cc.pids and its child's to
// `dir`/sleep.pids); once all three run, the process ends: through quick_exit
// called by eight threads at once ("quick_exit:DIR"), or killed ("kill:DIR").
int child_dies_during_three_compiles(const std::string& arg) {
    const size_t colon = arg.find(':');
    const std::string how = arg.substr(0, colon);
    const fs::path dir = arg.substr(colon + 1);
    for (int i = 0; i < 3; ++i)
        std::thread([i] {
            const std::string src = "kernel k(f32* y) { y[gid] = y[gid] * " + std::to_string(i) + ".5; }";
            lumk_jit_compile(lumk_jit_source(*unit_of(src.c_str())->programs[0]), nullptr);
        }).detach();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_lines(dir / "sleep.pids") < 3 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("compiling=%zu\n", count_lines(dir / "sleep.pids"));
    std::fflush(stdout);
    if (how == "kill") ::raise(SIGKILL);
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

const bool kScenarios =
    add_child_scenario("dies_during_three_compiles", child_dies_during_three_compiles, child_end::immediate);

// Whether every process whose pid is a line of `file` has ended, waiting at
// most `seconds`.
bool all_end(const fs::path& file, int seconds) {
    std::vector<fs::path> singles;
    std::ifstream in(file);
    int n = 0;
    for (std::string line; std::getline(in, line); ++n) {
        singles.push_back(file.parent_path() / ("pid." + std::to_string(n)));
        std::ofstream(singles.back()) << line << "\n";
    }
    bool ended = true;
    for (const fs::path& p : singles) ended = processes_end(p, p, seconds) && ended;
    return ended;
}

}  // namespace

TEST(NativeExit, ADyingHostLeavesNoTemporaryFile) {
    for (const char* how : {"quick_exit", "kill"}) {
        SCOPED_TRACE(how);
        const fs::path dir = temp_dir("exit");
        env_scope env;
        env.set("LUM_KERNEL_CACHE", (dir / "cache").string());
        write_script(dir / "hang.sh", "[ \"$1\" = --version ] && exit 0\necho $$ >> '" + (dir / "cc.pids").string() +
                                          "'\nsleep 40 &\necho $! >> '" + (dir / "sleep.pids").string() +
                                          "'\nwait\n");
        env.set("LUM_KERNEL_CC", (dir / "hang.sh").string());
        env.set("LUM_KERNEL_CC_TIMEOUT", "0");
        const child_result r = run_child("dies_during_three_compiles", std::string(how) + ":" + dir.string());
        EXPECT_EQ(r.output.rfind("compiling=3\n", 0), 0u) << r.output;  // the shell may add "Killed"
        EXPECT_TRUE(all_end(dir / "cc.pids", 10));
        EXPECT_TRUE(all_end(dir / "sleep.pids", 10));
        // The files go once the compilers have ended: a short while at most.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!files_in(dir / "cache").empty() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(files_in(dir / "cache").size(), 0u);
        fs::remove_all(dir);
    }
}
