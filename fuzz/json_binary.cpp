// libFuzzer target: reads arbitrary bytes as the binary JSON section "j11"
// into a "std.json" container. Malformed input may only end in
// std::runtime_error or a refusal, never reading outside the bytes. What
// reads must write back, and the written bytes must read back into a
// container that writes the same bytes again.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "runtime/binary.h"
#include "runtime/log.h"
#include "runtime/value.h"
#include "types/json_object.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lum_make_default_log()->level_mask = 0;  // refusals log; keep the run quiet
    lumvar_shared value = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_std_json* c = value->json_container();
    lum_binary_reader reader(data, size);
    bool ok = false;
    try {
        ok = c->from_binary(reader);
    } catch (const std::runtime_error&) {
    }
    if (reader.position > size) __builtin_trap();
    if (!json_visit_guard::for_thread().stack.empty()) __builtin_trap();
    if (!ok) return 0;

    std::vector<uint8_t> first;
    if (!c->to_binary(first)) __builtin_trap();
    lumvar_shared again = lumvar_shared::make_typed(LUMVAR_JSON);
    lum_binary_reader second_reader(first.data(), first.size());
    if (!again->json_container()->from_binary(second_reader)) __builtin_trap();
    if (second_reader.position != first.size()) __builtin_trap();
    std::vector<uint8_t> second;
    if (!again->json_container()->to_binary(second) || second != first) __builtin_trap();
    return 0;
}
