#include "client/configuration_conversation.h"

#include <utility>

#include "client/client_output.h"
#include "client/relay_messages.h"
#include "json/compact_json_writer.h"

ConfigurationConversation::ConfigurationConversation(MessageSender& sender, std::string port, uint64_t timeoutMs,
                                                     std::optional<RestorePlan> plan, StageListener listener)
    : sender(sender), port(std::move(port)), timeoutMs(timeoutMs), plan(std::move(plan)), listener(std::move(listener))
{
    sender.send(boardCommand(this->port, commandPayload("getVersion")));
    waitForAnswer();
}

void ConfigurationConversation::waitForAnswer() { deadlineMs = steadyMs() + timeoutMs; }

void ConfigurationConversation::report(const std::string& stage, const std::string& text) const
{
    if (listener)
        listener(stage, text);
}

void ConfigurationConversation::fail(ExitStatus status, const std::string& text)
{
    result = Outcome::failure(status, port + ": " + text);
    step = Step::done;
}

void ConfigurationConversation::onMessage(const Json::Value& message, uint64_t)
{
    if (step == Step::done || replyPort(message) != port)
        return;
    std::string failure;
    if (failureText(message, failure)) {
        fail(ExitStatus::boardFailure, failure);
        return;
    }
    // Every answer of the board shows it is still there: the wait starts anew.
    waitForAnswer();
    switch (step) {
    case Step::version:
        if (readBoardVersion(message, version))
            hasVersion = true;
        else if (message.isMember("requestBootloaderStatus") && hasVersion)
            versionAnswered();
        break;
    case Step::commit:
        if (message.isMember("configCommit")) {
            const Json::Value& commitReply = message["configCommit"];
            report("committed", "committed (" + CompactJsonWriter().write(commitReply["nodeCount"]) + " nodes, " +
                                    CompactJsonWriter().write(commitReply["memorySize"]) + " bytes)");
            startExport();
        }
        break;
    case Step::exportConfiguration: exportAnswered(message); break;
    case Step::done: break;
    }
}

void ConfigurationConversation::versionAnswered()
{
    if (version.bootloader) {
        fail(ExitStatus::boardFailure, "the board runs its bootloader, which holds no configuration: start its "
                                       "application first (a finished 'vantrel flash' does)");
        return;
    }
    document.board = boardIdentity(version);
    report("version", "firmware " + version.firmware + ", serial " + version.serial);
    if (!plan) {
        startExport();
        return;
    }
    sender.send(boardCommand(port, commandPayload("resetConfig", 1)));
    size_t features = 0;
    for (const Json::Value& payload : plan->payloads) {
        features += payload.isMember("setFeature") ? 1 : 0;
        sender.send(boardCommand(port, payload));
    }
    report("sent", "cleared; sent " + std::to_string(features) + " features and " +
                       std::to_string(plan->payloads.size() - features) + " nodes");
    if (plan->commit) {
        sender.send(boardCommand(port, commandPayload("commitConfig")));
        step = Step::commit;
        return;
    }
    startExport();
}

void ConfigurationConversation::startExport()
{
    sender.send(boardCommand(port, commandPayload("exportConfig", 0)));
    step = Step::exportConfiguration;
    waitForAnswer();
}

void ConfigurationConversation::exportAnswered(const Json::Value& message)
{
    if (message["exportFeature"].isObject()) {
        const Json::Value& feature = message["exportFeature"];
        document.features[feature["feature"].asString()] = feature;
    } else if (message["exportNode"].isObject()) {
        const Json::Value& node = message["exportNode"];
        document.nodes[node["id"].asInt()] = node;
    } else if (message["exportCommit"].isObject()) {
        const Json::Value& count = message["exportCommit"]["nodeCount"];
        if (count.isIntegral() && count.asLargestInt() != static_cast<Json::LargestInt>(document.nodes.size())) {
            fail(ExitStatus::boardFailure, "the board said it exported " + CompactJsonWriter().write(count) +
                                               " nodes but sent " + std::to_string(document.nodes.size()) +
                                               ": export again");
            return;
        }
        report("exported", "exported " + std::to_string(document.features.size()) + " features and " +
                               std::to_string(document.nodes.size()) + " nodes");
        step = Step::done;
    }
}

const char* ConfigurationConversation::waitedFor() const
{
    switch (step) {
    case Step::version: return "the version request";
    case Step::commit: return "the commit";
    default: return "the export";
    }
}

void ConfigurationConversation::onTime(uint64_t)
{
    if (step != Step::done)
        fail(ExitStatus::boardFailure, std::string("no answer to ") + waitedFor() + " within " +
                                           durationText(timeoutMs) +
                                           ": is the board still there? (a longer --timeout may help)");
}

void ConfigurationConversation::onInterrupt(uint64_t)
{
    if (step != Step::done)
        fail(ExitStatus::boardFailure, "interrupted");
}
