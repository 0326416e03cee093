#include "support/relay_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

RelayHarness::RelayHarness()
{
    port = freePort();
    RelayServerSettings settings;
    settings.port = port;
    if (!server.start(settings))
        throw std::runtime_error("relay server did not start");
}

RelayHarness::~RelayHarness() { server.stop(); }

int RelayHarness::freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int found = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        found = ntohs(address.sin_port);
    close(fd);
    return found;
}

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
