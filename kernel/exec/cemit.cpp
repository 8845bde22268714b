#include "kernel/exec/cemit.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>

#include "kernel/compiler/program.h"

// The prelude is hashed together with every function; the MSVC branch stays in
// the text on every platform so that a kernel hashes alike everywhere.
const std::string_view lumk_c_prelude = R"PRELUDE(
#include <stdint.h>
#include <string.h>
#include <math.h>

typedef union { int64_t i; uint64_t u; double d; float f; uint8_t* p; } kreg;
typedef struct { uint8_t* base; uint64_t count; uint64_t stride; uint64_t bytes; } kptr;
typedef struct { uint32_t code; uint32_t pc; uint64_t gid; int64_t value; double fvalue; uint64_t limit; } ktrap;

#if defined(_MSC_VER)
#include <intrin.h>
#define K_EXPORT __declspec(dllexport)
#define K_UNLIKELY(x) (x)
static __inline uint32_t k_aadd32(uint8_t* p, uint32_t v) { return (uint32_t)_InterlockedExchangeAdd((volatile long*)p, (long)v); }
static __inline uint64_t k_aadd64(uint8_t* p, uint64_t v) { return (uint64_t)_InterlockedExchangeAdd64((volatile long long*)p, (long long)v); }
static __inline uint64_t k_mulhi(uint64_t a, uint64_t b) { return __umulh(a, b); }
#define K_INLINE static __inline
#else
#if defined(_WIN32)
#define K_EXPORT __declspec(dllexport)
#else
#define K_EXPORT __attribute__((visibility("default")))
#endif
#define K_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define K_INLINE static inline
K_INLINE uint32_t k_aadd32(uint8_t* p, uint32_t v) { return __atomic_fetch_add((uint32_t*)p, v, __ATOMIC_RELAXED); }
K_INLINE uint64_t k_aadd64(uint8_t* p, uint64_t v) { return __atomic_fetch_add((uint64_t*)p, v, __ATOMIC_RELAXED); }
#if defined(__SIZEOF_INT128__)
K_INLINE uint64_t k_mulhi(uint64_t a, uint64_t b) { return (uint64_t)(((unsigned __int128)a * b) >> 64); }
#else
K_INLINE uint64_t k_mulhi(uint64_t a, uint64_t b)
{
	uint64_t al = (uint32_t)a, ah = a >> 32, bl = (uint32_t)b, bh = b >> 32;
	uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
	uint64_t mid = (ll >> 32) + (uint32_t)lh + (uint32_t)hl;
	return hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
}
#endif
#endif

K_INLINE int64_t k_i32(uint64_t v) { return (int64_t)(int32_t)(uint32_t)v; }
K_INLINE int64_t k_u32(uint64_t v) { return (int64_t)(uint32_t)v; }
K_INLINE float k_fmin(float a, float b) { return b < a ? b : a; }
K_INLINE float k_fmax(float a, float b) { return a < b ? b : a; }
K_INLINE double k_dmin(double a, double b) { return b < a ? b : a; }
K_INLINE double k_dmax(double a, double b) { return a < b ? b : a; }

K_INLINE int64_t k_divc_u32(int64_t x, uint64_t m) { return (int64_t)k_mulhi(m, (uint32_t)x); }
K_INLINE int64_t k_modc_u32(int64_t x, uint64_t m, uint32_t d) { return (int64_t)k_mulhi(m * (uint32_t)x, d); }
K_INLINE int64_t k_divc_i32(int64_t x, uint64_t m) { uint32_t ux = x < 0 ? 0u - (uint32_t)x : (uint32_t)x; int64_t q = (int64_t)k_mulhi(m, ux); return x < 0 ? -q : q; }
K_INLINE int64_t k_modc_i32(int64_t x, uint64_t m, uint32_t d) { uint32_t ux = x < 0 ? 0u - (uint32_t)x : (uint32_t)x; int64_t r = (int64_t)k_mulhi(m * ux, d); return x < 0 ? -r : r; }

/* target: 2 i8, 3 u8, 4 i16, 5 u16, 6 i32, 7 u32, 8 i64, 9 u64 (lumk_prim) */
K_INLINE int k_f2i(double v, int target, int64_t* out)
{
	double t;
	if (!(v == v)) return 0;
	t = trunc(v);
	switch (target)
	{
	case 2: if (!(t >= -128.0 && t <= 127.0)) return 0; break;
	case 3: if (!(t >= 0.0 && t <= 255.0)) return 0; break;
	case 4: if (!(t >= -32768.0 && t <= 32767.0)) return 0; break;
	case 5: if (!(t >= 0.0 && t <= 65535.0)) return 0; break;
	case 6: if (!(t >= -2147483648.0 && t <= 2147483647.0)) return 0; break;
	case 7: if (!(t >= 0.0 && t <= 4294967295.0)) return 0; break;
	case 8: if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return 0; break;
	case 9: if (!(t >= 0.0 && t < 18446744073709551616.0)) return 0; break;
	default: return 0;
	}
	*out = target == 9 ? (int64_t)(uint64_t)t : (int64_t)t;
	return 1;
}

#define K_TRAP(c, pc_, v, lim) do { trap->code = (c); trap->pc = (pc_); trap->gid = gid; trap->value = (int64_t)(v); trap->limit = (uint64_t)(lim); return (c); } while (0)
#define K_TRAPF(c, pc_, fv) do { trap->code = (c); trap->pc = (pc_); trap->gid = gid; trap->fvalue = (fv); return (c); } while (0)
)PRELUDE";

namespace {

struct mem_row {
    std::string_view suffix;
    lumk_cemit_mem mem;
};
constexpr mem_row k_mem_types[] = {
    {"I8", {"int8_t", 'i', 1}},    {"U8", {"uint8_t", 'i', 1}},   {"I16", {"int16_t", 'i', 2}},
    {"U16", {"uint16_t", 'i', 2}}, {"I32", {"int32_t", 'i', 4}},  {"U32", {"uint32_t", 'i', 4}},
    {"I64", {"int64_t", 'i', 8}},  {"U64", {"uint64_t", 'u', 8}}, {"F32", {"float", 'f', 4}},
    {"F64", {"double", 'd', 8}},
};

struct cond_row {
    std::string_view cond;
    const char* op;
};
constexpr cond_row k_conds[] = {{"EQ", "=="}, {"NE", "!="}, {"LT", "<"}, {"LE", "<="}, {"GT", ">"}, {"GE", ">="}};

const char* find_cond(std::string_view cond) {
    for (const cond_row& r : k_conds)
        if (r.cond == cond) return r.op;
    return nullptr;
}

constexpr const char* k_math1[14] = {"floor", "ceil", "round", "trunc", "sin",  "cos",  "tan",
                                     "asin",  "acos", "atan",  "exp",   "log",  "log2", "log10"};

std::string dec(uint64_t v) { return std::to_string(v); }

// "((int64_t)0x<hex>ULL)"
std::string imm_signed(uint64_t v) { return "((int64_t)" + lumk_cemit_hex(v) + ")"; }

std::string no_translation(const char* mnemonic) {
    return std::string("lumk_jit: no C translation for ") + mnemonic;
}

// Operand texts of one instruction.
struct operands {
    std::string A, B, C, I, P, L, IMM, HEX, K, N, GOTO;
    operands(const lumk_insn& in, uint32_t pc)
        : A(lumk_cemit_reg(in.a)),
          B(lumk_cemit_reg(in.b)),
          C(lumk_cemit_reg(in.c)),
          I(lumk_cemit_reg(static_cast<uint32_t>(in.imm & 0xFFFF))),
          P(dec(in.b)),
          L(dec(in.imm)),
          IMM(imm_signed(in.imm)),
          HEX(lumk_cemit_hex(in.imm)),
          K(dec(in.c)),
          N(dec(pc)),
          GOTO("goto L" + dec(in.imm) + ";") {}
};

std::string float_form(const operands& o, const std::string& e) {
    return "{ const float x = " + o.B + ".f, y = " + o.C + ".f; " + o.A + ".f = " + e + "; }";
}
std::string double_form(const operands& o, const std::string& e) {
    return "{ const double x = " + o.B + ".d, y = " + o.C + ".d; " + o.A + ".d = " + e + "; }";
}
std::string division_form(const operands& o, const char* overflow_test, const std::string& e) {
    std::string s = "{ const int64_t x = " + o.B + ".i, y = " + o.C + ".i; if (K_UNLIKELY(y == 0)) K_TRAP(2, " + o.N +
                    "u, x, y); ";
    if (overflow_test) s += std::string("if (K_UNLIKELY(") + overflow_test + ")) K_TRAP(3, " + o.N + "u, x, y); ";
    return s + o.A + ".i = " + e + "; }";
}
std::string bounds_check(const operands& o) {
    return "if (K_UNLIKELY(idx >= c" + o.P + ")) K_TRAP(1, " + o.N + "u, idx, c" + o.P + ");";
}

std::string memory_form(const operands& o, std::string_view prefix, const lumk_cemit_mem& m) {
    const std::string W = dec(m.size);
    std::string setup, address, check;
    const std::string_view kind = prefix.substr(2);  // after "LD"/"ST": "", "U", "F", "FU" or "R"
    if (kind == "" || kind == "U") {
        setup = "uint64_t idx = " + o.C + ".u + (uint64_t)" + o.IMM + ";";
        address = "b" + o.P + " + idx * " + W;
        if (kind == "") check = bounds_check(o);
    } else if (kind == "F" || kind == "FU") {
        setup = "uint64_t idx = " + o.C + ".u;";
        address = "b" + o.P + " + idx * s" + o.P + " + " + o.IMM;
        if (kind == "F") check = bounds_check(o);
    } else {  // R
        address = o.B + ".p + " + o.IMM;
    }
    const std::string T = m.c_type;
    const std::string member(1, m.member);
    if (prefix[0] == 'L')
        return "{ " + setup + " " + check + " " + T + " v; memcpy(&v, " + address + ", " + W + "); " + o.A + "." +
               member + " = v; }";
    return "{ " + setup + " " + check + " " + T + " v = (" + T + ")" + o.A + "." + member + "; memcpy(" + address +
           ", &v, " + W + "); }";
}

std::string atomic_form(const operands& o, uint16_t op) {
    std::string s;
    const bool elem = op == LUMK_AADD_32 || op == LUMK_AADD_I32 || op == LUMK_AADD_64;
    if (elem)
        s = "{ const uint64_t idx = " + o.C + ".u; " + bounds_check(o) + " uint8_t* addr = b" + o.P + " + idx * s" +
            o.P + "; ";
    else
        s = "{ uint8_t* addr = " + o.B + ".p + " + o.IMM + "; ";
    const bool wide = op == LUMK_AADD_64 || op == LUMK_AADDR_64;
    s += std::string("if (K_UNLIKELY((uintptr_t)addr & ") + (wide ? "7" : "3") + ")) K_TRAP(6, " + o.N +
         "u, (uintptr_t)addr, " + (wide ? "8" : "4") + "); ";
    const std::string& X = elem ? o.I : o.C;
    if (wide) return s + o.A + ".i = (int64_t)k_aadd64(addr, " + X + ".u); }";
    if (op == LUMK_AADD_I32 || op == LUMK_AADDR_I32)
        return s + o.A + ".i = (int64_t)(int32_t)k_aadd32(addr, (uint32_t)" + X + ".u); }";
    return s + o.A + ".i = (int64_t)k_aadd32(addr, (uint32_t)" + X + ".u); }";
}

// A memory access: the mnemonic's prefix (LD, LDU, ..., STR) and element type.
std::string memory_op(const operands& o, const char* mnemonic) {
    const std::string_view mn(mnemonic);
    const size_t us = mn.find('_');
    lumk_cemit_mem mem{};
    if (!lumk_cemit_mem_type(mn.substr(us + 1), mem)) throw std::runtime_error(no_translation(mnemonic));
    return memory_form(o, mn.substr(0, us), mem);
}

// A compare: CMP<cc> writes 0/1, JT<cc> jumps when the condition holds, JF<cc>
// when it does not; the suffix names the register member compared.
std::string compare_op(const operands& o, const char* mnemonic) {
    const std::string_view mn(mnemonic);
    const bool cmp = mn.starts_with("CMP"), jt = mn.starts_with("JT");
    const char* op = find_cond(mn.substr(cmp ? 3 : 2, 2));
    if (op == nullptr) throw std::runtime_error(no_translation(mnemonic));
    const std::string_view suffix = mn.substr(mn.find('_') + 1);
    std::string m = "d";
    if (suffix == "S") m = "i";
    else if (suffix == "U" || suffix == "X") m = "u";
    else if (suffix == "F32") m = "f";
    if (cmp) return o.A + ".i = " + o.B + "." + m + " " + op + " " + o.C + "." + m + ";";
    const std::string test = o.A + "." + m + " " + op + " " + o.B + "." + m;
    if (jt) return "if (" + test + ") " + o.GOTO;
    return "if (!(" + test + ")) " + o.GOTO;
}

// Every opcode has its case here (a switch over lumk_op that misses one does
// not compile); the default is for numbers past the last opcode.
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch-enum"
std::string by_opcode(const operands& o, const lumk_insn& in, const char* mnemonic) {
    const std::string &A = o.A, &B = o.B, &C = o.C;
    auto add3 = [&](const char* wrap, const char* sign) {
        return A + ".i = " + wrap + "((uint64_t)" + B + ".i" + sign + "(uint64_t)" + C + ".i);";
    };
    auto add64 = [&](const char* sign) {
        return A + ".i = (int64_t)((uint64_t)" + B + ".i" + sign + "(uint64_t)" + C + ".i);";
    };
    auto mul32 = [&](const char* wrap) {
        return A + ".i = " + wrap + "((uint64_t)(uint32_t)" + B + ".i * (uint64_t)(uint32_t)" + C + ".i);";
    };
    auto addi32 = [&](const char* wrap) {
        return A + ".i = " + wrap + "((uint64_t)" + B + ".i + (uint64_t)" + o.IMM + ");";
    };
    auto shl32 = [&](const char* wrap) {
        return A + ".i = " + wrap + "((uint64_t)(uint32_t)" + B + ".i << (" + C + ".i & 31));";
    };
    auto neg32 = [&](const char* wrap) { return A + ".i = " + wrap + "(0 - (uint64_t)" + B + ".i);"; };
    auto minmax = [&](const char* type, char m, const char* pick) {
        return std::string("{ const ") + type + " x = " + B + "." + m + ", y = " + C + "." + m + "; " + A + "." + m +
               " = " + pick + "; }";
    };
    auto math1_name = [&]() -> std::string { return (in.c & 0xFF) < 14 ? k_math1[in.c & 0xFF] : "floor"; };
    auto math2_name = [&]() -> std::string { return in.imm == 15 ? "atan2" : "pow"; };

    switch (static_cast<lumk_op>(in.op)) {
        case LUMK_NOP: return ";";
        case LUMK_END: return "goto k_next;";
        case LUMK_MOV: return A + " = " + B + ";";
        case LUMK_JMP: return o.GOTO;
        case LUMK_LOOP:
            return "if (K_UNLIKELY(++k_poll >= 1024u)) { k_poll = 0; if (*abort) K_TRAP(7, " + o.N + "u, 0, 0); } " +
                   o.GOTO;
        case LUMK_JT: return "if (" + A + ".i != 0) " + o.GOTO;
        case LUMK_JF: return "if (" + A + ".i == 0) " + o.GOTO;
        case LUMK_ADD_I32: return add3("k_i32", " + ");
        case LUMK_ADD_U32: return add3("k_u32", " + ");
        case LUMK_ADD_X64: return add64(" + ");
        case LUMK_SUB_I32: return add3("k_i32", " - ");
        case LUMK_SUB_U32: return add3("k_u32", " - ");
        case LUMK_SUB_X64: return add64(" - ");
        case LUMK_MUL_I32: return mul32("k_i32");
        case LUMK_MUL_U32: return mul32("k_u32");
        case LUMK_MUL_X64: return add64(" * ");
        case LUMK_ADD_F32: return float_form(o, "x + y");
        case LUMK_SUB_F32: return float_form(o, "x - y");
        case LUMK_MUL_F32: return float_form(o, "x * y");
        case LUMK_DIV_F32: return float_form(o, "x / y");
        case LUMK_ADD_F64: return double_form(o, "x + y");
        case LUMK_SUB_F64: return double_form(o, "x - y");
        case LUMK_MUL_F64: return double_form(o, "x * y");
        case LUMK_DIV_F64: return double_form(o, "x / y");
        case LUMK_MOD_F32: return float_form(o, "fmodf(x, y)");
        case LUMK_MOD_F64: return double_form(o, "fmod(x, y)");
        case LUMK_DIV_I32:
            return division_form(o, "x == INT32_MIN && y == -1", "k_i32((uint64_t)(int64_t)((int32_t)x / (int32_t)y))");
        case LUMK_DIV_U32: return division_form(o, nullptr, "k_u32((uint32_t)x / (uint32_t)y)");
        case LUMK_DIV_I64: return division_form(o, "x == INT64_MIN && y == -1", "x / y");
        case LUMK_DIV_U64: return division_form(o, nullptr, "(int64_t)((uint64_t)x / (uint64_t)y)");
        case LUMK_MOD_I32:
            return division_form(o, "x == INT32_MIN && y == -1", "k_i32((uint64_t)(int64_t)((int32_t)x % (int32_t)y))");
        case LUMK_MOD_U32: return division_form(o, nullptr, "k_u32((uint32_t)x % (uint32_t)y)");
        case LUMK_MOD_I64: return division_form(o, "x == INT64_MIN && y == -1", "x % y");
        case LUMK_MOD_U64: return division_form(o, nullptr, "(int64_t)((uint64_t)x % (uint64_t)y)");
        case LUMK_ADDI_I32: return addi32("k_i32");
        case LUMK_ADDI_U32: return addi32("k_u32");
        case LUMK_ADDI_X64: return A + ".i = (int64_t)((uint64_t)" + B + ".i + (uint64_t)" + o.IMM + ");";
        case LUMK_DIVC_U32: return A + ".i = k_divc_u32(" + B + ".i, " + o.HEX + ");";
        case LUMK_DIVC_I32: return A + ".i = k_divc_i32(" + B + ".i, " + o.HEX + ");";
        case LUMK_MODC_U32: return A + ".i = k_modc_u32(" + B + ".i, " + o.HEX + ", " + o.K + "u);";
        case LUMK_MODC_I32: return A + ".i = k_modc_i32(" + B + ".i, " + o.HEX + ", " + o.K + "u);";
        case LUMK_AND_X: return A + ".u = " + B + ".u & " + C + ".u;";
        case LUMK_OR_X: return A + ".u = " + B + ".u | " + C + ".u;";
        case LUMK_XOR_X: return A + ".u = " + B + ".u ^ " + C + ".u;";
        case LUMK_SHL_I32: return shl32("k_i32");
        case LUMK_SHL_U32: return shl32("k_u32");
        case LUMK_SHL_X64: return A + ".i = (int64_t)((uint64_t)" + B + ".i << (" + C + ".i & 63));";
        case LUMK_SHR_I32: return A + ".i = (int64_t)((int32_t)" + B + ".i >> (" + C + ".i & 31));";
        case LUMK_SHR_U32: return A + ".i = k_u32((uint32_t)" + B + ".i >> (" + C + ".i & 31));";
        case LUMK_SHR_I64: return A + ".i = " + B + ".i >> (" + C + ".i & 63);";
        case LUMK_SHR_U64: return A + ".i = (int64_t)((uint64_t)" + B + ".i >> (" + C + ".i & 63));";
        case LUMK_NEG_I32: return neg32("k_i32");
        case LUMK_NEG_U32: return neg32("k_u32");
        case LUMK_NEG_X64: return A + ".i = (int64_t)(0 - (uint64_t)" + B + ".i);";
        case LUMK_NEG_F32: return A + ".f = -" + B + ".f;";
        case LUMK_NEG_F64: return A + ".d = -" + B + ".d;";
        case LUMK_NOT_X: return A + ".u = ~" + B + ".u;";
        case LUMK_NOT_U32: return A + ".i = k_u32(~(uint64_t)" + B + ".i);";
        case LUMK_LNOT: return A + ".i = " + B + ".i ? 0 : 1;";
        case LUMK_MIN_S: return minmax("int64_t", 'i', "y < x ? y : x");
        case LUMK_MAX_S: return minmax("int64_t", 'i', "x < y ? y : x");
        case LUMK_MIN_U: return minmax("uint64_t", 'u', "y < x ? y : x");
        case LUMK_MAX_U: return minmax("uint64_t", 'u', "x < y ? y : x");
        case LUMK_MIN_F32: return float_form(o, "k_fmin(x, y)");
        case LUMK_MAX_F32: return float_form(o, "k_fmax(x, y)");
        case LUMK_MIN_F64: return double_form(o, "k_dmin(x, y)");
        case LUMK_MAX_F64: return double_form(o, "k_dmax(x, y)");
        case LUMK_ABS_I32: return A + ".i = " + B + ".i < 0 ? k_i32(0 - (uint64_t)" + B + ".i) : " + B + ".i;";
        case LUMK_ABS_I64: return A + ".i = " + B + ".i < 0 ? (int64_t)(0 - (uint64_t)" + B + ".i) : " + B + ".i;";
        case LUMK_ABS_F32: return A + ".f = fabsf(" + B + ".f);";
        case LUMK_ABS_F64: return A + ".d = fabs(" + B + ".d);";
        case LUMK_SQRT_F32: return A + ".f = sqrtf(" + B + ".f);";
        case LUMK_SQRT_F64: return A + ".d = sqrt(" + B + ".d);";
        case LUMK_MATH1_F32:
        case LUMK_MATH1_F64: {
            // floor, ceil, round and trunc quiet a NaN themselves, as the interpreters do
            const uint32_t fn = in.c & 0xFF;
            const bool wide = in.op == LUMK_MATH1_F64;
            const std::string call = math1_name() + (wide ? "(" : "f(");
            const std::string m = wide ? ".d" : ".f";
            if (fn == LUMK_MATH_FLOOR || fn == LUMK_MATH_CEIL || fn == LUMK_MATH_ROUND || fn == LUMK_MATH_TRUNC)
                return std::string("{ const ") + (wide ? "double" : "float") + " x = " + B + m + "; " + A + m +
                       " = x != x ? x + x : " + call + "x); }";
            return A + m + " = " + call + B + m + ");";
        }
        case LUMK_MATH2_F32: return A + ".f = " + math2_name() + "f(" + B + ".f, " + C + ".f);";
        case LUMK_MATH2_F64: return A + ".d = " + math2_name() + "(" + B + ".d, " + C + ".d);";
        case LUMK_TRUNC_I8: return A + ".i = (int64_t)(int8_t)(uint8_t)" + B + ".u;";
        case LUMK_TRUNC_U8: return A + ".i = (int64_t)(uint8_t)" + B + ".u;";
        case LUMK_TRUNC_I16: return A + ".i = (int64_t)(int16_t)(uint16_t)" + B + ".u;";
        case LUMK_TRUNC_U16: return A + ".i = (int64_t)(uint16_t)" + B + ".u;";
        case LUMK_TRUNC_I32: return A + ".i = k_i32(" + B + ".u);";
        case LUMK_TRUNC_U32: return A + ".i = k_u32(" + B + ".u);";
        case LUMK_CVT_S_F32: return A + ".f = (float)" + B + ".i;";
        case LUMK_CVT_U_F32: return A + ".f = (float)" + B + ".u;";
        case LUMK_CVT_S_F64: return A + ".d = (double)" + B + ".i;";
        case LUMK_CVT_U_F64: return A + ".d = (double)" + B + ".u;";
        case LUMK_CVT_F32_INT:
            return "{ int64_t o; const float v = " + B + ".f; if (K_UNLIKELY(!k_f2i((double)v, " + o.K +
                   ", &o))) K_TRAPF(4, " + o.N + "u, v); " + A + ".i = o; }";
        case LUMK_CVT_F64_INT:
            return "{ int64_t o; const double v = " + B + ".d; if (K_UNLIKELY(!k_f2i(v, " + o.K +
                   ", &o))) K_TRAPF(4, " + o.N + "u, v); " + A + ".i = o; }";
        case LUMK_CVT_F32_F64: return A + ".d = (double)" + B + ".f;";
        case LUMK_CVT_F64_F32: return A + ".f = (float)" + B + ".d;";
        case LUMK_BOOL_F32: return A + ".i = " + B + ".f != 0.0f;";
        case LUMK_BOOL_F64: return A + ".i = " + B + ".d != 0.0;";
        case LUMK_ADDR:
            return "{ const uint64_t idx = " + C + ".u; if (K_UNLIKELY(idx >= c" + o.P + ")) K_TRAP(1, " + o.N +
                   "u, idx, c" + o.P + "); " + A + ".p = b" + o.P + " + idx * s" + o.P + "; }";
        case LUMK_ADDRU: return A + ".p = b" + o.P + " + " + C + ".u * s" + o.P + ";";
        case LUMK_COPY: return "memmove(" + A + ".p, " + B + ".p, (size_t)" + o.IMM + ");";
        case LUMK_ZERO: return "memset(" + A + ".p, 0, (size_t)" + o.IMM + ");";
        case LUMK_AADD_32:
        case LUMK_AADD_I32:
        case LUMK_AADD_64:
        case LUMK_AADDR_32:
        case LUMK_AADDR_I32:
        case LUMK_AADDR_64: return atomic_form(o, in.op);
        case LUMK_CHKIDX:
            return "if (K_UNLIKELY(" + A + ".u >= (uint64_t)" + o.IMM + ")) K_TRAP(5, " + o.N + "u, " + A + ".i, " +
                   o.IMM + ");";
#define LUMK_CEMIT_MEM_CASES(T)                                                                            \
    case LUMK_LD_##T: case LUMK_LDU_##T: case LUMK_LDF_##T: case LUMK_LDFU_##T: case LUMK_LDR_##T:        \
    case LUMK_ST_##T: case LUMK_STU_##T: case LUMK_STF_##T: case LUMK_STFU_##T: case LUMK_STR_##T:
        LUMK_CEMIT_MEM_CASES(I8) LUMK_CEMIT_MEM_CASES(U8) LUMK_CEMIT_MEM_CASES(I16) LUMK_CEMIT_MEM_CASES(U16)
        LUMK_CEMIT_MEM_CASES(I32) LUMK_CEMIT_MEM_CASES(U32) LUMK_CEMIT_MEM_CASES(I64) LUMK_CEMIT_MEM_CASES(U64)
        LUMK_CEMIT_MEM_CASES(F32) LUMK_CEMIT_MEM_CASES(F64)
            return memory_op(o, mnemonic);
#undef LUMK_CEMIT_MEM_CASES
#define LUMK_CEMIT_ORDER_CASES(CC)                                                                          \
    case LUMK_CMP##CC##_S: case LUMK_CMP##CC##_U: case LUMK_CMP##CC##_F32: case LUMK_CMP##CC##_F64:       \
    case LUMK_JT##CC##_S: case LUMK_JT##CC##_U: case LUMK_JT##CC##_F32: case LUMK_JT##CC##_F64:           \
    case LUMK_JF##CC##_S: case LUMK_JF##CC##_U: case LUMK_JF##CC##_F32: case LUMK_JF##CC##_F64:
#define LUMK_CEMIT_EQUALITY_CASES(T)                                                                        \
    case LUMK_CMPEQ_##T: case LUMK_CMPNE_##T: case LUMK_JTEQ_##T: case LUMK_JTNE_##T: case LUMK_JFEQ_##T: \
    case LUMK_JFNE_##T:
        LUMK_CEMIT_EQUALITY_CASES(X) LUMK_CEMIT_EQUALITY_CASES(F32) LUMK_CEMIT_EQUALITY_CASES(F64)
        LUMK_CEMIT_ORDER_CASES(LT) LUMK_CEMIT_ORDER_CASES(LE) LUMK_CEMIT_ORDER_CASES(GT) LUMK_CEMIT_ORDER_CASES(GE)
            return compare_op(o, mnemonic);
#undef LUMK_CEMIT_EQUALITY_CASES
#undef LUMK_CEMIT_ORDER_CASES
        default: throw std::runtime_error(no_translation(mnemonic));
    }
}
#pragma GCC diagnostic pop

}  // namespace

std::string lumk_cemit_reg(uint32_t reg) { return "r" + std::to_string(reg); }

std::string lumk_cemit_hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llxULL", static_cast<unsigned long long>(v));
    return buf;
}

bool lumk_cemit_mem_type(std::string_view suffix, lumk_cemit_mem& out) {
    for (const mem_row& r : k_mem_types) {
        if (r.suffix == suffix) {
            out = r.mem;
            return true;
        }
    }
    return false;
}

std::string lumk_cemit_trap(uint32_t code, uint32_t pc, std::string_view value_text, std::string_view limit_text) {
    std::string s = "K_TRAP(" + std::to_string(code) + ", " + std::to_string(pc) + "u, ";
    s.append(value_text);
    s += ", ";
    s.append(limit_text);
    s += ");";
    return s;
}

namespace {
std::string comment_safe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '/') out += ' ';
    }
    return out;
}
}  // namespace

std::string lumk_cemit_comment(const lumk_program& program) {
    return "\n/* kernel " + comment_safe(program.name) + " (" + comment_safe(program.file) + ":" +
           std::to_string(program.line) + ") */\n";
}

std::string lumk_cemit_insn(const lumk_cemit& emitter, const lumk_insn& insn, uint32_t pc) {
    (void)emitter;
    return by_opcode(operands(insn, pc), insn, lumk_op_name(insn.op));
}

std::string lumk_cemit_function(lumk_cemit& em, std::string_view head) {
    em.text.clear();
    em.labels.clear();
    const lumk_program& p = *em.program;
    for (const lumk_insn& in : p.code) {
        const std::string_view fmt = lumk_op_format(in.op);
        if (fmt.find('J') != std::string_view::npos) em.labels.insert(static_cast<int64_t>(in.imm));
    }
    std::string& t = em.text;
    t.reserve(256 + p.reg_count * 24 + p.code.size() * 96);
    t.append(head);
    t += "(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end, const volatile unsigned char* abort, "
         "ktrap* trap)\n{\n";
    t += "\tuint64_t gid = gid_begin;\n";
    for (uint32_t i = 0; i < p.reg_count; ++i) {
        const std::string n = std::to_string(i);
        t += "\tkreg r" + n + " = regs[" + n + "];\n";
    }
    for (const lumk_const& c : p.constants) t += "\t" + lumk_cemit_reg(c.reg) + ".u = " + lumk_cemit_hex(c.bits) + ";\n";
    const uint32_t slots = p.ptr_count + (p.frame_bytes > 0 ? 1 : 0);
    for (uint32_t i = 0; i < slots; ++i) {
        const std::string n = std::to_string(i);
        t += "\tuint8_t* const b" + n + " = ptrs[" + n + "].base; const uint64_t c" + n + " = ptrs[" + n +
             "].count; const uint64_t s" + n + " = ptrs[" + n + "].stride;\n";
    }
    t += "\tuint32_t k_poll = 0;\n";
    t += "\t(void)abort; (void)ptrs; (void)k_poll;\n";
    if (p.is_2d) {
        const std::string G = lumk_cemit_reg(p.gsize_x);
        t += "\tuint64_t gw = " + G + ".u ? " + G + ".u : 1;\n";
        t += "\tuint64_t gx = gid_begin % gw, gy = gid_begin / gw;\n";
    }
    t += "\tfor (; gid < gid_end; gid++)\n\t{\n";
    t += "\t\t" + lumk_cemit_reg(p.gid) + ".u = gid;\n";
    if (p.is_2d) t += "\t\t" + lumk_cemit_reg(p.gid_x) + ".u = gx; " + lumk_cemit_reg(p.gid_y) + ".u = gy;\n";
    for (size_t i = 0; i < p.code.size(); ++i) {
        if (em.labels.count(static_cast<int64_t>(i))) t += "\tL" + std::to_string(i) + ":;\n";
        t += "\t\t";
        t += lumk_cemit_insn(em, p.code[i], static_cast<uint32_t>(i));
        t += "\n";
    }
    t += "\tk_next:;\n";
    if (p.is_2d) t += "\t\tif (++gx == gw) { gx = 0; gy++; }\n";
    t += "\t}\n";
    for (const lumk_reduction& r : p.reductions) t += "\tregs[" + std::to_string(r.reg) + "] = " + lumk_cemit_reg(r.reg) + ";\n";
    t += "\treturn 0;\n}\n";
    return t;
}
