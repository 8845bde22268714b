// Module entry: descriptor bytes, registry identity, namespace registration
// and the start-up list, the per-thread runtime block and its getter.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/per_thread.h"
#include "runtime/registry.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "tests/platform/test_platform.h"
#include "types/json_object.h"

namespace {

TEST(Registry, DescriptorAndEntryAreTheSameForEveryCall) {
    const lum_module_descriptor* d = lumioglue_check();
    ASSERT_EQ(d, lumioglue_check());
    unsigned char expected[64] = {};
    const uint64_t words[3] = {3001, 1, 1};
    std::memcpy(expected, words, sizeof words);
    std::memcpy(expected + 24, "MODULE_INTERNAL", 15);
    EXPECT_EQ(std::memcmp(d, expected, 64), 0);
    lum_global_instance* a = lumioglue_entry();
    EXPECT_EQ(a, lumioglue_entry());
    EXPECT_EQ(a, &lum_registry());
    EXPECT_TRUE(a->factories && a->metadata);
}

TEST(Registry, InitialisersAppendInOrderEvenWhileTheMutexIsHeld) {
    static const std::string_view names[] = {"r1.order.a", "r1.order.b"};  // static text; one per repeated run
    static int run = 0;
    const std::string_view name = names[run++ % 2];
    auto ran = std::make_shared<std::vector<int>>();
    lum_registry().namespace_initializers[name].clear();
    {
        std::lock_guard<lum_registration_lock> hold(lum_registration_mutex());  // recursive: no deadlock
        register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(1); });
        register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(2); });
    }
    register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(3); });
    lum_namespace ns;
    for (auto& f : lum_registry().namespace_initializers.at(name)) f(ns);
    EXPECT_EQ(*ran, (std::vector<int>{1, 2, 3}));
    lum_registry().namespace_initializers.erase(name);
}

// The start-up list registers, in this order: "std" buffer, "json" bool,
// "std" json, "std" string, "std" thread (the kernel entry comes first once
// the kernel script interface exists; "deckcom" is never registered).
TEST(Registry, StartUpRegistersTheInitialisersInTheirOrder) {
    auto& initializers = lum_registry().namespace_initializers;
    EXPECT_EQ(initializers.count("deckcom"), 0u);
    auto constructors_of = [](const std::vector<lum_namespace_initializer>& list) {
        std::vector<std::string> names;
        for (const auto& init : list) {
            lum_namespace ns;
            init(ns);
            for (const lum_function_def* f : ns.functions)
                if (!f->class_type_name.empty()) names.emplace_back(f->class_type_name);
        }
        return names;
    };
    EXPECT_EQ(constructors_of(initializers.at("std")),
              (std::vector<std::string>{"std.buffer", "std.json", "std.string", "std.thread"}));
    EXPECT_EQ(initializers.at("std").size(), 5u);
    EXPECT_EQ(constructors_of(initializers.at("json")), std::vector<std::string>{"json.bool"});
}

TEST(ThreadLocal, FirstLookupOnANewThreadGivesTheInitialBlock) {
    lum_thread_local* main_block = &lum_get_thread_local();
    EXPECT_EQ(main_block->thread_id, lum_test_os_thread_id());
    std::thread([&] {
        lum_thread_local& tl = lum_get_thread_local();
        EXPECT_NE(&tl, main_block);
        EXPECT_EQ(&lum_get_thread_local(), &tl);
        EXPECT_EQ(tl.thread_id, lum_test_os_thread_id());
        EXPECT_EQ(tl.vm, nullptr);
        EXPECT_FALSE(tl.logger);
        EXPECT_EQ(tl.current_task, nullptr);
        EXPECT_EQ(tl.second_task, nullptr);
        EXPECT_EQ(tl.vm_lock_depth + tl.pooling_suspended + tl.reserved_counter_a + tl.reserved_counter_b, 0u);
        EXPECT_TRUE(tl.name.empty());
    }).join();
}

// A host may replace the registry's getter at any time, knowing nothing but
// the six shared fields: from then on every lookup, also on threads that
// looked up before, answers with the host's block.
TEST(ThreadLocal, AReplacedGetterIsUsedAtOnceOnEveryThread) {
    lum_global_instance& registry = lum_registry();
    lum_thread_local& own = lum_get_thread_local();
    std::promise<lum_thread_local*> looked_up;
    std::promise<void> replaced;
    lum_thread_local* other_after = nullptr;
    std::thread other([&] {
        looked_up.set_value(&lum_get_thread_local());  // looked up (and kept) before the replacement
        replaced.get_future().wait();
        other_after = &lum_get_thread_local();
    });
    lum_thread_local* other_own = looked_up.get_future().get();
    lum_thread_local_getter saved = registry.thread_local_getter;
    static lum_thread_local* replacement_block = nullptr;
    lum_thread_local replacement;
    replacement_block = &replacement;
    registry.thread_local_getter = []() -> lum_thread_local& { return *replacement_block; };
    EXPECT_EQ(&lum_get_thread_local(), &replacement);
    replaced.set_value();
    other.join();
    EXPECT_NE(other_own, &replacement);
    EXPECT_EQ(other_after, &replacement);
    registry.thread_local_getter = nullptr;
    EXPECT_THROW(lum_get_thread_local(), std::bad_function_call);
    registry.thread_local_getter = std::move(saved);
    EXPECT_EQ(&lum_get_thread_local(), &own);
    EXPECT_EQ(&lum_get_thread_local(), &own);
}

class default_log_listener : public lum_log_listener {
public:
    void on_warning(const std::string& text) override {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(text);
    }
    std::mutex m;
    std::vector<std::string> seen;
};

class logs_when_destroyed : public lum_log_base {
public:
    ~logs_when_destroyed() override { lum_get_log().warning("thread logger gone"); }
};

// Per-thread objects of the runtime's kind (a C++ thread_local with a
// destructor is not usable on every platform: emulated thread-local storage
// may be freed before its destructor runs).
struct late_per_thread {
    bool armed = false;
    lumvar_shared value;
    ~late_per_thread() {
        if (armed) lum_get_log().warning("late object gone");
    }
};
thread_local constinit lum_per_thread<late_per_thread> late_object;

// At thread exit the thread's block goes while per-thread objects still log
// and release: the thread logger's own destructor, and an object made before
// the thread's first lookup (so destroyed after its block) that logs and
// holds an owning json value with nested containers. Logs reach the process
// default logger, never the block being destroyed; the release walks and
// leaves nothing behind.
TEST(ThreadLocal, LogsAndReleasesDuringAndAfterThreadTeardownWork) {
    default_log_listener listener;
    lum_log_base& fallback = *lum_make_default_log();
    auto record = lum_host_add_listener(fallback, &listener);
    constexpr int threads = 4;
    for (int i = 0; i < threads; ++i) {
        std::thread([] {
            late_object.get().armed = true;
            lumvar_shared outer = lumvar_shared::make();
            lum_std_json* container = outer->json_object(true);
            for (int k = 0; k < 4; ++k) {
                lumvar_shared inner = lumvar_shared::make();
                inner->json_object(true)->push_keyed(lumvar_shared::from_int(k), "k");
                container->push_keyed(std::move(inner), "x");
            }
            outer->flags |= LUMVAR_FLAG_OWNING;
            late_object.get().value = std::move(outer);
            lum_thread_local& tl = lum_get_thread_local();
            lum_pooling_suspend heap_record;
            tl.logger = lumptr_strong<lum_log_base>(new logs_when_destroyed());
            lum_get_log().warning("to the thread logger");
        }).join();
    }
    // The explicit teardown: later lookups get a VM-less block of this thread.
    std::thread([] {
        lum_thread_local& own = lum_get_thread_local();
        const uint32_t id = own.thread_id;
        lum_thread_local_teardown();
        lum_thread_local& after = lum_get_thread_local();
        EXPECT_NE(&after, &own);
        EXPECT_EQ(after.thread_id, id);
        EXPECT_EQ(after.vm, nullptr);
        EXPECT_EQ(&lum_get_log(), lum_make_default_log());
        lum_thread_local_teardown();  // a second call does nothing
        EXPECT_EQ(&lum_get_thread_local(), &after);
    }).join();
    lum_host_remove_listener(fallback, record);
    std::vector<std::string> expected;
    for (int i = 0; i < threads; ++i) expected.insert(expected.end(), {"thread logger gone", "late object gone"});
    EXPECT_EQ(listener.seen, expected);
}

}  // namespace
