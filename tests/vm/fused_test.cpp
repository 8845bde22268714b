// The fused fast paths against the generic code they stand for: generated
// expressions, each tested by a conditional jump, run both ways (the generic
// code after a fused instruction prints "slow" first, so a declined fast path
// shows), short and long (9 to 16 items). The cells long expressions write:
// tests/memory/fused_cells_test.cpp.
// Destinations, paths, members of self and fused calls are in fused.lasm.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/vm/lasm_support.h"

namespace {

// Generated expressions over number slots and constants, in postfix order.
struct expression {
    std::vector<std::string> items;  // fexpr items: l:S, g:S, i:N, f:X and operators
    bool may_decline = false;        // divides, or a bit operator meets a float
};

class generator {
public:
    explicit generator(uint32_t seed) : rng_(seed) {}

    expression next() {
        expression e;
        consts_ = 0;
        tree(e, 1 + pick(3));
        return e;
    }
    // An expression of `min` to `max` items (deeper trees, drawn until one fits).
    expression next_between(size_t min, size_t max) {
        for (;;) {
            expression e;
            consts_ = 0;
            tree(e, 3 + pick(3));
            if (e.items.size() >= min && e.items.size() <= max) return e;
        }
    }
    // Operands are local slots only (no global loads), or either.
    void locals_only(bool on) { locals_only_ = on; }

private:
    // Emits a subtree; true when its value is a float.
    bool tree(expression& e, uint32_t depth) {
        if (depth == 0 || pick(3) == 0) return leaf(e);
        if (pick(6) == 0) {
            const bool f = tree(e, depth - 1);
            e.items.push_back("neg");
            return f;
        }
        static const char* ops[] = {"add", "sub", "mul", "div", "mod", "and", "or",
                                    "xor", "eq",  "ne",  "lt",  "le",  "ge", "gt"};
        const uint32_t op = pick(14);
        const bool f = tree(e, depth - 1) | tree(e, depth - 1);
        e.items.push_back(ops[op]);
        e.may_decline = e.may_decline || op == 3 || op == 4 || (op <= 7 && op >= 5 && f);
        return op < 5 && f;
    }
    bool leaf(expression& e) {
        static const char* ints[] = {"0", "1", "-1", "3", "-7", "9223372036854775807", "-9223372036854775808"};
        static const char* floats[] = {"2.5", "-0.5", "0.0", "3.0"};
        const uint32_t k = consts_ < 6 ? pick(4) : 0;
        if (k == 0) {
            const uint32_t slot = pick(slots);
            const bool global = !locals_only_ && pick(4) == 0;
            e.items.push_back((global ? "g:" : "l:") + std::to_string(slot));  // main's slots are the globals
            return slot == 2 || slot == 4;
        }
        ++consts_;
        e.items.push_back(k == 1 ? std::string("f:") + floats[pick(4)] : std::string("i:") + ints[pick(7)]);
        return k == 1;
    }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    std::mt19937 rng_;
    uint32_t consts_ = 0;
    bool locals_only_ = false;

public:
    static constexpr uint32_t slots = 5;
};

// The generic instructions for `e` that leave its value in the top place.
std::string generic(const expression& e) {
    std::string code;
    bool first = true;
    for (const std::string& item : e.items) {
        const std::string kind = item.substr(0, 2);
        if (kind == "l:" || kind == "g:" || kind == "i:" || kind == "f:") {
            code += first ? "" : " | push";
            code += (kind == "l:" ? " | ld.l " : kind == "g:" ? " | ld.g " : kind == "i:" ? " | ldi " : " | ldf ") +
                    item.substr(2);
            first = false;
        } else {
            code += " | " + item;
        }
    }
    return code;
}

std::string joined_items(const expression& e) {
    std::string s;
    for (const std::string& item : e.items) s += " " + item;
    return s;
}

// Runs each expression twice as a fused instruction (with the generic code as
// its fallback, which prints "slow" first) and as the generic code alone,
// followed by a conditional jump on its value; both must print the same values
// and warnings, and only expressions that may decline may take the generic
// path. The number of declined runs.
int expect_agreement(const std::vector<expression>& expressions) {
    const char* values[generator::slots] = {"ldi 6", "ldi -2", "ldf 1.5", "ldi 9223372036854775807", "ldf -4.0"};
    // Everything runs twice (slot 7 counts the rounds): first from the code,
    // then from the plans the fused instructions kept.
    std::string head = ".program \"diff\"\n.native print\n.block main kind=top slots=8\n";
    for (uint32_t s = 0; s < generator::slots; ++s)
        head += "push | ld.l " + std::to_string(s) + " | push | " + values[s] + " | assign | pop\n";
    head += "push | ld.l 7 | push | ldi 0 | assign | pop | push\nround: pop | push | ld.l 7 | inc | pop\n";
    std::string fused = head, plain = head;
    for (size_t n = 0; n < expressions.size(); ++n) {
        const expression& e = expressions[n];
        const std::string k = std::to_string(n);
        const std::string slow = "push | frame 1 | lds \"slow " + k + "\" | farg 0 | ncall @print | pop";
        // The value is tested by a conditional jump (jnz or jz; "taken" when it is not), then printed.
        const std::string jump = n % 4 < 2 ? " | jnz n" : " | jz n";
        const std::string test = jump + k + " | push | frame 1 | lds \"taken\" | farg 0 | ncall @print | pop\n" +
                                 "n" + k + ": dup | frame 1 | farg 0 | ncall @print | pop | pop\n";
        if (n % 2 == 0) {  // the value on top
            fused += "push | fexpr dst=none" + joined_items(e) + " skip=s" + k + " | " + slow + generic(e) + "\n";
            plain += "push" + generic(e) + test;
        } else {  // the value into local 6, whose cell is then the top
            fused += "push | fexpr dst=l:6" + joined_items(e) + " skip=s" + k + " | " + slow + " | ld.l 6 | push" +
                     generic(e) + " | assign\n";
            plain += "push | ld.l 6 | push" + generic(e) + " | assign" + test;
        }
        fused += "s" + k + ": " + test.substr(3);
    }
    const std::string again = "push | ld.l 7 | push | ldi 2 | lt | jnz round | pop\n.end\n";
    fused += again;
    plain += again;
    const lasmtest::outcome f = lasmtest::run(lasmtest::unfold(fused), "diff.lasm");
    const lasmtest::outcome p = lasmtest::run(lasmtest::unfold(plain), "diff.lasm");
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, p.err);
    // Without the "slow" lines the outputs are equal; only dividing expressions decline.
    std::istringstream lines(f.out);
    std::string line, values_only;
    int declined = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("slow ", 0) == 0) {
            const expression& e = expressions.at(std::stoul(line.substr(5)));
            EXPECT_TRUE(e.may_decline) << "declined:" << joined_items(e);
            ++declined;
            continue;
        }
        values_only += line + "\n";
    }
    EXPECT_EQ(values_only, p.out);
    return declined;
}

}  // namespace

// Expressions of up to 15 items over locals, globals and constants.
TEST(FusedExpression, AgreesWithTheGenericCodeOnGeneratedExpressions) {
    generator gen(7);
    std::vector<expression> expressions;
    for (int n = 0; n < 300; ++n) expressions.push_back(gen.next());
    EXPECT_GT(expect_agreement(expressions), 0);
}

// Long expressions (9 to 16 items): over local slots and constants, the form
// the interpreter runs straight, and with global loads among them.
TEST(FusedExpression, AgreesWithTheGenericCodeOnLongGeneratedExpressions) {
    generator gen(11);
    std::vector<expression> expressions;
    for (int n = 0; n < 400; ++n) {
        gen.locals_only(n % 4 != 0);
        expressions.push_back(gen.next_between(9, 16));
    }
    size_t sizes[17] = {};
    for (const expression& e : expressions) ++sizes[e.items.size()];
    for (size_t n = 9; n <= 16; ++n) EXPECT_GT(sizes[n], 0u) << n << " items";
    EXPECT_GT(expect_agreement(expressions), 0);
}
