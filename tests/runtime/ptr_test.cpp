// Counted pointers: generated handle operations against a counting model,
// the permanent null record, assignment order, objects being released, and
// record pools with the release from other threads.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <thread>

#include "host/host_vm.h"
#include "runtime/ptr.h"
#include "runtime/vm.h"
#include "tests/runtime/base_test_support.h"

namespace {

struct derived_object : counted_object {
    using counted_object::counted_object;
};

// Strong and weak handles on objects made along the way, moved around at
// random; the model counts each object's handles. Records come from the VM's
// pool, so a record freed twice or never shows in the log or the pool's count.
TEST(Ptr, GeneratedHandleOperationsMatchACountingModel) {
    lum_host_vm host;
    thread_log_scope logs;
    const uint64_t records = host.vm().pool_records.live_count();
    constexpr int slots = 8;
    std::deque<std::atomic<int>> destroyed;
    std::vector<counted_object*> raw;
    std::vector<lumptr_strong<counted_object>> strong(slots);
    std::vector<lumptr_weak<counted_object>> weak(slots);
    std::vector<int> strong_of(slots, -1), weak_of(slots, -1);  // the model: which object each slot holds
    auto count = [](const std::vector<int>& of, int o) { return static_cast<uint32_t>(std::count(of.begin(), of.end(), o)); };
    auto alive = [&](int o) { return o >= 0 && destroyed[o].load() == 0; };
    std::mt19937 rng(7);
    for (int step = 0; step < 3000; ++step) {
        const int a = static_cast<int>(rng() % slots), b = static_cast<int>(rng() % slots);
        switch (rng() % 8) {
            case 0: strong[a] = strong[b]; strong_of[a] = strong_of[b]; break;
            case 1: strong[a] = std::move(strong[b]); strong_of[a] = strong_of[b]; if (a != b) strong_of[b] = -1; break;
            case 2: strong[a].reset(); strong_of[a] = -1; break;
            case 3: weak[a] = strong[b]; weak_of[a] = strong_of[b]; break;
            case 4: weak[a] = weak[b]; weak_of[a] = weak_of[b]; break;
            case 5: strong[a] = weak[b].lock(); strong_of[a] = alive(weak_of[b]) ? weak_of[b] : -1; break;
            case 6: if (strong_of[b] >= 0) strong[a] = strong[b].get(), strong_of[a] = strong_of[b]; break;  // from the raw object
            case 7: {
                auto& d = destroyed.emplace_back(0);
                raw.push_back(raw.size() % 2 ? new derived_object(&d, raw.size() % 3 != 0) : new counted_object(&d));
                strong[a] = lumptr_strong<counted_object>(raw.back());
                strong_of[a] = static_cast<int>(raw.size() - 1);
            }
        }
        for (int s = 0; s < slots; ++s) {
            const int o = strong_of[s];
            ASSERT_EQ(strong[s].get(), o < 0 ? nullptr : raw[o]) << "step " << step;
            if (o >= 0) { ASSERT_EQ(strong[s].use_count(), count(strong_of, o)); }
            ASSERT_EQ(weak[s].expired(), !alive(weak_of[s]));
            ASSERT_EQ(weak[s].get(), alive(weak_of[s]) ? raw[weak_of[s]] : nullptr);
        }
        for (size_t o = 0; o < raw.size(); ++o) ASSERT_EQ(destroyed[o].load(), count(strong_of, int(o)) == 0 ? 1 : 0);
    }
    strong.clear();
    weak.clear();
    EXPECT_GT(raw.size(), 300u);
    EXPECT_TRUE(logs.log().texts().empty());
    EXPECT_EQ(host.vm().pool_records.live_count(), records);
}

// Empty handles share one permanent record that no release frees.
TEST(Ptr, EmptyHandlesShareThePermanentNullRecord) {
    lumptr_strong<counted_object> a, b(nullptr);
    lumptr_weak<counted_object> w;
    for (const lumptr_ref_record* r : {a.record(), b.record(), w.record()}) EXPECT_EQ(r, &lumptr_null_record);
    EXPECT_EQ(std::tuple(lumptr_null_record.strong, lumptr_null_record.weak, lumptr_null_record.alive),
              std::tuple(LUMPTR_PERMANENT, 0u, uint8_t{1}));
    EXPECT_EQ(sizeof(a) + sizeof(w), 2 * sizeof(void*));
}

TEST(Ptr, AssignmentTakesTheNewRecordBeforeReleasingTheOld) {
    std::atomic<int> destroyed{0};
    auto node = [&](int value) {
        lumptr_strong<counted_object> n(new counted_object(&destroyed));
        n->value = value;
        return n;
    };
    // `head` holds the only reference to each node it leaves, and that node owns `next`.
    lumptr_strong<counted_object> head = node(1);
    head->next = node(2);
    head->next->next = node(3);
    head = head->next;
    head = head->next.get();  // from the raw object
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(head->value, 3);
    EXPECT_EQ(head.use_count(), 1u);
    head = std::move(head->next);  // empty: releases the last node
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_FALSE(head);
}

// A class that tries to take a handle to itself while it is being released.
class self_grabbing : public lumptr_base<self_grabbing> {
public:
    void detach() override {
        lumptr_strong<self_grabbing> self(this);
        grabbed = static_cast<bool>(self);
        lumptr_base<self_grabbing>::detach();
    }
    static inline bool grabbed = true;
};

TEST(Ptr, AHandleToAnObjectBeingReleasedIsEmptyAndCopiedObjectsGetTheirOwnRecord) {
    lumptr_strong<self_grabbing> h(new self_grabbing());
    h.reset();
    EXPECT_FALSE(self_grabbing::grabbed);
    lumptr_strong<counted_object> a(new counted_object());
    auto* copy = new counted_object(*a);
    EXPECT_EQ(static_cast<lumptr_storage*>(copy)->ref_record, nullptr);
    lumptr_strong<counted_object> b(copy);
    EXPECT_NE(a.record(), b.record());
}

TEST(Ptr, RecordsComeFromTheVmPoolOnTheOwnerThreadOnly) {
    lumptr_strong<counted_object> no_vm(new counted_object());
    EXPECT_EQ(no_vm.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    lum_host_vm host;
    lum_vm& vm = host.vm();
    std::atomic<int> destroyed{0};
    const uint64_t live = vm.pool_records.live_count();
    lumptr_strong<counted_object> pooled(new counted_object(&destroyed));
    EXPECT_LT(pooled.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    lumptr_strong<counted_object> refused(new counted_object(&destroyed, /*pooled_record=*/false));
    EXPECT_EQ(refused.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    {
        lum_pooling_suspend suspended;
        EXPECT_EQ(lumptr_strong<counted_object>(new counted_object(&destroyed)).record()->pool_slot, LUM_POOL_HEAP_SLOT);
    }
    EXPECT_EQ(vm.pool_records.live_count(), live + 1);
    // Released on a thread that works for the VM without its lock: the record
    // travels through the deferred-free ring and comes back at the next turn.
    std::thread([&] {
        lum_get_thread_local().vm = &vm;
        pooled.reset();
        lum_get_thread_local().vm = nullptr;
    }).join();
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(vm.pool_records.live_count(), live + 1);
    EXPECT_EQ(host.turn().ring_items, 1u);
    EXPECT_EQ(vm.pool_records.live_count(), live);

    // An object destroyed for every handle leaves its record to the handles: the last one frees it.
    for (const bool with_weak : {false, true}) {
        auto* gone = new counted_object(&destroyed);
        lumptr_strong<counted_object> strong(gone);
        lumptr_weak<counted_object> weak(with_weak ? gone : nullptr);
        gone->detach();
        gone->destroy();
        EXPECT_FALSE(weak.lock());
        strong.reset();
        EXPECT_EQ(vm.pool_records.live_count(), live + (with_weak ? 1 : 0));
        weak.reset();
        EXPECT_EQ(vm.pool_records.live_count(), live);
    }
}

} // namespace
