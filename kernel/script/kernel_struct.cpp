#include "kernel/script/kernel_struct.h"

#include <cerrno>
#include <cstdlib>

#include "kernel/script/convert.h"
#include "kernel/script/memory.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"

namespace {

// A decimal index as atoll reads it (blanks and a sign accepted, stops at the
// first non-digit), saturating instead of overflowing.
int64_t read_index(std::string_view text) {
    const std::string s(text);
    errno = 0;
    return std::strtoll(s.c_str(), nullptr, 10);
}

}  // namespace

bool lum_kernel_struct_field_path(const std::vector<lumk_struct_layout>& structs, int32_t index,
                                  std::string_view path, lum_kernel_field_ref& out, std::string& error) {
    const lumk_struct_layout& top = structs[static_cast<size_t>(index)];
    lum_kernel_field_ref cur;
    cur.offset = 0;
    cur.prim = LUMK_PRIM_STRUCT;
    cur.struct_index = static_cast<uint32_t>(index);
    cur.count = 0;
    cur.elem_size = top.size;
    size_t pos = 0;
    while (pos < path.size()) {
        const char c = path[pos];
        if (c == '[') {
            const size_t close = path.find(']', pos);
            if (close == std::string_view::npos || cur.count == 0) {
                error = "invalid field path '" + std::string(path) + "'";
                return false;
            }
            const int64_t i = read_index(path.substr(pos + 1, close - pos - 1));
            if (i < 0 || static_cast<uint64_t>(i) >= cur.count) {
                error = "array index " + std::to_string(i) + " is out of bounds in '" + std::string(path) + "'";
                return false;
            }
            cur.offset += cur.elem_size * static_cast<uint32_t>(i);
            cur.count = 0;
            pos = close + 1;
        } else if (c == '.') {
            ++pos;
        } else {
            size_t end = path.find_first_of(".[", pos);
            if (end == std::string_view::npos) end = path.size();
            const std::string_view name = path.substr(pos, end - pos);
            if (cur.prim != LUMK_PRIM_STRUCT || cur.count != 0) {
                error = "'" + std::string(name) + "' in '" + std::string(path) + "' is not a struct field";
                return false;
            }
            const lumk_struct_layout& s = structs[cur.struct_index];
            const lumk_struct_field* found = nullptr;
            for (const auto& f : s.fields)
                if (f.name == name) {
                    found = &f;
                    break;
                }
            if (found == nullptr) {
                error = "struct '" + s.name + "' has no field '" + std::string(name) + "'";
                return false;
            }
            cur.offset += found->offset;
            cur.prim = found->prim;
            cur.struct_index = static_cast<uint32_t>(found->struct_index);
            cur.count = found->array_count;
            cur.elem_size = found->elem_size;
            pos = end;
        }
    }
    out = cur;
    return true;
}

namespace {

lumvar_shared element_to_json(const std::vector<lumk_struct_layout>& structs, const lumk_struct_field& f,
                              const uint8_t* p) {
    if (f.prim == LUMK_PRIM_STRUCT) return lum_kernel_struct_to_json(structs, f.struct_index, p);
    return lum_kernel_scalar_load(p, f.prim);
}

bool element_from_json(const std::vector<lumk_struct_layout>& structs, const lumk_struct_field& f, uint8_t* p,
                       lumvar* value, std::string& error) {
    value = lum_kernel_follow_refs(value);
    if (f.prim == LUMK_PRIM_STRUCT) {
        if (value == nullptr || value->type != LUMVAR_JSON) {
            error = "field '" + f.name + "' expects a json object";
            return false;
        }
        return lum_kernel_struct_from_json(structs, f.struct_index, p, value, error);
    }
    uint64_t bits = 0;
    std::string why;
    if (!lum_kernel_scalar_from_value(value, f.prim, true, &bits, &why)) {
        error = "field '" + f.name + "' " + why;
        return false;
    }
    lum_kernel_scalar_store(p, f.prim, bits);
    return true;
}

}  // namespace

lumvar_shared lum_kernel_struct_to_json(const std::vector<lumk_struct_layout>& structs, int32_t index,
                                        const uint8_t* data) {
    lumvar_shared result = lumvar_shared::make();
    lum_std_json* object = result->json_object(true);
    for (const auto& f : structs[static_cast<size_t>(index)].fields) {
        const uint8_t* p = data + f.offset;
        if (f.array_count == 0) {
            object->push_keyed(element_to_json(structs, f, p), f.name);
            continue;
        }
        lumvar_shared list = lumvar_shared::make();
        lum_std_json* items = list->json_object(true);
        for (uint32_t i = 0; i < f.array_count; ++i)
            items->push_keyed(element_to_json(structs, f, p + static_cast<uint64_t>(i) * f.elem_size), "");
        object->push_keyed(std::move(list), f.name);
    }
    return result;
}

bool lum_kernel_struct_from_json(const std::vector<lumk_struct_layout>& structs, int32_t index, uint8_t* data,
                                 lumvar* values, std::string& error) {
    lumvar* json = lum_kernel_follow_refs(values);
    for (const auto& f : structs[static_cast<size_t>(index)].fields) {
        lum_std_json* container = json != nullptr && json->type == LUMVAR_JSON ? json->json_container() : nullptr;
        lumvar* cell = container != nullptr ? container->find_key(f.name) : nullptr;
        if (cell == nullptr) continue;
        lumvar_shared entry(cell);
        uint8_t* p = data + f.offset;
        if (f.array_count == 0) {
            if (!element_from_json(structs, f, p, entry.get(), error)) return false;
            continue;
        }
        lumvar* list = lum_kernel_follow_refs(entry.get());
        if (list == nullptr || list->type != LUMVAR_JSON) {
            error = "field '" + f.name + "' expects a list";
            return false;
        }
        lum_std_json* items = list->json_container();
        const int64_t n = items != nullptr ? items->size() : 0;
        for (int64_t i = 0; i < n && i < static_cast<int64_t>(f.array_count); ++i) {
            lumvar_shared item = items->at(i);
            if (!element_from_json(structs, f, p + static_cast<uint64_t>(i) * f.elem_size, item.get(), error))
                return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Script methods

const lumk_struct_layout* lum_std_kernel_struct::layout() {
    if (!unit || index < 0 || static_cast<size_t>(index) >= unit->structs.size()) {
        lum_runtime_error(true, "std.kernel_struct has no struct");
        return nullptr;
    }
    return &unit->structs[static_cast<size_t>(index)];
}

namespace {

using self_t = lum_std_kernel_struct;
using args_t = std::vector<lumvar_shared>;

// The index argument: an int value (references followed; a float is refused).
bool int_index(lumvar_shared& v, int64_t& out) {
    const lumvar* i = lum_kernel_follow_refs(v.get());
    if (i == nullptr || i->type != LUMVAR_INT) return false;
    out = i->payload.i;
    return true;
}

lumvar_shared out_of_range(int64_t i, uint64_t n) {
    return lum_runtime_error(true, "index " + std::to_string(i) + " is out of range (" + std::to_string(n) +
                                       " structs in the buffer)");
}

lumvar_shared m_size(self_t* self, lum_vm_context&, args_t&) {
    const lumk_struct_layout* s = self->layout();
    return s ? lumvar_shared::from_int(s->size) : lumvar_shared::make();
}

lumvar_shared m_name(self_t* self, lum_vm_context&, args_t&) {
    const lumk_struct_layout* s = self->layout();
    return s ? lumvar_shared::from_string(s->name) : lumvar_shared::make();
}

lumvar_shared m_fields(self_t* self, lum_vm_context&, args_t&) {
    const lumk_struct_layout* s = self->layout();
    if (s == nullptr) return lumvar_shared::make();
    lumvar_shared result = lumvar_shared::make();
    lum_std_json* list = result->json_object(true);
    for (const auto& f : s->fields) {
        lumvar_shared item = lumvar_shared::make();
        lum_std_json* o = item->json_object(true);
        o->push_keyed(lumvar_shared::from_string(f.name), "name");
        o->push_keyed(lumvar_shared::from_string(f.prim == LUMK_PRIM_STRUCT
                                                     ? self->unit->structs[static_cast<size_t>(f.struct_index)].name
                                                     : std::string(lumk_prim_name(f.prim))),
                      "type");
        o->push_keyed(lumvar_shared::from_int(f.offset), "offset");
        o->push_keyed(lumvar_shared::from_int(f.array_count), "count");
        const uint64_t size = f.array_count != 0 ? uint64_t{f.array_count} * f.elem_size : f.elem_size;
        o->push_keyed(lumvar_shared::from_int(static_cast<int64_t>(size)), "size");
        list->push_keyed(std::move(item), "");
    }
    return result;
}

lumvar_shared m_offset(self_t* self, lum_vm_context&, args_t& args) {
    if (self->layout() == nullptr) return lumvar_shared::make();
    lum_kernel_field_ref ref;
    std::string error;
    const std::string path = lum_kernel_text_arg(args[0].get());
    if (!lum_kernel_struct_field_path(self->unit->structs, self->index, path, ref, error))
        return lum_runtime_error(true, error);
    return lumvar_shared::from_int(ref.offset);
}

lumvar_shared m_count(self_t* self, lum_vm_context&, args_t& args) {
    const lumk_struct_layout* s = self->layout();
    if (s == nullptr) return lumvar_shared::make();
    lum_kernel_memory_view view;
    if (!lum_kernel_memory_view_of(args[0].get(), view))
        return lum_runtime_error(true, "count() expects a std.buffer (or an object with kernel memory, e.g. a bitmap)");
    return lumvar_shared::from_int(static_cast<int64_t>(view.size / s->size));
}

// Shared steps of get and set: view, index, path to one number field, bounds.
bool locate_field(self_t* self, args_t& args, bool setting, lum_kernel_memory_view& view, uint64_t& offset,
                  lumk_prim& prim) {
    const lumk_struct_layout* s = self->layout();
    if (s == nullptr) return false;
    int64_t i = 0;
    if (!lum_kernel_memory_view_of(args[0].get(), view) || !int_index(args[1], i)) {
        lum_runtime_error(true, setting ? "set() expects (buffer, index, field, value)" : "get() expects (buffer, index, field)");
        return false;
    }
    const std::string path = lum_kernel_text_arg(args[2].get());
    lum_kernel_field_ref ref;
    std::string error;
    if (!lum_kernel_struct_field_path(self->unit->structs, self->index, path, ref, error)) {
        lum_runtime_error(true, error);
        return false;
    }
    if (ref.prim == LUMK_PRIM_STRUCT || ref.count != 0) {
        lum_runtime_error(true, std::string(setting ? "set" : "get") + "() needs a number field, '" + path +
                                    "' is a struct or an array (use " + (setting ? "write" : "read") + "())");
        return false;
    }
    const uint64_t n = view.size / s->size;
    if (i < 0 || static_cast<uint64_t>(i) >= n) {
        out_of_range(i, n);
        return false;
    }
    offset = static_cast<uint64_t>(i) * s->size + ref.offset;
    prim = ref.prim;
    return true;
}

lumvar_shared m_get(self_t* self, lum_vm_context&, args_t& args) {
    lum_kernel_memory_view view;
    uint64_t offset = 0;
    lumk_prim prim = LUMK_PRIM_VOID;
    if (!locate_field(self, args, false, view, offset, prim)) return lumvar_shared::make();
    lumvar_shared out;
    std::string error;
    if (!lum_kernel_read_scalar(view, offset, prim, out, error)) return lum_runtime_error(true, error);
    return out;
}

lumvar_shared m_set(self_t* self, lum_vm_context&, args_t& args) {
    lum_kernel_memory_view view;
    uint64_t offset = 0;
    lumk_prim prim = LUMK_PRIM_VOID;
    if (!locate_field(self, args, true, view, offset, prim)) return lumvar_shared::make();
    std::string error;
    if (!lum_kernel_write_scalar(view, offset, prim, args[3].get(), error)) return lum_runtime_error(true, error);
    return lumvar_shared::make();
}

lumvar_shared m_read(self_t* self, lum_vm_context&, args_t& args) {
    const lumk_struct_layout* s = self->layout();
    if (s == nullptr) return lumvar_shared::make();
    lum_kernel_memory_view view;
    int64_t i = 0;
    if (!lum_kernel_memory_view_of(args[0].get(), view) || !int_index(args[1], i))
        return lum_runtime_error(true, "read() expects (buffer, index)");
    if (view.read_blocked) return lum_runtime_error(true, view.message);
    const uint64_t n = view.size / s->size;
    if (i < 0 || static_cast<uint64_t>(i) >= n) return out_of_range(i, n);
    return lum_kernel_struct_to_json(self->unit->structs, self->index, view.data + static_cast<uint64_t>(i) * s->size);
}

lumvar_shared m_write(self_t* self, lum_vm_context&, args_t& args) {
    const lumk_struct_layout* s = self->layout();
    if (s == nullptr) return lumvar_shared::make();
    lum_kernel_memory_view view;
    int64_t i = 0;
    lumvar* values = lum_kernel_follow_refs(args[2].get());
    if (!lum_kernel_memory_view_of(args[0].get(), view) || !int_index(args[1], i) || values == nullptr ||
        values->type != LUMVAR_JSON)
        return lum_runtime_error(true, "write() expects (buffer, index, json)");
    if (view.write_blocked) return lum_runtime_error(true, view.message);
    if (!view.writable) return lum_runtime_error(true, "the memory is read only");
    const uint64_t n = view.size / s->size;
    if (i < 0 || static_cast<uint64_t>(i) >= n) return out_of_range(i, n);
    std::string error;
    if (!lum_kernel_struct_from_json(self->unit->structs, self->index, view.data + static_cast<uint64_t>(i) * s->size,
                                     values, error))
        return lum_runtime_error(true, error);
    return lumvar_shared::make();
}

constexpr std::string_view buffer_doc = "buffer: std.buffer or an object with kernel memory";

}  // namespace

void lum_std_kernel_struct::script_register() {
    set_factory([] { return lumptr_strong<lum_std_kernel_struct>(new lum_std_kernel_struct()); });
    add_function("size", m_size, 0, 0, "Size of the struct in bytes (kernel structs are packed)");
    add_function("name", m_name, 0, 0, "Name of the struct");
    add_function("fields", m_fields, 0, 0, "Fields: list of [name, type, offset, count (0: no array), size]");
    add_function("offset", m_offset, 1, 1, "Byte offset of a field").arg_docs = {"path: string - 'x', 'pos.x' or 'm[2]'"};
    add_function("count", m_count, 1, 1, "Number of whole structs in a buffer").arg_docs = {buffer_doc};
    add_function("get", m_get, 3, 3, "Reads a field of the struct at index").arg_docs = {
        buffer_doc, "index: int - struct index", "field: string - 'x', 'pos.x', 'm[2]'"};
    add_function("set", m_set, 4, 4, "Writes a field of the struct at index").arg_docs = {
        buffer_doc, "index: int", "field: string", "value: number"};
    add_function("read", m_read, 2, 2, "The struct at index as a json object").arg_docs = {buffer_doc, "index: int"};
    add_function("write", m_write, 3, 3,
                 "Writes the fields of a json object into the struct at index (missing fields are kept)")
        .arg_docs = {buffer_doc, "index: int", "values: json"};
}
