#pragma once

#include "app/command_line.h"

class Clock;
class SerialDriver;

// What both programs do once their options are read and valid: apply the log settings, install the stop
// signals, and serve until a signal arrives. Returns the exit status.
int serveUntilStopped(const CommandLineSettings& settings, SerialDriver& driver, Clock& clock);

// The options that end the program before it serves: -h prints the usage text, -v the version, and an invalid
// port its message. The exit status when one of them applies; -1 when the program goes on to serve.
int exitStatusBeforeServing(const CommandLineSettings& settings, const char* programName, const char* usage,
                            const char* buildTime);
