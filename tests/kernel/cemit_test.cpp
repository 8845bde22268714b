// C translation: the function text of small programs written out by hand,
// one instruction of every template family, the comment escaping, the
// refusal of untranslatable instructions, the source hash and the
// ahead-of-time source.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/exec/cemit.h"
#include "kernel/exec/jit_source.h"

namespace {

std::shared_ptr<lumk_program> base_program(uint32_t regs) {
    auto p = std::make_shared<lumk_program>();
    lumk_set_fixed_registers(*p);
    p->reg_count = regs;
    p->name = "k";
    p->file = "t.k";
    p->line = 3;
    return p;
}

std::string insn_text(lumk_insn in, uint32_t pc = 7) {
    auto p = base_program(16);
    lumk_cemit em(*p);
    return lumk_cemit_insn(em, in, pc);
}

std::string regs_text(uint32_t n) {
    std::string s;
    for (uint32_t i = 0; i < n; ++i) s += "\tkreg r" + std::to_string(i) + " = regs[" + std::to_string(i) + "];\n";
    return s;
}

}  // namespace

TEST(CemitText, Prelude) {
    const std::string_view p = lumk_c_prelude;
    EXPECT_EQ(p.substr(0, 20), "\n#include <stdint.h>");
    EXPECT_TRUE(p.ends_with("trap->fvalue = (fv); return (c); } while (0)\n"));
    EXPECT_NE(p.find("#if defined(_MSC_VER)\n#include <intrin.h>\n"), std::string_view::npos);
    EXPECT_NE(p.find("typedef struct { uint32_t code; uint32_t pc; uint64_t gid; int64_t value; double fvalue; "
                     "uint64_t limit; } ktrap;\n"),
              std::string_view::npos);
    EXPECT_NE(p.find("\n\n#define K_TRAP(c, pc_, v, lim) do { trap->code = (c); trap->pc = (pc_); trap->gid = gid; "
                     "trap->value = (int64_t)(v); trap->limit = (uint64_t)(lim); return (c); } while (0)\n"),
              std::string_view::npos);
    EXPECT_NE(p.find("/* target: 2 i8, 3 u8, 4 i16, 5 u16, 6 i32, 7 u32, 8 i64, 9 u64 (lumk_prim) */\n"
                     "K_INLINE int k_f2i(double v, int target, int64_t* out)"),
              std::string_view::npos);
    // K_INLINE comes before the GCC-branch helpers, after the MSVC-branch ones
    EXPECT_LT(p.find("#define K_INLINE static inline"), p.find("K_INLINE uint32_t k_aadd32"));
    EXPECT_GT(p.find("#define K_INLINE static __inline"), p.find("static __inline uint64_t k_mulhi"));
}

TEST(CemitText, WholeFunction) {
    auto p = base_program(10);
    p->ptr_count = 2;
    p->constants = {lumk_const{9, LUMK_PRIM_F32, 0x40200000}};
    p->reductions = {lumk_reduction{2, LUMK_PRIM_I32, LUMK_REDUCE_ADD, 0, ""}};
    p->code = {
        {LUMK_LD_F32, 7, 1, 0, 0},
        {LUMK_JFLT_S, 7, 8, 0, 3},
        {LUMK_ST_F32, 7, 0, 0, 2},
        {LUMK_LDR_I32, 8, 7, 0, 4},
        {LUMK_END, 0, 0, 0, 0},
    };
    lumk_cemit em(*p);
    const std::string expected =
        "K_EXPORT int lumk_jit_entry(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end, const "
        "volatile unsigned char* abort, ktrap* trap)\n{\n"
        "\tuint64_t gid = gid_begin;\n" +
        regs_text(10) +
        "\tr9.u = 0x40200000ULL;\n"
        "\tuint8_t* const b0 = ptrs[0].base; const uint64_t c0 = ptrs[0].count; const uint64_t s0 = ptrs[0].stride;\n"
        "\tuint8_t* const b1 = ptrs[1].base; const uint64_t c1 = ptrs[1].count; const uint64_t s1 = ptrs[1].stride;\n"
        "\tuint32_t k_poll = 0;\n"
        "\t(void)abort; (void)ptrs; (void)k_poll;\n"
        "\tfor (; gid < gid_end; gid++)\n\t{\n"
        "\t\tr0.u = gid;\n"
        "\t\t{ uint64_t idx = r0.u + (uint64_t)((int64_t)0x0ULL); if (K_UNLIKELY(idx >= c1)) K_TRAP(1, 0u, idx, c1); "
        "float v; memcpy(&v, b1 + idx * 4, 4); r7.f = v; }\n"
        "\t\tif (!(r7.i < r8.i)) goto L3;\n"
        "\t\t{ uint64_t idx = r0.u + (uint64_t)((int64_t)0x2ULL); if (K_UNLIKELY(idx >= c0)) K_TRAP(1, 2u, idx, c0); "
        "float v = (float)r7.f; memcpy(b0 + idx * 4, &v, 4); }\n"
        "\tL3:;\n"
        "\t\t{   int32_t v; memcpy(&v, r7.p + ((int64_t)0x4ULL), 4); r8.i = v; }\n"
        "\t\tgoto k_next;\n"
        "\tk_next:;\n"
        "\t}\n"
        "\tregs[2] = r2;\n"
        "\treturn 0;\n}\n";
    EXPECT_EQ(lumk_cemit_function(em, "K_EXPORT int lumk_jit_entry"), expected);
    // the emitter starts afresh on every call
    EXPECT_EQ(lumk_cemit_function(em, "K_EXPORT int lumk_jit_entry"), expected);
}

TEST(CemitText, TwoDimensionalFrameAndLabels) {
    auto p = base_program(8);
    p->is_2d = 1;
    p->frame_bytes = 16;
    p->frame_slot = 0;
    p->code = {
        {LUMK_LOOP, 0, 0, 0, 2}, {LUMK_JMP, 0, 0, 0, 2}, {LUMK_NOP, 0, 0, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    lumk_cemit em(*p);
    const std::string f = lumk_cemit_function(em, "static int lumk_aot_0000000000000001");
    const std::string expected =
        "static int lumk_aot_0000000000000001(kreg* regs, const kptr* ptrs, uint64_t gid_begin, uint64_t gid_end, "
        "const volatile unsigned char* abort, ktrap* trap)\n{\n"
        "\tuint64_t gid = gid_begin;\n" +
        regs_text(8) +
        "\tuint8_t* const b0 = ptrs[0].base; const uint64_t c0 = ptrs[0].count; const uint64_t s0 = ptrs[0].stride;\n"
        "\tuint32_t k_poll = 0;\n"
        "\t(void)abort; (void)ptrs; (void)k_poll;\n"
        "\tuint64_t gw = r5.u ? r5.u : 1;\n"
        "\tuint64_t gx = gid_begin % gw, gy = gid_begin / gw;\n"
        "\tfor (; gid < gid_end; gid++)\n\t{\n"
        "\t\tr0.u = gid;\n"
        "\t\tr3.u = gx; r4.u = gy;\n"
        "\t\tif (K_UNLIKELY(++k_poll >= 1024u)) { k_poll = 0; if (*abort) K_TRAP(7, 0u, 0, 0); } goto L2;\n"
        "\t\tgoto L2;\n"
        "\tL2:;\n"
        "\t\t;\n"
        "\t\tgoto k_next;\n"
        "\tk_next:;\n"
        "\t\tif (++gx == gw) { gx = 0; gy++; }\n"
        "\t}\n"
        "\treturn 0;\n}\n";
    EXPECT_EQ(f, expected);
}

TEST(CemitText, InstructionTemplates) {
    struct row {
        lumk_insn in;
        const char* text;
    };
    const row rows[] = {
        {{LUMK_MOV, 7, 8, 0, 0}, "r7 = r8;"},
        {{LUMK_JT, 7, 0, 0, 12}, "if (r7.i != 0) goto L12;"},
        {{LUMK_ADD_I32, 7, 8, 9, 0}, "r7.i = k_i32((uint64_t)r8.i + (uint64_t)r9.i);"},
        {{LUMK_SUB_X64, 7, 8, 9, 0}, "r7.i = (int64_t)((uint64_t)r8.i - (uint64_t)r9.i);"},
        {{LUMK_MUL_U32, 7, 8, 9, 0}, "r7.i = k_u32((uint64_t)(uint32_t)r8.i * (uint64_t)(uint32_t)r9.i);"},
        {{LUMK_DIV_F32, 7, 8, 9, 0}, "{ const float x = r8.f, y = r9.f; r7.f = x / y; }"},
        {{LUMK_MOD_F64, 7, 8, 9, 0}, "{ const double x = r8.d, y = r9.d; r7.d = fmod(x, y); }"},
        {{LUMK_DIV_I32, 7, 8, 9, 0},
         "{ const int64_t x = r8.i, y = r9.i; if (K_UNLIKELY(y == 0)) K_TRAP(2, 7u, x, y); if (K_UNLIKELY(x == "
         "INT32_MIN && y == -1)) K_TRAP(3, 7u, x, y); r7.i = k_i32((uint64_t)(int64_t)((int32_t)x / (int32_t)y)); }"},
        {{LUMK_MOD_U64, 7, 8, 9, 0},
         "{ const int64_t x = r8.i, y = r9.i; if (K_UNLIKELY(y == 0)) K_TRAP(2, 7u, x, y); r7.i = "
         "(int64_t)((uint64_t)x % (uint64_t)y); }"},
        {{LUMK_MOD_I64, 7, 8, 9, 0},
         "{ const int64_t x = r8.i, y = r9.i; if (K_UNLIKELY(y == 0)) K_TRAP(2, 7u, x, y); if (K_UNLIKELY(x == "
         "INT64_MIN && y == -1)) K_TRAP(3, 7u, x, y); r7.i = x % y; }"},
        {{LUMK_ADDI_I32, 7, 8, 0, 0xFFFFFFFFFFFFFFF9ull},
         "r7.i = k_i32((uint64_t)r8.i + (uint64_t)((int64_t)0xfffffffffffffff9ULL));"},
        {{LUMK_DIVC_I32, 7, 8, 7, lumk_divc_multiplier(7)}, "r7.i = k_divc_i32(r8.i, 0x2492492492492493ULL);"},
        {{LUMK_MODC_U32, 7, 8, 10, lumk_divc_multiplier(10)},
         "r7.i = k_modc_u32(r8.i, 0x199999999999999aULL, 10u);"},
        {{LUMK_XOR_X, 7, 8, 9, 0}, "r7.u = r8.u ^ r9.u;"},
        {{LUMK_SHR_I32, 7, 8, 9, 0}, "r7.i = (int64_t)((int32_t)r8.i >> (r9.i & 31));"},
        {{LUMK_SHL_X64, 7, 8, 9, 0}, "r7.i = (int64_t)((uint64_t)r8.i << (r9.i & 63));"},
        {{LUMK_NEG_F32, 7, 8, 0, 0}, "r7.f = -r8.f;"},
        {{LUMK_NOT_U32, 7, 8, 0, 0}, "r7.i = k_u32(~(uint64_t)r8.i);"},
        {{LUMK_LNOT, 7, 8, 0, 0}, "r7.i = r8.i ? 0 : 1;"},
        {{LUMK_MAX_U, 7, 8, 9, 0}, "{ const uint64_t x = r8.u, y = r9.u; r7.u = x < y ? y : x; }"},
        {{LUMK_MIN_F64, 7, 8, 9, 0}, "{ const double x = r8.d, y = r9.d; r7.d = k_dmin(x, y); }"},
        {{LUMK_ABS_I32, 7, 8, 0, 0}, "r7.i = r8.i < 0 ? k_i32(0 - (uint64_t)r8.i) : r8.i;"},
        {{LUMK_MATH1_F32, 7, 8, 12, 0}, "r7.f = log2f(r8.f);"},
        {{LUMK_MATH1_F64, 7, 8, 14, 0}, "r7.d = floor(r8.d);"},
        {{LUMK_MATH2_F64, 7, 8, 9, 15}, "r7.d = atan2(r8.d, r9.d);"},
        {{LUMK_MATH2_F32, 7, 8, 9, 14}, "r7.f = powf(r8.f, r9.f);"},
        {{LUMK_TRUNC_I16, 7, 8, 0, 0}, "r7.i = (int64_t)(int16_t)(uint16_t)r8.u;"},
        {{LUMK_CVT_U_F64, 7, 8, 0, 0}, "r7.d = (double)r8.u;"},
        {{LUMK_CVT_F32_INT, 7, 8, 3, 0},
         "{ int64_t o; const float v = r8.f; if (K_UNLIKELY(!k_f2i((double)v, 3, &o))) K_TRAPF(4, 7u, v); r7.i = o; }"},
        {{LUMK_BOOL_F32, 7, 8, 0, 0}, "r7.i = r8.f != 0.0f;"},
        {{LUMK_CMPLE_U, 7, 8, 9, 0}, "r7.i = r8.u <= r9.u;"},
        {{LUMK_CMPNE_F32, 7, 8, 9, 0}, "r7.i = r8.f != r9.f;"},
        {{LUMK_JTGE_F64, 7, 8, 0, 3}, "if (r7.d >= r8.d) goto L3;"},
        {{LUMK_JFEQ_X, 7, 8, 0, 3}, "if (!(r7.u == r8.u)) goto L3;"},
        {{LUMK_LDF_U16, 7, 2, 9, 6},
         "{ uint64_t idx = r9.u; if (K_UNLIKELY(idx >= c2)) K_TRAP(1, 7u, idx, c2); uint16_t v; memcpy(&v, b2 + idx * "
         "s2 + ((int64_t)0x6ULL), 2); r7.i = v; }"},
        {{LUMK_STFU_U64, 7, 2, 9, 8},
         "{ uint64_t idx = r9.u;  uint64_t v = (uint64_t)r7.u; memcpy(b2 + idx * s2 + ((int64_t)0x8ULL), &v, 8); }"},
        {{LUMK_LDU_F64, 7, 1, 9, 0},
         "{ uint64_t idx = r9.u + (uint64_t)((int64_t)0x0ULL);  double v; memcpy(&v, b1 + idx * 8, 8); r7.d = v; }"},
        {{LUMK_STR_I8, 7, 8, 0, 1}, "{   int8_t v = (int8_t)r7.i; memcpy(r8.p + ((int64_t)0x1ULL), &v, 1); }"},
        {{LUMK_ADDR, 7, 1, 9, 0},
         "{ const uint64_t idx = r9.u; if (K_UNLIKELY(idx >= c1)) K_TRAP(1, 7u, idx, c1); r7.p = b1 + idx * s1; }"},
        {{LUMK_ADDRU, 7, 1, 9, 0}, "r7.p = b1 + r9.u * s1;"},
        {{LUMK_COPY, 7, 8, 0, 24}, "memmove(r7.p, r8.p, (size_t)((int64_t)0x18ULL));"},
        {{LUMK_ZERO, 7, 0, 0, 24}, "memset(r7.p, 0, (size_t)((int64_t)0x18ULL));"},
        {{LUMK_AADD_I32, 7, 1, 9, 11},
         "{ const uint64_t idx = r9.u; if (K_UNLIKELY(idx >= c1)) K_TRAP(1, 7u, idx, c1); uint8_t* addr = b1 + idx * "
         "s1; if (K_UNLIKELY((uintptr_t)addr & 3)) K_TRAP(6, 7u, (uintptr_t)addr, 4); r7.i = "
         "(int64_t)(int32_t)k_aadd32(addr, (uint32_t)r11.u); }"},
        {{LUMK_AADDR_64, 7, 8, 9, 16},
         "{ uint8_t* addr = r8.p + ((int64_t)0x10ULL); if (K_UNLIKELY((uintptr_t)addr & 7)) K_TRAP(6, 7u, "
         "(uintptr_t)addr, 8); r7.i = (int64_t)k_aadd64(addr, r9.u); }"},
        {{LUMK_CHKIDX, 7, 0, 0, 5},
         "if (K_UNLIKELY(r7.u >= (uint64_t)((int64_t)0x5ULL))) K_TRAP(5, 7u, r7.i, ((int64_t)0x5ULL));"},
    };
    for (const row& r : rows) EXPECT_EQ(insn_text(r.in), r.text) << lumk_op_name(r.in.op);
    EXPECT_EQ(lumk_cemit_trap(2, 9, "x", "0"), "K_TRAP(2, 9u, x, 0);");
    EXPECT_EQ(lumk_cemit_hex(0), "0x0ULL");
    EXPECT_EQ(lumk_cemit_hex(0xABCDEF), "0xabcdefULL");
}

TEST(CemitText, EveryOpcodeTranslatesOnlyKnownOnesDo) {
    std::set<std::string> texts;
    for (uint16_t op = 0; op < LUMK_OP_COUNT; ++op) {
        std::string t;
        EXPECT_NO_THROW(t = insn_text({op, 7, 1, 9, 14})) << lumk_op_name(op);
        EXPECT_FALSE(t.empty()) << lumk_op_name(op);
        texts.insert(t);
    }
    EXPECT_EQ(texts.size(), LUMK_OP_COUNT);  // no two opcodes share a translation
    try {
        insn_text({270, 0, 0, 0, 0});
        ADD_FAILURE() << "opcode 270 translated";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "lumk_jit: no C translation for ?");
    }
    // a refused instruction refuses the whole function
    auto p = base_program(8);
    p->code = {{LUMK_NOP, 0, 0, 0, 0}, {300, 0, 0, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    lumk_cemit em(*p);
    EXPECT_THROW(lumk_cemit_function(em, "K_EXPORT int lumk_jit_entry"), std::runtime_error);
    EXPECT_THROW(lumk_jit_source(*p), std::runtime_error);
    EXPECT_THROW(lumk_source_hash(*p), std::runtime_error);
}

TEST(CemitText, CommentEscapesCommentEnd) {
    auto p = base_program(8);
    EXPECT_EQ(lumk_cemit_comment(*p), "\n/* kernel k (t.k:3) */\n");
    p->name = "evil*/ int x; /*";
    p->file = "a**/b*/";
    const std::string c = lumk_cemit_comment(*p);
    EXPECT_EQ(c, "\n/* kernel evil* / int x; /* (a** /b* /:3) */\n");
    EXPECT_EQ(c.find("*/"), c.size() - 3);  // only the real end
}

TEST(SourceHash, KeyedByBytecodeNotByName) {
    auto make = [] {
        auto p = base_program(12);
        p->code = {{LUMK_ADD_I32, 7, 8, 9, 0}, {LUMK_END, 0, 0, 0, 0}};
        return p;
    };
    auto a = make(), b = make();
    b->name = "other";
    b->file = "elsewhere.k";
    b->line = 99;
    const uint64_t h = lumk_source_hash(*a);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(lumk_source_hash(*b), h);
    EXPECT_NE(lumk_jit_source(*a), lumk_jit_source(*b));  // the comment differs
    // the hash is FNV-1a over the version line, the prelude and the function
    lumk_cemit em(*a);
    const std::string text = std::string(lumk_jit_version) + "\n" + std::string(lumk_c_prelude) +
                             lumk_cemit_function(em, "K_EXPORT int lumk_jit_entry");
    uint64_t f = 0x14650FB0739D0383ull;
    for (unsigned char ch : text) f = (f ^ ch) * 0x100000001B3ull;
    EXPECT_EQ(h, f == 0 ? 1 : f);
    // any change of the bytecode moves it
    auto c = make();
    c->code[0].op = LUMK_ADD_U32;
    auto d = make();
    d->reg_count = 13;
    auto e = make();
    e->constants = {lumk_const{11, LUMK_PRIM_I32, 5}};
    auto g = make();
    g->is_2d = 1;
    std::set<uint64_t> all{h, lumk_source_hash(*c), lumk_source_hash(*d), lumk_source_hash(*e), lumk_source_hash(*g)};
    EXPECT_EQ(all.size(), 5u);
    // the JIT unit is prelude + comment + function
    EXPECT_EQ(lumk_jit_source(*a), std::string(lumk_c_prelude) + "\n/* kernel k (t.k:3) */\n" +
                                       lumk_cemit_function(em, "K_EXPORT int lumk_jit_entry"));
}

TEST(AotSource, RowsDeduplicatedByHash) {
    auto a = base_program(10);
    a->code = {{LUMK_MOV, 7, 8, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    auto twin = base_program(10);
    twin->name = "twin";
    twin->code = a->code;
    auto b = base_program(10);
    b->name = "b";
    b->code = {{LUMK_NEG_X64, 7, 8, 0, 0}, {LUMK_END, 0, 0, 0, 0}};
    const std::string s = lumk_aot_source({a.get(), twin.get(), b.get(), a.get()});
    char ha[40], hb[40];
    std::snprintf(ha, sizeof ha, "%016llx", static_cast<unsigned long long>(lumk_source_hash(*a)));
    std::snprintf(hb, sizeof hb, "%016llx", static_cast<unsigned long long>(lumk_source_hash(*b)));
    EXPECT_TRUE(s.starts_with("/* LumioScript kernels, native code for std.kernel_aot_load() or a build of the "
                              "interpreter (lumk-jit-1).\n"));
    EXPECT_NE(s.find("*/\n#if defined(__GNUC__)\n#pragma GCC diagnostic ignored \"-Wunused-variable\"\n"),
              std::string::npos);
    EXPECT_NE(s.find("#endif\n" + std::string(lumk_c_prelude) + "\n#ifdef __cplusplus\nextern \"C\" {\n#endif\n"),
              std::string::npos);
    EXPECT_NE(s.find("\n/* kernel k (t.k:3) */\nstatic int lumk_aot_" + std::string(ha) + "(kreg* regs"),
              std::string::npos);
    EXPECT_EQ(s.find("kernel twin"), std::string::npos);  // the first of equal kernels names the function
    EXPECT_NE(s.find("static const lumk_aot_entry lumk_aot_entries[] = {\n\t{ 0x" + std::string(ha) +
                     "ULL, lumk_aot_" + ha + " },\n\t{ 0x" + hb + "ULL, lumk_aot_" + hb + " },\n};\n"),
              std::string::npos);
    EXPECT_NE(s.find("K_EXPORT const lumk_aot_entry* lumk_aot_table(unsigned* count) { *count = 2u; return "
                     "lumk_aot_entries; }\n#endif\n#ifdef __cplusplus\n}\n#ifndef LUMK_AOT_SHARED\n"),
              std::string::npos);
    EXPECT_TRUE(s.ends_with("for (unsigned i = 0; i < 2u; i++) lumk_aot_register(lumk_aot_entries[i].hash, "
                            "(void*)lumk_aot_entries[i].fn); } } lumk_aot_init_instance; }\n#endif\n#endif\n"));

    const std::string empty = lumk_aot_source({});
    EXPECT_NE(empty.find("lumk_aot_entries[] = {\n\t{ 0, 0 },\n};\n"), std::string::npos);
    EXPECT_NE(empty.find("*count = 0u;"), std::string::npos);
    EXPECT_NE(empty.find("i < 0u;"), std::string::npos);
    EXPECT_EQ(empty.find("static int lumk_aot_"), std::string::npos);
}
