#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core/logger.h"

namespace {

namespace fs = std::filesystem;

const LogLevel allLevels[] = {LogLevel::DEBUG,   LogLevel::TRAFFIC, LogLevel::INFO,
                              LogLevel::WARNING, LogLevel::ERROR,   LogLevel::FATAL};

// A fresh logger writing into a file of its own temporary directory.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vantrel_logger_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        path = (directory / "relay.log").string();
        testLogger = std::make_unique<Logger>();
        testLogger->setLogFile(path);
    }

    void TearDown() override { fs::remove_all(directory); }

    std::vector<std::string> fileLines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    static std::string textOf(const std::string& line)
    {
        const size_t marker = line.find("]: ");
        return marker == std::string::npos ? "" : line.substr(marker + 3);
    }

    fs::path directory;
    std::string path;
    std::unique_ptr<Logger> testLogger;
};

} // namespace

TEST(Logger, StartsAtInfoOnStandardOutput)
{
    Logger fresh;
    EXPECT_EQ(fresh.threshold, static_cast<int>(LogLevel::INFO));
    EXPECT_TRUE(fresh.logFile().empty());
}

TEST_F(LoggerTest, LevelsBelowTheThresholdAreDropped)
{
    const int thresholds[] = {0, 1, 2, 4, 8, 16, 32, 33, LOG_THRESHOLD_OFF};
    for (int threshold : thresholds) {
        fs::remove(path);
        testLogger->threshold = threshold;
        std::vector<std::string> expected;
        for (LogLevel level : allLevels) {
            // One text per threshold: the same WARNING or ERROR many times a second would be held back.
            const std::string text =
                "level " + std::to_string(static_cast<int>(level)) + " under " + std::to_string(threshold);
            testLogger->log(level, "%s", text.c_str());
            if (static_cast<int>(level) >= threshold)
                expected.push_back(text);
        }
        std::vector<std::string> texts;
        for (const std::string& line : fileLines())
            texts.push_back(textOf(line));
        EXPECT_EQ(texts, expected) << "threshold " << threshold;
    }
}

TEST_F(LoggerTest, LineFormatWithSevenCharacterLevelNames)
{
    testLogger->threshold = static_cast<int>(LogLevel::DEBUG);
    for (LogLevel level : allLevels)
        testLogger->log(level, "port %s: %d", "ttyACM0", 7);
    const std::vector<std::string> lines = fileLines();
    const char* names[] = {"DEBUG  ", "TRAFFIC", "INFO   ", "WARNING", "ERROR  ", "FATAL  "};
    ASSERT_EQ(lines.size(), 6u);
    const std::regex stamp("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ");
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_search(lines[i], stamp)) << lines[i];
        EXPECT_EQ(lines[i].substr(8), std::string(" [") + names[i] + "]: port ttyACM0: 7");
    }
    EXPECT_STREQ(Logger::levelName(3), "");
    EXPECT_STREQ(Logger::levelName(64), "");
    EXPECT_EQ(Logger::timeStamp().size(), 8u);
}

TEST_F(LoggerTest, LongTextIsCutTo8191Characters)
{
    const std::string text(10000, 'x');
    testLogger->log(LogLevel::INFO, "%s", text.c_str());
    const std::vector<std::string> lines = fileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(textOf(lines[0]), std::string(8191, 'x'));
}

TEST_F(LoggerTest, FileIsAppendedAcrossLoggersAndNothingGoesToStandardOutput)
{
    {
        std::ofstream(path) << "earlier line\n";
    }
    Logger second;
    second.setLogFile(path);
    // Setting the path alone neither creates nor truncates the file.
    EXPECT_EQ(fileLines(), std::vector<std::string>{"earlier line"});

    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::INFO, "first run");
    second.log(LogLevel::INFO, "second run");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::vector<std::string> lines = fileLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_EQ(textOf(lines[1]), "first run");
    EXPECT_EQ(textOf(lines[2]), "second run");
}

TEST_F(LoggerTest, MissingDirectoryFallsBackToStandardOutputAndTriesAgainNextTime)
{
    const fs::path missing = directory / "not-yet";
    testLogger->setLogFile((missing / "relay.log").string());

    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::WARNING, "to the console");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(printed, std::regex("[0-9:]{8} \\[WARNING\\]: to the console\n"))) << printed;

    fs::create_directory(missing);
    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::WARNING, "to the file");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::ifstream in(missing / "relay.log");
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(textOf(line), "to the file");
}

TEST_F(LoggerTest, EmptyPathWritesToStandardOutput)
{
    testLogger->setLogFile("");
    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::ERROR, "%s", "%d %s not a format");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.substr(8), " [ERROR  ]: %d %s not a format\n");
    EXPECT_FALSE(fs::exists(path));
}
