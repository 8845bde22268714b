// Logger: level masks, hooks, number formats, listeners (called outside the
// lock, nested logging, removal while a call runs), the current-logger lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "host/host_log.h"
#include "host/host_vm.h"
#include "runtime/log.h"
#include "tests/runtime/base_test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using texts_t = std::vector<std::string>;

class recording_listener : public lum_log_listener {
public:
    void on_warning(const std::string& t) override { add("W:" + t); }
    void on_error(const std::string& t) override { add("E:" + t); }
    void on_notice(const std::string& t) override { add("N:" + t); }
    void on_registration(const std::string& t) override { add("R:" + t); }
    texts_t seen() {
        std::lock_guard<std::mutex> lock(m);
        return texts;
    }
    void add(const std::string& t) {
        std::lock_guard<std::mutex> lock(m);
        texts.push_back(t);
    }
    std::mutex m;
    texts_t texts;
};

TEST(Log, MasksLevelsHooksListenersAndFormats) {
    recording_log log;
    recording_listener listener;
    auto record = lum_host_add_listener(log, &listener);
    auto write_all = [&] {
        log.warning("w");
        log.error("e");
        log.error_cstr("c");
        log.notice("n");
        lum_log_class_added(log, "std.x");
        lum_log_member_added(log, "size");
        lum_log_missing_create_new(log, "std.x");
        log.error_without_ast("src");
    };
    EXPECT_EQ(log.level_mask.load(), 39u);  // the default passes warnings and errors only
    write_all();
    const std::string ast = "While handling an error, a token without AST was passed.\nsrc";
    EXPECT_EQ(log.texts(), (texts_t{"w", "e", "c", ast}));
    EXPECT_EQ(listener.seen(), (texts_t{"W:w", "E:e", "E:c", "E:" + ast}));
    log.level_mask = 39 | 8 | 16;
    log.clear();
    write_all();
    const std::string missing = "internal type 'std.x' does not implement a 'create_new' function.\n";
    EXPECT_EQ(log.texts(), (texts_t{"w", "e", "c", "n", "class: std.x", " - size", missing, ast}));
    const uint32_t levels[] = {LUM_LOG_WARNING, LUM_LOG_ERROR, LUM_LOG_ERROR, LUM_LOG_NOTICE,
                               LUM_LOG_NOTICE, LUM_LOG_NOTICE, LUM_LOG_REGISTRATION, LUM_LOG_ERROR};
    for (size_t i = 0; i < std::size(levels); ++i) EXPECT_EQ(log.entries()[i].level, levels[i]) << i;
    EXPECT_EQ(listener.seen().back(), "E:" + ast);
    EXPECT_EQ(listener.seen().at(10), "R:" + missing);
    lum_host_remove_listener(log, record);

    log.clear();
    log.error("a", 12, ' ', -3, " ", 2.5, " ", true, " ", uint8_t{7}, " ", std::string("s"), std::string_view("v"));
    log.error(static_cast<const void*>(nullptr), " ", reinterpret_cast<void*>(uintptr_t{0xabc}), " ", INT64_MIN, " ",
              UINT64_MAX, " ", -0.5, " ", false);
    EXPECT_EQ(log.texts(), (texts_t{"a12 -3 2.500000 true 7 sv",
                                    "0x0 0xabc -9223372036854775808 18446744073709551615 -0.500000 false"}));
}

TEST(Log, ListenerThatLogsInsideItsCallGetsItsOwnMessageAndMayRemoveItself) {
    recording_log log;
    struct echo : recording_listener {
        lum_log_base* target = nullptr;
        int depth = 0;
        void on_warning(const std::string& t) override {
            add(t);
            if (depth++ == 0) target->warning("nested:", t);  // same level, from inside the call
            --depth;
        }
        std::shared_ptr<lum_log_listener_record> record;
        void on_error(const std::string& t) override {
            add(t);
            lum_host_remove_listener(*target, record);
        }
    } listener;
    listener.target = &log;
    listener.record = lum_host_add_listener(log, &listener);
    log.warning("outer");
    EXPECT_EQ(listener.seen(), (texts_t{"outer", "nested:outer"}));
    EXPECT_EQ(listener.record->uses.load(), 0u);
    EXPECT_TRUE(lum_log_dispatch_list().empty());
    log.error("once");
    log.error("twice");
    log.warning("gone");
    EXPECT_EQ(listener.seen(), (texts_t{"outer", "nested:outer", "once"}));
}

// Listeners that log again from inside their calls, deeper than the records
// a thread keeps in place: every record stays on the thread's list while its
// call runs, a removal from the deepest call waits only for other threads'
// calls, and the list is empty again once the outermost dispatch ends.
TEST(Log, NestedDispatchesDeeperThanTheKeptRecordsStayListedAndEmptyTheList) {
    lum_log_base log;
    constexpr int kListeners = 3;
    constexpr int kDepth = 9; // 27 records on the list at the deepest call
    struct relogging : lum_log_listener {
        lum_log_base* log = nullptr;
        std::shared_ptr<lum_log_listener_record> record;
        bool first = false;  // the one that logs again
        bool removes = false; // the one removed at the deepest call
        int depth = 0;
        size_t listed_at_deepest = 0;
        uint32_t own_at_deepest = 0;
        std::vector<int> seen;
        void on_error(const std::string& text) override {
            seen.push_back(static_cast<int>(text.size()));
            if (!first) return;
            if (++depth < kDepth) {
                log->error(text + "x");
            } else {
                const auto listed = lum_log_dispatch_list();
                listed_at_deepest = listed.size();
                own_at_deepest = static_cast<uint32_t>(std::count(listed.begin(), listed.end(), removed->record.get()));
                lum_host_remove_listener(*log, removed->record);
            }
            --depth;
        }
        relogging* removed = nullptr;
    } listeners[kListeners];
    for (relogging& l : listeners) {
        l.log = &log;
        l.record = lum_host_add_listener(log, &l);
        l.removed = &listeners[kListeners - 1];
    }
    listeners[0].first = true;
    log.error("x");
    EXPECT_EQ(listeners[0].listed_at_deepest, size_t{kListeners * kDepth});
    EXPECT_EQ(listeners[0].own_at_deepest, uint32_t{kDepth});
    EXPECT_TRUE(lum_log_dispatch_list().empty());
    for (const relogging& l : listeners) EXPECT_EQ(l.record->uses.load(), 0u);
    // The removed listener saw no message after its removal: the calls still
    // listed for it, deeper in the stack, were skipped.
    EXPECT_EQ(listeners[2].seen.size(), 0u);
    EXPECT_EQ(listeners[1].seen.size(), size_t{kDepth});
    log.error("y");
    EXPECT_EQ(listeners[1].seen.size(), size_t{2 * kDepth});
    EXPECT_EQ(listeners[2].seen.size(), 0u);
    for (int i = 0; i < 2; ++i) lum_host_remove_listener(log, listeners[i].record);
}

TEST(Log, RemovalWaitsForRunningCallsAndRemovedListenersAreSkipped) {
    recording_log log;
    std::promise<void> first_entered, release_first;
    struct blocking : recording_listener {
        std::promise<void>* entered;
        std::shared_future<void> go;
        void on_warning(const std::string& t) override {
            add(t);
            entered->set_value();
            go.wait();
        }
    } first;
    first.entered = &first_entered;
    first.go = release_first.get_future().share();
    recording_listener second;
    auto first_record = lum_host_add_listener(log, &first);
    auto second_record = lum_host_add_listener(log, &second);
    std::thread logger([&] { log.warning("x"); });
    first_entered.get_future().wait();
    // The dispatch copied both records; the second is counted while the first runs.
    EXPECT_EQ(second_record->uses.load(), 1u);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        lum_host_remove_listener(log, second_record);
        removed = true;
    });
    while (second_record->removed.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removed.load());  // waits for the dispatch that counts the record
    release_first.set_value();
    logger.join();
    remover.join();
    EXPECT_TRUE(second.seen().empty());  // removed before its turn: skipped
    EXPECT_EQ(second_record->uses.load(), 0u);
    lum_host_remove_listener(log, first_record);
}

TEST(Log, ManyThreadsLogWhileListenersComeAndGo) {
    lum_log_base log;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i)
        writers.emplace_back([&] {
            while (!stop) log.error("e");
        });
    for (int i = 0; i < 50; ++i) {
        recording_listener l;
        auto r = lum_host_add_listener(log, &l);
        std::this_thread::yield();
        lum_host_remove_listener(log, r);  // after this, l may die: no call may still run
    }
    stop = true;
    for (auto& t : writers) t.join();
}

// The current logger is the thread's, then its VM's, then the process
// default, which is immortal on purpose: the leak checker must see it as live.
TEST(Log, CurrentLoggerIsThreadsThenVmsThenDefault) {
    lum_log_base* default_log = lum_make_default_log();
    ASSERT_EQ(default_log, lum_make_default_log());
    EXPECT_EQ(&lum_get_log(), default_log);
    EXPECT_EQ(default_log->level_mask.load(), 39u);
    lum_log_base* other_thread = nullptr;
    std::thread([&] { other_thread = &lum_get_log(); }).join();
    EXPECT_EQ(other_thread, default_log);
    {
        lum_host_vm host;
        EXPECT_EQ(&lum_get_log(), host.vm().logger.get());
        {
            thread_log_scope own;
            EXPECT_EQ(&lum_get_log(), &own.log());
        }
        EXPECT_EQ(&lum_get_log(), host.vm().logger.get());
    }
    EXPECT_EQ(&lum_get_log(), default_log);
    { lumptr_strong<lum_log_base> h(default_log); }  // handles come and go: it never dies
    default_log->warning("still here");
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

} // namespace
