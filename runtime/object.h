// The base of every native object a script value can hold, and the binary-form
// interface every object carries.
//
// The virtual operations are declared in their fixed order; the value cell, the
// interpreter and the standard types rely on it. Operations that take a
// `lumvar_shared` by value consume it: the handle is released when the call ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"

struct lum_binary_reader;

// The binary form of an object. Objects without one log and refuse.
class lum_serializable {
public:
    // Slot 0: appends the object's binary form. Default: logs
    // "to_binary(): not implemented." at error level, false.
    virtual bool to_binary(std::vector<uint8_t>& out);
    // Slot 1: reads the object from a byte list (through slot 2).
    virtual bool from_binary(const std::vector<uint8_t>& in);
    // Slot 2: reads the object from bytes (a reader at position 0, through slot 3).
    virtual bool from_binary(const uint8_t* data, size_t size);
    // Slot 3: reads the object from a reader. Default: logs
    // "from_binary(): not implemented." at error level, false.
    virtual bool from_binary(lum_binary_reader& reader);

protected:
    lum_serializable() = default;
    lum_serializable(const lum_serializable&) = default;
    lum_serializable& operator=(const lum_serializable&) = default;
    ~lum_serializable() = default;
};

class lumobject_base : public lumptr_base<lumobject_base>,
                       public lumptr_type_tag<lumobject_base>,
                       public lum_serializable {
public:
    lumobject_base() = default;
    // A copy is a new object: its own record (lumptr_storage) and no thread
    // jobs, whatever the original's count.
    lumobject_base(const lumobject_base& other)
        : lumptr_storage(other), lumptr_base<lumobject_base>(other), lumptr_type_tag<lumobject_base>(other),
          lum_serializable(other) {}
    lumobject_base& operator=(const lumobject_base&) { return *this; }

    // Slot 0 (deleting destructor); slots 1-3 (destroy, detach, may use pooled
    // record) come from lumptr_base_internal.
    ~lumobject_base() override;

    // Slot 4: the text form. Default: the type name.
    virtual std::string to_string();
    // Slot 5: a view of the text form. Default: the type name.
    virtual std::string_view to_string_view();
    // Slot 6: the copy a value cell takes of an unshared object value. Default: a
    // new handle to this same object (no copy).
    virtual lumptr_strong<lumobject_base> copy();
    // Slot 7: member by key value: an int key reads by index (slot 8), a string
    // key by name (slot 9); any other key warns and reads by its text form.
    virtual lumvar_shared get_member(lumvar_shared key);
    // Slot 8: member by index. Default: error "type 'T' does not have indexmember 'i'".
    virtual lumvar_shared get_member(int64_t index);
    // Slot 9: member by name. Default: error "type 'T' does not have (any) member 'n'".
    virtual lumvar_shared get_member(std::string_view name);
    // Slot 10: set by key value (int -> slot 11, string -> slot 12, other: warning
    // and slot 12 with the key's text form).
    virtual void set_member(lumvar_shared key, lumvar_shared value);
    // Slot 11: set by index. Default: error "type 'T' does not implement 'set member'".
    virtual void set_member(int64_t index, lumvar_shared value);
    // Slot 12: set by name. Default: the same error as slot 11.
    virtual void set_member(std::string_view name, lumvar_shared value);
    // Slots 13-15: whether the member read through slot 7 / 8 / 9 is not none.
    virtual bool has_member(lumvar_shared key);
    virtual bool has_member(int64_t index);
    virtual bool has_member(std::string_view name);
    // Slot 16: emptiness. Default: false (the object counts as non-empty).
    virtual bool compare_zero();
    // Slot 17: size. Default: 0.
    virtual int64_t size();
    // Slots 18-19: reserved. Default: -1.
    virtual int64_t reserved_18();
    virtual int64_t reserved_19();
    // Slots 20-27: arithmetic with the object as the left operand (forward) or
    // the right operand (reverse). `result` refers to the result cell; true when
    // the object handled the operation. Default: false.
    virtual bool add(const lumvar_shared& other, lumvar_shared& result);
    virtual bool add_reverse(const lumvar_shared& other, lumvar_shared& result);
    virtual bool sub(const lumvar_shared& other, lumvar_shared& result);
    virtual bool sub_reverse(const lumvar_shared& other, lumvar_shared& result);
    virtual bool mul(const lumvar_shared& other, lumvar_shared& result);
    virtual bool mul_reverse(const lumvar_shared& other, lumvar_shared& result);
    virtual bool div(const lumvar_shared& other, lumvar_shared& result);
    virtual bool div_reverse(const lumvar_shared& other, lumvar_shared& result);
    // Slots 28-30: comparisons with this object on the left; true when the
    // relation holds. Default: false.
    virtual bool compare_equal(const lumvar_shared& other);
    virtual bool compare_smaller(const lumvar_shared& other, bool or_equal);
    virtual bool compare_bigger(const lumvar_shared& other, bool or_equal);
    // Slot 31: an optional interface by its type hash. Default: null.
    virtual void* get_interface(uint64_t type_hash);
    // Slot 32: whether the hash is the object's type tag.
    virtual bool is_type(uint64_t type_hash);
    // Slot 33: the script type name. Default: "object".
    virtual const char* type_name();
    // Slot 34: definition index of a member name, -1 when absent.
    virtual int64_t find_member_index(std::string_view name);
    // Slot 35: the member at a definition index. Default: a new none value.
    virtual void get_member_at(lumvar_shared& result, int64_t index);
    // Slot 36: writes the member at a definition index. Default: nothing.
    virtual void set_member_at(int64_t index, lumvar_shared value);
    // Slot 37: reads the member at a definition index. Default: a new none value.
    virtual void read_member_at(lumvar_shared& result, int64_t index);

    // Number of outstanding thread jobs that hold the object as their native-call
    // object. While it is not 0, an owning value defers the object's release.
    uint32_t thread_jobs = 0;
};
