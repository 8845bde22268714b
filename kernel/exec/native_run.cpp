// Running a command with a time limit and a stop condition, the same on every
// platform: the table of runs that the module's shutdown stops, and the run
// loop (deadline, stop poll, output grace, kill, how the run ended). Starting,
// waiting for and killing the command are the platform's (native_run.h).
#include "kernel/exec/native_run.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/exec/process_local.h"

namespace {

// A run in progress.
struct running_command {
    lumk_process* process = nullptr;
    std::atomic<bool> stopped{false};  // killed by lumk_platform_stop_commands
};

// The runs this process has going: a run registers itself while its command
// lives, and stopping the commands (at the module's shutdown) kills each and
// waits for the runs to leave.
struct command_table {
    std::mutex mutex;
    std::condition_variable changed;  // a run left the table
    bool stopping = false;            // no new run starts
    std::vector<running_command*> running;
};

// This process's table (a forked copy starts with no run). Never destroyed: a
// run may still end on a worker thread while the process exits.
constinit lumk_process_local<command_table> table_of_runs;

command_table& commands() { return table_of_runs.get(); }

int wait_ms(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, lumk_stop_poll.count()));
}

}  // namespace

int lumk_platform_run(const std::string& command, std::string* output, uint32_t timeout_seconds, lumk_run_end* end,
                      const std::function<bool()>& stop, lumk_compile_files* files) {
    if (output) output->clear();
    if (end) *end = lumk_run_end::not_run;
    // `stop` may fork: the copy is not this run's process, and gives it up.
    const uint32_t generation = lumk_process_generation();
    const auto copied = [&] { return lumk_process_generation() != generation; };
    // A caller that is stopping already starts nothing.
    if (stop && stop()) {
        if (end) *end = copied() ? lumk_run_end::copied : lumk_run_end::stopped;
        return -1;
    }
    if (copied()) {
        if (end) *end = lumk_run_end::copied;
        return -1;
    }
    lumk_output_collector collect(output);
    command_table& table = commands();
    running_command self;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.stopping) {
            if (end) *end = lumk_run_end::stopped;
            return -1;
        }
        // Started under the lock: the shutdown either refuses the run above or
        // finds it in the table.
        self.process = lumk_process_start(command, &collect, files);
        if (self.process == nullptr) return -1;
        table.running.push_back(&self);
    }
    // A thread that unwinds out of the run (cancelled in a wait, ended by
    // pthread_exit in `stop`, or an exception of `stop`) leaves nothing
    // behind: the run leaves the table (its record lives in this frame), and
    // its command's group, slot, descriptors and waiter go as after any run.
    // In a copy that `stop` forked the run is the parent's: it is only given
    // up.
    struct leave_on_unwind {
        command_table& table;
        running_command& self;
        const uint32_t generation;
        bool armed = true;
        ~leave_on_unwind() {
            if (!armed) return;
            if (lumk_process_generation() != generation) {
                lumk_process_abandon(self.process);
                return;
            }
            {
                std::lock_guard<std::mutex> lock(table.mutex);
                lumk_process_kill(self.process);
                table.running.erase(std::find(table.running.begin(), table.running.end(), &self));
            }
            table.changed.notify_all();
            lumk_process_release(self.process);
        }
    } unwinding{table, self, generation};

    // The deadline and the stop are never held up by the command or by the
    // processes that watch it: each wait lasts at most one stop-poll interval,
    // and a command to be ended is killed at once.
    using clock = std::chrono::steady_clock;
    const bool limited = timeout_seconds != 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(timeout_seconds);
    lumk_process_state state;
    bool timed_out = false, stop_now = false, in_copy = false;
    clock::time_point quiet_at{};  // once the command has ended: when reading its output stops
    clock::time_point next_ask = clock::now() + lumk_stop_poll;
    for (;;) {
        const clock::time_point now = clock::now();
        if (state.ended && (!state.output_open || now >= quiet_at)) break;
        if (state.lost) break;
        if (self.stopped.load(std::memory_order_acquire)) {
            stop_now = true;
            break;
        }
        if (stop && now >= next_ask) {
            next_ask = now + lumk_stop_poll;
            const bool said_stop = stop();
            // The copy's atfork handler closed the run's descriptors (their
            // numbers may be another's by now), the command's group and its
            // files are the parent's, and the table of runs is a fresh one.
            if (copied()) {
                in_copy = true;
                break;
            }
            if (said_stop) {
                stop_now = true;
                break;
            }
        }
        if (limited && now >= deadline) {
            timed_out = true;
            break;
        }
        clock::duration wait = lumk_stop_poll;
        if (limited) wait = std::min<clock::duration>(wait, deadline - now);
        if (state.ended) wait = std::min<clock::duration>(wait, quiet_at - now);
        if (stop) wait = std::min<clock::duration>(wait, next_ask - now);
        const bool was_ended = state.ended;
        lumk_process_wait(self.process, std::chrono::milliseconds(wait_ms(wait)), &state);
        if (state.ended && !was_ended) quiet_at = clock::now() + lumk_output_grace;
    }
    unwinding.armed = false;
    if (in_copy) {
        lumk_process_abandon(self.process);
        if (end) *end = lumk_run_end::copied;
        return -1;
    }
    // Killed by the shutdown before it ended by itself.
    if (!state.ended && self.stopped.load(std::memory_order_acquire)) stop_now = true;

    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (timed_out || stop_now) lumk_process_kill(self.process);
        table.running.erase(std::find(table.running.begin(), table.running.end(), &self));
    }
    table.changed.notify_all();
    // Also ends what the command left behind once its output grace is over.
    lumk_process_release(self.process);
    collect.finish();

    if (end)
        *end = timed_out ? lumk_run_end::timed_out : stop_now ? lumk_run_end::stopped : lumk_run_end::exited;
    if (timed_out || stop_now || !state.ended) return -1;
    return state.status;
}

void lumk_platform_stop_commands() {
    // At the process's exit another thread may have died holding the lock:
    // try for a while, then kill what is recorded without it.
    command_table& table = commands();
    std::unique_lock<std::mutex> lock(table.mutex, std::defer_lock);
    for (int i = 0; i < 200 && !lock.try_lock(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!lock.owns_lock()) {
        lumk_platform_kill_commands_now();
        return;
    }
    table.stopping = true;
    for (running_command* r : table.running) {
        r->stopped.store(true, std::memory_order_release);
        lumk_process_kill(r->process);
    }
    table.changed.wait_for(lock, std::chrono::seconds(2), [&] { return table.running.empty(); });
}
