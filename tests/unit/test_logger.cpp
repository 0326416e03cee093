#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/logger.h"

namespace {

namespace fs = std::filesystem;

std::string repeated(const std::string& text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

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

    std::vector<std::string> fileTexts() const
    {
        std::vector<std::string> texts;
        for (const std::string& line : fileLines())
            texts.push_back(textOf(line));
        return texts;
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
        // A fresh logger each time, so that no call site runs out of its allowance.
        testLogger = std::make_unique<Logger>();
        testLogger->setLogFile(path);
        testLogger->threshold = threshold;
        std::vector<std::string> expected;
        for (LogLevel level : allLevels) {
            const std::string text =
                "level " + std::to_string(static_cast<int>(level)) + " under " + std::to_string(threshold);
            testLogger->log(level, "%s", text.c_str());
            if (static_cast<int>(level) >= threshold)
                expected.push_back(text);
        }
        EXPECT_EQ(fileTexts(), expected) << "threshold " << threshold;
    }
}

TEST_F(LoggerTest, LineFormatWithSevenCharacterLevelNames)
{
    // The local time of day, as a clock on the wall shows it.
    const auto wallClock = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[16];
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
        return std::string(text);
    };
    // An afternoon hour whenever the test runs, where a 12-hour clock would differ.
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    const char* zone = std::getenv("TZ");
    const std::string previousZone = zone != nullptr ? zone : "";
    setenv("TZ", ("TST-" + std::to_string((15 - utc.tm_hour + 24) % 24)).c_str(), 1);
    tzset();
    testLogger->threshold = static_cast<int>(LogLevel::DEBUG);
    const std::string before = wallClock();
    for (LogLevel level : allLevels)
        testLogger->log(level, "port %s: %d", "ttyACM0", 7);
    const std::string after = wallClock();
    if (zone != nullptr)
        setenv("TZ", previousZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    const std::vector<std::string> lines = fileLines();
    const char* names[] = {"DEBUG  ", "TRAFFIC", "INFO   ", "WARNING", "ERROR  ", "FATAL  "};
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string stamp = lines[i].substr(0, 8);
        EXPECT_TRUE(stamp == before || stamp == after) << lines[i] << " written between " << before << " and " << after;
        EXPECT_EQ(lines[i].substr(8), std::string(" [") + names[i] + "]: port ttyACM0: 7");
    }
    EXPECT_STREQ(Logger::levelName(3), "");
    EXPECT_STREQ(Logger::levelName(64), "");
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
    // Opening the file keeps what it holds.
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

TEST_F(LoggerTest, RefusedTargetFallsBackToStandardOutputWithOneWarning)
{
    const fs::path fifo = directory / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string target;
        std::string reason;
    } targets[] = {
        {(directory / "not-yet" / "relay.log").string(), "No such file or directory"},
        // Without a reader: opening it for writing would wait for one.
        {fifo.string(), "not a regular file"},
        {"/dev/full", "not a regular file"},
        {directory.string(), "not a regular file"},
    };
    for (const auto& row : targets) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        testLogger->setLogFile(row.target);
        testLogger->log(LogLevel::WARNING, "to the console");
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string warned = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(std::regex_match(printed, std::regex("[0-9:]{8} \\[WARNING\\]: to the console\n"))) << printed;
        EXPECT_EQ(warned.substr(8),
                  " [WARNING]: Cannot log to " + row.target + ": " + row.reason + "; logging to standard output\n");
        EXPECT_EQ(testLogger->logFile(), "");
    }
    // Opened once: a folder that appears later changes nothing.
    fs::create_directory(directory / "not-yet");
    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::WARNING, "still to the console");
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists(directory / "not-yet" / "relay.log"));
}

TEST_F(LoggerTest, WriteFailuresAreReportedOnceUntilTheFileTakesLinesAgain)
{
    testLogger->log(LogLevel::INFO, "written");
    // The logger's own descriptor of the file, turned into a full disk and back.
    int descriptor = -1;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == fs::canonical(path))
            descriptor = std::stoi(entry.path().filename().string());
    }
    ASSERT_GE(descriptor, 0);
    const int saved = dup(descriptor);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    const std::string warning = " [WARNING]: Cannot write the log to " + path +
                                ": No space left on device; lines are lost until it can be written again\n";
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(dup2(full, descriptor), descriptor);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        for (int line = 0; line < 3; ++line)
            testLogger->log(LogLevel::INFO, "lost %d", line);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        const std::string warned = testing::internal::GetCapturedStderr();
        EXPECT_EQ(warned.size() > 8 ? warned.substr(8) : warned, warning) << "round " << round;
        ASSERT_EQ(dup2(saved, descriptor), descriptor);
        testLogger->log(LogLevel::INFO, "written again");
    }
    close(full);
    close(saved);
    EXPECT_EQ(fileTexts(), (std::vector<std::string>{"written", "written again", "written again"}));
}

TEST_F(LoggerTest, EachCallSiteHasItsOwnBudgetWhateverItsTexts)
{
    // Unique long texts from one call site at each level; only INFO, WARNING and ERROR are budgeted.
    const struct {
        LogLevel level;
        bool budgeted;
    } rows[] = {{LogLevel::DEBUG, false},  {LogLevel::TRAFFIC, false}, {LogLevel::INFO, true},
                {LogLevel::WARNING, true}, {LogLevel::ERROR, true},    {LogLevel::FATAL, false}};
    const int sent = 1000;
    testLogger->threshold = static_cast<int>(LogLevel::DEBUG);
    for (const auto& row : rows) {
        std::ofstream(path, std::ios::trunc);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < sent; ++i)
            testLogger->log(row.level, "Could not find port %d%s", i, std::string(200, 'x').c_str());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::vector<std::string> printed = fileTexts();
        const int level = static_cast<int>(row.level);
        if (!row.budgeted) {
            EXPECT_EQ(printed.size(), static_cast<size_t>(sent)) << level;
            continue;
        }
        // What the time taken may have earned back on a slow machine.
        const int bound = Logger::burstLines + static_cast<int>(seconds * Logger::linesPerSecond) + 1;
        ASSERT_GE(printed.size(), static_cast<size_t>(Logger::burstLines)) << level;
        EXPECT_LE(printed.size(), static_cast<size_t>(bound)) << level;
        EXPECT_EQ(printed.front(), "Could not find port 0" + std::string(200, 'x'));
        // Another call site still has its own allowance.
        testLogger->log(row.level, "Closed port %s", "ttyACM0");
        testLogger->reportSuppressedNow();
        const std::vector<std::string> after = fileTexts();
        ASSERT_EQ(after.size(), printed.size() + 2) << level;
        EXPECT_EQ(after[printed.size()], "Closed port ttyACM0");
        // The first line held back is the example.
        EXPECT_EQ(after.back(), std::to_string(sent - printed.size()) +
                                    " more lines like this were suppressed: Could not find port " +
                                    std::to_string(Logger::burstLines) + std::string(200, 'x'));
        EXPECT_NE(fileLines().back().find(" [WARNING]: "), std::string::npos);
    }
    // With nothing held back, no report.
    std::ofstream(path, std::ios::trunc);
    testLogger->log(LogLevel::ERROR, "Closed port %s", "ttyACM1");
    testLogger->reportSuppressedNow();
    EXPECT_EQ(fileTexts(), std::vector<std::string>{"Closed port ttyACM1"});
}

TEST_F(LoggerTest, HeldBackLinesAreReportedASecondLaterAndTheAllowanceComesBack)
{
    testLogger->threshold = static_cast<int>(LogLevel::DEBUG);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < Logger::burstLines + 3; ++i)
        testLogger->log(LogLevel::INFO, "ttyACM0: No firmware write to cancel %d", i);
    const std::string report = "3 more lines like this were suppressed: ttyACM0: No firmware write to cancel " +
                               std::to_string(Logger::burstLines);
    // Any later line brings the report once its second is over, long before a stop would.
    const auto deadline = start + std::chrono::seconds(3);
    std::vector<std::string> texts;
    const auto reported = [&] { return std::find(texts.begin(), texts.end(), report) != texts.end(); };
    while (!reported() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        testLogger->log(LogLevel::DEBUG, "tick");
        texts = fileTexts();
    }
    ASSERT_TRUE(reported());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_GE(texts.size(), static_cast<size_t>(Logger::burstLines + 1));
    EXPECT_EQ(texts[static_cast<size_t>(Logger::burstLines) - 1],
              "ttyACM0: No firmware write to cancel " + std::to_string(Logger::burstLines - 1));
    // A second earned some lines back.
    testLogger->log(LogLevel::INFO, "ttyACM0: No firmware write to cancel %s", "again");
    EXPECT_EQ(fileTexts().back(), "ttyACM0: No firmware write to cancel again");
}

TEST(LogName, LongNamesAreCutAt128BytesWithoutSplittingACharacter)
{
    const std::string ellipsis = "\xE2\x80\xA6";
    const std::string e = "\xC3\xA9";
    const std::string euro = "\xE2\x82\xAC";
    const struct {
        std::string name;
        std::string shown;
    } rows[] = {
        {"", ""},
        {"ttyACM0", "ttyACM0"},
        {std::string(128, 'x'), std::string(128, 'x')},
        {std::string(129, 'x'), std::string(128, 'x') + ellipsis},
        {std::string(8192, 'x'), std::string(128, 'x') + ellipsis},
        // Two-byte characters: the 128th byte ends one, the 129th would split one.
        {repeated(e, 100), repeated(e, 64) + ellipsis},
        {"a" + repeated(e, 100), "a" + repeated(e, 63) + ellipsis},
        // A three-byte character whose first byte is the 127th.
        {std::string(126, 'x') + euro + "tail", std::string(126, 'x') + ellipsis},
        // Bytes that are no UTF-8 at all are still cut.
        {std::string(300, '\x80'), std::string(125, '\x80') + ellipsis},
    };
    for (const auto& row : rows)
        EXPECT_EQ(logName(row.name), row.shown) << row.name.size() << " bytes";
}

TEST_F(LoggerTest, EmptyPathWritesToStandardOutput)
{
    testLogger->setLogFile("");
    testing::internal::CaptureStdout();
    testLogger->log(LogLevel::ERROR, "%s", "%d %s not a format");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.substr(8), " [ERROR  ]: %d %s not a format\n");
    EXPECT_EQ(fs::file_size(path), 0u);
}
