#pragma once

#include <string>

#include "bench/result_table.h"

// The programs the client figures run: vantrel against vantrelRelaySim, both as users run them.
struct ClientPrograms {
    std::string client;
    std::string simulator;
};

// vantrel flash of 256 KiB against the same write driven directly over WebSocket, 8 boards at once against one, a
// restore of 100 nodes and a listing of 16 boards; each a process of its own against a simulator on loopback, with
// its files in folder.
void clientRows(ResultTable& table, const ClientPrograms& programs, const std::string& folder);
