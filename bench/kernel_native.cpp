// Native kernels: ns per work item of the C translation built by the
// machine's C compiler, next to the same computation as a plain C++ loop
// (compiled here with the project's float flags: no fused multiply-add), the
// scalar interpreter and, when PoCL is installed, the same kernel in OpenCL C
// on the CPU with one thread and with all threads. Then the cold compile time
// with each compiler found, a disk-cache hit in a new process and the
// per-launch cost of asking for native code once the kernel is ready. (The
// engine benchmark, bench/kernel_exec.cpp, has the native engine as a launch
// column with one runner and with every worker.)
//
//   saxpy:      y[i] = a * x[i] + y[i]                     (f32, 4M items)
//   blur:       3x3 box blur over a 2048 x 1024 f32 image  (2-D)
//   polynomial: 12 rounds of s += p * (i + 1); p *= x        (f64, 1M items)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#if LUM_BENCH_OPENCL
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#endif

#include "kernel/compiler/checker.h"
#include "kernel/compiler/compile.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_driver.h"
#include "kernel/exec/scalar.h"
#include "bench/kernel_cpp_loops.h"
#include "tests/kernel/kernel_sources.h"

namespace {

using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Best of `reps` timings of f, in seconds.
double best_of(int reps, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = clock_type::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}

constexpr uint64_t k_saxpy_n = 4u << 20;
constexpr uint64_t k_blur_w = 2048, k_blur_h = 1024;
constexpr uint64_t k_poly_n = 1u << 20;

const char* const k_saxpy_src = kernel_src::saxpy;
const char* const k_blur_src = kernel_src::blur;
const char* const k_poly_src =
    "kernel poly(const f64* x, f64* out) {\n"
    "  f64 s = 0.0; f64 p = 1.0;\n"
    "  for (i32 i = 0; i < 12; i++) { s += p * f64(i + 1); p *= x[gid]; }\n"
    "  out[gid] = s;\n"
    "}";

std::shared_ptr<lumk_compiled_unit> compile_src(const char* src) {
    std::shared_ptr<lumk_compiled_unit> u;
    kerror err;
    lumk_compile_unit(u, src, "bench.k", err, {});
    if (!u) {
        std::fprintf(stderr, "compile error: %s\n", err.message.c_str());
        std::exit(1);
    }
    return u;
}

// A lane runner's register file and pointer slots for one program.
struct runner {
    const lumk_program& p;
    std::vector<kreg> regs;
    std::vector<kptr> ptrs;
    template <class T>
    runner(const lumk_program& prog, std::vector<std::vector<T>*> bufs, uint64_t n, uint64_t width,
           std::vector<uint64_t> values)
        : p(prog), regs(prog.reg_count + 1), ptrs(prog.ptr_count + 1) {
        for (kreg& r : regs) r.u = 0;
        for (const lumk_const& c : p.constants) regs[c.reg].u = c.bits;
        regs[p.gsize].u = n;
        regs[p.gsize_x].u = width ? width : n;
        regs[p.gsize_y].u = width ? n / width : 1;
        size_t bi = 0, vi = 0;
        for (const lumk_param& prm : p.params) {
            if (prm.type.is_pointer) {
                std::vector<T>& b = *bufs.at(bi++);
                ptrs[prm.slot] = kptr{reinterpret_cast<uint8_t*>(b.data()), b.size(), sizeof(T), b.size() * sizeof(T)};
            } else {
                regs[prm.reg].u = values.at(vi++);
            }
        }
        ktrap t{};
        if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &t, 0);
    }
    int native(lumk_jit_entry_fn e, uint64_t n) {
        ktrap t{};
        const volatile unsigned char abort = 0;
        return e(regs.data(), ptrs.data(), 0, n, &abort, &t);
    }
    int scalar(uint64_t n) {
        ktrap t{};
        const volatile uint8_t abort = 0;
        return lumk_run_scalar(p, regs.data(), ptrs.data(), 0, n, &abort, &t, 0);
    }
};

// ---- OpenCL C versions (PoCL on the CPU) ----------------------------------------

const char* const k_cl_src = R"CL(
__kernel void saxpy(__global float* y, __global const float* x, float a) {
  size_t i = get_global_id(0); y[i] = a * x[i] + y[i];
}
__kernel void blur(__global const float* in, __global float* out) {
  int x = get_global_id(0), y = get_global_id(1), w = get_global_size(0), h = get_global_size(1);
  float s = 0.0f; int n = 0;
  for (int dy = -1; dy <= 1; dy++) for (int dx = -1; dx <= 1; dx++) {
    int xx = x + dx, yy = y + dy;
    if (xx < 0 || yy < 0 || xx >= w || yy >= h) continue;
    s += in[yy * w + xx]; n++;
  }
  out[y * w + x] = s / (float)n;
}
__kernel void poly(__global const double* x, __global double* out) {
  size_t g = get_global_id(0); double s = 0.0, p = 1.0;
  for (int i = 0; i < 12; i++) { s += p * (double)(i + 1); p *= x[g]; }
  out[g] = s;
}
)CL";

// Prints "cl <kernel> <ns per item>" lines; run in a child whose
// POCL_MAX_PTHREAD_COUNT sets the thread count.
int opencl_child() {
#if LUM_BENCH_OPENCL
    cl_platform_id plat;
    cl_uint np = 0;
    if (clGetPlatformIDs(1, &plat, &np) != CL_SUCCESS || np == 0) return 1;
    cl_device_id dev;
    if (clGetDeviceIDs(plat, CL_DEVICE_TYPE_CPU, 1, &dev, nullptr) != CL_SUCCESS) return 1;
    cl_int err = 0;
    cl_context ctx = clCreateContext(nullptr, 1, &dev, nullptr, nullptr, &err);
    cl_command_queue q = clCreateCommandQueue(ctx, dev, 0, &err);
    const char* cl_text = k_cl_src;
    cl_program prog = clCreateProgramWithSource(ctx, 1, &cl_text, nullptr, &err);
    if (clBuildProgram(prog, 1, &dev, "-cl-fp32-correctly-rounded-divide-sqrt", nullptr, nullptr) != CL_SUCCESS) return 1;
    auto buffer = [&](size_t n, float v) {
        std::vector<float> host(n, v);
        return clCreateBuffer(ctx, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, n * 4, host.data(), &err);
    };
    auto run = [&](const char* name, std::vector<cl_mem> args, float* a, size_t dims, const size_t* global,
                   double items) {
        cl_kernel k = clCreateKernel(prog, name, &err);
        for (cl_uint i = 0; i < args.size(); ++i) clSetKernelArg(k, i, sizeof(cl_mem), &args[i]);
        if (a) clSetKernelArg(k, static_cast<cl_uint>(args.size()), sizeof(float), a);
        const double t = best_of(5, [&] {
            clEnqueueNDRangeKernel(q, k, static_cast<cl_uint>(dims), nullptr, global, nullptr, 0, nullptr, nullptr);
            clFinish(q);
        });
        std::printf("cl %s %.3f\n", name, t * 1e9 / items);
        clReleaseKernel(k);
    };
    float a = 2.5f;
    const size_t gs[1] = {k_saxpy_n}, gb[2] = {k_blur_w, k_blur_h}, gp[1] = {k_poly_n};
    run("saxpy", {buffer(k_saxpy_n, 1.0f), buffer(k_saxpy_n, 0.5f)}, &a, 1, gs, k_saxpy_n);
    run("blur", {buffer(k_blur_w * k_blur_h, 0.3f), buffer(k_blur_w * k_blur_h, 0.0f)}, nullptr, 2, gb,
        k_blur_w * k_blur_h);
    run("poly", {buffer(2 * k_poly_n, 0.35f), buffer(2 * k_poly_n, 0.0f)}, nullptr, 1, gp, k_poly_n);
    return 0;
#else
    return 1;
#endif
}

// Runs this program again with `env` added; returns its standard output.
std::string run_self(const std::string& env) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    exe[n] = '\0';
    const std::string cmd = env + " '" + exe + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return {};
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
    return out;
}

#if LUM_BENCH_OPENCL
double cl_figure(const std::string& out, const char* name) {
    const std::string key = std::string("cl ") + name + " ";
    const size_t at = out.find(key);
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + key.size());
}
#endif

// Child: times loading the saxpy library from the disk cache.
int cache_hit_child() {
    auto u = compile_src(k_saxpy_src);
    const std::string src = lumk_jit_source(*u->programs[0]);
    const auto t0 = clock_type::now();
    (void)lumk_jit_compiler();  // the compiler probe, once per process
    const double probe = seconds_since(t0);
    std::string error;
    const auto t1 = clock_type::now();
    lumk_jit_entry_fn e = lumk_jit_compile(src, &error);
    const double hit = seconds_since(t1);
    std::printf("hit %.3f probe %.3f ok %d\n", hit * 1e3, probe * 1e3, e != nullptr);
    return 0;
}

}  // namespace

int main() {
    if (const char* child = std::getenv("LUM_BENCH_CHILD")) {
        if (std::strcmp(child, "opencl") == 0) return opencl_child();
        if (std::strcmp(child, "cachehit") == 0) return cache_hit_child();
        return 1;
    }
    char templ[] = "/tmp/lumk-bench-XXXXXX";
    if (!::mkdtemp(templ)) return 1;
    const fs::path cache = templ;
    ::setenv("LUM_KERNEL_CACHE", cache.c_str(), 1);

    auto u_saxpy = compile_src(k_saxpy_src), u_blur = compile_src(k_blur_src), u_poly = compile_src(k_poly_src);
    const lumk_program &p_saxpy = *u_saxpy->programs[0], &p_blur = *u_blur->programs[0],
                       &p_poly = *u_poly->programs[0];

    // cold compile with each compiler found (the driver itself keeps one per process)
    std::printf("cold compile of the blur kernel (JIT unit, driver flags):\n");
    const std::string blur_c = lumk_jit_source(p_blur);
    {
        FILE* f = std::fopen((cache / "cold.c").c_str(), "wb");
        std::fwrite(blur_c.data(), 1, blur_c.size(), f);
        std::fclose(f);
    }
    for (const char* cc : {"clang", "gcc"}) {
        if (!lumk_probe_compiler(cc)) continue;
        const std::string cmd = std::string(cc) + " " + lumk_jit_flags_cc + " -o '" + (cache / "cold.so").string() +
                                "' '" + (cache / "cold.c").string() + "' 2>&1";
        const double t = best_of(3, [&] {
            if (std::system(cmd.c_str()) != 0) std::printf("  %s failed\n", cc);
        });
        std::printf("  %-6s %7.1f ms\n", cc, t * 1e3);
    }

    std::string error;
    lumk_jit_entry_fn e_saxpy = lumk_jit_compile(lumk_jit_source(p_saxpy), &error);
    lumk_jit_entry_fn e_blur = lumk_jit_compile(blur_c, &error);
    lumk_jit_entry_fn e_poly = lumk_jit_compile(lumk_jit_source(p_poly), &error);
    if (!e_saxpy || !e_blur || !e_poly) {
        std::printf("native compile failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("compiler used by the driver: %s\n\n", lumk_jit_compiler().c_str());

    std::vector<float> sy(k_saxpy_n, 1.0f), sx(k_saxpy_n, 0.5f);
    std::vector<float> bin(k_blur_w * k_blur_h), bout(k_blur_w * k_blur_h);
    for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<float>(i % 101) * 0.01f;
    std::vector<double> px(k_poly_n), py(k_poly_n);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<double>(i % 2001) / 1000.0 - 1.0;
    const uint64_t a_bits = 0x40200000;  // 2.5f
    const uint64_t blur_n = k_blur_w * k_blur_h;

    runner r_saxpy(p_saxpy, std::vector<std::vector<float>*>{&sy, &sx}, k_saxpy_n, 0, {a_bits});
    runner r_blur(p_blur, std::vector<std::vector<float>*>{&bin, &bout}, blur_n, k_blur_w, {});
    runner r_poly(p_poly, std::vector<std::vector<double>*>{&px, &py}, k_poly_n, 0, {});

    struct row {
        const char* name;
        double items, native, cpp, scalar, cl1 = -1, cln = -1;
    };
    row rows[3] = {
        {"saxpy", double(k_saxpy_n), best_of(7, [&] { r_saxpy.native(e_saxpy, k_saxpy_n); }),
         best_of(7, [&] { kernel_cpp::saxpy(sy.data(), sx.data(), 2.5f, k_saxpy_n); }),
         best_of(2, [&] { r_saxpy.scalar(k_saxpy_n); })},
        {"blur", double(blur_n), best_of(5, [&] { r_blur.native(e_blur, blur_n); }),
         best_of(5, [&] { kernel_cpp::blur(bin.data(), bout.data(), k_blur_w, k_blur_h); }),
         best_of(2, [&] { r_blur.scalar(blur_n); })},
        {"polynomial", double(k_poly_n), best_of(5, [&] { r_poly.native(e_poly, k_poly_n); }),
         best_of(5, [&] { kernel_cpp::poly(px.data(), py.data(), k_poly_n); }), best_of(2, [&] { r_poly.scalar(k_poly_n); })},
    };

#if LUM_BENCH_OPENCL
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const std::string one = run_self("LUM_BENCH_CHILD=opencl POCL_MAX_PTHREAD_COUNT=1");
    const std::string all = run_self("LUM_BENCH_CHILD=opencl POCL_MAX_PTHREAD_COUNT=" + std::to_string(threads));
    const char* cl_names[3] = {"saxpy", "blur", "poly"};
    for (int i = 0; i < 3; ++i) {
        rows[i].cl1 = cl_figure(one, cl_names[i]);
        rows[i].cln = cl_figure(all, cl_names[i]);
    }
#endif

    std::printf("ns per item (one thread unless noted)   native    C++   native/C++   scalar  scalar/native  "
                "PoCL 1 thr  PoCL all\n");
    for (const row& r : rows) {
        const double n = r.native * 1e9 / r.items, c = r.cpp * 1e9 / r.items, s = r.scalar * 1e9 / r.items;
        std::printf("  %-36s %7.3f %7.3f %9.2fx %9.2f %11.1fx ", r.name, n, c, n / c, s, s / n);
        if (r.cl1 >= 0) std::printf("%10.3f %9.3f\n", r.cl1, r.cln);
        else std::printf("%10s %9s\n", "-", "-");
    }

    // disk-cache hit in a new process (the saxpy library is in the cache now)
    const std::string hit = run_self("LUM_BENCH_CHILD=cachehit LUM_KERNEL_CACHE='" + cache.string() + "'");
    std::printf("\ndisk-cache hit in a new process (ms): %s", hit.c_str());

    // warm per-launch cost of asking for native code
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_AUTO);
    std::shared_ptr<const lumk_unit> cu = u_saxpy;
    lumk_jit_request(cu, &p_saxpy, [](std::function<void()> job) {
        job();
        return true;
    });
    const int calls = 10'000'000;
    const double t = best_of(3, [&] {
        for (int i = 0; i < calls; ++i) lumk_jit_request(cu, &p_saxpy, nullptr);
    });
    std::printf("warm request + AOT bind check per launch: %.1f ns (status %s)\n", t * 1e9 / calls,
                lumk_jit_status(&p_saxpy).c_str());
    std::error_code ec;
    fs::remove_all(cache, ec);
    return 0;
}
