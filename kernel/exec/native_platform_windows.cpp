// Windows: libraries through LoadLibraryExW (their imports found next to them
// and in the system folder only), the cache folder under LUM_KERNEL_CACHE or
// %LOCALAPPDATA%\lumioscript\kernels, else %TEMP%\lumioscript-kernels-<pid>,
// and the paths of that folder as a compiler can read them. Paths are UTF-8
// text in command lines and messages.
#include "kernel/exec/native_platform.h"

#include "kernel/exec/library_seal.h"
#include "kernel/exec/native_access_windows.h"
#include "kernel/exec/pe_image.h"

#include <process.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A variable of the process environment as a path, read in UTF-16 so that a
// folder name outside the ANSI code page survives; false when it is not set.
bool env_path(const wchar_t* name, fs::path* value) {
    std::wstring text;
    for (int tries = 0; tries < 3; ++tries) {
        // 0 is the length of an empty value too: only the error code tells.
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n = ::GetEnvironmentVariableW(name, text.data(), static_cast<DWORD>(text.size()));
        if (n == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            break;  // set, empty
        }
        if (n < text.size()) {
            text.resize(n);
            *value = fs::path(text);
            return true;
        }
        text.assign(n, L'\0');  // the size needed, with its end mark (it may grow meanwhile)
    }
    *value = fs::path();
    return true;
}

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return c < 128 ? static_cast<wchar_t>(std::tolower(c)) : c; });
    return text;
}

// Frees what the security functions allocate with LocalAlloc.
struct local_free {
    void operator()(void* p) const { ::LocalFree(p); }
};
using local_ptr = std::unique_ptr<void, local_free>;

std::string sid_text(PSID sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return "an unreadable SID";
    local_ptr keep(text);
    return lumk_platform_path_text(fs::path(text));
}

// A well-known SID (null for none).
class known_sid {
public:
    explicit known_sid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof buf_;
        ok_ = ::CreateWellKnownSid(type, nullptr, buf_, &size) != FALSE;
    }
    explicit known_sid(const wchar_t* text) {
        PSID sid = nullptr;
        if (::ConvertStringSidToSidW(text, &sid)) {
            local_ptr keep(sid);
            ok_ = ::CopySid(sizeof buf_, buf_, sid) != FALSE;
        }
    }
    PSID get() const { return ok_ ? const_cast<unsigned char*>(buf_) : nullptr; }
    bool is(PSID sid) const { return ok_ && ::EqualSid(get(), sid); }

private:
    alignas(8) unsigned char buf_[SECURITY_MAX_SID_SIZE] = {};
    bool ok_ = false;
};

// The principals that may own and change the cache besides the user: the
// system itself and the administrators, who can take any file anyway.
bool is_system_principal(PSID sid) {
    static const known_sid system(WinLocalSystemSid);
    static const known_sid administrators(WinBuiltinAdministratorsSid);
    static const known_sid installer(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    return system.is(sid) || administrators.is(sid) || installer.is(sid);
}

// Rule placeholders that stand for the object's owner.
bool is_owner_placeholder(PSID sid) {
    static const known_sid creator_owner(WinCreatorOwnerSid);
    static const known_sid owner_rights(WinCreatorOwnerRightsSid);
    return creator_owner.is(sid) || owner_rights.is(sid);
}

std::string who(PSID sid) {
    static const known_sid world(WinWorldSid);
    static const known_sid authenticated(WinAuthenticatedUserSid);
    static const known_sid users(WinBuiltinUsersSid);
    const std::string name = world.is(sid)           ? "everybody"
                             : authenticated.is(sid) ? "all signed-in users"
                             : users.is(sid)         ? "the Users group"
                                                     : "another user or group";
    return name + " (" + sid_text(sid) + ")";
}

// Rights that let their holder change what the loader would read.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER |
                                     DELETE | GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder of the path that let their holder swap what is below it:
// rename or remove its entries or the folder, or give themselves more rights.
constexpr ACCESS_MASK kSwapRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL;

// The process's user (empty when the token cannot be read).
std::vector<unsigned char> process_user() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> info(size);
    std::vector<unsigned char> sid;
    if (size != 0 && ::GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
        sid.assign(static_cast<unsigned char*>(user), static_cast<unsigned char*>(user) + ::GetLengthSid(user));
    }
    ::CloseHandle(token);
    return sid;
}

// The access list of folders this module makes and of its libraries: full
// access for the user, the system and the administrators; nothing inherited
// from above. Null when it cannot be built.
local_ptr private_descriptor() {
    const std::vector<unsigned char> user = process_user();
    if (user.empty()) return nullptr;
    const std::string me = sid_text(const_cast<unsigned char*>(user.data()));
    const std::wstring sddl = L"D:P(A;OICI;FA;;;" + fs::path(me).wstring() + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return nullptr;
    return local_ptr(sd);
}

// Why the object behind `handle` (opened with READ_CONTROL) cannot be trusted.
std::string handle_access_problem(HANDLE handle, lumk_access_scope scope = lumk_access_scope::itself) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD rc = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &sd);
    if (rc != ERROR_SUCCESS) return "its access rules cannot be read (" + lumk_windows_system_text(rc) + ")";
    local_ptr keep(sd);
    std::vector<unsigned char> user = process_user();
    if (user.empty()) return "this process's user cannot be read";
    return lumk_windows_access_problem(sd, user.data(), scope);
}

// Opens a folder or file itself, not what a link (reparse point) points to.
HANDLE open_itself(const fs::path& path, DWORD access, DWORD share) {
    return ::CreateFileW(fs::path(path).make_preferred().c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the root of the full path `path` ends (after its separator, when it
// has one), and whether that root is a drive's root folder; 0 when the path
// is not a full one ("rel", "\\rel", "C:rel"). Roots: "C:\\", a share
// "\\\\server\\share\\", and with the prefix "\\\\?\\" or "\\\\.\\" the
// same ("\\\\?\\C:\\", "\\\\?\\UNC\\server\\share\\") or a device's name
// ("\\\\?\\Volume{...}\\").
size_t root_length(const std::wstring& path, bool* drive_root = nullptr) {
    if (drive_root) *drive_root = false;
    // The end of the component starting at `at`, past its separator.
    const auto past = [&](size_t at) {
        while (at < path.size() && !is_separator(path[at])) ++at;
        return at < path.size() ? at + 1 : at;
    };
    const auto drive_at = [&](size_t at) {
        return at + 2 < path.size() && std::iswalpha(path[at]) && path[at + 1] == L':' && is_separator(path[at + 2]);
    };
    if (drive_at(0)) {
        if (drive_root) *drive_root = true;
        return 3;
    }
    if (path.size() < 3 || !is_separator(path[0]) || !is_separator(path[1])) return 0;
    if ((path[2] == L'?' || path[2] == L'.') && path.size() > 3 && is_separator(path[3])) {
        if (drive_at(4)) {
            if (drive_root) *drive_root = true;
            return 7;
        }
        if (lower(path.substr(4, 4)) == L"unc\\" || lower(path.substr(4, 4)) == L"unc/") return past(past(8));
        return path.size() > 4 ? past(4) : 0;
    }
    const size_t server_end = past(2);
    return server_end > 3 && server_end < path.size() ? past(server_end) : 0;
}

// The folders of the full path `whole` from its root down. Of the root only a
// drive's root folder ("C:\\", "\\\\?\\C:\\") is a folder; a share's or a
// device's root is not. Empty when the path is not a full one.
std::vector<fs::path> folders_of(const fs::path& whole) {
    const std::wstring text = fs::path(whole).make_preferred().wstring();
    bool drive_root = false;
    const size_t root = root_length(text, &drive_root);
    std::vector<fs::path> folders;
    if (root == 0) return folders;
    if (drive_root) folders.emplace_back(text.substr(0, root));
    for (size_t at = root; at < text.size();) {
        size_t end = at;
        while (end < text.size() && !is_separator(text[end])) ++end;
        if (end > at) folders.emplace_back(text.substr(0, end));
        at = end + 1;
    }
    return folders;
}

// Creates the full path `dir` and its missing parents, each with the private
// access list; "" when it went through, else why not. `made` gets the folders
// it created, from the top down.
std::string make_private_dirs(const fs::path& dir, std::vector<fs::path>* made) {
    local_ptr sd = private_descriptor();
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), sd.get(), FALSE};
    const std::vector<fs::path> folders = folders_of(dir);
    if (folders.empty()) return "it is not a full path";
    for (const fs::path& cur : folders) {
        if (::GetFileAttributesW(cur.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        if (::CreateDirectoryW(cur.c_str(), sd ? &attributes : nullptr)) made->push_back(cur);
        else if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return "it cannot be created (" + lumk_platform_path_text(cur) + ": " +
                   lumk_windows_system_text(::GetLastError()) + ")";
    }
    return {};
}

// Why the full path `dir` cannot name a folder to make and use ("" when it
// can): a device's name (\\.\NUL, as the system makes NUL or C:\x\aux.txt
// full) is no folder, and a folder name that ends in a space or a dot before
// the last one is not the folder the system makes under that name: it drops
// them from the last name of a path only (and keeps every name as it is
// after the prefix \\?\ alone).
std::string folder_name_problem(const fs::path& dir) {
    const std::wstring text = fs::path(dir).make_preferred().wstring();
    const bool prefixed = text.size() > 4 && is_separator(text[0]) && is_separator(text[1]) &&
                          (text[2] == L'?' || text[2] == L'.') && is_separator(text[3]);
    if (prefixed) {
        size_t at = 4;
        while (at < text.size() && !is_separator(text[at])) ++at;
        if (at == text.size()) return "it names a device, not a folder";
        if (text[2] == L'?') return {};
    }
    const std::vector<fs::path> folders = folders_of(dir);
    for (size_t i = 0; i + 1 < folders.size(); ++i) {
        const std::wstring name = folders[i].filename().wstring();
        if (!name.empty() && (name.back() == L' ' || name.back() == L'.') && name != L"." && name != L"..")
            return "the folder name \"" + lumk_platform_path_text(fs::path(name)) +
                   "\" on its path ends in a space or a dot, which the system drops from the last name of a path "
                   "only: that folder cannot be made under this name";
    }
    return {};
}

// What open_checked expects to find.
enum class object_kind {
    folder,       // a folder, not a link; nobody else may change it
    file,         // a plain file, not a link; nobody else may change it
    path_folder,  // a folder on the path, or a link (reparse point) there
};

// A folder or file opened and judged by open_checked; the handle is closed
// with it.
struct checked_object {
    checked_object() = default;
    checked_object(checked_object&& o) noexcept
        : handle(std::exchange(o.handle, INVALID_HANDLE_VALUE)), open_error(o.open_error), info(o.info),
          why(std::move(o.why)) {}
    checked_object& operator=(checked_object&&) = delete;
    ~checked_object() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
    bool opened() const { return handle != INVALID_HANDLE_VALUE; }
    bool link() const { return opened() && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD open_error = ERROR_SUCCESS;   // the system's code when it could not be opened
    BY_HANDLE_FILE_INFORMATION info{};  // what the handle says of it
    std::string why;                    // why it is not to be trusted; "" when it is
};

// Opens the folder or file at `path` itself, not what a link leads to, with
// `access` (READ_CONTROL added: the access rules are read through the handle)
// and `share`, and judges it on that handle: it must be of the `kind` asked
// for (a link only where that is a folder on the path), and its access rules
// must pass lumk_windows_access_problem for the kind's scope. `why` gives the
// first problem, "it cannot be opened (...)" when it could not be opened.
checked_object open_checked(const fs::path& path, DWORD access, DWORD share, object_kind kind) {
    checked_object o;
    o.handle = open_itself(path, access | READ_CONTROL, share);
    if (!o.opened()) {
        o.open_error = ::GetLastError();
        o.why = "it cannot be opened (" + lumk_windows_system_text(o.open_error) + ")";
        return o;
    }
    if (!::GetFileInformationByHandle(o.handle, &o.info)) {
        o.why = "it cannot be examined (" + lumk_windows_system_text(::GetLastError()) + ")";
        return o;
    }
    const bool folder = (o.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (o.link() && kind != object_kind::path_folder) o.why = "it is a link (reparse point)";
    else if (folder && kind == object_kind::file) o.why = "it is not a plain file";
    else if (!folder && !o.link() && kind != object_kind::file) o.why = "it is not a folder";
    else
        o.why = handle_access_problem(o.handle, kind == object_kind::path_folder ? lumk_access_scope::path_folder
                                                                                 : lumk_access_scope::itself);
    return o;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Why the folder cannot hold our libraries ("" when it can): it must be a real
// folder, not a link, that belongs to us (or the system) and that nobody else
// may write to. Checked on the opened folder, so the answer is about the
// folder itself.
std::string private_dir_problem(const fs::path& dir) {
    return open_checked(dir, FILE_READ_ATTRIBUTES, kShareAll, object_kind::folder).why;
}

// Where the object behind `handle` finally is, every link on its way
// followed, as a drive or share path ("C:\\...", "\\\\server\\share\\..."); empty
// when that cannot be read.
fs::path final_path(HANDLE handle) {
    std::wstring name(MAX_PATH, L'\0');
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD n = ::GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < name.size()) {
            name.resize(n);
            if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) return fs::path(L"\\\\" + name.substr(8));
            if (name.rfind(L"\\\\?\\", 0) == 0) return fs::path(name.substr(4));
            return fs::path(name);
        }
        name.assign(n, L'\0');  // the size needed, with its end mark
    }
    return {};
}

// Why one of `folders` (from the root down) lets somebody else swap the cache
// folder or a folder that leads to it ("" when none does). Each is opened by
// itself and judged by lumk_access_scope::path_folder; a link (reparse point)
// is judged itself and, when `follow`, every folder of the path it finally
// leads to is judged too, from that path's root down to the target. A missing
// folder ends the judging when `missing_ok` (it and what is below it are
// still to be made), else it is a problem.
std::string path_folders_problem(const std::vector<fs::path>& folders, bool missing_ok, bool follow) {
    for (const fs::path& folder : folders) {
        const checked_object o = open_checked(folder, FILE_READ_ATTRIBUTES, kShareAll, object_kind::path_folder);
        if (missing_ok && (o.open_error == ERROR_FILE_NOT_FOUND || o.open_error == ERROR_PATH_NOT_FOUND)) return {};
        std::string why = o.why;
        if (why.empty() && o.link() && follow) {
            HANDLE h = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                why = "it leads nowhere (" + lumk_windows_system_text(::GetLastError()) + ")";
            } else {
                const fs::path target = final_path(h);
                const DWORD err = ::GetLastError();
                ::CloseHandle(h);
                if (target.empty())
                    why = "it leads to a folder whose path cannot be read (" + lumk_windows_system_text(err) + ")";
                // the folders there are named in the answer; links among them
                // (mount points) are judged but not followed again
                else if (std::string there = path_folders_problem(folders_of(target), false, false); !there.empty())
                    return there;
            }
        }
        if (!why.empty()) {
            if (why.rfind("it ", 0) == 0) why.erase(0, 3);
            return "the folder " + lumk_platform_path_text(folder) + " on its path " + why;
        }
    }
    return {};
}

// Why `dir` cannot be the cache folder ("" when it can), missing folders made
// private on the way. A folder that is refused leaves none of the folders
// made for it behind.
std::string usable_dir_problem(const fs::path& dir) {
    std::string why = folder_name_problem(lumk_platform_absolute(dir));
    if (!why.empty()) return why;
    std::vector<fs::path> above = folders_of(lumk_platform_absolute(dir));
    if (!above.empty()) above.pop_back();  // the cache folder itself is judged on its own
    // Nothing is made below a folder somebody else may swap.
    why = path_folders_problem(above, true, true);
    if (!why.empty()) return why;
    if (lumk_windows_before_making_folders) lumk_windows_before_making_folders(dir);
    std::vector<fs::path> made;
    why = make_private_dirs(dir, &made);
    // Every folder again, as it is now: one that was missing above may have
    // been made by somebody else before we came to make it.
    if (why.empty()) why = path_folders_problem(above, false, true);
    if (why.empty()) why = private_dir_problem(dir);
    // Only empty folders go: one that somebody filled meanwhile stays.
    if (!why.empty())
        for (auto it = made.rbegin(); it != made.rend(); ++it) ::RemoveDirectoryW(it->c_str());
    return why;
}

// The temporary folder: the first of TMP and TEMP that is set and not empty,
// the order in which the system takes them; false when neither is, or when
// that one is not the full path of a folder that is there (a relative path,
// a device's name, a folder that is missing).
bool temporary_folder(fs::path* folder) {
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
        fs::path value;
        if (!env_path(name, &value) || value.empty()) continue;
        value.make_preferred();
        const DWORD attributes = ::GetFileAttributesW(value.c_str());
        if (root_length(value.wstring()) == 0 || attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return false;
        *folder = value;
        return true;
    }
    return false;
}

std::atomic<lumk_before_load_fn> before_load{nullptr};

// Why the open file is not a whole library image (with `checksum`, also why
// it carries no valid checksum), judged on one view of it.
std::string image_problem(HANDLE file, uint64_t size, bool checksum) {
    if (size == 0) return lumk_pe_image_problem(nullptr, 0);
    if (size > SIZE_MAX) return "it is too large (" + std::to_string(size) + " bytes)";
    HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return "it cannot be read (" + lumk_windows_system_text(::GetLastError()) + ")";
    const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    const DWORD err = ::GetLastError();
    ::CloseHandle(mapping);
    if (view == nullptr) return "it cannot be read (" + lumk_windows_system_text(err) + ")";
    const auto* bytes = static_cast<const unsigned char*>(view);
    std::string why = lumk_pe_image_problem(bytes, static_cast<size_t>(size));
    if (why.empty() && checksum)
        why = lumk_seal_problem(size, [bytes](uint64_t at, void* out, size_t n) {
            std::memcpy(out, bytes + at, n);
            return true;
        });
    ::UnmapViewOfFile(view);
    return why;
}

// Whether the loaded module was mapped from the file `checked` describes.
bool module_is_file(HMODULE module, const BY_HANDLE_FILE_INFORMATION& checked) {
    std::wstring name(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0 || n >= name.size()) return false;
    name.resize(n);
    HANDLE h = open_itself(fs::path(name), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = ::GetFileInformationByHandle(h, &info) &&
                      info.dwVolumeSerialNumber == checked.dwVolumeSerialNumber &&
                      info.nFileIndexHigh == checked.nFileIndexHigh && info.nFileIndexLow == checked.nFileIndexLow;
    ::CloseHandle(h);
    return same;
}

// Why the loader did not load the file at `path` (its error `code`), for a
// message: the system's text, and for a file that is there but "not found",
// where the libraries it imports are looked for.
std::string load_failure(const fs::path& path, DWORD code) {
    std::string why = lumk_windows_system_text(code);
    if (code == ERROR_MOD_NOT_FOUND && ::GetFileAttributesW(lumk_platform_absolute(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        why += ": a library it imports is missing (the libraries it imports must lie beside it, or be the "
               "system's: the current folder and PATH are not searched)";
    return why;
}

HMODULE load_library(const fs::path& path) {
    // No error box for a file that is not a library.
    DWORD old_mode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
    // The libraries it imports (a compiler's run-time library, say) are
    // looked for next to it and in the system folder only: never in the
    // current folder or along PATH, where anybody may have put one of that
    // name. The folder of the library is known only for a full path.
    HMODULE lib = ::LoadLibraryExW(lumk_platform_absolute(path).make_preferred().c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD err = ::GetLastError();
    ::SetThreadErrorMode(old_mode, nullptr);
    ::SetLastError(err);
    return lib;
}

}  // namespace

bool lumk_platform_env(const char* name, std::string* value) {
    const std::wstring wide_name = lumk_windows_wide(name);
    fs::path text;
    if (!env_path(wide_name.c_str(), &text)) return false;
    if (value) *value = lumk_platform_path_text(text);
    return true;
}

uint64_t lumk_platform_pid() { return static_cast<uint64_t>(::_getpid()); }

std::vector<std::string> lumk_platform_compiler_candidates() { return {"cl", "clang", "gcc"}; }

const char* lumk_platform_library_suffix() { return ".dll"; }

// Windows paths cannot hold a double quote. A program splits its command line
// as the C run-time does: backslashes are literal unless a quote follows
// them, so those before the closing quote are doubled. `%` cannot be escaped
// for the command processor at all (it expands %NAME% also between quotes):
// lumk_platform_run starts an executable program without it, and
// lumk_platform_compiler_folder keeps such paths away from batch files.
std::string lumk_platform_quote(const std::string& text) {
    size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == '\\') ++trailing;
    return "\"" + text + std::string(trailing, '\\') + "\"";
}

std::string lumk_platform_path_text(const fs::path& path) {
    const std::wstring wide = path.wstring();
    if (wide.empty()) return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

std::string lumk_windows_system_text(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (n != 0 && buffer != nullptr) text.assign(buffer, n);
    if (buffer != nullptr) ::LocalFree(buffer);
    // the full stop, also the ideographic one, and the line end
    while (!text.empty() && (text.back() == L'.' || text.back() == L'\x3002' || std::iswspace(text.back())))
        text.pop_back();
    if (text.empty()) return "system error " + std::to_string(code);
    return lumk_platform_path_text(fs::path(text));
}

std::wstring lumk_windows_wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

// A script's text stays in the ANSI code page, as the host hands over its
// command line and file names.
fs::path lumk_platform_path(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return fs::path(wide);
}

// As the system makes a path full when it opens it: a share's root
// ("\\\\server\\share"), the prefixes "\\\\?\\" and "\\\\.\\" kept, spaces and
// dots at the end of a name trimmed, "." and ".." taken out, a path that
// lacks the drive or the root given those of the current folder.
fs::path lumk_platform_absolute(const fs::path& path) {
    const std::wstring wide = fs::path(path).make_preferred().wstring();
    if (wide.empty()) return path;
    std::wstring full(MAX_PATH, L'\0');
    for (int tries = 0; tries < 3; ++tries) {
        const DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return path;
        if (n < full.size()) {
            full.resize(n);
            return fs::path(full);
        }
        full.assign(n, L'\0');  // the size needed, with its end mark
    }
    return path;
}

// The folder is reached by its path.
fs::path lumk_platform_held_dir(const fs::path& dir) { return dir; }

std::mutex& lumk_platform_held_dir_lock_for_tests() {
    static std::mutex no_table;
    return no_table;
}

bool lumk_platform_write_new_file(const fs::path& path, const std::string& data, std::string* error,
                                  std::string* reason, bool* existed) {
    if (existed) *existed = false;
    // A handle that is not inheritable, on a file that did not exist.
    const HANDLE h = ::CreateFileW(fs::path(path).make_preferred().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD err = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (h == INVALID_HANDLE_VALUE && existed) *existed = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    bool ok = h != INVALID_HANDLE_VALUE;
    for (size_t done = 0; ok && done < data.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
        DWORD wrote = 0;
        ok = ::WriteFile(h, data.data() + done, chunk, &wrote, nullptr) != 0 && wrote > 0;
        if (!ok) err = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_DISK_FULL;
        done += wrote;
    }
    if (h != INVALID_HANDLE_VALUE && ::CloseHandle(h) == 0 && ok) {
        ok = false;
        err = ::GetLastError();
    }
    if (!ok) {
        if (error) *error = "cannot write " + lumk_platform_path_text(path);
        if (reason) *reason = lumk_windows_system_text(err);
    }
    return ok;
}

// The folder entry goes with the file system's own journal.
void lumk_platform_flush_file(const fs::path& path) {
    const HANDLE h = ::CreateFileW(fs::path(path).make_preferred().c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    ::FlushFileBuffers(h);
    ::CloseHandle(h);
}

fs::path lumk_platform_cache_dir(std::vector<std::string>* warnings, bool* temporary) {
    if (temporary) *temporary = false;
    // LUM_KERNEL_CACHE when set (empty: no candidate, LOCALAPPDATA is not
    // consulted), else %LOCALAPPDATA%\lumioscript\kernels when LOCALAPPDATA
    // is a full path.
    fs::path candidate;
    fs::path value;
    if (env_path(L"LUM_KERNEL_CACHE", &value)) {
        candidate = value;
    } else if (env_path(L"LOCALAPPDATA", &value) && root_length(value.make_preferred().wstring()) != 0) {
        // only a full path: a relative one would be the host's current folder
        candidate = value / "lumioscript" / "kernels";
    }
    // A relative folder is judged, made and used as the absolute path it has
    // now: the host may change its current folder later.
    if (!candidate.empty()) candidate = lumk_platform_absolute(candidate);
    if (!candidate.empty()) {
        const std::string why = usable_dir_problem(candidate);
        if (why.empty()) return candidate;
        if (warnings)
            warnings->push_back("kernel cache folder " + lumk_platform_path_text(candidate) + " is not used: " + why);
    }

    // This process's own folder in the temporary folder: made here, or one of
    // ours that nobody else can write to. None without a temporary folder: a
    // folder named relative to nothing would be made in the host's current
    // folder, and the loaded libraries would stay there.
    fs::path tmp;
    if (!temporary_folder(&tmp)) return {};
    const fs::path dir = lumk_platform_absolute(tmp / ("lumioscript-kernels-" + std::to_string(lumk_platform_pid())));
    const std::string why = usable_dir_problem(dir);
    if (!why.empty()) {
        if (warnings) warnings->push_back("kernel cache folder " + lumk_platform_path_text(dir) + " is not used: " + why);
        return {};
    }
    if (temporary) *temporary = true;
    return dir;
}

void* lumk_platform_open_library(const fs::path& path, std::string* error) {
    HMODULE lib = load_library(path);
    if (lib == nullptr && error)
        *error = "cannot load " + lumk_platform_path_text(path) + " (" + load_failure(path, ::GetLastError()) + ")";
    return reinterpret_cast<void*>(lib);
}

void* lumk_platform_open_private_library(const fs::path& path, std::string* error, std::string* refused,
                                         bool checksum) {
    std::string failed = "cannot load " + lumk_platform_path_text(path);
    // Read access that shares only reading: while this handle is open nobody
    // can write, replace, rename or delete the file, so the loader reads the
    // file examined here.
    const checked_object file = open_checked(path, GENERIC_READ, FILE_SHARE_READ, object_kind::file);
    if (!file.opened()) {
        if (error) *error = failed + " (" + lumk_windows_system_text(file.open_error) + ")";
        return nullptr;
    }
    const BY_HANDLE_FILE_INFORMATION& info = file.info;
    std::string why = file.why;
    if (why.empty())
        why = image_problem(file.handle, static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow, checksum);
    HMODULE lib = nullptr;
    if (why.empty()) {
        if (lumk_before_load_fn hook = before_load.load(std::memory_order_acquire)) hook(path);
        lib = load_library(path);
        if (lib == nullptr) failed += " (" + load_failure(path, ::GetLastError()) + ")";
        // A module of that name loaded before (or a folder renamed meanwhile)
        // may be another file: only the one examined is used.
        if (lib != nullptr && !module_is_file(lib, info)) {
            ::FreeLibrary(lib);
            lib = nullptr;
            why = "the library loaded from that path is not the file examined";
        }
    }
    // No handle is kept per library (closed with `file`): a loaded image
    // cannot be changed anyway.
    return lumk_private_library_result(reinterpret_cast<void*>(lib), failed, why, error, refused);
}

// No fork on Windows: every process may load.
std::string lumk_platform_loading_refused() { return {}; }

void lumk_platform_set_before_load_for_tests(lumk_before_load_fn fn) {
    before_load.store(fn, std::memory_order_release);
}

bool lumk_platform_loaded_library_removable() { return false; }

bool lumk_platform_seal_library(const fs::path& path, std::string* error) {
    // Shared with nobody while it is read and the trailer is written.
    HANDLE h = open_itself(path, GENERIC_READ | GENERIC_WRITE, 0);
    std::string why;
    BY_HANDLE_FILE_INFORMATION info{};
    std::array<unsigned char, lumk_seal_size> trailer{};
    const auto read = [h](uint64_t at, void* out, size_t n) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        return n <= 0xffffffffu && ::ReadFile(h, out, static_cast<DWORD>(n), &got, &where) != 0 && got == n;
    };
    if (h == INVALID_HANDLE_VALUE) why = lumk_windows_system_text(::GetLastError());
    else if (!::GetFileInformationByHandle(h, &info)) why = lumk_windows_system_text(::GetLastError());
    else if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        why = "it is not a plain file";
    const uint64_t size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (why.empty() && !lumk_seal_make(size, read, &trailer)) why = "it cannot be read";
    if (why.empty()) {
        OVERLAPPED end{};
        end.Offset = static_cast<DWORD>(size);
        end.OffsetHigh = static_cast<DWORD>(size >> 32);
        DWORD wrote = 0;
        if (!::WriteFile(h, trailer.data(), static_cast<DWORD>(trailer.size()), &wrote, &end))
            why = lumk_windows_system_text(::GetLastError());
        else if (wrote != trailer.size())
            why = lumk_windows_system_text(ERROR_DISK_FULL);
    }
    if (h != INVALID_HANDLE_VALUE && ::CloseHandle(h) == 0 && why.empty())
        why = lumk_windows_system_text(::GetLastError());
    if (!why.empty() && error)
        *error = "cannot add the checksum to " + lumk_platform_path_text(path) + " (" + why + ")";
    return why.empty();
}

void lumk_platform_make_private(const fs::path& path) {
    // Files made in our folder inherit its private rules; a compiler that set
    // rules of its own gets them replaced.
    HANDLE h = open_itself(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
        !handle_access_problem(h).empty()) {
        local_ptr sd = private_descriptor();
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (sd && ::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) && present && dacl != nullptr)
            ::SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    }
    ::CloseHandle(h);
}

void* lumk_platform_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void lumk_platform_close_library(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

std::string lumk_windows_access_problem(PSECURITY_DESCRIPTOR sd, PSID user, lumk_access_scope scope) {
    const bool path_folder = scope == lumk_access_scope::path_folder;
    const ACCESS_MASK forbidden = path_folder ? kSwapRights : kWriteRights;
    if (sd == nullptr || !::IsValidSecurityDescriptor(sd)) return "its security descriptor is damaged";
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(sd, &owner, &defaulted)) return "its owner cannot be read";
    if (owner == nullptr) return "it has no owner";
    if (!::IsValidSid(owner)) return "its owner cannot be read";
    auto trusted = [&](PSID sid) { return ::EqualSid(sid, user) || is_system_principal(sid); };
    if (!trusted(owner)) return "it belongs to another user (" + sid_text(owner) + ")";

    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return "its access list cannot be read";
    if (!present || dacl == nullptr) return "it has no access list, so everybody may change it";
    if (!::IsValidAcl(dacl)) return "its access list cannot be read";
    ACL_SIZE_INFORMATION sizes{};
    if (!::GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation)) return "its access list cannot be read";
    for (DWORD i = 0; i < sizes.AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) return "its access list cannot be read";
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both start with the rights and the SID.
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            // The SID (8 bytes and 4 per sub-authority) must lie inside the rule.
            const size_t sid_at = offsetof(ACCESS_ALLOWED_ACE, SidStart);
            const unsigned char* sid_bytes = static_cast<const unsigned char*>(ace) + sid_at;
            if (header->AceSize < sid_at + 8 || sid_at + 8 + 4 * size_t{sid_bytes[1]} > header->AceSize ||
                !::IsValidSid(sid))
                return "its access list cannot be read";
            // A rule inherited only by what is made inside does not apply
            // to a folder of the path itself.
            if (path_folder && (header->AceFlags & INHERIT_ONLY_ACE) != 0) break;
            if ((allowed->Mask & forbidden) != 0 && !trusted(sid) && !::EqualSid(sid, owner) &&
                !is_owner_placeholder(sid))
                return path_folder ? "it lets " + who(sid) + " rename or remove what is in it" : "it is writable by " + who(sid);
            break;
        }
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            // Rules of these kinds have the rights first, then parts of their
            // own; one that allows writing cannot be judged here.
            if ((static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask & forbidden) != 0)
                return "its access list has a rule of a kind not checked here (type " +
                       std::to_string(header->AceType) + ")";
            break;
        default:
            break;  // deny rules only take rights away; audit rules grant none
        }
    }
    return {};
}

namespace {

bool is_plain_file(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The entries of a list variable (PATH, PATHEXT): split at each ';' outside
// quotes (a quoted entry may hold one), quotes removed.
std::vector<std::wstring> env_list(const wchar_t* name) {
    fs::path value;
    std::vector<std::wstring> items;
    if (!env_path(name, &value)) return items;
    const std::wstring text = value.wstring();
    std::wstring item;
    bool quoted = false;
    for (size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || (text[at] == L';' && !quoted)) {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else if (text[at] == L'"') {
            quoted = !quoted;
        } else {
            item += text[at];
        }
    }
    return items;
}

// Whether the text of `wide` passes through the ANSI code page unchanged
// (no character missing from it, none replaced by a look-alike).
bool ansi_exact(const std::wstring& wide) {
    if (wide.empty() || ::GetACP() == CP_UTF8) return true;
    BOOL replaced = FALSE;
    const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, &replaced);
    if (n <= 0 || replaced) return false;
    std::string narrow(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), narrow.data(), n,
                          nullptr, &replaced);
    const int m = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), n, nullptr, 0);
    std::wstring back(static_cast<size_t>(m), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), n, back.data(), m);
    return !replaced && back == wide;
}

}  // namespace

std::wstring lumk_windows_short_path(const fs::path& path) {
    const std::wstring wide = path.wstring();
    const DWORD size = ::GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring text(size, L'\0');
    const DWORD n = ::GetShortPathNameW(wide.c_str(), text.data(), size);
    if (n == 0 || n >= size) return {};
    text.resize(n);
    return text;
}

namespace {

// Compilers known to read their command line in UTF-16 (MSVC's cl and the
// clang drivers); any other one may read it through the ANSI code page.
bool reads_wide_arguments(const fs::path& program) {
    const std::wstring name = lower(program.stem().wstring());
    return name == L"cl" || name == L"clang-cl" || name == L"clang" || name == L"clang++";
}

}  // namespace

std::wstring lumk_windows_first_word(const std::wstring& line, size_t* end) {
    size_t at = 0;
    while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) ++at;
    std::wstring word;
    bool quoted = false;
    for (; at < line.size(); ++at) {
        if (line[at] == L'"') quoted = !quoted;
        else if (!quoted && (line[at] == L' ' || line[at] == L'\t')) break;
        else word += line[at];
    }
    if (end) *end = at;
    return word;
}

bool lumk_windows_is_executable(const fs::path& path) {
    const std::wstring ext = lower(path.extension().wstring());
    return ext == L".exe" || ext == L".com";
}

bool lumk_windows_is_own_command(const std::wstring& name) {
    static const wchar_t* const own_commands[] = {
        L"assoc", L"break", L"call",  L"cd",    L"chdir", L"cls",   L"color", L"copy",     L"date",  L"del",
        L"dir",   L"echo",  L"erase", L"exit",  L"for",   L"ftype", L"goto",  L"if",       L"md",    L"mkdir",
        L"mklink", L"move", L"path",  L"pause", L"popd",  L"prompt", L"pushd", L"rd",      L"rem",   L"ren",
        L"rename", L"rmdir", L"set",  L"setlocal", L"shift", L"start", L"time", L"title",  L"type",  L"ver",
        L"verify", L"vol"};
    const std::wstring lowered = lower(name);
    for (const wchar_t* own : own_commands)
        if (lowered == own) return true;
    return false;
}

fs::path lumk_windows_find_program(const std::wstring& program) {
    if (program.empty()) return {};
    const bool bare = program.find_first_of(L"\\/:") == std::wstring::npos;
    if (bare && lumk_windows_is_own_command(program)) return {};
    std::vector<std::wstring> extensions = env_list(L"PATHEXT");
    if (extensions.empty()) extensions = {L".COM", L".EXE", L".BAT", L".CMD"};
    const auto in = [&](const fs::path& base) -> fs::path {
        if (base.has_extension() && is_plain_file(base)) return base;
        for (const std::wstring& ext : extensions) {
            fs::path with = base;
            with += ext;
            if (is_plain_file(with)) return with;
        }
        return {};
    };
    if (!bare) return in(fs::path(program));
    for (const std::wstring& folder : env_list(L"PATH")) {
        if (root_length(folder) == 0) continue;  // relative to the current folder
        if (fs::path found = in(fs::path(folder) / program); !found.empty()) return found;
    }
    return {};
}

bool lumk_platform_compiler_folder(const std::string& compiler, const fs::path& folder, std::string* text,
                                   std::string* why) {
    const std::wstring line = lumk_windows_wide(compiler);
    const fs::path program = lumk_windows_find_program(lumk_windows_first_word(line));
    // A batch file may hand its arguments to any program.
    const bool batch = !lumk_windows_is_executable(program);
    const bool ansi = batch || !reads_wide_arguments(program);
    // The command processor, which runs a batch file and any line whose
    // arguments it must interpret, expands %NAME% wherever it stands. The
    // compile line is the compiler's text with options and quoted paths,
    // which need no command processor.
    const bool expands = lumk_windows_direct_program(line).empty();
    fs::path whole = folder;
    const std::wstring wide = whole.make_preferred().wstring();
    const auto usable = [&](const std::wstring& path) {
        return !(expands && path.find(L'%') != std::wstring::npos) && !(ansi && !ansi_exact(path));
    };
    std::wstring chosen = wide;
    if (!usable(wide)) {
        chosen = lumk_windows_short_path(whole);
        if (chosen.empty() || !usable(chosen)) {
            if (why) {
                const std::string code_page = "the ANSI code page (" + std::to_string(::GetACP()) + ")";
                if (expands && wide.find(L'%') != std::wstring::npos)
                    *why = "its path holds a '%', which the command processor would expand in the command line of " +
                           (batch ? "the batch file " + lumk_platform_path_text(program)
                                  : "a compiler whose arguments hold characters it interprets") +
                           ", and it has no short (8.3) name without one";
                else
                    *why = "its path has characters outside " + code_page + ", in which " + compiler +
                           " may read its arguments, and it has no short (8.3) name within that code page";
            }
            return false;
        }
    }
    if (text) *text = lumk_platform_path_text(fs::path(chosen)) + "\\";
    return true;
}

std::string lumk_platform_named_compiler(const std::string& command) {
    const std::wstring line = lumk_windows_wide(command);
    size_t end = 0;
    const std::wstring word = lumk_windows_first_word(line, &end);
    const bool bare = word.find_first_of(L"\\/:") == std::wstring::npos;
    // a bare name is looked for on PATH at each run; a full path stays as given
    if (bare || root_length(fs::path(word).make_preferred().wstring()) != 0) return command;
    const fs::path full = lumk_platform_absolute(fs::path(word));
    if (root_length(full.wstring()) == 0) return command;
    const std::wstring quoted = L"\"" + fs::path(full).make_preferred().wstring() + L"\"";
    return lumk_platform_path_text(fs::path(quoted + line.substr(end)));
}

std::string lumk_platform_named_probe_failure(const std::string& answer) {
    // A relative file argument (gcc -include defs.h, cl /I inc, gcc @flags.rsp)
    // is not found from where compilers start, never the host's folder.
    std::string text = answer;
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text + "(on Windows file arguments in LUM_KERNEL_CC must be full paths: the probe starts in the system "
                  "folder, compiles in the cache folder)";
}

std::string lumk_platform_candidate_refusal(const std::string& candidate) {
    const std::wstring line = lumk_windows_wide(candidate);
    if (lumk_windows_find_program(lumk_windows_first_word(line)).empty()) return {};  // not on PATH
    return lumk_windows_start_of(line).refused;
}
