#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "broker/broker_outbox.h"
#include "web/status_pages.h"

// What the broker is told about this relay's boards, from the same figures as the status pages: the board list
// (retained) and the events between two looks at the figures. Created by the broker link; lives as long as it.
class FleetWatch {
public:
    // One event: its JSON text, its kind for the outbox, and the board it is about.
    struct Event {
        std::string payload;
        Publication::Kind kind;
        std::string port;
    };

    // The board list as the boards topic carries it: every listed board with its port, product, state and what its
    // last version reply said, and the running write (file and size; its progress goes to the events); and whether
    // the relay takes commands through the broker, so that a fleet's operator knows before sending any.
    static std::string boardsPayload(const RelayFigures& figures, bool commandsTaken);

    void setCommandsTaken(bool taken) { commandsTaken = taken; }

    // The events since the last look, in order: writes ended (each after its start, if that was never told), boards
    // gone and added, writes started, and progress. The first look tells only the writes running. boardsChanged is
    // set when the board list differs from the last one.
    std::vector<Event> look(const RelayFigures& figures, bool& boardsChanged);

private:
    std::string lastBoards;
    std::map<std::string, BoardStatus> lastSeen;
    // Ports whose running write was told as started, with the bytes verified last told.
    std::map<std::string, uint64_t> writing;
    uint64_t lastWriteNumber = 0;
    bool looked = false;
    bool commandsTaken = false;
};
