#pragma once
// "std.thread": one script function run several times as a group of
// cooperative tasks. Despite the name no operating-system thread is started:
// every `run` creates a task for the callback and hands it to the host's
// scheduler, `join` suspends the calling task until every task of the group
// has finished, and `get_results` gives the values the tasks returned, in
// the order of the `run` calls.

#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "runtime/class_binding.h"
#include "runtime/ptr.h"
#include "runtime/value.h"

struct lum_task;
class lum_namespace;

class lum_std_thread : public lumobject<lum_std_thread, CLASS_STRING<"std.thread">> {
public:
    static constexpr uint32_t constructor_max_args = 1;

    lum_std_thread();
    ~lum_std_thread() override;
    // The active-task places point into this object's own list.
    lum_std_thread(const lum_std_thread&) = delete;
    lum_std_thread& operator=(const lum_std_thread&) = delete;

    // Fields in order.
    lumvar_shared callback;                       // the function the tasks run; none until set
    std::list<lumptr_strong<lum_task>> active;    // started tasks that have not finished, in run() order
    std::vector<lumvar_shared> results;           // one cell per run call, none until its task finished
    lumptr_strong<lum_task> join_waiter;          // the task suspended in join

    // True when the callback is not a function value.
    bool compare_zero() override;

    // run(args...): a task for the callback, started with the arguments.
    // Int 1 when started, 0 when refused (or no task could be made).
    lumvar_shared run(lum_vm_context& context, std::vector<lumvar_shared>& args);
    // join(): suspends the calling task until the group's last task finished.
    lumvar_shared join(lum_vm_context& context);
    // get_results([index]): one result cell, or a json list of all.
    lumvar_shared get_results(std::vector<lumvar_shared>& args);

    static void script_register();

private:
    // Where each active task is in `active`: a task leaves the list in
    // constant time however many are running.
    std::unordered_map<const lum_task*, std::list<lumptr_strong<lum_task>>::iterator> active_places_;
    // Adds a task to the end of the active tasks.
    void add_active(const lumptr_strong<lum_task>& task);
    // Takes a task out of the active tasks (nothing when it is not there);
    // the others keep their order.
    void remove_active(const lum_task* task);
};

// The "std" initialiser that publishes "std.thread" as the function `thread`.
void lum_std_thread_namespace_init(lum_namespace& ns);
