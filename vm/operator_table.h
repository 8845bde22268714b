#pragma once
// The reserved operator method names of script classes.
//
// Each row gives the method name, the operator's symbol (used in messages)
// and the number of arguments the method takes. A class definition keeps one
// method slot per row. The reversed method of binary operator n (0..7) is
// n + 8; rows 23 and 24 serve indexing.

#include <cstdint>
#include <string_view>

enum lum_operator : uint8_t {
    LUM_OPERATOR_ADD = 0,
    LUM_OPERATOR_SUB = 1,
    LUM_OPERATOR_MUL = 2,
    LUM_OPERATOR_DIV = 3,
    LUM_OPERATOR_AND = 4,
    LUM_OPERATOR_OR = 5,
    LUM_OPERATOR_XOR = 6,
    LUM_OPERATOR_MOD = 7,
    LUM_OPERATOR_RADD = 8,
    LUM_OPERATOR_RSUB = 9,
    LUM_OPERATOR_RMUL = 10,
    LUM_OPERATOR_RDIV = 11,
    LUM_OPERATOR_RAND = 12,
    LUM_OPERATOR_ROR = 13,
    LUM_OPERATOR_RXOR = 14,
    LUM_OPERATOR_RMOD = 15,
    LUM_OPERATOR_EQ = 16,
    LUM_OPERATOR_NE = 17,
    LUM_OPERATOR_LT = 18,
    LUM_OPERATOR_LE = 19,
    LUM_OPERATOR_GT = 20,
    LUM_OPERATOR_GE = 21,
    LUM_OPERATOR_NEG = 22,
    LUM_OPERATOR_GETITEM = 23,
    LUM_OPERATOR_SETITEM = 24,
};

inline constexpr unsigned LUM_OPERATOR_COUNT = 25;

struct lum_operator_row {
    std::string_view name;
    std::string_view symbol;
    uint8_t arguments;
};

inline constexpr lum_operator_row lum_operator_table[LUM_OPERATOR_COUNT] = {
    {"__add__", "+", 1},   {"__sub__", "-", 1},   {"__mul__", "*", 1},   {"__div__", "/", 1},
    {"__and__", "&", 1},   {"__or__", "|", 1},    {"__xor__", "^", 1},   {"__mod__", "%", 1},
    {"__radd__", "+", 1},  {"__rsub__", "-", 1},  {"__rmul__", "*", 1},  {"__rdiv__", "/", 1},
    {"__rand__", "&", 1},  {"__ror__", "|", 1},   {"__rxor__", "^", 1},  {"__rmod__", "%", 1},
    {"__eq__", "==", 1},   {"__ne__", "!=", 1},   {"__lt__", "<", 1},    {"__le__", "<=", 1},
    {"__gt__", ">", 1},    {"__ge__", ">=", 1},   {"__neg__", "-", 0},   {"__getitem__", "[]", 1},
    {"__setitem__", "[]=", 2},
};

// The row number of an operator method name, or -1 when the name is not one.
inline int lum_operator_index(std::string_view name) {
    for (unsigned i = 0; i < LUM_OPERATOR_COUNT; ++i)
        if (lum_operator_table[i].name == name) return static_cast<int>(i);
    return -1;
}
