#include "host/cmd_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "host/assembler.h"
#include "host/host_log.h"
#include "host/module_loader.h"
#include "host/platform.h"
#include "host/run_program.h"
#include "vm/program_block.h"

namespace {

constexpr const char* run_usage =
    "usage: lumio run FILE.lasm [--workers N] [--max-depth N] [--timeout SECONDS] [--module PATH]\n";
constexpr const char* asm_usage = "usage: lumio asm FILE.lasm [--module PATH]\n";

// `lumio run` stops an endless recursion by default; --max-depth sets any
// other limit, 0 for none.
constexpr uint32_t default_max_call_depth = 10000;

struct command_line {
    std::string file;
    std::string module;
    lum_run_options run;
    double timeout_seconds = 0;  // 0: none
};

// A number of seconds as the command line may have given it (printf's %g).
std::string seconds_text(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

std::optional<uint64_t> parse_count(std::string_view s) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

// Parses the options; prints the problem and returns false on a bad command line.
bool parse(const std::vector<std::string_view>& args, bool run_options, const char* name, const char* usage,
           command_line& out) {
    auto bad = [&](const std::string& why) {
        lum_host_message("lumio " + std::string(name) + ": " + why + "\n" + usage);
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--module") {
            if (!has_value) return bad("--module needs a path");
            out.module = std::string(args[++i]);
        } else if (run_options && (a == "--workers" || a == "--max-depth")) {
            if (!has_value) return bad(std::string(a) + " needs a number");
            std::optional<uint64_t> n = parse_count(args[++i]);
            if (!n || *n > UINT32_MAX) return bad("bad value for " + std::string(a) + ": '" + std::string(args[i]) + "'");
            if (a == "--workers") {
                if (*n > 256) return bad("at most 256 workers");
                out.run.workers = static_cast<uint32_t>(*n);
            } else {
                out.run.max_call_depth = static_cast<uint32_t>(*n);
            }
        } else if (run_options && a == "--timeout") {
            if (!has_value) return bad("--timeout needs a number of seconds");
            const std::string text(args[++i]);
            char* end = nullptr;
            const double s = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(s) || s < 0 || s > 1e7)
                return bad("bad value for --timeout: '" + text + "'");
            out.timeout_seconds = s;
        } else if (!a.empty() && a[0] == '-' && a.size() > 1) {
            return bad("unknown option '" + std::string(a) + "'");
        } else if (out.file.empty()) {
            out.file = std::string(a);
        } else {
            return bad("more than one file given");
        }
    }
    if (out.file.empty()) return bad("no file given");
    // Any timeout above 0 is at least a millisecond (0 would mean none).
    if (out.timeout_seconds > 0)
        out.run.timeout = std::chrono::milliseconds(std::max<int64_t>(1, std::llround(out.timeout_seconds * 1000.0)));
    return true;
}

// The runtime copy linked into this executable, with its namespace
// initialisers run once. The interpreter runs in this copy, so the values it
// makes itself (text from `lds`, json from `newjson`, operator results) are
// objects of this copy's classes, which get their methods only from this
// copy's own initialisers; objects the library makes use the library's.
void initialize_linked_copy() {
    static const std::unique_ptr<lum_loaded_module> copy = [] {
        std::unique_ptr<lum_loaded_module> m = lum_loaded_module::linked();
        m->run_initializers();
        return m;
    }();
}

std::unique_ptr<lum_loaded_module> load_module(const command_line& cl, lum_module_locator locate, const char* name) {
    try {
        auto module = lum_loaded_module::open(locate != nullptr ? locate(cl.module) : cl.module);
        module->run_initializers();
        if (module->is_shared_library()) initialize_linked_copy();
        return module;
    } catch (const std::exception& e) {
        lum_host_message("lumio " + std::string(name) + ": " + e.what() + "\n");
        return nullptr;
    }
}

// The command and file named when an exception escapes (plain storage: it
// may be needed while static objects are destroyed).
char escaped_context[1024];

// An exception that escapes a run (out of memory in the middle of an
// instruction, on the VM thread or a worker) is reported and ends the
// command with status 2, without unwinding through a VM that the exception
// left half-changed.
[[noreturn]] void report_escaped_exception() {
    const char* what = "an internal error ended the program";
    const std::exception_ptr e = std::current_exception();  // keeps what() valid
    if (e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::bad_alloc&) {
            what = "out of memory";
        } catch (const std::exception& x) {
            what = x.what();
        } catch (...) {
            what = "an unknown exception ended the program";
        }
    }
    char message[sizeof escaped_context + 256];  // no allocation: memory may have run out
    std::snprintf(message, sizeof message, "%s: %s\n", escaped_context, what);
    lum_host_message(message);
    std::_Exit(2);
}

void report_escaped_exceptions(const char* name, const std::string& file) {
    std::snprintf(escaped_context, sizeof escaped_context, "lumio %s: %s", name, file.c_str());
    std::set_terminate(report_escaped_exception);
}

// Ends the process when the VM thread has not come back well after the
// timeout: the loop only sees the timeout between turns, and a task that never
// yields (an endless loop) would otherwise keep the command running forever.
// It ends through quick_exit, so the module still stops its compiles and
// removes its temporary kernel folder.
class watchdog {
public:
    watchdog(std::chrono::milliseconds limit, std::string file, double seconds)
        : thread_([this, limit, file = std::move(file), seconds] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
              lum_host_message("lumio run: " + file + ": still running a task after the timeout of " +
                               seconds_text(seconds) + " seconds\n");
              lum_host_quick_exit(1);
          }) {}
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;  // last: starts after the fields it uses
};

// Reads and assembles the file: the assembly, or nothing after saying why
// on standard error ("lumio NAME: FILE: reason" when the file cannot be
// read, "FILE:LINE: message" when it cannot be assembled).
std::optional<lum_assembly> assemble(const command_line& cl, const lum_loaded_module& module, const char* name) {
    std::string text;
    std::string why;
    if (!lum_host_read_file(cl.file, &text, &why)) {
        lum_host_message("lumio " + std::string(name) + ": " + cl.file + ": " + why + "\n");
        return std::nullopt;
    }
    lum_asm_options options;
    options.module = &module;
    try {
        return lum_assemble(text, cl.file, options);
    } catch (const lum_asm_error& e) {
        lum_host_message(std::string(e.what()) + "\n");
        return std::nullopt;
    }
}

}  // namespace

int lum_cmd_run(const std::vector<std::string_view>& args, lum_module_locator locate) {
    command_line cl;
    cl.run.max_call_depth = default_max_call_depth;
    if (!parse(args, true, "run", run_usage, cl)) return 2;
    report_escaped_exceptions("run", cl.file);
    std::unique_ptr<lum_loaded_module> module = load_module(cl, locate, "run");
    if (!module) return 1;
    std::optional<lum_assembly> assembly = assemble(cl, *module, "run");
    if (!assembly) return 2;
    lumptr_strong<lum_program> program = std::move(assembly->program);
    assembly.reset();

    lum_run_result result;
    if (cl.run.timeout.count() > 0) {
        // Grace beyond the timeout for stopping the tasks left behind.
        watchdog guard(cl.run.timeout + std::chrono::seconds(3), cl.file, cl.timeout_seconds);
        result = lum_run_program(std::move(program), cl.run);
    } else {
        result = lum_run_program(std::move(program), cl.run);
    }
    std::fflush(stdout);
    if (result.timed_out)
        lum_host_message("lumio run: " + cl.file + ": tasks still running after the timeout of " +
                         seconds_text(cl.timeout_seconds) + " seconds\n");
    return result.exit_status;
}

int lum_cmd_asm(const std::vector<std::string_view>& args, lum_module_locator locate) {
    command_line cl;
    if (!parse(args, false, "asm", asm_usage, cl)) return 2;
    report_escaped_exceptions("asm", cl.file);
    std::unique_ptr<lum_loaded_module> module = load_module(cl, locate, "asm");
    if (!module) return 1;
    const std::optional<lum_assembly> assembly = assemble(cl, *module, "asm");
    if (!assembly) return 2;
    const std::string text = assembly->listing();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}
