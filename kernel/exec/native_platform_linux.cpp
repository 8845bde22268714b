// Linux: commands through /bin/sh in a process group of their own, libraries
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
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
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
    if (!why.empty()) {
        if (error) *error = failed + " (" + why + ")";
        if (refused) *refused = why;
        return nullptr;
    }
    if (lib == nullptr && error) *error = failed;
    return lib;
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
