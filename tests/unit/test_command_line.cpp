#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/logger.h"

namespace {

struct Args {
    explicit Args(std::vector<std::string> words) : storage(std::move(words))
    {
        for (const std::string& w : storage)
            pointers.push_back(w.c_str());
    }
    int argc() const { return static_cast<int>(pointers.size()); }
    const char* const* argv() const { return pointers.data(); }
    std::vector<std::string> storage;
    std::vector<const char*> pointers;
};

TEST(CommandLineOption, LookupRules)
{
    struct Case {
        std::vector<std::string> args;
        const char* option;
        bool present;
        std::string expected;
    } cases[] = {
        {{"relay", "-p8080"}, "-p", true, "8080"},
        {{"relay", "-p=8080"}, "-p", true, "8080"},
        {{"relay", "-p", "8080"}, "-p", true, "8080"},
        {{"relay", "-p", "1", "-p", "2"}, "-p", true, "2"},
        {{"relay", "-p"}, "-p", true, ""},
        {{"relay", "-p", "-l", "3"}, "-p", true, "-l"},
        {{"relay", "-hx"}, "-h", true, "x"},
        {{"relay"}, "-h", false, ""},
        {{"-p9"}, "-p", false, ""},
        {{"relay", "-p", std::string(1025, '9')}, "-p", false, ""},
        {{"relay", "-p", std::string(1024, '9')}, "-p", true, std::string(1024, '9')},
    };
    for (const Case& c : cases) {
        Args args(c.args);
        const char* value = findCommandLineOption(args.argc(), args.argv(), c.option);
        if (!c.present) {
            EXPECT_EQ(value, nullptr) << c.args.back().substr(0, 16);
        } else {
            ASSERT_NE(value, nullptr) << c.args.back().substr(0, 16);
            EXPECT_EQ(std::string(value), c.expected);
        }
    }
}

TEST(CommandLine, Settings)
{
    struct Case {
        std::vector<std::string> args;
        bool usage, version, portValid;
        int port, threshold;
        bool tls;
    } cases[] = {
        {{"r", "-v", "-h"}, true, false, true, 7681, 4, false},
        {{"r", "-h", "-p", "1"}, true, false, true, 7681, 4, false},
        {{"r", "-v"}, false, true, true, 7681, 4, false},
        {{"r", "-p", "1024"}, false, false, false, 1024, 4, false},
        {{"r", "-p", "65536"}, false, false, false, 65536, 4, false},
        {{"r", "-p"}, false, false, false, 0, 4, false},
        {{"r", "-p", "1025", "-l", "0"}, false, false, true, 1025, LOG_THRESHOLD_OFF, false},
        {{"r", "-p65535", "-l", "abc"}, false, false, true, 65535, 4, false},
        {{"r", "-l", "7"}, false, false, true, 7681, 4, false},
        {{"r", "-l", "-1"}, false, false, true, 7681, 4, false},
        {{"r", "-l", "6", "-s"}, false, false, true, 7681, 1, true},
        {{"r", "-l3"}, false, false, true, 7681, 8, false},
        {{"r", "-l", "debug"}, false, false, true, 7681, 1, false},
        {{"r", "-l", "Warn"}, false, false, true, 7681, 8, false},
        {{"r", "-l", "off"}, false, false, true, 7681, LOG_THRESHOLD_OFF, false},
        {{"r", "-p", "8080x"}, false, false, false, 8080, 4, false},
    };
    for (const Case& c : cases) {
        Args args(c.args);
        const CommandLineSettings s = readCommandLine(args.argc(), args.argv());
        EXPECT_EQ(s.showUsage, c.usage) << c.args[1];
        EXPECT_EQ(s.showVersion, c.version) << c.args[1];
        EXPECT_EQ(s.portValid, c.portValid) << c.args[1];
        if (!c.usage && !c.version) {
            EXPECT_EQ(s.port, c.port) << c.args[1];
            if (c.portValid) {
                EXPECT_EQ(s.logThreshold, c.threshold) << c.args[1];
                EXPECT_EQ(s.tls, c.tls) << c.args[1];
            }
        }
    }
}

TEST(CommandLine, EmptyValuesAreNotedForTheirWarnings)
{
    Args args({"r", "-f", "-l"});
    const CommandLineSettings s = readCommandLine(args.argc(), args.argv());
    EXPECT_TRUE(s.logThresholdValueMissing);
    EXPECT_EQ(s.logThreshold, 4);
    Args fileLast({"r", "-f"});
    EXPECT_TRUE(readCommandLine(fileLast.argc(), fileLast.argv()).logFileValueMissing);
    Args withFile({"r", "-f", "relay.log"});
    EXPECT_EQ(readCommandLine(withFile.argc(), withFile.argv()).logFile, "relay.log");
}

TEST(CommandLineOption, RepeatableOptionCollectsEveryOccurrence)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    } cases[] = {
        {{"r"}, {}},
        {{"r", "-o", "https://a.example", "-o", "http://localhost:8080"},
         {"https://a.example", "http://localhost:8080"}},
        {{"r", "-ohttps://a.example", "-o=https://b.example", "-p", "8080"},
         {"https://a.example", "https://b.example"}},
        // A value is not searched again: "-o -o x" names "-o" and leaves "x" over.
        {{"r", "-o", "-o", "x"}, {"-o"}},
        {{"r", "-o", "a", "-o"}, {"a", ""}},
        {{"r", "-o", std::string(1025, 'a'), "-o", "b"}, {"b"}},
    };
    for (const Case& c : cases) {
        Args args(c.args);
        EXPECT_EQ(findAllCommandLineOptions(args.argc(), args.argv(), "-o"), c.expected) << c.args.size();
    }
}

TEST(CommandLine, ArgumentsTheProgramCannotUseAreNamedWithWhatTheyMayMean)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> mistakes;
    } cases[] = {
        {{"r", "-p", "8080", "-l", "6", "-s", "-o", "https://a.example", "-a", "robot", "-ohttps://b.example"}, {}},
        {{"r", "--port", "8080"}, {"Ignoring '--port 8080': vantrelRelay has no such option; did you mean '-p 8080'?"}},
        {{"r", "--log-level=debug"},
         {"Ignoring '--log-level=debug': vantrelRelay has no such option; did you mean '-l debug'?"}},
        {{"r", "--tls"}, {"Ignoring '--tls': vantrelRelay has no such option; did you mean '-s'?"}},
        {{"r", "-x"},
         {"Ignoring '-x': vantrelRelay has no such option (its options: -h -v -p -l -f -s -C -K -i -o -a -m -r -M "
          "-A)"}},
        {{"r", "-m", "mqtt://broker", "-r", "lab", "-M", "-A", "ca.pem"}, {}},
        {{"r", "--broker", "mqtt://b"},
         {"Ignoring '--broker mqtt://b': vantrelRelay has no such option; did you mean '-m mqtt://b'?"}},
        {{"r", "-p", "7000", "stray"},
         {"Ignoring 'stray': it is no option of vantrelRelay and follows none that takes a value"}},
        {{"r", "-l", "loud"},
         {"-l loud is no log level: give 0 to 6, or off, fatal, error, warning, info, traffic or debug; logging "
          "at info"}},
        // A value is taken even when it looks like an option, as the lookup takes it.
        {{"r", "-p", "-l", "3"}, {}},
    };
    for (const Case& c : cases) {
        Args args(c.args);
        EXPECT_EQ(readCommandLine(args.argc(), args.argv()).mistakes, c.mistakes) << c.args[1];
    }
    Args simulator({"sim", "-n", "3", "-d", "10", "-q"});
    EXPECT_EQ(unknownArguments(simulator.argc(), simulator.argv(), {{"-n", true}, {"-d", true}}, "sim"),
              std::vector<std::string>{"Ignoring '-q': sim has no such option (its options: -n -d)"});
}

TEST(CommandLine, NetworkOptions)
{
    Args args({"r", "-o", "https://a.example", "-i", "::1", "-o", "", "-o", "https://b.example", "-C", "c.pem", "-m",
               "mqtts://u@b", "-M", "-r", "lab", "-A", "ca.pem"});
    const CommandLineSettings s = readCommandLine(args.argc(), args.argv());
    EXPECT_EQ(s.brokerUrl, "mqtts://u@b");
    EXPECT_EQ(s.relayName, "lab");
    EXPECT_EQ(s.brokerCaFile, "ca.pem");
    EXPECT_TRUE(s.brokerCommands);
    EXPECT_EQ(s.allowedOrigins, (std::vector<std::string>{"https://a.example", "https://b.example"}));
    EXPECT_TRUE(s.originValueMissing);
    EXPECT_EQ(s.listenAddress, "::1");
    EXPECT_TRUE(s.certificateGiven);
    EXPECT_EQ(s.certificateFile, "c.pem");
    EXPECT_FALSE(s.keyGiven);
    Args none({"r"});
    const CommandLineSettings defaults = readCommandLine(none.argc(), none.argv());
    EXPECT_TRUE(defaults.allowedOrigins.empty());
    EXPECT_TRUE(defaults.listenAddress.empty());
    EXPECT_FALSE(defaults.certificateGiven || defaults.keyGiven || defaults.listenAddressValueMissing);
    EXPECT_FALSE(defaults.brokerCommands || !defaults.brokerUrl.empty());
}

} // namespace
