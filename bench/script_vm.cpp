// Script interpreter benchmarks, built with the C++ block builder: the same
// programs as bench/script/*.lasm (recursive fib(27), a counting loop of 10
// million steps with and without the fused numeric instruction, a loop of
// fused method calls on a script class, string building). Each program runs
// as the root task of a host VM; the time from start to finish is printed in
// seconds (best of --repeat runs) with the program's result.
//
// Usage: bench_script_vm [--repeat N] [PROGRAM...]   (default: all programs)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/host_vm.h"
#include "host/turn.h"
#include "runtime/namespace.h"
#include "runtime/thread_local.h"
#include "runtime/value_records.h"
#include "vm/block_builder.h"
#include "vm/class.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/task.h"

namespace {

using namespace lum_fexpr;

constexpr int64_t kCountSteps = 10000000;
constexpr int64_t kMethodCalls = 1000000;
constexpr int64_t kStringSteps = 20000;
constexpr int64_t kFibN = 27;

struct program {
    lum_program_builder builder{"bench"};
    lum_program_block* root = nullptr;
    std::string result;
    lum_function_def* report = nullptr;

    program() {
        lum_pooling_suspend heap_only;
        auto* def = new lum_function_def();
        def->name = "report";
        def->min_args = 1;
        def->max_args = 1;
        def->flags = LUM_FUNCTION_RESOLVE_ARGS;
        def->callable = [this](lum_vm_context&, std::vector<lumvar_shared>& args) {
            result = args[0]->to_std_string();
            return lumvar_shared::make();
        };
        report = builder.native(def);
    }
    lum_program_block* block(const char* name, uint8_t kind, uint32_t slots) {
        return builder.new_block(name, kind, slots);
    }
    // report(<slot>)
    void report_slot(lum_block_builder& b, uint32_t slot) { b.push().frame(1).ld_l(slot).farg(0).ncall(report).pop(); }
};

// fib(n) = n < 2 ? n : fib(n - 1) + fib(n - 2); the result is computed into the
// caller's place; slot 1 is the temporary of the fused expressions.
void build_fib(program& p) {
    lum_block_builder fib(p.builder, p.block("fib", LUM_BLOCK_FUNCTION, 2));
    fib.params(1, 1).flags(LUM_BLOCK_FLAG_FUNCTION);
    lum_label base = fib.label(), c1 = fib.label(), c2 = fib.label(), c3 = fib.label();
    auto to_temp = [&](lum_fexpr_form form, lum_label skip, uint8_t generic_op, int64_t k) {
        form.dest_kind = DEST_LOCAL;
        form.dest_slot = 1;
        fib.fexpr(form, skip);
        fib.ld_l(1).push().ld_l(0).push().ldi(k);
        if (generic_op == LUM_OP_LT)
            fib.op_a(LUM_OP_LT, 0);
        else
            fib.op(generic_op);
        fib.assign();
        fib.bind(skip);
    };
    to_temp(lum_fexpr_form().local(0).int_const(2).op(IT_LT), c1, LUM_OP_LT, 2);
    fib.jnz(base);
    fib.ld_g(1).prep(1);
    to_temp(lum_fexpr_form().local(0).int_const(1).op(IT_SUB), c2, LUM_OP_SUB, 1);
    fib.arg(0).call();
    fib.push().ld_g(1).prep(1);
    to_temp(lum_fexpr_form().local(0).int_const(2).op(IT_SUB), c3, LUM_OP_SUB, 2);
    fib.arg(0).call();
    fib.op(LUM_OP_ADD).ret();
    fib.bind(base).ld_l(0).ret();

    lum_block_builder top(p.builder, p.block("main", LUM_BLOCK_TOP, 3));
    top.push().ld_l(1).push().fn(top.child(fib.finish())).assign().pop();
    top.push().ld_l(2).push().ld_l(1).prep(1).push().ldi(kFibN).arg(0).pop().call().assign().pop();
    p.report_slot(top, 2);
    p.root = top.finish();
}

// i = 0 ; while (i < N) i += 1   (with the fused numeric instruction in
// front of the generic code, or the generic code alone). The loop is
// inverted (the test at the bottom), as the compiler lays loops out.
// The end of a counting loop body and its test: `i += 1` and `while (i <
// limit) goto body` over local slot `slot`, with the fused numeric
// instruction in front of each generic form when `fused`; `test` is bound at
// the test (the loop's first entry jumps there). The test leaves the
// condition on the top for the jump.
void counting_step(lum_block_builder& b, uint32_t slot, int64_t limit, bool fused, lum_label body, lum_label test) {
    lum_label step_done = b.label(), cond = b.label();
    if (fused) {
        lum_fexpr_form inc;
        inc.dest_kind = DEST_LOCAL;
        inc.dest_slot = slot;
        inc.local(slot).int_const(1).op(IT_ADD);
        b.fexpr(inc, step_done);
    }
    b.ld_l(slot).op_a(LUM_OP_INC, 0);
    b.bind(step_done).bind(test);
    if (fused) b.fexpr(lum_fexpr_form().local(slot).int_const(limit).op(IT_LT), cond);
    b.ld_l(slot).push().ldi(limit).op_a(LUM_OP_LT, 0);
    b.bind(cond).jnz(body);
    b.pop();
}

// A top-level block `i = 0` over local slot `slot`, jumping to `test`.
void counting_start(lum_block_builder& b, uint32_t slot, lum_label test) {
    b.push().ld_l(slot).push().ldi(0).assign().pop();
    b.push().jmp(test);
}

void build_count(program& p, bool fused) {
    lum_block_builder top(p.builder, p.block("main", LUM_BLOCK_TOP, 1));
    lum_label body = top.label(), test = top.label();
    counting_start(top, 0, test);
    top.bind(body);
    counting_step(top, 0, kCountSteps, fused, body, test);
    p.report_slot(top, 0);
    p.root = top.finish();
}

// class Counter { n ; add(k) { self.n += k } }
// c = Counter(0) ; i = 0 ; while (i < N) { c.add(1) ; i += 1 }   (fused method call)
void build_methods(program& p) {
    lum_class_def* def = p.builder.new_class("Counter");
    lum_class_builder cb(def);
    cb.member("n");
    lum_block_builder ctor(p.builder, p.block("counter_new", LUM_BLOCK_FUNCTION, 1));
    ctor.params(1, 1).op(LUM_OP_NEWINST).ret();
    lum_block_builder add(p.builder, p.block("counter_add", LUM_BLOCK_FUNCTION, 1));
    add.params(1, 1).flags(LUM_BLOCK_FLAG_METHOD);
    {
        lum_label done = add.label();
        lum_fexpr_form s;
        s.dest_kind = DEST_SELF;
        s.dest_slot = 0;
        s.self_member(0).local(0).op(IT_ADD);
        add.fexpr(s, done);
        add.selfmem(0).push().selfmem(0).push().ld_l(0).op(LUM_OP_ADD).assign();
        add.bind(done);
        add.op(LUM_OP_NONE).ret();
    }
    cb.method("add", add.finish());
    cb.constructor(ctor.finish());

    lum_block_builder top(p.builder, p.block("main", LUM_BLOCK_TOP, 5));
    const uint32_t site = top.cache();
    lum_label body = top.label(), test = top.label(), args = top.label();
    top.push().ld_l(4).push().fn(top.child(ctor.block())).assign().pop();
    top.push().ld_l(0).push().ld_l(4).prep(1).push().ldi(0).arg(0).pop().call().assign().pop();
    counting_start(top, 1, test);
    top.bind(body);
    top.ld_l(0);
    lum_fcall_spec fc;
    fc.name = p.builder.intern("add");
    fc.cache = site;
    fc.argc = 1;
    top.fcall(fc, args);
    top.mem("add", site).prep(1);
    top.bind(args).push().ldi(1).arg(0).pop().call();
    counting_step(top, 1, kMethodCalls, true, body, test);
    top.push().frame(1).ld_l(0).mem("n", top.cache()).farg(0).ncall(p.report).pop();
    p.root = top.finish();
}

// s = "" ; i = 0 ; while (i < N) { s = s + "ab" ; i += 1 } ; report(s)
void build_strings(program& p) {
    lum_block_builder top(p.builder, p.block("main", LUM_BLOCK_TOP, 3));
    lum_label body = top.label(), test = top.label();
    top.push().ld_l(0).push().lds("").assign().pop();
    counting_start(top, 1, test);
    top.bind(body);
    top.ld_l(0).push().ld_l(0).push().lds("ab").op(LUM_OP_ADD).assign();
    counting_step(top, 1, kStringSteps, true, body, test);
    p.report_slot(top, 0);
    p.root = top.finish();
}

const std::map<std::string, std::function<void(program&)>>& programs() {
    static const std::map<std::string, std::function<void(program&)>> all = {
        {"fib", build_fib},
        {"count_fused", [](program& p) { build_count(p, true); }},
        {"count_plain", [](program& p) { build_count(p, false); }},
        {"method_calls", build_methods},
        {"strings", build_strings},
    };
    return all;
}

double run_once(const std::string& name, std::string& result) {
    lum_host_vm_options options;
    lum_host_vm host(options);
    program p;
    programs().at(name)(p);
    lumptr_strong<lum_program> prog = p.builder.finish(p.root);
    lumptr_strong<lum_task> task = lum_task::create(p.root, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    lum_task::run(task.get(), nullptr);
    lum_host_run(host, std::chrono::milliseconds(600000));
    const auto t1 = std::chrono::steady_clock::now();
    task.reset();
    result = p.result;
    if (name == "strings") result = std::to_string(result.size());
    return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (programs().count(argv[i])) {
            names.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "unknown program: %s\n", argv[i]);
            return 2;
        }
    }
    if (names.empty())
        for (const auto& [name, _] : programs()) names.push_back(name);
    for (const std::string& name : names) {
        double best = 1e30;
        std::string result;
        for (int r = 0; r < repeat; ++r) best = std::min(best, run_once(name, result));
        std::printf("%s %.4f %s\n", name.c_str(), best, result.c_str());
    }
    return 0;
}
