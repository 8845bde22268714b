#include "host/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

const char* const lum_host_module_file_name = "liblumio_std.so";

void* lum_host_load_library(const std::string& path, std::string* error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && error != nullptr) {
        const char* why = ::dlerror();
        *error = why != nullptr ? why : "unknown error";
    }
    return handle;
}

void* lum_host_library_symbol(void* library, const char* name) { return ::dlsym(library, name); }

std::string lum_host_executable_dir() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    std::string path(buf.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool lum_host_file_readable(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }

bool lum_host_read_file(const std::string& path, std::string* text, std::string* error) {
    text->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            *error = std::strerror(errno);  // a folder: "Is a directory"
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

void lum_host_binary_console() {} // no translation on this platform

void lum_host_quick_exit(int status) { std::quick_exit(status); }
