// A thread cancelled inside a listener (at a cancellation point such as
// write) or ended by one (pthread_exit) unwinds through the logger: the
// process goes on, the dispatch gives back every listener use it held, and a
// removal waits for none of them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "host/host_log.h"
#include "runtime/log.h"
#include "tests/runtime/child_process.h"

namespace {

// Writes each text to /dev/null (write is a cancellation point).
class writing_listener : public lum_log_listener {
public:
    writing_listener() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~writing_listener() override { ::close(fd_); }
    void on_error(const std::string& text) override {
        if (::write(fd_, text.data(), text.size()) < 0) failed = true;
    }
    bool failed = false;

private:
    int fd_;
};

// Ends its thread on the text "end".
class ending_listener : public lum_log_listener {
public:
    void on_error(const std::string& text) override {
        if (text == "end") ::pthread_exit(nullptr);
    }
};

class counting_listener : public lum_log_listener {
public:
    void on_error(const std::string&) override { calls.fetch_add(1); }
    std::atomic<int> calls{0};
};

void* log_until_cancelled(void* log) {
    for (;;) static_cast<lum_log_base*>(log)->error("x");
    return nullptr;
}

void* log_end(void* log) {
    static_cast<lum_log_base*>(log)->error("end");
    return log;  // not reached
}

// 0 when no listener is counted as in use and both can be removed; run in a
// child, where a removal that waits for good shows as a time-out.
int uses_given_back(lum_log_base& log, const std::shared_ptr<lum_log_listener_record>& first,
                    const std::shared_ptr<lum_log_listener_record>& second) {
    if (first->uses.load() != 0 || second->uses.load() != 0) return 3;
    lum_host_remove_listener(log, first);
    lum_host_remove_listener(log, second);
    return lum_log_dispatch_list().empty() ? 0 : 4;
}

}  // namespace

TEST(LogUnwind, AThreadCancelledInsideAListenersWriteGivesItsUsesBack) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a cancelled thread's unwinding";
#endif
    for (const bool default_log : {true, false}) {
        const int status = in_child(
            [default_log] {
                lum_log_base own;
                lum_log_base& log = default_log ? *lum_make_default_log() : own;
                writing_listener writer;
                counting_listener after;
                auto first = lum_host_add_listener(log, &writer);
                auto second = lum_host_add_listener(log, &after);
                if (const int failed = cancel_rounds(100, log_until_cancelled, &log); failed != 0) return failed;
                return uses_given_back(log, first, second);
            },
            60);
        EXPECT_EQ(status, 0) << (default_log ? "the default logger" : "a logger of the host's");
    }
}

TEST(LogUnwind, AListenerThatEndsItsThreadGivesItsUsesBack) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a thread's unwinding at pthread_exit";
#endif
    const int status = in_child(
        [] {
            lum_log_base& log = *lum_make_default_log();
            ending_listener ender;
            counting_listener after;
            auto first = lum_host_add_listener(log, &ender);
            auto second = lum_host_add_listener(log, &after);
            for (int i = 0; i < 20; ++i) {
                pthread_t thread;
                if (::pthread_create(&thread, nullptr, log_end, &log) != 0) return 2;
                void* result = &log;
                ::pthread_join(thread, &result);
                if (result != nullptr) return 5;
            }
            if (after.calls.load() != 0) return 6;  // the thread ended before the second listener's turn
            log.error("still logs");
            if (after.calls.load() != 1) return 7;
            return uses_given_back(log, first, second);
        },
        60);
    EXPECT_EQ(status, 0);
}
