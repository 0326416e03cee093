#pragma once

#include <string>

// Levels are single bits; a higher value is more severe.
enum class LogLevel : int {
    DEBUG = 1,
    TRAFFIC = 2,
    INFO = 4,
    WARNING = 8,
    ERROR = 16,
    FATAL = 32,
};

// Threshold value above every level: nothing is printed.
constexpr int LOG_THRESHOLD_OFF = 65535;

// The process-wide log: the one global, `logger`, lives for the whole run.
class Logger {
public:
    // Lines whose level is below the threshold are dropped.
    int threshold = static_cast<int>(LogLevel::INFO);

    void log(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // From now on lines are appended to this file; an empty path means standard output.
    void setLogFile(const std::string& path);
    const std::string& logFile() const { return logFilePath; }

    static std::string timeStamp();
    static const char* levelName(int level);

private:
    std::string logFilePath;
    char buffer[8192] = {};
};

// The one process-wide logger.
extern Logger logger;
