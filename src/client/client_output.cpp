#include "client/client_output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "client/relay_messages.h"
#include "json/compact_json_writer.h"

ClientOutput::ClientOutput(bool json) : jsonLines(json), isTerminal(!json && isatty(STDOUT_FILENO) == 1) {}

void ClientOutput::line(const std::string& text) const
{
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void ClientOutput::event(const Json::Value& object) const { line(CompactJsonWriter().write(object)); }

void ClientOutput::raw(const std::string& text) const
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void ClientOutput::failure(const Outcome& outcome) const
{
    // Usage mistakes name the command themselves ("vantrel flash: ...").
    const std::string text = oneLine(outcome.text);
    std::fputs(
        ((text.compare(0, 8, "vantrel ") == 0 || text.compare(0, 8, "vantrel:") == 0 ? "" : "vantrel: ") + text + "\n")
            .c_str(),
        stderr);
    if (jsonLines) {
        Json::Value error(Json::objectValue);
        error["error"] = oneLine(outcome.text);
        error["status"] = static_cast<int>(outcome.status);
        event(error);
    }
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string kibText(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", bytes / 1024.0);
    return text;
}

std::string durationText(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::vector<std::string> tableLines(const std::vector<std::string>& headings,
                                    const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths;
    widths.reserve(headings.size());
    for (const std::string& heading : headings)
        widths.push_back(heading.size());
    for (const auto& row : rows)
        for (size_t column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    const auto format = [&widths](const std::vector<std::string>& row) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size() && column < widths.size())
                line.append(widths[column] + 2 - row[column].size(), ' ');
        }
        return line;
    };
    std::vector<std::string> lines{format(headings)};
    for (const auto& row : rows)
        lines.push_back(format(row));
    return lines;
}
