#include "core/logger.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

Logger logger;

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

void Logger::setLogFile(const std::string& path) { logFilePath = path; }

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
    const int value = static_cast<int>(level);
    if (value < threshold)
        return;

    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    const std::string text = escapeControlCharacters(buffer);
    if (admit(value, text))
        write(value, text);
}

bool Logger::admit(int level, const std::string& text)
{
    const auto now = std::chrono::steady_clock::now();
    if (unreported > 0)
        reportSuppressed(now, false);
    if (level != static_cast<int>(LogLevel::WARNING) && level != static_cast<int>(LogLevel::ERROR))
        return true;
    auto found = repeats.find(text);
    if (found == repeats.end()) {
        if (repeats.size() >= maxTrackedTexts)
            reportSuppressed(now, true);
        found = repeats.emplace(text, Repeats{now, 0, 0}).first;
    }
    Repeats& seen = found->second;
    if (now - seen.windowStart >= std::chrono::seconds(1))
        seen = Repeats{now, 0, 0};
    if (seen.printed >= repeatsPerSecond) {
        ++seen.suppressed;
        ++unreported;
        return false;
    }
    ++seen.printed;
    return true;
}

void Logger::reportSuppressed(std::chrono::steady_clock::time_point now, bool all)
{
    // Once a text's second is over, one line tells how many of it were held back; `all` also forgets the texts
    // still within their second, to make room.
    for (auto it = repeats.begin(); it != repeats.end();) {
        Repeats& seen = it->second;
        const bool over = now - seen.windowStart >= std::chrono::seconds(1);
        if (!over && !all) {
            ++it;
            continue;
        }
        if (seen.suppressed > 0) {
            unreported -= seen.suppressed;
            char line[64];
            std::snprintf(line, sizeof line, "%lu more lines like this were suppressed: ", seen.suppressed);
            write(static_cast<int>(LogLevel::WARNING), line + it->first);
        }
        it = repeats.erase(it);
    }
}

void Logger::write(int level, const std::string& text)
{
    const std::string stamp = timeStamp();
    const char* name = levelName(level);
    if (!logFilePath.empty()) {
        // Opened anew for every line so that the file can be moved or removed while the relay runs.
        if (std::FILE* file = std::fopen(logFilePath.c_str(), "a")) {
            std::fprintf(file, "%s [%s]: %s\n", stamp.c_str(), name, text.c_str());
            std::fclose(file);
            return;
        }
    }
    std::printf("%s [%s]: %s\n", stamp.c_str(), name, text.c_str());
    std::fflush(stdout);
}
