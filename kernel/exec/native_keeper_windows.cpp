// Windows: no process keeps the temporary files (the job object ends a
// compile with its host, and the driver removes its files); a compile's
// files are only their folder, where the compile starts. And the system's
// random source.
#define _CRT_RAND_S
#include <stdlib.h>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/native_keeper_windows.h"

#include <new>

lumk_compile_files* lumk_platform_compile_files_start(const std::filesystem::path& folder) {
    return new (std::nothrow) lumk_compile_files{folder};
}
void lumk_platform_compile_files_watch(lumk_compile_files*, const std::string&) {}
void lumk_platform_compile_files_forget(lumk_compile_files*) {}
void lumk_platform_compile_files_end(lumk_compile_files* files) { delete files; }

uint64_t lumk_platform_random64() {
    unsigned int high = 0, low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) return 0;
    return (static_cast<uint64_t>(high) << 32) | low;
}

void lumk_platform_test_keeper_script(const char*) {}
void lumk_platform_test_no_random_source(bool) {}
size_t lumk_platform_test_recorded_runs() { return 0; }
size_t lumk_platform_test_run_slots() { return 0; }
size_t lumk_platform_test_runs_with_group() { return 0; }
