#pragma once

#include <string>
#include <utility>

// The exit statuses of vantrel, as scripts rely on them.
enum class ExitStatus : int {
    success = 0,
    // The board or the write failed (or, for diff, the configurations differ).
    boardFailure = 1,
    usage = 2,
    relayUnreachable = 3,
};

// How a command ended: its exit status and, unless it succeeded, one line that says what went wrong and what to do.
struct Outcome {
    ExitStatus status = ExitStatus::success;
    std::string text;

    static Outcome success() { return {}; }
    static Outcome failure(ExitStatus status, std::string text) { return {status, std::move(text)}; }
    bool succeeded() const { return status == ExitStatus::success; }
};
