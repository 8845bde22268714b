#include "runtime/platform.h"

#include <limits.h>
#include <linux/futex.h>
#include <locale.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <utility>
#include <vector>

uint32_t lum_os_thread_id() { return static_cast<uint32_t>(::gettid()); }

namespace {

// The "C" locale, made on first use without a guarded static: a copy that
// fork() made while another thread was making it would wait for that thread
// for good. Two threads making it at once keep one.
locale_t c_locale() {
    static constinit std::atomic<locale_t> made{nullptr};
    locale_t l = made.load(std::memory_order_acquire);
    if (l != nullptr) return l;
    const locale_t fresh = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (made.compare_exchange_strong(l, fresh, std::memory_order_acq_rel)) return fresh;
    freelocale(fresh);
    return l;
}

}  // namespace

double lum_strtod_c(const char* text, char** end) { return strtod_l(text, end, c_locale()); }

const void* lum_memmem(const void* haystack, size_t haystack_size, const void* needle, size_t needle_size) {
    return memmem(haystack, haystack_size, needle, needle_size);
}

const void* lum_memrchr(const void* bytes, int byte, size_t size) { return memrchr(bytes, byte, size); }

// The futex system call on the word itself. Not std::atomic::wait: the
// toolchain's version keeps its own count of waiters beside the word, and a
// notify that misreads that count skips the wake-up, stranding the sleepers.
namespace {
uint32_t* futex_word(const std::atomic<uint32_t>& word) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);
    return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&word));
}
} // namespace

void lum_wait_while_equal(const std::atomic<uint32_t>& word, uint32_t seen, uint32_t timeout_ms) {
    timespec limit{static_cast<time_t>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000000L};
    // Returns at once when the word no longer holds `seen` (EAGAIN), on a
    // wake-up, a signal or the time limit: the caller re-checks in every case.
    ::syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, seen, timeout_ms == lum_wait_forever ? nullptr : &limit,
              nullptr, 0);
}

void lum_wake_all(std::atomic<uint32_t>& word) {
    ::syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

namespace {
struct thread_exit_list {
    std::vector<std::pair<void (*)(void*), void*>> items;
    ~thread_exit_list() {
        while (!items.empty()) {
            auto [fn, arg] = items.back();
            items.pop_back();
            fn(arg);
        }
    }
};
} // namespace

void lum_at_thread_exit(void (*fn)(void*), void* arg) {
    static thread_local thread_exit_list list;
    list.items.emplace_back(fn, arg);
}

void lum_at_fork(void (*prepare)(), void (*parent)(), void (*child)()) { ::pthread_atfork(prepare, parent, child); }

namespace {
// The forking thread's id in the parent (its id in the copy is another).
thread_local constinit pid_t forking_thread [[gnu::tls_model("initial-exec")]] = 0;
} // namespace

void lum_fork_note_thread() { forking_thread = ::gettid(); }

// The C library records the holder of a lock of the default kind by its
// thread id; the lock word says whether it is taken at all (the holder is
// not yet or no longer recorded for a moment around the taking and giving
// back, and that is another thread too).
void lum_lock_free_in_copy(std::mutex& m) {
    pthread_mutex_t* const lock = m.native_handle();
    if (lock->__data.__lock != 0 && lock->__data.__owner != forking_thread) *lock = PTHREAD_MUTEX_INITIALIZER;
}

void lum_cond_reset_in_copy(std::condition_variable& c) { *c.native_handle() = PTHREAD_COND_INITIALIZER; }

lum_cancel_hold::lum_cancel_hold() { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state_); }

lum_cancel_hold::~lum_cancel_hold() { ::pthread_setcancelstate(state_, nullptr); }
