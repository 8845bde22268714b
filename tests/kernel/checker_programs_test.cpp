// Whole kernels end to end: each compiles with and without the optimizer and
// both programs give bit-identical results on the scalar interpreter.

#include <cmath>

#include "tests/kernel/checker_test_util.h"
#include "tests/kernel/kernel_sources.h"

using namespace ktest;

namespace {

std::vector<buffer> saxpy_data() {
    std::vector<float> x(64), y(64);
    for (int i = 0; i < 64; ++i) {
        x[i] = i * 0.25f;
        y[i] = 100.0f - i;
    }
    return {buffer::of<float>(y), buffer::of<float>(x)};
}

std::vector<buffer> mandel_data() { return {buffer::of<int32_t>(std::vector<int32_t>(48, 0))}; }

std::vector<buffer> particles_data() {
    std::vector<float> p(32 * 7);
    for (size_t i = 0; i < p.size(); ++i) p[i] = std::sin(static_cast<float>(i)) * 3.0f;
    return {buffer::of<float>(p)};
}

std::vector<buffer> histogram_data() {
    std::vector<uint8_t> v(100);
    for (int i = 0; i < 100; ++i) v[i] = static_cast<uint8_t>((i * 37) % 251);
    return {buffer::of<uint8_t>(v), buffer::of<uint32_t>(std::vector<uint32_t>(8, 0))};
}

std::vector<buffer> stencil_data() {
    std::vector<float> in(6 * 5);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i % 7);
    return {buffer::of<float>(in), buffer::of<float>(std::vector<float>(30, 0))};
}

const workload kWorkloads[] = {
    {"saxpy", kernel_src::saxpy, 64, 0, saxpy_data,
     {0x40200000}},  // a = 2.5f
    {"mandel",
     "kernel mandel(i32* out) {\n"
     "  f64 cx = -2.0 + 3.0 * f64(gid_x) / f64(gsize_x);\n"
     "  f64 cy = -1.0 + 2.0 * f64(gid_y) / f64(gsize_y);\n"
     "  f64 zx = 0.0; f64 zy = 0.0; i32 n = 0;\n"
     "  while (n < 50 && zx * zx + zy * zy < 4.0) {\n"
     "    f64 t = zx * zx - zy * zy + cx; zy = 2.0 * zx * zy + cy; zx = t; n++;\n"
     "  }\n"
     "  out[gid_y * gsize_x + gid_x] = n;\n"
     "}",
     48, 8, mandel_data, {}},
    {"particles",
     kernel_src::particles,
     32, 0, particles_data, {0x3C23D70A}},  // dt = 0.01f
    {"histogram",
     kernel_src::histogram,
     100, 0, histogram_data, {}},
    {"stencil",
     kernel_src::blur,
     30, 6, stencil_data, {}},
};

}  // namespace

TEST(CheckerPrograms, OptimizedAndPlainProgramsAgree) {
    for (const workload& w : kWorkloads) {
        const compiled opt = compile(w.src, true);
        const compiled plain = compile(w.src, false);
        ASSERT_TRUE(opt.ok()) << w.name << ": " << opt.err.line << ":" << opt.err.column << " " << opt.err.message;
        ASSERT_TRUE(plain.ok()) << w.name;
        const copied_run ra = run_copies(*opt.unit->programs[0], w.items, w.make(), w.values, w.width);
        expect_same_runs(ra, run_copies(*plain.unit->programs[0], w.items, w.make(), w.values, w.width), w.name);
        EXPECT_EQ(ra.code, 0) << w.name << ": " << ra.message;
        EXPECT_LE(opt.unit->programs[0]->reg_count, plain.unit->programs[0]->reg_count) << w.name;
    }
}
