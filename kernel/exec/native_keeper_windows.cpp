// Windows: no process keeps the temporary files (the job object ends a
// compile with its host, and the driver removes its files); the keeper only
// names the files' folder, where a compile starts. And the system's random
// source.
#define _CRT_RAND_S
#include <stdlib.h>

#include "kernel/exec/native_platform.h"
#include "kernel/exec/native_keeper_windows.h"

#include <new>

lumk_file_keeper* lumk_platform_keeper_start(const std::filesystem::path& folder) {
    return new (std::nothrow) lumk_file_keeper{folder};
}
void lumk_platform_keeper_watch(lumk_file_keeper*, const std::string&) {}
void lumk_platform_keeper_forget(lumk_file_keeper*) {}
void lumk_platform_keeper_end(lumk_file_keeper* keeper) { delete keeper; }

uint64_t lumk_platform_random64() {
    unsigned int high = 0, low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) return 0;
    return (static_cast<uint64_t>(high) << 32) | low;
}

void lumk_platform_test_keeper_script(const char*) {}
void lumk_platform_test_no_random_source(bool) {}
size_t lumk_platform_test_recorded_runs() { return 0; }
size_t lumk_platform_test_run_slots() { return 0; }
