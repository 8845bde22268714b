// Locks that a fork waits for, and the one policy every such wait follows.
//
// A few of the module's locks guard state that a copy made by fork() must
// find whole: the loader's list of libraries, the registry, the list of
// retired pool chunks, the default logger's listeners and the runs that are
// making or closing their descriptors. For each, a fork handler closes the
// lock's gate (no thread enters it any more) and waits until no other thread
// is inside it, so the copy finds it free and what it guards whole; the gate
// opens again in both processes. The policy, the same for all:
//
//  - A handler never waits for its own thread. A fork from a signal handler
//    (a crash or dump helper) may run on a thread that is inside the lock;
//    waiting for it would wait for good. The copy then holds the lock as the
//    interrupted code does, and that code gives it back in both processes
//    when the handler returns.
//  - Every other wait is bounded (lum_fork_wait_bound). A thread inside may
//    be waiting for something the forking thread holds (a thread inside the
//    C library's loader whose library constructor forks); after the bound the
//    fork goes on, and the copy finds the lock as the parent's threads left
//    it (a lock that guards none of the module's data, such as the loader's,
//    is made anew there instead).
//
// Which threads are inside a lock (taking, holding or giving it back) is kept
// in a small table of plain atomics, written before the lock is taken and
// cleared after it is given back, so a handler, even one called from a signal
// handler, knows exactly whether its own thread is inside. The handlers touch
// only that table and the gate, never the lock itself, except for a lock that
// code outside the module takes too (the default logger's, shared with the
// host): that one the handler also takes itself, within the bound, unless its
// own thread is inside. The thread making a fork passes the gates it closed:
// a fork handler that runs after a lock's may still use the lock.
//
// Header only, calling nothing of the script runtime: the kernel engines use
// it too. Each owner registers the lock's three handlers with its platform's
// fork hook (lum_at_fork, pthread_atfork) when the module loads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>
#include <type_traits>

// The calling thread as a word (never 0): the C++ library's id of it, which
// stays the same in a forked copy and is read without a call into the system.
inline uintptr_t lum_fork_thread_word() noexcept {
    static_assert(sizeof(std::thread::id) == sizeof(uintptr_t) && std::is_trivially_copyable_v<std::thread::id>);
    const std::thread::id id = std::this_thread::get_id();
    uintptr_t word = 0;
    std::memcpy(&word, &id, sizeof word);
    return word;
}

// How long a fork waits for the other threads inside a lock before it goes
// on without waiting for them.
inline constexpr std::chrono::seconds lum_fork_wait_bound{2};

// Waits a little before the `round`th try again: a few yields, then short
// sleeps.
inline void lum_fork_nap(int round) noexcept {
    if (round < 64) std::this_thread::yield();
    else std::this_thread::sleep_for(std::chrono::microseconds(200));
}

class lum_fork_hold;

// What a lock's handlers do to the lock itself; each may be null.
struct lum_fork_lock_ops {
    // In the copy: the lock made anew, free.
    void (*renew)(lum_fork_hold& hold) = nullptr;
    // For a lock that code outside the module also takes without entering
    // (the default logger's, which the host shares): takes it for the fork,
    // at most until the time given, and gives it back after.
    bool (*take_for_fork)(std::chrono::steady_clock::time_point until) = nullptr;
    void (*give_back_for_fork)() = nullptr;
};

// The record of the threads inside one lock, the gate a fork closes, and the
// handlers' policy over them. No virtual function and nothing to destroy: a
// record may be used by a thread still running while the process exits, after
// static destructors have run.
class lum_fork_hold {
public:
    // Threads recorded at once; one more waits for a free place.
    static constexpr int tracked = 32;

    constexpr explicit lum_fork_hold(bool guards_data, lum_fork_lock_ops ops = {})
        : ops_(ops), guards_data_(guards_data) {}
    lum_fork_hold(const lum_fork_hold&) = delete;
    lum_fork_hold& operator=(const lum_fork_hold&) = delete;

    // The calling thread is about to take the lock (again, for a recursive or
    // shared one); it waits while a fork is being made, unless it is inside
    // the lock already or is the thread making the fork (another fork
    // handler, one that ran before this lock's, may use the module).
    void enter() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) {
                h.depth.fetch_add(1, std::memory_order_relaxed);
                return;
            }
        for (int round = 0;; ++round) {
            if (holder* h = claim(me)) {
                // Seen by a fork's handler before the gate is read (both
                // sequentially consistent): either the fork waits for this
                // thread, or this thread waits for the fork.
                if (forks_.load(std::memory_order_seq_cst) == 0 || forking_here(me)) return;
                release(h);
            }
            lum_fork_nap(round);
        }
    }

    // The calling thread has given the lock back once (or failed to take it).
    void leave() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) {
                if (h.depth.fetch_sub(1, std::memory_order_relaxed) == 1) release(&h);
                return;
            }
    }

    // The fork handlers. Before the copy: closes the gate and waits, at most
    // the bound, until no other thread is inside.
    void before_fork() noexcept {
        note_forking(lum_fork_thread_word());
        forks_.fetch_add(1, std::memory_order_seq_cst);
        const auto until = std::chrono::steady_clock::now() + lum_fork_wait_bound;
        for (int round = 0; others_inside(); ++round) {
            if (std::chrono::steady_clock::now() >= until) {
                left_inside_.store(true, std::memory_order_relaxed);
                return;
            }
            lum_fork_nap(round);
        }
        if (ops_.take_for_fork != nullptr && !inside_here() && ops_.take_for_fork(until))
            held_for_fork_.store(lum_fork_thread_word(), std::memory_order_relaxed);
    }

    // In the parent: opens the gate.
    void after_fork_in_parent() noexcept {
        give_back_after_fork();
        left_inside_.store(false, std::memory_order_relaxed);
        forks_.fetch_sub(1, std::memory_order_seq_cst);
        forget_forking(lum_fork_thread_word());
    }

    // In the copy, where this thread is the only one: the parent's other
    // threads are forgotten, and the gate is open. A lock that another thread
    // was still inside at the bound stays as it was when it guards data, which
    // may be half changed; one that guards none is made anew.
    void after_fork_in_copy() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        give_back_after_fork();
        if (left_inside_.exchange(false, std::memory_order_relaxed) && !guards_data_ && ops_.renew != nullptr)
            ops_.renew(*this);
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) != me) {
                h.depth.store(0, std::memory_order_relaxed);
                h.thread.store(0, std::memory_order_relaxed);
            }
        forks_.store(0, std::memory_order_seq_cst);
        for (std::atomic<uintptr_t>& f : forking_) f.store(0, std::memory_order_relaxed);
    }

private:
    // The threads making a fork now (a few at once at most: more pass the
    // gate only when no fork is being made).
    void note_forking(uintptr_t me) noexcept {
        for (std::atomic<uintptr_t>& f : forking_) {
            uintptr_t none = 0;
            if (f.compare_exchange_strong(none, me, std::memory_order_relaxed)) return;
        }
    }
    void forget_forking(uintptr_t me) noexcept {
        for (std::atomic<uintptr_t>& f : forking_) {
            uintptr_t mine = me;
            if (f.compare_exchange_strong(mine, 0, std::memory_order_relaxed)) return;
        }
    }
    bool forking_here(uintptr_t me) const noexcept {
        for (const std::atomic<uintptr_t>& f : forking_)
            if (f.load(std::memory_order_relaxed) == me) return true;
        return false;
    }

    void give_back_after_fork() noexcept {
        if (held_for_fork_.load(std::memory_order_relaxed) != lum_fork_thread_word()) return;
        held_for_fork_.store(0, std::memory_order_relaxed);
        ops_.give_back_for_fork();
    }
    bool inside_here() const noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (const holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) return true;
        return false;
    }

    struct holder {
        std::atomic<uintptr_t> thread{0};
        std::atomic<uint32_t> depth{0};
    };

    holder* claim(uintptr_t me) noexcept {
        for (holder& h : holders_) {
            uintptr_t none = 0;
            if (h.thread.load(std::memory_order_relaxed) == 0 &&
                h.thread.compare_exchange_strong(none, me, std::memory_order_seq_cst)) {
                h.depth.store(1, std::memory_order_relaxed);
                return &h;
            }
        }
        return nullptr;
    }
    static void release(holder* h) noexcept {
        h->depth.store(0, std::memory_order_relaxed);
        h->thread.store(0, std::memory_order_release);
    }
    bool others_inside() const noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (const holder& h : holders_) {
            const uintptr_t t = h.thread.load(std::memory_order_seq_cst);
            if (t != 0 && t != me) return true;
        }
        return false;
    }
    holder holders_[tracked];
    std::atomic<uint32_t> forks_{0};  // forks being made now: the gate is closed
    std::atomic<uintptr_t> forking_[8]{};
    std::atomic<bool> left_inside_{false};
    std::atomic<uintptr_t> held_for_fork_{0};  // the thread that took the lock itself for its fork
    const lum_fork_lock_ops ops_;
    const bool guards_data_;
};

// A lock (std::mutex, std::recursive_mutex, std::shared_mutex or their timed
// forms) whose takings the fork handlers see. Usable with std::lock_guard,
// std::unique_lock and, for a shared one, std::shared_lock.
// Constant-initialised where the C++ library's lock is, so no static guard a
// copy could find half set stands before it.
template <class Lock>
class lum_fork_mutex final : public lum_fork_hold {
public:
    // `guards_data`: whether the lock keeps data whole (see after_fork_in_copy).
    constexpr explicit lum_fork_mutex(bool guards_data = true)
        : lum_fork_hold(guards_data, {&lum_fork_mutex::renew}), lock_() {}
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

    // Shared holds (std::shared_mutex and its timed form only).
    void lock_shared() {
        enter();
        lock_.lock_shared();
    }
    void unlock_shared() {
        lock_.unlock_shared();
        leave();
    }

private:
    static void renew(lum_fork_hold& hold) { new (&static_cast<lum_fork_mutex&>(hold).lock_) Lock(); }

    union {
        Lock lock_;
    };
};
