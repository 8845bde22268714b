// Generator of random kernel source shared by the differential tests
// (optimizer on against off, engine against engine).
#pragma once

#include <random>
#include <string>

namespace ktest {

// Random kernels of a few hundred statements over i32 locals: declarations,
// assignments, stores, if / else-if chains, counted loops and while loops
// left by break. Every name is declared before it is read.
// With `own_stores` every store goes to out[gid] (an output of one element
// per work item), so that work items on several threads never write the same
// element; else stores go to out[(gid + k) % 16].
class kernel_gen {
public:
    explicit kernel_gen(uint32_t seed, bool own_stores = false) : rng_(seed), own_(own_stores) {}

    std::string kernel(int statements) {
        std::string src = "kernel k(i32* out, const i32* src, i32 n) -> i32 reduce(+) {\n";
        src += block(0, statements);
        std::string tail = expr(2);
        src += std::string(own_ ? "    out[gid]" : "    out[gid % 16u]") + " = " + tail + ";\n";
        tail = expr(2);
        return src + "    return " + tail + ";\n}\n";
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    std::string store() { return own_ ? "out[gid]" : "out[(gid + " + std::to_string(pick(4)) + "u) % 16u]"; }
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
                s += (v == "n" ? (own_ ? "out[gid]" : "out[0]") : v) + " = " + e + ";\n";
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
                s += store() + " = " + e + ";\n";
            }
        }
        return s;
    }

    std::mt19937 rng_;
    bool own_;
    int vars_ = 0;
};

}  // namespace ktest
