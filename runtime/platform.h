// Calls whose implementation differs between operating systems. Each has one
// side per platform (platform_linux.cpp, platform_windows.cpp); the build
// compiles the target platform's file only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

// OS thread id of the calling thread; never 0 (0 marks a free VM lock).
uint32_t lum_os_thread_id();

// strtod in the "C" locale, whatever the process locale is: leading C
// whitespace, sign, decimal and "0x" hexadecimal forms, "inf", "infinity",
// "nan" and "nan(...)"; ±HUGE_VAL on overflow; 0 and *end = text when no
// number starts the text.
double lum_strtod_c(const char* text, char** end);

// First occurrence of the needle bytes in the haystack bytes, or null (an
// empty needle is found at the start).
const void* lum_memmem(const void* haystack, size_t haystack_size, const void* needle, size_t needle_size);
// Last occurrence of the byte in the first `size` bytes, or null.
const void* lum_memrchr(const void* bytes, int byte, size_t size);

// Sleeps while `word` holds `seen`, for at most `timeout_ms` milliseconds
// (lum_wait_forever: no limit); it may also return spuriously, so callers
// re-check their condition. A waker changes the word first and then calls
// lum_wake_all on it. Both go straight to the operating system's wait on an
// address (futex, WaitOnAddress), not through the C++ library's atomic wait.
inline constexpr uint32_t lum_wait_forever = 0xFFFFFFFFu;
void lum_wait_while_equal(const std::atomic<uint32_t>& word, uint32_t seen, uint32_t timeout_ms = lum_wait_forever);
void lum_wake_all(std::atomic<uint32_t>& word);

// Runs fn(arg) when the calling thread ends, after callbacks registered later
// on the same thread (the order of thread-local destructors). The callback
// must not reach compiler thread-local storage: on some platforms that is
// gone by then.
void lum_at_thread_exit(void (*fn)(void*), void* arg);

// Around each fork() of the process: prepare() on the forking thread before
// the copy is made, then parent() in the parent and child() in the copy (where
// the forking thread is the only one). Prepare functions run in the reverse
// of the order they were registered in, the others in that order. Nothing
// where processes are not copied.
void lum_at_fork(void (*prepare)(), void (*parent)(), void (*child)());

// For a lock and a condition that the module shares with the host, which no
// fork handler of the module waits for: lum_fork_note_thread() notes the
// forking thread (a prepare step). In the copy, where that thread is the only
// one, lum_lock_free_in_copy(m) makes `m` free again when a thread that is
// not in the copy left it taken (the copy's own thread keeps what it holds),
// and lum_cond_reset_in_copy(c) forgets the waiters of `c`, which are not in
// the copy either. Nothing where processes are not copied.
void lum_fork_note_thread();
void lum_lock_free_in_copy(std::mutex& m);
void lum_cond_reset_in_copy(std::condition_variable& c);

// Holds off the calling thread's cancellation (pthread_cancel) for a scope
// where no unwinding may pass: a destructor that logs (a listener may write,
// a cancellation point) would end the process in std::terminate. A
// cancellation asked for meanwhile takes effect at the thread's next
// cancellation point after the scope. Nothing where threads are not
// cancelled.
class lum_cancel_hold {
public:
    lum_cancel_hold();
    ~lum_cancel_hold();
    lum_cancel_hold(const lum_cancel_hold&) = delete;
    lum_cancel_hold& operator=(const lum_cancel_hold&) = delete;

private:
    int state_ = 0;
};
