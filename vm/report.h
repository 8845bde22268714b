#pragma once
// Run-time error and warning reports while a task runs.
//
// A report is printed per context of the task, outermost first; every
// context with a source position prints one box (title, rule, "-->" line,
// source excerpt with a "^~~~~" marker, for the innermost context the
// message, the include chain and the full paths after ">>> ", closing
// rule). Beyond 30 contexts only the first 10 and the last 20 are printed.
// Errors go to the logger at error level, warnings at warning level.

#include <optional>
#include <string>
#include <string_view>

class lum_source_location;

// The task path of the error service: when the calling thread has a current
// VM, owns its lock and runs a task with contexts, the error is raised at the
// task's top context (try-block search or report; `abort` sets the top
// context's status to 128) and true is returned. Otherwise false: the
// caller logs the framed text.
bool lum_report_error_in_task(std::string_view framed, std::string_view message, bool abort);

// The task path of the warning service: a "Runtime Warning" report at the
// running task's top context when the thread owns the VM and runs a task;
// false otherwise (the caller logs the message).
bool lum_report_warning_in_task(std::string_view message);

// The box of one frame with a source position: `prefix` is the framed
// message (innermost frame) or empty. Null when the location has no unit or
// the unit has no text for its line.
std::optional<std::string> lum_report_box(const lum_source_location& location, std::string_view prefix,
                                          bool warning);

// 60 '-' characters.
inline constexpr std::string_view lum_report_rule = "------------------------------------------------------------";
