// Value operations: conversions, truth, size, increments, comparisons,
// dereferencing and member access. None of them throws: an unsupported type gives
// a run-time warning and a neutral result.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/script/buffer.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/object.h"
#include "runtime/per_thread.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/class.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"

namespace {

void warn_type(const char* prefix, uint32_t type) { runtime_warning(prefix + std::to_string(type)); }

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Leading white space, one optional sign, base-10 digits; saturates at the
// limits of the sign; no digit gives 0.
int64_t parse_int(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(s[i] - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) overflow = true;
        if (!overflow) magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (overflow || magnitude > uint64_t{1} << 63) return INT64_MIN;
        return static_cast<int64_t>(0 - magnitude);
    }
    if (overflow || magnitude > static_cast<uint64_t>(INT64_MAX)) return INT64_MAX;
    return static_cast<int64_t>(magnitude);
}

// Truncation toward zero; NaN 0; out of range saturates.
int64_t float_to_int(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775808.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

// Number texts never depend on the process locale.
double parse_float(const std::string& s) { return lum_strtod_c(s.c_str(), nullptr); }

// printf "%f" (six decimals), independent of the locale.
void format_float(std::string& out, double d) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 6);
    out.assign(buf, r.ptr);
}

void format_int(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.assign(buf, r.ptr);
}

// The error of a member reference whose object is gone.
void invalid_object(std::string_view key) {
    std::string message = "Tried to access index '";
    message.append(key).append("' on an invalid object.");
    lum_runtime_error(true, message);
}

// The value a member reference reads: the member's own dereferenced value,
// none when the object has no such member.
void deref_member(const lumvar_shared& member, lumvar_shared& out) {
    if (member)
        member->deref(out);
    else
        out = lumvar_shared::make();
}

// Text form of a member-key reference's key (for messages and string access).
std::string key_text(const lumvar_shared& key) { return key ? key->to_std_string() : std::string(); }

// The value a cell stands for, for operations that look through refs: the cell
// itself below type 14, else its dereferenced value; null when a ref chain ends
// on nothing, on a ref, or on the cell itself.
lumvar* look_through(lumvar& v, lumvar_shared& hold) {
    if (v.type < LUMVAR_OBJECT_MEMBER_LITERAL) return &v;
    v.deref(hold);
    lumvar* t = hold.get();
    if (t == nullptr || t == &v || t->type == LUMVAR_REF) return nullptr;
    return t;
}

// Two handles refer to the same thing: the same record, or both empty (empty
// handles made on either side of the module boundary use different null records).
bool same_record(const lumptr_ref_record* a, const lumptr_ref_record* b) {
    return a == b || (a->strong == LUMPTR_PERMANENT && b->strong == LUMPTR_PERMANENT);
}

}  // namespace

// ---------------------------------------------------------------------------
// Conversions

int64_t lumvar::int_value() {
    switch (type) {
        case LUMVAR_NONE:
            return 0;
        case LUMVAR_INT:
            return payload.i;
        case LUMVAR_FLOAT:
            return float_to_int(payload.f);
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            return s != nullptr ? parse_int(s->text) : 0;
        }
        case LUMVAR_REF: {
            lumvar_shared hold;
            lumvar* t = look_through(*this, hold);
            return t != nullptr ? t->int_value() : 0;
        }
        default:
            warn_type("int_value() not implemented for type: ", type);
            return 0;
    }
}

double lumvar::float_value() {
    switch (type) {
        case LUMVAR_NONE:
            return 0.0;
        case LUMVAR_INT:
            return static_cast<double>(payload.i);
        case LUMVAR_FLOAT:
            return payload.f;
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            return s != nullptr ? parse_float(s->text) : 0.0;
        }
        case LUMVAR_REF: {
            lumvar_shared hold;
            lumvar* t = look_through(*this, hold);
            return t != nullptr ? t->float_value() : 0.0;
        }
        default:
            warn_type("float_value() not implemented for type: ", type);
            return 0.0;
    }
}

void lumvar::string_value(std::string& out) {
    switch (type) {
        case LUMVAR_ERR:
            out = "ERROR";
            return;
        case LUMVAR_NONE:
            out.clear();
            return;
        case LUMVAR_INT:
            format_int(out, payload.i);
            return;
        case LUMVAR_FLOAT:
            format_float(out, payload.f);
            return;
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            if (s != nullptr)
                out = s->text;
            else
                out.clear();
            return;
        }
        case LUMVAR_BINARY:
        case LUMVAR_JSON: {
            lumobject_base* o = payload_object();
            if (o != nullptr)
                out = o->to_string();
            else
                out.clear();
            return;
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* h = object_holder();
            lumobject_base* o = h != nullptr ? h->object.get() : nullptr;
            if (o != nullptr)
                out = o->to_string();
            else
                out.clear();
            return;
        }
        case LUMVAR_CLASS: {
            lumvar_class_holder* h = class_holder();
            lum_class* instance = h != nullptr ? h->instance.get() : nullptr;
            if (instance != nullptr)
                out.assign(instance->class_name());
            else
                out.clear();
            return;
        }
        case LUMVAR_OBJECT_MEMBER_LITERAL: {
            lumvar_member_name_ref* r = member_name_ref();
            lumptr_strong<lumobject_base> object = r->object;
            out.clear();
            if (!object) return invalid_object(r->name);
            const std::string name = r->name;
            lumvar_shared member = object->get_member(std::string_view(name));
            if (member) member->string_value(out);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_INDEX: {
            lumvar_member_index_ref* r = member_index_ref();
            lumptr_strong<lumobject_base> object = r->object;
            out.clear();
            if (!object) return invalid_object(std::to_string(r->index));
            lumvar_shared member;
            if (r->by_definition)
                object->read_member_at(member, r->index);
            else
                member = object->get_member(r->index);
            if (member) member->string_value(out);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_VAR: {
            lumvar_member_key_ref* r = member_key_ref();
            lumptr_strong<lumobject_base> object = r->object.lock();
            out.clear();
            if (!object) return invalid_object(key_text(r->key));
            lumvar_shared key = r->key;
            lumvar_shared member;
            if (key && key->type == LUMVAR_INT) {
                member = object->get_member(key->payload.i);
            } else {
                const std::string text = key_text(key);
                member = object->get_member(std::string_view(text));
            }
            if (member) member->string_value(out);
            return;
        }
        case LUMVAR_REF: {
            lumvar_shared hold;
            lumvar* t = look_through(*this, hold);
            if (t != nullptr)
                t->string_value(out);
            else
                out.clear();
            return;
        }
        default:
            out.clear();
            warn_type("string_value() not implemented for type: ", type);
            return;
    }
}

std::string lumvar::to_std_string() {
    std::string s;
    string_value(s);
    return s;
}

std::string_view lumvar::string_view_value() {
    if (type == LUMVAR_STRING) {
        const lum_std_string* s = string_object();
        return s != nullptr ? std::string_view(s->text) : std::string_view();
    }
    static thread_local constinit lum_per_thread<std::string> scratch_slot;
    std::string& scratch = scratch_slot.get();
    string_value(scratch);
    return scratch;
}

// ---------------------------------------------------------------------------
// Truth, emptiness, size, increments

bool lumvar::get_bool() {
    switch (type) {
        case LUMVAR_NONE:
            return false;
        case LUMVAR_INT:
            return payload.i != 0;
        case LUMVAR_REF:
            return payload.ref != nullptr;
        case LUMVAR_FLOAT:
            return payload.f != 0.0;  // NaN is true
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            return s != nullptr && !s->text.empty();
        }
        case LUMVAR_JSON: {
            const lum_std_json* j = json_container();
            return j != nullptr && !j->entries.empty();
        }
        case LUMVAR_FUNCTION: {
            const lumvar_function_record* r = function_record();
            return r != nullptr && !r->block.expired();
        }
        default:
            warn_type("get_bool() not implemented for type: ", type);
            return false;
    }
}

bool lumvar::compare_zero() {
    switch (type) {
        case LUMVAR_ERR:
        case LUMVAR_NONE:
            return true;
        case LUMVAR_INT:
            return payload.i == 0;
        case LUMVAR_REF:
            return payload.ref == nullptr;
        case LUMVAR_FLOAT:
            return payload.f == 0.0;
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            return s == nullptr || s->text.empty();
        }
        case LUMVAR_BINARY: {
            const lum_std_buffer* b = buffer_object();
            return b == nullptr || b->bytes.empty();
        }
        case LUMVAR_JSON: {
            const lum_std_json* j = json_container();
            return j == nullptr || j->entries.empty();
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* h = object_holder();
            lumptr_strong<lumobject_base> object;
            if (h != nullptr) object = h->object;
            return !object || object->compare_zero();
        }
        case LUMVAR_CLASS: {
            lum_get_log().notice("Implement proper class compare_zero check!");
            const lumvar_class_holder* h = class_holder();
            return h == nullptr || !h->instance;
        }
        case LUMVAR_FUNCTION: {
            const lumvar_function_record* r = function_record();
            return r == nullptr || r->block.expired();
        }
        case LUMVAR_EXT_FUNCTION:
            return false;
        case LUMVAR_OBJECT_MEMBER_LITERAL: {
            lumvar_member_name_ref* r = member_name_ref();
            lumptr_strong<lumobject_base> object = r->object;
            const std::string name = r->name;
            if (!object || !object->has_member(std::string_view(name))) return true;
            lumvar_shared member = object->get_member(std::string_view(name));
            return !member || member->compare_zero();
        }
        case LUMVAR_OBJECT_MEMBER_INDEX: {
            lumvar_member_index_ref* r = member_index_ref();
            lumptr_strong<lumobject_base> object = r->object;
            if (!object) return true;
            lumvar_shared member;
            if (r->by_definition) {
                // A definition index names a registered member: read it directly.
                object->read_member_at(member, r->index);
            } else {
                if (!object->has_member(r->index)) return true;
                member = object->get_member(r->index);
            }
            return !member || member->compare_zero();
        }
        case LUMVAR_OBJECT_MEMBER_VAR: {
            lumvar_member_key_ref* r = member_key_ref();
            lumptr_strong<lumobject_base> object = r->object.lock();
            if (!object || !object->has_member(lumvar_shared(r->key))) return true;
            lumvar_shared member = object->get_member(lumvar_shared(r->key));
            return !member || member->compare_zero();
        }
        default:
            warn_type("compare_zero not implemented for type: ", type);
            return true;
    }
}

int64_t lumvar::size() {
    switch (type) {
        case LUMVAR_STRING: {
            const lum_std_string* s = string_object();
            return s != nullptr ? static_cast<int64_t>(s->text.size()) : 0;
        }
        case LUMVAR_BINARY: {
            const lum_std_buffer* b = buffer_object();
            return b != nullptr ? static_cast<int64_t>(b->bytes.size()) : 0;
        }
        case LUMVAR_JSON: {
            const lum_std_json* j = json_container();
            return j != nullptr ? static_cast<int64_t>(j->entries.size()) : 0;
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* h = object_holder();
            lumptr_strong<lumobject_base> object;
            if (h != nullptr) object = h->object;
            return object ? static_cast<int64_t>(static_cast<uint32_t>(object->size())) : 0;
        }
        default:
            warn_type("size() not implemented for type: ", type);
            return 0;
    }
}

bool lumvar::increment_value() {
    switch (type) {
        case LUMVAR_NONE:
            set_int(1);
            return true;
        case LUMVAR_INT:
            payload.i = static_cast<int64_t>(static_cast<uint64_t>(payload.i) + 1);
            return true;
        case LUMVAR_FLOAT:
            payload.f += 1.0;
            return true;
        default:
            warn_type("increment_value not implemented for type: ", type);
            return false;
    }
}

bool lumvar::decrement_value() {
    switch (type) {
        case LUMVAR_NONE:
            set_int(-1);
            return true;
        case LUMVAR_INT:
            payload.i = static_cast<int64_t>(static_cast<uint64_t>(payload.i) - 1);
            return true;
        case LUMVAR_FLOAT:
            payload.f -= 1.0;
            return true;
        default:
            warn_type("decrement_value not implemented for type: ", type);
            return false;
    }
}

// ---------------------------------------------------------------------------
// Comparisons

namespace {

// The object of an object value (null otherwise, or when it is gone).
lumptr_strong<lumobject_base> object_of(lumvar& v) {
    if (v.type != LUMVAR_OBJECT) return {};
    lumvar_object_holder* h = v.object_holder();
    if (h == nullptr) return {};
    return h->object;
}

// Texts of two values for the string comparisons (a string side's own text).
struct text_pair {
    std::string a_buf, b_buf;
    std::string_view a, b;
    text_pair(lumvar& x, lumvar& y) {
        if (x.type == LUMVAR_STRING) {
            a = x.string_view_value();
        } else {
            x.string_value(a_buf);
            a = a_buf;
        }
        if (y.type == LUMVAR_STRING) {
            b = y.string_view_value();
        } else {
            y.string_value(b_buf);
            b = b_buf;
        }
    }
};

int compare_bytes(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool lumvar::compare_equal(lumvar& a, lumvar& b) {
    const uint8_t top = std::max(a.type, b.type);
    switch (top) {
        case LUMVAR_NONE:
            return true;
        case LUMVAR_INT:
            return a.int_value() == b.int_value();
        case LUMVAR_FLOAT:
            return a.float_value() == b.float_value();
        case LUMVAR_STRING: {
            const text_pair t(a, b);
            return t.a == t.b;
        }
        case LUMVAR_BINARY: {
            if (a.type != LUMVAR_BINARY || b.type != LUMVAR_BINARY) return false;
            const lum_std_buffer* x = a.buffer_object();
            const lum_std_buffer* y = b.buffer_object();
            if (x == y) return true;
            if ((x != nullptr && x->write_locks != 0) || (y != nullptr && y->write_locks != 0)) {
                lum_runtime_error(true, lum_buffer_in_use_message);
                return false;
            }
            const size_t nx = x != nullptr ? x->bytes.size() : 0;
            const size_t ny = y != nullptr ? y->bytes.size() : 0;
            if (nx != ny) return false;
            return nx == 0 || std::memcmp(x->bytes.data(), y->bytes.data(), nx) == 0;
        }
        case LUMVAR_JSON: {
            if (a.type == LUMVAR_JSON && b.type == LUMVAR_JSON) return json_equal(a.json_container(), b.json_container());
            if (a.type == LUMVAR_JSON && b.type == LUMVAR_INT) return a.size() == b.payload.i;
            if (b.type == LUMVAR_JSON && a.type == LUMVAR_INT) return b.size() == a.payload.i;
            return false;
        }
        case LUMVAR_OBJECT: {
            lumptr_strong<lumobject_base> x = object_of(a);
            lumptr_strong<lumobject_base> y = object_of(b);
            if (x.get() != y.get()) {
                // Each side's object decides for itself, whatever the other side is.
                if (x && x->compare_equal(lumvar_shared(&b))) return true;
                if (y && y->compare_equal(lumvar_shared(&a))) return true;
            }
            return a.type == LUMVAR_OBJECT && b.type == LUMVAR_OBJECT && x.get() == y.get();
        }
        case LUMVAR_CLASS: {
            if (a.type != LUMVAR_CLASS || b.type != LUMVAR_CLASS) return false;
            const lumvar_class_holder* x = a.class_holder();
            const lumvar_class_holder* y = b.class_holder();
            if (x == nullptr || y == nullptr) return x == y;
            return same_record(x->instance.record(), y->instance.record());
        }
        case LUMVAR_FUNCTION: {
            if (a.type != LUMVAR_FUNCTION || b.type != LUMVAR_FUNCTION) return false;
            const lumvar_function_record* x = a.function_record();
            const lumvar_function_record* y = b.function_record();
            if (x == y) return true;
            if (x == nullptr || y == nullptr) return false;
            if (!same_record(x->block.record(), y->block.record())) return false;
            if (!same_record(x->self.record(), y->self.record())) return false;
            if (x->scope.expired() || y->scope.expired()) return true;
            return same_record(x->scope.record(), y->scope.record());
        }
        case LUMVAR_EXT_FUNCTION: {
            if (a.type != LUMVAR_EXT_FUNCTION || b.type != LUMVAR_EXT_FUNCTION) return false;
            const lumvar_ext_function_record* x = a.ext_function_record();
            const lumvar_ext_function_record* y = b.ext_function_record();
            if (x == y) return true;
            if (x == nullptr || y == nullptr) return false;
            if (!same_record(x->definition.record(), y->definition.record())) return false;
            return x->owner.get() == y->owner.get();
        }
        default:
            if (a.type == LUMVAR_NONE || b.type == LUMVAR_NONE) return false;
            warn_type("Compare_equal not implemented for type: ", a.type);
            return false;
    }
}

namespace {

// Shared body of compare_smaller (smaller = true) and compare_bigger.
bool compare_order(lumvar& a, lumvar& b, bool or_equal, bool smaller) {
    const uint8_t top = std::max(a.type, b.type);
    switch (top) {
        case LUMVAR_INT: {
            const int64_t x = a.int_value();
            const int64_t y = b.int_value();
            return smaller ? (x < y || (or_equal && x == y)) : (x > y || (or_equal && x == y));
        }
        case LUMVAR_FLOAT: {
            const double x = a.float_value();
            const double y = b.float_value();
            return smaller ? (x < y || (or_equal && x == y)) : (x > y || (or_equal && x == y));
        }
        case LUMVAR_STRING: {
            const text_pair t(a, b);
            const int c = compare_bytes(t.a, t.b);
            return smaller ? (c < 0 || (or_equal && c == 0)) : (c > 0 || (or_equal && c == 0));
        }
        case LUMVAR_OBJECT: {
            lumptr_strong<lumobject_base> x = object_of(a);
            lumptr_strong<lumobject_base> y = object_of(b);
            if (x) {
                const bool r = smaller ? x->compare_smaller(lumvar_shared(&b), or_equal)
                                       : x->compare_bigger(lumvar_shared(&b), or_equal);
                if (r) return true;
            }
            if (y) {
                return smaller ? y->compare_bigger(lumvar_shared(&a), or_equal)
                               : y->compare_smaller(lumvar_shared(&a), or_equal);
            }
            return false;
        }
        default:
            warn_type(smaller ? "Compare_smaller not implemented for type: " : "Compare_bigger not implemented for type: ",
                      a.type);
            return false;
    }
}

}  // namespace

bool lumvar::compare_smaller(lumvar& a, lumvar& b, bool or_equal) { return compare_order(a, b, or_equal, true); }

bool lumvar::compare_bigger(lumvar& a, lumvar& b, bool or_equal) { return compare_order(a, b, or_equal, false); }

bool lumvar::json_equal(lum_std_json* a, lum_std_json* b) {
    if (a == b) return true;
    if (a == nullptr || b == nullptr) return false;
    if (a->entries.size() != b->entries.size()) return false;
    thread_local uint32_t depth = 0;
    if (depth >= 256) return false;
    ++depth;
    struct leave {
        ~leave() { --depth; }
    } on_exit;
    for (size_t i = 0; i < a->entries.size(); ++i) {
        const lum_json_entry& x = a->entries[i];
        const lum_json_entry& y = b->entries[i];
        if (x.has_key() != y.has_key()) return false;
        if (x.has_key() && *x.key != *y.key) return false;
        if (!x.value || !y.value) {
            if (x.value || y.value) return false;
            continue;
        }
        lumvar_shared xv, yv;
        x.value->resolve(xv);
        y.value->resolve(yv);
        if (!xv || !yv) {
            if (xv || yv) return false;
            continue;
        }
        if (!compare_equal(*xv, *yv)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Dereference and member access

void lumvar::deref(lumvar_shared& out) {
    switch (type) {
        case LUMVAR_REF: {
            lumvar* target = payload.ref;
            if (target == nullptr) {
                out = lumvar_shared(this);
                return;
            }
            if (target->type < LUMVAR_OBJECT_MEMBER_LITERAL) {
                out = lumvar_shared(target);
                return;
            }
            // Longer chains: two walkers, one link and two links per step.
            lumvar* slow = this;
            lumvar* fast = this;
            for (;;) {
                if (fast->type != LUMVAR_REF || fast->payload.ref == nullptr) break;
                fast = fast->payload.ref;
                if (fast->type != LUMVAR_REF || fast->payload.ref == nullptr) break;
                fast = fast->payload.ref;
                slow = slow->payload.ref;
                if (slow == fast) {
                    runtime_warning("Circular reference detected in deref().");
                    out = lumvar_shared::make();
                    return;
                }
            }
            lumvar* c = this;
            while (c->type == LUMVAR_REF) {
                if (c->payload.ref == nullptr) {
                    out = lumvar_shared(this);
                    return;
                }
                c = c->payload.ref;
            }
            if (c->is_member_reference()) {
                lumvar_shared hold(c);
                c->deref(out);
                return;
            }
            out = lumvar_shared(c);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_LITERAL: {
            lumvar_member_name_ref* r = member_name_ref();
            lumptr_strong<lumobject_base> object = r->object;
            if (!object) {
                invalid_object(r->name);
                out = lumvar_shared::make();
                return;
            }
            const std::string name = r->name;
            deref_member(object->get_member(std::string_view(name)), out);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_INDEX: {
            lumvar_member_index_ref* r = member_index_ref();
            lumptr_strong<lumobject_base> object = r->object;
            if (!object) {
                invalid_object(std::to_string(r->index));
                out = lumvar_shared::make();
                return;
            }
            if (r->by_definition) {
                lumvar_shared member;
                object->read_member_at(member, r->index);
                out = member ? std::move(member) : lumvar_shared::make();
                return;
            }
            deref_member(object->get_member(r->index), out);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_VAR: {
            lumvar_member_key_ref* r = member_key_ref();
            lumptr_strong<lumobject_base> object = r->object.lock();
            if (!object) {
                invalid_object(key_text(r->key));
                out = lumvar_shared::make();
                return;
            }
            deref_member(object->get_member(lumvar_shared(r->key)), out);
            return;
        }
        default:
            out = lumvar_shared(this);
            return;
    }
}

namespace {

// Member access by name or by index: a json container answers through
// `from_json`; a string, binary or object value gives the member reference
// `make_ref` builds for its object; any other value (or one whose object is
// gone) becomes a container first.
template <class FromJson, class MakeRef>
void member_access(lumvar& v, lumvar_shared& out, FromJson from_json, MakeRef make_ref) {
    switch (v.type) {
        case LUMVAR_JSON:
            if (lum_std_json* j = v.json_container()) {
                out = from_json(j);
                return;
            }
            break;
        case LUMVAR_STRING:
        case LUMVAR_BINARY:
        case LUMVAR_OBJECT:
            if (lumobject_base* object = v.object_raw()) {
                out = make_ref(object);
                return;
            }
            break;
        default:
            break;
    }
    lum_std_json* j = v.json_object(true);
    out = j != nullptr ? from_json(j) : lumvar_shared::make();
}

}  // namespace

void lumvar::get_member_by_name(lumvar_shared& out, std::string_view name) {
    if (type == LUMVAR_CLASS) {
        lumvar_class_holder* h = class_holder();
        lumptr_strong<lum_class> instance;
        if (h != nullptr) instance = h->instance;
        if (instance)
            instance->get_member(out, name);
        else
            out = lumvar_shared::make();
        return;
    }
    member_access(
        *this, out, [name](lum_std_json* j) { return j->get_or_add(name); },
        [name](lumobject_base* object) {
            lumvar_shared ref = lumvar_shared::make_typed(LUMVAR_OBJECT_MEMBER_LITERAL);
            lumvar_member_name_ref* r = ref->member_name_ref();
            r->object = lumptr_strong<lumobject_base>(object);
            r->name.assign(name.data(), name.size());
            return ref;
        });
}

void lumvar::get_member_by_index(lumvar_shared& out, int64_t index) {
    member_access(
        *this, out, [index](lum_std_json* j) { return j->at(index); },
        [index](lumobject_base* object) {
            lumvar_shared ref = lumvar_shared::make_typed(LUMVAR_OBJECT_MEMBER_INDEX);
            lumvar_member_index_ref* r = ref->member_index_ref();
            r->object = lumptr_strong<lumobject_base>(object);
            r->index = index;
            r->by_definition = 0;
            return ref;
        });
}

bool lumvar::has_member(std::string_view key) {
    switch (type) {
        case LUMVAR_STRING:
        case LUMVAR_BINARY:
        case LUMVAR_JSON:
        case LUMVAR_OBJECT: {
            lumobject_base* object = object_raw();
            if (object == nullptr) return false;
            lumptr_strong<lumobject_base> keep(object);
            return object->has_member(key);
        }
        default:
            return false;
    }
}

bool lumvar::is_valid_class() {
    if (type != LUMVAR_CLASS) return false;
    const lumvar_class_holder* h = class_holder();
    if (h != nullptr && h->instance) return true;
    lum_get_log().error("Cannot get class ref.");
    set_type(LUMVAR_NONE);
    return false;
}
