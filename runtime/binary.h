// Primitives of the binary value format and the read cursor over serialised bytes.
//
// Byte stream primitives: unsigned LEB128 varints (at most 10 bytes), zigzag signed
// integers, little-endian doubles, counted strings with a trailing 0x00 that the
// length does not count, counted byte runs, and sections (a counted string holding
// a tag such as "v11"). The value writer and reader themselves are
// `lumvar::to_binary` / `lumvar::from_binary` (runtime/value.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Tag of the section that starts every serialised value.
inline constexpr std::string_view lum_value_section_tag = "v11";

// Appends `value` as an unsigned LEB128 varint.
void write_varint(std::vector<uint8_t>& out, uint64_t value);
// Appends `value` zigzag-encoded as a varint.
void write_zigzag(std::vector<uint8_t>& out, int64_t value);
// Appends the 8 bytes of `value` (IEEE-754 binary64, little-endian).
void write_double(std::vector<uint8_t>& out, double value);
// Appends a counted string: varint length, the bytes, one 0x00.
void write_string(std::vector<uint8_t>& out, std::string_view text);
// Appends a counted byte run: varint length and the bytes.
void write_bytes(std::vector<uint8_t>& out, const uint8_t* data, size_t size);
// Appends a section header (a counted string holding the tag).
inline void write_section(std::vector<uint8_t>& out, std::string_view tag) { write_string(out, tag); }

// A cursor over bytes it does not own. Structural faults (truncated or malformed
// input) throw std::runtime_error with one of the texts "Varint too large",
// "Varint peek out of bounds", "Buffer underflow in check_section",
// "Buffer underflow in read_string_view", "Buffer underflow in read_bytes_view",
// "Buffer underflow (trivial)"; the position is then left where it was before the
// faulty item. Lengths are checked against the bytes that remain, never by adding
// to the position, so no length can wrap around.
struct lum_binary_reader {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    uint64_t position = 0;

    lum_binary_reader() = default;
    lum_binary_reader(const uint8_t* d, uint64_t n, uint64_t pos = 0) : data(d), size(n), position(pos) {}

    // Bytes left after the current position (0 when the position is past the end).
    uint64_t remaining() const { return position < size ? size - position : 0; }

    // Decodes the varint at `position` without moving anything; `byte_count`
    // receives the number of bytes it takes.
    static uint64_t peek_varint(const uint8_t* data, uint64_t size, uint64_t position, uint64_t& byte_count);

    // Reads a varint and moves past it.
    uint64_t read_varint();
    // Reads a zigzag-encoded signed integer.
    int64_t read_zigzag();
    // Reads 8 bytes as a little-endian double.
    double read_double();
    // Reads a counted string; true when it equals `tag`. The cursor moves past the
    // string and its terminator whether it matched or not.
    bool check_section(std::string_view tag);
    // Reads a counted string and returns a view of its bytes (terminator skipped,
    // not inspected).
    std::string_view read_string_view();
    // Reads a counted byte run and returns a view of its bytes.
    std::span<const uint8_t> read_bytes_view();
};
