#include "support/relay_harness.h"

#include <unistd.h>

#include <stdexcept>

#include "support/loopback_port.h"

RelayHarness::RelayHarness(RelayServerSettings settings)
{
    port = freeLoopbackPort();
    settings.port = port;
    if (!server.start(settings))
        throw std::runtime_error("relay server did not start");
}

RelayHarness::~RelayHarness() { server.stop(); }

void RelayHarness::pass(int count)
{
    for (int i = 0; i < count; ++i) {
        server.runPass();
        // Loopback delivery takes a moment; the real loop sleeps 1 ms per pass too.
        usleep(200);
    }
}

WebSocketTestClient::Pump RelayHarness::pump()
{
    return [this] { server.runPass(); };
}

std::unique_ptr<WebSocketTestClient> RelayHarness::connectEditor(std::vector<std::string>* greeting)
{
    auto editor = std::make_unique<WebSocketTestClient>();
    if (!editor->connect(port, "vantrel-configurator", pump(), timeoutMs))
        throw std::runtime_error("editor could not connect: " + editor->lastError());
    for (int i = 0; i < 4; ++i) {
        std::string message;
        if (!editor->receiveText(message, pump(), timeoutMs))
            throw std::runtime_error("no greeting: " + editor->lastError());
        if (greeting != nullptr)
            greeting->push_back(message);
    }
    return editor;
}

std::string RelayHarness::command(WebSocketTestClient& editor, const std::string& text)
{
    std::string reply;
    if (!editor.sendText(text) || !editor.receiveText(reply, pump(), timeoutMs))
        return "";
    return reply;
}

std::vector<std::string> RelayHarness::repliesWithin(WebSocketTestClient& editor, int passes)
{
    std::vector<std::string> replies;
    for (int i = 0; i < passes; ++i) {
        pass(1);
        for (std::string& reply : editor.poll())
            replies.push_back(std::move(reply));
    }
    return replies;
}
