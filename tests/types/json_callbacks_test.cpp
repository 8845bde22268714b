// "std.json" callbacks and filters: walks that run a script callback per entry
// as tasks while the calling script waits, foreach's one callback per host
// turn, callbacks with wrong parameter counts, callbacks that wait or fail or
// shrink the container, large walks at a constant native stack depth; and the
// substring filters and sort_by.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/turn.h"
#include "tests/types/types_test_support.h"
#include "tests/vm/v2_support.h"
#include "types/json_callbacks.h"
#include "types/json_object.h"
#include "vm/opcode.h"

namespace {

using args_t = std::vector<lumvar_shared>;

std::string show(const lumvar_shared& v) {
    if (!v) return "<null>";
    if (j2test::container_of(v) != nullptr) return j2test::text(v);
    if (v->type == LUMVAR_STRING) return "\"" + v->to_std_string() + "\"";
    if (v->type == LUMVAR_NONE) return "none";
    return v->to_std_string();
}

// A program whose main block calls "std.json" methods with script callbacks.
// Natives record events (with the host turn they ran in) so that tests can
// check what ran when; the host is driven turn by turn.
class script {
public:
    explicit script(bool notices = true) : e() {
        lum_std_json::script_register_internal();
        if (!notices) e.fx.log->level_mask.store(LUM_LOG_WARNING | LUM_LOG_ERROR);
        yield_ = e.prog.native(v2test::make_native("yield_turn", 0, 0, [](lum_vm_context& ctx, args_t&) {
            // Waits until the next host turn.
            ctx.suspend();
            lum_task::wake(ctx.task);
            return lumvar_shared::make();
        }));
        main_ = std::make_unique<lum_block_builder>(e.prog, e.block("main", LUM_BLOCK_TOP, 1));
    }

    // A native that records "name(args)" and returns fn(args).
    lum_function_def* hook(const std::string& name, std::function<lumvar_shared(args_t&)> fn) {
        return e.prog.native(v2test::make_native(
            intern(name), 0, 999, [this, name, fn = std::move(fn)](lum_vm_context&, args_t& args) {
                std::string line = name + "(";
                for (size_t i = 0; i < args.size(); ++i) line += (i ? ", " : "") + show(args[i]);
                events.push_back(line + ")@" + std::to_string(turn));
                ++calls[name];
                return fn ? fn(args) : lumvar_shared::make();
            }));
    }

    // A script function of `params` parameters (all required unless
    // `first_default` says otherwise) that returns hook(its parameters...);
    // with `wait_first` it first waits for the next host turn.
    lum_program_block* callback(lum_function_def* hook_def, uint32_t params, uint32_t first_default = ~0u,
                                bool wait_first = false) {
        lum_block_builder b(e.prog, e.block("cb", LUM_BLOCK_FUNCTION, params));
        b.params(params, first_default == ~0u ? params : first_default).flags(LUM_BLOCK_FLAG_FUNCTION);
        if (wait_first) b.push().frame(0).ncall(yield_).pop();
        b.frame(params);
        for (uint32_t i = 0; i < params; ++i) b.ld_l(i).farg(i);
        b.ncall(hook_def).ret();
        return b.finish();
    }

    struct arg {
        lumvar_shared value;
        lum_program_block* function = nullptr;
        arg(lumvar_shared v) : value(std::move(v)) {}
        arg(lum_program_block* f) : function(f) {}
    };

    // Emits `done_<label>(self.method(args...))` in the main block; run()
    // checks the text form of the result against `expected` when given.
    void call(const lumvar_shared& self, std::string_view method, std::vector<arg> args, const std::string& label,
              std::optional<std::string> expected = std::nullopt) {
        if (expected) expected_[label] = *expected;
        lum_block_builder& b = *main_;
        emit_method(b, self, method, args);
        lum_function_def* done = hook("done_" + label, [this, label](args_t& a) {
            results[label] = a.empty() ? lumvar_shared() : a[0];
            return lumvar_shared::make();
        });
        b.dup().frame(1).farg(0).ncall(done).pop();
        b.pop();
    }

    // Emits `self.method(args...)` leaving the result on top of the stack.
    void emit_method(lum_block_builder& b, const lumvar_shared& self, std::string_view method,
                     const std::vector<arg>& args) {
        b.push().ldk(e.prog.constant(self)).mem(method, b.cache()).prep(static_cast<uint8_t>(args.size()));
        for (size_t i = 0; i < args.size(); ++i) {
            b.push();
            if (args[i].function != nullptr)
                b.fn(b.child(args[i].function));
            else
                b.ldk(e.prog.constant(args[i].value));
            b.arg(static_cast<uint32_t>(i)).pop();
        }
        b.call();
    }

    // Runs the program turn by turn until no task is left (or `max_turns`).
    void run(int max_turns = 1000) { run_block(main_->finish(), max_turns); }
    void run_block(lum_program_block* root, int max_turns = 1000) {
        e.program = e.prog.finish(root);
        outcome = e.fx.launch(root);
        lum_vm& vm = e.fx.host.vm();
        while (!lum_host_idle(vm) && turn < max_turns) {
            ++turn;
            e.fx.host.turn();
        }
        EXPECT_TRUE(lum_host_idle(vm)) << "still running after " << turn << " turns";
        EXPECT_TRUE(outcome->finished);
        EXPECT_FALSE(outcome->error_handler) << "the calling script was aborted";
        for (const auto& [label, text] : expected_) EXPECT_EQ(show(results[label]), text) << label;
    }

    // The turn an event was recorded in (-1 when it was not).
    int turn_of(const std::string& prefix) const {
        for (const std::string& ev : events)
            if (ev.rfind(prefix, 0) == 0) return std::stoi(ev.substr(ev.rfind('@') + 1));
        return -1;
    }
    std::vector<std::string> named(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& ev : events)
            if (ev.rfind(prefix, 0) == 0) out.push_back(ev);
        return out;
    }
    std::string errors() { return v2test::joined(e.fx.log->take_errors()); }
    std::string warnings() { return v2test::joined(e.fx.log->take_warnings()); }

    v2test::env e;
    int turn = 0;
    std::vector<std::string> events;
    std::map<std::string, int> calls;
    std::map<std::string, lumvar_shared> results;
    std::shared_ptr<v1test::task_outcome> outcome;
    lum_function_def* yield_ = nullptr;

private:
    std::string_view intern(const std::string& name) { return names_.emplace_back(name); }
    std::unique_ptr<lum_block_builder> main_;
    std::deque<std::string> names_;
    std::map<std::string, std::string> expected_;
};

lumvar_shared truth(bool b) { return lumvar_shared::from_int(b ? 1 : 0); }
int64_t as_int(const lumvar_shared& v) { return v ? v->int_value() : INT64_MIN; }

size_t count_of(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
    return n;
}

constexpr const char* callback_error = "JSON callback could not be called, check its parameter count.";

}  // namespace

TEST(JsonCallbacks, WalksWithSynchronousCallbacks) {
    script s;
    lumvar_shared list = j2test::parse("[\"a\", \"b\"]");
    lumvar_shared obj = j2test::parse("{\"x\": 1, \"y\": 2}");
    lumvar_shared nums = j2test::parse("[1, 2, 3]");
    lumvar_shared empty = j2test::parse("[]");
    auto keep_b = s.hook("keep", [](args_t& a) { return truth(a[1]->to_std_string() == "b" || as_int(a[1]) == 2); });
    auto twice = s.hook("twice", [](args_t& a) { return lumvar_shared::from_int(2 * as_int(a[1])); });
    auto sum = s.hook("sum", [](args_t& a) { return lumvar_shared::from_int(as_int(a[0]) + as_int(a[2])); });
    auto big = s.hook("big", [](args_t& a) { return truth(as_int(a[1]) >= 2); });
    s.call(list, "filter", {s.callback(keep_b, 2)}, "filter_list", "[\"b\"]");
    s.call(obj, "filter", {s.callback(keep_b, 2)}, "filter_obj", "{\"y\":2}");
    s.call(obj, "map", {s.callback(twice, 2)}, "map", "{\"x\":2,\"y\":4}");
    s.call(nums, "reduce", {s.callback(sum, 3), j2test::num(10)}, "reduce_initial", "16");
    s.call(nums, "reduce", {s.callback(sum, 3)}, "reduce", "6");
    // any stops at the first truthy result (2), all at the first falsy one (1).
    s.call(nums, "any", {s.callback(big, 2)}, "any", "1");
    s.call(nums, "all", {s.callback(big, 2)}, "all", "0");
    s.call(empty, "filter", {s.callback(keep_b, 2)}, "e_filter", "{}");
    s.call(empty, "map", {s.callback(twice, 2)}, "e_map", "{}");
    s.call(empty, "reduce", {s.callback(sum, 3), j2test::num(4)}, "e_reduce", "4");
    s.call(empty, "any", {s.callback(big, 2)}, "e_any", "0");
    s.call(empty, "all", {s.callback(big, 2)}, "e_all", "1");
    s.run();
    EXPECT_EQ(s.named("keep"), (std::vector<std::string>{"keep(\"\", \"a\")@1", "keep(\"\", \"b\")@1",
                                                         "keep(\"x\", 1)@2", "keep(\"y\", 2)@2"}));
    EXPECT_EQ(s.calls["big"], 3);
    // Each call suspends the script; it continues at the next turn, after
    // every callback of the walk has run.
    EXPECT_EQ(s.turn_of("done_filter_list"), 2);
    EXPECT_EQ(s.turn_of("done_e_all"), 13);
    EXPECT_EQ(s.errors(), "");
}

TEST(JsonCallbacks, WrongParameterCountsEndTheWalkWithoutAbortingTheCaller) {
    script s;
    lumvar_shared nums = j2test::parse("[1, 2, 3]");
    auto h = s.hook("h", [](args_t&) { return truth(true); });
    s.call(nums, "filter", {s.callback(h, 1)}, "filter", "{}");
    // The finishing step still delivers the accumulator.
    s.call(nums, "reduce", {s.callback(h, 2), j2test::num(7)}, "reduce", "7");
    s.call(nums, "all", {s.callback(h, 3)}, "all", "1");
    s.call(nums, "foreach", {s.callback(h, 3)}, "foreach3", "[1,2,3]");
    s.call(nums, "foreach", {s.callback(h, 0)}, "foreach0");
    // A third parameter with a default accepts two arguments.
    s.call(nums, "any", {s.callback(h, 3, 2)}, "any_default", "1");
    s.run();
    EXPECT_EQ(s.calls["h"], 1);  // only the callback with the default parameter ran
    // Each call suspended the script once and woke it once: it went on at the next turn.
    int turn = 2;
    for (const char* label : {"done_filter", "done_reduce", "done_all", "done_foreach3", "done_foreach0",
                              "done_any_default"})
        EXPECT_EQ(s.turn_of(label), turn++) << label;
    const std::string errors = s.errors();
    EXPECT_EQ(count_of(errors, callback_error), 5u) << errors;
    EXPECT_EQ(count_of(errors, "Too many params."), 0u);
    EXPECT_EQ(count_of(errors, "Not enough parameters."), 0u);
}

TEST(JsonCallbacks, CallbacksOfAnotherProgramEndTheWalkWithoutAbortingTheCaller) {
    // A function of another program cannot become a routine of this script's
    // global scope: making its task fails with an aborting error, which must
    // not abort the waiting caller.
    lum_program_builder other("other");
    lum_program_block* f = other.new_block("f", LUM_BLOCK_FUNCTION, 2);
    lum_block_builder(other, f).params(2, 2).flags(LUM_BLOCK_FLAG_FUNCTION).ldi(1).ret().finish();
    lum_program_block* other_root = other.new_block("other_main", LUM_BLOCK_TOP, 0);
    lum_block_builder root(other, other_root);
    root.child(f);
    root.finish();
    lumptr_strong<lum_program> keep = other.finish(other_root);
    script s;
    lumvar_shared foreign = lumvar_shared::make();
    foreign->set_function(f, nullptr);
    s.call(j2test::parse("[1, 2]"), "filter", {foreign}, "filter", "{}");
    s.call(j2test::parse("{\"a\": 1}"), "foreach", {foreign}, "foreach");
    s.run();
    EXPECT_EQ(s.turn_of("done_filter"), 2);
    EXPECT_EQ(s.turn_of("done_foreach"), 3);
    const std::string errors = s.errors();
    EXPECT_EQ(count_of(errors, callback_error), 2u) << errors;
    EXPECT_EQ(count_of(errors, "Global scope root mismatch"), 2u) << errors;
}

TEST(JsonCallbacks, ForeachStartsOneCallbackPerTurnAfterReturning) {
    script s;
    lumvar_shared obj = j2test::parse("{\"a\": 1, \"b\": 2}");
    obj->json_container()->push_keyed(j2test::num(3), "");
    auto kv = s.hook("kv", nullptr);
    auto v = s.hook("v", nullptr);
    s.call(obj, "foreach", {s.callback(kv, 2)}, "two", show(obj));
    s.call(obj, "foreach", {s.callback(v, 1)}, "one");
    s.run();
    EXPECT_EQ(s.named("kv"), (std::vector<std::string>{"kv(\"a\", 1)@2", "kv(\"b\", 2)@3", "kv(\"\", 3)@4"}));
    EXPECT_EQ(s.turn_of("done_two"), 5);
    EXPECT_EQ(j2test::container_of(s.results["two"]), obj->json_container());
    EXPECT_EQ(s.named("v"), (std::vector<std::string>{"v(1)@6", "v(2)@7", "v(3)@8"}));
    EXPECT_EQ(s.turn_of("done_one"), 9);
}

TEST(JsonCallbacks, ForeachReturnsBeforeItsFirstCallback) {
    script s;
    lumvar_shared list = j2test::parse("[1, 2]");
    auto v = s.hook("v", nullptr);
    lum_program_block* cb = s.callback(v, 1);
    lum_function_def* direct = s.e.prog.native(v2test::make_native(
        "direct_foreach", 2, 2, [&s](lum_vm_context& ctx, args_t& a) {
            lum_std_json* c = j2test::container_of(a[0]);
            args_t call_args{a[1]};
            lumvar_shared r = lum_json_method_foreach(c, ctx, call_args);
            s.events.push_back("returned " + show(r) + "@" + std::to_string(s.turn));
            return r;
        }));
    // direct_foreach(list, cb); done_after()
    lum_block_builder b(s.e.prog, s.e.block("main2", LUM_BLOCK_TOP, 1));
    b.push().frame(2).ldk(s.e.prog.constant(list)).farg(0).fn(b.child(cb)).farg(1).ncall(direct).pop();
    b.push().frame(0).ncall(s.hook("after", nullptr)).pop();
    s.run_block(b.finish(), 100);
    EXPECT_EQ(s.events, (std::vector<std::string>{"returned [1,2]@1", "v(1)@2", "v(2)@3", "after()@4"}));
}

TEST(JsonCallbacks, CallbacksThatWaitContinueTheWalkFromTheHostLoop) {
    script s;
    lumvar_shared list = j2test::parse("[1, 2, 3, 4]");
    lumvar_shared inner = j2test::parse("[5, 6]");
    auto even = s.hook("even", [](args_t& a) { return truth(as_int(a[1]) % 2 == 0); });
    s.call(list, "filter", {s.callback(even, 2, ~0u, true)}, "filter", "[2,4]");
    s.call(list, "foreach", {s.callback(s.hook("fe", nullptr), 2, ~0u, true)}, "foreach");
    // A callback that itself runs a walk: outer.map(function(k, v) { return inner.any(function(k2, v2) {...}) })
    auto inner_hook = s.hook("inner", [](args_t& a) { return truth(as_int(a[1]) == 6); });
    lum_program_block* inner_cb = s.callback(inner_hook, 2);
    lum_block_builder outer(s.e.prog, s.e.block("outer_cb", LUM_BLOCK_FUNCTION, 2));
    outer.params(2, 2).flags(LUM_BLOCK_FLAG_FUNCTION);
    outer.ldk(s.e.prog.constant(inner)).mem("any", outer.cache()).prep(1);
    outer.push().fn(outer.child(inner_cb)).arg(0).pop().call().ret();
    s.call(j2test::parse("[0, 0]"), "map", {outer.finish()}, "nested", "[1,1]");
    s.run();
    // One entry per turn: each callback waits one turn before answering.
    EXPECT_EQ(s.named("even"), (std::vector<std::string>{"even(\"\", 1)@2", "even(\"\", 2)@3", "even(\"\", 3)@4",
                                                         "even(\"\", 4)@5"}));
    EXPECT_EQ(s.turn_of("done_filter"), 6);
    EXPECT_EQ(s.named("fe").size(), 4u);
    EXPECT_GT(s.turn_of("done_foreach"), s.turn_of("fe(\"\", 4)"));
    EXPECT_EQ(s.calls["inner"], 4);
    EXPECT_GT(s.turn_of("done_nested"), s.turn_of("done_foreach"));
    EXPECT_EQ(s.errors(), "");
}

TEST(JsonCallbacks, FailingCallbacksYieldNone) {
    script s;
    lumvar_shared nums = j2test::parse("{\"a\": 1, \"b\": 2}");
    lum_function_def* fail = s.e.prog.native(v2test::make_native("fail", 0, 999, [](lum_vm_context&, args_t&) {
        return lum_runtime_error(true, "callback failed");
    }));
    s.call(nums, "filter", {s.callback(fail, 2)}, "filter", "{}");
    s.call(nums, "map", {s.callback(fail, 2)}, "map", "{\"a\":null,\"b\":null}");
    s.call(nums, "reduce", {s.callback(fail, 3)}, "reduce", "none");
    s.call(nums, "all", {s.callback(fail, 2)}, "all", "0");
    s.call(nums, "foreach", {s.callback(fail, 2)}, "foreach", show(nums));
    s.run();
    // 2 (filter) + 2 (map) + 2 (reduce) + 1 (all) + 2 (foreach) failures.
    EXPECT_EQ(count_of(s.errors(), "callback failed"), 9u);
}

TEST(JsonCallbacks, CallbacksThatShrinkTheContainer) {
    script s;
    lumvar_shared target = j2test::parse("[1, 2, 3]");
    lum_std_json* c = target->json_container();
    auto wipe = s.hook("wipe", [c](args_t&) {
        c->clear();
        return truth(true);
    });
    s.call(target, "filter", {s.callback(wipe, 2)}, "filter", "{}");
    lumvar_shared again = j2test::parse("[1, 2, 3, 4]");
    lum_std_json* c2 = again->json_container();
    auto drop2 = s.hook("drop2", [c2](args_t& a) {
        c2->erase_at(-1);
        return a[1];
    });
    s.call(again, "map", {s.callback(drop2, 2)}, "map", "[1,2]");
    s.run();
    EXPECT_EQ(s.calls["wipe"], 1);
    // Entries 1 and 2 were handled; entries 3 and 4 were removed before their turn.
    EXPECT_EQ(s.calls["drop2"], 2);
}

// A large filter runs every callback at one native stack depth within one
// turn; a large foreach runs one callback per turn, in order.
TEST(JsonCallbacks, LargeWalksRunAtConstantStackDepthAndForeachOnePerTurn) {
    script s(false);
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
    constexpr int n = 100000;
#else
    constexpr int n = 25000;  // the same walks, shorter in slow (debug, sanitizer) builds
#endif
    lumvar_shared list = j2test::parse("[]");
    for (int i = 0; i < n; ++i) list->json_container()->push_keyed(j2test::num(i), "");
    uintptr_t lowest = std::numeric_limits<uintptr_t>::max(), highest = 0;
    lum_function_def* even = s.e.prog.native(v2test::make_native("even", 2, 2, [&](lum_vm_context&, args_t& a) {
        const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        lowest = std::min(lowest, here);
        highest = std::max(highest, here);
        return truth(a[1]->payload.i % 2 == 0);
    }));
    int64_t expected_next = 0;
    bool in_order = true;
    lum_function_def* visit = s.e.prog.native(v2test::make_native("visit", 1, 1, [&](lum_vm_context&, args_t& a) {
        in_order = in_order && a[0]->payload.i == expected_next && s.turn == expected_next + 3;
        ++expected_next;
        return lumvar_shared::make();
    }));
    s.call(list, "filter", {s.callback(even, 2)}, "filter");
    s.call(list, "foreach", {s.callback(visit, 1)}, "foreach");
    s.run(n + 10);
    const lumvar_shared& filtered = s.results["filter"];
    ASSERT_TRUE(filtered && filtered->json_container());
    lum_std_json* kept = filtered->json_container();
    ASSERT_EQ(kept->entries.size(), static_cast<size_t>(n / 2));
    EXPECT_EQ(kept->entries.back().value->payload.i, n - 2);
    EXPECT_LT(highest - lowest, 16u * 1024u);
    EXPECT_EQ(s.turn_of("done_filter"), 2);
    EXPECT_EQ(expected_next, n);
    EXPECT_TRUE(in_order);
    EXPECT_EQ(s.turn_of("done_foreach"), n + 3);
}

// ---- filters without callbacks, argument errors, sort_by ----

namespace {
class JsonFilters : public j2test::json_method_test {};
}  // namespace

using j2test::num;
using j2test::parse;
using j2test::str;

TEST_F(JsonFilters, SubstringFilters) {
    lumvar_shared j = parse("{\"id\": 1, \"uid\": 2, \"name\": \"abc\", \"x\": \"zzz\", \"y\": 10}");
    j->json_container()->push_keyed(str("id-list"), "");
    EXPECT_EQ(j2test::text(call(j, "filter", {str("id")})), "{\"id\":1,\"uid\":2}");
    EXPECT_EQ(j2test::text(call(j, "filter_key", {parse("[\"x\", \"y\"]")})), "{\"x\":\"zzz\",\"y\":10}");
    EXPECT_EQ(j2test::text(call(j, "filter_key", {parse("[\"\"]")})).size(), j2test::text(call(j, "filter_key", {str("")})).size());
    // A list element longer than every key matches nothing; an empty list matches nothing.
    EXPECT_EQ(j2test::text(call(j, "filter_key", {parse("[\"much-too-long\"]")})), "{}");
    EXPECT_EQ(j2test::text(call(j, "filter_key", {parse("[]")})), "{}");
    // A single substring only looks at string values; a list looks at every value's text.
    EXPECT_EQ(j2test::text(call(j, "filter_value", {str("a")})), "{\"name\":\"abc\"}");
    lumvar_shared by_list = call(j, "filter_value", {parse("[\"1\"]")});
    EXPECT_EQ(j2test::text(by_list), "{\"id\":1,\"y\":10}");
    lumvar_shared lists = call(j, "filter_value", {parse("[\"list\"]")});
    EXPECT_EQ(j2test::text(lists), "[\"id-list\"]");
    EXPECT_FALSE(lists->json_container()->entries[0].key);
    EXPECT_EQ(call_int(j, "any", {str("")}), 1);
    EXPECT_EQ(call_int(j, "any", {str("ui")}), 1);
    EXPECT_EQ(call_int(j, "any", {str("list")}), 0);  // unkeyed entries never match
    EXPECT_EQ(call_int(j, "all", {str("")}), 0);      // an unkeyed entry
    EXPECT_EQ(call_int(parse("{\"ab\": 1, \"cb\": 2}"), "all", {str("b")}), 1);
    EXPECT_EQ(call_int(parse("[]"), "all", {str("b")}), 1);
}

TEST_F(JsonFilters, ArgumentsOfTheWrongType) {
    lumvar_shared j = parse("[1]");
    EXPECT_EQ(j2test::text(call(j, "map", {num(5)})), "{}");
    EXPECT_EQ(call(j, "reduce", {num(5)})->type, LUMVAR_NONE);
    EXPECT_EQ(call_int(j, "any", {num(5)}), 0);
    EXPECT_EQ(call_int(j, "all", {num(5)}), 0);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"map expects a function", "reduce expects a callback",
                                                     "any expects string or function",
                                                     "all expects string or function"}));
    EXPECT_EQ(call(j, "foreach", {num(5)})->type, LUMVAR_NONE);
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].find("foreach requires a callback function argument."), std::string::npos);
}

TEST_F(JsonFilters, SortByChildKey) {
    // Children n = 3, 1, "x", none and one without n; plus an unkeyed entry.
    lumvar_shared j = parse("{\"a\": {\"n\": 3}, \"b\": {\"n\": 1}, \"c\": {\"n\": \"x\"}, \"d\": {\"n\": null}, "
                            "\"e\": {\"m\": 0}}");
    j->json_container()->push_keyed(num(7), "");
    j->json_container()->entries.insert(j->json_container()->entries.begin(),
                                        lum_json_entry{nullptr, lumvar_shared(parse("{\"n\": 0}"))});
    // The partition swaps e (last keyed) with the unkeyed first entry, so e
    // comes before d; both lack a child value and keep that order.
    call_chained(j, "sort_by", {str("n")});
    EXPECT_EQ(j1test::keys_of(j->json_container()), (std::vector<std::string>{"b", "a", "c", "e", "d", "-", "-"}));
    call_chained(j, "sort_by", {str("n"), num(1)});
    EXPECT_EQ(j1test::keys_of(j->json_container()), (std::vector<std::string>{"c", "a", "b", "e", "d", "-", "-"}));
    // The index still answers by key.
    EXPECT_EQ(j2test::text(j->json_container()->get_or_add("a")), "{\"n\":3}");
    // Mixed numbers and texts compare by text; equal keys keep their order.
    lumvar_shared m = parse("{}");
    const char* children[] = {"{\"n\": 10}", "{\"n\": \"9\"}", "{\"n\": 10}", "{\"n\": 2}", "{\"n\": 10.0}"};
    for (int i = 0; i < 5; ++i) m->json_container()->push_keyed(parse(children[i]), std::string(1, char('p' + i)));
    call_chained(m, "sort_by", {str("n")});
    EXPECT_EQ(j1test::keys_of(m->json_container()), (std::vector<std::string>{"s", "p", "r", "t", "q"}));
}

TEST_F(JsonFilters, SortByIsSafeWithAnyChildValues) {
    // NaN, mixed numbers and texts and missing children in a large container:
    // the order is not a strict weak ordering; the sort must stay in bounds
    // and keep every entry.
    lumvar_shared j = parse("{}");
    for (int i = 0; i < 2000; ++i) {
        lumvar_shared child = parse("{}");
        lumvar_shared& v = child->json_container()->emplace_keyed("n");
        switch (i % 4) {
            case 0: v->set_float(std::nan("")); break;
            case 1: v->set_int(i); break;
            case 2: v->set_string(std::to_string(i * 7919 % 1000)); break;
            default: break;
        }
        j->json_container()->push_keyed(std::move(child), "k" + std::to_string(i));
    }
    call_chained(j, "sort_by", {str("n")});
    call_chained(j, "sort_by", {str("n"), num(1)});
    lum_std_json* c = j->json_container();
    ASSERT_EQ(c->entries.size(), 2000u);
    std::set<std::string> keys;
    for (const auto& e : c->entries) keys.insert(*e.key);
    EXPECT_EQ(keys.size(), 2000u);
    // Entries without a child value stay last.
    for (size_t i = 1500; i < 2000; ++i) EXPECT_EQ(std::stoi(c->entries[i].key->substr(1)) % 4, 3);
}
