// Differential harness of the kernel engines: compiled kernels run directly on
// the scalar engine (chunk by chunk, as the reference) and through launches on
// the scalar, batch and auto engines with one and with several threads. Every
// run must leave the same buffer bytes, the same reduction bits and the same
// trap text.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "kernel/exec/reduce.h"
#include "launch_test_util.h"
#include "tests/kernel/kernel_gen.h"
#include "tests/kernel/kernel_sources.h"

namespace {

using ltest::args;
using ltest::outcome;

struct kcase {
    std::string name;
    std::string src;
    uint64_t width, height;
    std::function<args()> make;
};

// The reference: the scalar engine over each chunk of the launch's split in
// turn, one accumulator per chunk, partials combined in chunk order.
outcome reference(const std::shared_ptr<lumk_compiled_unit>& unit, const lumk_program& p, args a, uint64_t width,
                  uint64_t height) {
    lumk_launch l;  // only for its prepared template and split
    l.prepare(unit, &p, width, height);
    ltest::bind(l, p, a);
    std::vector<uint64_t> frame((p.frame_bytes + 7) / 8);
    if (p.frame_bytes != 0) l.ptrs[p.frame_slot] = kptr{reinterpret_cast<uint8_t*>(frame.data()), 1, p.frame_bytes, p.frame_bytes};
    std::vector<kreg> regs(l.regs.size());
    std::memcpy(regs.data(), l.regs.data(), regs.size() * 8);
    if (p.prologue) {
        ktrap t{};
        lumk_run_scalar(*p.prologue, regs.data(), l.ptrs.data(), 0, 1, nullptr, &t, 0);
    }
    std::vector<uint64_t> results;
    for (const lumk_reduction& r : p.reductions) results.push_back(lumk_reduce_identity(r.op, r.prim));
    outcome o;
    for (uint64_t c = 0; c < l.chunk_count; ++c) {
        for (const lumk_reduction& r : p.reductions) regs[r.reg].u = lumk_reduce_identity(r.op, r.prim);
        ktrap t{};
        const uint64_t b = c * l.chunk_size, e = std::min(b + l.chunk_size, l.gsize);
        if (lumk_run_scalar(p, regs.data(), l.ptrs.data(), b, e, nullptr, &t, 0) != 0) {
            o.trapped = true;
            o.trap_code = t.code & 0xFF;
            o.trap_gid = t.gid;
            o.trap_text = lumk_trap_message(p, t);
            break;
        }
        for (size_t i = 0; i < p.reductions.size(); ++i) {
            const lumk_reduction& r = p.reductions[i];
            results[i] = lumk_reduce_combine(r.op, r.prim, results[i], regs[r.reg].u);
        }
    }
    if (!o.trapped) o.results = results;
    o.buffers = std::move(a.buffers);
    return o;
}

void expect_same(const outcome& want, const outcome& got, const std::string& what, bool compare_memory) {
    ASSERT_EQ(want.trapped, got.trapped) << what << " trap " << got.trap_text;
    if (want.trapped) {
        EXPECT_EQ(want.trap_code, got.trap_code) << what;
        EXPECT_EQ(want.trap_text, got.trap_text) << what;
        EXPECT_EQ(want.trap_gid, got.trap_gid) << what;
    } else {
        ASSERT_EQ(want.results.size(), got.results.size()) << what;
        if (!want.results.empty()) {
            EXPECT_EQ(0, std::memcmp(want.results.data(), got.results.data(), want.results.size() * 8))
                << what << " result " << std::hex << want.results[0] << " vs " << got.results[0];
        }
    }
    // Memory after a trap depends on which chunks ran and how far.
    if (!compare_memory || want.trapped) return;
    ASSERT_EQ(want.buffers.size(), got.buffers.size());
    for (size_t i = 0; i < want.buffers.size(); ++i) {
        ASSERT_EQ(want.buffers[i].size(), got.buffers[i].size());
        EXPECT_TRUE(want.buffers[i].empty() ||
                    std::memcmp(want.buffers[i].data(), got.buffers[i].data(), want.buffers[i].size()) == 0)
            << what << " buffer " << i;
    }
}

// Runs a case through the reference and through launches in every mode with
// one and with four runners.
void check_case(const kcase& k) {
    SCOPED_TRACE(k.name);
    auto unit = ltest::compile(k.src);
    ASSERT_TRUE(unit);
    ASSERT_FALSE(unit->programs.empty());
    const lumk_program& p = *unit->programs[0];
    const outcome want = reference(unit, p, k.make(), k.width, k.height);
    for (uint32_t mode : {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH, LUM_KERNEL_MODE_AUTO}) {
        ltest::settings_scope s(mode);
        for (int helpers : {0, 3}) {
            const outcome got = ltest::run(unit, p, k.make(), k.width, k.height, helpers);
            expect_same(want, got, k.name + " mode " + std::to_string(mode) + " helpers " + std::to_string(helpers),
                        true);
        }
    }
}

template <class T>
std::vector<T> ramp(size_t n, std::function<T(size_t)> f) {
    std::vector<T> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = f(i);
    return v;
}

TEST(ExecDiff, WorkloadKernels) {
    const std::vector<kcase> cases = {
        {"saxpy", kernel_src::saxpy, 5000, 1,
         [] {
             return args()
                 .buf(ramp<float>(5000, [](size_t i) { return 1.0f + 0.25f * float(i % 17); }))
                 .buf(ramp<float>(5000, [](size_t i) { return float(i) * 0.001f - 2.0f; }))
                 .val(std::bit_cast<uint32_t>(0.37f));
         }},
        {"blur",
         kernel_src::blur,
         70, 40,
         [] {
             return args()
                 .buf(ramp<float>(2800, [](size_t i) { return std::sin(float(i) * 0.1f) * 10.0f; }))
                 .buf(std::vector<float>(2800, 0.0f));
         }},
        {"histogram",
         "kernel hist(u32* bins, const u32* data) -> u32 reduce(+) {\n"
         "  u32 v = data[gid];\n"
         "  u32 q = v / 7u; i32 s = i32(v) / -5; i32 m = i32(v) % 3;\n"
         "  atomic_add(bins[q % 16u], 1u);\n"
         "  return u32(s + m) + v % 11u;\n"
         "}",
         4099, 1,
         [] {
             return args().buf(std::vector<uint32_t>(16, 0)).buf(ramp<uint32_t>(4099, [](size_t i) {
                 return uint32_t(i * 2654435761u);
             }));
         }},
        // Lanes that diverge go on from the branch: the atomic before it runs once per item.
        {"side effects before a branch",
         "kernel k(u32* c, i32* o) { atomic_add(c[0], 1u); if ((gid & 1u) == 0u) { o[gid] = 1; } }", 3000, 1,
         [] { return args().buf(std::vector<uint32_t>(1, 0)).buf(std::vector<int32_t>(3000, 0)); }},
    };
    // The histogram's bins are added atomically, so their totals agree too.
    for (const kcase& k : cases) check_case(k);
}

// Generated kernels (branches, else-if chains, loops, stores of each item's
// own element, a sum reduction) on every engine and thread count.
TEST(ExecDiff, GeneratedKernels) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        kcase k{"generated seed " + std::to_string(seed), ktest::kernel_gen(seed, true).kernel(40), 2000, 1, [seed] {
                    return args()
                        .buf(std::vector<int32_t>(2000, 0))
                        .buf(ramp<int32_t>(16, [seed](size_t i) { return int32_t((i * 37 + seed * 11) % 101) - 50; }))
                        .val(seed % 5 + 2);
                }};
        check_case(k);
    }
}

// Reduction data with the awkward values: NaNs, signed zeros, infinities, extremes.
template <class T>
std::vector<T> reduction_data(size_t n, std::mt19937_64& rng) {
    std::vector<T> v(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t r = rng();
        if constexpr (std::is_floating_point_v<T>) {
            switch (r % 23) {
                case 0: v[i] = std::numeric_limits<T>::quiet_NaN(); break;
                case 1: v[i] = T(-0.0); break;
                case 2: v[i] = T(0.0); break;
                case 3: v[i] = (r & 64) ? std::numeric_limits<T>::infinity() : -std::numeric_limits<T>::infinity(); break;
                default: v[i] = T(int64_t(r >> 20) % 200001 - 100000) * T(0.0137); break;
            }
        } else {
            switch (r % 11) {
                case 0: v[i] = std::numeric_limits<T>::max(); break;
                case 1: v[i] = std::numeric_limits<T>::min(); break;
                default: v[i] = static_cast<T>(r); break;
            }
        }
    }
    return v;
}

template <class T>
void check_reductions(const char* tname, std::vector<const char*> ops) {
    std::mt19937_64 rng(std::hash<std::string>{}(tname));
    for (const char* op : ops) {
        for (uint64_t n : {1ull, 200ull, 3001ull}) {
            const auto data = reduction_data<T>(n, rng);
            kcase k{std::string(tname) + " " + op + " n=" + std::to_string(n),
                    std::string("kernel r(const ") + tname + "* x) -> " + tname + " reduce(" + op + ") { return x[gid]; }",
                    n, 1, [data] { return args().buf(data); }};
            check_case(k);
        }
    }
}

TEST(ExecDiff, EveryReductionTypeAndOperator) {
    check_reductions<int32_t>("i32", {"+", "min", "max", "&", "|", "^"});
    check_reductions<uint32_t>("u32", {"+", "min", "max", "&", "|", "^"});
    check_reductions<int64_t>("i64", {"+", "min", "max", "&", "|", "^"});
    check_reductions<uint64_t>("u64", {"+", "min", "max", "&", "|", "^"});
    check_reductions<float>("f32", {"+", "min", "max"});
    check_reductions<double>("f64", {"+", "min", "max"});
    for (const char* op : {"&", "|", "^"}) {
        kcase k{std::string("bool ") + op,
                std::string("kernel r(const u8* x) -> bool reduce(") + op + ") { return u32(x[gid]) != 0u; }", 2000, 1, [] {
                    return args().buf(ramp<uint8_t>(2000, [](size_t i) { return uint8_t(i % 5 != 3); }));
                }};
        check_case(k);
    }
    kcase fields{"struct fields",
                 "struct S { f32 a; i64 b; u32 c; f64 d; }\n"
                 "kernel r(const f32* x) -> S reduce(a: +, b: max, c: ^, d: min) {\n"
                 "  return {x[gid], i64(gid) * -3, u32(gid) * 2654435761u, f64(x[gid]) * 0.5};\n"
                 "}",
                 2222, 1, [] { return args().buf(ramp<float>(2222, [](size_t i) { return std::cos(float(i)) * 3.0f; })); }};
    check_case(fields);
}

// Traps of each code, each from exactly one failing work item: every engine
// reports the same code, work item and text.
TEST(ExecDiff, TrapsOfEachCode) {
    const uint64_t n = 2100;
    const std::vector<kcase> cases = {
        {"bounds", "kernel t(f32* y, const f32* x) { y[gid] = x[gid + 1u]; }", n, 1,
         [] { return args().buf(std::vector<float>(2100, 0.0f)).buf(std::vector<float>(2100, 1.0f)); }},
        {"div zero", "kernel t(const i32* d, i32* o) { o[gid] = 1000 / d[gid]; }", n, 1,
         [] {
             auto d = ramp<int32_t>(2100, [](size_t i) { return int32_t(i % 9) + 1; });
             d[1234] = 0;
             return args().buf(d).buf(std::vector<int32_t>(2100, 0));
         }},
        {"mod zero", "kernel t(const u64* d, u64* o) { o[gid] = 1000u % d[gid]; }", n, 1,
         [] {
             auto d = ramp<uint64_t>(2100, [](size_t i) { return uint64_t(i) + 1; });
             d[77] = 0;
             return args().buf(d).buf(std::vector<uint64_t>(2100, 0));
         }},
        {"overflow", "kernel t(const i32* a, const i32* d, i32* o) { o[gid] = a[gid] % d[gid]; }", n, 1,
         [] {
             auto a = ramp<int32_t>(2100, [](size_t i) { return int32_t(i) - 1000; });
             auto d = ramp<int32_t>(2100, [](size_t i) { return int32_t(i % 5) + 1; });
             a[2000] = std::numeric_limits<int32_t>::min();
             d[2000] = -1;
             return args().buf(a).buf(d).buf(std::vector<int32_t>(2100, 0));
         }},
        {"convert", "kernel t(const f64* x, i32* o) { o[gid] = i32(u8(x[gid])); }", n, 1,
         [] {
             auto x = ramp<double>(2100, [](size_t i) { return double(i % 250) + 0.5; });
             x[999] = 300.5;
             return args().buf(x).buf(std::vector<int32_t>(2100, 0));
         }},
        {"convert nan", "kernel t(const f32* x, i64* o) { o[gid] = i64(x[gid]); }", n, 1,
         [] {
             auto x = ramp<float>(2100, [](size_t i) { return float(i) * -3.5f; });
             x[1] = std::numeric_limits<float>::quiet_NaN();
             return args().buf(x).buf(std::vector<int64_t>(2100, 0));
         }},
        {"array index",
         "struct A { i32 v[4]; }\n"
         "kernel t(const A* a, const u32* idx, i32* o) { o[gid] = a[gid % 2u].v[idx[gid]]; }",
         n, 1,
         [] {
             auto idx = ramp<uint32_t>(2100, [](size_t i) { return uint32_t(i % 4); });
             idx[1500] = 4;
             return args().buf(std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}).buf(idx).buf(std::vector<int32_t>(2100, 0));
         }},
    };
    for (const kcase& k : cases) check_case(k);
}

// floor, ceil, round and trunc of a NaN give that NaN quieted (sign and
// payload kept) on every engine and thread count, whatever the C library's
// functions do with a signalling NaN; other values are rounded as usual.
template <class T, class U>
void check_rounding_of_nans(const char* tname, const std::vector<U>& specials, U quiet_bit) {
    const size_t n = 640;
    std::vector<U> in(n);
    for (size_t i = 0; i < n; ++i)
        in[i] = i % 2 == 0 ? specials[(i / 2) % specials.size()] : std::bit_cast<U>(T(int64_t(i) - 320) / T(7));
    const std::string t = tname;
    const kcase k{t + " floor, ceil, round and trunc",
                  "kernel r(const " + t + "* x, " + t + "* o) {\n  " + t +
                      " v = x[gid];\n"
                      "  o[gid * 4u] = floor(v); o[gid * 4u + 1u] = ceil(v);\n"
                      "  o[gid * 4u + 2u] = round(v); o[gid * 4u + 3u] = trunc(v);\n}",
                  n, 1, [in] { return args().buf(in).buf(std::vector<U>(in.size() * 4, 0)); }};
    check_case(k);
    auto unit = ltest::compile(k.src);
    ASSERT_TRUE(unit);
    for (uint32_t mode : {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH}) {
        ltest::settings_scope scope(mode);
        const outcome o = ltest::run(unit, *unit->programs[0], k.make(), n, 1, 0);
        ASSERT_FALSE(o.trapped) << o.trap_text;
        std::vector<U> out(n * 4);
        std::memcpy(out.data(), o.buffers[1].data(), out.size() * sizeof(U));
        for (size_t i = 0; i < n; ++i) {
            const T x = std::bit_cast<T>(in[i]);
            const T want[4] = {std::floor(x), std::ceil(x), std::round(x), std::trunc(x)};
            for (int f = 0; f < 4; ++f) {
                const U expected = x != x ? U(in[i] | quiet_bit) : std::bit_cast<U>(want[f]);
                EXPECT_EQ(out[i * 4 + f], expected) << t << " mode " << mode << " function " << f << " of "
                                                    << std::hex << in[i];
            }
        }
    }
}

TEST(ExecDiff, RoundingFunctionsQuietASignallingNaN) {
    check_rounding_of_nans<float, uint32_t>(
        "f32", {0x7FA00001u, 0xFFA00001u, 0x7F800001u, 0x7FC12345u, 0xFFC00000u, 0x7F800000u, 0x80000000u, 0x3FC00000u},
        0x00400000u);
    check_rounding_of_nans<double, uint64_t>("f64",
                                             {0x7FF4000000000001ull, 0xFFF4000000000001ull, 0x7FF0000000000001ull,
                                              0x7FF8000000012345ull, 0xFFF8000000000000ull, 0x7FF0000000000000ull,
                                              0x8000000000000000ull, 0x3FF8000000000000ull},
                                             0x0008000000000000ull);
}

// An opcode past the list stops every engine with code 7, and the launch records
// it ("aborted") rather than reporting success.
TEST(ExecDiff, UnknownOpcodeIsRecordedAsAborted) {
    auto unit = ltest::compile("kernel t(i32* o) { o[gid] = i32(gid) * 2; }");
    ASSERT_TRUE(unit);
    lumk_program& p = *unit->programs[0];
    ASSERT_GE(p.code.size(), 2u);
    p.code[p.code.size() - 2].op = LUMK_OP_COUNT;
    for (uint32_t mode : {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH, LUM_KERNEL_MODE_AUTO}) {
        ltest::settings_scope s(mode);
        for (int helpers : {0, 3}) {
            const outcome o = ltest::run(unit, p, args().buf(std::vector<int32_t>(3000, 0)), 3000, 1, helpers);
            ASSERT_TRUE(o.trapped) << mode << " " << helpers;
            EXPECT_EQ(o.trap_code, 7u);
            EXPECT_EQ(o.trap_text, "aborted");
        }
    }
}

}  // namespace
