// Counted pointers over separate reference records.
//
// Runtime objects derive from lumptr_base<T> (and usually lumptr_type_tag<T>);
// lumptr_strong / lumptr_weak count on a 24-byte lumptr_ref_record that the
// object points at. Every empty handle refers to the permanent null record, so
// a handle is never a null pointer. Counts are plain integers: handles are only
// touched by the thread that holds the VM lock (or before any VM exists); only
// the final freeing of a pooled record may come from another thread, through
// the record pool's deferred-free ring.
//
// The record's object field holds the address of the object's
// lumptr_base_internal sub-object, so releasing a handle never needs the
// complete type: lumptr_strong<X> may be declared, copied and destroyed with X
// only forward-declared. get(), operator-> and construction from a raw pointer
// need the complete type.
#pragma once

#include <atomic>

#include <cstdint>
#include <typeinfo>
#include <type_traits>
#include <utility>

struct lumptr_ref_record {
    uint64_t object = 0;     // address of the object's lumptr_base_internal, 0 once gone
    uint32_t strong = 0;     // 0xFFFFFFFF: permanent record, never counted or freed
    uint32_t weak = 0;
    uint8_t alive = 1;       // 1 while the record may be handed out
    uint8_t pool_slot = 255; // slot in its pool chunk, 255 = general heap
};
static_assert(sizeof(lumptr_ref_record) == 24, "lumptr_ref_record is 24 bytes");

inline constexpr uint32_t LUMPTR_PERMANENT = 0xFFFFFFFFu;

// The shared null record every empty handle points at (one per binary; the
// permanence test is by count, never by address, so handles made on either
// side of the module boundary behave the same).
inline lumptr_ref_record lumptr_null_record{0, LUMPTR_PERMANENT, 0, 1, 255};

// Releases a reference record from any thread: clears its alive flag and hands
// it back to the VM's record pool (directly on the VM owner's thread, else
// through the deferred-free ring), or deletes a heap record.
void lum_free_ref_record(lumptr_ref_record* record);

class lumptr_base_internal;

// Virtual base of every counted object: its record and its type tag.
class lumptr_storage {
public:
    lumptr_ref_record* ref_record = nullptr;
    uint64_t type_tag = 0;

    lumptr_storage() = default;
    // A copied object is a new object: it gets its own record on first use.
    lumptr_storage(const lumptr_storage& other) noexcept : ref_record(nullptr), type_tag(other.type_tag) {}
    lumptr_storage& operator=(const lumptr_storage&) noexcept { return *this; }

    // Returns the object's record, creating it on first use (from the VM's
    // record pool when the object allows it and the pool-or-heap rule holds,
    // else from the heap). Never returns null.
    static lumptr_ref_record* get_ref_record(lumptr_base_internal* object);
};

class lumptr_base_internal : public virtual lumptr_storage {
public:
    lumptr_base_internal() = default;
    lumptr_base_internal(const lumptr_base_internal&) = default;
    lumptr_base_internal& operator=(const lumptr_base_internal&) = default;

    // Slot 0: clears the record's object field and the object's record
    // pointer; frees the record when no handle counts on it.
    virtual ~lumptr_base_internal();
    // Slot 1: called when the last strong handle goes. Default: delete.
    // Pooled classes override it to return the object to their pool.
    virtual void destroy();
    // Slot 2: detaches the object from its record (frees the record when no
    // handle counts on it).
    virtual void detach();
    // Slot 3: whether the record may come from the VM's record pool.
    virtual bool may_use_pooled_record() const;
};

template <class T>
class lumptr_base : public lumptr_base_internal {};

// Stores the type hash of T in the object's type tag.
template <class T>
class lumptr_type_tag : public virtual lumptr_storage {
public:
    lumptr_type_tag() { type_tag = type_id(); }
    lumptr_type_tag(const lumptr_type_tag&) : lumptr_storage() { type_tag = type_id(); }
    lumptr_type_tag& operator=(const lumptr_type_tag&) { return *this; }

    // Hash code of T's run-time type, kept once computed. Not a guarded
    // static: a copy that fork() made while another thread computed it would
    // wait for that thread for good. Two threads computing it both get the
    // same value.
    static uint64_t type_id() {
        static constinit std::atomic<uint64_t> id{0};
        uint64_t v = id.load(std::memory_order_relaxed);
        if (v == 0) {
            v = static_cast<uint64_t>(typeid(T).hash_code());
            id.store(v, std::memory_order_relaxed);
        }
        return v;
    }
};

namespace lumptr_detail {
// Last strong count gone: detach and destroy the object, or free the record.
void release_last_strong(lumptr_ref_record* record);
// Last weak count gone on a record whose object is gone.
void release_last_weak(lumptr_ref_record* record);

inline void add_strong(lumptr_ref_record* r) noexcept {
    if (r->strong != LUMPTR_PERMANENT) ++r->strong;
}
inline void drop_strong(lumptr_ref_record* r) {
    if (r->strong == LUMPTR_PERMANENT) return;
    if (--r->strong > 0) return;
    release_last_strong(r);
}
inline void add_weak(lumptr_ref_record* r) noexcept {
    if (r->strong != LUMPTR_PERMANENT) ++r->weak;
}
inline void drop_weak(lumptr_ref_record* r) {
    if (r->strong == LUMPTR_PERMANENT) return;
    --r->weak;
    if (r->strong == 0 && r->weak == 0 && r->object == 0) release_last_weak(r);
}
template <class T>
inline T* object_of(const lumptr_ref_record* r) noexcept {
    return static_cast<T*>(reinterpret_cast<lumptr_base_internal*>(static_cast<uintptr_t>(r->object)));
}
} // namespace lumptr_detail

template <class T>
class lumptr_weak;

template <class T>
class lumptr_strong {
public:
    using element_type = T;

    lumptr_strong() noexcept : rec_(&lumptr_null_record) {}
    lumptr_strong(std::nullptr_t) noexcept : rec_(&lumptr_null_record) {}

    // From a raw object: holds it when its record is alive, has an object and
    // is not permanent; otherwise the handle is empty.
    explicit lumptr_strong(T* object) : rec_(&lumptr_null_record) { take(object); }

    lumptr_strong(const lumptr_strong& other) noexcept : rec_(other.rec_) { lumptr_detail::add_strong(rec_); }
    lumptr_strong(lumptr_strong&& other) noexcept : rec_(other.rec_) { other.rec_ = &lumptr_null_record; }

    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    lumptr_strong(const lumptr_strong<U>& other) noexcept : rec_(other.record()) {
        lumptr_detail::add_strong(rec_);
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    lumptr_strong(lumptr_strong<U>&& other) noexcept : rec_(other.take_record()) {}

    ~lumptr_strong() { lumptr_detail::drop_strong(rec_); }

    // Copy assignment takes the new record first, then releases the old one,
    // so `h = h->next` is safe even when h held the last reference.
    lumptr_strong& operator=(const lumptr_strong& other) {
        lumptr_ref_record* fresh = other.rec_;
        lumptr_detail::add_strong(fresh);
        lumptr_ref_record* old = rec_;
        rec_ = fresh;
        lumptr_detail::drop_strong(old);
        return *this;
    }
    lumptr_strong& operator=(lumptr_strong&& other) {
        if (&other == this) return *this;
        lumptr_ref_record* fresh = other.rec_;
        other.rec_ = &lumptr_null_record;
        lumptr_ref_record* old = rec_;
        rec_ = fresh;
        lumptr_detail::drop_strong(old);
        return *this;
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    lumptr_strong& operator=(const lumptr_strong<U>& other) {
        return *this = lumptr_strong(other);
    }
    // Assignment from a raw object: no effect when the handle already refers
    // to it; otherwise the new object is taken (as in construction) before the
    // old one is released, so an object that only the old one keeps alive
    // (`h = h->next.get()`) survives the assignment.
    lumptr_strong& operator=(T* object) {
        if (object != nullptr && get() == object) return *this;
        lumptr_strong fresh(object);
        lumptr_ref_record* old = rec_;
        rec_ = fresh.take_record();
        lumptr_detail::drop_strong(old);
        return *this;
    }
    lumptr_strong& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    void reset() {
        lumptr_ref_record* old = rec_;
        rec_ = &lumptr_null_record;
        lumptr_detail::drop_strong(old);
    }
    void release() { reset(); }

    T* get() const noexcept { return lumptr_detail::object_of<T>(rec_); }
    T* operator->() const noexcept { return get(); }
    T& operator*() const noexcept { return *get(); }
    explicit operator bool() const noexcept { return rec_->object != 0; }

    lumptr_ref_record* record() const noexcept { return rec_; }
    uint32_t use_count() const noexcept { return rec_->strong == LUMPTR_PERMANENT ? 0 : rec_->strong; }

    // Handle to the same record viewed as another type (static cast of the
    // object; the caller knows the dynamic type).
    template <class U>
    lumptr_strong<U> static_as() const noexcept {
        lumptr_strong<U> out;
        out.adopt_record_add(rec_);
        return out;
    }

    // Internal: moves the record out, leaving this handle empty.
    lumptr_ref_record* take_record() noexcept {
        lumptr_ref_record* r = rec_;
        rec_ = &lumptr_null_record;
        return r;
    }
    // Internal: points this (empty) handle at r, adding one strong count.
    void adopt_record_add(lumptr_ref_record* r) noexcept {
        lumptr_detail::add_strong(r);
        lumptr_ref_record* old = rec_;
        rec_ = r;
        lumptr_detail::drop_strong(old);
    }

    friend bool operator==(const lumptr_strong& a, const lumptr_strong& b) noexcept { return a.get() == b.get(); }

private:
    void take(T* object) {
        if (object == nullptr) return;
        lumptr_base_internal* base = static_cast<lumptr_base_internal*>(object);
        lumptr_ref_record* r = lumptr_storage::get_ref_record(base);
        if (r->alive && r->object != 0 && r->strong != LUMPTR_PERMANENT) {
            ++r->strong;
            rec_ = r;
        }
    }

    lumptr_ref_record* rec_;
};

template <class T>
class lumptr_weak {
public:
    lumptr_weak() noexcept : rec_(&lumptr_null_record) {}
    lumptr_weak(std::nullptr_t) noexcept : rec_(&lumptr_null_record) {}
    explicit lumptr_weak(T* object) : rec_(&lumptr_null_record) { take(object); }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    lumptr_weak(const lumptr_strong<U>& strong) noexcept : rec_(&lumptr_null_record) {
        take_record(strong.record());
    }
    lumptr_weak(const lumptr_weak& other) noexcept : rec_(&lumptr_null_record) { take_record(other.rec_); }
    lumptr_weak(lumptr_weak&& other) noexcept : rec_(other.rec_) { other.rec_ = &lumptr_null_record; }
    ~lumptr_weak() { lumptr_detail::drop_weak(rec_); }

    lumptr_weak& operator=(const lumptr_weak& other) {
        if (&other == this) return *this;
        lumptr_ref_record* fresh = other.rec_;
        if (!fresh->alive || fresh->strong == LUMPTR_PERMANENT) {
            reset();
            return *this;
        }
        ++fresh->weak; // taken before the old record is dropped
        lumptr_ref_record* old = rec_;
        rec_ = fresh;
        lumptr_detail::drop_weak(old);
        return *this;
    }
    lumptr_weak& operator=(lumptr_weak&& other) {
        if (&other == this) return *this;
        lumptr_ref_record* fresh = other.rec_;
        other.rec_ = &lumptr_null_record;
        lumptr_ref_record* old = rec_;
        rec_ = fresh;
        lumptr_detail::drop_weak(old);
        return *this;
    }
    lumptr_weak& operator=(T* object) {
        if (object != nullptr && get() == object) return *this;
        reset();
        take(object);
        return *this;
    }

    void reset() {
        lumptr_ref_record* old = rec_;
        rec_ = &lumptr_null_record;
        lumptr_detail::drop_weak(old);
    }

    // The object while it lives, else null.
    T* get() const noexcept { return lumptr_detail::object_of<T>(rec_); }
    bool expired() const noexcept { return rec_->object == 0; }
    explicit operator bool() const noexcept { return rec_->object != 0; }
    // A strong handle to the object, empty once the object is gone.
    lumptr_strong<T> lock() const noexcept {
        lumptr_strong<T> out;
        if (rec_->alive && rec_->object != 0) out.adopt_record_add(rec_);
        return out;
    }
    lumptr_ref_record* record() const noexcept { return rec_; }

private:
    void take(T* object) {
        if (object == nullptr) return;
        lumptr_ref_record* r = lumptr_storage::get_ref_record(static_cast<lumptr_base_internal*>(object));
        take_record(r);
    }
    void take_record(lumptr_ref_record* r) noexcept {
        if (r->alive && r->strong != LUMPTR_PERMANENT) {
            ++r->weak;
            rec_ = r;
        }
    }

    lumptr_ref_record* rec_;
};
