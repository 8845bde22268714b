// Windows: processes are never copied.
#include "kernel/exec/process_local.h"

std::atomic<uint32_t> lumk_process_generation_count{0};
