// The user guides and the maintainer's map stay true.
//
// The programs of docs/assembler.md and docs/kernels.md run as the pages show
// them. A block marked `lasm [FILE]` is a whole program (assembled as FILE,
// example.lasm when not given); the block marked `output [exit=N]` right after
// it is its standard output and exit status (0 when not given), and a block
// marked `stderr` after that is its standard error (empty when there is none).
//
// docs/architecture.md names files and functions: every repository path it
// writes in backticks exists, and every `name()` appears in the source tree;
// README.md gives the script opcode count.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// Runs every example of `page` (a path below the source tree) and compares.
void expect_examples_run_as_shown(const std::string& page) {
    const std::vector<doc_example> all = examples(fenced_blocks(read_page(page), page), page);
    ASSERT_FALSE(all.empty()) << "no lasm examples found in " << page;
    for (const doc_example& e : all) {
        SCOPED_TRACE("example at " + page + ":" + std::to_string(e.line));
        lasmtest::settings s;
        s.timeout = std::chrono::milliseconds(30000);
        const lasmtest::outcome o = lasmtest::run(e.source, e.file, s);
        EXPECT_EQ(o.out, e.out);
        EXPECT_EQ(o.err, e.err);
        EXPECT_EQ(o.status, e.status);
    }
}

TEST(AssemblerDocs, EveryExampleRunsAsShown) { expect_examples_run_as_shown("docs/assembler.md"); }

TEST(KernelDocs, EveryAssemblerExampleRunsAsShown) { expect_examples_run_as_shown("docs/kernels.md"); }

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
