#include "runtime/platform.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <utility>
#include <vector>

uint32_t lum_os_thread_id() { return static_cast<uint32_t>(::gettid()); }

double lum_strtod_c(const char* text, char** end) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(text, end, c_locale);
}

const void* lum_memmem(const void* haystack, size_t haystack_size, const void* needle, size_t needle_size) {
    return memmem(haystack, haystack_size, needle, needle_size);
}

const void* lum_memrchr(const void* bytes, int byte, size_t size) { return memrchr(bytes, byte, size); }

void lum_wait_while_equal(const std::atomic<uint32_t>& word, uint32_t seen) {
    word.wait(seen, std::memory_order_seq_cst);
}

void lum_wake_all(std::atomic<uint32_t>& word) { word.notify_all(); }

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
