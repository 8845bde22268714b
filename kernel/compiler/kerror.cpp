#include "kernel/compiler/kerror.h"

#include <utility>

kerror::kerror(std::string file_, uint32_t line_, uint32_t column_, std::string message_, std::string source_line_)
    : file(std::move(file_)),
      line(line_),
      column(column_),
      message(std::move(message_)),
      source_line(std::move(source_line_)) {}
