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
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

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

// The keeper of a run's temporary files, run as `sh -c SCRIPT sh GROUP NAME...`
// in a process group of its own, with the null device as input and output,
// its end of the keeper socket as descriptor 3, the files' folder as
// descriptor 4 and a reading end of the command's output pipe as descriptor
// 5. A run that ends normally writes a line to the socket before closing it:
// the keeper ends and the files are the run's caller's business. When the
// socket closes without that line, the host has died (killed, or ended
// through quick_exit with its cleanup cut short): the keeper kills the
// command's group (its watcher does so too), reads the output until every
// process that held it has ended, so that no compiler writes a file after it,
// and removes the files through the folder as it was checked. Being outside
// the group, it outlives the kill.
constexpr const char* keeper_script =
    "read -r x <&3 && exit 0\n"
    "kill -KILL -\"$1\"\n"
    "shift\n"
    "cat <&5\n"
    "cd /dev/fd/4 && rm -f -- \"$@\"\n";

std::atomic<const char*> test_waiter{nullptr};

// The runs this process has going, in a table of lock-free slots that only
// grows: the process group of each command, for a process that ends through
// quick_exit, and every descriptor the run holds, which a copy that fork()
// makes of the process closes at once. Otherwise a helper the host forks
// (without exec) would hold them open, and a compiler whose host has died
// would live on for as long as the helper does.
enum run_fd {
    out_read,
    out_write,
    report,
    report_peer,
    null_dev,
    keeper_end,
    keeper_peer,
    folder,
    out_copy,
    run_fds
};

struct run_slot {
    std::atomic<uint64_t> entry{0};  // (owner pid << 32) | group id (0 until started); 0 when free
    std::atomic<int> fd[run_fds]{-1, -1, -1, -1, -1, -1, -1, -1, -1};
};
constexpr int slots_per_chunk = 64;
struct slot_chunk {
    run_slot slots[slots_per_chunk];
    std::atomic<slot_chunk*> next{nullptr};  // never freed
};
slot_chunk first_chunk;

// A run makes and records its descriptors, and closes and forgets them,
// holding this lock shared; fork() takes it exclusively (for a bounded time)
// and gives it back in both processes. A copy thus finds every run either
// without descriptors or with all of them recorded, never one whose number
// was made but not yet written down, or closed but not yet forgotten (which
// may by then be another descriptor of the host's). Writers go first: a
// fork waits for the runs that are starting or ending, not for later ones.
pthread_rwlock_t fork_guard = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
thread_local bool guard_held_for_fork = false;

void take_guard_for_fork() {
    // Bounded: a fork from a signal handler on a thread that holds the lock
    // shared goes on without it after a while.
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 2;
    guard_held_for_fork = ::pthread_rwlock_clockwrlock(&fork_guard, CLOCK_MONOTONIC, &until) == 0;
}

void give_guard_back() {
    if (!guard_held_for_fork) return;
    guard_held_for_fork = false;
    ::pthread_rwlock_unlock(&fork_guard);
}

// In the copy the lock is made anew: the parent's threads that held or
// waited for it are not there, and the lock knows its writer by a thread id
// that the copy's one thread no longer has.
void fresh_guard_in_copy() {
    static const pthread_rwlock_t fresh = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    guard_held_for_fork = false;
    std::memcpy(static_cast<void*>(&fork_guard), &fresh, sizeof fresh);
}

struct shared_guard {
    shared_guard() { ::pthread_rwlock_rdlock(&fork_guard); }
    ~shared_guard() { ::pthread_rwlock_unlock(&fork_guard); }
    shared_guard(const shared_guard&) = delete;
    shared_guard& operator=(const shared_guard&) = delete;
};

template <class Fn>
void each_slot(Fn fn) {
    for (slot_chunk* c = &first_chunk; c != nullptr; c = c->next.load(std::memory_order_acquire))
        for (run_slot& s : c->slots) fn(s);
}

// A free slot, claimed for this process; null only when no memory is left.
run_slot* claim_slot() {
    const uint64_t mine = static_cast<uint64_t>(::getpid()) << 32;
    for (slot_chunk* c = &first_chunk;;) {
        for (run_slot& s : c->slots) {
            uint64_t free_slot = 0;
            if (s.entry.compare_exchange_strong(free_slot, mine)) return &s;
        }
        slot_chunk* next = c->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            auto* made = new (std::nothrow) slot_chunk;
            if (made == nullptr) return nullptr;
            if (c->next.compare_exchange_strong(next, made, std::memory_order_acq_rel)) next = made;
            else delete made;
        }
        c = next;
    }
}

// `fd` as the slot's descriptor `which`; returns it.
int keep(run_slot* s, run_fd which, int fd) {
    s->fd[which].store(fd);
    return fd;
}

// Closes the slot's descriptor `which`; the copy never sees its number again.
void close_kept(run_slot* s, run_fd which) {
    const int fd = s->fd[which].exchange(-1);
    if (fd >= 0) ::close(fd);
}

// Frees the slot once every descriptor it recorded is closed.
void free_slot(run_slot* s) {
    for (int i = 0; i < run_fds; ++i) close_kept(s, static_cast<run_fd>(i));
    s->entry.store(0);
}

// In the copy fork() made (only the forking thread runs): every recorded run
// is the parent's. Its descriptors are closed and its slot is freed.
void close_the_parents_runs() {
    fresh_guard_in_copy();
    each_slot([](run_slot& s) { free_slot(&s); });
}

// Registered while the module is loaded (see process_local.h).
const bool closing_in_copies =
    (::pthread_atfork(take_guard_for_fork, give_guard_back, close_the_parents_runs), true);

// The slot's descriptor `which` moved above the standard ones (closed on
// exec), so that the descriptor actions of a spawn never overwrite one
// another.
int keep_above_standard(run_slot* s, run_fd which) {
    const int fd = s->fd[which].load();
    if (fd < 0) return -1;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    keep(s, which, moved);
    ::close(fd);
    return moved;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Starts `sh -c SCRIPT sh ARGS...` in a process group of its own, every
// signal's default action and none blocked, with descriptor i of `fds` as
// its descriptor i and no other. -1 when it could not be started.
pid_t spawn_shell(const char* script, const std::vector<const char*>& args, const std::vector<int>& fds) {
    for (int fd : fds)
        if (fd < 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    const bool have_actions = ::posix_spawn_file_actions_init(&actions) == 0;
    const bool have_attr = have_actions && ::posix_spawnattr_init(&attr) == 0;
    bool ready = have_attr;
    if (ready) {
        sigset_t all, none;
        ::sigfillset(&all);
        ::sigemptyset(&none);
        // Its own group (its id is the process's pid), every signal's default
        // action (the host may ignore SIGCHLD or SIGPIPE) and none blocked.
        ready = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
                ::posix_spawnattr_setpgroup(&attr, 0) == 0 && ::posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
                ::posix_spawnattr_setsigmask(&attr, &none) == 0;
        for (size_t i = 0; i < fds.size() && ready; ++i)
            ready = ::posix_spawn_file_actions_adddup2(&actions, fds[i], static_cast<int>(i)) == 0;
        ready = ready && ::posix_spawn_file_actions_addclosefrom_np(&actions, static_cast<int>(fds.size())) == 0;
    }
    pid_t pid = -1;
    if (ready) {
        std::vector<const char*> argv = {"sh", "-c", script, "sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv.data()), environ) != 0)
            pid = -1;
    }
    if (have_attr) ::posix_spawnattr_destroy(&attr);
    if (have_actions) ::posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

struct lumk_process {
    pid_t waiter = -1;  // also the id of the command's process group
    pid_t keeper = -1;  // of the run's temporary files; -1 when it has none
    int out = -1;       // the output pipe's reading end
    int report = -1;    // the run's end of the report socket
    int keeper_end = -1;  // the run's end of the keeper's socket
    run_slot* slot = nullptr;
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

// Starts the keeper of `files` for the command whose group is `group`; its
// pid, or -1.
pid_t start_keeper(run_slot* s, pid_t group, const lumk_run_files& files) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    keep(s, keeper_end, ends[0]);
    keep(s, keeper_peer, ends[1]);
    keep(s, folder, ::open(files.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    keep(s, out_copy, ::fcntl(s->fd[out_read].load(), F_DUPFD_CLOEXEC, 10));
    const std::string group_text = std::to_string(group);
    std::vector<const char*> args = {group_text.c_str()};
    for (const std::string& name : files.names) args.push_back(name.c_str());
    const int null_fd = s->fd[null_dev].load();
    const pid_t keeper =
        spawn_shell(keeper_script, args, {null_fd, null_fd, null_fd, keep_above_standard(s, keeper_peer),
                                          keep_above_standard(s, folder), s->fd[out_copy].load()});
    close_kept(s, keeper_peer);
    close_kept(s, folder);
    close_kept(s, out_copy);
    if (keeper < 0) close_kept(s, keeper_end);
    return keeper;
}

}  // namespace

lumk_process* lumk_process_start(const std::string& command, lumk_output_collector* sink,
                                 const lumk_run_files* files) {
    // Every descriptor is recorded as soon as it is made.
    const shared_guard guard;
    run_slot* s = claim_slot();
    if (s == nullptr) return nullptr;
    int ends[2] = {-1, -1};
    bool made = ::pipe2(ends, O_CLOEXEC) == 0;
    if (made) {
        keep(s, out_read, ends[0]);
        keep(s, out_write, ends[1]);
        made = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
    }
    if (made) {
        keep(s, report, ends[0]);
        keep(s, report_peer, ends[1]);
        made = keep(s, null_dev, ::open("/dev/null", O_RDWR | O_CLOEXEC)) >= 0;
    }
    pid_t waiter = -1;
    if (made) {
        const char* script = test_waiter.load(std::memory_order_acquire);
        const int null_in = keep_above_standard(s, null_dev);
        const int out_w = keep_above_standard(s, out_write);
        waiter = spawn_shell(script ? script : waiter_script, {command.c_str()},
                             {null_in, out_w, out_w, keep_above_standard(s, report_peer)});
    }
    close_kept(s, out_write);
    close_kept(s, report_peer);
    if (waiter < 0) {
        free_slot(s);
        return nullptr;
    }
    s->entry.store((static_cast<uint64_t>(::getpid()) << 32) | static_cast<uint32_t>(waiter));
    auto* p = new lumk_process;
    p->waiter = waiter;
    p->out = s->fd[out_read].load();
    p->report = s->fd[report].load();
    p->sink = sink;
    p->slot = s;
    // Without its keeper the files are removed as before: by the run's caller
    // or the process's own end.
    if (files != nullptr && !files->names.empty()) p->keeper = start_keeper(s, waiter, *files);
    p->keeper_end = s->fd[keeper_end].load();
    close_kept(s, null_dev);
    set_nonblocking(p->out);
    set_nonblocking(p->report);
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
    {
        const shared_guard guard;
        // The group goes, with whatever the command left in it; the watcher
        // would do the same once released, this makes it so before the run
        // ends.
        lumk_process_kill(p);
        // The keeper is told the run ended normally: it leaves the files
        // alone.
        if (p->keeper_end >= 0) (void)::send(p->keeper_end, "done\n", 5, MSG_NOSIGNAL | MSG_DONTWAIT);
        free_slot(p->slot);
    }
    // The waiter and the keeper are collected here unless the host's own
    // handling of SIGCHLD did it; the waiter was killed above and the keeper
    // ends on its line, so this is short, and bounded in any case.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (pid_t child : {p->waiter, p->keeper}) {
        for (int nap_us = 100; child > 0;) {
            const pid_t r = ::waitpid(child, nullptr, WNOHANG);
            if (r == child || (r < 0 && errno != EINTR)) break;
            if (std::chrono::steady_clock::now() >= give_up) break;
            std::this_thread::sleep_for(std::chrono::microseconds(nap_us));
            nap_us = std::min(nap_us * 2, 10000);
        }
    }
    delete p;
}

void lumk_process_abandon(lumk_process* p) { delete p; }

void lumk_platform_kill_commands_now() {
    // Only async-signal-safe calls: getpid, kill and lock-free atomics.
    const uint64_t me = static_cast<uint64_t>(::getpid());
    each_slot([me](run_slot& s) {
        const uint64_t entry = s.entry.load();
        const pid_t group = static_cast<pid_t>(entry & 0xffffffffu);
        if ((entry >> 32) == me && group > 0) ::kill(-group, SIGKILL);
    });
}

void lumk_platform_test_waiter_script(const char* script) { test_waiter.store(script, std::memory_order_release); }

void lumk_platform_at_quick_exit(void (*fn)()) { std::at_quick_exit(fn); }

#endif  // !_WIN32
