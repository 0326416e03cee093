#include "core/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

Logger logger;

namespace {

// All of the text, or false at the first error (errno tells which).
bool writeWhole(int descriptor, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

std::string formattedLine(int level, const std::string& text)
{
    return Logger::timeStamp() + " [" + Logger::levelName(level) + "]: " + text + "\n";
}

// The journal names the stream it reads in JOURNAL_STREAM as "device:inode"; only then is standard output it.
bool standardOutputIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || fstat(STDOUT_FILENO, &status) != 0)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == status.st_dev && inode == status.st_ino;
}

} // namespace

std::string logName(const std::string& name)
{
    if (name.size() <= maxLoggedNameBytes)
        return name;
    size_t cut = maxLoggedNameBytes;
    // Back to the first byte of a character: continuation bytes are 10xxxxxx; a UTF-8 character has at most four.
    for (int step = 0; step < 3 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80; ++step)
        --cut;
    return name.substr(0, cut) + "\xE2\x80\xA6";
}

Logger::~Logger() { closeLogFile(); }

const char* Logger::journalPriority(int level)
{
    switch (level) {
    case static_cast<int>(LogLevel::FATAL): return "<2>";
    case static_cast<int>(LogLevel::ERROR): return "<3>";
    case static_cast<int>(LogLevel::WARNING): return "<4>";
    case static_cast<int>(LogLevel::INFO): return "<6>";
    default: return "<7>";
    }
}

const char* Logger::levelName(int level)
{
    switch (level) {
    case static_cast<int>(LogLevel::DEBUG): return "DEBUG  ";
    case static_cast<int>(LogLevel::TRAFFIC): return "TRAFFIC";
    case static_cast<int>(LogLevel::INFO): return "INFO   ";
    case static_cast<int>(LogLevel::WARNING): return "WARNING";
    case static_cast<int>(LogLevel::ERROR): return "ERROR  ";
    case static_cast<int>(LogLevel::FATAL): return "FATAL  ";
    default: return "";
    }
}

std::string Logger::timeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

void Logger::setLogFile(const std::string& path)
{
    closeLogFile();
    if (path.empty())
        return;
    // Looked at before opening only to say why: a FIFO without a reader would fail with a misleading reason.
    struct stat facts {};
    std::string problem;
    int descriptor = -1;
    if (::stat(path.c_str(), &facts) == 0 && !S_ISREG(facts.st_mode)) {
        problem = "not a regular file";
    } else {
        // Should a FIFO appear after that look, opening it must not wait for a reader (before the relay listens,
        // deaf to signals).
        descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (descriptor < 0)
            problem = std::strerror(errno);
        else if (::fstat(descriptor, &facts) != 0 || !S_ISREG(facts.st_mode))
            problem = "not a regular file";
    }
    if (!problem.empty()) {
        if (descriptor >= 0)
            ::close(descriptor);
        warnAboutTarget("Cannot log to " + path + ": " + problem + "; logging to standard output");
        return;
    }
    logDescriptor = descriptor;
    logFilePath = path;
}

void Logger::closeLogFile()
{
    if (logDescriptor >= 0)
        ::close(logDescriptor);
    logDescriptor = -1;
    logFilePath.clear();
    writeFailing = false;
}

std::string Logger::escapeControlCharacters(const char* text)
{
    std::string escaped;
    for (const char* at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            escaped += code;
        } else {
            escaped += *at;
        }
    }
    return escaped;
}

void Logger::log(LogLevel level, const char* format, ...)
{
    if (!shows(level))
        return;
    const int value = static_cast<int>(level);
    const auto now = std::chrono::steady_clock::now();
    if (unreported > 0 && now >= nextReportAt)
        reportSuppressed(now, false);
    CallSite* held = holdBack(value, format, now);
    // Only the first line held back is formatted, as the example of its report: a flood costs little.
    if (held != nullptr && held->held > 1)
        return;

    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    std::string text = escapeControlCharacters(buffer);
    if (value >= static_cast<int>(LogLevel::ERROR)) {
        lastErrorText = text;
        lastErrorTime = now;
    }
    if (held != nullptr)
        held->example = std::move(text);
    else
        write(value, text);
}

Logger::CallSite* Logger::holdBack(int level, const char* format, std::chrono::steady_clock::time_point now)
{
    // DEBUG and TRAFFIC are asked for; a FATAL line ends the program.
    const bool budgeted = level == static_cast<int>(LogLevel::INFO) || level == static_cast<int>(LogLevel::WARNING) ||
                          level == static_cast<int>(LogLevel::ERROR);
    if (!budgeted || !budgetPerCallSite)
        return nullptr;
    const auto [found, fresh] = callSites.try_emplace(format);
    CallSite& site = found->second;
    constexpr auto perLine = std::chrono::steady_clock::duration(std::chrono::seconds(1)) / linesPerSecond;
    if (fresh)
        site.refilledAt = now;
    const long long earned = (now - site.refilledAt) / perLine;
    site.allowance = std::min<long long>(burstLines, site.allowance + earned);
    site.refilledAt += earned * perLine;
    if (site.allowance > 0) {
        --site.allowance;
        return nullptr;
    }
    if (site.held == 0) {
        site.firstHeldAt = now;
        if (unreported == 0 || now + std::chrono::seconds(1) < nextReportAt)
            nextReportAt = now + std::chrono::seconds(1);
    }
    ++site.held;
    ++suppressedCount;
    ++unreported;
    return &site;
}

void Logger::reportSuppressed(std::chrono::steady_clock::time_point now, bool all)
{
    // A second after a call site's first held-back line, one line tells how many were held back since; `all`
    // reports every count now and forgets the call sites.
    nextReportAt = std::chrono::steady_clock::time_point::max();
    for (auto& [format, site] : callSites) {
        if (site.held == 0)
            continue;
        const auto dueAt = site.firstHeldAt + std::chrono::seconds(1);
        if (!all && now < dueAt) {
            nextReportAt = std::min(nextReportAt, dueAt);
            continue;
        }
        unreported -= site.held;
        write(static_cast<int>(LogLevel::WARNING),
              std::to_string(site.held) + " more lines like this were suppressed: " + site.example);
        site.held = 0;
        site.example.clear();
    }
    if (all)
        callSites.clear();
}

void Logger::write(int level, const std::string& text)
{
    const bool toFile = logDescriptor >= 0;
    if (!toFile && toJournal < 0)
        toJournal = standardOutputIsJournal() ? 1 : 0;
    const std::string line =
        !toFile && toJournal == 1 ? journalPriority(level) + formattedLine(level, text) : formattedLine(level, text);
    if (writeWhole(toFile ? logDescriptor : STDOUT_FILENO, line)) {
        writeFailing = false;
        return;
    }
    const int error = errno;
    if (writeFailing)
        return;
    writeFailing = true;
    warnAboutTarget(std::string("Cannot write the log to ") + (toFile ? logFilePath : "standard output") + ": " +
                    std::strerror(error) + "; lines are lost until it can be written again");
}

void Logger::warnAboutTarget(const std::string& text) const
{
    if (threshold <= static_cast<int>(LogLevel::FATAL))
        writeWhole(STDERR_FILENO, formattedLine(static_cast<int>(LogLevel::WARNING), text));
}
