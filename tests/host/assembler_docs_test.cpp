// The user guides and the maintainer's map stay true.
//
// The programs of docs/assembler.md and docs/kernels.md run as the pages show
// them. A block marked `lasm [FILE]` is a whole program (assembled as FILE,
// example.lasm when not given); the block marked `output [exit=N]` right after
// it is its standard output and exit status (0 when not given), and a block
// marked `stderr` after that is its standard error (empty when there is none).
//
// Every instruction of the assembler has a row in the instruction tables of
// docs/assembler.md, and every kernel builtin is in the Builtins list of
// docs/kernels.md.
//
// docs/architecture.md names files and functions: every repository path it
// writes in backticks exists, and every `name()` appears in the source tree;
// README.md gives the script opcode count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/asm_mnemonics.h"
#include "host/assembler.h"
#include "kernel/compiler/check_calls.h"
#include "tests/vm/lasm_support.h"
#include "vm/opcode.h"

namespace {

namespace fs = std::filesystem;

struct fenced_block {
    std::string info;  // the words after the opening fence
    std::string body;
    int line = 0;      // of the opening fence
};

// The fenced blocks of a markdown text: a line starting with ``` (and no
// other backtick) opens one, a line of just ``` closes it.
std::vector<fenced_block> fenced_blocks(const std::string& markdown, const std::string& page) {
    std::vector<fenced_block> blocks;
    std::istringstream in(markdown);
    std::string line;
    int number = 0;
    fenced_block* open = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (open != nullptr) {
            if (line == "```") open = nullptr;
            else open->body += line + "\n";
            continue;
        }
        if (line.rfind("```", 0) == 0 && line.find('`', 3) == std::string::npos) {
            blocks.push_back({line.substr(3), "", number});
            open = &blocks.back();
        }
    }
    if (open != nullptr) ADD_FAILURE() << page << ":" << open->line << ": block without closing fence";
    return blocks;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

struct doc_example {
    int line = 0;
    std::string file = "example.lasm";
    std::string source;
    std::string out;
    std::string err;
    int status = 0;
};

std::vector<doc_example> examples(const std::vector<fenced_block>& blocks, const std::string& page) {
    std::vector<doc_example> out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<std::string> info = words(blocks[i].info);
        if (info.empty() || info[0] != "lasm") continue;
        doc_example e;
        e.line = blocks[i].line;
        e.source = blocks[i].body;
        if (info.size() > 1) e.file = info[1];
        const std::vector<std::string> next = i + 1 < blocks.size() ? words(blocks[i + 1].info) : std::vector<std::string>{};
        if (next.empty() || next[0] != "output") {
            ADD_FAILURE() << page << ":" << e.line << ": a lasm block without an output block after it";
            continue;
        }
        e.out = blocks[++i].body;
        for (size_t w = 1; w < next.size(); ++w) {
            if (next[w].rfind("exit=", 0) == 0) e.status = std::stoi(next[w].substr(5));
            else ADD_FAILURE() << page << ":" << blocks[i].line << ": unknown output attribute " << next[w];
        }
        if (i + 1 < blocks.size() && words(blocks[i + 1].info) == std::vector<std::string>{"stderr"})
            e.err = blocks[++i].body;
        out.push_back(std::move(e));
    }
    return out;
}

std::string read_page(const std::string& page) {
    const fs::path path = fs::path(LUM_SOURCE_DIR) / page;
    EXPECT_TRUE(fs::exists(path)) << path;
    return lasmtest::read_file(path);
}

// The time the examples of one page may take together: a bound that catches
// a hang, not a slow machine. Each example gets all the time the page has
// left, so one slow example (the regex example needs seconds of CPU under
// the sanitizers, and a loaded machine gives it a fraction of a core) never
// fails; the whole stays under ctest's bound for the test (300 s), so that a
// hung example is named here rather than the test killed.
constexpr std::chrono::seconds kPageBudget{240};

// Runs every example of `page` (a path below the source tree) and compares.
void expect_examples_run_as_shown(const std::string& page) {
    const std::vector<doc_example> all = examples(fenced_blocks(read_page(page), page), page);
    ASSERT_FALSE(all.empty()) << "no lasm examples found in " << page;
    const auto deadline = std::chrono::steady_clock::now() + kPageBudget;
    for (const doc_example& e : all) {
        SCOPED_TRACE("example at " + page + ":" + std::to_string(e.line));
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        ASSERT_GT(left.count(), 0) << "the examples before it took all of " << kPageBudget.count() << " s";
        lasmtest::settings s;
        s.timeout = left;
        const lasmtest::outcome o = lasmtest::run(e.source, e.file, s);
        ASSERT_FALSE(o.run.timed_out) << "still running after " << left.count() << " ms: it hangs";
        EXPECT_EQ(o.out, e.out);
        EXPECT_EQ(o.err, e.err);
        EXPECT_EQ(o.status, e.status);
    }
}

TEST(AssemblerDocs, EveryExampleRunsAsShown) { expect_examples_run_as_shown("docs/assembler.md"); }

TEST(KernelDocs, EveryAssemblerExampleRunsAsShown) { expect_examples_run_as_shown("docs/kernels.md"); }

// ---- every instruction and every builtin is documented ----

// The lines under the heading `heading` (a whole line, such as "## Instructions")
// up to the next heading of its level or a higher one; fenced blocks are
// skipped. Empty when the page has no such heading.
std::vector<std::string> section_lines(const std::string& markdown, const std::string& heading) {
    const size_t level = heading.find(' ');
    std::vector<std::string> out;
    std::istringstream in(markdown);
    bool inside = false, fenced = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("```", 0) == 0) {
            fenced = !fenced;
            continue;
        }
        if (fenced) continue;
        if (line == heading) {
            inside = true;
            continue;
        }
        const size_t hashes = line.find_first_not_of('#');
        if (inside && hashes != 0 && hashes != std::string::npos && hashes <= level && line[hashes] == ' ') break;
        if (inside) out.push_back(line);
    }
    return out;
}

// The code spans of one line, with `\|` read as `|`.
std::vector<std::string> spans_of(const std::string& line) {
    std::vector<std::string> out;
    for (size_t open = line.find('`'); open != std::string::npos;) {
        const size_t close = line.find('`', open + 1);
        if (close == std::string::npos) break;
        std::string span = line.substr(open + 1, close - open - 1);
        for (size_t at = span.find("\\|"); at != std::string::npos; at = span.find("\\|", at + 1)) span.erase(at, 1);
        out.push_back(span);
        open = line.find('`', close + 1);
    }
    return out;
}

bool is_name(const std::string& w) {
    return !w.empty() && std::islower(static_cast<unsigned char>(w[0])) != 0 &&
           w.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_.") == std::string::npos;
}

// The names a list of code spans gives: every word of a span made of names
// only (`add sub mul`), else the span's first word (`ld.up L, S`).
void add_names(const std::vector<std::string>& spans, std::set<std::string>& names) {
    for (const std::string& span : spans) {
        const std::vector<std::string> w = words(span);
        if (w.empty()) continue;
        bool all = true;
        for (const std::string& x : w) all = all && is_name(x);
        if (all) names.insert(w.begin(), w.end());
        else names.insert(w[0]);
    }
}

// The instructions the tables of a section give a row: the names in the
// first cell of every row (a line starting with '|', not the line under the
// table's header).
std::set<std::string> table_instructions(const std::vector<std::string>& lines) {
    std::set<std::string> names;
    for (const std::string& line : lines) {
        if (line.empty() || line[0] != '|' || line.rfind("|---", 0) == 0) continue;
        size_t end = 1;
        while (end < line.size() && !(line[end] == '|' && line[end - 1] != '\\')) ++end;
        add_names(spans_of(line.substr(1, end - 1)), names);
    }
    return names;
}

TEST(AssemblerDocs, ReadsInstructionNamesFromTableRows) {
    const std::vector<std::string> lines = {
        "| instruction | effect |", "|---|---|", "| `ld.up L, S` | x `jmp` |", "| `add sub` | y |",
        "| `inc` / `dec` | z |",     "| `mem \"name\" [cache=auto\\|NAME]` | w |", "not a row `call`"};
    EXPECT_EQ(table_instructions(lines), (std::set<std::string>{"add", "dec", "inc", "ld.up", "mem", "sub"}));
    const std::string page = "# A\n## B\nb\n```\n## C\n```\n### D\nd\n## E\ne\n";
    EXPECT_EQ(section_lines(page, "## B"), (std::vector<std::string>{"b", "### D", "d"}));
    EXPECT_TRUE(section_lines(page, "## F").empty());
}

TEST(AssemblerDocs, EveryMnemonicHasARowInTheInstructionTables) {
    const std::string page = "docs/assembler.md";
    const std::set<std::string> rows = table_instructions(section_lines(read_page(page), "## Instructions"));
    std::set<std::string> mnemonics;
    for (unsigned op = 1; op <= LUM_OPCODE_MAX; ++op)
        for (uint8_t a : {0, 1})
            if (const std::string_view m = lum_asm_mnemonic(static_cast<uint8_t>(op), a); !m.empty())
                mnemonics.insert(std::string(m));
    for (const std::string& m : mnemonics)
        EXPECT_TRUE(rows.count(m)) << page << ": the instruction `" << m
                                   << "` has no row in the tables under \"## Instructions\"";
    for (const std::string& r : rows)
        EXPECT_NE(lum_asm::find_mnemonic(r), nullptr) << page << ": a row for `" << r << "`, which is no instruction";
}

TEST(KernelDocs, EveryBuiltinIsInTheBuiltinsList) {
    const std::string page = "docs/kernels.md";
    // the list is the section's first paragraph; the text after it explains
    std::set<std::string> listed;
    for (const std::string& line : section_lines(read_page(page), "### Builtins")) {
        if (line.empty() && !listed.empty()) break;
        add_names(spans_of(line), listed);
    }
    const std::vector<std::string> builtins = lumk_builtin_names();
    for (const std::string& b : builtins)
        EXPECT_TRUE(listed.count(b)) << page << ": the builtin `" << b << "` is missing from the list under \"### Builtins\"";
    for (const std::string& l : listed) {
        if (!is_name(l)) continue;  // `Vec2(1.0f, 2.0f)`
        EXPECT_NE(std::find(builtins.begin(), builtins.end(), l), builtins.end())
            << page << ": `" << l << "` is listed under \"### Builtins\" but is no builtin";
    }
}

// ---- the architecture map ----

// The `code spans` of a markdown text outside fenced blocks, with their lines.
struct code_span {
    std::string text;
    int line = 0;
};

std::vector<code_span> code_spans(const std::string& markdown) {
    std::vector<code_span> spans;
    std::istringstream in(markdown);
    std::string line;
    int number = 0;
    bool fenced = false;
    while (std::getline(in, line)) {
        ++number;
        if (line.rfind("```", 0) == 0) {
            fenced = !fenced;
            continue;
        }
        if (fenced) continue;
        for (size_t open = line.find('`'); open != std::string::npos;) {
            const size_t close = line.find('`', open + 1);
            if (close == std::string::npos) break;
            spans.push_back({line.substr(open + 1, close - open - 1), number});
            open = line.find('`', close + 1);
        }
    }
    return spans;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// A span is a repository path when it is one word of path characters that
// holds a '/' or ends in a source or document extension (a bare extension,
// `.cpp`, names no file).
bool is_repository_path(std::string_view s) {
    if (s.empty() || s.front() == '.' || s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./-") !=
                         std::string_view::npos)
        return false;
    if (s.find('/') != std::string_view::npos) return true;
    for (std::string_view ext : {".h", ".cpp", ".md", ".txt", ".cmake", ".lasm"})
        if (ends_with(s, ext)) return true;
    return false;
}

// The name of a span written as a call, `name()` or `scope::name()`; "" for
// any other span.
std::string function_name(std::string_view s) {
    if (!ends_with(s, "()")) return {};
    s.remove_suffix(2);
    if (const size_t colons = s.rfind("::"); colons != std::string_view::npos) s.remove_prefix(colons + 2);
    if (s.empty() || s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
                         std::string_view::npos)
        return {};
    return std::string(s);
}

// The text of every C++ source and header of the tree's code folders.
std::string source_tree_text() {
    std::string all;
    for (const char* folder : {"runtime", "vm", "types", "kernel", "host", "tests", "fuzz", "bench"}) {
        const fs::path dir = fs::path(LUM_SOURCE_DIR) / folder;
        if (!fs::exists(dir)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp" || ext == ".c"))
                all += lasmtest::read_file(entry.path()) + "\n";
        }
    }
    return all;
}

// A word of C++ source: `name` not preceded or followed by an identifier byte.
bool has_identifier(const std::string& text, const std::string& name) {
    auto ident = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; };
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const bool starts = at == 0 || !ident(text[at - 1]);
        const size_t after = at + name.size();
        const bool ends = after >= text.size() || !ident(text[after]);
        if (starts && ends) return true;
    }
    return false;
}

TEST(ArchitectureDocs, RecognisesPathsAndFunctionNames) {
    EXPECT_TRUE(is_repository_path("vm/interpreter.cpp"));
    EXPECT_TRUE(is_repository_path("kernel/exec/"));
    EXPECT_TRUE(is_repository_path("README.md"));
    EXPECT_FALSE(is_repository_path("std.json"));
    EXPECT_FALSE(is_repository_path(".cpp"));
    EXPECT_FALSE(is_repository_path("*_linux.cpp"));
    EXPECT_FALSE(is_repository_path("lumio run FILE.lasm"));
    EXPECT_FALSE(is_repository_path("mem \"size\""));
    EXPECT_EQ(function_name("lum_call_native()"), "lum_call_native");
    EXPECT_EQ(function_name("lum_std_json::push_keyed()"), "push_keyed");
    EXPECT_EQ(function_name("launch(domain, ...)"), "");
    EXPECT_EQ(function_name("size"), "");
    EXPECT_TRUE(has_identifier("void lum_call_native(x)", "lum_call_native"));
    EXPECT_FALSE(has_identifier("void lum_call_native_fast(x)", "lum_call_native"));
}

TEST(ArchitectureDocs, EveryPathAndFunctionItNamesExists) {
    const std::string page = "docs/architecture.md";
    const std::vector<code_span> spans = code_spans(read_page(page));
    const std::string sources = source_tree_text();
    std::set<std::string> paths, functions;
    for (const code_span& span : spans) {
        if (is_repository_path(span.text)) {
            paths.insert(span.text);
            EXPECT_TRUE(fs::exists(fs::path(LUM_SOURCE_DIR) / span.text))
                << page << ":" << span.line << ": no such file or folder: " << span.text;
        } else if (const std::string name = function_name(span.text); !name.empty()) {
            functions.insert(name);
            EXPECT_TRUE(has_identifier(sources, name))
                << page << ":" << span.line << ": no function named " << name << " in the source tree";
        }
    }
    // The map names the layers' folders and traces calls through functions.
    EXPECT_GE(paths.size(), 20u);
    EXPECT_GE(functions.size(), 10u);
}

// A span written as a test name, `Suite.Case`: two identifiers starting with
// a capital letter; "" for any other span.
std::string test_name(std::string_view s) {
    const size_t dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= s.size()) return {};
    if (!std::isupper(static_cast<unsigned char>(s[0])) || !std::isupper(static_cast<unsigned char>(s[dot + 1])))
        return {};
    for (size_t i = 0; i < s.size(); ++i)
        if (i != dot && std::isalnum(static_cast<unsigned char>(s[i])) == 0 && s[i] != '_') return {};
    return std::string(s.substr(0, dot)) + ", " + std::string(s.substr(dot + 1)) + ")";
}

// The recipes name the tests a step breaks; each of them exists.
TEST(ArchitectureDocs, EveryTestItNamesExists) {
    EXPECT_EQ(test_name("StringObject.MethodTable"), "StringObject, MethodTable)");
    EXPECT_EQ(test_name("std.json"), "");
    EXPECT_EQ(test_name("Files/LasmProgram.*/NAME"), "");
    EXPECT_EQ(test_name("StringMethods\\."), "");
    const std::string page = "docs/architecture.md";
    const std::string sources = source_tree_text();
    int named = 0;
    for (const code_span& span : code_spans(read_page(page))) {
        const std::string test = test_name(span.text);
        if (test.empty()) continue;
        ++named;
        EXPECT_NE(sources.find("(" + test), std::string::npos)
            << page << ":" << span.line << ": no test named " << span.text << " in tests/";
    }
    EXPECT_GE(named, 5);
}

// The README gives the number of script opcodes.
TEST(ArchitectureDocs, TheReadmeCountsTheScriptOpcodes) {
    std::string text;
    for (char c : read_page("README.md")) {
        const bool space = c == ' ' || c == '\n';
        if (!space || (!text.empty() && text.back() != ' ')) text += space ? ' ' : c;
    }
    const std::string count = "interpreter (" + std::to_string(LUM_OPCODE_MAX) + " opcodes";
    EXPECT_NE(text.find(count), std::string::npos) << "README.md should say \"" << count << "\"";
}

}  // namespace
