// Module entry: descriptor bytes, registry identity, namespace registration,
// the per-thread runtime block.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
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
    try {
        lum_get_thread_local();
        ADD_FAILURE() << "an empty getter must throw";
    } catch (const std::bad_function_call& e) {
        EXPECT_STREQ(e.what(), "bad function call");
    }

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

struct logs_at_thread_exit {
    bool armed = false;
    ~logs_at_thread_exit() {
        if (armed) lum_get_log().warning("late object gone");
    }
};

// Per-thread objects of the runtime's kind (a C++ thread_local with a
// destructor is not usable on every platform: emulated thread-local storage
// may be freed before its destructor runs).
thread_local constinit lum_per_thread<logs_at_thread_exit> late_logger;

// At thread exit the thread's block goes while per-thread objects still log:
// the thread logger's own destructor, and an object made before the thread's
// first lookup (so destroyed after its block). Both reach the process
// default logger, never the block being destroyed or freed.
TEST(ThreadLocal, LogsDuringAndAfterThreadTeardownReachTheDefaultLogger) {
    default_log_listener listener;
    lum_log_base& fallback = *lum_make_default_log();
    auto record = lum_host_add_listener(fallback, &listener);
    constexpr int threads = 4;
    for (int i = 0; i < threads; ++i) {
        std::thread([] {
            late_logger.get().armed = true;
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
    for (int i = 0; i < threads; ++i) {
        expected.push_back("thread logger gone");
        expected.push_back("late object gone");
    }
    EXPECT_EQ(listener.seen, expected);
}

struct holds_value_at_thread_exit {
    lumvar_shared value;
};
thread_local constinit lum_per_thread<holds_value_at_thread_exit> late_value;

// A per-thread object made before the thread's first lookup holds an owning
// json value with nested containers: it is released after the thread's block
// and the other per-thread records are gone, and the release (its walk and its
// entry stack) works as any other, leaving nothing behind.
TEST(ThreadLocal, ValuesReleasedAfterThreadTeardownAreReleasedCompletely) {
    std::atomic<int> texts{0};
    for (int i = 0; i < 4; ++i) {
        std::thread([&texts] {
            lumvar_shared outer = lumvar_shared::make();
            lum_std_json* container = outer->json_object(true);
            for (int k = 0; k < 4; ++k) {
                lumvar_shared inner = lumvar_shared::make();
                inner->json_object(true)->push_keyed(lumvar_shared::from_int(k), "k");
                container->push_keyed(std::move(inner), "x");
            }
            outer->flags |= LUMVAR_FLAG_OWNING;
            if (container->entries.size() == 4 && !container->to_string().empty()) ++texts;  // walked once
            late_value.get().value = std::move(outer);
        }).join();
    }
    EXPECT_EQ(texts.load(), 4);
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
    EXPECT_EQ(initializers.at("std").size(), 5u);
    ASSERT_EQ(initializers.at("json").size(), 1u);
    EXPECT_EQ(constructors_of(initializers.at("json")[0]), (std::vector<std::string>{"json.bool"}));
}

} // namespace
