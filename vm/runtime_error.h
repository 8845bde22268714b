// Run-time errors and warnings raised by bindings, value operations and the
// interpreter. Neither service throws: the caller goes on and returns a value.
//
// An error while a task runs on the VM thread becomes the task's error value and
// is caught or reported by the task's contexts; anywhere else (no VM, no VM lock,
// no task) the framed message is logged at error level. A warning while a task
// runs is reported at the task's position; anywhere else it is one warning-level
// line on the current logger.
#pragma once

#include <string>
#include <string_view>

#include "runtime/value.h"

// The message framed by rules of '*' as long as its first line:
// "\n" rule "\n" message "\n" rule "\n\n".
std::string lum_runtime_error_framed(std::string_view message);

// Raises a run-time error; `abort` stops the current call. `result` is set to a
// fresh none value and returned.
lumvar_shared& lum_runtime_error(lumvar_shared& result, bool abort, std::string_view message);
// Convenience form for callers that only need the none result.
lumvar_shared lum_runtime_error(bool abort, std::string_view message);

// An exception that left a native function: "<name>: <what>", aborting.
lumvar_shared& lum_runtime_error_native_exception(lumvar_shared& result, std::string_view function_name,
                                                  std::string_view what);
// A non-standard exception that left a native function:
// "<name>: unknown native exception", aborting.
lumvar_shared& lum_runtime_error_other_native(lumvar_shared& result, std::string_view function_name);

// Raises a run-time warning; the caller goes on with its neutral result.
void runtime_warning(std::string_view message);
