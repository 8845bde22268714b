// The kernel tour of the README's main command, run in-process through the
// assembler and the interpreter: kernel_compile, unit members, launches,
// a job, structs, the JIT settings and a caught trap print what they should.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "kernel/exec/native_driver.h"
#include "tests/kernel/native_test_util.h"
#include "tests/vm/lasm_support.h"

namespace {

TEST(KernelExample, TourOutput) {
    // A cache folder of its own: a library left in the user's cache by an
    // earlier version would be compiled again with a warning on the log.
    ntest::use_private_cache();
    const std::filesystem::path source_dir(LUM_SOURCE_DIR);
    lasmtest::settings s;
    s.timeout = std::chrono::milliseconds(120000);  // the tour compiles a kernel with the C compiler
    const lasmtest::outcome o =
        lasmtest::run(lasmtest::read_file(source_dir / "examples" / "kernels.lasm"), "kernels.lasm", s);
    std::string expected = lasmtest::read_file(source_dir / "tests" / "script" / "kernels_example.out");
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

}  // namespace
