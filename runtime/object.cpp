#include "runtime/object.h"

#include <string>

#include "runtime/binary.h"
#include "runtime/log.h"
#include "runtime/value_records.h"
#include "vm/runtime_error.h"

// ---- lum_serializable ----

bool lum_serializable::to_binary(std::vector<uint8_t>&) {
    lum_get_log().error_cstr("to_binary(): not implemented.");
    return false;
}

bool lum_serializable::from_binary(const std::vector<uint8_t>& in) { return from_binary(in.data(), in.size()); }

bool lum_serializable::from_binary(const uint8_t* data, size_t size) {
    lum_binary_reader reader{data, size, 0};
    return from_binary(reader);
}

bool lum_serializable::from_binary(lum_binary_reader&) {
    lum_get_log().error_cstr("from_binary(): not implemented.");
    return false;
}

// ---- lumobject_base ----

lumobject_base::~lumobject_base() = default;

std::string lumobject_base::to_string() { return type_name(); }

std::string_view lumobject_base::to_string_view() { return type_name(); }

lumptr_strong<lumobject_base> lumobject_base::copy() { return lumptr_strong<lumobject_base>(this); }

namespace {
std::string quoted_type(lumobject_base* o) {
    std::string s = "type '";
    s += o->type_name();
    s += '\'';
    return s;
}
}  // namespace

lumvar_shared lumobject_base::get_member(lumvar_shared key) {
    if (!key) return get_member(std::string_view{});
    if (key->type == LUMVAR_INT) return get_member(key->payload.i);
    if (key->type == LUMVAR_STRING) return get_member(key->string_view_value());
    runtime_warning(quoted_type(this) + " does not implement 'get_member' for var type " + std::to_string(key->type) +
                    ", defaulting to string access.");
    const std::string text = key->to_std_string();
    return get_member(std::string_view(text));
}

lumvar_shared lumobject_base::get_member(int64_t index) {
    return lum_runtime_error(true, quoted_type(this) + " does not have indexmember '" + std::to_string(index) + "'");
}

lumvar_shared lumobject_base::get_member(std::string_view name) {
    std::string message = quoted_type(this) + " does not have (any) member '";
    message.append(name).append("'");
    return lum_runtime_error(true, message);
}

void lumobject_base::set_member(lumvar_shared key, lumvar_shared value) {
    if (!key) return set_member(std::string_view{}, std::move(value));
    if (key->type == LUMVAR_INT) return set_member(key->payload.i, std::move(value));
    if (key->type == LUMVAR_STRING) {
        const std::string text = key->to_std_string();
        key.reset();
        return set_member(std::string_view(text), std::move(value));
    }
    runtime_warning(quoted_type(this) + " does not implement 'set_member' for var type " + std::to_string(key->type) +
                    ", defaulting to string access.");
    const std::string text = key->to_std_string();
    key.reset();
    set_member(std::string_view(text), std::move(value));
}

void lumobject_base::set_member(int64_t, lumvar_shared value) {
    value.reset();
    lum_runtime_error(true, quoted_type(this) + " does not implement 'set member'");
}

void lumobject_base::set_member(std::string_view, lumvar_shared value) {
    value.reset();
    lum_runtime_error(true, quoted_type(this) + " does not implement 'set member'");
}

bool lumobject_base::has_member(lumvar_shared key) {
    lumvar_shared r = get_member(std::move(key));
    return r && r->type != LUMVAR_NONE;
}

bool lumobject_base::has_member(int64_t index) {
    lumvar_shared r = get_member(index);
    return r && r->type != LUMVAR_NONE;
}

bool lumobject_base::has_member(std::string_view name) {
    lumvar_shared r = get_member(name);
    return r && r->type != LUMVAR_NONE;
}

bool lumobject_base::compare_zero() { return false; }
int64_t lumobject_base::size() { return 0; }
int64_t lumobject_base::reserved_18() { return -1; }
int64_t lumobject_base::reserved_19() { return -1; }
bool lumobject_base::add(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::add_reverse(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::sub(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::sub_reverse(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::mul(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::mul_reverse(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::div(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::div_reverse(const lumvar_shared&, lumvar_shared&) { return false; }
bool lumobject_base::compare_equal(const lumvar_shared&) { return false; }
bool lumobject_base::compare_smaller(const lumvar_shared&, bool) { return false; }
bool lumobject_base::compare_bigger(const lumvar_shared&, bool) { return false; }
void* lumobject_base::get_interface(uint64_t) { return nullptr; }
bool lumobject_base::is_type(uint64_t type_hash) { return type_hash == type_tag; }
const char* lumobject_base::type_name() { return "object"; }
int64_t lumobject_base::find_member_index(std::string_view) { return -1; }
void lumobject_base::get_member_at(lumvar_shared& result, int64_t) { result = lumvar_shared::make(); }
void lumobject_base::set_member_at(int64_t, lumvar_shared value) { value.reset(); }
void lumobject_base::read_member_at(lumvar_shared& result, int64_t) { result = lumvar_shared::make(); }

// ---- lumvar_shared::from_object ----

lumvar_shared lumvar_shared::from_object(lumobject_base* object) {
    lumvar_shared out = make();
    if (object == nullptr) return out;
    out->set_type(LUMVAR_OBJECT);
    out->object_holder()->object = lumptr_strong<lumobject_base>(object);
    return out;
}
