// Forks beside the module's loads. A fork never waits for a load in flight
// (the thread inside the C library's loader may wait for the loader lock that
// the forking thread holds); a copy made while one was in flight loads
// nothing and says why, and a copy made at any other moment loads as usual.
// Libraries of the host whose constructors or destructors fork or ask the
// module for a kernel, loaded while module threads load kernel libraries
// back to back, go on at once.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/exec/native_driver.h"
#include "kernel/exec/native_platform.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

fs::path library_dir;

// A fork that did not wait for a load: well under the bound a fork waits for
// a thread inside a gate (2 s), with room for the sanitizers on a loaded
// machine (unloaded, a few milliseconds).
constexpr milliseconds quick{1000};

// The hook the test libraries' constructors and destructors call (hook.so,
// loaded globally), set to `fn`. False when it cannot be found.
bool set_hook(void (*fn)()) {
    void* hook_lib = ::dlopen((library_dir / "hook.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto* hook = hook_lib ? static_cast<void (**)()>(::dlsym(hook_lib, "lumk_test_constructor_hook")) : nullptr;
    if (hook == nullptr) return false;
    *hook = fn;
    return true;
}

// Called from the constructor of asker.so, inside the host's dlopen.
void ask_for_a_kernel() {
    std::string error;
    if (lumk_load_jit_library(library_dir / "own.so", &error) == nullptr) {
        std::printf("the kernel asked for in a constructor did not load: %s\n", error.c_str());
        std::fflush(stdout);
    }
}

// A module thread parked inside the loader until released.
std::atomic<bool> parked{false}, released{false};
void park() {
    parked = true;
    while (!released.load()) std::this_thread::sleep_for(milliseconds(1));
}

constexpr const char* kRefusedForTheFork = "this process is a copy made by fork() while a library was loading";

// In a copy: asks the module to load own.so and, when it refuses, for a
// kernel compile. 0 when it loaded, 2 when it refused both naming the fork,
// else 1.
int ask_in_the_copy() {
    std::string load_error, compile_error;
    if (lumk_load_jit_library(library_dir / "own.so", &load_error) != nullptr)
        return lumk_platform_loading_refused().empty() ? 0 : 1;
    if (load_error.find(kRefusedForTheFork) == std::string::npos) return 1;
    lumk_jit_compile(lumk_jit_source(*unit_of(kSaxpy)->programs[0]), &compile_error);
    return compile_error == std::string("native compilation was given up: ") + kRefusedForTheFork ? 2 : 1;
}

// Forks a copy that loads own.so and, when it should refuse, compiles a
// kernel; the copy's exit status: 0 when the copy loaded (`loads`), or when
// it refused both for the load in flight at the fork, else 1. Sets `took`
// to how long fork() took in the parent.
int copy_status(bool loads, clock_type::duration* took) {
    const auto start = clock_type::now();
    const pid_t pid = ::fork();
    if (pid == 0) std::_Exit(ask_in_the_copy() == (loads ? 0 : 2) ? 0 : 1);
    *took = clock_type::now() - start;
    return pid > 0 && collect(pid, clock_type::now() + std::chrono::seconds(30)) == 0 ? 0 : 1;
}

// A module thread loads ("load:DIR", its constructor parks) or unloads
// ("unload:DIR", its destructor parks) a library and stays inside the loader
// while the host forks: the fork goes on at once, and the copy loads and
// compiles nothing. Once the thread is out, a copy loads as usual. Prints
// "quick=1 copy=0 later=0" when all holds.
int child_parked_in_the_loader(const std::string& arg) {
    const size_t colon = arg.find(':');
    library_dir = arg.substr(colon + 1);
    const bool unloading = arg.compare(0, colon, "unload") == 0;
    if (!set_hook(park)) return 2;
    std::thread module([unloading] {
        std::string error;
        lumk_load_jit_library(library_dir / (unloading ? "parks_closing.so" : "parks_opening.so"), &error);
    });
    while (!parked.load()) std::this_thread::yield();
    clock_type::duration took{};
    const int copy = copy_status(false, &took);
    released = true;
    module.join();
    clock_type::duration later_took{};
    const int later = copy_status(true, &later_took);
    std::printf("quick=%d copy=%d later=%d\n", took < quick ? 1 : 0, copy, later);
    std::fflush(stdout);
    return 0;
}

// `threads` module threads load loop.so without pause while the host loads
// and unloads forker.so (its constructor forks a copy that ends at once),
// closer.so (its destructor does) and asker.so (its constructor loads own.so
// through the module) five times each. Prints how many loads of each
// finished and whether their median took under `quick`; gives up after 60 s.
// The argument is "THREADS:DIR".
int child_constructors_during_loads(const std::string& arg) {
    const int threads = std::atoi(arg.c_str());
    library_dir = arg.substr(arg.find(':') + 1);
    if (!set_hook(ask_for_a_kernel)) return 2;

    std::atomic<bool> done{false};
    std::atomic<int> module_loads{0};
    std::vector<std::thread> loaders;
    for (int i = 0; i < threads; ++i)
        loaders.emplace_back([&] {
            for (std::string error; !done.load(); ++module_loads)
                lumk_load_jit_library(library_dir / "loop.so", &error);
        });
    std::atomic<int> finished[3] = {0, 0, 0};
    std::vector<clock_type::duration> took;
    std::thread host([&] {
        const char* names[3] = {"forker.so", "closer.so", "asker.so"};
        for (int which = 0; which < 3; ++which) {
            for (int i = 0; i < 5; ++i) {
                const int seen = module_loads.load();
                while (module_loads.load() < seen + 2) std::this_thread::yield();  // the module threads load
                const auto start = clock_type::now();
                void* lib = ::dlopen((library_dir / names[which]).c_str(), RTLD_NOW | RTLD_LOCAL);
                if (lib == nullptr) continue;
                ::dlclose(lib);
                took.push_back(clock_type::now() - start);
                ++finished[which];
            }
        }
    });
    const auto give_up = clock_type::now() + std::chrono::seconds(60);
    const auto total = [&] { return finished[0].load() + finished[1].load() + finished[2].load(); };
    while (total() < 15 && clock_type::now() < give_up) std::this_thread::sleep_for(milliseconds(10));
    std::printf("forked=%d closed=%d asked=%d", finished[0].load(), finished[1].load(), finished[2].load());
    if (total() < 15) {
        std::printf("\n");
        std::fflush(stdout);
        std::_Exit(0);  // the threads are stuck for good
    }
    host.join();
    std::sort(took.begin(), took.end());
    std::printf(" quick=%d\n", took[took.size() / 2] < quick ? 1 : 0);
    std::fflush(stdout);
    done = true;
    for (std::thread& t : loaders) t.join();
    return 0;
}

// Whether the C library's loader marks its list of libraries as being
// changed (its record for debuggers, found through the program's DT_DEBUG
// entry); false when the program has no record.
bool loader_marks_a_change() {
    for (const ElfW(Dyn)* d = _DYNAMIC; d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_DEBUG && d->d_un.d_ptr != 0)
            return reinterpret_cast<const volatile r_debug*>(d->d_un.d_ptr)->r_state != r_debug::RT_CONSISTENT;
    return false;
}

// A host thread loads and unloads plugin.so (plain dlopen and dlclose, not
// through the module) without pause while the host forks copies: at least
// 300, and until 30 of them were made while the loader's record marked a
// change (at most 3000). Each copy notes whether the record marked a change
// at the fork, asks the module for own.so (and, refused, for a compile) and
// ends; a copy still running 10 s after the last fork has hung. Prints
// "died=0 wrong=0 hung_marked=0" when no copy died, every copy made while the
// record marked a change refused naming the fork, every other copy that
// ended loaded, and no copy made while the record marked a change hung; then
// how many copies made in the instant the record does not mark hung, and how
// many loaded or refused.
int child_host_loads_beside_forks(const std::string& dir) {
    library_dir = dir;
    constexpr int kMost = 3000;
    auto* marked = static_cast<volatile char*>(
        ::mmap(nullptr, kMost, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (marked == MAP_FAILED) return 2;
    const std::string plugin = (library_dir / "plugin.so").string();
    std::atomic<bool> done{false};
    std::atomic<int> cycles{0};
    std::thread host([&] {
        for (; !done.load(); ++cycles)
            if (void* lib = ::dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL)) ::dlclose(lib);
    });
    while (cycles.load() < 10) std::this_thread::yield();
    std::vector<pid_t> copies;
    for (int seen = 0; copies.size() < 300 || (seen < 30 && copies.size() < kMost);) {
        const int i = static_cast<int>(copies.size());
        const pid_t pid = ::fork();
        if (pid == 0) {
            marked[i] = loader_marks_a_change() ? 2 : 1;
            std::_Exit(ask_in_the_copy());
        }
        copies.push_back(pid);
        if (i % 50 == 49) {
            seen = 0;
            for (int j = 0; j <= i; ++j) seen += marked[j] == 2;
        }
    }
    done = true;
    host.join();
    const auto give_up = clock_type::now() + std::chrono::seconds(10);
    int loaded = 0, refused = 0, died = 0, wrong = 0, hung_marked = 0, hung_unmarked = 0;
    for (size_t i = 0; i < copies.size(); ++i) {
        const int status = copies[i] > 0 ? collect(copies[i], give_up) : 1;
        const bool was_marked = marked[i] == 2;
        if (status == -1) ++(was_marked ? hung_marked : hung_unmarked);
        else if (status == 0 && !was_marked) ++loaded;
        else if (status == 2 && was_marked) ++refused;
        else if (status == 0 || status == 1 || status == 2) ++wrong;
        else ++died;  // the loader's own fatal exit (127) or a signal
    }
    std::printf("died=%d wrong=%d hung_marked=%d\nhung_unmarked=%d loaded=%d refused=%d\n", died, wrong,
                hung_marked, hung_unmarked, loaded, refused);
    std::fflush(stdout);
    return 0;
}

const bool kScenarios =
    add_child_scenario("parked_in_the_loader", child_parked_in_the_loader, child_end::immediate) &&
    add_child_scenario("constructors_during_loads", child_constructors_during_loads, child_end::immediate) &&
    add_child_scenario("host_loads_beside_forks", child_host_loads_beside_forks, child_end::immediate);

// The test libraries, built into a fresh folder.
fs::path build_libraries() {
    const fs::path dir = temp_dir("ctor");
    std::ofstream(dir / "loop.c") << "int lumk_loop;\n";
    std::ofstream(dir / "plugin.c") << "int lumk_plugin;\n";
    std::ofstream(dir / "own.c") << "void lumk_jit_entry(void) {}\n";
    std::ofstream(dir / "hook.c") << "void (*lumk_test_constructor_hook)(void);\n";
    const char* const forks = "#include <sys/wait.h>\n#include <unistd.h>\n"
                              "static void forks(void) {\n"
                              "  pid_t p = fork(); if (p == 0) _exit(0);\n"
                              "  if (p > 0) waitpid(p, 0, 0);\n}\n";
    std::ofstream(dir / "forker.c") << forks << "__attribute__((constructor)) static void at_load(void) { forks(); }\n";
    std::ofstream(dir / "closer.c") << forks << "__attribute__((destructor)) static void at_unload(void) { forks(); }\n";
    const char* const hook = "extern void (*lumk_test_constructor_hook)(void);\n"
                             "static void call(void) { if (lumk_test_constructor_hook) lumk_test_constructor_hook(); }\n";
    std::ofstream(dir / "asker.c") << hook << "__attribute__((constructor)) static void at_load(void) { call(); }\n";
    std::ofstream(dir / "parks_opening.c") << hook
                                           << "__attribute__((constructor)) static void at_load(void) { call(); }\n";
    std::ofstream(dir / "parks_closing.c") << hook
                                           << "__attribute__((destructor)) static void at_unload(void) { call(); }\n";
    std::string build = "cd '" + dir.string() + "' && gcc -shared -fPIC -o hook.so hook.c";
    for (const char* name : {"loop", "plugin", "own", "forker", "closer"})
        build += std::string(" && gcc -shared -fPIC -o ") + name + ".so " + name + ".c";
    for (const char* name : {"asker", "parks_opening", "parks_closing"})
        build += std::string(" && gcc -shared -fPIC -o ") + name + ".so " + name + ".c hook.so -Wl,-rpath,'$ORIGIN'";
    EXPECT_EQ(std::system(build.c_str()), 0);
    return dir;
}

}  // namespace

TEST(NativeForkLoader, AForkBesideALoadInFlightGoesOnAndTheCopyLoadsNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";  // the copy allocates
#endif
    const fs::path dir = build_libraries();
    for (const char* how : {"load:", "unload:"}) {
        SCOPED_TRACE(how);
        const child_result r = run_child("parked_in_the_loader", how + dir.string());
        EXPECT_EQ(r.output, "quick=1 copy=0 later=0\n");
    }
    fs::remove_all(dir);
}

TEST(NativeForkLoader, LibrariesThatForkOrAskForKernelsWhileLoadingGoOnAtOnce) {
    const fs::path dir = build_libraries();
    EXPECT_EQ(run_child("constructors_during_loads", "8:" + dir.string()).output,
              "forked=5 closed=5 asked=5 quick=1\n");
    // More loading threads than a gate names: nothing waits for a place.
    const std::string many = run_child("constructors_during_loads", "64:" + dir.string()).output;
    EXPECT_EQ(many.rfind("forked=5 closed=5 asked=5 ", 0), 0u) << many;
    fs::remove_all(dir);
}

// The host's own loads: a copy made while a host thread's dlopen or dlclose
// was changing the loader's list (the loader's record marks it) loads
// nothing and says why; none dies or hangs in the loader. (A copy made in
// the instant a dlopen adds a library to the list before it marks the
// record may still hang: that cannot be seen, and is only counted.)
TEST(NativeForkLoader, CopiesForkedBesideTheHostsOwnLoadsNeverDieInTheLoader) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe";  // the host thread allocates in dlopen
#elif defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's own fork handling waits beside a thread that loads in a loop";
#endif
    const fs::path dir = build_libraries();
    const std::string out = run_child("host_loads_beside_forks", dir.string()).output;
    const size_t counts = out.find("died=");  // after what dying copies wrote
    ASSERT_NE(counts, std::string::npos) << out;
    EXPECT_EQ(out.substr(counts, out.find('\n', counts) - counts), "died=0 wrong=0 hung_marked=0") << out;
    fs::remove_all(dir);
}
