// Member access beyond the assembler programs: the per-site cache entry,
// privacy on every access path, index modes and auto-vivification.

#include <gtest/gtest.h>

#include "runtime/value_records.h"
#include "tests/vm/v2_support.h"
#include "types/json_object.h"
#include "vm/opcode.h"

using namespace v2test;

namespace {

// A class whose constructor takes every member as a parameter.
struct simple_class {
    lum_class_def* def;
    lumvar* cls;
    std::unique_ptr<lum_class_builder> cb;
    std::vector<std::unique_ptr<lum_block_builder>> blocks;

    simple_class(env& e, const char* name, std::vector<std::pair<const char*, bool>> members,
                 lum_class_def* base = nullptr) {
        def = e.prog.new_class(name);
        cls = e.class_value(def);
        cb = std::make_unique<lum_class_builder>(def);
        if (base != nullptr) cb->inherit(base);
        for (auto& [m, priv] : members) cb->member(m, priv);
        const uint32_t n = cb->member_count();
        blocks.push_back(std::make_unique<lum_block_builder>(e.prog, e.block(name, LUM_BLOCK_FUNCTION, n)));
        blocks.back()->params(n, n).op(LUM_OP_NEWINST).ret();
        cb->constructor(blocks.back()->finish());
    }
    // push ; Class(args...)
    void make(lum_block_builder& b, std::vector<int64_t> args) {
        b.push().ldk(cls).prep(static_cast<uint8_t>(args.size()));
        for (size_t i = 0; i < args.size(); ++i) b.push().ldi(args[i]).arg(static_cast<uint32_t>(i)).pop();
        b.call();
    }
};

}  // namespace

TEST(MemberPrivacy, EveryAccessPathRefusesOutsideTheClass) {
    env e;
    simple_class base(e, "Base", {{"secret", true}});
    simple_class derived(e, "Derived", {}, base.def);
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    const uint32_t c = top.cache();
    top.push().ld_l(0);
    derived.make(top, {7});
    top.assign().pop();
    top.push().ld_l(1);
    base.make(top, {5});
    top.assign().pop();
    // Outside any class: refused by name, by index get and by the keeping index get.
    e.guarded(top, [&](lum_block_builder& t) { t.push().ld_g(1).mem("secret", c).pop(); });
    e.guarded(top, [&](lum_block_builder& t) { t.push().ld_g(0).push().lds("secret").put(LUM_OP_IDX, {.A = 1}).pop(); });
    e.guarded(top, [&](lum_block_builder& t) { t.push().ld_g(1).push().lds("secret").put(LUM_OP_IDXGET2, {}).pop().pop().pop(); });
    // With the accessing class given, the index get passes.
    top.push().ld_l(1).push().lds("secret").put(LUM_OP_IDX, {.A = 1, .D = reinterpret_cast<uintptr_t>(base.def)});
    e.print_top(top);
    top.pop();
    auto outcome = e.run(top.finish());
    EXPECT_TRUE(outcome->finished);
    EXPECT_FALSE(outcome->error_handler);
    EXPECT_EQ(joined(e.out),
              "member 'secret' of class 'Base' is private\n"
              "member 'secret' of class 'Derived' is private\n"
              "member 'secret' of class 'Base' is private\n"
              "5\n");
}

TEST(MemberAccess, VivifyNumbersAndJsonIndexing) {
    env e;
    lum_block_builder top(e.prog, e.block("main", LUM_BLOCK_TOP, 2));
    const uint32_t c1 = top.cache();
    top.push().ld_l(0).push().ldi(5).assign().pop();
    // slot0.b with vivify: the int becomes a json container with member b := 1
    top.push().ld_l(0).mem("b", c1, nullptr, true).push().ldi(1).assign().pop();
    top.push().ld_l(0).op_b(LUM_OP_MEMIF, e.prog.intern("b"));
    e.print_top(top);
    top.pop();
    // slot1 = [1, 2, 3]; slot1[-1] through opcode 62; slot1[5] is answered by the container
    for (int v : {1, 2, 3}) top.push().ld_l(1).push().ldi(v).op(LUM_OP_APPEND).pop();
    top.push().ld_l(1).push().ldi(-1).put(LUM_OP_IDX, {.A = 1});
    e.print_top(top);
    top.pop();
    // mode 0 replaces the container with the key
    top.push().ld_l(1).push().ldi(42).put(LUM_OP_IDX, {.A = 0});
    e.print_top(top);
    top.pop();
    top.push().ld_l(1).push().ldi(5).put(LUM_OP_IDX, {.A = 1}).pop();
    auto outcome = e.run(top.finish());
    EXPECT_EQ(joined(e.out), "1\n3\n42\n");
    EXPECT_NE(e.errors().find("Out of bounds access."), std::string::npos);
}
