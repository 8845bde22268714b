// The script value cell `lumvar` and its counted handle `lumvar_shared`.
//
// A cell is 16 bytes: a plain (not atomic) reference count, two flag bytes, the
// type code, the pool slot and an 8-byte payload holding an integer, a double, a
// counted pointer to a string/buffer/json object, a pointer to a payload record
// (runtime/value_records.h) or a pointer to another cell. Cells come from the
// current VM's cell pool when the calling thread owns the VM lock (and pooling is
// not suspended), else from the heap. Cells are touched only by the thread that
// holds the VM lock; a thread without it may drop the last reference, which hands
// the cell back through the pool's deferred-free ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value_records_fwd.h"

class lumobject_base;
class lum_std_string;
class lum_std_json;
class lum_std_buffer;
class lum_function_def;
class lum_program_block;
class lum_class;
class lum_class_def;
struct lum_task;
struct lum_binary_reader;
class lumvar_shared;

// Value type codes.
enum : uint8_t {
    LUMVAR_ERR = 0,
    LUMVAR_NONE = 1,
    LUMVAR_INT = 2,
    LUMVAR_FLOAT = 3,
    LUMVAR_PRIMITIVE_END = 4,  // codes below keep their payload inline and own nothing
    LUMVAR_STRING = 5,
    LUMVAR_BINARY = 6,
    LUMVAR_JSON = 7,
    LUMVAR_OBJECT = 8,
    LUMVAR_OBJECTS_END = 9,
    LUMVAR_CLASS = 10,
    LUMVAR_CLASS_DEF = 11,
    LUMVAR_FUNCTION = 12,
    LUMVAR_EXT_FUNCTION = 13,
    LUMVAR_OBJECT_MEMBER_LITERAL = 14,
    LUMVAR_OBJECT_MEMBER_INDEX = 15,
    LUMVAR_OBJECT_MEMBER_VAR = 16,
    LUMVAR_REF = 17,
};

// Rows of the type-name table: 0..17 plus "deckcom" (18) and "deckcom_cmd" (19),
// which no value operation handles.
inline constexpr uint32_t LUMVAR_TYPE_NAME_COUNT = 20;
extern const char* const lumvar_type_names[LUMVAR_TYPE_NAME_COUNT];
// The name of a type code; "unknown" beyond the table.
const char* lumvar_type_name(uint32_t type) noexcept;

// Cell flag bits (`lumvar::flags`).
inline constexpr uint8_t LUMVAR_FLAG_SHARED = 0x01;  // an object value assigned from this cell is shared
inline constexpr uint8_t LUMVAR_FLAG_OWNING = 0x10;  // the value destroys its object with the payload
// Reference flag bits (`lumvar::ref_flags`), cleared on every change of type.
inline constexpr uint8_t LUMVAR_REF_FLAG_COPY = 0x01;  // taking a ref to this cell copies the value

// The text every refused binary access reports.
inline constexpr std::string_view lum_buffer_in_use_message =
    "std.buffer is in use by a running kernel launch (call wait() on the launch first)";

struct lumvar {
    uint32_t refcount = 0;    // plain count of handles, stack slots and refs to the cell
    uint8_t flags = 0;        // LUMVAR_FLAG_*
    uint8_t ref_flags = 0;    // LUMVAR_REF_FLAG_*
    uint8_t type = LUMVAR_NONE;
    uint8_t pool_slot = 255;  // 0..254 in a pool chunk, 255 = heap cell
    union payload_t {
        int64_t i;
        double f;
        void* p;
        lumvar* ref;
        lumptr_ref_record* record;  // types 5-7: the record of a strong pointer
    } payload{0};

    // ---- cell life (runtime/value.cpp) ----

    // The fresh state: count 0, flags 0, type none, payload 0 (slot kept).
    void init() noexcept;
    // A fresh cell (count 0) from the current VM's cell pool or the heap.
    static lumvar* allocate();
    // Frees a cell whose count fell below 1: reset to none, then back to its pool
    // (directly, or through the deferred-free ring from another thread) or the heap.
    // A negative count is logged ("refcount < 0 !!!") and the cell left untouched.
    static void free(lumvar* cell) {
        if (cell != nullptr) free_unreferenced(cell);
    }
    // lumvar::free for a cell known not to be null.
    static void free_unreferenced(lumvar* cell);

    // Releases the old payload and builds an empty payload of the new type.
    lumvar& set_type(uint8_t new_type);
    // Between two primitive types: payload 0 and type change in place.
    void set_type_inline(uint8_t new_type) {
        if (type < LUMVAR_PRIMITIVE_END && new_type < LUMVAR_PRIMITIVE_END) {
            payload.i = 0;
            ref_flags = 0;
            type = new_type;
        } else {
            set_type(new_type);
        }
    }

    // Assignment: copies strings and byte buffers, shares json containers and
    // (with the source's sharing flag) objects, writes through member references.
    // A member-reference source is replaced in the caller's handle by its value.
    void set(lumvar_shared& source);
    // Makes this cell a ref to `target` (a copy when the target asks for it).
    void set_ref(lumvar* target);
    // Type string (kept when already a string), text := text.
    void set_string(std::string_view text);
    void set_int(int64_t v) { set_type_inline(LUMVAR_INT); payload.i = v; }
    void set_float(double v) { set_type_inline(LUMVAR_FLOAT); payload.f = v; }
    // Type function with the code block and scope as weak pointers (a null
    // scope means the current context's scope). A null block does nothing.
    void set_function(lum_program_block* block, lum_task* scope);
    // Type native function: the definition weakly, the owner (may be null) strongly.
    void set_ext_function(lum_function_def* definition, lumobject_base* owner);
    // Type json unless already; `clear` empties the container and drops its key index.
    lumvar& set_json(bool clear);
    lum_std_json* json_object(bool clear);

    bool is_string() const noexcept { return type == LUMVAR_STRING; }
    bool is_json() const noexcept { return type == LUMVAR_JSON; }
    bool is_member_reference() const noexcept {
        return type >= LUMVAR_OBJECT_MEMBER_LITERAL && type <= LUMVAR_OBJECT_MEMBER_VAR;
    }
    // Types below 14: the cell itself; member references and refs: deref().
    void resolve(lumvar_shared& out);
    // For a function value whose code block is alive: a new task for it and its
    // scope, with the value's bound self and bound arguments. False (and `out`
    // empty) otherwise. Defined with the tasks.
    bool create_task(lumptr_strong<lum_task>& out);

    // ---- payload access (no type checks: the caller knows the type) ----

    // Types 5-7: the object the payload points at (null when the pointer is empty).
    lumobject_base* payload_object() const noexcept;
    lum_std_string* string_object() const noexcept;
    lum_std_buffer* buffer_object() const noexcept;
    lum_std_json* json_container() const noexcept;
    lumvar_object_holder* object_holder() const noexcept { return static_cast<lumvar_object_holder*>(payload.p); }
    lumvar_class_holder* class_holder() const noexcept { return static_cast<lumvar_class_holder*>(payload.p); }
    lumvar_class_def_holder* class_def_holder() const noexcept { return static_cast<lumvar_class_def_holder*>(payload.p); }
    lumvar_function_record* function_record() const noexcept { return static_cast<lumvar_function_record*>(payload.p); }
    lumvar_ext_function_record* ext_function_record() const noexcept {
        return static_cast<lumvar_ext_function_record*>(payload.p);
    }
    lumvar_member_name_ref* member_name_ref() const noexcept { return static_cast<lumvar_member_name_ref*>(payload.p); }
    lumvar_member_index_ref* member_index_ref() const noexcept { return static_cast<lumvar_member_index_ref*>(payload.p); }
    lumvar_member_key_ref* member_key_ref() const noexcept { return static_cast<lumvar_member_key_ref*>(payload.p); }
    // The object behind a string, binary, json or object value (null for other
    // types or when it is gone). An object value whose object is gone becomes none.
    lumobject_base* object_raw();

    // ---- value operations (runtime/value_ops.cpp) ----

    int64_t int_value();
    int64_t int_value_inline() {
        if (type == LUMVAR_INT) return payload.i;
        if (type == LUMVAR_FLOAT && payload.f > -9223372036854775808.0 && payload.f < 9223372036854775808.0)
            return static_cast<int64_t>(payload.f);
        return int_value();  // NaN, out of range and every other type
    }
    double float_value();
    // Appends nothing: `out` is replaced by the text form.
    void string_value(std::string& out);
    std::string to_std_string();
    // A view of the text form: a string value's own text, else a per-thread
    // scratch text valid until the next call on this thread.
    std::string_view string_view_value();
    bool get_bool();
    bool compare_zero();
    bool is_true() { return !compare_zero(); }
    int64_t size();
    bool increment_value();
    bool decrement_value();
    static bool compare_equal(lumvar& a, lumvar& b);
    static bool compare_smaller(lumvar& a, lumvar& b, bool or_equal);
    static bool compare_bigger(lumvar& a, lumvar& b, bool or_equal);
    static bool json_equal(lum_std_json* a, lum_std_json* b);
    // The value a reference stands for (a new handle; member references read
    // their member, ref chains are followed with a cycle test).
    void deref(lumvar_shared& out);
    void get_member_by_name(lumvar_shared& out, std::string_view name);
    void get_member_by_index(lumvar_shared& out, int64_t index);
    bool has_member(std::string_view key);
    bool is_valid_class();

    // ---- binary value format (runtime/binary.cpp) ----

    // Appends the value (section "v11", type, payload); true unless a part refused.
    bool to_binary(std::vector<uint8_t>& out);
    // Reads one value into this cell; true on success. Throws std::runtime_error
    // on truncated or malformed input.
    bool from_binary(lum_binary_reader& reader);

private:
    void release_payload_for(uint8_t new_type, bool& keep);
    void build_payload(uint8_t new_type);
};
static_assert(sizeof(lumvar) == 16, "lumvar is 16 bytes");

// Counted handle to a cell; possibly null.
class lumvar_shared {
public:
    lumvar_shared() noexcept = default;
    lumvar_shared(std::nullptr_t) noexcept {}
    // Takes one count on the cell (none for null).
    explicit lumvar_shared(lumvar* cell) noexcept : v_(cell) {
        if (v_) ++v_->refcount;
    }
    lumvar_shared(const lumvar_shared& o) noexcept : v_(o.v_) {
        if (v_) ++v_->refcount;
    }
    lumvar_shared(lumvar_shared&& o) noexcept : v_(o.v_) { o.v_ = nullptr; }
    ~lumvar_shared() { reset(); }

    lumvar_shared& operator=(const lumvar_shared& o) {
        if (o.v_ == v_) return *this;
        lumvar* old = v_;
        v_ = o.v_;
        if (v_) ++v_->refcount;
        release_cell(old);
        return *this;
    }
    lumvar_shared& operator=(lumvar_shared&& o) {
        if (&o == this) return *this;
        lumvar* old = v_;
        v_ = o.v_;
        o.v_ = nullptr;
        release_cell(old);
        return *this;
    }

    void reset() {
        lumvar* old = v_;
        v_ = nullptr;
        release_cell(old);
    }

    lumvar* get() const noexcept { return v_; }
    lumvar* operator->() const noexcept { return v_; }
    lumvar& operator*() const noexcept { return *v_; }
    explicit operator bool() const noexcept { return v_ != nullptr; }

    // Handles to new cells (count 1).
    static lumvar_shared make() {
        lumvar_shared made;
        made.v_ = lumvar::allocate();  // a fresh cell (count 0), never null
        made.v_->refcount = 1;
        return made;
    }
    static lumvar_shared make_typed(uint8_t type);
    static lumvar_shared from_int(int64_t v);
    static lumvar_shared from_float(double v);
    static lumvar_shared from_string(std::string_view text);
    static lumvar_shared from_bytes(std::span<const uint8_t> bytes);
    // Type object holding a strong handle to the object (empty when the object's
    // record is not alive); none for null.
    static lumvar_shared from_object(lumobject_base* object);

    // Drops one count on a cell and frees it when the count falls below 1.
    static void release_cell(lumvar* cell) {
        if (cell != nullptr && static_cast<int32_t>(--cell->refcount) < 1) lumvar::free(cell);
    }

private:
    lumvar* v_ = nullptr;
};
