// The regular-expression service of "std.string": before a regex method gets
// a compiled expression, the service bounds the length of the text that may be
// matched against the pattern, compiles the pattern, and keeps the result in a
// small cache of the calling thread.
//
// The cache holds at most 8 entries per operating-system thread, in the order
// the patterns were first compiled; a lookup never reorders it, and the 9th
// distinct pattern empties it before it is added. Patterns that fail to
// compile are never cached. Compiled expressions are shared (atomic counts):
// a job that holds one keeps it after the cache has been emptied.
//
// Failures (input too long, pattern does not compile) are raised as aborting
// run-time errors on the calling thread, and an empty reference comes back.
// Running out of memory is no fault of the pattern: the service throws
// lum_regex_out_of_memory (a std::bad_alloc), which a native call reports as
// a run-time error of the call, and caches nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "types/regex_engine.h"

// Thrown when memory runs out while a pattern is compiled or cached.
struct lum_regex_out_of_memory : std::bad_alloc {
    const char* what() const noexcept override { return "out of memory while compiling a regex pattern"; }
};

// A shared, immutable compiled expression.
using lum_regex_ref = std::shared_ptr<const lum_regex>;

// One cache slot: an exact copy of the pattern and its compiled expression.
struct regex_cache_entry {
    std::string pattern;
    lum_regex_ref expression;
};

// The largest input length accepted for `pattern`: 8192 when a group is
// quantified with *, + or a {m,n}-style brace, else 16384 when anything is,
// else 262144. "?" and {m} never count; neither do quantifiers inside bracket
// classes or after a backslash.
uint64_t regex_input_limit(std::string_view pattern);

// The compiled expression for `pattern` (from the calling thread's cache, or
// compiled and added), or an empty reference after raising the run-time error
// when `input_length` exceeds the pattern's limit or the pattern does not
// compile. `method_name` starts every message ("regex_match", ...). Throws
// lum_regex_out_of_memory when memory runs out.
lum_regex_ref compiled_regex_cache(std::string_view pattern, uint64_t input_length, const char* method_name);

// "error_collate" ... "error_stack" by code; "error_unknown" for any other.
const char* regex_error_code_name(int code);
