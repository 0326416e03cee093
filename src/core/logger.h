#pragma once

#include <chrono>
#include <string>
#include <unordered_map>

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
    // Control characters (all but the tab) as \xNN, so that text from outside cannot start lines or send
    // terminal escapes.
    static std::string escapeControlCharacters(const char* text);

    // A WARNING or ERROR of the same text is printed this many times a second at most; the rest are counted and
    // reported in one line.
    static constexpr int repeatsPerSecond = 5;
    // Reports every count of held-back lines now (at stop, and for readers of the log that cannot wait).
    void reportSuppressedNow() { reportSuppressed(std::chrono::steady_clock::now(), true); }

private:
    // How often one text was printed in its current one-second window, and how many more were held back.
    struct Repeats {
        std::chrono::steady_clock::time_point windowStart;
        int printed = 0;
        unsigned long suppressed = 0;
    };
    static constexpr size_t maxTrackedTexts = 256;

    // False when the line is held back as a repeat.
    bool admit(int level, const std::string& text);
    void reportSuppressed(std::chrono::steady_clock::time_point now, bool all);
    void write(int level, const std::string& text);

    std::string logFilePath;
    char buffer[8192] = {};
    std::unordered_map<std::string, Repeats> repeats;
    // Lines held back whose count has not been reported yet.
    unsigned long unreported = 0;
};

// The one process-wide logger.
extern Logger logger;
