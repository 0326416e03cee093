#include "client/configuration_diff.h"

#include <map>
#include <set>

#include "json/compact_json_writer.h"

namespace {

// Every member of an exported feature or node as "name" or "outer.inner" with its JSON text; the values are
// compared as the relay writes them, so 1 and 1.0 or two spellings of one real are the same.
void flatten(const Json::Value& value, const std::string& prefix, std::map<std::string, Json::Value>& members)
{
    if (value.isObject() && !value.empty()) {
        for (const std::string& name : value.getMemberNames()) {
            std::string path = prefix;
            if (!path.empty())
                path += '.';
            flatten(value[name], path + name, members);
        }
        return;
    }
    members[prefix] = value;
}

// A node's properties are named by their keys alone.
std::string shortName(const std::string& member)
{
    static const std::string properties = "properties.";
    return member.compare(0, properties.size(), properties) == 0 ? member.substr(properties.size()) : member;
}

std::string textOf(const Json::Value& value) { return CompactJsonWriter().write(value); }

ConfigurationDifference difference(const std::string& subject, const std::string& member, const Json::Value* left,
                                   const Json::Value* right)
{
    ConfigurationDifference found;
    found.subject = subject;
    found.member = member;
    found.inLeft = left != nullptr;
    found.inRight = right != nullptr;
    found.left = left != nullptr ? *left : Json::Value();
    found.right = right != nullptr ? *right : Json::Value();
    return found;
}

void compareMembers(const std::string& subject, const Json::Value& left, const Json::Value& right, const char* skip,
                    std::vector<ConfigurationDifference>& out)
{
    std::map<std::string, Json::Value> leftMembers;
    std::map<std::string, Json::Value> rightMembers;
    flatten(left, "", leftMembers);
    flatten(right, "", rightMembers);
    std::set<std::string> names;
    for (const auto& entry : leftMembers)
        names.insert(entry.first);
    for (const auto& entry : rightMembers)
        names.insert(entry.first);
    for (const std::string& name : names) {
        if (name == skip)
            continue;
        const auto leftValue = leftMembers.find(name);
        const auto rightValue = rightMembers.find(name);
        const Json::Value* leftFound = leftValue == leftMembers.end() ? nullptr : &leftValue->second;
        const Json::Value* rightFound = rightValue == rightMembers.end() ? nullptr : &rightValue->second;
        if (leftFound == nullptr || rightFound == nullptr || textOf(*leftFound) != textOf(*rightFound))
            out.push_back(difference(subject, shortName(name), leftFound, rightFound));
    }
}

template <typename Key>
void compareEntries(const std::map<Key, Json::Value>& left, const std::map<Key, Json::Value>& right,
                    std::string (*subjectOf)(const Json::Value&), const char* skip,
                    std::vector<ConfigurationDifference>& out)
{
    std::set<Key> keys;
    for (const auto& entry : left)
        keys.insert(entry.first);
    for (const auto& entry : right)
        keys.insert(entry.first);
    for (const Key& key : keys) {
        const auto leftEntry = left.find(key);
        const auto rightEntry = right.find(key);
        if (leftEntry == left.end() || rightEntry == right.end()) {
            const Json::Value* leftFound = leftEntry != left.end() ? &leftEntry->second : nullptr;
            const Json::Value* rightFound = rightEntry != right.end() ? &rightEntry->second : nullptr;
            out.push_back(difference(subjectOf(leftFound ? *leftFound : *rightFound), "", leftFound, rightFound));
            continue;
        }
        // Another type makes every property another: the type is the difference.
        const Json::Value& leftType = leftEntry->second["type"];
        const Json::Value& rightType = rightEntry->second["type"];
        if (textOf(leftType) != textOf(rightType)) {
            out.push_back(difference(subjectOf(leftEntry->second), "type", &leftType, &rightType));
            continue;
        }
        compareMembers(subjectOf(leftEntry->second), leftEntry->second, rightEntry->second, skip, out);
    }
}

std::string featureSubject(const Json::Value& feature) { return "feature " + feature["feature"].asString(); }

std::string nodeSubject(const Json::Value& node)
{
    return "node " + CompactJsonWriter().write(node["id"]) + " (" + node["type"].asString() + ")";
}

} // namespace

std::string ConfigurationDifference::words(const std::string& leftName, const std::string& rightName) const
{
    if (member.empty())
        return subject + " is only in " + (inLeft ? leftName : rightName);
    const auto side = [](bool present, const Json::Value& value, const std::string& name) {
        return present ? textOf(value) + " in " + name : "not in " + name;
    };
    return subject + ": " + member + " is " + side(inLeft, left, leftName) + ", " + side(inRight, right, rightName);
}

Json::Value ConfigurationDifference::toJson() const
{
    Json::Value out(Json::objectValue);
    out["subject"] = subject;
    if (!member.empty())
        out["member"] = member;
    if (inLeft)
        out["left"] = left;
    if (inRight)
        out["right"] = right;
    return out;
}

std::vector<ConfigurationDifference> compareConfigurations(const ConfigurationDocument& left,
                                                           const ConfigurationDocument& right)
{
    std::vector<ConfigurationDifference> differences;
    compareEntries(left.features, right.features, featureSubject, "feature", differences);
    compareEntries(left.nodes, right.nodes, nodeSubject, "id", differences);
    return differences;
}
