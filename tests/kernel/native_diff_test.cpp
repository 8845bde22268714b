// Differential tests of the native engine through the JIT road: kernels
// compiled from source and translated to C, built by the machine's C compiler
// and run next to the scalar interpreter over the same buffers. Buffers,
// accumulator bits and trap records (with their texts) must be identical.
// Every opcode's translation is compared in native_family_test.cpp.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/kernel_gen.h"
#include "tests/kernel/native_test_util.h"

using ktest::buffer;
using ktest::compile;
using ktest::compiled;

namespace {

// Generated kernels (branches, else-if chains, loops, a sum reduction).
TEST(NativeDiff, GeneratedKernels) {
    for (uint32_t seed = 21; seed <= 23; ++seed) {
        const compiled c = compile(ktest::kernel_gen(seed).kernel(60));
        ASSERT_TRUE(c.ok()) << c.err.message;
        const lumk_program& p = *c.unit->programs[0];
        std::vector<int32_t> src(16);
        for (int i = 0; i < 16; ++i) src[i] = static_cast<int32_t>((i * 53 + seed) % 89) - 44;
        ntest::differential(p, ntest::jit_entry(p), 300, {buffer::of(std::vector<int32_t>(16, 0)), buffer::of(src)},
                            {seed % 4 + 3}, 0, "seed " + std::to_string(seed));
    }
}

// Which NaN comes out of the math functions is part of the result: log and
// log2 of a negative number, and floor, ceil, round and trunc of a signalling NaN,
// give the interpreters' bits natively too (the kernel library's math
// functions are the ones the interpreters call).
TEST(NativeDiff, MathFunctionsGiveTheInterpretersNaNBits) {
    const std::vector<uint32_t> f32_in = {0xBF800000u, 0xBF000000u, 0xFF800000u, 0x80000000u, 0x00000000u,
                                          0x7FA00001u, 0xFFA00001u, 0x7FC12345u, 0xFFC00000u, 0x3F800000u,
                                          0xC0200000u, 0x00000001u, 0x7F800000u, 0xCB189680u};
    const std::vector<uint64_t> f64_in = {0xBFF0000000000000ull, 0xBFE0000000000000ull, 0xFFF0000000000000ull,
                                          0x8000000000000000ull, 0x0000000000000000ull, 0x7FF4000000000001ull,
                                          0xFFF4000000000001ull, 0x7FF8000000012345ull, 0xFFF8000000000000ull,
                                          0x3FF0000000000000ull, 0xC004000000000000ull, 0x0000000000000001ull,
                                          0x7FF0000000000000ull, 0xC1E0000000200000ull};
    for (const char* type : {"f32", "f64"}) {
        const std::string t = type;
        const compiled c = compile("kernel m(const " + t + "* x, " + t + "* o) {\n  " + t +
                                   " v = x[gid];\n"
                                   "  o[gid * 6u] = log(v); o[gid * 6u + 1u] = log2(v); o[gid * 6u + 2u] = floor(v);\n"
                                   "  o[gid * 6u + 3u] = ceil(v); o[gid * 6u + 4u] = trunc(v); o[gid * 6u + 5u] = round(v);\n}");
        ASSERT_TRUE(c.ok()) << c.err.message;
        const lumk_program& p = *c.unit->programs[0];
        const bool wide = t == "f64";
        const uint64_t n = wide ? f64_in.size() : f32_in.size();
        const buffer in = wide ? buffer::of(f64_in) : buffer::of(f32_in);
        const buffer out = wide ? buffer::of(std::vector<uint64_t>(n * 6, 0)) : buffer::of(std::vector<uint32_t>(n * 6, 0));
        const ntest::engine_run r = ntest::differential(p, ntest::jit_entry(p), n, {in, out}, {}, 0, t);
        // the cases really produce NaNs of both signs
        ASSERT_EQ(r.code, 0) << r.message;
        uint64_t first = 0;
        std::memcpy(&first, r.buffers[1].bytes.data(), wide ? 8 : 4);
        EXPECT_EQ(first, wide ? 0xFFF8000000000000ull : 0xFFC00000ull) << t << ": log(-1)";
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
