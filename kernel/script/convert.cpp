#include "kernel/script/convert.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/object.h"

lumvar* lum_kernel_follow_refs(lumvar* value) {
    for (int hop = 0; hop < lum_kernel_max_ref_hops && value != nullptr && value->type == LUMVAR_REF; ++hop)
        value = value->payload.ref;
    return value;
}

std::string lum_kernel_value_type_name(lumvar* value) {
    if (value == nullptr) return "None";
    switch (value->type) {
        case LUMVAR_NONE: return "None";
        case LUMVAR_INT: return "int";
        case LUMVAR_FLOAT: return "float";
        case LUMVAR_STRING: return "string";
        case LUMVAR_BINARY: return "std.buffer";
        case LUMVAR_JSON: return "json";
        case LUMVAR_FUNCTION: return "function";
        case LUMVAR_OBJECT: {
            lumobject_base* object = value->object_raw();  // a dead object turns the value into none
            return object != nullptr ? object->type_name() : "object";
        }
        default: return "value";
    }
}

namespace {

struct int_range {
    int64_t lo;
    int64_t hi;
};

int_range range_of(lumk_prim type) {
    switch (type) {
        case LUMK_PRIM_I8: return {-128, 127};
        case LUMK_PRIM_U8: return {0, 255};
        case LUMK_PRIM_I16: return {-32768, 32767};
        case LUMK_PRIM_U16: return {0, 65535};
        case LUMK_PRIM_I32: return {-2147483648LL, 2147483647LL};
        case LUMK_PRIM_U32: return {0, 4294967295LL};
        case LUMK_PRIM_U64: return {0, std::numeric_limits<int64_t>::max()};
        default: return {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
    }
}

uint64_t narrow(lumk_prim type, int64_t v) {
    switch (type) {
        case LUMK_PRIM_I8: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(v)));
        case LUMK_PRIM_U8: return static_cast<uint8_t>(v);
        case LUMK_PRIM_I16: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(v)));
        case LUMK_PRIM_U16: return static_cast<uint16_t>(v);
        case LUMK_PRIM_I32: return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v)));
        case LUMK_PRIM_U32: return static_cast<uint32_t>(v);
        default: return static_cast<uint64_t>(v);
    }
}

}  // namespace

bool lum_kernel_scalar_from_value(lumvar* value, lumk_prim type, bool allow_int_for_float, uint64_t* out,
                                  std::string* error) {
    *out = 0;
    const uint8_t vt = value != nullptr ? value->type : static_cast<uint8_t>(LUMVAR_NONE);
    const std::string tname = lumk_prim_name(type);
    if (type == LUMK_PRIM_BOOL) {
        if (vt == LUMVAR_INT) {
            const uint64_t v = static_cast<uint64_t>(value->payload.i);
            if (v <= 1) {
                *out = v;
                return true;
            }
            *error = "expects bool (true / false) but got the int " + std::to_string(value->payload.i);
            return false;
        }
        *error = "expects bool (true / false) but got " + lum_kernel_value_type_name(value);
        return false;
    }
    if (type >= LUMK_PRIM_I8 && type <= LUMK_PRIM_U64) {
        if (vt != LUMVAR_INT) {
            *error = "expects " + tname + " but got " + lum_kernel_value_type_name(value);
            if (vt == LUMVAR_FLOAT) *error += " (convert with std.int(x))";
            return false;
        }
        const int64_t v = value->payload.i;
        const int_range r = range_of(type);
        if (v < r.lo || v > r.hi) {
            *error = "expects " + tname + " but " + std::to_string(v) + " does not fit";
            return false;
        }
        *out = narrow(type, v);
        return true;
    }
    if (type == LUMK_PRIM_F32 || type == LUMK_PRIM_F64) {
        double x = 0;
        if (vt == LUMVAR_FLOAT) {
            x = value->payload.f;
        } else if (vt == LUMVAR_INT && allow_int_for_float) {
            x = static_cast<double>(value->payload.i);
        } else {
            *error = "expects " + tname + " but got " + lum_kernel_value_type_name(value);
            if (vt == LUMVAR_INT) *error += " (write 2.0 instead of 2, or std.float(x))";
            return false;
        }
        if (type == LUMK_PRIM_F32) {
            const float f = static_cast<float>(x);
            uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            *out = bits;
        } else {
            std::memcpy(out, &x, sizeof x);
        }
        return true;
    }
    *error = "unsupported type";
    return false;
}

lumvar_shared lum_kernel_value_from_scalar(lumk_prim type, uint64_t bits) {
    lumvar_shared v = lumvar_shared::make();
    if (type == LUMK_PRIM_VOID) return v;
    if (type == LUMK_PRIM_F32) {
        const uint32_t low = static_cast<uint32_t>(bits);
        float f = 0;
        std::memcpy(&f, &low, sizeof f);
        v->set_float(static_cast<double>(f));
    } else if (type == LUMK_PRIM_F64) {
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        v->set_float(d);
    } else {
        v->set_int(static_cast<int64_t>(bits));
    }
    return v;
}

int64_t lum_kernel_int_arg(lumvar* value) {
    value = lum_kernel_follow_refs(value);
    if (value == nullptr) return 0;
    if (value->type == LUMVAR_INT) return value->payload.i;
    if (value->type == LUMVAR_FLOAT) {
        const double f = value->payload.f;
        if (std::isnan(f)) return 0;
        if (f >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
        if (f <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(f);
    }
    return value->int_value();
}

std::string lum_kernel_text_arg(lumvar* value) {
    value = lum_kernel_follow_refs(value);
    return value != nullptr ? value->to_std_string() : std::string();
}
