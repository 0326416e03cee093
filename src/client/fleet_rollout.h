#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/board_filter.h"
#include "client/broker_connection.h"
#include "client/client_output.h"
#include "client/fleet_list.h"

// What a rollout writes where, from the command line. Made by the fleet command; lives for the whole run.
struct RolloutSettings {
    std::vector<BoardFilter> where;
    // A stage is this share of the matching boards (rounded up), or stageCount boards when that is not 0.
    double stagePercent = 10;
    size_t stageCount = 0;
    // A stage with more failed writes stops the rollout.
    size_t maxFailures = 0;
    std::string imageName;
    std::vector<uint8_t> image;
    uint64_t timeoutMs = 10000;
};

// The boards of a stage: the share of the matching boards, rounded up, or the count; at least one.
size_t stageSize(size_t matching, double percent, size_t count);

// Writes the image into the fleet's boards that match every term, in stages of boards ordered by relay and port,
// each stage in parallel and every write verified by its relay; after a stage with more failures than allowed no
// further stage starts. Boards of versions not yet known are asked first when a term names the version. Fails
// (status 1) when a board failed, naming each with the relay's reason; status 3 when the broker is lost.
Outcome runRollout(BrokerConnection& broker, FleetList& fleet, const RolloutSettings& settings,
                   const ClientOutput& output);
