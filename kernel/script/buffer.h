// "std.buffer": the growable byte array behind every binary value, which kernel
// launches use as memory. Running launches hold the two lock counts; value
// assignment, comparison and the binary value format refuse to read a buffer
// while its write-lock count is not 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/class_binding.h"
#include "runtime/pool.h"

class lum_namespace;

class lum_std_buffer : public lumobject<lum_std_buffer, CLASS_STRING<"std.buffer">>, public lum_pooled_class {
public:
    static constexpr uint32_t constructor_max_args = 0;
    // Capacity a released buffer may keep for reuse.
    static constexpr size_t kept_capacity = 1024;

    std::vector<uint8_t> bytes;
    uint32_t read_locks = 0;   // running launches that read the buffer
    uint32_t write_locks = 0;  // running launches that write the buffer

    // A new empty buffer: pooled when the pool-or-heap rule holds, else on the heap.
    static lum_std_buffer* create();

    // Slot 1: empties the buffer (giving back storage above 1024 bytes) and
    // returns it to its pool (or deletes it). The lock counts are not touched.
    void destroy() override;
    // Slot 4: the bytes up to the first zero byte (all of them without one);
    // "<std.buffer in use by a kernel launch>" while a launch writes it.
    std::string to_string() override;
    // Slot 16: true when the buffer holds no bytes.
    bool compare_zero() override;
    // Slot 17: the number of bytes.
    int64_t size() override;
    // Slot 8: b[i], one byte as an int (negative i counts from the end; none
    // outside the buffer).
    lumvar_shared get_member(int64_t index) override;
    // Slot 11: b[i] = v, the low 8 bits of v's integer.
    void set_member(int64_t index, lumvar_shared value) override;
    using lumobject::get_member;
    using lumobject::set_member;

    // True while a running launch uses the buffer (writers refuse).
    bool in_use() const noexcept { return read_locks != 0 || write_locks != 0; }
    // True while a running launch writes the buffer (readers refuse).
    bool written_by_launch() const noexcept { return write_locks != 0; }

    // Installs the pooled factory and adds the nine script methods.
    static void script_register();
};

// The buffer behind a string, binary, json or object value, or null. An object
// value whose object is gone becomes none. References are not followed.
lum_std_buffer* lumvar_to_std_buffer(lumvar* value);

// Initialiser of namespace "std" that publishes "std.buffer" as the function `buffer`.
void lum_std_buffer_namespace_init(lum_namespace& ns);
