#include "host/host_print.h"

#include <cstdio>

#include "runtime/namespace.h"
#include "runtime/thread_local.h"

std::string lum_print_line(const std::vector<lumvar_shared>& args) {
    std::string line;
    std::string text;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i != 0) line += ' ';
        if (args[i]) {
            args[i]->string_value(text);
            line += text;
        }
    }
    line += '\n';
    return line;
}

lum_function_def* lum_make_print_native(lum_print_sink sink, uint32_t min_args, uint32_t max_args) {
    lum_pooling_suspend heap_only;
    auto* def = new lum_function_def();
    def->name = "print";
    def->doc = "Writes its arguments, separated by one space, and a line feed to standard output";
    def->min_args = min_args;
    def->max_args = max_args;
    def->flags = LUM_FUNCTION_RESOLVE_ARGS;
    def->callable = [sink = std::move(sink)](lum_vm_context&, std::vector<lumvar_shared>& args) {
        const std::string line = lum_print_line(args);
        if (sink)
            sink(line);
        else
            std::fwrite(line.data(), 1, line.size(), stdout);
        return lumvar_shared::make();
    };
    return def;
}
