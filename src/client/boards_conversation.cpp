#include "client/boards_conversation.h"

#include <algorithm>

#include "client/client_output.h"

BoardsConversation::BoardsConversation(MessageSender& sender, const std::vector<ListedPort>& ports, uint64_t timeoutMs)
    : deadlineMs(steadyMs() + timeoutMs), timeoutMs(timeoutMs)
{
    for (const ListedPort& port : ports) {
        order.push_back(port.name);
        answers[port.name].listed = port;
        sender.send(boardCommand(port.name, commandPayload("getVersion")));
    }
}

void BoardsConversation::onMessage(const Json::Value& message, uint64_t)
{
    const auto found = answers.find(replyPort(message));
    if (found == answers.end() || found->second.settled)
        return;
    BoardAnswer& answer = found->second;
    std::string failure;
    if (failureText(message, failure)) {
        answer.failure = failure;
        answer.settled = true;
    } else if (readBoardVersion(message, answer.version)) {
        answer.hasVersion = true;
    } else if (message.isMember("requestBootloaderStatus") && answer.hasVersion) {
        answer.settled = true;
    }
}

void BoardsConversation::onTime(uint64_t)
{
    for (auto& entry : answers) {
        BoardAnswer& answer = entry.second;
        if (answer.settled)
            continue;
        answer.settled = true;
        // A version without the rest is an answer all the same.
        if (!answer.hasVersion)
            answer.failure = "no answer within " + durationText(timeoutMs);
    }
}

bool BoardsConversation::finished() const
{
    return std::all_of(answers.begin(), answers.end(), [](const auto& entry) { return entry.second.settled; });
}
