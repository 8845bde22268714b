// What only the interpreter's own state or native code shows (the printed
// results of the opcodes are in the assembler programs): a global load
// without a global context, an assignment without a target, failing natives and
// definitions that go away, abstract methods, static members and index errors
// outside a task, native objects as operands, the position a load stores
// before the top's old object goes, and a stop requested while a call returns.

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/value_records.h"
#include "tests/vm/vm_support.h"
#include "types/json_object.h"
#include "vm/call_record.h"
#include "vm/opcode.h"
#include "vm/symbol_table.h"

using namespace vmtest;

TEST(StackOpcodes, GlobalLoadWithoutAGlobalContext) {
    env e;
    lum_block_builder g(e.prog, e.block("globals", LUM_BLOCK_TOP, 1));
    lum_program_block* global_block = g.finish();
    lum_block_builder r(e.prog, e.block("routine", LUM_BLOCK_FUNCTION, 0));
    r.push().ldi(3).ld_g(0);
    lum_program_block* routine_block = r.finish();
    lumptr_strong<lum_task> scope = lum_task::create(global_block, nullptr);
    lumptr_strong<lum_task> routine = lum_task::create(routine_block, scope.get());
    ASSERT_TRUE(routine->has_context());
    ASSERT_TRUE(lum_task::bind_arguments(routine.get(), nullptr));
    // The global scope loses its contexts: there is no global context any more.
    while (!scope->contexts.empty()) {
        lum_vm_context* c = scope->contexts.back();
        scope->contexts.pop_back();
        lum_vm_context::release(c);
    }
    lum_thread_local& tl = lum_get_thread_local();
    lum_task* saved = tl.current_task;
    tl.current_task = routine.get();
    lum_vm_context* ctx = routine->contexts.front();
    const uint32_t status = lum_interpret(routine_block, ctx);
    tl.current_task = saved;
    EXPECT_EQ(status, LUM_STATUS_ERROR);
    EXPECT_EQ(text(routine->error), "No global scope!");
    EXPECT_EQ(text(routine->stack.back()), "3");  // the top is left as it was
    const std::vector<std::string> errors = e.fx.log->take_errors();
    ASSERT_EQ(errors.size(), 5u);  // the report (one frame without a position) and four lines
    EXPECT_NE(errors[0].find("No global scope!"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1].rfind("No global scope: 0 : ", 0), 0u) << errors[1];
    EXPECT_EQ(errors[2].rfind("Addr: 0x", 0), 0u) << errors[2];
    EXPECT_EQ(errors[3], "Blocks: 1");
    EXPECT_EQ(errors[4], "Name: test");
}

TEST(StackOpcodes, AssignWithoutATargetIsRefused) {
    env e;
    lum_block_builder b(e.prog, e.block("noassign", LUM_BLOCK_TOP, 0));
    b.assign();
    direct d(b.finish());
    d.task->stack.clear();
    EXPECT_EQ(d.step(), LUM_STATUS_ERROR);
    EXPECT_EQ(d.error(), "invalid variable.");
}

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

namespace {

// A method block (function kind, method flag) with `params` parameters.
lum_block_builder* method_block(env& e, std::vector<std::unique_ptr<lum_block_builder>>& keep, const char* name,
                                uint32_t params, uint32_t slots) {
    keep.push_back(std::make_unique<lum_block_builder>(e.prog, e.block(name, LUM_BLOCK_FUNCTION, slots)));
    keep.back()->params(params, params);
    return keep.back().get();
}

}  // namespace

TEST(ScriptClasses, AbstractStaticAndIndexErrors) {
    env e;
    std::vector<std::unique_ptr<lum_block_builder>> keep;
    lum_class_def* shape = e.prog.new_class("Shape");
    lumvar* shape_cls = e.class_value(shape);
    lum_class_builder sb(shape);
    sb.abstract_method("area");
    sb.static_member("sides", lumvar_shared::from_int(4));
    auto* body = method_block(e, keep, "Shape.body", 0, 0);
    body->op(LUM_OP_NEWINST).ret();
    sb.body(body->finish());
    lum_class_def* square = e.prog.new_class("Square");
    lumvar* square_cls = e.class_value(square);
    lum_class_builder qb(square);
    qb.inherit(shape);
    auto* area = method_block(e, keep, "Square.area", 0, 0);
    area->ldi(16).ret();
    qb.method("area", area->finish());
    auto* qbody = method_block(e, keep, "Square.body", 0, 0);
    qbody->op(LUM_OP_NEWINST).ret();
    qb.body(qbody->finish());

    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    const uint32_t c1 = top.cache(), c2 = top.cache();
    top.push().ld_l(0).push().ldk(square_cls).prep(0).call().assign().pop();
    top.push().ld_l(0).mem("area", c1).prep(0).call();
    e.print_top(top);
    top.pop();
    top.push().ld_l(0).mem("sides", c2);
    e.print_top(top);
    top.pop();
    top.push().ldk(shape_cls).prep(0);
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "16\n4\n");
    EXPECT_NE(e.errors().find("Cannot create an instance of 'Shape': abstract method 'area' is not implemented "
                              "(implement it in a derived class)."),
              std::string::npos);
    EXPECT_TRUE(lum_class_def::related(square, shape));
    EXPECT_TRUE(lum_class_def::related(shape, square));
    EXPECT_FALSE(lum_class_def::related(nullptr, shape));

    // Index errors of instances outside any task: logged, none results.
    std::vector<lumvar_shared> members;
    lumptr_strong<lum_class> instance(new lum_class(lumptr_weak<lum_class_def>(square), members));
    lumvar_shared out;
    instance->get_member_by_index(out, -1, false);
    EXPECT_EQ(out->type, LUMVAR_NONE);
    instance->get_member(out, "nothing");
    EXPECT_EQ(out->type, LUMVAR_NONE);
    const std::string errors = e.errors();
    EXPECT_NE(errors.find("out of range!"), std::string::npos);
    EXPECT_NE(errors.find("class 'Square' does not have member nothing"), std::string::npos);
    // A static method read through an instance is bound to it.
    instance->get_member(out, "area");
    ASSERT_EQ(out->type, LUMVAR_FUNCTION);
    EXPECT_EQ(out->function_record()->self.get(), instance.get());
}

namespace {

// A native object worth 10 that adds (as the left operand) and subtracts
// (as the right one); every other operation it leaves to the other side.
class ten_object : public lumobject_base {
public:
    std::string to_string() override { return "ten"; }
    bool add(const lumvar_shared& other, lumvar_shared& result) override {
        result = lumvar_shared::from_int(10 + other->int_value());
        return true;
    }
    bool sub_reverse(const lumvar_shared& other, lumvar_shared& result) override {
        result = lumvar_shared::from_int(other->int_value() - 10);
        return true;
    }
};

}  // namespace

TEST(Arithmetic, NativeObjectsAnswerThroughTheirOperations) {
    env e;
    const lumvar_shared ten = lumvar_shared::from_object(new ten_object());
    struct row {
        lumvar_shared l, r;
        uint8_t op;
        std::string result;  // the value left in the result place, or the error
    };
    const std::vector<row> rows = {
        {ten, lumvar_shared::from_int(5), LUM_OP_ADD, "15"},  // the left object's add
        {lumvar_shared::from_int(4), ten, LUM_OP_SUB, "-6"},  // the right object's sub_reverse
        {lumvar_shared::from_int(1), ten, LUM_OP_ADD, "Cannot add '1' and 'ten'"},  // no add_reverse
        {ten, lumvar_shared::from_int(1), LUM_OP_SUB, "Cannot subtract 'ten' and '1'"},
        {ten, lumvar_shared::from_int(2), LUM_OP_MUL, "Cannot multiplicate 'ten' and '2'"},
        {lumvar_shared::from_int(2), ten, LUM_OP_DIV, "Cannot divide '2' and 'ten'"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.result);
        // The operands are copies of constant cells, so an in-place write cannot reach them.
        lum_block_builder b(e.prog, e.block("eval", LUM_BLOCK_TOP, 0));
        b.push().ldk(e.prog.constant(r.l)).op(LUM_OP_DEREF);
        b.push().ldk(e.prog.constant(r.r)).op(LUM_OP_DEREF).op(r.op);
        direct d(b.finish());
        const bool fails = r.result.rfind("Cannot", 0) == 0;
        EXPECT_EQ(d.step(), fails ? LUM_STATUS_ERROR : LUM_STATUS_FINISHED);
        if (fails) {
            EXPECT_EQ(d.error(), r.result);
            EXPECT_EQ(d.top()->type, LUMVAR_NONE);  // a fresh none in the result place
        } else {
            EXPECT_EQ(text(d.top()), r.result);
        }
        e.errors();
    }
}

// Runs `on_release` on the thread's running context when the object goes.
class release_probe : public lumobject_base {
public:
    explicit release_probe(std::function<void(lum_vm_context&)> on_release) : on_release_(std::move(on_release)) {}
    ~release_probe() override { on_release_(*lum_get_thread_local().current_task->contexts.back()); }

private:
    std::function<void(lum_vm_context&)> on_release_;
};

TEST(StackOpcodes, LoadOverAnObjectOnlyTheTopHeldStoresThePositionFirst) {
    env e;
    int64_t at = -1;
    lum_function_def* make = e.prog.native(make_native("probe", 0, 0, [&](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::from_object(
            new release_probe([&](lum_vm_context& c) { at = c.ip - c.block->code_begin(); }));
    }));
    const std::vector<std::function<void(lum_block_builder&)>> loads = {
        [](lum_block_builder& b) { b.ld_l(0); },
        [](lum_block_builder& b) { b.ldi(3); },
    };
    for (size_t i = 0; i < loads.size(); ++i) {
        SCOPED_TRACE(i);
        lum_block_builder b(e.prog, e.block("load", LUM_BLOCK_TOP, 1));
        b.push().frame(0).ncall(make);
        const int64_t load_at = b.offset();
        loads[i](b);
        direct d(b.finish());
        at = -1;
        EXPECT_EQ(d.step(), LUM_STATUS_FINISHED);
        EXPECT_EQ(at, load_at);
    }
}

// A stop requested while a returning call's context is released (by a value
// its local held) is seen before the caller runs on.
TEST(ScriptCalls, AStopRequestedWhileAReturnReleasesTheCalleeEndsTheRun) {
    env e;
    lum_function_def* make = e.prog.native(make_native("stopper", 0, 0, [](lum_vm_context&, std::vector<lumvar_shared>&) {
        return lumvar_shared::from_object(new release_probe([](lum_vm_context& c) { c.task->stop = 1; }));
    }));
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 0));
    lum_block_builder f(e.prog, e.block("f", LUM_BLOCK_FUNCTION, 1));
    f.flags(LUM_BLOCK_FLAG_FUNCTION);
    f.ld_l(0).push().frame(0).ncall(make).assign().pop().ldi(0).ret();
    top.push().fn(top.child(f.finish())).prep(0).call().pop();
    e.print_text(top, "the caller ran on");
    e.run(top.finish());
    EXPECT_TRUE(e.out.empty());
}
