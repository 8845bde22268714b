#include "host/run_program.h"

#include <memory>

#include "host/host_vm.h"
#include "host/turn.h"
#include "runtime/value.h"
#include "vm/program_block.h"
#include "vm/task.h"

namespace {

struct root_outcome {
    bool finished = false;
    bool error = false;
};

}  // namespace

lum_run_result lum_run_program(lumptr_strong<lum_program> program, const lum_run_options& options) {
    using clock = std::chrono::steady_clock;
    lum_run_result result;
    if (!program || !program->root) return result;

    lum_host_vm_options vm_options;
    vm_options.workers = options.workers;
    vm_options.max_call_depth = options.max_call_depth;
    vm_options.logger = options.logger;
    lum_host_vm host(vm_options);

    const clock::time_point deadline = clock::now() + options.timeout;
    auto remaining = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        return left.count() > 0 ? left : std::chrono::milliseconds(0);
    };

    auto outcome = std::make_shared<root_outcome>();
    bool idle = true;
    {
        lumptr_strong<lum_task> root = lum_task::create(program->root.get(), nullptr);
        if (root && root->has_context()) {
            root->on_complete = [outcome](lumvar_shared) { outcome->finished = true; };
            root->on_error = [outcome](lumvar_shared) { outcome->error = true; };
            if (lum_task::start(root.get(), nullptr)) idle = lum_host_run(host, remaining());
        }
        if (!idle) lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
        // Dropping the root task clears the global variables: instances held
        // there run their __deinit__ now.
    }
    // Tasks started while the globals were released get the time that is left.
    if (idle && !lum_host_idle(host.vm())) idle = lum_host_run(host, remaining());
    lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
    program.reset();
    host.shutdown();

    result.finished = outcome->finished;
    result.unhandled_error = outcome->error;
    result.timed_out = !idle;
    result.exit_status = (result.finished && !result.unhandled_error && !result.timed_out) ? 0 : 1;
    return result;
}
