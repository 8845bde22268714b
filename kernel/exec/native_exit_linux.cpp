// Linux: what the module does when the process ends through quick_exit.
// quick_exit may be called from a signal handler, and the other threads still
// run: only async-signal-safe calls are made here (raw system calls on paths
// recorded beforehand in fixed buffers), no lock is taken and nothing is
// allocated. Commands are killed through their recorded process groups.
#include "kernel/exec/native_platform.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

// The folder for compiled kernels as chosen: the path that reaches the folder
// checked (its entries are removed through it) and its own path (a temporary
// folder is removed by it). Written once before `recorded_owner` is set.
constexpr size_t path_max = 4096;
char held_path[path_max];
char own_path[path_max];
bool own_is_temporary = false;
char own_tag[24];                     // the random part of the process's temporary file names
std::atomic<long> recorded_owner{0};  // the process that chose it; 0 = none

// Whether a file name is one of the process's temporary files: the
// k_<hash>.<count>.<tag>.<ending> of a compile under way.
bool temporary_file_of(const char* name) {
    if (name[0] != 'k' || name[1] != '_') return false;
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr) return false;
    const char* p = dot + 1;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p != '.') return false;
    ++p;
    const size_t n = std::strlen(own_tag);
    return n > 0 && std::strncmp(p, own_tag, n) == 0 && p[n] == '.';
}

// The folder's entries are read into this buffer, not onto the stack: the
// cleanup may run in a signal handler on a small alternate stack. Only the
// one thread that runs the cleanup uses it.
alignas(8) char entries_buf[8192];
std::atomic<bool> cleaned{false};

// Removes the folder's plain entries: all of them, or the process's
// temporary files only. A bounded number of rounds.
void remove_entries(const char* folder, bool all) {
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    char* const buf = entries_buf;
    for (int round = 0; round < 100000; ++round) {
        const long got = ::syscall(SYS_getdents64, fd, buf, sizeof entries_buf);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name
            unsigned short reclen;
            std::memcpy(&reclen, buf + at + 16, sizeof reclen);
            if (reclen == 0) break;
            const char* name = buf + at + 19;
            const bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
            if (!dots && (all || temporary_file_of(name))) ::unlinkat(fd, name, 0);
            at += reclen;
        }
    }
    ::close(fd);
}

}  // namespace

void lumk_platform_record_kernel_folder(const std::filesystem::path& held, const std::filesystem::path& dir,
                                        bool temporary, const std::string& tag) {
    const std::string h = held.string(), d = dir.string();
    // Once per process (a forked copy chooses a folder of its own).
    if (recorded_owner.load() == static_cast<long>(::getpid()) || h.size() >= path_max || d.size() >= path_max ||
        tag.size() >= sizeof own_tag)
        return;
    recorded_owner.store(0);
    std::memcpy(held_path, h.c_str(), h.size() + 1);
    std::memcpy(own_path, d.c_str(), d.size() + 1);
    std::memcpy(own_tag, tag.c_str(), tag.size() + 1);
    own_is_temporary = temporary;
    recorded_owner.store(static_cast<long>(::getpid()));
}

void lumk_platform_quick_exit_cleanup() {
    // Once, whichever thread calls quick_exit first; the cleanup takes a few
    // hundred bytes of stack at most.
    if (cleaned.exchange(true)) return;
    lumk_platform_kill_commands_now();
    // A forked copy of the process leaves its parent's files alone.
    const long pid = static_cast<long>(::getpid());
    if (recorded_owner.load() != pid) return;
    remove_entries(held_path, own_is_temporary);
    if (own_is_temporary) ::rmdir(own_path);
}

#endif  // !_WIN32
