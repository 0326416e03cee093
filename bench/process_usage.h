#pragma once

#include <functional>
#include <string>
#include <vector>

// What a running process has used so far, read from /proc.
struct ProcessSample {
    bool ok = false;
    // User and system CPU time of all its threads, in clock ticks.
    long long cpuTicks = 0;
    // Voluntary and involuntary context switches of all its threads.
    long long contextSwitches = 0;
    long long rssKiB = 0;
};

ProcessSample sampleProcess(int pid);

// CPU time in clock ticks from the text of /proc/<pid>/stat; -1 when it cannot be read.
long long cpuTicksFromStat(const std::string& stat);
// The number after "<key>:" in the text of a /proc status file; -1 when the key is missing.
long long statusValue(const std::string& status, const std::string& key);

struct IdleUsage {
    bool ok = false;
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
    long long rssKiB = 0;
};

// Starts the relay program on the port, lets it settle, calls prepare (which may connect editors to it; false when
// that failed), and measures it idle for the given seconds; the program is ended (SIGTERM, then SIGKILL when it
// does not stop) before returning.
IdleUsage measureIdleProgram(const std::string& program, int port, int seconds,
                             const std::function<bool(int port)>& prepare = nullptr);

// Starts program with the arguments in the folder (empty: this one), its output thrown away; the pid, or -1.
int startProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder);
// Ends a program startProgram started (SIGTERM, then SIGKILL when it does not stop) and reaps it; true when it had
// exited on its own before.
bool endProgram(int pid);
// Runs program to its end; its exit status, or -1 when it could not run or did not end normally.
int runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder);
