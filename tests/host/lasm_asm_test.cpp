// The assembler on its own: every check of operands it does for the
// interpreter ("FILE:LINE: message"), syntax and declaration errors, several
// problems reported together in line order, and the listing of `lumio asm`.

#include <gtest/gtest.h>

#include <string>

#include "tests/vm/lasm_support.h"
#include "vm/opcode.h"
#include "runtime/namespace.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"

namespace {

using lasmtest::asm_errors;

// A program whose main block (2 slots, 1 static, one child `kid` with 1 slot)
// holds `code`.
std::string in_main(const std::string& code) {
    return ".program \"t\"\n"            // 1
           ".native print\n"             // 2
           ".block main kind=top slots=2 statics=1\n"  // 3
           ".block kid kind=plain slots=1\n"           // 4
           ".end\n"                      // 5
           + code +                      // 6...
           "\n.end\n";
}

TEST(LasmAssembler, OperandIndicesAreChecked) {
    struct row {
        const char* code;
        const char* message;
    };
    const row rows[] = {
        {"ld.l 2", "t.lasm:6: slot 2 out of range (block 'main' has 2 slots)"},
        {"ld.lf 7", "t.lasm:6: slot 7 out of range (block 'main' has 2 slots)"},
        {"ld.s 1", "t.lasm:6: static slot 1 out of range (block 'main' has 1 static slots)"},
        {"ld.up 1, 0", "t.lasm:6: level 1 out of range (block 'main' is nested 0 deep)"},
        {"ld.g 2", "t.lasm:6: global slot 2 out of range (block 'main' has 2 slots)"},
        {"ld.gs 3", "t.lasm:6: global static slot 3 out of range (block 'main' has 1 static slots)"},
        {"lds #9", "t.lasm:6: string index 9 out of range (0 strings)"},
        {"memif #0", "t.lasm:6: string index 0 out of range (0 strings)"},
        {"enter 1", "t.lasm:6: child block 1 out of range (block 'main' has 1 children)"},
        {"fn 4", "t.lasm:6: child block 4 out of range (block 'main' has 1 children)"},
        {"catch 2", "t.lasm:6: child block 2 out of range (block 'main' has 1 children)"},
        {"mem \"x\" cache=3", "t.lasm:6: member-cache entry 3 out of range (block 'main' has 0)"},
        {"fcall \"m\" argc=0 cache=1 skip=e\ne:", "t.lasm:6: member-cache entry 1 out of range (block 'main' has 0)"},
        {"fexpr dst=none path:0 skip=e\ne:", "t.lasm:6: member path 0 out of range (block 'main' has 0)"},
        {"fexpr dst=l:5 i:1 skip=e\ne:", "t.lasm:6: slot 5 out of range (block 'main' has 2 slots)"},
        {"fexpr dst=none g:9 skip=e\ne:", "t.lasm:6: global slot 9 out of range (block 'main' has 2 slots)"},
        {"fexpr dst=none up:1,0 skip=e\ne:", "t.lasm:6: level 1 out of range (block 'main' is nested 0 deep)"},
        {"op 55 B=1000", "t.lasm:6: jump target 1000 outside the code (block 'main' has 8 bytes)"},
        {"op 56 B=-1", "t.lasm:6: jump target -1 outside the code (block 'main' has 8 bytes)"},
        {"op 57 B=3", "t.lasm:6: jump target 3 is inside an instruction"},
        {"op 72 B=900", "t.lasm:6: jump target 900 outside the code (block 'main' has 200 bytes)"},
        {"op 72 B=0", "t.lasm:6: skip target must lie after the instruction (fused instructions skip forward)"},
        {"x:\nfexpr dst=none i:1 skip=x", "t.lasm:7: skip target must lie after the instruction (fused instructions skip forward)"},
        {"op 42 D=5", "t.lasm:6: operand D is not the address of a declared native"},
        {"op 12 D=0", "t.lasm:6: operand D is not the address of a declared native"},
        {"op 13 D=8", "t.lasm:6: operand D is not the address of a declared constant"},
        {"op 62 D=16", "t.lasm:6: accessing class is not the address of a declared class"},
        {"op 73 B=32 C=0", "t.lasm:6: string index 0 out of range (0 strings)"},
        {"op 48 A=0", "t.lasm:6: default: parameter 0 out of range (block 'main' has 0 parameters)"},
        {"enterlinked", "t.lasm:6: enterlinked in block 'main' without linked=BLOCK"},
    };
    for (const row& r : rows) EXPECT_EQ(asm_errors(in_main(r.code)), r.message) << r.code;
}

TEST(LasmAssembler, LevelsSlotsAndDefaultsOfNestedBlocks) {
    const std::string source =
        ".block main kind=top slots=3 statics=2\n"                                 // 1
        ".block f kind=function slots=3 params=3 first_default=1 flags=function\n" // 2
        ".block f_b kind=plain slots=0\n"                                          // 3
        "ldi 1\n"                                                                  // 4
        ".end\n"                                                                   // 5
        "default 1\n"                                                              // 6 ok
        "default 2\n"                                                              // 7 no block for c
        "default 0\n"                                                              // 8 a has no default
        "ld.up 1, 2\n"                                                             // 9 ok
        "ld.up 1, 3\n"                                                             // 10
        "ld.ups 1, 1\n"                                                            // 11 ok
        "ld.ups 1, 2\n"                                                            // 12
        "ld.up 2, 0\n"                                                             // 13
        ".end\n"                                                                   // 14
        ".end\n";
    EXPECT_EQ(asm_errors(source),
              "t.lasm:7: child block 1 out of range (block 'f' has 1 children)\n"
              "t.lasm:8: default: parameter 0 has no default (first_default=1)\n"
              "t.lasm:10: slot 3 out of range (block 'main' has 3 slots)\n"
              "t.lasm:12: static slot 2 out of range (block 'main' has 2 static slots)\n"
              "t.lasm:13: level 2 out of range (block 'f' is nested 1 deep)");
}

TEST(LasmAssembler, SyntaxAndDeclarationErrors) {
    const std::string past_list = std::to_string(LUM_OPCODE_MAX + 1);
    struct row {
        std::string source;
        std::string message;
    };
    const std::string main_open = ".block main kind=top slots=1\n";
    const row rows[] = {
        {".block main kind=top slots=1\nbogus 1\n.end\n", "t.lasm:2: unknown instruction 'bogus'"},
        {".weird\n.block main kind=top slots=1\n.end\n", "t.lasm:1: unknown directive '.weird'"},
        {".block main kind=top slots=1\n", "t.lasm:1: block 'main' has no '.end'"},
        {".end\n.block main kind=top slots=1\n.end\n", "t.lasm:1: '.end' without '.block'"},
        {"push\n.block main kind=top slots=1\n.end\n", "t.lasm:1: instruction outside a block"},
        {".block main kind=top slots=1\n.end\n.program \"late\"\n", "t.lasm:3: '.program' must be the first line"},
        {"", "t.lasm: no block: the program needs a top-level block"},
        {".block main kind=top\n.end\n", "t.lasm:1: block 'main' needs slots=N"},
        {".block main slots=1\n.end\n", "t.lasm:1: block 'main' needs kind=top|function|loop|plain"},
        {".block main kind=odd slots=1\n.end\n", "t.lasm:1: unknown block kind 'odd' (top, function, loop or plain)"},
        {".block main kind=top slots=1 params=2\n.end\n", "t.lasm:1: params=2 exceeds slots=1"},
        {".block main kind=top slots=2 params=1 first_default=2\n.end\n", "t.lasm:1: first_default=2 exceeds params=1"},
        {".block main kind=top slots=2 params=1 bound=2\n.end\n", "t.lasm:1: params + bound (3) exceed slots=2"},
        {".block main kind=top slots=1 flags=try,fast\n.end\n",
         "t.lasm:1: unknown block flag 'fast' (try, function, epilogue, method)"},
        {".block main kind=top slots=65537\n.end\n", "t.lasm:1: slots=65537 exceeds the limit of 65536 per block"},
        {".block main kind=top slots=1 statics=4000000000\n.end\n",
         "t.lasm:1: statics=4000000000 exceeds the limit of 65536 per block"},
        {".block main kind=top slots=65536 statics=65536\n.end\n", ""},
        {".block main kind=top slots=1 slotflags=3:0x04\n.end\n", "t.lasm:1: slotflags slot 3 out of range (block 'main' has 1 slots)"},
        {".block main kind=loop slots=1 restart=nowhere\n.end\n", "t.lasm:1: unknown restart label 'nowhere' in block 'main'"},
        {main_open + "jmp nowhere\n.end\n", "t.lasm:2: unknown label 'nowhere' in block 'main'"},
        {main_open + "a:\na:\n.end\n", "t.lasm:3: label 'a' defined twice in block 'main'"},
        {main_open + "ldi 12x\n.end\n", "t.lasm:2: expected an integer for ldi, got '12x'"},
        {main_open + "ldi 99999999999999999999\n.end\n", "t.lasm:2: expected an integer for ldi, got '99999999999999999999'"},
        {main_open + "lds \"open\n.end\n", "t.lasm:2: unterminated string"},
        {main_open + "lds \"bad \\q\"\n.end\n", "t.lasm:2: unknown escape \\q in '\"bad \\q\"'"},
        {main_open + "prep 256\n.end\n", "t.lasm:2: expected a number from 0 to 255 for the operand, got '256'"},
        {main_open + "push 1\n.end\n", "t.lasm:2: usage: push"},
        {main_open + "ld.up 1\n.end\n", "t.lasm:2: usage: ld.up L, S"},
        {main_open + "fn other\n.end\n.block other kind=function slots=0\n.end\n",
         "t.lasm:2: block 'other' is not a child of block 'main'"},
        {main_open + "enter ghost\n.end\n", "t.lasm:2: unknown block 'ghost'"},
        {main_open + "ncall @nothing\n.end\n", "t.lasm:2: unknown native 'nothing' (declare it with .native)"},
        {main_open + "ldk =k\n.end\n", "t.lasm:2: unknown constant 'k' (declare it with .const)"},
        {main_open + "mem \"x\" cls=Nope\n.end\n", "t.lasm:2: unknown class 'Nope'"},
        {main_open + "fexpr dst=none i:1 i:2 add\n.end\n", "t.lasm:2: fexpr needs skip=LABEL"},
        {main_open + "fexpr dst=none i:1 i:2 i:3 i:4 i:5 i:6 i:7 skip=e\ne:\n.end\n", "t.lasm:2: fexpr takes at most 6 constants"},
        {main_open + "fexpr dst=none pow skip=e\ne:\n.end\n", "t.lasm:2: unknown fexpr item 'pow'"},
        {main_open + "fcall \"m\" skip=e\ne:\n.end\n", "t.lasm:2: fcall needs argc=N"},
        {main_open + "op " + past_list + "\n.end\n",
         "t.lasm:2: unknown opcode " + past_list + " (write invalid encodings with .bytes)"},
        {main_open + "op 8 Q=1\n.end\n", "t.lasm:2: unknown field 'Q' (A, B, C, C8, D, E, E8, F)"},
        {main_open + "op 8 A=300\n.end\n", "t.lasm:2: value of field A out of range"},
        {main_open + "op 15 A=255\n.end\n", ""},
        {main_open + "ldi\f1\nldi\v2\n.end\n", ""},  // form feed and vertical tab separate operands
        {main_open + ".bytes 1g\n.end\n", "t.lasm:2: expected a hex byte (00 to ff), got '1g'"},
        {main_open + ".loc nowhere 1 1\npush\n.end\n", "t.lasm:2: unknown unit 'nowhere'"},
        {".native printf\n" + main_open + ".end\n",
         "t.lasm:1: unknown native 'printf': host natives are 'print'; namespace functions are written ns.fn"},
        {".native nope.fn\n" + main_open + ".end\n", "t.lasm:1: unknown namespace 'nope' for native 'nope.fn'"},
        {".native std.nothing\n" + main_open + ".end\n", "t.lasm:1: namespace 'std' has no function 'nothing'"},
        {".native std.thread min=1\n" + main_open + ".end\n", "t.lasm:1: min and max apply only to host natives"},
        {".native print min=3 max=2\n" + main_open + ".end\n", "t.lasm:1: min=3 exceeds max=2"},
        {".const k int\n" + main_open + ".end\n", "t.lasm:1: usage: .const NAME int N | float X | str \"text\" | none"},
        {".const k bool 1\n" + main_open + ".end\n", "t.lasm:1: unknown constant type 'bool' (int, float, str or none)"},
        {".unit u \"a.lum\" from=v\n" + main_open + ".end\n", "t.lasm:1: unknown unit 'v' (declare it first)"},
        {".class A base=B\n.class B\n" + main_open + ".end\n", "t.lasm:1: base class 'B' must be declared before 'A'"},
        {".class A ops=[__pow__=main]\n" + main_open + ".end\n", "t.lasm:1: unknown operator method '__pow__'"},
        {".class A methods=[m=ghost]\n" + main_open + ".end\n", "t.lasm:1: unknown block 'ghost'"},
        {".class A members=[x, x]\n" + main_open + ".end\n", "t.lasm:1: member 'x' listed twice"},
        {".class A\n.class A\n" + main_open + ".end\n", "t.lasm:2: class 'A' declared twice"},
        {main_open + ".end\n.block main kind=function slots=0\n.end\n", "t.lasm:3: block 'main' declared twice"},
    };
    for (const row& r : rows) EXPECT_EQ(asm_errors(r.source), r.message) << r.source;
}

TEST(LasmAssembler, ProgramStructureAndEncodings) {
    const std::string source =
        ".program \"shape\"\n"
        ".native print min=0 max=3\n"
        ".const k float 0.5\n"
        ".unit u \"src/a.lum\"\n"
        ".line u 2 \"x = 1\"\n"
        ".class P members=[a, b:private] methods=[m=p_m] ctor=p_new\n"
        ".block main kind=top slots=2 statics=1\n"
        ".mpath pa holder=l:0 name=\"a\"\n"
        ".block p_new kind=function slots=2 params=2 first_default=1 flags=function\n"
        ".block p_new_b kind=plain slots=0\n"
        "ldi 0\n"
        ".end\n"
        "newinst\n"
        "ret\n"
        ".end\n"
        "top:\n"
        ".loc u 2 4\n"
        "ldi -2\n"
        "ldf 1e3\n"
        "lds \"a\\tb\"\n"
        "ldk =k\n"
        "ncall @print\n"
        "mem \"a\" cache=c cls=P viv\n"
        "fcall \"m\" argc=1 cache=c skip=after\n"
        "idx mode=2 viv\n"
        "fexpr dst=path:pa path:pa i:1 add skip=after\n"
        "op 34 A=1\n"
        "after:\n"
        ".bytes 00 ff\n"
        ".end\n"
        ".block p_m kind=function slots=1 params=1\n"
        "selfmem 1 def\n"
        ".end\n";
    lum_asm_options options;
    options.module = &lasmtest::linked_module();
    const lum_assembly a = lum_assemble(source, "shape.lasm", options);
    const lum_program& p = *a.program;
    EXPECT_EQ(p.name, "shape");
    ASSERT_EQ(a.blocks.size(), 4u);
    lum_program_block* main = p.root.get();
    ASSERT_EQ(main, a.blocks[0].block);
    EXPECT_EQ(main->kind, LUM_BLOCK_TOP);
    EXPECT_EQ(main->statics.size(), 1u);
    ASSERT_EQ(main->children.size(), 1u);
    lum_program_block* ctor = main->children[0].get();
    EXPECT_EQ(ctor->name, "p_new");
    EXPECT_EQ(ctor->num_params, 2u);
    EXPECT_EQ(ctor->first_default, 1u);
    EXPECT_EQ(ctor->flags, LUM_BLOCK_FLAG_FUNCTION);
    EXPECT_EQ(ctor->children.size(), 1u);
    EXPECT_EQ(a.blocks[3].block->flags, LUM_BLOCK_FLAG_METHOD);  // set by the class
    EXPECT_EQ(main->member_cache.size(), 1u);                    // cache=c shared by mem and fcall
    ASSERT_EQ(main->member_paths.size(), 1u);
    EXPECT_EQ(main->member_paths[0].holder_kind, 0);
    EXPECT_EQ(p.classes.size(), 1u);
    EXPECT_EQ(p.natives.size(), 1u);
    EXPECT_EQ(p.natives[0]->min_args, 0u);
    EXPECT_EQ(p.natives[0]->max_args, 3u);
    // Positions: the .loc before ldi, nothing else.
    ASSERT_TRUE(main->symbols);
    ASSERT_EQ(main->symbols->positions.size(), 1u);
    const auto& [offset, location] = *main->symbols->positions.begin();
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(location->unit->path, "src/a.lum");
    EXPECT_EQ(location->line, 2u);
    EXPECT_EQ(location->index, 4u);
    EXPECT_EQ(location->unit->lines.at(2), "x = 1");
    // The listing names the addresses the code carries.
    const std::string listing = a.listing();
    for (const char* part : {"ldk =k\n", "ncall @print\n", "mem \"a\" cache=0 cls=P viv\n", "fcall \"m\" argc=1 cache=0 skip=016a\n",
                             "idx mode=2 viv\n", "fexpr dst=path:0 path:0 i:1 add skip=016a\n", "ne\n", ".bytes\n",
                             "selfmem 1 def\n", ".block p_m kind=function slots=1 params=1 first_default=1 flags=method\n"})
        EXPECT_NE(listing.find(part), std::string::npos) << part << "\n" << listing;
}

// The assembler is the only producer of script bytecode here: every opcode of
// the list needs a mnemonic, or nothing can write it.
TEST(LasmAssembler, EveryOpcodeHasAMnemonic) {
    for (unsigned op = 1; op <= LUM_OPCODE_MAX; ++op)
        EXPECT_FALSE(lum_asm_mnemonic(static_cast<uint8_t>(op)).empty())
            << "opcode " << op << " has no mnemonic in host/asm_mnemonics.cpp";
    EXPECT_TRUE(lum_asm_mnemonic(0).empty());
    EXPECT_TRUE(lum_asm_mnemonic(static_cast<uint8_t>(LUM_OPCODE_MAX + 1)).empty());
}

TEST(LasmAssembler, Listing) {
    const std::string source =
        ".program \"list\"\n"
        ".block main kind=top slots=2\n"
        ".block body kind=loop slots=0 restart=again\n"
        "again:\n"
        "cont\n"
        ".end\n"
        ".block other kind=plain slots=0\n"
        ".end\n"
        "top:\n"
        "ldi -2\n"
        "ldf 1e3\n"
        "lds \"a\\tb\"\n"
        "ld.up 0, 1\n"
        "enter body\n"
        "fcall \"m\" argc=1 self=2 disabled skip=end\n"
        "fexpr dst=l:1 l:0 f:0.5 mul neg skip=end\n"
        "op 34 A=1\n"
        ".bytes 00 ff\n"
        "jz top\n"
        "end:\n"
        ".end\n";
    EXPECT_EQ(lum_assemble(source, "list.lasm").listing(),
              ".program \"list\"\n"
              "\n"
              ".block main kind=top slots=2 params=0 first_default=0\n"
              "        ; children: 0=body 1=other\n"
              "  0000  08 00 00 00 00 00 00 00 fe ff ff ff ff ff ff ff ldi -2\n"
              "  0010  09 00 00 00 00 00 00 00 00 00 00 00 00 40 8f 40 ldf 1000.0\n"
              "  0020  0a 00 00 00 00 00 00 00                         lds \"a\\tb\"\n"
              "  0028  04 00 00 00 00 00 00 00 01 00 00 00             ld.up 0, 1\n"
              "  0034  2f 00 00 00 00 00 00 00                         enter body\n"
              "  003c  49 00 00 00 f4 00 00 00 01 00 00 00 00 00 00 00 fcall \"m\" argc=1 self=2 disabled skip=0130\n"
              "        02 00 00 00 01 01 00 00 00 00 00 00 00 00 00 00\n"
              "  005c  48 00 00 00 d4 00 00 00 01 00 00 00 01 00 00 00 fexpr dst=l:1 l:0 f:0.5 mul neg skip=0130\n"
              "        04 00 01 00 00 00 00 00 00 00 00 00 03 00 00 00\n"
              "        00 00 00 00 06 00 00 00 00 00 00 00 12 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 e0 3f\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "        00 00 00 00 00 00 00 00\n"
              "  0124  22 01                                           ne\n"
              "  0126  00 ff                                           .bytes\n"
              "  0128  38 00 00 00 d8 fe ff ff                         jz 0000\n"
              ".end\n"
              "\n"
              ".block body kind=loop slots=0 params=0 first_default=0 restart=0  ; child of main\n"
              "  0000  3c                                              cont\n"
              ".end\n"
              "\n"
              ".block other kind=plain slots=0 params=0 first_default=0  ; child of main\n"
              ".end\n");
}

}  // namespace
