// A kernel launch: one run of an entry kernel over a 1-D or 2-D domain, split
// into at most 256 chunks that lane runners (the calling thread and helper
// jobs) claim one at a time. Each runner picks its engine once: the native
// entry when ready, else the 64-lane batch interpreter, else the scalar one.
// The first trap is kept; reductions are merged in chunk order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/compiler/program.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"

class lumk_launch : public std::enable_shared_from_this<lumk_launch> {
public:
    // Offers one job to a worker pool; false when it was refused (the job is
    // then dropped without running).
    using submit_fn = std::function<bool(std::function<void()>)>;

    std::shared_ptr<const lumk_unit> unit;    // keeps the program alive
    const lumk_program* program = nullptr;
    std::vector<uint64_t> regs;               // register template: registers, then constants
    std::vector<kptr> ptrs;                   // pointer parameters' slots, then the frame slot
    uint64_t gsize = 0;                       // work items (width x height)
    uint64_t width = 1;                       // 2-D row length; 0 is stored as 1
    uint64_t chunk_size = 1;
    uint64_t chunk_count = 0;                 // at most 256
    std::vector<uint64_t> partials;           // chunk c, reduction r at c * nred + r
    std::atomic<uint64_t> next_chunk{0};
    std::atomic<uint32_t> running{0};         // runners inside run_lanes
    std::atomic<uint8_t> abort{0};            // set once a runner stopped on a trap
    std::atomic<uint8_t> trap_recorded{0};
    ktrap trap{};                             // the first recorded trap
    std::mutex mutex;                         // only for waiting on completion
    std::condition_variable done_cv;

    lumk_launch() = default;
    lumk_launch(const lumk_launch&) = delete;
    lumk_launch& operator=(const lumk_launch&) = delete;

    // Sets up the register template (constants, gsize, gsize_x = width,
    // gsize_y = height), empty pointer slots, the chunks and the partials at
    // their identities. The caller then stores arguments into regs and ptrs.
    // Throws std::length_error, leaving the launch unchanged, when width x
    // height does not fit in 64 bits.
    void prepare(std::shared_ptr<const lumk_unit> unit, const lumk_program* program, uint64_t width, uint64_t height);
    // Offers up to n helper jobs (each holding the launch) to `submit`, stopping
    // at the first refusal; returns how many were accepted. Throws
    // std::bad_weak_ptr when the launch is not held by a shared pointer.
    int start_helpers(int n, const submit_fn& submit);
    // One lane runner: claims chunks until none is left or the launch aborted.
    // An exception from inside (buffer allocation) stops the launch and is
    // kept for run_and_wait; it never leaves a runner counted as running.
    void run_lanes();
    // Runs lanes on the calling thread, then waits until every runner has
    // left. Rethrows the first exception a runner hit.
    void run_and_wait();
    // Completion: every chunk claimed (or abort set) and no runner inside.
    bool done() const;
    // The final value of every reduction: identity combined with each chunk's
    // partial in chunk order.
    std::vector<uint64_t> reduce_results() const;

private:
    void stop_on_trap(uint32_t code, const ktrap& runner_trap);
    // A runner failed with `failure` (the first one is kept): every runner stops.
    void stop_on_failure(std::exception_ptr failure);
    void leave();

    std::exception_ptr error_;        // first exception of a runner, under mutex
    // Set once the completion predicate has held: no chunk can be claimed
    // after that, so a helper that enters late (and leaves at once) must not
    // make a finished launch look unfinished again.
    mutable std::atomic<uint8_t> completed_{0};
    std::atomic<uint8_t> failed_{0};  // set once error_ is
};
