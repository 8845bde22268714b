#pragma once
// Running assembler programs in-process: the module linked into the test
// binary (namespace initialisers run once), a logger that collects what the
// host would print on standard error, and `print` output collected as
// standard output. `expect_program` checks one NAME.lasm of a folder against
// its NAME.out, NAME.err, NAME.status and NAME.flags files.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "host/assembler.h"
#include "host/module_loader.h"
#include "host/run_program.h"
#include "runtime/log.h"

namespace lasmtest {

// The text the host logger would write to standard error, in order.
class stderr_log : public lum_log_base {
public:
    void hook_warning(const std::string& t) override { add(t); }
    void hook_error(const std::string& t) override { add(t); }
    void hook_notice(const std::string& t) override { add(t); }
    void hook_registration(const std::string& t) override { add(t); }
    std::string text() {
        std::lock_guard<std::mutex> l(m_);
        return text_;
    }

private:
    void add(const std::string& t) {
        std::lock_guard<std::mutex> l(m_);
        text_ += t;
        if (t.empty() || t.back() != '\n') text_ += '\n';
    }
    std::mutex m_;
    std::string text_;
};

inline const lum_loaded_module& linked_module() {
    static const std::unique_ptr<lum_loaded_module> module = [] {
        auto m = lum_loaded_module::linked();
        m->run_initializers();
        return m;
    }();
    return *module;
}

struct outcome {
    std::string out;
    std::string err;
    int status = 0;
    lum_run_result run;
};

struct settings {
    uint32_t workers = 2;
    uint32_t max_depth = 0;
    std::chrono::milliseconds timeout{10000};
};

// One line per instruction for programs that tests generate with several
// instructions on a line: splits lines at '|' outside strings and comments;
// each later piece is indented as an instruction line of its own.
inline std::string unfold(const std::string& source) {
    std::string out;
    bool quoted = false, escaped = false, comment = false;
    for (size_t i = 0; i < source.size(); ++i) {
        const char c = source[i];
        if (c == '\n') {
            quoted = escaped = comment = false;
        } else if (quoted) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') quoted = false;
        } else if (!comment && c == '"') {
            quoted = true;
        } else if (c == ';') {
            comment = true;
        } else if (!comment && c == '|') {
            while (!out.empty() && out.back() == ' ') out.pop_back();
            out += "\n        ";
            while (i + 1 < source.size() && source[i + 1] == ' ') ++i;
            continue;
        }
        out += c;
    }
    return out;
}

// Assembles `source` (named `file` in diagnostics and reports) and runs it.
inline outcome run(const std::string& source, const std::string& file, const settings& s = {}) {
    outcome o;
    auto out_mutex = std::make_shared<std::mutex>();
    lum_asm_options options;
    options.module = &linked_module();
    options.output = [&o, out_mutex](std::string_view line) {
        std::lock_guard<std::mutex> l(*out_mutex);
        o.out.append(line);
    };
    lumptr_strong<lum_program> program;
    try {
        program = lum_assemble(source, file, options).program;
    } catch (const lum_asm_error& e) {
        o.err = std::string(e.what()) + "\n";
        o.status = 2;
        return o;
    }
    auto* log = new stderr_log();
    lumptr_strong<lum_log_base> hold(log);
    lum_run_options ro;
    ro.workers = s.workers;
    ro.max_call_depth = s.max_depth;
    // 0 (none for `lumio run`) keeps the tests' bound: a test never waits
    // without end.
    ro.timeout = s.timeout.count() > 0 ? s.timeout : settings{}.timeout;
    ro.logger = hold;
    o.run = lum_run_program(std::move(program), ro);
    o.status = o.run.exit_status;
    o.err = log->text();
    return o;
}

// The diagnostics text of a source that must not assemble ("" when it does).
inline std::string asm_errors(const std::string& source, const std::string& file = "t.lasm") {
    lum_asm_options options;
    options.module = &linked_module();
    try {
        lum_assemble(source, file, options);
    } catch (const lum_asm_error& e) {
        return e.what();
    }
    return {};
}

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The NAMEs of the NAME.lasm files in `dir`, sorted.
inline std::vector<std::string> program_names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".lasm") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// NAME.flags: command-line options of `lumio run` for the program
// (--workers N, --max-depth N, --timeout SECONDS) over `s`.
inline settings read_flags(const std::filesystem::path& path, settings s = {}) {
    if (!std::filesystem::exists(path)) return s;
    std::istringstream in(read_file(path));
    std::string option;
    std::string value;
    while (in >> option >> value) {
        if (option == "--workers") s.workers = static_cast<uint32_t>(std::stoul(value));
        else if (option == "--max-depth") s.max_depth = static_cast<uint32_t>(std::stoul(value));
        else if (option == "--timeout") s.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::stod(value) * 1000));
        else ADD_FAILURE() << path << ": unknown option " << option;
    }
    return s;
}

// Runs dir/NAME.lasm: its standard output must equal NAME.out, its standard
// error NAME.err (empty without the file) and its exit status NAME.status (0
// without the file). `defaults` are the settings NAME.flags starts from.
inline void expect_program(const std::filesystem::path& dir, const std::string& name, const settings& defaults = {}) {
    namespace fs = std::filesystem;
    const fs::path base = dir / name;
    auto with = [&base](const char* ext) { return fs::path(base).replace_extension(ext); };
    const std::string source = read_file(with(".lasm"));
    const outcome o =
        run(source, name + ".lasm", read_flags(with(".flags"), defaults));
    EXPECT_EQ(o.out, read_file(with(".out")));
    EXPECT_EQ(o.err, fs::exists(with(".err")) ? read_file(with(".err")) : std::string());
    EXPECT_EQ(o.status, fs::exists(with(".status")) ? std::stoi(read_file(with(".status"))) : 0);
}

}  // namespace lasmtest
