// The ahead-of-time road across the build: AotRoad.WriteSource writes the
// ahead-of-time source of the kernels below, the build's own C compiler (the
// cross compiler for a Windows build) makes a library of it, and
// AotRoad.LoadAndRun loads that library with lumk_aot_load from a folder
// with a non-ASCII name and checks that every kernel runs its native code
// with the interpreter's results. ctest runs the three steps in order
// (tests/CMakeLists.txt); run alone, the two tests skip.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/settings.h"
#include "tests/kernel/checker_test_util.h"
#include "tests/platform/test_platform.h"

namespace fs = std::filesystem;
using ktest::buffer;

namespace {

struct kernel_case {
    const char* source;
    uint64_t n;
    std::vector<buffer> buffers;
    std::vector<uint64_t> values;
};

std::vector<float> floats(size_t n, float scale) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i % 17) * scale - 3.0f;
    return v;
}

std::vector<kernel_case> cases() {
    std::vector<int32_t> ints(64);
    for (size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<int32_t>(i * 7919 % 1000) - 500;
    return {
        {"kernel saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }", 300,
         {buffer::of(floats(300, 0.5f)), buffer::of(floats(300, -1.25f))}, {0x40200000}},
        {"kernel poly(const f32* x, f32* y) {\n"
         "  f32 v = x[gid]; f32 acc = 0.0;\n"
         "  for (i32 i = 0; i < 16; i++) { acc = acc * v + f32(i % 5) * 0.25; }\n"
         "  y[gid] = acc;\n}",
         200, {buffer::of(floats(200, 0.125f)), buffer::of(std::vector<float>(200))}, {}},
        {"kernel sum(const i32* a) -> i64 reduce(+) { return i64(a[gid]) * i64(a[gid]); }", 64,
         {buffer::of(ints)}, {}},
        // reads past the end of its input: the same trap and text natively
        {"kernel shift(i32* o, const i32* a) { o[gid] = a[gid + 40] / (a[gid] | 1); }", 64,
         {buffer::of(std::vector<int32_t>(64)), buffer::of(ints)}, {}},
    };
}

struct run_result {
    uint8_t code = 0;
    std::string message;
    std::vector<uint64_t> acc;
    std::vector<buffer> buffers;
};

// One run over all work items on one register file, by the interpreter or,
// when `entry` is set, by the native entry (the prologue always interpreted,
// as the lane runners do).
run_result run(const lumk_program& p, lumk_jit_entry_fn entry, const kernel_case& c) {
    std::vector<buffer> bufs = c.buffers;
    std::vector<kreg> regs(p.reg_count + 1);
    for (kreg& r : regs) r.u = 0;
    for (const lumk_const& k : p.constants) regs.at(k.reg).u = k.bits;
    regs[p.gsize].u = c.n;
    regs[p.gsize_x].u = c.n;
    regs[p.gsize_y].u = 1;
    for (const lumk_reduction& r : p.reductions) regs.at(r.reg).u = lumk_reduce_identity(r.op, r.prim);
    std::vector<kptr> ptrs(p.ptr_count + 1);
    std::vector<uint8_t> frame(p.frame_bytes + 8, 0);
    size_t bi = 0, vi = 0;
    for (const lumk_param& prm : p.params) {
        if (prm.type.is_pointer) {
            buffer& b = bufs.at(bi++);
            kptr& k = ptrs.at(prm.slot);
            k.base = b.bytes.data();
            k.stride = prm.size;
            k.bytes = b.bytes.size();
            k.count = prm.size ? b.bytes.size() / prm.size : 0;
        } else {
            regs.at(prm.reg).u = c.values.at(vi++);
        }
    }
    if (p.frame_bytes) ptrs.at(p.frame_slot) = kptr{frame.data(), 1, p.frame_bytes, p.frame_bytes};
    ktrap trap{};
    if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &trap, 0);
    trap = ktrap{};
    const volatile unsigned char abort = 0;
    run_result out;
    out.code = entry ? static_cast<uint8_t>(entry(regs.data(), ptrs.data(), 0, c.n, &abort, &trap))
                     : lumk_run_scalar(p, regs.data(), ptrs.data(), 0, c.n, &abort, &trap, 0);
    if (out.code) out.message = lumk_trap_message(p, trap);
    for (const lumk_reduction& r : p.reductions) out.acc.push_back(regs.at(r.reg).u);
    out.buffers = std::move(bufs);
    return out;
}

}  // namespace

TEST(AotRoad, WriteSource) {
    const char* out = std::getenv("LUM_AOT_SOURCE");
    if (out == nullptr) GTEST_SKIP() << "run by ctest as the first step of the ahead-of-time road";
    std::vector<ktest::compiled> units;
    std::vector<const lumk_program*> programs;
    for (const kernel_case& c : cases()) {
        units.push_back(ktest::compile(c.source));
        ASSERT_TRUE(units.back().ok()) << units.back().err.message;
        programs.push_back(units.back().unit->programs[0].get());
    }
    const std::string source = lumk_aot_source(programs);
    fs::create_directories(fs::path(out).parent_path());
    std::ofstream(out, std::ios::binary) << source;
    EXPECT_TRUE(fs::exists(out));
}

TEST(AotRoad, LoadAndRun) {
    const char* built = std::getenv("LUM_AOT_LIBRARY");
    if (built == nullptr) GTEST_SKIP() << "run by ctest after the library was built";
    ASSERT_TRUE(fs::exists(built)) << built;
    // A copy in a folder whose name the system's narrow encoding spells with
    // bytes above 127.
    const fs::path dir = fs::path(lum_test_make_temp_dir("lum_aot_")) / fs::path(u8"Kernel-Bibliothek ü €");
    fs::create_directories(dir);
    const fs::path copy = dir / fs::path(built).filename();
    fs::copy_file(built, copy);
    std::string path = lum_test_narrow_path(copy);
    if (path.empty()) path = built;

    const uint32_t saved = lum_kernel_jit_policy.exchange(LUM_KERNEL_JIT_AUTO);
    std::string error;
    EXPECT_EQ(lumk_aot_load(path, &error), static_cast<int>(cases().size())) << error;
    int offered = 0;
    for (const kernel_case& c : cases()) {
        ktest::compiled k = ktest::compile(c.source);
        ASSERT_TRUE(k.ok()) << k.err.message;
        const lumk_program* p = k.unit->programs[0].get();
        lumk_jit_request(k.unit, p, [&](std::function<void()>) { return ++offered, false; });
        EXPECT_EQ(lumk_jit_status(p), "aot") << p->name;
        lumk_jit_entry_fn entry = lumk_jit_ready_entry(*p->jit);
        ASSERT_NE(entry, nullptr) << p->name;
        const run_result interpreted = run(*p, nullptr, c);
        const run_result native = run(*p, entry, c);
        if (p->name == "shift") {
            EXPECT_NE(interpreted.code, 0); // the trap path is taken
        }
        EXPECT_EQ(native.code, interpreted.code) << p->name;
        EXPECT_EQ(native.message, interpreted.message) << p->name;
        if (interpreted.code == 0) {
            EXPECT_EQ(native.acc, interpreted.acc) << p->name;
        }
        EXPECT_EQ(native.buffers, interpreted.buffers) << p->name;
    }
    EXPECT_EQ(offered, 0); // nothing was compiled
    EXPECT_EQ(lumk_aot_load(path + ".missing", &error), -1);
    EXPECT_EQ(error.rfind("cannot load " + path + ".missing", 0), 0u) << error;  // a reason may follow
    lum_kernel_jit_policy.store(saved);
}
