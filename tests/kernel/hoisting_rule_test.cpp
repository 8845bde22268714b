// The prologue may only take pure computations of registers: an instruction
// that can trap, or that reads or writes memory, has to stay in the work
// items, or its trap is lost and its access moves before the others.
//
// Checked two ways: every opcode the optimizer may hoist is run on the
// reference engine with operands meant to make it fail (and none may), and
// kernels whose trapping or memory work depends on no work item still trap
// and still see their own stores when launched.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernel/compiler/optimizer.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"
#include "launch_test_util.h"

namespace {

// Source register values: one, zero, all ones, the most negative 32- and
// 64-bit integers (dividends that overflow), NaN, infinite and huge floats
// of both widths (conversions that do not fit). The first is odd, so an
// opcode that takes an address from registers meets a misaligned address
// before it reaches memory.
const uint64_t probe_registers[] = {
    1,
    0,
    ~0ull,
    0xFFFFFFFF80000000ull,
    0x8000000000000000ull,
    std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN()),
    std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN()),
    std::bit_cast<uint64_t>(-std::numeric_limits<double>::infinity()),
    std::bit_cast<uint32_t>(std::numeric_limits<float>::infinity()),
    std::bit_cast<uint64_t>(1e300),
    std::bit_cast<uint32_t>(3e38f),
};
// Values of the other operands (offsets, constants, math functions, types).
constexpr uint64_t probe_fields[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void set_field(lumk_insn& insn, lumk_operand_field f, uint64_t v) {
    switch (f) {
        case LUMK_FIELD_A: insn.a = static_cast<uint16_t>(v); break;
        case LUMK_FIELD_B: insn.b = static_cast<uint16_t>(v); break;
        case LUMK_FIELD_C: insn.c = static_cast<uint16_t>(v); break;
        case LUMK_FIELD_IMM: insn.imm = v; break;
    }
}

struct probe_result {
    uint32_t code = 0;  // the first trap, 0 when none
    std::string operands;
};

// Runs `op` alone on the scalar engine with every combination of probe
// values in its source registers and other operands; a pointer operand
// names a slot of no elements. Stops at the first trap.
probe_result probe(uint32_t op) {
    lumk_operand_slot slots[4];
    const uint32_t n = lumk_op_operands(op, slots);
    lumk_insn insn{static_cast<uint16_t>(op), 0, 0, 0, 0};
    std::vector<uint16_t> sources;           // registers to fill
    std::vector<lumk_operand_field> others;  // fields to fill
    uint16_t next_reg = 8;
    for (uint32_t i = 0; i < n; ++i) {
        const lumk_operand_slot& s = slots[i];
        if (s.letter == 'D') {
            lumk_insn_set_register(insn, s, 7);
        } else if (s.letter == 'R' || s.letter == 'I') {
            sources.push_back(next_reg);
            lumk_insn_set_register(insn, s, next_reg++);
        } else if (s.letter == 'P') {
            set_field(insn, s.field, 0);
        } else {
            others.push_back(s.field);
        }
    }
    lumk_program p;
    lumk_set_fixed_registers(p);
    p.name = "probe";
    p.reg_count = 16;
    p.ptr_count = 1;
    p.code = {insn, lumk_insn{LUMK_END, 0, 0, 0, 0}};
    p.lines = {1, 1};
    p.file_indexes = {0, 0};
    alignas(8) static uint8_t scratch[64];
    const kptr ptrs[1] = {kptr{scratch, 0, 4, 0}};

    const size_t nr = std::size(probe_registers), nf = std::size(probe_fields);
    std::vector<size_t> at(sources.size() + others.size(), 0);
    for (;;) {
        kreg regs[16] = {};
        std::string operands;
        for (size_t i = 0; i < sources.size(); ++i) {
            regs[sources[i]].u = probe_registers[at[i]];
            operands += " r" + std::to_string(sources[i]) + "=" + std::to_string(probe_registers[at[i]]);
        }
        for (size_t i = 0; i < others.size(); ++i) {
            set_field(p.code[0], others[i], probe_fields[at[sources.size() + i]]);
            static const char* const field_names[] = {"a", "b", "c", "imm"};
            operands += std::string(" ") + field_names[others[i]] + "=" +
                        std::to_string(probe_fields[at[sources.size() + i]]);
        }
        ktrap trap{};
        if (const uint32_t code = lumk_run_scalar(p, regs, ptrs, 0, 1, nullptr, &trap, 0)) return {code, operands};
        size_t d = 0;
        for (; d < at.size(); ++d) {
            const size_t limit = d < sources.size() ? nr : nf;
            if (++at[d] < limit) break;
            at[d] = 0;
        }
        if (d == at.size()) return {};
    }
}

TEST(HoistingRule, TheProbeFindsTheTrapsOfTrappingOpcodes) {
    for (uint32_t op : {LUMK_DIV_I32, LUMK_MOD_U64, LUMK_CVT_F32_INT, LUMK_CVT_F64_INT, LUMK_ADDR, LUMK_AADD_32,
                        LUMK_AADDR_64})
        EXPECT_NE(probe(op).code, 0u) << lumk_op_name(op);
    for (uint32_t op : {LUMK_ADD_I32, LUMK_DIV_F64, LUMK_MODC_I32, LUMK_MATH2_F32, LUMK_CVT_S_F32})
        EXPECT_EQ(probe(op).code, 0u) << lumk_op_name(op) << probe(op).operands;
}

TEST(HoistingRule, EveryHoistableOpcodeIsAPureComputationOfRegisters) {
    uint32_t hoistable = 0;
    for (uint32_t op = 0; op < LUMK_OP_COUNT; ++op) {
        if (!lumk_opt_hoistable_opcode(op)) continue;
        ++hoistable;
        const std::string name = lumk_op_name(op);
        EXPECT_FALSE(lumk_op_is_mem(op)) << name << " reads or writes memory but may be hoisted into the prologue";
        EXPECT_FALSE(lumk_op_is_jump(op)) << name << " jumps but may be hoisted into the prologue";
        if (lumk_op_is_mem(op)) continue;  // not run: an unchecked access would fault
        const probe_result r = probe(op);
        EXPECT_EQ(r.code, 0u) << name << " traps (code " << r.code << ") with" << r.operands
                              << " but may be hoisted into the prologue";
    }
    EXPECT_GT(hoistable, 50u);
}

// ---- launches: work that depends on no work item still traps in it ----

struct launched {
    bool trapped = false;
    uint32_t code = 0;
    std::vector<std::vector<uint8_t>> buffers;
};

// Runs `source`'s kernel over `n` items on the scalar and on the batch
// engine; both must agree, and the scalar run is returned.
launched launch(const std::string& source, const ltest::args& a, uint64_t n) {
    auto unit = ltest::compile(source);
    if (!unit) return {};
    launched out[2];
    const uint32_t modes[2] = {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH};
    for (int m = 0; m < 2; ++m) {
        ltest::settings_scope scope(modes[m], LUM_KERNEL_JIT_OFF);
        ltest::outcome o = ltest::run(unit, *unit->programs[0], a, n, 1, 0);
        out[m] = {o.trapped, o.trap_code, std::move(o.buffers)};
    }
    EXPECT_EQ(out[0].trapped, out[1].trapped) << source;
    EXPECT_EQ(out[0].code, out[1].code) << source;
    return out[0];
}

uint64_t f32_bits(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t f64_bits(double d) { return std::bit_cast<uint64_t>(d); }

TEST(HoistingRule, DivisionsOfValueParametersTrapInTheWorkItems) {
    for (const char* type : {"i32", "u32", "i64", "u64"}) {
        for (const char* op : {"/", "%"}) {
            const std::string src = std::string("kernel k(") + type + "* o, " + type + " a, " + type + " b) { o[gid] = a " +
                                    op + " b; }";
            SCOPED_TRACE(src);
            ltest::args a;
            a.buf(std::vector<uint64_t>(4)).val(7).val(0);
            launched r = launch(src, a, 4);
            EXPECT_TRUE(r.trapped);
            EXPECT_EQ(r.code, LUMK_TRAP_DIV_ZERO);
            if (type[0] != 'i') continue;
            ltest::args overflow;
            const uint64_t lowest = type[1] == '3' ? 0xFFFFFFFF80000000ull : 0x8000000000000000ull;
            overflow.buf(std::vector<uint64_t>(4)).val(lowest).val(~0ull);
            r = launch(src, overflow, 4);
            EXPECT_EQ(r.code, LUMK_TRAP_DIV_OVERFLOW);
        }
    }
}

TEST(HoistingRule, ConversionsOfValueParametersTrapInTheWorkItems) {
    ltest::args a;
    a.buf(std::vector<int32_t>(4)).val(f32_bits(std::nanf("")));
    EXPECT_EQ(launch("kernel k(i32* o, f32 x) { o[gid] = i32(x); }", a, 4).code, LUMK_TRAP_CONVERT);
    ltest::args b;
    b.buf(std::vector<int64_t>(4)).val(f64_bits(1e300));
    EXPECT_EQ(launch("kernel k(i64* o, f64 x) { o[gid] = i64(x); }", b, 4).code, LUMK_TRAP_CONVERT);
}

TEST(HoistingRule, MemoryAtAFixedPlaceIsReachedByEveryWorkItem) {
    // a load at a constant index past the end traps
    ltest::args a;
    a.buf(std::vector<int32_t>(4)).buf(std::vector<int32_t>(2));
    EXPECT_EQ(launch("kernel k(i32* o, const i32* p) { o[gid] = p[3]; }", a, 4).code, LUMK_TRAP_BOUNDS);
    // a load at a constant index sees the store before it
    ltest::args b;
    b.buf(std::vector<int32_t>(5));
    launched r = launch("kernel k(i32* o) { o[0] = 5; o[gid + 1] = o[0]; }", b, 4);
    ASSERT_FALSE(r.trapped);
    EXPECT_EQ(r.buffers[0], ltest::args().buf(std::vector<int32_t>{5, 5, 5, 5, 5}).buffers[0]);
    // an atomic add at a constant index runs once per work item
    ltest::args c;
    c.buf(std::vector<uint32_t>(1));
    r = launch("kernel k(u32* c) { atomic_add(c[0], 1u); }", c, 100);
    ASSERT_FALSE(r.trapped);
    EXPECT_EQ(r.buffers[0], ltest::args().buf(std::vector<uint32_t>{100}).buffers[0]);
}

}  // namespace
