// libFuzzer target: lexes and parses arbitrary bytes as kernel source. Any
// input must end in declarations or a positioned compile error; crashes, hangs
// and sanitizer reports are findings.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"

namespace {

// Every token, written on its own, lexes back to itself: the token texts of a
// source joined by spaces give the same tokens with the same values.
void check_relex(std::string_view src) {
    lumk_lexer first;
    try {
        lumk_lex(first, src, "fuzz.k");
    } catch (const kerror&) {
        return;
    }
    std::string joined;
    for (size_t i = 0; i + 1 < first.tokens.size(); ++i) {
        joined += first.tokens[i].text;
        joined += ' ';
    }
    lumk_lexer again;
    try {
        lumk_lex(again, joined, "fuzz.k");
    } catch (const kerror&) {
        __builtin_trap();
    }
    if (again.tokens.size() != first.tokens.size()) __builtin_trap();
    for (size_t i = 0; i + 1 < first.tokens.size(); ++i) {
        const lumk_token& a = first.tokens[i];
        const lumk_token& b = again.tokens[i];
        if (a.kind != b.kind || a.text != b.text || a.ival != b.ival || a.u_suffix != b.u_suffix ||
            a.f_suffix != b.f_suffix || std::memcmp(&a.fval, &b.fval, sizeof a.fval) != 0)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // A 0x01 byte splits the input into an imported source and the unit's own
    // source, as the compile driver lexes them.
    std::string_view import_src, own_src = input;
    size_t cut = input.find('\x01');
    if (cut != std::string_view::npos) {
        import_src = input.substr(0, cut);
        own_src = input.substr(cut + 1);
    }
    check_relex(own_src);
    lumk_lexer lx;
    try {
        size_t own_first = 0;
        if (cut != std::string_view::npos) {
            lumk_lex(lx, import_src, "import.k");
            lx.tokens.pop_back();
            own_first = lx.tokens.size();
        }
        lumk_lex(lx, own_src, "fuzz.k");
        lumk_parser parser(lx.tokens, lx.sources, own_first);
        std::vector<lumk_decl> decls = lumk_parse_unit(parser);
        for (const lumk_decl& d : decls) {
            if (d.kind == lumk_decl_kind::kernel_decl && !d.kernel_decl->body) __builtin_trap();
        }
    } catch (const kerror& e) {
        // Every error has a message and a 1-based position inside its line
        // (the end token may sit just after the last character).
        if (e.message.empty() || e.line == 0 || e.column == 0) __builtin_trap();
        if (e.column > e.source_line.size() + 1) __builtin_trap();
        if (e.file != "fuzz.k" && e.file != "import.k") __builtin_trap();
    }
    return 0;
}
