// Windows: what the keeper of a compile's temporary files is there, the
// folder the files are in (a compile starts in it).
#pragma once

#include <filesystem>

struct lumk_file_keeper {
    std::filesystem::path folder;
};
