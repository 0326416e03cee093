#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/configuration_conversation.h"
#include "client/configuration_diff.h"
#include "client/configuration_document.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"
#include "client/restore_translation.h"
#include "core/whole_file.h"

namespace {

// Written whole or not at all: a new file beside the old one, then renamed over it.
bool writeFileWhole(const std::string& path, const std::string& text)
{
    const std::string partial = path + ".partial";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file << text;
        if (!file.flush()) {
            std::remove(partial.c_str());
            return false;
        }
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

Outcome readDocumentFile(const std::string& path, ConfigurationDocument& document)
{
    std::string text;
    if (!readWholeFile(path, text))
        return Outcome::failure(ExitStatus::usage, "cannot read " + path + ": give the path of a configuration file");
    std::string error;
    if (!readDocument(text, document, error))
        return Outcome::failure(ExitStatus::usage, path + " " + error);
    return Outcome::success();
}

// A stage of one board as a line, or as an event with --json.
ConfigurationConversation::StageListener stageLines(const ClientOutput& output, const std::string& port)
{
    return [&output, port](const std::string& stage, const std::string& text) {
        if (output.json()) {
            Json::Value event(Json::objectValue);
            event["event"] = "stage";
            event["port"] = port;
            event["stage"] = stage;
            event["text"] = text;
            output.event(event);
        } else {
            output.line(port + ": " + text);
        }
    };
}

// Connects and reads the board's configuration (restoring the plan first, when there is one).
Outcome readBoard(const CommandContext& context, const std::string& port,
                  std::optional<ConfigurationConversation::RestorePlan> plan,
                  const ConfigurationConversation::StageListener& listener, ConfigurationDocument& document)
{
    RelayConnection relay(context.url, context.options.token, context.options.timeoutMs, context.options.caFile);
    Outcome outcome = relay.open();
    if (outcome.succeeded())
        outcome = relay.checkListed(port);
    if (!outcome.succeeded())
        return outcome;
    ConfigurationConversation conversation(relay, port, context.options.timeoutMs, std::move(plan), listener);
    outcome = relay.run(conversation);
    if (!outcome.succeeded())
        return outcome;
    document = conversation.exported();
    return conversation.outcome();
}

bool isFile(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string countsText(const ConfigurationDocument& document)
{
    return std::to_string(document.features.size()) + " features and " + std::to_string(document.nodes.size()) +
           " nodes";
}

} // namespace

Outcome runBackup(const CommandContext& context)
{
    const std::string& port = context.options.arguments[0];
    const std::string& path = context.options.output;
    ConfigurationDocument document;
    // The document alone goes to standard output; with a file, the stages are shown.
    const auto listener = path.empty() ? ConfigurationConversation::StageListener() : stageLines(context.output, port);
    Outcome read = readBoard(context, port, std::nullopt, listener, document);
    if (!read.succeeded())
        return read;
    const std::string text = documentText(document);
    if (path.empty()) {
        context.output.raw(text);
        return Outcome::success();
    }
    if (!writeFileWhole(path, text))
        return Outcome::failure(ExitStatus::boardFailure,
                                "cannot write " + path + ": choose a file in a folder you may write to");
    listener("saved", "saved " + countsText(document) + " to " + path);
    return Outcome::success();
}

Outcome runRestore(const CommandContext& context)
{
    const std::string& port = context.options.arguments[0];
    const std::string& path = context.options.arguments[1];
    ConfigurationDocument wanted;
    Outcome readFromFile = readDocumentFile(path, wanted);
    if (!readFromFile.succeeded())
        return readFromFile;
    ConfigurationConversation::RestorePlan plan;
    plan.commit = context.options.commit;
    std::string error;
    for (const auto& feature : wanted.features) {
        Json::Value payload;
        if (!setFeaturePayload(feature.second, payload, error))
            return Outcome::failure(ExitStatus::usage, error.insert(0, path + ": "));
        plan.payloads.push_back(payload);
    }
    for (const auto& node : wanted.nodes) {
        Json::Value payload;
        if (!addNodePayload(node.second, payload, error))
            return Outcome::failure(ExitStatus::usage, error.insert(0, path + ": "));
        plan.payloads.push_back(payload);
    }
    const auto listener = stageLines(context.output, port);
    ConfigurationDocument held;
    Outcome restored = readBoard(context, port, plan, listener, held);
    if (!restored.succeeded())
        return restored;
    const std::vector<ConfigurationDifference> differences = compareConfigurations(wanted, held);
    if (!differences.empty())
        return Outcome::failure(
            ExitStatus::boardFailure,
            port + " does not hold what " + path + " says: " + differences.front().words(path, "the board") +
                (differences.size() > 1 ? " (and " + std::to_string(differences.size() - 1) + " more differences)"
                                        : ""));
    listener("restored", "holds exactly " + path + " (" + countsText(wanted) + ")");
    return Outcome::success();
}

Outcome runDiff(const CommandContext& context)
{
    ConfigurationDocument sides[2];
    for (int side = 0; side < 2; ++side) {
        const std::string& source = context.options.arguments[side];
        // A file by that name is a file; anything else names a board.
        Outcome read = isFile(source) ? readDocumentFile(source, sides[side])
                                      : readBoard(context, source, std::nullopt, nullptr, sides[side]);
        if (!read.succeeded())
            return read;
    }
    const std::string& leftName = context.options.arguments[0];
    const std::string& rightName = context.options.arguments[1];
    const std::vector<ConfigurationDifference> differences = compareConfigurations(sides[0], sides[1]);
    if (context.output.json()) {
        Json::Value list(Json::arrayValue);
        for (const ConfigurationDifference& difference : differences)
            list.append(difference.toJson());
        context.output.event(list);
    } else {
        for (const ConfigurationDifference& difference : differences)
            context.output.line(difference.words(leftName, rightName));
    }
    if (differences.empty())
        return Outcome::success();
    return Outcome::failure(ExitStatus::boardFailure, leftName + " and " + rightName + " differ in " +
                                                          std::to_string(differences.size()) + " places");
}
