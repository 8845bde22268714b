// Kernel compiler and optimizer benchmarks.
//
//   compile:  a generated kernel unit of about 2000 lines (structs, constants,
//             inline helpers, entry kernels with loops, branches and struct
//             access), compiled with the optimizer on and off; the generator
//             writes an equivalent hand-style C file beside it, and the same run
//             times `gcc -fsyntax-only` on that file.
//   locals:   one kernel with 8000 locals all live at once (each later
//             definition interferes with every one of them), compiled with the
//             optimizer on and off; register allocation must stay near the
//             plain compile (target: under 1 s and 100 MB with the optimizer).
//   run:      the scalar interpreter on saxpy, a mandelbrot-style escape loop
//             and a struct-heavy particle step, each compiled with the
//             optimizer on and off, next to the same computation as a plain
//             C++ loop.
//
// After the benchmarks a summary prints the figures, the ratios and whether
// the targets hold (compile at least 5x faster than gcc -fsyntax-only;
// optimized never slower than plain, at least 1.3x faster on the struct
// kernel).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/compiler/checker.h"
#include "kernel/compiler/compile.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/scalar.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Figures collected by the benchmarks for the summary (single-threaded bench).
std::map<std::string, double> g_figures;

// ---- the generated unit -------------------------------------------------------

struct generated {
    std::string kernel;  // kernel source
    std::string c;       // the same declarations as hand-written C
    uint32_t lines = 0;
    uint32_t kernels = 0;
};

std::string fixed(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

generated generate_unit(uint32_t target_lines) {
    std::ostringstream k, c;
    k << "// generated kernel unit\n"
         "struct Item { f32 w; f32 h; u32 id; i32 bias; }\n"
         "struct Pair { Item a; Item b; f32 mix[4]; }\n"
         "const f32 SCALE = 0.25f;\n"
         "const i32 LIMIT = 12;\n\n";
    c << "/* generated: the kernel unit as hand-written C */\n"
         "#include <stdint.h>\n#include <math.h>\n"
         "typedef float f32; typedef double f64; typedef int32_t i32; typedef uint32_t u32;\n"
         "typedef struct { f32 w; f32 h; u32 id; i32 bias; } Item;\n"
         "typedef struct { Item a; Item b; f32 mix[4]; } Pair;\n"
         "static const f32 SCALE = 0.25f;\n"
         "static const i32 LIMIT = 12;\n"
         "static inline i32 min_i32(i32 a, i32 b) { return b < a ? b : a; }\n\n";
    const uint32_t helpers = 8;
    for (uint32_t m = 0; m < helpers; ++m) {
        const std::string f = fixed(0.1 * (m + 1));
        k << "kernel inline blend" << m << "(f32 x, f32 y) -> f32 {\n"
          << "    f32 t = x * " << f << "f + y;\n"
          << "    if (t > 1.0f) {\n"
          << "        t = t - 1.0f;\n"
          << "    }\n"
          << "    return t * SCALE;\n"
          << "}\n\n";
        c << "static inline f32 blend" << m << "(f32 x, f32 y) {\n"
          << "    f32 t = x * " << f << "f + y;\n"
          << "    if (t > 1.0f) {\n"
          << "        t = t - 1.0f;\n"
          << "    }\n"
          << "    return t * SCALE;\n"
          << "}\n\n";
    }
    generated g;
    auto count_lines = [&] { return static_cast<uint32_t>(std::count(k.view().begin(), k.view().end(), '\n')); };
    while (count_lines() < target_lines) {
        const uint32_t i = g.kernels++;
        const std::string body =
            "    f32 acc = 0.0f;\n"
            "    i32 lim = %MIN% + " + std::to_string(i % 3) + ";\n"
            "    for (i32 i = 0; i < lim; i++) {\n"
            "        f32 v = src[(gid + u32(i)) % 64u] * s;\n"
            "        if (v > " + fixed(0.5 + 0.01 * (i % 50)) + "f) {\n"
            "            acc += blend" + std::to_string(i % helpers) + "(v, acc);\n"
            "        } else {\n"
            "            acc -= v * SCALE;\n"
            "        }\n"
            "    }\n"
            "    Pair p = pairs[gid % 8u];\n"
            "    f32 w = p.a.w * p.b.h + p.mix[" + std::to_string(i % 4) + "];\n"
            "    i32 b = p.a.bias + p.b.bias * " + std::to_string(i % 5 + 1) + ";\n"
            "    u32 id = p.a.id ^ p.b.id;\n"
            "    if (id % 2u == 0u) {\n"
            "        w = w + f32(b);\n"
            "    } else {\n"
            "        w = w - f32(b) * 0.5f;\n"
            "    }\n"
            "    f32 r = 0.0f;\n"
            "    i32 j = 0;\n"
            "    while (j < " + std::to_string(3 + i % 4) + ") {\n"
            "        r = r * 0.5f + w * f32(j);\n"
            "        j++;\n"
            "    }\n"
            "    out[gid] = acc + r + w;\n";
        auto with_min = [&](const std::string& text, const std::string& min_call, const std::string& indent) {
            std::string s = text;
            s.replace(s.find("%MIN%"), 5, min_call);
            std::string out;
            size_t pos = 0;
            while (pos < s.size()) {
                const size_t nl = s.find('\n', pos);
                out += indent + s.substr(pos, nl - pos + 1);
                pos = nl + 1;
            }
            return out;
        };
        k << "kernel work" << i << "(f32* out, const f32* src, const Pair* pairs, i32 n, f32 s) {\n"
          << with_min(body, "min(n, LIMIT)", "") << "}\n\n";
        // C writes conversions as casts.
        std::string c_body = body;
        for (const char* t : {"f32(", "u32("}) {
            for (size_t at = c_body.find(t); at != std::string::npos; at = c_body.find(t, at + 6))
                c_body.replace(at, 4, std::string("(") + std::string(t, 3) + ")(");
        }
        c << "void work" << i << "(f32* out, const f32* src, const Pair* pairs, i32 n, f32 s, u32 gsize) {\n"
          << "    for (u32 gid = 0; gid < gsize; gid++) {\n"
          << with_min(c_body, "min_i32(n, LIMIT)", "    ") << "    }\n}\n\n";
    }
    g.kernel = k.str();
    g.c = c.str();
    g.lines = count_lines();
    return g;
}

const generated& unit() {
    static const generated g = generate_unit(2000);
    return g;
}

std::filesystem::path unit_dir() {
    return std::filesystem::temp_directory_path() / "lumk_bench_kernel_compile";
}

// Writes unit.k and, beside it, unit.c; returns the C file's path.
std::filesystem::path write_unit_files() {
    const auto dir = unit_dir();
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "unit.k", std::ios::binary) << unit().kernel;
    std::ofstream(dir / "unit.c", std::ios::binary) << unit().c;
    return dir / "unit.c";
}

// ---- compiling ----------------------------------------------------------------

// The compile driver's steps with the optimizer switch: front end, then the
// checker with its optimize flag set as asked.
std::shared_ptr<lumk_compiled_unit> compile(const std::string& source, bool optimize, kerror& err) {
    auto out = std::make_shared<lumk_compiled_unit>();
    out->sources.push_back(lumk_source{source, "bench"});
    try {
        lumk_lexer lexer;
        std::vector<lumk_decl> decls = lumk_parse_sources(lexer, out->sources);
        lumk_checker checker(lexer.sources, decls, *out);
        checker.optimize = optimize ? 1 : 0;
        lumk_check_unit(checker);
    } catch (const kerror& e) {
        err = e;
        return nullptr;
    }
    return out;
}

std::shared_ptr<lumk_compiled_unit> compile_or_die(const std::string& source, bool optimize) {
    kerror err;
    std::shared_ptr<lumk_compiled_unit> u;
    if (optimize)
        lumk_compile_unit(u, source, "bench", err, {});  // the production path
    else
        u = compile(source, false, err);
    if (!u) {
        std::fprintf(stderr, "compile error %s:%u:%u: %s\n  %s\n", err.file.c_str(), err.line, err.column,
                     err.message.c_str(), err.source_line.c_str());
        std::exit(1);
    }
    return u;
}

uint64_t instructions_of(const lumk_compiled_unit& u) {
    uint64_t n = 0;
    for (const auto& p : u.programs) n += p->code.size() + (p->prologue ? p->prologue->code.size() : 0);
    return n;
}

// Median of a set of samples.
double median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Samples of several variants taken in turn, one of each per round, so that a
// change of machine load hits all of them alike. Times are medians over the
// rounds; a ratio of two variants is the median of their per-round ratios
// (samples taken moments apart share the machine's state).
struct rounds {
    std::map<std::string, std::vector<double>> ns;
    template <class F>
    void time(const std::string& key, F&& body) {
        const auto t0 = clock_type::now();
        body();
        ns[key].push_back(std::chrono::duration<double, std::nano>(clock_type::now() - t0).count());
    }
    double best_ns(const std::string& key) const {
        const auto& v = ns.at(key);
        return v.empty() ? std::nan("") : *std::min_element(v.begin(), v.end());
    }
    double median_ns(const std::string& key) const { return median(ns.at(key)); }
    double ratio(const std::string& num, const std::string& den) const {
        const auto &a = ns.at(num), &b = ns.at(den);
        std::vector<double> q;
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) q.push_back(a[i] / b[i]);
        return median(q);
    }

    // One round: every variant once, starting with a different one each round
    // so that none always runs right after the same neighbour (cold caches).
    using variant = std::pair<std::string, std::function<void()>>;
    void round(const std::vector<variant>& variants) {
        const size_t n = variants.size();
        for (size_t k = 0; k < n; ++k) {
            const variant& v = variants[(count + k) % n];
            time(v.first, v.second);
        }
        ++count;
    }
    size_t count = 0;
};

// One round: compile with the optimizer, compile without it, run
// gcc -fsyntax-only on the equivalent C file.
void BM_CompileVsGcc(benchmark::State& state) {
    const std::string& src = unit().kernel;
    const auto c_file = write_unit_files();
    const std::string cmd = "gcc -fsyntax-only -w \"" + c_file.string() + "\" >/dev/null 2>&1";
    const bool have_gcc = std::system("gcc --version >/dev/null 2>&1") == 0;
    uint64_t insns_opt = 0, insns_plain = 0, regs_opt = 0, regs_plain = 0;
    auto largest = [](const lumk_compiled_unit& u) {
        uint64_t r = 0;
        for (const auto& p : u.programs) r = std::max<uint64_t>(r, p->reg_count);
        return r;
    };
    rounds r;
    int rc = 0;
    std::vector<rounds::variant> variants = {
        {"opt",
         [&] {
             auto u = compile_or_die(src, true);
             insns_opt = instructions_of(*u);
             regs_opt = largest(*u);
         }},
        {"plain",
         [&] {
             auto u = compile_or_die(src, false);
             insns_plain = instructions_of(*u);
             regs_plain = largest(*u);
         }},
    };
    if (have_gcc) variants.push_back({"gcc", [&] { rc |= std::system(cmd.c_str()); }});
    for (auto _ : state) r.round(variants);
    if (rc != 0) {
        state.SkipWithError("gcc -fsyntax-only failed on the generated C");
        return;
    }
    const double opt_ms = r.median_ns("opt") / 1e6, plain_ms = r.median_ns("plain") / 1e6;
    const double gcc_ms = have_gcc ? r.median_ns("gcc") / 1e6 : std::nan("");
    g_figures["compile_best_ms_opt"] = r.best_ns("opt") / 1e6;
    g_figures["gcc_best_ms"] = have_gcc ? r.best_ns("gcc") / 1e6 : std::nan("");
    g_figures["gcc_over_opt"] = have_gcc ? r.ratio("gcc", "opt") : std::nan("");
    state.counters["lines"] = unit().lines;
    state.counters["opt_ms"] = opt_ms;
    state.counters["plain_ms"] = plain_ms;
    state.counters["gcc_ms"] = gcc_ms;
    state.counters["opt_insns"] = static_cast<double>(insns_opt);
    g_figures["compile_ms_opt"] = opt_ms;
    g_figures["compile_ms_noopt"] = plain_ms;
    g_figures["gcc_ms"] = gcc_ms;
    g_figures["instructions_opt"] = static_cast<double>(insns_opt);
    g_figures["instructions_noopt"] = static_cast<double>(insns_plain);
    g_figures["max_regfile_opt"] = static_cast<double>(regs_opt);
    g_figures["max_regfile_noopt"] = static_cast<double>(regs_plain);
}
BENCHMARK(BM_CompileVsGcc)->Iterations(25)->Unit(benchmark::kMillisecond);

// 8000 locals, all live until a sum over them at the end.
std::string many_locals_source() {
    std::string src = "kernel many(i32* o) {\n";
    for (int i = 0; i < 8000; ++i)
        src += "    i32 v" + std::to_string(i) + " = o[" + std::to_string(i % 64) + "] + " + std::to_string(i) + ";\n";
    src += "    i32 s = 0;\n";
    for (int i = 0; i < 8000; ++i) src += "    s += v" + std::to_string(i) + ";\n";
    return src + "    o[gid] = s;\n}\n";
}

void BM_ManyLocals(benchmark::State& state) {
    const std::string src = many_locals_source();
    uint64_t regs_opt = 0, regs_plain = 0;
    rounds r;
    const std::vector<rounds::variant> variants = {
        {"opt", [&] { regs_opt = compile_or_die(src, true)->programs[0]->reg_count; }},
        {"plain", [&] { regs_plain = compile_or_die(src, false)->programs[0]->reg_count; }},
    };
    for (auto _ : state) r.round(variants);
    state.counters["opt_ms"] = r.median_ns("opt") / 1e6;
    state.counters["plain_ms"] = r.median_ns("plain") / 1e6;
    g_figures["locals_ms_opt"] = r.median_ns("opt") / 1e6;
    g_figures["locals_ms_noopt"] = r.median_ns("plain") / 1e6;
    g_figures["locals_regfile_opt"] = static_cast<double>(regs_opt);
    g_figures["locals_regfile_noopt"] = static_cast<double>(regs_plain);
}
BENCHMARK(BM_ManyLocals)->Iterations(4)->Unit(benchmark::kMillisecond);

// ---- running ------------------------------------------------------------------

const char* k_run_source = R"(
kernel saxpy(f32* y, const f32* x, f32 a) {
    y[gid] = a * x[gid] + y[gid];
}

kernel mandel(u32* out, f32 x0, f32 y0, f32 step, u32 width, u32 maxit) {
    f32 cx = x0 + f32(gid % width) * step;
    f32 cy = y0 + f32(gid / width) * step;
    f32 zx = 0.0f;
    f32 zy = 0.0f;
    u32 it = 0u;
    while (it < maxit && zx * zx + zy * zy < 4.0f) {
        f32 t = zx * zx - zy * zy + cx;
        zy = 2.0f * zx * zy + cy;
        zx = t;
        it += 1u;
    }
    out[gid] = it;
}

struct Body { f32 px; f32 py; f32 pz; f32 vx; f32 vy; f32 vz; f32 mass; u32 flags; }
struct Env { f32 gx; f32 gy; f32 gz; f32 dt; f32 drag; f32 ground; }

kernel inline advance(Body b, const Env* env) -> Body {
    Body r = b;
    r.vx = (b.vx + env[0].gx * env[0].dt) * env[0].drag;
    r.vy = (b.vy + env[0].gy * env[0].dt) * env[0].drag;
    r.vz = (b.vz + env[0].gz * env[0].dt) * env[0].drag;
    r.px = b.px + r.vx * env[0].dt;
    r.py = b.py + r.vy * env[0].dt;
    r.pz = b.pz + r.vz * env[0].dt;
    if (r.py < env[0].ground) {
        r.py = env[0].ground;
        r.vy = -r.vy * 0.5f;
        r.flags = r.flags | 1u;
    }
    return r;
}

kernel bodies(Body* bs, const Env* env) {
    Body b = bs[gid];
    for (i32 s = 0; s < 4; s++) {
        b = advance(b, env);
    }
    bs[gid] = b;
}
)";

struct Body {
    float px, py, pz, vx, vy, vz, mass;
    uint32_t flags;
};
struct Env {
    float gx, gy, gz, dt, drag, ground;
};

const lumk_program& program_named(const lumk_compiled_unit& u, const std::string& name) {
    for (const auto& p : u.programs)
        if (p->name == name) return *p;
    std::fprintf(stderr, "no kernel '%s'\n", name.c_str());
    std::exit(1);
}

// One lane runner's setup, as a launch prepares it: constants, sizes and
// arguments in the template, the prologue run once on it.
//
// The interpreter's speed depends on where the register file lies relative to
// the code (address aliasing between register stores and later loads), by up
// to 40% on this machine. So that neither variant is favoured by where the
// allocator happened to put its register file, each run moves the registers
// to the next of 16 placements spread over a 4 KiB page (state carries over).
struct lane {
    static constexpr size_t k_placements = 16;
    const lumk_program* p = nullptr;
    std::vector<kreg> storage;
    size_t at = 0;  // index of register 0 in storage
    size_t runs = 0;
    std::vector<kptr> ptrs;
    std::vector<uint64_t> frame;

    kreg* regs() { return storage.data() + at; }

    lane(const lumk_program& prog, uint64_t n, uint64_t width, const std::vector<uint64_t>& values,
         const std::vector<std::pair<void*, size_t>>& buffers)
        : p(&prog) {
        storage.resize(prog.reg_count + 512 + 8);
        kreg* regs = this->regs();
        for (uint32_t i = 0; i < prog.reg_count; ++i) regs[i].u = 0;
        for (const lumk_const& c : prog.constants) regs[c.reg].u = c.bits;
        regs[prog.gsize].u = n;
        regs[prog.gsize_x].u = width;
        regs[prog.gsize_y].u = n / (width ? width : 1);
        ptrs.resize(prog.ptr_count + (prog.frame_bytes ? 1 : 0));
        size_t vi = 0;
        for (const lumk_param& prm : prog.params) {
            if (prm.type.is_pointer) {
                const auto& [base, bytes] = buffers.at(prm.slot);
                ptrs[prm.slot] = kptr{static_cast<uint8_t*>(base), bytes / prm.size, prm.size, bytes};
            } else {
                regs[prm.reg].u = values.at(vi++);
            }
        }
        if (prog.frame_bytes) {
            frame.assign((prog.frame_bytes + 7) / 8, 0);
            ptrs[prog.frame_slot] =
                kptr{reinterpret_cast<uint8_t*>(frame.data()), 1, prog.frame_bytes, prog.frame_bytes};
        }
        if (prog.prologue) {
            ktrap t{};
            lumk_run_scalar(*prog.prologue, regs, ptrs.data(), 0, 1, nullptr, &t, 0);
        }
    }
    void run(uint64_t n) {
        // placement k: k * 256 + (k % 4) * 8 bytes into the spare page
        const size_t k = runs++ % k_placements;
        const size_t to = k * 32 + (k % 4);
        std::memmove(storage.data() + to, storage.data() + at, p->reg_count * sizeof(kreg));
        at = to;
        ktrap t{};
        if (lumk_run_scalar(*p, regs(), ptrs.data(), 0, n, nullptr, &t, 0) != 0) {
            std::fprintf(stderr, "%s trapped: %s\n", p->name.c_str(), lumk_trap_message(*p, t).c_str());
            std::exit(1);
        }
    }
};

uint64_t f32b(float f) { return std::bit_cast<uint32_t>(f); }

const lumk_compiled_unit& run_unit(bool optimize) {
    static const auto opt = compile_or_die(k_run_source, true);
    static const auto plain = compile_or_die(k_run_source, false);
    return optimize ? *opt : *plain;
}

// Records the median ns per item of each variant and the per-round ratios.
void report(benchmark::State& state, const rounds& r, const std::string& kernel, uint64_t items) {
    for (const char* v : {"opt", "plain", "cpp"}) {
        const double per_item = r.median_ns(v) / static_cast<double>(items);
        state.counters[std::string(v) + "_ns_item"] = per_item;
        g_figures[kernel + "_" + (std::string(v) == "plain" ? "noopt" : v)] = per_item;
    }
    g_figures[kernel + "_gain"] = r.ratio("plain", "opt");
    g_figures[kernel + "_vs_cpp"] = r.ratio("opt", "cpp");
}

constexpr uint64_t k_saxpy_items = 1 << 20;
constexpr uint32_t k_mandel_width = 256, k_mandel_height = 128, k_mandel_maxit = 64;
constexpr uint64_t k_body_items = 1 << 16;

std::vector<Env> body_env() { return {Env{0.0f, -9.81f, 0.5f, 0.01f, 0.999f, 0.0f}}; }
std::vector<Body> body_init() {
    std::vector<Body> bs(k_body_items);
    for (uint64_t i = 0; i < bs.size(); ++i) {
        const float f = static_cast<float>(i % 977);
        bs[i] = Body{f, 0.001f * f, -f, 1.0f, 0.5f - 0.0001f * f, 0.25f, 1.0f, 0};
    }
    return bs;
}

void BM_Saxpy(benchmark::State& state) {
    std::vector<float> x(k_saxpy_items), y_opt(k_saxpy_items, 1.0f);
    for (uint64_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 1000) * 0.001f;
    std::vector<float> y_plain = y_opt, y_cpp = y_opt;
    const float a = 1.0001f;
    const uint64_t bytes = k_saxpy_items * 4;
    lane opt(program_named(run_unit(true), "saxpy"), k_saxpy_items, k_saxpy_items, {f32b(a)},
             {{y_opt.data(), bytes}, {x.data(), bytes}});
    lane plain(program_named(run_unit(false), "saxpy"), k_saxpy_items, k_saxpy_items, {f32b(a)},
               {{y_plain.data(), bytes}, {x.data(), bytes}});
    rounds r;
    const std::vector<rounds::variant> variants = {
        {"opt", [&] { opt.run(k_saxpy_items); }},
        {"plain", [&] { plain.run(k_saxpy_items); }},
        {"cpp", [&] {
            for (uint64_t i = 0; i < x.size(); ++i) y_cpp[i] = a * x[i] + y_cpp[i];
            benchmark::ClobberMemory();
         }},
    };
    for (auto _ : state) r.round(variants);
    report(state, r, "saxpy", k_saxpy_items);
}
BENCHMARK(BM_Saxpy)->Iterations(48)->Unit(benchmark::kMillisecond);

void BM_Mandel(benchmark::State& state) {
    const uint64_t n = uint64_t{k_mandel_width} * k_mandel_height;
    std::vector<uint32_t> out_opt(n), out_plain(n), out_cpp(n);
    const float x0 = -2.0f, y0 = -1.0f, step = 2.0f / k_mandel_height;
    const std::vector<uint64_t> args = {f32b(x0), f32b(y0), f32b(step), k_mandel_width, k_mandel_maxit};
    lane opt(program_named(run_unit(true), "mandel"), n, n, args, {{out_opt.data(), n * 4}});
    lane plain(program_named(run_unit(false), "mandel"), n, n, args, {{out_plain.data(), n * 4}});
    rounds r;
    const std::vector<rounds::variant> variants = {
        {"opt", [&] { opt.run(n); }},
        {"plain", [&] { plain.run(n); }},
        {"cpp", [&] {
            for (uint32_t gid = 0; gid < n; ++gid) {
                const float cx = x0 + static_cast<float>(gid % k_mandel_width) * step;
                const float cy = y0 + static_cast<float>(gid / k_mandel_width) * step;
                float zx = 0, zy = 0;
                uint32_t it = 0;
                while (it < k_mandel_maxit && zx * zx + zy * zy < 4.0f) {
                    const float t = zx * zx - zy * zy + cx;
                    zy = 2.0f * zx * zy + cy;
                    zx = t;
                    it += 1;
                }
                out_cpp[gid] = it;
            }
            benchmark::ClobberMemory();
         }},
    };
    for (auto _ : state) r.round(variants);
    report(state, r, "mandel", n);
}
BENCHMARK(BM_Mandel)->Iterations(32)->Unit(benchmark::kMillisecond);

void advance_cpp(Body& b, const Env* env) {
    Body r = b;
    r.vx = (b.vx + env[0].gx * env[0].dt) * env[0].drag;
    r.vy = (b.vy + env[0].gy * env[0].dt) * env[0].drag;
    r.vz = (b.vz + env[0].gz * env[0].dt) * env[0].drag;
    r.px = b.px + r.vx * env[0].dt;
    r.py = b.py + r.vy * env[0].dt;
    r.pz = b.pz + r.vz * env[0].dt;
    if (r.py < env[0].ground) {
        r.py = env[0].ground;
        r.vy = -r.vy * 0.5f;
        r.flags = r.flags | 1u;
    }
    b = r;
}

void BM_Bodies(benchmark::State& state) {
    std::vector<Env> env = body_env();
    std::vector<Body> b_opt = body_init(), b_plain = body_init(), b_cpp = body_init();
    const uint64_t bytes = k_body_items * sizeof(Body);
    lane opt(program_named(run_unit(true), "bodies"), k_body_items, k_body_items, {},
             {{b_opt.data(), bytes}, {env.data(), sizeof(Env)}});
    lane plain(program_named(run_unit(false), "bodies"), k_body_items, k_body_items, {},
               {{b_plain.data(), bytes}, {env.data(), sizeof(Env)}});
    rounds r;
    const std::vector<rounds::variant> variants = {
        {"opt", [&] { opt.run(k_body_items); }},
        {"plain", [&] { plain.run(k_body_items); }},
        {"cpp", [&] {
            for (uint64_t gid = 0; gid < b_cpp.size(); ++gid) {
                Body b = b_cpp[gid];
                for (int s = 0; s < 4; ++s) advance_cpp(b, env.data());
                b_cpp[gid] = b;
            }
            benchmark::ClobberMemory();
         }},
    };
    for (auto _ : state) r.round(variants);
    report(state, r, "bodies", k_body_items);
}
BENCHMARK(BM_Bodies)->Iterations(32)->Unit(benchmark::kMillisecond);

// The optimized and plain programs and the C++ loops compute the same thing.
bool results_agree() {
    bool ok = true;
    {
        std::vector<float> x(4096), y1(4096, 1.0f), y2(4096, 1.0f), y3(4096, 1.0f);
        for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) * 0.01f;
        lane a(program_named(run_unit(true), "saxpy"), 4096, 4096, {f32b(1.5f)},
               {{y1.data(), 4096 * 4}, {x.data(), 4096 * 4}});
        lane b(program_named(run_unit(false), "saxpy"), 4096, 4096, {f32b(1.5f)},
               {{y2.data(), 4096 * 4}, {x.data(), 4096 * 4}});
        a.run(4096);
        b.run(4096);
        for (size_t i = 0; i < x.size(); ++i) y3[i] = 1.5f * x[i] + y3[i];
        ok = ok && y1 == y2 && y1 == y3;
    }
    {
        const uint64_t n = 64 * 32;
        std::vector<uint32_t> o1(n), o2(n);
        const std::vector<uint64_t> args = {f32b(-2.0f), f32b(-1.0f), f32b(2.0f / 32), 64, 64};
        lane a(program_named(run_unit(true), "mandel"), n, n, args, {{o1.data(), n * 4}});
        lane b(program_named(run_unit(false), "mandel"), n, n, args, {{o2.data(), n * 4}});
        a.run(n);
        b.run(n);
        ok = ok && o1 == o2 && *std::max_element(o1.begin(), o1.end()) == 64;
    }
    {
        std::vector<Env> env = body_env();
        std::vector<Body> b1 = body_init(), b2 = body_init(), b3 = body_init();
        const size_t bytes = b1.size() * sizeof(Body);
        lane a(program_named(run_unit(true), "bodies"), b1.size(), b1.size(), {},
               {{b1.data(), bytes}, {env.data(), sizeof(Env)}});
        lane b(program_named(run_unit(false), "bodies"), b2.size(), b2.size(), {},
               {{b2.data(), bytes}, {env.data(), sizeof(Env)}});
        a.run(b1.size());
        b.run(b2.size());
        for (Body& x : b3)
            for (int s = 0; s < 4; ++s) advance_cpp(x, env.data());
        ok = ok && std::memcmp(b1.data(), b2.data(), bytes) == 0 && std::memcmp(b1.data(), b3.data(), bytes) == 0;
    }
    return ok;
}

void print_summary() {
    auto f = [](const std::string& k) {
        auto it = g_figures.find(k);
        return it == g_figures.end() ? std::nan("") : it->second;
    };
    std::printf("\n==== kernel compile / optimizer summary (medians over interleaved rounds) ====\n");
    std::printf("generated unit: %u lines, %u entry kernels (files in %s)\n", unit().lines, unit().kernels,
                unit_dir().string().c_str());
    std::printf("compile, optimizer on:  %8.3f ms (best %.3f), %6.0f instructions, largest register file %4.0f\n",
                f("compile_ms_opt"), f("compile_best_ms_opt"), f("instructions_opt"), f("max_regfile_opt"));
    std::printf("compile, optimizer off: %8.3f ms, %6.0f instructions, largest register file %4.0f\n",
                f("compile_ms_noopt"), f("instructions_noopt"), f("max_regfile_noopt"));
    std::printf("gcc -fsyntax-only:      %8.3f ms (best %.3f)\n", f("gcc_ms"), f("gcc_best_ms"));
    std::printf("8000 live locals, optimizer on:  %8.3f ms, register file %5.0f (target < 1000 ms)%s\n",
                f("locals_ms_opt"), f("locals_regfile_opt"), f("locals_ms_opt") < 1000 ? "" : ": NOT met");
    std::printf("8000 live locals, optimizer off: %8.3f ms, register file %5.0f\n", f("locals_ms_noopt"),
                f("locals_regfile_noopt"));
    const double speedup = f("gcc_over_opt");
    std::printf("compile vs gcc -fsyntax-only: %.1fx faster (target >= 5x): %s\n", speedup,
                speedup >= 5 ? "met" : "NOT met");
    std::printf("\n%-8s %12s %12s %12s %10s %10s\n", "kernel", "opt ns/item", "plain ns/it", "C++ ns/item",
                "plain/opt", "opt/C++");
    bool never_slower = true;
    for (const char* k : {"saxpy", "mandel", "bodies"}) {
        const std::string s = k;
        const double gain = f(s + "_gain");
        std::printf("%-8s %12.3f %12.3f %12.3f %9.2fx %9.1fx\n", k, f(s + "_opt"), f(s + "_noopt"), f(s + "_cpp"),
                    gain, f(s + "_vs_cpp"));
        // 3% tolerance: equal programs measure within that of each other
        never_slower = never_slower && gain >= 0.97;
    }
    const double body_gain = f("bodies_gain");
    std::printf("optimized never slower than plain: %s\n", never_slower ? "met" : "NOT met");
    std::printf("struct kernel gain %.2fx (target >= 1.3x): %s\n", body_gain, body_gain >= 1.3 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!results_agree()) {
        std::fprintf(stderr, "optimized, plain and C++ results differ\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
