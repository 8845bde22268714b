#include "kernel/exec/native_driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kernel/exec/aot.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_platform.h"
#include "kernel/exec/process_local.h"
#include "runtime/thread_unwind.h"

namespace fs = std::filesystem;

namespace {

struct compile_ticket;

// The driver's state in this process (a forked copy starts with none: no
// choice, no probe or compile under way). Never destroyed: a compile job that
// finishes while the process exits must not touch freed memory.
struct driver_state {
    std::mutex mutex;  // the toolchain choice, the pending tickets and the files in use
    std::condition_variable choice_done;  // a thread that was choosing the toolchain is done
    bool choosing = false;  // a thread probes the compilers (without the lock held)
    bool chosen = false;
    std::string compiler;
    fs::path dir;
    bool dir_is_temporary = false;  // this process's own folder: removed at shutdown
    std::string named_failure;      // what LUM_KERNEL_CC's compiler answered when its probe failed
    std::string tag;                // the random part of this process's temporary file names
    std::atomic<bool> folder_refusal_warned{false};  // the folder cannot be given to the compiler: warned once
    uint32_t timeout = lumk_cc_timeout_default;
    bool shut_down = false;
    std::atomic<uint64_t> temp_counter{0};
    // Queued compiles that have not started, by slot; a synchronous request
    // may claim one and compile on its own thread.
    std::map<const lumk_jit_slot*, std::pair<compile_ticket*, std::weak_ptr<compile_ticket>>> pending;
    // Temporary files of the compiles under way, by compile.
    std::map<uint64_t, std::vector<fs::path>> in_flight;
};

std::atomic<lumk_warning_fn> warning_sink{nullptr};
std::atomic<uint64_t (*)()> random_for_tests{nullptr};

// How often a compile chooses a fresh name for its files when a file is
// already there under the one it chose (never removed: it is another
// process's).
constexpr int name_attempts = 8;
// How often a library just published is loaded when the file under its name
// is found not to be the one examined (another process published the same
// kernel in between).
constexpr int load_attempts = 4;

// The random part of a process's temporary file names: unique beyond the
// process id, which hosts in different pid namespaces sharing a cache folder
// may have in common.
std::string random_tag() {
    uint64_t (*fn)() = random_for_tests.load(std::memory_order_acquire);
    const uint64_t value = fn ? fn() : lumk_platform_random64();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void warn(const std::string& text) {
    if (lumk_warning_fn sink = warning_sink.load(std::memory_order_acquire)) sink(text);
}

constinit lumk_process_local<driver_state> driver;

driver_state& state() { return driver.get(); }

// Takes the lock, trying for about two seconds: on the exit path another
// thread may have died holding it.
bool lock_for_a_while(std::unique_lock<std::mutex>& lock) {
    for (int i = 0; i < 200 && !lock.try_lock(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return lock.owns_lock();
}

// One queued compile of one program. Whoever claims it first runs the compile
// (a worker or a synchronous launch); a ticket destroyed unclaimed puts the
// slot back to none so that a later launch asks again.
struct compile_ticket {
    std::shared_ptr<const lumk_unit> unit;  // keeps the program alive
    const lumk_program* program;
    std::shared_ptr<lumk_jit_slot> slot;
    lumk_jit_stop_fn stop;  // the host's pool is shutting down
    std::atomic<bool> claimed{false};

    compile_ticket(std::shared_ptr<const lumk_unit> u, const lumk_program* p, lumk_jit_stop_fn s)
        : unit(std::move(u)), program(p), slot(p->jit), stop(std::move(s)) {}
    compile_ticket(const compile_ticket&) = delete;
    compile_ticket& operator=(const compile_ticket&) = delete;

    bool claim() {
        if (claimed.exchange(true, std::memory_order_acq_rel)) return false;
        driver_state& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.pending.find(slot.get());
        if (it != s.pending.end() && it->second.first == this) s.pending.erase(it);
        return true;
    }
    ~compile_ticket() {
        if (claim()) lumk_jit_cancel_compile(*slot);
    }
};

std::shared_ptr<compile_ticket> find_pending(const lumk_jit_slot* slot) {
    driver_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.pending.find(slot);
    return it == s.pending.end() ? nullptr : it->second.second.lock();
}

void remove_folder_quietly(const fs::path& dir);


// Chooses the time limit, the compiler and the cache folder once per process.
// The probe runs without the driver's lock held, so requests and the
// shutdown never wait for it; other threads that need the choice wait for it
// while `stop` lets them. False when no choice was made: `stop` said so, or
// the module shuts down (then the next caller probes again, or nobody does).
bool choose_toolchain(std::string* compiler, fs::path* dir, uint32_t* timeout, const lumk_jit_stop_fn& stop,
                      std::string* named_failure = nullptr, std::string* tag = nullptr) {
    driver_state& s = state();
    const uint32_t generation = lumk_process_generation();
    auto copy_out = [&] {
        if (tag) *tag = s.tag;
        if (named_failure) *named_failure = s.named_failure;
        if (compiler) *compiler = s.compiler;
        if (dir) *dir = s.dir;
        if (timeout) *timeout = s.timeout;
    };
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.chosen && s.choosing && !s.shut_down) {
        if (stop && stop()) return false;
        s.choice_done.wait_for(lock, lumk_stop_poll);
    }
    if (s.chosen) {
        copy_out();
        return true;
    }
    if (s.shut_down) return false;
    s.choosing = true;
    lock.unlock();

    std::vector<std::string> warnings;
    std::string warning;
    std::string timeout_text;
    const bool timeout_set = lumk_platform_env("LUM_KERNEL_CC_TIMEOUT", &timeout_text);
    const uint32_t limit = lumk_cc_timeout_from(timeout_set ? timeout_text.c_str() : nullptr, &warning);
    if (!warning.empty()) warnings.push_back(warning);
    bool stopped = false;
    std::string found, failure;
    fs::path folder;
    bool temporary = false;
    try {
        found = lumk_find_compiler(limit, stop, &stopped, &failure, &warnings);
        if (!stopped && !found.empty()) folder = lumk_cache_dir(&warnings, &temporary);
    } catch (...) {
        lock.lock();
        s.choosing = false;
        s.choice_done.notify_all();
        throw;
    }
    // `stop` forked during the probe and this is the copy: the state (and its
    // lock, which one of the parent's threads may have held) is the parent's.
    if (lumk_process_generation() != generation) return false;
    const std::string made_tag = random_tag();

    lock.lock();
    s.choosing = false;
    const bool made = !stopped && !s.shut_down;
    if (made) {
        s.timeout = limit;
        s.compiler = found;
        s.named_failure = failure;
        s.dir = folder;
        s.dir_is_temporary = temporary;
        s.tag = made_tag;
        s.chosen = true;
        copy_out();
    }
    s.choice_done.notify_all();
    lock.unlock();
    if (!made) {
        // The shutdown came while the folder was being made: it is ours to remove.
        if (temporary && !folder.empty()) remove_folder_quietly(folder);
        return false;
    }
    if (!folder.empty()) lumk_platform_record_kernel_folder(lumk_platform_held_dir(folder), folder, temporary, made_tag);
    for (const std::string& w : warnings) warn(w);
    return true;
}

void remove_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

// Removes a folder of files, as much of it as can go (on Windows a loaded
// library cannot be removed; the rest still goes).
void remove_folder_quietly(const fs::path& dir) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), last; !ec && it != last; it.increment(ec)) entries.push_back(it->path());
    for (const fs::path& p : entries) fs::remove_all(p, ec);
    fs::remove(dir, ec);
}

// The temporary files of one compile, known to the driver while it runs so
// that a shutdown can remove them. False when the module is shutting down.
class in_flight_files {
public:
    in_flight_files() = default;
    bool start(std::vector<fs::path> files) {
        driver_state& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.shut_down) return false;
        id_ = s.temp_counter.fetch_add(1, std::memory_order_relaxed);
        s.in_flight[id_] = std::move(files);
        started_ = true;
        return true;
    }
    ~in_flight_files() {
        if (!started_) return;
        driver_state& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.in_flight.erase(id_);
    }
    in_flight_files(const in_flight_files&) = delete;
    in_flight_files& operator=(const in_flight_files&) = delete;

private:
    uint64_t id_ = 0;
    bool started_ = false;
};

// Shuts the driver down when the module goes (at process exit or unload). A
// host that ends the process through quick_exit (maybe from a signal handler)
// gets the async-signal-safe end instead: the commands killed, the temporary
// files removed.
struct module_exit {
    module_exit() { lumk_platform_at_quick_exit(lumk_platform_quick_exit_cleanup); }
    module_exit(const module_exit&) = delete;
    module_exit& operator=(const module_exit&) = delete;
    ~module_exit() { lumk_jit_shutdown(); }
};
const module_exit at_module_exit;

}  // namespace

int lumk_run_command(const std::string& command, std::string* output, uint32_t timeout_seconds, bool* timed_out) {
    lumk_run_end end = lumk_run_end::exited;
    const int status = lumk_platform_run(command, output, timeout_seconds, &end);
    if (timed_out) *timed_out = end == lumk_run_end::timed_out;
    return status;
}

uint32_t lumk_cc_timeout_from(const char* value, std::string* warning) {
    if (value == nullptr) return lumk_cc_timeout_default;
    const std::string text = value;
    uint64_t seconds = 0;
    bool ok = !text.empty() && text.size() <= 10;
    for (char ch : text) {
        if (ch < '0' || ch > '9') ok = false;
        else seconds = seconds * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (ok && seconds <= UINT32_MAX) return static_cast<uint32_t>(seconds);
    if (warning)
        *warning = "LUM_KERNEL_CC_TIMEOUT=" + text.substr(0, 40) + " is not a number of seconds from 0 to 4294967295;" +
                   " compiles are stopped after " + std::to_string(lumk_cc_timeout_default) + " s";
    return lumk_cc_timeout_default;
}

void lumk_set_warning_sink(lumk_warning_fn sink) { warning_sink.store(sink, std::memory_order_release); }

void lumk_jit_set_random_for_tests(uint64_t (*fn)()) { random_for_tests.store(fn, std::memory_order_release); }

void lumk_jit_shutdown() {
    driver_state& s = state();
    // The other threads still run at a normal exit, but hold the lock only
    // briefly (never while a compiler runs); elsewhere one may have died
    // holding it: try for a while, and stop the compilers in any case.
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    if (!lock_for_a_while(lock)) {
        lumk_platform_stop_commands();
        return;
    }
    if (s.shut_down) return;
    s.shut_down = true;
    lock.unlock();

    lumk_platform_stop_commands();

    if (!lock_for_a_while(lock)) return;
    for (const auto& [id, files] : s.in_flight)
        for (const fs::path& f : files) remove_quietly(f);
    const fs::path temporary = s.dir_is_temporary ? s.dir : fs::path();
    lock.unlock();
    if (!temporary.empty()) remove_folder_quietly(temporary);
}

std::string lumk_quote(const std::string& text) { return lumk_platform_quote(text); }

bool lumk_compiler_is_msvc(const std::string& compiler) {
    // Judged by the program the command processor or shell runs: the first
    // word, which may be quoted (a path with spaces needs the quotes, which
    // are not part of it); what follows it are arguments.
    std::string name;
    bool quoted = false;
    size_t at = compiler.find_first_not_of(" \t");
    for (; at < compiler.size(); ++at) {
        const char c = compiler[at];
        if (c == '"') quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t')) break;
        else name += c;
    }
    const size_t cut = name.find_last_of("/\\");
    std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::tolower(c); });
    return base == "cl" || base == "cl.exe" || base == "clang-cl" || base == "clang-cl.exe";
}

bool lumk_probe_compiler(const std::string& compiler, uint32_t timeout_seconds, const lumk_jit_stop_fn& stop,
                         bool* stopped, std::string* answer) {
    // Its output is kept (not sent to the null device): it tells why a probe
    // failed, and a line without redirection needs no command processor.
    const std::string cmd = compiler + (lumk_compiler_is_msvc(compiler) ? " /nologo /?" : " --version");
    lumk_run_end end = lumk_run_end::exited;
    std::string output;
    const int status = lumk_platform_run(cmd, answer ? &output : nullptr, timeout_seconds, &end, stop);
    // A copy that `stop` forked gives the probe up, as it gives a compile up.
    if (stopped && (end == lumk_run_end::stopped || end == lumk_run_end::copied)) *stopped = true;
    if (answer && status != 0) {
        *answer = cmd + (end == lumk_run_end::timed_out ? " timed out after " + std::to_string(timeout_seconds) + " s"
                         : end == lumk_run_end::not_run ? " could not be started" + (output.empty() ? "" : ": " + output)
                         : end == lumk_run_end::stopped ? std::string(" was stopped")
                         : end == lumk_run_end::copied ? std::string(" was given up in a copy made by fork()")
                                                        : " gave exit status " + std::to_string(status));
        // The output of a command that did not start is the reason, said above.
        if (!output.empty() && end != lumk_run_end::not_run) *answer += ":\n" + output;
    }
    return status == 0;
}

std::string lumk_find_compiler(uint32_t timeout_seconds, const lumk_jit_stop_fn& stop, bool* stopped,
                               std::string* named_failure, std::vector<std::string>* warnings) {
    bool halted = false;
    std::string cc;
    std::string found;
    if (named_failure) named_failure->clear();
    if (lumk_platform_env("LUM_KERNEL_CC", &cc)) {
        // Blanks and quotes only name no compiler, as an empty value: `""` is
        // the empty program the command processor's `set NAME=""` gives.
        cc = cc.find_first_not_of(" \t\"") == std::string::npos ? std::string() : lumk_platform_named_compiler(cc);
        std::string answer;
        if (!cc.empty() && lumk_probe_compiler(cc, timeout_seconds, stop, &halted, &answer)) found = cc;
        if (named_failure && found.empty() && !halted && !answer.empty())
            *named_failure = lumk_platform_named_probe_failure(answer);
    } else {
        for (const std::string& cand : lumk_platform_compiler_candidates()) {
            // One that is there but cannot be started at all is passed over
            // with its reason as a warning; one that is not there or fails
            // its probe (the usual case in the probe order), without a word.
            if (const std::string refusal = lumk_platform_candidate_refusal(cand); !refusal.empty()) {
                if (warnings) warnings->push_back("C compiler " + cand + " is not used: " + refusal);
                continue;
            }
            if (lumk_probe_compiler(cand, timeout_seconds, stop, &halted)) {
                found = cand;
                break;
            }
            if (halted) break;
        }
    }
    if (stopped) *stopped = halted;
    return halted ? std::string() : found;
}

fs::path lumk_cache_dir(std::vector<std::string>* warnings, bool* temporary) {
    return lumk_platform_cache_dir(warnings, temporary);
}

std::string lumk_jit_compiler() {
    std::string compiler;
    if (!choose_toolchain(&compiler, nullptr, nullptr, {})) return {};
    return compiler;
}

uint64_t lumk_jit_file_hash(const std::string& compiler, const std::string& flags, const std::string& source) {
    uint64_t h = lumk_fnv1a(lumk_jit_version);
    h = lumk_fnv1a("\n", h);
    h = lumk_fnv1a(compiler, h);
    h = lumk_fnv1a("\n", h);
    h = lumk_fnv1a(flags, h);
    h = lumk_fnv1a("\n", h);
    return lumk_fnv1a(source, h);
}

namespace {

// Loads a library of the cache folder (only a plain file of ours that nobody
// else can change, whole and, with `checksum`, carrying a valid checksum) and
// finds its entry; a library without the entry is unloaded again. `refused`
// gets why a file that is there is not trusted.
lumk_jit_entry_fn load_cached_library(const fs::path& path, std::string* error, std::string* refused,
                                      bool checksum = true) {
    std::string err;
    void* lib = lumk_platform_open_private_library(path, &err, refused, checksum);
    if (lib == nullptr) {
        if (error) *error = err;
        return nullptr;
    }
    void* sym = lumk_platform_symbol(lib, "lumk_jit_entry");
    if (sym == nullptr) {
        // Unload it, so that a rebuilt file of the same name really loads.
        lumk_platform_close_library(lib);
        if (error) *error = "lumk_jit_entry not found in " + lumk_platform_path_text(path);
        return nullptr;
    }
    return reinterpret_cast<lumk_jit_entry_fn>(sym);
}

// The names of one compile's temporary files in the cache folder.
struct temporary_files {
    std::string base;           // k_<hash>.<count>.<random>, without an ending
    fs::path c_file, library;   // the kernel's C file and the library being built
    std::vector<fs::path> all;  // every file the compile may make, the C file first
};

// Chooses the names of a compile's temporary files in `held` (the kernel's
// `name`, a count of this process and its random part `tag`) and writes
// `source` as the C file. The names carry the random part of this process (a
// copy that `stop` forks during the compile finds the parent's names, files
// and compiler, and gives the compile up). A file already there under a
// chosen name is another process's: it is left alone, and a fresh name is
// chosen. `watched` (on Linux: their keeper) is told the names only once
// none is found taken (it would remove another process's file should this
// one die), and before the C file is made. False when no C file was written (every name tried was taken, a
// full disk, a folder gone): `files` holds the last names tried,
// `write_error` names the C file and `reason` gives the system's reason; a C
// file made in part is removed.
bool write_kernel_source(const fs::path& held, const std::string& name, const std::string& tag, bool msvc,
                         const std::string& source, lumk_compile_files* watched, temporary_files* files,
                         std::string* write_error, std::string* reason) {
    const std::string suffix = lumk_platform_library_suffix();
    std::error_code ec;
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        files->base = name + "." + std::to_string(state().temp_counter.fetch_add(1, std::memory_order_relaxed)) +
                      "." + tag;
        files->c_file = held / (files->base + ".c");
        files->library = held / (files->base + suffix);
        files->all = {files->c_file, files->library};
        if (msvc)
            for (const char* ext : {".obj", ".lib", ".exp"}) files->all.push_back(held / (files->base + ext));
        bool taken = false;
        for (size_t i = 0; i < files->all.size() && !taken; ++i)
            taken = fs::exists(fs::symlink_status(files->all[i], ec));
        if (taken) {
            *write_error = "cannot write " + lumk_platform_path_text(files->c_file);
            *reason = "the names of its files are taken";
            continue;
        }
        for (const fs::path& f : files->all)
            lumk_platform_compile_files_watch(watched, lumk_platform_path_text(f.filename()));
        bool existed = false;
        if (lumk_platform_write_new_file(files->c_file, source, write_error, reason, &existed)) return true;
        if (!existed) {
            // Made, maybe in part.
            remove_quietly(files->c_file);
            return false;
        }
        // Another process made the C file since it was looked for.
        lumk_platform_compile_files_forget(watched);
    }
    return false;
}

}  // namespace

lumk_jit_entry_fn lumk_load_jit_library(const fs::path& path, std::string* error) {
    return load_cached_library(path, error, nullptr, false);
}

lumk_jit_entry_fn lumk_jit_compile(const std::string& source, std::string* error, const lumk_jit_stop_fn& stop) {
    std::string compiler;
    fs::path dir;
    uint32_t timeout = 0;
    // A host that has shut its job queue down gets no process started: no
    // probe, no compile.
    const char* const host_stops = "native compilation was stopped: the host is shutting down";
    if (stop && stop()) {
        if (error) *error = host_stops;
        return nullptr;
    }
    if (const std::string why = lumk_platform_loading_refused(); !why.empty()) {
        if (error) *error = "native compilation was given up: " + why;
        return nullptr;
    }
    std::string named_failure, tag;
    const uint32_t generation = lumk_process_generation();
    if (!choose_toolchain(&compiler, &dir, &timeout, stop, &named_failure, &tag)) {
        if (error)
            *error = lumk_process_generation() != generation
                         ? "native compilation was given up: this process is a copy made by fork() during the "
                           "compiler's probe"
                     : stop && stop() ? host_stops
                                      : "native compilation has stopped: the module is shutting down";
        return nullptr;
    }
    if (compiler.empty()) {
        if (error)
            *error = named_failure.empty() ? "no C compiler found (set LUM_KERNEL_CC)"
                                           : "no C compiler found: the probe of LUM_KERNEL_CC failed: " + named_failure;
        return nullptr;
    }
    if (dir.empty()) {
        if (error) *error = "no directory for compiled kernels (set LUM_KERNEL_CACHE)";
        return nullptr;
    }
    const bool msvc = lumk_compiler_is_msvc(compiler);
    const std::string flags = msvc ? lumk_jit_flags_msvc : lumk_jit_flags_cc;
    const std::string libs = msvc ? "" : lumk_jit_libs_cc;
    const uint64_t hash = lumk_jit_file_hash(compiler, libs.empty() ? flags : flags + " " + libs, source);
    char name[32];
    std::snprintf(name, sizeof name, "k_%016llx", static_cast<unsigned long long>(hash));

    if (lumk_jit_entry_fn e = lumk_jit_loaded.find(hash)) return e;

    const std::string suffix = lumk_platform_library_suffix();
    // Files are made, compiled, renamed and loaded through the folder as it
    // was checked; messages name them by the folder's path.
    const fs::path held = lumk_platform_held_dir(dir);
    const std::string held_text = lumk_platform_path_text(held), dir_text = lumk_platform_path_text(dir);
    const auto shown = [&](std::string text) {
        if (held_text == dir_text) return text;
        for (size_t at = 0; (at = text.find(held_text, at)) != std::string::npos; at += dir_text.size())
            text.replace(at, held_text.size(), dir_text);
        return text;
    };
    const fs::path final_lib = held / (std::string(name) + suffix);
    lumk_jit_entry_fn entry = nullptr;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(final_lib, ec))) {
        std::string refused;
        entry = load_cached_library(final_lib, nullptr, &refused);
        if (!refused.empty())
            warn("kernel library " + lumk_platform_path_text(dir / (std::string(name) + suffix)) +
                 " is not loaded: " + refused + "; it is compiled again");
    }

    if (entry == nullptr) {
        // The files are looked after (on Linux by their keeper) from before
        // the first is made until they are renamed or removed (as this scope
        // ends).
        struct files_scope {
            lumk_compile_files* files;
            ~files_scope() { lumk_platform_compile_files_end(files); }
        } const temporaries{lumk_platform_compile_files_start(held)};
        // No C file ends the compile: the status names it, the warning gives
        // the system's reason.
        temporary_files temp;
        std::string write_error, reason;
        bool written = false;
        {
            // Never cut short by a cancellation: a C file written in part
            // would stay.
            const lumk_cancel_hold hold;
            written = write_kernel_source(held, name, tag, msvc, source, temporaries.files, &temp, &write_error,
                                          &reason);
        }
        if (!written) {
            warn("kernel source " + shown(lumk_platform_path_text(temp.c_file)) + " cannot be written: " + reason);
            if (error) *error = shown(write_error);
            return nullptr;
        }
        const std::string& base = temp.base;
        const fs::path &c_file = temp.c_file, &tmp_lib = temp.library;
        in_flight_files in_flight;
        // A thread that unwinds during the compile (cancelled while it waits
        // for the compiler, whose group the run has killed) leaves none of
        // the compile's files: they go before the in-flight record does. In
        // a copy that `stop` forked they are the parent's. After the run the
        // compile is not cancelled: its files are renamed or removed below.
        struct files_on_unwind {
            const std::vector<fs::path>& files;
            const uint32_t generation;
            bool armed = true;
            ~files_on_unwind() {
                if (armed && lumk_process_generation() == generation)
                    for (const fs::path& f : files) remove_quietly(f);
            }
        } unwinding{temp.all, generation};
        if (!in_flight.start(temp.all)) {
            remove_quietly(c_file);
            if (error) *error = "native compilation has stopped: the module is shutting down";
            return nullptr;
        }
        // The folder as this compiler can read it (on Windows maybe its short
        // name); a folder it cannot be given is refused, with a warning once.
        std::string folder, refused;
        if (!lumk_platform_compiler_folder(compiler, held, &folder, &refused)) {
            remove_quietly(c_file);
            const std::string text = "kernel cache folder " + dir_text + " cannot be given to the C compiler " +
                                     compiler + ": " + refused + " (set LUM_KERNEL_CACHE)";
            if (!state().folder_refusal_warned.exchange(true)) warn(text);
            if (error) *error = text;
            return nullptr;
        }
        const std::string qc = lumk_quote(folder + base + ".c");
        const std::string ql = lumk_quote(folder + base + suffix);
        std::string command;
        if (msvc) {
            command = compiler + " " + flags + " " + qc + " /Fe" + ql + " /Fo" + lumk_quote(folder + base + ".obj");
        } else {
            command = compiler + " " + flags + " -o " + ql + " " + qc + " " + libs;
        }
        std::string output;
        lumk_run_end how = lumk_run_end::exited;
        const int status = lumk_platform_run(command, &output, timeout, &how, stop, temporaries.files);
        unwinding.armed = false;
        const lumk_cancel_hold hold;
        if (lumk_process_generation() != generation) {
            if (error)
                *error = "native compilation was given up: this process is a copy made by fork() during the compile";
            return nullptr;
        }
        remove_quietly(c_file);
        if (msvc) {
            for (const char* ext : {".obj", ".lib", ".exp"}) remove_quietly(held / (base + ext));
        }
        if (status != 0 || !fs::exists(tmp_lib, ec)) {
            remove_quietly(tmp_lib);
            std::string reason;
            if (how == lumk_run_end::timed_out)
                reason = " timed out after " + std::to_string(timeout) + " s and was stopped (LUM_KERNEL_CC_TIMEOUT)";
            else if (how == lumk_run_end::stopped)
                reason = stop && stop() ? " was stopped: the host is shutting down"
                                        : " was stopped: the module is shutting down";
            if (error) *error = shown("C compiler failed (" + command + "):" + reason + "\n" + output);
            return nullptr;
        }
        // With its checksum, and on disk, before its name is published: after
        // a crash of the machine the name never stands for a file cut short,
        // and contents lost all the same are found before loading.
        std::string load_error;
        if (!lumk_platform_seal_library(tmp_lib, &load_error)) {
            remove_quietly(tmp_lib);
            if (error) *error = shown(load_error);
            return nullptr;
        }
        lumk_platform_make_private(tmp_lib);
        lumk_platform_flush_file(tmp_lib);
        fs::rename(tmp_lib, final_lib, ec);
        if (!ec) {
            lumk_platform_flush_file(final_lib);
            // Another process publishing the same kernel may have put its own
            // library under the name between the rename and the load: then
            // that one is examined and loaded (a few times at most).
            for (int attempt = 0; attempt < load_attempts && entry == nullptr; ++attempt) {
                std::string refused;
                entry = load_cached_library(final_lib, &load_error, &refused);
                if (refused.empty()) break;
            }
        } else if (lumk_platform_loaded_library_removable()) {
            // Not published (say a folder stands under its name): used from
            // its temporary name, which goes at once; the loaded library
            // keeps its contents.
            entry = load_cached_library(tmp_lib, &load_error, nullptr);
            remove_quietly(tmp_lib);
        } else {
            // A loaded library cannot be removed here: one spare name per
            // kernel, replaced by the next run that cannot publish either.
            // When another process has it loaded it is that same kernel's
            // library and is used as it is.
            const fs::path spare = held / (std::string(name) + ".spare" + suffix);
            fs::rename(tmp_lib, spare, ec);
            remove_quietly(tmp_lib);
            entry = load_cached_library(spare, &load_error, nullptr);
        }
        if (entry == nullptr) {
            if (error) *error = shown(load_error);
            return nullptr;
        }
    }
    return lumk_jit_loaded.insert(hash, entry);
}

void lumk_jit_compile_job(const lumk_program* program, const lumk_jit_stop_fn& stop) {
    std::string error;
    lumk_jit_entry_fn entry = nullptr;
    try {
        entry = lumk_jit_compile(lumk_jit_source(*program), &error, stop);
    } catch (const lum_thread_unwind&) {
        // The thread is cancelled or ends: the kernel is not compiled, and a
        // later launch asks again.
        lumk_jit_cancel_compile(*program->jit);
        throw;
    } catch (const std::exception& e) {
        error = e.what();
        entry = nullptr;
    }
    lumk_jit_slot& slot = *program->jit;
    if (entry != nullptr) lumk_jit_finish_ready(slot, entry);
    else if (stop && stop()) lumk_jit_cancel_compile(slot);  // not the kernel's fault: a later launch asks again
    else lumk_jit_finish_failed(slot, error);
}

void lumk_jit_request(std::shared_ptr<const lumk_unit> unit, const lumk_program* program,
                      const lumk_jit_submit_fn& submit, const lumk_jit_stop_fn& stop) {
    const uint32_t policy = lum_kernel_jit_policy.load(std::memory_order_relaxed);
    if (policy == LUM_KERNEL_JIT_OFF || program == nullptr || !program->jit) return;
    lumk_jit_slot& slot = *program->jit;

    try {
        lumk_aot_bind(*program, slot);
    } catch (const std::exception& e) {
        // A kernel without a C translation: failed like a failed compile; the
        // launch goes on interpreted.
        if (lumk_jit_begin_compile(slot)) lumk_jit_finish_failed(slot, e.what());
        return;
    }

    if (policy == LUM_KERNEL_JIT_SYNC) {
        // Compile here, or take over a queued compile that has not started;
        // wait only while another thread is really compiling.
        for (;;) {
            if (lumk_jit_begin_compile(slot)) {
                lumk_jit_compile_job(program, stop);
                return;
            }
            const lumk_jit_state s = lumk_jit_load_state(slot);
            if (s != LUMK_JIT_COMPILING && s != LUMK_JIT_BUSY) return;
            if (s == LUMK_JIT_COMPILING) {
                if (std::shared_ptr<compile_ticket> t = find_pending(&slot)) {
                    if (t->claim()) {
                        lumk_jit_compile_job(program, stop);
                        return;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    if (!lumk_jit_begin_compile(slot)) return;
    auto ticket = std::make_shared<compile_ticket>(std::move(unit), program, stop);
    {
        driver_state& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.pending[&slot] = {ticket.get(), ticket};
    }
    std::function<void()> job = [ticket] {
        if (ticket->claim()) lumk_jit_compile_job(ticket->program, ticket->stop);
    };
    bool queued = false;
    if (submit) {
        try {
            queued = submit(std::move(job));
        } catch (const lum_thread_unwind&) {
            if (ticket->claim()) lumk_jit_cancel_compile(slot);
            throw;
        } catch (...) {
            queued = false;
        }
    }
    // Not queued: back to none at once, so that the next launch asks again.
    if (!queued && ticket->claim()) lumk_jit_cancel_compile(slot);
}

std::string lumk_jit_status(const lumk_program* program) {
    if (lum_kernel_jit_policy.load(std::memory_order_relaxed) == LUM_KERNEL_JIT_OFF) return "off";
    if (program == nullptr || !program->jit) return "none";
    const lumk_jit_slot& slot = *program->jit;
    switch (lumk_jit_load_state(slot)) {
        case LUMK_JIT_COMPILING:
        case LUMK_JIT_BUSY: return "compiling";
        case LUMK_JIT_READY: return slot.from_aot ? "aot" : "ready";
        case LUMK_JIT_FAILED: return "failed: " + slot.error;
        default: return "none";
    }
}

namespace {
// Row of an ahead-of-time library's table (the C layout of lumk_aot_entry).
struct aot_row {
    uint64_t hash;
    lumk_jit_entry_fn fn;
};
using aot_table_fn = const aot_row* (*)(unsigned*);
}  // namespace

int lumk_aot_load(const std::string& path, std::string* error) {
    const fs::path abs = lumk_platform_absolute(lumk_platform_path(path));
    std::string why;
    void* lib = lumk_platform_open_library(abs, &why);
    if (lib == nullptr) {
        // The path as the script gave it, with the loader's reason, when the
        // platform gives one ("cannot load <full path> (reason)").
        const std::string named = "cannot load " + lumk_platform_path_text(abs);
        const bool reason = why.size() > named.size() + 1 && why.compare(0, named.size() + 2, named + " (") == 0;
        if (error) *error = "cannot load " + path + (reason ? why.substr(named.size()) : std::string());
        return -1;
    }
    auto table = reinterpret_cast<aot_table_fn>(lumk_platform_symbol(lib, "lumk_aot_table"));
    if (table == nullptr) {
        if (error) *error = path + " is not a kernel library (no lumk_aot_table, build it with -DLUMK_AOT_SHARED)";
        return -1;
    }
    unsigned count = 0;
    const aot_row* rows = table(&count);
    for (unsigned i = 0; i < count; ++i) lumk_aot_register_entry(rows[i].hash, rows[i].fn);
    return static_cast<int>(count);
}
