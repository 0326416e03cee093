#include <gtest/gtest.h>

#include "device/message_type.h"
#include "support/log_capture.h"
#include "support/relay_harness.h"

namespace {

const std::string refreshOff = R"({"set_auto_refresh_ports":false})";
const std::string refreshOffReply = R"({"autoRefreshPorts":false})";

TEST(Sessions, NewConnectionIsGreetedWithFourMessagesInOrder)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel board");
    LogCapture log;
    std::vector<std::string> greeting;
    auto editor = relay.connectEditor(&greeting);
    ASSERT_EQ(greeting.size(), 4u);
    EXPECT_EQ(greeting[0], R"({"server":"0.1.3"})");
    EXPECT_EQ(greeting[1], R"({"ports":[{"name":"ttyACM0","usbProduct":"vantrel board"}]})");
    EXPECT_EQ(greeting[2], R"({"autoRefreshPorts":true})");
    EXPECT_EQ(greeting[3].rfind(R"({"firmwareFilesList":[)", 0), 0u) << greeting[3];
    EXPECT_TRUE(log.contains("Established connection with 127.0.0.1 (localhost)"));
}

TEST(Sessions, PortThatAppearsWhileIdleReachesEveryEditorAfterAboutASecond)
{
    RelayHarness relay;
    auto first = relay.connectEditor();
    auto second = relay.connectEditor();
    relay.clock.advance(RelayCore::idleMsBeforeRefresh);
    EXPECT_TRUE(relay.repliesWithin(*first, 20).empty()) << "an unchanged enumeration sends nothing";

    relay.driver.addBoard("ttyACM3", "vantrel");
    // The refresh just made waits a second of idle time, however many passes run meanwhile.
    relay.clock.advance(RelayCore::idleMsBeforeRefresh - 1);
    EXPECT_TRUE(relay.repliesWithin(*first, 200).empty());
    relay.clock.advance(1);
    std::vector<std::string> replies = relay.repliesWithin(*first, 20);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], R"({"ports":[{"name":"ttyACM3","usbProduct":"vantrel"}]})");
    std::string secondReply;
    ASSERT_TRUE(second->receiveText(secondReply, relay.pump(), RelayHarness::timeoutMs));
    EXPECT_EQ(secondReply, replies[0]);
}

TEST(Sessions, NoRefreshWhileSwitchedOff)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    EXPECT_EQ(relay.command(*editor, refreshOff), refreshOffReply);
    relay.driver.addBoard("ttyACM3", "vantrel");
    relay.clock.advance(3 * RelayCore::idleMsBeforeRefresh);
    EXPECT_TRUE(relay.repliesWithin(*editor, 50).empty());
}

TEST(Sessions, UnpluggedOpenBoardIsClosedAndTheNewListBroadcast)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel");
    auto editor = relay.connectEditor();
    editor->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.repliesWithin(*editor, 20);
    ASSERT_NE(relay.server.relays().findRelayByName("ttyACM0"), nullptr);

    LogCapture log;
    relay.driver.removePort("ttyACM0");
    std::vector<std::string> replies = relay.repliesWithin(*editor, 5);
    EXPECT_TRUE(log.contains("Closed port ttyACM0"));
    EXPECT_EQ(relay.server.relays().size(), 0u);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], R"({"ports":[]})");
}

TEST(Sessions, ClosingAConnectionDropsItsRelaysAndRepliesButKeepsThePortOpen)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel")->setSilent(true);
    auto editor = relay.connectEditor();
    editor->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);
    ASSERT_EQ(relay.server.relays().size(), 1u);
    Connection* connection =
        relay.server.sessions().findConnection(relay.server.relays().findRelayByName("ttyACM0")->editor);
    editor->stopReading();
    for (int i = 0; i < 50; ++i)
        relay.server.sessions().queueResponse(connection, std::string(3000, 'x'));

    LogCapture log;
    editor->disconnect();
    for (int i = 0; i < 200 && !relay.server.sessions().connections().empty(); ++i)
        relay.pass(1);
    EXPECT_EQ(relay.server.relays().size(), 0u);
    EXPECT_EQ(relay.server.sessions().connections().size(), 0u);
    EXPECT_EQ(relay.server.ports().openPorts().size(), 1u);
    EXPECT_TRUE(log.contains("Closed connection with 127.0.0.1 (localhost)"));

    auto next = relay.connectEditor();
    next->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);
    EXPECT_EQ(relay.server.relays().size(), 1u);
    EXPECT_EQ(relay.driver.counters().opens, 1) << "the port stayed open for the next editor";
}

TEST(Sessions, TheLaterCommandBindsThePortToItsConnection)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel");
    auto first = relay.connectEditor();
    auto second = relay.connectEditor();
    first->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);
    const EditorId firstConnection = relay.server.relays().findRelayByName("ttyACM0")->editor;
    second->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);
    Relay* bound = relay.server.relays().findRelayByName("ttyACM0");
    ASSERT_NE(bound, nullptr);
    EXPECT_NE(bound->editor, firstConnection);
    EXPECT_EQ(relay.server.relays().size(), 1u);
}

TEST(Sessions, NameThatCannotBeOpenedRebindsAnExistingRelayButCreatesNone)
{
    RelayHarness relay;
    relay.driver.addBoard("ttyACM0", "vantrel");
    auto first = relay.connectEditor();
    auto second = relay.connectEditor();
    first->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);

    LogCapture log;
    for (int i = 0; i < 20; ++i)
        second->sendText(R"({"port":"random)" + std::to_string(i) + R"(","payload":{}})");
    relay.pass(20);
    EXPECT_EQ(relay.server.relays().size(), 1u);
    EXPECT_TRUE(log.contains("Could not find port random3"));

    relay.driver.setOpenFails("ttyACM0", true);
    relay.server.ports().closeAllPorts();
    first->sendText(R"({"port":"ttyACM0","payload":{}})");
    relay.pass(5);
    EXPECT_EQ(relay.server.relays().size(), 0u) << "closing the port destroyed its relay";
}

TEST(Sessions, CommandSplitAcrossTwoMessagesRunsOnceWhenComplete)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    editor->sendText(R"({"set_auto_refresh_)");
    EXPECT_TRUE(relay.repliesWithin(*editor, 5).empty());
    editor->sendText(R"(ports":false})");
    EXPECT_EQ(relay.repliesWithin(*editor, 5), (std::vector<std::string>{refreshOffReply}));
}

TEST(Sessions, CommandInFragmentsOfOneMessageRunsOnce)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    editor->sendFragmented({R"({"set_auto)", R"(_refresh_ports")", R"(:false})"});
    EXPECT_EQ(relay.repliesWithin(*editor, 10), (std::vector<std::string>{refreshOffReply}));
}

TEST(Sessions, MalformedTextDoesNotBlockTheNextCommand)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    // The last is a whole command, but nested deeper than the reader goes: it must not run (it would answer
    // with the flag on).
    const std::string tooDeep =
        R"({"set_auto_refresh_ports":true,"x":)" + std::string(1001, '[') + std::string(1001, ']') + "}";
    // The next command comes in two messages, so it needs the bad text gone, not just passed over; a comment in
    // front of a value that has closed holds nothing back.
    for (const std::string& bad : {std::string(R"({"a":1,})"), std::string("garbage"), std::string(R"({"port": ])"),
                                   tooDeep, std::string("/**/[1,x]"), std::string("// [\r]")}) {
        editor->sendText(bad);
        editor->sendText(refreshOff.substr(0, 10));
        EXPECT_EQ(relay.command(*editor, refreshOff.substr(10)), refreshOffReply) << bad;
    }
    // An incomplete text is dropped when a message arrives that stands on its own.
    editor->sendText(R"({"port":)");
    EXPECT_EQ(relay.command(*editor, refreshOff), refreshOffReply);
    // Also when joining would read the command into an unfinished string.
    editor->sendText(R"("ab)");
    EXPECT_EQ(relay.command(*editor, refreshOff), refreshOffReply);
}

TEST(Sessions, DeepNestingAndOverlongTextAreDiscardedSafely)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    LogCapture log;
    editor->sendText(std::string(100000, '['));
    EXPECT_EQ(relay.command(*editor, refreshOff), refreshOffReply);

    const std::string chunk = "{\"pad\":\"" + std::string(200000, 'p');
    for (int i = 0; i < 6; ++i) {
        editor->sendText(i == 0 ? chunk : std::string(200000, 'p'));
        ASSERT_TRUE(editor->flush(relay.pump(), RelayHarness::timeoutMs));
    }
    // The library hands the text over in socket-read pieces, a few kilobytes per pass.
    relay.pass(400);
    EXPECT_TRUE(
        log.contains("from 127.0.0.1 (localhost): more than 1048576 bytes held without forming a JSON command"));
    EXPECT_EQ(relay.command(*editor, refreshOff), refreshOffReply);
}

TEST(Sessions, TwoEditorsSendingPiecesAtTheSameTimeBothGetTheirCommandsRun)
{
    RelayHarness relay;
    auto first = relay.connectEditor();
    auto second = relay.connectEditor();
    first->sendText(R"({"set_auto_refresh_ports")");
    second->sendText(R"({"firmware_file_list)");
    relay.pass(5);
    first->sendText(R"(:false})");
    second->sendText(R"(_refresh":1})");
    std::string firstReply;
    std::string secondReply;
    ASSERT_TRUE(first->receiveText(firstReply, relay.pump(), RelayHarness::timeoutMs));
    ASSERT_TRUE(second->receiveText(secondReply, relay.pump(), RelayHarness::timeoutMs));
    EXPECT_EQ(firstReply, refreshOffReply);
    EXPECT_EQ(secondReply.rfind(R"({"firmwareFilesList":)", 0), 0u);
}

TEST(Sessions, RepliesLargerThanTheLimitAreRefusedAndTheNextOneSent)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    Connection* connection = relay.server.sessions().connections().at(0);
    // Far more than one socket write (a full board's configuration dump) still goes out whole.
    const std::string fits = "\"" + std::string(Sessions::maxReplyBytes - 2, 'a') + "\"";
    const std::string tooLarge = "\"" + std::string(Sessions::maxReplyBytes - 1, 'b') + "\"";
    LogCapture log;
    // Replies that leave together in one write, at each size where a frame's length takes another form.
    std::vector<std::string> expected;
    for (const size_t size : {125, 126, 65535, 65536})
        expected.push_back("\"" + std::string(size - 2, static_cast<char>('c' + expected.size())) + "\"");
    expected.push_back(fits);
    expected.push_back("{}");
    for (const std::string& reply : expected) {
        if (reply == "{}")
            relay.server.sessions().queueResponse(connection, tooLarge);
        relay.server.sessions().queueResponse(connection, reply);
    }
    std::vector<std::string> received;
    for (int pass = 0; pass < 2000 && received.size() < expected.size(); ++pass)
        for (std::string& reply : relay.repliesWithin(*editor, 1))
            received.push_back(std::move(reply));
    EXPECT_TRUE(received == expected) << received.size() << " replies";
    EXPECT_TRUE(log.contains("is longer than the relay sends"));
}

// Progress waits a moment for company: a reply that may not wait takes it along in order, and alone it leaves once
// its time has come, the wait between passes ending for it.
TEST(Sessions, HeldProgressLeavesInOrderAndOnItsOwn)
{
    RelayHarness relay;
    auto editor = relay.connectEditor();
    Sessions& sessions = relay.server.sessions();
    Connection* connection = sessions.connections().at(0);
    const std::string progress = R"({"port":"ttyACM0","romWrite":50.0})";
    const auto receive = [&](size_t count) {
        std::vector<std::string> received;
        for (int pass = 0; pass < 2000 && received.size() < count; ++pass)
            for (std::string& reply : relay.repliesWithin(*editor, 1))
                received.push_back(std::move(reply));
        return received;
    };
    sessions.queueResponse(connection, progress);
    EXPECT_LE(sessions.msUntilHeldRepliesDue(), 5u);
    sessions.queueResponse(connection, "{}");
    EXPECT_EQ(sessions.msUntilHeldRepliesDue(), UINT64_MAX);
    EXPECT_EQ(receive(2), (std::vector<std::string>{progress, "{}"}));
    sessions.queueResponse(connection, progress);
    EXPECT_EQ(receive(1), std::vector<std::string>{progress});
    // Given in pieces, a progress reply takes the room of a longer reply already sent: none of its bytes show.
    const std::string longer(200, 'x');
    sessions.queueResponse(connection, "\"" + longer + "\"");
    EXPECT_EQ(receive(1), std::vector<std::string>{"\"" + longer + "\""});
    sessions.queueProgress(connection, R"({"port":"ttyACM0","romVerify":)", "7.5}");
    EXPECT_LE(sessions.msUntilHeldRepliesDue(), 5u);
    EXPECT_EQ(receive(1), std::vector<std::string>{R"({"port":"ttyACM0","romVerify":7.5})"});
}

// A connection that stops reading holds back only its own replies; their order is kept for it.
TEST(Sessions, SlowReaderDoesNotStopOtherEditors)
{
    RelayHarness relay;
    auto slow = relay.connectEditor();
    auto fast = relay.connectEditor();
    Sessions& sessions = relay.server.sessions();
    Connection* slowConnection = sessions.connections().at(0);
    Connection* fastConnection = sessions.connections().at(1);
    slow->stopReading();

    // Far more than the socket buffers hold, so the backlog stays in the relay.
    const int count = 2500;
    const std::string filler(4000, 'z');
    int received = 0;
    for (int i = 0; i < count; ++i) {
        sessions.queueResponse(slowConnection, "[" + std::to_string(i) + ",\"" + filler + "\"]");
        sessions.queueResponse(fastConnection, std::to_string(i));
        relay.server.runPass();
        for (const std::string& reply : fast->poll())
            EXPECT_EQ(reply, std::to_string(received++));
    }
    for (int i = 0; i < 500 && received < count; ++i) {
        relay.pass(1);
        for (const std::string& reply : fast->poll())
            EXPECT_EQ(reply, std::to_string(received++));
    }
    EXPECT_EQ(received, count);
    EXPECT_GT(sessions.queuedReplies(slowConnection), 0u) << "the slow reader's backlog should wait in the relay";

    slow->resumeReading();
    int slowReceived = 0;
    std::string reply;
    while (slowReceived < count && slow->receiveText(reply, relay.pump(), RelayHarness::timeoutMs)) {
        ASSERT_EQ(reply.rfind("[" + std::to_string(slowReceived) + ",", 0), 0u);
        ++slowReceived;
    }
    EXPECT_EQ(slowReceived, count);

    // Beyond its budget the oldest progress goes first and the other replies keep their order; an editor whose
    // other replies alone pass it is closed, and the others are still served.
    slow->stopReading();
    LogCapture log;
    for (size_t i = 0; i <= Sessions::maxQueuedReplies; ++i) {
        sessions.queueResponse(slowConnection, R"({"port":"ttyACM0","romWrite":)" + std::to_string(i) + "}");
        if (i % 1000 == 0)
            sessions.queueResponse(slowConnection, std::to_string(i));
    }
    std::vector<std::string> others;
    for (const std::string& pending : sessions.pendingReplies(slowConnection))
        if (pending[0] != '{')
            others.push_back(pending);
    EXPECT_EQ(others.size(), Sessions::maxQueuedReplies / 1000 + 1);
    EXPECT_EQ(others.at(0), "0");
    EXPECT_EQ(sessions.pendingReplies(slowConnection).back(),
              R"({"port":"ttyACM0","romWrite":)" + std::to_string(Sessions::maxQueuedReplies) + "}");
    EXPECT_LE(sessions.queuedReplies(slowConnection), Sessions::maxQueuedReplies);
    const std::string large(64 * 1024, 'L');
    for (size_t bytes = 0; bytes <= Sessions::maxQueuedReplyBytes; bytes += large.size()) {
        sessions.queueResponse(slowConnection, large);
        ASSERT_LE(sessions.queuedReplyBytes(slowConnection), Sessions::maxQueuedReplyBytes);
    }
    EXPECT_EQ(sessions.queuedReplies(slowConnection), 0u) << "the replies of a closed connection are released";
    EXPECT_TRUE(log.contains("Closing the connection with 127.0.0.1 (localhost): it does not read its replies"));
    for (int i = 0; i < 200 && sessions.connections().size() > 1; ++i)
        relay.pass(1);
    EXPECT_EQ(sessions.connections(), std::vector<Connection*>{fastConnection});
    EXPECT_EQ(relay.command(*fast, refreshOff), refreshOffReply);
}

// Connections that neither read nor answer lock out every later one of their address until they are pinged and
// give no pong; an editor that reads answers the pings by itself and stays.
TEST(Sessions, ConnectionsThatAnswerNoPingGiveTheirPlacesBack)
{
    RelayServerSettings settings;
    settings.pingAfterSilenceSeconds = 1;
    settings.closeAfterPingSeconds = 1;
    RelayHarness relay(settings);
    auto reading = relay.connectEditor();
    std::vector<std::unique_ptr<WebSocketTestClient>> dead;
    for (size_t i = 0; i < ConnectionGate::maxConnectionsPerPeer; ++i) {
        dead.push_back(std::make_unique<WebSocketTestClient>());
        dead.back()->setSourceAddress("127.0.0.3");
        ASSERT_TRUE(dead.back()->connect(relay.port, "vantrel-configurator", relay.pump(), RelayHarness::timeoutMs));
        dead.back()->stopReading();
    }
    WebSocketTestClient lockedOut;
    lockedOut.setSourceAddress("127.0.0.3");
    EXPECT_FALSE(lockedOut.connect(relay.port, "vantrel-configurator", relay.pump(), RelayHarness::timeoutMs));

    Sessions& sessions = relay.server.sessions();
    for (int i = 0; i < 40000 && sessions.connections().size() > 1; ++i) {
        relay.pass(1);
        reading->poll();
    }
    EXPECT_EQ(sessions.connections().size(), 1u);
    EXPECT_EQ(relay.command(*reading, refreshOff), refreshOffReply) << "the editor that reads stays connected";
    WebSocketTestClient fresh;
    fresh.setSourceAddress("127.0.0.3");
    EXPECT_TRUE(fresh.connect(relay.port, "vantrel-configurator", relay.pump(), RelayHarness::timeoutMs));
}

// The protocol that carries the ports' descriptors into the library's poll is no way in for an editor.
TEST(Sessions, NoEditorSpeaksThePortWaitProtocol)
{
    RelayHarness relay;
    WebSocketTestClient client;
    EXPECT_FALSE(client.connect(relay.port, EventWait::protocolName, relay.pump(), RelayHarness::timeoutMs));
    EXPECT_TRUE(relay.server.sessions().connections().empty());
}

} // namespace
