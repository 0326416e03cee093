#include "broker/broker_editors.h"

Connection& BrokerEditors::editorFor(const std::string& commandId)
{
    const auto found = byCommandId.find(commandId);
    if (found != byCommandId.end()) {
        entries.splice(entries.begin(), entries, found->second);
        return *found->second->connection;
    }
    if (entries.size() >= maxEditors) {
        const Entry oldest = entries.back();
        byCommandId.erase(oldest.commandId);
        byEditor.erase(oldest.connection->id);
        entries.pop_back();
        sessions.closeDetached(oldest.connection->id);
    }
    Connection& connection = sessions.openDetached("broker command " + commandId, sink);
    entries.push_front(Entry{commandId, &connection});
    byCommandId[commandId] = entries.begin();
    byEditor[connection.id] = entries.begin();
    return connection;
}

Connection* BrokerEditors::find(const std::string& commandId) const
{
    const auto found = byCommandId.find(commandId);
    return found == byCommandId.end() ? nullptr : found->second->connection;
}

const std::string* BrokerEditors::commandIdOf(EditorId editor) const
{
    const auto found = byEditor.find(editor);
    return found == byEditor.end() ? nullptr : &found->second->commandId;
}

void BrokerEditors::closeAll()
{
    std::list<Entry> closing;
    closing.swap(entries);
    byCommandId.clear();
    byEditor.clear();
    for (const Entry& entry : closing)
        sessions.closeDetached(entry.connection->id);
}
