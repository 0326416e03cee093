#include "support/scoped_working_directory.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

ScopedWorkingDirectory::ScopedWorkingDirectory()
{
    previous = std::filesystem::current_path().string();
    std::string pattern = (std::filesystem::temp_directory_path() / "vantrel_work_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0)
        throw std::runtime_error("cannot make a working folder");
    folder = pattern;
}

ScopedWorkingDirectory::~ScopedWorkingDirectory()
{
    std::error_code error;
    std::filesystem::current_path(previous, error);
    std::filesystem::remove_all(folder, error);
}
