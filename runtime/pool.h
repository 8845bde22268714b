// Per-VM pools of fixed-size items: chunks of 255 slots with a free-index
// stack, an allocation bitset (checked variant), a magic word, and a lock-free
// deferred-free ring of 16384 entries through which threads that do not own
// the VM hand items back. Faults are logged at error level, never thrown.
//
// Item requirements: a public `uint8_t pool_slot` (0-254 in a chunk, 255 = heap
// item; lum_pooled_class provides it) and a default constructor.
//   - checked pools (lum_pool<T, true>) build all 255 items when a chunk is
//     made and reuse them without rebuilding; items are destroyed only when
//     the VM frees the chunk at teardown;
//   - unchecked pools (lum_pool<T, false>) construct the item at allocate and
//     destroy it at deallocate.
//
// The pool class never needs the complete item type in its layout, its
// constructor or destructor: the type-specific operations are recorded when
// the first chunk is made (allocate() is instantiated where T is complete).
// So lum_vm can declare pools of forward-declared types.
//
// The pool-or-heap allocation and the any-thread release helpers that select
// the VM's pool are in runtime/vm.h (lum_pool_new / lum_pool_delete).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

inline constexpr uint32_t LUM_POOL_MAGIC = 0xFFABCDEFu;
inline constexpr uint32_t LUM_POOL_MAGIC_RETIRED = 0xFFAB0DEDu;
inline constexpr uint32_t LUM_POOL_CHUNK_SLOTS = 255;
inline constexpr uint8_t LUM_POOL_HEAP_SLOT = 255;
inline constexpr uint32_t LUM_POOL_RING_SIZE = 16384;

// Base of pooled script objects: the slot index byte (255 = heap object).
struct lum_pooled_class {
    uint8_t pool_slot = LUM_POOL_HEAP_SLOT;
};

// Trailer of a chunk; the 255 slots precede it in the same heap block.
struct lum_pool_chunk {
    uint8_t free_stack[LUM_POOL_CHUNK_SLOTS]; // free slot indexes, top at free_count - 1
    uint8_t free_count;                       // 255 for a new chunk
    uint64_t bitset[4];                       // checked variant: bit i set = slot i allocated
    uint32_t magic;                           // LUM_POOL_MAGIC, or LUM_POOL_MAGIC_RETIRED
    uint8_t off_list;                         // 1 while not on the pool's free-chunk stack
    char* slots;                              // first slot (start of the heap block)

    bool bit(uint8_t i) const noexcept { return (bitset[i >> 6] >> (i & 63)) & 1u; }
    void set_bit(uint8_t i) noexcept { bitset[i >> 6] |= uint64_t{1} << (i & 63); }
    void clear_bit(uint8_t i) noexcept { bitset[i >> 6] &= ~(uint64_t{1} << (i & 63)); }
    // Number of allocated slots (free stack view; exact in both variants).
    uint32_t allocated() const noexcept { return LUM_POOL_CHUNK_SLOTS - free_count; }
};

// Type-specific operations of a pool, recorded with its first chunk.
struct lum_pool_item_ops {
    size_t size;
    size_t tail_offset; // offset of the lum_pool_chunk trailer in the block
    size_t block_size;
    size_t block_align;
    void (*construct)(void* at);          // T() in place
    void (*destroy)(void* item) noexcept; // ~T()
    uint8_t (*get_slot)(const void* item) noexcept;
    void (*set_slot)(void* item, uint8_t slot) noexcept;
};

template <class T>
struct lum_pool_item_ops_for {
    static constexpr size_t tail_offset() {
        size_t raw = sizeof(T) * LUM_POOL_CHUNK_SLOTS;
        size_t a = alignof(lum_pool_chunk);
        return (raw + a - 1) / a * a;
    }
    static constexpr size_t block_align() {
        size_t a = alignof(T) > alignof(lum_pool_chunk) ? alignof(T) : alignof(lum_pool_chunk);
        return a > 64 ? a : 64;
    }
    static constexpr lum_pool_item_ops value = {
        sizeof(T),
        tail_offset(),
        tail_offset() + sizeof(lum_pool_chunk),
        block_align(),
        [](void* at) { ::new (at) T(); },
        [](void* item) noexcept { static_cast<T*>(item)->~T(); },
        [](const void* item) noexcept -> uint8_t { return static_cast<const T*>(item)->pool_slot; },
        [](void* item, uint8_t slot) noexcept { static_cast<T*>(item)->pool_slot = slot; },
    };
};

class lum_pool_base {
public:
    explicit lum_pool_base(bool checked) noexcept : checked_(checked) {}
    lum_pool_base(const lum_pool_base&) = delete;
    lum_pool_base& operator=(const lum_pool_base&) = delete;
    ~lum_pool_base(); // frees (or retires) whatever teardown() left

    // --- any thread ---
    // Pushes an item into the deferred-free ring. False when the ring holds
    // 16384 outstanding entries (the caller then frees under the VM lock).
    bool push_deferred(void* item) noexcept;

    // --- owner thread (holds the VM lock) ---
    // Returns every item waiting in the ring to the pool; the number returned.
    size_t drain_deferred();
    // Owner's direct return of an item given as untyped pointer.
    void deallocate_erased(void* item);
    // Slow path of deallocate: the chunk whose slot area contains the item, or null.
    lum_pool_chunk* find_chunk(const void* item) const;
    // Pops a slot of a chunk: the item, or null when the chunk is empty or the
    // popped slot is already allocated (logged).
    void* pop_slot(lum_pool_chunk* chunk);
    // VM teardown: drains the ring, frees chunks without live items (their
    // items destroyed) and retires the others (magic LUM_POOL_MAGIC_RETIRED,
    // memory kept for the life of the process so late releases stay safe).
    void teardown();

    uint64_t live_count() const noexcept { return live_count_; }
    uint64_t chunk_count() const noexcept { return chunk_count_; }
    bool checked() const noexcept { return checked_; }
    const std::vector<lum_pool_chunk*>& chunks() const noexcept { return chunks_; }
    // Largest number of chunks the pool may make (0 = no limit). Beyond it a
    // pool behaves as when the heap refuses a chunk.
    void set_chunk_limit(uint64_t limit) noexcept { chunk_limit_ = limit; }
    // Entries pushed into the ring and not yet drained (approximate off the owner).
    uint32_t deferred_pending() const noexcept {
        return ring_write_.load(std::memory_order_acquire) - ring_read_.load(std::memory_order_acquire);
    }

    // Entries taken out of the ring so far (wraps; the owner advances it).
    uint32_t deferred_taken() const noexcept { return ring_read_.load(std::memory_order_acquire); }

    // Ring position of the i-th entry: the low three bits of the index swap with bits 3-5.
    static constexpr uint32_t ring_position(uint32_t n) noexcept {
        uint32_t i = n & (LUM_POOL_RING_SIZE - 1);
        uint32_t t = ((i >> 3) ^ i) & 7u;
        return i ^ (t | (t << 3));
    }

protected:
    void* allocate_slow(const lum_pool_item_ops& ops);
    void deallocate_slow(void* item, const lum_pool_item_ops& ops);
    // Gives a slot back to its chunk (bitset/destroy, free stack, free-chunk stack, live count).
    void release_slot(lum_pool_chunk* chunk, uint8_t index, void* item);

    lum_pool_chunk* lookup_chunk(const char* slots_base) const noexcept {
        if (table_mask_ == 0) return nullptr;
        uintptr_t key = reinterpret_cast<uintptr_t>(slots_base);
        size_t h = hash(key) & table_mask_;
        for (;;) {
            uintptr_t v = table_[h];
            if (v == key) return reinterpret_cast<lum_pool_chunk*>(v + tail_offset_);
            if (v == 0) return nullptr;
            h = (h + 1) & table_mask_;
        }
    }
    static size_t hash(uintptr_t key) noexcept {
        return static_cast<size_t>((static_cast<uint64_t>(key >> 6) * 0x9E3779B97F4A7C15ull) >> 20);
    }
    // Grows the lookup table (if needed) so that `chunks` chunks fill less
    // than half of it; may throw std::bad_alloc, leaving the table as it was.
    void table_reserve(uint64_t chunks);
    // Adds a chunk's slot-area base; the room was made by table_reserve.
    void table_insert(uintptr_t key) noexcept;
    // Puts a chunk that got a slot back onto the free-chunk stack (it becomes
    // the chunk tried first).
    void relist(lum_pool_chunk* chunk) {
        chunk->off_list = 0;
        free_chunks_.push_back(chunk);
        hot_ = chunk;
    }
    void unlist_top() {
        free_chunks_.back()->off_list = 1;
        free_chunks_.pop_back();
        hot_ = free_chunks_.empty() ? &no_chunk_ : free_chunks_.back();
    }

    // Fields in order: all chunks, chunks with free slots (stack), counts,
    // the deferred-free counters and ring; the pool's own helpers follow.
    std::vector<lum_pool_chunk*> chunks_;
    std::vector<lum_pool_chunk*> free_chunks_;
    uint64_t chunk_count_ = 0;
    uint64_t live_count_ = 0;

    alignas(64) std::atomic<uint32_t> ring_write_{0};
    alignas(64) std::atomic<uint32_t> ring_read_{0};
    alignas(64) std::atomic<void*> ring_[LUM_POOL_RING_SIZE] = {};

    // The chunk tried first: free_chunks_.back(), or no_chunk_ when that stack
    // is empty, so the fast paths need no null test.
    alignas(64) lum_pool_chunk* hot_ = &no_chunk_;
    // Chunk lookup by slot-area base (open addressing, owner thread only).
    std::vector<uintptr_t> table_;
    size_t table_mask_ = 0;
    size_t tail_offset_ = 0;
    const lum_pool_item_ops* ops_ = nullptr;
    uint64_t chunk_limit_ = 0;
    bool checked_;
    // Stand-in for "no chunk": no free slot (allocation falls to the slow
    // path) and no slot area (no item matches it). Never written.
    lum_pool_chunk no_chunk_{};
};

template <class T, bool Checked>
class lum_pool : public lum_pool_base {
public:
    using item_type = T;
    static constexpr bool is_checked = Checked;

    lum_pool() noexcept : lum_pool_base(Checked) {}

    // Owner thread: an item, or null when no chunk can be made (logged
    // "Failed to allocate a pool chunk!").
    [[gnu::always_inline]] T* allocate() {
        if (T* item = try_allocate()) [[likely]]
            return item;
        return static_cast<T*>(allocate_slow(lum_pool_item_ops_for<T>::value));
    }
    // The fast half of allocate: pops a slot of the chunk tried first, or
    // gives null when that needs the slow path (no chunk with a free slot at
    // the top, a slot whose bit is already set, chunk growth).
    [[gnu::always_inline]] T* try_allocate() {
        lum_pool_chunk* c = hot_;
        const size_t n = c->free_count;
        if (n == 0) [[unlikely]]
            return nullptr;
        const uint32_t idx = c->free_stack[n - 1];
        void* at = c->slots + size_t{idx} * sizeof(T);
        if constexpr (Checked) {
            uint64_t& word = c->bitset[idx >> 6];
            const uint64_t old = word;
            if ((old >> (idx & 63)) & 1u) [[unlikely]]
                return nullptr; // allocate_slow logs the double allocation
            word = old | (uint64_t{1} << (idx & 63));
            c->free_count = static_cast<uint8_t>(n - 1);
            T* item = std::launder(static_cast<T*>(at));
            // Built once with its index: written only when it was lost (a
            // store here would make the next read of the index wait for it).
            if (item->pool_slot != idx) [[unlikely]]
                item->pool_slot = static_cast<uint8_t>(idx);
            ++live_count_;
            return item;
        } else {
            T* item = ::new (at) T();
            c->free_count = static_cast<uint8_t>(n - 1);
            item->pool_slot = static_cast<uint8_t>(idx);
            ++live_count_;
            return item;
        }
    }

    // Owner thread: returns an item to its chunk. Wrong slot indexes, retired
    // chunks, unknown items and double frees are handled by the slow path.
    [[gnu::always_inline]] void deallocate(T* item) {
        if (item == nullptr) return;
        deallocate_at(item, item->pool_slot);
    }
    // As deallocate, with the item's slot index already read.
    [[gnu::always_inline]] void deallocate_at(T* item, uint32_t idx) {
        if (try_deallocate(item, idx)) [[likely]]
            return;
        deallocate_slow(item, lum_pool_item_ops_for<T>::value);
    }
    // The fast half of deallocate_at: returns the slot when the item lies in
    // the chunk tried first (the top of the free-chunk stack, so already on
    // that stack) at the slot its index names, the chunk's magic is live and
    // (checked) its bit is set. False, with nothing changed, otherwise: any
    // other chunk goes through the chunk lookup of deallocate_slow, as do a
    // wrong index, a foreign magic and a double free.
    [[gnu::always_inline]] bool try_deallocate(T* item, uint32_t idx) {
        lum_pool_chunk* c = hot_;
        if (idx >= LUM_POOL_HEAP_SLOT ||
            reinterpret_cast<uintptr_t>(c->slots) != reinterpret_cast<uintptr_t>(item) - size_t{idx} * sizeof(T) ||
            c->magic != LUM_POOL_MAGIC) [[unlikely]]
            return false;
        const size_t n = c->free_count;
        if constexpr (Checked) {
            uint64_t& word = c->bitset[idx >> 6];
            const uint64_t old = word;
            if (!((old >> (idx & 63)) & 1u)) [[unlikely]]
                return false;
            word = old & ~(uint64_t{1} << (idx & 63));
        } else {
            if (n >= LUM_POOL_CHUNK_SLOTS) [[unlikely]]
                return false;
            item->~T();
        }
        c->free_stack[n] = static_cast<uint8_t>(idx);
        c->free_count = static_cast<uint8_t>(n + 1);
        --live_count_;
        return true;
    }
};
