#include "support/log_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

LogCapture::LogCapture(int threshold, bool everyLine)
    : previousFile(logger.logFile()), previousThreshold(logger.threshold), previousBudget(logger.budgetPerCallSite)
{
    // Call sites that earlier tests of this process used up must not hold lines back from this capture.
    logger.reportSuppressedNow();
    logger.budgetPerCallSite = !everyLine;
    const char* directory = std::getenv("TMPDIR");
    std::string pattern = std::string(directory && *directory ? directory : "/tmp") + "/vantrel_log_XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0)
        ::close(fd);
    filePath = pattern;
    logger.setLogFile(filePath);
    logger.threshold = threshold;
}

LogCapture::~LogCapture()
{
    logger.setLogFile(previousFile);
    logger.threshold = previousThreshold;
    logger.budgetPerCallSite = previousBudget;
    std::remove(filePath.c_str());
}

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> result;
    std::ifstream in(filePath);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> LogCapture::texts() const
{
    std::vector<std::string> result;
    for (const std::string& line : lines()) {
        const size_t marker = line.find("]: ");
        result.push_back(marker == std::string::npos ? line : line.substr(marker + 3));
    }
    return result;
}

bool LogCapture::contains(const std::string& piece) const
{
    for (const std::string& text : texts())
        if (text.find(piece) != std::string::npos)
            return true;
    return false;
}

void LogCapture::clear() { std::ofstream(filePath, std::ios::trunc); }
