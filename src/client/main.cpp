// vantrel: the command-line client of the vantrel relay.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "client/client_options.h"
#include "client/client_output.h"
#include "client/commands.h"
#include "client/relay_connection.h"

int main(int argc, char** argv)
{
    ClientOptions options;
    Outcome parsed = parseClientOptions(argc, argv, std::getenv("VANTREL_TOKEN"), options);
    const ClientOutput output(options.json);
    if (!parsed.succeeded()) {
        output.failure(parsed);
        return static_cast<int>(parsed.status);
    }
    if (options.help) {
        std::fputs(usageText(options.command).c_str(), stdout);
        return 0;
    }
    RelayUrl url;
    std::string error;
    if (!parseRelayUrl(options.relay, url, error)) {
        Outcome mistake = Outcome::failure(ExitStatus::usage, "--relay: " + error);
        output.failure(mistake);
        return static_cast<int>(mistake.status);
    }
    if (options.token.empty())
        options.token = url.token;
    catchInterrupts();
    const CommandContext context{options, url, output};
    Outcome outcome;
    try {
        if (options.command == "boards")
            outcome = runBoards(context);
        else if (options.command == "flash")
            outcome = runFlash(context);
        else if (options.command == "backup")
            outcome = runBackup(context);
        else if (options.command == "restore")
            outcome = runRestore(context);
        else if (options.command == "diff")
            outcome = runDiff(context);
        else if (options.command == "fleet")
            outcome = runFleet(context);
        else
            outcome = runMonitor(context);
    } catch (const std::exception& e) {
        // JsonCpp throws on values of an unexpected kind: whatever reached the client, it ends with one line.
        outcome = Outcome::failure(ExitStatus::boardFailure, std::string("unexpected answer: ") + e.what());
    }
    if (!outcome.succeeded())
        output.failure(outcome);
    return static_cast<int>(outcome.status);
}
