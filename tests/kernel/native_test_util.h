// Helpers of the native-code tests: a private cache folder for compiled
// kernels, running a program with the scalar interpreter or a native entry
// the way a lane runner does, comparing the two, and running this test
// binary again as a child process for the cases that need a fresh process
// (the compiler is chosen once per process).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/scalar.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/checker_test_util.h"
#include "tests/platform/test_platform.h"

namespace ntest {

// Sets the JIT policy for one test and restores it.
struct policy_scope {
    uint32_t saved;
    explicit policy_scope(uint32_t p) : saved(lum_kernel_jit_policy.exchange(p)) {}
    ~policy_scope() { lum_kernel_jit_policy.store(saved); }
};

// A worker pool that keeps jobs and runs them only when told.
struct held_pool {
    std::vector<std::function<void()>> jobs;
    int offered = 0;
    lumk_jit_submit_fn submit() {
        return [this](std::function<void()> job) {
            ++offered;
            jobs.push_back(std::move(job));
            return true;
        };
    }
};

using ktest::buffer;

// Folders made by temp_dir in this process; removed at exit.
inline std::vector<std::string>* made_dirs() {
    static std::vector<std::string>* const dirs = [] {
        auto* v = new std::vector<std::string>;
        std::atexit([] {
            std::error_code ec;
            for (const std::string& d : *made_dirs()) std::filesystem::remove_all(d, ec);
        });
        return v;
    }();
    return dirs;
}

// A fresh private folder under the temporary folder, removed at exit (also
// when a test stops early).
inline std::filesystem::path temp_dir(const char* tag) {
    const std::string dir = lum_test_make_temp_dir(std::string("lumk-") + tag + "-");
    if (dir.empty()) ADD_FAILURE() << "no temporary folder";
    else made_dirs()->push_back(dir);
    return dir;
}

// Points LUM_KERNEL_CACHE at a private folder before the first compile of the
// process, unless a parent process already chose one for us.
inline void use_private_cache() {
    static const bool done = [] {
        const char* v = std::getenv("LUM_KERNEL_CACHE");
        if (v == nullptr || *v == '\0') lum_test_set_env("LUM_KERNEL_CACHE", temp_dir("cache").string().c_str());
        return true;
    }();
    (void)done;
}

// Native entry of a program through the real compiler (JIT road).
inline lumk_jit_entry_fn jit_entry(const lumk_program& p) {
    use_private_cache();
    std::string error;
    lumk_jit_entry_fn e = lumk_jit_compile(lumk_jit_source(p), &error);
    EXPECT_NE(e, nullptr) << p.name << ": " << error;
    return e;
}

struct engine_run {
    uint8_t code = 0;
    ktrap trap{};
    std::string message;
    std::vector<uint64_t> acc;
    std::vector<buffer> buffers;
};

// Runs `p` over n work items in chunks of `chunk` on one register file (the
// prologue first, through the interpreter, as a lane runner does), with the
// interpreter when `entry` is null, else with the native entry. 2-D when
// width > 0. Buffers bind to the pointer parameters in order, `values` (raw
// register bits) to the value parameters.
inline engine_run run_engine(const lumk_program& p, lumk_jit_entry_fn entry, uint64_t n, std::vector<buffer> bufs,
                             std::vector<uint64_t> values = {}, uint64_t width = 0, uint64_t chunk = 37) {
    std::vector<ktest::buffer*> held;
    for (buffer& b : bufs) held.push_back(&b);
    ktest::bound_args a = ktest::bind_args(p, n, held, std::move(values), width);
    std::vector<kreg>& regs = a.regs;
    std::vector<kptr>& ptrs = a.ptrs;
    engine_run out;
    ktrap trap{};
    if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &trap, 0);
    const volatile uint8_t abort = 0;
    for (uint64_t b = 0; b < n && out.code == 0; b += chunk) {
        const uint64_t e = std::min(n, b + chunk);
        trap = ktrap{};
        out.code = entry ? static_cast<uint8_t>(entry(regs.data(), ptrs.data(), b, e, &abort, &trap))
                         : lumk_run_scalar(p, regs.data(), ptrs.data(), b, e, &abort, &trap, 0);
    }
    if (out.code) {
        out.trap = trap;
        out.message = lumk_trap_message(p, trap);
        // a misaligned address is compared as (buffer number, offset): the
        // two runs work on different copies
        if (out.code == LUMK_TRAP_ALIGN) {
            const auto addr = static_cast<uintptr_t>(trap.value);
            for (size_t i = 0; i < bufs.size(); ++i) {
                const auto base = reinterpret_cast<uintptr_t>(bufs[i].bytes.data());
                if (addr >= base && addr < base + bufs[i].bytes.size())
                    out.trap.value = static_cast<int64_t>((i << 48) | (addr - base));
            }
        }
    }
    for (const lumk_reduction& r : p.reductions) out.acc.push_back(regs.at(r.reg).u);
    out.buffers = std::move(bufs);
    return out;
}

// Interpreter and native entry agree: buffers, accumulator bits and the whole
// trap record with its text.
inline void expect_same(const engine_run& scalar, const engine_run& native, const std::string& what) {
    EXPECT_EQ(scalar.code, native.code) << what << ": " << scalar.message << " / " << native.message;
    for (size_t b = 0; b < scalar.buffers.size() && b < native.buffers.size(); ++b) {
        const auto& x = scalar.buffers[b].bytes;
        const auto& y = native.buffers[b].bytes;
        const auto diff = std::mismatch(x.begin(), x.end(), y.begin(), y.end());
        EXPECT_TRUE(diff.first == x.end() && diff.second == y.end())
            << what << ": buffer " << b << " differs from byte " << (diff.first - x.begin());
    }
    EXPECT_EQ(scalar.acc, native.acc) << what;
    if (scalar.code && native.code) {
        EXPECT_EQ(scalar.trap.pc, native.trap.pc) << what;
        EXPECT_EQ(scalar.trap.gid, native.trap.gid) << what;
        EXPECT_EQ(scalar.trap.value, native.trap.value) << what;
        EXPECT_EQ(scalar.trap.limit, native.trap.limit) << what;
        EXPECT_EQ(std::bit_cast<uint64_t>(scalar.trap.fvalue), std::bit_cast<uint64_t>(native.trap.fvalue)) << what;
        EXPECT_EQ(scalar.message, native.message) << what;
    }
}

// Runs `p` on both engines and compares; returns the interpreter's run.
inline engine_run differential(const lumk_program& p, lumk_jit_entry_fn entry, uint64_t n,
                               const std::vector<buffer>& bufs, std::vector<uint64_t> values = {},
                               uint64_t width = 0, const std::string& what = "") {
    engine_run s = run_engine(p, nullptr, n, bufs, values, width);
    if (entry == nullptr) {
        ADD_FAILURE() << what << ": no native entry";
        return s;
    }
    engine_run nrun = run_engine(p, entry, n, bufs, values, width);
    expect_same(s, nrun, what.empty() ? p.name : what);
    return s;
}

// ---- child processes ---------------------------------------------------------

struct child_result {
    int status = -1;  // exit status
    std::string output;
};

// Runs this test binary again with LUM_NATIVE_CHILD=scenario (and `arg` in
// LUM_NATIVE_CHILD_ARG); the scenario runs from the test environment's set-up
// and exits. The child inherits the rest of the environment.
inline child_result run_child(const std::string& scenario, const std::string& arg = "") {
    child_result r;
    const std::string exe = lum_test_self_path();
    if (exe.empty()) return r;
    lum_test_set_env("LUM_NATIVE_CHILD", scenario.c_str());
    lum_test_set_env("LUM_NATIVE_CHILD_ARG", arg.c_str());
    r.status = lum_test_capture(lum_test_quote(exe) + " --gtest_filter=CemitText.Prelude 2>&1", &r.output);
    lum_test_unset_env("LUM_NATIVE_CHILD");
    lum_test_unset_env("LUM_NATIVE_CHILD_ARG");
    // keep what the scenario printed after its marker line
    const size_t mark = r.output.find("--child--\n");
    if (mark != std::string::npos) r.output.erase(0, mark + 10);
    return r;
}

// Writes `text` to `path`.
inline void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    ASSERT_TRUE(f.is_open()) << path;
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace ntest
