#include "vm/runtime_error.h"

#include "runtime/log.h"
#include "vm/report.h"

namespace {

// Reports through the running task when the calling thread owns the VM lock and
// runs a task with contexts; false when that path does not apply.
bool raise_in_task(std::string_view framed, std::string_view message, bool abort) {
    return lum_report_error_in_task(framed, message, abort);
}
bool warn_in_task(std::string_view message) { return lum_report_warning_in_task(message); }

}  // namespace

std::string lum_runtime_error_framed(std::string_view message) {
    const size_t line_end = message.find('\n');
    const size_t rule_length = line_end == std::string_view::npos ? message.size() : line_end;
    const std::string rule(rule_length, '*');
    std::string out;
    out.reserve(message.size() + 2 * rule_length + 5);
    out += '\n';
    out += rule;
    out += '\n';
    out += message;
    out += '\n';
    out += rule;
    out += "\n\n";
    return out;
}

lumvar_shared& lum_runtime_error(lumvar_shared& result, bool abort, std::string_view message) {
    const std::string framed = lum_runtime_error_framed(message);
    if (!raise_in_task(framed, message, abort)) lum_get_log().error(framed);
    result = lumvar_shared::make();
    return result;
}

lumvar_shared lum_runtime_error(bool abort, std::string_view message) {
    lumvar_shared result;
    lum_runtime_error(result, abort, message);
    return result;
}

lumvar_shared& lum_runtime_error_native_exception(lumvar_shared& result, std::string_view function_name,
                                                  std::string_view what) {
    std::string message;
    message.reserve(function_name.size() + 2 + what.size());
    message.append(function_name).append(": ").append(what);
    return lum_runtime_error(result, true, message);
}

lumvar_shared& lum_runtime_error_other_native(lumvar_shared& result, std::string_view function_name) {
    std::string message(function_name);
    message += ": unknown native exception";
    return lum_runtime_error(result, true, message);
}

void runtime_warning(std::string_view message) {
    if (!warn_in_task(message)) lum_get_log().warning(message);
}
