#include "client/client_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// One option: its names, whether a value follows, and the commands that take it (empty: every command).
struct OptionRow {
    const char* longName;
    const char* shortName;
    bool takesValue;
    const char* commands;
};

const OptionRow optionRows[] = {
    {"--relay", nullptr, true, ""},
    {"--token", nullptr, true, ""},
    {"--timeout", nullptr, true, ""},
    {"--ca", nullptr, true, ""},
    {"--json", nullptr, false, ""},
    {"--help", "-h", false, ""},
    {"--all", nullptr, false, "flash"},
    {"--output", "-o", true, "backup"},
    {"--commit", nullptr, false, "restore"},
    {"--node", nullptr, true, "monitor"},
    {"--traffic", nullptr, false, "monitor"},
    {"--broker", nullptr, true, "fleet"},
    {"--where", nullptr, true, "fleet"},
    {"--stage", nullptr, true, "fleet"},
    {"--max-failures", nullptr, true, "fleet"},
};

const char* const commandNames[] = {"boards", "flash", "backup", "restore", "diff", "monitor", "fleet"};

const char* const commonOptionsText =
    "Options of every command:\n"
    "  --relay URL     the relay's address (default ws://localhost:7681/)\n"
    "  --token TOKEN   the relay's access token, needed from other machines "
    "(default: the VANTREL_TOKEN variable)\n"
    "  --timeout S     seconds to wait for each answer (default 10)\n"
    "  --ca FILE       trust this certificate for wss:// (the relay's relay-tls.crt); for fleet, the CA\n"
    "                  certificates that vouch for an mqtts:// broker\n"
    "  --json          JSON output for scripts\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 success, 1 the board or the write failed, 2 a usage mistake, "
    "3 the relay (for fleet: the broker) cannot be reached.\n";

bool isCommand(const std::string& word)
{
    for (const char* name : commandNames) {
        if (word == name)
            return true;
    }
    return false;
}

const OptionRow* findOption(const std::string& name)
{
    for (const OptionRow& row : optionRows) {
        if (name == row.longName || (row.shortName != nullptr && name == row.shortName))
            return &row;
    }
    return nullptr;
}

bool belongsTo(const OptionRow& row, const std::string& command)
{
    return row.commands[0] == '\0' || command == row.commands;
}

std::string seeHelp(const std::string& command)
{
    return "see 'vantrel " + (command.empty() ? std::string() : command + " ") + "--help'";
}

Outcome mistake(const std::string& command, const std::string& text)
{
    return Outcome::failure(ExitStatus::usage,
                            "vantrel" + (command.empty() ? "" : " " + command) + ": " + text + "; " + seeHelp(command));
}

bool readSeconds(const std::string& text, uint64_t& ms)
{
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0 && seconds <= 86400))
        return false;
    ms = static_cast<uint64_t>(std::llround(seconds * 1000.0));
    return ms > 0;
}

// "10%" (a share of the matching boards, above 0 and at most 100) or "5" (a count from 1).
bool readStage(const std::string& text, ClientOptions& options)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str())
        return false;
    if (std::strcmp(end, "%") == 0) {
        options.stagePercent = value;
        options.stageCount = 0;
        return value > 0 && value <= 100;
    }
    options.stageCount = static_cast<size_t>(value);
    return *end == '\0' && value >= 1 && value <= 1e6 && std::floor(value) == value;
}

bool readCount(const std::string& text, size_t& count)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0)
        return false;
    count = static_cast<size_t>(value);
    return true;
}

bool readNodeId(const std::string& text, int& id)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 65535)
        return false;
    id = static_cast<int>(value);
    return true;
}

Outcome applyOption(const OptionRow& row, const std::string& value, ClientOptions& options)
{
    const std::string name = row.longName;
    if (name == "--timeout")
        options.timeoutGiven = true;
    if (name == "--relay")
        options.relay = value;
    else if (name == "--token")
        options.token = value;
    else if (name == "--ca")
        options.caFile = value;
    else if (name == "--timeout" && !readSeconds(value, options.timeoutMs))
        return mistake(options.command,
                       "--timeout takes seconds above 0 (for example --timeout 30), not '" + value + "'");
    else if (name == "--broker")
        options.broker = value;
    else if (name == "--where")
        options.where.push_back(value);
    else if (name == "--stage" && !readStage(value, options))
        return mistake(options.command, "--stage takes a share of the matching boards (10%) or a count of boards "
                                        "(5), not '" +
                                            value + "'");
    else if (name == "--max-failures" && !readCount(value, options.maxFailures))
        return mistake(options.command, "--max-failures takes a count of boards from 0, not '" + value + "'");
    else if (name == "--json")
        options.json = true;
    else if (name == "--help")
        options.help = true;
    else if (name == "--all")
        options.all = true;
    else if (name == "--output")
        options.output = value;
    else if (name == "--commit")
        options.commit = true;
    else if (name == "--traffic")
        options.traffic = true;
    else if (name == "--node") {
        int id = 0;
        if (!readNodeId(value, id))
            return mistake(options.command, "--node takes a node id from 1 to 65535, not '" + value + "'");
        options.nodes.push_back(id);
    }
    return Outcome::success();
}

// How many arguments each command takes.
Outcome checkArguments(const ClientOptions& options)
{
    const std::string& command = options.command;
    const size_t count = options.arguments.size();
    if (command == "boards" && count != 0)
        return mistake(command, "takes no arguments");
    if (command == "flash" && options.all && count != 1)
        return mistake(command, "with --all give only the firmware file");
    if (command == "flash" && !options.all && count < 2)
        return mistake(command, "give the board's port (or several, or --all) and then the firmware file");
    if ((command == "backup" || command == "monitor") && count != 1)
        return mistake(command, "give one board's port");
    if (command == "restore" && count != 2)
        return mistake(command, "give the board's port and the configuration file");
    if (command == "diff" && count != 2)
        return mistake(command, "give two configurations: a port and a file, or two files");
    if (command == "fleet") {
        const std::string what = count == 0 ? "" : options.arguments[0];
        if (what != "boards" && what != "rollout" && what != "watch")
            return mistake(command, "give what to do: boards, rollout FILE or watch");
        if (count != (what == "rollout" ? 2u : 1u))
            return mistake(command, what == "rollout" ? "rollout takes the firmware file"
                                                      : what + " takes no further arguments");
        if (what != "rollout" && !options.where.empty())
            return mistake(command, "--where chooses the boards of a rollout only");
    }
    return Outcome::success();
}

} // namespace

Outcome parseClientOptions(int argc, const char* const* argv, const char* environmentToken, ClientOptions& options)
{
    options = ClientOptions();
    if (environmentToken != nullptr)
        options.token = environmentToken;
    bool onlyArguments = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (onlyArguments || word == "-" || word.empty() || word[0] != '-') {
            if (options.command.empty() && !onlyArguments) {
                if (!isCommand(word))
                    return mistake("", "'" + word +
                                           "' is no command (boards, flash, backup, restore, diff, monitor, fleet)");
                options.command = word;
            } else {
                options.arguments.push_back(word);
            }
            continue;
        }
        if (word == "--") {
            onlyArguments = true;
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const OptionRow* row = findOption(name);
        if (row == nullptr)
            return mistake(options.command, "there is no option " + name);
        if (!belongsTo(*row, options.command))
            return mistake(options.command, name + " is an option of 'vantrel " + row->commands + "' only");
        std::string value;
        if (row->takesValue) {
            if (equals != std::string::npos)
                value = word.substr(equals + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return mistake(options.command, name + " needs a value");
        } else if (equals != std::string::npos) {
            return mistake(options.command, name + " takes no value");
        }
        Outcome applied = applyOption(*row, value, options);
        if (!applied.succeeded())
            return applied;
    }
    if (options.help)
        return Outcome::success();
    if (options.command.empty())
        return mistake("", "give a command (boards, flash, backup, restore, diff, monitor, fleet)");
    return checkArguments(options);
}

std::string usageText(const std::string& command)
{
    std::string text;
    if (command == "boards")
        text = "Usage: vantrel boards [--json]\n\n"
               "Lists the boards the relay offers, asks each for its version and prints port, USB product, firmware\n"
               "version, whether it runs its bootloader or its application, serial and flash size. Exits with 1 when\n"
               "a board does not answer.\n";
    else if (command == "flash")
        text = "Usage: vantrel flash PORT... FILE\n"
               "       vantrel flash --all FILE\n\n"
               "Writes the firmware FILE (a file on this machine) into the boards: asks each board's version, checks\n"
               "the size, switches the board to its bootloader and waits for it, writes and verifies the image,\n"
               "starts the application and asks the version again. Several boards are written at once; a table of\n"
               "port, result and seconds ends the output. On a terminal a progress bar shows the bytes verified,\n"
               "the speed and the time left; otherwise one line per stage; --json prints one JSON object per event.\n"
               "  --all           every board the relay lists\n";
    else if (command == "backup")
        text = "Usage: vantrel backup PORT [-o FILE]\n\n"
               "Saves the board's whole configuration (its identity and firmware version, every feature and every\n"
               "node as the board exports them) as one JSON document (\"format\": \"vantrel-configuration\").\n"
               "Two backups of one board compare equal with diff.\n"
               "  -o, --output FILE   write the document to FILE instead of standard output\n";
    else if (command == "restore")
        text = "Usage: vantrel restore PORT FILE [--commit]\n\n"
               "Makes the board hold exactly the configuration of FILE: clears the board's configuration (every\n"
               "node and every feature), sets every feature and adds every node of FILE, exports again and compares.\n"
               "Fails, naming the first difference, unless the board holds exactly what FILE says.\n"
               "  --commit        commit the configuration on the board, so that it stays after a restart\n";
    else if (command == "diff")
        text = "Usage: vantrel diff PORT FILE\n"
               "       vantrel diff FILE FILE\n\n"
               "Says what differs between two configurations, node by node and field by field: a board's (an\n"
               "argument that is no file is taken as a port) and a file's, or two files'. The boards' identities are\n"
               "not compared. Exits with 0 when they are the same, 1 when they differ.\n";
    else if (command == "monitor")
        text = "Usage: vantrel monitor PORT [--node ID]... [--traffic]\n\n"
               "Shows the live values of the given nodes (without --node, the board's loop time every second)\n"
               "until Ctrl+C; --json prints one JSON object a line.\n"
               "  --node ID       watch this node's value (repeat for more nodes)\n"
               "  --traffic       also show every message to and from the board\n";
    else if (command == "fleet")
        text = "Usage: vantrel fleet [--broker URL] boards\n"
               "       vantrel fleet [--broker URL] rollout FILE [--where TERM]... [--stage 10%|N] [--max-failures N]\n"
               "       vantrel fleet [--broker URL] watch\n\n"
               "Works on every board of every relay linked to the MQTT broker. boards lists them (a relay that is\n"
               "offline is shown as such); watch prints their events until Ctrl+C (or --timeout); rollout writes the\n"
               "firmware FILE into the boards that match every --where, in stages, each stage in parallel, and\n"
               "stops after a stage with more failed writes than --max-failures.\n"
               "  --broker URL         mqtt://[user@]host[:port] or mqtts://... (default mqtt://localhost); the\n"
               "                       password comes from the file named by VANTREL_MQTT_PASSWORD_FILE\n"
               "  --where TERM         version<1.4.2 (also <= = != >= >), relay=NAME, port=NAME, product~TEXT,\n"
               "                       state=, mode=; = and != compare whole words, ~ looks for a piece\n"
               "  --stage 10%|N        a stage's share of the matching boards, or its count (default 10%)\n"
               "  --max-failures N     failed writes a stage may have before the rollout stops (default 0)\n";
    else
        text = "Usage: vantrel COMMAND [ARGUMENTS] [OPTIONS]\n\n"
               "Drives vantrel boards through a running vantrel relay.\n\n"
               "Commands:\n"
               "  boards                       list the boards with their versions\n"
               "  flash PORT... FILE           write a firmware file (--all: into every board)\n"
               "  backup PORT [-o FILE]        save the board's configuration\n"
               "  restore PORT FILE [--commit] make the board hold a saved configuration\n"
               "  diff PORT FILE, diff FILE FILE  compare configurations\n"
               "  monitor PORT [--node ID]...  show live values until Ctrl+C\n"
               "  fleet boards|rollout FILE|watch  every relay's boards through an MQTT broker\n\n"
               "'vantrel COMMAND --help' describes one command.\n";
    return text + "\n" + commonOptionsText;
}
