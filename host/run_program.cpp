#include "host/run_program.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "host/host_log.h"
#include "host/host_vm.h"
#include "host/turn.h"
#include "runtime/value.h"
#include "vm/program_block.h"
#include "vm/task.h"

namespace {

using clock = std::chrono::steady_clock;

struct root_outcome {
    bool finished = false;
    bool error = false;
};

// Runs turns until no task is left (true) or the deadline passes (false);
// without a deadline, until no task is left.
bool run_until(lum_host_vm& host, const std::optional<clock::time_point>& deadline) {
    if (!deadline) {
        while (!lum_host_run(host, std::chrono::hours(1))) {
        }
        return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - clock::now());
    return lum_host_run(host, left.count() > 0 ? left : std::chrono::milliseconds(0));
}

}  // namespace

lum_run_result lum_run_program(lumptr_strong<lum_program> program, const lum_run_options& options) {
    lum_run_result result;
    if (!program || !program->root) return result;

    lum_host_vm_options vm_options;
    vm_options.workers = options.workers;
    vm_options.max_call_depth = options.max_call_depth;
    vm_options.logger = options.logger ? options.logger : lumptr_strong<lum_log_base>(new lum_host_logger(stderr));
    lum_host_vm host(vm_options);

    std::optional<clock::time_point> deadline;
    if (options.timeout.count() > 0) deadline = clock::now() + options.timeout;

    auto outcome = std::make_shared<root_outcome>();
    bool idle = true;
    {
        lumptr_strong<lum_task> root = lum_task::create(program->root.get(), nullptr);
        if (root && root->has_context()) {
            root->on_complete = [outcome](lumvar_shared) { outcome->finished = true; };
            root->on_error = [outcome](lumvar_shared) { outcome->error = true; };
            if (lum_task::start(root.get(), nullptr)) idle = run_until(host, deadline);
        }
        if (!idle) lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
        // Dropping the root task clears the global variables: instances held
        // there run their __deinit__ now.
    }
    // Tasks started while the globals were released get the time that is left.
    if (idle && !lum_host_idle(host.vm())) idle = run_until(host, deadline);
    lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
    program.reset();
    host.shutdown();

    result.finished = outcome->finished;
    result.unhandled_error = outcome->error;
    result.timed_out = !idle;
    result.exit_status = (result.finished && !result.unhandled_error && !result.timed_out) ? 0 : 1;
    return result;
}
