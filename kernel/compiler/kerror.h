#pragma once
// The kernel compiler's error record. The lexer, parser and checker throw it at
// the first fault; the compile driver catches it and hands it to the caller.

#include <cstdint>
#include <exception>
#include <string>

struct kerror : std::exception {
    std::string file;         // name of the source the fault is in
    uint32_t line = 0;        // 1-based line
    uint32_t column = 0;      // 1-based byte column
    std::string message;      // the message text
    std::string source_line;  // text of the faulty line, without its line end

    kerror() = default;
    kerror(std::string file, uint32_t line, uint32_t column, std::string message, std::string source_line);

    const char* what() const noexcept override { return message.c_str(); }
};
