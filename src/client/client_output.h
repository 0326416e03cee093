#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "client/outcome.h"

// Where a command's words go: results and stages on standard output (one JSON object a line with --json), a
// failure as one line on standard error (and, with --json, also as an object on standard output). Made once by
// main; lives for the whole run.
class ClientOutput {
public:
    explicit ClientOutput(bool json);

    bool json() const { return jsonLines; }
    // Standard output is a terminal that shows a progress bar (never with --json).
    bool terminal() const { return isTerminal; }
    void line(const std::string& text) const;
    // One JSON object on one line.
    void event(const Json::Value& object) const;
    // Written as it is, for a terminal's redrawn lines.
    void raw(const std::string& text) const;
    void failure(const Outcome& outcome) const;

private:
    bool jsonLines;
    bool isTerminal;
};

// Seconds with two decimals ("0.52").
std::string secondsText(double seconds);
// A wait in words: "10 s", "0.5 s".
std::string durationText(uint64_t ms);
// KiB with one decimal ("256.0").
std::string kibText(double bytes);
// The rows under their headings in aligned columns, one line each (the last column is not padded).
std::vector<std::string> tableLines(const std::vector<std::string>& headings,
                                    const std::vector<std::vector<std::string>>& rows);
