// Windows: processes are never copied.
#include "kernel/exec/process_local.h"

uint32_t lumk_process_generation() { return 0; }
