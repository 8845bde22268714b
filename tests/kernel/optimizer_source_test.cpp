// The optimizer on compiled kernel source: every kernel is compiled with and
// without optimization and run through the scalar interpreter the way a lane
// runner does; results, accumulators and traps (code, work item, values and
// source line) must be identical, the optimized program must be smaller in
// registers, and its prologue must not depend on the work item.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "checker_test_util.h"
#include "kernel/compiler/optimizer.h"

namespace {

const char* k_source = R"(
struct Cell { f32 v[4]; u32 tag; i32 w; }
struct Acc { f64 sum; i32 lo; u32 bits; }

kernel inline mix(f32 a, f32 b, f32 t) -> f32 {
    return a + (b - a) * t;
}

kernel inline cellsum(Cell c, u32 k) -> f32 {
    f32 s = 0.0f;
    for (u32 i = 0u; i < k; i++) {
        s += c.v[i];
    }
    return s;
}

kernel loops(i32* out, const i32* src, i32 n, i32 step) {
    i32 total = 0;
    i32 lim = n * 2 + 1;
    for (i32 i = 0; i < lim; i++) {
        if (i % 3 == 0) {
            continue;
        }
        i32 v = src[(gid + u32(i)) % 16u];
        if (v > 100 * step) {
            break;
        }
        total += v * step + i;
    }
    i32 j = 0;
    while (j < n) {
        total = total ^ (j << 2);
        j += 1;
    }
    out[gid] = total;
}

kernel cells(f32* out, const Cell* cs, u32 k, f32 t) {
    Cell c = cs[gid];
    f32 local[8];
    for (u32 i = 0u; i < 8u; i++) {
        local[i] = f32(i) * t + c.v[i % 4u];
    }
    f32 s = cellsum(c, k);
    out[gid] = mix(s, local[(gid + k) % 8u], t) + f32(c.w) + local[k];
}

kernel stats(const f32* src, i32 bias) -> Acc reduce(sum: +, lo: min, bits: |) {
    f32 x = src[gid];
    return {f64(x) * 0.5, i32(x) + bias, 1u << (gid % 32u)};
}

kernel total(const f64* src, f64 scale) -> f64 reduce(+) {
    f64 k = scale * 2.0 + 1.0;
    return src[gid] * k;
}

kernel grid(u32* out, u32 base) {
    u32 w = gsize_x * 3u + base;
    out[gid] = gid_y * w + gid_x + gsize_y;
}

kernel ptrs(f32* out, const f32* src) {
    const f32* p = src;
    p += 2;
    out[gid] = p[gid] + src[gid];
}

kernel atom(u32* counts, const u32* keys) {
    atomic_add(counts[keys[gid] % 4u], 1u);
}

kernel vecs(f32x4* out, const f32x4* src, f32 s) {
    f32x4 a = src[gid];
    f32x4 b = a * s + f32x4(1.0f, 2.0f, 3.0f, 4.0f);
    out[gid] = b;
}

kernel fast(f32* out, const f32* src) {
    unchecked {
        out[gid] = src[gid] * 2.0f;
    }
}
)";

struct Cell {
    float v[4];
    uint32_t tag;
    int32_t w;
};

const ktest::compiled& unit(bool optimize) {
    static const ktest::compiled opt = ktest::compile(k_source, true);
    static const ktest::compiled plain = ktest::compile(k_source, false);
    return optimize ? opt : plain;
}

// Runs one kernel optimized and plain on the same inputs and compares.
ktest::copied_run same_both_ways(const std::string& kernel, uint64_t n, const std::vector<ktest::buffer>& bufs,
                                 const std::vector<uint64_t>& values, uint64_t width = 0) {
    const ktest::copied_run a = ktest::run_copies(ktest::program(unit(true), kernel), n, bufs, values, width);
    ktest::expect_same_runs(a, ktest::run_copies(ktest::program(unit(false), kernel), n, bufs, values, width), kernel);
    return a;
}

std::vector<Cell> cells_input(size_t n) {
    std::vector<Cell> cs(n);
    for (size_t i = 0; i < n; ++i)
        cs[i] = Cell{{0.5f * i, 1.0f + i, -2.0f, 3.25f}, static_cast<uint32_t>(i), static_cast<int32_t>(i) - 3};
    return cs;
}

TEST(OptimizerSource, ResultsMatchWithAndWithoutOptimization) {
    ASSERT_TRUE(unit(true).ok() && unit(false).ok());
    std::vector<int32_t> src(16);
    for (int i = 0; i < 16; ++i) src[i] = i * 37 - 200;
    const auto loops = same_both_ways("loops", 12, {ktest::buffer::of(std::vector<int32_t>(12)), ktest::buffer::of(src)},
                                      {5, 3});
    EXPECT_EQ(loops.code, 0);

    const auto cells = same_both_ways("cells", 6, {ktest::buffer::of(std::vector<float>(6)),
                                                   ktest::buffer::of(cells_input(6))},
                                      {3, ktest::bits_f32(0.25f)});
    EXPECT_EQ(cells.code, 0);

    std::vector<float> fs = {1.5f, -7.25f, 3.0f, 100.0f, -0.5f, 2.0f, 9.0f};
    const auto stats = same_both_ways("stats", fs.size(), {ktest::buffer::of(fs)}, {static_cast<uint64_t>(-4)});
    ASSERT_EQ(stats.acc.size(), 3u);
    EXPECT_EQ(static_cast<int32_t>(stats.acc[1]), -11);

    std::vector<double> ds = {1, 2, 3, 4.5};
    const auto total = same_both_ways("total", ds.size(), {ktest::buffer::of(ds)}, {ktest::bits_f64(0.5)});
    EXPECT_EQ(ktest::f64_of(total.acc.at(0)), 21.0);

    const auto grid = same_both_ways("grid", 12, {ktest::buffer::of(std::vector<uint32_t>(12))}, {7}, 4);
    EXPECT_EQ(grid.buffers[0].as<uint32_t>()[5], 1u * (4 * 3 + 7) + 1 + 3);

    std::vector<float> pin = {1, 2, 3, 4, 5, 6, 7, 8};
    same_both_ways("ptrs", 6, {ktest::buffer::of(std::vector<float>(6)), ktest::buffer::of(pin)}, {});

    std::vector<uint32_t> keys = {1, 2, 3, 5, 6, 9, 13, 4};
    const auto atom = same_both_ways("atom", keys.size(),
                                     {ktest::buffer::of(std::vector<uint32_t>(4)), ktest::buffer::of(keys)}, {});
    EXPECT_EQ(atom.buffers[0].as<uint32_t>(), (std::vector<uint32_t>{1, 4, 2, 1}));

    std::vector<float> v4(16);
    for (int i = 0; i < 16; ++i) v4[i] = 0.25f * i;
    same_both_ways("vecs", 4, {ktest::buffer::of(std::vector<float>(16)), ktest::buffer::of(v4)},
                   {ktest::bits_f32(3.0f)});
    same_both_ways("fast", 8, {ktest::buffer::of(std::vector<float>(8)), ktest::buffer::of(v4)}, {});
}

TEST(OptimizerSource, TrapsMatchWithAndWithoutOptimization) {
    ASSERT_TRUE(unit(true).ok() && unit(false).ok());
    // Destination shorter than the domain: the store traps at the same item and line.
    std::vector<int32_t> src(16, 1);
    const auto loops = same_both_ways("loops", 12, {ktest::buffer::of(std::vector<int32_t>(9)), ktest::buffer::of(src)},
                                      {2, 1});
    EXPECT_EQ(loops.code, LUMK_TRAP_BOUNDS);
    EXPECT_EQ(loops.trap.gid, 9u);

    // k = 9 indexes the cell's 4-element array and the 8-element local array.
    const auto cells = same_both_ways("cells", 4, {ktest::buffer::of(std::vector<float>(4)),
                                                   ktest::buffer::of(cells_input(4))},
                                      {9, ktest::bits_f32(1.0f)});
    EXPECT_EQ(cells.code, LUMK_TRAP_INDEX);
    EXPECT_EQ(cells.trap.value, 4);
    // Fewer cells than work items: the struct copy of cs[2] traps.
    const auto cells2 = same_both_ways("cells", 3, {ktest::buffer::of(std::vector<float>(3)),
                                                    ktest::buffer::of(cells_input(2))},
                                       {2, ktest::bits_f32(1.0f)});
    EXPECT_EQ(cells2.code, LUMK_TRAP_BOUNDS);
    EXPECT_EQ(cells2.trap.gid, 2u);

    // The pointer moved by 2 elements runs off the end before the source does.
    std::vector<float> pin = {1, 2, 3, 4, 5};
    const auto ptrs = same_both_ways("ptrs", 5, {ktest::buffer::of(std::vector<float>(5)), ktest::buffer::of(pin)}, {});
    EXPECT_EQ(ptrs.code, LUMK_TRAP_BOUNDS);
    EXPECT_EQ(ptrs.trap.gid, 3u);

    std::vector<uint32_t> keys = {1, 2, 3};
    const auto atom = same_both_ways("atom", 3, {ktest::buffer::of(std::vector<uint32_t>(2)), ktest::buffer::of(keys)},
                                     {});
    EXPECT_EQ(atom.code, LUMK_TRAP_BOUNDS);
}

TEST(OptimizerSource, RepeatedAccessesOfOneElementRunUnchecked) {
    ASSERT_TRUE(unit(true).ok() && unit(false).ok());
    // fast: everything in an unchecked block is unchecked either way.
    // ptrs: p[gid] (index gid + 2) and src[gid] are different checks.
    const lumk_program& o = ktest::program(unit(true), "ptrs");
    EXPECT_EQ(ktest::count_op(o, LUMK_LD_F32) + ktest::count_op(o, LUMK_LDF_F32), 2);
    // A struct read field by field: one checked access, the others unchecked.
    const ktest::compiled c = ktest::compile(R"(
struct P { f32 x; f32 y; f32 z; }
kernel k(f32* out, const P* ps) {
    out[gid] = ps[gid].x + ps[gid].y * ps[gid].z;
})");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& k = ktest::program(c, "k");
    EXPECT_EQ(ktest::count_op(k, LUMK_LDF_F32), 1);
    EXPECT_EQ(ktest::count_op(k, LUMK_LDFU_F32), 2);
    std::vector<float> ps = {1, 2, 3, 4, 5, 6};
    ktest::buffer out = ktest::buffer::of(std::vector<float>(3)), in = ktest::buffer::of(ps);
    const ktest::run_result r = ktest::run(k, 3, {&out, &in});
    EXPECT_EQ(r.code, LUMK_TRAP_BOUNDS);
    EXPECT_EQ(r.message, "index 2 is out of bounds of 'ps' (2 elements)");
    EXPECT_EQ(out.as<float>(), (std::vector<float>{7, 34, 0}));
}

}  // namespace
