// "std.json" and "json.bool" from script code: the constructor functions,
// json.bool in the interpreter's arithmetic and comparisons, the text form as
// a script prints it, and the cycle warning reported at the task's position.

#include <gtest/gtest.h>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "types/json_bool.h"
#include "types/json_object.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

// The constructor function `name` published by a namespace initialiser.
lumvar_shared constructor(void (*init)(lum_namespace&), std::string_view name) {
    static lum_namespace* ns = new lum_namespace();
    init(*ns);
    lumvar_shared f = lumvar_shared::make();
    f->set_ext_function(ns->members.at(name)->ext_function_record()->definition.get(), nullptr);
    return f;
}

}  // namespace

TEST(JsonScript, ConstructorsOperatorsAndText) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    lumvar* json_fn = e.prog.constant(constructor(lum_std_json_namespace_init, "json"));
    lumvar* bool_fn = e.prog.constant(constructor(lum_json_bool_namespace_init, "bool"));
    // j = json("{\"n\": [1, 2.5], \"t\": true}"); print(j)
    top.push().ld_l(0).push().ldk(json_fn).prep(1).push().lds("{\"n\": [1, 2.5], \"t\": true}").arg(0).pop().call();
    top.assign().pop();
    e.print_slot(top, 0);
    // b = bool(5); print(b); print(b + 1); print(10 - b); print(b == 5); print(b == 1.0)
    top.push().ld_l(1).push().ldk(bool_fn).prep(1).push().ldi(5).arg(0).pop().call().assign().pop();
    e.print_slot(top, 1);
    top.push().ld_l(1).push().ldi(1).op(LUM_OP_ADD);
    e.print_top(top);
    top.pop();
    top.push().ldi(10).push().ld_l(1).op(LUM_OP_SUB);
    e.print_top(top);
    top.pop();
    top.push().ld_l(1).push().ldi(5).put(LUM_OP_EQ, {.A = 0});
    e.print_top(top);
    top.pop();
    top.push().ld_l(1).push().ldf(1.0).put(LUM_OP_EQ, {.A = 0});
    e.print_top(top);
    top.pop();
    // j["me"] = j; print(j): the inner occurrence prints as "<cycle>" with a warning here
    top.push().ld_l(0).push().lds("me").push().ld_l(0).put(LUM_OP_IDXSET, {}).pop();
    e.print_slot(top, 0);
    // j["me"] = 0 breaks the cycle again
    top.push().ld_l(0).push().lds("me").push().ldi(0).put(LUM_OP_IDXSET, {}).pop();
    top.op(LUM_OP_NONE).ret();

    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out),
              "{\n    \"n\": [\n        1,\n        2.5\n    ],\n    \"t\": true\n}\n"
              "true\n6\n5\n1\n0\n"
              "{\n    \"me\": \"<cycle>\",\n    \"n\": [\n        1,\n        2.5\n    ],\n    \"t\": true\n}\n");
    EXPECT_EQ(e.errors(), "");
    const std::string warnings = e.warnings();
    EXPECT_NE(warnings.find("Runtime Warning"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("JSON contains a reference to itself, printing \"<cycle>\" instead of recursing forever."),
              std::string::npos)
        << warnings;
}
