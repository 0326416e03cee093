#pragma once

#include "core/command_line.h"

class Clock;
class SerialDriver;

// What both programs do once their options are read and valid: apply the log settings, install the stop
// signals, and serve until a signal arrives. Returns the exit status.
int serveUntilStopped(const CommandLineSettings& settings, SerialDriver& driver, Clock& clock);
