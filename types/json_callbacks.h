// "std.json" methods that select, order or transform entries by a child key,
// by substrings or by a script callback, and the machinery that runs a script
// callback once per entry.
//
// A callback runs as its own task, one entry after the other, while the
// script that called the method stays suspended (status 32); the caller is
// woken exactly once, when the walk has ended, and then finds the finished
// result. A callback that completes synchronously hands its result to the
// walk through the record's `running`/`again` flags, so the next entry is
// started by the loop already on the stack: a container of any size is
// walked at a constant native stack depth. A callback that waits (for a
// worker, for another walk) continues the walk from the host's loop when it
// finishes.
//
// A callback whose parameter count does not accept the arguments is refused
// before it runs: the non-aborting run-time error
// "JSON callback could not be called, check its parameter count." ends the
// walk (its finishing step still runs) and the caller is woken. A suspended
// caller is never aborted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"

class lum_std_json;
class lum_program_block;
struct lum_task;
struct lum_vm_context;

// The message of a callback that cannot be called with the walk's arguments.
inline constexpr std::string_view lum_json_callback_error = "JSON callback could not be called, check its parameter count.";

// Whether a script function with code block `block` accepts `count`
// arguments (the test task argument binding makes).
bool lum_json_callback_accepts(const lum_program_block* block, size_t count);

// One walk over a container that runs a callback per entry. Held by shared
// pointers: by the method while it starts the walk and by the completion
// handler of each callback task.
class lum_json_iteration {
public:
    using build_arguments_fn = std::function<void(lum_std_json& container, uint64_t index, std::vector<lumvar_shared>& out)>;
    // Consumes the callback's result for the entry at `index`; false ends the walk.
    using on_result_fn = std::function<bool(lum_std_json& container, uint64_t index, lumvar_shared result)>;
    using on_finish_fn = std::function<void()>;

    lumptr_strong<lum_std_json> container;  // the container walked; the walk ends when it is gone
    lumptr_strong<lum_task> caller;         // woken at the end (may be empty: no task to wake)
    lumvar_shared callback;                 // a fresh cell holding the callback function value
    build_arguments_fn build_arguments = key_value_args;
    on_result_fn on_result;
    on_finish_fn on_finish;                 // may be empty; runs once when the walk ends
    uint64_t index = 0;                     // the entry being handled
    bool running = false;                   // run() is active on the stack
    bool again = false;                     // a callback finished while run() was active
    bool finished = false;                  // the walk has ended (set once)

    // Binds the record to the container, the calling task and a copy of the
    // callback (whose scope becomes the caller's task), suspends the calling
    // context, then runs the walk.
    static void start(lum_vm_context& context, lum_std_json* container, const lumvar_shared& callback,
                      const std::shared_ptr<lum_json_iteration>& record);
    // Drives the walk: one callback task per entry, as long as callbacks
    // finish synchronously; returns when one has to wait or the walk ended.
    static void run(const std::shared_ptr<lum_json_iteration>& record);
    // The completion handler of every callback task.
    static void task_finished(const std::shared_ptr<lum_json_iteration>& record, lumvar_shared result);

    // (key, value): a new string value with the entry's key ("" for a list
    // element) and the entry's own value handle.
    static void key_value_args(lum_std_json& container, uint64_t index, std::vector<lumvar_shared>& out);

private:
    // Ends the walk once: on_finish, then the caller is woken.
    static void finish(const std::shared_ptr<lum_json_iteration>& record);
};

// The method bodies (registered by types/json_methods.cpp).
using lum_json_method_args = std::vector<lumvar_shared>;
lumvar_shared lum_json_method_sort_by(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_filter_key(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_filter_value(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_filter(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_map(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_reduce(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_any(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_all(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
lumvar_shared lum_json_method_foreach(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args);
