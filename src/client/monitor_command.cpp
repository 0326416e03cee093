#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"
#include "json/compact_json_writer.h"

namespace {

// Without nodes to watch, the board's loop time is shown this often.
constexpr uint64_t loopTimeIntervalMs = 1000;

// Local wall-clock time with milliseconds, "14:03:07.412".
std::string clockText()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return text;
}

// Watches one board until Ctrl+C: the live values of the nodes asked for (or its loop time every second), and
// with traffic every message to and from it. Ends with a failure when the board goes away.
class MonitorConversation : public Conversation {
public:
    MonitorConversation(MessageSender& sender, const RelayConnection& relay, std::string port,
                        const std::vector<int>& nodes, bool traffic, const ClientOutput& output)
        : sender(sender), relay(relay), port(std::move(port)), nodes(nodes), traffic(traffic), output(output)
    {
        for (int node : nodes)
            watch(node, true);
        nextLoopTimeMs = nodes.empty() ? steadyMs() : UINT64_MAX;
    }

    void onMessage(const Json::Value& message, uint64_t) override
    {
        if (message.isMember("ports") && !relay.isListed(port)) {
            result = Outcome::failure(ExitStatus::boardFailure, port + " went away (unplugged?)");
            done = true;
            return;
        }
        if (replyPort(message) != port)
            return;
        if (traffic)
            show("<-", message);
        std::string failure;
        if (failureText(message, failure)) {
            result = Outcome::failure(ExitStatus::boardFailure, port + ": " + failure);
            done = true;
        } else if (message["liveValue"].isObject()) {
            const Json::Value& live = message["liveValue"];
            Json::Value event(Json::objectValue);
            event["node"] = live["id"];
            event["value"] = live["value"];
            print(event,
                  "node " + CompactJsonWriter().write(live["id"]) + ": " + CompactJsonWriter().write(live["value"]));
        } else if (message.isMember("looptime")) {
            Json::Value event(Json::objectValue);
            event["looptime"] = message["looptime"];
            event["nodecount"] = message["nodecount"];
            event["memorysize"] = message["memorysize"];
            print(event, "loop " + CompactJsonWriter().write(message["looptime"]) + " us, " +
                             CompactJsonWriter().write(message["nodecount"]) + " nodes, " +
                             CompactJsonWriter().write(message["memorysize"]) + " bytes");
        }
    }

    void onTime(uint64_t nowMs) override
    {
        send(commandPayload("looptime"));
        nextLoopTimeMs = nowMs + loopTimeIntervalMs;
    }
    uint64_t nextTimeMs() const override { return nextLoopTimeMs; }
    bool finished() const override { return done; }
    void onInterrupt(uint64_t) override
    {
        for (int node : nodes)
            watch(node, false);
        done = true;
    }

    Outcome result;

private:
    void send(const Json::Value& payload)
    {
        const Json::Value command = boardCommand(port, payload);
        if (traffic)
            show("->", command);
        sender.send(command);
    }

    void watch(int node, bool on)
    {
        Json::Value live(Json::objectValue);
        live["id"] = node;
        live["flags"] = on ? 1 : 0;
        send(commandPayload("liveValue", live));
    }

    void print(Json::Value event, const std::string& words) const
    {
        if (output.json()) {
            event["time"] = clockText();
            event["port"] = port;
            output.event(event);
        } else {
            output.line(clockText() + "  " + port + "  " + words);
        }
    }

    void show(const char* direction, const Json::Value& message) const
    {
        Json::Value event(Json::objectValue);
        event["direction"] = std::string(direction) == "->" ? "out" : "in";
        event["message"] = message;
        print(event, std::string(direction) + " " + CompactJsonWriter().write(message));
    }

    MessageSender& sender;
    const RelayConnection& relay;
    std::string port;
    std::vector<int> nodes;
    bool traffic;
    const ClientOutput& output;
    uint64_t nextLoopTimeMs = UINT64_MAX;
    bool done = false;
};

} // namespace

Outcome runMonitor(const CommandContext& context)
{
    const std::string& port = context.options.arguments[0];
    RelayConnection relay(context.url, context.options.token, context.options.timeoutMs, context.options.caFile);
    Outcome opened = relay.open();
    if (!opened.succeeded())
        return opened;
    Outcome listed = relay.checkListed(port);
    if (!listed.succeeded())
        return listed;
    MonitorConversation conversation(relay, relay, port, context.options.nodes, context.options.traffic,
                                     context.output);
    Outcome ran = relay.run(conversation);
    return ran.succeeded() ? conversation.result : ran;
}
