#pragma once
// A host VM with a recording logger, and helpers that start tasks and
// collect what their completion and error handlers receive.

#include <chrono>
#include <memory>
#include <vector>

#include "host/host_vm.h"
#include "host/turn.h"
#include "tests/vm/v1_support.h"
#include "vm/task.h"

namespace v1test {

struct task_outcome {
    bool finished = false;
    bool error_handler = false;
    int order = -1;  // position among finished tasks
    lumvar_shared value;
};

class vm_fixture {
public:
    explicit vm_fixture(uint32_t workers = 0, uint32_t max_depth = 0)
        : log(new capture_log()), host(options(log, workers, max_depth)) {}
    ~vm_fixture() {
        lum_host_stop_tasks(host, std::chrono::milliseconds(2000));
        for (auto& o : outcomes) o->value.reset();
        tasks.clear();
    }

    // A task for `block` with handlers that record its outcome; started
    // (scheduled) unless `start` is false.
    std::shared_ptr<task_outcome> launch(lum_program_block* block, bool start = true,
                                         const std::vector<lumvar_shared>* args = nullptr) {
        auto outcome = std::make_shared<task_outcome>();
        lumptr_strong<lum_task> task = lum_task::create(block, nullptr);
        task->on_complete = [this, outcome](lumvar_shared v) {
            outcome->finished = true;
            outcome->order = finished_count++;
            outcome->value = std::move(v);
        };
        task->on_error = [outcome](lumvar_shared) { outcome->error_handler = true; };
        if (start) lum_task::start(task.get(), args);
        tasks.push_back(task);
        outcomes.push_back(outcome);
        return outcome;
    }

    bool run(int timeout_ms = 5000) { return lum_host_run(host, std::chrono::milliseconds(timeout_ms)); }

    capture_log* log;
    lum_host_vm host;
    std::vector<lumptr_strong<lum_task>> tasks;
    std::vector<std::shared_ptr<task_outcome>> outcomes;
    int finished_count = 0;

private:
    static lum_host_vm_options options(capture_log* log, uint32_t workers, uint32_t max_depth) {
        lum_host_vm_options o;
        o.workers = workers;
        o.max_call_depth = max_depth;
        o.logger = lumptr_strong<lum_log_base>(log);
        return o;
    }
};

}  // namespace v1test
