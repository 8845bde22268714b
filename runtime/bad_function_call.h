// The exception an empty callable raises. The standard library's own text
// differs between platforms; reports and logs carry this one everywhere.
#pragma once

#include <functional>

class lum_bad_function_call : public std::bad_function_call {
public:
    const char* what() const noexcept override { return "bad function call"; }
};
