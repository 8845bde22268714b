// Process-wide state that belongs to one process.
//
// A host may fork() without exec while other threads are inside the module:
// the copy has only the forking thread, so a lock another thread held, a mark
// saying "a thread is choosing the compiler" or a run it was waiting for stay
// as they were, for good, in the copy. The module's answer is one model: its
// process-wide tables are stamped with the process generation that made them
// (lumk_process_generation), and a copy that reaches one of its parent's takes
// a fresh one instead and never touches the parent's (its locks, marks, runs
// and descriptors are the parent's threads' business). What is plain data and
// still true in the copy (loaded libraries, registered functions) may be
// carried over by the state itself, but only from a table whose lock was free
// at the fork: a table caught in the middle of a change is left behind.
//
// It covers the kernel side's process-wide state: the native driver's choice
// of compiler and folder with its probe, pending and in-flight compiles, the
// table of runs, the cache folders held, the loaded-kernel map, the
// ahead-of-time registry, the unit cache and the log of failed requests; the
// JIT slots stamp their COMPILING and BUSY marks the same way (settings.h).
// What is not memory follows the same rule by other means: a fork handler
// closes the parent's run descriptors in the copy (native_run_linux.cpp), and
// the quick_exit records name the process they belong to. Objects whose
// layout the host shares (a VM, its lock and its logger) are the host's to
// keep safe around its own forks; of the default logger, the copy makes only
// the lock and the listeners' use counts usable again (log.cpp).
//
// A few locks are held only for a moment and guard state that a copy must
// find whole, not fresh: the registration lock and the registry
// (registry.cpp), the list of retired pool chunks (pool.cpp) and the runs
// that are making or closing their descriptors (native_run_linux.cpp). For
// these a fork waits instead: a fork handler lets no thread in while the
// copy is made and waits until the threads inside have left, so the copy
// finds the lock free and what it guards whole. Every such handler follows
// one policy (runtime/fork_hold.h): it never waits for its own thread (a
// fork from a signal handler inside the lock), and it waits for the others a bounded time only, after which the
// fork goes on. The loader is not among them: a fork never waits for a load
// (the thread inside the C library's loader may wait for the loader lock
// that the forking thread holds); a copy made while one of the module's
// loads was in flight, or while any thread's dlopen or dlclose was changing
// the loader's list (the loader's record for debuggers says so), loads
// nothing instead. Two moments of the host's own loader calls cannot be seen
// and may leave the copy's first load waiting for good: a thread inside
// dl_iterate_phdr, and the instant a dlopen puts a new library into the list
// before it marks its record (native_platform_linux.cpp).

// Statics made on first use behind the C++ runtime's guard, which has no fork
// handling, are kept out of the module's reach from a copy: they are made
// while the module loads (the script classes' tables and the registration
// lock), kept without a guard (the C locale of number parsing, the type tags
// of counted pointers, the default logger), or made under one of the locks a
// fork waits for (the list of retired pool chunks).
//
// The objects are constant-initialised (no guard a forking thread could leave
// half-set), and a replaced table is kept reachable, never freed: the copy
// cannot know whether the parent's threads were still using it.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>


// Which copy of the process this is: 0 in the process that loaded the module,
// one more in each copy that fork() makes of it (a handler registered when
// the module is loaded counts them; a copy made without it, by a raw clone
// or _Fork, may call nothing of the module). Always 0 where processes do not
// fork. A plain read of one word: it is asked on every request.
extern std::atomic<uint32_t> lumk_process_generation_count;
inline uint32_t lumk_process_generation() {
    return lumk_process_generation_count.load(std::memory_order_relaxed);
}

template <class T>
class lumk_process_local {
public:
    constexpr lumk_process_local() = default;
    lumk_process_local(const lumk_process_local&) = delete;
    lumk_process_local& operator=(const lumk_process_local&) = delete;

    // This process's table, made on first use (and on first use in a forked
    // copy). A T with `void take_from_parent(T& parent)` is given the
    // parent's table to copy what it may from it.
    T& get() {
        const uint32_t me = lumk_process_generation();
        holder* h = current_.load(std::memory_order_acquire);
        if (h != nullptr && h->generation == me) return h->value;
        return take_over(me);
    }

private:
    struct holder {
        uint32_t generation;
        holder* parent;  // kept reachable, never used again
        T value;
    };

    T& take_over(uint32_t me) {
        // One thread of this process makes the table; the others wait for it
        // (briefly: it is a thread of this process). A mark the parent left
        // is not ours and is taken over.
        uint64_t mark = making_.load(std::memory_order_acquire);
        const uint64_t mine = uint64_t{me} + 1;
        for (;;) {
            holder* h = current_.load(std::memory_order_acquire);
            if (h != nullptr && h->generation == me) return h->value;
            if (mark != mine) {
                if (making_.compare_exchange_weak(mark, mine, std::memory_order_acq_rel)) break;
                continue;
            }
            std::this_thread::yield();
            mark = making_.load(std::memory_order_acquire);
        }
        holder* parent = current_.load(std::memory_order_acquire);
        holder* made = nullptr;
        try {
            made = new holder{me, parent, {}};
        } catch (...) {
            making_.store(0, std::memory_order_release);
            throw;
        }
        if constexpr (requires(T& t) { t.take_from_parent(t); }) {
            // What could not be copied (no memory) is simply not there.
            try {
                if (parent != nullptr) made->value.take_from_parent(parent->value);
            } catch (...) {
            }
        }
        current_.store(made, std::memory_order_release);
        return made->value;
    }

    std::atomic<holder*> current_{nullptr};
    std::atomic<uint64_t> making_{0};  // generation + 1 of the process making the table
};
