# Cross-build for Windows x86-64 with Debian's mingw-w64 compilers, the
# posix-thread variant (std::thread and std::mutex through winpthread).
# Everything links statically, so the DLL and the executables need only
# KERNEL32, ADVAPI32 and msvcrt (plus the system's own API sets).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LUM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LUM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
