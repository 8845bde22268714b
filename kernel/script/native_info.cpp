#include "kernel/script/native_info.h"

#include "kernel/compiler/program.h"
#include "kernel/exec/disasm.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_driver.h"
#include "runtime/log.h"

namespace {
// The native driver's warnings (a refused cache folder or library) go to the
// current logger.
[[maybe_unused]] const bool native_warnings_logged = [] {
    lumk_set_warning_sink([](const std::string& text) { lum_get_log().warning(text); });
    return true;
}();
}  // namespace

std::string lum_kernel_program_listing(const lumk_program& program) { return lumk_disasm(program); }

std::string lum_kernel_native_status(const lumk_program& program) { return lumk_jit_status(&program); }

std::string lum_kernel_native_source(const lumk_program& program) { return lumk_jit_source(program); }

std::string lum_kernel_aot_text(const std::vector<const lumk_program*>& programs) { return lumk_aot_source(programs); }

int64_t lum_kernel_aot_library_load(const std::string& path, std::string& error) {
    return lumk_aot_load(path, &error);
}

std::string lum_kernel_compiler_command() { return lumk_jit_compiler(); }

void lum_kernel_request_native(std::shared_ptr<const lumk_compiled_unit> unit, const lumk_program* program,
                               const std::function<bool(std::function<void()>)>& submit,
                               const std::function<bool()>& stopping) {
    lumk_jit_request(std::move(unit), program, submit, stopping);
}
