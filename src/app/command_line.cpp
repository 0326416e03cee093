#include "app/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

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

const std::vector<CommandLineOption> relayOptions = {
    {"-h", false}, {"-v", false}, {"-p", true}, {"-l", true}, {"-f", true}, {"-s", false},
    {"-C", true},  {"-K", true},  {"-i", true}, {"-o", true}, {"-a", true},
};

namespace {

// Long spellings people try, with the option they mean.
const std::pair<const char*, const char*> spellings[] = {
    {"help", "-h"},         {"version", "-v"}, {"port", "-p"},        {"log-level", "-l"}, {"loglevel", "-l"},
    {"level", "-l"},        {"verbose", "-l"}, {"debug", "-l"},       {"log", "-f"},       {"log-file", "-f"},
    {"logfile", "-f"},      {"file", "-f"},    {"tls", "-s"},         {"ssl", "-s"},       {"https", "-s"},
    {"secure", "-s"},       {"cert", "-C"},    {"certificate", "-C"}, {"key", "-K"},       {"interface", "-i"},
    {"iface", "-i"},        {"listen", "-i"},  {"address", "-i"},     {"bind", "-i"},      {"origin", "-o"},
    {"allow-origin", "-o"}, {"host", "-a"},    {"hostname", "-a"},    {"name", "-a"},      {"boards", "-n"},
    {"count", "-n"},        {"delay", "-d"},
};

const CommandLineOption* matchingOption(const char* argument, const std::vector<CommandLineOption>& options)
{
    for (const CommandLineOption& option : options) {
        if (std::strncmp(argument, option.text, std::strlen(option.text)) == 0)
            return &option;
    }
    return nullptr;
}

bool takesNextAsValue(const char* argument, const std::vector<CommandLineOption>& options)
{
    const CommandLineOption* option = matchingOption(argument, options);
    return option != nullptr && option->takesValue && std::strcmp(argument, option->text) == 0;
}

std::string optionList(const std::vector<CommandLineOption>& options)
{
    std::string list;
    for (const CommandLineOption& option : options)
        list += std::string(list.empty() ? "" : " ") + option.text;
    return list;
}

// The option a mistyped argument most likely means: a long spelling of it, or the same letter after two dashes.
const char* meantOption(const std::string& argument, const std::vector<CommandLineOption>& options)
{
    std::string name = argument.substr(
        argument.find_first_not_of('-') == std::string::npos ? argument.size() : argument.find_first_not_of('-'));
    name = name.substr(0, name.find('='));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [spelling, option] : spellings) {
        if (name == spelling && matchingOption(option, options) != nullptr)
            return option;
    }
    for (const CommandLineOption& option : options) {
        if (name.size() == 1 && name[0] == option.text[1])
            return option.text;
    }
    return nullptr;
}

} // namespace

std::vector<std::string> unknownArguments(int argc, const char* const* argv,
                                          const std::vector<CommandLineOption>& options, const char* programName)
{
    std::vector<std::string> mistakes;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (matchingOption(argv[i], options) != nullptr || takesNextAsValue(argv[i - 1], options))
            continue;
        if (argument.empty() || argument[0] != '-') {
            mistakes.push_back("Ignoring '" + argument + "': it is no option of " + programName +
                               " and follows none that takes a value");
            continue;
        }
        const char* meant = meantOption(argument, options);
        // The value a long option was given, as in "--port 8080" or "--port=8080".
        std::string value;
        if (argument.find('=') != std::string::npos) {
            value = argument.substr(argument.find('=') + 1);
        } else if (i + 1 < argc && argv[i + 1][0] != '-') {
            value = argv[++i];
        }
        std::string given = argument;
        if (!value.empty() && argument.find('=') == std::string::npos)
            given.append(" ").append(value);
        if (meant != nullptr)
            mistakes.push_back("Ignoring '" + given + "': " + programName + " has no such option; did you mean '" +
                               meant + (value.empty() ? "" : " " + value) + "'?");
        else
            mistakes.push_back("Ignoring '" + given + "': " + programName +
                               " has no such option (its options: " + optionList(options) + ")");
    }
    return mistakes;
}

bool logThresholdForValue(const std::string& value, int& threshold)
{
    static const char* const names[] = {"off", "fatal", "error", "warning", "info", "traffic", "debug"};
    threshold = static_cast<int>(LogLevel::INFO);
    std::string lowered = value;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lowered == "warn")
        lowered = "warning";
    for (long number = 0; number <= 6; ++number) {
        if (lowered == names[number] || lowered == std::to_string(number)) {
            threshold = logThresholdForLevelNumber(number);
            return true;
        }
    }
    return false;
}

CommandLineSettings readCommandLine(int argc, const char* const* argv, const std::vector<CommandLineOption>& options,
                                    const char* programName)
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
        settings.portValue = value;
        // "8080x" is a typing mistake, not port 8080.
        const bool digitsOnly = *value != '\0' && std::strspn(value, "0123456789") == std::strlen(value);
        settings.portValid = digitsOnly && port >= 1025 && port <= 65535;
        settings.port = static_cast<int>(port);
        if (!settings.portValid)
            return settings;
    }
    if (const char* value = findCommandLineOption(argc, argv, "-l")) {
        if (*value == '\0')
            settings.logThresholdValueMissing = true;
        else if (!logThresholdForValue(value, settings.logThreshold))
            settings.mistakes.push_back(std::string("-l ") + value +
                                        " is no log level: give 0 to 6, or off, fatal, error, warning, info, "
                                        "traffic or debug; logging at info");
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
    std::vector<std::string> unknown = unknownArguments(argc, argv, options, programName);
    settings.mistakes.insert(settings.mistakes.end(), unknown.begin(), unknown.end());
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
