#pragma once

#include <string>
#include <vector>

// Looks an option up: arguments are searched from the last to the first (argv[0] never) for one that begins with
// the option text. The rest of that argument is the value (one leading '=' skipped); an argument that is exactly
// the option takes the next argument as value when it has at most 1024 characters (else the option counts as
// absent), or the empty text when there is none. Returns nullptr when the option is absent.
const char* findCommandLineOption(int argc, const char* const* argv, const char* option);

// Every occurrence of a repeatable option, first to last, each read as above; an argument taken as an option's
// value is not itself searched.
std::vector<std::string> findAllCommandLineOptions(int argc, const char* const* argv, const char* option);

// One option a program takes: its text and whether a value follows it.
struct CommandLineOption {
    const char* text;
    bool takesValue;
};

// The options of vantrelRelay.
extern const std::vector<CommandLineOption> relayOptions;

// One WARNING text for every argument that is no option of the program (with the option it may have meant) and
// for every argument that is neither an option nor the value of one. Options are found by their prefix as the
// lookup finds them; an argument right after an option that takes a value is that value.
std::vector<std::string> unknownArguments(int argc, const char* const* argv,
                                          const std::vector<CommandLineOption>& options, const char* programName);

// The program's settings as read from the command line: made once by main; live for the whole run.
struct CommandLineSettings {
    bool showUsage = false;
    bool showVersion = false;
    bool portValid = true;
    int port = 7681;
    // The -p value as given, to name it when it is no port number.
    std::string portValue;
    int logThreshold = 4;
    bool logThresholdValueMissing = false;
    std::string logFile;
    bool logFileValueMissing = false;
    bool tls = false;
    // -o: the origins of other pages that may open the WebSocket besides the relay's own.
    std::vector<std::string> allowedOrigins;
    bool originValueMissing = false;
    // -a: further host names the relay answers to.
    std::vector<std::string> hostNames;
    bool hostNameValueMissing = false;
    // -i: the one address to listen on; empty listens on loopback only.
    std::string listenAddress;
    bool listenAddressValueMissing = false;
    // -C and -K: the operator's PEM certificate and key for -s. Given counts even with an empty value.
    bool certificateGiven = false;
    std::string certificateFile;
    bool keyGiven = false;
    std::string keyFile;
    // -m: the broker's URL; -r: the relay's name in its topics (empty: the host name); -M: commands through the
    // broker; -A: the CA certificates for an mqtts broker.
    std::string brokerUrl;
    bool brokerUrlValueMissing = false;
    std::string relayName;
    bool brokerCommands = false;
    std::string brokerCaFile;
    // Arguments and values the program cannot use, each as the WARNING text that names it.
    std::vector<std::string> mistakes;
};

// `options` are the program's own, for the mistakes; vantrelRelay's by default.
CommandLineSettings readCommandLine(int argc, const char* const* argv,
                                    const std::vector<CommandLineOption>& options = relayOptions,
                                    const char* programName = "vantrelRelay");

// Log threshold for a -l number; other numbers keep the default (info).
int logThresholdForLevelNumber(long number);
// Log threshold for a -l value: a number from 0 to 6 or a level name (off, fatal, error, warning, info, traffic,
// debug). False, with the threshold at info, for anything else.
bool logThresholdForValue(const std::string& value, int& threshold);

extern const char* const usageText;
