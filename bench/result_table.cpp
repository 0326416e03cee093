#include "bench/result_table.h"

#include <algorithm>

void ResultTable::add(const std::string& figure, const std::string& measured, const std::string& target, bool met)
{
    rows.push_back(Row{figure, measured, target, met ? Verdict::Pass : Verdict::Miss});
}

void ResultTable::info(const std::string& figure, const std::string& measured)
{
    rows.push_back(Row{figure, measured, "", Verdict::None});
}

void ResultTable::failed(const std::string& figure, const std::string& why)
{
    rows.push_back(Row{figure, why, "", Verdict::Miss});
}

bool ResultTable::allMet() const
{
    return std::none_of(rows.begin(), rows.end(), [](const Row& row) { return row.verdict == Verdict::Miss; });
}

void ResultTable::print(std::FILE* out) const
{
    size_t figureWidth = 6;
    size_t measuredWidth = 8;
    size_t targetWidth = 6;
    for (const Row& row : rows) {
        figureWidth = std::max(figureWidth, row.figure.size());
        measuredWidth = std::max(measuredWidth, row.measured.size());
        targetWidth = std::max(targetWidth, row.target.size());
    }
    const auto line = [&](const std::string& figure, const std::string& measured, const std::string& target,
                          const char* result) {
        std::fprintf(out, "| %-*s | %-*s | %-*s | %-6s |\n", static_cast<int>(figureWidth), figure.c_str(),
                     static_cast<int>(measuredWidth), measured.c_str(), static_cast<int>(targetWidth), target.c_str(),
                     result);
    };
    line("Figure", "Measured", "Target", "Result");
    std::fprintf(out, "|%s|%s|%s|--------|\n", std::string(figureWidth + 2, '-').c_str(),
                 std::string(measuredWidth + 2, '-').c_str(), std::string(targetWidth + 2, '-').c_str());
    for (const Row& row : rows)
        line(row.figure, row.measured, row.target,
             row.verdict == Verdict::Pass   ? "PASS"
             : row.verdict == Verdict::Miss ? "MISS"
                                            : "");
}
