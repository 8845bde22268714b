// The `lumio` command itself: `lumio run` loads the module library through
// its exports and runs the example tour; exit statuses 0, 1 and 2; hostile
// programs; `lumio asm` prints the listing.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "tests/platform/test_platform.h"
#include "tests/vm/lasm_support.h"

#if defined(LUMIO_EXE) && defined(LUMIO_MODULE_PATH)

namespace {

namespace fs = std::filesystem;

using lasmtest::read_file;

struct command_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `lumio ARGS` in the source directory; stdin is empty.
command_result lumio(const std::string& args) {
    const fs::path dir = lum_test_make_temp_dir("lumio_cmd_");
    const fs::path out = dir / "out";
    const fs::path err = dir / "err";
    command_result r;
    r.status = lum_test_run_command(LUM_SOURCE_DIR, lum_test_quote(LUMIO_EXE) + " " + args, out.string(), err.string());
    r.out = read_file(out);
    r.err = read_file(err);
    fs::remove_all(dir);
    return r;
}

const std::string module_option = " --module " + lum_test_quote(LUMIO_MODULE_PATH);

TEST(LumioCommand, RunsTheTourThroughTheModuleLibrary) {
    const command_result r = lumio("run examples/tour.lasm" + module_option);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_file(fs::path(LUM_SOURCE_DIR) / "tests/vm/tour.out"));
    EXPECT_EQ(r.err, read_file(fs::path(LUM_SOURCE_DIR) / "tests/vm/tour.err"));
}

// A source file in a fresh directory, removed with the object.
struct temp_source {
    fs::path dir;
    fs::path file;
    temp_source(const std::string& name, const std::string& text)
        : dir(lum_test_make_temp_dir("lumio_" + name + "_")), file(dir / (name + ".lasm")) {
        std::ofstream(file) << text;
    }
    ~temp_source() { fs::remove_all(dir); }
    std::string arg() const { return lum_test_quote(file.string()); }
};

// A copy of the test program tests/vm/lasm/NAME.lasm.
temp_source lasm_program(const std::string& name) {
    return temp_source(name, read_file(fs::path(LUM_SOURCE_DIR) / "tests/vm/lasm" / (name + ".lasm")));
}

// Launch helper jobs, then a regex job, through the workers of a host that
// loaded the module as a library, run after run: the regex job must always be
// taken (a wake-up lost between the host's and the module's side left it
// queued until the timeout).
TEST(LumioCommand, LaunchesThenARegexMethodNeverStall) {
    const temp_source program = lasm_program("launch_regex");
    for (int run = 0; run < 15; ++run) {
        const command_result r = lumio("run " + program.arg() + " --workers 2 --timeout 5" + module_option);
        ASSERT_EQ(r.status, 0) << "run " << run << ": " << r.err;
        ASSERT_EQ(r.out, "1\n") << "run " << run;
    }
}

TEST(LumioCommand, ExitStatuses) {
    // An unhandled run-time error ends the root task: 1.
    const temp_source reports = lasm_program("reports");
    command_result r = lumio("run " + reports.arg() + " --workers 0" + module_option);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, read_file(fs::path(LUM_SOURCE_DIR) / "tests/vm/lasm/reports.out"));
    EXPECT_NE(r.err.find("Add invalid type: 1"), std::string::npos);
    // Tasks still waiting when the timeout passes: 1.
    const temp_source deadlock = lasm_program("deadlock");
    r = lumio("run " + deadlock.arg() + " --timeout 0.1" + module_option);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "lumio run: " + deadlock.file.string() + ": tasks still running after the timeout of 0.1 seconds\n");
    // The file cannot be read: 2, with the system's reason.
    r = lumio("run tests/vm/lasm/no_such_file.lasm" + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "lumio run: tests/vm/lasm/no_such_file.lasm: " + std::generic_category().message(ENOENT) + "\n");
    r = lumio("run examples/tour.lasm --workers many" + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("lumio run: bad value for --workers: 'many'\n", 0), 0u) << r.err;
    // No command, or one it does not know: 2 and the usage on standard error.
    const struct {
        const char* args;
        const char* err_begins;
    } usage_cases[] = {{"", "usage: lumio"}, {"bogus", "lumio: unknown command 'bogus'\nusage: lumio"}};
    for (const auto& u : usage_cases) {
        r = lumio(u.args);
        EXPECT_EQ(r.status, 2) << "'" << u.args << "'";
        EXPECT_EQ(r.out, "") << "'" << u.args << "'";
        EXPECT_EQ(r.err.rfind(u.err_begins, 0), 0u) << "'" << u.args << "'\n" << r.err;
    }
    r = lumio("info --bogus" + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("lumio info: unknown argument '--bogus'\nusage: lumio info"), std::string::npos) << r.err;
    r = lumio("run examples/tour.lasm --module /nonexistent/lib.so");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("lumio run: cannot load module '/nonexistent/lib.so'", 0), 0u) << r.err;
}

// Runs `lumio run PROGRAM OPTIONS` with standard output and error sent to one
// file; the file's text, the exit status in *status.
std::string run_to_one_file(const temp_source& program, const std::string& options, int* status) {
    const fs::path both = program.dir / "both";
    std::string ignored;
    *status = lum_test_capture(lum_test_quote(LUMIO_EXE) + " run " + program.arg() + options + module_option + " >" +
                                   lum_test_quote(both.string()) + " 2>&1",
                               &ignored);
    return read_file(both);
}

// `text` begins with `printed`, and `report` comes after it.
void expect_printed_then_report(const std::string& text, const std::string& printed, const std::string& report) {
    const size_t report_at = text.find(report);
    ASSERT_NE(report_at, std::string::npos) << text;
    EXPECT_EQ(text.rfind(printed, 0), 0u) << text;
    EXPECT_GE(report_at, printed.size()) << text;
}

// Standard output and error sent to one file keep the order of the run: what
// was printed before a report comes before it, whichever part of the command
// reports (the logger, the timeout; an exception escaping the run below).
TEST(LumioCommand, OutputAndReportsToOneFileKeepTheirOrder) {
    const temp_source error("order", ".program \"order\"\n.native print\n.block main kind=top slots=0\n"
                                     "  push\n  frame 1\n  lds \"before\"\n  farg 0\n  ncall @print\n  pop\n"
                                     "  push\n  none\n  push\n  none\n  add\n  pop\n.end\n");
    int status = -1;
    std::string text = run_to_one_file(error, "", &status);
    EXPECT_EQ(status, 1);
    expect_printed_then_report(text, "before\n", "Add invalid type");

    const temp_source deadlock = lasm_program("deadlock");
    text = run_to_one_file(deadlock, " --timeout 0.1", &status);
    EXPECT_EQ(status, 1);
    expect_printed_then_report(text, read_file(fs::path(LUM_SOURCE_DIR) / "tests/vm/lasm/deadlock.out"),
                               "tasks still running after the timeout of 0.1 seconds");
}

// A file that cannot be read is named with the system's reason, by `run` and
// by `asm` alike, and ends the command with status 2.
TEST(LumioCommand, AFileThatCannotBeReadSaysWhy) {
    const fs::path dir = lum_test_make_temp_dir("lumio_unreadable_");
    const std::string missing = (dir / "missing.lasm").string();
    for (const char* command : {"run", "asm"}) {
        SCOPED_TRACE(command);
        const std::string prefix = "lumio " + std::string(command) + ": ";
        command_result r = lumio(std::string(command) + " " + lum_test_quote(dir.string()) + module_option);
        EXPECT_EQ(r.status, 2);
        // A folder: "Is a directory" where the system opens it for reading,
        // else the refusal to open it.
        EXPECT_TRUE(r.err == prefix + dir.string() + ": " + std::generic_category().message(EISDIR) + "\n" ||
                    r.err == prefix + dir.string() + ": " + std::generic_category().message(EACCES) + "\n")
            << r.err;
        EXPECT_EQ(r.out, "");
        r = lumio(std::string(command) + " " + lum_test_quote(missing) + module_option);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, prefix + missing + ": " + std::generic_category().message(ENOENT) + "\n");
    }
    fs::remove_all(dir);
}

// --timeout 0 means no timeout, as --max-depth 0 means no limit: a program
// that waits for a worker's result runs to its end.
TEST(LumioCommand, ATimeoutOfZeroIsNone) {
    const temp_source program = lasm_program("launch_regex");
    const command_result r = lumio("run " + program.arg() + " --workers 2 --timeout 0" + module_option);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.err, "");
}

// The help names every option with its default, and the exit statuses.
TEST(LumioCommand, HelpGivesEachOptionItsDefaultAndTheExitStatuses) {
    const command_result r = lumio("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const std::string option : {"--module", "--workers", "--max-depth", "--timeout"}) {
        // The option's own entry: its line and the indented lines after it.
        const size_t at = r.out.find("\n  " + option + " ");
        ASSERT_NE(at, std::string::npos) << option << "\n" << r.out;
        size_t end = at + 1;
        while ((end = r.out.find('\n', end)) != std::string::npos && r.out.compare(end + 1, 5, "     ") == 0) ++end;
        const std::string entry = r.out.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        EXPECT_NE(entry.find("default: "), std::string::npos) << entry;
    }
    EXPECT_NE(r.out.find("default: none"), std::string::npos) << "no timeout by default\n" << r.out;
    const size_t statuses = r.out.find("Exit status:\n");
    ASSERT_NE(statuses, std::string::npos) << r.out;
    for (const char* status : {"\n  0  ", "\n  1  ", "\n  2  "})
        EXPECT_NE(r.out.find(status, statuses), std::string::npos) << status << r.out;
}

TEST(LumioCommand, HostileProgramsAreRefusedOrStopped) {
    // Slot and static counts beyond the assembler's limits: refused before
    // anything is allocated.
    const temp_source counts("counts", ".program \"counts\"\n.block main kind=top slots=4000000000\n.end\n"
                                       ".block other kind=top slots=1 statics=4000000000\n.end\n");
    command_result r = lumio("run " + counts.arg() + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, counts.file.string() + ":2: slots=4000000000 exceeds the limit of 65536 per block\n" +
                         counts.file.string() + ":4: statics=4000000000 exceeds the limit of 65536 per block\n");

    // An endless recursion stops at the default call depth.
    const temp_source recursion("recursion", ".program \"recursion\"\n.block main kind=top slots=1\n"
                                             "  push\n  ld.l 0\n  push\n  fn down\n  assign\n  pop\n"
                                             "  ld.l 0\n  prep 0\n  call\n  pop\n"
                                             ".block down kind=function slots=0 flags=function\n"
                                             "  ld.g 0\n  prep 0\n  call\n  ret\n.end\n.end\n");
    r = lumio("run " + recursion.arg() + " --timeout 30" + module_option);
    EXPECT_NE(r.err.find("maximum call depth of 10000 exceeded (endless recursion?)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("timeout"), std::string::npos) << r.err;
    // --max-depth sets another limit; any count is taken.
    r = lumio("run " + recursion.arg() + " --max-depth 50 --timeout 30" + module_option);
    EXPECT_NE(r.err.find("maximum call depth of 50 exceeded (endless recursion?)"), std::string::npos) << r.err;
    const temp_source sum = lasm_program("sum");
    r = lumio("run " + sum.arg() + " --max-depth 4294967295" + module_option);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "55\n");
    r = lumio("run " + sum.arg() + " --max-depth 4294967296" + module_option);
    EXPECT_EQ(r.status, 2);
}

// AddressSanitizer's allocator ends the process itself when memory runs out.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUM_TEST_ASAN 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(LUM_TEST_ASAN)
TEST(LumioCommand, AnExceptionEscapingTheRunEndsItWithStatus2) {
    // An argument frame of four billion values cannot be allocated.
    const temp_source frame("frame", ".program \"frame\"\n.native print\n.block main kind=top slots=0\n"
                                     "  push\n  frame 1\n  lds \"before\"\n  farg 0\n  ncall @print\n  pop\n"
                                     "  push\n  frame 4000000000\n  ncall @print\n  pop\n.end\n");
    const command_result r = lumio("run " + frame.arg() + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "before\n");
    EXPECT_EQ(r.err, "lumio run: " + frame.file.string() + ": out of memory\n");
    // What was printed comes first in a file that takes both.
    int status = -1;
    const std::string text = run_to_one_file(frame, "", &status);
    EXPECT_EQ(status, 2);
    expect_printed_then_report(text, "before\n", ": out of memory");
}
#endif

TEST(LumioCommand, ValuesMadeByTheInterpreterHaveTheirMethods) {
    // Text made by `lds` and a json made by `newjson` are objects of the
    // runtime copy inside the executable; their methods work as those of
    // objects made by the library (std.thread). regex_search runs on a
    // worker through return_thread.
    const fs::path dir = lum_test_make_temp_dir("lumio_methods_");
    const fs::path file = dir / "methods.lasm";
    std::ofstream(file) << ".program \"methods\"\n.native print\n.block main kind=top slots=0\n"
                           "  push\n  frame 3\n"
                           "  lds \"abc\"\n  mem \"uppercase\"\n  prep 0\n  call\n  farg 0\n"
                           "  lds \"xxbb\"\n  mem \"regex_search\"\n  prep 1\n  push\n  lds \"b+\"\n  arg 0\n  pop\n"
                           "  call\n  farg 1\n"
                           "  newjson\n  mem \"size\"\n  prep 0\n  call\n  farg 2\n"
                           "  ncall @print\n  pop\n.end\n";
    const command_result r = lumio("run " + lum_test_quote(file.string()) + " --workers 1" + module_option);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ABC 2 0\n");
    EXPECT_EQ(r.err, "");
    fs::remove_all(dir);
}

TEST(LumioCommand, AssemblyErrorsAndListing) {
    const fs::path dir = lum_test_make_temp_dir("lumio_asm_");
    const fs::path bad = dir / "bad.lasm";
    std::ofstream(bad) << ".program \"bad\"\n.block main kind=top slots=1\n  ld.l 1\n.end\n";
    command_result r = lumio("run " + lum_test_quote(bad.string()) + module_option);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, bad.string() + ":3: slot 1 out of range (block 'main' has 1 slots)\n");
    r = lumio("asm " + lum_test_quote(bad.string()) + module_option);
    EXPECT_EQ(r.status, 2);
    const temp_source sum = lasm_program("sum");
    r = lumio("asm " + sum.arg() + module_option);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(".program \"sum\"\n\n.block main kind=top slots=2 params=0 first_default=0\n"
                          "  0000  11                                              push\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("ncall @print\n"), std::string::npos);
    r = lumio("run " + sum.arg() + module_option);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "55\n");
    EXPECT_EQ(r.err, "");
    fs::remove_all(dir);
}

}  // namespace

#endif
