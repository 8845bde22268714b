#include "kernel/exec/batch.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "kernel/compiler/kernel_types.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/lane_math.h"
#include "kernel/exec/reg_bits.h"
#include "kernel/exec/simd_clones.h"

namespace {

using namespace lumk_bits;

static_assert(std::endian::native == std::endian::little, "lane layout assumes a little-endian host");

constexpr uint64_t k_hi = 0xFFFFFFFF00000000ull;

inline uint64_t wlo(uint64_t old, uint32_t bits) { return (old & k_hi) | bits; }

inline uint64_t addr_of(const uint8_t* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Typed memory accessors: any alignment, machine byte order. `get` turns the
// bytes at p into the lane's new value (old = the lane before the load, kept
// in the upper half for f32); `put` writes the lane's low bytes.
template <class Raw, class Wide>
struct el_int {
    using raw = Raw;
    static uint64_t widen(uint64_t, Raw v) { return static_cast<uint64_t>(static_cast<Wide>(v)); }
    static uint64_t get(uint64_t old, const uint8_t* p) {
        Raw v;
        std::memcpy(&v, p, sizeof v);
        return widen(old, v);
    }
};
using el_i8 = el_int<int8_t, int64_t>;
using el_u8 = el_int<uint8_t, uint64_t>;
using el_i16 = el_int<int16_t, int64_t>;
using el_u16 = el_int<uint16_t, uint64_t>;
using el_i32 = el_int<int32_t, int64_t>;
using el_u32 = el_int<uint32_t, uint64_t>;
using el_x64 = el_int<uint64_t, uint64_t>;
struct el_f32 {
    using raw = uint32_t;
    static uint64_t widen(uint64_t old, uint32_t v) { return wlo(old, v); }
    static uint64_t get(uint64_t old, const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return wlo(old, v);
    }
};
template <class E>
inline void put(uint8_t* p, uint64_t lane) {
    typename E::raw v;
    std::memcpy(&v, &lane, sizeof v);
    std::memcpy(p, &v, sizeof v);
}

// True when the lanes' indexes are c[0], c[0] + 1, ..., c[0] + n - 1 (the
// common case of an index derived from gid): such an access touches one
// block of elements and needs a single bounds test.
inline bool consecutive(const uint64_t* c, uint32_t n) {
    const uint64_t c0 = c[0];
    uint64_t diff = 0;
    for (uint32_t l = 0; l < n; ++l) diff |= c[l] ^ (c0 + l);
    return diff == 0;
}
// Elements first .. first + n - 1 all lie below count.
inline bool block_inside(uint64_t first, uint32_t n, uint64_t count) { return first < count && count - first > n - 1; }

// A block of n consecutive elements into the lanes, and the lanes' low bytes
// into such a block; the elements pass through a local row so that both
// loops are plain array loops the compiler can vectorise.
template <class E>
inline void load_block(uint64_t* a, const uint8_t* src, uint32_t n) {
    typename E::raw tmp[LUMK_BATCH_LANES];
    if (n == LUMK_BATCH_LANES)
        std::memcpy(tmp, src, sizeof tmp);  // a fixed size: plain vector moves
    else
        std::memcpy(tmp, src, n * sizeof(typename E::raw));
    for (uint32_t l = 0; l < n; ++l) a[l] = E::widen(a[l], tmp[l]);
}
template <class E>
inline void store_block(uint8_t* dst, const uint64_t* a, uint32_t n) {
    typename E::raw tmp[LUMK_BATCH_LANES];
    for (uint32_t l = 0; l < n; ++l) tmp[l] = static_cast<typename E::raw>(a[l]);
    if (n == LUMK_BATCH_LANES)
        std::memcpy(dst, tmp, sizeof tmp);
    else
        std::memcpy(dst, tmp, n * sizeof(typename E::raw));
}

template <class T>
inline T atomic_add(uint8_t* p, T v) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(p)).fetch_add(v);
}

}  // namespace

// Every opcode has its case in the dispatch switch (a switch over lumk_op that
// misses one does not compile); the default is for numbers past the last opcode.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch-enum"
LUMK_SIMD_CLONES
int lumk_run_batch(const lumk_program& program, uint64_t* lanes, const kptr* ptrs, uint64_t gid_begin, uint32_t n,
                   const volatile uint8_t* abort, ktrap* trap) {
    const lumk_insn* const code = program.code.data();
    const size_t code_size = program.code.size();
    if (code_size == 0 || n == 0) return 0;
    if (n > LUMK_BATCH_LANES) n = LUMK_BATCH_LANES;

    uint32_t pc = 0;
    // Trap details gathered by the handlers, written to *trap at the exit.
    uint32_t tcode = 0, tlane = 0;
    int64_t tvalue = 0;
    uint64_t tlimit = 0;
    double tfvalue = 0;
    bool has_fvalue = false;

#define ROW(f) (lanes + static_cast<size_t>(f) * LUMK_BATCH_LANES)
#define A ROW(ip.a)
#define B ROW(ip.b)
#define C ROW(ip.c)
#define LANES for (uint32_t l = 0; l < n; ++l)
#define TRAP(c_, l_, v_, lim_)                    \
    do {                                          \
        tcode = (c_);                             \
        tlane = (l_);                             \
        tvalue = static_cast<int64_t>(v_);        \
        tlimit = static_cast<uint64_t>(lim_);     \
        goto trap_out;                            \
    } while (0)
#define TRAPF(c_, l_, fv_)  \
    do {                    \
        tcode = (c_);       \
        tlane = (l_);       \
        tfvalue = (fv_);    \
        has_fvalue = true;  \
        goto trap_out;      \
    } while (0)
// Conditional jumps: every lane agrees, or the batch goes back to the runner.
#define BRANCH(COND)                                                         \
    {                                                                        \
        uint32_t k_ = 0;                                                     \
        LANES k_ += (COND) ? 1u : 0u;                                        \
        if (k_ == n) {                                                       \
            pc = static_cast<uint32_t>(ip.imm);                              \
            continue;                                                        \
        }                                                                    \
        if (k_ != 0) {                                                       \
            if (trap != nullptr) trap->pc = pc;                              \
            return LUMK_TRAP_DIVERGED;                                       \
        }                                                                    \
        break;                                                               \
    }

    for (;;) {
        const lumk_insn& ip = code[pc];
        switch (static_cast<lumk_op>(ip.op)) {
            // ---- control ----
            case LUMK_NOP: break;
            case LUMK_END: return 0;
            case LUMK_MOV: {
                uint64_t* a = A;
                const uint64_t* b = B;
                if (a != b) std::memcpy(a, b, n * sizeof(uint64_t));
                break;
            }
            case LUMK_JMP: pc = static_cast<uint32_t>(ip.imm); continue;
            case LUMK_LOOP:
                if (lumk_abort_seen(abort)) TRAP(LUMK_TRAP_ABORT, 0, 0, 0);
                pc = static_cast<uint32_t>(ip.imm);
                continue;
            case LUMK_JT: { const uint64_t* a = A; BRANCH(a[l] != 0) }
            case LUMK_JF: { const uint64_t* a = A; BRANCH(a[l] == 0) }

            // ---- add, subtract, multiply ----
#define ARITH3(NAME, OPR)                                                                      \
    case LUMK_##NAME##_I32: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES a[l] = sx32(b[l] OPR c[l]); break; } \
    case LUMK_##NAME##_U32: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES a[l] = zx32(b[l] OPR c[l]); break; } \
    case LUMK_##NAME##_X64: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES a[l] = b[l] OPR c[l]; break; }       \
    case LUMK_##NAME##_F32: {                                                                  \
        uint64_t* a = A; const uint64_t *b = B, *c = C;                                        \
        LANES { const float v_ = lf(b[l]) OPR lf(c[l]); a[l] = wf(a[l], v_); }                 \
        break;                                                                                 \
    }                                                                                          \
    case LUMK_##NAME##_F64: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES a[l] = bitsd(f64(b[l]) OPR f64(c[l])); break; }
            ARITH3(ADD, +)
            ARITH3(SUB, -)
            ARITH3(MUL, *)
#undef ARITH3

            // ---- divide and modulo: the divisor test first ----
#define DIVMOD(NAME, OPR)                                                                   \
    case LUMK_##NAME##_I32: {                                                               \
        uint64_t* a = A; const uint64_t *b = B, *c = C;                                     \
        LANES {                                                                             \
            const uint64_t b_ = b[l], c_ = c[l];                                            \
            const int32_t xb_ = static_cast<int32_t>(b_), xc_ = static_cast<int32_t>(c_);  \
            if (xc_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, l, b_, 0);                               \
            if (xb_ == INT32_MIN && xc_ == -1) TRAP(LUMK_TRAP_DIV_OVERFLOW, l, b_, c_);     \
            a[l] = static_cast<uint64_t>(static_cast<int64_t>(xb_ OPR xc_));                \
        }                                                                                   \
        break;                                                                              \
    }                                                                                       \
    case LUMK_##NAME##_U32: {                                                               \
        uint64_t* a = A; const uint64_t *b = B, *c = C;                                     \
        LANES {                                                                             \
            const uint64_t b_ = b[l];                                                       \
            const uint32_t c_ = static_cast<uint32_t>(c[l]);                                \
            if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, l, b_, 0);                                \
            a[l] = static_cast<uint32_t>(b_) OPR c_;                                        \
        }                                                                                   \
        break;                                                                              \
    }                                                                                       \
    case LUMK_##NAME##_I64: {                                                               \
        uint64_t* a = A; const uint64_t *b = B, *c = C;                                     \
        LANES {                                                                             \
            const uint64_t b_ = b[l], c_ = c[l];                                            \
            if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, l, b_, 0);                                \
            if (s64(b_) == INT64_MIN && s64(c_) == -1) TRAP(LUMK_TRAP_DIV_OVERFLOW, l, b_, c_); \
            a[l] = static_cast<uint64_t>(s64(b_) OPR s64(c_));                              \
        }                                                                                   \
        break;                                                                              \
    }                                                                                       \
    case LUMK_##NAME##_U64: {                                                               \
        uint64_t* a = A; const uint64_t *b = B, *c = C;                                     \
        LANES {                                                                             \
            const uint64_t b_ = b[l], c_ = c[l];                                            \
            if (c_ == 0) TRAP(LUMK_TRAP_DIV_ZERO, l, b_, 0);                                \
            a[l] = b_ OPR c_;                                                               \
        }                                                                                   \
        break;                                                                              \
    }
            DIVMOD(DIV, /)
            DIVMOD(MOD, %)
#undef DIVMOD
            case LUMK_DIV_F32: {
                uint64_t* a = A; const uint64_t *b = B, *c = C;
                LANES { const float v_ = lf(b[l]) / lf(c[l]); a[l] = wf(a[l], v_); }
                break;
            }
            case LUMK_DIV_F64: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES a[l] = bitsd(f64(b[l]) / f64(c[l])); break; }
            case LUMK_MOD_F32: {
                uint64_t* a = A; const uint64_t *b = B, *c = C;
                LANES { const float v_ = std::fmod(lf(b[l]), lf(c[l])); a[l] = wf(a[l], v_); }
                break;
            }
            case LUMK_MOD_F64: {
                uint64_t* a = A; const uint64_t *b = B, *c = C;
                LANES a[l] = bitsd(std::fmod(f64(b[l]), f64(c[l])));
                break;
            }

            // ---- add immediate, division by a constant ----
            case LUMK_ADDI_I32: { uint64_t* a = A; const uint64_t* b = B; const uint64_t k = ip.imm; LANES a[l] = sx32(b[l] + k); break; }
            case LUMK_ADDI_U32: { uint64_t* a = A; const uint64_t* b = B; const uint64_t k = ip.imm; LANES a[l] = zx32(b[l] + k); break; }
            case LUMK_ADDI_X64: { uint64_t* a = A; const uint64_t* b = B; const uint64_t k = ip.imm; LANES a[l] = b[l] + k; break; }
            case LUMK_DIVC_U32: {
                uint64_t* a = A; const uint64_t* b = B; const uint64_t m = ip.imm;
                LANES a[l] = mulhi(static_cast<uint32_t>(b[l]), m);
                break;
            }
            case LUMK_MODC_U32: {
                uint64_t* a = A; const uint64_t* b = B; const uint64_t m = ip.imm, d = ip.c;
                LANES a[l] = mulhi(static_cast<uint32_t>(b[l]) * m, d);
                break;
            }
            case LUMK_DIVC_I32: {
                uint64_t* a = A; const uint64_t* b = B; const uint64_t m = ip.imm;
                LANES {
                    const uint64_t b_ = b[l];
                    const uint64_t q_ = mulhi(abs32(b_), m);
                    a[l] = s64(b_) < 0 ? 0 - q_ : q_;
                }
                break;
            }
            case LUMK_MODC_I32: {
                uint64_t* a = A; const uint64_t* b = B; const uint64_t m = ip.imm, d = ip.c;
                LANES {
                    const uint64_t b_ = b[l];
                    const uint64_t r_ = mulhi(abs32(b_) * m, d);
                    a[l] = s64(b_) < 0 ? 0 - r_ : r_;
                }
                break;
            }

            // ---- bitwise and shifts ----
#define BIN(OPC, EXPR) case OPC: { uint64_t* a = A; const uint64_t *b = B, *c = C; LANES { const uint64_t x = b[l], y = c[l]; a[l] = (EXPR); } break; }
#define UN(OPC, EXPR) case OPC: { uint64_t* a = A; const uint64_t* b = B; LANES { const uint64_t x = b[l]; a[l] = (EXPR); } break; }
            BIN(LUMK_AND_X, x & y)
            BIN(LUMK_OR_X, x | y)
            BIN(LUMK_XOR_X, x ^ y)
            BIN(LUMK_SHL_I32, sx32(static_cast<uint32_t>(x) << (y & 31)))
            BIN(LUMK_SHL_U32, zx32(static_cast<uint32_t>(x) << (y & 31)))
            BIN(LUMK_SHL_X64, x << (y & 63))
            BIN(LUMK_SHR_I32, static_cast<uint64_t>(int64_t{static_cast<int32_t>(x) >> (y & 31)}))
            BIN(LUMK_SHR_U32, static_cast<uint32_t>(x) >> (y & 31))
            BIN(LUMK_SHR_I64, static_cast<uint64_t>(s64(x) >> (y & 63)))
            BIN(LUMK_SHR_U64, x >> (y & 63))

            // ---- unary ----
            UN(LUMK_NEG_I32, sx32(0 - x))
            UN(LUMK_NEG_U32, zx32(0 - x))
            UN(LUMK_NEG_X64, 0 - x)
            case LUMK_NEG_F32: { uint64_t* a = A; const uint64_t* b = B; LANES a[l] = wlo(a[l], static_cast<uint32_t>(b[l]) ^ 0x80000000u); break; }
            UN(LUMK_NEG_F64, x ^ 0x8000000000000000ull)
            UN(LUMK_NOT_X, ~x)
            UN(LUMK_NOT_U32, zx32(~x))
            UN(LUMK_LNOT, x == 0 ? 1u : 0u)

            // ---- minimum and maximum: a NaN or a tie keeps the first operand ----
            BIN(LUMK_MIN_S, s64(y) < s64(x) ? y : x)
            BIN(LUMK_MIN_U, y < x ? y : x)
            BIN(LUMK_MIN_F64, f64(y) < f64(x) ? y : x)
            BIN(LUMK_MAX_S, s64(x) < s64(y) ? y : x)
            BIN(LUMK_MAX_U, x > y ? x : y)
            BIN(LUMK_MAX_F64, f64(x) < f64(y) ? y : x)
            case LUMK_MIN_F32: {
                uint64_t* a = A; const uint64_t *b = B, *c = C;
                LANES { const uint64_t x = b[l], y = c[l]; a[l] = wlo(a[l], static_cast<uint32_t>(lf(y) < lf(x) ? y : x)); }
                break;
            }
            case LUMK_MAX_F32: {
                uint64_t* a = A; const uint64_t *b = B, *c = C;
                LANES { const uint64_t x = b[l], y = c[l]; a[l] = wlo(a[l], static_cast<uint32_t>(lf(x) < lf(y) ? y : x)); }
                break;
            }
            UN(LUMK_ABS_I32, s64(x) < 0 ? sx32(0 - x) : x)
            UN(LUMK_ABS_I64, s64(x) < 0 ? 0 - x : x)
            case LUMK_ABS_F32: { uint64_t* a = A; const uint64_t* b = B; LANES a[l] = wlo(a[l], static_cast<uint32_t>(b[l]) & 0x7FFFFFFFu); break; }
            UN(LUMK_ABS_F64, x & 0x7FFFFFFFFFFFFFFFull)
            case LUMK_SQRT_F32: { uint64_t* a = A; const uint64_t* b = B; LANES { const float v_ = std::sqrt(lf(b[l])); a[l] = wf(a[l], v_); } break; }
            UN(LUMK_SQRT_F64, bitsd(std::sqrt(f64(x))))
            case LUMK_MATH1_F32: {
                uint64_t* a = A; const uint64_t* b = B; const uint32_t fn = ip.c & 0xFF;
                LANES { const float v_ = lumk_math1<float>(fn, lf(b[l])); a[l] = wf(a[l], v_); }
                break;
            }
            case LUMK_MATH1_F64: {
                uint64_t* a = A; const uint64_t* b = B; const uint32_t fn = ip.c & 0xFF;
                LANES a[l] = bitsd(lumk_math1<double>(fn, f64(b[l])));
                break;
            }
            case LUMK_MATH2_F32: {
                uint64_t* a = A; const uint64_t *b = B, *c = C; const uint32_t fn = ip.imm & 0xFF;
                LANES { const float v_ = lumk_math2<float>(fn, lf(b[l]), lf(c[l])); a[l] = wf(a[l], v_); }
                break;
            }
            case LUMK_MATH2_F64: {
                uint64_t* a = A; const uint64_t *b = B, *c = C; const uint32_t fn = ip.imm & 0xFF;
                LANES a[l] = bitsd(lumk_math2<double>(fn, f64(b[l]), f64(c[l])));
                break;
            }

            // ---- comparisons: CMP<cc> of (b, c); JT/JF<cc> of (a, b) ----
#define CMPJ(CC, CLS, EXPR)                                                                     \
    BIN(LUMK_CMP##CC##_##CLS, (EXPR) ? 1u : 0u)                                                 \
    case LUMK_JT##CC##_##CLS: { const uint64_t *ra = A, *rb = B; BRANCH(([&] { const uint64_t x = ra[l], y = rb[l]; return (EXPR); }())) } \
    case LUMK_JF##CC##_##CLS: { const uint64_t *ra = A, *rb = B; BRANCH(!([&] { const uint64_t x = ra[l], y = rb[l]; return (EXPR); }())) }
#define CMP_INT(CC, OPR) CMPJ(CC, S, s64(x) OPR s64(y)) CMPJ(CC, U, x OPR y)
#define CMP_FLT(CC, OPR) CMPJ(CC, F32, lf(x) OPR lf(y)) CMPJ(CC, F64, f64(x) OPR f64(y))
            CMPJ(EQ, X, x == y)
            CMPJ(NE, X, x != y)
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
#undef CMP_INT
#undef CMPJ

            // ---- conversions ----
            UN(LUMK_TRUNC_I8, sx8(x))
            UN(LUMK_TRUNC_U8, x & 0xFFu)
            UN(LUMK_TRUNC_I16, sx16(x))
            UN(LUMK_TRUNC_U16, x & 0xFFFFu)
            UN(LUMK_TRUNC_I32, sx32(x))
            UN(LUMK_TRUNC_U32, zx32(x))
            case LUMK_CVT_S_F32: { uint64_t* a = A; const uint64_t* b = B; LANES { const float v_ = static_cast<float>(s64(b[l])); a[l] = wf(a[l], v_); } break; }
            case LUMK_CVT_U_F32: { uint64_t* a = A; const uint64_t* b = B; LANES { const float v_ = static_cast<float>(b[l]); a[l] = wf(a[l], v_); } break; }
            UN(LUMK_CVT_S_F64, bitsd(static_cast<double>(s64(x))))
            UN(LUMK_CVT_U_F64, bitsd(static_cast<double>(x)))
#define CVT_INT(NAME, RD)                                                                       \
    case LUMK_CVT_##NAME##_INT: {                                                               \
        uint64_t* a = A; const uint64_t* b = B; const uint32_t target = ip.c & 0xFF;            \
        LANES {                                                                                 \
            const double v_ = RD(b[l]);                                                         \
            uint64_t out_;                                                                      \
            if (!lumk_f2i(v_, target, out_)) TRAPF(LUMK_TRAP_CONVERT, l, v_);                   \
            a[l] = out_;                                                                        \
        }                                                                                       \
        break;                                                                                  \
    }
            CVT_INT(F32, lf)
            CVT_INT(F64, f64)
#undef CVT_INT
            UN(LUMK_CVT_F32_F64, bitsd(static_cast<double>(lf(x))))
            case LUMK_CVT_F64_F32: { uint64_t* a = A; const uint64_t* b = B; LANES { const float v_ = static_cast<float>(f64(b[l])); a[l] = wf(a[l], v_); } break; }
            UN(LUMK_BOOL_F32, lf(x) != 0.0f ? 1u : 0u)
            UN(LUMK_BOOL_F64, f64(x) != 0.0 ? 1u : 0u)
#undef BIN
#undef UN

            // ---- memory: one slot for all lanes, resolved once ----
#define MEMFAM(T, E)                                                                            \
    case LUMK_LD_##T: {                                                                         \
        const kptr& s_ = ptrs[ip.b];                                                            \
        const uint8_t* base = s_.base; const uint64_t count = s_.count, k = ip.imm;              \
        uint64_t* a = A; const uint64_t* c = C;                                                 \
        if (consecutive(c, n) && block_inside(c[0] + k, n, count)) {                            \
            load_block<E>(a, at(base, (c[0] + k) * sizeof(E::raw)), n);                         \
            break;                                                                              \
        }                                                                                       \
        LANES {                                                                                 \
            const uint64_t i_ = c[l] + k;                                                       \
            if (i_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, i_, count);                              \
            a[l] = E::get(a[l], at(base, i_ * sizeof(E::raw)));                                 \
        }                                                                                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_LDU_##T: {                                                                        \
        const uint8_t* base = ptrs[ip.b].base; const uint64_t k = ip.imm;                       \
        uint64_t* a = A; const uint64_t* c = C;                                                 \
        if (consecutive(c, n)) {                                                                \
            load_block<E>(a, at(base, (c[0] + k) * sizeof(E::raw)), n);                         \
            break;                                                                              \
        }                                                                                       \
        LANES a[l] = E::get(a[l], at(base, (c[l] + k) * sizeof(E::raw)));                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_LDF_##T: {                                                                        \
        const kptr& s_ = ptrs[ip.b];                                                            \
        const uint8_t* base = s_.base; const uint64_t count = s_.count, stride = s_.stride, k = ip.imm; \
        uint64_t* a = A; const uint64_t* c = C;                                                 \
        LANES {                                                                                 \
            const uint64_t x_ = c[l];                                                           \
            if (x_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, x_, count);                              \
            a[l] = E::get(a[l], at(base, x_ * stride + k));                                     \
        }                                                                                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_LDFU_##T: {                                                                       \
        const uint8_t* base = ptrs[ip.b].base; const uint64_t stride = ptrs[ip.b].stride, k = ip.imm; \
        uint64_t* a = A; const uint64_t* c = C;                                                 \
        LANES a[l] = E::get(a[l], at(base, c[l] * stride + k));                                 \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_LDR_##T: {                                                                        \
        uint64_t* a = A; const uint64_t* b = B; const uint64_t k = ip.imm;                      \
        LANES a[l] = E::get(a[l], at(b[l] + k));                                                \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_ST_##T: {                                                                         \
        const kptr& s_ = ptrs[ip.b];                                                            \
        uint8_t* base = s_.base; const uint64_t count = s_.count, k = ip.imm;                   \
        const uint64_t *a = A, *c = C;                                                          \
        if (consecutive(c, n) && block_inside(c[0] + k, n, count)) {                            \
            store_block<E>(at(base, (c[0] + k) * sizeof(E::raw)), a, n);                        \
            break;                                                                              \
        }                                                                                       \
        LANES {                                                                                 \
            const uint64_t i_ = c[l] + k;                                                       \
            if (i_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, i_, count);                              \
            put<E>(at(base, i_ * sizeof(E::raw)), a[l]);                                        \
        }                                                                                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_STU_##T: {                                                                        \
        uint8_t* base = ptrs[ip.b].base; const uint64_t k = ip.imm;                             \
        const uint64_t *a = A, *c = C;                                                          \
        if (consecutive(c, n)) {                                                                \
            store_block<E>(at(base, (c[0] + k) * sizeof(E::raw)), a, n);                        \
            break;                                                                              \
        }                                                                                       \
        LANES put<E>(at(base, (c[l] + k) * sizeof(E::raw)), a[l]);                              \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_STF_##T: {                                                                        \
        const kptr& s_ = ptrs[ip.b];                                                            \
        uint8_t* base = s_.base; const uint64_t count = s_.count, stride = s_.stride, k = ip.imm; \
        const uint64_t *a = A, *c = C;                                                          \
        LANES {                                                                                 \
            const uint64_t x_ = c[l];                                                           \
            if (x_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, x_, count);                              \
            put<E>(at(base, x_ * stride + k), a[l]);                                            \
        }                                                                                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_STFU_##T: {                                                                       \
        uint8_t* base = ptrs[ip.b].base; const uint64_t stride = ptrs[ip.b].stride, k = ip.imm; \
        const uint64_t *a = A, *c = C;                                                          \
        LANES put<E>(at(base, c[l] * stride + k), a[l]);                                        \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_STR_##T: {                                                                        \
        const uint64_t *a = A, *b = B; const uint64_t k = ip.imm;                               \
        LANES put<E>(at(b[l] + k), a[l]);                                                       \
        break;                                                                                  \
    }
            MEMFAM(I8, el_i8)
            MEMFAM(U8, el_u8)
            MEMFAM(I16, el_i16)
            MEMFAM(U16, el_u16)
            MEMFAM(I32, el_i32)
            MEMFAM(U32, el_u32)
            MEMFAM(I64, el_x64)
            MEMFAM(U64, el_x64)
            MEMFAM(F32, el_f32)
            MEMFAM(F64, el_x64)
#undef MEMFAM

            // ---- addresses, block operations ----
            case LUMK_ADDR: {
                const kptr& s_ = ptrs[ip.b];
                const uint64_t base = addr_of(s_.base), count = s_.count, stride = s_.stride;
                uint64_t* a = A; const uint64_t* c = C;
                LANES {
                    const uint64_t x_ = c[l];
                    if (x_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, x_, count);
                    a[l] = base + x_ * stride;
                }
                break;
            }
            case LUMK_ADDRU: {
                const uint64_t base = addr_of(ptrs[ip.b].base), stride = ptrs[ip.b].stride;
                uint64_t* a = A; const uint64_t* c = C;
                LANES a[l] = base + c[l] * stride;
                break;
            }
            case LUMK_COPY: {
                const uint64_t *a = A, *b = B; const size_t bytes = static_cast<size_t>(ip.imm);
                if (bytes != 0) LANES std::memmove(at(a[l]), at(b[l]), bytes);
                break;
            }
            case LUMK_ZERO: {
                const uint64_t* a = A; const size_t bytes = static_cast<size_t>(ip.imm);
                if (bytes != 0) LANES std::memset(at(a[l]), 0, bytes);
                break;
            }

            // ---- atomic add: one read-modify-write per lane, in lane order ----
#define AADD(NAME, T, EXT, W)                                                                   \
    case LUMK_AADD_##NAME: {                                                                    \
        const kptr& s_ = ptrs[ip.b];                                                            \
        const uint64_t base = addr_of(s_.base), count = s_.count, stride = s_.stride;           \
        uint64_t* a = A; const uint64_t* c = C; const uint64_t* v = ROW(static_cast<uint16_t>(ip.imm)); \
        LANES {                                                                                 \
            const uint64_t x_ = c[l];                                                           \
            if (x_ >= count) TRAP(LUMK_TRAP_BOUNDS, l, x_, count);                              \
            const uint64_t addr_ = base + x_ * stride;                                          \
            if (addr_ % (W) != 0) TRAP(LUMK_TRAP_ALIGN, l, addr_, W);                           \
            a[l] = EXT(atomic_add<T>(at(addr_), static_cast<T>(v[l])));                         \
        }                                                                                       \
        break;                                                                                  \
    }                                                                                           \
    case LUMK_AADDR_##NAME: {                                                                   \
        uint64_t* a = A; const uint64_t *b = B, *c = C; const uint64_t k = ip.imm;              \
        LANES {                                                                                 \
            const uint64_t addr_ = b[l] + k;                                                    \
            if (addr_ % (W) != 0) TRAP(LUMK_TRAP_ALIGN, l, addr_, W);                           \
            a[l] = EXT(atomic_add<T>(at(addr_), static_cast<T>(c[l])));                         \
        }                                                                                       \
        break;                                                                                  \
    }
#define EXT_Z(v) static_cast<uint64_t>(v)
            AADD(32, uint32_t, EXT_Z, 4)
            AADD(I32, uint32_t, sx32, 4)
            AADD(64, uint64_t, EXT_Z, 8)
#undef EXT_Z
#undef AADD

            case LUMK_CHKIDX: {
                const uint64_t* a = A; const uint64_t lim = ip.imm;
                LANES if (a[l] >= lim) TRAP(LUMK_TRAP_INDEX, l, a[l], lim);
                break;
            }

            default:  // an opcode past the list ends the batch like an abort
                TRAP(LUMK_TRAP_ABORT, 0, 0, 0);
        }
        ++pc;
    }

trap_out:
    if (trap != nullptr) {
        if (has_fvalue) {
            trap->fvalue = tfvalue;
        } else {
            trap->value = tvalue;
            trap->limit = tlimit;
        }
        trap->code = (trap->code & ~0xFFu) | (tcode & 0xFFu);
        trap->pc = pc;
        trap->gid = gid_begin + tlane;
    }
    return static_cast<int>(tcode);

#undef BRANCH
#undef TRAPF
#undef TRAP
#undef LANES
#undef C
#undef B
#undef A
#undef ROW
}
#pragma GCC diagnostic pop
