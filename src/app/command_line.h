#pragma once

#include <string>

// Looks an option up: arguments are searched from the last to the first (argv[0] never) for one that begins with
// the option text. The rest of that argument is the value (one leading '=' skipped); an argument that is exactly
// the option takes the next argument as value when it has at most 1024 characters (else the option counts as
// absent), or the empty text when there is none. Returns nullptr when the option is absent.
const char* findCommandLineOption(int argc, const char* const* argv, const char* option);

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
};

CommandLineSettings readCommandLine(int argc, const char* const* argv);

// Log threshold for a -l number; other numbers keep the default (info).
int logThresholdForLevelNumber(long number);

extern const char* const usageText;
