// Windows: commands through the command processor in a job object of their
// own.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/native_commands.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The command processor: %ComSpec%, else cmd.exe in the system folder.
std::wstring command_processor() {
    const DWORD size = ::GetEnvironmentVariableW(L"ComSpec", nullptr, 0);
    if (size > 1) {
        std::wstring text(size, L'\0');
        const DWORD n = ::GetEnvironmentVariableW(L"ComSpec", text.data(), size);
        if (n > 0 && n < size) return text.substr(0, n);
    }
    wchar_t system[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return L"cmd.exe";
    return std::wstring(system, n) + L"\\cmd.exe";
}


// A command being run: its process and the job object that holds it and
// every process it starts (null when the job could not be set up; then only
// the process itself can be killed).
struct running_command {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    std::atomic<bool> stopped{false};  // killed by lumk_platform_stop_commands
};

using command_table = lumk_command_table<running_command>;

command_table& commands() { return command_table::get(); }

void kill_command(const running_command& r) {
    if (r.job != nullptr) ::TerminateJobObject(r.job, 1);
    else ::TerminateProcess(r.process, 1);
}

void close_handle(HANDLE h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
}

// A list of process attributes that lets a new process inherit only the
// given handles (not every inheritable handle of the host); no list when the
// system cannot make one.
class inherit_only {
public:
    inherit_only(HANDLE a, HANDLE b) {
        if (a != nullptr && a != INVALID_HANDLE_VALUE) handles_[count_++] = a;
        if (b != nullptr && b != INVALID_HANDLE_VALUE && b != a) handles_[count_++] = b;
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return;
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                         count_ * sizeof(HANDLE), nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~inherit_only() {
        if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
    }
    inherit_only(const inherit_only&) = delete;
    inherit_only& operator=(const inherit_only&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

private:
    HANDLE handles_[2] = {};
    size_t count_ = 0;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The pipe's text as _popen's text mode gives it: "\r\n" becomes "\n".
class text_mode_reader {
public:
    explicit text_mode_reader(lumk_output_collector& out) : out_(out) {}
    void feed(const char* data, size_t size) {
        std::string text;
        text.reserve(size + 1);
        for (size_t i = 0; i < size; ++i) {
            if (cr_) {
                cr_ = false;
                if (data[i] != '\n') text += '\r';
            }
            if (data[i] == '\r') cr_ = true;
            else text += data[i];
        }
        out_.feed(text.data(), text.size());
    }
    void finish() {
        if (cr_) out_.feed("\r", 1);
        cr_ = false;
        out_.finish();
    }

private:
    lumk_output_collector& out_;
    bool cr_ = false;
};

}  // namespace

int lumk_platform_run(const std::string& command, std::string* output, uint32_t timeout_seconds, lumk_run_end* end,
                      const std::function<bool()>& stop) {
    if (output) output->clear();
    if (end) *end = lumk_run_end::not_run;
    // The line _popen would give the command processor ("cmd /c LINE"). It
    // drops the first and the last quote of a line that starts with one (a
    // quoted compiler path); the outer pair added here is the pair it drops,
    // whatever the line holds.
    const std::wstring processor = command_processor();
    std::wstring command_line = L"\"" + processor + L"\" /c " + lumk_platform_path("\"" + command + " 2>&1\"").wstring();

    command_table& table = commands();
    running_command self;
    HANDLE read_end = nullptr;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (table.stopping) {
            if (end) *end = lumk_run_end::stopped;
            return -1;
        }
        // Inheritable handles are made and handed over under the lock, so a
        // command started at the same time by another thread of ours does not
        // inherit this one's pipe.
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE write_end = nullptr;
        if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return -1;
        ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
        HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                   0, nullptr);
        // The command inherits its output pipe and the null device, nothing else.
        const inherit_only only(write_end, nul);
        STARTUPINFOEXW si{};
        si.StartupInfo.cb = only.list() != nullptr ? sizeof si : sizeof si.StartupInfo;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = nul;
        si.StartupInfo.hStdOutput = write_end;
        si.StartupInfo.hStdError = write_end;
        si.lpAttributeList = only.list();
        const DWORD flags =
            CREATE_SUSPENDED | CREATE_NO_WINDOW | (only.list() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
        PROCESS_INFORMATION pi{};
        const BOOL started = ::CreateProcessW(processor.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                                              nullptr, nullptr, &si.StartupInfo, &pi);
        close_handle(write_end);
        close_handle(nul);
        if (!started) {
            close_handle(read_end);
            return -1;
        }
        // A job that kills what it holds when its last handle closes: the
        // compiler's children go with it, also when this process dies.
        HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
        if (job != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
                !::AssignProcessToJobObject(job, pi.hProcess)) {
                close_handle(job);
                job = nullptr;
            }
        }
        ::ResumeThread(pi.hThread);
        close_handle(pi.hThread);
        self.process = pi.hProcess;
        self.job = job;
        table.running.push_back(&self);
    }

    using clock = std::chrono::steady_clock;
    const bool limited = timeout_seconds != 0;
    const clock::time_point deadline = clock::now() + std::chrono::seconds(timeout_seconds);
    lumk_output_collector collect(output);
    text_mode_reader reader(collect);
    bool open = true, ended = false, timed_out = false, stop_now = false;
    clock::time_point quiet_at{};   // once it has ended: when reading its output stops
    clock::time_point next_ask{};   // when the stop condition is asked next
    char buf[4096];
    for (;;) {
        DWORD avail = 0;
        if (open && !::PeekNamedPipe(read_end, nullptr, 0, nullptr, &avail, nullptr)) open = false;  // writers gone
        if (open && avail > 0) {
            DWORD n = 0;
            if (::ReadFile(read_end, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr) && n > 0)
                reader.feed(buf, n);
            else
                open = false;
        }
        const clock::time_point now = clock::now();
        if (!ended && ::WaitForSingleObject(self.process, 0) == WAIT_OBJECT_0) {
            ended = true;
            quiet_at = now + lumk_output_grace;
        }
        if (ended && (!open || now >= quiet_at)) break;
        if (self.stopped.load(std::memory_order_acquire)) stop_now = true;
        if (stop && now >= next_ask) {
            next_ask = now + lumk_stop_poll;
            if (stop()) stop_now = true;
        }
        if (stop_now) break;
        DWORD nap = 10;
        if (limited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (left <= 0) {
                timed_out = true;
                break;
            }
            nap = static_cast<DWORD>(std::min<long long>(left, nap));
        }
        if (avail > 0) continue;
        if (ended) ::Sleep(nap);  // output still held open by a process it started
        else ::WaitForSingleObject(self.process, nap);
    }
    reader.finish();
    if (self.stopped.load(std::memory_order_acquire)) stop_now = true;  // killed before it ended by itself

    {
        std::lock_guard<std::mutex> lock(table.mutex);
        if (timed_out || stop_now) kill_command(self);
        table.running.erase(std::find(table.running.begin(), table.running.end(), &self));
    }
    table.changed.notify_all();
    ::WaitForSingleObject(self.process, 10000);
    DWORD exit_code = 0;
    const BOOL have_code = ::GetExitCodeProcess(self.process, &exit_code) && exit_code != STILL_ACTIVE;
    close_handle(self.job);  // kills whatever the command left running
    close_handle(self.process);
    close_handle(read_end);
    if (end) *end = timed_out ? lumk_run_end::timed_out : stop_now ? lumk_run_end::stopped : lumk_run_end::exited;
    if (timed_out || stop_now || !have_code) return -1;
    return static_cast<int>(exit_code);
}

void lumk_platform_stop_commands() {
    // At process exit the other threads are gone already, and one may have
    // died holding the lock: try for a while, then leave the commands to
    // their job objects, which the system closes with the process.
    command_table& table = commands();
    std::unique_lock<std::mutex> lock(table.mutex, std::defer_lock);
    for (int i = 0; i < 200 && !lock.try_lock(); ++i) ::Sleep(10);
    if (!lock.owns_lock()) return;
    table.stopping = true;
    for (running_command* r : table.running) {
        r->stopped.store(true, std::memory_order_release);
        kill_command(*r);
    }
    table.changed.wait_for(lock, std::chrono::seconds(2), [&] { return table.running.empty(); });
}

// msvcrt keeps no quick_exit list.
void lumk_platform_at_quick_exit(void (*)()) {}
