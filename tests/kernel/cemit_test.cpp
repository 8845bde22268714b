// C translation where the exact text is the contract: the prelude, the
// comment escaping, the refusal of untranslatable instructions, the source
// hash and the ahead-of-time source. What the translated code computes is
// compared with the interpreter in native_diff_test.cpp and
// native_family_test.cpp.

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
        insn_text({LUMK_OP_COUNT, 0, 0, 0, 0});
        ADD_FAILURE() << "the first opcode past the list translated";
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
