// The kernel compile driver: lexes a unit's imported sources and its own
// source into one token stream, parses it and checks and emits the unit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/kerror.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"
#include "kernel/compiler/program.h"

// Compiles `source` named `name` together with the sources of `imports`
// (each distinct (text, name) pair once, imports first). On success `out` holds
// the new unit; on a compile error `out` is left empty and `err` receives the
// error record. Exceptions other than kerror pass through.
void lumk_compile_unit(std::shared_ptr<lumk_compiled_unit>& out, const std::string& source, const std::string& name,
                       kerror& err, const std::vector<std::shared_ptr<lumk_compiled_unit>>& imports);

// Front end of the driver: lexes `sources` in order into `lexer` (the end
// tokens of all but the last removed) and parses the whole stream. Kernel
// declarations of every source but the last are marked imported. An empty
// list yields no declarations. Throws kerror.
std::vector<lumk_decl> lumk_parse_sources(lumk_lexer& lexer, const std::vector<lumk_source>& sources);

// Checks the declarations and emits the unit's structs, constants and
// programs. This is where the checker runs (lumk_checker over the source
// tables, declarations and unit, then lumk_check_unit). Throws kerror.
void lumk_compile_check(const lumk_source_tables& sources, std::vector<lumk_decl>& decls, lumk_compiled_unit& unit);
