// Native compilation driver: JIT requests under each policy with their slot
// transitions, queued compiles that never run, one library per C text,
// libraries without the entry, and the ahead-of-time road end to end in a
// fresh process.

#include <gtest/gtest.h>

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
#include "kernel/exec/settings.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

// Loads the ahead-of-time library `lib`, then requests saxpy and poly.
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

const bool kScenarios = ntest::add_child_scenario("aot", child_aot, ntest::child_end::immediate);

using ntest::held_pool;
using ntest::policy_scope;

}  // namespace

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

TEST(NativeDriver, AheadOfTimeLibraryInAFreshProcess) {
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
