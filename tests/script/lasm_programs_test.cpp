// The kernel script interface from script code: every tests/script/lasm/NAME.lasm
// runs in-process; its standard output must equal NAME.out, its standard error
// NAME.err (empty without the file) and its exit status NAME.status (0 without
// the file). NAME.flags holds `--workers N`.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/exec/native_driver.h"
#include "tests/vm/lasm_support.h"

namespace {

namespace fs = std::filesystem;

fs::path program_dir() { return fs::path(LUM_SOURCE_DIR) / "tests" / "script" / "lasm"; }

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> program_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(program_dir()))
        if (entry.path().extension() == ".lasm") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

lasmtest::settings read_flags(const fs::path& path) {
    lasmtest::settings s;
    s.timeout = std::chrono::milliseconds(60000);
    if (!fs::exists(path)) return s;
    std::istringstream in(read_file(path));
    std::string option;
    std::string value;
    while (in >> option >> value) {
        if (option == "--workers") s.workers = static_cast<uint32_t>(std::stoul(value));
        else ADD_FAILURE() << path << ": unknown option " << option;
    }
    return s;
}

class KernelScriptProgram : public ::testing::TestWithParam<std::string> {};

TEST_P(KernelScriptProgram, OutputErrorsAndStatus) {
    const fs::path base = program_dir() / GetParam();
    auto with = [&base](const char* ext) { return fs::path(base).replace_extension(ext); };
    const lasmtest::outcome o =
        lasmtest::run(read_file(with(".lasm")), GetParam() + ".lasm", read_flags(with(".flags")));
    EXPECT_EQ(o.out, read_file(with(".out")));
    EXPECT_EQ(o.err, fs::exists(with(".err")) ? read_file(with(".err")) : std::string());
    EXPECT_EQ(o.status, fs::exists(with(".status")) ? std::stoi(read_file(with(".status"))) : 0);
}

// The kernel tour of the README's main command prints what it should.
TEST(KernelExample, TourOutput) {
    const fs::path example = fs::path(LUM_SOURCE_DIR) / "examples" / "kernels.lasm";
    lasmtest::settings s;
    s.timeout = std::chrono::milliseconds(120000);
    const lasmtest::outcome o = lasmtest::run(read_file(example), "kernels.lasm", s);
    std::string expected = read_file(program_dir() / "kernels_example.out");
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

INSTANTIATE_TEST_SUITE_P(Files, KernelScriptProgram, ::testing::ValuesIn(program_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
