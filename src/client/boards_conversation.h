#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/conversation.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"

// One listed board and what it answered. Made for every listed port; lives as long as the command.
struct BoardAnswer {
    ListedPort listed;
    BoardVersion version;
    bool hasVersion = false;
    // Answered in full (the version conversation ends with the bootloader status) or given up.
    bool settled = false;
    std::string failure;
};

// Asks every board for its version at once and waits for all the answers, each within the time-out. Made by the
// boards command (and by a fleet rollout for the boards of one relay whose versions it needs); lives as long as it.
class BoardsConversation : public Conversation {
public:
    BoardsConversation(MessageSender& sender, const std::vector<ListedPort>& ports, uint64_t timeoutMs);

    void onMessage(const Json::Value& message, uint64_t nowMs) override;
    void onTime(uint64_t nowMs) override;
    uint64_t nextTimeMs() const override { return deadlineMs; }
    bool finished() const override;
    void onInterrupt(uint64_t nowMs) override { onTime(nowMs); }

    std::map<std::string, BoardAnswer> answers;
    // The ports as the relay lists them.
    std::vector<std::string> order;

private:
    uint64_t deadlineMs;
    uint64_t timeoutMs;
};
