// Runs a test's body in a child process, so that a crash, an abort or a hang
// stays there and shows as a status.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

// Runs `body` in a child process of the test: its exit status, 100 plus the
// signal that ended it, or -1 when it did not end within `seconds` (then it
// is killed).
inline int in_child(const std::function<int()>& body, int seconds) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    for (const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         ::waitpid(child, &status, WNOHANG) == 0;) {
        if (std::chrono::steady_clock::now() >= give_up) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}
