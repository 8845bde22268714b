// Windows: who may change the folder for compiled kernels and its libraries.
// The rule the POSIX owner and mode bits give on Linux, read from a security
// descriptor instead.
#pragma once

#include <windows.h>

#include <string>

// Why a folder or file with this security descriptor cannot be trusted by the
// user `user`: "" when it belongs to `user` or to the system (SYSTEM,
// Administrators, TrustedInstaller, who can take any file anyway) and no
// allow rule of its access list, inherit-only rules included, gives anybody
// else a right to write, append, add or delete entries, delete it, or change
// its access rules or owner. A missing (NULL) access list lets everybody in
// and is refused.
std::string lumk_windows_access_problem(PSECURITY_DESCRIPTOR sd, PSID user);
