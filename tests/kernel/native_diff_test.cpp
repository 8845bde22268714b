// Differential tests of the native engine: kernels compiled from source and
// translated to C, built by the machine's C compiler and run next to the
// scalar interpreter over the same buffers. Buffers, accumulator bits and
// trap records (with their texts) must be identical.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/native_test_util.h"

using ktest::buffer;
using ktest::compile;
using ktest::compiled;

namespace {

struct workload {
    const char* name;
    const char* src;
    uint64_t items;
    uint64_t width;  // 2-D row length, 0 for 1-D
    std::vector<buffer> (*make)();
    std::vector<uint64_t> values;
};

template <class T>
std::vector<T> ramp(size_t n, double scale, double offset = 0) {
    std::vector<T> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<T>(static_cast<double>(i % 97) * scale + offset);
    return v;
}

std::vector<buffer> saxpy_data() {
    return {buffer::of(ramp<float>(1000, 0.25f, -3)), buffer::of(ramp<float>(1000, 1.5f, 1))};
}
std::vector<buffer> blur_data() {
    return {buffer::of(ramp<float>(40 * 23, 0.7)), buffer::of(std::vector<float>(40 * 23, 0))};
}
std::vector<buffer> hist_data() {
    std::vector<uint8_t> v(5000);
    std::mt19937 rng(7);
    for (uint8_t& x : v) x = static_cast<uint8_t>(rng());
    return {buffer::of(v), buffer::of(std::vector<uint32_t>(8, 0))};
}
std::vector<buffer> poly_data() {
    return {buffer::of(ramp<float>(700, 0.01, -0.5)), buffer::of(std::vector<float>(700, 0))};
}
std::vector<buffer> branch_data() {
    std::vector<int32_t> v(900);
    std::mt19937 rng(3);
    for (int32_t& x : v) x = static_cast<int32_t>(rng() % 2001) - 1000;
    return {buffer::of(v), buffer::of(std::vector<int64_t>(900, 0))};
}
std::vector<buffer> particles_data() {
    std::vector<float> v(29 * 7);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 11) * 0.37f - 1.0f;
    return {buffer::of(v)};
}
std::vector<buffer> none() { return {}; }
std::vector<buffer> mandel_data() { return {buffer::of(std::vector<int32_t>(64 * 24, 0))}; }

const workload kWorkloads[] = {
    {"saxpy", "kernel saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }", 1000, 0, saxpy_data,
     {0x40200000}},
    {"blur",
     "kernel blur(const f32* in, f32* out) {\n"
     "  i32 x = i32(gid_x); i32 y = i32(gid_y); i32 w = i32(gsize_x); i32 h = i32(gsize_y);\n"
     "  f32 s = 0.0; i32 n = 0;\n"
     "  for (i32 dy = -1; dy <= 1; dy++) {\n"
     "    for (i32 dx = -1; dx <= 1; dx++) {\n"
     "      i32 xx = x + dx; i32 yy = y + dy;\n"
     "      if (xx < 0 || yy < 0 || xx >= w || yy >= h) { continue; }\n"
     "      s += in[yy * w + xx]; n++;\n"
     "    }\n"
     "  }\n"
     "  out[gid] = s / f32(n);\n"
     "}",
     40 * 23, 40, blur_data, {}},
    {"histogram",
     "kernel hist(const u8* v, u32* bins) {\n"
     "  u32 b = u32(v[gid]) / 32u;\n"
     "  if (b < 8u) { atomic_add(bins[b], 1u); }\n"
     "}",
     5000, 0, hist_data, {}},
    {"polynomial",
     "kernel poly(const f32* x, f32* y) {\n"
     "  f32 v = x[gid]; f32 acc = 0.0;\n"
     "  for (i32 i = 0; i < 64; i++) { acc = acc * v + f32(i % 7) * 0.125; }\n"
     "  y[gid] = acc;\n"
     "}",
     700, 0, poly_data, {}},
    {"branch",
     "kernel branch(const i32* v, i64* out) {\n"
     "  i32 x = v[gid];\n"
     "  i64 r = 0;\n"
     "  if (x < 0) { r = i64(x) * i64(x) / 3; } else if (x % 3 == 0) { r = i64(x) << 5; }\n"
     "  else { while (x > 7) { x = x / 2 + 1; r += i64(x); } }\n"
     "  out[gid] = r - i64(x % 11);\n"
     "}",
     900, 0, branch_data, {}},
    {"mandel",
     "kernel mandel(i32* out) {\n"
     "  f64 cx = -2.0 + 3.0 * f64(gid_x) / f64(gsize_x);\n"
     "  f64 cy = -1.0 + 2.0 * f64(gid_y) / f64(gsize_y);\n"
     "  f64 zx = 0.0; f64 zy = 0.0; i32 n = 0;\n"
     "  while (n < 60 && zx * zx + zy * zy < 4.0) {\n"
     "    f64 t = zx * zx - zy * zy + cx; zy = 2.0 * zx * zy + cy; zx = t; n++;\n"
     "  }\n"
     "  out[gid_y * gsize_x + gid_x] = n;\n"
     "}",
     64 * 24, 64, mandel_data, {}},
    {"particles",
     "struct Particle { f32x3 pos; f32x3 vel; f32 mass; }\n"
     "kernel inline clamp_speed(f32x3 v, f32 limit) -> f32x3 {\n"
     "  f32 s = length(v);\n"
     "  if (s > limit) { return v * (limit / s); }\n"
     "  return v;\n"
     "}\n"
     "kernel step(Particle* ps, f32 dt) {\n"
     "  Particle p = ps[gid];\n"
     "  f32x3 g = f32x3(0.0, -9.81, 0.0);\n"
     "  p.vel = clamp_speed(p.vel + g * (dt / max(p.mass, 0.1)), 4.0);\n"
     "  p.pos += p.vel * dt;\n"
     "  if (p.pos.y < 0.0) { p.pos.y = -p.pos.y; p.vel.y = abs(p.vel.y) * 0.5; }\n"
     "  ps[gid] = p;\n"
     "}",
     29, 0, particles_data, {0x3C23D70A}},
    {"math",
     "kernel m(f64* o) -> f64 reduce(+) {\n"
     "  f64 x = f64(gid) * 0.37 - 9.0; f32 y = f32(x);\n"
     "  o[gid] = floor(x) + ceil(x) * round(x) - trunc(x) + sin(x) * cos(x) + tan(x * 0.1) + atan(x)\n"
     "         + exp(x * 0.1) + log(abs(x) + 1.0) + log2(abs(x) + 2.0) + log10(abs(x) + 3.0) + pow(abs(x), 0.3)\n"
     "         + atan2(x, 2.0) + asin(x / 20.0) + acos(x / 30.0) + f64(sqrt(abs(y)) + sin(y) * pow(abs(y), 1.5));\n"
     "  return o[gid] * 0.5;\n"
     "}",
     50, 0, [] { return std::vector<buffer>{buffer::of(std::vector<double>(50, 0))}; }, {}},
    {"reduce-struct",
     "struct R { i32 n; f32 lo; u64 bits; }\n"
     "kernel r(const f32* v) -> R reduce(n: +, lo: min, bits: |) {\n"
     "  R r; r.n = 1; r.lo = v[gid]; r.bits = u64(1) << (gid % 64u); return r;\n"
     "}",
     1000, 0, saxpy_data, {}},
};

// "kernel r(const T* v) -> T reduce(op) { return v[gid]; }" over random data,
// for every reducible type and operator.
TEST(NativeDiff, Workloads) {
    for (const workload& w : kWorkloads) {
        const compiled c = compile(w.src);
        ASSERT_TRUE(c.ok()) << w.name << ": " << c.err.line << ":" << c.err.column << " " << c.err.message;
        const lumk_program& p = *c.unit->programs[0];
        const ntest::engine_run r = ntest::differential(p, ntest::jit_entry(p), w.items, w.make(), w.values, w.width,
                                                        w.name);
        EXPECT_EQ(r.code, 0) << w.name << ": " << r.message;
    }
}

TEST(NativeDiff, EveryReductionTypeAndOperator) {
    std::mt19937_64 rng(11);
    struct type_case {
        const char* type;
        size_t size;
        bool is_float;
    };
    const type_case types[] = {{"i32", 4, false}, {"u32", 4, false}, {"i64", 8, false},
                               {"u64", 8, false}, {"f32", 4, true},  {"f64", 8, true}};
    std::string src;
    std::vector<std::pair<std::string, size_t>> kernels;  // name, element size
    for (const type_case& t : types) {
        for (const char* op : {"+", "min", "max", "&", "|", "^"}) {
            if (t.is_float && (op[0] == '&' || op[0] == '|' || op[0] == '^')) continue;
            const std::string name = std::string("r_") + t.type + "_" + std::to_string(kernels.size());
            src += "kernel " + name + "(const " + t.type + "* v) -> " + t.type + " reduce(" + op +
                   ") { return v[gid]; }\n";
            kernels.emplace_back(name, t.size);
        }
    }
    for (const char* op : {"&", "|", "^"}) {
        const std::string name = "r_bool_" + std::to_string(kernels.size());
        src += "kernel " + name + "(const u8* v) -> bool reduce(" + std::string(op) + ") { return u32(v[gid]) > 3u; }\n";
        kernels.emplace_back(name, 1);
    }
    const compiled c = compile(src);
    ASSERT_TRUE(c.ok()) << c.err.message;
    ASSERT_EQ(c.unit->programs.size(), kernels.size());
    for (size_t k = 0; k < kernels.size(); ++k) {
        const lumk_program& p = *c.unit->programs[k];
        std::vector<uint8_t> bytes(300 * kernels[k].second);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
        if (kernels[k].second == 1)
            for (uint8_t& b : bytes) b &= 7;
        // sprinkle NaNs and signed zeros through the float data
        if (p.reductions[0].prim == LUMK_PRIM_F64) {
            std::vector<double> d(300);
            for (size_t i = 0; i < d.size(); ++i)
                d[i] = i % 17 == 0 ? std::numeric_limits<double>::quiet_NaN()
                                   : (i % 13 == 0 ? -0.0 : static_cast<double>(static_cast<int64_t>(rng() % 2000) - 1000) / 7);
            bytes = buffer::of(d).bytes;
        } else if (p.reductions[0].prim == LUMK_PRIM_F32) {
            std::vector<float> d(300);
            for (size_t i = 0; i < d.size(); ++i)
                d[i] = i % 19 == 0 ? std::numeric_limits<float>::quiet_NaN()
                                   : (i % 11 == 0 ? -0.0f : static_cast<float>(static_cast<int64_t>(rng() % 2000) - 1000) / 7);
            bytes = buffer::of(d).bytes;
        }
        ntest::differential(p, ntest::jit_entry(p), 300, {buffer(bytes)}, {}, 0, p.name);
    }
}

TEST(NativeDiff, TrapsOfEveryCode) {
    struct trap_case {
        const char* src;
        std::vector<buffer> bufs;
        uint8_t code;
    };
    std::vector<int32_t> divisors(200, 3);
    divisors[141] = 0;
    std::vector<int32_t> dividends(200, 1000);
    dividends[77] = std::numeric_limits<int32_t>::min();
    std::vector<int32_t> minus_one(200, -1);
    std::vector<double> big(200, 12.5);
    big[123] = 3e10;
    std::vector<float> nan(200, 1.5f);
    nan[55] = std::numeric_limits<float>::quiet_NaN();
    std::vector<uint32_t> idx(100, 2);
    idx[66] = 4;
    const trap_case cases[] = {
        {"kernel t(i32* a) { a[gid + 5u] = 1; }", {buffer::of(std::vector<int32_t>(100, 0))}, 1},
        {"kernel t(const i32* a, i32* o) { o[gid] = 100 / a[gid]; }",
         {buffer::of(divisors), buffer::of(std::vector<int32_t>(200, 0))}, 2},
        {"kernel t(const i32* a, i32* o) { o[gid] = 100 % a[gid]; }",
         {buffer::of(divisors), buffer::of(std::vector<int32_t>(200, 0))}, 2},
        {"kernel t(const i32* a, const i32* b, i32* o) { o[gid] = a[gid] / b[gid]; }",
         {buffer::of(dividends), buffer::of(minus_one), buffer::of(std::vector<int32_t>(200, 0))}, 3},
        {"kernel t(const i64* a, const i64* b, i64* o) { o[gid] = a[gid] % b[gid]; }",
         {buffer::of(std::vector<int64_t>(200, std::numeric_limits<int64_t>::min())),
          buffer::of(std::vector<int64_t>(200, -1)), buffer::of(std::vector<int64_t>(200, 0))},
         3},
        {"kernel t(const f64* a, i32* o) { o[gid] = i32(a[gid]); }",
         {buffer::of(big), buffer::of(std::vector<int32_t>(200, 0))}, 4},
        {"kernel t(const f32* a, u16* o) { o[gid] = u16(a[gid]); }",
         {buffer::of(nan), buffer::of(std::vector<uint16_t>(200, 0))}, 4},
        {"struct S { i32 v[4]; }\nkernel t(S* s, const u32* i) { s[gid].v[i[gid]] = i32(gid); }",
         {buffer::of(std::vector<int32_t>(400, 0)), buffer::of(idx)}, 5},
        {"struct P { u8 a; u32 b; }\nkernel t(P* p) { atomic_add(p[gid].b, 1u); }",
         {buffer::of(std::vector<uint8_t>(50, 0))}, 6},
    };
    for (const trap_case& tc : cases) {
        const compiled c = compile(tc.src);
        ASSERT_TRUE(c.ok()) << tc.src << ": " << c.err.message;
        const lumk_program& p = *c.unit->programs[0];
        const uint64_t n = tc.bufs[0].bytes.size() / std::max<uint32_t>(1, p.params[0].size);
        const ntest::engine_run r = ntest::differential(p, ntest::jit_entry(p), n, tc.bufs, {}, 0, tc.src);
        EXPECT_EQ(r.code, tc.code) << tc.src << ": " << r.message;
    }
}

TEST(NativeDiff, AbortIsReadOncePer1024BackEdges) {
    const compiled c = compile(
        "kernel spin(i32* o, i32 n) { i32 s = 0; for (i32 i = 0; i < n; i++) { s += i; } o[gid] = s; }");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    lumk_jit_entry_fn entry = ntest::jit_entry(p);
    ASSERT_NE(entry, nullptr);
    std::vector<int32_t> out(4, 0);
    auto run = [&](uint64_t items, int32_t n, uint8_t abort_byte, ktrap* trap) {
        std::vector<kreg> regs(p.reg_count + 1);
        for (kreg& r : regs) r.u = 0;
        for (const lumk_const& k : p.constants) regs[k.reg].u = k.bits;
        for (const lumk_param& prm : p.params)
            if (!prm.type.is_pointer) regs[prm.reg].u = static_cast<uint64_t>(static_cast<int64_t>(n));
        kptr slot{reinterpret_cast<uint8_t*>(out.data()), out.size(), 4, out.size() * 4};
        std::vector<kptr> ptrs(p.ptr_count + 1, slot);
        if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, trap, 0);
        const volatile uint8_t abort = abort_byte;
        *trap = ktrap{};
        return entry(regs.data(), ptrs.data(), 0, items, &abort, trap);
    };
    ktrap trap{};
    // the count runs over work items of one call: 4 items x 255 back-edges
    // stay below 1024, 4 x 256 reach it
    EXPECT_EQ(run(4, 255, 1, &trap), 0);
    EXPECT_EQ(run(4, 256, 1, &trap), 7);
    EXPECT_EQ(trap.gid, 3u);
    EXPECT_EQ(trap.value, 0);
    EXPECT_EQ(trap.limit, 0u);
    EXPECT_EQ(p.code.at(trap.pc).op, LUMK_LOOP);
    EXPECT_EQ(lumk_trap_message(p, trap), "aborted");
    EXPECT_EQ(run(4, 5000, 0, &trap), 0);
}

TEST(NativeDiff, RangesInsideRowsAndEmptyRanges) {
    const compiled c = compile(
        "kernel k(u32* o) -> u64 reduce(+) { o[gid] = u32(gid_x * 1000u + gid_y); return gid; }");
    ASSERT_TRUE(c.ok()) << c.err.message;
    const lumk_program& p = *c.unit->programs[0];
    lumk_jit_entry_fn entry = ntest::jit_entry(p);
    ASSERT_NE(entry, nullptr);
    // chunks of 37 start in the middle of rows of 10
    ntest::differential(p, entry, 120, {buffer::of(std::vector<uint32_t>(120, 0))}, {}, 10, "2-D");
    // an empty range writes the accumulator back unchanged; a gsize_x of 0 is a row of 1
    std::vector<kreg> regs(p.reg_count + 1);
    for (kreg& r : regs) r.u = 0;
    for (const lumk_const& k : p.constants) regs[k.reg].u = k.bits;
    regs[p.reductions[0].reg].u = 42;
    std::vector<uint32_t> out(8, 0);
    std::vector<kptr> ptrs(2, kptr{reinterpret_cast<uint8_t*>(out.data()), 8, 4, 32});
    ktrap trap{};
    if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &trap, 0);
    EXPECT_EQ(entry(regs.data(), ptrs.data(), 5, 5, nullptr, &trap), 0);
    EXPECT_EQ(regs[p.reductions[0].reg].u, 42u);
    regs[p.gsize_x].u = 0;
    EXPECT_EQ(entry(regs.data(), ptrs.data(), 0, 3, nullptr, &trap), 0);
    EXPECT_EQ(out[2], 2u);  // x = 0, y = gid
    EXPECT_EQ(regs[p.reductions[0].reg].u, 42u + 0 + 1 + 2);
}

}  // namespace
