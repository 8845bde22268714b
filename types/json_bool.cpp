#include "types/json_bool.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "runtime/namespace.h"

lum_std_json_bool::lum_std_json_bool() : value(lumvar_shared::make()) {}

lum_std_json_bool::lum_std_json_bool(const lumvar_shared& source) : value(lumvar_shared::make()) {
    if (source) {
        lumvar_shared copy = source;
        value->set(copy);
    }
}

lum_std_json_bool::~lum_std_json_bool() = default;

bool lum_std_json_bool::truth() { return value->get_bool(); }

std::string lum_std_json_bool::to_string() { return truth() ? "true" : "false"; }

lumptr_strong<lumobject_base> lum_std_json_bool::copy() {
    return lumptr_strong<lumobject_base>(new lum_std_json_bool(value));
}

bool lum_std_json_bool::compare_zero() { return !truth(); }

namespace {

enum : unsigned { op_add = 0, op_sub = 1, op_mul = 2, op_div = 3 };

// The wrapped value as a 64-bit integer: floats saturate (NaN gives 0).
int64_t wrapped_int(lumvar& v) {
    if (v.type == LUMVAR_INT) return v.payload.i;
    if (v.type == LUMVAR_FLOAT) {
        const double f = v.payload.f;
        if (std::isnan(f)) return 0;
        if (f >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
        if (f <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(f);
    }
    return v.int_value();
}

// Two's-complement wrapping integer arithmetic; false for a zero divisor.
bool int_op(unsigned op, int64_t a, int64_t b, int64_t& out) {
    const uint64_t ua = static_cast<uint64_t>(a);
    const uint64_t ub = static_cast<uint64_t>(b);
    switch (op) {
        case op_add: out = static_cast<int64_t>(ua + ub); return true;
        case op_sub: out = static_cast<int64_t>(ua - ub); return true;
        case op_mul: out = static_cast<int64_t>(ua * ub); return true;
        default:
            if (b == 0) return false;
            // The one quotient without a representation wraps like negation.
            if (b == -1) out = static_cast<int64_t>(0 - ua);
            else out = a / b;
            return true;
    }
}

double float_op(unsigned op, double a, double b) {
    switch (op) {
        case op_add: return a + b;
        case op_sub: return a - b;
        case op_mul: return a * b;
        default: return a / b;
    }
}

}  // namespace

bool lum_std_json_bool::arith(unsigned op, bool reversed, const lumvar_shared& other, lumvar_shared& result) {
    if (!other) return false;
    lumvar& o = *other;
    if (o.type == LUMVAR_FLOAT) {
        const double w = value->float_value();
        const double x = o.payload.f;
        const double r = reversed ? float_op(op, x, w) : float_op(op, w, x);
        if (!result) result = lumvar_shared::make();
        result->set_float(r);
        return true;
    }
    if (o.type == LUMVAR_INT) {
        const int64_t w = wrapped_int(*value);
        const int64_t x = o.payload.i;
        int64_t r = 0;
        if (!(reversed ? int_op(op, x, w, r) : int_op(op, w, x, r))) return false;
        if (!result) result = lumvar_shared::make();
        result->set_int(r);
        return true;
    }
    return false;
}

bool lum_std_json_bool::add(const lumvar_shared& o, lumvar_shared& r) { return arith(op_add, false, o, r); }
bool lum_std_json_bool::add_reverse(const lumvar_shared& o, lumvar_shared& r) { return arith(op_add, true, o, r); }
bool lum_std_json_bool::sub(const lumvar_shared& o, lumvar_shared& r) { return arith(op_sub, false, o, r); }
bool lum_std_json_bool::sub_reverse(const lumvar_shared& o, lumvar_shared& r) { return arith(op_sub, true, o, r); }
bool lum_std_json_bool::mul(const lumvar_shared& o, lumvar_shared& r) { return arith(op_mul, false, o, r); }
bool lum_std_json_bool::mul_reverse(const lumvar_shared& o, lumvar_shared& r) { return arith(op_mul, true, o, r); }
bool lum_std_json_bool::div(const lumvar_shared& o, lumvar_shared& r) { return arith(op_div, false, o, r); }
bool lum_std_json_bool::div_reverse(const lumvar_shared& o, lumvar_shared& r) { return arith(op_div, true, o, r); }

bool lum_std_json_bool::compare_equal(const lumvar_shared& other) {
    if (!other) return false;
    lumvar& o = *other;
    if (o.type == LUMVAR_OBJECT) {
        // object_raw() turns a value whose object is gone into none.
        lum_std_json_bool* b = as_json_bool(o.object_raw());
        if (b == nullptr) return false;
        if (b == this) return true;
        lumptr_strong<lumobject_base> keep(b);
        return b->truth() == truth();
    }
    if (o.type == LUMVAR_INT) return truth() == (o.payload.i != 0);
    return false;
}

bool lum_std_json_bool::compare_smaller(const lumvar_shared& other, bool or_equal) {
    if (!other || (other->type != LUMVAR_INT && other->type != LUMVAR_FLOAT)) return false;
    const double me = truth() ? 1.0 : 0.0;
    const double x = other->float_value();
    return me < x || (or_equal && me == x);
}

bool lum_std_json_bool::compare_bigger(const lumvar_shared& other, bool or_equal) {
    if (!other || (other->type != LUMVAR_INT && other->type != LUMVAR_FLOAT)) return false;
    const double me = truth() ? 1.0 : 0.0;
    const double x = other->float_value();
    return me > x || (or_equal && me == x);
}

void lum_std_json_bool::to_json(nlohmann::json& out) { out = truth(); }

void lum_std_json_bool::script_register() {
    add_getter("value", [](lum_std_json_bool* self) {
        lumvar_shared out = lumvar_shared::make();
        lumvar_shared source = self->value;
        out->set(source);
        return out;
    });
    add_setter("value", [](lum_std_json_bool* self, lumvar_shared& v) {
        if (v) self->value->set(v);
    });
}

lum_std_json_bool* as_json_bool(lumobject_base* object) {
    if (object == nullptr || !object->is_type(lumptr_type_tag<lum_std_json_bool>::type_id())) return nullptr;
    return static_cast<lum_std_json_bool*>(object);
}

void lum_json_bool_namespace_init(lum_namespace& ns) {
    lum_function_def* def = lum_namespace::add_class<lum_std_json_bool>(
        ns,
        [](lum_vm_context&, std::vector<lumvar_shared>& args) -> lumvar_shared {
            lum_std_json_bool* object =
                args.empty() ? new lum_std_json_bool() : new lum_std_json_bool(args[0]);
            return lumvar_shared::from_object(object);
        },
        "Create a JSON boolean. The wrapped value is written as true/false instead of 1/0 when the JSON is "
        "converted to a string.");
    if (def != nullptr) def->arg_docs.push_back("value: object - Value to wrap as a boolean.");
}
