// Linux: commands through /bin/sh in a process group of their own, libraries
// through dlopen, the cache folder under LUM_KERNEL_CACHE, XDG_CACHE_HOME or
// ~/.cache, else a folder of this process in the temporary folder.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/native_commands.h"

#if !defined(_WIN32)

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A command being run: its process, which leads its own process group.
struct running_command {
    pid_t pid = -1;
    pid_t parent = -1;     // the process that runs it (a forked copy of the table is not ours)
    bool stopped = false;  // killed by lumk_platform_stop_commands
};

using command_table = lumk_command_table<running_command>;

command_table& commands() { return command_table::get(); }

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

// Whether the process has ended, without reaping it: its pid (and so its
// process group id) stays reserved until waitpid.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    for (;;) {
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid;
        if (errno != EINTR) return true;  // not our child any more: nothing left to wait for
    }
}

}  // namespace

int lumk_platform_run(const std::string& command, std::string* output, uint32_t timeout_seconds, lumk_run_end* end) {
    if (output) output->clear();
    if (end) *end = lumk_run_end::not_run;
    const std::string line = command + " 2>&1";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;

    command_table& table = commands();
    running_command self;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.stopping) {
            close_fd(fds[0]);
            close_fd(fds[1]);
            if (end) *end = lumk_run_end::stopped;
            return -1;
        }
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here on. A group of its own, so
            // that a kill reaches the compiler's children too; killed with its
            // parent thread, should the host die without shutting down.
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            if (fds[1] != STDOUT_FILENO) ::dup2(fds[1], STDOUT_FILENO);
            ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0) {
            close_fd(fds[0]);
            close_fd(fds[1]);
            return -1;
        }
        // Also from here: the group exists before anyone may kill it.
        ::setpgid(pid, pid);
        self.pid = pid;
        self.parent = parent;
        table.running.push_back(&self);
    }
    close_fd(fds[1]);

    using clock = std::chrono::steady_clock;
    const bool limited = timeout_seconds != 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(timeout_seconds);
    lumk_output_collector collect(output);
    bool open = true, timed_out = false;
    auto remaining_ms = [&]() -> int {
        if (!limited) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    };
    char buf[4096];
    int pause_ms = 1;
    for (;;) {
        const int wait_ms = remaining_ms();
        if (wait_ms == 0) {
            timed_out = true;
            break;
        }
        if (open) {
            pollfd p{fds[0], POLLIN, 0};
            const int ready = ::poll(&p, 1, wait_ms);
            if (ready < 0 && errno != EINTR) open = false;
            if (ready <= 0) continue;
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n > 0) collect.feed(buf, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN)) open = false;
            continue;
        }
        // The output is closed: wait for the shell itself to end.
        if (has_ended(self.pid)) break;
        const int nap = wait_ms < 0 ? pause_ms : std::min(pause_ms, wait_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(nap));
        pause_ms = std::min(pause_ms * 2, 50);
    }
    collect.finish();
    close_fd(fds[0]);

    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        // The shell is not reaped yet, so the group id is still ours to kill.
        if (timed_out) ::killpg(self.pid, SIGKILL);
        stopped = self.stopped;
        table.running.erase(std::find(table.running.begin(), table.running.end(), &self));
    }
    table.changed.notify_all();
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(self.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (end) *end = timed_out ? lumk_run_end::timed_out : stopped ? lumk_run_end::stopped : lumk_run_end::exited;
    if (timed_out || stopped || got != self.pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void lumk_platform_stop_commands() {
    command_table& table = commands();
    std::unique_lock<std::mutex> lock(table.mutex);
    table.stopping = true;
    const pid_t self = ::getpid();
    bool waiting = false;
    for (running_command* r : table.running) {
        if (r->parent != self) continue;  // in a forked child: the parent's runs are not ours to stop
        r->stopped = true;
        ::killpg(r->pid, SIGKILL);
        waiting = true;
    }
    if (waiting) table.changed.wait_for(lock, std::chrono::seconds(2), [&] { return table.running.empty(); });
}

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

// mkdir -p with mode 0700 for every folder it creates; "" when it went
// through, else why not.
std::string make_private_dirs(const fs::path& dir) {
    fs::path cur;
    for (const fs::path& part : dir) {
        cur /= part;
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            return "it cannot be created (" + cur.string() + ": " + errno_text(errno) + ")";
    }
    return {};
}

// Why the folder cannot hold our libraries ("" when it can): it must be a real
// folder, not a link, that belongs to us and that nobody else may write to.
// Checked on the opened folder, so the answer is about the folder itself.
std::string private_dir_problem(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat link{};
        if ((err == ELOOP || err == ENOTDIR) && ::lstat(dir.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            return "it is a symbolic link";
        if (err == ENOTDIR) return "it is not a folder";
        return "it cannot be opened (" + errno_text(err) + ")";
    }
    struct stat st{};
    const int rc = ::fstat(fd, &st);
    const int err = errno;
    ::close(fd);
    if (rc != 0) return "it cannot be examined (" + errno_text(err) + ")";
    return lumk_owner_mode_problem(st.st_uid, ::geteuid(), static_cast<uint32_t>(st.st_mode));
}

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

}  // namespace

fs::path lumk_platform_cache_dir(std::vector<std::string>* warnings, bool* temporary) {
    if (temporary) *temporary = false;
    const fs::path cand = candidate_dir();
    if (!cand.empty()) {
        std::string why = make_private_dirs(cand);
        if (why.empty()) why = private_dir_problem(cand);
        if (why.empty()) return cand;
        refuse(warnings, cand, why);
    }

    // This process's own folder in the shared temporary folder: made here, or
    // one of ours that nobody else can write to.
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec || tmp.empty()) tmp = "/tmp";
    const fs::path dir = tmp / ("lumioscript-kernels-" + std::to_string(lumk_platform_pid()));
    std::string why;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) why = "it cannot be created (" + errno_text(errno) + ")";
    if (why.empty()) why = private_dir_problem(dir);
    if (!why.empty()) {
        refuse(warnings, dir, why);
        return {};
    }
    if (temporary) *temporary = true;
    return dir;
}

namespace {

// Libraries built without the math library linked in (ahead-of-time libraries
// made by an older build line) still find its functions.
void load_libm_globally() {
    static std::once_flag libm_once;
    std::call_once(libm_once, [] { ::dlopen("libm.so.6", RTLD_NOW | RTLD_GLOBAL); });
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
    if (!why.empty()) {
        ::close(fd);
        if (error) *error = failed + " (" + why + ")";
        if (refused) *refused = why;
        return nullptr;
    }
    // Load exactly the file examined, through its descriptor. A library that
    // loaded keeps the descriptor open for good (also when it is closed again):
    // the loader may know it by that name, so the number must never come back
    // for another file.
    const std::string by_fd = "/proc/self/fd/" + std::to_string(fd);
    void* lib = ::dlopen(by_fd.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && ::access("/proc/self/fd", F_OK) != 0) {
        lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // no /proc: by name
        ::close(fd);
    } else if (lib == nullptr) {
        ::close(fd);
    }
    if (lib == nullptr && error) *error = failed;
    return lib;
}

void lumk_platform_make_private(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 022u) != 0)
        (void)::fchmod(fd, st.st_mode & 07755u);
    ::close(fd);
}

void* lumk_platform_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void lumk_platform_close_library(void* library) { ::dlclose(library); }

#endif  // !_WIN32
