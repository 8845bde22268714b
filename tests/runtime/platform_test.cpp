// The operating-system layer: number parsing in the "C" locale, byte
// searches, thread ids, sleeping on a word, and per-thread objects torn down
// at thread exit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

#include "runtime/per_thread.h"
#include "runtime/platform.h"
#include "tests/platform/test_platform.h"

namespace {

// Text, value, bytes taken (any for NaN); no number takes nothing and gives +0.
TEST(Platform, StrtodInTheCLocale) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const std::tuple<const char*, double, size_t> cases[] = {
        {"  3.5xyz", 3.5, 5},   {"\t\n\v\f\r 7", 7.0, 7}, {"+.5", 0.5, 3},      {"-1e3", -1000.0, 4},
        {"1e", 1.0, 1},         {"1e+", 1.0, 1},          {"2,5", 2.0, 1},      {"123.", 123.0, 4},
        {"0x1p3", 8.0, 5},      {"0X1.8P+1", 3.0, 8},     {"0x10", 16.0, 4},    {"0x", 0.0, 1},
        {"-0x.8", -0.5, 5},     {"inf", inf, 3},          {"-INFINITY", -inf, 9}, {"infinit", inf, 3},
        {"1e400", inf, 5},      {"-0x1p1024", -inf, 9},   {"1e-400", 0.0, 6},   {"0x1p-1080", 0.0, 9},
        {"0.1", 0.1, 3},        {"9007199254740993", 9007199254740992.0, 16}, {"1.7976931348623159e308", inf, 22},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min(), 23},
        {"nan", nan, 0},        {"NAN(", nan, 0},         {"nan(abc_1)x", nan, 0}, {"-nan", nan, 0},
        {"", 0.0, 0},           {" ", 0.0, 0},            {"-", 0.0, 0},        {"+-1", 0.0, 0},
        {"--2", 0.0, 0},        {".", 0.0, 0},            {"e5", 0.0, 0},       {"-.e1", 0.0, 0}, {"x", 0.0, 0}};
    for (const auto& [text, value, used] : cases) {
        char* end = nullptr;
        const double v = lum_strtod_c(text, &end);
        if (std::isnan(value)) {
            EXPECT_TRUE(std::isnan(v)) << text;
            continue;
        }
        EXPECT_EQ(v, value) << text;
        EXPECT_EQ(std::signbit(v), std::signbit(value)) << text;
        EXPECT_EQ(static_cast<size_t>(end - text), used) << text;
    }
    if (lum_test_use_decimal_comma_locale()) {
        EXPECT_EQ(lum_strtod_c("2.5", nullptr), 2.5);
        EXPECT_EQ(lum_strtod_c("2,5", nullptr), 2.0);
    }
    lum_test_restore_c_numeric_locale();
}

TEST(Platform, ByteSearches) {
    const std::string hay = "abcabcab", zeros("x\0\0y", 4);
    auto at = [&](const void* p) -> long { return p == nullptr ? -1 : static_cast<const char*>(p) - hay.data(); };
    const std::pair<std::string, long> finds[] = {{"abc", 0}, {"cab", 2},  {"bcab", 1}, {"cabx", -1},
                                                  {"abcabcabc", -1} /* longer than the haystack */, {"", 0},
                                                  {std::string("ab\0", 3), -1}};
    for (const auto& [needle, index] : finds)
        EXPECT_EQ(at(lum_memmem(hay.data(), hay.size(), needle.data(), needle.size())), index) << needle;
    EXPECT_EQ(lum_memmem(zeros.data(), 4, "\0y", 2), zeros.data() + 2);
    const std::tuple<char, size_t, long> lasts[] = {{'a', 8, 6}, {'c', 8, 5}, {'c', 5, 2}, {'a', 0, -1}, {'z', 8, -1}};
    for (const auto& [c, n, index] : lasts) EXPECT_EQ(at(lum_memrchr(hay.data(), c, n)), index) << c << n;
    const unsigned char high[] = {0xFF, 0x01, 0xFF, 0x02};
    EXPECT_EQ(lum_memrchr(high, 0xFF, 4), high + 2);
}

TEST(Platform, ThreadIdsAreTheSystemsAndDistinct) {
    EXPECT_EQ(lum_os_thread_id(), lum_test_os_thread_id());
    uint32_t other = 0;
    std::thread([&] { other = lum_os_thread_id(); }).join();
    EXPECT_NE(other, lum_os_thread_id());
    EXPECT_NE(other, 0u);
}

TEST(Platform, WakeAllWakesEveryWaiter) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<uint32_t> word{0};
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] {
                while (word.load() == 0) lum_wait_while_equal(word, 0);
                woken.fetch_add(1);
            });
        if (round % 2 == 0) std::this_thread::yield();
        word.store(1);
        lum_wake_all(word);
        for (std::thread& t : waiters) t.join();
        EXPECT_EQ(woken.load(), 3);
    }
    // A timed wait that nobody ends comes back by itself; a word that no
    // longer holds the value seen returns at once.
    std::atomic<uint32_t> word{5};
    const auto start = std::chrono::steady_clock::now();
    lum_wait_while_equal(word, 5, 30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    lum_wait_while_equal(word, 4);
}

// Per-thread objects: destroyed when their thread ends, in the reverse order
// of their creation, also when one is first used during another's teardown.
// Each appends its letter to `teardown_order`, or '!' when its heap text was
// already freed.
std::string teardown_order;
void touch_late();

template <char Letter>
struct per_thread_marker {
    std::string text = std::string(40, Letter);
    ~per_thread_marker() {
        teardown_order += text == std::string(40, Letter) ? Letter : '!';
        if (Letter == 's') touch_late();  // made during teardown: still torn down
    }
};
thread_local constinit lum_per_thread<per_thread_marker<'f'>> first_slot;
thread_local constinit lum_per_thread<per_thread_marker<'s'>> second_slot;
thread_local constinit lum_per_thread<per_thread_marker<'l'>> late_slot;
void touch_late() { late_slot.get(); }

TEST(Platform, PerThreadObjectsAreTornDownAtThreadExit) {
    teardown_order.clear();
    std::thread([&] {
        per_thread_marker<'f'>* first_seen = &first_slot.get();
        EXPECT_EQ(&first_slot.get(), first_seen);
        second_slot.get();
    }).join();
    EXPECT_EQ(teardown_order, "slf");
}

} // namespace
