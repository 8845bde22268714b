#pragma once
// The compiler runs this process has going, as both platform sides keep
// them: a run registers itself while its process lives, and stopping the
// commands (at module shutdown) kills each and waits for the runs to leave.

#include <condition_variable>
#include <mutex>
#include <vector>

template <class Command>
struct lumk_command_table {
    std::mutex mutex;
    std::condition_variable changed;  // a run left the table
    bool stopping = false;            // no new run starts
    std::vector<Command*> running;

    // The process's table. Never destroyed: a run may still end on a worker
    // thread while the process exits.
    static lumk_command_table& get() {
        static lumk_command_table* const table = new lumk_command_table;
        return *table;
    }
};
