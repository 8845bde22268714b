#include "kernel/exec/scalar.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <sstream>

#include "kernel/compiler/kernel_types.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/lane_math.h"
#include "kernel/exec/reg_bits.h"

// Computed goto (GCC, Clang) dispatches through one table jump per
// instruction; other compilers get a dense switch.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(LUMK_SCALAR_SWITCH)
#define LUMK_SCALAR_GOTO 1
#else
#define LUMK_SCALAR_GOTO 0
#endif

namespace {

using namespace lumk_bits;

// f32 operands live in the low 4 bytes of a register (little-endian hosts).
// Going through memcpy on the register's storage lets the compiler load and
// store them straight into float registers, and a store leaves the upper half
// untouched as the register form requires.
static_assert(std::endian::native == std::endian::little, "register layout assumes a little-endian host");
inline float rf32(const kreg& r) {
    float v;
    std::memcpy(&v, &r, sizeof v);
    return v;
}
inline void wf32(kreg& r, float v) { std::memcpy(&r, &v, sizeof v); }
inline uint32_t ru32(const kreg& r) {
    uint32_t v;
    std::memcpy(&v, &r, sizeof v);
    return v;
}
inline void wu32(kreg& r, uint32_t v) { std::memcpy(&r, &v, sizeof v); }
inline double rf64(const kreg& r) {
    double v;
    std::memcpy(&v, &r, sizeof v);
    return v;
}

// Element types of the memory opcodes: raw memory type and how a load puts
// it into a register (canonical form: sign- or zero-extended integers, an f32
// into the low 4 bytes only).
template <class Raw, class Wide>
struct el_int {
    using raw = Raw;
    static void put(kreg& dst, const uint8_t* p) {
        Raw v;
        std::memcpy(&v, p, sizeof v);
        dst.u = static_cast<uint64_t>(static_cast<Wide>(v));
    }
};
using el_i8 = el_int<int8_t, int64_t>;
using el_u8 = el_int<uint8_t, uint64_t>;
using el_i16 = el_int<int16_t, int64_t>;
using el_u16 = el_int<uint16_t, uint64_t>;
using el_i32 = el_int<int32_t, int64_t>;
using el_u32 = el_int<uint32_t, uint64_t>;
using el_i64 = el_int<uint64_t, uint64_t>;
using el_u64 = el_int<uint64_t, uint64_t>;
using el_f64 = el_int<uint64_t, uint64_t>;
struct el_f32 {
    using raw = uint32_t;
    static void put(kreg& dst, const uint8_t* p) { std::memcpy(&dst, p, sizeof(raw)); }
};

// A store writes the low bytes of the value register. Only those bytes are
// read, so a store right after a 4-byte f32 write forwards from it.
template <class E>
inline void store(uint8_t* p, const kreg& value) {
    typename E::raw v;
    std::memcpy(&v, &value, sizeof v);
    std::memcpy(p, &v, sizeof v);
}

template <class T>
inline T atomic_add(uint8_t* p, T v) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(p)).fetch_add(v);
}

}  // namespace

// Without computed goto, every opcode has its case in the dispatch switch (a
// switch over lumk_op that misses one does not compile).
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch-enum"
uint8_t lumk_run_scalar(const lumk_program& program, kreg* regs, const kptr* ptrs, uint64_t gid_begin,
                        uint64_t gid_end, const volatile uint8_t* abort, ktrap* trap, uint32_t start_pc) {
    if (gid_begin >= gid_end || program.code.empty()) return 0;
    const lumk_insn* const code = program.code.data();
    const uint16_t r_gid = program.gid, r_gx = program.gid_x, r_gy = program.gid_y;
    const bool is_2d = program.is_2d != 0;

    uint64_t gid = gid_begin;
    uint64_t width = 1, x = 0, y = 0;
    regs[r_gid].u = gid;
    if (is_2d) {
        width = regs[program.gsize_x].u;
        if (width == 0) width = 1;  // a row width of 0 counts as 1: never divide by zero
        x = gid % width;
        y = gid / width;
        regs[r_gx].u = x;
        regs[r_gy].u = y;
    }

    // Trap details gathered by the handlers, written to *trap at the exit.
    uint32_t tcode = 0;
    int64_t tvalue = 0;
    uint64_t tlimit = 0;
    double tfvalue = 0;

    if (start_pc >= program.code.size()) {  // nothing to run there: stop like an unknown opcode
        if (trap != nullptr) {
            trap->code = (trap->code & ~0xFFu) | LUMK_TRAP_ABORT;
            trap->pc = start_pc;
            trap->gid = gid;
            trap->value = 0;
            trap->limit = 0;
        }
        return LUMK_TRAP_ABORT;
    }
    const lumk_insn* ip = code + start_pc;

#define RA regs[ip->a].u
#define RB regs[ip->b].u
#define RC regs[ip->c].u
#define IMM (ip->imm)
#define FB rf32(regs[ip->b])
#define FC rf32(regs[ip->c])
#define WF(v_) wf32(regs[ip->a], (v_))
#define TRAP(c_, v_, lim_)                        \
    do {                                          \
        tcode = (c_);                             \
        tvalue = static_cast<int64_t>(v_);        \
        tlimit = static_cast<uint64_t>(lim_);     \
        goto trap_out;                            \
    } while (0)
#define TRAPF(c_, fv_)   \
    do {                 \
        tcode = (c_);    \
        tfvalue = (fv_); \
        goto trapf_out;  \
    } while (0)

#if LUMK_SCALAR_GOTO
    {
    // One label per opcode, in opcode order, from the opcode list itself: an
    // opcode without a handler fails to compile.
    static const void* const k_labels[LUMK_OP_COUNT] = {
#define LUMK_SCALAR_LABEL(name, format) &&op_##name,
        LUMK_OPCODES(LUMK_SCALAR_LABEL)
#undef LUMK_SCALAR_LABEL
    };
#define OP(name) op_##name:
// The opcode range test is a fused compare-and-branch that is never taken in
// valid code; it keeps the jump table at LUMK_OP_COUNT entries.
#define DISPATCH()                                                              \
    do {                                                                        \
        const uint32_t o_ = ip->op;                                             \
        if (__builtin_expect(o_ >= LUMK_OP_COUNT, 0)) goto op_BAD;              \
        goto* k_labels[o_];                                                     \
    } while (0)
    DISPATCH();
#else
#define OP(name) case LUMK_##name:
#define DISPATCH() goto dispatch
dispatch:
    switch (static_cast<lumk_op>(ip->op)) {
#endif
#define NEXT()      \
    do {            \
        ++ip;       \
        DISPATCH(); \
    } while (0)
#define JUMP(t_)             \
    do {                     \
        ip = code + (t_);    \
        DISPATCH();          \
    } while (0)

    // ---- control ----
    OP(NOP) NEXT();
    OP(END) {
        if (++gid >= gid_end) return 0;
        regs[r_gid].u = gid;
        if (is_2d) {
            if (++x == width) {
                x = 0;
                ++y;
            }
            regs[r_gx].u = x;
            regs[r_gy].u = y;
        }
        JUMP(0);
    }
    OP(MOV) { RA = RB; NEXT(); }
    OP(JMP) JUMP(IMM);
    OP(LOOP) {
        if (lumk_abort_seen(abort)) TRAP(LUMK_TRAP_ABORT, 0, 0);
        JUMP(IMM);
    }
    OP(JT) { if (RA != 0) JUMP(IMM); NEXT(); }
    OP(JF) { if (RA == 0) JUMP(IMM); NEXT(); }

    // ---- add, subtract, multiply ----
#define ARITH3(NAME, OPR)                                   \
    OP(NAME##_I32) { RA = sx32(RB OPR RC); NEXT(); }        \
    OP(NAME##_U32) { RA = zx32(RB OPR RC); NEXT(); }        \
    OP(NAME##_X64) { RA = RB OPR RC; NEXT(); }              \
    OP(NAME##_F32) { const float v_ = FB OPR FC; WF(v_); NEXT(); } \
    OP(NAME##_F64) { RA = bitsd(f64(RB) OPR f64(RC)); NEXT(); }
    ARITH3(ADD, +)
    ARITH3(SUB, -)
    ARITH3(MUL, *)
#undef ARITH3

    // ---- divide and modulo ----
#define DIVMOD(NAME, OPR)                                                              \
    OP(NAME##_I32) {                                                                   \
        const uint64_t b_ = RB, c_ = RC;                                               \
        const int32_t xb_ = static_cast<int32_t>(b_), xc_ = static_cast<int32_t>(c_); \
        if (xc_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, b_, 0);                                 \
        if (xb_ == INT32_MIN && xc_ == -1) TRAP(LUMK_TRAP_DIV_OVERFLOW, b_, c_);       \
        RA = static_cast<uint64_t>(static_cast<int64_t>(xb_ OPR xc_));                 \
        NEXT();                                                                        \
    }                                                                                  \
    OP(NAME##_U32) {                                                                   \
        const uint64_t b_ = RB;                                                        \
        const uint32_t c_ = static_cast<uint32_t>(RC);                                 \
        if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, b_, 0);                                  \
        RA = static_cast<uint32_t>(b_) OPR c_;                                         \
        NEXT();                                                                        \
    }                                                                                  \
    OP(NAME##_I64) {                                                                   \
        const uint64_t b_ = RB, c_ = RC;                                               \
        if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, b_, 0);                                  \
        if (s64(b_) == INT64_MIN && s64(c_) == -1) TRAP(LUMK_TRAP_DIV_OVERFLOW, b_, c_); \
        RA = static_cast<uint64_t>(s64(b_) OPR s64(c_));                               \
        NEXT();                                                                        \
    }                                                                                  \
    OP(NAME##_U64) {                                                                   \
        const uint64_t b_ = RB, c_ = RC;                                               \
        if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, b_, 0);                                  \
        RA = b_ OPR c_;                                                                \
        NEXT();                                                                        \
    }
    DIVMOD(DIV, /)
    DIVMOD(MOD, %)
#undef DIVMOD
    OP(DIV_F32) { const float v_ = FB / FC; WF(v_); NEXT(); }
    OP(DIV_F64) { RA = bitsd(f64(RB) / f64(RC)); NEXT(); }
    OP(MOD_F32) { const float v_ = std::fmod(FB, FC); WF(v_); NEXT(); }
    OP(MOD_F64) { RA = bitsd(std::fmod(f64(RB), f64(RC))); NEXT(); }

    // ---- add immediate, division by a constant ----
    OP(ADDI_I32) { RA = sx32(RB + IMM); NEXT(); }
    OP(ADDI_U32) { RA = zx32(RB + IMM); NEXT(); }
    OP(ADDI_X64) { RA = RB + IMM; NEXT(); }
    OP(DIVC_U32) { RA = mulhi(static_cast<uint32_t>(RB), IMM); NEXT(); }
    OP(MODC_U32) { RA = mulhi(static_cast<uint32_t>(RB) * IMM, ip->c); NEXT(); }
    OP(DIVC_I32) {
        const uint64_t b_ = RB;
        const uint64_t q_ = mulhi(abs32(b_), IMM);
        RA = s64(b_) < 0 ? 0 - q_ : q_;
        NEXT();
    }
    OP(MODC_I32) {
        const uint64_t b_ = RB;
        const uint64_t r_ = mulhi(abs32(b_) * IMM, ip->c);
        RA = s64(b_) < 0 ? 0 - r_ : r_;
        NEXT();
    }

    // ---- bitwise and shifts ----
    OP(AND_X) { RA = RB & RC; NEXT(); }
    OP(OR_X) { RA = RB | RC; NEXT(); }
    OP(XOR_X) { RA = RB ^ RC; NEXT(); }
    OP(SHL_I32) { RA = sx32(static_cast<uint32_t>(RB) << (RC & 31)); NEXT(); }
    OP(SHL_U32) { RA = zx32(static_cast<uint32_t>(RB) << (RC & 31)); NEXT(); }
    OP(SHL_X64) { RA = RB << (RC & 63); NEXT(); }
    OP(SHR_I32) { RA = static_cast<uint64_t>(int64_t{static_cast<int32_t>(RB) >> (RC & 31)}); NEXT(); }
    OP(SHR_U32) { RA = static_cast<uint32_t>(RB) >> (RC & 31); NEXT(); }
    OP(SHR_I64) { RA = static_cast<uint64_t>(s64(RB) >> (RC & 63)); NEXT(); }
    OP(SHR_U64) { RA = RB >> (RC & 63); NEXT(); }

    // ---- unary ----
    OP(NEG_I32) { RA = sx32(0 - RB); NEXT(); }
    OP(NEG_U32) { RA = zx32(0 - RB); NEXT(); }
    OP(NEG_X64) { RA = 0 - RB; NEXT(); }
    OP(NEG_F32) { wu32(regs[ip->a], ru32(regs[ip->b]) ^ 0x80000000u); NEXT(); }
    OP(NEG_F64) { RA = RB ^ 0x8000000000000000ull; NEXT(); }
    OP(NOT_X) { RA = ~RB; NEXT(); }
    OP(NOT_U32) { RA = zx32(~RB); NEXT(); }
    OP(LNOT) { RA = RB == 0 ? 1 : 0; NEXT(); }

    // ---- minimum and maximum: a NaN or a tie keeps the first operand ----
    OP(MIN_S) { const uint64_t b_ = RB, c_ = RC; RA = s64(c_) < s64(b_) ? c_ : b_; NEXT(); }
    OP(MIN_U) { const uint64_t b_ = RB, c_ = RC; RA = c_ < b_ ? c_ : b_; NEXT(); }
    OP(MIN_F32) {
        const float b_ = FB, c_ = FC;
        WF(c_ < b_ ? c_ : b_);
        NEXT();
    }
    OP(MIN_F64) { const uint64_t b_ = RB, c_ = RC; RA = f64(c_) < f64(b_) ? c_ : b_; NEXT(); }
    OP(MAX_S) { const uint64_t b_ = RB, c_ = RC; RA = s64(b_) < s64(c_) ? c_ : b_; NEXT(); }
    OP(MAX_U) { const uint64_t b_ = RB, c_ = RC; RA = b_ > c_ ? b_ : c_; NEXT(); }
    OP(MAX_F32) {
        const float b_ = FB, c_ = FC;
        WF(b_ < c_ ? c_ : b_);
        NEXT();
    }
    OP(MAX_F64) { const uint64_t b_ = RB, c_ = RC; RA = f64(b_) < f64(c_) ? c_ : b_; NEXT(); }

    OP(ABS_I32) { const uint64_t b_ = RB; RA = s64(b_) < 0 ? sx32(0 - b_) : b_; NEXT(); }
    OP(ABS_I64) { const uint64_t b_ = RB; RA = s64(b_) < 0 ? 0 - b_ : b_; NEXT(); }
    OP(ABS_F32) { wu32(regs[ip->a], ru32(regs[ip->b]) & 0x7FFFFFFFu); NEXT(); }
    OP(ABS_F64) { RA = RB & 0x7FFFFFFFFFFFFFFFull; NEXT(); }
    OP(SQRT_F32) { const float v_ = std::sqrt(FB); WF(v_); NEXT(); }
    OP(SQRT_F64) { RA = bitsd(std::sqrt(f64(RB))); NEXT(); }
    OP(MATH1_F32) { const float v_ = lumk_math1<float>(ip->c & 0xFF, FB); WF(v_); NEXT(); }
    OP(MATH1_F64) { RA = bitsd(lumk_math1<double>(ip->c & 0xFF, f64(RB))); NEXT(); }
    OP(MATH2_F32) { const float v_ = lumk_math2<float>(IMM & 0xFF, FB, FC); WF(v_); NEXT(); }
    OP(MATH2_F64) { RA = bitsd(lumk_math2<double>(IMM & 0xFF, f64(RB), f64(RC))); NEXT(); }

    // ---- comparisons ----
    // CMP<cc> writes 0/1 from (b, c); JT<cc> jumps when (a, b) holds, JF<cc> when not.
#define CMPJ(CC, CLS, EXPR_BC, EXPR_AB)                                     \
    OP(CMP##CC##_##CLS) { const uint64_t l_ = RB, r_ = RC; RA = (EXPR_BC) ? 1 : 0; NEXT(); } \
    OP(JT##CC##_##CLS) { const uint64_t l_ = RA, r_ = RB; if (EXPR_AB) JUMP(IMM); NEXT(); } \
    OP(JF##CC##_##CLS) { const uint64_t l_ = RA, r_ = RB; if (!(EXPR_AB)) JUMP(IMM); NEXT(); }
#define CMP_INT(CC, OPR)                                                    \
    CMPJ(CC, S, s64(l_) OPR s64(r_), s64(l_) OPR s64(r_))                   \
    CMPJ(CC, U, l_ OPR r_, l_ OPR r_)
#define CMPJF(CC, CLS, RD, OPR)                                                                   \
    OP(CMP##CC##_##CLS) { RA = (RD(regs[ip->b]) OPR RD(regs[ip->c])) ? 1 : 0; NEXT(); }          \
    OP(JT##CC##_##CLS) { if (RD(regs[ip->a]) OPR RD(regs[ip->b])) JUMP(IMM); NEXT(); }          \
    OP(JF##CC##_##CLS) { if (!(RD(regs[ip->a]) OPR RD(regs[ip->b]))) JUMP(IMM); NEXT(); }
#define CMP_FLT(CC, OPR) CMPJF(CC, F32, rf32, OPR) CMPJF(CC, F64, rf64, OPR)
    CMPJ(EQ, X, l_ == r_, l_ == r_)
    CMPJ(NE, X, l_ != r_, l_ != r_)
    CMP_FLT(EQ, ==)
    CMP_FLT(NE, !=)
    CMP_INT(LT, <)
    CMP_FLT(LT, <)
    CMP_INT(LE, <=)
    CMP_FLT(LE, <=)
    CMP_INT(GT, >)
    CMP_FLT(GT, >)
    CMP_INT(GE, >=)
    CMP_FLT(GE, >=)
#undef CMP_FLT
#undef CMPJF
#undef CMP_INT
#undef CMPJ

    // ---- conversions ----
    OP(TRUNC_I8) { RA = sx8(RB); NEXT(); }
    OP(TRUNC_U8) { RA = RB & 0xFFu; NEXT(); }
    OP(TRUNC_I16) { RA = sx16(RB); NEXT(); }
    OP(TRUNC_U16) { RA = RB & 0xFFFFu; NEXT(); }
    OP(TRUNC_I32) { RA = sx32(RB); NEXT(); }
    OP(TRUNC_U32) { RA = zx32(RB); NEXT(); }
    OP(CVT_S_F32) { const float v_ = static_cast<float>(s64(RB)); WF(v_); NEXT(); }
    OP(CVT_U_F32) { const float v_ = static_cast<float>(RB); WF(v_); NEXT(); }
    OP(CVT_S_F64) { RA = bitsd(static_cast<double>(s64(RB))); NEXT(); }
    OP(CVT_U_F64) { RA = bitsd(static_cast<double>(RB)); NEXT(); }
    OP(CVT_F32_INT) {
        const double v_ = FB;
        uint64_t out_;
        if (!lumk_f2i(v_, ip->c & 0xFF, out_)) TRAPF(LUMK_TRAP_CONVERT, v_);
        RA = out_;
        NEXT();
    }
    OP(CVT_F64_INT) {
        const double v_ = f64(RB);
        uint64_t out_;
        if (!lumk_f2i(v_, ip->c & 0xFF, out_)) TRAPF(LUMK_TRAP_CONVERT, v_);
        RA = out_;
        NEXT();
    }
    OP(CVT_F32_F64) { RA = bitsd(static_cast<double>(FB)); NEXT(); }
    OP(CVT_F64_F32) { const float v_ = static_cast<float>(f64(RB)); WF(v_); NEXT(); }
    OP(BOOL_F32) { RA = FB != 0.0f ? 1 : 0; NEXT(); }
    OP(BOOL_F64) { RA = f64(RB) != 0.0 ? 1 : 0; NEXT(); }

    // ---- memory ----
    // LD/ST: element index x + imm, checked against count. LDF/STF: element x,
    // checked, plus a byte offset. U forms skip the check. LDR/STR: R(b) + imm.
#define MEMFAM(T, E)                                                                   \
    OP(LD_##T) {                                                                       \
        const kptr& s_ = ptrs[ip->b];                                                  \
        const uint64_t i_ = RC + IMM;                                                  \
        if (i_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, i_, s_.count);                      \
        E::put(regs[ip->a], at(s_.base, i_ * sizeof(E::raw)));                            \
        NEXT();                                                                        \
    }                                                                                  \
    OP(LDU_##T) {                                                                      \
        const kptr& s_ = ptrs[ip->b];                                                  \
        E::put(regs[ip->a], at(s_.base, (RC + IMM) * sizeof(E::raw)));                    \
        NEXT();                                                                        \
    }                                                                                  \
    OP(LDF_##T) {                                                                      \
        const kptr& s_ = ptrs[ip->b];                                                  \
        const uint64_t x_ = RC;                                                        \
        if (x_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, x_, s_.count);                      \
        E::put(regs[ip->a], at(s_.base, x_ * s_.stride + IMM));                           \
        NEXT();                                                                        \
    }                                                                                  \
    OP(LDFU_##T) {                                                                     \
        const kptr& s_ = ptrs[ip->b];                                                  \
        E::put(regs[ip->a], at(s_.base, RC * s_.stride + IMM));                           \
        NEXT();                                                                        \
    }                                                                                  \
    OP(LDR_##T) { E::put(regs[ip->a], at(RB + IMM)); NEXT(); }                            \
    OP(ST_##T) {                                                                       \
        const kptr& s_ = ptrs[ip->b];                                                  \
        const uint64_t i_ = RC + IMM;                                                  \
        if (i_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, i_, s_.count);                      \
        store<E>(at(s_.base, i_ * sizeof(E::raw)), regs[ip->a]);                                \
        NEXT();                                                                        \
    }                                                                                  \
    OP(STU_##T) {                                                                      \
        const kptr& s_ = ptrs[ip->b];                                                  \
        store<E>(at(s_.base, (RC + IMM) * sizeof(E::raw)), regs[ip->a]);                        \
        NEXT();                                                                        \
    }                                                                                  \
    OP(STF_##T) {                                                                      \
        const kptr& s_ = ptrs[ip->b];                                                  \
        const uint64_t x_ = RC;                                                        \
        if (x_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, x_, s_.count);                      \
        store<E>(at(s_.base, x_ * s_.stride + IMM), regs[ip->a]);                               \
        NEXT();                                                                        \
    }                                                                                  \
    OP(STFU_##T) {                                                                     \
        const kptr& s_ = ptrs[ip->b];                                                  \
        store<E>(at(s_.base, RC * s_.stride + IMM), regs[ip->a]);                               \
        NEXT();                                                                        \
    }                                                                                  \
    OP(STR_##T) { store<E>(at(RB + IMM), regs[ip->a]); NEXT(); }
    MEMFAM(I8, el_i8)
    MEMFAM(U8, el_u8)
    MEMFAM(I16, el_i16)
    MEMFAM(U16, el_u16)
    MEMFAM(I32, el_i32)
    MEMFAM(U32, el_u32)
    MEMFAM(I64, el_i64)
    MEMFAM(U64, el_u64)
    MEMFAM(F32, el_f32)
    MEMFAM(F64, el_f64)
#undef MEMFAM

    // ---- addresses, block operations ----
    OP(ADDR) {
        const kptr& s_ = ptrs[ip->b];
        const uint64_t x_ = RC;
        if (x_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, x_, s_.count);
        RA = reinterpret_cast<uintptr_t>(s_.base) + x_ * s_.stride;
        NEXT();
    }
    OP(ADDRU) {
        const kptr& s_ = ptrs[ip->b];
        RA = reinterpret_cast<uintptr_t>(s_.base) + RC * s_.stride;
        NEXT();
    }
    OP(COPY) {
        if (IMM != 0) std::memmove(at(RA), at(RB), static_cast<size_t>(IMM));
        NEXT();
    }
    OP(ZERO) {
        if (IMM != 0) std::memset(at(RA), 0, static_cast<size_t>(IMM));
        NEXT();
    }

    // ---- atomic add: one sequentially consistent read-modify-write ----
#define AADD(NAME, T, EXT, W)                                                   \
    OP(AADD_##NAME) {                                                           \
        const kptr& s_ = ptrs[ip->b];                                           \
        const uint64_t x_ = RC;                                                 \
        if (x_ >= s_.count) TRAP(LUMK_TRAP_BOUNDS, x_, s_.count);               \
        const uint64_t addr_ = reinterpret_cast<uintptr_t>(s_.base) + x_ * s_.stride; \
        if (addr_ % (W) != 0) TRAP(LUMK_TRAP_ALIGN, addr_, W);                  \
        RA = EXT(atomic_add<T>(at(addr_), static_cast<T>(regs[static_cast<uint16_t>(IMM)].u))); \
        NEXT();                                                                 \
    }                                                                           \
    OP(AADDR_##NAME) {                                                          \
        const uint64_t addr_ = RB + IMM;                                        \
        if (addr_ % (W) != 0) TRAP(LUMK_TRAP_ALIGN, addr_, W);                  \
        RA = EXT(atomic_add<T>(at(addr_), static_cast<T>(RC)));                 \
        NEXT();                                                                 \
    }
#define EXT_Z(v) static_cast<uint64_t>(v)
    AADD(32, uint32_t, EXT_Z, 4)
    AADD(I32, uint32_t, sx32, 4)
    AADD(64, uint64_t, EXT_Z, 8)
#undef EXT_Z
#undef AADD

    OP(CHKIDX) {
        const uint64_t i_ = RA;
        if (i_ >= IMM) TRAP(LUMK_TRAP_INDEX, i_, IMM);
        NEXT();
    }

#if LUMK_SCALAR_GOTO
    op_BAD:;
    }
#else
    default: break;
    }
#endif
    // An opcode past the list ends the run like an abort.
    TRAP(LUMK_TRAP_ABORT, 0, 0);

trap_out:
    if (trap != nullptr) {
        trap->value = tvalue;
        trap->limit = tlimit;
    }
    goto fill_common;
trapf_out:
    if (trap != nullptr) trap->fvalue = tfvalue;
fill_common:
    if (trap != nullptr) {
        trap->code = (trap->code & ~0xFFu) | (tcode & 0xFFu);
        trap->pc = static_cast<uint32_t>(ip - code);
        trap->gid = gid;
    }
    return static_cast<uint8_t>(tcode);

#undef OP
#undef DISPATCH
#undef NEXT
#undef JUMP
#undef TRAP
#undef TRAPF
#undef RA
#undef RB
#undef RC
#undef IMM
#undef FB
#undef FC
#undef WF
}
#pragma GCC diagnostic pop

std::string lumk_trap_message(const lumk_program& program, const ktrap& trap) {
    const lumk_insn* insn = trap.pc < program.code.size() ? &program.code[trap.pc] : nullptr;
    std::ostringstream os;
    switch (trap.code & 0xFFu) {
        case LUMK_TRAP_BOUNDS: {
            std::string name = "?";
            if (insn != nullptr) {
                if (program.frame_bytes != 0 && insn->b == program.frame_slot) {
                    name = "frame";
                } else {
                    for (const lumk_param& p : program.params) {
                        if (p.type.is_pointer && p.slot == insn->b) {
                            name = p.name;
                            break;
                        }
                    }
                }
            }
            os << "index " << trap.value << " is out of bounds of '" << name << "' (" << trap.limit << " elements)";
            break;
        }
        case LUMK_TRAP_DIV_ZERO:
            if (insn != nullptr && insn->op < LUMK_OP_COUNT && lumk_op_mnemonics[insn->op][0] == 'M')
                os << "integer modulo by zero";
            else
                os << "integer division by zero";
            break;
        case LUMK_TRAP_DIV_OVERFLOW: os << "integer division overflow (" << trap.value << " / -1)"; break;
        case LUMK_TRAP_CONVERT:
            os << "float value " << trap.fvalue << " does not fit into "
               << (insn != nullptr && insn->c < 13 ? lumk_prim_name(insn->c) : "?");
            break;
        case LUMK_TRAP_INDEX:
            os << "array index " << trap.value << " is out of bounds (array size " << trap.limit << ")";
            break;
        case LUMK_TRAP_ALIGN: os << "atomic access to an address that is not aligned to " << trap.limit << " bytes"; break;
        case LUMK_TRAP_ABORT: os << "aborted"; break;
        default: os << "unknown error"; break;
    }
    return os.str();
}
