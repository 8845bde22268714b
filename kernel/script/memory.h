// Kernel memory as scripts see it: the interface through which objects of
// other components lend memory to kernels, the view that struct access and
// buffer element access read through, and little-endian scalar access.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/compiler/kernel_types.h"
#include "runtime/value.h"

class lum_std_buffer;

// Memory that a native object lends to kernel launches. An object offers it
// through get_interface with lumptr_type_tag<lum_kernel_memory>::type_id().
class lum_kernel_memory {
public:
    virtual ~lum_kernel_memory() = default;
    // The address and byte size for the requested access; false when it cannot
    // be granted (a writable request on read-only memory).
    virtual bool get_memory(uint8_t** data, uint64_t* size, bool writable) = 0;
    // Adds delta (+1 or -1) to the count of running launches using it.
    virtual void add_lock(bool writable, int32_t delta) = 0;
    // True when the memory may not be bound now for that access.
    virtual bool is_in_use(bool writable) = 0;
};

// Type id of the interface (computed once per process).
uint64_t lum_kernel_memory_type_id();

// A window on kernel memory with the state of its launch locks.
struct lum_kernel_memory_view {
    uint8_t* data = nullptr;
    uint64_t size = 0;
    bool read_blocked = false;   // a running launch writes it
    bool write_blocked = false;  // a running launch uses it
    bool writable = true;
    std::string message{lum_buffer_in_use_message};
};

// The view of a std.buffer value or of an object with kernel memory
// (references followed); false for anything else.
bool lum_kernel_memory_view_of(lumvar* value, lum_kernel_memory_view& view);
// The view of a std.buffer's bytes.
lum_kernel_memory_view lum_kernel_buffer_view(lum_std_buffer& buffer);

// Scalar of `prim` at `offset`, with the view's lock and bounds checks.
bool lum_kernel_read_scalar(const lum_kernel_memory_view& view, uint64_t offset, lumk_prim prim, lumvar_shared& out,
                            std::string& error);
// Stores `value` converted to `prim` (ints accepted for floats) at `offset`.
bool lum_kernel_write_scalar(const lum_kernel_memory_view& view, uint64_t offset, lumk_prim prim, lumvar* value,
                             std::string& error);

// Little-endian load of one scalar as a script value (none for void, bool, struct).
lumvar_shared lum_kernel_scalar_load(const uint8_t* p, lumk_prim prim);
// Little-endian store of the low bytes of `bits` (nothing for void, bool, struct).
void lum_kernel_scalar_store(uint8_t* p, lumk_prim prim, uint64_t bits);
