// The unwinding of a thread that is being cancelled (pthread_cancel) or is
// ending (pthread_exit). It passes through the module like any exception, but
// no code may swallow it: a `catch (...)` that may meet one catches this
// first, undoes what it must and rethrows it. The C library aborts the
// process when it is not rethrown, and so does a noexcept frame it reaches.
#pragma once

#include <cxxabi.h>

#include "runtime/platform.h"

using lum_thread_unwind = abi::__forced_unwind;

// Holds off the calling thread's cancellation for a scope where no unwinding
// may pass: a destructor that logs (a listener may write, a cancellation
// point) would end the process in std::terminate. A cancellation asked for
// meanwhile takes effect at the thread's next cancellation point after it.
class lum_cancel_hold {
public:
    lum_cancel_hold() : state_(lum_cancel_off()) {}
    ~lum_cancel_hold() { lum_cancel_restore(state_); }
    lum_cancel_hold(const lum_cancel_hold&) = delete;
    lum_cancel_hold& operator=(const lum_cancel_hold&) = delete;

private:
    int state_;
};
