// The kernel script interface from script code: every tests/script/lasm/NAME.lasm
// runs in-process; its standard output must equal NAME.out, its standard error
// NAME.err (empty without the file) and its exit status NAME.status (0 without
// the file). NAME.flags holds `--workers N`.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "kernel/exec/native_driver.h"
#include "tests/vm/lasm_support.h"

namespace {

namespace fs = std::filesystem;

fs::path program_dir() { return fs::path(LUM_SOURCE_DIR) / "tests" / "script" / "lasm"; }

// Script programs may take a minute: they compile kernels.
lasmtest::settings program_settings() {
    lasmtest::settings s;
    s.timeout = std::chrono::milliseconds(60000);
    return s;
}

class KernelScriptProgram : public ::testing::TestWithParam<std::string> {};

TEST_P(KernelScriptProgram, OutputErrorsAndStatus) {
    lasmtest::expect_program(program_dir(), GetParam(), program_settings());
}

// The kernel tour of the README's main command prints what it should.
TEST(KernelExample, TourOutput) {
    const fs::path example = fs::path(LUM_SOURCE_DIR) / "examples" / "kernels.lasm";
    lasmtest::settings s;
    s.timeout = std::chrono::milliseconds(120000);
    const lasmtest::outcome o = lasmtest::run(lasmtest::read_file(example), "kernels.lasm", s);
    std::string expected = lasmtest::read_file(program_dir() / "kernels_example.out");
    if (lumk_jit_compiler().empty()) {
        // A machine without a C compiler (a Windows test machine under Wine):
        // the sync compile fails and the kernel stays on the interpreters.
        const std::string ready = "jit after a sync compile: ready ";
        const size_t at = expected.find(ready);
        ASSERT_NE(at, std::string::npos);
        expected.replace(at, ready.size(),
                         "jit after a sync compile: failed: no C compiler found (set LUM_KERNEL_CC) ");
    }
    EXPECT_EQ(o.out, expected);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, KernelScriptProgram, ::testing::ValuesIn(lasmtest::program_names(program_dir())),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
