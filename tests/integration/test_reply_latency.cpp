#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/event_wait.h"
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

// Runs the loop as the program does (a pass, then the wait) for about ms of wall time or until done says so;
// returns the passes made and whether done was reached.
std::pair<int, bool> runLoop(RelayHarness& relay, int ms, const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int passes = 0;
    while (std::chrono::steady_clock::now() < end) {
        relay.server.runPass();
        ++passes;
        if (done())
            return {passes, true};
        relay.server.waitForWork();
    }
    return {passes, false};
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

// The real wait ends for an editor's command, a board's answer and a port that reads again, and otherwise lasts:
// idle, while a port takes nothing, and while a board talks to an editor that has gone. A loop that polled
// instead would make thousands of passes where these make a handful; one that missed a wake-up would take a
// whole wait (a second, as the hand-driven clock stands still) to answer.
TEST(ReplyLatency, TheRealWaitEndsForWorkAndLastsOtherwise)
{
    RelayHarness relay;
    SimulatedBoard* quiet = relay.driver.addBoard("ttyACM0", "vantrel board");
    SimulatedBoard* talker = relay.driver.addBoard("ttyACM1", "vantrel board");
    std::unique_ptr<WebSocketTestClient> editor = relay.connectEditor();
    std::unique_ptr<WebSocketTestClient> leaving = relay.connectEditor();
    const auto roundTrip = [&](WebSocketTestClient& client, const char* port) {
        if (!client.sendText(std::string(R"({"port":")") + port + R"(","payload":{"looptime":1}})"))
            return false;
        const auto started = std::chrono::steady_clock::now();
        const bool answered = runLoop(relay, RelayHarness::timeoutMs, [&] {
                                  for (const std::string& reply : client.poll())
                                      if (reply.rfind(R"({"looptime":)", 0) == 0)
                                          return true;
                                  return false;
                              }).second;
        return answered && std::chrono::steady_clock::now() - started < std::chrono::milliseconds(900);
    };
    const auto never = [] { return false; };
    constexpr int fewPasses = 10;

    EXPECT_TRUE(roundTrip(*editor, "ttyACM0"));
    EXPECT_TRUE(roundTrip(*leaving, "ttyACM1"));
    EXPECT_LE(runLoop(relay, 300, never).first, fewPasses) << "idle";

    relay.driver.setReading("ttyACM0", false);
    ASSERT_TRUE(editor->sendText(R"({"port":"ttyACM0","payload":{"ledtoggle":1}})"));
    EXPECT_TRUE(roundTrip(*leaving, "ttyACM1")) << "the other board is not held up";
    EXPECT_EQ(quiet->countReceived(MT_LED), 0u);
    EXPECT_LE(runLoop(relay, 300, never).first, fewPasses) << "a port that takes nothing";
    relay.driver.setReading("ttyACM0", true);
    EXPECT_TRUE(runLoop(relay, 900, [&] { return quiet->countReceived(MT_LED) == 1; }).second)
        << "the frame leaves once the port reads again";

    ASSERT_TRUE(leaving->close(relay.pump(), RelayHarness::timeoutMs));
    const auto talk = [&] {
        talker->sendRaw({0x55, 0xAA, 0x13});
        return false;
    };
    EXPECT_LE(runLoop(relay, 300, talk).first, fewPasses) << "a board that talks to an editor that has gone";
    EXPECT_EQ(relay.server.eventWait().watchedCount(), 1u) << "only ports that a relay reads are watched";
    EXPECT_TRUE(roundTrip(*editor, "ttyACM0"));

    ASSERT_TRUE(relay.driver.removePort("ttyACM0"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(runLoop(relay, RelayHarness::timeoutMs, [&] {
                    for (const std::string& reply : editor->poll())
                        if (reply.rfind(R"({"ports":)", 0) == 0)
                            return true;
                    return false;
                }).second);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900)) << "an unplug ends the wait";
    relay.server.waitForWork();
    EXPECT_EQ(relay.server.eventWait().watchedCount(), 0u) << "the closed port is no longer watched";
}

// While a board's answer is awaited the loop sleeps beside the library's wait, on the ports and the editors'
// sockets: an editor's command and a new editor are still served in that time, and the sleep lasts (a socket left
// readable would wake it thousands of times).
TEST(ReplyLatency, TheSleepWhileABoardAnswersServesEditorsAndLasts)
{
    RelayHarness relay;
    SimulatedBoard* slow = relay.driver.addBoard("ttyACM0", "vantrel board");
    relay.driver.addBoard("ttyACM1", "vantrel board");
    std::unique_ptr<WebSocketTestClient> editor = relay.connectEditor();
    const auto roundTrip = [&](WebSocketTestClient& client, const char* port) {
        return client.sendText(std::string(R"({"port":")") + port + R"(","payload":{"looptime":1}})") &&
               runLoop(relay, RelayHarness::timeoutMs, [&] {
                   for (const std::string& reply : client.poll())
                       if (reply.rfind(R"({"looptime":)", 0) == 0)
                           return true;
                   return false;
               }).second;
    };
    ASSERT_TRUE(roundTrip(*editor, "ttyACM0"));
    ASSERT_TRUE(roundTrip(*editor, "ttyACM1"));
    relay.driver.setAnswerDelay("ttyACM0", std::chrono::seconds(30));
    ASSERT_TRUE(editor->sendText(R"({"port":"ttyACM0","payload":{"looptime":1}})"));
    ASSERT_TRUE(runLoop(relay, RelayHarness::timeoutMs, [&] { return slow->countReceived(MT_LOOPTIME) == 2; }).second);

    const uint64_t sleepsBefore = relay.server.eventWait().answerSleeps();
    const int passes = runLoop(relay, 300, [] { return false; }).first;
    EXPECT_LE(passes, 300 / EventWait::answerSleepMaxMs + 50) << "a sleep that does not spin";
    EXPECT_GT(relay.server.eventWait().answerSleeps(), sleepsBefore) << "the wait sleeps beside the library";
    EXPECT_TRUE(roundTrip(*editor, "ttyACM1")) << "an editor's command while the board's answer is awaited";
    std::unique_ptr<WebSocketTestClient> late = relay.connectEditor();
    ASSERT_TRUE(late) << "a new editor while the board's answer is awaited";
    EXPECT_TRUE(roundTrip(*late, "ttyACM1"));
    EXPECT_EQ(slow->countReceived(MT_LOOPTIME), 2u);
}

} // namespace
