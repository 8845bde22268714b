// The compile driver: import de-duplication, the order of sources, the
// imported-declaration mark and compile errors.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/compile.h"

namespace {

using unit_ptr = std::shared_ptr<lumk_compiled_unit>;

unit_ptr compile(const std::string& src, const std::string& name, const std::vector<unit_ptr>& imports = {}) {
    unit_ptr out;
    kerror err;
    lumk_compile_unit(out, src, name, err, imports);
    EXPECT_TRUE(out) << name << ": " << err.message;
    return out;
}

std::vector<std::string> names(const unit_ptr& u) {
    std::vector<std::string> n;
    for (const lumk_source& s : u->sources) n.push_back(s.name);
    return n;
}

const char* const k_a = "struct Pt { f32 x; f32 y; }\nkernel ka(Pt* p) { p[gid].x = 1.0f; }\n";
const char* const k_b = "kernel kb(i32* p) { p[gid] = 2; }\n";
const char* const k_note = "// nothing but a comment\n";

}  // namespace

TEST(CompileDriver, ImportsComeFirstAndOnce) {
    unit_ptr a = compile(k_a, "a.k");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->sources.size(), 1u);
    EXPECT_EQ(a->sources[0].text, k_a);
    EXPECT_EQ(a->sources[0].name, "a.k");

    unit_ptr b = compile(k_b, "b.k", {a});
    ASSERT_TRUE(b);
    EXPECT_EQ(names(b), (std::vector<std::string>{"a.k", "b.k"}));

    // a shared import (a via b, and a directly) comes in once; the same unit twice too
    unit_ptr c = compile("kernel kc(u8* p) { p[gid] = u8(3); }\n", "c.k", {b, a, a});
    ASSERT_TRUE(c);
    EXPECT_EQ(names(c), (std::vector<std::string>{"a.k", "b.k", "c.k"}));
    EXPECT_EQ(c->sources[1].text, k_b);

    // a null import is skipped
    unit_ptr d = compile(k_note, "d.k", {nullptr, a});
    ASSERT_TRUE(d);
    EXPECT_EQ(names(d), (std::vector<std::string>{"a.k", "d.k"}));
}

TEST(CompileDriver, KernelsOfImportedSourcesAreMarked) {
    lumk_lexer lexer;
    std::vector<lumk_source> sources = {
        {"kernel inline helper(f32 v) -> f32 { return v; }\nkernel first(f32* p) { }\n", "lib.k"},
        {"struct Q { i32 n; }\n", "mid.k"},
        {"kernel own(f32* p) { p[gid] = helper(1.0f); }\nkernel inline h2() { }\n", "own.k"},
    };
    std::vector<lumk_decl> decls = lumk_parse_sources(lexer, sources);
    std::vector<std::pair<std::string, int>> kernels;
    for (const lumk_decl& d : decls) {
        if (d.kind == lumk_decl_kind::kernel_decl) kernels.emplace_back(d.kernel_decl->name, d.kernel_decl->imported);
    }
    EXPECT_EQ(kernels, (std::vector<std::pair<std::string, int>>{{"helper", 1}, {"first", 1}, {"own", 0}, {"h2", 0}}));
    EXPECT_EQ(decls.size(), 5u);
    // one stream: only the last source's end token remains
    size_t ends = 0;
    for (const lumk_token& t : lexer.tokens) ends += t.is_end() ? 1 : 0;
    EXPECT_EQ(ends, 1u);
    EXPECT_TRUE(lexer.tokens.back().is_end());
    EXPECT_EQ(lexer.sources.file_names, (std::vector<std::string>{"lib.k", "mid.k", "own.k"}));

    lumk_lexer empty;
    EXPECT_TRUE(lumk_parse_sources(empty, {}).empty());
}

TEST(CompileDriver, ErrorsLeaveNoUnit) {
    unit_ptr out = std::make_shared<lumk_compiled_unit>();
    kerror err;
    lumk_compile_unit(out, "kernel k(i32* p) {\n  p[gid] = ;\n}\n", "own.k", err, {});
    EXPECT_FALSE(out);
    EXPECT_EQ(err.file, "own.k");
    EXPECT_EQ(err.line, 2u);
    EXPECT_EQ(err.source_line, "  p[gid] = ;");
    EXPECT_FALSE(err.message.empty());

    // a fault in an imported source names that source
    auto bad = std::make_shared<lumk_compiled_unit>();
    bad->sources.push_back({"// ok\nkernel broken( {\n", "lib.k"});
    kerror err2;
    lumk_compile_unit(out, k_note, "own.k", err2, {bad});
    EXPECT_FALSE(out);
    EXPECT_EQ(err2.file, "lib.k");
    EXPECT_EQ(err2.line, 2u);

    // lexical errors are caught the same way
    kerror err3;
    lumk_compile_unit(out, "kernel k() { @ }", "lex.k", err3, {});
    EXPECT_FALSE(out);
    EXPECT_EQ(err3.file, "lex.k");
    EXPECT_EQ(err3.column, 14u);
}
