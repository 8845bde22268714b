// Linux: the folder for compiled kernels under LUM_KERNEL_CACHE, XDG_CACHE_HOME
// or ~/.cache, else a folder of this process in the temporary folder; opened
// from the root down and kept open.
#include "kernel/exec/native_platform.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <mutex>

#include "kernel/exec/process_local.h"

namespace fs = std::filesystem;

namespace {

void close_fd(int fd) {
    if (fd >= 0) ::close(fd);
}

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

bool is_link_at(int dir_fd, const std::string& name, struct stat* st) {
    return ::fstatat(dir_fd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st->st_mode);
}

// Folders on the way are opened for search only: one the user may pass
// through but not list (a home folder of mode 0711 on a shared machine) is as
// good as any. The folder itself is opened for reading.
constexpr int kWayFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Why a symbolic link owned by `link_owner` in a folder with this owner and
// these permission bits may not be followed by the user `me` ("" when it
// may): in a sticky folder others may write to (such as /tmp) anybody can
// make links, so only the user's own or the folder owner's are followed, as
// the system's protected-links rule has it. In a folder nobody else may write
// to, only root or the user can have made the link.
std::string link_owner_problem(uid_t link_owner, const struct stat& folder, uid_t me) {
    const bool shared = (folder.st_mode & 01000u) != 0 && (folder.st_mode & 022u) != 0;
    if (!shared || link_owner == me || link_owner == folder.st_uid) return {};
    return "belongs to another user (uid " + std::to_string(link_owner) + ") in a folder others may write to";
}

// Opens the folder `dir` for compiled kernels from the root down, one folder
// at a time, checking each folder it passes through on the descriptor it
// opened: a folder renamed or replaced meanwhile is never mistaken for the
// one checked. Links on the way are followed where link_owner_problem allows,
// and a ".." goes up from the folder reached, as the system resolves a path
// (after a link, from where the link led); the folder itself must not be a
// link. Missing folders are made with mode 0700: all of them when
// `make_parents`, else only the last. The open folder, or -1 with `why` set.
int open_trusted_dir(const fs::path& dir, bool make_parents, std::string* why) {
    // Not normalised: "a/link/../x" is "x" beside where the link leads.
    const fs::path abs = lumk_platform_absolute(dir);
    std::deque<std::string> todo;
    for (const fs::path& part : abs.relative_path())
        if (!part.empty() && part != ".") todo.push_back(part.string());
    const uid_t me = ::geteuid();
    int cur = ::open("/", (todo.empty() ? kDirFlags : kWayFlags) & ~O_NOFOLLOW);
    if (cur < 0) {
        *why = "the root folder cannot be opened (" + errno_text(errno) + ")";
        return -1;
    }
    fs::path where = "/";  // the folder `cur` is, as walked
    struct stat cur_st{};  // and what it was when checked
    auto fail = [&](std::string text) {
        close_fd(cur);
        *why = std::move(text);
        return -1;
    };
    // Checks the open folder `fd` at `path`: as a folder on the way, or as
    // the folder itself.
    auto check = [&](int fd, const fs::path& path, bool last) -> std::string {
        if (::fstat(fd, &cur_st) != 0)
            return "it cannot be examined (" + path.string() + ": " + errno_text(errno) + ")";
        const auto owner = static_cast<uint64_t>(cur_st.st_uid);
        const auto mode = static_cast<uint32_t>(cur_st.st_mode);
        if (last) return lumk_owner_mode_problem(owner, me, mode);
        const std::string p = lumk_path_folder_problem(owner, me, mode);
        return p.empty() ? p : "the folder " + path.string() + " on its path " + p;
    };
    if (std::string problem = check(cur, where, todo.empty()); !problem.empty()) return fail(problem);
    if (todo.empty()) return cur;

    int links = 0;
    for (;;) {
        const std::string name = todo.front();
        todo.pop_front();
        const bool last = todo.empty();
        const fs::path path = name == ".." ? where.parent_path() : where / name;
        const int flags = last ? kDirFlags : kWayFlags;
        int next = ::openat(cur, name.c_str(), flags);
        if (next < 0 && errno == ENOENT && (last || make_parents)) {
            if (::mkdirat(cur, name.c_str(), 0700) != 0 && errno != EEXIST)
                return fail("it cannot be created (" + path.string() + ": " + errno_text(errno) + ")");
            next = ::openat(cur, name.c_str(), flags);
        }
        if (next < 0) {
            const int err = errno;
            struct stat link_st{};
            const bool link = (err == ELOOP || err == ENOTDIR) && is_link_at(cur, name, &link_st);
            if (last) {
                if (link) return fail("it is a symbolic link");
                if (err == ENOTDIR) return fail("it is not a folder");
                return fail("it cannot be opened (" + errno_text(err) + ")");
            }
            if (!link) {
                if (err == ENOENT) return fail("the folder " + path.string() + " on its path does not exist");
                if (err == ENOTDIR) return fail(path.string() + " on its path is not a folder");
                return fail("the folder " + path.string() + " on its path cannot be opened (" + errno_text(err) + ")");
            }
            if (std::string p = link_owner_problem(link_st.st_uid, cur_st, me); !p.empty())
                return fail("the symbolic link " + path.string() + " on its path " + p);
            if (++links > 40) return fail("it cannot be opened (" + path.string() + ": too many symbolic links)");
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(cur, name.c_str(), target, sizeof target - 1);
            if (n <= 0) return fail("it cannot be opened (" + path.string() + ": unreadable symbolic link)");
            const fs::path to(std::string(target, static_cast<size_t>(n)));
            std::vector<std::string> parts;
            for (const fs::path& part : to.relative_path())
                if (!part.empty() && part != ".") parts.push_back(part.string());
            todo.insert(todo.begin(), parts.begin(), parts.end());
            if (todo.empty()) return fail("it is a symbolic link");
            if (to.is_absolute()) {
                const int root = ::open("/", kWayFlags & ~O_NOFOLLOW);
                if (root < 0) return fail("the root folder cannot be opened (" + errno_text(errno) + ")");
                close_fd(cur);
                cur = root;
                where = "/";
                if (std::string problem = check(cur, where, false); !problem.empty()) return fail(problem);
            }
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

// This process's (a forked copy checks its folder again and holds its own
// descriptor).
constinit lumk_process_local<held_folders> held_of_process;

held_folders& held() { return held_of_process.get(); }

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

std::mutex& lumk_platform_held_dir_lock_for_tests() { return held().mutex; }


#endif  // !_WIN32
