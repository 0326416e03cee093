#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The rows of a benchmark report: a figure, what was measured, and, for figures with a target, the target and
// whether it was met.
class ResultTable {
public:
    void add(const std::string& figure, const std::string& measured, const std::string& target, bool met);
    // A figure without a target, shown for context.
    void info(const std::string& figure, const std::string& measured);
    // A figure that could not be measured counts as missed.
    void failed(const std::string& figure, const std::string& why);

    bool allMet() const;
    void print(std::FILE* out) const;

private:
    enum class Verdict { None, Pass, Miss };
    struct Row {
        std::string figure;
        std::string measured;
        std::string target;
        Verdict verdict;
    };

    std::vector<Row> rows;
};
