#include "runtime/pool.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "runtime/fork_hold.h"
#include "runtime/log.h"
#include "runtime/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LUM_CPU_PAUSE() _mm_pause()
#else
#define LUM_CPU_PAUSE() ((void)0)
#endif

namespace {

// Chunks retired by a VM teardown while items in them were still live. Their
// memory is kept for the life of the process (never freed), so a late release
// of such an item touches valid memory and is recognised and ignored. The
// slot-area bases are hashed: a late release costs one lookup however many
// chunks were retired. The set is made by the first retirement, under the
// lock, and never freed; a fork waits for the threads inside the lock, so a
// copy finds the set whole or not made yet. The lock is constant-initialised
// where the C++ library's lock is (everywhere processes fork).
lum_fork_mutex<std::mutex> graveyard_lock;
std::unordered_set<uintptr_t>* graveyard_areas = nullptr; // slot-area bases; guarded by graveyard_lock

bool is_retired_slot_area(const void* base) {
    std::lock_guard<lum_fork_mutex<std::mutex>> lock(graveyard_lock);
    return graveyard_areas != nullptr && graveyard_areas->count(reinterpret_cast<uintptr_t>(base)) != 0;
}

void retire(lum_pool_chunk* chunk) {
    chunk->magic = LUM_POOL_MAGIC_RETIRED;
    std::lock_guard<lum_fork_mutex<std::mutex>> lock(graveyard_lock);
    if (graveyard_areas == nullptr) graveyard_areas = new std::unordered_set<uintptr_t>();
    graveyard_areas->insert(reinterpret_cast<uintptr_t>(chunk->slots));
}

// A fork waits until no other thread reads or changes the list (each holds it
// for one lookup or insertion), so a copy finds it free and whole.
const bool graveyard_free_in_copies = (lum_at_fork([] { graveyard_lock.before_fork(); },
                                                   [] { graveyard_lock.after_fork_in_parent(); },
                                                   [] { graveyard_lock.after_fork_in_copy(); }),
                                       true);

// Pool faults: the text as written, then the arguments, the first directly
// after the text and each further one after " <-> ".
void pool_fault(std::string_view text) { lum_get_log().error(text); }

template <class A, class... R>
void pool_fault(std::string_view text, const A& first, const R&... rest) {
    lum_log_base& log = lum_get_log();
    if (!log.enabled(LUM_LOG_ERROR)) return;
    std::string out(text);
    lum_log_base::append(out, first);
    ((out.append(" <-> "), lum_log_base::append(out, rest)), ...);
    log.write(LUM_LOG_ERROR, out);
}

} // namespace

lum_pool_base::~lum_pool_base() { teardown(); }

void lum_pool_base::table_reserve(uint64_t chunks) {
    if (chunks * 2 < table_.size()) return;
    size_t size = table_.empty() ? 16 : table_.size() * 2;
    std::vector<uintptr_t> grown(size, 0);
    size_t mask = size - 1;
    for (uintptr_t v : table_) {
        if (v == 0) continue;
        size_t h = hash(v) & mask;
        while (grown[h] != 0) h = (h + 1) & mask;
        grown[h] = v;
    }
    table_.swap(grown);
    table_mask_ = mask;
}

void lum_pool_base::table_insert(uintptr_t key) noexcept {
    size_t h = hash(key) & table_mask_;
    while (table_[h] != 0) h = (h + 1) & table_mask_;
    table_[h] = key;
}

void* lum_pool_base::pop_slot(lum_pool_chunk* chunk) {
    if (chunk->free_count == 0) return nullptr;
    --chunk->free_count;
    uint8_t idx = chunk->free_stack[chunk->free_count];
    void* item = chunk->slots + size_t{idx} * ops_->size;
    if (checked_) {
        ops_->set_slot(item, idx);
        if (chunk->bit(idx)) {
            pool_fault("Attempting to allocate an already allocated chunk! (double allocate?) !");
            return nullptr;
        }
        chunk->set_bit(idx);
    } else {
        ops_->construct(item);
        ops_->set_slot(item, idx);
    }
    return item;
}

void* lum_pool_base::allocate_slow(const lum_pool_item_ops& ops) {
    if (ops_ == nullptr) {
        ops_ = &ops;
        tail_offset_ = ops.tail_offset;
    }
    ++live_count_;
    while (!free_chunks_.empty()) {
        if (void* item = pop_slot(free_chunks_.back())) return item;
        unlist_top();
    }

    // Room in both chunk lists and in the lookup table first: once the chunk
    // exists, listing it cannot fail and leave it unowned (or listed but not
    // found by the frees of its items).
    try {
        for (std::vector<lum_pool_chunk*>* list : {&chunks_, &free_chunks_})
            if (list->size() == list->capacity()) list->reserve(std::max<size_t>(8, list->capacity() * 2));
        table_reserve(chunk_count_ + 1);
    } catch (...) {
        --live_count_;
        throw;
    }
    void* block = nullptr;
    if (chunk_limit_ == 0 || chunk_count_ < chunk_limit_)
        block = ::operator new(ops.block_size, std::align_val_t(ops.block_align), std::nothrow);
    if (block == nullptr) {
        --live_count_;
        pool_fault("Failed to allocate a pool chunk!");
        return nullptr;
    }

    char* slots = static_cast<char*>(block);
    auto* c = ::new (slots + ops.tail_offset) lum_pool_chunk;
    for (uint32_t i = 0; i < LUM_POOL_CHUNK_SLOTS; ++i) c->free_stack[i] = static_cast<uint8_t>(254 - i);
    c->free_count = static_cast<uint8_t>(LUM_POOL_CHUNK_SLOTS);
    std::fill(std::begin(c->bitset), std::end(c->bitset), 0);
    c->magic = LUM_POOL_MAGIC;
    c->off_list = 0;
    c->slots = slots;
    if (checked_) {
        // Items of checked pools are built once per chunk.
        uint32_t built = 0;
        try {
            for (; built < LUM_POOL_CHUNK_SLOTS; ++built) {
                void* at = slots + size_t{built} * ops.size;
                ops.construct(at);
                ops.set_slot(at, static_cast<uint8_t>(built));
            }
        } catch (...) {
            while (built > 0) ops.destroy(slots + size_t{--built} * ops.size);
            ::operator delete(block, std::align_val_t(ops.block_align));
            --live_count_;
            throw;
        }
    }
    chunks_.push_back(c);
    free_chunks_.push_back(c);
    hot_ = c;
    ++chunk_count_;
    table_insert(reinterpret_cast<uintptr_t>(slots));

    void* item = pop_slot(c);
    if (item == nullptr) --live_count_;
    return item;
}

void lum_pool_base::release_slot(lum_pool_chunk* chunk, uint8_t index, void* item) {
    if (checked_) {
        if (!chunk->bit(index)) {
            // Refused: nothing is pushed and the live count stays right.
            pool_fault("Attempting to deallocate unallocated chunk (double free?) !");
            return;
        }
        chunk->clear_bit(index);
    } else {
        if (chunk->free_count >= LUM_POOL_CHUNK_SLOTS) {
            pool_fault("Attempting to deallocate unallocated chunk (double free?) !");
            return;
        }
        ops_->destroy(item);
    }
    chunk->free_stack[chunk->free_count++] = index;
    if (chunk->off_list) relist(chunk);
    --live_count_;
}

lum_pool_chunk* lum_pool_base::find_chunk(const void* item) const {
    if (ops_ == nullptr) return nullptr;
    const char* p = static_cast<const char*>(item);
    for (lum_pool_chunk* c : chunks_) {
        const char* first = c->slots;
        const char* last = c->slots + size_t{LUM_POOL_CHUNK_SLOTS - 1} * ops_->size;
        if (p >= first && p <= last) return c;
    }
    return nullptr;
}

void lum_pool_base::deallocate_erased(void* item) {
    if (item == nullptr) return;
    if (ops_ == nullptr) {
        pool_fault("unknown var encountered.");
        return;
    }
    deallocate_slow(item, *ops_);
}

void lum_pool_base::deallocate_slow(void* item, const lum_pool_item_ops& ops) {
    if (item == nullptr) return;
    if (ops_ == nullptr) {
        ops_ = &ops;
        tail_offset_ = ops.tail_offset;
    }
    uint8_t idx = ops.get_slot(item);
    if (idx < LUM_POOL_HEAP_SLOT) {
        // Integer arithmetic: a wrong index may point before any object.
        const char* base = reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(item) - size_t{idx} * ops.size);
        if (lum_pool_chunk* c = lookup_chunk(base)) {
            if (c->magic == LUM_POOL_MAGIC) {
                release_slot(c, idx, item);
                return;
            }
            if (c->magic == LUM_POOL_MAGIC_RETIRED) return;
            // A chunk's address is its heap block, which starts with its first slot.
            if (checked_)
                pool_fault("invalid pool magic num: %p vs %p ", static_cast<const void*>(c->slots),
                           reinterpret_cast<const void*>(uintptr_t{LUM_POOL_MAGIC}));
            else
                pool_fault("invalid pool magic num: %p vs %p", static_cast<const void*>(c->slots),
                           reinterpret_cast<const void*>(uintptr_t{LUM_POOL_MAGIC}));
        } else if (is_retired_slot_area(base)) {
            return; // an item of a chunk retired by an earlier VM teardown
        }
    }

    // Slow path: the recorded index does not lead to a chunk of this pool.
    // Find the chunk by address and take the slot the address gives; a wrong
    // index never frees the slot it names.
    pool_fault("invalid variable pool memory! %i ", static_cast<int>(idx));
    lum_pool_chunk* c = find_chunk(item);
    if (c == nullptr) {
        pool_fault("unknown var encountered.");
        return;
    }
    size_t offset = static_cast<size_t>(static_cast<const char*>(item) - c->slots);
    if (offset % ops.size != 0) {
        pool_fault("pool item is not on a slot boundary: ", item);
        return;
    }
    auto real = static_cast<uint8_t>(offset / ops.size);
    pool_fault("Seems like variable %p belongs to pool %p, offset was %i, but actually is %i.",
               static_cast<const void*>(item), static_cast<const void*>(c->slots), static_cast<int>(idx),
               static_cast<int>(real));
    bool already_free;
    if (checked_) {
        already_free = !c->bit(real);
    } else {
        already_free = std::find(c->free_stack, c->free_stack + c->free_count, real) != c->free_stack + c->free_count;
    }
    if (already_free) {
        pool_fault("Additionally, the variable was already free'd. Check for mem corruptions.");
        return;
    }
    ops.set_slot(item, real);
    release_slot(c, real, item);
}

bool lum_pool_base::push_deferred(void* item) noexcept {
    uint32_t w = ring_write_.load(std::memory_order_relaxed);
    for (;;) {
        uint32_t r = ring_read_.load(std::memory_order_acquire);
        if (static_cast<int32_t>(w - r) >= static_cast<int32_t>(LUM_POOL_RING_SIZE)) return false;
        if (ring_write_.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_relaxed))
            break;
    }
    std::atomic<void*>& slot = ring_[ring_position(w)];
    void* expected = nullptr;
    while (!slot.compare_exchange_weak(expected, item, std::memory_order_release, std::memory_order_relaxed)) {
        expected = nullptr; // the owner has not emptied this position yet
        LUM_CPU_PAUSE();
    }
    return true;
}

size_t lum_pool_base::drain_deferred() {
    size_t returned = 0;
    uint32_t r = ring_read_.load(std::memory_order_relaxed);
    uint32_t w = ring_write_.load(std::memory_order_acquire);
    while (r != w) {
        std::atomic<void*>& slot = ring_[ring_position(r)];
        void* item = slot.load(std::memory_order_acquire);
        if (item == nullptr) {
            // Claimed, not yet stored: the writer is between its two steps.
            for (int spin = 0; spin < 256 && item == nullptr; ++spin) {
                LUM_CPU_PAUSE();
                item = slot.load(std::memory_order_acquire);
            }
            if (item == nullptr) break; // picked up by the next drain
        }
        slot.store(nullptr, std::memory_order_relaxed);
        ++r;
        ring_read_.store(r, std::memory_order_release);
        deallocate_erased(item);
        ++returned;
    }
    return returned;
}

void lum_pool_base::teardown() {
    // Every claimed ring entry is returned first (writers finish their store).
    for (;;) {
        drain_deferred();
        if (ring_read_.load(std::memory_order_acquire) == ring_write_.load(std::memory_order_acquire)) break;
        std::this_thread::yield();
    }
    if (ops_ != nullptr) {
        for (lum_pool_chunk* c : chunks_) {
            bool live = checked_ ? (c->bitset[0] | c->bitset[1] | c->bitset[2] | c->bitset[3]) != 0
                                 : c->free_count != LUM_POOL_CHUNK_SLOTS;
            if (live) {
                retire(c);
                continue;
            }
            char* slots = c->slots;
            if (checked_)
                for (uint32_t i = 0; i < LUM_POOL_CHUNK_SLOTS; ++i) ops_->destroy(slots + size_t{i} * ops_->size);
            ::operator delete(slots, std::align_val_t(ops_->block_align));
        }
    }
    chunks_.clear();
    free_chunks_.clear();
    hot_ = &no_chunk_;
    table_.clear();
    table_mask_ = 0;
    chunk_count_ = 0;
    live_count_ = 0;
}
