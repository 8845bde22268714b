#include "kernel/script/buffer.h"

#include <algorithm>
#include <functional>

#include "runtime/namespace.h"
#include "runtime/vm.h"

lum_std_buffer* lum_std_buffer::create() {
    lum_std_buffer* buffer = lum_pool_new<&lum_vm::pool_buffers>();
    // A pooled object is reused as it was released, which leaves the lock
    // counts as they were: a new buffer is empty and not locked.
    buffer->bytes.clear();
    buffer->read_locks = 0;
    buffer->write_locks = 0;
    return buffer;
}

void lum_std_buffer::destroy() {
    bytes.clear();
    if (bytes.capacity() > kept_capacity) std::vector<uint8_t>().swap(bytes);
    lum_pool_delete<&lum_vm::pool_buffers>(this);
}

std::string lum_std_buffer::to_string() {
    if (write_locks != 0) return "<std.buffer in use by a kernel launch>";
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return std::string(bytes.begin(), end);
}

bool lum_std_buffer::compare_zero() { return bytes.empty(); }

int64_t lum_std_buffer::size() { return static_cast<int64_t>(bytes.size()); }

void lum_std_buffer::script_register() {
    set_factory([] { return lumptr_strong<lum_std_buffer>(create()); });
}

void lum_std_buffer_namespace_init(lum_namespace& ns) {
    lum_namespace::add_class<lum_std_buffer>(
        ns,
        [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
            const auto& factory = lum_std_buffer::tables().factory;
            if (!factory) throw std::bad_function_call();
            lumptr_strong<lum_std_buffer> buffer = factory();
            return lumvar_shared::from_object(buffer.get());
        },
        "Instantiate a new lum_std_buffer object");
}
