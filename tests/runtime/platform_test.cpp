// The operating-system layer: number parsing in the "C" locale, byte
// searches, thread ids, sleeping on a word, and per-thread objects torn down
// at thread exit.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/per_thread.h"
#include "runtime/platform.h"
#include "tests/platform/test_platform.h"

namespace {

struct parse_case {
    const char* text;
    double value;
    size_t used; // bytes taken
};

TEST(Platform, StrtodInTheCLocale) {
    const double inf = std::numeric_limits<double>::infinity();
    const double min_denormal = std::numeric_limits<double>::denorm_min();
    const parse_case cases[] = {
        {"  3.5xyz", 3.5, 5},        {"\t\n\v\f\r 7", 7.0, 7},    {"+.5", 0.5, 3},
        {"-1e3", -1000.0, 4},        {"1e", 1.0, 1},              {"1e+", 1.0, 1},
        {"2,5", 2.0, 1},             {"123.", 123.0, 4},          {"0x1p3", 8.0, 5},
        {"0X1.8P+1", 3.0, 8},        {"0x10", 16.0, 4},           {"0x", 0.0, 1},
        {"-0x.8", -0.5, 5},          {"inf", inf, 3},             {"-INFINITY", -inf, 9},
        {"infinit", inf, 3},         {"1e400", inf, 5},           {"-0x1p1024", -inf, 9},
        {"1e-400", 0.0, 6},          {"0x1p-1080", 0.0, 9},       {"4.9406564584124654e-324", min_denormal, 23},
        {"0.1", 0.1, 3},             {"9007199254740993", 9007199254740992.0, 16},
        {"1.7976931348623159e308", inf, 22},
    };
    for (const parse_case& c : cases) {
        char* end = nullptr;
        const double v = lum_strtod_c(c.text, &end);
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.used) << c.text;
    }
    for (const char* text : {"nan", "NAN(", "nan(abc_1)x", "-nan"}) {
        EXPECT_TRUE(std::isnan(lum_strtod_c(text, nullptr))) << text;
    }
    for (const char* text : {"", " ", "-", "+-1", "--2", ".", "e5", "-.e1", "x"}) {
        char* end = nullptr;
        const double v = lum_strtod_c(text, &end);
        EXPECT_EQ(v, 0.0) << text;
        EXPECT_FALSE(std::signbit(v)) << text;
        EXPECT_EQ(end, text) << text;
    }
    if (lum_test_use_decimal_comma_locale()) {
        EXPECT_EQ(lum_strtod_c("2.5", nullptr), 2.5);
        EXPECT_EQ(lum_strtod_c("2,5", nullptr), 2.0);
    }
    lum_test_restore_c_numeric_locale();
}

TEST(Platform, ByteSearches) {
    const std::string hay = "abcabcab";
    auto find = [&](const std::string& needle) -> long {
        const void* p = lum_memmem(hay.data(), hay.size(), needle.data(), needle.size());
        return p == nullptr ? -1 : static_cast<const char*>(p) - hay.data();
    };
    EXPECT_EQ(find("abc"), 0);
    EXPECT_EQ(find("cab"), 2);
    EXPECT_EQ(find("bcab"), 1);
    EXPECT_EQ(find("cabx"), -1);
    EXPECT_EQ(find("abcabcabc"), -1); // longer than the haystack
    EXPECT_EQ(find(""), 0);
    EXPECT_EQ(find(std::string("ab\0", 3)), -1);
    const std::string zeros("x\0\0y", 4);
    EXPECT_EQ(lum_memmem(zeros.data(), 4, "\0y", 2), zeros.data() + 2);

    auto last = [&](char c, size_t n) -> long {
        const void* p = lum_memrchr(hay.data(), c, n);
        return p == nullptr ? -1 : static_cast<const char*>(p) - hay.data();
    };
    EXPECT_EQ(last('a', hay.size()), 6);
    EXPECT_EQ(last('c', hay.size()), 5);
    EXPECT_EQ(last('c', 5), 2);
    EXPECT_EQ(last('a', 0), -1);
    EXPECT_EQ(last('z', hay.size()), -1);
    const unsigned char high[] = {0xFF, 0x01, 0xFF, 0x02};
    EXPECT_EQ(lum_memrchr(high, 0xFF, 4), high + 2);
}

TEST(Platform, ThreadIdsAreNonZeroAndDistinct) {
    std::set<uint32_t> ids = {lum_os_thread_id()};
    EXPECT_EQ(lum_os_thread_id(), lum_test_os_thread_id());
    std::vector<std::thread> threads;
    std::vector<uint32_t> seen(4);
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = lum_os_thread_id(); });
    for (std::thread& t : threads) t.join();
    ids.insert(seen.begin(), seen.end());
    EXPECT_EQ(ids.size(), 5u);
    EXPECT_EQ(ids.count(0), 0u);
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
}

// Per-thread objects: destroyed when their thread ends, in the reverse order
// of their creation, also when one is first used during another's teardown.
std::atomic<int> destroyed_count{0};
std::vector<std::string>* teardown_order = nullptr;
std::atomic<bool> teardown_corrupt{false};

struct late_object {
    std::string name = std::string(40, 'l'); // heap text: freed storage would show
    ~late_object() {
        if (name != std::string(40, 'l')) teardown_corrupt = true;
        teardown_order->push_back("late");
        destroyed_count.fetch_add(1);
    }
};
thread_local constinit lum_per_thread<late_object> late_slot;

struct first_object {
    std::vector<std::string> texts{std::string(40, 'f')};
    ~first_object() {
        if (texts.size() != 1 || texts[0] != std::string(40, 'f')) teardown_corrupt = true;
        teardown_order->push_back("first");
        destroyed_count.fetch_add(1);
    }
};
struct second_object {
    std::string text = std::string(40, 's');
    ~second_object() {
        if (text != std::string(40, 's')) teardown_corrupt = true;
        teardown_order->push_back("second");
        late_slot.get(); // made during teardown: still torn down
        destroyed_count.fetch_add(1);
    }
};
thread_local constinit lum_per_thread<first_object> first_slot;
thread_local constinit lum_per_thread<second_object> second_slot;

TEST(Platform, PerThreadObjectsAreTornDownAtThreadExit) {
    std::vector<std::string> order;
    teardown_order = &order;
    destroyed_count = 0;
    std::thread([&] {
        first_object* first_seen = &first_slot.get();
        EXPECT_EQ(&first_slot.get(), first_seen);
        second_slot.get().text += "";
    }).join();
    EXPECT_EQ(destroyed_count.load(), 3);
    EXPECT_EQ(order, (std::vector<std::string>{"second", "late", "first"}));
    EXPECT_FALSE(teardown_corrupt.load());
    teardown_order = nullptr;
}

} // namespace
