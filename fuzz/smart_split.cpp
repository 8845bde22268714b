// libFuzzer target for smart split. Input: byte 0 selects strip (bit 0) and
// the part limit (bits 1-3: none, 0..5, or 2^64-2), byte 1 the delimiter
// length (low 3 bits), then the delimiter, then the text.
//
// Checks: at least one part and no more than the limit; without strip the
// parts joined by the delimiter give the text back; with strip no part has
// white space at either end; and the result equals a plain reference scan
// written straight from the rules (no caching of look-aheads).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "types/string_ops.h"
#include "types/string_split.h"

namespace {

bool is_space(char c) { return lum_string_is_space(static_cast<unsigned char>(c)); }

// The rules, scanned naively.
std::vector<std::string> reference(std::string_view t, std::string_view d, uint64_t max_parts, bool strip) {
    std::vector<std::string> out;
    auto emit = [&](size_t b, size_t e) {
        std::string_view p = t.substr(b, e - b);
        out.emplace_back(strip ? lum_string_trim_view(p) : p);
    };
    if (d.empty()) {
        out.emplace_back(t);
        return out;
    }
    enum { code, sq, dq, tsq, tdq, raw, line, block } mode = code;
    uint64_t paren = 0, bracket = 0, brace = 0, emitted = 0;
    size_t start = 0, i = 0;
    const size_t n = t.size();
    std::string close;
    while (i < n) {
        const char c = t[i];
        if (mode == line) {
            if (c == '\n') mode = code;
            ++i;
        } else if (mode == block) {
            if (c == '*' && i + 1 < n && t[i + 1] == '/') {
                mode = code;
                i += 2;
            } else {
                ++i;
            }
        } else if (mode == raw) {
            if (t.substr(i).starts_with(close)) {
                i += close.size();
                mode = code;
            } else {
                ++i;
            }
        } else if (mode == sq || mode == dq) {
            const char q = mode == sq ? '\'' : '"';
            if (c == q) {
                size_t k = i, count = 0;
                while (k > 0 && t[k - 1] == '\\') {
                    --k;
                    ++count;
                }
                if (count % 2 == 0) mode = code;
            }
            ++i;
        } else if (mode == tsq || mode == tdq) {
            const char q = mode == tsq ? '\'' : '"';
            if (n - i >= 3 && t[i] == q && t[i + 1] == q && t[i + 2] == q) {
                i += 3;
                mode = code;
            } else {
                ++i;
            }
        } else {
            if (c == '/' && i + 1 < n && t[i + 1] == '/') {
                mode = line;
                i += 2;
                continue;
            }
            if (c == '/' && i + 1 < n && t[i + 1] == '*') {
                mode = block;
                i += 2;
                continue;
            }
            if (n - i >= 3 && t.substr(i, 3) == "'''") {
                mode = tsq;
                i += 3;
                continue;
            }
            if (n - i >= 3 && t.substr(i, 3) == "\"\"\"") {
                mode = tdq;
                i += 3;
                continue;
            }
            if (c == 'R' && i + 2 < n && t[i + 1] == '"') {
                const size_t open = t.find('(', i + 2);
                bool ok = open != std::string_view::npos;
                for (size_t k = i + 2; ok && k < open; ++k)
                    if (is_space(t[k]) || t[k] == '\\' || t[k] == '(' || t[k] == ')') ok = false;
                if (ok) {
                    close = ")" + std::string(t.substr(i + 2, open - i - 2)) + "\"";
                    mode = raw;
                    i = open + 1;
                    continue;
                }
            } else if (c == '\'') {
                mode = sq;
                ++i;
                continue;
            } else if (c == '"') {
                mode = dq;
                ++i;
                continue;
            }
            if (c == '(') ++paren;
            if (c == ')' && paren > 0) --paren;
            if (c == '[') ++bracket;
            if (c == ']' && bracket > 0) --bracket;
            if (c == '{') ++brace;
            if (c == '}' && brace > 0) --brace;
            if (paren == 0 && bracket == 0 && brace == 0 && t.substr(i).starts_with(d) && emitted + 1 < max_parts) {
                emit(start, i);
                ++emitted;
                i += d.size();
                start = i;
                continue;
            }
            ++i;
        }
    }
    emit(start, n);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool strip = data[0] & 1;
    const unsigned limit_code = (data[0] >> 1) & 7;
    const uint64_t max_parts = limit_code == 0 ? UINT64_MAX : limit_code == 7 ? UINT64_MAX - 1 : limit_code - 1;
    size_t delim_size = data[1] & 7;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (delim_size > rest.size()) delim_size = rest.size();
    const std::string_view delim = rest.substr(0, delim_size);
    const std::string_view text = rest.substr(delim_size);

    const std::vector<std::string> parts = lum_string_smart_split(text, delim, max_parts, strip);
    if (parts.empty()) std::abort();
    if (max_parts >= 1 && parts.size() > max_parts) std::abort();
    if (!strip || delim.empty()) {
        std::string joined;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i) joined.append(delim);
            joined.append(parts[i]);
        }
        if (joined != text) std::abort();
    } else {
        for (const std::string& p : parts)
            if (!p.empty() && (is_space(p.front()) || is_space(p.back()))) std::abort();
    }
    if (parts != reference(text, delim, max_parts, strip)) std::abort();
    return 0;
}
