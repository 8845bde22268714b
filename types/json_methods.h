// The script methods of "std.json".
//
// lum_std_json::script_register calls lum_std_json_register_methods once per
// process, right after installing the class factory; it adds the class's 43
// methods in their registration order (push ... debug_refs) with their
// argument ranges and documentation. The methods that run script callbacks or
// filter by substrings are in types/json_callbacks.h.
#pragma once

#include "runtime/value.h"

class lum_std_json;

void lum_std_json_register_methods();

// The deep copy of the `copy` method: fills `target` (made a json value) with a
// copy of `source`, nested containers copied too. A container that contains
// itself gives a copy that contains the copy; a container reached along two
// paths is copied twice. Beyond 1024 nested containers a warning is raised and
// the deeper values stay none.
void json_copy_value(lum_std_json* source, const lumvar_shared& target);
