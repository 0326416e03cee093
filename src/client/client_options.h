#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/outcome.h"

// The command line of vantrel: the command, its arguments and options, and the options common to all commands.
// Made once by main; lives for the whole run.
struct ClientOptions {
    // boards, flash, backup, restore, diff, monitor or fleet; empty when none was given.
    std::string command;
    std::vector<std::string> arguments;
    std::string relay = "ws://localhost:7681/";
    // --token, else the VANTREL_TOKEN variable, else the relay address's token.
    std::string token;
    uint64_t timeoutMs = 10000;
    // --timeout was given: fleet watch then ends after it, and runs until Ctrl+C without it.
    bool timeoutGiven = false;
    // A certificate to trust for wss:// beside the system's (the relay's own relay-tls.crt).
    std::string caFile;
    bool json = false;
    bool help = false;
    // flash --all
    bool all = false;
    // backup -o
    std::string output;
    // restore --commit
    bool commit = false;
    // monitor --node (repeatable), --traffic
    std::vector<int> nodes;
    bool traffic = false;
    // fleet --broker, --where (repeatable, all must hold), --stage (a share of the matching boards, or a count),
    // --max-failures
    std::string broker = "mqtt://localhost";
    std::vector<std::string> where;
    double stagePercent = 10;
    size_t stageCount = 0;
    size_t maxFailures = 0;
};

// Reads the command line; a mistake gives the usage status and one line that names it. environmentToken is the
// value of VANTREL_TOKEN (nullptr when it is not set).
Outcome parseClientOptions(int argc, const char* const* argv, const char* environmentToken, ClientOptions& options);
// The usage text of one command, or of the program when command is empty.
std::string usageText(const std::string& command);
