// Kernel scalar types, struct layouts and the small type helpers shared by the
// kernel compiler, the engines and the script interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Code of a kernel scalar type (one byte). Codes 2..9 are the integer types,
// 10 and 11 the float types; 12 marks a struct, 13 "not a type".
using lumk_prim = uint8_t;
enum : lumk_prim {
    LUMK_PRIM_VOID = 0,
    LUMK_PRIM_BOOL = 1,
    LUMK_PRIM_I8 = 2,
    LUMK_PRIM_U8 = 3,
    LUMK_PRIM_I16 = 4,
    LUMK_PRIM_U16 = 5,
    LUMK_PRIM_I32 = 6,
    LUMK_PRIM_U32 = 7,
    LUMK_PRIM_I64 = 8,
    LUMK_PRIM_U64 = 9,
    LUMK_PRIM_F32 = 10,
    LUMK_PRIM_F64 = 11,
    LUMK_PRIM_STRUCT = 12,
    LUMK_PRIM_NONE = 13,  // "not a type"
};

// Byte size of a scalar: 1, 2, 4 or 8; 0 for void, struct and unknown codes.
uint32_t lumk_prim_size(uint32_t code);
// "void", "bool", "i8", ... "f64", "struct" for codes 0..12; "?" otherwise.
const char* lumk_prim_name(uint32_t code);
// True for f32 and f64.
bool lumk_prim_is_float(uint32_t code);
// True for the integer codes i8..u64 (bool is not an integer type).
bool lumk_prim_is_int(uint32_t code);
// True for i8, i16, i32, i64.
bool lumk_prim_is_signed(uint32_t code);
// Scalar code of a type name ("void" .. "f64"); LUMK_PRIM_NONE for anything else,
// "struct" included.
lumk_prim lumk_prim_from_name(std::string_view name);
// Implicit conversion: equal codes, integer widening whose target range holds
// every source value, and f32 -> f64.
bool lumk_prim_converts_to(uint32_t from, uint32_t to);
// Vector type names "<scalar>x<N>" with N in 2..4 and an integer or float
// element type. On success stores the element code and lane count.
bool lumk_parse_vector_type(std::string_view name, lumk_prim& elem, uint8_t& lanes);

// Reduction operator code.
using lumk_reduce_op = uint8_t;
enum : lumk_reduce_op {
    LUMK_REDUCE_NONE = 0,
    LUMK_REDUCE_ADD = 1,  // "+"
    LUMK_REDUCE_MIN = 2,  // "min"
    LUMK_REDUCE_MAX = 3,  // "max"
    LUMK_REDUCE_AND = 4,  // "&"
    LUMK_REDUCE_OR = 5,   // "|"
    LUMK_REDUCE_XOR = 6,  // "^"
};
// "" for none, "+", "min", "max", "&", "|", "^"; "?" above 6.
const char* lumk_reduce_op_name(uint32_t op);

// The checker's type record.
struct lumk_type {
    lumk_prim prim = LUMK_PRIM_VOID;  // scalar code, LUMK_PRIM_STRUCT for a struct
    int32_t struct_index = -1;        // index into the unit's struct table, -1 for none
    uint8_t is_pointer = 0;
    uint8_t is_const = 0;

    bool operator==(const lumk_type&) const = default;
};

// One field of a struct layout.
struct lumk_struct_field {
    std::string name;
    lumk_prim prim = LUMK_PRIM_VOID;  // LUMK_PRIM_STRUCT for a nested struct
    int32_t struct_index = -1;        // for a nested struct
    uint32_t array_count = 0;         // 0 for a plain field
    uint32_t offset = 0;              // byte offset inside the struct
    uint32_t elem_size = 0;           // bytes of one element
};

// One struct, cstruct or vector type of a compiled unit.
struct lumk_struct_layout {
    std::string name;
    std::string file;                 // declaring source; "<builtin>" for vector types
    std::vector<lumk_struct_field> fields;  // declaration order
    uint32_t size = 0;                // bytes
    lumk_prim lane_prim = LUMK_PRIM_VOID;   // element code of a vector type
    uint8_t lane_count = 0;           // 0 when not a vector type
};

// Index of the struct named `name`, or -1.
int32_t lumk_find_struct(const std::vector<lumk_struct_layout>& structs, std::string_view name);

// Float to integer conversion with exact range rules: fails for NaN, for a
// target that is not an integer code, or when trunc(x) lies outside the
// target's range. On success stores trunc(x) in canonical register form
// (sign-extended for signed targets; u64 keeps its bits from 2^63 upwards).
bool lumk_f2i(double x, uint32_t target, uint64_t& out);
