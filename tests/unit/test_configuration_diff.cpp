#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/configuration_diff.h"
#include "client/configuration_document.h"

namespace {

// A document holding one node (or none, for an empty text) written as the relay exports it.
ConfigurationDocument withNode(const std::string& nodeText)
{
    const std::string text =
        R"({"format":"vantrel-configuration","version":1,"features":[],"nodes":[)" + nodeText + "]}";
    ConfigurationDocument document;
    std::string error;
    EXPECT_TRUE(readDocument(text, document, error)) << error;
    return document;
}

std::vector<std::string> words(const ConfigurationDocument& left, const ConfigurationDocument& right)
{
    std::vector<std::string> lines;
    for (const ConfigurationDifference& difference : compareConfigurations(left, right))
        lines.push_back(difference.words("A", "B"));
    return lines;
}

struct DiffCase {
    const char* left;
    const char* right;
    std::vector<std::string> expected;
};

TEST(ConfigurationDiffTest, DifferencesInWords)
{
    const std::string pid = R"({"id":5,"pos":{"x":1,"y":2},"properties":{"prop_pid_gainP":0.5},"type":"pid"})";
    const DiffCase cases[] = {
        {pid.c_str(), pid.c_str(), {}},
        // The relay writes the real 1 as "1": the spelling of a number is no difference.
        {R"({"id":5,"properties":{"prop_a":1},"type":"mix"})",
         R"({"id":5,"properties":{"prop_a":1.0},"type":"mix"})",
         {}},
        {pid.c_str(),
         R"({"id":5,"pos":{"x":1,"y":3},"properties":{"prop_pid_gainP":0.25},"type":"pid"})",
         {"node 5 (pid): pos.y is 2 in A, 3 in B", "node 5 (pid): prop_pid_gainP is 0.5 in A, 0.25 in B"}},
        {pid.c_str(),
         R"({"id":5,"pos":{"x":1,"y":2},"type":"pid"})",
         {"node 5 (pid): prop_pid_gainP is 0.5 in A, not in B"}},
        {R"({"id":5,"properties":{"prop_source":"#3"},"type":"mix"})",
         pid.c_str(),
         {R"(node 5 (mix): type is "mix" in A, "pid" in B)"}},
        {pid.c_str(), "", {"node 5 (pid) is only in A"}},
        {"", pid.c_str(), {"node 5 (pid) is only in B"}},
        {R"({"id":5,"missingPropertiesFoundOnly":2,"type":"pid"})",
         R"({"id":5,"type":"pid"})",
         {"node 5 (pid): missingPropertiesFoundOnly is 2 in A, not in B"}},
    };
    for (const DiffCase& row : cases)
        EXPECT_EQ(words(withNode(row.left), withNode(row.right)), row.expected) << row.left << " / " << row.right;
}

TEST(ConfigurationDiffTest, DocumentsThatAreNone)
{
    const char* const texts[] = {
        "[1]",
        R"({"format":"vantrel-configuration","version":2,"nodes":[]})",
        R"({"format":"other","version":1})",
        R"({"format":"vantrel-configuration","version":1,"nodes":[{"id":0,"type":"pid"}]})",
        R"({"format":"vantrel-configuration","version":1,"nodes":[{"id":1,"type":"pid"},{"id":1,"type":"mix"}]})",
        R"({"format":"vantrel-configuration","version":1,"features":[{"feature":"gps"},{"feature":"gps"}]})",
    };
    for (const char* text : texts) {
        ConfigurationDocument document;
        std::string error;
        EXPECT_FALSE(readDocument(text, document, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

} // namespace
