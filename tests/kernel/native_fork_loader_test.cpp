// Libraries of the host whose constructors fork or ask the module for a
// kernel, loaded while a module thread loads kernel libraries back to back:
// the host's thread then holds the C library's loader lock while the module
// thread waits in the loader for it, and neither the fork nor the kernel
// request may wait for that module thread.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "kernel/exec/native_driver.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;
using namespace ntest;

namespace {

using clock_type = std::chrono::steady_clock;

fs::path library_dir;

// Called from the constructor of asker.so, inside the host's dlopen.
void ask_for_a_kernel() {
    std::string error;
    if (lumk_load_jit_library(library_dir / "own.so", &error) == nullptr) {
        std::printf("the kernel asked for in a constructor did not load: %s\n", error.c_str());
        std::fflush(stdout);
    }
}

// A module thread loads loop.so without pause while the host loads
// forker.so (its constructor forks a copy that ends at once) and asker.so
// (its constructor loads own.so through the module) five times each. Prints
// how many loads of each finished; gives up after 60 s. The argument is the
// libraries' folder.
int child_constructors_during_loads(const std::string& dir) {
    library_dir = dir;
    void* hook_lib = ::dlopen((library_dir / "hook.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
    auto* hook = hook_lib ? static_cast<void (**)()>(::dlsym(hook_lib, "lumk_test_constructor_hook")) : nullptr;
    if (hook == nullptr) return 2;
    *hook = ask_for_a_kernel;

    std::atomic<bool> done{false};
    std::atomic<int> module_loads{0};
    std::thread loader([&] {
        for (std::string error; !done.load(); ++module_loads)
            lumk_load_jit_library(library_dir / "loop.so", &error);
    });
    std::atomic<int> forked{0}, asked{0};
    std::thread host([&] {
        for (const char* name : {"forker.so", "asker.so"}) {
            for (int i = 0; i < 5; ++i) {
                const int seen = module_loads.load();
                while (module_loads.load() < seen + 2) std::this_thread::yield();  // the module thread is loading
                void* lib = ::dlopen((library_dir / name).c_str(), RTLD_NOW | RTLD_LOCAL);
                if (lib == nullptr) continue;
                ::dlclose(lib);
                ++(name[0] == 'f' ? forked : asked);
            }
        }
    });
    const auto give_up = clock_type::now() + std::chrono::seconds(60);
    while ((forked.load() + asked.load()) < 10 && clock_type::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::printf("forked=%d asked=%d\n", forked.load(), asked.load());
    std::fflush(stdout);
    if (forked.load() + asked.load() < 10) std::_Exit(0);  // the threads are stuck for good
    host.join();
    done = true;
    loader.join();
    return 0;
}

const bool kScenario =
    add_child_scenario("constructors_during_loads", child_constructors_during_loads, child_end::immediate);

}  // namespace

TEST(NativeForkLoader, LibraryConstructorsThatForkOrAskForKernelsNeverHang) {
    const fs::path dir = temp_dir("ctor");
    std::ofstream(dir / "loop.c") << "int lumk_loop;\n";
    std::ofstream(dir / "own.c") << "void lumk_jit_entry(void) {}\n";
    std::ofstream(dir / "hook.c") << "void (*lumk_test_constructor_hook)(void);\n";
    std::ofstream(dir / "forker.c") << "#include <sys/wait.h>\n#include <unistd.h>\n"
                                       "__attribute__((constructor)) static void forks(void) {\n"
                                       "  pid_t p = fork(); if (p == 0) _exit(0);\n"
                                       "  if (p > 0) waitpid(p, 0, 0);\n}\n";
    std::ofstream(dir / "asker.c") << "extern void (*lumk_test_constructor_hook)(void);\n"
                                      "__attribute__((constructor)) static void asks(void) {\n"
                                      "  if (lumk_test_constructor_hook) lumk_test_constructor_hook();\n}\n";
    const std::string build = "cd '" + dir.string() +
                              "' && gcc -shared -fPIC -o loop.so loop.c && gcc -shared -fPIC -o own.so own.c"
                              " && gcc -shared -fPIC -o hook.so hook.c && gcc -shared -fPIC -o forker.so forker.c"
                              " && gcc -shared -fPIC -o asker.so asker.c hook.so -Wl,-rpath,'$ORIGIN'";
    ASSERT_EQ(std::system(build.c_str()), 0);
    const auto start = clock_type::now();
    const child_result r = run_child("constructors_during_loads", dir.string());
    EXPECT_EQ(r.output, "forked=5 asked=5\n");
    // A fork waits at most its bound for the module thread's load.
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(45));
    fs::remove_all(dir);
}
