#include "kernel/script/memory.h"

#include <cstring>

#include "kernel/script/buffer.h"
#include "kernel/script/convert.h"
#include "runtime/object.h"

uint64_t lum_kernel_memory_type_id() { return lumptr_type_tag<lum_kernel_memory>::type_id(); }

lum_kernel_memory_view lum_kernel_buffer_view(lum_std_buffer& buffer) {
    lum_kernel_memory_view view;
    view.data = buffer.bytes.data();
    view.size = buffer.bytes.size();
    view.read_blocked = buffer.written_by_launch();
    view.write_blocked = buffer.in_use();
    return view;
}

bool lum_kernel_memory_view_of(lumvar* value, lum_kernel_memory_view& view) {
    value = lum_kernel_follow_refs(value);
    if (value == nullptr || value->type == LUMVAR_REF) return false;
    if (lum_std_buffer* b = lumvar_to_std_buffer(value)) {
        view = lum_kernel_buffer_view(*b);
        return true;
    }
    if (value->type != LUMVAR_OBJECT) return false;
    lumobject_base* object = value->object_raw();
    if (object == nullptr) return false;
    auto* memory = static_cast<lum_kernel_memory*>(object->get_interface(lum_kernel_memory_type_id()));
    if (memory == nullptr) return false;
    view.message = std::string(object->type_name()) +
                   " is in use by a running kernel launch (call wait() on the launch first)";
    view.read_blocked = memory->is_in_use(false);
    view.write_blocked = memory->is_in_use(true);
    view.writable = memory->get_memory(&view.data, &view.size, true);
    if (!view.writable && !memory->get_memory(&view.data, &view.size, false)) return false;
    return true;
}

namespace {

bool bounds_ok(const lum_kernel_memory_view& view, uint64_t offset, lumk_prim prim, std::string& error) {
    const uint64_t n = lumk_prim_size(prim);
    if (n == 0 || offset + n < offset || offset + n > view.size) {
        error = "offset " + std::to_string(offset) + " is out of range (buffer size " + std::to_string(view.size) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool lum_kernel_read_scalar(const lum_kernel_memory_view& view, uint64_t offset, lumk_prim prim, lumvar_shared& out,
                            std::string& error) {
    if (view.read_blocked) {
        error = view.message;
        return false;
    }
    if (!bounds_ok(view, offset, prim, error)) return false;
    out = lum_kernel_scalar_load(view.data + offset, prim);
    return true;
}

bool lum_kernel_write_scalar(const lum_kernel_memory_view& view, uint64_t offset, lumk_prim prim, lumvar* value,
                             std::string& error) {
    if (view.write_blocked) {
        error = view.message;
        return false;
    }
    if (!view.writable) {
        error = "the memory is read only";
        return false;
    }
    if (!bounds_ok(view, offset, prim, error)) return false;
    uint64_t bits = 0;
    if (!lum_kernel_scalar_from_value(lum_kernel_follow_refs(value), prim, true, &bits, &error)) return false;
    lum_kernel_scalar_store(view.data + offset, prim, bits);
    return true;
}

lumvar_shared lum_kernel_scalar_load(const uint8_t* p, lumk_prim prim) {
    lumvar_shared v = lumvar_shared::make();
    switch (prim) {
        case LUMK_PRIM_I8: { int8_t x; std::memcpy(&x, p, 1); v->set_int(x); break; }
        case LUMK_PRIM_U8: { uint8_t x; std::memcpy(&x, p, 1); v->set_int(x); break; }
        case LUMK_PRIM_I16: { int16_t x; std::memcpy(&x, p, 2); v->set_int(x); break; }
        case LUMK_PRIM_U16: { uint16_t x; std::memcpy(&x, p, 2); v->set_int(x); break; }
        case LUMK_PRIM_I32: { int32_t x; std::memcpy(&x, p, 4); v->set_int(x); break; }
        case LUMK_PRIM_U32: { uint32_t x; std::memcpy(&x, p, 4); v->set_int(x); break; }
        case LUMK_PRIM_I64:
        case LUMK_PRIM_U64: { int64_t x; std::memcpy(&x, p, 8); v->set_int(x); break; }
        case LUMK_PRIM_F32: { float x; std::memcpy(&x, p, 4); v->set_float(x); break; }
        case LUMK_PRIM_F64: { double x; std::memcpy(&x, p, 8); v->set_float(x); break; }
        default: break;
    }
    return v;
}

void lum_kernel_scalar_store(uint8_t* p, lumk_prim prim, uint64_t bits) {
    const uint32_t n = prim == LUMK_PRIM_BOOL ? 0 : lumk_prim_size(prim);
    // The machine is little endian (x86-64): the low n bytes of the word.
    if (n != 0) std::memcpy(p, &bits, n);
}
