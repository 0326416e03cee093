#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "client/configuration_document.h"
#include "client/conversation.h"
#include "client/outcome.h"

// Reads one board's identity and its configuration as the board exports it. For a restore it first clears the
// board's configuration (one reset: every node and every feature), sends the features and nodes to restore and, if
// asked, commits, so that the export read at the end is what the board then holds: the board answers an export only
// after everything queued before it. Made by a command; lives while the connection runs it.
class ConfigurationConversation : public Conversation {
public:
    // Told of each stage passed: "version", "sent", "committed", "exported", with its words.
    using StageListener = std::function<void(const std::string& stage, const std::string& text)>;
    // What a restore sends after the reset: the setFeature and addNode payloads, and whether to commit. Made by
    // the restore command from the file; kept by the conversation.
    struct RestorePlan {
        std::vector<Json::Value> payloads;
        bool commit = false;
    };

    // Without a plan the board's configuration is only read.
    ConfigurationConversation(MessageSender& sender, std::string port, uint64_t timeoutMs,
                              std::optional<RestorePlan> plan, StageListener listener);

    void onMessage(const Json::Value& message, uint64_t nowMs) override;
    void onTime(uint64_t nowMs) override;
    uint64_t nextTimeMs() const override { return deadlineMs; }
    bool finished() const override { return step == Step::done; }
    void onInterrupt(uint64_t nowMs) override;

    const Outcome& outcome() const { return result; }
    // What the board exported, with its identity.
    const ConfigurationDocument& exported() const { return document; }

private:
    enum class Step { version, commit, exportConfiguration, done };

    void versionAnswered();
    void exportAnswered(const Json::Value& message);
    void startExport();
    void fail(ExitStatus status, const std::string& text);
    void waitForAnswer();
    const char* waitedFor() const;
    void report(const std::string& stage, const std::string& text) const;

    MessageSender& sender;
    std::string port;
    uint64_t timeoutMs;
    std::optional<RestorePlan> plan;
    StageListener listener;
    Step step = Step::version;
    uint64_t deadlineMs = 0;
    BoardVersion version;
    bool hasVersion = false;
    ConfigurationDocument document;
    Outcome result;
};
