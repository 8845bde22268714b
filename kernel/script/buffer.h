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

    // Installs the pooled factory; the script methods come with the kernel
    // script interface.
    static void script_register();
};

// Initialiser of namespace "std" that publishes "std.buffer" as the function `buffer`.
void lum_std_buffer_namespace_init(lum_namespace& ns);
