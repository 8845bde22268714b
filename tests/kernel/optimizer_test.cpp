// The optimizer and finalize on hand-built programs: every program is built
// twice, finalized with and without optimization, and both are run through the
// scalar interpreter the way a lane runner does (prologue once, then the work
// items on the same register file).

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel/compiler/finalize.h"
#include "kernel/compiler/kerror.h"
#include "kernel/compiler/optimizer.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"
#include "tests/kernel/checker_test_util.h"

namespace {

constexpr uint16_t kGid = 0, kGsize = 1, kAcc = 2, kGidX = 3, kGidY = 4, kGsizeX = 5, kGsizeY = 6;

uint64_t f32_bits(float f) { return std::bit_cast<uint32_t>(f); }

// Emits a program the way the checker does: registers from 7 upwards,
// constants as 32768 + pool index, one source line per instruction.
struct builder {
    std::shared_ptr<lumk_program> p = std::make_shared<lumk_program>();
    uint32_t regs = 7;
    uint32_t next_line = 1;

    builder() {
        p->name = "k";
        p->file = "test.k";
        p->line = 1;
        p->gid = kGid, p->gsize = kGsize, p->acc = kAcc, p->gid_x = kGidX, p->gid_y = kGidY;
        p->gsize_x = kGsizeX, p->gsize_y = kGsizeY;
        p->file_names = {"test.k"};
        p->reg_names = {"gid", "gsize", "", "gid_x", "gid_y", "gsize_x", "gsize_y"};
    }
    uint16_t reg() { return static_cast<uint16_t>(regs++); }
    uint16_t k(lumk_prim prim, uint64_t bits) {
        for (size_t i = 0; i < p->constants.size(); ++i)
            if (p->constants[i].prim == prim && p->constants[i].bits == bits) return static_cast<uint16_t>(32768 + i);
        p->constants.push_back(lumk_const{0, prim, bits});
        return static_cast<uint16_t>(32768 + p->constants.size() - 1);
    }
    uint16_t ki(int32_t v) { return k(LUMK_PRIM_I32, static_cast<uint64_t>(static_cast<int64_t>(v))); }
    uint16_t kf(float v) { return k(LUMK_PRIM_F32, f32_bits(v)); }
    uint16_t value_param(const std::string& name, lumk_prim prim) {
        const uint16_t r = reg();
        lumk_param prm;
        prm.name = name;
        prm.type.prim = prim;
        prm.reg = r;
        prm.size = lumk_prim_size(prim);
        p->params.push_back(prm);
        return r;
    }
    uint16_t ptr_param(const std::string& name, lumk_prim prim) {
        lumk_param prm;
        prm.name = name;
        prm.type.prim = prim;
        prm.type.is_pointer = 1;
        prm.slot = static_cast<uint16_t>(p->ptr_count++);
        prm.size = lumk_prim_size(prim);
        p->params.push_back(prm);
        return prm.slot;
    }
    uint32_t emit(uint16_t op, uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint64_t imm = 0) {
        p->code.push_back(lumk_insn{op, a, b, c, imm});
        p->lines.push_back(next_line++);
        p->file_indexes.push_back(0);
        return static_cast<uint32_t>(p->code.size() - 1);
    }
    uint32_t here() const { return static_cast<uint32_t>(p->code.size()); }
};

using build_fn = std::function<void(builder&)>;

struct built {
    std::shared_ptr<lumk_program> p;
    uint32_t regs_before;
};

built make(const build_fn& fn, bool optimize) {
    builder b;
    fn(b);
    const uint32_t before = b.regs;
    lumk_finalize_code(*b.p, b.regs, optimize);
    return {b.p, before};
}

// A lane run on copies of the buffers (in pointer-parameter order).
ktest::copied_run run(const lumk_program& p, uint64_t n, std::vector<ktest::buffer> buffers,
                      const std::vector<uint64_t>& values = {}, uint64_t width = 0) {
    return ktest::run_copies(p, n, std::move(buffers), values, width);
}
using ktest::buffer;
using ktest::expect_same_runs;

// Every register operand of a finalized program is below its register file.
void expect_operands_in_range(const lumk_program& p) {
    auto check = [&](const std::vector<lumk_insn>& code) {
        for (const lumk_insn& insn : code) {
            lumk_operand_slot ops[4];
            const uint32_t n = lumk_op_operands(insn.op, ops);
            for (uint32_t i = 0; i < n; ++i) {
                if (ops[i].letter != 'D' && ops[i].letter != 'R' && ops[i].letter != 'I') continue;
                EXPECT_LT(lumk_insn_field(insn, ops[i].field), p.reg_count) << lumk_op_name(insn.op);
            }
            if (lumk_op_is_jump(insn.op)) {
                EXPECT_LT(insn.imm, code.size());
            }
        }
        ASSERT_FALSE(code.empty());
        EXPECT_EQ(code.back().op, LUMK_END);
    };
    check(p.code);
    EXPECT_EQ(p.lines.size(), p.code.size());
    EXPECT_EQ(p.file_indexes.size(), p.code.size());
    if (p.prologue) {
        check(p.prologue->code);
        EXPECT_EQ(p.prologue->lines.size(), p.prologue->code.size());
        EXPECT_EQ(p.prologue->reg_count, p.reg_count);
    }
}

uint32_t count_op(const lumk_program& p, uint16_t op) {
    uint32_t n = 0;
    for (const lumk_insn& insn : p.code) n += insn.op == op;
    return n;
}

// ---- programs ---------------------------------------------------------------

// out[gid] = sum over i < n + 1 of f32(i) * (scale * 2 * f32(n + 1)) + f32(gid)
// with invariant work inside and outside the loop.
void invariant_loop(builder& b) {
    const uint16_t n = b.value_param("n", LUMK_PRIM_I32);
    const uint16_t scale = b.value_param("scale", LUMK_PRIM_F32);
    const uint16_t out = b.ptr_param("out", LUMK_PRIM_F32);
    const uint16_t s2 = b.reg(), n1 = b.reg(), n1f = b.reg(), i = b.reg(), sum = b.reg();
    const uint16_t w = b.reg(), fi = b.reg(), term = b.reg(), g = b.reg(), res = b.reg(), q = b.reg();
    b.emit(LUMK_MUL_F32, s2, scale, b.kf(2.0f));
    b.emit(LUMK_ADD_I32, n1, n, b.ki(1));
    b.emit(LUMK_CVT_S_F32, n1f, n1);
    b.emit(LUMK_DIV_I32, q, n, b.ki(3));  // may trap: stays
    b.emit(LUMK_MOV, i, b.ki(0));
    b.emit(LUMK_MOV, sum, b.kf(0.0f));
    const uint32_t head = b.emit(LUMK_JFLT_S, i, n1, 0);
    b.emit(LUMK_MUL_F32, w, s2, n1f);  // invariant inside the loop
    b.emit(LUMK_CVT_S_F32, fi, i);
    b.emit(LUMK_MUL_F32, term, fi, w);
    b.emit(LUMK_ADD_F32, sum, sum, term);
    b.emit(LUMK_ADDI_I32, i, i, 0, 1);
    b.emit(LUMK_LOOP, 0, 0, 0, head);
    const uint32_t after = b.emit(LUMK_CVT_U_F32, g, kGid);
    b.p->code[head].imm = after;
    b.emit(LUMK_ADD_F32, res, sum, g);
    b.emit(LUMK_ADD_F32, res, res, q);  // q is an integer: bits only matter, they are equal in both runs
    b.emit(LUMK_ST_F32, res, out, kGid, 0);
    b.emit(LUMK_END);
}

// ---- unchecked twins --------------------------------------------------------

TEST(OptimizerTwins, OnlyIdenticalDominatingChecksCount) {
    uint16_t r[8];
    auto prog = [&](builder& b) {
        const uint16_t buf = b.ptr_param("buf", LUMK_PRIM_I32);
        const uint16_t other = b.ptr_param("other", LUMK_PRIM_I32);
        for (auto& x : r) x = b.reg();
        b.emit(LUMK_LD_I32, r[0], buf, kGid, 1);           // 0: first check (gid + 1)
        b.emit(LUMK_LD_I32, r[1], buf, kGid, 2);           // 1: other offset: checked
        b.emit(LUMK_LD_I32, r[2], other, kGid, 1);         // 2: other slot: checked
        b.emit(LUMK_LDF_I32, r[3], buf, kGid, 8);          // 3: checks gid alone: checked
        b.emit(LUMK_STF_I32, r[3], buf, kGid, 4);          // 4: same as 3 (byte offset irrelevant): twin
        b.emit(LUMK_ST_I32, r[0], buf, kGid, 0);           // 5: element form with offset 0 = 3's check: twin
        b.emit(LUMK_MOV, r[4], kGid);                      // 6
        b.emit(LUMK_LD_I32, r[4], buf, r[4], 1);           // 7: index r4 redefines itself: checked
        b.emit(LUMK_LD_I32, r[5], buf, r[4], 1);           // 8: r4 changed since 7: checked
        b.emit(LUMK_JT, r[5], 0, 0, 10);                   // 9: ends the block
        b.emit(LUMK_LD_I32, r[6], buf, kGid, 1);           // 10: new block: checked
        b.emit(LUMK_CHKIDX, kGid, 0, 0, 100);              // 11
        b.emit(LUMK_LD_I32, r[7], other, kGid, 1);         // 12: CHKIDX never stands in: checked
        b.emit(LUMK_AADD_32, r[7], other, kGid, r[6]);     // 13: atomic is a check of other[gid]
        b.emit(LUMK_ST_I32, r[7], other, kGid, 0);         // 14: twin
        b.emit(LUMK_END);
    };
    auto opt = make(prog, true);
    const auto& code = opt.p->code;
    ASSERT_EQ(code.size(), 16u);
    const std::pair<size_t, uint16_t> want[] = {
        {0, LUMK_LD_I32},  {1, LUMK_LD_I32},  {2, LUMK_LD_I32},   {3, LUMK_LDF_I32},  {4, LUMK_STFU_I32},
        {5, LUMK_STU_I32}, {7, LUMK_LD_I32},  {8, LUMK_LD_I32},   {10, LUMK_LD_I32},  {12, LUMK_LD_I32},
        {13, LUMK_AADD_32}, {14, LUMK_STU_I32}};
    for (const auto& [i, op] : want) EXPECT_EQ(code[i].op, op) << i;
}

TEST(OptimizerTwins, RepeatedChkidxIsRemovedAndJumpsAndLinesFollow) {
    auto prog = [](builder& b) {
        const uint16_t out = b.ptr_param("out", LUMK_PRIM_I32);
        const uint16_t idx = b.reg(), c = b.reg(), v = b.reg();
        b.emit(LUMK_ADDI_X64, idx, kGid, 0, 0);     // 0  line 1
        b.emit(LUMK_CHKIDX, idx, 0, 0, 3);          // 1  line 2
        b.emit(LUMK_CMPLT_U, c, idx, b.ki(2));      // 2  line 3
        b.emit(LUMK_CHKIDX, idx, 0, 0, 3);          // 3  line 4: removed
        b.emit(LUMK_CHKIDX, idx, 0, 0, 4);          // 4  line 5: other bound, stays
        b.emit(LUMK_JT, c, 0, 0, 8);                // 5  line 6 -> 8
        b.emit(LUMK_MOV, v, b.ki(7));               // 6  line 7
        b.emit(LUMK_JMP, 0, 0, 0, 9);               // 7  line 8 -> 9
        b.emit(LUMK_MOV, v, b.ki(9));               // 8  line 9
        b.emit(LUMK_CHKIDX, idx, 0, 0, 3);          // 9  line 10: jump target, stays
        b.emit(LUMK_ST_I32, v, out, kGid, 0);       // 10 line 11
        b.emit(LUMK_END);                           // 11 line 12
    };
    builder b;
    prog(b);
    lumk_opt_unchecked_twins(*b.p);
    const auto& code = b.p->code;
    ASSERT_EQ(code.size(), 11u);
    EXPECT_EQ(b.p->lines, (std::vector<uint32_t>{1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(b.p->file_indexes.size(), 11u);
    EXPECT_EQ(code[4].op, LUMK_JT);
    EXPECT_EQ(code[4].imm, 7u);
    EXPECT_EQ(code[6].op, LUMK_JMP);
    EXPECT_EQ(code[6].imm, 8u);
    EXPECT_EQ(code[8].op, LUMK_CHKIDX);

    // Same results, and the array trap reports the same line.
    auto opt = make(prog, true), plain = make(prog, false);
    expect_same_runs(run(*opt.p, 3, {std::vector<uint8_t>(12)}), run(*plain.p, 3, {std::vector<uint8_t>(12)}));
    auto t1 = run(*opt.p, 5, {std::vector<uint8_t>(20)});
    auto t2 = run(*plain.p, 5, {std::vector<uint8_t>(20)});
    EXPECT_EQ(t1.code, LUMK_TRAP_INDEX);
    EXPECT_EQ(t1.line, 2u);
    expect_same_runs(t1, t2);
}

// ---- prologue hoisting ------------------------------------------------------

TEST(OptimizerHoist, InvariantWorkMovesIntoThePrologue) {
    auto opt = make(invariant_loop, true);
    auto plain = make(invariant_loop, false);
    ASSERT_TRUE(opt.p->prologue);
    EXPECT_FALSE(plain.p->prologue);
    const lumk_program& pro = *opt.p->prologue;
    // s2, n1, n1f and the in-loop product w; not DIV_I32 (it may trap), not
    // the loop variable (two definitions), nothing that reads gid.
    EXPECT_EQ(pro.code.size(), 5u);
    EXPECT_EQ(pro.code.back().op, LUMK_END);
    EXPECT_EQ(count_op(*opt.p, LUMK_DIV_I32), 1u);
    EXPECT_EQ(count_op(*opt.p, LUMK_CVT_S_F32), 1u);
    EXPECT_EQ(count_op(*opt.p, LUMK_CVT_U_F32), 1u);
    EXPECT_EQ(pro.name, "k (prologue)");
    expect_operands_in_range(*opt.p);

    // Hoisted instructions read only constants, gsize registers, value
    // parameters and earlier prologue results.
    std::set<uint32_t> allowed = {opt.p->gsize, opt.p->gsize_x, opt.p->gsize_y};
    for (const lumk_param& prm : opt.p->params)
        if (!prm.type.is_pointer) allowed.insert(prm.reg);
    for (const lumk_const& c : opt.p->constants) allowed.insert(c.reg);
    for (const lumk_insn& insn : pro.code) {
        if (insn.op == LUMK_END) continue;
        EXPECT_TRUE(lumk_opt_hoistable_opcode(insn.op));
        lumk_operand_slot ops[4];
        const uint32_t n = lumk_op_operands(insn.op, ops);
        for (uint32_t i = 0; i < n; ++i)
            if (ops[i].letter == 'R' || ops[i].letter == 'I') {
                EXPECT_TRUE(allowed.count(static_cast<uint32_t>(lumk_insn_field(insn, ops[i].field))));
            }
        allowed.insert(insn.a);
        // ... and nothing in the kernel writes them again.
        for (const lumk_insn& k : opt.p->code)
            if (lumk_op_format(k.op)[0] == 'D') {
                EXPECT_NE(k.a, insn.a) << lumk_op_name(k.op);
            }
    }

    const std::vector<uint64_t> args = {5, f32_bits(0.75f)};
    auto r1 = run(*opt.p, 6, {std::vector<uint8_t>(24)}, args);
    auto r2 = run(*plain.p, 6, {std::vector<uint8_t>(24)}, args);
    EXPECT_EQ(r1.code, 0);
    expect_same_runs(r1, r2);
    // The loop still jumps to its head; lines of the kept instructions survive.
    EXPECT_EQ(opt.p->lines.front(), 4u);
}

TEST(OptimizerHoist, ASecondRunExtendsThePrologue) {
    // d2 reads d1, whose definition comes later in the code (but earlier in
    // execution): only a second run can move it, after d1's instruction.
    auto prog = [](builder& b) {
        const uint16_t k = b.value_param("k", LUMK_PRIM_I64);
        const uint16_t out = b.ptr_param("out", LUMK_PRIM_I64);
        const uint16_t d1 = b.reg(), d2 = b.reg(), s = b.reg();
        b.emit(LUMK_JMP, 0, 0, 0, 3);             // 0
        b.emit(LUMK_ADD_X64, d2, d1, b.ki(1));    // 1
        b.emit(LUMK_JMP, 0, 0, 0, 5);             // 2
        b.emit(LUMK_MUL_X64, d1, k, b.ki(2));     // 3
        b.emit(LUMK_JMP, 0, 0, 0, 1);             // 4
        b.emit(LUMK_ADD_X64, s, d2, kGid);        // 5
        b.emit(LUMK_ST_I64, s, out, kGid, 0);     // 6
        b.emit(LUMK_END);                         // 7
    };
    builder b;
    prog(b);
    EXPECT_EQ(lumk_opt_hoist_prologue(*b.p), 1u);
    EXPECT_EQ(lumk_opt_hoist_prologue(*b.p), 1u);
    EXPECT_EQ(lumk_opt_hoist_prologue(*b.p), 0u);
    ASSERT_TRUE(b.p->prologue);
    const auto& pro = b.p->prologue->code;
    ASSERT_EQ(pro.size(), 3u);
    EXPECT_EQ(pro[0].op, LUMK_MUL_X64);
    EXPECT_EQ(pro[1].op, LUMK_ADD_X64);
    EXPECT_EQ(pro[2].op, LUMK_END);
    EXPECT_EQ(b.p->prologue->lines, (std::vector<uint32_t>{4, 2, 2}));
    lumk_finalize_code(*b.p, b.regs, false);
    auto plain = make(prog, false);
    auto r = run(*b.p, 3, {std::vector<uint8_t>(24)}, {20});
    expect_same_runs(r, run(*plain.p, 3, {std::vector<uint8_t>(24)}, {20}));
    EXPECT_EQ(r.buffers[0].as<int64_t>(), (std::vector<int64_t>{41, 42, 43}));
}

// ---- register allocation ----------------------------------------------------

// A chain of 200 temporaries, each dead after the next: a handful of registers.
TEST(OptimizerAllocate, ChainsOfTemporariesShareRegisters) {
    auto prog = [](builder& b) {
        const uint16_t out = b.ptr_param("out", LUMK_PRIM_I64);
        uint16_t prev = kGid;
        for (int i = 0; i < 200; ++i) {
            const uint16_t t = b.reg();
            b.emit(i % 2 ? LUMK_MUL_X64 : LUMK_ADD_X64, t, prev, b.ki(i % 7 + 1));
            prev = t;
        }
        b.emit(LUMK_ST_I64, prev, out, kGid, 0);
        b.emit(LUMK_END);
    };
    auto opt = make(prog, true), plain = make(prog, false);
    EXPECT_EQ(plain.p->reg_count, 207u + plain.p->constants.size());
    EXPECT_LE(opt.p->reg_count, 9u + opt.p->constants.size());
    expect_operands_in_range(*opt.p);
    expect_same_runs(run(*opt.p, 5, {std::vector<uint8_t>(40)}), run(*plain.p, 5, {std::vector<uint8_t>(40)}));
}

TEST(OptimizerAllocate, CopiesShareARegisterAndDisappear) {
    auto prog = [](builder& b) {
        const uint16_t out = b.ptr_param("out", LUMK_PRIM_I64);
        const uint16_t t = b.reg(), u = b.reg(), c = b.reg(), v = b.reg();
        b.emit(LUMK_ADD_X64, t, kGid, b.ki(1));      // 0
        b.emit(LUMK_MOV, u, t);                      // 1: t dies here: one register
        b.emit(LUMK_JMP, 0, 0, 0, 3);                // 2: jump to the next instruction
        b.emit(LUMK_CMPLT_U, c, kGid, b.ki(2));      // 3
        b.emit(LUMK_JF, c, 0, 0, 7);                 // 4
        b.emit(LUMK_MOV, v, u);                      // 5: u stays live: a real copy
        b.emit(LUMK_ADD_X64, u, u, v);               // 6
        b.emit(LUMK_ST_I64, u, out, kGid, 0);        // 7
        b.emit(LUMK_JMP, 0, 0, 0, 9);                // 8: jump to the END
        b.emit(LUMK_END);                            // 9
    };
    auto opt = make(prog, true), plain = make(prog, false);
    std::vector<std::string> ops;
    for (const lumk_insn& insn : opt.p->code) ops.push_back(lumk_op_name(insn.op));
    EXPECT_EQ(ops, (std::vector<std::string>{"ADD_X64", "CMPLT_U", "JF", "MOV", "ADD_X64", "ST_I64", "END"}));
    EXPECT_EQ(opt.p->code[2].imm, 5u);
    EXPECT_EQ(opt.p->lines, (std::vector<uint32_t>{1, 4, 5, 6, 7, 8, 10}));
    auto r = run(*opt.p, 4, {std::vector<uint8_t>(32)});
    expect_same_runs(r, run(*plain.p, 4, {std::vector<uint8_t>(32)}));
    EXPECT_EQ(r.buffers[0].as<int64_t>(), (std::vector<int64_t>{2, 4, 3, 4}));
}

TEST(OptimizerAllocate, PinnedRegistersKeepTheirNumbers) {
    auto prog = [](builder& b) {
        const uint16_t p1 = b.value_param("p1", LUMK_PRIM_I64);
        const uint16_t acc_a = b.reg(), acc_b = b.reg();
        b.p->reductions.push_back(lumk_reduction{acc_a, LUMK_PRIM_I64, LUMK_REDUCE_ADD, 0, "a"});
        b.p->reductions.push_back(lumk_reduction{acc_b, LUMK_PRIM_I64, LUMK_REDUCE_MAX, 8, "b"});
        const uint16_t p2 = b.value_param("p2", LUMK_PRIM_I64);
        uint16_t t = b.reg(), u = b.reg();
        b.emit(LUMK_ADD_X64, t, kGid, p1);
        b.emit(LUMK_ADD_X64, acc_a, acc_a, t);
        b.emit(LUMK_MUL_X64, u, kGid, p2);
        b.emit(LUMK_MAX_S, acc_b, acc_b, u);
        b.emit(LUMK_END);
    };
    auto opt = make(prog, true), plain = make(prog, false);
    EXPECT_EQ(opt.p->params[0].reg, 7);
    EXPECT_EQ(opt.p->reductions[0].reg, 8);
    EXPECT_EQ(opt.p->reductions[1].reg, 9);
    EXPECT_EQ(opt.p->params[1].reg, 10);
    EXPECT_EQ(opt.p->code[1].a, 8);
    EXPECT_EQ(opt.p->code[3].a, 9);
    EXPECT_EQ(opt.p->code[0].b, kGid);
    // t and u do not overlap: one register after the pinned ones.
    EXPECT_EQ(opt.p->code[0].a, 11);
    EXPECT_EQ(opt.p->code[2].a, 11);
    auto r1 = run(*opt.p, 10, {}, {4, 3});
    expect_same_runs(r1, run(*plain.p, 10, {}, {4, 3}));
    EXPECT_EQ(r1.acc, (std::vector<uint64_t>{85, 27}));
}

// Random programs: arithmetic over a handful of registers (some read before
// they are written, so values flow between work items), branches, a counted
// loop, loads and stores. Optimized and plain runs must agree exactly.
TEST(OptimizerRandom, OptimizedProgramsMatchPlainOnes) {
    std::mt19937 rng(12345);
    static constexpr uint16_t ops3[] = {LUMK_ADD_X64, LUMK_SUB_X64, LUMK_MUL_X64, LUMK_AND_X,  LUMK_OR_X,   LUMK_XOR_X,
                             LUMK_ADD_I32, LUMK_MUL_U32, LUMK_SHL_X64, LUMK_SHR_U64, LUMK_MIN_S, LUMK_MAX_U,
                             LUMK_CMPLT_S, LUMK_CMPEQ_X};
    static constexpr uint16_t ops2[] = {LUMK_MOV, LUMK_NEG_X64, LUMK_NOT_X, LUMK_LNOT, LUMK_TRUNC_U8, LUMK_ABS_I64};
    uint32_t hoisted_total = 0, shrunk = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t seed = rng();
        auto prog = [seed](builder& b) {
            std::mt19937 g(seed);
            auto pick = [&](uint32_t n) { return static_cast<uint32_t>(g() % n); };
            const uint16_t pv = b.value_param("v", LUMK_PRIM_I64);
            const uint16_t buf = b.ptr_param("buf", LUMK_PRIM_I64);
            std::vector<uint16_t> vars;
            for (int i = 0; i < 10; ++i) vars.push_back(b.reg());
            auto src = [&]() -> uint16_t {
                switch (pick(6)) {
                    case 0: return b.ki(static_cast<int32_t>(pick(9)) - 4);
                    case 1: return pick(2) ? kGid : kGsize;
                    case 2: return pv;
                    default: return vars[pick(static_cast<uint32_t>(vars.size()))];
                }
            };
            auto straight = [&](int n) {
                for (int i = 0; i < n; ++i) {
                    const uint16_t d = vars[pick(static_cast<uint32_t>(vars.size()))];
                    switch (pick(8)) {
                        case 0: b.emit(ops2[pick(std::size(ops2))], d, src()); break;
                        case 1: b.emit(LUMK_LD_I64, d, buf, kGid, pick(2)); break;
                        case 2: b.emit(LUMK_ADDI_X64, d, src(), 0, pick(5)); break;
                        default: b.emit(ops3[pick(std::size(ops3))], d, src(), src()); break;
                    }
                    if (pick(10) == 0) {
                        // a fresh single-definition temporary
                        const uint16_t t = b.reg();
                        b.emit(ops3[pick(std::size(ops3))], t, src(), src());
                        vars.push_back(t);
                    }
                }
            };
            straight(4);
            // if (cond) { ... } else { ... }
            const uint16_t cnd = vars[pick(10)];
            const uint32_t jf = b.emit(LUMK_JFLT_S, cnd, src(), 0);
            straight(3);
            const uint32_t jmp = b.emit(LUMK_JMP);
            b.p->code[jf].imm = b.here();
            straight(3);
            b.p->code[jmp].imm = b.here();
            // for (i = 0; i < 3; i++) { ... }
            const uint16_t i = b.reg();
            b.emit(LUMK_MOV, i, b.ki(0));
            const uint32_t head = b.emit(LUMK_JFLT_S, i, b.ki(3), 0);
            straight(4);
            b.emit(LUMK_ADDI_X64, i, i, 0, 1);
            b.emit(LUMK_LOOP, 0, 0, 0, head);
            b.p->code[head].imm = b.here();
            uint16_t s = b.reg();
            b.emit(LUMK_MOV, s, vars[0]);
            for (size_t k = 1; k < vars.size(); ++k) {
                const uint16_t t = b.reg();
                b.emit(LUMK_XOR_X, t, s, vars[k]);
                s = t;
            }
            b.emit(LUMK_ST_I64, s, buf, kGid, 0);
            b.emit(LUMK_END);
        };
        auto opt = make(prog, true), plain = make(prog, false);
        expect_operands_in_range(*opt.p);
        hoisted_total += opt.p->prologue ? static_cast<uint32_t>(opt.p->prologue->code.size() - 1) : 0;
        shrunk += opt.p->reg_count < plain.p->reg_count;
        std::vector<int64_t> init(9);
        for (size_t k = 0; k < init.size(); ++k) init[k] = static_cast<int64_t>(k * 7 + 1);
        auto r1 = run(*opt.p, 8, {buffer::of(init)}, {42});
        auto r2 = run(*plain.p, 8, {buffer::of(init)}, {42});
        ASSERT_EQ(r1.code, r2.code) << "trial " << trial;
        ASSERT_EQ(r1.buffers, r2.buffers) << "trial " << trial;
        if (r1.code) {
            EXPECT_EQ(r1.line, r2.line) << "trial " << trial;
            EXPECT_EQ(r1.trap.gid, r2.trap.gid);
        }
    }
    EXPECT_GT(hoisted_total, 0u);
    EXPECT_GT(shrunk, 200u);
}

// ---- finalize ---------------------------------------------------------------

TEST(Finalize, RefusesBrokenPrograms) {
    auto expect_fail = [](const build_fn& fn, uint32_t regs, const std::string& text) {
        builder b;
        fn(b);
        try {
            // With optimization the allocator would shrink an oversized count.
            lumk_finalize_code(*b.p, regs ? regs : b.regs, regs == 0);
            ADD_FAILURE() << "no error for " << text;
        } catch (const kerror& e) {
            EXPECT_NE(e.message.find(text), std::string::npos) << e.message;
            EXPECT_EQ(e.file, "test.k");
        }
    };
    expect_fail([](builder& b) { b.emit(LUMK_JMP, 0, 0, 0, 5); }, 0, "internal compile error");
    expect_fail([](builder& b) { b.emit(LUMK_MOV, b.reg(), 32768 + 3); }, 0, "internal compile error");
    expect_fail([](builder& b) { b.emit(LUMK_MOV, b.ki(1), kGid); }, 0, "internal compile error");
    expect_fail(
        [](builder& b) {
            for (int i = 0; i < 600; ++i) b.emit(LUMK_MOV, b.reg(), b.ki(i));
        },
        65000, "kernel is too large (too many registers)");
}

}  // namespace
