// A thread that ends or is cancelled inside a listener of the warning that
// printing a self-referencing json gives unwinds through the printer: the
// process goes on, the listener's use is given back, and printing still works.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "host/host_log.h"
#include "runtime/log.h"
#include "tests/runtime/child_process.h"
#include "tests/types/types_test_support.h"

namespace j1test {
namespace {

// Ends its thread on every warning.
class ending_listener : public lum_log_listener {
public:
    void on_warning(const std::string&) override { ::pthread_exit(nullptr); }
};

struct print_job {
    lum_std_json* container;
    std::string& (*print)(lum_std_json*, std::string&, bool);
};

void* print_in_thread(void* arg) {
    auto* job = static_cast<print_job*>(arg);
    std::string out;
    job->print(job->container, out, true);
    return arg; // not reached: the warning's listener ends the thread
}

using JsonUnwind = json_test;

TEST_F(JsonUnwind, AListenerThatEndsThePrintingThreadPassesThroughThePrinter) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a thread's unwinding at pthread_exit";
#endif
    auto [value, container] = fresh_json();
    container->push_keyed(lumvar_shared(value), "me");  // the json holds itself
    const struct {
        const char* what;
        std::string& (*print)(lum_std_json*, std::string&, bool);
    } printers[] = {{"json_to_text", json_to_text}, {"json_debug_refs", json_debug_refs}};
    for (const auto& printer : printers) {
        const int status = in_child(
            [&] {
                lum_log_base& log = *lum_make_default_log();
                ending_listener ender;
                auto record = lum_host_add_listener(log, &ender);
                print_job job{container, printer.print};
                pthread_t thread;
                if (::pthread_create(&thread, nullptr, print_in_thread, &job) != 0) return 2;
                void* result = &job;
                ::pthread_join(thread, &result);
                if (result != nullptr) return 3;
                lum_host_remove_listener(log, record);
                if (record->uses.load() != 0) return 4;
                std::string out;
                if (printer.print(container, out, true).empty()) return 5; // printing on this thread still works
                return 0;
            },
            60);
        EXPECT_EQ(status, 0) << printer.what;
    }
    container->entries.clear();  // break the cycle
}

}  // namespace
}  // namespace j1test
