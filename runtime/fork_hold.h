// Gates that a fork waits at, and the one policy every such wait follows.
//
// A few of the module's locks guard state that a copy made by fork() must
// find whole: the registry, the list of retired pool chunks, the default
// logger's listeners and the runs that are making or closing their
// descriptors. Each has a gate. A fork handler closes it (no thread enters
// any more) and waits until no other thread is inside, so the copy finds the
// lock free and what it guards whole; the gate opens again in both
// processes. The policy, the same for all:
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
//    loaded) may still log or register; a lock the fork took for itself is
//    not taken again by that thread.
//
// Which threads are inside (coming to the lock, holding it or giving it
// back) is kept in a small table of plain atomics, written before the lock
// is taken and cleared after it is given back, so a handler, even one called
// from a signal handler, knows exactly whether its own thread is inside. A
// thread finds no place only when `tracked` threads are inside one gate at
// once; it is then counted without a name (a handler waits for such threads,
// and a thread so counted that forks from a signal handler waits the bound
// for itself). The handlers never take the lock itself, except a lock that
// code outside the module takes too without entering (the default logger's,
// shared with the host): that one the fork also takes, within the bound,
// unless its own thread is inside.
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

// When the fork being made stops waiting (steady clock ticks; 0: no fork is
// being made). The first gate's handler sets it, the handlers after the
// fork clear it: the bound is shared by every gate of one fork.
inline std::atomic<std::chrono::steady_clock::rep> lum_fork_deadline{0};

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

// For a lock that code outside the module also takes without entering its
// gate: takes it for the fork, at most until the time given, and gives it
// back after.
struct lum_fork_take {
    bool (*take)(std::chrono::steady_clock::time_point until) = nullptr;
    void (*give_back)() = nullptr;
};

// The record of the threads inside one lock, the gate a fork closes, and the
// handlers' policy over them. Nothing to destroy: a gate may be used by a
// thread still running while the process exits, after static destructors
// have run.
class lum_fork_hold {
public:
    // Threads recorded by name at once; more are counted without a name.
    static constexpr int tracked = 64;

    constexpr lum_fork_hold() = default;
    constexpr explicit lum_fork_hold(lum_fork_take take) : take_(take) {}
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

    // Whether the thread took the lock itself for the fork being made (it
    // must not take it again).
    bool taken_for_fork_by(const entry& e) const noexcept {
        return taken_by_.load(std::memory_order_relaxed) == e.thread;
    }

    // The fork handlers. Before the copy: closes the gate and waits, within
    // the fork's bound, until no other thread is inside.
    void before_fork() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        claim_place(forker(me));  // without a place it waits, at most the bound, at its own gate
        forks_.fetch_add(1, std::memory_order_seq_cst);
        const auto until = fork_deadline();
        for (int round = 0; others_inside(me); ++round) {
            if (std::chrono::steady_clock::now() >= until) return;
            lum_fork_nap(round);
        }
        if (take_.take != nullptr && find(me) == nullptr && take_.take(until))
            taken_by_.store(me, std::memory_order_relaxed);
    }

    // In the parent: opens the gate.
    void after_fork_in_parent() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        give_back_taken(me);
        forks_.fetch_sub(1, std::memory_order_seq_cst);
        if (place* p = find(forker(me))) p->word.store(0, std::memory_order_release);
        lum_fork_deadline.store(0, std::memory_order_relaxed);
    }

    // In the copy, where this thread is the only one: the parent's other
    // threads are forgotten, and the gate is open.
    void after_fork_in_copy() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        give_back_taken(me);
        for (place& p : places_)
            if (p.word.load(std::memory_order_relaxed) != me) p.word.store(0, std::memory_order_relaxed);
        unnamed_.store(0, std::memory_order_relaxed);
        forks_.store(0, std::memory_order_seq_cst);
        lum_fork_deadline.store(0, std::memory_order_relaxed);
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

    // The end of this fork's waiting, shared by its gates.
    static std::chrono::steady_clock::time_point fork_deadline() noexcept {
        using clock = std::chrono::steady_clock;
        const auto mine = (clock::now() + lum_fork_wait_bound).time_since_epoch().count();
        auto set = clock::rep{0};
        if (lum_fork_deadline.compare_exchange_strong(set, mine, std::memory_order_relaxed)) set = mine;
        return clock::time_point(clock::duration(set));
    }

    void give_back_taken(uintptr_t me) noexcept {
        if (taken_by_.load(std::memory_order_relaxed) != me) return;
        taken_by_.store(0, std::memory_order_relaxed);
        take_.give_back();
    }

    place places_[tracked];
    std::atomic<uint32_t> unnamed_{0};   // threads inside without a place
    std::atomic<uint32_t> forks_{0};     // forks being made now: the gate is closed
    std::atomic<uintptr_t> taken_by_{0}; // the thread that took the lock itself for its fork
    const lum_fork_take take_{};
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
