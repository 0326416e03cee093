#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

#include "device/relay.h"
#include "web/sessions.h"

// The identities of the commands that come through the broker: each command "id" is an editor of its own, a
// detached connection of the sessions, so that the boards it commands answer it, the relays it opened are its own
// and the ownership rules of editors apply to it unchanged. A command that names an id already known continues that
// identity. At most maxEditors live at once; a new one closes the one used least recently, as an editor that left.
// Created by the broker link; lives as long as it.
class BrokerEditors {
public:
    static constexpr size_t maxEditors = 64;

    BrokerEditors(Sessions& sessions, ReplySink& sink) : sessions(sessions), sink(sink) {}
    BrokerEditors(const BrokerEditors&) = delete;
    BrokerEditors& operator=(const BrokerEditors&) = delete;
    ~BrokerEditors() { closeAll(); }

    // The identity of the command id, made when it is new.
    Connection& editorFor(const std::string& commandId);
    // The identity of the command id; nullptr when it has none (yet, or any more).
    Connection* find(const std::string& commandId) const;
    // The command id of an identity; nullptr when it is none of these (or was closed).
    const std::string* commandIdOf(EditorId editor) const;
    void closeAll();
    size_t size() const { return byCommandId.size(); }

private:
    // One live identity: made by the first command of its id, closed when it is the least recently used of too many.
    struct Entry {
        std::string commandId;
        Connection* connection;
    };

    Sessions& sessions;
    ReplySink& sink;
    // Most recently used first.
    std::list<Entry> entries;
    std::unordered_map<std::string, std::list<Entry>::iterator> byCommandId;
    std::unordered_map<EditorId, std::list<Entry>::iterator> byEditor;
};
