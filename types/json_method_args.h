// Argument and result conventions shared by the "std.json" script methods.
//
// Arguments arrive dereferenced (the methods are registered with the
// resolve-arguments flag); a missing argument reads as none.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/value.h"

class lum_std_json;

namespace lum_json_args {

using list = std::vector<lumvar_shared>;

// The argument at `i`, or null when the call has fewer arguments.
inline lumvar* at(list& args, size_t i) { return i < args.size() ? args[i].get() : nullptr; }

// Integer value: ints unchanged, floats truncated toward zero (saturating, NaN
// 0), every other type through the value cell's integer conversion.
inline int64_t integer(lumvar* v) { return v != nullptr ? v->int_value() : 0; }

// Text form of a value ("" for a missing one).
inline std::string text(lumvar* v) {
    std::string out;
    if (v != nullptr) v->string_value(out);
    return out;
}

// Truthiness of a flag argument (overwrite, descending): not zero and not empty.
inline bool truthy(lumvar* v) { return v != nullptr && !v->compare_zero(); }

inline bool is_function(lumvar* v) { return v != nullptr && v->type == LUMVAR_FUNCTION; }

// Results.
inline lumvar_shared boolean(bool b) { return lumvar_shared::from_int(b ? 1 : 0); }
// A new object value holding a strong reference to the container (for chaining).
lumvar_shared container(lum_std_json* self);
// A fresh json value (empty container) and its container (null only when no
// container could be made).
lumvar_shared new_json(lum_std_json*& out);

// Assigns `source` into `target` with the value assignment (the source handle
// itself is left as it was).
inline void assign(lumvar* target, const lumvar_shared& source) {
    if (target == nullptr || !source) return;
    lumvar_shared copy = source;
    target->set(copy);
}

}  // namespace lum_json_args
