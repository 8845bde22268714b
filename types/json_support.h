// Pieces shared by the "std.json" methods and the JSON forms: the fixed
// warning texts (delivered with runtime_warning from vm/runtime_error.h: a
// "Runtime Warning" report at the running task's position, else one
// warning-level log line; the caller goes on) and the registration helpers
// of the method pairs that share an argument note.
#pragma once

#include <string_view>

#include "types/json_object.h"
#include "vm/runtime_error.h"

inline constexpr std::string_view json_warning_index_out_of_range = "index out of range!";
inline constexpr std::string_view json_warning_size_out_of_range = "size out of range!";
inline constexpr std::string_view json_warning_copy_too_deep =
    "JSON copy exceeds the maximum nesting depth of 1024, the remaining members are not copied.";
inline constexpr std::string_view json_warning_map_expects_function = "map expects a function";
inline constexpr std::string_view json_warning_reduce_expects_callback = "reduce expects a callback";
inline constexpr std::string_view json_warning_any_expects = "any expects string or function";
inline constexpr std::string_view json_warning_all_expects = "all expects string or function";
inline constexpr std::string_view json_warning_push_cyclic = "push_cyclic: max_entries must be greater than 0";

// The callable of a "std.json" method.
using lum_json_method = lum_std_json::method_type;

// Each adds one method under `name` (static text, like `doc`) with fixed argument counts and one
// argument note, and returns its definition:
//   push, push_back          1..1  "value: object - Value to insert into the JSON container"
//   erase, remove            1..1  "key: string - Key or numeric index to delete from the JSON object"
//   erase_value, remove_value 1..1 "key: string - Value to delete from the JSON object"
//   merge, append            1..2  "other: json - Object to merge\noverwrite: bool - Replace existing keys (default true)"
//   any, all                 1..1  "filter: function|string"
lum_function_def& lum_json_add_push_method(std::string_view name, lum_json_method method, std::string_view doc);
lum_function_def& lum_json_add_erase_method(std::string_view name, lum_json_method method, std::string_view doc);
lum_function_def& lum_json_add_erase_value_method(std::string_view name, lum_json_method method,
                                                  std::string_view doc);
lum_function_def& lum_json_add_merge_method(std::string_view name, lum_json_method method, std::string_view doc);
lum_function_def& lum_json_add_match_method(std::string_view name, lum_json_method method, std::string_view doc);
