// Linux: the process's names and paths, new files, and libraries through
// dlopen.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/library_seal.h"

#if !defined(_WIN32)

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fs = std::filesystem;

uint64_t lumk_platform_pid() { return static_cast<uint64_t>(::getpid()); }

std::vector<std::string> lumk_platform_compiler_candidates() { return {"clang", "gcc"}; }

const char* lumk_platform_library_suffix() { return ".so"; }

std::string lumk_platform_quote(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\' || ch == '$' || ch == '`') out += '\\';
        out += ch;
    }
    out += '"';
    return out;
}

std::string lumk_platform_path_text(const fs::path& path) { return path.string(); }

// Every compiler reads its arguments as the bytes they are.
bool lumk_platform_compiler_folder(const std::string&, const fs::path& folder, std::string* text, std::string*) {
    if (text) *text = (folder / "").string();
    return true;
}

fs::path lumk_platform_path(const std::string& text) { return fs::path(text); }

fs::path lumk_platform_absolute(const fs::path& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    return ec ? path : abs;
}

namespace {

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

bool lumk_platform_write_new_file(const fs::path& path, const std::string& data, std::string* error,
                                  std::string* reason, bool* existed) {
    if (existed) *existed = false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int err = fd < 0 ? errno : 0;
    if (fd < 0 && existed) *existed = err == EEXIST || err == ELOOP;
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else {
            ok = false;
            err = n < 0 ? errno : ENOSPC;
        }
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        if (error) *error = "cannot write " + path.string();
        if (reason) *reason = errno_text(err);
    }
    return ok;
}

void lumk_platform_flush_file(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)::fsync(fd);
    ::close(fd);
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)::fsync(dir);
    ::close(dir);
}

namespace {

std::atomic<lumk_before_load_fn> before_load{nullptr};

// The C library does not keep the loader's list of libraries whole across
// fork(): a copy made while another thread is inside dlopen or dlclose
// changing the list inherits it half changed, and the copy's own first load
// may abort in the loader (it finds the list still marked as changing) or
// wait for good for the loader's write lock, which the C library does not
// reset in the copy. A fork does not wait for loads (a thread inside the
// loader may wait for the C library's loader lock, which the forking thread
// itself may hold: a library constructor that forks). Instead a copy made
// while a load or unload was in flight loads and unloads nothing: its
// kernels run interpreted, with a status that says why. Copies made at any
// other moment load as usual. A load in flight is seen two ways:
// - the loader's own record for debuggers (struct r_debug) says whether the
//   list is being changed, whoever changes it (the module or the host's own
//   threads): r_state is RT_ADD from just after dlopen has put its first new
//   library into the list until the list is whole again, and RT_DELETE while
//   dlclose takes libraries out;
// - every load and unload the module makes is counted while it is in flight,
//   which also covers the moments the record does not mark (before and while
//   the first library is put into the list, and while constructors or
//   destructors run).
// Two moments of the host's own calls cannot be seen from outside the C
// library, and a copy made in one of them may wait for good in its first
// load: the instant a host thread's dlopen puts its first new library into
// the list, before it marks the record (rare, but a thread descheduled in
// that instant leaves every copy made meanwhile waiting), and a thread
// inside dl_iterate_phdr, which holds the same write lock without marking
// the record.
std::atomic<uint32_t> loads_in_flight{0};
std::atomic<bool> copy_made_during_a_load{false};
constexpr const char* loads_refused = "this process is a copy made by fork() while a library was loading";

// The loader's record, found once while the module loads (null when the
// program has none: a static program, or one linked without a DT_DEBUG
// entry; then the count alone decides). The program's DT_DEBUG entry gives
// its address; the program's own `_r_debug` symbol may be a copy made when
// the program was linked, which the loader never updates. The program is the
// first entry dl_iterate_phdr reports; that takes the loader's lock, so it
// is asked here and never in a fork handler.
const r_debug* find_loader_record() {
    const r_debug* found = nullptr;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) -> int {
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
                const auto* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                for (; dyn->d_tag != DT_NULL; ++dyn)
                    if (dyn->d_tag == DT_DEBUG && dyn->d_un.d_ptr != 0)
                        *static_cast<const r_debug**>(out) = reinterpret_cast<const r_debug*>(dyn->d_un.d_ptr);
            }
            return 1;  // the program only
        },
        &found);
    return found != nullptr && found->r_version != 0 ? found : nullptr;
}
const r_debug* const loader_record = find_loader_record();

// Whether the loader was changing its list when this copy was made (asked in
// the copy, which has one thread: what it reads is what the fork copied). The
// loader writes the record under its own lock, which ThreadSanitizer does not
// see.
[[gnu::no_sanitize("thread")]] bool loader_list_changing() {
    const auto* record = static_cast<const volatile r_debug*>(loader_record);
    return record != nullptr && record->r_state != r_debug::RT_CONSISTENT;
}

// Registered while the module is loaded (see process_local.h). Only reads
// and a store: the copy's flag (a copy of a copy keeps it).
const bool loads_counted_in_copies =
    (::pthread_atfork(nullptr, nullptr,
                      [] {
                          if (loads_in_flight.load(std::memory_order_seq_cst) != 0 || loader_list_changing())
                              copy_made_during_a_load.store(true, std::memory_order_relaxed);
                      }),
     true);

// Counted before the loader is entered and after it is left (both
// sequentially consistent): a copy made in between sees the count.
struct load_in_flight {
    load_in_flight() { loads_in_flight.fetch_add(1, std::memory_order_seq_cst); }
    ~load_in_flight() { loads_in_flight.fetch_sub(1, std::memory_order_seq_cst); }
};

void* load(const char* path, int flags) {
    if (copy_made_during_a_load.load(std::memory_order_relaxed)) return nullptr;
    const load_in_flight counted;
    return ::dlopen(path, flags);
}

void unload(void* lib) {
    if (copy_made_during_a_load.load(std::memory_order_relaxed)) return;
    const load_in_flight counted;
    ::dlclose(lib);
}

// Libraries built without the math library linked in (ahead-of-time libraries
// made by an older build line) still find its functions.
// A plain flag, not a once-guard a forked copy could find half set (a second
// dlopen of the same library only counts it again).
std::atomic<bool> libm_loaded{false};
void load_libm_globally() {
    if (libm_loaded.load(std::memory_order_acquire)) return;
    load("libm.so.6", RTLD_NOW | RTLD_GLOBAL);
    libm_loaded.store(true, std::memory_order_release);
}

bool read_at(int fd, uint64_t offset, void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Why the ELF file `fd` of `size` bytes is not a whole library ("" when it
// is): its header, program headers, every segment's bytes in the file and
// its section headers must lie inside the file. The loader maps segments
// without reading them first; a page past the end of a file cut short would
// fault (SIGBUS) when it is touched.
template <class Ehdr, class Phdr>
std::string elf_problem(int fd, uint64_t size) {
    Ehdr eh{};
    if (size < sizeof eh || !read_at(fd, 0, &eh, sizeof eh)) return "no ELF header";
    const auto cut = [&](const char* what, uint64_t end) {
        return std::to_string(size) + " bytes, but " + what + " ends at byte " + std::to_string(end);
    };
    if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0 || eh.e_phnum == 0xffff) return "no usable program headers";
    const uint64_t ph_bytes = uint64_t{eh.e_phnum} * sizeof(Phdr);
    if (eh.e_phoff > size || ph_bytes > size - eh.e_phoff)
        return eh.e_phoff > UINT64_MAX - ph_bytes ? "program headers out of range"
                                                  : cut("the program header table", eh.e_phoff + ph_bytes);
    std::vector<Phdr> ph(eh.e_phnum);
    if (!read_at(fd, eh.e_phoff, ph.data(), ph_bytes)) return "unreadable program headers";
    for (const Phdr& p : ph) {
        if (p.p_filesz == 0) continue;
        if (p.p_offset > size || p.p_filesz > size - p.p_offset)
            return p.p_offset > UINT64_MAX - p.p_filesz ? "a segment out of range"
                                                        : cut(p.p_type == PT_LOAD ? "a loaded segment" : "a segment",
                                                              p.p_offset + p.p_filesz);
    }
    if (eh.e_shoff != 0) {
        const uint64_t sh_bytes = uint64_t{eh.e_shnum} * eh.e_shentsize;
        if (eh.e_shoff > size || sh_bytes > size - eh.e_shoff)
            return eh.e_shoff > UINT64_MAX - sh_bytes ? "section headers out of range"
                                                      : cut("the section header table", eh.e_shoff + sh_bytes);
    }
    return {};
}

// "" when the open file of `size` bytes is a whole ELF library of this
// machine's word size and byte order, else why not.
std::string library_problem(int fd, uint64_t size) {
    if (size == 0) return "it is not a whole library (it is empty)";
    unsigned char ident[EI_NIDENT]{};
    std::string why;
    if (size < sizeof ident || !read_at(fd, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        why = "no ELF header";
    else if (ident[EI_DATA] != (std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB))
        why = "another byte order";
    else if (ident[EI_CLASS] == ELFCLASS64)
        why = elf_problem<Elf64_Ehdr, Elf64_Phdr>(fd, size);
    else if (ident[EI_CLASS] == ELFCLASS32)
        why = elf_problem<Elf32_Ehdr, Elf32_Phdr>(fd, size);
    else
        why = "no ELF header";
    return why.empty() ? why : "it is not a whole library (" + why + ")";
}

// The inode of the file mapped where the loaded library's dynamic section
// lies, from /proc/self/maps; false when that cannot be told. Mappings are
// listed by address, so the reading stops at the one wanted. (Only the inode
// is compared: on some file systems the device shown there is not the one
// stat gives, and the library was reached through the folder held open, so it
// lies on that folder's file system.)
// Where the loaded library's dynamic section lies (0: not known). The C
// library's loader wrote its record of the library under the loader's own
// lock, which ThreadSanitizer does not see: the read is left out of its
// checks.
[[gnu::noinline, gnu::no_sanitize("thread")]] uintptr_t dynamic_section_of(void* lib) {
    link_map* map = nullptr;
    if (::dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return 0;
    return reinterpret_cast<uintptr_t>(map->l_ld);
}

bool mapped_inode(void* lib, ino_t* ino) {
    const uintptr_t at = dynamic_section_of(lib);
    if (at == 0) return false;
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[4096];
    bool found = false, done = false;
    while (!found && !done) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t end; !found && !done && (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            unsigned long long lo = 0, hi = 0, inode = 0;
            const std::string line = text.substr(start, end - start);
            if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %llu", &lo, &hi, &inode) != 3) continue;
            if (at < lo) done = true;
            else if (at < hi) {
                found = true;
                *ino = static_cast<ino_t>(inode);
            }
        }
        text.erase(0, start);
    }
    ::close(fd);
    return found;
}

}  // namespace

std::string lumk_platform_loading_refused() {
    return copy_made_during_a_load.load(std::memory_order_relaxed) ? loads_refused : "";
}

void* lumk_platform_open_library(const fs::path& path, std::string* error) {
    if (const std::string why = lumk_platform_loading_refused(); !why.empty()) {
        if (error) *error = "cannot load " + path.string() + " (" + why + ")";
        return nullptr;
    }
    load_libm_globally();
    void* lib = load(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && error) *error = "cannot load " + path.string();
    return lib;
}

void* lumk_platform_open_private_library(const fs::path& path, std::string* error, std::string* refused,
                                         bool checksum) {
    const std::string failed = "cannot load " + path.string();
    if (const std::string why = lumk_platform_loading_refused(); !why.empty()) {
        if (error) *error = failed + " (" + why + ")";
        return nullptr;
    }
    load_libm_globally();
    // Without waiting: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (error) *error = failed;
        if (err == ELOOP && refused) *refused = "it is a symbolic link";
        return nullptr;
    }
    struct stat st{};
    std::string why;
    if (::fstat(fd, &st) != 0) why = "it cannot be examined (" + errno_text(errno) + ")";
    else if (!S_ISREG(st.st_mode)) why = "it is not a plain file";
    else why = lumk_owner_mode_problem(st.st_uid, ::geteuid(), static_cast<uint32_t>(st.st_mode));
    if (why.empty()) why = library_problem(fd, static_cast<uint64_t>(st.st_size));
    if (why.empty() && checksum)
        why = lumk_seal_problem(static_cast<uint64_t>(st.st_size),
                                [fd](uint64_t at, void* out, size_t n) { return read_at(fd, at, out, n); });
    void* lib = nullptr;
    if (why.empty()) {
        if (lumk_before_load_fn hook = before_load.load(std::memory_order_acquire)) hook(path);
        // The loader hands back a library this process has loaded under this
        // name already, whatever file the name stands for now (another
        // thread or process may have published the same kernel again since):
        // that library was examined when it was loaded, and is the one used.
        // Asked only now: the loader opens the file to compare, and a FIFO
        // would hold it up.
        if (void* loaded = load(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
            ::close(fd);
            return loaded;
        }
        // By name (the caller gives the path through the cache folder held
        // open, which only this user or root can change), then made sure that
        // what was mapped is the file examined; the descriptor is not kept.
        lib = load(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ino_t ino = 0;
        if (lib != nullptr && mapped_inode(lib, &ino) && ino != st.st_ino) {
            unload(lib);
            lib = nullptr;
            why = "the file loaded is not the one examined";
        }
    }
    ::close(fd);
    return lumk_private_library_result(lib, failed, why, error, refused);
}

void lumk_platform_set_before_load_for_tests(lumk_before_load_fn fn) {
    before_load.store(fn, std::memory_order_release);
}

bool lumk_platform_loaded_library_removable() { return true; }

bool lumk_platform_seal_library(const fs::path& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    std::string why;
    std::array<unsigned char, lumk_seal_size> trailer{};
    if (fd < 0) why = errno_text(errno);
    else if (::fstat(fd, &st) != 0) why = errno_text(errno);
    else if (!S_ISREG(st.st_mode)) why = "it is not a plain file";
    else if (!lumk_seal_make(static_cast<uint64_t>(st.st_size), [fd](uint64_t at, void* out, size_t n) {
                 return read_at(fd, at, out, n);
             }, &trailer))
        why = "it cannot be read";
    for (size_t done = 0; why.empty() && done < trailer.size();) {
        const ssize_t n = ::pwrite(fd, trailer.data() + done, trailer.size() - done,
                                   static_cast<off_t>(st.st_size) + static_cast<off_t>(done));
        if (n > 0) done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else why = errno_text(n < 0 ? errno : ENOSPC);
    }
    if (fd >= 0 && ::close(fd) != 0 && why.empty()) why = errno_text(errno);
    if (!why.empty() && error) *error = "cannot add the checksum to " + path.string() + " (" + why + ")";
    return why.empty();
}

void lumk_platform_make_private(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 022u) != 0)
        (void)::fchmod(fd, st.st_mode & 07755u);
    ::close(fd);
}

void* lumk_platform_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void lumk_platform_close_library(void* library) { unload(library); }

#endif  // !_WIN32
