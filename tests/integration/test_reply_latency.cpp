#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/message_type.h"
#include "support/relay_harness.h"

namespace {

// Replies that reach the editor within about half a second while the relay makes no pass at all.
std::vector<std::string> repliesWithoutPasses(WebSocketTestClient& editor)
{
    std::vector<std::string> replies;
    for (int i = 0; i < 500 && replies.empty(); ++i) {
        for (std::string& reply : editor.poll())
            replies.push_back(std::move(reply));
        usleep(1000);
    }
    return replies;
}

// A reply made from what the relay read from a board leaves in the pass that read it: the editor gets it with no
// further pass.
TEST(ReplyLatency, ReplyLeavesInThePassThatReadTheBoard)
{
    struct Case {
        const char* name;
        // Brings the board to the point where its answer waits to be read; true when it got there.
        std::function<bool(RelayHarness&, WebSocketTestClient&, SimulatedBoard&)> provoke;
        const char* replyStart;
    };
    // Passes until the board has received a message of this type, so that its answer waits for the next pass.
    const auto boardReceives = [](RelayHarness& relay, SimulatedBoard& board, uint16_t type) {
        for (int i = 0; i < 1000 && board.countReceived(type) == 0; ++i)
            relay.server.runPass();
        return board.countReceived(type) == 1;
    };
    const Case cases[] = {
        {"looptime",
         [&](RelayHarness& relay, WebSocketTestClient& editor, SimulatedBoard& board) {
             return editor.sendText(R"({"port":"ttyACM0","payload":{"looptime":1}})") &&
                    boardReceives(relay, board, MT_LOOPTIME);
         },
         R"({"looptime":100,"memorysize":)"},
        {"configDump",
         [&](RelayHarness& relay, WebSocketTestClient& editor, SimulatedBoard& board) {
             return editor.sendText(R"({"port":"ttyACM0","payload":{"configDump":1}})") &&
                    boardReceives(relay, board, MT_CONFIG_DUMP);
         },
         R"({"configDump":{"nodes":[]},"portName":"ttyACM0"})"},
        {"version, the first of three answers",
         [&](RelayHarness& relay, WebSocketTestClient& editor, SimulatedBoard& board) {
             return editor.sendText(R"({"port":"ttyACM0","payload":{"getVersion":1}})") &&
                    boardReceives(relay, board, MT_VERSION);
         },
         R"({"flags":0,"flashsize":128,)"},
        {"port list after an unplug",
         [&](RelayHarness& relay, WebSocketTestClient& editor, SimulatedBoard& board) {
             if (!editor.sendText(R"({"port":"ttyACM0","payload":{"ledtoggle":1}})") ||
                 !boardReceives(relay, board, MT_LED))
                 return false;
             // The acknowledgement of the toggle is read and answered with nothing.
             relay.server.runPass();
             if (!repliesWithoutPasses(editor).empty())
                 return false;
             return relay.driver.removePort("ttyACM0");
         },
         R"({"ports":[]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelayHarness relay;
        SimulatedBoard* board = relay.driver.addBoard("ttyACM0", "vantrel board");
        std::unique_ptr<WebSocketTestClient> editor = relay.connectEditor();
        ASSERT_TRUE(c.provoke(relay, *editor, *board));

        relay.server.runPass();
        const std::vector<std::string> replies = repliesWithoutPasses(*editor);
        ASSERT_FALSE(replies.empty()) << "the reply waits for another pass";
        EXPECT_EQ(replies[0].rfind(c.replyStart, 0), 0u) << replies[0];
    }
}

// Replies keep the order of the commands when the board's answers and the editor's next commands interleave in
// the same passes.
TEST(ReplyLatency, EveryAnswerOfAQuickBoardKeepsItsPlaceWhileCommandsArrive)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel board");
    std::unique_ptr<WebSocketTestClient> editor = relay.connectEditor();
    const int count = 200;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(editor->sendText(R"({"port":"ttyACM0","payload":{"looptime":1}})"));
        ASSERT_TRUE(editor->sendText(R"({"port":"ttyACM0","payload":{"configDump":1}})"));
    }
    std::vector<std::string> replies;
    std::string reply;
    while (replies.size() < 2 * count && editor->receiveText(reply, relay.pump(), RelayHarness::timeoutMs))
        replies.push_back(reply);
    ASSERT_EQ(replies.size(), 2u * count);
    for (size_t i = 0; i < replies.size(); ++i) {
        const char* expected = i % 2 == 0 ? R"({"looptime":)" : R"({"configDump":)";
        ASSERT_EQ(replies[i].rfind(expected, 0), 0u) << "reply " << i << ": " << replies[i];
    }
}

} // namespace
