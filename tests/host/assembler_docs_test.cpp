// The programs of docs/assembler.md run as the page shows them. A block
// marked `lasm [FILE]` is a whole program (assembled as FILE, example.lasm
// when not given); the block marked `output [exit=N]` right after it is its
// standard output and exit status (0 when not given), and a block marked
// `stderr` after that is its standard error (empty when there is none).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/vm/lasm_support.h"

namespace {

struct fenced_block {
    std::string info;  // the words after the opening fence
    std::string body;
    int line = 0;      // of the opening fence
};

// The fenced blocks of a markdown text: a line starting with ``` (and no
// other backtick) opens one, a line of just ``` closes it.
std::vector<fenced_block> fenced_blocks(const std::string& markdown) {
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
    if (open != nullptr) ADD_FAILURE() << "docs/assembler.md:" << open->line << ": block without closing fence";
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

std::vector<doc_example> examples(const std::vector<fenced_block>& blocks) {
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
            ADD_FAILURE() << "docs/assembler.md:" << e.line << ": a lasm block without an output block after it";
            continue;
        }
        e.out = blocks[++i].body;
        for (size_t w = 1; w < next.size(); ++w) {
            if (next[w].rfind("exit=", 0) == 0) e.status = std::stoi(next[w].substr(5));
            else ADD_FAILURE() << "docs/assembler.md:" << blocks[i].line << ": unknown output attribute " << next[w];
        }
        if (i + 1 < blocks.size() && words(blocks[i + 1].info) == std::vector<std::string>{"stderr"})
            e.err = blocks[++i].body;
        out.push_back(std::move(e));
    }
    return out;
}

TEST(AssemblerDocs, EveryExampleRunsAsShown) {
    const std::filesystem::path page = std::filesystem::path(LUM_SOURCE_DIR) / "docs" / "assembler.md";
    ASSERT_TRUE(std::filesystem::exists(page)) << page;
    const std::vector<doc_example> all = examples(fenced_blocks(lasmtest::read_file(page)));
    ASSERT_FALSE(all.empty()) << "no lasm examples found in " << page;
    for (const doc_example& e : all) {
        SCOPED_TRACE("example at docs/assembler.md:" + std::to_string(e.line));
        lasmtest::settings s;
        s.timeout = std::chrono::milliseconds(30000);
        const lasmtest::outcome o = lasmtest::run(e.source, e.file, s);
        EXPECT_EQ(o.out, e.out);
        EXPECT_EQ(o.err, e.err);
        EXPECT_EQ(o.status, e.status);
    }
}

}  // namespace
