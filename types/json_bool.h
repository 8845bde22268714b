// "json.bool": a wrapper around one script value that stands for a JSON
// boolean. It prints as "true"/"false" (the truth of the wrapped value), becomes
// a JSON true/false in the text form of a "std.json", and is what the text
// parser makes of JSON booleans. Arithmetic uses the wrapped NUMBER, not its
// truth; comparisons use the truth. The property "value" reads and writes the
// wrapped value (always by copy: the object never aliases a caller's cell).
//
// Objects live on the heap (not pooled) and are used by the thread that holds
// the VM lock, like every value.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "runtime/class_binding.h"
#include "runtime/value.h"

class lum_namespace;

class lum_std_json_bool : public lumobject<lum_std_json_bool, CLASS_STRING<"json.bool">> {
public:
    static constexpr uint32_t constructor_max_args = 1;

    lumvar_shared value;  // owned cell, created with the object

    // Wraps none.
    lum_std_json_bool();
    // Wraps a copy of `source` (assigned, never shared; a null handle gives none).
    explicit lum_std_json_bool(const lumvar_shared& source);
    ~lum_std_json_bool() override;

    // The truth of the wrapped value (lumvar::get_bool).
    bool truth();

    // Slot 4: "true" or "false".
    std::string to_string() override;
    // Slot 6: an independent json.bool wrapping a copy of the value.
    lumptr_strong<lumobject_base> copy() override;
    // Slot 16: true when the object is false.
    bool compare_zero() override;

    // Slots 20-27. With an int other: 64-bit wrapping integer arithmetic on the
    // wrapped number (a float wrapped value saturates; division truncates; a
    // zero divisor is not handled; INT64_MIN / -1 wraps to INT64_MIN). With a
    // float other: double arithmetic (IEEE division). Any other type: not handled.
    // Reversed slots compute `other OP wrapped`.
    bool add(const lumvar_shared& other, lumvar_shared& result) override;
    bool add_reverse(const lumvar_shared& other, lumvar_shared& result) override;
    bool sub(const lumvar_shared& other, lumvar_shared& result) override;
    bool sub_reverse(const lumvar_shared& other, lumvar_shared& result) override;
    bool mul(const lumvar_shared& other, lumvar_shared& result) override;
    bool mul_reverse(const lumvar_shared& other, lumvar_shared& result) override;
    bool div(const lumvar_shared& other, lumvar_shared& result) override;
    bool div_reverse(const lumvar_shared& other, lumvar_shared& result) override;

    // Slot 28: another json.bool with the same truth, or an int whose
    // non-zeroness equals the truth. Everything else is unequal.
    bool compare_equal(const lumvar_shared& other) override;
    // Slots 29-30: against an int or float only; the object counts as 1.0 or 0.0.
    bool compare_smaller(const lumvar_shared& other, bool or_equal) override;
    bool compare_bigger(const lumvar_shared& other, bool or_equal) override;

    // Writes the truth as a JSON boolean.
    virtual void to_json(nlohmann::json& out);

    // Adds the property "value" (getter, then setter).
    static void script_register();

private:
    bool arith(unsigned op, bool reversed, const lumvar_shared& other, lumvar_shared& result);
};

// The object as a json.bool when its type test accepts the class, else null.
lum_std_json_bool* as_json_bool(lumobject_base* object);

// Initialiser of namespace "json": registers "json.bool" and publishes its
// constructor function `bool`.
void lum_json_bool_namespace_init(lum_namespace& ns);
