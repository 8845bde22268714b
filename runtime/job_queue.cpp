#include "runtime/job_queue.h"

#include "runtime/platform.h"


#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LUM_CPU_PAUSE() _mm_pause()
#else
#define LUM_CPU_PAUSE() ((void)0)
#endif

lum_job_queue::~lum_job_queue() { clear(); }

bool lum_job_queue::try_push(lum_job job) {
    if (!job) return true;
    if (shutdown.load(std::memory_order_acquire) != 0) return true; // dropped: destroyed on return

    uint32_t w = write_counter.load(std::memory_order_relaxed);
    for (;;) {
        // The read counter is written by the workers on every pop; a copy
        // that lags behind is good enough to tell that the queue is not full,
        // so the real counter is read only when the copy says full.
        uint32_t r = read_seen.load(std::memory_order_relaxed);
        if (static_cast<int32_t>(w - r) >= static_cast<int32_t>(capacity)) {
            r = read_counter.load(std::memory_order_acquire);
            read_seen.store(r, std::memory_order_relaxed);
            if (static_cast<int32_t>(w - r) >= static_cast<int32_t>(capacity)) return false; // full
        }
        if (write_counter.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel, std::memory_order_relaxed))
            break;
    }

    uint32_t i = w & (capacity - 1);
    std::atomic<uint8_t>& state = slot_state[i];
    uint8_t expected = slot_free;
    while (!state.compare_exchange_weak(expected, slot_writing, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        expected = slot_free; // a worker is still emptying this slot
        LUM_CPU_PAUSE();
    }
    slots[i] = std::move(job);
    state.store(slot_full, std::memory_order_release);

    // No wake-up is lost (all sequentially consistent): a worker about to
    // sleep raises `waiting`, reads `wake_seq`, clears `wake_pending`, then
    // reads `pending`. A job it did not see was counted in `pending` after
    // that read, so its push sees the worker in `waiting`; the push either
    // claims the flag and raises `wake_seq`, or finds the flag set by another
    // push after the worker cleared it, which raises `wake_seq` in turn.
    // Either way `wake_seq` changes after the worker read it, so its wait
    // returns and it comes back through wait_pop, clearing the flag again.
    // One wake-up call per sleep of the workers: later pushes see the flag.
    // (Sleeping on `pending` itself loses wake-ups: a worker woken for a job
    // that another worker took already sees `pending` back at 0 and sleeps
    // on inside the wait while the flag stays set.)
    pending.fetch_add(1, std::memory_order_seq_cst);
    if (waiting.load(std::memory_order_seq_cst) != 0 && wake_pending.exchange(1, std::memory_order_seq_cst) == 0) {
        wake_seq.fetch_add(1, std::memory_order_seq_cst);
        lum_wake_all(wake_seq);
    }
    return true;
}

void lum_job_queue::take_slot(lum_job& out) {
    uint32_t r = read_counter.fetch_add(1, std::memory_order_acq_rel);
    uint32_t i = r & (capacity - 1);
    // The slot was claimed by a push that may still be moving its job in.
    std::atomic<uint8_t>& state = slot_state[i];
    while (state.load(std::memory_order_acquire) != slot_full) LUM_CPU_PAUSE();
    out = std::move(slots[i]);
    state.store(slot_free, std::memory_order_release);
}

bool lum_job_queue::try_pop(lum_job& out) {
    uint64_t p = pending.load(std::memory_order_acquire);
    for (;;) {
        if (shutdown.load(std::memory_order_acquire) != 0 || p == 0) return false;
        if (pending.compare_exchange_weak(p, p - 1, std::memory_order_acq_rel, std::memory_order_acquire)) break;
    }
    // The count taken may have been the shutdown bias: never reach for a slot then.
    if (shutdown.load(std::memory_order_acquire) != 0) return false;
    take_slot(out);
    return true;
}

bool lum_job_queue::wait_pop(lum_job& out) {
    for (;;) {
        if (try_pop(out)) return true;
        if (shutdown.load(std::memory_order_acquire) != 0) return false;
        // A short spin first: jobs often come in bursts, and a worker that
        // sleeps costs the pusher a wake-up call.
        bool found = false;
        for (int spin = 0; spin < spin_before_sleep && !found; ++spin) {
            LUM_CPU_PAUSE();
            found = pending.load(std::memory_order_relaxed) != 0;
        }
        if (found) continue;
        waiting.fetch_add(1, std::memory_order_seq_cst);
        const uint32_t seen = wake_seq.load(std::memory_order_seq_cst);
        wake_pending.store(0, std::memory_order_seq_cst);
        // The sleep is bounded: should a wake-up ever go missing, the worker
        // still comes back within the limit, sees `pending` and clears the
        // flag, so later pushes wake the sleepers again.
        if (pending.load(std::memory_order_seq_cst) == 0 && shutdown.load(std::memory_order_seq_cst) == 0)
            lum_wait_while_equal(wake_seq, seen, sleep_limit_ms.load(std::memory_order_relaxed));
        waiting.fetch_sub(1, std::memory_order_seq_cst);
    }
}

void lum_job_queue::shut_down() {
    if (shutdown.exchange(1, std::memory_order_seq_cst) != 0) return;
    pending.fetch_add(shutdown_bias, std::memory_order_seq_cst);
    wake_seq.fetch_add(1, std::memory_order_seq_cst);
    lum_wake_all(wake_seq);
}

size_t lum_job_queue::clear() {
    size_t destroyed = 0;
    uint32_t r = read_counter.load(std::memory_order_acquire);
    uint32_t w = write_counter.load(std::memory_order_acquire);
    for (; r != w; ++r) {
        uint32_t i = r & (capacity - 1);
        if (slot_state[i].load(std::memory_order_acquire) == slot_full) {
            slots[i].reset();
            slot_state[i].store(slot_free, std::memory_order_release);
            ++destroyed;
        }
    }
    read_counter.store(w, std::memory_order_release);
    pending.store(shutdown.load() != 0 ? shutdown_bias : 0, std::memory_order_release);
    return destroyed;
}

uint64_t lum_job_queue::pending_count() const noexcept {
    return pending.load(std::memory_order_acquire) & (shutdown_bias - 1);
}
