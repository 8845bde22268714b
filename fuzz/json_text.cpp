// libFuzzer target: parses arbitrary bytes as JSON text into a "std.json"
// container and prints it back. Any input must end in a container or a
// refusal (parse errors are log lines); crashes, hangs and sanitizer reports
// are findings. Beyond that the target checks:
//   - the container built from the parser's events equals the conversion of
//     the library's document (same printed text), or both fail alike;
//   - the printer writes exactly what the library writes for that document;
//   - printed text parses back into a container that prints identically.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/log.h"
#include "runtime/value.h"
#include "types/json_object.h"
#include "types/json_text.h"

namespace {

// The text of `c` as the library prints json_to_document's result.
std::string reference_text(lum_std_json* c, bool compact) {
    json_visit_guard visits;
    return json_to_document(c, visits)
        .dump(compact ? -1 : 4, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lum_make_default_log()->level_mask = 0;  // refusals log; keep the run quiet
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    lumvar_shared value = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* c = value->json_container();
    const bool ok = c->from_string(input, true);

    // The same text through the library's document (whole text only: the
    // retry on the embedded span is the same code either way).
    nlohmann::json document;
    json_parse_error error;
    lumvar_shared other = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* d = other->json_container();
    const bool whole = !input.empty() && parse_json_text(input, document, error);
    const bool converted = whole && document_to_json(d, document, 0);
    if (whole && ok != converted) __builtin_trap();

    if (!ok) {
        if (!c->entries.empty()) __builtin_trap();  // a failed parse leaves nothing behind
        return 0;
    }
    std::string compact, pretty;
    json_to_text(c, compact, true);
    json_to_text(c, pretty, false);
    if (compact.empty() || pretty.empty()) __builtin_trap();
    if (compact != reference_text(c, true) || pretty != reference_text(c, false)) __builtin_trap();
    if (converted) {
        std::string expected;
        json_to_text(d, expected, true);
        if (expected != compact) __builtin_trap();
    }

    lumvar_shared again = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* e = again->json_container();
    if (!e->from_string(compact, true)) __builtin_trap();
    std::string reprinted;
    json_to_text(e, reprinted, true);
    if (reprinted != compact) __builtin_trap();
    return 0;
}
