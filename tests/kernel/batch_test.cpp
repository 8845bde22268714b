// Batch interpreter against the scalar one, opcode by opcode: every opcode runs
// on random lane operands (extremes, NaNs, signed zeros, f32 values with
// random upper halves) and each lane must match the scalar engine bit for bit,
// including which lane traps first, what memory holds afterwards, and that
// lanes past n are never touched. Then the batch-only behaviour: divergence,
// abort polling and the lane order of memory effects.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/exec/batch.h"
#include "kernel/exec/scalar.h"

namespace {

constexpr uint32_t k_regs = 16;
constexpr uint64_t k_sentinel = 0x5A5A5A5A5A5A5A5Aull;
constexpr uint64_t k_gid0 = 1000;

std::shared_ptr<lumk_program> program_of(std::vector<lumk_insn> code) {
    auto p = std::make_shared<lumk_program>();
    lumk_set_fixed_registers(*p);
    p->reg_count = k_regs;
    p->params.push_back(lumk_param{"buf", lumk_type{LUMK_PRIM_U8, -1, 1, 0}, 0, 0, 8, "u8*"});
    p->code = std::move(code);
    return p;
}

// Interesting 64-bit operand values.
uint64_t operand(std::mt19937_64& rng) {
    const uint64_t r = rng();
    auto f32 = [&](float f) { return (rng() & 0xFFFFFFFF00000000ull) | std::bit_cast<uint32_t>(f); };
    switch (r % 24) {
        case 0: return 0;
        case 1: return 1;
        case 2: return ~0ull;
        case 3: return 0xFFFFFFFF80000000ull;  // INT32_MIN sign-extended
        case 4: return 0x8000000000000000ull;
        case 5: return 0x7FFFFFFFull;
        case 6: return 0xFFFFFFFFull;
        case 7: return std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN());
        case 8: return std::bit_cast<uint64_t>(-0.0);
        case 9: return std::bit_cast<uint64_t>(double(int64_t(rng() % 600) - 300) + 0.5);
        case 10: return std::bit_cast<uint64_t>(std::numeric_limits<double>::infinity());
        case 11: return f32(std::numeric_limits<float>::quiet_NaN());
        case 12: return f32(-0.0f);
        case 13: return f32(float(int32_t(rng() % 600) - 300) + 0.25f);
        case 14: return f32(3e9f);
        case 15: return std::bit_cast<uint64_t>(9223372036854775808.0);
        case 16: return r % 70;
        case 17: return uint64_t(-int64_t(r % 5));
        case 18: return f32(std::bit_cast<float>(static_cast<uint32_t>(rng())));
        default: return rng();
    }
}

// Memory shared by the lanes: slot 0 is 8-aligned with stride 8 and 64
// elements; slot 1 starts 2 bytes in (misaligned atomics) with stride 4 and 50.
struct memory {
    std::vector<uint64_t> words = std::vector<uint64_t>(72);
    uint8_t* base() { return reinterpret_cast<uint8_t*>(words.data()); }
    std::vector<kptr> slots() {
        return {kptr{base(), 64, 8, 512}, kptr{base() + 2, 50, 4, 200}};
    }
};

struct lane_case {
    lumk_insn insn;
    std::vector<uint64_t> lanes;  // k_regs x 64
    uint32_t n;
};

// Builds one instruction with fields fitting its format and operands that
// keep unchecked accesses inside the memory.
lane_case make_case(uint16_t op, std::mt19937_64& rng, memory& mem) {
    lane_case c{lumk_insn{op, 10, 8, 9, 0}, std::vector<uint64_t>(k_regs * 64), uint32_t(1 + rng() % 64)};
    if (rng() % 3 == 0) c.n = 64;
    const std::string fmt = lumk_op_format(op);
    const bool mem_op = lumk_op_is_mem(op) || op == LUMK_ADDR || op == LUMK_ADDRU ||
                        (op >= LUMK_AADD_32 && op <= LUMK_AADD_64);
    const bool checked = op == LUMK_ADDR || (op >= LUMK_AADD_32 && op <= LUMK_AADD_64) ||
                         (lumk_op_is_mem(op) && (lumk_op_mem_kind(op) == LUMK_MEM_LD || lumk_op_mem_kind(op) == LUMK_MEM_ST ||
                                                 lumk_op_mem_kind(op) == LUMK_MEM_LDF || lumk_op_mem_kind(op) == LUMK_MEM_STF));
    const lumk_mem_kind kind = lumk_op_is_mem(op) ? lumk_op_mem_kind(op) : LUMK_MEM_LD;
    const bool by_reg = lumk_op_is_mem(op) && (kind == LUMK_MEM_LDR || kind == LUMK_MEM_STR);
    const bool field = lumk_op_is_mem(op) && (kind == LUMK_MEM_LDF || kind == LUMK_MEM_LDFU || kind == LUMK_MEM_STF ||
                                              kind == LUMK_MEM_STFU);
    const uint32_t w = lumk_op_is_mem(op) ? lumk_prim_size(lumk_op_mem_prim(op)) : 8;
    const uint16_t slot = static_cast<uint16_t>(rng() % 2);
    const uint64_t count = slot == 0 ? 64 : 50;
    if (mem_op && !by_reg) c.insn.b = slot;

    if (fmt == "DRK") {
        c.insn.c = static_cast<uint16_t>(2 + rng() % 65534);
        c.insn.imm = lumk_divc_multiplier(c.insn.c);
    } else if (fmt == "DRT") {
        c.insn.c = static_cast<uint16_t>(rng() % 16);
    } else if (fmt == "DRRT") {
        c.insn.imm = rng() % 17;
    } else if (fmt == "DRO") {
        c.insn.imm = rng();
    } else if (fmt.find('J') != std::string::npos) {
        c.insn.imm = 2;
    } else if (fmt == "RS") {
        c.insn.imm = rng() % 40;  // CHKIDX bound or ZERO size
    } else if (fmt == "RRS") {
        c.insn.imm = rng() % 17;
    }
    if (mem_op && !by_reg) {
        if (field) c.insn.imm = rng() % (9 - w);
        else if (lumk_op_is_mem(op)) c.insn.imm = rng() % 4;
        if (op >= LUMK_AADD_32 && op <= LUMK_AADD_64) c.insn.imm = 11;  // addend register
    }
    if (by_reg || (op >= LUMK_AADDR_32 && op <= LUMK_AADDR_64)) c.insn.imm = rng() % 8;

    for (uint32_t r = 0; r < k_regs; ++r)
        for (uint32_t l = 0; l < 64; ++l) c.lanes[r * 64 + l] = l < c.n ? operand(rng) : k_sentinel;
    for (uint32_t l = 0; l < c.n; ++l) {
        c.lanes[0 * 64 + l] = k_gid0 + l;
        if (mem_op && !by_reg) {
            // index register c: in range for unchecked forms, sometimes past it for checked ones
            const uint64_t limit = count - 4;
            c.lanes[9 * 64 + l] = checked ? rng() % (count + 3) : rng() % limit;
        }
        if (by_reg || (op >= LUMK_AADDR_32 && op <= LUMK_AADDR_64) || op == LUMK_COPY || op == LUMK_ZERO) {
            c.lanes[8 * 64 + l] = reinterpret_cast<uintptr_t>(mem.base()) + rng() % 480;
            if (op == LUMK_COPY || op == LUMK_ZERO) c.lanes[10 * 64 + l] = reinterpret_cast<uintptr_t>(mem.base()) + rng() % 480;
        }
        if (op == LUMK_CHKIDX) c.lanes[10 * 64 + l] = rng() % 45;
        if (lumk_op_is_jump(op)) {
            c.lanes[10 * 64 + l] = 0xFACE00 + l;  // kept by lanes that fall through
            c.lanes[12 * 64 + l] = 0xC0DE00 + l;  // copied by lanes that jump
        }
    }
    return c;
}

// Which NaN an operation on two NaNs returns is the hardware's and the
// compiler's choice (operands of commutative operations may be swapped), so
// two NaN results of float arithmetic count as equal when the rest agrees.
bool both_nan(uint16_t op, uint64_t got, uint64_t want) {
    const std::string name = lumk_op_name(op);
    if (name.find("F32") != std::string::npos) {
        const float g = std::bit_cast<float>(uint32_t(got)), w = std::bit_cast<float>(uint32_t(want));
        return (got >> 32) == (want >> 32) && g != g && w != w;
    }
    if (name.find("F64") != std::string::npos) {
        const double g = std::bit_cast<double>(got), w = std::bit_cast<double>(want);
        return g != g && w != w;
    }
    return false;
}

void check_opcode(uint16_t op, uint32_t trials, std::mt19937_64& rng) {
    for (uint32_t t = 0; t < trials; ++t) {
        memory mem_b, mem_s;
        for (size_t i = 0; i < mem_b.words.size(); ++i) mem_b.words[i] = mem_s.words[i] = rng();
        lane_case c = make_case(op, rng, mem_b);
        // The same addresses must point into the scalar run's copy of the memory.
        std::vector<uint64_t> scalar_lanes = c.lanes;
        const uint64_t shift = reinterpret_cast<uintptr_t>(mem_s.base()) - reinterpret_cast<uintptr_t>(mem_b.base());
        for (uint64_t& v : scalar_lanes)
            if (v >= reinterpret_cast<uintptr_t>(mem_b.base()) && v < reinterpret_cast<uintptr_t>(mem_b.base()) + 576)
                v += shift;
        auto p = program_of({c.insn, {LUMK_END, 0, 0, 0, 0}, {LUMK_MOV, 10, 12, 0, 0}, {LUMK_END, 0, 0, 0, 0}});

        auto bslots = mem_b.slots();
        ktrap bt{};
        std::vector<uint64_t> lanes = c.lanes;
        const int bcode = lumk_run_batch(*p, lanes.data(), bslots.data(), k_gid0, c.n, nullptr, &bt);

        auto sslots = mem_s.slots();
        std::vector<std::vector<uint64_t>> sregs(c.n, std::vector<uint64_t>(k_regs));
        int scode = 0;
        uint32_t slane = c.n;
        ktrap st{};
        std::vector<int> taken(c.n);
        for (uint32_t l = 0; l < c.n && scode == 0; ++l) {
            std::vector<kreg> regs(k_regs);
            for (uint32_t r = 0; r < k_regs; ++r) regs[r].u = scalar_lanes[r * 64 + l];
            scode = lumk_run_scalar(*p, regs.data(), sslots.data(), k_gid0 + l, k_gid0 + l + 1, nullptr, &st, 0);
            for (uint32_t r = 0; r < k_regs; ++r) sregs[l][r] = regs[r].u;
            if (scode != 0) slane = l;
        }
        const std::string what = std::string(lumk_op_name(op)) + " trial " + std::to_string(t) + " n " + std::to_string(c.n);

        if (lumk_op_is_jump(op) && op != LUMK_JMP && op != LUMK_LOOP) {
            // Lanes that jumped have r10 = r12; the others kept r10.
            bool all_same = true;
            for (uint32_t l = 0; l < c.n; ++l)
                all_same = all_same && (sregs[l][10] == scalar_lanes[12 * 64 + l]) == (sregs[0][10] == scalar_lanes[12 * 64]);
            if (!all_same) {
                EXPECT_EQ(bcode, LUMK_TRAP_DIVERGED) << what;
                EXPECT_EQ(bt.pc, 0u) << what;
                EXPECT_EQ(bt.code, 0u) << what;
                continue;
            }
        }
        ASSERT_EQ(bcode, scode) << what;
        if (bcode != 0) {
            EXPECT_EQ(bt.gid, st.gid) << what;
            EXPECT_EQ(bt.pc, st.pc) << what;
            // A misaligned atomic reports the address, which lies in each run's own memory.
            EXPECT_EQ(bt.value, bcode == LUMK_TRAP_ALIGN ? st.value - int64_t(shift) : st.value) << what;
            EXPECT_EQ(bt.limit, st.limit) << what;
            EXPECT_EQ(std::bit_cast<uint64_t>(bt.fvalue), std::bit_cast<uint64_t>(st.fvalue)) << what;
        }
        // Lanes up to the trapping one (or all) match the scalar registers; the
        // lanes after it and past n are untouched.
        for (uint32_t l = 0; l < 64; ++l) {
            for (uint32_t r = 0; r < k_regs; ++r) {
                const uint64_t got = lanes[r * 64 + l];
                if (l < c.n && l <= slane) {
                    uint64_t want = l < slane ? sregs[l][r] : c.lanes[r * 64 + l];
                    // Addresses refer to the batch's own memory copy.
                    const uint64_t sb = reinterpret_cast<uintptr_t>(mem_s.base());
                    if (l < slane && want >= sb && want < sb + 576) want -= shift;
                    if (r == 0) continue;  // gid rows belong to the caller
                    if (got != want && both_nan(op, got, want)) continue;
                    ASSERT_EQ(got, want) << what << " lane " << l << " r" << r;
                } else {
                    ASSERT_EQ(got, c.lanes[r * 64 + l]) << what << " untouched lane " << l << " r" << r;
                }
            }
        }
        ASSERT_EQ(0, std::memcmp(mem_b.words.data(), mem_s.words.data(), 576)) << what << " memory";
    }
}

TEST(Batch, EveryOpcodeMatchesTheScalarEnginePerLane) {
    std::mt19937_64 rng(12345);
    for (uint16_t op = 0; op < LUMK_OP_COUNT; ++op) {
        if (op == LUMK_LOOP || op == LUMK_END) continue;
        check_opcode(op, 40, rng);
    }
    check_opcode(LUMK_OP_COUNT, 2, rng);
    check_opcode(0xFFFF, 2, rng);
}

// r7 = 2 * r8 when r8 < 5, else 3 * r8: the branch diverges unless all agree.
TEST(Batch, DivergenceStoresOnlyThePc) {
    auto p = program_of({
        {LUMK_JFLT_S, 8, 9, 0, 3},    // 0: if !(r8 < r9) goto 3
        {LUMK_ADD_X64, 7, 8, 8, 0},   // 1
        {LUMK_END, 0, 0, 0, 0},       // 2
        {LUMK_MUL_X64, 7, 8, 10, 0},  // 3
        {LUMK_END, 0, 0, 0, 0},       // 4
    });
    std::vector<uint64_t> lanes(k_regs * 64, 0);
    for (uint32_t l = 0; l < 64; ++l) {
        lanes[8 * 64 + l] = l;
        lanes[9 * 64 + l] = 5;
        lanes[10 * 64 + l] = 3;
    }
    ktrap t{};
    t.code = 0xAB00;
    t.value = 77;
    EXPECT_EQ(lumk_run_batch(*p, lanes.data(), nullptr, 0, 10, nullptr, &t), LUMK_TRAP_DIVERGED);
    EXPECT_EQ(t.pc, 0u);
    EXPECT_EQ(t.code, 0xAB00u);
    EXPECT_EQ(t.value, 77);
    // Five lanes all below 5 agree and take the fall-through together.
    EXPECT_EQ(lumk_run_batch(*p, lanes.data(), nullptr, 0, 5, nullptr, &t), 0);
    for (uint32_t l = 0; l < 5; ++l) EXPECT_EQ(lanes[7 * 64 + l], 2 * l);
    // A single lane never diverges.
    EXPECT_EQ(lumk_run_batch(*p, lanes.data() , nullptr, 0, 1, nullptr, &t), 0);
    // JT tests all 64 bits: a value zero only in its low half counts as true.
    auto jt = program_of({{LUMK_JT, 8, 0, 0, 2}, {LUMK_END, 0, 0, 0, 0}, {LUMK_MOV, 7, 9, 0, 0}, {LUMK_END, 0, 0, 0, 0}});
    for (uint32_t l = 0; l < 3; ++l) lanes[8 * 64 + l] = 0x100000000ull;
    EXPECT_EQ(lumk_run_batch(*jt, lanes.data(), nullptr, 0, 3, nullptr, &t), 0);
    EXPECT_EQ(lanes[7 * 64 + 2], 5u);
}

TEST(Batch, LoopPollsTheAbortByte) {
    auto p = program_of({{LUMK_ADDI_X64, 7, 7, 0, 1}, {LUMK_JFLT_S, 7, 9, 0, 3}, {LUMK_LOOP, 0, 0, 0, 0}, {LUMK_END, 0, 0, 0, 0}});
    std::vector<uint64_t> lanes(k_regs * 64, 0);
    for (uint32_t l = 0; l < 64; ++l) lanes[9 * 64 + l] = 4;
    volatile uint8_t flag = 0;
    ktrap t{};
    EXPECT_EQ(lumk_run_batch(*p, lanes.data(), nullptr, 500, 64, &flag, &t), 0);
    EXPECT_EQ(lanes[7 * 64 + 63], 4u);
    flag = 1;
    t.value = 9;
    for (uint32_t l = 0; l < 64; ++l) lanes[7 * 64 + l] = 0;
    EXPECT_EQ(lumk_run_batch(*p, lanes.data(), nullptr, 500, 64, &flag, &t), LUMK_TRAP_ABORT);
    EXPECT_EQ(t.gid, 500u);
    EXPECT_EQ(t.pc, 2u);
    EXPECT_EQ(t.value, 0);
    EXPECT_EQ(lumk_run_batch(*p, lanes.data(), nullptr, 500, 64, nullptr, &t), 0);  // no abort byte: never traps
}

// Stores land instruction by instruction in lane order: the highest lane's
// value stays when lanes store to one element; a failing lane stops the
// lanes after it.
TEST(Batch, MemoryEffectsInLaneOrder) {
    std::vector<int32_t> buf(8, -1);
    kptr slot{reinterpret_cast<uint8_t*>(buf.data()), 8, 4, 32};
    auto same = program_of({{LUMK_ST_I32, 0, 0, 9, 0}, {LUMK_END, 0, 0, 0, 0}});
    std::vector<uint64_t> lanes(k_regs * 64, 0);
    for (uint32_t l = 0; l < 64; ++l) lanes[l] = 40 + l;
    ktrap t{};
    EXPECT_EQ(lumk_run_batch(*same, lanes.data(), &slot, 40, 6, nullptr, &t), 0);
    EXPECT_EQ(buf[0], 45);
    buf.assign(8, -1);  // two lanes on one element are not consecutive indexes
    EXPECT_EQ(lumk_run_batch(*same, lanes.data(), &slot, 40, 2, nullptr, &t), 0);
    EXPECT_EQ(buf, (std::vector<int32_t>{41, -1, -1, -1, -1, -1, -1, -1}));
    auto by_gid = program_of({{LUMK_ST_I32, 0, 0, 8, 0}, {LUMK_END, 0, 0, 0, 0}});
    for (uint32_t l = 0; l < 64; ++l) lanes[8 * 64 + l] = l == 3 ? 99 : l;
    EXPECT_EQ(lumk_run_batch(*by_gid, lanes.data(), &slot, 40, 8, nullptr, &t), LUMK_TRAP_BOUNDS);
    EXPECT_EQ(t.gid, 43u);
    EXPECT_EQ(t.value, 99);
    EXPECT_EQ(t.limit, 8u);
    EXPECT_EQ(buf, (std::vector<int32_t>{40, 41, 42, -1, -1, -1, -1, -1}));
    // Consecutive indexes that wrap around past 2^64 - 1 are out of bounds
    // from the first lane on.
    auto load = program_of({{LUMK_LD_I32, 7, 0, 8, 0}, {LUMK_END, 0, 0, 0, 0}});
    for (uint32_t l = 0; l < 4; ++l) lanes[8 * 64 + l] = ~0ull - 1 + l;
    EXPECT_EQ(lumk_run_batch(*load, lanes.data(), &slot, 40, 4, nullptr, &t), LUMK_TRAP_BOUNDS);
    EXPECT_EQ(t.gid, 40u);
    EXPECT_EQ(t.value, -2);
}

}  // namespace
