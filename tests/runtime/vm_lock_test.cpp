// VM lock guard (re-entry, depth, relock, hand-off, several threads) and the update list.
#include <gtest/gtest.h>

#include <thread>

#include "host/host_vm.h"
#include "runtime/update_pre.h"
#include "runtime/vm.h"
#include "runtime/vm_lock.h"
#include "tests/runtime/base_test_support.h"

namespace {

TEST(VmLock, NestedGuardsTakeTheMutexOnceRelockAndHandOff) {
    lum_thread_local& tl = lum_get_thread_local();
    ASSERT_EQ(tl.vm, nullptr);
    {
        lum_vm_lock_guard guard;  // no VM: takes nothing
        EXPECT_FALSE(guard.took_mutex());
        EXPECT_EQ(guard.vm(), nullptr);
        EXPECT_EQ(tl.vm_lock_depth, 0u);
        lum_vm_lock_handoff nothing_to_give;
    }
    auto vm = std::make_unique<lum_vm>();
    EXPECT_FALSE(lum_vm_owned_by_current_thread(vm.get()));
    EXPECT_FALSE(lum_vm_owned_by_current_thread(nullptr));
    tl.vm = vm.get();
    {
        lum_vm_lock_guard outer;
        EXPECT_TRUE(outer.took_mutex());
        EXPECT_EQ(vm->lock.owner.load(), tl.thread_id);
        {
            lum_vm_lock_guard inner;
            EXPECT_FALSE(inner.took_mutex());
            EXPECT_EQ(tl.vm_lock_depth, 2u);
            inner.relock();  // took nothing: nothing to take again
        }
        EXPECT_TRUE(lum_vm_owned_by_current_thread(vm.get()));  // the inner release keeps the lock
        EXPECT_EQ(tl.vm_lock_depth, 1u);
        {
            lum_vm_lock_handoff handoff;  // gives the lock up for the scope
            EXPECT_EQ(vm->lock.owner.load(), 0u);
            EXPECT_TRUE(vm->lock.mutex.try_lock());
            vm->lock.mutex.unlock();
        }
        EXPECT_TRUE(lum_vm_owned_by_current_thread(vm.get()));
        outer.relock();  // still held: nothing happens (no self-deadlock)
        vm->lock.owner.store(0);
        vm->lock.mutex.unlock();  // a scope gives the lock up...
        outer.relock();           // ...and is left: take it again
        EXPECT_EQ(vm->lock.owner.load(), tl.thread_id);
        EXPECT_FALSE(vm->lock.mutex.try_lock());
    }
    EXPECT_EQ(vm->lock.owner.load(), 0u);
    EXPECT_EQ(tl.vm_lock_depth, 0u);
    EXPECT_TRUE(vm->lock.mutex.try_lock());  // really unlocked
    vm->lock.mutex.unlock();
    tl.vm = nullptr;
}

TEST(VmLock, SerialisesSeveralThreads) {
    auto vm = std::make_unique<lum_vm>();
    uint64_t counter = 0;  // plain: only safe under the VM lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            lum_thread_local& tl = lum_get_thread_local();
            for (int i = 0; i < 2000; ++i) {
                lum_vm_lock_guard guard(vm.get());
                lum_vm_lock_guard nested(vm.get());
                EXPECT_EQ(vm->lock.owner.load(), tl.thread_id);
                ++counter;
            }
            EXPECT_EQ(tl.vm_lock_depth, 0u);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000u);
    EXPECT_EQ(vm->lock.owner.load(), 0u);
}

struct ticking : lumobject_update_pre {
    int ticks = 0;
    void update_pre() override { ++ticks; }
};

TEST(UpdatePre, ObjectsJoinAndLeaveTheUpdateListAndAreNotCalledOnceGone) {
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
    EXPECT_EQ(vm.update_list, std::vector<lumobject_update_pre*>{b.get()});
    EXPECT_EQ(vm.update_list_changed, 1);
    struct killer : lumobject_update_pre {
        std::unique_ptr<ticking>* victim;
        void update_pre() override { victim->reset(); }
    } k;
    auto victim = std::make_unique<ticking>();
    k.victim = &victim;
    ticking copy(*b);  // a copy joins too
    EXPECT_EQ(host.turn().updates, 3u);  // b, k, copy: the victim, destroyed by k during the turn, is not called
    EXPECT_EQ(victim, nullptr);
    EXPECT_EQ(copy.ticks, 2);

    // Another thread with no VM of its own destroys an object: it takes the lock of the VM the object joined.
    auto object = std::make_unique<ticking>();
    host.drop_lock();
    std::thread([&] { object.reset(); }).join();
    host.hold_lock();
    EXPECT_EQ(vm.update_list.size(), 3u);
}

TEST(UpdatePre, DefaultLogsAndAThreadWithoutVmJoinsNothing) {
    thread_log_scope logs;
    lumobject_update_pre plain;  // no VM on this thread
    EXPECT_EQ(plain.update_vm(), nullptr);
    plain.update_pre();
    EXPECT_EQ(logs.log().texts(), std::vector<std::string>{"update_pre: not implemented."});
}

} // namespace
