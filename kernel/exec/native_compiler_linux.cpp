// Linux: the shell finds LUM_KERNEL_CC's program as the command says, at each run.
#include "kernel/exec/native_platform.h"

std::string lumk_platform_named_compiler(const std::string& command) { return command; }

std::string lumk_platform_named_probe_failure(const std::string& answer) { return answer; }

// The shell starts whatever it finds; what it cannot run fails the probe.
std::string lumk_platform_candidate_refusal(const std::string&) { return {}; }
