#pragma once
// Running an assembled program on the stand-in host: a host VM, the
// program's root block as the root task, and the turn loop until no task is
// left or the timeout, if any, passes.

#include <chrono>
#include <cstdint>

#include "runtime/log.h"
#include "runtime/ptr.h"

class lum_program;

struct lum_run_options {
    uint32_t workers = 2;         // host worker threads (return_thread jobs)
    uint32_t max_call_depth = 0;  // 0: no limit
    std::chrono::milliseconds timeout{0};  // 0: none
    // Empty: the host logger on standard error, which flushes standard output
    // before each text.
    lumptr_strong<lum_log_base> logger;
};

struct lum_run_result {
    int exit_status = 1;          // 0: the root task finished without an unhandled run-time error
    bool finished = false;        // the root task finished
    bool unhandled_error = false; // an unhandled run-time error ended the root task
    bool timed_out = false;       // tasks were still scheduled or waiting when the timeout passed
};

// Runs `program` (its root block as the root task) on a new host VM with its
// own worker threads. Takes over the program handle: the program is released
// while the VM still exists (values it holds may come from the VM's pools),
// after the root task and every task left behind are finished or stopped.
lum_run_result lum_run_program(lumptr_strong<lum_program> program, const lum_run_options& options = {});
