#include "runtime/ptr.h"

#include "runtime/thread_local.h"
#include "runtime/vm.h"

namespace {

// Clears the object side of the link and frees the record when no handle
// counts on it.
void unlink_record(lumptr_storage& storage) {
    lumptr_ref_record* r = storage.ref_record;
    if (r == nullptr) return;
    r->object = 0;
    storage.ref_record = nullptr;
    if (r->strong == 0 && r->weak == 0) lum_free_ref_record(r);
}

} // namespace

lumptr_ref_record* lumptr_storage::get_ref_record(lumptr_base_internal* object) {
    lumptr_storage& storage = *object;
    if (storage.ref_record != nullptr) return storage.ref_record;

    lumptr_ref_record* r = nullptr;
    if (object->may_use_pooled_record()) {
        if (lum_vm* vm = lum_pool_vm()) r = vm->pool_records.allocate();
    }
    if (r == nullptr) {
        r = new lumptr_ref_record();
        r->pool_slot = LUM_POOL_HEAP_SLOT;
    }
    r->object = 0;
    r->strong = 0;
    r->weak = 0;
    r->alive = 1;
    storage.ref_record = r;
    r->object = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(object));
    return r;
}

lumptr_base_internal::~lumptr_base_internal() { unlink_record(*this); }

void lumptr_base_internal::destroy() { delete this; }

void lumptr_base_internal::detach() { unlink_record(*this); }

bool lumptr_base_internal::may_use_pooled_record() const { return true; }

void lumptr_detail::release_last_strong(lumptr_ref_record* r) {
    if (r->object != 0) {
        lumptr_base_internal* object = lumptr_detail::object_of<lumptr_base_internal>(r);
        r->object = 0;
        r->alive = 0;
        object->detach();
        object->destroy();
        return;
    }
    if (r->weak == 0) {
        r->alive = 0;
        lum_free_ref_record(r);
    }
}

void lumptr_detail::release_last_weak(lumptr_ref_record* r) {
    r->alive = 0;
    lum_free_ref_record(r);
}

void lum_free_ref_record(lumptr_ref_record* record) {
    if (record == nullptr || record->strong == LUMPTR_PERMANENT) return;
    record->alive = 0;
    lum_pool_delete<&lum_vm::pool_records>(record);
}
