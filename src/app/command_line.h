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

// The program's settings as read from the command line: made once by main; live for the whole run.
struct CommandLineSettings {
    bool showUsage = false;
    bool showVersion = false;
    bool portValid = true;
    int port = 7681;
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
};

CommandLineSettings readCommandLine(int argc, const char* const* argv);

// Log threshold for a -l number; other numbers keep the default (info).
int logThresholdForLevelNumber(long number);

extern const char* const usageText;
