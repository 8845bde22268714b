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

// `n` listeners of one logger, removed at the end of the test.
struct listener_set {
    listener_set(lum_log_base& log, int n) : log_(log) {
        for (int i = 0; i < n; ++i) {
            listeners.push_back(std::make_unique<nesting_listener>(log));
            records.push_back(lum_host_add_listener(log, listeners.back().get()));
        }
    }
    ~listener_set() {
        for (const auto& r : records) lum_host_remove_listener(log_, r);
    }
    int calls() const {
        int n = 0;
        for (const auto& l : listeners) n += l->calls.load();
        return n;
    }
    std::vector<std::unique_ptr<nesting_listener>> listeners;
    std::vector<std::shared_ptr<lum_log_listener_record>> records;

private:
    lum_log_base& log_;
};

TEST(LogMemory, AMessageToListenersAllocatesNothing) {
    lum_log_base log;
    // Four listeners (the most a dispatch copies in place), the first logging
    // again until 4 dispatches are nested: 16 records listed at the deepest
    // call, all in the thread's own storage.
    listener_set set(log, 4);
    set.listeners[0]->depth = 4;
    log.error("warm");
    const int calls_before = set.calls();
    lum_counting_allocations count;
    log.error("short text");
    log.warning("warning"); // a level no listener takes: still dispatched
    EXPECT_EQ(count.stop(), 0u);
    EXPECT_EQ(set.calls() - calls_before, 16);
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
    listener_set set(log, 5);
    {
        lum_failing_allocation fail(0);
        EXPECT_NO_THROW(log.error("m"));
        EXPECT_TRUE(lum_failing_allocation::fired());
    }
    EXPECT_EQ(set.calls(), 0);
    for (const auto& r : set.records) EXPECT_EQ(r->uses.load(), 0u);
    log.error("m");
    for (const auto& l : set.listeners) EXPECT_EQ(l->calls.load(), 1);
}

} // namespace
