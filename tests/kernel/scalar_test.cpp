// Scalar interpreter: the run loop (ranges, 2-D stepping, start pc,
// registers kept between work items, abort polling) and the trap texts. The
// opcodes' values are compared lane by lane with the batch engine
// (batch_test.cpp) and with native code (native_family_test.cpp).

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/exec/scalar.h"

namespace {


// A program over fixed registers 0..6 (gid, gsize, acc, gid_x, gid_y,
// gsize_x, gsize_y) with 32 registers in all.
struct prog {
    std::shared_ptr<lumk_program> p = std::make_shared<lumk_program>();
    std::vector<kreg> regs = std::vector<kreg>(32, kreg{.u = 0});

    prog() {
        lumk_set_fixed_registers(*p);
        p->reg_count = 32;
    }
    prog& op(uint16_t o, uint16_t a = 0, uint16_t b = 0, uint16_t c = 0, uint64_t imm = 0) {
        p->code.push_back(lumk_insn{o, a, b, c, imm});
        return *this;
    }
    uint64_t& r(uint32_t i) { return regs[i].u; }
    uint8_t run(const kptr* ptrs = nullptr, uint64_t begin = 0, uint64_t end = 1, ktrap* trap = nullptr,
                const volatile uint8_t* abort = nullptr, uint32_t start_pc = 0) {
        ktrap local{};
        return lumk_run_scalar(*p, regs.data(), ptrs, begin, end, abort, trap ? trap : &local, start_pc);
    }
};

kptr slot(void* base, uint64_t count, uint64_t stride) {
    return kptr{static_cast<uint8_t*>(base), count, stride, count * stride};
}

}  // namespace

TEST(ScalarInterp, RunLoopRangesAndRegisters) {
    {  // an empty range touches nothing
        prog pr;
        pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(LUMK_END);
        pr.r(0) = 777;
        EXPECT_EQ(pr.run(nullptr, 5, 5), 0);
        EXPECT_EQ(pr.run(nullptr, 6, 5), 0);
        EXPECT_EQ(pr.r(0), 777u);
        EXPECT_EQ(pr.r(10), 0u);
        // registers keep their values between work items
        EXPECT_EQ(pr.run(nullptr, 10, 15), 0);
        EXPECT_EQ(pr.r(10), 5u);
        EXPECT_EQ(pr.r(0), 14u);
    }
    {  // an empty program finishes at once
        prog pr;
        EXPECT_EQ(pr.run(nullptr, 0, 10), 0);
    }
    {  // start_pc applies to the first work item only
        prog pr;
        for (int i = 0; i < 5; ++i) pr.op(LUMK_ADDI_X64, 10, 10, 0, 1);
        pr.op(LUMK_ADDI_X64, 11, 11, 0, 1).op(LUMK_END);
        EXPECT_EQ(pr.run(nullptr, 0, 2, nullptr, nullptr, 5), 0);
        EXPECT_EQ(pr.r(10), 5u);
        EXPECT_EQ(pr.r(11), 2u);
        ktrap tr{};
        EXPECT_EQ(pr.run(nullptr, 0, 2, &tr, nullptr, 7), LUMK_TRAP_ABORT);  // past the end
        EXPECT_EQ(tr.pc, 7u);
    }
    {  // a trap in the second work item keeps every earlier effect
        prog pr;
        pr.op(LUMK_ADDI_X64, 10, 10, 0, 1)
            .op(LUMK_SUB_X64, 11, 0, 12)
            .op(LUMK_DIV_U64, 13, 14, 11)
            .op(LUMK_END);
        pr.r(12) = 6;
        pr.r(13) = 55;
        pr.r(14) = 100;
        ktrap tr{};
        EXPECT_EQ(pr.run(nullptr, 5, 9, &tr), LUMK_TRAP_DIV_ZERO);
        EXPECT_EQ(tr.gid, 6u);
        EXPECT_EQ(tr.pc, 2u);
        EXPECT_EQ(tr.value, 100);
        EXPECT_EQ(pr.r(10), 2u);
        EXPECT_EQ(pr.r(11), 0u);
        EXPECT_EQ(pr.r(13), 0u);  // written by the first work item: 100 / (5 - 6) unsigned
    }
}

TEST(ScalarInterp, TwoDimensionalStepping) {
    uint64_t xs[8] = {}, ys[8] = {};
    kptr slots[2] = {slot(xs, 8, 8), slot(ys, 8, 8)};
    prog pr;
    pr.p->is_2d = 1;
    pr.op(LUMK_ST_U64, 3, 0, 0, 0).op(LUMK_ST_U64, 4, 1, 0, 0).op(LUMK_END);
    // Rows of width 2, then wider rows (x and y are stepped, not recomputed),
    // then a width of 0, which counts as 1 instead of dividing by zero.
    for (const auto& [width, begin, end] : {std::array<uint64_t, 3>{2, 1, 4}, {3, 2, 8}, {0, 0, 3}}) {
        SCOPED_TRACE(width);
        pr.r(5) = width;
        ASSERT_EQ(pr.run(slots, begin, end), 0);
        const uint64_t cols = width ? width : 1;
        for (uint64_t g = begin; g < end; ++g) {
            EXPECT_EQ(xs[g], g % cols);
            EXPECT_EQ(ys[g], g / cols);
        }
    }
    // a 1-D program leaves gid_x and gid_y alone
    prog flat;
    flat.op(LUMK_END);
    flat.r(3) = 42;
    flat.r(5) = 2;
    ASSERT_EQ(flat.run(nullptr, 0, 3), 0);
    EXPECT_EQ(flat.r(3), 42u);
}

TEST(ScalarInterp, LoopPollsAbortFlag) {
    prog pr;
    pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(LUMK_JTEQ_X, 10, 11, 0, 3).op(LUMK_LOOP, 0, 0, 0, 0).op(LUMK_END);
    pr.r(11) = 1000;
    EXPECT_EQ(pr.run(), 0);  // null abort pointer: always jumps
    EXPECT_EQ(pr.r(10), 1000u);
    volatile uint8_t flag = 0;
    pr.r(10) = 0;
    EXPECT_EQ(pr.run(nullptr, 0, 1, nullptr, &flag), 0);
    flag = 1;
    pr.r(10) = 0;
    ktrap tr{};
    tr.value = 5;
    tr.limit = 5;
    EXPECT_EQ(pr.run(nullptr, 3, 4, &tr, &flag), LUMK_TRAP_ABORT);  // stops at the first back-edge
    EXPECT_EQ(pr.r(10), 1u);
    EXPECT_EQ(tr.pc, 2u);
    EXPECT_EQ(tr.gid, 3u);
    EXPECT_EQ(tr.value, 0);
    EXPECT_EQ(tr.limit, 0u);
    // a program without loops does not look at the flag
    prog flat;
    flat.op(LUMK_END);
    EXPECT_EQ(flat.run(nullptr, 0, 10, nullptr, &flag), 0);
}

TEST(ScalarInterp, UnknownOpcodeStopsQuietly) {
    prog pr;
    pr.op(LUMK_ADDI_X64, 10, 10, 0, 1).op(LUMK_OP_COUNT).op(LUMK_END);
    ktrap tr{};
    tr.code = 0xAB00;  // only the low byte is written
    tr.value = 9;
    tr.limit = 9;
    EXPECT_EQ(pr.run(nullptr, 4, 6, &tr), LUMK_TRAP_ABORT);
    EXPECT_EQ(tr.code, 0xAB07u);
    EXPECT_EQ(tr.pc, 1u);
    EXPECT_EQ(tr.gid, 4u);
    EXPECT_EQ(tr.value, 0);
    EXPECT_EQ(tr.limit, 0u);
    EXPECT_EQ(pr.r(10), 1u);
    EXPECT_EQ(lumk_trap_message(*pr.p, tr), "aborted");
    pr.p->code[1].op = 0xFFFF;
    EXPECT_EQ(pr.run(nullptr, 0, 1, &tr), LUMK_TRAP_ABORT);
}

TEST(ScalarInterp, TrapTexts) {
    prog pr;
    pr.p->ptr_count = 1;
    pr.p->frame_slot = 1;
    lumk_param buf;
    buf.name = "buf";
    buf.type.prim = LUMK_PRIM_I32;
    buf.type.is_pointer = 1;
    buf.slot = 0;
    lumk_param n;  // a value parameter whose register number equals slot 1
    n.name = "n";
    n.reg = 1;
    n.slot = 1;
    pr.p->params = {n, buf};
    pr.op(LUMK_LD_I32, 10, 0, 8, 0)   // 0
        .op(LUMK_LD_I32, 10, 1, 8, 0)  // 1: frame slot
        .op(LUMK_DIV_U64, 10, 8, 9)    // 2
        .op(LUMK_MOD_I32, 10, 8, 9)    // 3
        .op(LUMK_CVT_F64_INT, 10, 8, LUMK_PRIM_U8)  // 4
        .op(LUMK_CVT_F64_INT, 10, 8, 13)            // 5
        .op(LUMK_END);

    // The text of a trap record: code (low byte only), pc, value, limit, float value.
    struct row {
        uint32_t code, pc;
        int64_t value;
        uint64_t limit;
        double f;
        const char* text;
    };
    const row rows[] = {
        {1, 0, 12, 10, 0, "index 12 is out of bounds of 'buf' (10 elements)"},
        {1, 1, 1, 1, 0, "index 1 is out of bounds of '?' (1 elements)"},  // no frame: not "frame"
        {1, 99, -1, 3, 0, "index -1 is out of bounds of '?' (3 elements)"},
        {2, 2, 0, 0, 0, "integer division by zero"},
        {2, 3, 0, 0, 0, "integer modulo by zero"},
        {2, 99, 0, 0, 0, "integer division by zero"},
        {3, 3, INT32_MIN, ~0ull, 0, "integer division overflow (-2147483648 / -1)"},
        {4, 4, 0, 0, 300.5, "float value 300.5 does not fit into u8"},
        {4, 4, 0, 0, 1234567.0, "float value 1.23457e+06 does not fit into u8"},
        {4, 5, 0, 0, 1.0, "float value 1 does not fit into ?"},
        {4, 99, 0, 0, 1.0, "float value 1 does not fit into ?"},
        {5, 0, 8, 4, 0, "array index 8 is out of bounds (array size 4)"},
        {6, 0, 4098, 8, 0, "atomic access to an address that is not aligned to 8 bytes"},
        {7, 0, 0, 0, 0, "aborted"},
        {0, 0, 0, 0, 0, "unknown error"},
        {8, 0, 0, 0, 0, "unknown error"},
        {0x101, 0, 1, 1, 0, "index 1 is out of bounds of 'buf' (1 elements)"},
    };
    for (const row& r : rows) {
        ktrap t{};
        t.code = r.code;
        t.pc = r.pc;
        t.value = r.value;
        t.limit = r.limit;
        t.fvalue = r.f;
        EXPECT_EQ(lumk_trap_message(*pr.p, t), r.text) << r.code << " at " << r.pc;
    }
    pr.p->frame_bytes = 16;
    ktrap frame{};
    frame.code = 1;
    frame.pc = 1;
    frame.value = 1;
    frame.limit = 1;
    EXPECT_EQ(lumk_trap_message(*pr.p, frame), "index 1 is out of bounds of 'frame' (1 elements)");
}
