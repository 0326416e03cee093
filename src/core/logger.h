#pragma once

#include <chrono>
#include <cstddef>
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

// The longest name from outside (a port, file, origin or editor text) that a log line shows whole.
constexpr size_t maxLoggedNameBytes = 128;

// The name as a log line shows it: whole up to maxLoggedNameBytes, else its first bytes (never half a UTF-8
// character) and "…". Every INFO, WARNING or ERROR line that names something an editor, a board or a peer chose
// passes it through this, so that long unique names cannot fill the log.
std::string logName(const std::string& name);

// The process-wide log: the one global, `logger`, lives for the whole run.
class Logger {
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Lines whose level is below the threshold are dropped.
    int threshold = static_cast<int>(LogLevel::INFO);

    // Whether lines of the level are printed: a line written for every chunk of a write asks first, so that its
    // arguments are not made and its call costs nothing when the level is off.
    bool shows(LogLevel level) const { return static_cast<int>(level) >= threshold; }
    // The format must be a literal: its address names the call site whose budget the line spends.
    void log(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Opens the file once, to append every later line to it; an empty path means standard output. A path that
    // cannot be opened or is not a regular file (a FIFO, a device) is refused with a WARNING on standard error,
    // and the lines go to standard output.
    void setLogFile(const std::string& path);
    // The file the lines go to; empty for standard output.
    const std::string& logFile() const { return logFilePath; }

    static std::string timeStamp();
    static const char* levelName(int level);
    // Control characters (all but the tab) as \xNN, so that text from outside cannot start lines or send
    // terminal escapes.
    static std::string escapeControlCharacters(const char* text);

    // Each call site's INFO, WARNING and ERROR lines: this many at once, then this many a second; the rest are
    // counted and reported in one line a second at most.
    static constexpr int burstLines = 20;
    static constexpr int linesPerSecond = 5;
    // False only where a test counts every line of a call site.
    bool budgetPerCallSite = true;
    // Reports every count of held-back lines now and gives every call site its full allowance again (at stop, and
    // for readers of the log that cannot wait).
    void reportSuppressedNow() { reportSuppressed(std::chrono::steady_clock::now(), true); }

    // Lines held back as repeats since the start.
    unsigned long long suppressedTotal() const { return suppressedCount; }
    // The last ERROR or FATAL line written, and when; empty when there was none.
    const std::string& lastError() const { return lastErrorText; }
    std::chrono::steady_clock::time_point lastErrorAt() const { return lastErrorTime; }

    // The syslog priority a line of this level carries in the journal ("<3>" for ERROR).
    static const char* journalPriority(int level);

private:
    // One call site's allowance: created at its first line, kept until reportSuppressedNow; there are no more of
    // them than formats in the program.
    struct CallSite {
        std::chrono::steady_clock::time_point refilledAt;
        long long allowance = burstLines;
        // Held back since the last report, the first of them as its example.
        unsigned long held = 0;
        std::chrono::steady_clock::time_point firstHeldAt;
        std::string example;
    };

    // The call site when the line is held back, else null.
    CallSite* holdBack(int level, const char* format, std::chrono::steady_clock::time_point now);
    void reportSuppressed(std::chrono::steady_clock::time_point now, bool all);
    void write(int level, const std::string& text);
    // A WARNING about the log target itself, on standard error.
    void warnAboutTarget(const std::string& text) const;
    void closeLogFile();

    std::string logFilePath;
    int logDescriptor = -1;
    // Set by a failed write, cleared by the next that succeeds: a failing target is reported once.
    bool writeFailing = false;
    char buffer[8192] = {};
    std::unordered_map<const char*, CallSite> callSites;
    // Lines held back whose count has not been reported yet, and when the earliest report is due.
    unsigned long unreported = 0;
    std::chrono::steady_clock::time_point nextReportAt;
    unsigned long long suppressedCount = 0;
    std::string lastErrorText;
    std::chrono::steady_clock::time_point lastErrorTime;
    // Whether standard output is the journal, which takes each line's priority from a "<N>" prefix; found out at
    // the first line written to it.
    int toJournal = -1;
};

// The one process-wide logger.
extern Logger logger;
