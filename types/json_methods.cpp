#include "types/json_methods.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "types/json_callbacks.h"
#include "types/json_method_args.h"
#include "types/json_object.h"
#include "types/json_support.h"
#include "types/json_text.h"
#include "vm/context.h"
#include "vm/runtime_error.h"

using lum_json_args::list;
namespace args_ = lum_json_args;

// ---- shared result helpers ----

lumvar_shared lum_json_args::container(lum_std_json* self) { return lumvar_shared::from_object(self); }

lumvar_shared lum_json_args::new_json(lum_std_json*& out) {
    lumvar_shared value = lumvar_shared::make();
    out = value->json_object(true);
    return value;
}

// ---- deep copy ----

namespace {

constexpr size_t copy_depth_limit = json_visit_guard::max_depth;

struct copy_path_entry {
    lum_std_json* source;
    lumvar_shared copy;
};

void copy_into(lum_std_json* source, const lumvar_shared& target, std::vector<copy_path_entry>& path) {
    for (const copy_path_entry& p : path) {
        if (p.source == source) {
            args_::assign(target.get(), p.copy);
            return;
        }
    }
    if (path.size() >= copy_depth_limit) {
        runtime_warning(json_warning_copy_too_deep);
        return;
    }
    lum_std_json* out = target->json_object(true);
    if (out == nullptr) return;
    // Both stay alive for the whole walk even if a copied object's code drops them.
    lumptr_strong<lumobject_base> keep_source(source);
    lumptr_strong<lumobject_base> keep_out(out);
    path.push_back(copy_path_entry{source, target});
    for (size_t i = 0; i < source->entries.size(); ++i) {
        const lum_json_entry& e = source->entries[i];
        lumvar_shared value = e.value;
        lumvar_shared cell = e.key ? out->emplace_keyed(*e.key) : out->emplace_back();
        if (!value) continue;
        if (value->type == LUMVAR_JSON) {
            if (lum_std_json* inner = value->json_container()) {
                copy_into(inner, cell, path);
                continue;
            }
        }
        args_::assign(cell.get(), value);
    }
    path.pop_back();
}

}  // namespace

void json_copy_value(lum_std_json* source, const lumvar_shared& target) {
    if (source == nullptr || !target) return;
    std::vector<copy_path_entry> path;
    copy_into(source, target, path);
}

// ---- the methods ----

namespace {

using self_t = lum_std_json*;

lumvar_shared m_push(self_t self, lum_vm_context&, list& args) {
    lumvar_shared cell = self->emplace_back();
    if (!args.empty()) args_::assign(cell.get(), args[0]);
    return args_::container(self);
}

lumvar_shared m_pop(self_t self, lum_vm_context&, list&) {
    if (!self->entries.empty()) self->erase_at(static_cast<int64_t>(self->entries.size()) - 1);
    return args_::container(self);
}

lumvar_shared m_insert(self_t self, lum_vm_context&, list& args) {
    int64_t i = args_::integer(args_::at(args, 0));
    if (i < 0) i += static_cast<int64_t>(self->entries.size());
    lum_json_entry entry{nullptr, lumvar_shared::make()};
    if (args.size() > 1) args_::assign(entry.value.get(), args[1]);
    // Clamped after the assignment, which may have reached this container.
    i = std::clamp<int64_t>(i, 0, static_cast<int64_t>(self->entries.size()));
    self->entries.insert(self->entries.begin() + i, std::move(entry));
    return args_::container(self);
}

lumvar_shared m_size(self_t self, lum_vm_context&, list&) {
    return lumvar_shared::from_int(static_cast<int64_t>(self->entries.size()));
}

lumvar_shared m_clear(self_t self, lum_vm_context&, list&) {
    self->clear();
    return args_::container(self);
}

lumvar_shared m_clear_free(self_t self, lum_vm_context&, list&) {
    self->clear_free();
    return args_::container(self);
}

lumvar_shared m_key(self_t self, lum_vm_context&, list& args) {
    int64_t i = args_::integer(args_::at(args, 0));
    const int64_t n = static_cast<int64_t>(self->entries.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        runtime_warning(json_warning_index_out_of_range);
        return lumvar_shared::make();
    }
    const lum_json_entry& e = self->entries[static_cast<size_t>(i)];
    if (!e.key) return lumvar_shared::make();
    return lumvar_shared::from_string(*e.key);
}

lumvar_shared m_has(self_t self, lum_vm_context&, list& args) {
    return args_::boolean(self->has_key(args_::text(args_::at(args, 0))));
}

lumvar_shared m_has_value(self_t self, lum_vm_context&, list& args) {
    lumvar_shared needle = args.empty() || !args[0] ? lumvar_shared::make() : args[0];
    for (size_t i = 0; i < self->entries.size(); ++i) {
        lumvar_shared value = self->entries[i].value;
        if (value && lumvar::compare_equal(*value, *needle)) return args_::boolean(true);
    }
    return args_::boolean(false);
}

lumvar_shared m_has_value_str(self_t self, lum_vm_context&, list& args) {
    const std::string needle = args_::text(args_::at(args, 0));
    std::string text;
    for (size_t i = 0; i < self->entries.size(); ++i) {
        lumvar_shared value = self->entries[i].value;
        if (!value) continue;
        value->string_value(text);
        if (text == needle) return args_::boolean(true);
    }
    return args_::boolean(false);
}

lumvar_shared m_geti(self_t self, lum_vm_context&, list& args) {
    const int64_t i = self->find_nocase(args_::text(args_::at(args, 0)));
    if (i < 0) return lumvar_shared::make();
    lumvar_shared value = self->entries[static_cast<size_t>(i)].value;
    return value ? value : lumvar_shared::make();
}

lumvar_shared m_hasi(self_t self, lum_vm_context&, list& args) {
    return args_::boolean(self->find_nocase(args_::text(args_::at(args, 0))) >= 0);
}

// erase / remove: by index for numbers, by key for texts; a json argument
// removes the entry holding that very container (erase) or the key spelled
// like its text form (remove).
lumvar_shared erase_or_remove(self_t self, list& args, bool by_container) {
    lumvar* arg = args_::at(args, 0);
    if (arg != nullptr && (arg->type == LUMVAR_INT || arg->type == LUMVAR_FLOAT))
        return args_::boolean(self->erase_at(args_::integer(arg)));
    if (by_container && arg != nullptr && arg->type == LUMVAR_JSON) {
        const lum_std_json* target = arg->json_container();
        if (target == nullptr) return args_::boolean(false);
        for (size_t i = 0; i < self->entries.size(); ++i) {
            const lumvar* v = self->entries[i].value.get();
            if (v != nullptr && v->type == LUMVAR_JSON && v->json_container() == target)
                return args_::boolean(self->erase_at(static_cast<int64_t>(i)));
        }
        return args_::boolean(false);
    }
    return args_::boolean(self->erase_key(args_::text(arg)));
}

lumvar_shared m_erase(self_t self, lum_vm_context&, list& args) { return erase_or_remove(self, args, true); }
lumvar_shared m_remove(self_t self, lum_vm_context&, list& args) { return erase_or_remove(self, args, false); }

lumvar_shared m_erase_value(self_t self, lum_vm_context&, list& args) {
    lumvar_shared needle = args.empty() || !args[0] ? lumvar_shared::make() : args[0];
    for (size_t i = 0; i < self->entries.size(); ++i) {
        lumvar_shared value = self->entries[i].value;
        if (!value || !lumvar::compare_equal(*value, *needle)) continue;
        // The comparison may have run code that moved entries: remove the
        // entry only while it still holds the matching cell.
        if (i < self->entries.size() && self->entries[i].value.get() == value.get())
            return args_::boolean(self->erase_at(static_cast<int64_t>(i)));
        return args_::boolean(false);
    }
    return args_::boolean(false);
}

lumvar_shared m_remove_all_keys(self_t self, lum_vm_context&, list& args) {
    self->remove_key_recursive(args_::text(args_::at(args, 0)));
    return args_::container(self);
}

lumvar_shared m_copy(self_t self, lum_vm_context&, list&) {
    lumvar_shared result = lumvar_shared::make();
    json_copy_value(self, result);
    return result;
}

lumvar_shared m_sort(self_t self, lum_vm_context&, list&) {
    self->sort_keys_nocase();
    return args_::container(self);
}

lumvar_shared m_sort_reverse(self_t self, lum_vm_context&, list&) {
    self->sort_keys_reverse();
    return args_::container(self);
}

lumvar_shared m_string(self_t self, lum_vm_context&, list& args) {
    const bool compact = !args.empty() && args_::integer(args_::at(args, 0)) != 0;
    std::string text;
    json_to_text(self, text, compact);
    return lumvar_shared::from_string(text);
}

lumvar_shared m_compact_string(self_t self, lum_vm_context&, list&) {
    std::string text;
    json_to_text(self, text, true);
    return lumvar_shared::from_string(text);
}

lumvar_shared m_combine_string(self_t self, lum_vm_context&, list& args) {
    const bool with_separator = !args.empty();
    const std::string separator = args_::text(args_::at(args, 0));
    std::string out;
    std::string piece;
    for (size_t i = 0; i < self->entries.size(); ++i) {
        lumvar_shared value = self->entries[i].value;
        if (value)
            value->string_value(piece);
        else
            piece.clear();
        out += piece;
        if (with_separator) out += separator;
    }
    return lumvar_shared::from_string(out);
}

lumvar_shared m_from_string(self_t self, lum_vm_context&, list& args) {
    const std::string text = args_::text(args_::at(args, 0));
    return args_::boolean(self->from_string(text, false));
}

// One entry of the other container as it was when merge/append started.
struct snapshot_entry {
    std::unique_ptr<std::string> key;
    lumvar_shared value;
};

// The other container's entries, taken before anything changes. When the
// other container is this one the values are copied too, so every original
// element is visited once with its original value.
std::vector<snapshot_entry> snapshot(const lum_std_json* other, bool copy_values) {
    std::vector<snapshot_entry> out;
    out.reserve(other->entries.size());
    for (const lum_json_entry& e : other->entries) {
        lumvar_shared value = e.value ? e.value : lumvar_shared::make();
        if (copy_values) {
            lumvar_shared copy = lumvar_shared::make();
            args_::assign(copy.get(), value);
            value = std::move(copy);
        }
        out.push_back(snapshot_entry{e.key ? std::make_unique<std::string>(*e.key) : nullptr, std::move(value)});
    }
    return out;
}

// Keyed entries go into the designated entry of their key (new keys are
// appended; existing keys are skipped unless `overwrite`); unkeyed entries
// are appended as list elements when `with_list`.
void merge_entries(self_t self, std::vector<snapshot_entry>& from, bool overwrite, bool with_list) {
    for (snapshot_entry& e : from) {
        if (!e.key) {
            if (!with_list) continue;
            lumvar_shared cell = self->emplace_back();
            args_::assign(cell.get(), e.value);
            continue;
        }
        if (!overwrite && self->has_key(*e.key)) continue;
        lumvar_shared cell = self->get_or_add(*e.key);
        args_::assign(cell.get(), e.value);
    }
}

lumvar_shared m_merge(self_t self, lum_vm_context&, list& args) {
    lumvar* other_value = args_::at(args, 0);
    if (other_value == nullptr || other_value->type != LUMVAR_JSON) return args_::container(self);
    lum_std_json* other = other_value->json_container();
    // Merging a container into itself would only write values back where
    // they came from: nothing visible changes.
    if (other == nullptr || other == self) return args_::container(self);
    const bool overwrite = args.size() > 1 ? args_::truthy(args_::at(args, 1)) : true;
    lumptr_strong<lumobject_base> keep(other);
    std::vector<snapshot_entry> from = snapshot(other, false);
    merge_entries(self, from, overwrite, false);
    return args_::container(self);
}

lumvar_shared m_append(self_t self, lum_vm_context&, list& args) {
    lumvar* other_value = args_::at(args, 0);
    if (other_value == nullptr || other_value->type == LUMVAR_NONE) return args_::container(self);
    if (other_value->type != LUMVAR_JSON) {
        lumvar_shared cell = self->emplace_back();
        args_::assign(cell.get(), args[0]);
        return args_::container(self);
    }
    lum_std_json* other = other_value->json_container();
    if (other == nullptr) return args_::container(self);
    const bool overwrite = args.size() > 1 ? args_::truthy(args_::at(args, 1)) : true;
    lumptr_strong<lumobject_base> keep(other);
    std::vector<snapshot_entry> from = snapshot(other, other == self);
    merge_entries(self, from, overwrite, true);
    return args_::container(self);
}

lumvar_shared m_to_list(self_t self, lum_vm_context&, list&) {
    self->drop_keys();
    return args_::container(self);
}

lumvar_shared m_resize(self_t self, lum_vm_context&, list& args) {
    const int64_t n = args_::integer(args_::at(args, 0));
    if (n < 0) {
        runtime_warning(json_warning_size_out_of_range);
        return args_::container(self);
    }
    const uint64_t target = static_cast<uint64_t>(n);
    // A size the container cannot hold is refused before anything changes
    // (the error becomes a run-time error of the call).
    if (target > self->entries.max_size())
        throw std::length_error("size " + std::to_string(target) + " is more than a json container can hold");
    if (self->entries.size() < target) {
        try {
            self->entries.reserve(static_cast<size_t>(target));
        } catch (const std::bad_alloc&) {
            throw std::length_error("not enough memory for a json container of " + std::to_string(target) +
                                    " entries");
        }
    }
    while (self->entries.size() > target) self->erase_at(static_cast<int64_t>(self->entries.size()) - 1);
    while (self->entries.size() < target) self->emplace_back();
    return args_::container(self);
}

// "<type>:<text form>" of the value behind references; "0:" for no value.
std::string value_signature(const lumvar_shared& value) {
    if (!value) return "0:";
    lumvar_shared target;
    value->deref(target);
    if (!target) return "0:";
    std::string text;
    target->string_value(text);
    return std::to_string(static_cast<unsigned>(target->type)) + ":" + text;
}

lumvar_shared m_unique(self_t self, lum_vm_context&, list&) {
    if (self->entries.size() < 2) return args_::container(self);
    bool list_mode = true;
    for (const lum_json_entry& e : self->entries) {
        if (e.has_key()) {
            list_mode = false;
            break;
        }
    }
    // Signatures first: text forms may run code that reaches the container,
    // which then is still whole.
    std::vector<std::string> signatures(self->entries.size());
    for (size_t i = 0; i < self->entries.size() && i < signatures.size(); ++i) {
        if (list_mode || !self->entries[i].has_key()) signatures[i] = value_signature(self->entries[i].value);
    }
    std::vector<lum_json_entry>& entries = self->entries;
    const size_t n = std::min(entries.size(), signatures.size());
    std::unordered_set<std::string> keys;
    std::unordered_set<std::string> seen;
    std::vector<lum_json_entry> kept;
    std::vector<lum_json_entry> dropped;
    kept.reserve(entries.size());
    for (size_t i = 0; i < n; ++i) {
        lum_json_entry& e = entries[i];
        const bool fresh = (!list_mode && e.has_key()) ? keys.insert(*e.key).second
                                                       : seen.insert(std::move(signatures[i])).second;
        (fresh ? kept : dropped).push_back(std::move(e));
    }
    for (size_t i = n; i < entries.size(); ++i) kept.push_back(std::move(entries[i]));
    entries.swap(kept);
    self->rebuild_key_index();
    // Dropped values go last, with the container consistent again.
    kept.clear();
    dropped.clear();
    return args_::container(self);
}

lumvar_shared m_push_cyclic(self_t self, lum_vm_context&, list& args) {
    const int64_t m = args_::integer(args_::at(args, 1));
    if (m <= 0) {
        runtime_warning(json_warning_push_cyclic);
        return args_::container(self);
    }
    const uint64_t limit = static_cast<uint64_t>(m);
    std::vector<lum_json_entry>& entries = self->entries;
    if (!self->key_index && entries.size() >= limit) {
        const auto drop = static_cast<std::ptrdiff_t>(entries.size() - limit + 1);
        std::vector<lum_json_entry> removed(std::make_move_iterator(entries.begin()),
                                            std::make_move_iterator(entries.begin() + drop));
        entries.erase(entries.begin(), entries.begin() + drop);
        removed.clear();
    }
    while (!entries.empty() && entries.size() >= limit) self->erase_at(0);
    lumvar_shared cell = self->emplace_back();
    if (!args.empty()) args_::assign(cell.get(), args[0]);
    return args_::container(self);
}

lumvar_shared m_debug_refs(self_t self, lum_vm_context&, list& args) {
    const bool compact = !args.empty() && args_::integer(args_::at(args, 0)) != 0;
    std::string text;
    json_debug_refs(self, text, compact);
    return lumvar_shared::from_string(text);
}

// ---- registration ----

lum_function_def& add(std::string_view name, lum_std_json::method_type method, uint32_t min_args, uint32_t max_args,
                      std::string_view doc, std::initializer_list<std::string_view> arg_docs = {}) {
    lum_function_def& def = lum_std_json::add_function(name, std::move(method), min_args, max_args, doc);
    def.arg_docs.assign(arg_docs.begin(), arg_docs.end());
    return def;
}

constexpr std::string_view doc_push =
    "Adds the supplied value to the given JSON container and returns the modified object";
constexpr std::string_view doc_pop = "Removes the last element from the JSON container and returns it.";
constexpr std::string_view doc_size =
    "Returns the number of elements in a JSON array or the number of keys in a JSON object.";
constexpr std::string_view doc_erase =
    "Removes a key or index from a JSON object and returns whether the removal succeeded.";
constexpr std::string_view doc_erase_value =
    "Removes a value from a JSON object and returns whether the removal succeeded.";
constexpr std::string_view doc_sort_reverse =
    "Sorts a JSON object\u2019s entries by key in descending order, keeping keyless entries at the end";

}  // namespace

void lum_std_json_register_methods() {
    lum_json_add_push_method("push", m_push, doc_push);
    lum_json_add_push_method("push_back", m_push, doc_push);
    add("pop", m_pop, 0, 0, doc_pop);
    add("pop_back", m_pop, 0, 0, doc_pop);
    add("insert", m_insert, 2, 2,
        "Inserts a value at the specified index in the JSON container, shifting existing elements. Negative "
        "indices count from the end.",
        {"index: int - Zero-based index at which to insert; negative values count from the end\n"
         "value: object - Value to insert"});
    add("size", m_size, 0, 0, doc_size);
    add("clear", m_clear, 0, 0, doc_size);
    add("clear_free", m_clear_free, 0, 0, "Clears the JSON container and frees all objects inside it.");
    add("key", m_key, 1, 1, "Return the key at a specified index from a JSON object",
        {"index: int - Zero-based index of the key; negative values count from the end"});
    add("has", m_has, 1, 1, "Checks if the JSON object contains a given key.",
        {"key: string - Key to check in the JSON object"});
    add("has_value", m_has_value, 1, 1, "Checks if the JSON object contains a given value.",
        {"key: string - Value to check in the JSON object"});
    add("has_value_str", m_has_value_str, 1, 1, "Checks if the JSON object contains a given value (as string).",
        {"value: string - Value to check in the JSON object"});
    add("geti", m_geti, 1, 1, "Get a member value by key (case-insensitive)",
        {"key: string - Key to look up (case-insensitive)"});
    add("hasi", m_hasi, 1, 1, "Check if JSON object contains a key (case-insensitive)",
        {"key: string - Key to check (case-insensitive)"});
    lum_json_add_erase_method("erase", m_erase, doc_erase);
    lum_json_add_erase_method("remove", m_remove, doc_erase);
    lum_json_add_erase_value_method("erase_value", m_erase_value, doc_erase_value);
    lum_json_add_erase_value_method("remove_value", m_erase_value, doc_erase_value);
    add("remove_all_keys", m_remove_all_keys, 1, 1,
        "Removes a key from the JSON object and all nested JSON objects recursively.",
        {"key: string - Key to remove from all levels"});
    add("copy", m_copy, 0, 0,
        "Creates a deep copy of the JSON object. If the JSON references itself, the copy contains the same "
        "self-reference instead of failing.");
    add("sort", m_sort, 0, 0,
        "Sorts JSON entries by their keys in a case-insensitive manner, keeping only keyed entries in the sorted "
        "portion.");
    add("sort_reverse", m_sort_reverse, 0, 0, doc_sort_reverse);
    add("rsort", m_sort_reverse, 0, 0, doc_sort_reverse);
    add("sort_by", lum_json_method_sort_by, 1, 2, "Sorts JSON entries by a child key in each value object.",
        {"key: string - Child key to sort by\ndescending: bool - Sort descending (default false)"});
    add("string", m_string, 0, 1, "Convert JSON object to its string representation, optionally using compact output.",
        {"compact: int - flag to produce compact string (0) or pretty-printed (non\u2011zero)"});
    add("compact_string", m_compact_string, 0, 0, "Convert JSON object to its compact string representation.");
    add("combine_string", m_combine_string, 0, 1, "Combine string values of the JSON object with an optional separator",
        {"separator: string - Separator appended after each string value during concatenation"});
    add("from_string", m_from_string, 1, 1, "Parse JSON from string and populate object",
        {"json: string - JSON string to parse into the object"});
    add("filter_key", lum_json_method_filter_key, 1, 1,
        "Filter JSON object's keys by matching substrings and return the filtered JSON.",
        {"filter: string - Substring or list of substrings used to match keys."});
    add("filter_value", lum_json_method_filter_value, 1, 1,
        "Return a new JSON object containing only string members whose values include a specific substring",
        {"filter: string - Substring to search for within JSON string values"});
    add("filter", lum_json_method_filter, 1, 1, "Filter JSON object entries by callback or key substring",
        {"filter: function|string - Callback that receives a key and value and returns true to keep the entry; if "
         "a string, only entries whose keys contain the string are included"});
    lum_json_add_merge_method("merge", m_merge,
                     "Merge another JSON object into this one. If overwrite is true, existing keys will be replaced.");
    lum_json_add_merge_method("append", m_append,
                     "Appends another JSON object into this one. If overwrite is true, existing keys will be replaced.");
    add("map", lum_json_method_map, 1, 1, "Return a new JSON where each value is replaced by the result of the callback.",
        {"callback: function - Called with (key, value); return becomes new value"});
    add("reduce", lum_json_method_reduce, 1, 2,
        "Reduce object entries into a single value by repeatedly applying callback(acc, key, value).",
        {"callback: function\ninitial: any - Starting accumulator value"});
    lum_json_add_match_method("any", lum_json_method_any, "Returns true if any entry matches substring or callback.");
    lum_json_add_match_method("all", lum_json_method_all, "Returns true if all entries match substring or callback.");
    add("foreach", lum_json_method_foreach, 1, 1,
        "Iterates over each key/value pair in a JSON object and runs a callback for each entry",
        {"callback: function - Callback function invoked with the entry key and value and should return bool (true "
         "to include the entry in a new JSON)"});
    add("to_list", m_to_list, 0, 0, "Converts the JSON object into a list by removing all keys from each entry.");
    add("resize", m_resize, 1, 1, "Resizes a JSON list to the specified size.", {"size: int - New size of the list"});
    add("unique", m_unique, 0, 0,
        "Removes duplicate entries. For lists, duplicates are detected by value. For objects, duplicate keys are "
        "removed, keeping the first occurrence.");
    add("push_cyclic", m_push_cyclic, 2, 2,
        "Adds a value to the back of the JSON list, removing elements from the front if the size would exceed "
        "max_entries.",
        {"value: object - Value to insert", "max_entries: int - Maximum number of elements the list may hold"});
    add("debug_refs", m_debug_refs, 0, 1,
        "Convert JSON object to a debug string showing whether each element is a LUMVAR_REF and the variable "
        "refcount.",
        {"compact: int - flag to produce compact string (0) or pretty-printed (non-zero)"});
}
