#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/relay_server.h"
#include "support/fake_serial_driver.h"
#include "support/manual_clock.h"
#include "support/websocket_test_client.h"

// A relay server in the test's own thread, with the real WebSocket library on a free loopback port, simulated
// boards behind a fake serial driver and a hand-driven wall clock. Tests run it pass by pass.
class RelayHarness {
public:
    static constexpr int timeoutMs = 5000;

    // The settings' port is replaced by a free loopback port.
    explicit RelayHarness(RelayServerSettings settings = {});
    ~RelayHarness();

    // Passes of the main loop, each followed by a short sleep.
    void pass(int count = 1);
    WebSocketTestClient::Pump pump();

    // A connected editor whose four greeting messages have been read (returned through greeting when given).
    std::unique_ptr<WebSocketTestClient> connectEditor(std::vector<std::string>* greeting = nullptr);
    // Sends a command and returns the next reply (empty when none arrived in time).
    std::string command(WebSocketTestClient& editor, const std::string& text);
    // Replies that arrive within the given number of passes.
    std::vector<std::string> repliesWithin(WebSocketTestClient& editor, int passes);

    ManualClock clock;
    FakeSerialDriver driver{&clock};
    RelayServer server{driver, clock};
    int port = 0;
};
