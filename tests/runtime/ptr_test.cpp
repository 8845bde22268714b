// Counted pointers: the permanent null record, strong and weak handles,
// record pools and the release from other threads.
#include <gtest/gtest.h>

#include <thread>

#include "host/host_vm.h"
#include "runtime/ptr.h"
#include "runtime/vm.h"
#include "tests/runtime/base_test_support.h"

namespace {

struct derived_object : counted_object {
    using counted_object::counted_object;
};

TEST(Ptr, EmptyHandlesShareThePermanentNullRecord) {
    lumptr_strong<counted_object> a;
    lumptr_strong<counted_object> b(nullptr);
    lumptr_weak<counted_object> w;
    EXPECT_EQ(a.record(), &lumptr_null_record);
    EXPECT_EQ(b.record(), &lumptr_null_record);
    EXPECT_EQ(w.record(), &lumptr_null_record);
    EXPECT_FALSE(a);
    EXPECT_EQ(a.get(), nullptr);
    for (int i = 0; i < 5; ++i) {
        lumptr_strong<counted_object> copy = a;
        copy.reset();
        a.reset();
        w.reset();
    }
    EXPECT_EQ(lumptr_null_record.strong, LUMPTR_PERMANENT);
    EXPECT_EQ(lumptr_null_record.weak, 0u);
    EXPECT_EQ(lumptr_null_record.alive, 1);
    EXPECT_EQ(lumptr_null_record.object, 0u);
    EXPECT_EQ(sizeof(lumptr_strong<counted_object>), sizeof(void*));
    EXPECT_EQ(sizeof(lumptr_weak<counted_object>), sizeof(void*));
}

TEST(Ptr, StrongCountsAndDestroysWithTheLastHandle) {
    std::atomic<int> destroyed{0};
    auto* object = new counted_object(&destroyed);
    lumptr_strong<counted_object> a(object);
    EXPECT_EQ(a.use_count(), 1u);
    EXPECT_EQ(a.record()->pool_slot, LUM_POOL_HEAP_SLOT); // no VM: heap record
    {
        lumptr_strong<counted_object> b = a;
        EXPECT_EQ(a.use_count(), 2u);
        a = object; // already refers to it: unchanged
        EXPECT_EQ(a.use_count(), 2u);
        a = a;
        EXPECT_EQ(a.use_count(), 2u);
        lumptr_strong<counted_object> c(std::move(b));
        EXPECT_FALSE(b);
        EXPECT_EQ(a.use_count(), 2u);
    }
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(a->value, 0);
    a.reset();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(Ptr, LastStrongReleaseWithWeakHandlesDestroysAtOnce) {
    std::atomic<int> destroyed{0};
    auto* object = new counted_object(&destroyed);
    lumptr_strong<counted_object> strong(object);
    lumptr_weak<counted_object> w1(object);
    lumptr_weak<counted_object> w2 = w1;
    lumptr_ref_record* record = strong.record();
    EXPECT_EQ(record->weak, 2u);
    EXPECT_EQ(w1.lock().get(), object);
    strong.reset();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(w1.get(), nullptr);
    EXPECT_EQ(w2.get(), nullptr);
    EXPECT_TRUE(w1.expired());
    EXPECT_FALSE(w2.lock());
    // The record lives on for the weak handles; the last weak release frees
    // it (a leak or a double free shows under the sanitizers).
    EXPECT_EQ(record->alive, 0);
    w1.reset();
    w2.reset();
}

TEST(Ptr, WeakAssignmentFollowsTheOtherRecord) {
    std::atomic<int> destroyed{0};
    lumptr_strong<counted_object> a(new counted_object(&destroyed));
    lumptr_strong<counted_object> b(new counted_object(&destroyed));
    lumptr_weak<counted_object> w(a);
    lumptr_weak<counted_object> v(b);
    w = v;
    EXPECT_EQ(w.get(), b.get());
    EXPECT_EQ(a.record()->weak, 0u);
    EXPECT_EQ(b.record()->weak, 2u);
    w = w;
    EXPECT_EQ(b.record()->weak, 2u);
    lumptr_weak<counted_object> moved(std::move(v));
    EXPECT_EQ(v.record(), &lumptr_null_record);
    w = a.get();
    EXPECT_EQ(w.get(), a.get());
    b.reset();
    EXPECT_EQ(destroyed.load(), 1);
    lumptr_weak<counted_object> from_dead = moved; // record gone: copies stay empty
    EXPECT_EQ(from_dead.record(), &lumptr_null_record);
}

TEST(Ptr, AssignmentTakesTheNewRecordBeforeReleasingTheOld) {
    std::atomic<int> destroyed{0};
    lumptr_strong<counted_object> head(new counted_object(&destroyed));
    head->next = lumptr_strong<counted_object>(new counted_object(&destroyed));
    head->next->next = lumptr_strong<counted_object>(new counted_object(&destroyed));
    head->next->next->value = 3;
    // head holds the only reference to the first node: the assignment must
    // copy `next` before the old node (which owns `next`) is destroyed.
    head = head->next;
    EXPECT_EQ(destroyed.load(), 1);
    head = head->next;
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_EQ(head->value, 3);
    head = std::move(head->next); // empty: releases the last node
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_FALSE(head);

    // From a raw object: the second node lives only through the first, which only `head` holds.
    head = lumptr_strong<counted_object>(new counted_object(&destroyed));
    head->next = lumptr_strong<counted_object>(new counted_object(&destroyed));
    head->next->value = 7;
    head = head->next.get();
    EXPECT_EQ(destroyed.load(), 4);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->value, 7);
    EXPECT_EQ(head.use_count(), 1u);
    head = static_cast<counted_object*>(nullptr);
    EXPECT_EQ(destroyed.load(), 5);
}

TEST(Ptr, DerivedToBaseSharesOneRecordAndTheTypeTagIsTheConcreteType) {
    std::atomic<int> destroyed{0};
    auto* object = new derived_object(&destroyed);
    lumptr_strong<derived_object> d(object);
    lumptr_strong<counted_object> base = d;
    EXPECT_EQ(base.get(), object);
    EXPECT_EQ(d.record(), base.record());
    EXPECT_EQ(d.use_count(), 2u);
    lumptr_strong<derived_object> back = base.static_as<derived_object>();
    EXPECT_EQ(back.get(), object);
    EXPECT_EQ(object->type_tag, lumptr_type_tag<counted_object>::type_id()); // tag of the tag base
    EXPECT_EQ(lumptr_type_tag<counted_object>::type_id(), typeid(counted_object).hash_code());
    d.reset();
    base.reset();
    back.reset();
    EXPECT_EQ(destroyed.load(), 1);
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

    std::atomic<int> destroyed{0};
    lumptr_strong<counted_object> a(new counted_object(&destroyed));
    auto* copy = new counted_object(*a);
    EXPECT_EQ(static_cast<lumptr_storage*>(copy)->ref_record, nullptr);
    lumptr_strong<counted_object> b(copy);
    EXPECT_NE(a.record(), b.record());
}

TEST(Ptr, RecordsComeFromTheVmPoolOnTheOwnerThreadOnly) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    std::atomic<int> destroyed{0};
    uint64_t live = vm.pool_records.live_count();

    lumptr_strong<counted_object> pooled(new counted_object(&destroyed));
    EXPECT_LT(pooled.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_EQ(vm.pool_records.live_count(), live + 1);

    lumptr_strong<counted_object> refused(new counted_object(&destroyed, /*pooled_record=*/false));
    EXPECT_EQ(refused.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    {
        lum_pooling_suspend suspended;
        lumptr_strong<counted_object> suspended_object(new counted_object(&destroyed));
        EXPECT_EQ(suspended_object.record()->pool_slot, LUM_POOL_HEAP_SLOT);
    }
    pooled.reset();
    EXPECT_EQ(vm.pool_records.live_count(), live);

    // Released on a thread that works for the VM without its lock: the record
    // travels through the deferred-free ring and comes back at the next turn.
    lumptr_strong<counted_object> handed(new counted_object(&destroyed));
    EXPECT_EQ(vm.pool_records.live_count(), live + 1);
    std::thread other([&] {
        lum_get_thread_local().vm = &vm;
        handed.reset();
        lum_get_thread_local().vm = nullptr;
    });
    other.join();
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_EQ(vm.pool_records.live_count(), live + 1);
    EXPECT_EQ(host.turn().ring_items, 1u);
    EXPECT_EQ(vm.pool_records.live_count(), live);
}

} // namespace
