// The object behind every string value: one owned byte string.
//
// Objects come from the current VM's string pool (built 255 at a time when a
// chunk is made, reused without being rebuilt) when the calling thread owns the
// VM lock and pooling is not suspended, else from the heap. Releasing the last
// reference empties the text (giving back buffers above 1024 bytes) and returns
// the object to its pool (through the pool's deferred ring from other threads),
// or deletes a heap object.
//
// Indexing: s[i] reads one byte (negative i counts from the end, out of range
// gives ""), s[i] = v writes v's text at i, s["key"] = v replaces the key's
// occurrences; reading s["name"] looks up a method like any member read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/class_binding.h"
#include "runtime/pool.h"

class lum_namespace;

class lum_std_string : public lumobject<lum_std_string, CLASS_STRING<"std.string">>, public lum_pooled_class {
public:
    static constexpr uint32_t constructor_max_args = 999;
    // Capacity a released object may keep for reuse.
    static constexpr size_t kept_capacity = 1024;

    std::string text;

    // A new empty object: pooled when the pool-or-heap rule holds, else on the heap.
    static lum_std_string* create();

    // Slot 1: empties the object and returns it to its pool (or deletes it).
    void destroy() override;
    // Slot 4: a copy of the text.
    std::string to_string() override;
    // Slot 6: a new object holding a copy of the text.
    lumptr_strong<lumobject_base> copy() override;

    using lumobject::get_member;
    using lumobject::has_member;
    using lumobject::set_member;
    // Slot 8: get_char.
    lumvar_shared get_member(int64_t index) override;
    // Slot 11: set_at.
    void set_member(int64_t index, lumvar_shared value) override;
    // Slot 12: replace_key.
    void set_member(std::string_view key, lumvar_shared value) override;

    // Slot 16: true when the text is empty.
    bool compare_zero() override;
    // Slot 17: the length in bytes (low 32 bits).
    int64_t size() override;

    // A new string value holding the byte at `index` (negative counts from the
    // end), or "" when the index is outside the text.
    lumvar_shared get_char(int64_t index);
    // Writes the value's text at `index`: a negative index counts from the end
    // (and becomes 0 when still negative); past the end the text is padded
    // with spaces, the position being clamped (with a warning) to
    // max(1048576, length); the text is overwritten in place when the value
    // fits, else cut at the index and the value appended.
    void set_at(int64_t index, lumvar_shared value);
    // Replaces the occurrences of `key`: one by one by the elements of a json
    // value, else all of them by the value's text. An empty key warns.
    void replace_key(std::string_view key, lumvar_shared value);

    // Installs the factory and the 58 script methods (types/string_methods.cpp).
    static void script_register();
};

// Initialiser of namespace "std" for the class: registers it and publishes the
// constructor function `string` (types/string_methods.cpp).
void lum_std_string_namespace_init(lum_namespace& ns);
