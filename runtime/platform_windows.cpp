#include "runtime/platform.h"

#include <windows.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

uint32_t lum_os_thread_id() {
    const DWORD id = ::GetCurrentThreadId();
    return id != 0 ? static_cast<uint32_t>(id) : 0xFFFFFFFFu; // 0 marks a free VM lock
}

// ---- strtod in the "C" locale ----
// The C library's own strtod follows the process locale (and the system
// library's _strtod_l knows no hexadecimal, infinity or NaN forms), so the
// text is taken apart here and converted with std::from_chars, which never
// looks at a locale and rounds correctly.

namespace {

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_dec_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_dec_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// For a number std::from_chars found out of range: true when it is too large
// (overflow), false when too small (underflow). Only the order of magnitude
// matters: the range is left far above 1 or far below it.
bool too_large(const char* p, const char* end, bool hex) {
    long long order = 0;
    bool nonzero_seen = false, after_point = false;
    for (; p < end; ++p) {
        const char c = *p;
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!(hex ? is_hex_digit(c) : is_dec_digit(c))) break;
        if (!nonzero_seen) {
            if (c == '0') {
                if (after_point) --order;
                continue;
            }
            nonzero_seen = true;
        }
        if (!after_point) ++order;
    }
    long long exponent = 0;
    if (p < end && (*p | 0x20) == (hex ? 'p' : 'e')) {
        ++p;
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        for (; p < end && is_dec_digit(*p); ++p)
            if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
        if (negative) exponent = -exponent;
    }
    return (hex ? order * 4 : order) + exponent > 0;
}

} // namespace

double lum_strtod_c(const char* text, char** end) {
    const char* p = text;
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    auto no_number = [&] {
        if (end != nullptr) *end = const_cast<char*>(text);
        return 0.0;
    };
    if (*p == '+' || *p == '-') return no_number();
    const char* const stop = p + std::strlen(p);
    const bool hex = p[0] == '0' && (p[1] | 0x20) == 'x' && (is_hex_digit(p[2]) || (p[2] == '.' && is_hex_digit(p[3])));
    const char* const digits = hex ? p + 2 : p;
    double value = 0.0;
    const std::from_chars_result r =
        std::from_chars(digits, stop, value, hex ? std::chars_format::hex : std::chars_format::general);
    if (r.ec == std::errc::invalid_argument) return no_number();
    if (r.ec == std::errc::result_out_of_range)
        value = too_large(digits, r.ptr, hex) ? std::numeric_limits<double>::infinity() : 0.0;
    if (end != nullptr) *end = const_cast<char*>(r.ptr);
    return negative ? -value : value;
}

// ---- byte searches ----

const void* lum_memmem(const void* haystack, size_t haystack_size, const void* needle, size_t needle_size) {
    if (needle_size == 0) return haystack;
    if (needle_size > haystack_size) return nullptr;
    const auto* h = static_cast<const unsigned char*>(haystack);
    const auto* n = static_cast<const unsigned char*>(needle);
    const unsigned char first = n[0];
    const unsigned char* last_start = h + (haystack_size - needle_size);
    for (const unsigned char* at = h; at <= last_start;) {
        at = static_cast<const unsigned char*>(std::memchr(at, first, static_cast<size_t>(last_start - at) + 1));
        if (at == nullptr) return nullptr;
        if (std::memcmp(at + 1, n + 1, needle_size - 1) == 0) return at;
        ++at;
    }
    return nullptr;
}

const void* lum_memrchr(const void* bytes, int byte, size_t size) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    const auto c = static_cast<unsigned char>(byte);
    while (size != 0) {
        if (b[--size] == c) return b + size;
    }
    return nullptr;
}

// ---- waiting on a word ----
// Not std::atomic::wait: the toolchain's version compares the word before it
// takes its own lock and notifies without that lock, so a wake-up can be lost.

void lum_wait_while_equal(const std::atomic<uint32_t>& word, uint32_t seen, uint32_t timeout_ms) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    ::WaitOnAddress(const_cast<std::atomic<uint32_t>*>(&word), &seen, sizeof seen,
                    timeout_ms == lum_wait_forever ? INFINITE : static_cast<DWORD>(timeout_ms));
}

void lum_wake_all(std::atomic<uint32_t>& word) { ::WakeByAddressAll(&word); }

// ---- thread exit callbacks ----
// The compiler's emulated thread-local storage can be freed before the
// thread's thread_local destructors run. The callbacks are therefore kept in
// a fiber-local slot, whose destructor the system runs at thread exit.

namespace {

struct thread_exit_list {
    std::vector<std::pair<void (*)(void*), void*>> items;
};

void NTAPI run_thread_exit_list(void* data) {
    auto* list = static_cast<thread_exit_list*>(data);
    if (list == nullptr) return;
    // Callbacks may register more (an object touched during another's
    // teardown): they land in the same list while the slot still holds it.
    while (!list->items.empty()) {
        auto [fn, arg] = list->items.back();
        list->items.pop_back();
        fn(arg);
    }
    delete list;
}

DWORD thread_exit_slot() {
    static const DWORD slot = ::FlsAlloc(&run_thread_exit_list);
    return slot;
}

} // namespace

void lum_at_thread_exit(void (*fn)(void*), void* arg) {
    const DWORD slot = thread_exit_slot();
    if (slot == FLS_OUT_OF_INDEXES) return; // the object then lives until the process ends
    auto* list = static_cast<thread_exit_list*>(::FlsGetValue(slot));
    if (list == nullptr) {
        list = new thread_exit_list();
        ::FlsSetValue(slot, list);
    }
    list->items.emplace_back(fn, arg);
}

// Processes are never copied.
void lum_at_fork(void (*)(), void (*)(), void (*)()) {}
void lum_fork_note_thread() {}
void lum_lock_free_in_copy(std::mutex&) {}
void lum_cond_reset_in_copy(std::condition_variable&) {}

// Threads are not cancelled.
lum_cancel_hold::lum_cancel_hold() = default;
lum_cancel_hold::~lum_cancel_hold() = default;
