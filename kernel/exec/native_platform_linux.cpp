// Linux: commands through /bin/sh in a process group of their own, started and
// waited for by a reporting process of their own, libraries
// through dlopen, the cache folder under LUM_KERNEL_CACHE, XDG_CACHE_HOME or
// ~/.cache, else a folder of this process in the temporary folder.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/native_commands.h"

#if !defined(_WIN32)

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

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

uint64_t lumk_platform_pid() { return static_cast<uint64_t>(::getpid()); }

std::vector<std::string> lumk_platform_compiler_candidates() { return {"clang", "gcc"}; }

const char* lumk_platform_discard_output() { return " >/dev/null"; }

const char* lumk_platform_library_suffix() { return ".so"; }

std::string lumk_platform_quote(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\' || ch == '$' || ch == '`') out += '\\';
        out += ch;
    }
    out += '"';
    return out;
}

std::string lumk_platform_path_text(const fs::path& path) { return path.string(); }

fs::path lumk_platform_path(const std::string& text) { return fs::path(text); }

fs::path lumk_platform_absolute(const fs::path& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    return ec ? path : abs;
}

namespace {

std::string errno_text(int err) { return std::strerror(err); }

void refuse(std::vector<std::string>* warnings, const fs::path& dir, const std::string& why) {
    if (warnings) warnings->push_back("kernel cache folder " + dir.string() + " is not used: " + why);
}

// LUM_KERNEL_CACHE when set (an empty value: no candidate, nothing else is
// consulted); else $XDG_CACHE_HOME/lumioscript/kernels when that is an
// absolute path; else ~/.cache/lumioscript/kernels.
fs::path candidate_dir() {
    std::string v;
    if (lumk_platform_env("LUM_KERNEL_CACHE", &v)) return fs::path(v);
    if (lumk_platform_env("XDG_CACHE_HOME", &v) && !v.empty() && fs::path(v).is_absolute())
        return fs::path(v) / "lumioscript" / "kernels";
    if (lumk_platform_env("HOME", &v) && !v.empty()) return fs::path(v) / ".cache" / "lumioscript" / "kernels";
    return {};
}

bool is_link_at(int dir_fd, const std::string& name) {
    struct stat st{};
    return ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens the folder `dir` for compiled kernels from the root down, one folder
// at a time, checking each folder it passes through on the descriptor it
// opened: a folder renamed or replaced meanwhile is never mistaken for the
// one checked. Links on the way are followed (they lie in folders already
// found trustworthy, so only root or the user can have set them); the folder
// itself must not be a link. Missing folders are made with mode 0700: all of
// them when `make_parents`, else only the last. The open folder, or -1 with
// `why` set.
int open_trusted_dir(const fs::path& dir, bool make_parents, std::string* why) {
    const fs::path abs = lumk_platform_absolute(dir).lexically_normal();
    std::deque<std::string> todo;
    for (const fs::path& part : abs.relative_path())
        if (!part.empty() && part != ".") todo.push_back(part.string());
    const uid_t me = ::geteuid();
    int cur = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cur < 0) {
        *why = "the root folder cannot be opened (" + errno_text(errno) + ")";
        return -1;
    }
    fs::path where = "/";  // the folder `cur` is, as walked
    auto fail = [&](std::string text) {
        close_fd(cur);
        *why = std::move(text);
        return -1;
    };
    // Checks the open folder `fd` at `path`: as a folder on the way, or as
    // the folder itself.
    auto check = [&](int fd, const fs::path& path, bool last) -> std::string {
        struct stat st{};
        if (::fstat(fd, &st) != 0) return "it cannot be examined (" + path.string() + ": " + errno_text(errno) + ")";
        if (last) return lumk_owner_mode_problem(st.st_uid, me, static_cast<uint32_t>(st.st_mode));
        const std::string p = lumk_path_folder_problem(st.st_uid, me, static_cast<uint32_t>(st.st_mode));
        return p.empty() ? p : "the folder " + path.string() + " on its path " + p;
    };
    if (todo.empty()) {
        const std::string problem = check(cur, where, true);
        if (!problem.empty()) return fail(problem);
        return cur;
    }
    if (std::string problem = check(cur, where, false); !problem.empty()) return fail(problem);

    int links = 0;
    for (;;) {
        const std::string name = todo.front();
        todo.pop_front();
        const bool last = todo.empty();
        const fs::path path = name == ".." ? where.parent_path() : where / name;
        if (last || make_parents) {
            if (::mkdirat(cur, name.c_str(), 0700) != 0 && errno != EEXIST)
                return fail("it cannot be created (" + path.string() + ": " + errno_text(errno) + ")");
        }
        const int next = ::openat(cur, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int err = errno;
            const bool link = (err == ELOOP || err == ENOTDIR) && is_link_at(cur, name);
            if (last) {
                if (link) return fail("it is a symbolic link");
                if (err == ENOTDIR) return fail("it is not a folder");
                return fail("it cannot be opened (" + errno_text(err) + ")");
            }
            if (!link) return fail("it cannot be created (" + path.string() + ": " + errno_text(err) + ")");
            if (++links > 40) return fail("it cannot be opened (" + path.string() + ": too many symbolic links)");
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(cur, name.c_str(), target, sizeof target - 1);
            if (n <= 0) return fail("it cannot be opened (" + path.string() + ": unreadable symbolic link)");
            const fs::path to(std::string(target, static_cast<size_t>(n)));
            std::vector<std::string> parts;
            for (const fs::path& part : to.relative_path())
                if (!part.empty() && part != ".") parts.push_back(part.string());
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (to.is_absolute()) {
                const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (root < 0) return fail("the root folder cannot be opened (" + errno_text(errno) + ")");
                close_fd(cur);
                cur = root;
                where = "/";
            }
            if (todo.empty()) return fail("it is a symbolic link");
            continue;
        }
        close_fd(cur);
        cur = next;
        where = path;
        if (std::string problem = check(cur, where, last); !problem.empty()) return fail(problem);
        if (last) return cur;
    }
}

// The cache folders this process checked, kept open for good: the driver
// reaches them through these descriptors (lumk_platform_held_dir), so the
// numbers must never come back for another file.
struct held_folder {
    std::string path;
    int fd;
    dev_t dev;
    ino_t ino;
};

struct held_folders {
    std::mutex mutex;
    std::vector<held_folder> list;
};

held_folders& held() {
    static held_folders* const h = new held_folders;
    return *h;
}

void hold(const fs::path& dir, int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return;
    }
    held_folders& h = held();
    std::lock_guard<std::mutex> lock(h.mutex);
    for (const held_folder& f : h.list) {
        if (f.path == dir.string() && f.dev == st.st_dev && f.ino == st.st_ino) {
            ::close(fd);  // the same folder as before: one descriptor is enough
            return;
        }
    }
    h.list.push_back({dir.string(), fd, st.st_dev, st.st_ino});
}

// The folder checked and returned: kept open for lumk_platform_held_dir.
fs::path checked(const fs::path& dir, int fd) {
    hold(dir, fd);
    return dir;
}

}  // namespace

fs::path lumk_platform_cache_dir(std::vector<std::string>* warnings, bool* temporary) {
    if (temporary) *temporary = false;
    const fs::path cand = candidate_dir();
    if (!cand.empty()) {
        std::string why;
        const int fd = open_trusted_dir(cand, true, &why);
        if (fd >= 0) return checked(cand, fd);
        refuse(warnings, cand, why);
    }

    // This process's own folder in the shared temporary folder: made here, or
    // one of ours that nobody else can write to.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec || tmp.empty()) tmp = "/tmp";
    const fs::path dir = tmp / ("lumioscript-kernels-" + std::to_string(lumk_platform_pid()));
    std::string why;
    const int fd = open_trusted_dir(dir, false, &why);
    if (fd < 0) {
        refuse(warnings, dir, why);
        return {};
    }
    if (temporary) *temporary = true;
    return checked(dir, fd);
}

fs::path lumk_platform_held_dir(const fs::path& dir) {
    held_folders& h = held();
    std::lock_guard<std::mutex> lock(h.mutex);
    for (auto it = h.list.rbegin(); it != h.list.rend(); ++it) {
        if (it->path != dir.string()) continue;
        // Still the folder checked (a forked copy of the process may have
        // closed the number and reused it)?
        struct stat st{};
        if (::fstat(it->fd, &st) != 0 || st.st_dev != it->dev || st.st_ino != it->ino) return dir;
        // The compiler reaches the folder through this process's entry in
        // /proc, which a process that may not be inspected does not offer.
        if (::geteuid() != 0 && ::prctl(PR_GET_DUMPABLE) != 1) return dir;
        const fs::path via = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(it->fd);
        if (::stat(via.c_str(), &st) != 0 || st.st_dev != it->dev || st.st_ino != it->ino) return dir;
        return via;
    }
    return dir;
}

bool lumk_platform_write_new_file(const fs::path& path, const std::string& data, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else ok = false;
    }
    const int err = errno;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok && error) *error = "cannot write " + path.string() + " (" + errno_text(err) + ")";
    return ok;
}

void lumk_platform_flush_file(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)::fsync(fd);
    ::close(fd);
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)::fsync(dir);
    ::close(dir);
}

namespace {

// Libraries built without the math library linked in (ahead-of-time libraries
// made by an older build line) still find its functions.
void load_libm_globally() {
    static std::once_flag libm_once;
    std::call_once(libm_once, [] { ::dlopen("libm.so.6", RTLD_NOW | RTLD_GLOBAL); });
}

bool read_at(int fd, uint64_t offset, void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Why the ELF file `fd` of `size` bytes is not a whole library ("" when it
// is): its header, program headers, every segment's bytes in the file and
// its section headers must lie inside the file. The loader maps segments
// without reading them first; a page past the end of a file cut short would
// fault (SIGBUS) when it is touched.
template <class Ehdr, class Phdr>
std::string elf_problem(int fd, uint64_t size) {
    Ehdr eh{};
    if (size < sizeof eh || !read_at(fd, 0, &eh, sizeof eh)) return "no ELF header";
    const auto cut = [&](const char* what, uint64_t end) {
        return std::to_string(size) + " bytes, but " + what + " ends at byte " + std::to_string(end);
    };
    if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0 || eh.e_phnum == 0xffff) return "no usable program headers";
    const uint64_t ph_bytes = uint64_t{eh.e_phnum} * sizeof(Phdr);
    if (eh.e_phoff > size || ph_bytes > size - eh.e_phoff)
        return eh.e_phoff > UINT64_MAX - ph_bytes ? "program headers out of range"
                                                  : cut("the program header table", eh.e_phoff + ph_bytes);
    std::vector<Phdr> ph(eh.e_phnum);
    if (!read_at(fd, eh.e_phoff, ph.data(), ph_bytes)) return "unreadable program headers";
    for (const Phdr& p : ph) {
        if (p.p_filesz == 0) continue;
        if (p.p_offset > size || p.p_filesz > size - p.p_offset)
            return p.p_offset > UINT64_MAX - p.p_filesz ? "a segment out of range"
                                                        : cut(p.p_type == PT_LOAD ? "a loaded segment" : "a segment",
                                                              p.p_offset + p.p_filesz);
    }
    if (eh.e_shoff != 0) {
        const uint64_t sh_bytes = uint64_t{eh.e_shnum} * eh.e_shentsize;
        if (eh.e_shoff > size || sh_bytes > size - eh.e_shoff)
            return eh.e_shoff > UINT64_MAX - sh_bytes ? "section headers out of range"
                                                      : cut("the section header table", eh.e_shoff + sh_bytes);
    }
    return {};
}

// "" when the open file of `size` bytes is a whole ELF library of this
// machine's word size and byte order, else why not.
std::string library_problem(int fd, uint64_t size) {
    if (size == 0) return "it is not a whole library (it is empty)";
    unsigned char ident[EI_NIDENT]{};
    std::string why;
    if (size < sizeof ident || !read_at(fd, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        why = "no ELF header";
    else if (ident[EI_DATA] != (std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB))
        why = "another byte order";
    else if (ident[EI_CLASS] == ELFCLASS64)
        why = elf_problem<Elf64_Ehdr, Elf64_Phdr>(fd, size);
    else if (ident[EI_CLASS] == ELFCLASS32)
        why = elf_problem<Elf32_Ehdr, Elf32_Phdr>(fd, size);
    else
        why = "no ELF header";
    return why.empty() ? why : "it is not a whole library (" + why + ")";
}

// The inode of the file mapped where the loaded library's dynamic section
// lies, from /proc/self/maps; false when that cannot be told. Mappings are
// listed by address, so the reading stops at the one wanted. (Only the inode
// is compared: on some file systems the device shown there is not the one
// stat gives, and the library was reached through the folder held open, so it
// lies on that folder's file system.)
bool mapped_inode(void* lib, ino_t* ino) {
    link_map* map = nullptr;
    if (::dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_ld == nullptr) return false;
    const auto at = reinterpret_cast<uintptr_t>(map->l_ld);
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[4096];
    bool found = false, done = false;
    while (!found && !done) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; !found && !done && (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            unsigned long long lo = 0, hi = 0, inode = 0;
            const std::string line = text.substr(start, end - start);
            if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %llu", &lo, &hi, &inode) != 3) continue;
            if (at < lo) done = true;
            else if (at < hi) {
                found = true;
                *ino = static_cast<ino_t>(inode);
            }
        }
        text.erase(0, start);
    }
    ::close(fd);
    return found;
}

}  // namespace

void* lumk_platform_open_library(const fs::path& path, std::string* error) {
    load_libm_globally();
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && error) *error = "cannot load " + path.string();
    return lib;
}

void* lumk_platform_open_private_library(const fs::path& path, std::string* error, std::string* refused) {
    load_libm_globally();
    const std::string failed = "cannot load " + path.string();
    // Without waiting: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (error) *error = failed;
        if (err == ELOOP && refused) *refused = "it is a symbolic link";
        return nullptr;
    }
    struct stat st{};
    std::string why;
    if (::fstat(fd, &st) != 0) why = "it cannot be examined (" + errno_text(errno) + ")";
    else if (!S_ISREG(st.st_mode)) why = "it is not a plain file";
    else why = lumk_owner_mode_problem(st.st_uid, ::geteuid(), static_cast<uint32_t>(st.st_mode));
    if (why.empty()) why = library_problem(fd, static_cast<uint64_t>(st.st_size));
    void* lib = nullptr;
    if (why.empty()) {
        // By name (the caller gives the path through the cache folder held
        // open, which only this user or root can change), then made sure that
        // what was mapped is the file examined; the descriptor is not kept.
        lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ino_t ino = 0;
        if (lib != nullptr && mapped_inode(lib, &ino) && ino != st.st_ino) {
            ::dlclose(lib);
            lib = nullptr;
            why = "the file loaded is not the one examined";
        }
    }
    ::close(fd);
    return lumk_private_library_result(lib, failed, why, error, refused);
}

void lumk_platform_make_private(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 022u) != 0)
        (void)::fchmod(fd, st.st_mode & 07755u);
    ::close(fd);
}

void* lumk_platform_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void lumk_platform_close_library(void* library) { ::dlclose(library); }

#endif  // !_WIN32
