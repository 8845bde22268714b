// The binary form of a "std.json" container, section "j11": the tag, the
// entry count (varint) and per entry the key (counted string; length 0 for an
// entry without a key or with an empty key) and the value in the value format
// (its own "v11" section; a nested container carries another "j11" section).
//
// Writing and reading walk nested containers recursively and share the
// thread's visit guard, which refuses cycles and nesting beyond 1024. A write
// that fails anywhere below the outermost container leaves nothing of the
// outermost container's section in the output.

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "runtime/binary.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"

namespace {

constexpr std::string_view json_section_tag = "j11";

// Nesting of container writes on this thread: 0 outside any write, so the
// call that raises it to 1 is the outermost one (whatever else may be using
// the thread's visit guard at the time).
uint32_t& binary_write_depth() {
    thread_local uint32_t depth = 0;
    return depth;
}

struct write_depth_scope {
    uint32_t& depth;
    explicit write_depth_scope(uint32_t& d) : depth(d) { ++depth; }
    ~write_depth_scope() { --depth; }
};

}  // namespace

bool lum_std_json::to_binary(std::vector<uint8_t>& out) {
    json_visit_guard& guard = json_visit_guard::for_thread();
    uint8_t& failed_below = json_visit_guard::thread_mark();
    json_visit_scope visit(guard, this);
    if (!visit.accepted()) {
        failed_below = 1;
        runtime_warning(guard.reason == json_visit_guard::reason_too_deep
                            ? "Cannot serialize JSON to binary: nesting exceeds the maximum depth of 1024."
                            : "Cannot serialize JSON to binary: the value contains a reference to itself (cycle).");
        return false;
    }
    uint32_t& depth = binary_write_depth();
    const bool outermost = depth == 0;
    write_depth_scope nested(depth);
    const size_t start = out.size();
    if (outermost) failed_below = 0;

    bool ok = entries.size() <= std::numeric_limits<uint32_t>::max();
    if (ok) {
        write_section(out, json_section_tag);
        write_varint(out, static_cast<uint32_t>(entries.size()));
        // By position: writing a value never changes the container, but a
        // container that shrank under us must not be read past its end.
        for (size_t i = 0; i < entries.size(); ++i) {
            lum_json_entry& e = entries[i];
            write_string(out, e.key ? std::string_view(*e.key) : std::string_view());
            lumvar_shared value = e.value ? e.value : lumvar_shared::make();
            if (!value->to_binary(out)) {
                ok = false;
                break;
            }
        }
    }
    if (!ok) failed_below = 1;
    if (outermost) {
        if (failed_below != 0) {
            ok = false;
            out.resize(start);
        }
        failed_below = 0;
    }
    return ok;
}

bool lum_std_json::from_binary(lum_binary_reader& reader) {
    clear();
    if (!reader.check_section(json_section_tag)) {
        lum_runtime_error(false, "invalid section.");
        return false;
    }
    json_visit_scope visit(json_visit_guard::for_thread(), this);
    if (!visit.accepted()) {
        lum_runtime_error(false, "JSON binary nesting exceeds the maximum depth of 1024.");
        return false;
    }
    uint64_t width = 0;
    const uint64_t declared = lum_binary_reader::peek_varint(reader.data, reader.size, reader.position, width);
    reader.position += width;
    const uint32_t count = static_cast<uint32_t>(declared);
    // Every entry takes more than two bytes, so a larger count cannot be real;
    // refusing it early keeps a forged count from driving allocations.
    if (count > reader.remaining() / 2) throw std::runtime_error("JSON member count larger than the remaining data");
    // Entries are appended directly; the index follows from them (keyed
    // appends in order: the last entry with a key is designated), also when
    // reading stops early.
    defer_key_index();
    for (uint32_t i = 0; i < count; ++i) {
        const std::string_view key = reader.read_string_view();
        entries.push_back(lum_json_entry{key.empty() ? nullptr : std::make_unique<std::string>(key),
                                         lumvar_shared::make()});
        lumvar_shared cell = entries.back().value;
        if (!cell->from_binary(reader)) return false;
    }
    return true;
}
