// The unwinding of a thread that is being cancelled (pthread_cancel) or is
// ending (pthread_exit). It passes through the module like any exception, but
// no code may swallow it: a `catch (...)` that may meet one catches this
// first, undoes what it must and rethrows it. The C library aborts the
// process when it is not rethrown, and so does a noexcept frame it reaches.
// Header only, naming nothing of the script runtime: the kernel engines use
// it too.
#pragma once

#include <cxxabi.h>

using lum_thread_unwind = abi::__forced_unwind;
