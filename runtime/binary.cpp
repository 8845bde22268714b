#include "runtime/binary.h"

#include <cstring>
#include <stdexcept>

void write_varint(std::vector<uint8_t>& out, uint64_t value) {
    while (value >= 128) {
        out.push_back(static_cast<uint8_t>((value & 127) | 128));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

void write_zigzag(std::vector<uint8_t>& out, int64_t value) {
    const uint64_t u = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    write_varint(out, u);
}

void write_double(std::vector<uint8_t>& out, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

void write_string(std::vector<uint8_t>& out, std::string_view text) {
    write_varint(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void write_bytes(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    write_varint(out, size);
    if (size) out.insert(out.end(), data, data + size);
}

uint64_t lum_binary_reader::peek_varint(const uint8_t* data, uint64_t size, uint64_t position,
                                        uint64_t& byte_count) {
    uint64_t result = 0;
    unsigned shift = 0;
    uint64_t pos = position;
    for (;;) {
        if (pos >= size) throw std::runtime_error("Varint peek out of bounds");
        const uint8_t byte = data[pos++];
        result |= static_cast<uint64_t>(byte & 127) << shift;
        if (!(byte & 128)) break;
        shift += 7;
        // A tenth byte that still announces a successor would pass 64 bits.
        if (shift > 63) throw std::runtime_error("Varint too large");
    }
    byte_count = pos - position;
    return result;
}

uint64_t lum_binary_reader::read_varint() {
    uint64_t n = 0;
    const uint64_t v = peek_varint(data, size, position, n);
    position += n;
    return v;
}

int64_t lum_binary_reader::read_zigzag() {
    const uint64_t u = read_varint();
    return static_cast<int64_t>((u >> 1) ^ (0 - (u & 1)));
}

double lum_binary_reader::read_double() {
    if (remaining() < 8) throw std::runtime_error("Buffer underflow (trivial)");
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(data[position + i]) << (8 * i);
    position += 8;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

namespace {
// Reads the length of a counted string or byte run at the reader's position and
// checks that the varint, `length` bytes and `extra` terminator bytes fit in what
// remains. Returns the offset of the first content byte; the reader is not moved.
uint64_t checked_run(const lum_binary_reader& r, uint64_t& length, uint64_t extra, const char* fault) {
    uint64_t n = 0;
    length = lum_binary_reader::peek_varint(r.data, r.size, r.position, n);
    const uint64_t after = r.remaining() - n;  // n <= remaining(), peek succeeded
    if (length > after || after - length < extra) throw std::runtime_error(fault);
    return r.position + n;
}
}  // namespace

bool lum_binary_reader::check_section(std::string_view tag) {
    uint64_t length = 0;
    const uint64_t start = checked_run(*this, length, 1, "Buffer underflow in check_section");
    const bool match = length == tag.size() && std::memcmp(data + start, tag.data(), tag.size()) == 0;
    position = start + length + 1;
    return match;
}

std::string_view lum_binary_reader::read_string_view() {
    uint64_t length = 0;
    const uint64_t start = checked_run(*this, length, 1, "Buffer underflow in read_string_view");
    position = start + length + 1;
    return std::string_view(reinterpret_cast<const char*>(data + start), length);
}

std::span<const uint8_t> lum_binary_reader::read_bytes_view() {
    uint64_t length = 0;
    const uint64_t start = checked_run(*this, length, 0, "Buffer underflow in read_bytes_view");
    position = start + length;
    return std::span<const uint8_t>(data + start, length);
}

// ---------------------------------------------------------------------------
// The value writer and reader (section "v11")

#include <string>

#include "kernel/script/buffer.h"
#include "runtime/log.h"
#include "runtime/object.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/runtime_error.h"

bool lumvar::to_binary(std::vector<uint8_t>& out) {
    if (type == LUMVAR_REF) {
        lumvar_shared target;
        deref(target);
        // A chain that ends on nothing stands for no value.
        if (!target || target.get() == this || target->type == LUMVAR_REF) {
            lumvar_shared none = lumvar_shared::make();
            return none->to_binary(out);
        }
        return target->to_binary(out);
    }
    const size_t header_start = out.size();
    write_section(out, lum_value_section_tag);
    write_varint(out, type);
    switch (type) {
        case LUMVAR_ERR:
            runtime_warning("to_binary(): LUMVAR_ERR not supported.");
            return true;
        case LUMVAR_NONE:
            return true;
        case LUMVAR_INT:
            write_zigzag(out, payload.i);
            return true;
        case LUMVAR_FLOAT:
            write_double(out, payload.f);
            return true;
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            write_string(out, s != nullptr ? std::string_view(s->text) : std::string_view());
            return true;
        }
        case LUMVAR_BINARY: {
            const lum_std_buffer* b = buffer_object();
            if (b != nullptr && b->write_locks != 0) {
                lum_runtime_error(true, lum_buffer_in_use_message);
                return false;
            }
            if (b == nullptr)
                write_varint(out, 0);
            else
                write_bytes(out, b->bytes.data(), b->bytes.size());
            return true;
        }
        case LUMVAR_JSON: {
            lum_std_json* j = json_container();
            lumptr_strong<lumobject_base> keep(j);
            // A container that refuses (cycle, nesting, a value inside) leaves
            // no trace: its own section is already gone, the header goes too.
            if (j != nullptr && j->to_binary(out)) return true;
            out.resize(header_start);
            return false;
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* h = object_holder();
            lumptr_strong<lumobject_base> object;
            if (h != nullptr) object = h->object;
            if (!object) return true;
            return object->to_binary(out);
        }
        case LUMVAR_CLASS:
            runtime_warning("to_binary(): LUMVAR_CLASS not implemented.");
            return true;
        case LUMVAR_FUNCTION:
            runtime_warning("to_binary(): LUMVAR_FUNCTION not implemented.");
            return true;
        case LUMVAR_EXT_FUNCTION:
            runtime_warning("to_binary(): LUMVAR_EXT_FUNCTION not implemented.");
            return true;
        case LUMVAR_OBJECT_MEMBER_LITERAL:
            runtime_warning("to_binary(): LUMVAR_OBJECT_MEMBER_LITERAL not implemented.");
            return true;
        case LUMVAR_OBJECT_MEMBER_INDEX:
            runtime_warning("to_binary(): LUMVAR_OBJECT_MEMBER_INDEX not implemented.");
            return true;
        case LUMVAR_OBJECT_MEMBER_VAR:
            runtime_warning("to_binary(): LUMVAR_OBJECT_MEMBER_VAR not implemented.");
            return true;
        default:
            runtime_warning("to_binary(): Unknown type.");
            return true;
    }
}

bool lumvar::from_binary(lum_binary_reader& reader) {
    if (!reader.check_section(lum_value_section_tag)) return false;
    const uint64_t code = reader.read_varint();
    if (code >= 18 || code == LUMVAR_PRIMITIVE_END || code == LUMVAR_OBJECTS_END) {
        lum_get_log().error("from_binary(): unknown type ", code);
        return false;
    }
    if (code == LUMVAR_ERR || code >= LUMVAR_CLASS) {
        lum_get_log().warning("from_binary(): type ", code, " cannot be deserialized, reading it as None.");
        set_type_inline(LUMVAR_NONE);
        return true;
    }
    if (code == LUMVAR_OBJECT) {
        runtime_warning("Implement object deserialization in from_binary!");
        return false;
    }
    set_type_inline(static_cast<uint8_t>(code));
    switch (code) {
        case LUMVAR_INT:
            payload.i = reader.read_zigzag();
            return true;
        case LUMVAR_FLOAT:
            payload.f = reader.read_double();
            return true;
        case LUMVAR_STRING: {
            const std::string_view text = reader.read_string_view();
            if (lum_std_string* s = string_object()) s->text.assign(text.data(), text.size());
            return true;
        }
        case LUMVAR_BINARY: {
            const std::span<const uint8_t> bytes = reader.read_bytes_view();
            if (lum_std_buffer* b = buffer_object()) b->bytes.assign(bytes.begin(), bytes.end());
            return true;
        }
        case LUMVAR_JSON: {
            lum_std_json* j = json_container();
            if (j == nullptr) return false;
            lumptr_strong<lumobject_base> keep(j);
            return j->from_binary(reader);
        }
        default:  // none
            return true;
    }
}
