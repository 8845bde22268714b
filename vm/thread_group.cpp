#include "vm/thread_group.h"

#include <cmath>
#include <limits>
#include <utility>

#include "runtime/log.h"
#include "runtime/platform.h"
#include "runtime/namespace.h"
#include "types/json_object.h"
#include "vm/context.h"
#include "vm/runtime_error.h"
#include "vm/task.h"

namespace {

// Integer value of an index argument: ints as they are, floats truncated
// toward zero (NaN 0, saturating at the 64-bit limits), others converted.
int64_t index_value(lumvar& v) {
    if (v.type == LUMVAR_INT) return v.payload.i;
    if (v.type == LUMVAR_FLOAT) {
        const double d = v.payload.f;
        if (std::isnan(d)) return 0;
        if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
        if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    return v.int_value();
}

}  // namespace

void lum_std_thread::add_active(const lumptr_strong<lum_task>& task) {
    auto place = active.insert(active.end(), task);
    try {
        active_places_.emplace(task.get(), place);
    } catch (...) {
        active.erase(place);
        throw;
    }
}

void lum_std_thread::remove_active(const lum_task* task) {
    auto found = active_places_.find(task);
    if (found == active_places_.end()) return;
    auto place = found->second;
    active_places_.erase(found);
    // The task may go with its last handle: out of the list first.
    lumptr_strong<lum_task> drop = std::move(*place);
    active.erase(place);
}

lum_std_thread::lum_std_thread() : callback(lumvar_shared::make()) {}

lum_std_thread::~lum_std_thread() {
    const lum_cancel_hold no_cancel;  // it logs, and no unwinding may leave a destructor
    lum_get_log().notice("TODO: implement active_tasks->terminate() !");
    if (lum_task* waiter = join_waiter.get()) lum_task::wake(waiter);
    for (const lumptr_strong<lum_task>& handle : active) {
        lum_task* task = handle.get();
        if (task == nullptr) continue;
        task->stop = 1;
        if (!task->stack.empty()) task->stack.back() = lumvar_shared::make();
    }
    join_waiter.reset();
    results.clear();
    active_places_.clear();
    active.clear();
    callback.reset();
}

bool lum_std_thread::compare_zero() { return !callback || callback->type != LUMVAR_FUNCTION; }

lumvar_shared lum_std_thread::run(lum_vm_context& context, std::vector<lumvar_shared>& args) {
    if (!callback || callback->type != LUMVAR_FUNCTION) return lum_runtime_error(true, "callback is not a function!");

    lumptr_strong<lum_task> task;
    callback->create_task(task);
    if (!task) return lumvar_shared::from_int(0);

    add_active(task);
    const size_t index = results.size();
    results.push_back(lumvar_shared::make());

    // The handler keeps the group alive until its task has finished, so a
    // group nobody holds (`thread(f).run(x)`) still gets its results. The
    // handler goes when the task finishes (or is destroyed), and with it
    // this handle: once the last task is done the group is free to go.
    lumptr_strong<lum_std_thread> group(this);
    lum_task* raw = task.get();
    task->on_complete = [group, raw, index](lumvar_shared value) {
        lum_std_thread* self = group.get();
        if (self == nullptr) return;
        if (index < self->results.size() && value) {
            lumvar* cell = self->results[index].get();
            const uint8_t saved = value->flags;
            value->flags |= LUMVAR_FLAG_SHARED;
            lumvar* source = value.get();
            cell->set(value);
            source->flags = saved;
        }
        self->remove_active(raw);
        if (self->active.empty() && self->join_waiter) {
            lumptr_strong<lum_task> waiter = std::move(self->join_waiter);
            lum_task::wake(waiter.get());
        }
    };

    const bool started = lum_task::start(task.get(), &args);
    if (!started) remove_active(task.get());
    return lumvar_shared::from_int(started ? 1 : 0);
}

lumvar_shared lum_std_thread::join(lum_vm_context& context) {
    if (active.empty()) return lumvar_shared::make();
    if (join_waiter) return lum_runtime_error(true, "Cannot join twice!");
    if (context.task == nullptr) return lumvar_shared::make();
    join_waiter = lumptr_strong<lum_task>(context.task);
    context.suspend();
    return lumvar_shared::make();
}

lumvar_shared lum_std_thread::get_results(std::vector<lumvar_shared>& args) {
    if (!args.empty() && args[0]) {
        const int64_t index = index_value(*args[0]);
        if (index >= 0 && static_cast<uint64_t>(index) < results.size()) return results[static_cast<size_t>(index)];
        return lumvar_shared::make();
    }
    lumvar_shared list = lumvar_shared::make();
    lum_std_json* json = list->json_object(true);
    if (json == nullptr) return list;
    for (const lumvar_shared& result : results) {
        lumvar_shared value = result ? result : lumvar_shared::make();
        json->push_keyed(std::move(value), std::string_view());
    }
    return list;
}

void lum_std_thread::script_register() {
    set_factory([] { return lumptr_strong<lum_std_thread>(new lum_std_thread()); });
    lum_function_def& run_def =
        add_function("run",
                     [](lum_std_thread* self, lum_vm_context& context, std::vector<lumvar_shared>& args) {
                         return self->run(context, args);
                     },
                     0, 999, "Execute callback function asynchronously as a task");
    run_def.arg_docs.push_back("...: any - Variable arguments to pass to the callback function");
    add_function("join",
                 [](lum_std_thread* self, lum_vm_context& context, std::vector<lumvar_shared>&) {
                     return self->join(context);
                 },
                 0, 0, "Join active tasks and wait for their completion");
    lum_function_def& results_def =
        add_function("get_results",
                     [](lum_std_thread* self, lum_vm_context&, std::vector<lumvar_shared>& args) {
                         return self->get_results(args);
                     },
                     0, 1, "Get returned values");
    results_def.arg_docs.push_back("index: int");
}

void lum_std_thread_namespace_init(lum_namespace& ns) {
    lum_function_def* def = lum_namespace::add_class<lum_std_thread>(
        ns,
        [](lum_vm_context&, std::vector<lumvar_shared>& args) -> lumvar_shared {
            lum_std_thread* object = new lum_std_thread();
            lumvar_shared result = lumvar_shared::from_object(object);
            if (args.size() == 1) {
                lumvar_shared arg = args[0];
                if (arg && arg->type == LUMVAR_FUNCTION) object->callback->set(arg);
                else lum_runtime_error(false, "callback is not a function!");
            }
            return result;
        },
        "threading");
    if (def != nullptr) {
        def->arg_docs.push_back("Create a new thread object with optional callback function");
        def->arg_docs.push_back("callback: function - The function to be executed in the new thread");
    }
}
