// Linux: a command runs under a small shell script, the waiter, that leads a
// process group of its own and reports the command's exit status over a
// socket.
#include "kernel/exec/native_run.h"

#include "kernel/exec/process_local.h"
#include "runtime/fork_hold.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

// The keeper of a compile's temporary files (lumk_platform_compile_files_start), run
// as `sh -c SCRIPT sh` in a process group of its own, with the null device as
// input and output, its end of the keeper socket as descriptor 3, the files'
// folder as descriptor 4 and the reading end of the command's output pipe as
// descriptor 5. It reads lines from the socket: "file NAME" (a name to remove
// should the host die), "forget" (the names so far are not the host's),
// "group N" (the command's process group), "ended" (that group is gone: its
// id may be another's by now) and "done" (the files are the host's again: it
// ends). When the socket closes without "done", the host has died (killed, or
// ended through quick_exit with its cleanup cut short): the keeper kills the
// command's group if it is still the command's (its watcher does so too),
// reads the output until every process that held it has let it go (the pipe
// is blocking: nobody else reads it once the host is gone), so that no
// compiler writes a file after it, and removes the names through the folder
// as it was checked. Being outside the group, it outlives the kill; it
// ignores the signals a whole session gets when it ends (they are blocked
// from its start on as well).
constexpr const char* keeper_script =
    "trap '' TERM HUP INT\n"
    "g=\n"
    "while read -r w a <&3; do\n"
    "  case $w in\n"
    "    file) set -- \"$@\" \"$a\" ;;\n"
    "    forget) set -- ;;\n"
    "    group) g=$a ;;\n"
    "    ended) g= ;;\n"
    "    done) exit 0 ;;\n"
    "  esac\n"
    "done\n"
    "[ -z \"$g\" ] || kill -KILL -\"$g\"\n"
    "cat <&5\n"
    "[ $# -eq 0 ] || { cd /dev/fd/4 && rm -f -- \"$@\"; }\n";

// How long the end of a run, and of a keeper, waits to collect the process it
// started (killed, or told to end, just before).
constexpr std::chrono::seconds reaping_budget{1};

std::atomic<const char*> test_waiter{nullptr};
std::atomic<const char*> test_keeper{nullptr};

// The runs and keepers this process has going, in a table of lock-free slots
// that only grows: the process group of each command, for a process that ends
// through quick_exit, and every descriptor a run or keeper holds, which a copy
// that fork() makes of the process closes at once. Otherwise a helper the host
// forks (without exec) would hold them open, and a compiler whose host has
// died would live on for as long as the helper does.
enum run_fd {
    out_read,
    out_write,
    report,
    report_peer,
    null_dev,
    keeper_end,
    keeper_peer,
    folder,
    run_fds
};

struct run_slot {
    std::atomic<uint64_t> entry{0};  // (owner pid << 32) | group id (0 until started); 0 when free
    std::atomic<int> fd[run_fds]{-1, -1, -1, -1, -1, -1, -1, -1};
};
constexpr int slots_per_chunk = 64;
struct slot_chunk {
    run_slot slots[slots_per_chunk];
    std::atomic<slot_chunk*> next{nullptr};  // never freed
};
slot_chunk first_chunk;

// A run or keeper makes and records its descriptors, and closes and forgets
// them, inside this gate (never while it starts a process: a fork does not
// wait for spawns). A fork closes the gate and waits until no other thread is
// inside (runtime/fork_hold.h: never for its own thread, and for the others
// within the bound). A copy thus finds every run either without descriptors
// or with all of them recorded, never one whose number was made but not yet
// written down (the copy could not close it), or closed but not yet
// forgotten (which may by then be another descriptor of the host's). Many
// runs are inside at once: the gate is no lock among them.
constinit lum_fork_hold fork_guard;

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
    fork_guard.after_fork_in_copy();
    each_slot([](run_slot& s) { free_slot(&s); });
}

// Registered while the module is loaded (see process_local.h).
const bool closing_in_copies =
    (::pthread_atfork([] { fork_guard.before_fork(); }, [] { fork_guard.after_fork_in_parent(); },
                      close_the_parents_runs),
     true);

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
// signal's default action and none blocked (`shielded`: SIGTERM, SIGHUP and
// SIGINT blocked), with descriptor i of `fds` as its descriptor i and no
// other. -1 when it could not be started.
pid_t spawn_shell(const char* script, const std::vector<const char*>& args, const std::vector<int>& fds,
                  bool shielded = false) {
    for (int fd : fds)
        if (fd < 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    const bool have_actions = ::posix_spawn_file_actions_init(&actions) == 0;
    const bool have_attr = have_actions && ::posix_spawnattr_init(&attr) == 0;
    bool ready = have_attr;
    if (ready) {
        sigset_t all, blocked;
        ::sigfillset(&all);
        ::sigemptyset(&blocked);
        if (shielded)
            for (int sig : {SIGTERM, SIGHUP, SIGINT}) ::sigaddset(&blocked, sig);
        // Its own group (its id is the process's pid), every signal's default
        // action (the host may ignore SIGCHLD or SIGPIPE) and none blocked
        // unless shielded.
        ready = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
                ::posix_spawnattr_setpgroup(&attr, 0) == 0 && ::posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
                ::posix_spawnattr_setsigmask(&attr, &blocked) == 0;
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

struct lumk_compile_files {
    pid_t pid = -1;
    run_slot* slot = nullptr;  // the socket's end, the output pipe (its writing end until a run takes it)
    uint32_t generation = 0;   // of the process that started it
};

struct lumk_process {
    pid_t waiter = -1;  // also the id of the command's process group
    int out = -1;       // the output pipe's reading end (blocking: it is read only when poll says so)
    int report = -1;    // the run's end of the report socket
    lumk_compile_files* keeper = nullptr;  // told the group, and when it has gone
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

// Whether `k` is this process's keeper (not its parent's, in a copy fork()
// made).
bool keeper_is_mine(const lumk_compile_files* k) {
    return k != nullptr && k->generation == lumk_process_generation();
}

void tell_keeper(const lumk_compile_files* k, const std::string& line) {
    if (!keeper_is_mine(k)) return;
    const std::string text = line + "\n";
    (void)::send(k->slot->fd[keeper_end].load(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Collects `child` unless the host's own handling of SIGCHLD did it: it was
// killed or told to end just before, so this is short, and bounded in any
// case.
void reap(pid_t child) {
    const auto give_up = std::chrono::steady_clock::now() + reaping_budget;
    for (int nap_us = 100; child > 0;) {
        const pid_t r = ::waitpid(child, nullptr, WNOHANG);
        if (r == child || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= give_up) break;
        std::this_thread::sleep_for(std::chrono::microseconds(nap_us));
        nap_us = std::min(nap_us * 2, 10000);
    }
}

}  // namespace

lumk_cancel_hold::lumk_cancel_hold() { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state_); }

lumk_cancel_hold::~lumk_cancel_hold() { ::pthread_setcancelstate(state_, nullptr); }

lumk_compile_files* lumk_platform_compile_files_start(const std::filesystem::path& folder_path) {
    // Starting and ending a keeper or a run, and telling a keeper, are never
    // cut short by a cancellation (their open, send, close and waitpid are
    // cancellation points): what they make is recorded whole or not at all.
    // A run's waits for its command are where a thread is cancelled.
    const lumk_cancel_hold hold;
    const uint32_t generation = lumk_process_generation();
    run_slot* s = nullptr;
    int given[6] = {-1, -1, -1, -1, -1, -1};
    {
        // Every descriptor is recorded as soon as it is made.
        const lum_fork_inside inside(fork_guard);
        s = claim_slot();
        if (s == nullptr) return nullptr;
        int ends[2] = {-1, -1};
        bool made = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
        if (made) {
            keep(s, keeper_end, ends[0]);
            keep(s, keeper_peer, ends[1]);
            made = ::pipe2(ends, O_CLOEXEC) == 0;
        }
        if (made) {
            keep(s, out_read, ends[0]);
            keep(s, out_write, ends[1]);
            made = keep(s, folder, ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0 &&
                   keep(s, null_dev, ::open("/dev/null", O_RDWR | O_CLOEXEC)) >= 0;
        }
        if (made) {
            given[0] = given[1] = given[2] = keep_above_standard(s, null_dev);
            given[3] = keep_above_standard(s, keeper_peer);
            given[4] = keep_above_standard(s, folder);
            given[5] = keep_above_standard(s, out_read);
        } else {
            free_slot(s);
            return nullptr;
        }
    }
    const char* script = test_keeper.load(std::memory_order_acquire);
    const pid_t pid = spawn_shell(script ? script : keeper_script, {}, {given, given + 6}, true);
    {
        const lum_fork_inside inside(fork_guard);
        close_kept(s, keeper_peer);
        close_kept(s, folder);
        close_kept(s, null_dev);
        if (pid < 0) {
            free_slot(s);
            return nullptr;
        }
    }
    return new lumk_compile_files{pid, s, generation};
}

void lumk_platform_compile_files_watch(lumk_compile_files* keeper, const std::string& name) {
    const lumk_cancel_hold hold;
    tell_keeper(keeper, "file " + name);
}

void lumk_platform_compile_files_forget(lumk_compile_files* keeper) {
    const lumk_cancel_hold hold;
    tell_keeper(keeper, "forget");
}

void lumk_platform_compile_files_end(lumk_compile_files* keeper) {
    if (keeper == nullptr) return;
    const lumk_cancel_hold hold;
    if (keeper_is_mine(keeper)) {
        tell_keeper(keeper, "done");
        {
            const lum_fork_inside inside(fork_guard);
            free_slot(keeper->slot);
        }
        reap(keeper->pid);
    }
    delete keeper;
}

lumk_process* lumk_process_start(const std::string& command, lumk_output_collector* sink,
                                 lumk_compile_files* keeper) {
    const lumk_cancel_hold hold;
    if (!keeper_is_mine(keeper)) keeper = nullptr;
    run_slot* s = nullptr;
    // The keeper's pipe while its writing end is there (one run per keeper).
    run_slot* pipe_of = nullptr;
    int given[4] = {-1, -1, -1, -1};
    {
        // Every descriptor is recorded as soon as it is made.
        const lum_fork_inside inside(fork_guard);
        s = claim_slot();
        if (s == nullptr) return nullptr;
        int ends[2] = {-1, -1};
        bool made = true;
        if (keeper != nullptr && keeper->slot->fd[out_write].load() >= 0) {
            pipe_of = keeper->slot;
        } else if ((made = ::pipe2(ends, O_CLOEXEC) == 0)) {
            keep(s, out_read, ends[0]);
            keep(s, out_write, ends[1]);
            pipe_of = s;
        }
        if (made) {
            made = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
            if (made) {
                keep(s, report, ends[0]);
                keep(s, report_peer, ends[1]);
                made = keep(s, null_dev, ::open("/dev/null", O_RDWR | O_CLOEXEC)) >= 0;
            }
        }
        if (!made) {
            free_slot(s);
            return nullptr;
        }
        given[0] = keep_above_standard(s, null_dev);
        given[1] = given[2] = keep_above_standard(pipe_of, out_write);
        given[3] = keep_above_standard(s, report_peer);
    }
    const char* script = test_waiter.load(std::memory_order_acquire);
    const pid_t waiter = spawn_shell(script ? script : waiter_script, {command.c_str()}, {given, given + 4});
    {
        const lum_fork_inside inside(fork_guard);
        // Only the command holds the pipe's writing end now.
        close_kept(pipe_of, out_write);
        close_kept(s, report_peer);
        close_kept(s, null_dev);
        if (waiter < 0) {
            free_slot(s);
            return nullptr;
        }
        s->entry.store((static_cast<uint64_t>(::getpid()) << 32) | static_cast<uint32_t>(waiter));
    }
    auto* p = new lumk_process;
    p->waiter = waiter;
    p->out = pipe_of->fd[out_read].load();
    p->report = s->fd[report].load();
    p->sink = sink;
    p->slot = s;
    p->keeper = keeper;
    tell_keeper(keeper, "group " + std::to_string(waiter));
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
    const lumk_cancel_hold hold;
    if (group_is_ours(p)) ::kill(-p->waiter, SIGKILL);
}

void lumk_process_release(lumk_process* p) {
    const lumk_cancel_hold hold;
    // The group goes, with whatever the command left in it; the watcher would
    // do the same once released, this makes it so before the run ends. The
    // keeper learns that the group is gone before the waiter is collected
    // (after which its id may be given to another group).
    lumk_process_kill(p);
    tell_keeper(p->keeper, "ended");
    {
        const lum_fork_inside inside(fork_guard);
        free_slot(p->slot);
    }
    reap(p->waiter);
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

void lumk_platform_test_keeper_script(const char* script) { test_keeper.store(script, std::memory_order_release); }

size_t lumk_platform_test_recorded_runs() {
    const uint64_t me = static_cast<uint64_t>(::getpid());
    size_t n = 0;
    each_slot([&](run_slot& s) { n += (s.entry.load() >> 32) == me; });
    return n;
}

size_t lumk_platform_test_runs_with_group() {
    const uint64_t me = static_cast<uint64_t>(::getpid());
    size_t n = 0;
    each_slot([&](run_slot& s) {
        const uint64_t entry = s.entry.load();
        n += (entry >> 32) == me && (entry & 0xffffffffu) != 0;
    });
    return n;
}

size_t lumk_platform_test_run_slots() {
    size_t n = 0;
    each_slot([&](run_slot&) { ++n; });
    return n;
}

namespace {

std::atomic<bool> no_random_source{false};

// splitmix64's finalizer: every bit of `x` reaches every bit of the result.
uint64_t mix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

void lumk_platform_test_no_random_source(bool none) { no_random_source.store(none, std::memory_order_relaxed); }

uint64_t lumk_platform_random64() {
    uint64_t value = 0;
    if (!no_random_source.load(std::memory_order_relaxed)) {
        // Never waits: before the system's pool is ready, /dev/urandom answers.
        if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
        const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const bool read_whole = ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
            ::close(fd);
            if (read_whole) return value;
        }
    }
    // Neither answers (a sandbox that allows neither): never a constant,
    // which every such host would share, but what sets this process and call
    // apart, mixed: the process id (hosts in other pid namespaces may share
    // it), the time of day and the time since boot to the nanosecond, an
    // address on the stack and one in this library (both placed anew in each
    // process) and a count of the calls.
    static std::atomic<uint64_t> calls{0};
    timespec real{}, since_boot{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_MONOTONIC, &since_boot);
    const uint64_t parts[] = {static_cast<uint64_t>(::getpid()),
                              static_cast<uint64_t>(real.tv_sec) * 1000000000u + static_cast<uint64_t>(real.tv_nsec),
                              static_cast<uint64_t>(since_boot.tv_sec) * 1000000000u +
                                  static_cast<uint64_t>(since_boot.tv_nsec),
                              reinterpret_cast<uintptr_t>(&value), reinterpret_cast<uintptr_t>(&calls),
                              calls.fetch_add(1, std::memory_order_relaxed)};
    uint64_t h = 0;
    for (uint64_t part : parts) h = mix64(h ^ part);
    return h;
}

void lumk_platform_at_quick_exit(void (*fn)()) { std::at_quick_exit(fn); }

#endif  // !_WIN32
