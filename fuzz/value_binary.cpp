// libFuzzer target: reads arbitrary bytes as a stream of values in the binary
// value format, then writes back what was read. Malformed input may only end in
// std::runtime_error or a refusal; crashes and sanitizer reports are findings.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "runtime/binary.h"
#include "runtime/log.h"
#include "runtime/value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lum_make_default_log()->level_mask = 0;  // refusals log; keep the run quiet
    lum_binary_reader reader(data, size);
    lumvar_shared value = lumvar_shared::make();
    std::vector<uint8_t> out;
    try {
        while (reader.position < size && value->from_binary(reader)) value->to_binary(out);
    } catch (const std::runtime_error&) {
    }
    if (reader.position > size) __builtin_trap();
    return 0;
}
