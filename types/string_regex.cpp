#include "types/string_regex.h"

#include <utility>

#include "runtime/log.h"
#include "types/json_object.h"
#include "types/regex_service.h"
#include "types/regex_text.h"

namespace {

std::string argument_text(std::vector<lumvar_shared>& args, size_t index) {
    if (index >= args.size() || !args[index]) return {};
    return args[index]->to_std_string();
}

std::string snapshot(const lum_std_string* self) { return self != nullptr ? self->text : std::string(); }

// "<method>: pattern '<description>' failed while matching (<code>)"
void log_match_failure(const char* method, const lum_regex_error& e) {
    lum_get_log().error(method, ": pattern '", e.what(), "' failed while matching (", regex_error_code_name(e.code()),
                        ")");
}

lumvar_shared new_list() { return lumvar_shared::make_typed(LUMVAR_JSON); }

void append_text(lumvar_shared& list, std::string_view text) {
    if (lum_std_json* json = list->json_container()) json->push_keyed(lumvar_shared::from_string(text), "");
}

}  // namespace

lumvar_shared lum_string_regex_match(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    std::string text = snapshot(self);
    lum_regex_ref expression = compiled_regex_cache(pattern, text.size(), "regex_match");
    if (!expression) return lumvar_shared::make();
    return ctx.return_thread([text = std::move(text), expression = std::move(expression)]() -> lumvar_shared {
        lum_regex_matcher matcher(*expression);
        try {
            return lumvar_shared::from_int(matcher.match_full(text) ? 1 : 0);
        } catch (const lum_regex_error& e) {
            lum_get_log().error("regex_match: matching failed (", regex_error_code_name(e.code()), "): ", e.what());
            return lumvar_shared::from_int(0);
        }
    });
}

lumvar_shared lum_string_regex_search(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    std::string text = snapshot(self);
    lum_regex_ref expression = compiled_regex_cache(pattern, text.size(), "regex_search");
    if (!expression) return lumvar_shared::make();
    return ctx.return_thread([text = std::move(text), expression = std::move(expression)]() -> lumvar_shared {
        lum_regex_matcher matcher(*expression);
        try {
            if (!matcher.search(text, 0)) return lumvar_shared::from_int(-1);
            return lumvar_shared::from_int(static_cast<int64_t>(matcher.begin()));
        } catch (const lum_regex_error& e) {
            log_match_failure("regex_search", e);
            return lumvar_shared::from_int(-1);
        }
    });
}

lumvar_shared lum_string_regex_findall(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    std::string text = snapshot(self);
    lum_regex_ref expression = compiled_regex_cache(pattern, text.size(), "regex_findall");
    if (!expression) return lumvar_shared::make();
    return ctx.return_thread([text = std::move(text), expression = std::move(expression)]() -> lumvar_shared {
        lumvar_shared list = new_list();
        lum_regex_matcher matcher(*expression);
        try {
            lum_regex_each_match(matcher, text, [&](size_t begin, size_t end) {
                append_text(list, std::string_view(text).substr(begin, end - begin));
            });
        } catch (const lum_regex_error& e) {
            log_match_failure("regex_findall", e);
        }
        return list;
    });
}

lumvar_shared lum_string_regex_replace(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    std::string replacement = argument_text(args, 1);
    std::string text = snapshot(self);
    lum_regex_ref expression = compiled_regex_cache(pattern, text.size(), "regex_replace");
    if (!expression) return lumvar_shared::make();
    return ctx.return_thread([text = std::move(text), replacement = std::move(replacement),
                              expression = std::move(expression)]() -> lumvar_shared {
        lum_regex_matcher matcher(*expression);
        try {
            return lumvar_shared::from_string(lum_regex_replace_text(matcher, text, replacement));
        } catch (const lum_regex_error& e) {
            log_match_failure("regex_replace", e);
            return lumvar_shared::from_string(text);
        }
    });
}

lumvar_shared lum_string_regex_replace_inplace(lum_std_string* self, lum_vm_context&,
                                               std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    const std::string replacement = argument_text(args, 1);
    const size_t length = self != nullptr ? self->text.size() : 0;
    lum_regex_ref expression = compiled_regex_cache(pattern, length, "regex_replace_inplace");
    if (!expression || self == nullptr) return lumvar_shared::from_int(0);
    lum_regex_matcher matcher(*expression);
    try {
        std::string replaced = lum_regex_replace_text(matcher, self->text, replacement);
        self->text = std::move(replaced);
    } catch (const lum_regex_error& e) {
        log_match_failure("regex_replace_inplace", e);
        return lumvar_shared::from_int(0);
    }
    return lumvar_shared::from_int(1);
}

lumvar_shared lum_string_regex_split(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    const std::string pattern = argument_text(args, 0);
    std::string text = snapshot(self);
    lum_regex_ref expression = compiled_regex_cache(pattern, text.size(), "regex_split");
    if (!expression) return lumvar_shared::make();
    return ctx.return_thread([text = std::move(text), expression = std::move(expression)]() -> lumvar_shared {
        lumvar_shared list = new_list();
        lum_regex_matcher matcher(*expression);
        try {
            lum_regex_split_pieces(matcher, text, [&](std::string_view piece) { append_text(list, piece); });
        } catch (const lum_regex_error& e) {
            log_match_failure("regex_split", e);
        }
        return list;
    });
}

lumvar_shared lum_string_regex_escape(lum_std_string* self, lum_vm_context& ctx, std::vector<lumvar_shared>&) {
    std::string text = snapshot(self);
    return ctx.return_thread([text = std::move(text)]() -> lumvar_shared {
        return lumvar_shared::from_string(lum_regex_escape_text(text));
    });
}
