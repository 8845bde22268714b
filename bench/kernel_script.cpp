// Kernels from scripts: launch overhead (100,000 launches of a one-item kernel
// against 100,000 calls of b.size() in the same run), scaling of a saxpy over
// 16M f32 with one thread against all workers in the scalar, batch and native
// modes (every result compared with a reference), unit-cache hits against the
// first compile, and pooled std.buffer churn against heap churn.
//
// The script parts are bench/script/kernel_*.lasm; they print "mark ..." lines
// and this program times the gaps between them.
//
// Usage: bench_kernel_script [--workers N]   (default: hardware threads - 1)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/assembler.h"
#include "host/host_vm.h"
#include "host/module_loader.h"
#include "host/run_program.h"
#include "kernel/script/buffer.h"
#include "runtime/thread_local.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct mark {
    clock_type::time_point at;
    std::string text;
};

const lum_loaded_module& module() {
    static const std::unique_ptr<lum_loaded_module> m = [] {
        auto loaded = lum_loaded_module::linked();
        loaded->run_initializers();
        return loaded;
    }();
    return *m;
}

// Runs bench/script/NAME.lasm and returns its printed lines with their times.
std::vector<mark> run_script(const std::string& name, uint32_t workers) {
    std::ifstream in(std::string(LUM_BENCH_DIR) + "/script/" + name + ".lasm", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<mark> marks;
    lum_asm_options options;
    options.module = &module();
    options.output = [&marks](std::string_view line) {
        marks.push_back({clock_type::now(), std::string(line.substr(0, line.find('\n')))});
    };
    lum_run_options run;
    run.workers = workers;
    run.timeout = std::chrono::minutes(10);
    const lum_run_result result = lum_run_program(lum_assemble(text.str(), name + ".lasm", options).program, run);
    if (result.exit_status != 0) std::fprintf(stderr, "%s: exit status %d\n", name.c_str(), result.exit_status);
    return marks;
}

double seconds_between(const std::vector<mark>& marks, const std::string& from) {
    for (size_t i = 0; i + 1 < marks.size(); ++i)
        if (marks[i].text == from) return std::chrono::duration<double>(marks[i + 1].at - marks[i].at).count();
    std::fprintf(stderr, "no mark '%s'\n", from.c_str());
    return 0;
}

void launch_overhead(uint32_t workers) {
    const auto marks = run_script("kernel_launch", workers);
    const double launches = seconds_between(marks, "mark launch");
    const double sizes = seconds_between(marks, "mark size");
    std::printf("launch overhead: %.2f us per launch, %.3f us per b.size(), %.2f us above the native call\n",
                launches * 1e6 / 100000, sizes * 1e6 / 100000, (launches - sizes) * 1e6 / 100000);
}

void saxpy_scaling(uint32_t workers) {
    const auto marks = run_script("kernel_saxpy", workers);
    for (const auto& m : marks)
        if (m.text.rfind("native status", 0) == 0 || (m.text.rfind("mark done", 0) == 0 && m.text != "mark done 0"))
            std::printf("  %s\n", m.text.c_str());
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const double ideal = std::min<double>(workers + 1, cores);
    for (const char* mode : {"scalar", "batch", "native"}) {
        const double one = seconds_between(marks, std::string("mark ") + mode + " 1");
        const double all = seconds_between(marks, std::string("mark ") + mode + " all");
        std::printf("saxpy 16M f32 %-6s: 1 thread %.1f ms, %u threads %.1f ms, speed-up %.2f (%.2f x ideal %.0f)\n", mode,
                    one * 1e3, workers + 1, all * 1e3, one / all, one / all / ideal, ideal);
    }
}

void cache_hits(uint32_t workers) {
    const auto marks = run_script("kernel_cache", workers);
    const double first = seconds_between(marks, "mark first");
    const double hit = seconds_between(marks, "mark hits") / 1000;
    std::printf("unit cache: first compile %.1f us, hit %.2f us (%.0fx cheaper)\n", first * 1e6, hit * 1e6,
                first / hit);
}

template <class F>
double time_of(F&& f) {
    const auto t0 = clock_type::now();
    f();
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

void buffer_churn() {
    constexpr int rounds = 1000000;
    lum_host_vm host;  // this thread holds the VM lock: buffers come from the pool
    auto churn = [] {
        for (int i = 0; i < rounds; ++i) {
            lumptr_strong<lum_std_buffer> b(lum_std_buffer::create());
            b->bytes.push_back(static_cast<uint8_t>(i));
        }
    };
    const double pooled = time_of(churn);
    double heap = 0;
    {
        lum_pooling_suspend heap_only;
        heap = time_of(churn);
    }
    std::printf("std.buffer churn: pooled %.1f ns, heap %.1f ns per buffer\n", pooled * 1e9 / rounds,
                heap * 1e9 / rounds);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t workers = std::max(1u, std::thread::hardware_concurrency()) - 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--workers") == 0) workers = static_cast<uint32_t>(std::atoi(argv[i + 1]));
    std::printf("workers: %u\n", workers);
    launch_overhead(workers);
    saxpy_scaling(workers);
    cache_hits(workers);
    buffer_churn();
    return 0;
}
