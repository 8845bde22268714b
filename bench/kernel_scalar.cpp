// Scalar interpreter throughput: hand-built bytecode programs run over 10
// million work items next to the same computation as a plain C++ loop.
//
//   saxpy:        y[i] = a * x[i] + y[i]          (f32, 6 instructions per item)
//   compute_loop: an inner loop of 5 rounds of integer mixing and a float sum
//                 (56 instructions per item, a LOOP back-edge per round)
//
// After the benchmarks a summary prints ns per item, ns per executed
// instruction and the interpreter / C++ ratio.

#include <benchmark/benchmark.h>

#include <bit>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "kernel/compiler/program.h"
#include "kernel/exec/scalar.h"

namespace {

constexpr uint64_t k_items = 10'000'000;
constexpr uint64_t k_mix = 0x9E3779B97F4A7C15ull;
constexpr double k_scale = 1.0 / 9007199254740992.0;  // 2^-53
constexpr uint32_t k_rounds = 5;

uint64_t db(double d) { return std::bit_cast<uint64_t>(d); }

std::shared_ptr<lumk_program> new_program() {
    auto p = std::make_shared<lumk_program>();
    lumk_set_fixed_registers(*p);
    p->reg_count = 32;
    return p;
}

// saxpy(f32* y, const f32* x, f32 a): slot 0 = y, slot 1 = x, register 10 = a.
std::shared_ptr<lumk_program> saxpy_program() {
    auto p = new_program();
    p->code = {
        {LUMK_LD_F32, 7, 1, 0, 0},   // x[gid]
        {LUMK_LD_F32, 8, 0, 0, 0},   // y[gid]
        {LUMK_MUL_F32, 9, 10, 7, 0}, // a * x
        {LUMK_ADD_F32, 9, 9, 8, 0},  // + y
        {LUMK_ST_F32, 9, 0, 0, 0},   // y[gid] =
        {LUMK_END, 0, 0, 0, 0},
    };
    return p;
}
constexpr double k_saxpy_insns = 6;

// compute_loop(f64* out): h = gid; 5 rounds of h ^= h >> 29; h *= K; acc += (h >> 11) * 2^-53.
std::shared_ptr<lumk_program> compute_loop_program() {
    auto p = new_program();
    p->code = {
        {LUMK_MOV, 7, 0, 0, 0},           // 0: h = gid
        {LUMK_MOV, 8, 24, 0, 0},          // 1: acc = 0.0
        {LUMK_MOV, 9, 25, 0, 0},          // 2: i = 0
        {LUMK_JFLT_S, 9, 23, 0, 13},      // 3: while (i < rounds)
        {LUMK_SHR_U64, 11, 7, 20, 0},     // 4
        {LUMK_XOR_X, 7, 7, 11, 0},        // 5
        {LUMK_MUL_X64, 7, 7, 21, 0},      // 6
        {LUMK_SHR_U64, 11, 7, 26, 0},     // 7
        {LUMK_CVT_S_F64, 12, 11, 0, 0},   // 8
        {LUMK_MUL_F64, 12, 12, 22, 0},    // 9
        {LUMK_ADD_F64, 8, 8, 12, 0},      // 10
        {LUMK_ADDI_X64, 9, 9, 0, 1},      // 11
        {LUMK_LOOP, 0, 0, 0, 3},          // 12
        {LUMK_ST_F64, 8, 0, 0, 0},        // 13: out[gid] = acc
        {LUMK_END, 0, 0, 0, 0},           // 14
    };
    return p;
}
constexpr double k_compute_loop_insns = 3 + k_rounds * 10 + 1 + 2;


void compute_registers(std::vector<kreg>& r) {
    r[20].u = 29;
    r[21].u = k_mix;
    r[22].u = db(k_scale);
    r[23].u = k_rounds;
    r[24].u = db(0.0);
    r[25].u = 0;
    r[26].u = 11;
}

kptr slot(void* base, uint64_t count, uint64_t stride) {
    return kptr{static_cast<uint8_t*>(base), count, stride, count * stride};
}

struct saxpy_data {
    std::vector<float> x = std::vector<float>(k_items), y = std::vector<float>(k_items);
    saxpy_data() {
        for (uint64_t i = 0; i < k_items; ++i) {
            x[i] = static_cast<float>(i % 1000) * 0.001f;
            y[i] = 1.0f;
        }
    }
};

void BM_saxpy_interp(benchmark::State& state) {
    saxpy_data d;
    auto p = saxpy_program();
    std::vector<kreg> regs(32, kreg{.u = 0});
    regs[10].u = std::bit_cast<uint32_t>(0.5f);
    kptr slots[2] = {slot(d.y.data(), k_items, 4), slot(d.x.data(), k_items, 4)};
    volatile uint8_t abort = 0;
    for (auto _ : state) {
        ktrap trap{};
        if (lumk_run_scalar(*p, regs.data(), slots, 0, k_items, &abort, &trap, 0) != 0) state.SkipWithError("trap");
        benchmark::DoNotOptimize(d.y.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k_items));
}

void BM_saxpy_cpp(benchmark::State& state) {
    saxpy_data d;
    const float a = 0.5f;
    for (auto _ : state) {
        float* y = d.y.data();
        const float* x = d.x.data();
        for (uint64_t i = 0; i < k_items; ++i) y[i] = a * x[i] + y[i];
        benchmark::DoNotOptimize(y);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k_items));
}

void run_compute_interp(benchmark::State& state, const std::shared_ptr<lumk_program>& p) {
    std::vector<double> out(k_items);
    std::vector<kreg> regs(32, kreg{.u = 0});
    compute_registers(regs);
    kptr slots[1] = {slot(out.data(), k_items, 8)};
    volatile uint8_t abort = 0;
    for (auto _ : state) {
        ktrap trap{};
        if (lumk_run_scalar(*p, regs.data(), slots, 0, k_items, &abort, &trap, 0) != 0) state.SkipWithError("trap");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k_items));
}

void BM_compute_loop_interp(benchmark::State& state) { run_compute_interp(state, compute_loop_program()); }

void BM_compute_loop_cpp(benchmark::State& state) {
    std::vector<double> out(k_items);
    for (auto _ : state) {
        double* o = out.data();
        for (uint64_t g = 0; g < k_items; ++g) {
            uint64_t h = g;
            double acc = 0.0;
            for (uint32_t i = 0; i < k_rounds; ++i) {
                h ^= h >> 29;
                h *= k_mix;
                acc += static_cast<double>(static_cast<int64_t>(h >> 11)) * k_scale;
            }
            o[g] = acc;
        }
        benchmark::DoNotOptimize(o);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k_items));
}

BENCHMARK(BM_saxpy_interp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_saxpy_cpp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compute_loop_interp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compute_loop_cpp)->Unit(benchmark::kMillisecond);

// Console output plus the best real time per iteration of every benchmark
// (over repetitions), for the summary.
class recording_reporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so scripts can parse the text.
    recording_reporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> ns_per_iter;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            const double ns = r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations);
            auto it = ns_per_iter.find(r.run_name.function_name);
            if (it == ns_per_iter.end() || ns < it->second) ns_per_iter[r.run_name.function_name] = ns;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    recording_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    std::printf("\n%-14s %14s %14s %16s %14s\n", "program", "interp ns/item", "c++ ns/item", "interp ns/insn",
                "interp/c++");
    struct row { const char* name; const char* interp; const char* cpp; double insns; };
    for (const row& r : {row{"saxpy", "BM_saxpy_interp", "BM_saxpy_cpp", k_saxpy_insns},
                         row{"compute_loop", "BM_compute_loop_interp", "BM_compute_loop_cpp", k_compute_loop_insns}}) {
        if (!rep.ns_per_iter.count(r.interp) || !rep.ns_per_iter.count(r.cpp)) continue;
        const double ni = rep.ns_per_iter[r.interp] / k_items, nc = rep.ns_per_iter[r.cpp] / k_items;
        std::printf("%-14s %14.3f %14.3f %16.3f %14.2f\n", r.name, ni, nc, ni / r.insns, ni / nc);
        // machine-readable line for scripts
        std::printf("RESULT %s interp_ns_per_item=%.4f cpp_ns_per_item=%.4f\n", r.name, ni, nc);
    }
    return 0;
}
