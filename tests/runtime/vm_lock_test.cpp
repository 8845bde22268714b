// VM lock guard (re-entry, depth, several threads) and the update list.
#include <gtest/gtest.h>

#include <thread>

#include "host/host_vm.h"
#include "runtime/update_pre.h"
#include "runtime/vm.h"
#include "runtime/vm_lock.h"
#include "tests/runtime/base_test_support.h"

namespace {

TEST(VmLock, NestedGuardsTakeTheMutexOnceAndKeepTheDepthBalanced) {
    lum_thread_local& tl = lum_get_thread_local();
    ASSERT_EQ(tl.vm, nullptr);
    uint32_t depth = tl.vm_lock_depth;
    {
        lum_vm_lock_guard guard;  // no VM: takes nothing
        EXPECT_FALSE(guard.took_mutex());
        EXPECT_EQ(guard.vm(), nullptr);
        EXPECT_EQ(tl.vm_lock_depth, depth);
    }
    auto vm_owner = std::make_unique<lum_vm>();
    lum_vm& vm = *vm_owner;
    tl.vm = &vm;
    {
        lum_vm_lock_guard outer;
        EXPECT_TRUE(outer.took_mutex());
        EXPECT_EQ(vm.lock.owner.load(), tl.thread_id);
        EXPECT_EQ(tl.vm_lock_depth, depth + 1);
        {
            lum_vm_lock_guard inner;
            EXPECT_FALSE(inner.took_mutex());
            EXPECT_EQ(tl.vm_lock_depth, depth + 2);
        }
        EXPECT_EQ(vm.lock.owner.load(), tl.thread_id); // the inner release keeps the lock
        EXPECT_EQ(tl.vm_lock_depth, depth + 1);
        EXPECT_TRUE(lum_vm_owned_by_current_thread(&vm));
    }
    EXPECT_EQ(vm.lock.owner.load(), 0u);
    EXPECT_EQ(tl.vm_lock_depth, depth);
    EXPECT_TRUE(vm.lock.mutex.try_lock()); // really unlocked
    vm.lock.mutex.unlock();
    tl.vm = nullptr;
}

TEST(VmLock, RelockRetakesAMutexGivenUp) {
    auto vm_owner = std::make_unique<lum_vm>();
    lum_vm& vm = *vm_owner;
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm_lock_guard guard(&vm); // explicit VM: the thread has none current
    ASSERT_TRUE(guard.took_mutex());
    guard.relock(); // still held: nothing happens (no self-deadlock)
    vm.lock.owner.store(0);
    vm.lock.mutex.unlock(); // a scope gives the lock up...
    guard.relock();         // ...and is left: take it again
    EXPECT_EQ(vm.lock.owner.load(), tl.thread_id);
    EXPECT_FALSE(vm.lock.mutex.try_lock());
}

TEST(VmLock, SerialisesSeveralThreads) {
    auto vm_owner = std::make_unique<lum_vm>();
    lum_vm& vm = *vm_owner;
    uint64_t counter = 0; // plain: only safe under the VM lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            lum_thread_local& tl = lum_get_thread_local();
            tl.vm = &vm;
            for (int i = 0; i < 2000; ++i) {
                lum_vm_lock_guard guard;
                lum_vm_lock_guard nested;
                EXPECT_EQ(vm.lock.owner.load(), tl.thread_id);
                ++counter;
            }
            EXPECT_EQ(tl.vm_lock_depth, 0u);
            tl.vm = nullptr;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000u);
    EXPECT_EQ(vm.lock.owner.load(), 0u);
}

struct ticking : lumobject_update_pre {
    int ticks = 0;
    void update_pre() override { ++ticks; }
};

TEST(UpdatePre, ObjectsJoinAndLeaveTheUpdateList) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto a = std::make_unique<ticking>();
    auto b = std::make_unique<ticking>();
    EXPECT_EQ(a->update_vm(), &vm);
    EXPECT_EQ(vm.update_list, (std::vector<lumobject_update_pre*>{a.get(), b.get()}));
    EXPECT_EQ(vm.update_list_changed, 1);
    EXPECT_EQ(host.turn().updates, 2u);
    EXPECT_EQ(vm.update_list_changed, 0);
    a.reset();
    EXPECT_EQ(vm.update_list, (std::vector<lumobject_update_pre*>{b.get()}));
    EXPECT_EQ(vm.update_list_changed, 1);
    host.turn();
    EXPECT_EQ(b->ticks, 2);
}

TEST(UpdatePre, AMemberDestroyedDuringTheTurnIsNotCalled) {
    lum_host_vm host;
    struct killer : lumobject_update_pre {
        std::unique_ptr<ticking>* victim;
        void update_pre() override { victim->reset(); }
    };
    killer k;
    auto victim = std::make_unique<ticking>();
    k.victim = &victim;
    EXPECT_EQ(host.turn().updates, 1u);
    EXPECT_EQ(victim, nullptr);
}

TEST(UpdatePre, DefaultLogsAndAThreadWithoutVmJoinsNothing) {
    thread_log_scope logs;
    lumobject_update_pre plain; // no VM on this thread
    EXPECT_EQ(plain.update_vm(), nullptr);
    plain.update_pre();
    EXPECT_EQ(logs.log().texts(), (std::vector<std::string>{"update_pre: not implemented."}));
}

TEST(UpdatePre, DestructorLocksTheVmItJoined) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto object = std::make_unique<ticking>();
    host.drop_lock();
    std::thread other([&] {
        // Another thread with no VM of its own destroys the object: it must
        // take the lock of the VM the object joined.
        object.reset();
    });
    other.join();
    host.hold_lock();
    EXPECT_TRUE(vm.update_list.empty());
}

} // namespace
