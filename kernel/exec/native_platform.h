// Operating-system services of the native kernel driver: running the C
// compiler with a time limit, the environment, the process id,
// the folder for compiled kernels and loading shared libraries. One
// implementation file per platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// How a command run by lumk_platform_run ended.
enum class lumk_run_end {
    exited,     // it ended by itself (the result is its exit status, or -1)
    not_run,    // it could not be started
    timed_out,  // it ran past its time limit and was killed with its children
    stopped,    // killed (or never started) because the module shuts down or `stop` said so
    copied,     // `stop` forked: this is the copy, and the run is its parent's, left alone
};

// A compile's temporary files, as the platform looks after them. On Linux a
// keeper: a small process outside every process group of the host's,
// started before the first of the files is made, that removes them should
// this process die (killed, or ended through quick_exit before its own
// cleanup is done) before the files are its caller's again. It is told each
// name before a file of that name may be made, and the process group of the
// one command run with it (lumk_platform_run), whose output it shares; when
// this process dies it kills that group, waits until every process that held
// the command's output has let it go (so that no compiler writes a file
// after it), and removes the names through the folder as it was opened. It
// ignores SIGTERM, SIGHUP and SIGINT: a signal to the whole session ends the
// host, not it. On Windows, where the job object ends the command with the
// host, only the folder the files are in, where the command starts. Null
// when it could not be made: the caller removes its files itself, as it
// does anyway.
struct lumk_compile_files;
lumk_compile_files* lumk_platform_compile_files_start(const std::filesystem::path& folder);
// A name in the folder to remove should this process die; told before the
// file is made.
void lumk_platform_compile_files_watch(lumk_compile_files* files, const std::string& name);
// The names told so far are not this process's files (one was found taken):
// they are never removed.
void lumk_platform_compile_files_forget(lumk_compile_files* files);
// The files are the caller's again (renamed or removed): the keeper ends, and
// `files` is freed. In a copy that fork() made it frees `files` only.
void lumk_platform_compile_files_end(lumk_compile_files* files);

// 64 bits from the operating system's random source. On Linux, when it gives
// none, bits mixed from the process id, the time, addresses of the process's
// layout and a count of the calls: never the same in two processes, nor twice
// in one. On Windows 0 when it gives none.
uint64_t lumk_platform_random64();
// For tests only (Linux): with true, lumk_platform_random64 finds that no
// random source answers. Nothing on Windows.
void lumk_platform_test_no_random_source(bool none);

// How often a run, and a thread waiting for the compiler probe, ask their
// caller's stop condition.
inline constexpr std::chrono::milliseconds lumk_stop_poll{50};
// How long a run still reads the command's output once the command processor
// has ended: a process it left behind may hold the pipe open for good.
inline constexpr std::chrono::milliseconds lumk_output_grace{250};

// Runs `command` through the command processor (on Windows: UTF-8 text, and
// a line that needs no command processor, an .exe or .com program with its
// arguments only, starts that program itself), in a process group (job) of
// its own, with its error output joined to its standard output, the null
// device as its standard input and no other descriptor (handle) of this
// process, and collects that output (lines appended while less than 16384
// bytes are held; the rest is read and dropped). Once the command processor
// has ended, its output is read for a short while more only: a process it
// left behind may hold the output open. A command still running after
// `timeout_seconds` (0 = no limit), or when `stop` (asked every 50 ms or so)
// says so, is killed together with every process it started. Returns the
// command's exit status, -1 when it could not be run, did not exit normally
// or was killed; `end` tells which. A caller whose `stop` says so already
// starts nothing. On Linux a command ended by a signal gives 128 plus the
// signal's number, as the shell reports it; whatever the command leaves in its
// group is killed once its output grace is over.
//
// A process that fork() copies from `stop` finds itself inside its parent's
// run: the copy gives it up at once (`end` says `copied`) and never kills,
// waits for or closes anything of it.
//
// With a compile's `files` (one run for them), on Linux the command's output
// goes through their keeper's pipe and the keeper learns the command's
// process group, and when it is gone: a host that dies during the run or
// after it leaves no file. On Windows the command starts in their folder.
int lumk_platform_run(const std::string& command, std::string* output, uint32_t timeout_seconds = 0,
                      lumk_run_end* end = nullptr, const std::function<bool()>& stop = {},
                      lumk_compile_files* files = nullptr);

// Kills every command that lumk_platform_run is still running, with its
// children, and refuses to start any later one. Waits (at most about two
// seconds for the table's lock and two for the runs to notice). For the
// module's shutdown; a forked copy of the process has its own table of runs
// and never touches its parent's.
void lumk_platform_stop_commands();

// Holds off the cancellation of the calling thread (pthread_cancel) while it
// lives: for a step that must end whole (starting, telling and ending a run
// or a keeper, writing a C file) and for a wait where an unwinding cannot
// pass, as in a destructor. Nothing where threads are not cancelled.
class lumk_cancel_hold {
public:
    lumk_cancel_hold();
    ~lumk_cancel_hold();
    lumk_cancel_hold(const lumk_cancel_hold&) = delete;
    lumk_cancel_hold& operator=(const lumk_cancel_hold&) = delete;

private:
    int state_ = 0;
};

// Kills the commands lumk_platform_run is still running, with
// async-signal-safe calls only: for a process that ends through quick_exit.
void lumk_platform_kill_commands_now();

// For tests only (Linux): the shell script run as the process that starts a
// command and reports its end (its arguments: "sh" and the command line; its
// descriptor 3 the report socket); null restores the real one. Lets a test
// stand in a process that never reports. Nothing on Windows.
void lumk_platform_test_waiter_script(const char* script);
// For tests only (Linux): the shell script run as the keeper of temporary
// files (its descriptor 3 the socket it reads the lines on: "file NAME",
// "forget", "group N", "ended", "done"); null restores the real one. Lets a
// test see what a keeper is told. Nothing on Windows.
void lumk_platform_test_keeper_script(const char* script);
// For tests only (Linux): how many runs and keepers this process has
// recorded (their descriptors, and the process group quick_exit kills). 0 on
// Windows.
size_t lumk_platform_test_recorded_runs();
// For tests only (Linux): how many slots the table of runs and keepers has
// (it grows only while every slot is taken). 0 on Windows.
size_t lumk_platform_test_run_slots();
// For tests only (Linux): how many runs have their command's process group
// recorded (the groups quick_exit kills). 0 on Windows.
size_t lumk_platform_test_runs_with_group();

// Records the folder for compiled kernels once it is chosen: `held` (see
// lumk_platform_held_dir) to reach its files, `dir` to name it, whether it
// is this process's temporary folder, and the random part `tag` of this
// process's temporary file names (k_<hash>.<count>.<tag>.<ending>). For
// lumk_platform_quick_exit_cleanup.
void lumk_platform_record_kernel_folder(const std::filesystem::path& held, const std::filesystem::path& dir,
                                        bool temporary, const std::string& tag);

// The module's end at quick_exit, with async-signal-safe calls only: kills
// the commands still running and removes the process's temporary kernel
// folder, or its temporary files in a lasting one (a forked copy of the
// process removes nothing).
void lumk_platform_quick_exit_cleanup();

// Has `fn` run when the process ends through quick_exit, as a host ends that
// cannot wait for its threads (static destructors do not run then). Nothing
// where the C library keeps no such list.
void lumk_platform_at_quick_exit(void (*fn)());

// Gathers a command's output as reading it with fgets and a 512-byte buffer
// would: a piece ends after a line end or 511 bytes, and each piece is kept
// only while less than 16384 bytes are held.
class lumk_output_collector {
public:
    explicit lumk_output_collector(std::string* out) : out_(out) {}
    void feed(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            piece_ += data[i];
            if (data[i] == '\n' || piece_.size() == 511) flush();
        }
    }
    // The last piece, at the end of the output.
    void finish() {
        if (!piece_.empty()) flush();
    }

private:
    void flush() {
        if (out_ && out_->size() < 16384) out_->append(piece_);
        piece_.clear();
    }
    std::string* out_;
    std::string piece_;
};

// Value of an environment variable; false when it is not set. On Windows
// read in UTF-16 and given as UTF-8 (as paths are in command lines), so that
// a path with letters outside the ANSI code page survives; on Linux as the
// environment holds it.
bool lumk_platform_env(const char* name, std::string* value);

uint64_t lumk_platform_pid();

// Compiler commands probed in order when LUM_KERNEL_CC is not set.
std::vector<std::string> lumk_platform_compiler_candidates();
// File name ending of a shared library (".so", ".dll").
const char* lumk_platform_library_suffix();
// `text` as one double-quoted command-line argument, as the program reads it
// back. On Windows the command processor still expands `%NAME%` in it: see
// lumk_platform_compiler_folder.
std::string lumk_platform_quote(const std::string& text);
// A path as the narrow text that goes into command lines and messages (UTF-8
// on Windows).
std::string lumk_platform_path_text(const std::filesystem::path& path);
// The text by which `compiler` is given the files of the existing `folder`,
// with a separator at its end: on Windows, for a compiler that may read its
// arguments in the ANSI code page (any but MSVC's and clang's) and a path
// outside it, or for a batch file and a path holding a '%', the short (8.3)
// path. False with `why` set when there is no such text.
bool lumk_platform_compiler_folder(const std::string& compiler, const std::filesystem::path& folder,
                                   std::string* text, std::string* why);
// The compiler command LUM_KERNEL_CC gives, as it is used from the moment the
// compiler is chosen: on Windows a program named by a relative path is made
// a full (quoted) path against the current folder now, so that a host that
// changes its folder later still runs the compiler that was probed; as it is
// elsewhere.
std::string lumk_platform_named_compiler(const std::string& command);
// What the probe of LUM_KERNEL_CC's compiler answered when it failed
// (`answer`), as the status gives it: on Windows with a last line saying that
// file arguments in LUM_KERNEL_CC must be full paths (compilers start in the
// cache folder, the probe in the system folder); as it is elsewhere.
std::string lumk_platform_named_probe_failure(const std::string& answer);
// Why a compiler candidate (of lumk_platform_compiler_candidates) that is on
// the machine cannot be started at all (on Windows: a batch file whose paths
// both hold a '%'); "" when it can, or when it is not there.
std::string lumk_platform_candidate_refusal(const std::string& candidate);
// A narrow text (a script's string) as a path: as it is on Linux, through the
// ANSI code page on Windows.
std::filesystem::path lumk_platform_path(const std::string& text);
// The path made absolute; the path itself when that fails.
std::filesystem::path lumk_platform_absolute(const std::filesystem::path& path);

// The folder for compiled kernels, created when missing (new folders are
// private to the user); an empty path when there is no safe folder. On Linux
// every folder from the root down to it must pass lumk_path_folder_problem
// (the user needs only to pass through it), a link on the way in a sticky
// folder others may write to must be the user's or that folder owner's, and
// the folder itself must pass lumk_owner_mode_problem. Every folder refused on the
// way adds the reason to `warnings`. `temporary` tells
// whether the folder is this process's own folder in the temporary folder
// (removed when the module shuts down).
std::filesystem::path lumk_platform_cache_dir(std::vector<std::string>* warnings, bool* temporary);

// Why a folder or file with this owner and these permission bits cannot be
// trusted by the user `me` (POSIX ids and mode bits): "" when it belongs to
// `me` and nobody else may write to it.
inline std::string lumk_owner_mode_problem(uint64_t owner, uint64_t me, uint32_t mode) {
    if (owner != me) return "it belongs to another user (uid " + std::to_string(owner) + ")";
    if ((mode & 022u) != 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
        return std::string("it is writable by ") + ((mode & 002u) ? "everybody" : "its group") + " (mode " + octal +
               ")";
    }
    return {};
}

// Why a folder on the path to the cache folder (above it), with this owner and
// these permission bits, cannot be trusted by the user `me` ("" when it can):
// it must belong to root or to `me`, and nobody else may write to it unless it
// is sticky (then nobody else may rename or remove what is ours in it).
inline std::string lumk_path_folder_problem(uint64_t owner, uint64_t me, uint32_t mode) {
    if (owner != 0 && owner != me) return "belongs to another user (uid " + std::to_string(owner) + ")";
    if ((mode & 022u) != 0 && (mode & 01000u) == 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
        return std::string("is writable by ") + ((mode & 002u) ? "everybody" : "its group") + " (mode " + octal +
               ") and not sticky";
    }
    return {};
}

// The path through which the driver reaches a folder that
// lumk_platform_cache_dir returned, as it was checked: on Linux through the
// descriptor it keeps open on it (/proc/<pid>/fd/N), so that a folder put in
// its place afterwards is never written to or loaded from; `dir` itself where
// that is not possible.
std::filesystem::path lumk_platform_held_dir(const std::filesystem::path& dir);
// For tests only: the lock of this process's table of held folders (Linux;
// a lock of its own, guarding nothing, on Windows, which keeps no table).
std::mutex& lumk_platform_held_dir_lock_for_tests();

// Creates `path` as a new file (never through a file or link already there)
// that only this user may read and write, not inherited by commands started
// later, and writes `data` into it. False when that fails: `error` gets
// "cannot write PATH", `reason` the system's reason, and `existed` tells
// whether it failed because something was already there under that name
// (then nothing was written). A file written in part is left for the caller
// to remove.
bool lumk_platform_write_new_file(const std::filesystem::path& path, const std::string& data, std::string* error,
                                  std::string* reason = nullptr, bool* existed = nullptr);

// Appends the checksum trailer (kernel/exec/library_seal.h) to a library just
// built, through one open handle on the plain file itself. False with `error`
// set when it cannot be read or the trailer cannot be written whole (a full
// disk): such a library is not published.
bool lumk_platform_seal_library(const std::filesystem::path& path, std::string* error);

// Writes a file just made, and the folder entry that names it, through to the
// disk: a rename after it never publishes a file whose contents a crash of the
// machine can still take away. Best effort.
void lumk_platform_flush_file(const std::filesystem::path& path);

// Why this process loads no library ("" when it does): a copy that fork()
// made while one of the module's loads was in flight, or while any thread
// was changing the C library loader's list of libraries (the loader may be
// half changed there), loads and unloads nothing.
std::string lumk_platform_loading_refused();
// Loads a shared library; null with `error` set when it cannot be loaded.
void* lumk_platform_open_library(const std::filesystem::path& path, std::string* error);
// Loads a library from the folder for compiled kernels, only when it is a
// plain file (not a link) that this user owns and nobody else may change, and
// it is whole (a file cut short is never handed to the loader); with
// `checksum`, also only when it carries a valid checksum trailer
// (kernel/exec/library_seal.h), checked on the same open file. Opening it
// never waits (a FIFO under its name is refused), and a loaded library keeps
// no descriptor open. Null with `error` set when it cannot be loaded;
// `refused` also gets the reason when the file is there but not used.
void* lumk_platform_open_private_library(const std::filesystem::path& path, std::string* error,
                                         std::string* refused, bool checksum = false);
// For tests only: when set, called with the library's path between the checks
// of lumk_platform_open_private_library and the loader's opening of the file.
using lumk_before_load_fn = void (*)(const std::filesystem::path& path);
void lumk_platform_set_before_load_for_tests(lumk_before_load_fn fn);
// Whether a loaded library's file can be removed while it stays loaded (the
// mapping keeps the contents): true on Linux, false on Windows.
bool lumk_platform_loaded_library_removable();
// The end of lumk_platform_open_private_library on every platform: `library`
// (null when loading failed: `error` gets `failed`), or null when `why` gives
// a reason the file was not used (`error` gets both, `refused` the reason).
inline void* lumk_private_library_result(void* library, const std::string& failed, const std::string& why,
                                         std::string* error, std::string* refused) {
    if (!why.empty()) {
        if (error) *error = failed + " (" + why + ")";
        if (refused) *refused = why;
        return nullptr;
    }
    if (library == nullptr && error) *error = failed;
    return library;
}
// Takes write access away from everybody but the owner (a library just built).
void lumk_platform_make_private(const std::filesystem::path& path);
// Address of an exported symbol, or null.
void* lumk_platform_symbol(void* library, const char* name);
// Unloads a library that turned out not to be usable.
void lumk_platform_close_library(void* library);
