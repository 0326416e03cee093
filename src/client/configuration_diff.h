#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "client/configuration_document.h"

// One difference between two configurations: a feature or node that only one holds, or one member of a feature or
// node (a property, the position, the type) that the two hold differently. Made by compareConfigurations; kept as
// long as the command that compared.
struct ConfigurationDifference {
    // "node 5 (pid)" or "feature gps".
    std::string subject;
    // The member that differs ("prop_pid_gainP", "pos.x", "type"); empty when only one side holds the subject.
    std::string member;
    // The value on each side; absent (Json::nullValue and the flag false) where that side lacks it.
    Json::Value left;
    Json::Value right;
    bool inLeft = false;
    bool inRight = false;

    // In words, naming the two sides: "node 5 (pid): prop_pid_gainP is 0.5 in A, 0.25 in B".
    std::string words(const std::string& leftName, const std::string& rightName) const;
    Json::Value toJson() const;
};

// What differs between the features and nodes of two configurations (their boards' identities are not compared):
// features by name, then nodes by id, each member by member in byte order of the members' names.
std::vector<ConfigurationDifference> compareConfigurations(const ConfigurationDocument& left,
                                                           const ConfigurationDocument& right);
