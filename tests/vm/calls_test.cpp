// Calls the assembler programs cannot observe: the two-phase protocol's
// context stack, native argument resolution, and native failures (thrown
// exceptions, definitions that go away, method records called directly).

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "vm/call_record.h"
#include "vm/opcode.h"

using namespace v2test;

TEST(NativeCalls, ExceptionsAndGoneDefinitions) {
    env e;
    lum_function_def* boom = make_native("boom", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
        throw std::runtime_error("it broke");
    });
    lum_function_def* odd = make_native("odd", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) -> lumvar_shared {
        throw 7;
    });
    lum_function_def* empty = make_native("empty", 0, 0, nullptr);
    lum_function_def* method = make_native("method", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::make();
    }, LUM_FUNCTION_RESOLVE_ARGS, 1);
    // A definition that disappears after the value naming it was made.
    lumptr_strong<lum_function_def> gone(make_native("gone", 0, 0, nullptr));
    lumvar_shared gone_value = lumvar_shared::make();
    gone_value->set_ext_function(gone.get(), nullptr);
    lumvar* gone_cell = e.prog.constant(gone_value);
    gone_value.reset();
    gone.reset();
    // A definition that goes between the prepare (44) and the start (46).
    lumptr_strong<lum_function_def> victim(make_native("victim", 1, 1, [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::from_int(1);
    }));
    lum_function_def* const victim_raw = victim.get();
    lum_function_def* kill = make_native("kill", 0, 0, [&victim](lum_vm_context&, std::vector<lumvar_shared>&) {
        victim.reset();
        return lumvar_shared::make();
    });

    // Each call sits in its own try block so that every failure is caught and printed.
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    for (const auto& body : std::vector<std::function<void(lum_block_builder&)>>{
             [&](lum_block_builder& b) { b.push().ldext(boom).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(odd).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(empty).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldext(method).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().frame(0).ncall(method).pop(); },
             [&](lum_block_builder& b) { b.push().ldk(gone_cell).prep(0).call().pop(); },
             [&](lum_block_builder& b) { b.push().ldi(3).prep(0).pop(); },
             [&](lum_block_builder& b) {
                 b.push().emit(LUM_OP_LDEXT, {.D = reinterpret_cast<uint64_t>(victim_raw)});
                 b.prep(1);
                 b.push().frame(0).ncall(kill).arg(0).pop().call().pop();
             }})
        e.guarded(top, body);
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_EQ(joined(e.out),
              "boom: it broke\n"
              "odd: unknown native exception\n"
              "empty: bad function call\n"
              "invalid object pointer!\n"
              "invalid object pointer!\n"
              "not a function!\n"
              "not a function!\n"
              "invalid object pointer!\n");
    EXPECT_FALSE(victim);
    EXPECT_EQ(e.fx.tasks.back()->frame_depth, 0u);
}
