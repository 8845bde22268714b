#include "tests/platform/test_platform.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

void lum_test_set_env(const char* name, const char* value) { ::setenv(name, value, 1); }
void lum_test_unset_env(const char* name) { ::unsetenv(name); }

std::string lum_test_make_temp_dir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

long lum_test_peak_rss_kib() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double lum_test_thread_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double lum_test_process_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t lum_test_os_thread_id() { return static_cast<uint32_t>(::gettid()); }

namespace {
std::string locale_folder;
}

bool lum_test_use_decimal_comma_locale() {
    // A locale of our own, built into a temporary folder: machines rarely
    // have one with a decimal comma installed.
    locale_folder = lum_test_make_temp_dir("lum_locale_");
    if (locale_folder.empty()) return false;
    const std::string source = locale_folder + "/comma.src";
    FILE* f = std::fopen(source.c_str(), "w");
    if (f == nullptr) return false;
    std::fputs("LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n", f);
    std::fclose(f);
    const std::string build = "localedef -c -i " + source + " -f UTF-8 " + locale_folder + "/comma >/dev/null 2>&1";
    if (std::system(build.c_str()) == -1) return false;
    ::setenv("LOCPATH", locale_folder.c_str(), 1);
    return std::setlocale(LC_NUMERIC, "comma") != nullptr;
}

void lum_test_restore_c_numeric_locale() {
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
    if (!locale_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(locale_folder, ignored);
        locale_folder.clear();
    }
}

std::string lum_test_narrow_path(const std::filesystem::path& path) { return path.string(); }

std::string lum_test_self_path() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

int lum_test_capture(const std::string& command_line, std::string* output) {
    output->clear();
    FILE* pipe = ::popen(command_line.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) *output += buf;
    const int status = ::pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string lum_test_quote(const std::string& argument) {
    std::string quoted = "'";
    for (char c : argument) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int lum_test_run_command(const std::string& dir, const std::string& command_line, const std::string& out_file,
                         const std::string& err_file) {
    const std::string command = "cd " + lum_test_quote(dir) + " && " + command_line + " >" +
                                lum_test_quote(out_file) + " 2>" + lum_test_quote(err_file) + " </dev/null";
    const int raw = std::system(command.c_str());
    return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}
