// Conversions between script values and kernel scalars, and the small argument
// helpers every kernel binding shares (reference following, integer and text arguments).
#pragma once

#include <cstdint>
#include <string>

#include "kernel/compiler/kernel_types.h"
#include "runtime/value.h"

// Most reference hops an argument is followed through before its type is tested.
inline constexpr int lum_kernel_max_ref_hops = 64;

// The value a reference chain ends at (at most 64 hops; a reference still left
// after that is returned as it is). Null stays null.
lumvar* lum_kernel_follow_refs(lumvar* value);

// The word that kernel messages use for what a script passed: "None", "int",
// "float", "string", "std.buffer", "json", "function", the object's script type
// name, "object" for an object that is gone (the value is reset to none), or
// "value" for any other type.
std::string lum_kernel_value_type_name(lumvar* value);

// A script value as a kernel scalar of `type`. On failure `*out` is 0 and
// `*error` holds the message (without a prefix). `allow_int_for_float` lets an
// int stand for an f32 or f64 value.
bool lum_kernel_scalar_from_value(lumvar* value, lumk_prim type, bool allow_int_for_float, uint64_t* out,
                                  std::string* error);

// A kernel scalar as a new script value: none for void, a float for f32 and
// f64, otherwise an int holding the bits.
lumvar_shared lum_kernel_value_from_scalar(lumk_prim type, uint64_t bits);

// An integer argument: an int as is, a float truncated toward zero (NaN 0,
// saturating at the int64 limits), anything else through the value's own int
// conversion. References are followed.
int64_t lum_kernel_int_arg(lumvar* value);

// A text argument: the value's text form ("" for null). References are followed.
std::string lum_kernel_text_arg(lumvar* value);
