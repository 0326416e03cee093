#include "bench/process_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

long long cpuTicksFromStat(const std::string& stat)
{
    // The command name is in parentheses and may hold spaces and parentheses itself: fields count from the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long long utime = -1;
    long long stime = -1;
    // Field 3 (the state) comes first; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::atoll(field.c_str());
        else if (number == 15)
            stime = std::atoll(field.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long long statusValue(const std::string& status, const std::string& key)
{
    const std::string label = key + ":";
    size_t at = 0;
    while ((at = status.find(label, at)) != std::string::npos) {
        if (at == 0 || status[at - 1] == '\n') {
            char* end = nullptr;
            const long long value = std::strtoll(status.c_str() + at + label.size(), &end, 10);
            return end == status.c_str() + at + label.size() ? -1 : value;
        }
        at += label.size();
    }
    return -1;
}

ProcessSample sampleProcess(int pid)
{
    ProcessSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    sample.cpuTicks = cpuTicksFromStat(readText(base + "/stat"));
    sample.rssKiB = statusValue(readText(base + "/status"), "VmRSS");
    DIR* tasks = opendir((base + "/task").c_str());
    if (tasks == nullptr || sample.cpuTicks < 0 || sample.rssKiB < 0) {
        if (tasks != nullptr)
            closedir(tasks);
        return sample;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string status = readText(base + "/task/" + entry->d_name + "/status");
        const long long voluntary = statusValue(status, "voluntary_ctxt_switches");
        const long long involuntary = statusValue(status, "nonvoluntary_ctxt_switches");
        if (voluntary >= 0 && involuntary >= 0)
            sample.contextSwitches += voluntary + involuntary;
    }
    closedir(tasks);
    sample.ok = true;
    return sample;
}

IdleUsage measureIdleProgram(const std::string& program, int port, int seconds,
                             const std::function<bool(int port)>& prepare)
{
    IdleUsage usage;
    if (port == 0)
        return usage;
    const int pid = startProgram(program, {"-p", std::to_string(port)}, "");
    if (pid < 0)
        return usage;
    // Start-up (the context, the first enumeration, the converters) is not idle time.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (prepare && !prepare(port)) {
        endProgram(pid);
        return usage;
    }
    // Settling after what prepare did (the port enumeration of every greeting) is not idle time either.
    std::this_thread::sleep_for(std::chrono::seconds(prepare ? 2 : 0));
    const ProcessSample before = sampleProcess(pid);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const ProcessSample after = sampleProcess(pid);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool exitedEarly = endProgram(pid);
    if (exitedEarly || !before.ok || !after.ok) {
        std::fprintf(stderr, "%s did not stay up on port %d\n", program.c_str(), port);
        return usage;
    }
    const double cpuSeconds = static_cast<double>(after.cpuTicks - before.cpuTicks) / sysconf(_SC_CLK_TCK);
    usage.cpuPercent = 100.0 * cpuSeconds / wall;
    usage.wakeupsPerSecond = static_cast<double>(after.contextSwitches - before.contextSwitches) / wall;
    usage.rssKiB = after.rssKiB;
    usage.ok = true;
    return usage;
}

int startProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return -1;
    }
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        if (!folder.empty() && chdir(folder.c_str()) != 0)
            _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool endProgram(int pid)
{
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
        return true;
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& folder)
{
    const int pid = startProgram(program, arguments, folder);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
