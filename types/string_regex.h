// The regular-expression methods of "std.string": regex_match, regex_search,
// regex_findall, regex_replace, regex_replace_inplace, regex_split and
// regex_escape (their text-level work is types/regex_text.h).
//
// All but regex_replace_inplace hand their matching to a host worker through
// `lum_vm_context::return_thread`: the calling task waits while a job matches
// a snapshot of the text. A job owns only its copies of the text (and
// replacement) and a shared reference to the compiled expression; it builds
// its result value from those. regex_replace_inplace replaces on the calling
// thread and changes the object. A matcher that gives up (step or memory
// budget) logs one error line and the method returns its fallback result.
#pragma once

#include <vector>

#include "runtime/value.h"
#include "types/string_object.h"
#include "vm/context.h"

// Callables of the "std.string" method table (rows regex_match .. regex_escape).
lumvar_shared lum_string_regex_match(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_search(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_findall(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_replace(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_replace_inplace(lum_std_string* self, lum_vm_context& ctx,
                                               std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_split(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
lumvar_shared lum_string_regex_escape(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args);
