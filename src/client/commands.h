#pragma once

#include "client/client_options.h"
#include "client/client_output.h"
#include "client/outcome.h"
#include "client/relay_url.h"

// What every command gets: its options, the relay's address and where its words go. Made by main; lives for the
// whole run.
struct CommandContext {
    const ClientOptions& options;
    RelayUrl url;
    const ClientOutput& output;
};

Outcome runBoards(const CommandContext& context);
Outcome runFlash(const CommandContext& context);
Outcome runBackup(const CommandContext& context);
Outcome runRestore(const CommandContext& context);
Outcome runDiff(const CommandContext& context);
Outcome runMonitor(const CommandContext& context);
// fleet boards, fleet rollout FILE, fleet watch: through the MQTT broker of the relays, not one relay.
Outcome runFleet(const CommandContext& context);
