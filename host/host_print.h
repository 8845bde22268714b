#pragma once
// The host native `print`: the text form of each argument, separated by one
// space, followed by a line feed.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/value.h"

class lum_function_def;

// Where `print` writes one finished line (line feed included).
using lum_print_sink = std::function<void(std::string_view)>;

// The line `print` writes for these arguments.
std::string lum_print_line(const std::vector<lumvar_shared>& args);

// A new native record (heap, count 0: the caller takes the first strong
// handle) named "print" with the argument range [min_args, max_args] that
// writes each call's line to `sink` (standard output when empty).
lum_function_def* lum_make_print_native(lum_print_sink sink, uint32_t min_args = 1, uint32_t max_args = 999);
