// The benchmark programs in bench/script/*.lasm stay valid assembler: each
// assembles without diagnostics (running them is the benchmark's job).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/vm/lasm_support.h"

namespace fs = std::filesystem;

TEST(BenchPrograms, Assemble) {
    const fs::path dir = fs::path(LUM_SOURCE_DIR) / "bench" / "script";
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".lasm") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_EQ(lasmtest::asm_errors(text.str(), entry.path().filename().string()), "") << entry.path();
        ++count;
    }
    EXPECT_EQ(count, 14);
}
