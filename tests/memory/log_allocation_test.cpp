// The logger's dispatch and memory: a message to listeners allocates nothing
// on the logging thread (an allocation would wait while another thread
// forks), and when nested dispatches need more room than the thread keeps in
// place and none can be had, the listeners miss that message: nothing is
// thrown at the code that logged, and every use is given back. The same
// holds when more listeners than are copied in place cannot be copied.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "host/host_log.h"
#include "runtime/log.h"
#include "tests/memory/allocation_hooks.h"

namespace {

// Logs again from inside its call until `depth` calls are nested.
class nesting_listener : public lum_log_listener {
public:
    explicit nesting_listener(lum_log_base& log) : log_(log) {}
    void on_error(const std::string& text) override {
        calls.fetch_add(1, std::memory_order_relaxed);
        if (++nested_ < depth) log_.error(text);
        --nested_;
    }
    int depth = 1;
    std::atomic<int> calls{0};

private:
    lum_log_base& log_;
    int nested_ = 0;
};

TEST(LogMemory, AMessageToListenersAllocatesNothing) {
    lum_log_base log;
    // Four listeners (the most a dispatch copies in place), the first logging
    // again until 4 dispatches are nested: 16 records listed at the deepest
    // call, all in the thread's own storage.
    std::vector<std::unique_ptr<nesting_listener>> listeners;
    std::vector<std::shared_ptr<lum_log_listener_record>> records;
    for (int i = 0; i < 4; ++i) {
        listeners.push_back(std::make_unique<nesting_listener>(log));
        records.push_back(lum_host_add_listener(log, listeners.back().get()));
    }
    listeners[0]->depth = 4;
    const auto calls = [&] {
        int n = 0;
        for (const auto& l : listeners) n += l->calls.load();
        return n;
    };
    log.error("warm");
    const int calls_before = calls();
    lum_counting_allocations count;
    log.error("short text");
    log.warning("warning"); // a level no listener takes: still dispatched
    EXPECT_EQ(count.stop(), 0u);
    EXPECT_EQ(calls() - calls_before, 16);
    for (const auto& r : records) lum_host_remove_listener(log, r);
}

TEST(LogMemory, NestedListenersThatCannotBeListedMissTheMessageAndGiveTheirUsesBack) {
    lum_log_base log;
    nesting_listener listeners[2] = {nesting_listener(log), nesting_listener(log)};
    listeners[0].depth = 20; // 40 records: more than a thread keeps in place
    std::vector<std::shared_ptr<lum_log_listener_record>> records;
    for (nesting_listener& l : listeners) records.push_back(lum_host_add_listener(log, &l));

    // Fail each allocation in turn: the room for the list is the only one
    // the dispatch makes, so each failure cuts the nesting where the list
    // could not grow, and the outer calls still run.
    bool failed_once = false;
    for (long long n = 0; n < 8; ++n) {
        for (nesting_listener& l : listeners) l.calls = 0;
        {
            lum_failing_allocation fail(n);
            EXPECT_NO_THROW(log.error("m"));
            failed_once |= lum_failing_allocation::fired();
        }
        EXPECT_TRUE(lum_log_dispatch_list().empty()) << n;
        for (const auto& r : records) EXPECT_EQ(r->uses.load(), 0u) << n;
        EXPECT_GE(listeners[0].calls.load(), 8) << n; // the calls kept in place always run
    }
    EXPECT_TRUE(failed_once);

    for (nesting_listener& l : listeners) l.calls = 0;
    log.error("m");
    EXPECT_EQ(listeners[0].calls.load(), 20);
    EXPECT_EQ(listeners[1].calls.load(), 20);
    for (const auto& r : records) lum_host_remove_listener(log, r);
}

// More listeners than a dispatch copies in place: when their copy cannot be
// made, none is called and none is counted, and the next message reaches all.
TEST(LogMemory, ListenersThatCannotBeCopiedMissTheMessage) {
    lum_log_base log;
    std::vector<std::unique_ptr<nesting_listener>> listeners;
    std::vector<std::shared_ptr<lum_log_listener_record>> records;
    for (int i = 0; i < 5; ++i) {
        listeners.push_back(std::make_unique<nesting_listener>(log));
        records.push_back(lum_host_add_listener(log, listeners.back().get()));
    }
    {
        lum_failing_allocation fail(0);
        EXPECT_NO_THROW(log.error("m"));
        EXPECT_TRUE(lum_failing_allocation::fired());
    }
    for (size_t i = 0; i < listeners.size(); ++i) {
        EXPECT_EQ(listeners[i]->calls.load(), 0) << i;
        EXPECT_EQ(records[i]->uses.load(), 0u) << i;
    }
    log.error("m");
    for (const auto& l : listeners) EXPECT_EQ(l->calls.load(), 1);
    for (const auto& r : records) lum_host_remove_listener(log, r);
}

} // namespace
