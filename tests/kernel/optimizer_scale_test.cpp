// The optimizer on generated kernels with thousands of registers: optimized
// and plain programs agree on every output (the allocator keeps large
// interference graphs in another form than small ones).

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/checker_test_util.h"

using namespace ktest;

namespace {

// Random kernels of a few hundred statements over i32 locals: declarations,
// assignments, stores, if / else-if chains, counted loops and while loops
// left by break. Every name is declared before it is read.
class kernel_gen {
public:
    explicit kernel_gen(uint32_t seed) : rng_(seed) {}

    std::string kernel(int statements) {
        std::string src = "kernel k(i32* out, const i32* src, i32 n) -> i32 reduce(+) {\n";
        src += block(0, statements);
        std::string tail = expr(2);
        src += "    out[gid % 16u] = " + tail + ";\n";
        tail = expr(2);
        return src + "    return " + tail + ";\n}\n";
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    std::string var() { return vars_ ? "v" + std::to_string(pick(vars_)) : "n"; }

    std::string expr(int depth) {
        if (depth == 0 || pick(3) == 0) {
            switch (pick(4)) {
                case 0: return std::to_string(pick(100));
                case 1: return "src[(gid + " + std::to_string(pick(8)) + "u) % 16u]";
                case 2: return "n";
                default: return var();
            }
        }
        static const char* const ops[] = {"+", "-", "*", "^", "&", "|"};
        std::string a = expr(depth - 1);
        std::string b = expr(depth - 1);
        if (pick(6) == 0) return "min(" + a + ", " + b + ")";
        return "(" + a + " " + ops[pick(6)] + " " + b + ")";
    }

    std::string cond() {
        static const char* const cmp[] = {"<", ">", "==", "!=", "<=", ">="};
        std::string a = expr(1);
        std::string b = expr(1);
        return a + " " + cmp[pick(6)] + " " + b;
    }

    // A braced body: its declarations go out of scope after it.
    std::string body(int depth, int statements) {
        const int saved = vars_;
        std::string s = "{\n" + block(depth + 1, statements) + "}";
        vars_ = saved;
        return s;
    }

    std::string block(int depth, int statements) {
        std::string s;
        for (int i = 0; i < statements; ++i) {
            const int kind = depth > 2 ? pick(4) : pick(9);
            if (kind <= 2) {
                std::string e = expr(2);
                s += "i32 v" + std::to_string(vars_++) + " = " + e + ";\n";
            } else if (kind == 3) {
                std::string v = var();
                std::string e = expr(2);
                s += (v == "n" ? "out[0]" : v) + " = " + e + ";\n";
            } else if (kind == 4) {
                std::string c = cond();
                s += "if (" + c + ") " + body(depth, 1 + pick(3));
                for (int links = pick(3); links > 0; --links) {
                    c = cond();
                    s += " else if (" + c + ") " + body(depth, 1 + pick(3));
                }
                if (pick(2)) s += " else " + body(depth, 1 + pick(3));
                s += "\n";
            } else if (kind == 5) {
                const std::string i = "i" + std::to_string(depth);
                s += "for (i32 " + i + " = 0; " + i + " < n % 4; " + i + "++) " + body(depth, 1 + pick(3)) + "\n";
            } else if (kind == 6) {
                std::string c = cond();
                const int saved = vars_;
                s += "while (" + c + ") {\n" + block(depth + 1, 1 + pick(2)) + "break;\n}\n";
                vars_ = saved;
            } else {
                std::string e = expr(2);
                s += "out[(gid + " + std::to_string(pick(4)) + "u) % 16u] = " + e + ";\n";
            }
        }
        return s;
    }

    std::mt19937 rng_;
    int vars_ = 0;
};

}  // namespace

TEST(OptimizerScale, LargeGeneratedKernelsMatchPlainRuns) {
    // Kernels past the size where the allocator keeps its interference graph
    // as a bit matrix: optimized and plain runs agree on every output.
    uint32_t large = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const std::string src = kernel_gen(seed).kernel(260);
        const compiled plain = compile(src, false), opt = compile(src, true);
        ASSERT_TRUE(plain.ok()) << seed << ": " << plain.err.line << ":" << plain.err.column << " "
                                << plain.err.message << "\n" << src;
        ASSERT_TRUE(opt.ok()) << opt.err.message;
        const lumk_program &pp = *plain.unit->programs[0], &po = *opt.unit->programs[0];
        if (pp.reg_count - pp.constants.size() > 2048) ++large;
        EXPECT_LT(po.reg_count, pp.reg_count);
        for (const uint64_t n : {0ull, 3ull, 7ull}) {
            std::vector<int32_t> src_values(16);
            for (int i = 0; i < 16; ++i) src_values[i] = static_cast<int32_t>((seed * 31 + i * 17 + n) % 97) - 40;
            const auto a = run_copies(po, 16, {buffer::of(std::vector<int32_t>(16, 1)), buffer::of(src_values)}, {n});
            const auto b = run_copies(pp, 16, {buffer::of(std::vector<int32_t>(16, 1)), buffer::of(src_values)}, {n});
            expect_same_runs(a, b, "seed " + std::to_string(seed) + ", n " + std::to_string(n));
        }
    }
    EXPECT_GE(large, 8u);
}
