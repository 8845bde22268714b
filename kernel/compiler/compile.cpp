#include "kernel/compiler/compile.h"

#include <utility>

#include "kernel/compiler/checker.h"

std::vector<lumk_decl> lumk_parse_sources(lumk_lexer& lexer, const std::vector<lumk_source>& sources) {
    if (sources.empty()) return {};
    for (size_t i = 0; i + 1 < sources.size(); ++i) {
        lumk_lex(lexer, sources[i].text, sources[i].name);
        // One stream: only the unit's own source keeps its end token.
        if (!lexer.tokens.empty() && lexer.tokens.back().is_end()) lexer.tokens.pop_back();
    }
    const size_t own_first_token = lexer.tokens.size();
    lumk_lex(lexer, sources.back().text, sources.back().name);
    lumk_parser parser(lexer.tokens, lexer.sources, own_first_token);
    return lumk_parse_unit(parser);
}

void lumk_compile_check(const lumk_source_tables& sources, std::vector<lumk_decl>& decls, lumk_compiled_unit& unit) {
    lumk_checker checker(sources, decls, unit);
    lumk_check_unit(checker);
}

void lumk_compile_unit(std::shared_ptr<lumk_compiled_unit>& out, const std::string& source, const std::string& name,
                       kerror& err, const std::vector<std::shared_ptr<lumk_compiled_unit>>& imports) {
    auto unit = std::make_shared<lumk_compiled_unit>();
    // Every distinct (text, name) pair of the imports once; an import's list
    // already holds its own imports, so shared ones come in once.
    for (const auto& imp : imports) {
        if (!imp) continue;
        for (const lumk_source& s : imp->sources) {
            bool seen = false;
            for (const lumk_source& have : unit->sources) {
                if (have.text == s.text && have.name == s.name) {
                    seen = true;
                    break;
                }
            }
            if (!seen) unit->sources.push_back(s);
        }
    }
    unit->sources.push_back(lumk_source{source, name});

    try {
        lumk_lexer lexer;
        {
            std::vector<lumk_decl> decls = lumk_parse_sources(lexer, unit->sources);
            lumk_compile_check(lexer.sources, decls, *unit);
        }
        lexer.tokens.clear();
        out = std::move(unit);
    } catch (const kerror& e) {
        err = e;
        out.reset();
    }
}
