// Windows: a compile's temporary files are looked after by the folder they
// are in, where the compile starts (the job object ends the compile with its
// host, and the driver removes the files).
#pragma once

#include <filesystem>

struct lumk_compile_files {
    std::filesystem::path folder;
};
