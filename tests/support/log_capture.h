#pragma once

#include <string>
#include <vector>

#include "core/logger.h"

// Sends the global logger's lines to a private temporary file while the object lives, so a test can read back
// what was logged. The logger's previous file and threshold are restored on destruction.
class LogCapture {
public:
    // The threshold in force during the capture; DEBUG keeps every line. With everyLine, no call site's lines are
    // held back, for tests that count them.
    explicit LogCapture(int threshold = static_cast<int>(LogLevel::DEBUG), bool everyLine = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whole lines as written ("12:00:00 [DEBUG  ]: text"), without the line feed.
    std::vector<std::string> lines() const;
    // The text part of each line, after "]: ".
    std::vector<std::string> texts() const;
    // True when some line's text contains the given piece.
    bool contains(const std::string& piece) const;
    // Forgets what was captured so far.
    void clear();
    const std::string& path() const { return filePath; }

private:
    std::string filePath;
    std::string previousFile;
    int previousThreshold;
    bool previousBudget;
};
