#include "app/command_line.h"

#include <cstdlib>
#include <cstring>

#include "core/logger.h"

const char* findCommandLineOption(int argc, const char* const* argv, const char* option)
{
    const size_t optionLength = std::strlen(option);
    for (int i = argc - 1; i > 0; --i) {
        const char* argument = argv[i];
        if (std::strncmp(argument, option, optionLength) != 0)
            continue;
        const char* rest = argument + optionLength;
        if (*rest != '\0')
            return *rest == '=' ? rest + 1 : rest;
        if (i + 1 >= argc)
            return "";
        if (std::strlen(argv[i + 1]) > 1024)
            return nullptr;
        return argv[i + 1];
    }
    return nullptr;
}

std::vector<std::string> findAllCommandLineOptions(int argc, const char* const* argv, const char* option)
{
    const size_t optionLength = std::strlen(option);
    std::vector<std::string> values;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strncmp(argument, option, optionLength) != 0)
            continue;
        const char* rest = argument + optionLength;
        if (*rest != '\0') {
            values.emplace_back(*rest == '=' ? rest + 1 : rest);
        } else if (i + 1 >= argc) {
            values.emplace_back();
        } else {
            if (std::strlen(argv[i + 1]) <= 1024)
                values.emplace_back(argv[i + 1]);
            ++i;
        }
    }
    return values;
}

int logThresholdForLevelNumber(long number)
{
    switch (number) {
    case 0: return LOG_THRESHOLD_OFF;
    case 1: return static_cast<int>(LogLevel::FATAL);
    case 2: return static_cast<int>(LogLevel::ERROR);
    case 3: return static_cast<int>(LogLevel::WARNING);
    case 4: return static_cast<int>(LogLevel::INFO);
    case 5: return static_cast<int>(LogLevel::TRAFFIC);
    case 6: return static_cast<int>(LogLevel::DEBUG);
    default: return static_cast<int>(LogLevel::INFO);
    }
}

CommandLineSettings readCommandLine(int argc, const char* const* argv)
{
    CommandLineSettings settings;
    if (findCommandLineOption(argc, argv, "-h")) {
        settings.showUsage = true;
        return settings;
    }
    if (findCommandLineOption(argc, argv, "-v")) {
        settings.showVersion = true;
        return settings;
    }
    if (const char* value = findCommandLineOption(argc, argv, "-p")) {
        const long port = std::atol(value);
        settings.portValid = port >= 1025 && port <= 65535;
        settings.port = static_cast<int>(port);
        if (!settings.portValid)
            return settings;
    }
    if (const char* value = findCommandLineOption(argc, argv, "-l")) {
        if (*value == '\0')
            settings.logThresholdValueMissing = true;
        else
            settings.logThreshold = logThresholdForLevelNumber(std::atol(value));
    }
    if (const char* value = findCommandLineOption(argc, argv, "-f")) {
        if (*value == '\0')
            settings.logFileValueMissing = true;
        else
            settings.logFile = value;
    }
    settings.tls = findCommandLineOption(argc, argv, "-s") != nullptr;
    for (const std::string& origin : findAllCommandLineOptions(argc, argv, "-o")) {
        if (origin.empty())
            settings.originValueMissing = true;
        else
            settings.allowedOrigins.push_back(origin);
    }
    for (const std::string& name : findAllCommandLineOptions(argc, argv, "-a")) {
        if (name.empty())
            settings.hostNameValueMissing = true;
        else
            settings.hostNames.push_back(name);
    }
    if (const char* value = findCommandLineOption(argc, argv, "-i")) {
        settings.listenAddress = value;
        settings.listenAddressValueMissing = *value == '\0';
    }
    if (const char* value = findCommandLineOption(argc, argv, "-C")) {
        settings.certificateGiven = true;
        settings.certificateFile = value;
    }
    if (const char* value = findCommandLineOption(argc, argv, "-K")) {
        settings.keyGiven = true;
        settings.keyFile = value;
    }
    return settings;
}

const char* const usageText = "\n"
                              "Usage vantrelRelay [-h] [-v] [-p port] [-l logThreshold] [-f logFile]\n"
                              "\n"
                              "  -h displays this message and exits.\n"
                              "\n"
                              "  -v displays version info and exits.\n"
                              "\n"
                              "  -p port to listen on (default is 7681)\n"
                              "\n"
                              "  logThreshold is a number from 0 to 6\n"
                              "     0 = off\n"
                              "     1 = fatal\n"
                              "     2 = error\n"
                              "     3 = warning\n"
                              "     4 = info\n"
                              "     5 = traffic\n"
                              "     6 = debug\n"
                              "\n"
                              "  If logFile is not given, output will be directed to stdout.\n"
                              "\n";
