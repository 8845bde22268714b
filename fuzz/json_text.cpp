// libFuzzer target: parses arbitrary bytes as JSON text into a "std.json"
// container and prints it back. Any input must end in a container or a
// refusal (parse errors are log lines); crashes, hangs and sanitizer reports
// are findings. What parses must print, and the printed text must parse back
// into a container that prints identically.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/log.h"
#include "runtime/value.h"
#include "types/json_object.h"
#include "types/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lum_make_default_log()->level_mask = 0;  // refusals log; keep the run quiet
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    lumvar_shared value = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* c = value->json_container();
    if (!c->from_string(input, true)) {
        if (!c->entries.empty()) __builtin_trap();  // a failed parse leaves nothing behind
        return 0;
    }
    std::string compact, pretty;
    json_to_text(c, compact, true);
    json_to_text(c, pretty, false);
    if (compact.empty() || pretty.empty()) __builtin_trap();

    lumvar_shared again = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* d = again->json_container();
    if (!d->from_string(compact, true)) __builtin_trap();
    std::string reprinted;
    json_to_text(d, reprinted, true);
    if (reprinted != compact) __builtin_trap();
    return 0;
}
