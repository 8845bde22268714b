#include "types/string_ops.h"

#include <string>

#include "runtime/log.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/runtime_error.h"

namespace {

// Appends `text` with every occurrence of `search` replaced; true when one was found.
bool append_replaced(std::string& out, std::string_view text, std::string_view search, std::string_view replacement) {
    size_t pos = 0;
    bool found = false;
    while (true) {
        const size_t hit = text.find(search, pos);
        if (hit == std::string_view::npos) break;
        found = true;
        out.append(text.data() + pos, hit - pos);
        out.append(replacement);
        pos = hit + search.size();
    }
    out.append(text.data() + pos, text.size() - pos);
    return found;
}

}  // namespace

bool lum_string_replace_all(std::string& text, std::string_view search, std::string_view replacement) {
    if (search.empty() || search.size() > text.size()) return false;
    const std::string_view view(text);
    const size_t first = view.find(search);
    if (first == std::string_view::npos) return false;
    // The pieces are read from the old text while the new one is built, so
    // `search` and `replacement` may view the old text.
    std::string built;
    built.reserve(text.size());
    built.append(view.data(), first);
    built.append(replacement);
    append_replaced(built, view.substr(first + search.size()), search, replacement);
    text.swap(built);
    return true;
}

bool lum_string_replace_all_into(std::string& out, std::string_view text, std::string_view search,
                                 std::string_view replacement) {
    out.clear();
    if (search.empty() || search.size() > text.size()) {
        out.assign(text);
        return false;
    }
    const size_t first = text.find(search);
    if (first == std::string_view::npos) {
        out.assign(text);
        return false;
    }
    out.reserve(text.size());
    out.append(text.data(), first);
    out.append(replacement);
    append_replaced(out, text.substr(first + search.size()), search, replacement);
    return true;
}

void lum_string_warn_empty_argument(std::string_view method, std::string_view what) {
    std::string message;
    message.reserve(method.size() + what.size() + 48);
    message.append(method).append(": empty ").append(what).append(" - nothing to search for, call ignored.");
    runtime_warning(message);
}

void lum_string_warn_index_clamped(int64_t index, int64_t used) {
    std::string message = "std.string[]: index ";
    message += std::to_string(index);
    message += " clamped to ";
    message += std::to_string(used);
    runtime_warning(message);
}

void lum_string_warn_width_clamped(std::string_view method, int64_t width) {
    std::string message(method);
    message += ": width ";
    message += std::to_string(width);
    message += " clamped to ";
    message += std::to_string(lum_string_limit);
    runtime_warning(message);
}

void lum_string_log_missing_right_delimiter(lum_log_base& log, std::string_view right) {
    log.warning("extract_all: Missing right delimiter: ", right);
}

std::string lum_string_trim_copy(std::string_view text) { return std::string(lum_string_trim_view(text)); }

lum_string_stripped lum_string_strip_whitespace(std::string_view text) {
    lum_string_stripped out;
    out.text.reserve(text.size());
    out.positions.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (lum_string_is_space(static_cast<unsigned char>(text[i]))) continue;
        out.text.push_back(text[i]);
        out.positions.push_back(i);
    }
    return out;
}

bool lum_string_replace_ignoring_whitespace_once(std::string& text, std::string_view search,
                                                 std::string_view replacement, uint64_t start, uint64_t& next) {
    const lum_string_stripped t = lum_string_strip_whitespace(text);
    const lum_string_stripped s = lum_string_strip_whitespace(search);
    if (s.text.empty() || t.text.empty()) return false;
    size_t k0 = 0;
    while (k0 < t.positions.size() && t.positions[k0] < start) ++k0;
    if (k0 == t.positions.size() || s.text.size() > t.text.size() - k0) return false;
    const size_t k = std::string_view(t.text).find(s.text, k0);
    if (k == std::string_view::npos) return false;
    const uint64_t first = t.positions[k];
    const uint64_t last = t.positions[k + s.text.size() - 1];
    // The replacement may view `text`: copied before the text changes.
    const std::string with(replacement);
    text.replace(first, last - first + 1, with);
    next = first + with.size();
    return true;
}

void lum_string_replace_ignoring_whitespace_all(std::string& out, std::string_view text, std::string_view search,
                                                std::string_view replacement) {
    // Repeating the single replacement from the position after the last
    // inserted replacement never looks at replaced bytes again, so every match
    // is a non-overlapping match of the stripped search in the stripped
    // original, found left to right.
    out.clear();
    const lum_string_stripped s = lum_string_strip_whitespace(search);
    if (s.text.empty()) {
        out.assign(text);
        return;
    }
    const lum_string_stripped t = lum_string_strip_whitespace(text);
    const std::string_view stripped(t.text);
    out.reserve(text.size());
    size_t copied = 0;  // bytes of `text` already emitted
    size_t k = 0;
    while (k + s.text.size() <= stripped.size()) {
        const size_t hit = stripped.find(s.text, k);
        if (hit == std::string_view::npos) break;
        const size_t first = t.positions[hit];
        const size_t last = t.positions[hit + s.text.size() - 1];
        out.append(text.data() + copied, first - copied);
        out.append(replacement);
        copied = last + 1;
        k = hit + s.text.size();
    }
    out.append(text.data() + copied, text.size() - copied);
}

uint64_t lum_string_pad_count(int64_t width, uint64_t length, std::string_view method) {
    if (width < 1 || static_cast<uint64_t>(width) <= length) return 0;
    if (width <= lum_string_limit) return static_cast<uint64_t>(width) - length;
    lum_string_warn_width_clamped(method, width);
    const uint64_t limit = static_cast<uint64_t>(lum_string_limit);
    return length >= limit ? 0 : limit - length;
}

void lum_string_list_push(lum_std_json* list, std::string_view part) {
    // The new cell is none, so setting its type only builds the (empty) string
    // object; the text is then written once, without the general assignment.
    lumvar_shared& cell = list->emplace_back();
    cell->set_type(LUMVAR_STRING);
    if (lum_std_string* s = cell->string_object()) s->text.append(part.data(), part.size());
}
