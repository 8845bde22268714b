// Locks that the module's fork handlers take, and the one policy they follow.
//
// A few of the module's locks guard state that a copy made by fork() must
// find whole: the loader's list of libraries, the registry, the list of
// retired pool chunks, the default logger's listeners and the runs that are
// making or closing their descriptors. For each, a fork handler takes the lock
// before the copy is made and gives it back in both processes, so the copy
// finds it free and what it guards whole. The policy, the same for all:
//
//  - A handler never waits for a lock its own thread holds. A fork from a
//    signal handler (a crash or dump helper) may run on a thread that is
//    inside the lock; waiting there would wait for good. The copy then keeps
//    the lock as the interrupted code holds it, and that code gives it back
//    in both processes when the handler returns.
//  - Every other wait is bounded (lum_fork_wait_bound). The holder may be
//    waiting for something the forking thread holds (a thread inside the C
//    library's loader whose library constructor forks); after the bound the
//    fork goes on without the lock, and the copy finds it as the parent's
//    threads left it (a lock that guards none of the module's data, such as
//    the loader's, is made anew there instead).
//
// Which threads are inside a lock's code (taking, holding or giving it back)
// is kept in a small table of plain atomics, so a handler can ask it from a
// signal handler; an exclusive lock also names its owner itself
// (lum_mutex_held_here). A lock taken and given back through this class
// records itself; a lock whose object the host shares (the default logger's)
// has its takings recorded by the code around it.
//
// Header only, calling nothing of the script runtime for a shared lock: the
// kernel engines use it too. Each owner registers the lock's three handlers with its platform's
// fork hook (lum_at_fork, pthread_atfork) when the module loads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>
#include <type_traits>

#include "runtime/platform.h"

// The calling thread as a word (never 0): the C++ library's id of it, which
// stays the same in a forked copy and is read without a call into the system.
inline uintptr_t lum_fork_thread_word() noexcept {
    static_assert(sizeof(std::thread::id) == sizeof(uintptr_t) && std::is_trivially_copyable_v<std::thread::id>);
    const std::thread::id id = std::this_thread::get_id();
    uintptr_t word = 0;
    std::memcpy(&word, &id, sizeof word);
    return word;
}

// How long a fork waits for a lock another thread holds before it goes on
// without it.
inline constexpr std::chrono::seconds lum_fork_wait_bound{2};

// The record of who holds one lock, and the handlers' policy over it. The
// lock itself is reached through the three operations a derived class (or
// the owner) gives: take it before a bound, give it back, and make it anew
// in a copy.
class lum_fork_hold {
public:
    // Threads tracked at once; a lock held by more (a shared lock's readers)
    // still works, but a fork on an untracked holder's thread waits the bound.
    static constexpr int tracked = 16;

    constexpr explicit lum_fork_hold(bool guards_data) : guards_data_(guards_data) {}
    lum_fork_hold(const lum_fork_hold&) = delete;
    lum_fork_hold& operator=(const lum_fork_hold&) = delete;

    // The calling thread is about to take the lock (again, for a recursive or
    // shared one): it is inside the lock's code from here on.
    void entering() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) {
                h.depth.fetch_add(1, std::memory_order_relaxed);
                return;
            }
        for (holder& h : holders_) {
            uintptr_t none = 0;
            if (h.thread.load(std::memory_order_relaxed) == none &&
                h.thread.compare_exchange_strong(none, me, std::memory_order_relaxed)) {
                h.depth.store(1, std::memory_order_relaxed);
                return;
            }
        }
    }

    // The calling thread has given the lock back once (or failed to take it).
    void left() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) {
                if (h.depth.fetch_sub(1, std::memory_order_relaxed) == 1) h.thread.store(0, std::memory_order_relaxed);
                return;
            }
    }

    // How many times the calling thread is inside the lock's code, as
    // recorded: holding it, or taking or giving it back.
    uint32_t held_here() const noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (const holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) == me) return h.depth.load(std::memory_order_relaxed);
        return 0;
    }

    // The fork handlers. Before the copy: takes the lock, unless this thread
    // holds it, waiting at most the bound.
    void before_fork() noexcept {
        if (owned_here()) return;
        if (held_here() != 0) {
            // This thread is inside the lock's code, and the lock does not
            // name it: it is waiting for the lock, or in the few instructions
            // around taking or giving it back, or holds it shared (or
            // recursively: then taking it succeeds).
            if (take_until(std::chrono::steady_clock::now())) {
                fork_holder_.store(lum_fork_thread_word(), std::memory_order_relaxed);
                return;
            }
            if (!others_inside()) return;  // no other thread can be holding it
        }
        if (take_until(std::chrono::steady_clock::now() + lum_fork_wait_bound))
            fork_holder_.store(lum_fork_thread_word(), std::memory_order_relaxed);
    }

    // In the parent: gives back what before_fork took.
    void after_fork_in_parent() noexcept {
        if (fork_holder_.load(std::memory_order_relaxed) != lum_fork_thread_word()) return;
        fork_holder_.store(0, std::memory_order_relaxed);
        give_back();
    }

    // In the copy, where this thread is the only one. The lock is made anew
    // (a lock that knows its owner knows it by an id the copy's thread no
    // longer has) and taken again as often as this thread held it, so the
    // interrupted code's own releases balance. A lock that another thread
    // still held at the bound stays as it was when it guards data, which may
    // be half changed.
    void after_fork_in_copy() noexcept {
        const uintptr_t me = lum_fork_thread_word();
        const bool held_for_fork = fork_holder_.load(std::memory_order_relaxed) == me;
        fork_holder_.store(0, std::memory_order_relaxed);
        const uint32_t recorded = held_here();
        const uint32_t mine = recorded == 0 && owned_here() ? 1 : recorded;
        if (held_for_fork || mine != 0 || !guards_data_) {
            renew();
            for (uint32_t i = 0; i < mine; ++i) retake();
        }
        // The parent's other threads are not in the copy.
        for (holder& h : holders_)
            if (h.thread.load(std::memory_order_relaxed) != me) {
                h.depth.store(0, std::memory_order_relaxed);
                h.thread.store(0, std::memory_order_relaxed);
            }
    }

protected:
    // The lock's own operations.
    virtual bool take_until(std::chrono::steady_clock::time_point until) noexcept = 0;
    virtual void give_back() noexcept = 0;
    virtual void renew() noexcept = 0;   // in the copy: the lock made anew, free
    virtual void retake() noexcept = 0;  // in the copy: taken once more by its thread, as it was held
    // Whether the lock itself says this thread holds it (see
    // lum_mutex_held_here): it covers the few instructions between taking
    // the lock and recording it, where a signal may come.
    virtual bool owned_here() const noexcept { return false; }

    ~lum_fork_hold() = default;

private:
    bool others_inside() const noexcept {
        const uintptr_t me = lum_fork_thread_word();
        for (const holder& h : holders_) {
            const uintptr_t t = h.thread.load(std::memory_order_relaxed);
            if (t != 0 && t != me) return true;
        }
        return false;
    }

    struct holder {
        std::atomic<uintptr_t> thread{0};
        std::atomic<uint32_t> depth{0};
    };
    holder holders_[tracked];
    std::atomic<uintptr_t> fork_holder_{0};
    const bool guards_data_;
};

// A lock (std::timed_mutex, std::recursive_timed_mutex or
// std::shared_timed_mutex) that records its holders for the fork handlers.
// Usable with std::lock_guard, std::unique_lock and, for a shared one,
// std::shared_lock. Constant-initialised where the C++ library's lock is, so
// no static guard a copy could find half set stands before it.
template <class Lock>
class lum_fork_mutex final : public lum_fork_hold {
public:
    // `guards_data`: whether the lock keeps data whole (see after_fork_in_copy).
    constexpr explicit lum_fork_mutex(bool guards_data = true) : lum_fork_hold(guards_data), lock_() {}
    // The lock is never destroyed: a thread may still use it while the
    // process exits.
    ~lum_fork_mutex() {}

    void lock() {
        entering();
        lock_.lock();
    }
    bool try_lock() {
        entering();
        if (lock_.try_lock()) return true;
        left();
        return false;
    }
    void unlock() {
        lock_.unlock();
        left();
    }

    // Shared holds (std::shared_timed_mutex only); a fork takes the lock
    // exclusively.
    void lock_shared() {
        entering();
        lock_.lock_shared();
    }
    void unlock_shared() {
        lock_.unlock_shared();
        left();
    }

private:
    static constexpr bool shared = requires(Lock& l) { l.lock_shared(); };

    bool take_until(std::chrono::steady_clock::time_point until) noexcept override {
        try {
            return lock_.try_lock_until(until);
        } catch (...) {
            return false;
        }
    }
    void give_back() noexcept override { lock_.unlock(); }
    void renew() noexcept override { new (&lock_) Lock(); }
    void retake() noexcept override {
        if constexpr (shared) lock_.lock_shared();
        else lock_.lock();
    }
    bool owned_here() const noexcept override {
        if constexpr (shared) return false;  // readers are not named by the lock
        else return lum_mutex_held_here(const_cast<Lock&>(lock_).native_handle());
    }

    union {
        Lock lock_;
    };
};
