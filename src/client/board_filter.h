#pragma once

#include <string>
#include <vector>

#include "client/fleet_list.h"

// One --where term of a rollout: a board's field, a comparison and a value ("version<1.4.2", "relay=station3",
// "product~robot"). Made from the command line; lives for the whole run.
struct BoardFilter {
    // version, relay, port, product, state or mode
    std::string field;
    // < <= = != >= > (version), = != ~ (the others)
    std::string comparison;
    std::string value;

    // A board whose version is not known matches no version term.
    bool matches(const FleetBoard& board) const;
    bool namesVersion() const { return field == "version"; }
};

// Reads one term; false, with the mistake in words, for a field, comparison or version it does not know.
bool parseBoardFilter(const std::string& text, BoardFilter& filter, std::string& mistake);
// Compares dotted versions number by number ("1.10" is above "1.9"; a missing number counts as 0): below 0, 0 or
// above 0.
int compareVersions(const std::string& left, const std::string& right);
