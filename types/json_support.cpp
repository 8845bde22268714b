#include "types/json_support.h"

#include <utility>

namespace {
lum_function_def& add_noted(std::string_view name, lum_json_method method, uint32_t min_args, uint32_t max_args,
                            std::string_view doc, std::string_view note) {
    lum_function_def& def = lum_std_json::add_function(name, std::move(method), min_args, max_args, doc);
    def.arg_docs.push_back(note);
    return def;
}
}  // namespace

lum_function_def& lum_json_add_push_method(std::string_view name, lum_json_method method, std::string_view doc) {
    return add_noted(name, std::move(method), 1, 1, doc, "value: object - Value to insert into the JSON container");
}

lum_function_def& lum_json_add_erase_method(std::string_view name, lum_json_method method, std::string_view doc) {
    return add_noted(name, std::move(method), 1, 1, doc,
                     "key: string - Key or numeric index to delete from the JSON object");
}

lum_function_def& lum_json_add_erase_value_method(std::string_view name, lum_json_method method,
                                                  std::string_view doc) {
    return add_noted(name, std::move(method), 1, 1, doc, "key: string - Value to delete from the JSON object");
}

lum_function_def& lum_json_add_merge_method(std::string_view name, lum_json_method method, std::string_view doc) {
    return add_noted(name, std::move(method), 1, 2, doc,
                     "other: json - Object to merge\noverwrite: bool - Replace existing keys (default true)");
}

lum_function_def& lum_json_add_match_method(std::string_view name, lum_json_method method, std::string_view doc) {
    return add_noted(name, std::move(method), 1, 1, doc, "filter: function|string");
}
