// Launch argument binding: one pointer argument bound to memory that stays put
// while lane runners use it, and the state that holds one launch with its
// bindings from set-up until its results are taken.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/object.h"
#include "runtime/ptr.h"
#include "runtime/value.h"

class lum_std_buffer;
class lum_kernel_memory;
class lumk_launch;

struct lum_kernel_arg_binding {
    uint8_t* data = nullptr;
    uint64_t size = 0;
    lumptr_strong<lumobject_base> keep_alive;  // the bound buffer, memory object or string
    lum_std_buffer* buffer = nullptr;
    lum_kernel_memory* memory = nullptr;
    std::shared_ptr<std::string> text_copy;    // a const string copied for the launch
    bool writable = false;
};

// Binds the (already dereferenced) argument. False with `error` set when it
// cannot be bound; no lock count changes either way.
bool lum_kernel_bind_memory_arg(lumvar* value, bool writable, bool copy_string, lum_kernel_arg_binding& out,
                                std::string& error);

struct lum_kernel_launch_state {
    std::shared_ptr<lumk_launch> launch;
    std::vector<lum_kernel_arg_binding> bindings;
    bool locked = false;
    bool released = false;

    // Adds delta to the lock count of every bound buffer and memory object.
    void add_locks(int32_t delta);
    // Lowers the locks (when raised) and drops the bindings; once only.
    void release();
};
