// Pools: generated allocate/free sequences against a model of the live set,
// double free and double allocation, the slow path for wrong slot indexes,
// retired chunks, the deferred-free ring from other threads, and the
// pool-or-heap helpers.
#include <gtest/gtest.h>

#include <random>
#include <set>
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
using texts_t = std::vector<std::string>;

std::string hex(const void* p) { return lum_log_base::concat(p); }
std::string wrong_slot(const void* item, const void* chunk, int said, int is) {
    return "Seems like variable %p belongs to pool %p, offset was %i, but actually is %i." + hex(item) + " <-> " +
           hex(chunk) + " <-> " + std::to_string(said) + " <-> " + std::to_string(is);
}

// Runs generated allocations and frees on a pool and checks it against the
// set of live items: a new chunk starts at slot 0; the last freed item comes
// back first when its chunk is the only one or had left the free-chunk stack;
// exact counts and allocation bits; unchecked items are built at allocation
// and destroyed at release, checked ones once per chunk.
template <class Pool>
void check_against_model(uint32_t seed) {
    thread_log_scope logs;
    auto pool = std::make_unique<Pool>();
    test_item::constructed = test_item::destroyed = 0;
    std::vector<test_item*> live;
    std::set<test_item*> seen;
    test_item* last_freed = nullptr;
    bool freed_from_full = false;
    std::mt19937 rng(seed);
    for (int step = 0; step < 6000; ++step) {
        const bool grow = step < 600 || (step / 1500) % 2 == 0;  // phases that fill and drain
        if (live.empty() || rng() % 100 < (grow ? 70u : 30u)) {
            const uint64_t chunks = pool->chunk_count();
            test_item* item = pool->allocate();
            if (last_freed != nullptr && (pool->chunk_count() == 1 || freed_from_full)) {
                ASSERT_EQ(item, last_freed) << "the last freed item of a sole or full chunk comes back first";
            }
            if (pool->chunk_count() > chunks) { ASSERT_EQ(item->pool_slot, 0) << "a new chunk starts at slot 0"; }
            if (seen.empty()) { ASSERT_EQ(item->pool_slot, 0); }
            ASSERT_EQ(std::count(live.begin(), live.end(), item), 0);
            if (pool->checked()) { ASSERT_TRUE(pool->find_chunk(item)->bit(item->pool_slot)); }
            live.push_back(item);
            seen.insert(item);
            last_freed = nullptr;
        } else {
            const size_t i = rng() % live.size();
            last_freed = live[i];
            freed_from_full = pool->find_chunk(last_freed)->off_list != 0;
            live[i] = live.back();
            live.pop_back();
            pool->deallocate(last_freed);
            if (pool->checked()) { ASSERT_FALSE(pool->find_chunk(last_freed)->bit(last_freed->pool_slot)); }
        }
        ASSERT_EQ(pool->live_count(), live.size());
    }
    uint64_t allocated = 0;
    for (lum_pool_chunk* c : pool->chunks()) allocated += c->allocated();
    EXPECT_EQ(allocated, live.size());
    EXPECT_LE(seen.size(), pool->chunk_count() * 255);
    const int built = pool->checked() ? static_cast<int>(pool->chunk_count() * 255) : test_item::constructed.load();
    EXPECT_EQ(test_item::constructed.load() - test_item::destroyed.load(),
              pool->checked() ? built : static_cast<int>(live.size()));
    EXPECT_TRUE(logs.log().texts().empty());
}

TEST(Pool, GeneratedAllocationsAndFreesMatchTheModel) {
    check_against_model<checked_pool>(1);
    check_against_model<unchecked_pool>(2);
}

TEST(Pool, DoubleFreeAndDoubleAllocationAreLoggedAndRefused) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    test_item* a = pool->allocate();
    test_item* b = pool->allocate();
    pool->deallocate(a);
    pool->deallocate(a);
    EXPECT_EQ(logs.log().texts(), texts_t{"Attempting to deallocate unallocated chunk (double free?) !"});
    EXPECT_EQ(pool->live_count(), 1u);  // the refused free does not count
    EXPECT_EQ(pool->allocate(), a);     // one stack entry for a, not two
    logs.log().clear();
    lum_pool_chunk* chunk = pool->chunks()[0];
    chunk->free_stack[chunk->free_count++] = a->pool_slot;  // corrupt: a listed free while allocated
    test_item* c = pool->allocate();
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(logs.log().texts(), texts_t{"Attempting to allocate an already allocated chunk! (double allocate?) !"});
    EXPECT_EQ(chunk->off_list, 1);  // the chunk left the free-chunk stack
    EXPECT_EQ(pool->chunk_count(), 2u);
    EXPECT_EQ(pool->live_count(), 3u);

    // An unchecked pool knows a double free by a chunk whose slots are all free.
    logs.log().clear();
    auto unchecked = std::make_unique<unchecked_pool>();
    test_item* only = unchecked->allocate();
    unchecked->deallocate(only);
    unchecked->deallocate(only);
    EXPECT_EQ(logs.log().texts(), texts_t{"Attempting to deallocate unallocated chunk (double free?) !"});
    EXPECT_EQ(unchecked->live_count(), 0u);
}

TEST(Pool, AWrongSlotIndexFreesTheSlotTheAddressGives) {
    thread_log_scope logs;
    auto pool = std::make_unique<checked_pool>();
    std::vector<test_item*> items;
    for (int i = 0; i < 10; ++i) items.push_back(pool->allocate());
    lum_pool_chunk* chunk = pool->chunks()[0];
    items[3]->pool_slot = 7;  // names a live neighbour
    pool->deallocate(items[3]);
    EXPECT_EQ(logs.log().texts(), (texts_t{"invalid variable pool memory! %i 7", wrong_slot(items[3], items[0], 7, 3)}));
    EXPECT_FALSE(chunk->bit(3));
    EXPECT_TRUE(chunk->bit(7));  // never the slot the wrong index names
    EXPECT_EQ(items[3]->pool_slot, 3);
    items[2]->pool_slot = 200;  // past the item's own: the computed chunk lies before the block
    pool->deallocate(items[2]);
    EXPECT_FALSE(chunk->bit(2));
    logs.log().clear();
    pool->deallocate(items[4]);
    items[4]->pool_slot = 1;
    pool->deallocate(items[4]);  // already free at its real slot
    auto texts = logs.log().texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2], "Additionally, the variable was already free'd. Check for mem corruptions.");
    EXPECT_TRUE(chunk->bit(1));
    EXPECT_EQ(pool->live_count(), 7u);

    // Unknown and misaligned items are ignored.
    test_item outsider;
    outsider.pool_slot = 3;
    logs.log().clear();
    pool->deallocate(&outsider);
    EXPECT_EQ(logs.log().texts(), (texts_t{"invalid variable pool memory! %i 3", "unknown var encountered."}));
    logs.log().clear();
    items[5]->value = 200;  // the byte read as the slot index of the misaligned pointer below
    auto* inside = reinterpret_cast<test_item*>(reinterpret_cast<char*>(items[5]) + offsetof(test_item, value));
    pool->deallocate(inside);
    EXPECT_EQ(logs.log().texts().at(1), "pool item is not on a slot boundary: " + hex(inside));
    EXPECT_EQ(pool->live_count(), 7u);
    EXPECT_TRUE(chunk->bit(5));
}

// A chunk with a foreign magic number is logged and the slow path finds the item by address.
template <class Pool>
void free_into_a_chunk_with_a_foreign_magic(const std::string& magic_text) {
    thread_log_scope logs;
    auto pool = std::make_unique<Pool>();
    test_item* items[3] = {pool->allocate(), pool->allocate(), pool->allocate()};
    pool->chunks()[0]->magic = 0x12345678u;
    pool->deallocate(items[2]);
    EXPECT_EQ(logs.log().texts(), (texts_t{magic_text + hex(items[0]) + " <-> 0xffabcdef",
                                           "invalid variable pool memory! %i 2", wrong_slot(items[2], items[0], 2, 2)}));
    EXPECT_EQ(pool->live_count(), 2u);
    pool->chunks()[0]->magic = LUM_POOL_MAGIC;
}

TEST(Pool, AChunkWithAForeignMagicIsLoggedAndTheSlowPathFindsIt) {
    free_into_a_chunk_with_a_foreign_magic<checked_pool>("invalid pool magic num: %p vs %p ");
    free_into_a_chunk_with_a_foreign_magic<unchecked_pool>("invalid pool magic num: %p vs %p");
}

// Teardown retires chunks with live items: late releases into any of many
// retired chunks are recognised and ignored, and the receiving pool keeps its count.
TEST(Pool, TeardownDestroysFreeChunksAndRetiresChunksWithLiveItems) {
    test_item::constructed = test_item::destroyed = 0;
    {
        auto pool = std::make_unique<checked_pool>();
        pool->deallocate(pool->allocate());
        pool->teardown();
        EXPECT_EQ(test_item::destroyed.load(), 255);
    }
    EXPECT_EQ(test_item::constructed.load(), 255);
    thread_log_scope logs;
    std::vector<test_item*> kept;
    for (int i = 0; i < 300; ++i) {
        auto pool = std::make_unique<unchecked_pool>();
        for (int k = 0; k <= i % 3; ++k) kept.push_back(pool->allocate());
        lum_pool_chunk* chunk = pool->chunks()[0];
        pool->teardown();
        EXPECT_EQ(chunk->magic, LUM_POOL_MAGIC_RETIRED);
        EXPECT_EQ(pool->chunk_count(), 0u);
    }
    auto current = std::make_unique<unchecked_pool>();
    test_item* own = current->allocate();
    for (size_t i = kept.size(); i-- > 0;) current->deallocate(kept[i]);
    EXPECT_TRUE(logs.log().texts().empty());
    EXPECT_EQ(current->live_count(), 1u);
    current->deallocate(own);
    EXPECT_EQ(current->live_count(), 0u);
}

TEST(Pool, HelpersFallBackToTheHeapWhenThePoolCannotGrowOrIsNotTheThreadsOwn) {
    lum_host_vm host;
    lum_pool<lumptr_ref_record, true>& pool = host.vm().pool_records;
    thread_log_scope logs;
    pool.set_chunk_limit(pool.chunk_count() + 1);
    std::vector<lumptr_ref_record*> records;
    while (logs.log().texts().empty() && records.size() < 1000) records.push_back(lum_pool_new<&lum_vm::pool_records>());
    EXPECT_EQ(logs.log().texts(), texts_t{"Failed to allocate a pool chunk!"});
    EXPECT_EQ(records.back()->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_LT(records.front()->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_EQ(pool.allocate(), nullptr);
    pool.set_chunk_limit(0);
    {
        lum_pooling_suspend off;
        records.push_back(lum_pool_new<&lum_vm::pool_records>());
    }
    EXPECT_EQ(records.back()->pool_slot, LUM_POOL_HEAP_SLOT);
    host.drop_lock();  // the thread no longer owns the VM
    records.push_back(lum_pool_new<&lum_vm::pool_records>());
    EXPECT_EQ(records.back()->pool_slot, LUM_POOL_HEAP_SLOT);
    host.hold_lock();
    for (auto* r : records) lum_pool_delete<&lum_vm::pool_records>(r);
    EXPECT_EQ(pool.live_count(), 0u);
}

TEST(Pool, DeferredFreesFromOtherThreadsLeaveAnExactLiveCount) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_records;
    const uint64_t baseline = pool.live_count();
    constexpr int threads = 4, per_thread = 3000;
    std::vector<std::vector<lumptr_ref_record*>> batches(threads);
    for (auto& batch : batches)
        for (int i = 0; i < per_thread; ++i) batch.push_back(lum_pool_new<&lum_vm::pool_records>());
    std::atomic<int> done{0};
    std::vector<std::thread> releasers;
    for (auto& batch : batches)
        releasers.emplace_back([&vm, &batch, &done] {
            lum_get_thread_local().vm = &vm;  // works for the VM, does not own it
            for (auto* r : batch) lum_pool_delete<&lum_vm::pool_records>(r);
            lum_get_thread_local().vm = nullptr;
            done.fetch_add(1);
        });
    size_t returned = 0;
    while (done.load() < threads) returned += host.turn().ring_items;  // the owner drains meanwhile
    for (auto& t : releasers) t.join();
    returned += host.turn().ring_items;
    EXPECT_EQ(returned, static_cast<size_t>(threads * per_thread));
    EXPECT_EQ(pool.live_count(), baseline);
}

TEST(Pool, AReleaseIntoAFullRingTakesTheVmLockAndFreesDirectly) {
    lum_host_vm host;
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_records;
    const uint64_t baseline = pool.live_count();
    std::vector<lumptr_ref_record*> items;
    for (uint32_t i = 0; i <= LUM_POOL_RING_SIZE; ++i) items.push_back(lum_pool_new<&lum_vm::pool_records>());
    host.drop_lock();
    std::thread([&] {
        lum_get_thread_local().vm = &vm;
        for (uint32_t i = 0; i < LUM_POOL_RING_SIZE; ++i) lum_pool_delete<&lum_vm::pool_records>(items[i]);
        EXPECT_EQ(pool.deferred_pending(), LUM_POOL_RING_SIZE);
        lum_pool_delete<&lum_vm::pool_records>(items.back());  // ring full: direct, under the VM lock
        EXPECT_EQ(lum_get_thread_local().vm_lock_depth, 0u);
        lum_get_thread_local().vm = nullptr;
    }).join();
    host.hold_lock();
    EXPECT_EQ(pool.live_count(), baseline + LUM_POOL_RING_SIZE);
    EXPECT_EQ(host.turn().ring_items, LUM_POOL_RING_SIZE);
    EXPECT_EQ(pool.live_count(), baseline);
    std::vector<bool> seen(LUM_POOL_RING_SIZE, false);  // ring positions spread consecutive entries
    for (uint32_t i = 0; i < LUM_POOL_RING_SIZE; ++i) seen[lum_pool_base::ring_position(i + LUM_POOL_RING_SIZE)] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(LUM_POOL_RING_SIZE));
    EXPECT_EQ(lum_pool_base::ring_position(1), 8u);
}

} // namespace
