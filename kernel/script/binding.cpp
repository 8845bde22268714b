#include "kernel/script/binding.h"

#include <exception>

#include "kernel/script/buffer.h"
#include "kernel/script/convert.h"
#include "kernel/script/memory.h"
#include "runtime/thread_unwind.h"
#include "types/string_object.h"

bool lum_kernel_bind_memory_arg(lumvar* value, bool writable, bool copy_string, lum_kernel_arg_binding& out,
                                std::string& error) {
    if (value == nullptr) {
        error = "expects a std.buffer but got None";
        return false;
    }
    // An object that is already gone is named as such; asking for it turns
    // the value into None.
    if (value->type == LUMVAR_OBJECT && value->object_raw() == nullptr) {
        error = "expects a std.buffer but got object";
        return false;
    }
    if (lum_std_buffer* b = lumvar_to_std_buffer(value)) {
        if (writable ? b->in_use() : b->written_by_launch()) {
            error = "the std.buffer is already used by another running kernel launch";
            return false;
        }
        out.buffer = b;
        out.keep_alive = lumptr_strong<lumobject_base>(b);
        out.data = b->bytes.data();
        out.size = b->bytes.size();
        out.writable = writable;
        return true;
    }
    if (value->type == LUMVAR_OBJECT) {
        lumobject_base* object = value->object_raw();
        auto* memory = object != nullptr
                           ? static_cast<lum_kernel_memory*>(object->get_interface(lum_kernel_memory_type_id()))
                           : nullptr;
        if (memory != nullptr) {
            const std::string type = object->type_name();
            if (memory->is_in_use(writable)) {
                error = "the " + type + " is already used by another running kernel launch";
                return false;
            }
            if (!memory->get_memory(&out.data, &out.size, writable)) {
                error = "the memory of " + type + " is not writable (declare the parameter as const)";
                return false;
            }
            out.memory = memory;
            out.keep_alive = lumptr_strong<lumobject_base>(object);
            out.writable = writable;
            return true;
        }
    }
    if (value->type == LUMVAR_STRING) {
        if (writable) {
            error = "strings are read only, declare the parameter as const (const u8*) or use a std.buffer";
            return false;
        }
        lum_std_string* s = value->string_object();
        if (s == nullptr || !s->is_type(lumptr_type_tag<lum_std_string>::type_id())) {
            error = "invalid string";
            return false;
        }
        if (copy_string) {
            out.text_copy = std::make_shared<std::string>(s->text);
            out.data = reinterpret_cast<uint8_t*>(out.text_copy->data());
            out.size = out.text_copy->size();
        } else {
            out.keep_alive = lumptr_strong<lumobject_base>(s);
            out.data = reinterpret_cast<uint8_t*>(s->text.data());
            out.size = s->text.size();
        }
        return true;
    }
    error = "expects a std.buffer but got " + lum_kernel_value_type_name(value);
    return false;
}

namespace {

void add_lock(lum_kernel_arg_binding& b, int32_t delta) {
    if (b.buffer != nullptr) {
        uint32_t& count = b.writable ? b.buffer->write_locks : b.buffer->read_locks;
        count = static_cast<uint32_t>(static_cast<int64_t>(count) + delta);
    } else if (b.memory != nullptr) {
        b.memory->add_lock(b.writable, delta);
    }
}

}  // namespace

// Raising is all or nothing: when a memory object refuses its lock, the locks
// already taken are given back before the error goes on. Lowering reaches
// every binding; the first error is passed on afterwards.
void lum_kernel_launch_state::add_locks(int32_t delta) {
    if (delta > 0) {
        size_t raised = 0;
        try {
            for (; raised < bindings.size(); ++raised) add_lock(bindings[raised], delta);
        } catch (...) {
            for (size_t i = 0; i < raised; ++i) {
                try {
                    add_lock(bindings[i], -delta);
                } catch (const lum_thread_unwind&) {
                    throw;
                } catch (...) {
                }
            }
            throw;
        }
        return;
    }
    std::exception_ptr failure;
    for (size_t i = 0; i < bindings.size(); ++i) {
        try {
            add_lock(bindings[i], delta);
        } catch (const lum_thread_unwind&) {
            // The thread unwinds: the other counts still go down, then the
            // unwinding goes on.
            for (size_t k = i + 1; k < bindings.size(); ++k) {
                try {
                    add_lock(bindings[k], delta);
                } catch (const lum_thread_unwind&) {
                    throw;
                } catch (...) {
                }
            }
            throw;
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void lum_kernel_launch_state::release() {
    if (released) return;
    released = true;
    std::exception_ptr failure;
    if (locked) {
        locked = false;
        try {
            add_locks(-1);
        } catch (const lum_thread_unwind&) {
            bindings.clear();
            throw;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    bindings.clear();
    if (failure) std::rethrow_exception(failure);
}
