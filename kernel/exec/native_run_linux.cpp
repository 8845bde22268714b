// Linux: commands through /bin/sh in a process group of their own, started and
// waited for by a reporting process of their own.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/native_commands.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

namespace fs = std::filesystem;

namespace {

// A command being run: the reporting process this one forked, and the shell
// that process started, which leads a process group of its own.
struct running_command {
    pid_t reporter = -1;
    pid_t shell = -1;                // -1 until the reporter has said
    pid_t parent = -1;               // the process that runs it (a forked copy of the table is not ours)
    std::atomic<bool> stopped{false};  // killed by lumk_platform_stop_commands
};

using command_table = lumk_command_table<running_command>;

command_table& commands() { return command_table::get(); }

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

// What the reporting process tells the run, over a socket: the shell's pid
// once it runs, then how it ended; or that it could not be started.
struct report {
    int32_t kind;
    int32_t code;    // the pid; waitid's si_code; errno
    int32_t status;  // waitid's si_status
};
constexpr int32_t report_started = 1;
constexpr int32_t report_ended = 2;
constexpr int32_t report_failed = 3;

// Where the reporting process keeps its report socket.
constexpr int report_fd = 3;

// The shell's pid, in a reporting process: its group is killed when the
// process that started the command dies.
volatile sig_atomic_t reporter_shell = 0;

extern "C" void reporter_orphaned(int) {
    if (reporter_shell > 0) ::kill(-static_cast<pid_t>(reporter_shell), SIGKILL);
    ::_exit(127);
}

// From here to the end of the namespace: code of the forked processes, which
// may only make async-signal-safe calls (the host may have other threads).

// Sends over the report socket; a run that is gone already raises no SIGPIPE.
bool write_whole(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void unblock_signals() {
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void set_handler(int sig, void (*handler)(int)) {
    struct sigaction sa{};
    sa.sa_handler = handler;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(sig, &sa, nullptr);
}

// Closes every descriptor from `first` on; `limit` bounds the loop where the
// system cannot close a range at once.
void close_from(int first, int limit) {
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0) return;
    for (int fd = first; fd < limit; ++fd) ::close(fd);
}

// Everything a forked process needs, prepared before the fork.
struct spawn_plan {
    const char* argv[4];  // sh -c LINE
    int null_in;    // the null device (standard input)
    int out;        // the output pipe's writing end (standard output and error)
    int report;     // the reporting process's end of the report socket
    int fd_limit;   // descriptors to close where there is no close_range
    pid_t parent;
};

// The shell, in a process group of its own so that a kill reaches the
// compiler's children too; killed with the reporting process.
[[noreturn]] void shell_main(const spawn_plan& plan, pid_t reporter) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != reporter) ::_exit(127);
    ::close(report_fd);
    // The default action for every signal, none blocked, as a new program
    // expects (the host may ignore SIGCHLD or SIGPIPE).
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    unblock_signals();
    ::execv("/bin/sh", const_cast<char* const*>(plan.argv));
    ::_exit(127);
}

// The reporting process: starts the shell with the null device as input and
// the output pipe as output, waits for it and reports how it ended. Being the
// shell's parent, it gets that status whatever the host does with SIGCHLD
// (ignores it, or reaps every child on another thread). It keeps the ended
// shell unreaped until the run closes the socket, so the shell's group id
// cannot be reused while the run may still kill the group.
[[noreturn]] void reporter_main(const spawn_plan& plan) {
    // Out of the host's process group: a terminal's signals to the host do
    // not reach the compile.
    ::setpgid(0, 0);
    set_handler(SIGCHLD, SIG_DFL);
    set_handler(SIGTERM, reporter_orphaned);
    unblock_signals();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != plan.parent) ::_exit(127);

    // Descriptors 0 to 3 as the shell gets them (3 is the report socket,
    // closed in the shell); first out of the way of each other.
    const int in = ::fcntl(plan.null_in, F_DUPFD, 10);
    const int out = ::fcntl(plan.out, F_DUPFD, 10);
    const int rep = ::fcntl(plan.report, F_DUPFD, 10);
    if (out < 0 || rep < 0) ::_exit(127);
    if (in >= 0) ::dup2(in, STDIN_FILENO);
    else ::close(STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::dup2(rep, report_fd);
    close_from(report_fd + 1, plan.fd_limit);

    const pid_t me = ::getpid();
    const pid_t shell = ::fork();
    if (shell == 0) shell_main(plan, me);
    if (shell < 0) {
        const report r{report_failed, errno, 0};
        write_whole(report_fd, &r, sizeof r);
        ::_exit(0);
    }
    ::setpgid(shell, shell);  // also from here: the group exists before the run may kill it
    reporter_shell = shell;
    // Only the shell (and what it starts) holds the output pipe now.
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
    const report started{report_started, shell, 0};
    write_whole(report_fd, &started, sizeof started);

    // Should the run go away first (its process died, also without the
    // signal above, as under tools that hold signals back), the compile goes
    // with it. Needs a pid descriptor; without one the signal alone does it.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, shell, 0u));
    for (bool killed = false; pidfd >= 0;) {
        pollfd p[2] = {{pidfd, POLLIN, 0}, {report_fd, POLLIN, 0}};
        const int ready = ::poll(p, killed ? 1 : 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || p[0].revents != 0) break;  // the shell has ended
        char byte;
        const ssize_t got = ::recv(report_fd, &byte, 1, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            ::kill(-shell, SIGKILL);
            killed = true;
        }
    }
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(shell), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    const report ended{report_ended, info.si_code, info.si_status};
    write_whole(report_fd, &ended, sizeof ended);
    // The run closes its end (or dies) when it no longer kills the group.
    for (char byte;;) {
        const ssize_t n = ::read(report_fd, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    while (::waitpid(shell, nullptr, 0) < 0 && errno == EINTR) {
    }
    ::_exit(0);
}

// Reads the reports that have arrived; false at the end of the stream.
bool read_reports(int fd, std::string& pending, pid_t* shell, bool* ended, int* status, bool* failed) {
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    pending.append(buf, static_cast<size_t>(n));
    while (pending.size() >= sizeof(report)) {
        report r;
        std::memcpy(&r, pending.data(), sizeof r);
        pending.erase(0, sizeof r);
        if (r.kind == report_started) *shell = r.code;
        else if (r.kind == report_failed) *failed = true;
        else if (r.kind == report_ended) {
            *ended = true;
            *status = r.code == CLD_EXITED ? r.status : -1;
        }
    }
    return true;
}

}  // namespace


int lumk_platform_run(const std::string& command, std::string* output, uint32_t timeout_seconds, lumk_run_end* end,
                      const std::function<bool()>& stop) {
    if (output) output->clear();
    if (end) *end = lumk_run_end::not_run;
    const std::string line = command + " 2>&1";
    int out[2] = {-1, -1};
    int rep[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rep) != 0) {
        close_fd(out[0]);
        close_fd(out[1]);
        return -1;
    }
    const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto close_child_ends = [&] {
        close_fd(out[1]);
        close_fd(rep[1]);
        close_fd(null_in);
    };
    rlimit files{};
    const int fd_limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                             ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, rlim_t{1} << 20))
                             : 1 << 16;
    const spawn_plan plan{{"sh", "-c", line.c_str(), nullptr}, null_in, out[1], rep[1], fd_limit, ::getpid()};

    command_table& table = commands();
    running_command self;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        pid_t pid = -1;
        if (!table.stopping) {
            pid = ::fork();
            if (pid == 0) reporter_main(plan);
        }
        if (pid < 0) {
            close_child_ends();
            close_fd(out[0]);
            close_fd(rep[0]);
            if (end && table.stopping) *end = lumk_run_end::stopped;
            return -1;
        }
        self.reporter = pid;
        self.parent = plan.parent;
        table.running.push_back(&self);
    }
    close_child_ends();

    using clock = std::chrono::steady_clock;
    const bool limited = timeout_seconds != 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(timeout_seconds);
    lumk_output_collector collect(output);
    std::string reports;
    pid_t shell = -1;
    int status = -1;
    bool out_open = true, rep_open = true, ended = false, failed = false, timed_out = false, stop_now = false;
    clock::time_point quiet_at{};  // once the shell has ended: when reading its output stops
    char buf[4096];
    for (;;) {
        const clock::time_point now = clock::now();
        if (failed || (ended && (!out_open || now >= quiet_at))) break;
        if (!rep_open && !ended) break;  // the reporting process died: the status is lost
        if (!stop_now && !timed_out) {
            if (self.stopped.load(std::memory_order_acquire) || (stop && stop())) stop_now = true;
            else if (limited && now >= deadline) timed_out = true;
        }
        // To be killed: once its shell is known (the report is on its way).
        if ((stop_now || timed_out) && shell > 0) break;
        int wait_ms = stop_now || timed_out ? 10 : -1;
        auto wait_until = [&](clock::time_point t) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
            const int capped = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
            wait_ms = wait_ms < 0 ? capped : std::min(wait_ms, capped);
        };
        if (limited) wait_until(deadline);
        if (ended) wait_until(quiet_at);
        if (stop) wait_until(now + lumk_stop_poll);
        pollfd p[2];
        nfds_t n = 0;
        if (out_open) p[n++] = pollfd{out[0], POLLIN, 0};
        if (rep_open) p[n++] = pollfd{rep[0], POLLIN, 0};
        const int ready = ::poll(p, n, wait_ms);
        if (ready < 0 && errno != EINTR) {
            failed = true;
            break;
        }
        for (nfds_t i = 0; ready > 0 && i < n; ++i) {
            if (p[i].revents == 0) continue;
            if (p[i].fd == out[0]) {
                const ssize_t got = ::read(out[0], buf, sizeof buf);
                if (got > 0) collect.feed(buf, static_cast<size_t>(got));
                else if (got == 0 || (errno != EINTR && errno != EAGAIN)) out_open = false;
                continue;
            }
            const bool was_ended = ended;
            rep_open = read_reports(rep[0], reports, &shell, &ended, &status, &failed);
            if (shell > 0 && self.shell < 0) {
                std::lock_guard<std::mutex> lock(table.mutex);
                self.shell = shell;
            }
            if (ended && !was_ended) quiet_at = clock::now() + lumk_output_grace;
        }
    }
    collect.finish();
    close_fd(out[0]);
    if (self.stopped.load(std::memory_order_acquire)) stop_now = true;  // killed before it ended by itself

    {
        std::lock_guard<std::mutex> lock(table.mutex);
        // The reporting process keeps the shell unreaped until it is released
        // below, so the group id is still the command's to kill.
        if ((timed_out || stop_now) && self.shell > 0 && rep_open) ::killpg(self.shell, SIGKILL);
        table.running.erase(std::find(table.running.begin(), table.running.end(), &self));
    }
    table.changed.notify_all();

    // Release the reporting process (it reaps the shell and ends) and wait
    // for it to go; it is reaped here unless the host's own handling of
    // SIGCHLD already did.
    bool gone = !rep_open;
    if (rep_open) {
        ::shutdown(rep[0], SHUT_WR);
        const clock::time_point limit = clock::now() + std::chrono::seconds(2);
        while (!gone) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - clock::now()).count();
            if (left <= 0) break;
            pollfd p{rep[0], POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
            if (p.revents != 0) gone = !read_reports(rep[0], reports, &shell, &ended, &status, &failed);
        }
    }
    close_fd(rep[0]);
    if (!gone) ::kill(self.reporter, SIGKILL);  // alive (the socket is open), so the pid is still its own
    while (::waitpid(self.reporter, nullptr, 0) < 0 && errno == EINTR) {
    }

    if (end)
        *end = timed_out ? lumk_run_end::timed_out
               : stop_now ? lumk_run_end::stopped
               : (failed || shell < 0) ? lumk_run_end::not_run
                                       : lumk_run_end::exited;
    if (timed_out || stop_now || !ended) return -1;
    return status;
}

void lumk_platform_stop_commands() {
    command_table& table = commands();
    std::unique_lock<std::mutex> lock(table.mutex);
    table.stopping = true;
    const pid_t self = ::getpid();
    bool waiting = false;
    for (running_command* r : table.running) {
        if (r->parent != self) continue;  // in a forked child: the parent's runs are not ours to stop
        r->stopped.store(true, std::memory_order_release);
        // A run that does not know its shell yet kills it once it does.
        if (r->shell > 0) ::killpg(r->shell, SIGKILL);
        waiting = true;
    }
    if (waiting) table.changed.wait_for(lock, std::chrono::seconds(2), [&] { return table.running.empty(); });
}

void lumk_platform_at_quick_exit(void (*fn)()) { std::at_quick_exit(fn); }

#endif  // !_WIN32
