// Linux: the environment as the process holds it.
#include "kernel/exec/native_platform.h"

#include <cstdlib>

bool lumk_platform_env(const char* name, std::string* value) {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    if (value) *value = v;
    return true;
}
