#pragma once

#include <string>

// Moves the test process into a fresh temporary folder while the object lives, so that firmware files a test
// writes for the relay (which takes them from its working directory) never show in other tests' file lists.
class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

    const std::string& path() const { return folder; }

private:
    std::string previous;
    std::string folder;
};
