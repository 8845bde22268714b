// Assembler programs run end to end: every tests/vm/lasm/NAME.lasm is
// assembled and run in-process; its standard output must equal NAME.out, its
// standard error NAME.err (empty when there is no such file) and its exit
// status NAME.status (0 when there is no such file); NAME.flags holds options.
// The benchmark programs in bench/script/*.lasm stay valid assembler (running
// them is the benchmark's job).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/vm/lasm_support.h"
#include "vm/opcode.h"

static_assert(LUM_OPCODE_MAX < 253, "tests/vm/lasm/invalid.lasm writes opcodes 253 and 254 as unknown ones");

namespace {

namespace fs = std::filesystem;

fs::path lasm_dir() { return fs::path(LUM_SOURCE_DIR) / "tests" / "vm" / "lasm"; }

class LasmProgram : public ::testing::TestWithParam<std::string> {};

TEST_P(LasmProgram, OutputErrorsAndStatus) {
    lasmtest::expect_program(lasm_dir(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, LasmProgram, ::testing::ValuesIn(lasmtest::program_names(lasm_dir())),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(BenchPrograms, Assemble) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(LUM_SOURCE_DIR) / "bench" / "script")) {
        if (entry.path().extension() != ".lasm") continue;
        EXPECT_EQ(lasmtest::asm_errors(lasmtest::read_file(entry.path()), entry.path().filename().string()), "")
            << entry.path();
        ++count;
    }
    EXPECT_EQ(count, 15);
}

}  // namespace
