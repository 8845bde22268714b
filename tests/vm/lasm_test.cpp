// Assembler programs run end to end: every tests/vm/lasm/NAME.lasm is
// assembled and run in-process; its standard output must equal NAME.out, its
// standard error NAME.err (empty when there is no such file) and its exit
// status NAME.status (0 when there is no such file); NAME.flags holds options.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/vm/lasm_support.h"

namespace {

namespace fs = std::filesystem;

fs::path lasm_dir() { return fs::path(LUM_SOURCE_DIR) / "tests" / "vm" / "lasm"; }

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> program_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(lasm_dir()))
        if (entry.path().extension() == ".lasm") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// NAME.flags: command-line options of `lumio run` for the program
// (--workers N, --max-depth N, --timeout SECONDS).
lasmtest::settings read_flags(const fs::path& path) {
    lasmtest::settings s;
    if (!fs::exists(path)) return s;
    std::istringstream in(read_file(path));
    std::string option;
    std::string value;
    while (in >> option >> value) {
        if (option == "--workers") s.workers = static_cast<uint32_t>(std::stoul(value));
        else if (option == "--max-depth") s.max_depth = static_cast<uint32_t>(std::stoul(value));
        else if (option == "--timeout") s.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::stod(value) * 1000));
        else ADD_FAILURE() << path << ": unknown option " << option;
    }
    return s;
}

class LasmProgram : public ::testing::TestWithParam<std::string> {};

TEST_P(LasmProgram, OutputErrorsAndStatus) {
    const std::string name = GetParam();
    const fs::path base = lasm_dir() / name;
    const fs::path err_path = fs::path(base).replace_extension(".err");
    const fs::path status_path = fs::path(base).replace_extension(".status");
    const lasmtest::outcome o = lasmtest::run(read_file(fs::path(base).replace_extension(".lasm")), name + ".lasm",
                                              read_flags(fs::path(base).replace_extension(".flags")));
    EXPECT_EQ(o.out, read_file(fs::path(base).replace_extension(".out")));
    EXPECT_EQ(o.err, fs::exists(err_path) ? read_file(err_path) : std::string());
    EXPECT_EQ(o.status, fs::exists(status_path) ? std::stoi(read_file(status_path)) : 0);
}

INSTANTIATE_TEST_SUITE_P(Files, LasmProgram, ::testing::ValuesIn(program_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
