// Destructors that log hold a thread's cancellation off: a listener that
// writes (a cancellation point) while the host cancels the thread must not
// unwind out of a destructor, which would end the process in std::terminate.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/host_log.h"
#include "runtime/log.h"
#include "tests/runtime/child_process.h"
#include "vm/class.h"
#include "vm/program_block.h"
#include "vm/task.h"
#include "vm/thread_group.h"

namespace {

// Writes each text to /dev/null.
class writing_listener : public lum_log_listener {
public:
    writing_listener() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~writing_listener() override { ::close(fd_); }
    void on_notice(const std::string& text) override { (void)!::write(fd_, text.data(), text.size()); }
    void on_error(const std::string& text) override { (void)!::write(fd_, text.data(), text.size()); }

private:
    int fd_;
};

// Make and destroy objects whose destructors log a notice, until cancelled;
// each thread's own cancellation point is outside the destructor.
void* destroy_threads_until_cancelled(void*) {
    for (;;) {
        delete new lum_std_thread();
        ::pthread_testcancel();
    }
    return nullptr;
}

void* destroy_tasks_until_cancelled(void*) {
    for (;;) {
        delete new lum_task();
        ::pthread_testcancel();
    }
    return nullptr;
}

void* destroy_instances_until_cancelled(void*) {
    for (;;) {
        std::vector<lumvar_shared> members;
        delete new lum_class(lumptr_weak<lum_class_def>(), members);  // logs "Invalid class definition." too
        ::pthread_testcancel();
    }
    return nullptr;
}

}  // namespace

TEST(CancelInDestructor, AThreadCancelledWhileADestructorLogsGoesOnToItsOwnCancellationPoint) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a cancelled thread's unwinding";
#endif
    const struct {
        const char* what;
        void* (*destroy)(void*);
    } kinds[] = {{"std.thread", destroy_threads_until_cancelled},
                 {"task", destroy_tasks_until_cancelled},
                 {"class instance", destroy_instances_until_cancelled}};
    for (const auto& kind : kinds) {
        const int status = in_child(
            [&kind] {
                lum_log_base& log = *lum_make_default_log();
                log.level_mask.store(LUM_LOG_DEFAULT_MASK | LUM_LOG_NOTICE);
                writing_listener writer;
                auto record = lum_host_add_listener(log, &writer);
                if (const int failed = cancel_rounds(100, kind.destroy, nullptr); failed != 0) return failed;
                lum_host_remove_listener(log, record);
                return record->uses.load() == 0 ? 0 : 4;
            },
            60);
        EXPECT_EQ(status, 0) << kind.what;
    }
}
