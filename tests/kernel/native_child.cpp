// The child-process side of the native-driver tests: the registry of
// scenarios, the test environment that runs the one named by
// LUM_NATIVE_CHILD and ends the process, and the shared helpers.

#include "tests/kernel/native_child.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "kernel/exec/settings.h"

namespace fs = std::filesystem;

namespace ntest {

std::shared_ptr<const lumk_unit> unit_of(const char* src) {
    ktest::compiled c = ktest::compile(src);
    EXPECT_TRUE(c.ok()) << c.err.message;
    return c.unit;
}

namespace {

std::vector<ktest::buffer> saxpy_data() {
    std::vector<float> y(300), x(300);
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = static_cast<float>(i) * 0.5f;
        x[i] = 3.0f - static_cast<float>(i % 13);
    }
    return {ktest::buffer::of(y), ktest::buffer::of(x)};
}

struct scenario {
    child_scenario_fn fn;
    child_end end;
};

std::map<std::string, scenario>& scenarios() {
    static std::map<std::string, scenario>* const s = new std::map<std::string, scenario>;
    return *s;
}

}  // namespace

std::string saxpy_compile_status() {
    std::string error;
    return lumk_jit_compile(lumk_jit_source(*unit_of(kSaxpy)->programs[0]), &error) != nullptr ? "ready" : error;
}

bool entry_agrees(const lumk_program& p) {
    lumk_jit_entry_fn e = lumk_jit_ready_entry(*p.jit);
    if (e == nullptr) return false;
    std::vector<ktest::buffer> in = saxpy_data();
    if (p.params.size() == 2) in = {in[1], in[0]};  // poly(x, y)
    const std::vector<uint64_t> values =
        p.params.size() == 3 ? std::vector<uint64_t>{0x40200000} : std::vector<uint64_t>{};
    engine_run a = run_engine(p, nullptr, 300, in, values);
    engine_run b = run_engine(p, e, 300, in, values);
    return a.code == 0 && b.code == 0 && a.buffers == b.buffers;
}

bool add_child_scenario(const char* name, child_scenario_fn fn, child_end end) {
    scenarios()[name] = scenario{fn, end};
    return true;
}

std::vector<std::string>& child_warnings() {
    static std::vector<std::string>* const w = new std::vector<std::string>;
    return *w;
}

int child_sync() {
    lum_kernel_jit_policy.store(LUM_KERNEL_JIT_SYNC);
    std::shared_ptr<const lumk_unit> u = unit_of(kSaxpy);
    const lumk_program* p = u->programs[0].get();
    lumk_jit_request(u, p, nullptr);
    std::printf("status=%s\n", lumk_jit_status(p).c_str());
    if (lumk_jit_load_state(*p->jit) == LUMK_JIT_READY) std::printf("%s\n", entry_agrees(*p) ? "same" : "differ");
    return 0;
}

namespace {

// Like "sync", then the warnings; the process ends normally (the module's
// shutdown runs).
int child_sync_warnings(const std::string&) {
    const int rc = child_sync();
    for (const std::string& w : child_warnings()) std::printf("warning: %s\n", w.c_str());
    return rc;
}

const bool kCommonScenarios =
    add_child_scenario("sync", [](const std::string&) { return child_sync(); }, child_end::immediate) &&
    add_child_scenario("sync_warnings", child_sync_warnings, child_end::normal);

// Runs the scenario named by LUM_NATIVE_CHILD, if any, and ends the process.
class child_scenarios : public ::testing::Environment {
public:
    void SetUp() override {
        const char* which = std::getenv("LUM_NATIVE_CHILD");
        if (which == nullptr) return;
        const char* arg = std::getenv("LUM_NATIVE_CHILD_ARG");
        std::printf("--child--\n");
        int rc = 2;
        bool normal_exit = false;
        const auto found = scenarios().find(which);
        if (found != scenarios().end()) {
            normal_exit = found->second.end == child_end::normal;
            if (normal_exit) lumk_set_warning_sink([](const std::string& text) { child_warnings().push_back(text); });
            rc = found->second.fn(arg ? arg : "");
        } else {
            std::printf("no child scenario named %s\n", which);
        }
        std::fflush(stdout);
        if (normal_exit) std::exit(::testing::Test::HasFailure() ? 3 : rc);
        std::_Exit(::testing::Test::HasFailure() ? 3 : rc);
    }
};
[[maybe_unused]] ::testing::Environment* const kChildEnv = ::testing::AddGlobalTestEnvironment(new child_scenarios);

}  // namespace

void env_scope::set(const char* name, const std::string& value) {
    if (const char* old = std::getenv(name)) saved.emplace_back(name, old);
    else unset_after.emplace_back(name);
    ::setenv(name, value.c_str(), 1);
}

void env_scope::unset(const char* name) {
    set(name, "");
    ::unsetenv(name);
}

env_scope::~env_scope() {
    for (auto& [n, v] : saved) ::setenv(n.c_str(), v.c_str(), 1);
    for (auto& n : unset_after) ::unsetenv(n.c_str());
}

size_t count_lines(const fs::path& p) {
    FILE* f = std::fopen(p.c_str(), "r");
    if (f == nullptr) return 0;
    size_t n = 0;
    for (int ch; (ch = std::fgetc(f)) != EOF;) n += ch == '\n';
    std::fclose(f);
    return n;
}

std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> v;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) v.push_back(e.path());
    return v;
}

void write_script(const fs::path& p, const std::string& body) {
    write_file(p, "#!/bin/sh\n" + body);
    fs::permissions(p, fs::perms::owner_all);
}

bool wait_until(const std::function<bool()>& done, int seconds) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int collect(int pid, std::chrono::steady_clock::time_point give_up) {
    int status = 0;
    pid_t got = 0;
    while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

bool process_runs(const fs::path& pid_file) {
    std::ifstream f(pid_file);
    long pid = 0;
    if (!(f >> pid) || pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

bool processes_end(const fs::path& a, const fs::path& b, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (process_runs(a) || process_runs(b)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

fs::path hanging_compiler(const fs::path& dir) {
    write_script(dir / "hang.sh", "[ \"$1\" = --version ] && exit 0\necho $$ > '" + (dir / "cc.pid").string() +
                                      "'\nsleep 40 &\necho $! > '" + (dir / "sleep.pid").string() +
                                      "'\necho compiling\nwait\n");
    return dir / "hang.sh";
}

}  // namespace ntest
