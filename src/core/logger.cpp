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

void Logger::log(LogLevel level, const char* format, ...)
{
    const int value = static_cast<int>(level);
    if (value < threshold)
        return;

    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);

    const std::string stamp = timeStamp();
    const char* name = levelName(value);
    if (!logFilePath.empty()) {
        // Opened anew for every line so that the file can be moved or removed while the relay runs.
        if (std::FILE* file = std::fopen(logFilePath.c_str(), "a")) {
            std::fprintf(file, "%s [%s]: %s\n", stamp.c_str(), name, buffer);
            std::fclose(file);
            return;
        }
    }
    std::printf("%s [%s]: %s\n", stamp.c_str(), name, buffer);
    std::fflush(stdout);
}
