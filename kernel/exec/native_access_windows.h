// Windows: who may change the folder for compiled kernels and its libraries
// (the rule the POSIX owner and mode bits give on Linux, read from a security
// descriptor instead), and which program a command line starts.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// What a security descriptor is judged for.
enum class lumk_access_scope {
    // the cache folder or a library in it: nobody else may change it at all
    itself,
    // a folder on the path to the cache folder: others may add entries to it
    // (as everybody may on a drive's root), but not rename or remove what is
    // in it, remove it, or change its access rules or owner
    path_folder,
};

// Why a folder or file with this security descriptor cannot be trusted by the
// user `user`: "" when it belongs to `user` or to the system (SYSTEM,
// Administrators, TrustedInstaller, who can take any file anyway) and no
// allow rule of its access list gives anybody else a right the scope forbids:
// for the cache folder and its libraries a right to write, append, add or
// delete entries, delete it, or change its access rules or owner (rules
// inherited only by what is made inside included); for a folder on the path,
// a right to delete entries or the folder, or to change its rules or owner,
// that applies to the folder itself. A missing (NULL) access list lets
// everybody in and is refused.
std::string lumk_windows_access_problem(PSECURITY_DESCRIPTOR sd, PSID user,
                                        lumk_access_scope scope = lumk_access_scope::itself);

// Called, when set, once the folders on the path to a cache folder have been
// judged and before the missing ones are made: the moment at which another
// user could make one of them first. Tests stand in for that user here.
inline void (*lumk_windows_before_making_folders)(const std::filesystem::path& dir) = nullptr;

// The file that runs for `program` (the first word of a command line, its
// quotes removed): a path as given, or a bare name in each folder of PATH
// that is a full path (never the current folder, which the command processor
// would search first: anybody may have left a program there, and a relative
// entry of PATH such as "." would be that folder again); in each place the
// name as given when it has an extension, then the name with each extension
// of PATHEXT. Empty when there is none, or when `program` names one of the
// command processor's own commands.
std::filesystem::path lumk_windows_find_program(const std::wstring& program);

// Whether `name` is one of the command processor's own commands (echo, exit,
// start...), which it runs without looking for a file.
bool lumk_windows_is_own_command(const std::wstring& name);

// The .exe or .com program that runs `line` by itself, without the command
// processor: nothing the command processor would interpret stands outside
// quotes (& | < > ^ % and parentheses) and the first word is such a program.
// Empty when the line needs the command processor.
std::filesystem::path lumk_windows_direct_program(const std::wstring& line);

// How a command line is started.
struct lumk_windows_start {
    std::wstring application;   // the program started: the one the line names, or the command processor
    std::wstring command_line;  // what it is given
    std::string refused;        // why nothing is started ("" when it is); UTF-8
};

// How `line` is started: a line that needs no command processor as its own
// program with the line as it is. Else by the command processor without the
// AutoRun commands of the registry (/d) and without delayed expansion of
// !NAME! (/v:off), its error output joined to its output, the program the
// line names given by its full path (so that the command processor looks for
// nothing itself; its short path when the full one holds a '%', which the
// command processor would expand); a line that starts with one of its own
// commands as it is. A program that cannot be found, or whose paths both hold
// a '%', is refused.
lumk_windows_start lumk_windows_start_of(const std::wstring& line);

// The first word of a command line with its quotes removed; `end`, when
// given, gets where it ends in the line.
std::wstring lumk_windows_first_word(const std::wstring& line, size_t* end = nullptr);

// Whether the program `path` is started without the command processor (an
// .exe or .com file); batch files need it.
bool lumk_windows_is_executable(const std::filesystem::path& path);

// UTF-8 text as UTF-16 (invalid bytes become U+FFFD).
std::wstring lumk_windows_wide(const std::string& utf8);

// The system's text for the error `code` as messages give it: taken in
// UTF-16 (in the user's language) and given as UTF-8, as paths are, without
// the full stop and line end at its end. The one source of system reasons in
// the module's messages.
std::string lumk_windows_system_text(DWORD code);

// The short (8.3) form of an existing path; empty when it has none.
std::wstring lumk_windows_short_path(const std::filesystem::path& path);
