// Runs a test's body in a child process, so that a crash, an abort or a hang
// stays there and shows as a status.
#pragma once

#include <pthread.h>
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

// Starts `rounds` threads one after another, each running fn(arg) until it is
// cancelled a moment after its start: 0 when every one ended cancelled, 2
// when one could not be started, 3 when one ended otherwise.
inline int cancel_rounds(int rounds, void* (*fn)(void*), void* arg) {
    for (int i = 0; i < rounds; ++i) {
        pthread_t thread;
        if (::pthread_create(&thread, nullptr, fn, arg) != 0) return 2;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        ::pthread_cancel(thread);
        void* result = nullptr;
        ::pthread_join(thread, &result);
        if (result != PTHREAD_CANCELED) return 3;
    }
    return 0;
}
