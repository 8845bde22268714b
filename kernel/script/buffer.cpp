#include "kernel/script/buffer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "kernel/script/convert.h"
#include "kernel/script/memory.h"
#include "kernel/script/test_control.h"
#include "runtime/namespace.h"
#include "runtime/vm.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"

constinit std::atomic<uint64_t> lum_std_buffer_max_bytes{uint64_t{1} << 30};

namespace {

lumvar_shared in_use_error() { return lum_runtime_error(true, lum_buffer_in_use_message); }

lumvar_shared self_value(lum_std_buffer* self) { return lumvar_shared::from_object(self); }

// The refusal of a size above lum_std_buffer_max_bytes, or "" when the size
// fits. Callers check before anything is allocated or changed.
std::string too_large(const char* method, uint64_t size) {
    const uint64_t limit = lum_std_buffer_max_bytes.load(std::memory_order_relaxed);
    if (size <= limit) return {};
    return std::string(method) + "() size " + std::to_string(size) + " is too large (at most " +
           std::to_string(limit) + " bytes)";
}

// As too_large for the buffer grown by `added` bytes (no overflow on the way).
std::string growth_too_large(const char* method, const lum_std_buffer& self, uint64_t added) {
    const uint64_t size = self.bytes.size();
    const uint64_t most = std::numeric_limits<uint64_t>::max();
    const uint64_t sum = added > most - size ? most : size + added;
    return too_large(method, sum);
}

uint8_t byte_of(lumvar* v) { return static_cast<uint8_t>(lum_kernel_int_arg(v)); }

// The element type named by a read/write argument; LUMK_PRIM_NONE when refused.
lumk_prim element_type(lumvar* v, std::string& name) {
    name = lum_kernel_text_arg(v);
    const lumk_prim p = lumk_prim_from_name(name);
    return p >= LUMK_PRIM_I8 && p <= LUMK_PRIM_F64 ? p : static_cast<lumk_prim>(LUMK_PRIM_NONE);
}

// Steps shared by read and write: element type, index, bounds. On success the
// byte offset of the element; on failure the error was raised.
bool locate_element(lum_std_buffer* self, std::vector<lumvar_shared>& args, const char* method, lumk_prim& prim,
                    uint64_t& offset) {
    std::string name;
    prim = element_type(args[0].get(), name);
    if (prim == LUMK_PRIM_NONE) {
        lum_runtime_error(true, "unknown element type '" + name + "' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)");
        return false;
    }
    lumvar* index = lum_kernel_follow_refs(args[1].get());
    if (index == nullptr || index->type != LUMVAR_INT || index->payload.i < 0) {
        lum_runtime_error(true, std::string(method) + "() expects an element index >= 0");
        return false;
    }
    const uint64_t size = lumk_prim_size(prim);
    const uint64_t count = self->bytes.size() / size;
    const uint64_t i = static_cast<uint64_t>(index->payload.i);
    if (i >= count) {
        lum_runtime_error(true, "index " + std::to_string(i) + " is out of range (" + std::to_string(count) +
                                    " elements of " + lumk_prim_name(prim) + ")");
        return false;
    }
    offset = i * size;
    return true;
}

lumvar_shared m_size(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>&) {
    return lumvar_shared::from_int(static_cast<int64_t>(self->bytes.size()));
}

lumvar_shared m_clear(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>&) {
    if (self->in_use()) return in_use_error();
    self->bytes.clear();
    return self_value(self);
}

lumvar_shared m_resize(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    if (self->in_use()) return in_use_error();
    lumvar* size = lum_kernel_follow_refs(args[0].get());
    if (size == nullptr || size->type != LUMVAR_INT || size->payload.i < 0)
        return lum_runtime_error(true, "resize() expects a size >= 0");
    if (std::string refusal = too_large("resize", static_cast<uint64_t>(size->payload.i)); !refusal.empty())
        return lum_runtime_error(true, refusal);
    const uint8_t fill = args.size() > 1 ? byte_of(args[1].get()) : 0;
    self->bytes.resize(static_cast<size_t>(size->payload.i), fill);
    return self_value(self);
}

lumvar_shared m_fill(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    if (self->in_use()) return in_use_error();
    std::fill(self->bytes.begin(), self->bytes.end(), byte_of(args[0].get()));
    return self_value(self);
}

lumvar_shared m_push(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    if (self->in_use()) return in_use_error();
    if (std::string refusal = growth_too_large("push", *self, args.size()); !refusal.empty())
        return lum_runtime_error(true, refusal);
    for (auto& a : args) self->bytes.push_back(byte_of(a.get()));
    return self_value(self);
}

lumvar_shared m_append(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    if (self->in_use()) return in_use_error();
    lumvar* data = lum_kernel_follow_refs(args[0].get());
    if (lum_std_buffer* other = data != nullptr ? lumvar_to_std_buffer(data) : nullptr) {
        if (other->written_by_launch()) return in_use_error();
        if (std::string refusal = growth_too_large("append", *self, other->bytes.size()); !refusal.empty())
            return lum_runtime_error(true, refusal);
        const std::vector<uint8_t> copy = other->bytes;
        self->bytes.insert(self->bytes.end(), copy.begin(), copy.end());
    } else if (data != nullptr && data->type == LUMVAR_STRING) {
        const std::string_view text = data->string_view_value();
        if (std::string refusal = growth_too_large("append", *self, text.size()); !refusal.empty())
            return lum_runtime_error(true, refusal);
        self->bytes.insert(self->bytes.end(), text.begin(), text.end());
    } else if (data != nullptr && data->type == LUMVAR_JSON) {
        lum_std_json* list = data->json_container();
        const int64_t n = list != nullptr ? list->size() : 0;
        if (std::string refusal = growth_too_large("append", *self, n > 0 ? static_cast<uint64_t>(n) : 0);
            !refusal.empty())
            return lum_runtime_error(true, refusal);
        for (int64_t i = 0; list != nullptr && i < list->size(); ++i) {
            lumvar_shared entry = list->at(i);
            self->bytes.push_back(byte_of(entry.get()));
        }
    } else {
        return lum_runtime_error(true, "append() expects a std.buffer, a string or a list of byte values");
    }
    return self_value(self);
}

lumvar_shared m_string(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    if (self->written_by_launch()) return in_use_error();
    const int64_t n = static_cast<int64_t>(self->bytes.size());
    const int64_t start = !args.empty() ? lum_kernel_int_arg(args[0].get()) : 0;
    const int64_t count = args.size() > 1 ? lum_kernel_int_arg(args[1].get())
                                          : static_cast<int64_t>(static_cast<uint64_t>(n) - static_cast<uint64_t>(start));
    if (start < 0 || count < 0 || start > n || count > n - start)
        return lum_runtime_error(true, "string(" + std::to_string(start) + ", " + std::to_string(count) +
                                           ") is out of range (buffer size " + std::to_string(n) + ")");
    const auto* p = reinterpret_cast<const char*>(self->bytes.data()) + start;
    return lumvar_shared::from_string(std::string_view(p, static_cast<size_t>(count)));
}

lumvar_shared m_read(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    lumk_prim prim = LUMK_PRIM_NONE;
    uint64_t offset = 0;
    if (!locate_element(self, args, "read", prim, offset)) return lumvar_shared::make();
    lumvar_shared out;
    std::string error;
    if (!lum_kernel_read_scalar(lum_kernel_buffer_view(*self), offset, prim, out, error)) return lum_runtime_error(true, error);
    return out;
}

lumvar_shared m_write(lum_std_buffer* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
    lumk_prim prim = LUMK_PRIM_NONE;
    uint64_t offset = 0;
    if (!locate_element(self, args, "write", prim, offset)) return lumvar_shared::make();
    std::string error;
    if (!lum_kernel_write_scalar(lum_kernel_buffer_view(*self), offset, prim, args[2].get(), error))
        return lum_runtime_error(true, error);
    return self_value(self);
}

}  // namespace

lum_std_buffer* lumvar_to_std_buffer(lumvar* value) {
    if (value == nullptr) return nullptr;
    switch (value->type) {
        case LUMVAR_STRING:
        case LUMVAR_BINARY:
        case LUMVAR_JSON:
        case LUMVAR_OBJECT: {
            lumobject_base* object = value->object_raw();
            if (object != nullptr && object->is_type(lumptr_type_tag<lum_std_buffer>::type_id()))
                return static_cast<lum_std_buffer*>(object);
            return nullptr;
        }
        default:
            return nullptr;
    }
}

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

lumvar_shared lum_std_buffer::get_member(int64_t index) {
    if (written_by_launch()) return in_use_error();
    const int64_t n = static_cast<int64_t>(bytes.size());
    const int64_t i = index < 0 ? index + n : index;
    if (i < 0 || i >= n) return lumvar_shared::make();
    return lumvar_shared::from_int(bytes[static_cast<size_t>(i)]);
}

void lum_std_buffer::set_member(int64_t index, lumvar_shared value) {
    if (in_use()) {
        in_use_error();
        return;
    }
    const int64_t n = static_cast<int64_t>(bytes.size());
    const int64_t i = index < 0 ? index + n : index;
    if (i < 0 || i >= n) {
        lum_runtime_error(true, "Index " + std::to_string(index) + " is out of range!");
        return;
    }
    bytes[static_cast<size_t>(i)] = byte_of(value.get());
}

void lum_std_buffer::script_register() {
    set_factory([] { return lumptr_strong<lum_std_buffer>(create()); });
    add_function("size", m_size, 0, 0, "Returns the number of bytes stored in the buffer.");
    add_function("clear", m_clear, 0, 0, "Removes all bytes from the buffer and returns the buffer.");
    add_function("resize", m_resize, 1, 2,
                 "Sets the number of bytes. New bytes are set to fill (default 0). Returns the buffer.")
        .arg_docs = {"size: int", "fill: int - optional byte value"};
    add_function("fill", m_fill, 1, 1, "Sets every byte to value. Returns the buffer.").arg_docs = {
        "value: int - byte value"};
    add_function("push", m_push, 1, 999, "Appends bytes (values are truncated to 8 bit). Returns the buffer.")
        .arg_docs = {"...: int - byte values"};
    add_function("append", m_append, 1, 1,
                 "Appends the bytes of a std.buffer, the bytes of a string or a list of byte values. Returns the "
                 "buffer.")
        .arg_docs = {"data: std.buffer | string | json"};
    add_function("string", m_string, 0, 2,
                 "The bytes as a string, byte exact (also zero bytes; converting the buffer with std.string() stops "
                 "at the first zero byte).")
        .arg_docs = {"start: int - optional first byte", "count: int - optional number of bytes"};
    add_function("read", m_read, 2, 2,
                 "Reads element index of the buffer viewed as an array of type (little endian, like kernels see it).")
        .arg_docs = {"type: string - i8, u8, i16, u16, i32, u32, i64, u64, f32, f64",
                     "index: int - element index (byte offset = index * size of type)"};
    add_function("write", m_write, 3, 3,
                 "Writes element index of the buffer viewed as an array of type. Integers must fit into the type. "
                 "Returns the buffer.")
        .arg_docs = {"type: string", "index: int", "value: number"};
}

void lum_std_buffer_namespace_init(lum_namespace& ns) {
    lum_namespace::add_class<lum_std_buffer>(
        ns,
        [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
            lumptr_strong<lum_std_buffer> buffer = lum_std_buffer::tables().factory();
            return lumvar_shared::from_object(buffer.get());
        },
        "Instantiate a new lum_std_buffer object");
}
