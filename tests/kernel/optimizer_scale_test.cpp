// The optimizer on kernels with thousands of registers: register allocation
// keeps its memory and time in proportion to the plain compile, and optimized
// and plain programs agree on every output (the allocator keeps large
// interference graphs in another form than small ones).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/checker_test_util.h"
#include "tests/kernel/kernel_gen.h"
#include "tests/platform/test_platform.h"

using namespace ktest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool k_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif
#else
constexpr bool k_sanitized = false;
#endif

// The full-size kernel in optimized builds; unoptimized and sanitizer builds
// check the same proportions on a smaller one.
#if defined(__OPTIMIZE__)
constexpr int k_locals = k_sanitized ? 2000 : 8000;
#else
constexpr int k_locals = 2000;
#endif

// n locals, all live until they are summed at the end: straight, or each
// added in a branch of its own (two blocks per local).
std::string many_locals(int n, bool branches) {
    std::string src = "kernel k(i32* o) {\n";
    for (int i = 0; i < n; ++i)
        src += "    i32 v" + std::to_string(i) + " = o[" + std::to_string(i % 64) + "] + " + std::to_string(i) + ";\n";
    src += "    i32 s = 0;\n";
    for (int i = 0; i < n; ++i) {
        const std::string v = "v" + std::to_string(i);
        src += branches ? "    if (" + v + " > 5) { s += " + v + "; }\n" : "    s += " + v + ";\n";
    }
    return src + "    o[64 + gid] = s;\n}\n";
}

// Processor seconds `f` takes on this thread (a busy machine does not stretch it).
double seconds_of(const std::function<void()>& f) {
    const double t0 = lum_test_thread_cpu_seconds();
    f();
    return lum_test_thread_cpu_seconds() - t0;
}

long peak_rss_kib() { return lum_test_peak_rss_kib(); }

}  // namespace

TEST(OptimizerScale, ManyLiveLocalsAllocateInProportion) {
    // Thousands of locals live at once: every later definition interferes
    // with all of them, and with branches every block boundary has them all
    // live. Allocation must not cost much more than the plain compile: the
    // peak memory it adds over the plain compile's stays below 100 MB.
    for (const bool branches : {false, true}) {
        const std::string src = many_locals(k_locals, branches);
        compiled plain, opt;
        const long rss_before = peak_rss_kib();
        const double plain_s = seconds_of([&] { plain = compile(src, false); });
        const long rss_plain = peak_rss_kib();
        const double opt_s = seconds_of([&] { opt = compile(src, true); });
        ASSERT_TRUE(plain.ok()) << plain.err.message;
        ASSERT_TRUE(opt.ok()) << opt.err.message;
        EXPECT_LT(opt_s, 4 * plain_s + 0.05) << "plain " << plain_s << " s, optimized " << opt_s << " s";
        if (!k_sanitized) {
            EXPECT_LT(rss_plain - rss_before, 100 * 1024) << "KiB more at the peak, plain compile";
            EXPECT_LT(peak_rss_kib() - rss_plain, 100 * 1024) << "KiB more at the peak, optimized compile";
        }

        const lumk_program& p = *opt.unit->programs[0];
        EXPECT_LT(p.reg_count, k_locals + 200u);
        EXPECT_GT(p.reg_count, static_cast<uint32_t>(k_locals));  // all are live at once
        std::vector<int32_t> in(66, 0);
        for (int i = 0; i < 64; ++i) in[i] = i * 3 - 50;
        const auto a = run_copies(p, 2, {buffer::of(in)});
        const auto b = run_copies(*plain.unit->programs[0], 2, {buffer::of(in)});
        expect_same_runs(a, b);
        int32_t want = 0;
        for (int i = 0; i < k_locals; ++i)
            if (!branches || in[i % 64] + i > 5) want += in[i % 64] + i;
        EXPECT_EQ(a.buffers[0].as<int32_t>()[64], want) << branches;
    }
}

TEST(OptimizerScale, LargeGeneratedKernelsMatchPlainRuns) {
    // Kernels past the size where the allocator keeps its interference graph
    // as a bit matrix: optimized and plain runs agree on every output.
    uint32_t large = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const std::string src = kernel_gen(seed).kernel(260);
        const compiled plain = compile(src, false), opt = compile(src, true);
        ASSERT_TRUE(plain.ok()) << seed << ": " << plain.err.line << ":" << plain.err.column << " "
                                << plain.err.message << "\n" << src;
        ASSERT_TRUE(opt.ok()) << opt.err.message;
        const lumk_program &pp = *plain.unit->programs[0], &po = *opt.unit->programs[0];
        if (pp.reg_count - pp.constants.size() > 2048) ++large;
        EXPECT_LT(po.reg_count, pp.reg_count);
        for (const uint64_t n : {0ull, 3ull, 7ull}) {
            std::vector<int32_t> src_values(16);
            for (int i = 0; i < 16; ++i) src_values[i] = static_cast<int32_t>((seed * 31 + i * 17 + n) % 97) - 40;
            const auto a = run_copies(po, 16, {buffer::of(std::vector<int32_t>(16, 1)), buffer::of(src_values)}, {n});
            const auto b = run_copies(pp, 16, {buffer::of(std::vector<int32_t>(16, 1)), buffer::of(src_values)}, {n});
            expect_same_runs(a, b, "seed " + std::to_string(seed) + ", n " + std::to_string(n));
        }
    }
    EXPECT_GE(large, 8u);
}
