// Linux: a command runs under a small shell script, the waiter, that leads a
// process group of its own and reports the command's exit status over a
// socket.
#include "kernel/exec/native_run.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

// The waiter, run as `sh -c SCRIPT sh COMMAND` with the null device as input,
// the output pipe as output and error output and the report socket as
// descriptor 3. It is started the way posix_spawn starts a program: no copy
// of this process's memory is made and no fork handler of the host runs, so
// nothing of the host stays in it. It
//  - starts the command (without the socket) in the background;
//  - starts a watcher that kills the whole group once the run releases it
//    (shuts its end of the socket) or this process dies (the socket closes);
//  - gives its own output up, so that only the command holds the pipe;
//  - waits for the command and writes its exit status to the socket, then
//    waits to be released.
// Being the command's parent, it gets the status whatever the host does with
// SIGCHLD (ignores it, or reaps every child on another thread).
constexpr const char* waiter_script =
    "sh -c \"$1\" 3>&- &\n"
    "c=$!\n"
    "{ read -r x <&3; kill -KILL 0; } >/dev/null 2>&1 &\n"
    "exec >/dev/null 2>&1\n"
    "wait \"$c\"\n"
    "echo \"$?\" >&3\n"
    "wait\n";

std::atomic<const char*> test_waiter{nullptr};

// The runs this process has going, in a fixed table of lock-free slots: the
// process group of each command, for a process that ends through quick_exit,
// and the run's ends of its output pipe and report socket, which a copy that
// fork() makes of the process closes at once. Otherwise a helper the host
// forks (without exec) would hold them open, and a compiler whose host has
// died would live on for as long as the helper does.
struct recorded_run {
    std::atomic<uint64_t> group{0};  // (owner pid << 32) | group id; 0 when the slot is free
    std::atomic<int> out{-1};
    std::atomic<int> report{-1};
};
constexpr int recorded_max = 64;
recorded_run recorded[recorded_max];

int record_run(pid_t group, int out, int report) {
    const uint64_t entry = (static_cast<uint64_t>(::getpid()) << 32) | static_cast<uint32_t>(group);
    for (int i = 0; i < recorded_max; ++i) {
        uint64_t free_slot = 0;
        if (recorded[i].group.compare_exchange_strong(free_slot, entry)) {
            recorded[i].out.store(out);
            recorded[i].report.store(report);
            return i;
        }
    }
    return -1;  // full: the command still dies with its watcher when this process ends
}

// Before the run closes its descriptors: a copy forked later must not close
// numbers that are no longer the run's.
void forget_run(int slot) {
    if (slot < 0) return;
    recorded[slot].out.store(-1);
    recorded[slot].report.store(-1);
    recorded[slot].group.store(0);
}

// In the copy fork() made (only the forking thread runs): every recorded run
// is the parent's. Its descriptors are closed and its slot is freed.
void close_the_parents_runs() {
    for (recorded_run& r : recorded) {
        for (std::atomic<int>* fd : {&r.out, &r.report}) {
            const int n = fd->exchange(-1);
            if (n >= 0) ::close(n);
        }
        r.group.store(0);
    }
}

// Registered while the module is loaded (see process_local.h).
const bool closing_in_copies = (::pthread_atfork(nullptr, nullptr, close_the_parents_runs), true);

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

// `fd` moved to a descriptor above the standard ones (closed on exec), so
// that the descriptor actions of the spawn never overwrite one another.
int above_standard(int fd) {
    if (fd < 0) return -1;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

struct lumk_process {
    pid_t waiter = -1;  // also the id of the command's process group
    int out = -1;       // the output pipe's reading end
    int report = -1;    // the run's end of the report socket
    int slot = -1;      // in `recorded`
    bool report_open = true;
    std::string pending;  // report text without its line end yet
    lumk_output_collector* sink = nullptr;
};

namespace {

// Whether the group id is still the command's to kill: the waiter has not
// been collected (the id stays taken), or a process of the group still holds
// the report socket (a group's id is not reused while it has members). The
// host may collect the waiter itself when it ignores SIGCHLD or reaps every
// child.
bool group_is_ours(const lumk_process* p) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(p->waiter), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return true;
    pollfd q{p->report, POLLRDHUP, 0};
    return ::poll(&q, 1, 0) == 0;
}

}  // namespace

lumk_process* lumk_process_start(const std::string& command, lumk_output_collector* sink) {
    int out[2] = {-1, -1};
    int rep[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rep) != 0) {
        close_fd(out[0]);
        close_fd(out[1]);
        return nullptr;
    }
    const int null_in = above_standard(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int out_w = above_standard(out[1]);
    const int rep_w = above_standard(rep[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool ready = null_in >= 0 && out_w >= 0 && rep_w >= 0;
    const bool have_actions = ready && ::posix_spawn_file_actions_init(&actions) == 0;
    const bool have_attr = have_actions && ::posix_spawnattr_init(&attr) == 0;
    ready = have_attr;
    if (ready) {
        sigset_t all, none;
        ::sigfillset(&all);
        ::sigemptyset(&none);
        // Its own group (its id is the waiter's pid), every signal's default
        // action (the host may ignore SIGCHLD or SIGPIPE) and none blocked;
        // descriptors 0 to 3 and no other.
        ready = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
                ::posix_spawnattr_setpgroup(&attr, 0) == 0 && ::posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
                ::posix_spawnattr_setsigmask(&attr, &none) == 0 &&
                ::posix_spawn_file_actions_adddup2(&actions, null_in, STDIN_FILENO) == 0 &&
                ::posix_spawn_file_actions_adddup2(&actions, out_w, STDOUT_FILENO) == 0 &&
                ::posix_spawn_file_actions_adddup2(&actions, out_w, STDERR_FILENO) == 0 &&
                ::posix_spawn_file_actions_adddup2(&actions, rep_w, 3) == 0 &&
                ::posix_spawn_file_actions_addclosefrom_np(&actions, 4) == 0;
    }
    pid_t waiter = -1;
    if (ready) {
        const char* script = test_waiter.load(std::memory_order_acquire);
        const char* argv[] = {"sh", "-c", script ? script : waiter_script, "sh", command.c_str(), nullptr};
        ready = ::posix_spawn(&waiter, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ) == 0;
    }
    if (have_attr) ::posix_spawnattr_destroy(&attr);
    if (have_actions) ::posix_spawn_file_actions_destroy(&actions);
    close_fd(null_in);
    close_fd(out_w);
    close_fd(rep_w);
    if (!ready) {
        close_fd(out[0]);
        close_fd(rep[0]);
        return nullptr;
    }
    set_nonblocking(out[0]);
    set_nonblocking(rep[0]);
    auto* p = new lumk_process;
    p->waiter = waiter;
    p->out = out[0];
    p->report = rep[0];
    p->sink = sink;
    p->slot = record_run(waiter, p->out, p->report);
    return p;
}

void lumk_process_wait(lumk_process* p, std::chrono::milliseconds wait, lumk_process_state* state) {
    pollfd fds[2];
    nfds_t n = 0;
    if (state->output_open) fds[n++] = pollfd{p->out, POLLIN, 0};
    // The report is read until the status has come or the waiter has gone.
    const bool asking = p->report_open && !state->ended;
    if (asking) fds[n++] = pollfd{p->report, POLLIN, 0};
    if (::poll(fds, n, static_cast<int>(wait.count())) <= 0) return;
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].revents == 0) continue;
        char buf[4096];
        const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        const bool closed = got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN);
        if (fds[i].fd == p->out) {
            if (got > 0 && p->sink) p->sink->feed(buf, static_cast<size_t>(got));
            if (closed) state->output_open = false;
            continue;
        }
        if (got > 0) p->pending.append(buf, static_cast<size_t>(got));
        const size_t line_end = p->pending.find('\n');
        if (line_end != std::string::npos) {
            // The shell's $?: digits only.
            int status = 0;
            bool digits = line_end > 0 && line_end <= 3;
            for (size_t k = 0; k < line_end && digits; ++k) {
                const char c = p->pending[k];
                digits = c >= '0' && c <= '9';
                status = status * 10 + (c - '0');
            }
            state->ended = true;
            state->status = digits ? status : -1;
        } else if (closed) {
            // The waiter and its watcher are gone without a status.
            p->report_open = false;
            state->lost = true;
        }
    }
}

void lumk_process_kill(lumk_process* p) {
    if (group_is_ours(p)) ::kill(-p->waiter, SIGKILL);
}

void lumk_process_release(lumk_process* p) {
    // The group goes, with whatever the command left in it; the watcher
    // would do the same once released, this makes it so before the run ends.
    lumk_process_kill(p);
    forget_run(p->slot);
    close_fd(p->out);
    close_fd(p->report);
    // The waiter is collected here unless the host's own handling of SIGCHLD
    // did it; it was killed above, so this is short, and bounded in any case.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (int nap_us = 100;;) {
        const pid_t r = ::waitpid(p->waiter, nullptr, WNOHANG);
        if (r == p->waiter || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= give_up) break;
        std::this_thread::sleep_for(std::chrono::microseconds(nap_us));
        nap_us = std::min(nap_us * 2, 10000);
    }
    delete p;
}

void lumk_platform_kill_commands_now() {
    // Only async-signal-safe calls: getpid, kill and lock-free atomics.
    const uint64_t me = static_cast<uint64_t>(::getpid());
    for (recorded_run& r : recorded) {
        const uint64_t entry = r.group.load();
        if (entry != 0 && (entry >> 32) == me) ::kill(-static_cast<pid_t>(entry & 0xffffffffu), SIGKILL);
    }
}

void lumk_platform_test_waiter_script(const char* script) { test_waiter.store(script, std::memory_order_release); }

void lumk_platform_at_quick_exit(void (*fn)()) { std::at_quick_exit(fn); }

#endif  // !_WIN32
