#include "kernel/script/kernel_job.h"

#include <vector>

#include "kernel/exec/launch.h"
#include "kernel/exec/native_platform.h"
#include "kernel/script/launch_steps.h"

namespace {

using args_t = std::vector<lumvar_shared>;

lumvar_shared job_wait(lum_std_kernel_job* self, lum_vm_context&, args_t&) {
    if (!self->state) return lumvar_shared::make();
    lum_kernel_launch_state& state = *self->state;
    if (!state.released) lum_kernel_run_unlocked(state, [&state] { state.launch->run_and_wait(); });
    return lum_kernel_finish_launch(*state.launch->program, state);
}

lumvar_shared job_done(lum_std_kernel_job* self, lum_vm_context&, args_t&) {
    return lumvar_shared::from_int(self->state && self->state->launch->done() ? 1 : 0);
}

}  // namespace

lum_std_kernel_job::~lum_std_kernel_job() {
    // The join below waits, and no unwinding may leave this destructor: a
    // thread dropping the job is cancelled only after it.
    const lumk_cancel_hold hold;
    if (state && !state->released) {
        // Lanes may still run on script memory: join them first (they never
        // take the VM lock, so a thread that holds it keeps it meanwhile).
        try {
            state->launch->run_and_wait();
        } catch (...) {
            lum_kernel_join_lanes(*state->launch);
        }
    }
    // Then unlock and let go of the bound objects under the VM lock, which
    // script code holds while it reads the lock counts: the job may be dropped
    // on any thread. The guard is a no-op re-entry when this thread holds the
    // lock already. The result and any trap are dropped.
    if (!state && !kernel) return;
    try {
        lum_vm_lock_guard guard(vm);
        try {
            if (state) state->release();
        } catch (...) {
        }
        state.reset();
        kernel.reset();
    } catch (...) {
    }
}

void lum_std_kernel_job::script_register() {
    set_factory([] { return lumptr_strong<lum_std_kernel_job>(new lum_std_kernel_job()); });
    add_function("wait", job_wait, 0, 0,
                 "Waits for the launch (the calling thread helps) and returns its result like launch(). Unlocks the "
                 "buffers.");
    add_function("done", job_done, 0, 0,
                 "True when all lanes finished (call wait() to get the result and unlock the buffers)");
}
