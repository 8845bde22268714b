// The platform side of lumk_platform_run: starting a command in a process
// group (job) of its own, waiting for its output or its end, killing it and
// releasing it. The run itself (time limit, stop condition, output grace, the
// end state) and the table of runs are common to both platforms
// (native_run.cpp).
#pragma once

#include <chrono>
#include <string>

#include "kernel/exec/native_platform.h"

// A started command; each platform file defines it.
struct lumk_process;

// What the run knows of a started command.
struct lumk_process_state {
    bool output_open = true;  // its output may still bring data
    bool ended = false;       // the command processor has ended; `status` is its exit status
    int status = -1;          // -1 when it did not end normally
    bool lost = false;        // nothing more can be learnt: its end will never be known
};

// Starts `command` as lumk_platform_run describes, with a compile's `files`
// (may be null; on Linux their keeper is told its process group); its output goes to `sink` (which outlives the
// process) while the run waits. Null when it could not be started; the reason
// may then be fed to `sink` (on Windows: a program not found, or the system's
// text), so that the run's output says why.
lumk_process* lumk_process_start(const std::string& command, lumk_output_collector* sink,
                                 lumk_compile_files* files);

// Waits at most `wait` for output or for the command's end, and updates
// `state`. Returns early on either.
void lumk_process_wait(lumk_process* p, std::chrono::milliseconds wait, lumk_process_state* state);

// Kills the command with every process it started, at once, whether or not
// the run has heard from it. Never waits. Any thread may call it while the
// run is in the table of runs.
void lumk_process_kill(lumk_process* p);

// After the run: ends whatever the command left running in its group (job),
// collects the process it started (waiting a bounded time), closes what the
// run held and frees `p`.
void lumk_process_release(lumk_process* p);

// In a copy fork() made during the run: frees `p` and nothing else (what it
// names is the parent's).
void lumk_process_abandon(lumk_process* p);
