// Windows: the C library keeps no quick_exit list, so nothing is recorded;
// the commands end with their job objects when the process does.
#include "kernel/exec/native_platform.h"

void lumk_platform_record_kernel_folder(const std::filesystem::path&, const std::filesystem::path&, bool,
                                        const std::string&) {}

void lumk_platform_quick_exit_cleanup() {}
