#include "kernel/exec/native_driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "kernel/exec/aot.h"
#include "kernel/exec/jit_source.h"
#include "kernel/exec/native_platform.h"

namespace fs = std::filesystem;

namespace {

struct compile_ticket;

// Process-wide driver state. Allocated once and never destroyed: a compile job
// that finishes while the process exits must not touch freed memory.
struct driver_state {
    std::mutex mutex;  // the toolchain choice and the pending tickets
    bool chosen = false;
    std::string compiler;
    fs::path dir;
    std::atomic<uint64_t> temp_counter{0};
    // Queued compiles that have not started, by slot; a synchronous request
    // may claim one and compile on its own thread.
    std::map<const lumk_jit_slot*, std::pair<compile_ticket*, std::weak_ptr<compile_ticket>>> pending;
};

driver_state& state() {
    static driver_state* const s = new driver_state;
    return *s;
}

// One queued compile of one program. Whoever claims it first runs the compile
// (a worker or a synchronous launch); a ticket destroyed unclaimed puts the
// slot back to none so that a later launch asks again.
struct compile_ticket {
    std::shared_ptr<const lumk_unit> unit;  // keeps the program alive
    const lumk_program* program;
    std::shared_ptr<lumk_jit_slot> slot;
    std::atomic<bool> claimed{false};

    compile_ticket(std::shared_ptr<const lumk_unit> u, const lumk_program* p)
        : unit(std::move(u)), program(p), slot(p->jit) {}
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

// Chooses the compiler and cache folder once per process.
void choose_toolchain(std::string* compiler, fs::path* dir) {
    driver_state& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.chosen) {
        s.compiler = lumk_find_compiler();
        if (!s.compiler.empty()) s.dir = lumk_cache_dir();
        s.chosen = true;
    }
    if (compiler) *compiler = s.compiler;
    if (dir) *dir = s.dir;
}

void remove_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

}  // namespace

int lumk_run_command(const std::string& command, std::string* output) { return lumk_platform_run(command, output); }

std::string lumk_quote(const std::string& text) { return lumk_platform_quote(text); }

bool lumk_compiler_is_msvc(const std::string& compiler) {
    const size_t cut = compiler.find_last_of("/\\");
    std::string base = cut == std::string::npos ? compiler : compiler.substr(cut + 1);
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::tolower(c); });
    return base == "cl" || base == "cl.exe" || base == "clang-cl" || base == "clang-cl.exe";
}

bool lumk_probe_compiler(const std::string& compiler) {
    const std::string cmd =
        compiler + (lumk_compiler_is_msvc(compiler) ? " /nologo /?" : " --version") + lumk_platform_discard_output();
    return lumk_run_command(cmd, nullptr) == 0;
}

std::string lumk_find_compiler() {
    std::string cc;
    if (lumk_platform_env("LUM_KERNEL_CC", &cc)) return !cc.empty() && lumk_probe_compiler(cc) ? cc : std::string();
    for (const std::string& cand : lumk_platform_compiler_candidates())
        if (lumk_probe_compiler(cand)) return cand;
    return {};
}

fs::path lumk_cache_dir() { return lumk_platform_cache_dir(); }

std::string lumk_jit_compiler() {
    std::string compiler;
    choose_toolchain(&compiler, nullptr);
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

lumk_jit_entry_fn lumk_load_jit_library(const fs::path& path, std::string* error) {
    std::string err;
    void* lib = lumk_platform_open_library(path, &err);
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

lumk_jit_entry_fn lumk_jit_compile(const std::string& source, std::string* error) {
    std::string compiler;
    fs::path dir;
    choose_toolchain(&compiler, &dir);
    if (compiler.empty()) {
        if (error) *error = "no C compiler found (set LUM_KERNEL_CC)";
        return nullptr;
    }
    if (dir.empty()) {
        if (error) *error = "no directory for compiled kernels (set LUM_KERNEL_CACHE)";
        return nullptr;
    }
    const bool msvc = lumk_compiler_is_msvc(compiler);
    const std::string flags = msvc ? lumk_jit_flags_msvc : lumk_jit_flags_cc;
    const uint64_t hash = lumk_jit_file_hash(compiler, flags, source);
    char name[32];
    std::snprintf(name, sizeof name, "k_%016llx", static_cast<unsigned long long>(hash));

    if (lumk_jit_entry_fn e = lumk_jit_loaded.find(hash)) return e;

    const std::string suffix = lumk_platform_library_suffix();
    const fs::path final_lib = dir / (std::string(name) + suffix);
    lumk_jit_entry_fn entry = nullptr;
    std::error_code ec;
    if (fs::exists(final_lib, ec)) entry = lumk_load_jit_library(final_lib, nullptr);

    if (entry == nullptr) {
        driver_state& s = state();
        const std::string base = std::string(name) + "." +
                                 std::to_string(s.temp_counter.fetch_add(1, std::memory_order_relaxed)) + "." +
                                 std::to_string(lumk_platform_pid());
        const fs::path c_file = dir / (base + ".c");
        const fs::path tmp_lib = dir / (base + suffix);
        {
            std::ofstream f(c_file, std::ios::binary | std::ios::trunc);
            bool ok = f.is_open();
            if (ok) {
                f.write(source.data(), static_cast<std::streamsize>(source.size()));
                f.close();
                ok = !f.fail();
            }
            if (!ok) {
                remove_quietly(c_file);
                if (error) *error = "cannot write " + lumk_platform_path_text(c_file);
                return nullptr;
            }
        }
        const std::string qc = lumk_quote(lumk_platform_path_text(c_file));
        const std::string ql = lumk_quote(lumk_platform_path_text(tmp_lib));
        std::string command;
        if (msvc) {
            const fs::path obj = dir / (base + ".obj");
            command = compiler + " " + flags + " " + qc + " /Fe" + ql + " /Fo" +
                      lumk_quote(lumk_platform_path_text(obj));
        } else {
            command = compiler + " " + flags + " -o " + ql + " " + qc;
        }
        std::string output;
        const int status = lumk_run_command(command, &output);
        remove_quietly(c_file);
        if (msvc) {
            for (const char* ext : {".obj", ".lib", ".exp"}) remove_quietly(dir / (base + ext));
        }
        if (status != 0 || !fs::exists(tmp_lib, ec)) {
            remove_quietly(tmp_lib);
            if (error) *error = "C compiler failed (" + command + "):\n" + output;
            return nullptr;
        }
        fs::rename(tmp_lib, final_lib, ec);
        std::string load_error;
        entry = lumk_load_jit_library(ec ? tmp_lib : final_lib, &load_error);
        if (entry == nullptr) {
            if (error) *error = load_error;
            return nullptr;
        }
    }
    return lumk_jit_loaded.insert(hash, entry);
}

void lumk_jit_compile_job(const lumk_program* program) {
    std::string error;
    lumk_jit_entry_fn entry = nullptr;
    try {
        entry = lumk_jit_compile(lumk_jit_source(*program), &error);
    } catch (const std::exception& e) {
        error = e.what();
        entry = nullptr;
    }
    lumk_jit_slot& slot = *program->jit;
    if (entry != nullptr) lumk_jit_finish_ready(slot, entry);
    else lumk_jit_finish_failed(slot, error);
}

void lumk_jit_request(std::shared_ptr<const lumk_unit> unit, const lumk_program* program,
                      const lumk_jit_submit_fn& submit) {
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
                lumk_jit_compile_job(program);
                return;
            }
            const lumk_jit_state s = lumk_jit_load_state(slot);
            if (s != LUMK_JIT_COMPILING && s != LUMK_JIT_BUSY) return;
            if (s == LUMK_JIT_COMPILING) {
                if (std::shared_ptr<compile_ticket> t = find_pending(&slot)) {
                    if (t->claim()) {
                        lumk_jit_compile_job(program);
                        return;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    if (!lumk_jit_begin_compile(slot)) return;
    auto ticket = std::make_shared<compile_ticket>(std::move(unit), program);
    {
        driver_state& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.pending[&slot] = {ticket.get(), ticket};
    }
    std::function<void()> job = [ticket] {
        if (ticket->claim()) lumk_jit_compile_job(ticket->program);
    };
    bool queued = false;
    if (submit) {
        try {
            queued = submit(std::move(job));
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
    void* lib = lumk_platform_open_library(abs, nullptr);
    if (lib == nullptr) {
        if (error) *error = "cannot load " + path;
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
