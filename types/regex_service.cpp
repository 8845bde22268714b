#include "types/regex_service.h"

#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "runtime/per_thread.h"
#include "vm/runtime_error.h"

namespace {

constexpr size_t cache_capacity = 8;

std::vector<regex_cache_entry>& thread_cache() {
    static thread_local constinit lum_per_thread<std::vector<regex_cache_entry>> cache;
    return cache.get();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "{" opens a counting quantifier for the limit only in its comma forms:
// {m,n}, {m,}, {,n} and {,}, also when the pattern ends inside them.
bool brace_is_quantifier(std::string_view p, size_t i) {
    size_t j = i + 1;
    while (j < p.size() && is_digit(p[j])) ++j;
    if (j >= p.size() || p[j] != ',') return false;
    ++j;
    while (j < p.size() && is_digit(p[j])) ++j;
    return j >= p.size() || p[j] == '}';
}

}  // namespace

uint64_t regex_input_limit(std::string_view pattern) {
    bool in_class = false, quantified = false, group_quantified = false;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\\') {
            i += 2;  // the escaped byte is never examined
            continue;
        }
        if (in_class) {
            if (c == ']') in_class = false;
            ++i;
            continue;
        }
        if (c == '[') {
            in_class = true;
            ++i;
            continue;
        }
        if (c == '*' || c == '+' || (c == '{' && brace_is_quantifier(pattern, i))) {
            quantified = true;
            // The byte before is tested as it stands: an escaped ')' counts too.
            if (i > 0 && pattern[i - 1] == ')') group_quantified = true;
        }
        ++i;
    }
    if (group_quantified) return 8192;
    if (quantified) return 16384;
    return 262144;
}

lum_regex_ref compiled_regex_cache(std::string_view pattern, uint64_t input_length, const char* method_name) {
    const std::string_view method = method_name != nullptr ? method_name : "";
    const uint64_t limit = regex_input_limit(pattern);
    if (input_length > limit) {
        std::string message(method);
        message += ": input of ";
        message += std::to_string(input_length);
        message += " characters exceeds the std::regex limit of ";
        message += std::to_string(limit);
        message +=
            " characters for this pattern (issue #102 - the matcher can exhaust the worker stack). "
            "Shorten the input, use a simpler pattern, or use a plain string search (find/replace/split).";
        lum_runtime_error(true, message);
        return {};
    }

    std::vector<regex_cache_entry>& cache = thread_cache();
    for (const regex_cache_entry& entry : cache) {
        if (entry.pattern.size() == pattern.size() &&
            std::memcmp(entry.pattern.data(), pattern.data(), pattern.size()) == 0)
            return entry.expression;
    }

    lum_regex_ref compiled;
    try {
        compiled = std::make_shared<const lum_regex>(pattern);
    } catch (const std::bad_alloc&) {
        // No fault of the pattern: the call fails as out of memory.
        throw lum_regex_out_of_memory();
    } catch (const lum_regex_error& e) {
        std::string message(method);
        message += ": invalid regex pattern '";
        message += pattern;
        message += "' (";
        message += regex_error_code_name(e.code());
        message += ")";
        lum_runtime_error(true, message);
        return {};
    } catch (const std::exception& e) {
        std::string message(method);
        message += ": cannot compile regex pattern '";
        message += pattern;
        message += "' (";
        message += e.what();
        message += ")";
        lum_runtime_error(true, message);
        return {};
    }

    if (cache.size() >= cache_capacity) cache.clear();  // jobs keep their own references
    try {
        cache.push_back(regex_cache_entry{std::string(pattern), compiled});
    } catch (const std::bad_alloc&) {
        throw lum_regex_out_of_memory();
    }
    return compiled;
}

const char* regex_error_code_name(int code) {
    static constexpr const char* names[] = {
        "error_collate",  "error_ctype", "error_escape",   "error_backref",   "error_brack",
        "error_paren",    "error_brace", "error_badbrace", "error_range",     "error_space",
        "error_badrepeat", "error_complexity", "error_stack",
    };
    if (code < 0 || code >= static_cast<int>(sizeof(names) / sizeof(names[0]))) return "error_unknown";
    return names[code];
}
