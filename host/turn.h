#pragma once
// The stand-in host's turn loop.
//
// One turn, on the thread that owns the VM: drain the pools' deferred-free
// rings, drain the return ring (wake the tasks whose worker jobs ended, hand
// over their results, give back references and job counts), continue the
// due tasks in heap order, call update_pre of the update list, release the
// deferred releases whose objects' jobs have ended. Between turns the loop
// sleeps on the VM's wake object until the next due time, with the VM lock
// released so that other threads can run callbacks.

#include <chrono>
#include <cstddef>
#include <cstdint>

struct lum_vm;
class lum_host_vm;

// Takes every full record of the VM's return ring in order: assigns the
// worker's value to the result cell (shared), wakes the task, and gives back
// the references the record holds and the object's job count. VM thread
// only. Returns the number of records taken.
size_t lum_host_drain_returns(lum_vm& vm);

// Continues the tasks that are due now, in heap order. A task that yields
// (continuation returns true while still active) is rescheduled with delay
// 0 and continues in the next turn. VM thread only. Returns the number of
// continuations.
size_t lum_host_run_due_tasks(lum_vm& vm);

struct lum_host_turn_result {
    size_t returns = 0;     // return-ring records taken
    size_t tasks = 0;       // task continuations
    size_t updates = 0;     // update_pre calls
    size_t released = 0;    // deferred releases done
};

// One full turn (takes the VM lock when the thread does not hold it).
lum_host_turn_result lum_host_turn(lum_host_vm& host);

// True when no task is scheduled or waiting.
bool lum_host_idle(const lum_vm& vm);

// Runs turns until no task is scheduled or waiting (true) or the timeout
// passes (false). Sleeps on the wake object until the next due time.
bool lum_host_run(lum_host_vm& host, std::chrono::milliseconds timeout);

// Before the job queue is shut down: waits up to `grace` for the worker jobs
// of waiting tasks to end (draining their results), then stops every task
// still scheduled or waiting (each finishes without running more code) and
// drains the return ring once more.
void lum_host_stop_tasks(lum_host_vm& host, std::chrono::milliseconds grace);
