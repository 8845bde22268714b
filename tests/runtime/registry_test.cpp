// Module entry: descriptor bytes, registry identity, namespace registration,
// the per-thread runtime block.
#include <gtest/gtest.h>

#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/registry.h"
#include "runtime/thread_local.h"
#include "tests/platform/test_platform.h"


namespace {

TEST(Registry, DescriptorIsTheSame64BytesEveryTime) {
    const lum_module_descriptor* d = lumioglue_check();
    ASSERT_EQ(d, lumioglue_check());
    unsigned char expected[64] = {};
    uint64_t words[3] = {3001, 1, 1};
    std::memcpy(expected, words, sizeof words);
    std::memcpy(expected + 24, "MODULE_INTERNAL", 15);
    EXPECT_EQ(std::memcmp(d, expected, 64), 0);
}

TEST(Registry, EntryReturnsOneRegistryForEveryCall) {
    lum_global_instance* a = lumioglue_entry();
    std::string_view name = "r1.registry.test";
    register_namespace_initializer(name, [](lum_namespace&) {});
    lum_global_instance* b = lumioglue_entry();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, &lum_registry());
    EXPECT_TRUE(a->factories);
    EXPECT_TRUE(a->metadata);
    EXPECT_EQ(a->namespace_initializers.count(name), 1u);
}

TEST(Registry, InitialisersAppendInOrderEvenWhileTheMutexIsHeld) {
    // Names are static text; a fresh one per run keeps repeated runs apart.
    static const std::string_view names[] = {"r1.order.a", "r1.order.b", "r1.order.c", "r1.order.d"};
    static int run = 0;
    std::string_view name = names[run++ % 4];
    auto ran = std::make_shared<std::vector<int>>();
    auto& list = lum_registry().namespace_initializers[name];
    list.clear();
    {
        std::lock_guard<std::recursive_mutex> hold(lum_registration_mutex()); // recursive: no deadlock
        register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(1); });
        register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(2); });
    }
    register_namespace_initializer(name, [ran](lum_namespace&) { ran->push_back(3); });
    // Run them as the host does, in list order.
    lum_namespace ns;
    for (auto& f : lum_registry().namespace_initializers.find(name)->second) f(ns);
    EXPECT_EQ(*ran, (std::vector<int>{1, 2, 3}));
    lum_registry().namespace_initializers.erase(name);
}

TEST(Registry, HasherIsXxh3OverTheBytes) {
    lum_hasher h;
    EXPECT_EQ(h("std"), static_cast<size_t>(XXH3_64bits("std", 3)));
    EXPECT_TRUE(lum_transparent_equal{}("std", std::string("std")));
    EXPECT_FALSE(lum_transparent_equal{}("std", "st"));
}

TEST(ThreadLocal, FirstLookupOnANewThreadGivesTheInitialBlock) {
    lum_thread_local* seen = nullptr;
    uint32_t tid = 0;
    lum_thread_local* main_block = &lum_get_thread_local();
    std::thread([&] {
        tid = lum_test_os_thread_id();
        lum_thread_local& tl = lum_get_thread_local();
        seen = &tl;
        EXPECT_EQ(tl.thread_id, tid);
        EXPECT_EQ(tl.vm, nullptr);
        EXPECT_FALSE(tl.logger);
        EXPECT_EQ(tl.current_task, nullptr);
        EXPECT_EQ(tl.second_task, nullptr);
        EXPECT_EQ(tl.vm_lock_depth + tl.pooling_suspended + tl.reserved_counter_a + tl.reserved_counter_b, 0u);
        EXPECT_TRUE(tl.name.empty());
        EXPECT_EQ(&lum_get_thread_local(), &tl);
    }).join();
    EXPECT_NE(seen, main_block);
    EXPECT_EQ(main_block->thread_id, lum_test_os_thread_id());
}

TEST(ThreadLocal, PoolingSuspendIsBalancedOnEveryExit) {
    lum_thread_local& tl = lum_get_thread_local();
    uint32_t before = tl.pooling_suspended;
    try {
        lum_pooling_suspend s;
        EXPECT_EQ(tl.pooling_suspended, before + 1);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(tl.pooling_suspended, before);
}

// A host may replace the registry's getter at any time, knowing nothing but
// the six shared fields: from then on every lookup, also on threads that
// looked up before, answers with the host's block.
TEST(ThreadLocal, AReplacedGetterIsUsedAtOnceOnEveryThread) {
    lum_global_instance& registry = lum_registry();
    lum_thread_local& own = lum_get_thread_local();
    EXPECT_EQ(&lum_get_thread_local(), &own);

    std::mutex m;
    std::condition_variable cv;
    int step = 0;
    lum_thread_local* other_own = nullptr;
    lum_thread_local* other_after = nullptr;
    std::thread other([&] {
        other_own = &lum_get_thread_local();  // looked up (and kept) before the replacement
        std::unique_lock<std::mutex> lock(m);
        step = 1;
        cv.notify_all();
        cv.wait(lock, [&] { return step == 2; });
        other_after = &lum_get_thread_local();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return step == 1; });
    }

    lum_thread_local_getter saved = registry.thread_local_getter;
    static lum_thread_local* replacement_block = nullptr;
    lum_thread_local replacement;
    replacement_block = &replacement;
    registry.thread_local_getter = []() -> lum_thread_local& { return *replacement_block; };
    EXPECT_EQ(&lum_get_thread_local(), &replacement);
    {
        std::lock_guard<std::mutex> lock(m);
        step = 2;
    }
    cv.notify_all();
    other.join();
    EXPECT_NE(other_own, &replacement);
    EXPECT_EQ(other_after, &replacement);

    registry.thread_local_getter = nullptr;
    EXPECT_THROW(lum_get_thread_local(), std::bad_function_call);

    registry.thread_local_getter = std::move(saved);
    EXPECT_EQ(&lum_get_thread_local(), &own);
    EXPECT_EQ(&lum_get_thread_local(), &own);
}

// The start-up list registers, in this order: "std" buffer, "json" bool,
// "std" json, "std" string, "std" thread (the kernel entry comes first once
// the kernel script interface exists; "deckcom" is never registered).
TEST(Registry, StartUpRegistersTheInitialisersInTheirOrder) {
    auto& initializers = lum_registry().namespace_initializers;
    ASSERT_EQ(initializers.count("std"), 1u);
    ASSERT_EQ(initializers.count("json"), 1u);
    EXPECT_EQ(initializers.count("deckcom"), 0u);
    auto constructors_of = [](const lum_namespace_initializer& init) {
        lum_namespace ns;
        init(ns);
        std::vector<std::string> names;
        for (const lum_function_def* f : ns.functions)
            if (!f->class_type_name.empty()) names.emplace_back(f->class_type_name);
        return names;
    };
    std::vector<std::string> order;
    for (const auto& init : initializers.at("std"))
        for (const std::string& name : constructors_of(init)) order.push_back(name);
    EXPECT_EQ(order, (std::vector<std::string>{"std.buffer", "std.json", "std.string", "std.thread"}));
    EXPECT_EQ(initializers.at("std").size(), 4u);
    ASSERT_EQ(initializers.at("json").size(), 1u);
    EXPECT_EQ(constructors_of(initializers.at("json")[0]), (std::vector<std::string>{"json.bool"}));
}

} // namespace
