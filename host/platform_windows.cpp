#include "host/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* const lum_host_module_file_name = "lumio_std.dll";

namespace {

// Narrow texts (command-line arguments, paths) are in the ANSI code page.
std::wstring to_wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string to_narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

std::string system_message(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n != 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    std::string message = "error " + std::to_string(code);
    if (!text.empty()) message += ": " + to_narrow(text);
    return message;
}

} // namespace

void* lum_host_load_library(const std::string& path, std::string* error) {
    HMODULE module = ::LoadLibraryW(to_wide(path).c_str());
    if (module == nullptr && error != nullptr) *error = system_message(::GetLastError());
    return reinterpret_cast<void*>(module);
}

void* lum_host_library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string lum_host_executable_dir() {
    std::vector<wchar_t> buf(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size()) return {};
    std::wstring path(buf.data(), n);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::string(".") : to_narrow(path.substr(0, slash));
}

bool lum_host_file_readable(const std::string& path) {
    if (path.empty()) return false;
    return ::GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool lum_host_read_file(const std::string& path, std::string* text, std::string* error) {
    text->clear();
    // The C runtime's reasons, the same texts as on other platforms ("No
    // such file or directory"; a folder: "Permission denied").
    const int fd = ::_wopen(to_wide(path).c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    char buf[65536];
    for (;;) {
        const int n = ::_read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else {
            *error = std::strerror(errno);
            ::_close(fd);
            return false;
        }
    }
    ::_close(fd);
    return true;
}

void lum_host_binary_console() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

// msvcrt has no quick_exit.
void lum_host_quick_exit(int status) { std::_Exit(status); }
