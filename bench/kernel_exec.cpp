// Kernel engines side by side: compiled kernels (10^7 items for the 1-D ones,
// 2048 x 2048 for the blur) launched on the scalar and the batch engine with
// one runner, on the auto engine with one runner and with every worker of a
// host VM's pool, and the same computation as a plain C++ loop. Before any
// figure is printed every engine's output is checked to be bit-identical to
// the scalar one and to the C++ loop. A summary gives ns per item and per
// executed instruction, batch speed-up, thread scaling, and the overhead of
// launching an empty kernel of one item. The native engine (the kernel's C
// translation built by the machine's C compiler into a private cache folder)
// runs as its own column with one runner and with every worker; the other
// columns run with native code switched off.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "host/host_vm.h"
#include "kernel/compiler/compile.h"
#include "kernel/exec/launch.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/settings.h"
#include "kernel/script/kernel_enqueue.h"
#include "bench/kernel_cpp_loops.h"
#include "tests/kernel/kernel_sources.h"

namespace {

constexpr uint64_t k_items = 10'000'000;
constexpr uint64_t k_side = 2048;

// Buffers in pointer-parameter order and value-parameter bits.
struct inputs {
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<uint64_t> values;
};

template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& v) {
    std::vector<uint8_t> b(v.size() * sizeof(T));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

struct kernel_case {
    std::string name;
    std::string src;
    uint64_t width, height;
    std::function<inputs()> make;
    std::function<void(inputs&)> cpp;  // the same computation in plain C++
    bool compute_bound;
    std::shared_ptr<lumk_compiled_unit> unit;
    double insns_per_item = 0;
};

float x_of(uint64_t i) { return float(i % 1000) * 0.001f; }

std::vector<kernel_case> make_cases() {
    std::vector<kernel_case> cases;
    cases.push_back({"saxpy", kernel_src::saxpy, k_items, 1,
                     [] {
                         std::vector<float> x(k_items), y(k_items, 1.0f);
                         for (uint64_t i = 0; i < k_items; ++i) x[i] = x_of(i);
                         return inputs{{bytes_of(y), bytes_of(x)}, {std::bit_cast<uint32_t>(0.5f)}};
                     },
                     [](inputs& in) {
                         kernel_cpp::saxpy(reinterpret_cast<float*>(in.buffers[0].data()),
                                           reinterpret_cast<const float*>(in.buffers[1].data()), 0.5f, k_items);
                     },
                     false, nullptr, 0});
    cases.push_back({"blur",
                     kernel_src::blur,
                     k_side, k_side,
                     [] {
                         std::vector<float> in(k_side * k_side), out(k_side * k_side, 0.0f);
                         for (uint64_t i = 0; i < in.size(); ++i) in[i] = float((i * 7919) % 1000) * 0.01f;
                         return inputs{{bytes_of(in), bytes_of(out)}, {}};
                     },
                     [](inputs& in) {
                         kernel_cpp::blur(reinterpret_cast<const float*>(in.buffers[0].data()),
                                          reinterpret_cast<float*>(in.buffers[1].data()), int(k_side), int(k_side));
                     },
                     true, nullptr, 0});
    cases.push_back({"histogram",
                     "kernel hist(u32* bins, const u32* data) { atomic_add(bins[data[gid] / 7u % 16u], 1u); }",
                     k_items, 1,
                     [] {
                         std::vector<uint32_t> bins(16, 0), data(k_items);
                         for (uint64_t i = 0; i < k_items; ++i) data[i] = uint32_t(i * 2654435761u);
                         return inputs{{bytes_of(bins), bytes_of(data)}, {}};
                     },
                     [](inputs& in) {
                         uint32_t* bins = reinterpret_cast<uint32_t*>(in.buffers[0].data());
                         const uint32_t* data = reinterpret_cast<const uint32_t*>(in.buffers[1].data());
                         for (uint64_t i = 0; i < k_items; ++i) bins[data[i] / 7u % 16u] += 1u;
                     },
                     false, nullptr, 0});
    cases.push_back({"polynomial",
                     "kernel poly(f64* out, const f64* x) {\n"
                     "  f64 s = 0.0; f64 p = 1.0;\n"
                     "  for (i32 i = 0; i < 12; i++) { s += p * f64(i + 1); p *= x[gid]; }\n"
                     "  out[gid] = s;\n"
                     "}",
                     k_items, 1,
                     [] {
                         std::vector<double> out(k_items, 0.0), x(k_items);
                         for (uint64_t i = 0; i < k_items; ++i) x[i] = double(i % 2001) / 1000.0 - 1.0;
                         return inputs{{bytes_of(out), bytes_of(x)}, {}};
                     },
                     [](inputs& in) {
                         kernel_cpp::poly(reinterpret_cast<const double*>(in.buffers[1].data()),
                                          reinterpret_cast<double*>(in.buffers[0].data()), k_items);
                     },
                     true, nullptr, 0});
    cases.push_back({"divergent",
                     "kernel div(i32* out) {\n"
                     "  i32 v = i32(gid);\n"
                     "  if ((v & 1) == 0) { v = v * 3; } else { v = v - 7; }\n"
                     "  out[gid] = v;\n"
                     "}",
                     k_items, 1, [] { return inputs{{bytes_of(std::vector<int32_t>(k_items, 0))}, {}}; },
                     [](inputs& in) {
                         int32_t* out = reinterpret_cast<int32_t*>(in.buffers[0].data());
                         for (uint64_t g = 0; g < k_items; ++g) {
                             int32_t v = int32_t(g);
                             if ((v & 1) == 0) v = v * 3; else v = v - 7;
                             out[g] = v;
                         }
                     },
                     false, nullptr, 0});
    return cases;
}

// Points a prepared launch's pointer parameters at the input buffers and
// sets its value parameters.
void bind_inputs(lumk_launch& l, const lumk_program& p, inputs& in) {
    size_t bi = 0, vi = 0;
    for (const lumk_param& prm : p.params) {
        if (prm.type.is_pointer) {
            std::vector<uint8_t>& b = in.buffers[bi++];
            l.ptrs[prm.slot] = kptr{b.data(), b.size() / prm.size, prm.size, b.size()};
        } else {
            l.regs[prm.reg] = in.values[vi++];
        }
    }
}

// One launch of a compiled kernel over prepared inputs.
void launch(const kernel_case& k, inputs& in, int helpers) {
    const lumk_program& p = *k.unit->programs[0];
    auto l = std::make_shared<lumk_launch>();
    l->prepare(k.unit, &p, k.width, k.height);
    bind_inputs(*l, p, in);
    if (helpers > 0) l->start_helpers(helpers, lum_kernel_enqueue());
    l->run_and_wait();
    if (l->trap_recorded.load() != 0) std::fprintf(stderr, "%s: trap %u\n", k.name.c_str(), l->trap.code);
}

// Executed instructions per item: the program with a counter increment
// before every instruction, run once on the scalar engine.
double count_instructions(const kernel_case& k) {
    const lumk_program& p = *k.unit->programs[0];
    auto counted = std::make_shared<lumk_program>();
    counted->name = p.name;
    counted->params = p.params;
    counted->reg_count = p.reg_count + 1;
    counted->ptr_count = p.ptr_count;
    counted->frame_slot = p.frame_slot;
    counted->frame_bytes = p.frame_bytes;
    counted->gid = p.gid, counted->gsize = p.gsize, counted->acc = p.acc, counted->gid_x = p.gid_x;
    counted->gid_y = p.gid_y, counted->gsize_x = p.gsize_x, counted->gsize_y = p.gsize_y;
    counted->is_2d = p.is_2d;
    counted->constants = p.constants;
    counted->prologue = p.prologue;
    const uint16_t rc = static_cast<uint16_t>(p.reg_count);
    for (lumk_insn insn : p.code) {
        counted->code.push_back({LUMK_ADDI_X64, rc, rc, 0, 1});
        if (lumk_op_is_jump(insn.op)) insn.imm *= 2;
        counted->code.push_back(insn);
    }
    auto unit = std::make_shared<lumk_compiled_unit>();
    unit->programs.push_back(counted);
    inputs in = k.make();
    const lumk_program& cp = *counted;
    auto l = std::make_shared<lumk_launch>();
    l->prepare(unit, &cp, k.width, k.height);
    bind_inputs(*l, cp, in);
    std::vector<kreg> regs(l->regs.size());
    std::memcpy(regs.data(), l->regs.data(), regs.size() * 8);
    if (cp.prologue) {
        ktrap t{};
        lumk_run_scalar(*cp.prologue, regs.data(), l->ptrs.data(), 0, 1, nullptr, &t, 0);
    }
    ktrap t{};
    lumk_run_scalar(cp, regs.data(), l->ptrs.data(), 0, l->gsize, nullptr, &t, 0);
    return double(regs[rc].u) / double(l->gsize);
}

struct engine {
    const char* name;
    uint32_t mode;
    bool all_workers;
    uint32_t policy;  // native code off for the interpreter columns
};
const engine k_engines[] = {
    {"scalar", LUM_KERNEL_MODE_SCALAR, false, LUM_KERNEL_JIT_OFF},
    {"batch", LUM_KERNEL_MODE_BATCH, false, LUM_KERNEL_JIT_OFF},
    {"auto_1", LUM_KERNEL_MODE_AUTO, false, LUM_KERNEL_JIT_OFF},
    {"auto_all", LUM_KERNEL_MODE_AUTO, true, LUM_KERNEL_JIT_OFF},
    {"native_1", LUM_KERNEL_MODE_AUTO, false, LUM_KERNEL_JIT_AUTO},
    {"native_all", LUM_KERNEL_MODE_AUTO, true, LUM_KERNEL_JIT_AUTO},
};

int g_workers = 0;
bool g_native = false;  // every kernel has native code

bool is_native(const engine& e) { return e.policy != LUM_KERNEL_JIT_OFF; }

// Builds every kernel's native code before the runs (a synchronous request).
bool make_native(std::vector<kernel_case>& cases) {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    bool ok = true;
    for (kernel_case& k : cases) {
        const lumk_program* p = k.unit->programs[0].get();
        lumk_jit_request(k.unit, p, nullptr);
        const std::string status = lumk_jit_status(p);
        if (status != "ready") {
            std::fprintf(stderr, "%s: no native code (%s)\n", k.name.c_str(), status.c_str());
            ok = false;
        }
    }
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    return ok;
}

// Runs every engine once on fresh inputs and compares all outputs with the
// scalar engine's and the C++ loop's, byte for byte.
bool outputs_identical(const kernel_case& k) {
    inputs want = k.make();
    k.cpp(want);
    bool ok = true;
    for (const engine& e : k_engines) {
        if (is_native(e) && !g_native) continue;
        lum_kernel_interp_mode.store(e.mode);
        lum_kernel_jit_policy.store(e.policy);
        inputs got = k.make();
        launch(k, got, e.all_workers ? g_workers : 0);
        for (size_t i = 0; i < want.buffers.size(); ++i) {
            if (want.buffers[i] != got.buffers[i]) {
                std::fprintf(stderr, "%s: %s output %zu differs from the C++ loop\n", k.name.c_str(), e.name, i);
                ok = false;
            }
        }
    }
    lum_kernel_interp_mode.store(LUM_KERNEL_MODE_AUTO);
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    return ok;
}

class recording_reporter : public benchmark::ConsoleReporter {
    static void keep_min(std::map<std::string, double>& m, const std::string& key, double v) {
        auto it = m.find(key);
        if (it == m.end() || v < it->second) m[key] = v;
    }

public:
    recording_reporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> ns_per_iter;      // wall clock
    std::map<std::string, double> cpu_ns_per_iter;  // the benchmark thread's CPU time
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            const double iters = static_cast<double>(r.iterations);
            keep_min(ns_per_iter, r.run_name.function_name, r.real_accumulated_time * 1e9 / iters);
            keep_min(cpu_ns_per_iter, r.run_name.function_name, r.cpu_accumulated_time * 1e9 / iters);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    g_workers = int(cores) - 1;
    lum_host_vm_options options;
    options.workers = uint32_t(g_workers);
    lum_host_vm host(options);
    host.drop_lock();  // launches run without the VM lock, as a script launch does

    // compiled kernels go to a private cache folder unless one is named
    std::string own_cache;
    if (const char* c = std::getenv("LUM_KERNEL_CACHE"); c == nullptr || *c == '\0') {
        char templ[] = "/tmp/lumk-bench-XXXXXX";
        if (::mkdtemp(templ) != nullptr) {
            own_cache = templ;
            ::setenv("LUM_KERNEL_CACHE", templ, 1);
        }
    }

    std::vector<kernel_case> cases = make_cases();
    for (kernel_case& k : cases) {
        kerror err;
        lumk_compile_unit(k.unit, k.src, k.name + ".k", err, {});
        if (!k.unit) {
            std::fprintf(stderr, "%s: %s\n", k.name.c_str(), err.message.c_str());
            return 1;
        }
    }
    g_native = make_native(cases);
    for (kernel_case& k : cases) {
        if (!outputs_identical(k)) return 1;
        k.insns_per_item = count_instructions(k);
    }
    std::printf("every engine's output is identical to the C++ loop (%d workers)\n", g_workers);

    for (kernel_case& k : cases) {
        for (const engine& e : k_engines) {
            if (e.all_workers && !k.compute_bound && k.name != "saxpy") continue;
            if (is_native(e) && !g_native) continue;
            benchmark::RegisterBenchmark((k.name + "/" + e.name).c_str(), [&k, e](benchmark::State& state) {
                lum_kernel_interp_mode.store(e.mode);
                lum_kernel_jit_policy.store(e.policy);
                inputs in = k.make();
                for (auto _ : state) launch(k, in, e.all_workers ? g_workers : 0);
                lum_kernel_interp_mode.store(LUM_KERNEL_MODE_AUTO);
                lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
            })->Unit(benchmark::kMillisecond)->MinTime(0.3)->UseRealTime();
        }
        benchmark::RegisterBenchmark((k.name + "/cpp").c_str(), [&k](benchmark::State& state) {
            inputs in = k.make();
            for (auto _ : state) {
                k.cpp(in);
                benchmark::ClobberMemory();
            }
        })->Unit(benchmark::kMillisecond)->MinTime(0.3)->UseRealTime();
    }
    // Launch overhead: an empty kernel of one item, no helpers.
    kernel_case empty{"empty", "kernel empty() {}", 1, 1, [] { return inputs{}; }, [](inputs&) {}, false, nullptr, 0};
    kerror err;
    lumk_compile_unit(empty.unit, empty.src, "empty.k", err, {});
    benchmark::RegisterBenchmark("launch_overhead", [&empty](benchmark::State& state) {
        lum_kernel_jit_policy.store(LUM_KERNEL_JIT_OFF);
        inputs in;
        for (auto _ : state) launch(empty, in, 0);
        lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    })->Unit(benchmark::kMicrosecond);

    recording_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();

    // Single-runner figures use the thread's CPU time (robust on a busy
    // machine); thread scaling compares wall-clock times.
    auto ns = [&](const std::string& name) { return rep.cpu_ns_per_iter.count(name) ? rep.cpu_ns_per_iter[name] : 0.0; };
    auto wall = [&](const std::string& name) { return rep.ns_per_iter.count(name) ? rep.ns_per_iter[name] : 0.0; };
    std::printf("\n%-11s %9s %9s %9s %9s %9s %9s %9s %8s %8s\n", "kernel", "insn/item", "scal ns/i", "bat ns/i",
                "auto ns/i", "scal ns/in", "bat ns/in", "c++ ns/i", "bat/scal", "scaling");
    for (const kernel_case& k : cases) {
        const double items = double(k.width * k.height);
        const double s = ns(k.name + "/scalar") / items, b = ns(k.name + "/batch") / items;
        const double a = ns(k.name + "/auto_1") / items, c = ns(k.name + "/cpp") / items;
        const double a1 = wall(k.name + "/auto_1"), aa = wall(k.name + "/auto_all");
        const double scaling = aa > 0 ? a1 / aa : 0.0;
        std::printf("%-11s %9.1f %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %8.2f %8.2f\n", k.name.c_str(), k.insns_per_item, s,
                    b, a, s / k.insns_per_item, b / k.insns_per_item, c, s / b, scaling);
        std::printf("RESULT %s scalar_ns_per_item=%.4f batch_ns_per_item=%.4f auto_ns_per_item=%.4f "
                    "cpp_ns_per_item=%.4f speedup=%.3f scaling=%.3f\n",
                    k.name.c_str(), s, b, a, c, s / b, scaling);
    }
    std::printf("launch overhead: %.3f us (empty kernel, gsize 1, no helpers); scaling target %.2f (workers+1 = %d)\n",
                wall("launch_overhead") / 1000.0, 0.7 * std::min(double(g_workers + 1), double(cores)), g_workers + 1);
    if (g_native) {
        std::printf("\n%-11s %9s %9s %10s %11s %9s\n", "kernel", "nat ns/i", "c++ ns/i", "nat/c++", "scal/nat",
                    "scaling");
        for (const kernel_case& k : cases) {
            const double items = double(k.width * k.height);
            const double n = ns(k.name + "/native_1") / items, c = ns(k.name + "/cpp") / items;
            const double s = ns(k.name + "/scalar") / items;
            const double n1 = wall(k.name + "/native_1"), na = wall(k.name + "/native_all");
            std::printf("%-11s %9.3f %9.3f %9.2fx %10.1fx %9.2f\n", k.name.c_str(), n, c, n / c, s / n,
                        na > 0 ? n1 / na : 0.0);
            std::printf("RESULT %s native_ns_per_item=%.4f native_vs_cpp=%.3f scalar_vs_native=%.3f\n", k.name.c_str(),
                        n, n / c, s / n);
        }
        std::printf("native compiler: %s\n", lumk_jit_compiler().c_str());
    }
    if (!own_cache.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(own_cache, ec);
    }
    host.hold_lock();
    return 0;
}
