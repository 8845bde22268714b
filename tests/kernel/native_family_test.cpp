// Random-operand programs per opcode family, built into one ahead-of-time
// library with the machine's C compiler, loaded through lumk_aot_load and run
// next to the scalar interpreter: every opcode's translation must give the
// interpreter's registers, memory and traps for special and random operands.
// Every opcode of the list is in a family: the ones no hand-built family
// takes and whose format needs no special operands run in a family built
// from their format; any other opcode fails the test by name.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernel/exec/aot.h"
#include "tests/kernel/native_test_util.h"

using ktest::buffer;

namespace {

constexpr uint16_t R_A = 7, R_B = 8, R_IN = 9, R_OUT = 10, R_TWO = 11, R_NOPS = 12, R_ZERO = 13, R_ONE = 14,
                   R_ELEM = 15, R_DEST = 16;

enum class input_kind { any, i32, u32, i64, u64, f32, f64, safe_div_i32, safe_div_u32, safe_div_i64, safe_div_u64 };

// A hand-built program over pointer slots 0 (inputs: a, b per item as u64),
// 1 (outputs: one u64 per result), 2 (24-byte records) and 3 (elements).
struct family {
    std::string name;
    std::shared_ptr<lumk_program> p = std::make_shared<lumk_program>();
    std::vector<input_kind> inputs;  // input sets run one after the other
    uint32_t results = 0;
    uint32_t elem_size = 8;

    explicit family(std::string n, std::vector<input_kind> kinds) : name(std::move(n)), inputs(std::move(kinds)) {
        lumk_set_fixed_registers(*p);
        p->name = name;
        p->ptr_count = 4;
        for (uint16_t s = 0; s < 4; ++s) {
            lumk_param prm;
            prm.name = "s" + std::to_string(s);
            prm.type.prim = LUMK_PRIM_U8;
            prm.type.is_pointer = 1;
            prm.slot = s;
            prm.size = s == 2 ? 24 : 8;
            p->params.push_back(prm);
        }
        emit({LUMK_MUL_X64, R_IN, 0, R_TWO, 0});
        emit({LUMK_LD_U64, R_A, 0, R_IN, 0});
        emit({LUMK_LD_U64, R_B, 0, R_IN, 1});
    }
    void emit(lumk_insn in) { p->code.push_back(in); }
    uint32_t pc() const { return static_cast<uint32_t>(p->code.size()); }
    uint16_t dest() const { return static_cast<uint16_t>(R_DEST + results); }
    // Stores register r as the next result.
    void keep(uint16_t r) { emit({LUMK_ST_U64, r, 1, R_OUT, results++}); }
    void op(uint16_t o, uint16_t c = R_B, uint64_t imm = 0) {
        const uint16_t d = dest();
        emit({o, d, R_A, c, imm});
        keep(d);
    }
    // A branch over one instruction: the result is 0 when it jumps, 1 when not.
    void branch(uint16_t o) {
        const uint16_t d = dest();
        emit({LUMK_MOV, d, R_ZERO, 0, 0});
        emit({o, R_A, R_B, 0, pc() + 2});
        emit({LUMK_MOV, d, R_ONE, 0, 0});
        keep(d);
    }
    // Finishes the program: the output index and the constants.
    void finish() {
        p->code.insert(p->code.begin() + 1, lumk_insn{LUMK_MUL_X64, R_OUT, 0, R_NOPS, 0});
        for (lumk_insn& in : p->code)
            if (lumk_op_is_jump(in.op)) in.imm += 1;
        emit({LUMK_END, 0, 0, 0, 0});
        p->reg_count = R_DEST + results + 8;
        p->constants = {{R_TWO, LUMK_PRIM_U64, 2},
                        {R_NOPS, LUMK_PRIM_U64, results},
                        {R_ZERO, LUMK_PRIM_U64, 0},
                        {R_ONE, LUMK_PRIM_U64, 1}};
        p->params[3].size = elem_size;
    }
};

uint64_t f32b(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t f64b(double d) { return std::bit_cast<uint64_t>(d); }
uint64_t sx(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

uint64_t draw(input_kind k, std::mt19937_64& rng) {
    const bool special = rng() % 2 == 0;
    const uint64_t r = rng();
    static const uint64_t ints[] = {0, 1, 2, 3, 7, 31, 32, 33, 63, 64, 65, ~0ull, sx(-2), sx(INT32_MIN), sx(INT32_MAX),
                                    0xFFFFFFFFull, 0x80000000ull, 0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull};
    const float fs[] = {0.0f, -0.0f, 1.0f, -1.5f, 0.5f, 255.9f, 256.0f, -128.7f, 65535.4f, 2147483520.0f,
                        -2147483648.0f, 4294967040.0f, 9.2233720e18f, 1.8446743e19f, 1e-40f,
                        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN(), std::bit_cast<float>(0x7FA00001u),
                        std::bit_cast<float>(0xFFC00000u), -7.25f};
    const double ds[] = {0.0, -0.0, 1.0, -1.5, 0.5, 255.9, 256.0, -128.7, 65535.4, 2147483647.9, -2147483648.5,
                         4294967295.5, 9223372036854775808.0, 9223372036854774784.0, -9223372036854775808.0,
                         18446744073709549568.0, 18446744073709551616.0, 1e-310,
                         std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                         std::bit_cast<double>(0xFFF4000000000001ull), std::bit_cast<double>(0x7FF8000000012345ull),
                         -7.25};
    auto pick_int = [&] { return ints[r % std::size(ints)]; };
    switch (k) {
        case input_kind::any:
            return special ? pick_int() : r;
        case input_kind::i32: return special ? sx(static_cast<int32_t>(pick_int())) : sx(static_cast<int32_t>(r));
        case input_kind::u32: return special ? (pick_int() & 0xFFFFFFFFull) : (r & 0xFFFFFFFFull);
        case input_kind::i64:
        case input_kind::u64: return special ? pick_int() : r;
        case input_kind::f32:
            return special ? f32b(fs[r % std::size(fs)])
                           : f32b(static_cast<float>(static_cast<int64_t>(r % 2000001) - 1000000) / 977.0f);
        case input_kind::f64:
            return special ? f64b(ds[r % std::size(ds)])
                           : f64b(static_cast<double>(static_cast<int64_t>(r % 20000001) - 10000000) / 97.0);
        case input_kind::safe_div_i32: {
            const int32_t v = static_cast<int32_t>(r | 1);
            return sx(v == -1 ? 3 : v);
        }
        case input_kind::safe_div_u32: return (r | 1) & 0xFFFFFFFFull;
        case input_kind::safe_div_i64: return (r | 1) == ~0ull ? 3 : (r | 1);
        case input_kind::safe_div_u64: return r | 1;
    }
    return r;
}

std::vector<family> build_families() {
    std::vector<family> fams;
    using K = input_kind;
    {
        family f("int_binary", {K::any, K::i32, K::u32});
        for (uint16_t o : {LUMK_ADD_I32, LUMK_ADD_U32, LUMK_ADD_X64, LUMK_SUB_I32, LUMK_SUB_U32, LUMK_SUB_X64,
                           LUMK_MUL_I32, LUMK_MUL_U32, LUMK_MUL_X64, LUMK_AND_X, LUMK_OR_X, LUMK_XOR_X, LUMK_SHL_I32,
                           LUMK_SHL_U32, LUMK_SHL_X64, LUMK_SHR_I32, LUMK_SHR_U32, LUMK_SHR_I64, LUMK_SHR_U64,
                           LUMK_MIN_S, LUMK_MIN_U, LUMK_MAX_S, LUMK_MAX_U, LUMK_CMPEQ_X, LUMK_CMPNE_X, LUMK_CMPLT_S,
                           LUMK_CMPLT_U, LUMK_CMPLE_S, LUMK_CMPLE_U, LUMK_CMPGT_S, LUMK_CMPGT_U, LUMK_CMPGE_S,
                           LUMK_CMPGE_U})
            f.op(o);
        for (uint64_t imm : {0ull, 1ull, 0xFFFFFFFFFFFFFFF9ull, 0x80000000ull, 0x123456789ull})
            for (uint16_t o : {LUMK_ADDI_I32, LUMK_ADDI_U32, LUMK_ADDI_X64}) f.op(o, 0, imm);
        fams.push_back(std::move(f));
    }
    {
        family f("int_unary", {K::any, K::i32, K::u32});
        for (uint16_t o = LUMK_NEG_I32; o <= LUMK_NEG_X64; ++o) f.op(o);
        for (uint16_t o : {LUMK_NOT_X, LUMK_NOT_U32, LUMK_LNOT, LUMK_ABS_I32, LUMK_ABS_I64, LUMK_MOV})
            f.op(o);
        for (uint16_t o = LUMK_TRUNC_I8; o <= LUMK_CVT_U_F64; ++o) f.op(o);
        for (uint16_t d : {2, 3, 7, 10, 641, 65535}) {
            for (uint16_t o = LUMK_DIVC_U32; o <= LUMK_MODC_I32; ++o) f.op(o, d, lumk_divc_multiplier(d));
        }
        fams.push_back(std::move(f));
    }
    const struct {
        const char* name;
        uint16_t div, mod;
        K safe, any;
    } divs[] = {{"div_i32", LUMK_DIV_I32, LUMK_MOD_I32, K::safe_div_i32, K::i32},
                {"div_u32", LUMK_DIV_U32, LUMK_MOD_U32, K::safe_div_u32, K::u32},
                {"div_i64", LUMK_DIV_I64, LUMK_MOD_I64, K::safe_div_i64, K::i64},
                {"div_u64", LUMK_DIV_U64, LUMK_MOD_U64, K::safe_div_u64, K::u64}};
    for (const auto& d : divs) {
        family f(d.name, {d.safe, d.any, d.any});
        f.op(d.div);
        f.op(d.mod);
        fams.push_back(std::move(f));
    }
    for (bool wide : {false, true}) {
        family f(wide ? "f64_ops" : "f32_ops", {wide ? K::f64 : K::f32, K::any});
        const uint16_t s = wide ? 1 : 0;
        for (uint16_t base : {LUMK_ADD_F32, LUMK_SUB_F32, LUMK_MUL_F32}) f.op(base + s);
        f.op(wide ? LUMK_DIV_F64 : LUMK_DIV_F32);
        f.op(wide ? LUMK_MOD_F64 : LUMK_MOD_F32);
        for (uint16_t o : {LUMK_MIN_F32, LUMK_MAX_F32}) f.op(o + s);
        for (uint16_t o : {LUMK_CMPEQ_F32, LUMK_CMPNE_F32}) f.op(o + 2 * s);
        for (uint16_t o : {LUMK_CMPLT_F32, LUMK_CMPLE_F32, LUMK_CMPGT_F32, LUMK_CMPGE_F32}) f.op(o + s);
        for (uint16_t o : {LUMK_NEG_F32, LUMK_ABS_F32, LUMK_SQRT_F32}) f.op(o + s);
        f.op(wide ? LUMK_CVT_F64_F32 : LUMK_CVT_F32_F64);
        f.op(wide ? LUMK_BOOL_F64 : LUMK_BOOL_F32);
        fams.push_back(std::move(f));
    }
    // The math functions: their NaNs are compared bit for bit.
    for (bool wide : {false, true}) {
        family f(wide ? "math_f64" : "math_f32", {wide ? K::f64 : K::f32, K::any});
        for (uint16_t fn = 0; fn < 14; ++fn) f.op(wide ? LUMK_MATH1_F64 : LUMK_MATH1_F32, fn);
        for (uint64_t fn : {14, 15}) f.op(wide ? LUMK_MATH2_F64 : LUMK_MATH2_F32, R_B, fn);
        fams.push_back(std::move(f));
    }
    for (bool wide : {false, true}) {
        for (uint16_t target = 2; target <= 9; ++target) {
            family f(std::string(wide ? "cvt_f64_" : "cvt_f32_") + std::to_string(target),
                     {wide ? K::f64 : K::f32, wide ? K::f64 : K::f32});
            f.op(wide ? LUMK_CVT_F64_INT : LUMK_CVT_F32_INT, target);
            fams.push_back(std::move(f));
        }
    }
    {
        family f("jumps", {K::any, K::f32, K::f64, K::i32});
        for (uint16_t o = LUMK_JT; o <= LUMK_JF; ++o) f.branch(o);
        for (uint16_t o = LUMK_JTEQ_X; o <= LUMK_JFGE_F64; ++o)
            if (std::string_view(lumk_op_format(o)) == "RRJ") f.branch(o);
        fams.push_back(std::move(f));
    }
    for (uint16_t elem = 0; elem < 10; ++elem) {
        const uint32_t size = lumk_prim_size(LUMK_PRIM_I8 + elem);
        // sets 1 and 2 get short record and element buffers (see make_inputs)
        family f(std::string("mem_") + lumk_prim_name(LUMK_PRIM_I8 + elem), {K::any, K::any, K::any});
        f.elem_size = size;
        auto mem = [&](lumk_mem_kind k) { return static_cast<uint16_t>(LUMK_LD_I8 + elem * 10 + k); };
        auto load = [&](lumk_insn in) {
            f.emit(in);
            f.keep(in.a);
        };
        load({mem(LUMK_MEM_LD), f.dest(), 3, 0, 2});
        load({mem(LUMK_MEM_LDU), f.dest(), 3, 0, 1});
        load({mem(LUMK_MEM_LDF), f.dest(), 2, 0, 8});
        load({mem(LUMK_MEM_LDFU), f.dest(), 2, 0, 13});
        f.emit({LUMK_ADDRU, R_ELEM, 2, 0, 0});
        load({mem(LUMK_MEM_LDR), f.dest(), R_ELEM, 0, 4});
        f.emit({mem(LUMK_MEM_ST), R_A, 3, 0, 3});
        f.emit({mem(LUMK_MEM_STU), R_B, 3, 0, 0});
        f.emit({mem(LUMK_MEM_STF), R_A, 2, 0, 0});
        f.emit({mem(LUMK_MEM_STFU), R_B, 2, 0, 11});
        f.emit({mem(LUMK_MEM_STR), R_A, R_ELEM, 0, 16});
        fams.push_back(std::move(f));
    }
    {
        family f("addresses_atomics", {K::u32, K::any});
        const uint16_t d = f.dest();
        f.emit({LUMK_ADDR, d, 2, 0, 0});  // record gid
        f.emit({LUMK_ADDRU, R_ELEM, 2, 0, 0});
        f.emit({LUMK_COPY, R_ELEM, d, 0, 24});  // same record: overlap is fine
        f.emit({LUMK_AADD_32, static_cast<uint16_t>(f.dest() + 1), 3, 0, R_A});
        f.keep(f.dest() + 1);
        f.emit({LUMK_AADD_I32, static_cast<uint16_t>(f.dest() + 1), 3, 0, R_B});
        f.keep(f.dest() + 1);
        f.emit({LUMK_AADD_64, static_cast<uint16_t>(f.dest() + 1), 3, 0, R_A});
        f.keep(f.dest() + 1);
        f.emit({LUMK_AADDR_32, static_cast<uint16_t>(f.dest() + 1), R_ELEM, R_B, 4});
        f.keep(f.dest() + 1);
        f.emit({LUMK_AADDR_I32, static_cast<uint16_t>(f.dest() + 1), R_ELEM, R_A, 8});
        f.keep(f.dest() + 1);
        f.emit({LUMK_AADDR_64, static_cast<uint16_t>(f.dest() + 1), R_ELEM, R_B, 16});
        f.keep(f.dest() + 1);
        f.emit({LUMK_ZERO, R_ELEM, 0, 0, 4});
        f.emit({LUMK_AND_X, static_cast<uint16_t>(f.dest() + 1), R_A, R_TWO, 0});
        f.emit({LUMK_CHKIDX, f.dest(), 0, 0, 3});  // the last result index: 0..2 pass, 3 traps
        f.keep(f.dest());
        fams.push_back(std::move(f));
    }
    // Every other opcode of the list in a family of its own (named after it)
    // by its format, on integer and float operands of both widths.
    std::set<uint32_t> taken = {LUMK_END};  // every family ends with it (finish)
    for (const family& f : fams)
        for (const lumk_insn& in : f.p->code) taken.insert(in.op);
    for (uint32_t o = 0; o < LUMK_OP_COUNT; ++o) {
        if (taken.count(o)) continue;
        const std::string_view fmt = lumk_op_format(o);
        family f(std::string("opcode ") + lumk_op_name(o), {K::any, K::f32, K::f64, K::i32});
        if (fmt == "" || fmt == "DR" || fmt == "DRR") {
            f.op(static_cast<uint16_t>(o));
        } else if (fmt == "J" || fmt == "RJ" || fmt == "RRJ") {
            f.branch(static_cast<uint16_t>(o));
        } else {
            ADD_FAILURE() << "opcode " << o << " " << lumk_op_name(o) << " (format " << fmt
                          << ") is in no family: its operands need a family of their own in build_families()";
            continue;
        }
        fams.push_back(std::move(f));
    }
    for (family& f : fams) f.finish();
    return fams;
}

// Inputs of one run: a, b per item; records and elements filled with noise.
// Memory families run short buffers in sets 1 (records) and 2 (elements), so
// that the checked accesses trap near the end.
std::vector<buffer> make_inputs(const family& f, input_kind kind, size_t set, uint64_t n, std::mt19937_64& rng) {
    std::vector<uint64_t> in(2 * n);
    for (uint64_t& v : in) v = draw(kind, rng);
    const bool mem = f.name.starts_with("mem_");
    std::vector<uint8_t> recs(24 * (mem && set == 1 ? n - 5 : n + 1)), elems(f.elem_size * (mem && set == 2 ? n : n + 4));
    for (uint8_t& b : recs) b = static_cast<uint8_t>(rng());
    for (uint8_t& b : elems) b = static_cast<uint8_t>(rng());
    return {buffer::of(in), buffer::of(std::vector<uint64_t>(f.results * n, 0)), buffer(recs), buffer(elems)};
}

// NaN results of the arithmetic families compared as one value: which NaN an
// operation returns when both operands are NaN depends on operand order, not
// on the engine's meaning. The math functions' NaNs are compared exactly.
void canonical_nans(ntest::engine_run& r) {
    std::vector<uint8_t>& out = r.buffers[1].bytes;
    for (size_t i = 0; i + 8 <= out.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, out.data() + i, 8);
        if ((w & 0x7FF0000000000000ull) == 0x7FF0000000000000ull && (w & 0x000FFFFFFFFFFFFFull) != 0)
            w = 0x7FF8000000000000ull;
        else if ((w >> 32) == 0 && (w & 0x7F800000u) == 0x7F800000u && (w & 0x007FFFFFu) != 0)
            w = 0x7FC00000u;
        std::memcpy(out.data() + i, &w, 8);
    }
}

// floor, ceil, round and trunc (the first four results of a math family) of a
// NaN operand give that NaN quieted, sign and payload kept.
void expect_rounding_quiets_nans(const family& f, const std::vector<buffer>& in, const ntest::engine_run& r,
                                 const std::string& what) {
    const bool wide = f.name == "math_f64";
    const std::vector<uint64_t> ops = in[0].as<uint64_t>(), out = r.buffers[1].as<uint64_t>();
    for (size_t i = 0; i < ops.size() / 2; ++i) {
        const uint64_t a = wide ? ops[2 * i] : ops[2 * i] & 0xFFFFFFFFull;
        const bool nan = wide ? std::isnan(std::bit_cast<double>(a)) : std::isnan(std::bit_cast<float>(uint32_t(a)));
        if (!nan) continue;
        const uint64_t quiet = a | (wide ? 0x0008000000000000ull : 0x00400000ull);
        for (uint32_t fn = 0; fn < 4; ++fn)
            EXPECT_EQ(out[i * f.results + fn], quiet) << what << " " << lumk_math_name(fn) << " of " << std::hex << a;
    }
}

// floor, ceil, round and trunc that return a NaN unchanged, as some C
// libraries do, linked into the families' library in place of the C
// library's: the translation must quiet a NaN itself.
const char* const k_nan_passing_rounding_c = R"(#include <stdint.h>
#define KEEP_NAN(T, name, body) __attribute__((visibility("hidden"))) T name(T x) { if (x != x) return x; body }
#define ROUND_BODY(T, BIG, mode) \
    if (!(x < BIG && x > -BIG)) return x; \
    T t = (T)(int64_t)x; \
    if (mode == 0 && t > x) t -= 1; \
    if (mode == 1 && t < x) t += 1; \
    if (mode == 2 && (x - t >= 0.5 || t - x >= 0.5)) t += x > 0 ? 1 : -1; \
    return __builtin_copysign(t, x);
KEEP_NAN(double, floor, ROUND_BODY(double, 4503599627370496.0, 0))
KEEP_NAN(double, ceil, ROUND_BODY(double, 4503599627370496.0, 1))
KEEP_NAN(double, round, ROUND_BODY(double, 4503599627370496.0, 2))
KEEP_NAN(double, trunc, ROUND_BODY(double, 4503599627370496.0, 3))
KEEP_NAN(float, floorf, ROUND_BODY(float, 8388608.0f, 0))
KEEP_NAN(float, ceilf, ROUND_BODY(float, 8388608.0f, 1))
KEEP_NAN(float, roundf, ROUND_BODY(float, 8388608.0f, 2))
KEEP_NAN(float, truncf, ROUND_BODY(float, 8388608.0f, 3))
)";

}  // namespace

TEST(NativeFamilies, RandomOperandsMatchTheInterpreter) {
    std::vector<family> fams = build_families();
    std::vector<const lumk_program*> progs;
    for (const family& f : fams) progs.push_back(f.p.get());

    const std::filesystem::path dir = ntest::temp_dir("aot");
    const std::filesystem::path c_file = dir / "families.c", lib = dir / "families.so";
    const std::filesystem::path rounding_c = dir / "rounding.c";
    ntest::write_file(c_file, lumk_aot_source(progs));
    ntest::write_file(rounding_c, k_nan_passing_rounding_c);
    const std::string cmd = std::string("gcc ") + lumk_jit_flags_cc + " -DLUMK_AOT_SHARED -o '" + lib.string() +
                            "' '" + c_file.string() + "' '" + rounding_c.string() + "' " + lumk_jit_libs_cc + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string error;
    ASSERT_EQ(lumk_aot_load(lib.string(), &error), static_cast<int>(fams.size())) << error;

    std::mt19937_64 rng(20261207);
    size_t traps = 0, clean = 0;
    for (const family& f : fams) {
        lumk_jit_entry_fn entry = nullptr;
        {
            lumk_aot_registry_state& reg = lumk_aot_registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            auto it = reg.entries.find(lumk_source_hash(*f.p));
            if (it != reg.entries.end()) entry = it->second;
        }
        ASSERT_NE(entry, nullptr) << f.name;
        for (size_t set = 0; set < f.inputs.size(); ++set) {
            const uint64_t n = 257;
            const std::vector<buffer> in = make_inputs(f, f.inputs[set], set, n, rng);
            ntest::engine_run s = ntest::run_engine(*f.p, nullptr, n, in);
            ntest::engine_run r = ntest::run_engine(*f.p, entry, n, in);
            if (f.name.starts_with("math_")) {
                expect_rounding_quiets_nans(f, in, s, f.name + " interpreted");
                expect_rounding_quiets_nans(f, in, r, f.name + " native");
            }
            if (f.name.starts_with("f32") || f.name.starts_with("f64") || f.name.starts_with("opcode ")) {
                canonical_nans(s);
                canonical_nans(r);
            }
            ntest::expect_same(s, r, f.name + " set " + std::to_string(set));
            (s.code ? traps : clean)++;
        }
    }
    // the sets reach both ends: runs that finish and runs that trap
    EXPECT_GT(clean, fams.size() / 2);
    EXPECT_GT(traps, 10u);
    std::filesystem::remove_all(dir);
}
