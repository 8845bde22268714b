// The script methods of "std.string", their registration table and the
// constructor function `string`.
//
// Conventions of every method: text arguments are the arguments' text forms
// (a missing argument is ""), integer arguments their integer conversion,
// and results are new values: a new string value (the object itself is left
// alone), an int, a json list of new string values, or for `insert` an object
// value holding the same string. The `_inplace` methods change the object's
// own text and return 1 (replace_inplace: whether something was replaced);
// they copy their argument texts first, since an argument may be the very
// string being changed.
#include <algorithm>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/namespace.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "types/string_ops.h"
#include "types/string_regex.h"
#include "types/string_split.h"

namespace {

using args_t = std::vector<lumvar_shared>;

// ---------------------------------------------------------------------------
// Arguments and results

// The object of a string value, read from its payload (the record of a strong
// pointer) without a call; argument texts are read on every method call.
inline const lum_std_string* string_payload(const lumvar* v) noexcept {
    return static_cast<const lum_std_string*>(lumptr_detail::object_of<lumobject_base>(v->payload.record));
}

// The text form of argument i ("" when absent). A string argument is viewed in
// place; any other value is converted into `storage`.
std::string_view arg_view(args_t& args, size_t i, std::string& storage) {
    if (i >= args.size() || !args[i]) return {};
    lumvar* v = args[i].get();
    if (v->type == LUMVAR_STRING) {
        const lum_std_string* s = string_payload(v);
        return s != nullptr ? std::string_view(s->text) : std::string_view();
    }
    v->string_value(storage);
    return storage;
}

// Whether argument i is a string value held by `s`.
bool arg_is(args_t& args, size_t i, const lum_std_string* s) {
    return i < args.size() && args[i] && args[i]->type == LUMVAR_STRING && string_payload(args[i].get()) == s;
}

// An own copy of argument i's text.
std::string arg_copy(args_t& args, size_t i) {
    std::string storage;
    const std::string_view view = arg_view(args, i, storage);
    if (view.data() == storage.data()) return storage;
    return std::string(view);
}

int64_t arg_int(args_t& args, size_t i, int64_t fallback) {
    if (i >= args.size()) return fallback;
    return args[i] ? args[i]->int_value() : 0;
}

bool arg_bool(args_t& args, size_t i) { return i < args.size() && args[i] && args[i]->get_bool(); }

// A new string value; returns its text to build the result in.
std::string& new_text(lumvar_shared& out) {
    out = lumvar_shared::make_typed(LUMVAR_STRING);
    lum_std_string* s = out->string_object();
    if (s == nullptr) throw std::bad_alloc();
    return s->text;
}

lumvar_shared string_result(std::string_view text) {
    lumvar_shared out;
    new_text(out).append(text.data(), text.size());  // the new text is empty
    return out;
}

// A new json value holding an empty container.
lum_std_json* new_list(lumvar_shared& out) {
    out = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* list = out->json_container();
    if (list == nullptr) throw std::bad_alloc();
    return list;
}

lumvar_shared int_result(int64_t v) { return lumvar_shared::from_int(v); }

int64_t length_of(const lum_std_string* s) { return static_cast<int64_t>(s->text.size()); }

// A position argument: negative counts from the end, then clamped to [0, n].
int64_t clamp_start(int64_t start, int64_t n) {
    if (start < 0) start += n;
    return std::clamp<int64_t>(start, 0, n);
}

// Calls on_hit(pos, hit) for each non-overlapping occurrence of `needle` (not
// empty) in `text`, left to right: the scan stood at pos and found one at hit.
// Stops when on_hit returns false; returns the position just past the last
// occurrence accepted.
template <class OnHit>
size_t scan_occurrences(std::string_view text, std::string_view needle, OnHit on_hit) {
    size_t pos = 0;
    while (needle.size() <= text.size() - pos) {
        const size_t hit = text.find(needle, pos);
        if (hit == std::string_view::npos || !on_hit(pos, hit)) break;
        pos = hit + needle.size();
    }
    return pos;
}

// The in-place form of a cut: keeps [start, start + length) of the object's text.
lumvar_shared keep_range(lum_std_string* s, size_t start, size_t length) {
    s->text.erase(start + length);
    s->text.erase(0, start);
    return int_result(1);
}

// ---------------------------------------------------------------------------
// Size and counting

lumvar_shared m_length(lum_std_string* s, lum_vm_context&, args_t&) { return int_result(length_of(s)); }

lumvar_shared m_empty(lum_std_string* s, lum_vm_context&, args_t&) { return int_result(s->text.empty() ? 1 : 0); }

lumvar_shared m_count(lum_std_string* s, lum_vm_context&, args_t& args) {
    const std::string_view text(s->text);
    if (text.empty()) return int_result(0);
    if (args.empty()) return int_result(length_of(s));
    std::string storage;
    const std::string_view needle = arg_view(args, 0, storage);
    if (needle.empty()) return int_result(0);
    int64_t count = 0;
    scan_occurrences(text, needle, [&](size_t, size_t) {
        ++count;
        return true;
    });
    return int_result(count);
}

// ---------------------------------------------------------------------------
// Insertion and replacement

lumvar_shared m_insert(lum_std_string* s, lum_vm_context&, args_t& args) {
    const int64_t index = arg_int(args, 0, 0);
    std::string storage;
    const std::string_view piece = arg_view(args, 1, storage);
    if (index >= 0 && index <= length_of(s)) {
        const size_t at = static_cast<size_t>(index);
        // Only the string itself views the text being changed (s.insert(0, s)):
        // any other string value owns its own text.
        if (arg_is(args, 1, s))
            s->text.insert(at, std::string(piece));
        else
            s->text.insert(at, piece.data(), piece.size());
    }
    return lumvar_shared::from_object(s);
}

// A new text from the object's text and the (search, replacement) arguments:
// what fill(result, text, search, replacement) writes, or when `usable`
// rejects the search text a copy of the text and a warning naming `method`.
template <class Usable, class Fill>
lumvar_shared replace_by_arguments(lum_std_string* s, args_t& args, std::string_view method, Usable usable, Fill fill) {
    lumvar_shared out;
    std::string& result = new_text(out);
    std::string search_storage, replace_storage;
    const std::string_view search = arg_view(args, 0, search_storage);
    const std::string_view replacement = arg_view(args, 1, replace_storage);
    if (!usable(search)) {
        lum_string_warn_empty_argument(method, "search string");
        result = s->text;
        return out;
    }
    fill(result, std::string_view(s->text), search, replacement);
    return out;
}

bool not_empty(std::string_view search) { return !search.empty(); }

lumvar_shared m_replace(lum_std_string* s, lum_vm_context&, args_t& args) {
    if (args.size() == 1) {
        lumvar_shared out;
        std::string& result = new_text(out);
        result = s->text;
        lumvar* map = args[0].get();
        if (map == nullptr || map->type != LUMVAR_JSON) return out;
        lum_std_json* container = map->json_container();
        if (container == nullptr) return out;
        std::string replacement;
        for (size_t i = 0; i < container->entries.size(); ++i) {
            const lum_json_entry& entry = container->entries[i];
            if (!entry.key) continue;
            if (entry.key->empty()) {
                lum_string_warn_empty_argument("replace", "map key");
                continue;
            }
            const std::string key = *entry.key;
            lumvar_shared value = entry.value;
            if (value)
                value->string_value(replacement);
            else
                replacement.clear();
            lum_string_replace_all(result, key, replacement);
        }
        return out;
    }
    return replace_by_arguments(s, args, "replace", not_empty, lum_string_replace_all_into);
}

lumvar_shared m_replace_ignoring_whitespace(lum_std_string* s, lum_vm_context&, args_t& args) {
    if (args.size() < 2) return string_result(s->text);
    return replace_by_arguments(
        s, args, "replace_ignoring_whitespace",
        [](std::string_view search) { return !lum_string_trim_view(search).empty(); },
        lum_string_replace_ignoring_whitespace_all);
}

lumvar_shared m_replace_inplace(lum_std_string* s, lum_vm_context&, args_t& args) {
    const std::string search = arg_copy(args, 0);
    const std::string replacement = arg_copy(args, 1);
    if (search.empty()) {
        lum_string_warn_empty_argument("replace_inplace", "search string");
        return int_result(0);
    }
    return int_result(lum_string_replace_all(s->text, search, replacement) ? 1 : 0);
}

lumvar_shared m_replace_first(lum_std_string* s, lum_vm_context&, args_t& args) {
    return replace_by_arguments(s, args, "replace_first", not_empty,
                                [](std::string& result, std::string_view text, std::string_view search,
                                   std::string_view replacement) {
        const size_t hit = search.size() > text.size() ? std::string_view::npos : text.find(search);
        if (hit == std::string_view::npos) {
            result = text;
            return;
        }
        result.reserve(text.size() - search.size() + replacement.size());
        result.append(text.substr(0, hit)).append(replacement).append(text.substr(hit + search.size()));
    });
}

// ---------------------------------------------------------------------------
// Case, white space, reversal

template <char (*Map)(char)>
lumvar_shared m_map_bytes(lum_std_string* s, lum_vm_context&, args_t&) {
    lumvar_shared out;
    std::string& result = new_text(out);
    const std::string& text = s->text;
    result.resize(text.size());
    const char* in = text.data();
    char* o = result.data();
    for (size_t i = 0, n = text.size(); i < n; ++i) o[i] = Map(in[i]);
    return out;
}

template <char (*Map)(char)>
lumvar_shared m_map_bytes_inplace(lum_std_string* s, lum_vm_context&, args_t&) {
    char* p = s->text.data();
    for (size_t i = 0, n = s->text.size(); i < n; ++i) p[i] = Map(p[i]);
    return int_result(1);
}

char to_lower(char c) { return lum_string_lower(c); }
char to_upper(char c) { return lum_string_upper(c); }

template <std::string_view (*Cut)(std::string_view) noexcept>
lumvar_shared m_trim(lum_std_string* s, lum_vm_context&, args_t&) {
    return string_result(Cut(s->text));
}

template <std::string_view (*Cut)(std::string_view) noexcept>
lumvar_shared m_trim_inplace(lum_std_string* s, lum_vm_context&, args_t&) {
    const std::string_view text(s->text);
    const std::string_view kept = Cut(text);
    return keep_range(s, static_cast<size_t>(kept.data() - text.data()), kept.size());
}

lumvar_shared m_rstrip_lines(lum_std_string* s, lum_vm_context&, args_t&) {
    lumvar_shared out;
    std::string& result = new_text(out);
    const std::string_view text(s->text);
    const size_t n = text.size();
    result.reserve(n);
    size_t pos = 0;
    while (pos < n) {
        const size_t lf = text.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? n : lf;
        const bool cr = lf != std::string_view::npos && end > pos && text[end - 1] == '\r';
        size_t e = cr ? end - 1 : end;
        while (e > pos) {
            const unsigned char c = static_cast<unsigned char>(text[e - 1]);
            if (!lum_string_is_space(c) || c == '\r' || c == '\n') break;
            --e;
        }
        result.append(text.substr(pos, e - pos));
        if (lf == std::string_view::npos) break;
        if (cr) result.push_back('\r');
        result.push_back('\n');
        pos = lf + 1;
    }
    return out;
}

// Writes `text` with every run of white space made one space to `out`
// (which may be `text` itself: the output never overtakes the input).
size_t compress_into(char* out, const char* text, size_t n) {
    size_t w = 0;
    bool in_run = false;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (lum_string_is_space(static_cast<unsigned char>(c))) {
            if (!in_run) out[w++] = ' ';
            in_run = true;
        } else {
            out[w++] = c;
            in_run = false;
        }
    }
    return w;
}

lumvar_shared m_compress_whitespace(lum_std_string* s, lum_vm_context&, args_t&) {
    lumvar_shared out;
    std::string& result = new_text(out);
    result.resize(s->text.size());
    result.resize(compress_into(result.data(), s->text.data(), s->text.size()));
    return out;
}

lumvar_shared m_compress_whitespace_inplace(lum_std_string* s, lum_vm_context&, args_t&) {
    s->text.resize(compress_into(s->text.data(), s->text.data(), s->text.size()));
    return int_result(1);
}

lumvar_shared m_reverse(lum_std_string* s, lum_vm_context&, args_t&) {
    lumvar_shared out;
    new_text(out).assign(s->text.rbegin(), s->text.rend());
    return out;
}

lumvar_shared m_reverse_inplace(lum_std_string* s, lum_vm_context&, args_t&) {
    std::reverse(s->text.begin(), s->text.end());
    return int_result(1);
}

// ---------------------------------------------------------------------------
// Tests and substrings

lumvar_shared m_starts(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    return int_result(std::string_view(s->text).starts_with(arg_view(args, 0, storage)) ? 1 : 0);
}

lumvar_shared m_ends(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    return int_result(std::string_view(s->text).ends_with(arg_view(args, 0, storage)) ? 1 : 0);
}

lumvar_shared m_contains(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string_view sub = arg_view(args, 0, storage);
    const std::string_view text(s->text);
    if (sub.empty()) return int_result(1);
    if (sub.size() > text.size()) return int_result(0);
    return int_result(text.find(sub) != std::string_view::npos ? 1 : 0);
}

std::string without_whitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (!lum_string_is_space(static_cast<unsigned char>(c))) out.push_back(c);
    return out;
}

lumvar_shared m_contains_ignoring_whitespaces(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string sub = without_whitespace(arg_view(args, 0, storage));
    if (sub.empty()) return int_result(1);
    const std::string text = without_whitespace(s->text);
    if (sub.size() > text.size()) return int_result(0);
    return int_result(text.find(sub) != std::string::npos ? 1 : 0);
}

// The [start, start + length) range of substr: start counts from the end
// when negative and is clamped to the text; a negative or too large length
// takes the rest.
void substr_range(args_t& args, int64_t n, size_t& start, size_t& length) {
    const int64_t b = clamp_start(arg_int(args, 0, 0), n);
    int64_t len = arg_int(args, 1, -1);
    if (len < 0 || len > n - b) len = n - b;
    start = static_cast<size_t>(b);
    length = static_cast<size_t>(len);
}

lumvar_shared m_substr(lum_std_string* s, lum_vm_context&, args_t& args) {
    size_t start = 0, length = 0;
    substr_range(args, length_of(s), start, length);
    return string_result(std::string_view(s->text).substr(start, length));
}

lumvar_shared m_substr_inplace(lum_std_string* s, lum_vm_context&, args_t& args) {
    size_t start = 0, length = 0;
    substr_range(args, length_of(s), start, length);
    return keep_range(s, start, length);
}

// ---------------------------------------------------------------------------
// Splitting

// max_parts as a limit: any negative value means none.
uint64_t parts_limit(int64_t max_parts) {
    return max_parts < 0 ? UINT64_MAX : static_cast<uint64_t>(max_parts);
}

// The list of split and smart_split (delim, max_parts, strip): empty for
// max_parts 0, the whole text (trimmed with strip) for 1, else the parts
// split(list, text, delim, limit, strip) pushes.
template <class Split>
lumvar_shared split_method(lum_std_string* s, args_t& args, Split split) {
    lumvar_shared out;
    lum_std_json* list = new_list(out);
    std::string storage;
    const std::string_view delim = arg_view(args, 0, storage);
    const int64_t max_parts = arg_int(args, 1, -1);
    const bool strip = arg_bool(args, 2);
    const std::string_view text(s->text);
    if (max_parts == 0) return out;
    if (max_parts == 1) {
        lum_string_list_push(list, strip ? lum_string_trim_view(text) : text);
        return out;
    }
    split(list, text, delim, parts_limit(max_parts), strip);
    return out;
}

lumvar_shared m_split(lum_std_string* s, lum_vm_context&, args_t& args) {
    return split_method(s, args, [](lum_std_json* list, std::string_view text, std::string_view delim, uint64_t limit,
                                    bool strip) {
        if (delim.empty()) {
            lum_string_warn_empty_argument("split", "delimiter");
            lum_string_list_push(list, text);
            return;
        }
        uint64_t count = 0;
        const size_t pos = scan_occurrences(text, delim, [&](size_t from, size_t hit) {
            if (++count >= limit) return false;
            const std::string_view part = text.substr(from, hit - from);
            lum_string_list_push(list, strip ? lum_string_trim_view(part) : part);
            return true;
        });
        const std::string_view rest = text.substr(pos);
        lum_string_list_push(list, strip ? lum_string_trim_view(rest) : rest);
    });
}

lumvar_shared m_split_words(lum_std_string* s, lum_vm_context&, args_t&) {
    lumvar_shared out;
    lum_std_json* list = new_list(out);
    const std::string_view text(s->text);
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        while (i < n && lum_string_is_space(static_cast<unsigned char>(text[i]))) ++i;
        const size_t begin = i;
        while (i < n && !lum_string_is_space(static_cast<unsigned char>(text[i]))) ++i;
        if (i > begin) lum_string_list_push(list, text.substr(begin, i - begin));
    }
    return out;
}

lumvar_shared m_smart_split(lum_std_string* s, lum_vm_context&, args_t& args) {
    return split_method(s, args, [](lum_std_json* list, std::string_view text, std::string_view delim, uint64_t limit,
                                    bool strip) {
        const std::vector<std::string_view> parts = lum_string_smart_split_views(text, delim, limit, strip);
        list->entries.reserve(parts.size());
        for (const std::string_view part : parts) lum_string_list_push(list, part);
    });
}

// ---------------------------------------------------------------------------
// Searching

lumvar_shared m_find(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string_view sub = arg_view(args, 0, storage);
    const std::string_view text(s->text);
    const int64_t n = static_cast<int64_t>(text.size());
    const int64_t start = clamp_start(arg_int(args, 1, 0), n);
    if (static_cast<int64_t>(sub.size()) > n - start) return int_result(-1);
    if (sub.empty()) return int_result(start);
    const size_t hit = text.find(sub, static_cast<size_t>(start));
    return int_result(hit == std::string_view::npos ? -1 : static_cast<int64_t>(hit));
}

lumvar_shared m_rfind(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string_view sub = arg_view(args, 0, storage);
    const std::string_view text(s->text);
    const int64_t n = static_cast<int64_t>(text.size());
    int64_t pos = n - 1;
    if (args.size() > 1) {
        pos = arg_int(args, 1, 0);
        if (pos < 0) pos += n;
    }
    // A position still negative after counting from the end sets no upper limit.
    const bool unlimited = pos < 0 || n == 0;
    if (sub.empty()) return int_result(unlimited ? n : std::min(pos, n - 1));
    const int64_t m = static_cast<int64_t>(sub.size());
    if (m > n) return int_result(-1);
    const int64_t upper = unlimited ? n - m : std::min(pos, n - m);
    const size_t hit = text.rfind(sub, static_cast<size_t>(upper));
    return int_result(hit == std::string_view::npos ? -1 : static_cast<int64_t>(hit));
}

// First index >= start whose byte is (Wanted) or is not (!Wanted) in chars.
template <bool Wanted>
lumvar_shared m_find_first(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const lum_byte_set set(arg_view(args, 0, storage));
    const std::string_view text(s->text);
    const int64_t n = static_cast<int64_t>(text.size());
    for (int64_t i = clamp_start(arg_int(args, 1, 0), n); i < n; ++i)
        if (set(text[static_cast<size_t>(i)]) == Wanted) return int_result(i);
    return int_result(-1);
}

// Last index <= pos whose byte is (Wanted) or is not (!Wanted) in chars.
template <bool Wanted>
lumvar_shared m_find_last(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const lum_byte_set set(arg_view(args, 0, storage));
    const std::string_view text(s->text);
    const int64_t n = static_cast<int64_t>(text.size());
    int64_t pos = n - 1;
    if (args.size() > 1) {
        pos = arg_int(args, 1, 0);
        if (pos < 0) pos = std::max<int64_t>(pos + n, -1);
    }
    // -1 (also a position still negative after counting from the end) is the whole text.
    if (pos > n - 1 || pos == -1) pos = n - 1;
    for (int64_t i = pos; i >= 0; --i)
        if (set(text[static_cast<size_t>(i)]) == Wanted) return int_result(i);
    return int_result(-1);
}

// ---------------------------------------------------------------------------
// Padding

enum class justify { left, right, center };

template <justify Mode>
lumvar_shared m_justify(lum_std_string* s, lum_vm_context&, args_t& args) {
    static constexpr std::string_view name = Mode == justify::left ? "ljust" : Mode == justify::right ? "rjust" : "center";
    char fill = ' ';
    if (args.size() > 1) {
        std::string storage;
        const std::string_view f = arg_view(args, 1, storage);
        if (!f.empty()) fill = f[0];
    }
    const std::string& text = s->text;
    const uint64_t pad = lum_string_pad_count(arg_int(args, 0, 0), text.size(), name);
    const size_t front = Mode == justify::left ? 0 : Mode == justify::right ? pad : pad / 2;
    lumvar_shared out;
    std::string& result = new_text(out);
    result.reserve(text.size() + pad);
    result.append(front, fill).append(text).append(pad - front, fill);
    return out;
}

// ---------------------------------------------------------------------------
// Removal

lumvar_shared m_removeprefix(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string_view prefix = arg_view(args, 0, storage);
    const std::string_view text(s->text);
    if (!prefix.empty() && text.starts_with(prefix)) return string_result(text.substr(prefix.size()));
    return string_result(text);
}

lumvar_shared m_removesuffix(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const std::string_view suffix = arg_view(args, 0, storage);
    const std::string_view text(s->text);
    if (text.ends_with(suffix)) return string_result(text.substr(0, text.size() - suffix.size()));
    return string_result(text);
}

// The text without the bytes that are (Keep false) or are not (Keep true) in chars.
template <bool Keep>
lumvar_shared m_filter_chars(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string storage;
    const lum_byte_set set(arg_view(args, 0, storage));
    lumvar_shared out;
    std::string& result = new_text(out);
    const std::string& text = s->text;
    result.resize(text.size());
    size_t w = 0;
    for (char c : text)
        if (set(c) == Keep) result[w++] = c;
    result.resize(w);
    return out;
}

// ---------------------------------------------------------------------------
// Extraction

lumvar_shared m_extract(lum_std_string* s, lum_vm_context&, args_t& args) {
    std::string left_storage, right_storage;
    const std::string_view left = arg_view(args, 0, left_storage);
    const std::string_view right = arg_view(args, 1, right_storage);
    const std::string_view text(s->text);
    if (left.size() > text.size()) return string_result({});
    const size_t l = text.find(left);
    if (l == std::string_view::npos) return string_result({});
    const size_t start = l + left.size();
    const size_t r = text.find(right, start);
    if (r == std::string_view::npos) return string_result({});
    return string_result(text.substr(start, r - start));
}

lumvar_shared m_extract_quotes(lum_std_string* s, lum_vm_context&, args_t&) {
    const std::string_view text(s->text);
    const size_t q1 = text.find('"');
    const size_t q2 = text.rfind('"');
    if (q1 == std::string_view::npos || q1 == q2 || q2 == q1 + 1) return string_result(text);
    return string_result(text.substr(q1 + 1, q2 - q1 - 1));
}

lumvar_shared m_extract_all(lum_std_string* s, lum_vm_context&, args_t& args) {
    lumvar_shared out;
    lum_std_json* list = new_list(out);
    std::string left_storage, right_storage;
    const std::string_view left = arg_view(args, 0, left_storage);
    const std::string_view right = arg_view(args, 1, right_storage);
    if (left.empty() || right.empty()) {
        lum_string_warn_empty_argument("extract_all", "delimiter");
        return out;
    }
    const std::string_view text(s->text);
    const size_t n = text.size();
    size_t pos = 0;
    while (left.size() <= n - pos) {
        const size_t l = text.find(left, pos);
        if (l == std::string_view::npos) break;
        const size_t start = l + left.size();
        const size_t r = right.size() <= n - start ? text.find(right, start) : std::string_view::npos;
        if (r == std::string_view::npos) {
            lum_string_log_missing_right_delimiter(lum_get_log(), right);
            break;
        }
        lum_string_list_push(list, text.substr(start, r - start));
        pos = r + right.size();
        if (pos >= n) break;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Registration

// Methods whose calls store the caller's own argument cells (resolve bit
// clear); bit 1 marks them for the host.
inline constexpr uint32_t worker_method_flags = 2;

lum_function_def& add_method(std::string_view name, lum_std_string::method_type method, uint32_t min_args,
                      uint32_t max_args, std::string_view doc, std::initializer_list<std::string_view> arg_docs = {}) {
    lum_function_def& def = lum_std_string::add_function(name, std::move(method), min_args, max_args, doc);
    def.arg_docs.assign(arg_docs.begin(), arg_docs.end());
    return def;
}

lumvar_shared construct_string(lum_vm_context&, args_t& args) {
    lumvar_shared out;
    std::string& text = new_text(out);
    std::string scratch;
    for (const lumvar_shared& handle : args) {
        lumvar* arg = handle.get();
        if (arg == nullptr) continue;
        if (arg->type == LUMVAR_STRING) {
            if (const lum_std_string* s = string_payload(arg)) text.append(s->text);
            continue;
        }
        arg->string_value(scratch);
        text.append(scratch);
    }
    return out;
}

}  // namespace

void lum_std_string::script_register() {
    set_factory([] { return lumptr_strong<lum_std_string>(create()); });

    add_method("length", m_length, 0, 0, "Retrieve the length of the string");
    add_method("size", m_length, 0, 0, "Retrieve the size of the string");
    add_method("empty", m_empty, 0, 0, "Check if string is empty and return 1 if true, 0 otherwise");
    add_method("count", m_count, 0, 1, "Check how often a string appears in this string", {"str: string"});
    add_method("insert", m_insert, 2, 2, "Insert text into the string",
        {"index: int - Where to insert", "text: string - What to insert"});
    add_method("replace", m_replace, 1, 2, "Replace all occurrences of a substring or apply a json map of replacements",
        {"search_or_map: string|json - Substring to search for or json map of replacements",
         "replace: string - Replacement string"});
    add_method("replace_ignoring_whitespace", m_replace_ignoring_whitespace, 1, 2,
        "Replace all occurrences of a substring, ignoring whitespace",
        {"search: string - Substring to search for and replace", "replace: string - Replacement string"});
    add_method("replace_inplace", m_replace_inplace, 2, 2,
        "Replace all occurrences of a substring within the string in-place",
        {"search: string - Substring to search for and replace"});
    add_method("replace_first", m_replace_first, 2, 2, "Replaces the first occurrence of a substring with another substring",
        {"search: string - Substring to search for and replace"});
    add_method("lowercase", m_map_bytes<to_lower>, 0, 0, "Convert string to lowercase");
    add_method("lowercase_inplace", m_map_bytes_inplace<to_lower>, 0, 0, "Convert string to lowercase");
    add_method("uppercase", m_map_bytes<to_upper>, 0, 0, "Convert string to uppercase");
    add_method("uppercase_inplace", m_map_bytes_inplace<to_upper>, 0, 0, "Convert string to uppercase");
    add_method("trim", m_trim<lum_string_trim_view>, 0, 0, "Remove leading and trailing whitespace");
    add_method("trim_inplace", m_trim_inplace<lum_string_trim_view>, 0, 0, "Remove leading and trailing whitespace");
    add_method("strip", m_trim<lum_string_trim_view>, 0, 0, "Remove leading and trailing whitespace");
    add_method("strip_inplace", m_trim_inplace<lum_string_trim_view>, 0, 0, "Remove leading and trailing whitespace");
    add_method("ltrim", m_trim<lum_string_ltrim_view>, 0, 0, "Remove leading whitespace");
    add_method("ltrim_inplace", m_trim_inplace<lum_string_ltrim_view>, 0, 0, "Remove leading whitespace");
    add_method("rtrim", m_trim<lum_string_rtrim_view>, 0, 0, "Remove trailing whitespace");
    add_method("rtrim_inplace", m_trim_inplace<lum_string_rtrim_view>, 0, 0, "Remove trailing whitespace");
    add_method("rstrip_lines", m_rstrip_lines, 0, 0, "Remove trailing whitespace from each line while preserving newlines");
    add_method("compress_whitespace", m_compress_whitespace, 0, 0,
        "Compress consecutive whitespace characters to a single space");
    add_method("compress_whitespace_inplace", m_compress_whitespace_inplace, 0, 0,
        "Compress consecutive whitespace characters to a single space in-place");
    add_method("starts", m_starts, 1, 1, "Check if string starts with specified prefix",
        {"prefix: string - Prefix to check if the string starts with"});
    add_method("ends", m_ends, 1, 1, "Check if string ends with specified suffix",
        {"suffix: string - The suffix to check if the string ends with"});
    add_method("substr", m_substr, 1, 2,
        "Extracts a substring from the original string with support for Python-style negative indices",
        {"start: int - Starting index for the substring (supports negative indices)"});
    add_method("substr_inplace", m_substr_inplace, 1, 2,
        "Extracts a substring from the string and modifies the original string in-place",
        {"start: int - Starting index of the substring (supports negative indices for Python-style slicing)"});
    add_method("reverse", m_reverse, 0, 0, "Return a reversed copy of the string");
    add_method("reverse_inplace", m_reverse_inplace, 0, 0, "Reverse the string in-place");
    add_method("contains", m_contains, 1, 1, "Check if string contains substring", {"sub: string - Substring to search for"});
    add_method("contains_ignoring_whitespaces", m_contains_ignoring_whitespaces, 1, 1, "Check if string contains substring",
        {"sub: string - Substring to search for"});
    add_method("split", m_split, 1, 3, "Split string into parts using specified delimiter",
        {"delim: string - Delimiter to split the string by",
         "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)",
         "strip: bool - Strip individual parts."});
    add_method("split_words", m_split_words, 0, 0,
        "Split string into words based on whitespace, automatically handling multiple spaces");
    add_method("smart_split", m_smart_split, 1, 3,
        "Smart split string into parts using a delimiter while ignoring delimiters inside strings, comments, and "
        "brackets",
        {"delim: string - Delimiter to split the string by",
         "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)",
         "strip: bool - Strip individual parts."});
    add_method("find", m_find, 1, 2, "Find the position of a substring within the string",
        {"substring: string - Substring to search for"});
    add_method("rfind", m_rfind, 1, 2, "Find last occurrence of substring in string, searching backwards",
        {"sub: string - Substring to search for"});
    add_method("find_first_of", m_find_first<true>, 1, 2,
        "Find first occurrence of any character from the given set within the string",
        {"chars: string - Set of characters to search for"});
    add_method("find_last_of", m_find_last<true>, 1, 2,
        "Finds the last occurrence of any character from the given set in the string",
        {"chars: string - Set of characters to search for"});
    add_method("find_first_not_of", m_find_first<false>, 1, 2, "Find first character not in specified set",
        {"chars: string - Set of characters to exclude from search"});
    add_method("find_last_not_of", m_find_last<false>, 1, 2,
        "Find the last character in the string that is not in the specified set of characters",
        {"chars: string - Set of characters to exclude from search"});
    add_method("ljust", m_justify<justify::left>, 1, 2,
        "Left-justify the string by padding it with the specified fill character to reach the given width",
        {"width: int - Target width for the string"});
    add_method("rjust", m_justify<justify::right>, 1, 2, "Right-justify string by padding with specified character",
        {"width: int - Target width for the right-justified string"});
    add_method("center", m_justify<justify::center>, 1, 2, "Center the string within specified width using padding characters",
        {"width: int - Target width for the centered string"});
    add_method("removeprefix", m_removeprefix, 1, 1, "Remove a prefix from the string if it starts with that prefix",
        {"prefix: string - The prefix to remove from the string"});
    add_method("removesuffix", m_removesuffix, 1, 1, "Remove specified suffix from string if it exists at the end",
        {"suffix: string - Suffix to remove from the end of the string"});
    add_method("removechars", m_filter_chars<false>, 1, 1, "Remove all occurrences of specified characters from the string",
        {"chars: string - Characters to remove from the string"});
    add_method("removecharsexcept", m_filter_chars<true>, 1, 1,
        "Remove all characters from the string except those specified in the parameter",
        {"chars: string - Characters to keep in the string"});
    add_method("extract", m_extract, 2, 2, "Extract substring between specified left and right delimiters",
        {"left: string - Left delimiter to search for", "right: string - Right delimiter to search for"});
    add_method("extract_quotes", m_extract_quotes, 0, 0, "Extract substring between the first pair of double quotes in the string");
    add_method("extract_all", m_extract_all, 2, 2, "Extract all substring between specified left and right delimiters",
        {"left: string - Left delimiter to search for", "right: string - Right delimiter to search for"});

    add_method("regex_match", lum_string_regex_match, 1, 1,
        "Check if the string matches a regular expression pattern. Input longer than the limit for the pattern (8 KB "
        "- 256 KB, see the docs) is rejected with a runtime error (issue #102)",
        {"pattern: string - Regular expression pattern to match against"})
        .flags = worker_method_flags;
    add_method("regex_search", lum_string_regex_search, 1, 1,
        "Search for a regular expression pattern in the string and return the starting position of the match. Input "
        "longer than the limit for the pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error (issue "
        "#102)",
        {"pattern: string - Regular expression pattern to search for"})
        .flags = worker_method_flags;
    add_method("regex_findall", lum_string_regex_findall, 1, 1,
        "Find all matches of a regex pattern in the string. Input longer than the limit for the pattern (8 KB - 256 "
        "KB, see the docs) is rejected with a runtime error (issue #102)",
        {"pattern: string - Regular expression pattern to search for"})
        .flags = worker_method_flags;
    add_method("regex_replace", lum_string_regex_replace, 2, 2,
        "Replace all occurrences of a regular expression pattern in the string. Input longer than the limit for the "
        "pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error (issue #102)",
        {"pat: string - Regular expression pattern to search for"})
        .flags = worker_method_flags;
    add_method("regex_replace_inplace", lum_string_regex_replace_inplace, 2, 2,
        "Replace all occurrences of a regular expression pattern in the string with a replacement text. Input longer "
        "than the limit for the pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error (issue #102)",
        {"pattern: string - Regular expression pattern to search for"});
    add_method("regex_split", lum_string_regex_split, 1, 1,
        "Split string using regular expression pattern and return results as JSON array. Input longer than the limit "
        "for the pattern (8 KB - 256 KB, see the docs) is rejected with a runtime error (issue #102)",
        {"pattern: string - Regular expression pattern to split the string"})
        .flags = worker_method_flags;
    add_method("regex_escape", lum_string_regex_escape, 0, 0, "Escape regex metacharacters in string")
        .flags = worker_method_flags;
}

void lum_std_string_namespace_init(lum_namespace& ns) {
    lum_function_def* def = lum_namespace::add_class<lum_std_string>(
        ns, construct_string, "Create a new string, optionally initialized with given values that are concatenated");
    if (def != nullptr) def->arg_docs.push_back("value: string - Initial string values to concatenate");
}
