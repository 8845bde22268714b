// Gates that a fork waits at, and the one policy every such wait follows.
//
// A few of the module's locks guard state that a copy made by fork() must
// find whole: the registry, the list of retired pool chunks and the runs
// that are making or closing their descriptors. Each has a gate. A fork
// handler closes it (no thread enters any more) and waits until no other
// thread is inside, so the copy finds the lock free and what it guards
// whole; the gate opens again in both processes. The policy, the same for
// all:
//
//  - A handler never waits for its own thread. A fork from a signal handler
//    (a crash or dump helper) may run on a thread that is inside the lock;
//    waiting for it would wait for good. The copy then holds the lock as the
//    interrupted code does, and that code gives it back in both processes
//    when the handler returns.
//  - Every wait is bounded. A fork waits for the other threads at most
//    lum_fork_wait_bound in all, whatever the number of gates; after that
//    it goes on, and the copy finds a lock still taken as the parent's
//    threads left it (that lock is of no use in the copy). A thread that
//    comes to a closed gate waits while the fork is made, at most the bound
//    too, then goes in.
//  - No wait is a cancellation point: a thread cancelled (pthread_cancel)
//    while it waits is cancelled where it would have been without the gate.
//  - The thread making a fork passes the gates it closed, so a fork handler
//    that runs after a gate's (one the host registered before the module
//    loaded) may still use the lock.
//
// Which threads are inside (coming to the lock, holding it or giving it
// back) is kept in a small table of plain atomics, written before the lock
// is taken and cleared after it is given back, so a handler, even one called
// from a signal handler, knows exactly whether its own thread is inside. A
// thread finds no place only when `tracked` threads are inside one gate at
// once; it is then counted without a name (a handler waits for such threads,
// and a thread so counted that forks from a signal handler waits the bound
// for itself). The handlers never take the lock itself: a gate is only for
// locks that nothing but the module takes.
//
// Header only, calling nothing of the script runtime: the kernel engines use
// it too. Each owner registers the gate's three handlers with its platform's
// fork hook (lum_at_fork, pthread_atfork) when the module loads.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

// The calling thread as a word (never 0, the top bit clear): the address of
// a thread-local byte of its own, which stays the same in a forked copy and
// is read without a call (initial-exec: no allocation, also in a signal
// handler).
inline thread_local constinit char lum_fork_thread_mark [[gnu::tls_model("initial-exec")]] = 0;
inline uintptr_t lum_fork_thread_word() noexcept { return reinterpret_cast<uintptr_t>(&lum_fork_thread_mark); }

// How long a fork waits for the threads inside the module's gates, all
// gates together, before it goes on without them; also how long a thread
// waits at a closed gate.
inline constexpr std::chrono::seconds lum_fork_wait_bound{2};

// When the calling thread's fork stops waiting (steady clock ticks; 0: the
// thread makes no fork). The first gate's handler sets it, the handlers after
// the fork clear it: the bound is shared by every gate of one fork, and each
// thread's fork has a bound of its own.
inline thread_local constinit std::chrono::steady_clock::rep lum_fork_deadline
    [[gnu::tls_model("initial-exec")]] = 0;

// Waits a little before the `round`th try again: a few yields, then short
// sleeps with cancellation held off (neither is a cancellation point).
inline void lum_fork_nap(int round) noexcept {
    if (round < 64) {
        std::this_thread::yield();
        return;
    }
    int state = PTHREAD_CANCEL_ENABLE;
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::pthread_setcancelstate(state, nullptr);
}

// The record of the threads inside one lock, the gate a fork closes, and the
// handlers' policy over them. Nothing to destroy: a gate may be used by a
// thread still running while the process exits, after static destructors
// have run.
class lum_fork_hold {
public:
    // Threads recorded by name at once; more are counted without a name.
    static constexpr int tracked = 64;

    constexpr lum_fork_hold() = default;
    lum_fork_hold(const lum_fork_hold&) = delete;
    lum_fork_hold& operator=(const lum_fork_hold&) = delete;

    struct alignas(64) place {
        std::atomic<uintptr_t> word{0};  // 0: free; a thread inside; forker(thread): a thread making a fork
    };

    // The calling thread's record inside the gate, from enter() to leave().
    struct entry {
        place* at;       // null: counted without a name
        uintptr_t thread;
    };

    // The calling thread is about to take the lock (again, for a recursive
    // one).
    entry enter() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        place* mine = claim(me);
        // Seen by a fork's handler before the gate is read (both sequentially
        // consistent): either the fork waits for this thread, or this thread
        // sees the closed gate.
        if (forks_.load(std::memory_order_seq_cst) != 0) mine = enter_at_closed_gate(me, mine);
        return {mine, me};
    }

    // The calling thread has given the lock back once (or failed to take it).
    void leave(entry e) noexcept { release(e.at); }
    void leave() noexcept { release(find(lum_fork_thread_word())); }

    // The fork handlers. Before the copy: closes the gate and waits, within
    // the fork's bound, until no other thread is inside.
    void before_fork() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        claim_place(forker(me));  // without a place it waits, at most the bound, at its own gate
        forks_.fetch_add(1, std::memory_order_seq_cst);
        const auto until = fork_deadline();
        for (int round = 0; others_inside(me) && std::chrono::steady_clock::now() < until; ++round)
            lum_fork_nap(round);
    }

    // In the parent: opens the gate.
    void after_fork_in_parent() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        forks_.fetch_sub(1, std::memory_order_seq_cst);
        if (place* p = find(forker(me))) p->word.store(0, std::memory_order_release);
        lum_fork_deadline = 0;
    }

    // In the copy, where this thread is the only one: the parent's other
    // threads are forgotten, and the gate is open.
    void after_fork_in_copy() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (place& p : places_)
            if (p.word.load(std::memory_order_relaxed) != me) p.word.store(0, std::memory_order_relaxed);
        unnamed_.store(0, std::memory_order_relaxed);
        forks_.store(0, std::memory_order_seq_cst);
        lum_fork_deadline = 0;
    }

private:
    // A forking thread's word: thread words are addresses, with the top bit clear.
    static constexpr uintptr_t forker(uintptr_t me) noexcept {
        return me | (uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1));
    }
    static constexpr bool is_forker(uintptr_t word) noexcept { return (word & forker(0)) != 0; }

    // Where a thread's search starts, spread by its word.
    static unsigned first_place(uintptr_t word) noexcept {
        return static_cast<unsigned>(((word & ~forker(0)) >> 6) * 0x9E3779B97F4A7C15ull >> 32) % tracked;
    }

    place* claim_place(uintptr_t word) noexcept {
        for (unsigned i = 0, at = first_place(word); i < tracked; ++i) {
            place& p = places_[(at + i) % tracked];
            uintptr_t free_word = 0;
            if (p.word.load(std::memory_order_relaxed) == 0 &&
                p.word.compare_exchange_strong(free_word, word, std::memory_order_seq_cst))
                return &p;
        }
        return nullptr;
    }
    // The thread's place, or null when it is counted without a name.
    place* claim(uintptr_t me) noexcept {
        place* p = claim_place(me);
        if (p == nullptr) unnamed_.fetch_add(1, std::memory_order_seq_cst);
        return p;
    }
    place* find(uintptr_t word) noexcept {
        for (unsigned i = 0, at = first_place(word); i < tracked; ++i) {
            place& p = places_[(at + i) % tracked];
            if (p.word.load(std::memory_order_relaxed) == word) return &p;
        }
        return nullptr;
    }
    void release(place* p) noexcept {
        if (p != nullptr) {
            p->word.store(0, std::memory_order_release);
            return;
        }
        // Never below 0: a copy forgets the parent's unnamed threads, this
        // one's among them.
        for (uint32_t n = unnamed_.load(std::memory_order_relaxed);
             n != 0 && !unnamed_.compare_exchange_weak(n, n - 1, std::memory_order_release);) {
        }
    }

    // The gate is closed. The thread goes on when it is inside the lock
    // already (a recursive take) or is making the fork; otherwise it waits
    // until the fork is made, at most the bound.
    // Returns the thread's place then.
    [[gnu::noinline]] place* enter_at_closed_gate(uintptr_t me, place* mine) noexcept {
        for (const place& p : places_) {
            const uintptr_t w = p.word.load(std::memory_order_relaxed);
            if ((w == me && &p != mine) || w == forker(me)) return mine;
        }
        release(mine);
        const auto until = std::chrono::steady_clock::now() + lum_fork_wait_bound;
        for (int round = 0;; ++round) {
            lum_fork_nap(round);
            mine = claim(me);
            if (forks_.load(std::memory_order_seq_cst) == 0 || std::chrono::steady_clock::now() >= until) return mine;
            release(mine);
        }
    }

    bool others_inside(uintptr_t me) const noexcept {
        if (unnamed_.load(std::memory_order_seq_cst) != 0) return true;
        for (const place& p : places_) {
            const uintptr_t w = p.word.load(std::memory_order_seq_cst);
            if (w != 0 && w != me && !is_forker(w)) return true;
        }
        return false;
    }

    // The end of this thread's fork's waiting, shared by its gates.
    static std::chrono::steady_clock::time_point fork_deadline() noexcept {
        using clock = std::chrono::steady_clock;
        if (lum_fork_deadline == 0) lum_fork_deadline = (clock::now() + lum_fork_wait_bound).time_since_epoch().count();
        return clock::time_point(clock::duration(lum_fork_deadline));
    }

    place places_[tracked];
    std::atomic<uint32_t> unnamed_{0};   // threads inside without a place
    std::atomic<uint32_t> forks_{0};     // forks being made now: the gate is closed
};

// A gate entered for a scope, for code that takes no lock of its own under it
// (a run making or closing its descriptors).
class lum_fork_inside {
public:
    explicit lum_fork_inside(lum_fork_hold& hold) noexcept : hold_(hold), entry_(hold.enter()) {}
    ~lum_fork_inside() { hold_.leave(entry_); }
    lum_fork_inside(const lum_fork_inside&) = delete;
    lum_fork_inside& operator=(const lum_fork_inside&) = delete;

private:
    lum_fork_hold& hold_;
    const lum_fork_hold::entry entry_;
};

// A lock (std::mutex or std::recursive_mutex) with its gate. Usable with
// std::lock_guard and std::unique_lock. Constant-initialised where the C++
// library's lock is, so no static guard a copy could find half set stands
// before it.
template <class Lock>
class lum_fork_mutex final : public lum_fork_hold {
public:
    constexpr lum_fork_mutex() : lock_() {}
    // The lock is never destroyed: a thread may still use it while the
    // process exits.
    ~lum_fork_mutex() {}

    void lock() {
        enter();
        lock_.lock();
    }
    bool try_lock() {
        enter();
        if (lock_.try_lock()) return true;
        leave();
        return false;
    }
    void unlock() {
        lock_.unlock();
        leave();
    }

private:
    union {
        Lock lock_;
    };
};
