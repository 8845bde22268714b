// The optimizer on generated kernels with thousands of registers: optimized
// and plain programs agree on every output (the allocator keeps large
// interference graphs in another form than small ones).

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/checker_test_util.h"
#include "tests/kernel/kernel_gen.h"

using namespace ktest;


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
