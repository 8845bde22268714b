#include "kernel/script/native_info.h"

#include <stdexcept>

#include "kernel/compiler/program.h"
#include "kernel/exec/disasm.h"
#include "kernel/exec/settings.h"

std::string lum_kernel_program_listing(const lumk_program& program) { return lumk_disasm(program); }

std::string lum_kernel_native_status(const lumk_program& program) {
    if (lum_kernel_jit_policy.load() == LUM_KERNEL_JIT_OFF) return "off";
    switch (lumk_jit_load_state(*program.jit)) {
        case LUMK_JIT_COMPILING:
        case LUMK_JIT_BUSY: return "compiling";
        case LUMK_JIT_READY: return program.jit->from_aot ? "aot" : "ready";
        case LUMK_JIT_FAILED: return "failed: " + program.jit->error;
        default: return "none";
    }
}

std::string lum_kernel_native_source(const lumk_program&) {
    throw std::runtime_error("native code is not available in this build");
}

std::string lum_kernel_aot_text(const std::vector<const lumk_program*>&) { return ""; }

int64_t lum_kernel_aot_library_load(const std::string&, std::string& error) {
    error = "native code is not available in this build";
    return -1;
}

std::string lum_kernel_compiler_command() { return ""; }

void lum_kernel_request_native(std::shared_ptr<const lumk_compiled_unit>, const lumk_program*,
                               const std::function<bool(std::function<void()>)>&) {}
