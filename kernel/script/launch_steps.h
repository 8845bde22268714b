// Steps of a launch that k.launch, k.launch_async and "std.kernel_job" share:
// running lanes without the VM lock, joining them, and taking the result.
#pragma once

#include <exception>
#include <utility>

#include "kernel/script/binding.h"
#include "runtime/thread_unwind.h"
#include "runtime/value.h"
#include "runtime/vm_lock.h"

struct lumk_program;

// Stops and joins the lanes of a launch that failed outside a lane: no new
// chunk is claimed, and the call returns once no runner is inside.
void lum_kernel_join_lanes(lumk_launch& launch);

// Releases the bindings, then gives the trap as a run-time error or the result.
lumvar_shared lum_kernel_finish_launch(const lumk_program& program, lum_kernel_launch_state& state);

// Runs `work` without the VM lock. An exception stops and joins the lanes and
// releases the bindings (with the VM lock taken back) before it is passed on;
// so does the unwinding of a thread that is cancelled or ends, which goes on
// as it came (an error of the release is dropped then).
template <class F>
void lum_kernel_run_unlocked(lum_kernel_launch_state& state, F&& work) {
    std::exception_ptr failure;
    try {
        lum_vm_lock_handoff handoff;
        try {
            std::forward<F>(work)();
        } catch (const lum_thread_unwind&) {
            throw;
        } catch (...) {
            failure = std::current_exception();
            lum_kernel_join_lanes(*state.launch);
        }
    } catch (const lum_thread_unwind&) {
        // Also when the join above was cut short. Lanes never take the VM
        // lock: they are joined with it taken back.
        lum_kernel_join_lanes(*state.launch);
        try {
            state.release();
        } catch (const lum_thread_unwind&) {
            throw;
        } catch (...) {
        }
        throw;
    }
    if (failure) {
        state.release();
        std::rethrow_exception(failure);
    }
}
