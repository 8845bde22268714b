#include "types/string_object.h"

#include <algorithm>

#include "runtime/vm.h"
#include "types/json_object.h"
#include "types/string_ops.h"

lum_std_string* lum_std_string::create() { return lum_pool_new<&lum_vm::pool_strings>(); }

void lum_std_string::destroy() {
    text.clear();
    if (text.capacity() > kept_capacity) text.shrink_to_fit();
    lum_pool_delete<&lum_vm::pool_strings>(this);
}

std::string lum_std_string::to_string() { return text; }

lumptr_strong<lumobject_base> lum_std_string::copy() {
    lum_std_string* s = create();
    if (s == nullptr) return {};
    s->text = text;
    return lumptr_strong<lumobject_base>(s);
}

bool lum_std_string::compare_zero() { return text.empty(); }

int64_t lum_std_string::size() { return static_cast<int64_t>(static_cast<uint32_t>(text.size())); }

lumvar_shared lum_std_string::get_member(int64_t index) { return get_char(index); }

void lum_std_string::set_member(int64_t index, lumvar_shared value) { set_at(index, std::move(value)); }

void lum_std_string::set_member(std::string_view key, lumvar_shared value) { replace_key(key, std::move(value)); }

lumvar_shared lum_std_string::get_char(int64_t index) {
    const int64_t n = static_cast<int64_t>(text.size());
    if (index < 0) index += n;
    if (index < 0 || index >= n) return lumvar_shared::from_string(std::string_view());
    return lumvar_shared::from_string(std::string_view(text).substr(static_cast<size_t>(index), 1));
}

void lum_std_string::set_at(int64_t index, lumvar_shared value) {
    // Copied first: the value may be this very string (s[1] = s).
    std::string piece;
    if (value) value->string_value(piece);
    value.reset();

    const int64_t n = static_cast<int64_t>(text.size());
    if (index < 0) index = std::max<int64_t>(index + n, 0);
    if (index > n) {
        // A text already longer than the limit is appended to at its end, never
        // overwritten or cut.
        const int64_t limit = std::max(lum_string_limit, n);
        if (index > limit) {
            lum_string_warn_index_clamped(index, limit);
            index = limit;
        }
        text.resize(static_cast<size_t>(index), ' ');
    }
    const size_t at = static_cast<size_t>(index);
    if (at + piece.size() > text.size()) {
        text.resize(at);
        text.append(piece);
    } else {
        text.replace(at, piece.size(), piece);
    }
}

void lum_std_string::replace_key(std::string_view key_view, lumvar_shared value) {
    if (key_view.empty()) {
        value.reset();
        lum_string_warn_empty_argument("std.string[]", "search key");
        return;
    }
    const std::string key(key_view);
    if (value) {
        lumvar_shared resolved;
        value->resolve(resolved);
        value = std::move(resolved);
    }
    if (value && value->type == LUMVAR_JSON) {
        // `value` holds the container for the whole walk.
        lum_std_json* list = value->json_container();
        if (list == nullptr) return;
        size_t pos = 0;
        size_t k = 0;
        std::string piece;
        while (k < list->entries.size()) {
            const size_t hit = std::string_view(text).find(key, pos);
            if (hit == std::string_view::npos) break;
            lumvar_shared element = list->entries[k].value;
            if (element)
                element->string_value(piece);
            else
                piece.clear();
            text.replace(hit, key.size(), piece);
            pos = hit + piece.size();
            ++k;
        }
        return;
    }
    std::string replacement;
    if (value) value->string_value(replacement);
    value.reset();
    lum_string_replace_all(text, key, replacement);
}
