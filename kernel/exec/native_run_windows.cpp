// Windows: commands in a job object of their own, started by the command
// processor or, when they need none, as the program itself.
#include "kernel/exec/native_run.h"
#include "kernel/exec/native_keeper_windows.h"

#include "kernel/exec/native_access_windows.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <mutex>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The command processor: %ComSpec% when it is a full path, else cmd.exe in
// the system folder (a bare name would be looked for in the current folder
// first); empty when there is none.
std::wstring command_processor() {
    const DWORD size = ::GetEnvironmentVariableW(L"ComSpec", nullptr, 0);
    if (size > 1) {
        std::wstring text(size, L'\0');
        const DWORD n = ::GetEnvironmentVariableW(L"ComSpec", text.data(), size);
        text.resize(n < size ? n : 0);
        const bool drive = text.size() > 2 && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
        const bool share = text.size() > 2 && text[0] == L'\\' && text[1] == L'\\';
        if (drive || share) return text;
    }
    wchar_t system[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::wstring(system, n) + L"\\cmd.exe";
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

void close_handle(HANDLE h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
}

// Inheritable handles are made and handed over under this lock, so a command
// started at the same time by another thread of ours does not inherit another
// one's pipe.
std::mutex& start_mutex() {
    static std::mutex* const m = new std::mutex;
    return *m;
}

std::wstring system_folder() {
    wchar_t system[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(system, n);
}

// The folder a command starts in, never the host's current folder, where
// anybody may have left a program under a name a compiler (or the batch file
// that sets one up) runs: the cache folder of a compile (judged private to
// this user), else, and for a cache folder that cannot be a current folder
// (a share, which the command processor refuses, a path with the prefix
// \\?\ or one too long), the system folder. Both hold only what this user or
// the system put there.
std::wstring start_folder(const lumk_compile_files* files) {
    if (files != nullptr) {
        const std::wstring folder = fs::path(files->folder).make_preferred().wstring();
        const bool drive = folder.size() > 2 && std::iswalpha(folder[0]) && folder[1] == L':' && folder[2] == L'\\';
        if (drive && folder.size() < MAX_PATH - 2) return folder;
    }
    return system_folder();
}

// This process's environment with NoDefaultCurrentDirectoryInExePath=1, in
// the order of names the system keeps: the command processor (and the
// system's own search in any program the command starts) then does not look
// for a bare program name in the current folder either.
std::vector<wchar_t> command_environment() {
    static constexpr std::wstring_view kSetting = L"NoDefaultCurrentDirectoryInExePath=";
    std::vector<wchar_t> block;
    bool placed = false;
    const auto place = [&] {
        block.insert(block.end(), kSetting.begin(), kSetting.end());
        block.push_back(L'1');
        block.push_back(L'\0');
        placed = true;
    };
    if (wchar_t* env = ::GetEnvironmentStringsW()) {
        for (const wchar_t* at = env; *at != L'\0';) {
            const std::wstring_view entry(at);
            at += entry.size() + 1;
            const std::wstring_view name = entry.substr(0, std::min(entry.size(), kSetting.size()));
            const int order = ::CompareStringOrdinal(name.data(), static_cast<int>(name.size()), kSetting.data(),
                                                     static_cast<int>(kSetting.size()), TRUE);
            if (order == CSTR_EQUAL) continue;  // the setting the command had: replaced
            // entries naming the drives' current folders ("=C:=...") come first
            if (!placed && order == CSTR_GREATER_THAN && entry[0] != L'=') place();
            block.insert(block.end(), entry.begin(), entry.end());
            block.push_back(L'\0');
        }
        ::FreeEnvironmentStringsW(env);
    }
    if (!placed) place();
    block.push_back(L'\0');
    return block;
}

}  // namespace

fs::path lumk_windows_direct_program(const std::wstring& line) {
    bool quoted = false;
    for (wchar_t c : line) {
        if (c == L'"') quoted = !quoted;
        else if (!quoted && std::wstring_view(L"&|<>^%()").find(c) != std::wstring_view::npos) return {};
    }
    fs::path program = lumk_windows_find_program(lumk_windows_first_word(line));
    return lumk_windows_is_executable(program) ? program : fs::path();
}

lumk_windows_start lumk_windows_start_of(const std::wstring& line) {
    lumk_windows_start start;
    // A program started by itself gets the line as it is (between quotes it
    // reads every character, `%` included, as it is).
    if (fs::path program = lumk_windows_direct_program(line); !program.empty()) {
        start.application = program.make_preferred().wstring();
        start.command_line = line;
        return start;
    }
    size_t word_end = 0;
    const std::wstring word = lumk_windows_first_word(line, &word_end);
    std::wstring named = line;
    if (!word.empty() && !lumk_windows_is_own_command(word)) {
        const fs::path program = lumk_windows_find_program(word);
        if (program.empty()) {
            const bool bare = word.find_first_of(L"\\/:") == std::wstring::npos;
            start.refused = lumk_platform_path_text(fs::path(word)) +
                            (bare ? " is not found in the folders of PATH (the current folder is not searched)"
                                  : " is not found");
            return start;
        }
        std::wstring path = fs::path(program).make_preferred().wstring();
        // The command processor expands %NAME% in it, quoted or not: its
        // short path, when that has no '%'.
        if (path.find(L'%') != std::wstring::npos) {
            path = lumk_windows_short_path(program);
            if (path.empty() || path.find(L'%') != std::wstring::npos) {
                start.refused = lumk_platform_path_text(program) +
                                " cannot be run: its path holds a '%', which the command processor would expand, "
                                "and it has no short (8.3) path without one";
                return start;
            }
        }
        named = L"\"" + path + L"\"" + line.substr(word_end);
    }
    // It drops the first and the last quote of a line that starts with one
    // (a quoted program path); the outer pair added here is the pair it
    // drops, whatever the line holds.
    start.application = command_processor();
    if (start.application.empty()) {
        start.refused = "the command processor is not found (no ComSpec, no system folder)";
        return start;
    }
    start.command_line = L"\"" + start.application + L"\" /d /v:off /c \"" + named + L" 2>&1\"";
    return start;
}

// A command being run: its process and the job object that holds it and
// every process it starts (null when the job could not be set up; then only
// the process itself can be killed).
struct lumk_process {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    HANDLE read_end = nullptr;
    lumk_output_collector* sink = nullptr;
    bool cr = false;  // the output's last character was a carriage return not yet passed on
    // The pipe's text as _popen's text mode gives it: "\r\n" becomes "\n".
    void feed(const char* data, size_t size) {
        std::string text;
        text.reserve(size + 1);
        for (size_t i = 0; i < size; ++i) {
            if (cr) {
                cr = false;
                if (data[i] != '\n') text += '\r';
            }
            if (data[i] == '\r') cr = true;
            else text += data[i];
        }
        if (sink) sink->feed(text.data(), text.size());
    }
};

// The job object ends the command when this process ends: no process here
// outlives the host to remove the files. A compile starts in their folder.
lumk_process* lumk_process_start(const std::string& command, lumk_output_collector* sink, lumk_compile_files* files) {
    // What cannot be started leaves its reason as the run's output.
    const auto refuse = [sink](const std::string& why) {
        if (sink) {
            sink->feed(why.data(), why.size());
            sink->finish();
        }
        return nullptr;
    };
    lumk_windows_start start = lumk_windows_start_of(lumk_windows_wide(command));
    if (!start.refused.empty()) return refuse(start.refused);
    const std::wstring& processor = start.application;
    std::wstring& command_line = start.command_line;
    const std::wstring folder = start_folder(files);
    if (folder.empty()) return refuse("no folder to start it in (the system folder is not found)");
    std::vector<wchar_t> environment = command_environment();

    std::lock_guard<std::mutex> lock(start_mutex());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0))
        return refuse("no pipe for its output: " + lumk_windows_system_text(::GetLastError()));
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
    // The command inherits its output pipe and the null device, nothing else.
    const inherit_only only(write_end, nul);
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = only.list() != nullptr ? sizeof si : sizeof si.StartupInfo;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = nul;
    si.StartupInfo.hStdOutput = write_end;
    si.StartupInfo.hStdError = write_end;
    si.lpAttributeList = only.list();
    const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                        (only.list() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    PROCESS_INFORMATION pi{};
    const BOOL started = ::CreateProcessW(processor.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                                          environment.data(), folder.c_str(), &si.StartupInfo, &pi);
    close_handle(write_end);
    close_handle(nul);
    if (!started) {
        const DWORD err = ::GetLastError();
        close_handle(read_end);
        return refuse(lumk_platform_path_text(fs::path(processor)) + ": " + lumk_windows_system_text(err));
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
    auto* p = new lumk_process;
    p->process = pi.hProcess;
    p->job = job;
    p->read_end = read_end;
    p->sink = sink;
    return p;
}

void lumk_process_wait(lumk_process* p, std::chrono::milliseconds wait, lumk_process_state* state) {
    // A pipe cannot be waited on with the process: look at both every 10 ms.
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        DWORD avail = 0;
        if (state->output_open && !::PeekNamedPipe(p->read_end, nullptr, 0, nullptr, &avail, nullptr))
            state->output_open = false;  // every writer has gone
        if (state->output_open && avail > 0) {
            char buf[4096];
            DWORD n = 0;
            if (::ReadFile(p->read_end, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr) && n > 0)
                p->feed(buf, n);
            else
                state->output_open = false;
            return;
        }
        if (!state->ended && ::WaitForSingleObject(p->process, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            state->ended = true;
            state->status = ::GetExitCodeProcess(p->process, &code) ? static_cast<int>(code) : -1;
            return;
        }
        if (!state->output_open && state->ended) return;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return;
        const DWORD nap = static_cast<DWORD>(std::min<long long>(left, 10));
        if (state->ended) ::Sleep(nap);  // output still held open by a process it started
        else ::WaitForSingleObject(p->process, nap);
    }
}

void lumk_process_kill(lumk_process* p) {
    if (p->job != nullptr) ::TerminateJobObject(p->job, 1);
    else ::TerminateProcess(p->process, 1);
}

void lumk_process_release(lumk_process* p) {
    if (p->cr && p->sink) p->sink->feed("\r", 1);
    ::WaitForSingleObject(p->process, 1000);
    close_handle(p->job);  // kills whatever the command left running
    close_handle(p->process);
    close_handle(p->read_end);
    delete p;
}

// Windows has no fork: never called.
void lumk_process_abandon(lumk_process* p) { delete p; }

// Windows threads are never cancelled.
lumk_cancel_hold::lumk_cancel_hold() = default;

lumk_cancel_hold::~lumk_cancel_hold() = default;

// The job objects end the commands when the process ends.
void lumk_platform_kill_commands_now() {}

void lumk_platform_test_waiter_script(const char*) {}

// msvcrt keeps no quick_exit list.
void lumk_platform_at_quick_exit(void (*)()) {}
