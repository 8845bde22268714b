// The walk from the root down to the folder for compiled kernels: folders the
// user may only pass through, folders that cannot be opened, links in
// folders others may write to, and ".." after a link.

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/exec/native_platform.h"
#include "tests/kernel/native_child.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Arg: the user to become when the child runs as root ("-": none), then one
// cache folder a line. Prints for each what lumk_platform_cache_dir makes of
// it: "used REAL" (the folder it holds, resolved) or "refused: WHY".
int child_cache_paths(const std::string& arg) {
    std::istringstream in(arg);
    std::string line;
    std::getline(in, line);
    if (line != "-" && ::geteuid() == 0) {
        const auto uid = static_cast<uid_t>(std::stoul(line));
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) return 1;
        ::prctl(PR_SET_DUMPABLE, 1);  // the held folder is shown through /proc
    }
    while (std::getline(in, line)) {
        ::setenv("LUM_KERNEL_CACHE", line.c_str(), 1);
        std::vector<std::string> warnings;
        bool temporary = false;
        const fs::path d = lumk_platform_cache_dir(&warnings, &temporary);
        std::error_code ec;
        if (!d.empty() && !temporary) {
            std::printf("used %s\n", fs::canonical(lumk_platform_held_dir(d), ec).c_str());
        } else {
            const std::string w = warnings.empty() ? "" : warnings[0];
            const size_t at = w.find(" is not used: ");
            std::printf("refused: %s\n", w.substr(at == std::string::npos ? 0 : at + 14).c_str());
        }
    }
    return 0;
}

const bool kScenarios = ntest::add_child_scenario("cache_paths", child_cache_paths, ntest::child_end::immediate);

// The cases, cache folder and expected line, run in one child as `user`,
// with no fallback folder to go to.
void expect_cases(const std::string& user, const std::vector<std::pair<fs::path, std::string>>& cases,
                  const fs::path& dir) {
    std::string arg = user, want;
    for (const auto& [cache, line] : cases) {
        arg += "\n" + cache.string();
        want += line + "\n";
    }
    ntest::env_scope env;
    env.set("TMPDIR", (dir / "no-such-folder").string());
    const ntest::child_result r = ntest::run_child("cache_paths", arg);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, want);
}

}  // namespace

// A folder the user may pass through but not list (a home folder of mode 0711
// owned by root) does not keep the cache out; a folder that cannot be opened
// is named as such, not as one that cannot be created.
TEST(NativeCachePath, FolderOnThePathWithSearchPermissionOnly) {
    const fs::path dir = fs::canonical(ntest::temp_dir("path"));
    const fs::path home = dir / "home";
    fs::create_directories(home / "shut" / "sub");
    const bool root = ::geteuid() == 0;
    struct stat above{};
    if (root && (::stat(dir.parent_path().c_str(), &above) != 0 || (above.st_mode & S_IXOTH) == 0))
        GTEST_SKIP() << "another user cannot reach " << dir.parent_path();
    if (root) {
        // root's folder that others may only pass through, the user's home in it
        ASSERT_EQ(::chmod(dir.c_str(), 0711), 0);
        for (const fs::path& p : {home, home / "shut", home / "shut" / "sub"})
            ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
    } else {
        ASSERT_EQ(::chmod(dir.c_str(), 0111), 0);  // the user's own, as good as root's 0711
    }
    ASSERT_EQ(::chmod((home / "shut").c_str(), 0600), 0);  // its owner may list it, not pass through
    expect_cases(root ? std::to_string(kNobody) : "-",
                 {{home / ".cache" / "kernels", "used " + (home / ".cache" / "kernels").string()},
                  {home / "shut" / "sub" / "cache", "refused: the folder " + (home / "shut" / "sub").string() +
                                                        " on its path cannot be opened (Permission denied)"}},
                 dir);
    ::chmod(dir.c_str(), 0700);
    ::chmod((home / "shut").c_str(), 0700);
}

// Links on the path: a ".." after one goes up from where it led, as the
// system resolves it; in a sticky folder others may write to, only a link of
// the user or of the folder's owner is followed (anybody could have made the
// others), while in a folder nobody else may write to any link is.
TEST(NativeCachePath, LinksOnThePath) {
    const fs::path dir = fs::canonical(ntest::temp_dir("path"));
    for (const char* d : {"a", "b/c", "real", "sticky"}) fs::create_directories(dir / d);
    ASSERT_EQ(::chmod((dir / "sticky").c_str(), 01777), 0);
    fs::create_directory_symlink(dir / "b" / "c", dir / "a" / "link");
    fs::create_directory_symlink("../b/c", dir / "a" / "rel");
    for (const char* l : {"sticky/mine", "sticky/theirs", "given"}) fs::create_directory_symlink(dir / "real", dir / l);
    std::vector<std::pair<fs::path, std::string>> cases = {
        {dir / "a" / "link" / ".." / "x", "used " + (dir / "b" / "x").string()},
        {dir / "a" / "rel" / ".." / "y", "used " + (dir / "b" / "y").string()},
        {dir / "a" / "link" / ".." / "c" / "q", "used " + (dir / "b" / "c" / "q").string()},
        {dir / "sticky" / "mine" / "m", "used " + (dir / "real" / "m").string()},
    };
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown((dir / "sticky" / "theirs").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::lchown((dir / "given").c_str(), kNobody, kNobody), 0);
        cases.push_back({dir / "sticky" / "theirs" / "t",
                         "refused: the symbolic link " + (dir / "sticky" / "theirs").string() +
                             " on its path belongs to another user (uid 65534) in a folder others may write to"});
        cases.push_back({dir / "given" / "g", "used " + (dir / "real" / "g").string()});
    }
    expect_cases("-", cases, dir);
    for (const char* never : {"a/x", "a/y", "a/c", "real/t"}) EXPECT_FALSE(fs::exists(dir / never)) << never;
}
