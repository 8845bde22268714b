// `lumio run` with native kernel compiles (Linux: a C compiler and POSIX
// shell scripts as compilers): the program's end is not held up by a compile
// still running or by a compiler's leftover process, and the temporary
// kernel folder goes also when the watchdog ends the program.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/test_platform.h"
#include "tests/vm/lasm_support.h"

#if defined(LUMIO_EXE) && defined(LUMIO_MODULE_PATH)

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

struct command_result {
    int status = -1;
    std::string out;
    std::string err;
    clock_type::duration took{};
};

// A private folder with a temporary folder of its own (TMPDIR of the runs),
// removed with the object.
struct native_dir {
    fs::path dir = lum_test_make_temp_dir("lumio_native_");
    fs::path tmp = dir / "tmp";
    native_dir() { fs::create_directories(tmp); }
    ~native_dir() { fs::remove_all(dir); }

    // Runs `lumio run PROGRAM ARGS` with the environment `env` (shell
    // assignments), the module of the build, the cache folder of rule 3 (this
    // folder's tmp).
    command_result run(const std::string& program, const std::string& env, const std::string& args) const {
        const fs::path file = dir / "program.lasm";
        std::ofstream(file) << program;
        command_result r;
        const auto start = clock_type::now();
        r.status = lum_test_run_command(
            dir.string(),
            "LUM_KERNEL_CACHE= TMPDIR=" + lum_test_quote(tmp.string()) + " " + env + " " + lum_test_quote(LUMIO_EXE) +
                " run " + lum_test_quote(file.string()) + " " + args + " --module " + lum_test_quote(LUMIO_MODULE_PATH),
            (dir / "out").string(), (dir / "err").string());
        r.took = clock_type::now() - start;
        r.out = lasmtest::read_file(dir / "out");
        r.err = lasmtest::read_file(dir / "err");
        return r;
    }

    // An executable shell script in the folder.
    fs::path script(const std::string& name, const std::string& body) const {
        const fs::path p = dir / name;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        fs::permissions(p, fs::perms::owner_all);
        return p;
    }

    // The process id written to `name`, waiting for it at most 10 s; 0 when none.
    long pid(const std::string& name) const {
        const auto deadline = clock_type::now() + std::chrono::seconds(10);
        for (;;) {
            std::ifstream f(dir / name);
            long pid = 0;
            if (f >> pid && pid > 0) return pid;
            if (clock_type::now() > deadline) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
};

// Whether the process runs (a zombie counts as gone).
bool runs(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

// Waits at most 10 s for the process to end.
bool ends(long pid) {
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (runs(pid)) {
        if (clock_type::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A program that sets the JIT policy, launches one kernel over 16 items,
// prints its jit_status() and then runs `tail`. Its unit (slot 0) also holds
// `more_kernels`; slot 1 is the buffer launched over.
std::string kernel_program(const std::string& policy, const std::string& tail, const std::string& more_kernels = "") {
    return ".program \"native\"\n.native std.kernel_compile\n.native std.kernel_jit\n.native std.buffer\n"
           ".native print\n.block main kind=top slots=3\n"
           "  push\n  ldext @std.kernel_jit\n  prep 1\n  push\n  lds \"" + policy + "\"\n  arg 0\n  pop\n  call\n  pop\n"
           "  push\n  ld.l 0\n  push\n  ldext @std.kernel_compile\n  prep 2\n"
           "  push\n  lds \"kernel twice(f32* v) { v[gid] = v[gid] * 2.0; }" + more_kernels + "\"\n  arg 0\n  pop\n"
           "  push\n  lds \"n.k\"\n  arg 1\n  pop\n  call\n  assign\n  pop\n"
           "  push\n  ld.l 1\n  push\n  ldext @std.buffer\n  prep 0\n  call\n  assign\n  pop\n"
           "  push\n  ld.l 1\n  mem \"resize\"\n  prep 1\n  push\n  ldi 64\n  arg 0\n  pop\n  call\n  pop\n"
           "  push\n  ld.l 0\n  mem \"twice\"\n  mem \"launch\"\n  prep 2\n"
           "  push\n  ldi 16\n  arg 0\n  pop\n  push\n  ld.l 1\n  arg 1\n  pop\n  call\n  pop\n"
           "  push\n  ldext @print\n  prep 1\n  push\n  ld.l 0\n  mem \"twice\"\n  mem \"jit_status\"\n  prep 0\n"
           "  call\n  arg 0\n  pop\n  call\n  pop\n" +
           tail + ".end\n";
}

// Sets the JIT policy to sync and launches the unit's kernel `started`
// (over the buffer): the program waits here for that kernel's compile.
const std::string compile_started_here =
    "  push\n  ldext @std.kernel_jit\n  prep 1\n  push\n  lds \"sync\"\n  arg 0\n  pop\n  call\n  pop\n"
    "  push\n  ld.l 0\n  mem \"started\"\n  mem \"launch\"\n  prep 2\n"
    "  push\n  ldi 16\n  arg 0\n  pop\n  push\n  ld.l 1\n  arg 1\n  pop\n  call\n  pop\n";

// Runs `command_line` with a terminal as its standard output, so that each
// line comes as it is printed (standard output is line-buffered on a
// terminal): the lines, when the last one came and when the command ended.
struct terminal_run {
    int status = -1;
    std::string out;  // without the terminal's carriage returns
    clock_type::time_point last_line{};
    clock_type::time_point ended{};
};

terminal_run run_on_terminal(const std::string& command_line) {
    terminal_run r;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname(master) == nullptr) {
        if (master >= 0) ::close(master);
        return r;
    }
    const std::string terminal = ::ptsname(master);
    std::atomic<bool> done{false};
    std::thread runner([&] {
        const int raw = std::system((command_line + " >" + lum_test_quote(terminal)).c_str());
        r.ended = clock_type::now();
        r.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        done = true;
    });
    // Until the command has ended and its output is read (a closed terminal
    // reads as an error or as nothing).
    for (bool finished = false; !finished;) {
        finished = done.load();
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        finished = false;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\r') continue;
            r.out += buf[i];
            if (buf[i] == '\n') r.last_line = clock_type::now();
        }
    }
    runner.join();
    ::close(master);
    return r;
}

// A program that ends while its kernel's background compile runs (the
// compiler hangs with a child of its own until its time limit) ends at
// once: the compile stops with its processes, and the temporary kernel
// folder goes. Only the time from the program's last line to the process's
// end is bounded. The program waits for the background compile to start:
// its last step is a compile of its own, of another kernel, which the
// compiler ends (failed) once the hanging compile has started its child.
TEST(LumioNative, TheProgramsEndStopsARunningCompile) {
    const native_dir d;
    const fs::path cc = d.script("hang.sh", "[ \"$1\" = --version ] && exit 0\n"
                                            "for a; do case $a in *.c) source=$a;; esac; done\n"
                                            "if grep -q 'kernel started (' \"$source\"; then\n"
                                            "  i=0\n  until [ -s sleep.pid ] || [ $i -ge 3000 ]; do\n"
                                            "    sleep 0.01; i=$((i+1))\n  done\n"
                                            "  exit 1\nfi\n"
                                            "echo $$ > cc.pid\nsleep 60 &\necho $! > sleep.pid\nwait\n");
    std::ofstream(d.dir / "program.lasm")
        << kernel_program("auto", compile_started_here + "  push\n  ldext @print\n  prep 1\n  push\n  lds \"end\"\n"
                                                         "  arg 0\n  pop\n  call\n  pop\n",
                          " kernel started(f32* v) { v[gid] = 1.0; }");
    // The time limit holds the wait for the start on a loaded machine, and
    // the whole run when the program's end does not stop the compile.
    const terminal_run r = run_on_terminal(
        "cd " + lum_test_quote(d.dir.string()) + " && LUM_KERNEL_CACHE= TMPDIR=" + lum_test_quote(d.tmp.string()) +
        " LUM_KERNEL_CC=" + lum_test_quote(cc.string()) + " LUM_KERNEL_CC_TIMEOUT=40 " + lum_test_quote(LUMIO_EXE) +
        " run program.lasm --workers 1 --module " + lum_test_quote(LUMIO_MODULE_PATH) + " 2>err </dev/null");
    EXPECT_EQ(r.status, 0) << lasmtest::read_file(d.dir / "err");
    EXPECT_EQ(r.out, "compiling\nend\n");
    EXPECT_LT(r.ended - r.last_line, std::chrono::seconds(3));
    const long compiler = d.pid("cc.pid");
    const long child = d.pid("sleep.pid");
    ASSERT_GT(compiler, 0) << "the compile did not start";
    EXPECT_TRUE(ends(compiler));
    EXPECT_TRUE(ends(child));
    EXPECT_TRUE(fs::is_empty(d.tmp));
}

// A compiler that leaves a process behind (in a session of its own) holding
// its output: the compile is judged by the compiler's status once it ends.
TEST(LumioNative, ALeftoverProcessOfTheCompilerDoesNotHoldUpTheCompile) {
    const native_dir d;
    const fs::path cc = d.script("cc.sh", "[ \"$1\" = --version ] && exec gcc --version\n"
                                          "setsid sh -c 'echo $$ > helper.pid; exec sleep 30' &\nexec gcc \"$@\"\n");
    const command_result r = d.run(kernel_program("sync", ""),
                                   "LUM_KERNEL_CC=" + lum_test_quote(cc.string()) + " LUM_KERNEL_CC_TIMEOUT=4", "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ready\n") << r.err;
    EXPECT_LT(r.took, std::chrono::seconds(3));
    if (const long helper = d.pid("helper.pid")) ::kill(static_cast<pid_t>(helper), SIGKILL);
}

// The watchdog that ends a program that would not stop leaves no temporary
// kernel folder behind.
TEST(LumioNative, TheWatchdogLeavesNoKernelFolderBehind) {
    const native_dir d;
    const command_result r = d.run(kernel_program("sync", "spin: jmp spin\n"), "", "--timeout 0.2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ready\n") << r.err;
    EXPECT_NE(r.err.find("still running a task after the timeout"), std::string::npos) << r.err;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(d.tmp)) left.push_back(e.path().filename().string());
    EXPECT_TRUE(left.empty()) << left.front();
}

}  // namespace

#endif
