// Running out of memory while a pool makes a chunk: every allocation the
// chunk's bookkeeping makes (the chunk lists, the lookup table that frees use)
// fails in turn, at each size where the lookup table grows. A refused chunk
// leaves nothing behind: the live count returns to 0 once every item is
// freed, and no free is taken for a foreign or corrupted item.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "runtime/pool.h"
#include "tests/memory/allocation_hooks.h"
#include "tests/runtime/base_test_support.h"

namespace {

struct pool_item {
    uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
    uint64_t value = 0;
};

template <class Pool>
void fail_each_allocation_of_chunk_growth() {
    // The lookup table is made with the 1st chunk and doubles with the 8th,
    // 16th and 32nd; the chunk lists grow with the 1st, 9th and 17th.
    for (uint64_t chunk : {1u, 8u, 9u, 16u, 32u}) {
        const std::string where = "chunk " + std::to_string(chunk);
        thread_log_scope logs;
        Pool pool;
        std::vector<pool_item*> items;
        while (items.size() < (chunk - 1) * LUM_POOL_CHUNK_SLOTS) items.push_back(pool.allocate());
        ASSERT_EQ(pool.chunk_count(), chunk - 1) << where;

        int failures = 0;
        bool reached = true;
        for (long long n = 0; reached; ++n) {
            ASSERT_LT(n, 1000) << where << ": still allocating";
            pool_item* item = nullptr;
            bool thrown = false;
            {
                lum_failing_allocation fail(n);
                try {
                    item = pool.allocate();
                } catch (const std::bad_alloc&) {
                    thrown = true;
                }
                reached = lum_failing_allocation::fired();
            }
            if (thrown) {
                ++failures;
                EXPECT_EQ(pool.chunk_count(), chunk - 1) << where << " n=" << n << ": a refused chunk is not kept";
                EXPECT_EQ(pool.live_count(), items.size()) << where << " n=" << n;
            } else {
                ASSERT_NE(item, nullptr) << where << " n=" << n;
                items.push_back(item);
            }
        }
        EXPECT_GT(failures, 0) << where;
        EXPECT_EQ(pool.chunk_count(), chunk) << where;

        // Fill the new chunk and one more, then free everything in an order
        // that goes through the chunk lookup (the last chunk made is not
        // the first one tried).
        while (items.size() < (chunk + 1) * LUM_POOL_CHUNK_SLOTS) items.push_back(pool.allocate());
        for (size_t i = 0; i < items.size(); i += 2) pool.deallocate(items[i]);
        for (size_t i = 1; i < items.size(); i += 2) pool.deallocate(items[i]);
        EXPECT_EQ(pool.live_count(), 0u) << where;
        EXPECT_EQ(logs.log().texts(), std::vector<std::string>{}) << where;
    }
}

TEST(PoolOutOfMemory, ARefusedChunkLeavesNothingListedInACheckedPool) {
    fail_each_allocation_of_chunk_growth<lum_pool<pool_item, true>>();
}

TEST(PoolOutOfMemory, ARefusedChunkLeavesNothingListedInAnUncheckedPool) {
    fail_each_allocation_of_chunk_growth<lum_pool<pool_item, false>>();
}

}  // namespace
