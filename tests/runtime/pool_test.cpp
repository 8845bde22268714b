// Pools: slot order, chunk growth, free-chunk stack, double free and double
// allocation, the slow path for wrong slot indexes, retired chunks, the
// deferred-free ring from other threads, and the pool-or-heap helpers.
#include <gtest/gtest.h>

#include <thread>

#include "host/host_vm.h"
#include "runtime/pool.h"
#include "runtime/vm.h"
#include "tests/runtime/base_test_support.h"

namespace {

struct test_item {
    uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
    int32_t value = 0;
    test_item() { constructed.fetch_add(1); }
    ~test_item() { destroyed.fetch_add(1); }
    static inline std::atomic<int> constructed{0};
    static inline std::atomic<int> destroyed{0};
};

using checked_pool = lum_pool<test_item, true>;
using unchecked_pool = lum_pool<test_item, false>;

std::string hex(const void* p) { return lum_log_base::concat(p); }

lum_pool_chunk* chunk_of(lum_pool_base& pool, const void* item) { return pool.find_chunk(item); }

TEST(Pool, HandsOutSlotsInOrderAndGrowsByChunks) {
    auto pool = std::make_unique<checked_pool>();
    test_item::constructed = 0;
    std::vector<test_item*> items;
    for (int i = 0; i < 255; ++i) items.push_back(pool->allocate());
    EXPECT_EQ(test_item::constructed.load(), 255); // built once, with the chunk
    EXPECT_EQ(pool->chunk_count(), 1u);
    for (int i = 0; i < 255; ++i) {
        EXPECT_EQ(items[i]->pool_slot, i);
        EXPECT_EQ(chunk_of(*pool, items[i]), pool->chunks()[0]);
    }
    EXPECT_EQ(pool->chunks()[0]->magic, LUM_POOL_MAGIC);
    test_item* next = pool->allocate();
    EXPECT_EQ(pool->chunk_count(), 2u);
    EXPECT_EQ(next->pool_slot, 0);
    EXPECT_EQ(pool->live_count(), 256u);
    items[3]->value = 42;
    pool->deallocate(items[3]);
    EXPECT_EQ(pool->live_count(), 255u);
    EXPECT_EQ(test_item::constructed.load(), 510);
    test_item* again = pool->allocate(); // the chunk that took the slot back is tried first
    EXPECT_EQ(again, items[3]);
    EXPECT_EQ(pool->allocate()->pool_slot, 1); // then the newest chunk again
}

TEST(Pool, AFullChunkComesBackWithItsReturnedSlotNext) {
    auto pool = std::make_unique<checked_pool>();
    std::vector<test_item*> items;
    for (int i = 0; i < 256; ++i) items.push_back(pool->allocate()); // chunk 0 full and off the list
    pool->allocate();                                                 // still chunk 1
    pool->deallocate(items[17]);
    EXPECT_EQ(pool->chunks()[0]->off_list, 0);
    EXPECT_EQ(pool->allocate(), items[17]);
    pool->deallocate(items[17]);
    items[17]->value = 5; // a checked item is reused as it was left
    test_item* reused = pool->allocate();
    EXPECT_EQ(reused, items[17]);
    EXPECT_EQ(reused->value, 5);
}

TEST(Pool, DoubleFreeIsLoggedOnceAndRefused) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    test_item* a = pool->allocate();
    test_item* b = pool->allocate();
    pool->deallocate(a);
    pool->deallocate(a);
    EXPECT_EQ(logs.log().texts(),
              (std::vector<std::string>{"Attempting to deallocate unallocated chunk (double free?) !"}));
    EXPECT_EQ(pool->live_count(), 1u); // the refused free does not count
    EXPECT_EQ(pool->allocate(), a);    // one stack entry for a, not two
    test_item* c = pool->allocate();
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
}

TEST(Pool, DoubleAllocationIsCaughtByTheBitset) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    test_item* a = pool->allocate();
    lum_pool_chunk* chunk = pool->chunks()[0];
    chunk->free_stack[chunk->free_count++] = a->pool_slot; // corrupt: slot 0 listed free while allocated
    test_item* b = pool->allocate();
    EXPECT_NE(b, a);
    EXPECT_EQ(logs.log().texts(), (std::vector<std::string>{
                                      "Attempting to allocate an already allocated chunk! (double allocate?) !"}));
    EXPECT_EQ(chunk->off_list, 1); // the chunk left the free-chunk stack
    EXPECT_EQ(pool->chunk_count(), 2u);
    EXPECT_EQ(pool->live_count(), 2u);
}

TEST(Pool, AWrongSlotIndexFreesTheSlotTheAddressGives) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    std::vector<test_item*> items;
    for (int i = 0; i < 10; ++i) items.push_back(pool->allocate());
    lum_pool_chunk* chunk = pool->chunks()[0];

    items[3]->pool_slot = 7; // names a live neighbour
    pool->deallocate(items[3]);
    EXPECT_EQ(logs.log().texts(),
              (std::vector<std::string>{
                  "invalid variable pool memory! %i 7",
                  "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." + hex(items[3]) +
                      " <-> " + hex(items[0]) + " <-> 7 <-> 3"}));  // the chunk: its first slot
    EXPECT_FALSE(chunk->bit(3));
    EXPECT_TRUE(chunk->bit(7)); // never the slot the wrong index names
    EXPECT_EQ(items[3]->pool_slot, 3);
    EXPECT_EQ(pool->live_count(), 9u);

    items[2]->pool_slot = 200; // an index past the item's own: the computed chunk lies before the block
    pool->deallocate(items[2]);
    EXPECT_FALSE(chunk->bit(2));
    EXPECT_EQ(pool->live_count(), 8u);

    logs.log().clear();
    pool->deallocate(items[4]);
    items[4]->pool_slot = 1;
    pool->deallocate(items[4]); // already free at its real slot
    auto texts = logs.log().texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], "Additionally, the variable was already free'd. Check for mem corruptions.");
    EXPECT_TRUE(chunk->bit(1));
    EXPECT_EQ(pool->live_count(), 7u);
}

TEST(Pool, UnknownAndMisalignedItemsAreIgnored) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    test_item outsider;
    outsider.pool_slot = 3;
    const std::vector<std::string> unknown{"invalid variable pool memory! %i 3", "unknown var encountered."};
    pool->deallocate(&outsider); // no chunk yet
    EXPECT_EQ(logs.log().texts(), unknown);
    logs.log().clear();
    test_item* a = pool->allocate();
    test_item* b = pool->allocate();
    EXPECT_EQ(a->pool_slot, 0);
    pool->deallocate(&outsider);
    EXPECT_EQ(logs.log().texts(), unknown);
    logs.log().clear();
    b->value = 200; // the byte read as the slot index of the misaligned pointer below
    auto* inside = reinterpret_cast<test_item*>(reinterpret_cast<char*>(b) + offsetof(test_item, value));
    pool->deallocate(inside);
    auto texts = logs.log().texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "pool item is not on a slot boundary: " + hex(inside));
    EXPECT_EQ(pool->live_count(), 2u);
    EXPECT_TRUE(pool->chunks()[0]->bit(a->pool_slot));
    EXPECT_TRUE(pool->chunks()[0]->bit(b->pool_slot));
}

TEST(Pool, AChunkWithAForeignMagicIsLoggedAndTheSlowPathFindsIt) {
    for (bool checked : {true, false}) {
        SCOPED_TRACE(checked ? "checked" : "unchecked");
        thread_log_scope logs;
        std::unique_ptr<lum_pool_base> owner;
        test_item* items[3];
        if (checked) {
            auto pool = std::make_unique<checked_pool>();
            for (auto& item : items) item = pool->allocate();
            owner = std::move(pool);
        } else {
            auto pool = std::make_unique<unchecked_pool>();
            for (auto& item : items) item = pool->allocate();
            owner = std::move(pool);
        }
        lum_pool_chunk* chunk = owner->chunks()[0];
        chunk->magic = 0x12345678u;  // corrupted
        if (checked)
            static_cast<checked_pool&>(*owner).deallocate(items[2]);
        else
            static_cast<unchecked_pool&>(*owner).deallocate(items[2]);
        const std::string magic_text = checked ? "invalid pool magic num: %p vs %p " : "invalid pool magic num: %p vs %p";
        EXPECT_EQ(logs.log().texts(),
                  (std::vector<std::string>{
                      magic_text + hex(items[0]) + " <-> 0xffabcdef", "invalid variable pool memory! %i 2",
                      "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." + hex(items[2]) +
                          " <-> " + hex(items[0]) + " <-> 2 <-> 2"}));
        EXPECT_EQ(owner->live_count(), 2u);
        chunk->magic = LUM_POOL_MAGIC;
    }
}

TEST(Pool, FreesIntoARetiredChunkAreIgnoredSilently) {
    thread_log_scope logs;
    auto first = std::make_unique<checked_pool>();
    test_item* kept = first->allocate();
    test_item* returned = first->allocate();
    first->deallocate(returned);
    lum_pool_chunk* chunk = first->chunks()[0];
    first->teardown(); // a live item: the chunk is retired, its memory kept
    EXPECT_EQ(chunk->magic, LUM_POOL_MAGIC_RETIRED);
    EXPECT_EQ(first->chunk_count(), 0u);
    auto second = std::make_unique<checked_pool>();
    second->allocate();
    second->deallocate(kept);
    first->deallocate(kept);
    EXPECT_TRUE(logs.log().texts().empty());
    EXPECT_EQ(second->live_count(), 1u);
}

// Many teardowns retire many chunks: a late release of an item of any of them
// is recognised (one hashed lookup each) and ignored, in any order, and the
// pool that received it keeps its own count.
TEST(Pool, LateReleasesIntoManyRetiredChunksAreIgnored) {
    thread_log_scope logs;
    constexpr int pools = 300;
    std::vector<test_item*> kept;
    for (int i = 0; i < pools; ++i) {
        auto pool = std::make_unique<unchecked_pool>();
        for (int k = 0; k <= i % 3; ++k) kept.push_back(pool->allocate());
        pool->teardown();
    }
    auto current = std::make_unique<unchecked_pool>();
    test_item* own = current->allocate();
    for (size_t i = kept.size(); i-- > 0;) current->deallocate(kept[i]);
    EXPECT_TRUE(logs.log().texts().empty());
    EXPECT_EQ(current->live_count(), 1u);
    current->deallocate(own);
    EXPECT_EQ(current->live_count(), 0u);
}

TEST(Pool, TeardownDestroysItemsOfFreeChunks) {
    test_item::constructed = 0;
    test_item::destroyed = 0;
    {
        auto pool = std::make_unique<checked_pool>();
        test_item* a = pool->allocate();
        pool->deallocate(a);
        pool->teardown();
        EXPECT_EQ(test_item::destroyed.load(), 255);
    }
    EXPECT_EQ(test_item::constructed.load(), 255);
    EXPECT_EQ(test_item::destroyed.load(), 255);
}

TEST(Pool, UncheckedItemsAreBuiltAtAllocateAndDestroyedAtDeallocate) {
    auto pool = std::make_unique<unchecked_pool>();
    test_item::constructed = 0;
    test_item::destroyed = 0;
    test_item* a = pool->allocate();
    test_item* b = pool->allocate();
    EXPECT_EQ(test_item::constructed.load(), 2);
    EXPECT_EQ(a->pool_slot, 0);
    EXPECT_EQ(b->pool_slot, 1);
    pool->deallocate(a);
    EXPECT_EQ(test_item::destroyed.load(), 1);
    EXPECT_EQ(pool->allocate(), a);
    EXPECT_EQ(test_item::constructed.load(), 3);
    EXPECT_EQ(pool->live_count(), 2u);
}

TEST(Pool, APoolThatCannotGrowLogsAndTheHelperFallsBackToTheHeap) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    thread_log_scope logs;
    lum_pool<lumptr_ref_record, true>& pool = vm.pool_records;
    pool.set_chunk_limit(pool.chunk_count() + 1);
    std::vector<lumptr_ref_record*> records;
    while (logs.log().texts().empty() && records.size() < 1000) records.push_back(lum_pool_new<&lum_vm::pool_records>());
    EXPECT_EQ(logs.log().texts(), (std::vector<std::string>{"Failed to allocate a pool chunk!"}));
    EXPECT_EQ(records.back()->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_LT(records.front()->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_EQ(pool.allocate(), nullptr);
    for (auto* r : records) lum_pool_delete<&lum_vm::pool_records>(r);
    pool.set_chunk_limit(0);
}

TEST(Pool, HelpersUseTheHeapOffTheOwnerThreadOrWhilePoolingIsSuspended) {
    lum_host_vm host;
    lumptr_ref_record* pooled = lum_pool_new<&lum_vm::pool_records>();
    EXPECT_LT(pooled->pool_slot, LUM_POOL_HEAP_SLOT);
    lumptr_ref_record* suspended;
    {
        lum_pooling_suspend off;
        suspended = lum_pool_new<&lum_vm::pool_records>();
    }
    EXPECT_EQ(suspended->pool_slot, LUM_POOL_HEAP_SLOT);
    host.drop_lock(); // the thread no longer owns the VM
    lumptr_ref_record* unowned = lum_pool_new<&lum_vm::pool_records>();
    EXPECT_EQ(unowned->pool_slot, LUM_POOL_HEAP_SLOT);
    host.hold_lock();
    for (auto* r : {pooled, suspended, unowned}) lum_pool_delete<&lum_vm::pool_records>(r);
}

TEST(Pool, DeferredFreesFromOtherThreadsLeaveAnExactLiveCount) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_records;
    const uint64_t baseline = pool.live_count();
    constexpr int threads = 4;
    constexpr int per_thread = 3000;
    std::vector<std::vector<lumptr_ref_record*>> batches(threads);
    for (auto& batch : batches)
        for (int i = 0; i < per_thread; ++i) batch.push_back(lum_pool_new<&lum_vm::pool_records>());
    EXPECT_EQ(pool.live_count(), baseline + threads * per_thread);

    std::atomic<int> done{0};
    std::vector<std::thread> releasers;
    for (auto& batch : batches)
        releasers.emplace_back([&vm, &batch, &done] {
            lum_get_thread_local().vm = &vm; // works for the VM, does not own it
            for (auto* r : batch) lum_pool_delete<&lum_vm::pool_records>(r);
            lum_get_thread_local().vm = nullptr;
            done.fetch_add(1);
        });
    size_t returned = 0;
    while (done.load() < threads) returned += host.turn().ring_items; // the owner drains meanwhile
    for (auto& t : releasers) t.join();
    returned += host.turn().ring_items;
    EXPECT_EQ(returned, static_cast<size_t>(threads * per_thread));
    EXPECT_EQ(pool.live_count(), baseline);
    uint64_t allocated = 0;
    for (lum_pool_chunk* c : pool.chunks()) allocated += c->allocated();
    EXPECT_EQ(allocated, baseline);
}

TEST(Pool, AReleaseIntoAFullRingTakesTheVmLockAndFreesDirectly) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_records;
    const uint64_t baseline = pool.live_count();
    std::vector<lumptr_ref_record*> items;
    for (uint32_t i = 0; i <= LUM_POOL_RING_SIZE; ++i) items.push_back(lum_pool_new<&lum_vm::pool_records>());
    host.drop_lock();
    std::thread releaser([&] {
        lum_get_thread_local().vm = &vm;
        for (uint32_t i = 0; i < LUM_POOL_RING_SIZE; ++i) lum_pool_delete<&lum_vm::pool_records>(items[i]);
        EXPECT_EQ(pool.deferred_pending(), LUM_POOL_RING_SIZE);
        lum_pool_delete<&lum_vm::pool_records>(items.back()); // ring full: direct, under the VM lock
        EXPECT_EQ(lum_get_thread_local().vm_lock_depth, 0u);
        lum_get_thread_local().vm = nullptr;
    });
    releaser.join();
    host.hold_lock();
    EXPECT_EQ(pool.live_count(), baseline + LUM_POOL_RING_SIZE);
    EXPECT_EQ(host.turn().ring_items, LUM_POOL_RING_SIZE);
    EXPECT_EQ(pool.live_count(), baseline);
}

TEST(Pool, RingPositionsSpreadConsecutiveEntries) {
    EXPECT_EQ(lum_pool_base::ring_position(0), 0u);
    EXPECT_EQ(lum_pool_base::ring_position(1), 8u);
    EXPECT_EQ(lum_pool_base::ring_position(8), 1u);
    std::vector<bool> seen(LUM_POOL_RING_SIZE, false);
    for (uint32_t i = 0; i < LUM_POOL_RING_SIZE; ++i) seen[lum_pool_base::ring_position(i + LUM_POOL_RING_SIZE)] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(LUM_POOL_RING_SIZE));
}

} // namespace
