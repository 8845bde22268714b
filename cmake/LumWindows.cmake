# Third-party parts of the Windows build. The Debian packages ship no mingw
# builds of them, so:
# - the nlohmann/json and xxHash headers are staged into a folder of their
#   own (adding the whole system include folder would put glibc's C headers
#   ahead of mingw's);
# - xxHash is used header-only (XXH_INLINE_ALL);
# - googletest is built here from the source Debian installs.
set(LUM_HOST_INCLUDE_DIR /usr/include CACHE PATH "Folder of the build machine's nlohmann and xxHash headers")
set(LUM_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "googletest source tree")

# WaitOnAddress and WakeByAddressAll (runtime/platform_windows.cpp).
link_libraries(synchronization)
# Symbol visibility attributes mean nothing for PE files (a DLL exports what
# its .def file lists).
add_compile_options(-Wno-attributes)

set(LUM_STAGED_INCLUDE ${PROJECT_BINARY_DIR}/staged-include)
foreach(item nlohmann xxhash.h xxh3.h)
  if(NOT EXISTS ${LUM_HOST_INCLUDE_DIR}/${item})
    message(FATAL_ERROR "${LUM_HOST_INCLUDE_DIR}/${item} is missing (install nlohmann-json3-dev and libxxhash-dev)")
  endif()
  file(COPY ${LUM_HOST_INCLUDE_DIR}/${item} DESTINATION ${LUM_STAGED_INCLUDE})
endforeach()

add_library(lum_nlohmann_json INTERFACE)
target_include_directories(lum_nlohmann_json SYSTEM INTERFACE ${LUM_STAGED_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS lum_nlohmann_json)

add_library(lum_xxhash INTERFACE)
target_include_directories(lum_xxhash SYSTEM INTERFACE ${LUM_STAGED_INCLUDE})
target_compile_definitions(lum_xxhash INTERFACE XXH_INLINE_ALL)

if(LUM_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${LUM_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # gtest_discover_tests asks the executables for their tests when ctest runs
  # (through the cross-compiling emulator), not while building.
  set(LUM_GTEST_DISCOVERY_MODE PRE_TEST)
endif()
